"""LiDAR throughput on the quickstart forest against raw Embree on the same scene and rays.

Builds the forest (default 2000 trees, about 2.6 million triangles) and an airborne line scan
over it (altitude 100 m, +-20 degrees, 50 m/s), then in one run:
  - simulate_lidar_cpu in direct mode (one ray per pulse) and in waveform mode (the default
    footprint, 81 rays per pulse) with 1 and 2 threads: pulses/s and rays/s (in a scene
    without leaf media every footprint ray is one closest-hit query);
  - raw Embree, one rtcIntersect1 per ray on one thread (bench/raw_embree_trace.cpp), over
    exactly the rays each mode traces (the pulses' central rays; the footprint rays of the
    waveform pulses), and the ratio of the workflow's one-thread ray rate to it.

    make bench          # builds the module and the C++ helpers first
    .venv/bin/python bench/lidar.py [--trees N] [--pulses N] [--waveform-pulses N] [--bin DIR]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))
from forest_scene import build_forest  # noqa: E402
from scene_export import Recorder, parse, write_rays, write_scene  # noqa: E402

import tesk_gpu  # noqa: E402
from tesk_gpu import lidar  # noqa: E402

BEAM_HALF_ANGLE = 0.0005
SAMPLES_PER_DIM = 10


def footprint_rays(directions: np.ndarray) -> np.ndarray:
    """The footprint rays the waveform mode traces for each pulse direction, in its frame."""
    g = 2.0 * np.arange(SAMPLES_PER_DIM + 1) / SAMPLES_PER_DIM - 1.0
    x, y = (v.ravel() for v in np.meshgrid(g, g))
    keep = x * x + y * y <= 1.0001
    x, y = x[keep], y[keep]
    n = directions.astype(np.float64)
    use_x = np.abs(n[:, 0]) > np.abs(n[:, 1])
    b = np.where(use_x[:, None],
                 np.column_stack([n[:, 2], np.zeros(len(n)), -n[:, 0]]) /
                 np.hypot(n[:, 0], n[:, 2])[:, None],
                 np.column_stack([np.zeros(len(n)), n[:, 2], -n[:, 1]]) /
                 np.hypot(n[:, 1], n[:, 2])[:, None])
    a = np.cross(b, n)
    t = np.tan(BEAM_HALF_ANGLE)
    rays = (t * x[None, :, None] * a[:, None, :] + t * y[None, :, None] * b[:, None, :] + n[:, None, :])
    rays /= np.linalg.norm(rays, axis=2, keepdims=True)
    return rays.reshape(-1, 3).astype(np.float32)


def raw_rate(binary: pathlib.Path, scene_bin: pathlib.Path, rays_bin: pathlib.Path) -> float:
    runs = [parse(subprocess.run([str(binary), str(scene_bin), str(rays_bin)], check=True, capture_output=True,
                                 text=True).stdout) for _ in range(2)]
    return max(r["mrays_per_s"] for r in runs) * 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trees", type=int, default=2000)
    parser.add_argument("--pulses", type=int, default=400_000, help="pulses of the direct-mode runs")
    parser.add_argument("--waveform-pulses", type=int, default=6_000, help="pulses of the waveform runs")
    parser.add_argument("--bin", default=str(ROOT / "build/cpp"), help="directory of the C++ helpers")
    args = parser.parse_args()
    raw_bin = pathlib.Path(args.bin, "tesk_bench_raw_embree")
    if not raw_bin.exists():
        sys.exit(f"C++ helper not found in {args.bin} (run `make cpp`, or pass --bin)")
    print(f"machine: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}")

    scene = tesk_gpu.EmbreeSceneManager()
    recorder = Recorder(scene)
    forest = build_forest(recorder, n_trees=args.trees)
    scene.build()
    h = forest.half_size
    # A line along y through the forest, pulse rate chosen for the requested pulse count.
    speed, length = 50.0, 1.6 * h

    def scan(pulses):
        rate = (pulses - 1) * speed / length
        return lidar.airborne_line_scan(100.0, 20.0, rate, speed, length, start=(0.0, -0.8 * h),
                                                 heading_deg=90.0)

    direct_scan, wave_scan = scan(args.pulses), scan(args.waveform_pulses)
    print(f"scene: {scene.num_instances():,} instances, {scene.n_primitives():,} triangles; "
          f"direct {direct_scan.num_pulses:,} pulses, waveform {wave_scan.num_pulses:,} pulses x "
          f"{len(footprint_rays(wave_scan.pulse_directions[:1])):d} rays, 150 m range gate")

    rates = {}
    for mode, s in (("direct", direct_scan), ("waveform", wave_scan)):
        tesk_gpu.simulate_lidar_cpu(scene, s.pulse_origins[:200], s.pulse_directions[:200], 200,
                                    direct_mode=mode == "direct", max_range=150.0)  # warm-up
        for threads in (1, 2):
            t0 = time.perf_counter()
            r = tesk_gpu.simulate_lidar_cpu(scene, s.pulse_origins, s.pulse_directions, s.num_pulses,
                                            beam_half_angle_rad=BEAM_HALF_ANGLE,
                                            beam_samples_per_dim=SAMPLES_PER_DIM, max_range=150.0,
                                            direct_mode=mode == "direct", waveforms=(), num_threads=threads)
            rates[mode, threads] = (s.num_pulses / (time.perf_counter() - t0), r["num_returns"])

    with tempfile.TemporaryDirectory() as tmp:
        scene_bin = pathlib.Path(tmp, "scene.bin")
        write_scene(scene_bin, forest)
        raw = {}
        for mode, origins, directions in (
                ("direct", direct_scan.pulse_origins, direct_scan.pulse_directions),
                ("waveform", np.repeat(wave_scan.pulse_origins, len(footprint_rays(wave_scan.pulse_directions[:1])), 0),
                 footprint_rays(wave_scan.pulse_directions))):
            rays_bin = pathlib.Path(tmp, f"{mode}.bin")
            write_rays(rays_bin, np.ascontiguousarray(origins, np.float32), np.ascontiguousarray(directions))
            raw[mode] = raw_rate(raw_bin, scene_bin, rays_bin)

    rays_per_pulse = {"direct": 1, "waveform": len(footprint_rays(wave_scan.pulse_directions[:1]))}
    for mode in ("direct", "waveform"):
        one, two = rates[mode, 1][0], rates[mode, 2][0]
        k = rays_per_pulse[mode]
        print(f"{mode:8s} 1 thread : {one:12,.0f} pulses/s, {one * k / 1e6:7.3f} Mrays/s "
              f"({rates[mode, 1][1]:,} points)")
        print(f"{mode:8s} 2 threads: {two:12,.0f} pulses/s, {two * k / 1e6:7.3f} Mrays/s (x{two / one:.2f}, "
              f"target >= 1.8)")
        print(f"{mode:8s} raw Embree rtcIntersect1 on the same rays, 1 thread: {raw[mode] / 1e6:.3f} Mrays/s; "
              f"ratio {one * k / raw[mode]:.3f} (target >= 0.8)")
    print(f"load average at the end: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
