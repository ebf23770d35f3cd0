"""An airborne LiDAR survey of the quickstart forest.

An aircraft at 120 m flies north over the forest at 50 m/s with a line scanner sweeping
+-25 degrees across the track, 20,000 pulses per second of 2 mrad divergence. Every pulse's
footprint is traced as a disk of 81 weighted rays, its returns are binned by range, convolved
with the 4 ns transmit pulse, and the peaks of the waveform become points: several per pulse
where a footprint falls partly on a crown and partly on the ground.

Run with ``make demo`` (or ``.venv/bin/python examples/lidar_scan.py`` after ``make install``).
Writes out/lidar_points.png (the point cloud from above and a side view of a strip, coloured by
height), out/lidar_waveform.png (one pulse's raw and convolved waveform against range with its
returns) and, when laspy is installed (``pip install .[las]``), out/lidar_scan.las.
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
from tesk_gpu import lidar  # noqa: E402

OUT = pathlib.Path(__file__).resolve().parent.parent / "out"
INSTRUMENT = dict(beam_half_angle_rad=0.002, beam_samples_per_dim=10, pulse_energy=1.0, sensor_area=0.1,
                  range_resolution=0.15, min_range=80.0, max_range=150.0, pulse_fwhm_ns=4.0,
                  peak_threshold=1e-11)


def main() -> None:
    OUT.mkdir(exist_ok=True)
    scene = tesk_gpu.EmbreeSceneManager()
    forest = build_forest(scene, n_trees=2000)
    scene.build()
    h = forest.half_size
    scan = lidar.airborne_line_scan(altitude=120.0, scan_angle_deg=25.0, pulse_rate_hz=20_000.0,
                                             speed=50.0, length=2 * h, start=(0.0, -h), heading_deg=90.0)
    t0 = time.perf_counter()
    result = tesk_gpu.simulate_lidar_cpu(scene, scan.pulse_origins, scan.pulse_directions, scan.num_pulses,
                                         **INSTRUMENT, waveforms=())
    dt = time.perf_counter() - t0
    points = result["points"]
    inside = np.all(np.abs(points[:, :2]) <= h, axis=1)
    points = points[inside]
    multiple = np.unique(points[points[:, 5] > 1, 7]).size
    print(f"LiDAR: {scan.num_pulses:,} pulses in {dt:.2f} s ({scan.num_pulses / dt:,.0f} pulses/s), "
          f"{len(points):,} points over the forest, {multiple:,} pulses with several returns")

    fig, (top, side) = plt.subplots(1, 2, figsize=(13, 5.5), gridspec_kw={"width_ratios": [1, 1.4]})
    order = np.argsort(points[:, 2])
    art = top.scatter(points[order, 0], points[order, 1], c=points[order, 2], s=0.4, cmap="viridis")
    top.set(aspect="equal", xlabel="x (m)", ylabel="y (m)", title="point cloud from above")
    fig.colorbar(art, ax=top, label="height (m)")
    strip = np.abs(points[:, 1]) < 4.0
    side.scatter(points[strip, 0], points[strip, 2], c=points[strip, 2], s=1.0, cmap="viridis")
    side.set(xlabel="x (m)", ylabel="height (m)", title="side view of the strip |y| < 4 m")
    fig.tight_layout()
    fig.savefig(OUT / "lidar_points.png", dpi=110)
    plt.close(fig)

    # The pulse with the most returns, again with its waveforms.
    pulse = int(points[np.argmax(points[:, 5]), 7])
    one = tesk_gpu.simulate_lidar_cpu(scene, scan.pulse_origins[pulse], scan.pulse_directions[pulse], 1,
                                      **INSTRUMENT, waveforms=("raw", "convolved"))
    ranges = INSTRUMENT["min_range"] + (np.arange(one["num_bins"]) + 0.5) * INSTRUMENT["range_resolution"]
    fig, ax = plt.subplots(figsize=(8, 4))
    ax.step(ranges, one["raw_waveform"][0, :, 0], where="mid", color="0.6", label="raw (per bin)")
    ax.plot(ranges, one["waveform"][0, :, 0], color="C0", label="convolved with the 4 ns pulse")
    ax.plot(one["points"][:, 6], one["points"][:, 3], "v", color="C3", label="returns")
    hit = ranges[one["raw_waveform"][0, :, 0] > 0]
    ax.set(xlim=(hit.min() - 3, hit.max() + 3), xlabel="range (m)", ylabel="returned energy per bin",
           title=f"pulse {pulse}: {one['num_returns']} returns")
    ax.legend()
    fig.tight_layout()
    fig.savefig(OUT / "lidar_waveform.png", dpi=110)
    plt.close(fig)

    written = ["out/lidar_points.png", "out/lidar_waveform.png"]
    try:
        lidar.write_las(OUT / "lidar_scan.las", points, gps_time=scan.gps_time)
        written.append("out/lidar_scan.las")
    except ImportError:
        print("laspy is not installed: no LAS file (pip install .[las])")
    print("wrote " + ", ".join(written))


if __name__ == "__main__":
    main()
