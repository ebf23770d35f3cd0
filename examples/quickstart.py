"""Quickstart: build a small instanced forest, trace a grid of nadir rays, plot what they hit,
then render the forest in three bands from a perspective camera and an upward fisheye camera;
then trace photons through a forest whose crowns are volumetric leaf media (absorbed PAR per
layer, downwelling flux) and plot its reflectance against view angle.

Run with ``make demo`` (or ``.venv/bin/python examples/quickstart.py`` after ``make install``).
Writes out/quickstart_trace.png (canopy height and the id of the instance each ray hit),
out/render_perspective.png, out/render_fisheye.png (false-colour composite and the three bands),
out/quickstart_fpar.png (fPAR profile and flux grid), out/turbid_brf.png (see turbid_brf.py) and
out/turbid_profile.png (sunlit fraction, absorbed PAR and leaf temperatures through a turbid
crown; see turbid_profile.py).
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
from forest_scene import BAND_WAVELENGTHS_NM, build_forest, fisheye_view, look_at, perspective_view  # noqa: E402

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

    render_views(scene, forest)


# ---- rendering: backward path tracing of the same forest ----------------------------------------


def progress_bar(label: str):
    """A progress callable for simulate_cpu: a tqdm bar when tqdm is installed, else a text bar."""
    try:
        from tqdm import tqdm
    except ImportError:
        tqdm = None
    state = {"bar": None}

    def report(done: int, total: int, elapsed_ms: float) -> None:
        if tqdm is not None:
            if state["bar"] is None:
                state["bar"] = tqdm(total=total, desc=label, unit="pass")
            state["bar"].update(done - state["bar"].n)
            if done == total:
                state["bar"].close()
            return
        width = 30
        filled = width * done // total
        end = "\n" if done == total else ""
        print(f"\r{label} [{'#' * filled}{'.' * (width - filled)}] {done}/{total} passes, "
              f"{elapsed_ms / 1e3:.1f} s", end=end, flush=True)

    return report


def save_bands(path: pathlib.Path, image: np.ndarray, title: str) -> None:
    """False-colour composite (NIR, red, blue as R, G, B) and one panel per band."""
    bands = np.clip(image, 0.0, None)
    scale = np.percentile(bands.reshape(-1, bands.shape[-1]), 99.5, axis=0)
    composite = np.clip(bands[..., [2, 1, 0]] / np.maximum(scale[[2, 1, 0]], 1e-12), 0.0, 1.0) ** (1 / 2.2)
    fig, axes = plt.subplots(1, 4, figsize=(17, 4.4), constrained_layout=True)
    axes[0].imshow(composite)
    axes[0].set_title(f"{title}: NIR / red / blue")
    for b, ax in enumerate(axes[1:]):
        im = ax.imshow(bands[..., b], cmap="gray", vmin=0.0, vmax=scale[b])
        ax.set_title(f"{BAND_WAVELENGTHS_NM[b]:.0f} nm")
        fig.colorbar(im, ax=ax, shrink=0.8, label="radiance (W m-2 sr-1 nm-1)")
    for ax in axes:
        ax.set_axis_off()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print(f"wrote {path}")


def render_views(scene: tesk_gpu.EmbreeSceneManager, forest) -> None:
    """Render a perspective view over the forest and an upward fisheye view from below it."""
    views = [
        # name, sensor type, width, height, fov (degrees), camera-to-world, image rows to flip
        ("perspective", 1, 400, 300, 45.0, look_at(*perspective_view(forest)), True),
        ("fisheye", 4, 320, 320, 180.0, fisheye_view(forest), False),
    ]
    for name, kind, width, height, fov, camera, flip in views:
        scene.set_sensor(kind, width, height, 0.0, 0.0, camera, fov=fov, projection_type=0)
        t0 = time.perf_counter()
        result = tesk_gpu.simulate_cpu(scene, spp=16, max_depth=8, progress=progress_bar(name),
                                       outputs=("radiance", "standard_error"))
        dt = time.perf_counter() - t0
        image = result["payload"][::-1] if flip else result["payload"]
        rel_se = np.mean(result["standard_error"]) / max(float(np.mean(result["payload"])), 1e-30)
        print(f"{name}: {width}x{height} pixels x 16 samples in {dt:.1f} s "
              f"({width * height * 16 / dt / 1e6:.2f} M samples/s), mean relative standard error {rel_se:.1%}")
        save_bands(OUT / f"render_{name}.png", image, name)


# ---- forward photon tracing: absorbed PAR (fPAR) profile of a turbid-crown forest ---------------


def photon_progress(label: str):
    """Progress of the forward workflows (reported every million photons): a tqdm bar, which the
    workflows drive directly, when tqdm is installed, else a text line."""
    try:
        from tqdm import tqdm
    except ImportError:
        def report(done: int, total: int, elapsed_ms: float) -> None:
            end = "\n" if done == total else ""
            print(f"\r{label}: {done:,}/{total:,} photons, {elapsed_ms / 1e3:.1f} s", end=end, flush=True)

        return report
    return tqdm(desc=label, unit="photon", unit_scale=True)


def forward_demo(n_photons: int = 1_000_000) -> None:
    """Forward photons through a periodic forest whose crowns are turbid leaf media: absorbed PAR
    per 1 m layer against height, and the downwelling flux reaching surfaces, seen from above.
    PAR is taken as the blue and red bands together. Writes out/quickstart_fpar.png."""
    from forest_scene import build_turbid_forest

    scene = tesk_gpu.EmbreeSceneManager()
    forest = build_turbid_forest(scene)
    scene.build()
    heights = np.arange(0.0, np.ceil(forest.top) + 1.0, 1.0, dtype=np.float32)
    t0 = time.perf_counter()
    field = tesk_gpu.simulate_forward_cpu(scene, 32, 32, heights, n_photons, 3, prob_sun=0.8,
                                          terrain_instance_id=forest.ground_instance,
                                          progress=photon_progress("fPAR"))
    dt = time.perf_counter() - t0
    par = slice(0, 2)
    incident = field["incident"][par].sum()
    per_layer = field["grid"][..., par].sum(axis=(1, 2, 3)) / incident
    print(f"turbid forest: {forest.n_trees} ellipsoid crowns, {n_photons:,} photons in {dt:.1f} s "
          f"({n_photons / dt:,.0f} photons/s); fPAR {per_layer.sum():.1%}, soil absorbs "
          f"{field['terrain'][par].sum() / incident:.1%}, reflected {field['escaped'][par].sum() / incident:.1%}")

    n = 64
    flux = tesk_gpu.simulate_flux_cpu(scene, n, n, n_photons, 3, prob_sun=0.8, decompose=True,
                                      progress=photon_progress("flux"))
    cell_area = (forest.size / n) ** 2
    down_par = flux["downwelling"][..., par].sum(axis=-1) / cell_area  # W m-2 nm-1 summed over bands

    fig, axes = plt.subplots(1, 2, figsize=(12, 5.2), constrained_layout=True)
    centres = 0.5 * (heights[1:] + heights[:-1])
    axes[0].barh(centres, per_layer, height=0.9 * np.diff(heights), color="seagreen")
    axes[0].set_xlabel("absorbed PAR per layer / incident PAR")
    axes[0].set_ylabel("height (m)")
    axes[0].set_title(f"fPAR profile (total {per_layer.sum():.1%})")
    im = axes[1].imshow(down_par, origin="lower", extent=[0, forest.size, 0, forest.size], cmap="magma")
    fig.colorbar(im, ax=axes[1], label="PAR reaching ground and stems (W m-2 nm-1)")
    axes[1].set_title("Downwelling flux grid, top view")
    axes[1].set_xlabel("x (m)")
    axes[1].set_ylabel("y (m)")
    OUT.mkdir(exist_ok=True)
    path = OUT / "quickstart_fpar.png"
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
    forward_demo()
    from turbid_brf import brf_demo

    brf_demo()
    from turbid_profile import profile_demo

    profile_demo()
