"""Quickstart: build a small instanced forest, trace a grid of nadir rays, plot what they hit.

Run with ``make demo`` (or ``.venv/bin/python examples/quickstart.py`` after ``make install``).
Writes out/quickstart_trace.png: canopy height and the id of the instance each ray hit.
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
from forest_scene import build_forest  # noqa: E402

import tesk_gpu  # noqa: E402

OUT = pathlib.Path(__file__).resolve().parent.parent / "out"


def nadir_grid(half_size: float, n: int, z: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Origins at height z over an n x n grid of pixel centres, all looking straight down."""
    c = (np.arange(n, dtype=np.float32) + 0.5) / n * 2 * half_size - half_size
    x, y = np.meshgrid(c, c[::-1])  # row 0 is the northern edge, as in a map
    origins = np.column_stack([x.ravel(), y.ravel(), np.full(x.size, z, dtype=np.float32)])
    directions = np.tile(np.array([0.0, 0.0, -1.0], dtype=np.float32), (x.size, 1))
    return origins.astype(np.float32), directions, c


def main() -> None:
    scene = tesk_gpu.EmbreeSceneManager()
    forest = build_forest(scene, n_trees=2000)
    t0 = time.perf_counter()
    scene.build()
    print(
        f"forest: {scene.num_instances()} instances, {scene.n_primitives():,} primitives "
        f"({scene.total_triangles():,} distinct triangles), built in {time.perf_counter() - t0:.2f} s"
    )

    n = 512
    top = scene.max_height() + 1.0
    origins, directions, _ = nadir_grid(forest.half_size, n, top)
    t0 = time.perf_counter()
    hits = scene.trace_closest(origins, directions)
    dt = time.perf_counter() - t0
    print(f"traced {n * n:,} nadir rays in {dt * 1e3:.1f} ms ({n * n / dt / 1e6:.2f} Mrays/s)")

    height = np.where(hits["hit"], top - hits["t"], np.nan).reshape(n, n)
    instance = hits["instance_id"].reshape(n, n).astype(float)
    instance[instance < 0] = np.nan
    cover = np.mean(hits["instance_id"] >= forest.first_crown_instance)
    print(f"crown cover seen from above: {cover:.1%}; tallest point {np.nanmax(height):.1f} m")

    OUT.mkdir(exist_ok=True)
    extent = [-forest.half_size, forest.half_size, -forest.half_size, forest.half_size]
    fig, axes = plt.subplots(1, 2, figsize=(12, 5.4), constrained_layout=True)
    im = axes[0].imshow(height, extent=extent, cmap="viridis")
    fig.colorbar(im, ax=axes[0], label="height of first hit (m)")
    axes[0].set_title("Canopy height")
    rng = np.random.default_rng(0)
    palette = plt.cm.colors.ListedColormap(rng.uniform(0.15, 0.95, size=(256, 3)))
    axes[1].imshow(np.mod(instance, 256), extent=extent, cmap=palette, interpolation="nearest")
    axes[1].set_title("Instance hit (ground, crowns, stems)")
    for ax in axes:
        ax.set_xlabel("x (m)")
        ax.set_ylabel("y (m)")
    path = OUT / "quickstart_trace.png"
    fig.savefig(path, dpi=110)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
