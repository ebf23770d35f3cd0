"""An independent solution of radiative transfer in a horizontally infinite turbid leaf layer.

The layer holds bi-Lambertian leaves (upper-side reflectance ``r_up``, lower-side reflectance
``r_down``, transmittance ``t``) with one of the azimuthally uniform leaf-angle distributions
(0 spherical, 1 planophile, 2 erectophile), no hotspot, over a Lambertian soil, lit by a sun of
irradiance ``E`` on a plane normal to its beam. Depth is counted in cumulative leaf area index
``L`` from the top (0) to the bottom (``lai``).

* Single scattering (by leaves, and the uncollided soil term) is exact, in closed form from
  the area scattering function Gamma and the G-function.
* Multiple scattering comes from successive orders of scattering on a discrete-ordinates grid:
  Gauss-Legendre cosines per hemisphere times uniform azimuths, with the azimuthal convolution
  of the scattering integral done per Fourier mode, and exact transport of a source that is
  linear in depth between grid nodes. The first-order field on the grid is itself closed form;
  the slowly converging tail of the order series (thick conservative layers) is summed as a
  geometric series once the ratio of successive orders has settled. Radiance toward any view
  direction is gathered from the converged field with the exact Gamma toward that direction.

Nothing here shares code with the module's 3D transport: this is plain NumPy.
Directions are unit vectors with z up; the sun direction points toward the sun.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass

import numpy as np

__all__ = ["leaf_normal_density", "g_function", "area_scattering", "Solution1D", "solve_1d"]

# Leaf normal quadrature: midpoints in inclination and azimuth of the upper-hemisphere normals.
_N_LEAF_THETA, _N_LEAF_PHI = 60, 120


def leaf_normal_density(leaf_type: int, theta_l):
    """Leaf inclination density g_L(theta_L), normalised to 1 over [0, pi/2]."""
    th = np.asarray(theta_l, np.float64)
    if leaf_type == 0:
        return np.sin(th)
    if leaf_type == 1:
        return 2 / np.pi * (1 + np.cos(2 * th))
    if leaf_type == 2:
        return 2 / np.pi * (1 - np.cos(2 * th))
    raise ValueError(f"leaf_type must be 0 (spherical), 1 (planophile) or 2 (erectophile), got {leaf_type}")


@functools.lru_cache(maxsize=8)
def _leaf_normals(leaf_type: int):
    """Upper-hemisphere leaf normals [n, 3] and weights g_L / (2 pi) dtheta dphi (sum 1)."""
    dt, dp = (np.pi / 2) / _N_LEAF_THETA, 2 * np.pi / _N_LEAF_PHI
    th = (np.arange(_N_LEAF_THETA) + 0.5) * dt
    ph = (np.arange(_N_LEAF_PHI) + 0.5) * dp
    t, p = np.meshgrid(th, ph, indexing="ij")
    normals = np.stack([np.sin(t) * np.cos(p), np.sin(t) * np.sin(p), np.cos(t)], axis=-1).reshape(-1, 3)
    weights = (leaf_normal_density(leaf_type, t) / (2 * np.pi) * dt * dp).ravel()
    return normals, weights / weights.sum()


def g_function(leaf_type: int, directions) -> np.ndarray:
    """G(Omega): mean projection of the unit leaf area onto the plane normal to each direction
    ([n, 3] unit vectors, either sense)."""
    n, w = _leaf_normals(leaf_type)
    return np.abs(np.asarray(directions, np.float64).reshape(-1, 3) @ n.T) @ w


def _scattering_parts(leaf_type: int, w_in, w_out):
    """The four geometric parts of Gamma(w_in -> w_out) (propagation directions): light meeting
    the upper side and reflected, meeting the lower side and reflected, and transmitted
    downward or upward; each [n_in, n_out] in 1/sr for unit optics."""
    n, w = _leaf_normals(leaf_type)
    a = np.asarray(w_in, np.float64).reshape(-1, 3) @ n.T
    b = np.asarray(w_out, np.float64).reshape(-1, 3) @ n.T
    a_up, a_down = np.maximum(-a, 0) * w, np.maximum(a, 0) * w  # light falling onto upper / lower side
    b_up, b_down = np.maximum(b, 0), np.maximum(-b, 0)  # leaving on the upper / lower side
    return (a_up @ b_up.T / np.pi, a_down @ b_down.T / np.pi, (a_up @ b_down.T + a_down @ b_up.T) / np.pi)


def area_scattering(leaf_type: int, r_up: float, r_down: float, t: float, w_in, w_out) -> np.ndarray:
    """Gamma(w_in -> w_out) [n_in, n_out] per unit leaf area and steradian for bi-Lambertian
    leaves, w_in and w_out unit propagation directions. Light travelling downward meets the
    upper leaf side."""
    up, down, trans = _scattering_parts(leaf_type, w_in, w_out)
    return r_up * up + r_down * down + t * trans


def _scattering_coefficient(leaf_type: int, r_up, r_down, t, w_in) -> np.ndarray:
    """Integral of Gamma(w_in -> .) over all outgoing directions, exactly: the leaf area seen
    from each side times that side's single-scattering albedo."""
    n, w = _leaf_normals(leaf_type)
    a = np.asarray(w_in, np.float64).reshape(-1, 3) @ n.T
    return np.maximum(-a, 0) @ w * (r_up + t) + np.maximum(a, 0) @ w * (r_down + t)


def _decay_integral(x, length):
    """(1 - exp(-x length)) / x, with its limit `length` at x = 0."""
    x = np.asarray(x, np.float64)
    safe = np.where(np.abs(x) < 1e-12, 1.0, x)
    return np.where(np.abs(x) < 1e-12, length, -np.expm1(-safe * length) / safe)


@dataclass
class Solution1D:
    """Reflectance factors toward the requested views and hemispherical fluxes, all relative
    to the incident irradiance E mu_s."""

    views: np.ndarray  #: [n, 3] view directions (toward the viewer)
    brf: np.ndarray  #: [n] total bidirectional reflectance factor
    brf_single_leaf: np.ndarray  #: [n] leaves scattering the sunlight once
    brf_single_soil: np.ndarray  #: [n] soil reflecting uncollided sunlight seen without collision
    brf_multiple: np.ndarray  #: [n] every path with two or more scattering events
    dhr: float  #: directional-hemispherical reflectance (albedo)
    transmission: float  #: downward flux reaching the soil (all passes), over E mu_s
    transmission_direct: float  #: uncollided part of it
    absorption: float  #: canopy absorption
    soil_absorption: float  #: absorbed by the soil
    orders: int  #: scattering orders summed before the tail was added

    @property
    def brf_single(self) -> np.ndarray:
        return self.brf_single_leaf + self.brf_single_soil


def solve_1d(lai: float, leaf_type: int, r_up: float, r_down: float, t: float, soil: float,
             sun_zenith_deg: float, views, n_mu: int = 12, n_phi: int = 36, dl: float = 0.025,
             tolerance: float = 1e-7, max_orders: int = 20000) -> Solution1D:
    """Solve the layer lit by a sun at sun_zenith_deg in the azimuth of +x, and return the
    reflectance factors toward `views` ([n, 3] unit vectors toward the viewer, z > 0) with the
    fluxes. n_mu Gauss cosines per hemisphere, n_phi azimuths and depth steps of about dl leaf
    area index set the multiple-scattering grid."""
    if not (lai > 0 and 0 <= sun_zenith_deg < 90):
        raise ValueError("need lai > 0 and a sun zenith in [0, 90) degrees")
    views = np.asarray(views, np.float64).reshape(-1, 3)
    views = views / np.linalg.norm(views, axis=1, keepdims=True)
    if np.any(views[:, 2] <= 0):
        raise ValueError("views must point upward (z > 0)")
    e = 1.0
    zs = np.radians(sun_zenith_deg)
    sun = np.array([np.sin(zs), 0.0, np.cos(zs)])
    mu_s = sun[2]
    beam = -sun  # propagation direction of the direct sunlight
    g_s = float(g_function(leaf_type, sun)[0])
    k_s = g_s / mu_s

    # Discrete ordinates: signed cosines (upward first) and azimuths phi_m = m dphi.
    x, wx = np.polynomial.legendre.leggauss(n_mu)
    mu_h, w_h = 0.5 * (x + 1), 0.5 * wx
    mu = np.concatenate([mu_h, -mu_h])
    w_mu = np.concatenate([w_h, w_h])
    dphi = 2 * np.pi / n_phi
    phi = np.arange(n_phi) * dphi
    sin_t = np.sqrt(1 - mu**2)
    dirs = np.stack([sin_t[:, None] * np.cos(phi)[None, :], sin_t[:, None] * np.sin(phi)[None, :],
                     np.broadcast_to(mu[:, None], (2 * n_mu, n_phi))], axis=-1)  # [2 n_mu, n_phi, 3]
    flat = dirs.reshape(-1, 3)
    g_d = g_function(leaf_type, flat[::n_phi])  # G per cosine (azimuth-free) [2 n_mu]
    k_d = g_d / np.abs(mu)  # extinction per unit leaf area index along each ordinate's depth

    # Scattering kernel from the ordinates at azimuth 0 to every ordinate, scaled per incoming
    # cosine so that its discrete integral is the exact scattering coefficient (energy exact).
    kernel = area_scattering(leaf_type, r_up, r_down, t, flat[::n_phi], flat).reshape(2 * n_mu, 2 * n_mu, n_phi)
    target = _scattering_coefficient(leaf_type, r_up, r_down, t, flat[::n_phi])
    discrete = np.einsum("ijm,j->i", kernel, w_mu) * dphi
    scale = np.where(discrete > 0, target / np.where(discrete > 0, discrete, 1.0), 0.0)
    kernel *= scale[:, None, None]
    kernel_hat = np.fft.rfft(kernel, axis=2) * (w_mu[:, None, None] * dphi)  # [i, j, k]

    n_layers = max(8, int(np.ceil(lai / dl)))
    depth = np.linspace(0.0, lai, n_layers + 1)
    step = lai / n_layers
    up, down = slice(0, n_mu), slice(n_mu, 2 * n_mu)
    flux_w = (w_mu * np.abs(mu))[:, None] * dphi  # weights of mu-weighted hemispheric sums
    f_direct_bottom = e * mu_s * np.exp(-k_s * lai)

    # First order on the grid, in closed form: leaf source E Gamma(beam -> Omega) exp(-k_s L).
    gamma_s = area_scattering(leaf_type, r_up, r_down, t, beam, flat)[0].reshape(2 * n_mu, n_phi)
    field = np.empty((n_layers + 1, 2 * n_mu, n_phi))
    kd_dn = k_d[down][None, :, None]
    field[:, down] = (e * gamma_s[down][None] / np.abs(mu[down])[None, :, None] * np.exp(-kd_dn * depth[:, None, None])
                      * _decay_integral(k_s - kd_dn, depth[:, None, None]))
    kd_up = k_d[up][None, :, None]
    below = (lai - depth)[:, None, None]
    soil_1 = soil / np.pi * f_direct_bottom
    field[:, up] = (e * gamma_s[up][None] / mu[up][None, :, None] * np.exp(-k_s * depth[:, None, None])
                    * _decay_integral(k_s + kd_up, below) + soil_1 * np.exp(-kd_up * below))

    # Linear-source transport over one step along each ordinate: I1 = a I0 + b0 J0 + b1 J1.
    tau = k_d * step
    a = np.exp(-tau)
    p = -np.expm1(-tau) / tau
    b_near = (1 - p) / g_d  # weight of the source at the end point
    b_far = (p - a) / g_d  # weight of the source at the start point
    a, b_near, b_far = (v[:, None] for v in (a, b_near, b_far))

    def sweep(source, bottom):
        """Transport a source J [layers, 2 n_mu, n_phi] (per unit leaf area index along the
        path) with no diffuse light entering at the top and `bottom` radiance leaving the soil."""
        out = np.empty_like(source)
        out[0, down] = 0.0
        for k in range(n_layers):
            out[k + 1, down] = a[down] * out[k, down] + b_far[down] * source[k, down] + b_near[down] * source[k + 1, down]
        out[-1, up] = bottom
        for k in range(n_layers, 0, -1):
            out[k - 1, up] = a[up] * out[k, up] + b_far[up] * source[k, up] + b_near[up] * source[k - 1, up]
        return out

    def scatter(radiance):
        return np.fft.irfft(np.einsum("lik,ijk->ljk", np.fft.rfft(radiance, axis=2), kernel_hat), n=n_phi, axis=2)

    total = field.copy()
    previous_norm, ratio, orders = None, 0.0, 1
    norm = float(np.abs(field).sum())
    ratios = []
    while orders < max_orders:
        f_down = float(np.sum(flux_w[down] * field[-1, down]))
        field = sweep(scatter(field), soil / np.pi * f_down)
        orders += 1
        total += field
        previous_norm, norm = norm, float(np.abs(field).sum())
        if norm == 0.0:
            break
        ratio = norm / previous_norm
        ratios.append(ratio)
        settled = len(ratios) > 3 and abs(ratios[-1] - ratios[-2]) < 1e-5 * ratios[-1] and ratio < 1
        if norm * (ratio / (1 - ratio) if ratio < 1 else 1.0) < tolerance * float(np.abs(total).sum()) or (
                settled and norm * ratio / (1 - ratio) < 1e-3 * float(np.abs(total).sum())):
            break
    if norm > 0 and ratio < 1:
        total += field * (ratio / (1 - ratio))  # the geometric tail of the remaining orders

    # Fluxes.
    f_up_top = float(np.sum(flux_w[up] * total[0, up]))
    f_down_bottom = float(np.sum(flux_w[down] * total[-1, down]))
    incident = e * mu_s
    transmission = (f_direct_bottom + f_down_bottom) / incident
    sigma_a = g_d - _scattering_coefficient(leaf_type, r_up, r_down, t, flat[::n_phi])
    sigma_a_s = g_s - float(_scattering_coefficient(leaf_type, r_up, r_down, t, beam)[0])
    per_depth = np.einsum("lim,i->l", total, w_mu * sigma_a) * dphi
    absorbed = sigma_a_s * e * _decay_integral(k_s, lai) + step * (per_depth.sum() - 0.5 * (per_depth[0] + per_depth[-1]))

    # Reflectance factors toward the views.
    g_v = g_function(leaf_type, views)
    mu_v = views[:, 2]
    k_v = g_v / mu_v
    to_brf = np.pi / incident
    gamma_sv = area_scattering(leaf_type, r_up, r_down, t, beam, views)[0]
    single_leaf = to_brf * e * gamma_sv * _decay_integral(k_s + k_v, lai) / mu_v
    single_soil = soil * np.exp(-k_s * lai) * np.exp(-k_v * lai)
    gamma_v = area_scattering(leaf_type, r_up, r_down, t, flat, views) * np.repeat(scale, n_phi)[:, None]
    source_v = np.einsum("li,iv->lv", total.reshape(n_layers + 1, -1), gamma_v * np.repeat(w_mu, n_phi)[:, None] * dphi)
    tau_v = k_v * step
    a_v = np.exp(-tau_v)
    p_v = -np.expm1(-tau_v) / tau_v
    radiance = soil / np.pi * f_down_bottom * np.ones_like(mu_v)
    for k in range(n_layers, 0, -1):
        radiance = a_v * radiance + ((p_v - a_v) * source_v[k] + (1 - p_v) * source_v[k - 1]) / g_v
    multiple = to_brf * radiance
    return Solution1D(views=views, brf=single_leaf + single_soil + multiple, brf_single_leaf=single_leaf,
                      brf_single_soil=single_soil, brf_multiple=multiple, dhr=f_up_top / incident,
                      transmission=transmission, transmission_direct=f_direct_bottom / incident,
                      absorption=float(absorbed) / incident,
                      soil_absorption=(1 - soil) * transmission, orders=orders)


def principal_plane(zeniths_deg, azimuth_deg: float = 0.0) -> np.ndarray:
    """Unit view directions in the vertical plane at azimuth_deg (0: the sun's plane), signed
    zeniths: positive toward that azimuth (the sun's side, backscatter), negative opposite."""
    z = np.radians(np.asarray(zeniths_deg, np.float64))
    a = np.radians(azimuth_deg)
    return np.column_stack([np.sin(z) * np.cos(a), np.sin(z) * np.sin(a), np.cos(z)])
