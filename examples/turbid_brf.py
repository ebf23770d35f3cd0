"""Reflectance of the turbid-crown forest against view zenith angle in the principal plane.

Uses simulate_brf_cpu (backward rendering with one orthographic view per direction) on the
periodic forest of build_turbid_forest, whose crowns are volumetric leaf media with a finite
leaf size, so the backscatter peak at the sun's position (the hotspot) shows. Writes
out/turbid_brf.png. Run on its own or from the quickstart demo.
"""

from __future__ import annotations

import pathlib
import sys
import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from forest_scene import (BAND_WAVELENGTHS_NM, SKY_RADIANCE, SUN_DIRECTION,  # noqa: E402
                          SUN_IRRADIANCE, build_turbid_forest)

import tesk_gpu  # noqa: E402

OUT = pathlib.Path(__file__).resolve().parent.parent / "out"


def principal_plane(sun: np.ndarray, zeniths_deg: np.ndarray) -> np.ndarray:
    """Unit view directions in the sun's vertical plane; positive zeniths on the sun's side."""
    azimuth = np.arctan2(sun[1], sun[0])
    z = np.radians(zeniths_deg)
    return np.column_stack([np.sin(z) * np.cos(azimuth), np.sin(z) * np.sin(azimuth), np.cos(z)])


def reflectance_factors(brf: np.ndarray, directions: np.ndarray, tile: float, downwelling: np.ndarray):
    """simulate_brf_cpu gives mean radiance * X * Y * d.z; the reflectance factor is
    pi * radiance / downwelling irradiance."""
    radiance = brf / (tile * tile * directions[:, 2:3])
    return np.pi * radiance / downwelling


def brf_demo(num_photons_per_direction: int = 16 * 1024) -> None:
    scene = tesk_gpu.EmbreeSceneManager()
    forest = build_turbid_forest(scene)
    scene.build()
    # Irradiance on a horizontal plane: the sun's plus pi times the uniform sky radiance.
    sun = np.array(SUN_DIRECTION)
    downwelling = np.array(SUN_IRRADIANCE) * sun[2] + np.pi * np.array(SKY_RADIANCE)

    sun_zenith = np.degrees(np.arccos(sun[2]))
    zeniths = np.unique(np.concatenate([np.arange(-60.0, 61.0, 5.0), [sun_zenith]]))
    dirs = principal_plane(sun, zeniths)
    t0 = time.perf_counter()
    out = tesk_gpu.simulate_brf_cpu(scene, dirs.astype(np.float32).ravel(),
                                    num_photons=num_photons_per_direction * len(dirs), max_depth=8)
    dt = time.perf_counter() - t0
    r = reflectance_factors(out["brf"], dirs, forest.size, downwelling)
    print(f"turbid-crown forest BRF: {len(dirs)} directions in {dt:.1f} s; "
          f"NIR reflectance factor {r[:, 2].min():.3f}..{r[:, 2].max():.3f}, hotspot at {sun_zenith:.1f} deg")

    fig, ax = plt.subplots(figsize=(7, 4.5), constrained_layout=True)
    for b, colour in zip(range(3), ("tab:blue", "tab:red", "tab:purple")):
        ax.plot(zeniths, r[:, b], "o-", color=colour, ms=3, label=f"{BAND_WAVELENGTHS_NM[b]:.0f} nm")
    ax.axvline(sun_zenith, color="0.5", ls="--", lw=1, label="sun (hotspot)")
    ax.set_xlabel("view zenith angle in the principal plane (deg; + = sun side)")
    ax.set_ylabel("reflectance factor")
    ax.set_title("Turbid-crown forest: bidirectional reflectance")
    ax.legend()
    OUT.mkdir(exist_ok=True)
    path = OUT / "turbid_brf.png"
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"wrote {path}")


if __name__ == "__main__":
    brf_demo()
