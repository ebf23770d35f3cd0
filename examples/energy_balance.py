"""Energy balance of the quickstart forest: absorbed shortwave per crown and sunlit fraction.

Builds a smaller copy of the quickstart forest (300 trees), gives every primitive the optics of
its material (soil and bark reflect; leaves reflect on both sides and transmit), runs the
multiband energy balance (three bands, multi-bounce, both faces) and writes
out/energy_balance.png: a top view of the crowns coloured by the shortwave they absorb, and the
sunlit fraction of crown surfaces against height.

Run with ``make demo`` (or ``.venv/bin/python examples/energy_balance.py`` after ``make install``).
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
from forest_scene import SKY_RADIANCE, SUN_DIRECTION, SUN_IRRADIANCE, build_forest  # noqa: E402

import tesk_gpu  # noqa: E402

OUT = pathlib.Path(__file__).resolve().parent.parent / "out"
# Per material (soil, leaf, bark) and band: front reflectance, back reflectance, transmittance.
FRONT = np.array([[0.06, 0.10, 0.25], [0.05, 0.07, 0.45], [0.08, 0.12, 0.30]], np.float32)
BACK = np.array([[0.06, 0.10, 0.25], [0.05, 0.07, 0.40], [0.08, 0.12, 0.30]], np.float32)
TRANS = np.array([[0.0, 0.0, 0.0], [0.03, 0.05, 0.45], [0.0, 0.0, 0.0]], np.float32)


def main() -> None:
    scene = tesk_gpu.EmbreeSceneManager()
    forest = build_forest(scene, n_trees=300)
    scene.build()
    geometry = scene.primitive_geometry()
    material = geometry["material_ids"]
    # Band-major [3, n_primitives] optics, flattened as the energy balance takes them.
    front, back, trans = (table[material].T.ravel() for table in (FRONT, BACK, TRANS))

    t0 = time.perf_counter()
    top, bot, sunlit = scene.run_energy_balance_multiband(
        3, n_samples=4, max_depth=6, sun_irradiance=SUN_IRRADIANCE, sky_diffuse_radiance=SKY_RADIANCE,
        sun_dir_x=SUN_DIRECTION[0], sun_dir_y=SUN_DIRECTION[1], sun_dir_z=SUN_DIRECTION[2],
        sw_reflectance=front, sw_back_reflectance=back, sw_transmittance=trans)
    n = scene.n_primitives()
    print(f"energy balance of {n:,} primitives in {time.perf_counter() - t0:.1f} s")

    # Absorbed power per primitive (both faces, summed over the three bands).
    absorbed_rate = (1 - FRONT[material].T - TRANS[material].T) * top + (1 - BACK[material].T - TRANS[material].T) * bot
    absorbed = geometry["areas"] * absorbed_rate.sum(axis=0)
    crown = geometry["instance_ids"] - forest.first_crown_instance
    in_crown = (crown >= 0) & (crown < forest.n_trees)
    per_crown = np.bincount(crown[in_crown], weights=absorbed[in_crown], minlength=forest.n_trees)
    print(f"crowns absorb {per_crown.sum():.0f} (band spectra units times m^2), "
          f"{per_crown.mean():.1f} on average, {per_crown.max():.1f} at most")

    centroid_z = geometry["vertices"].reshape(n, 3, 3)[:, :, 2].mean(axis=1)
    OUT.mkdir(exist_ok=True)
    fig, axes = plt.subplots(1, 2, figsize=(12, 5.2), constrained_layout=True)
    order = np.argsort(forest.crown_centre_z)  # taller crowns drawn on top
    ax = axes[0]
    sc = ax.scatter(forest.tree_xy[order, 0], forest.tree_xy[order, 1], c=per_crown[order], cmap="inferno",
                    s=(forest.crown_radius[order] * 7.0) ** 2, edgecolors="none")
    fig.colorbar(sc, ax=ax, label="absorbed shortwave per crown (3 bands)")
    ax.set_aspect("equal")
    ax.set_xlim(-forest.half_size, forest.half_size)
    ax.set_ylim(-forest.half_size, forest.half_size)
    ax.set_title("Absorbed shortwave per crown (top view)")
    ax.set_xlabel("x (m)")
    ax.set_ylabel("y (m)")

    ax = axes[1]
    z, f = centroid_z[in_crown], sunlit[in_crown]
    bins = np.linspace(z.min(), z.max(), 16)
    which = np.clip(np.digitize(z, bins) - 1, 0, len(bins) - 2)
    mean = np.bincount(which, weights=f, minlength=len(bins) - 1) / np.maximum(np.bincount(which, minlength=len(bins) - 1), 1)
    ax.plot(mean, 0.5 * (bins[1:] + bins[:-1]), "o-")
    ax.set_xlabel("sunlit fraction of crown surface")
    ax.set_ylabel("height (m)")
    ax.set_xlim(0, 1)
    ax.set_title("Sunlit fraction against height")
    path = OUT / "energy_balance.png"
    fig.savefig(path, dpi=110)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
