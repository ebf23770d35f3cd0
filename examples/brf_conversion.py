"""Turning the raw BRF outputs of the forward and backward CPU workflows into reflectance factors.

Both workflows return radiant intensities: the power that the scene tile reflects per steradian
toward each view direction v (in the units of the scene's spectra times scene area).

* ``simulate_forward_cpu(..., brf_directions=...)["brf"]`` sums, over every scattering event of
  every photon, f * w * |cos| * P * T: the material's (or leaf's) response toward v times the
  photon's weight, the cosine at the surface (or leaf) and the photon power P = Lx Ly / N, times
  the visibility (or transmittance through turbid media) toward v. With the photon power in
  watts per band, this is the intensity I(v) of the reflected light in W sr^-1.
* ``simulate_brf_cpu(...)["brf"]`` is the mean radiance L(v) of the tile seen from v times the
  tile area projected onto v, L * X * Y * cos(theta_v): the same intensity I(v).

The bidirectional reflectance factor is the reflected radiance over that of a white Lambertian
surface under the same illumination: R(v) = pi L(v) / E_in = pi I(v) / (cos(theta_v) Phi_in),
with Phi_in = E_in X Y the power reaching the tile. In a periodic scene lit by a sun of
irradiance E (normal to the sun, zenith cosine mu_s) and a uniform sky of radiance L_sky,
Phi_in = X Y (E mu_s + pi L_sky); forward runs in scenes with optical turbid media also return
it directly as "incident". The forward "albedo" over Phi_in is the scene's albedo.
"""

from __future__ import annotations

import numpy as np


def incident_power(tile_x: float, tile_y: float, sun_irradiance, sun_direction, sky_radiance=0.0) -> np.ndarray:
    """Power per band reaching the tile [0, tile_x] x [0, tile_y] from the sun (irradiance on a
    plane normal to the sun, unit vector toward the sun) and a uniform sky: X Y (E mu_s + pi L)."""
    s = np.asarray(sun_direction, np.float64)
    mu_s = abs(s[2]) / np.linalg.norm(s)
    e = np.asarray(sun_irradiance, np.float64)
    return tile_x * tile_y * (e * mu_s + np.pi * np.asarray(sky_radiance, np.float64))


def reflectance_factor(intensity, directions, incident) -> np.ndarray:
    """R[k, b] = pi I[k, b] / (cos(theta_k) Phi_in[b]) from raw intensities I [n_dirs, n_bands],
    view directions (3 floats each, toward the viewer, any length) and the incident power."""
    i = np.asarray(intensity, np.float64)
    v = np.asarray(directions, np.float64).reshape(-1, 3)
    cos_v = v[:, 2] / np.linalg.norm(v, axis=1)
    return np.pi * i / (cos_v[:, None] * np.asarray(incident, np.float64)[None, :])


def forward_brf(result: dict, directions, incident=None) -> np.ndarray:
    """Reflectance factors of a simulate_forward_cpu result; `incident` defaults to the result's
    own "incident" (scenes with optical turbid media)."""
    if incident is None:
        incident = result["incident"]
    return reflectance_factor(result["brf"], directions, incident)


def backward_brf(result: dict, directions, incident) -> np.ndarray:
    """Reflectance factors of a simulate_brf_cpu result for the same view directions."""
    return reflectance_factor(result["brf"], directions, incident)
