"""Leaf response curves from the physiology solver: the figures a plant physiologist checks first.

Run with ``.venv/bin/python examples/leaf_response.py`` after ``make install``. Writes
- out/leaf_light_response.png: net assimilation against absorbed PAR at 15, 25 and 35 degC;
- out/leaf_co2_response.png: net assimilation against intercellular and ambient CO2;
- out/leaf_temperature_wind.png: leaf minus air temperature against wind speed, for a sunlit
  leaf and for a transpiring leaf in the dark.
Each curve is one call of solve_physiology_cpu with one element per point.
"""

from __future__ import annotations

import pathlib

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import tesk_gpu

OUT = pathlib.Path(__file__).resolve().parent.parent / "out"
AIR_TEMPERATURE = 298.15  # K
STEFAN_BOLTZMANN = 5.6703744e-8


def leaf_request(par, temperature=AIR_TEMPERATURE, co2=400.0, wind=1.0):
    """A C3 leaf (Vcmax25 60, Jmax25 120, Rd25 1 umol m-2 s-1; Ball-Berry m 9, g0 0.01) per
    element; par, temperature, co2 and wind may be scalars or arrays."""
    par, temperature, co2, wind = np.broadcast_arrays(
        *(np.asarray(v, np.float32) for v in (par, temperature, co2, wind)))
    n = par.size
    full = lambda v: np.full(n, v, np.float32)  # noqa: E731
    return {
        "apar": par.reshape(n, 1), "temperature": temperature.ravel(), "co2": co2.ravel(),
        "relative_humidity": full(0.7), "vpd": full(1000.0), "pressure": full(101.325),
        "wind": wind.ravel(), "vcmax25": full(60.0), "jmax25": full(120.0), "rd25": full(1.0),
        "ball_berry_slope": full(9.0), "ball_berry_intercept": full(0.01),
        "quantum_yield": full(0.5), "max_iterations": 200, "tolerance": 1e-4,
    }


def with_energy_balance(req, shortwave, vapor_pressure):
    """Adds the leaf energy balance: absorbed shortwave, longwave equal to the leaf's own
    emission at air temperature, air at 25 degC, a 5 cm two-sided leaf with stomata below."""
    n = req["temperature"].size
    full = lambda v: np.full(n, v, np.float32)  # noqa: E731
    req.update({
        "dynamic_energy_balance": True, "absorbed_shortwave": full(shortwave),
        "absorbed_longwave": full(0.98 * 2 * STEFAN_BOLTZMANN * AIR_TEMPERATURE**4),
        "air_temperature": full(AIR_TEMPERATURE), "vapor_pressure": full(vapor_pressure),
        "emissivity": full(0.98), "sidedness": full(2.0), "leaf_width": full(0.05),
        "stomata_sides": full(1.0), "tolerance": 1e-3,
    })
    return req


def solve(scene, req):
    """The payload, with every output of an element that did not converge replaced by NaN
    (at very low CO2 the plain fixed point on Ci can alternate between open and closed
    stomata), so the plots show gaps instead of the last iterate."""
    payload = tesk_gpu.solve_physiology_cpu(scene, req)["payload"]
    bad = payload["converged"] == 0
    if bad.any():
        print(f"  note: {np.count_nonzero(bad)} of {bad.size} points did not converge (left out)")
    return {k: np.where(bad, np.nan, v) if v.dtype == np.float32 else v for k, v in payload.items()}


def save(fig, name):
    OUT.mkdir(exist_ok=True)
    path = OUT / name
    fig.savefig(path, dpi=120)
    plt.close(fig)
    print(f"wrote {path}")


def main() -> None:
    scene = tesk_gpu.EmbreeSceneManager()

    # Light response at three leaf temperatures.
    par = np.linspace(0.0, 2000.0, 201)
    fig, ax = plt.subplots(figsize=(6.4, 4.6), constrained_layout=True)
    for celsius, colour in ((15, "tab:blue"), (25, "tab:green"), (35, "tab:red")):
        an = solve(scene, leaf_request(par, temperature=273.15 + celsius))["an"]
        ax.plot(par, an, color=colour, label=f"{celsius} °C")
        print(f"light response {celsius} degC: An(2000) = {an[-1]:.2f} umol m-2 s-1")
    ax.axhline(0.0, color="0.6", lw=0.8)
    ax.set(xlabel="absorbed PAR (µmol m⁻² s⁻¹)", ylabel="net assimilation (µmol m⁻² s⁻¹)",
           title="Light response, CO₂ 400 µmol mol⁻¹")
    ax.legend()
    save(fig, "leaf_light_response.png")

    # CO2 response at saturating light: the A/Ci curve and An against ambient CO2.
    co2 = np.linspace(50.0, 1500.0, 146)
    payload = solve(scene, leaf_request(1500.0, co2=co2))
    fig, ax = plt.subplots(figsize=(6.4, 4.6), constrained_layout=True)
    ax.plot(payload["ci"], payload["an"], label="against intercellular CO₂ (Ci)")
    ax.plot(co2, payload["an"], ls="--", label="against ambient CO₂ (Ca)")
    ax.axhline(0.0, color="0.6", lw=0.8)
    ax.set(xlabel="CO₂ (µmol mol⁻¹)", ylabel="net assimilation (µmol m⁻² s⁻¹)",
           title="CO₂ response, PAR 1500 µmol m⁻² s⁻¹, 25 °C")
    ax.legend()
    save(fig, "leaf_co2_response.png")

    # Leaf temperature against wind speed, for a sunlit leaf and a leaf in the dark.
    wind = np.geomspace(0.1, 10.0, 60)
    dry_air = 0.5 * 610.78 * np.exp(17.27 * 25.0 / (25.0 + 237.3))  # 50 % relative humidity
    fig, ax = plt.subplots(figsize=(6.4, 4.6), constrained_layout=True)
    for label, par_value, shortwave in (("sunlit, 600 W m⁻² shortwave", 1500.0, 600.0),
                                        ("dark, transpiring", 0.0, 0.0)):
        req = with_energy_balance(leaf_request(par_value, wind=wind), shortwave, dry_air)
        if par_value == 0.0:
            req["ball_berry_intercept"][:] = 0.05  # night-time residual conductance
        excess = solve(scene, req)["temperature"] - AIR_TEMPERATURE
        ax.plot(wind, excess, label=label)
        first = int(np.flatnonzero(np.isfinite(excess))[0])
        print(f"{label}: leaf - air = {excess[first]:+.2f} K at {wind[first]:.2f} m/s, "
              f"{excess[-1]:+.2f} K at {wind[-1]:.0f} m/s")
    ax.axhline(0.0, color="0.6", lw=0.8)
    ax.set_xscale("log")
    ax.set(xlabel="wind speed (m s⁻¹)", ylabel="leaf − air temperature (K)",
           title="Leaf energy balance, air 25 °C, 50 % RH")
    ax.legend()
    save(fig, "leaf_temperature_wind.png")


if __name__ == "__main__":
    main()
