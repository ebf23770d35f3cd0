"""Microwave responses of a loam (40 % sand, 20 % clay) at L band from the soil evaluators.

Run with ``.venv/bin/python examples/microwave_soil.py`` after ``make install``. Writes
- out/microwave_soil_permittivity.png: eps' and eps'' against volumetric moisture at 1.4 GHz for
  the Mironov, Hallikainen and Dobson models. The module returns reflectivities, not
  permittivities, so eps is retrieved here from the smooth-surface Fresnel reflectivities at
  six angles (a small least-squares fit), which is also a check of those reflectivities;
- out/microwave_soil_brightness.png: brightness temperature (H and V) against incidence angle
  for a dry, a moist and a wet soil with the passive rough-surface model;
- out/microwave_soil_backscatter.png: sigma_HH and sigma_VV (dB) against incidence angle for
  two surface roughnesses with the Oh-Sarabandi-Ulaby model.
"""

from __future__ import annotations

import pathlib

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import tesk_gpu

OUT = pathlib.Path(__file__).resolve().parent.parent / "out"
FREQUENCY = 1.4e9  # Hz
MODELS = {"Mironov": 0, "Hallikainen": 2, "Dobson": 1}


def loam(moisture, model=0, rms_height=0.01, hr=0.3, q=0.1, t_surf=295.0, t_deep=290.0):
    """Soil vector of the loam: H_R = 0.3, N_V = N_H = 1 (by default), Q = 0.1."""
    return np.array([0.4, 0.2, moisture, hr, 1.0, 1.0, q, t_surf, t_deep, model, rms_height, 0.0],
                    np.float32)


def fresnel(eps, mu):
    w = np.sqrt(eps - (1 - mu * mu))
    return np.abs((mu - w) / (mu + w)) ** 2, np.abs((eps * mu - w) / (eps * mu + w)) ** 2


def retrieve_permittivity(gamma_h, gamma_v, mu, guess=complex(10.0, 1.0)):
    """eps whose Fresnel reflectivities best fit (gamma_h, gamma_v) at cosines mu (Gauss-Newton)."""
    target = np.concatenate([gamma_h, gamma_v]).astype(np.float64)
    x = np.array([guess.real, guess.imag])

    def residual(v):
        gh, gv = fresnel(complex(v[0], v[1]), mu)
        return np.concatenate([gh, gv]) - target

    for _ in range(50):
        r = residual(x)
        jac = np.empty((r.size, 2))
        for k in range(2):
            dx = np.zeros(2)
            dx[k] = 1e-6 * max(1.0, abs(x[k]))
            jac[:, k] = (residual(x + dx) - r) / dx[k]
        x = x + np.linalg.lstsq(jac, -r, rcond=None)[0]
        x = np.maximum(x, [1.0, 0.0])
    return complex(x[0], x[1])


def save(fig, name):
    OUT.mkdir(exist_ok=True)
    path = OUT / name
    fig.savefig(path, dpi=120, bbox_inches="tight")
    plt.close(fig)
    print(f"wrote {path}")


def permittivity_figure():
    moisture = np.linspace(0.02, 0.45, 30)
    mu = np.cos(np.radians([0.0, 30.0, 50.0, 65.0, 75.0, 85.0]))
    fig, (ax_re, ax_im) = plt.subplots(1, 2, figsize=(10, 4))
    for name, model in MODELS.items():
        eps = []
        for mv in moisture:
            g = tesk_gpu._evaluate_microwave_soil_reflectivity(FREQUENCY, loam(mv, model), mu,
                                                               allow_hallikainen=True)
            eps.append(retrieve_permittivity(g[:, 0], g[:, 1], mu))
        eps = np.array(eps)
        ax_re.plot(moisture, eps.real, label=name)
        ax_im.plot(moisture, eps.imag, label=name)
        i = np.argmin(np.abs(moisture - 0.25))
        print(f"{name:<12s} eps(m_v = {moisture[i]:.2f}) = {eps[i].real:6.2f} + {eps[i].imag:5.2f}j")
    ax_re.set(xlabel="volumetric moisture (m³/m³)", ylabel="ε'", title="loam at 1.4 GHz: ε'")
    ax_im.set(xlabel="volumetric moisture (m³/m³)", ylabel="ε''", title="loam at 1.4 GHz: ε''")
    for ax in (ax_re, ax_im):
        ax.grid(alpha=0.3)
        ax.legend()
    save(fig, "microwave_soil_permittivity.png")


def brightness_figure():
    angles = np.arange(0.0, 80.5, 1.0)
    mu = np.cos(np.radians(angles))
    fig, ax = plt.subplots(figsize=(6, 4.5))
    for mv, colour in ((0.05, "tab:orange"), (0.2, "tab:green"), (0.4, "tab:blue")):
        out = tesk_gpu._evaluate_microwave_soil(FREQUENCY, loam(mv), mu)
        ax.plot(angles, out[:, 0], color=colour, ls="--", label=f"H, m_v = {mv}")
        ax.plot(angles, out[:, 1], color=colour, label=f"V, m_v = {mv}")
        print(f"m_v = {mv}: T_B at 40 deg  H {out[40, 0]:6.1f} K  V {out[40, 1]:6.1f} K")
    ax.set(xlabel="incidence angle (deg)", ylabel="brightness temperature (K)",
           title="rough loam at 1.4 GHz (Mironov, H_R = 0.3, Q = 0.1)")
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8)
    save(fig, "microwave_soil_brightness.png")


def backscatter_figure():
    angles = np.arange(5.0, 70.5, 1.0)
    mu = np.cos(np.radians(angles))
    fig, ax = plt.subplots(figsize=(6, 4.5))
    for s, colour in ((0.005, "tab:purple"), (0.02, "tab:red")):
        out = tesk_gpu._evaluate_microwave_soil(FREQUENCY, loam(0.25, model=1, rms_height=s), mu,
                                                active=True)
        ax.plot(angles, 10 * np.log10(out[:, 0]), color=colour, ls="--", label=f"σ_HH, s = {s * 100:g} cm")
        ax.plot(angles, 10 * np.log10(out[:, 3]), color=colour, label=f"σ_VV, s = {s * 100:g} cm")
        print(f"s = {s * 100:g} cm: sigma at 40 deg  HH {10 * np.log10(out[35, 0]):6.1f} dB  "
              f"VV {10 * np.log10(out[35, 3]):6.1f} dB")
    ax.set(xlabel="incidence angle (deg)", ylabel="backscatter coefficient (dB)",
           title="loam, m_v = 0.25, 1.4 GHz (Dobson, Oh-Sarabandi-Ulaby)")
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8)
    save(fig, "microwave_soil_backscatter.png")


def main():
    permittivity_figure()
    brightness_figure()
    backscatter_figure()


if __name__ == "__main__":
    main()
