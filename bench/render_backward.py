"""Backward-renderer throughput on the quickstart forest against raw Embree on the same scene.

Builds the forest (default 2000 trees, about 2.6 million triangles), then in one run:
  - simulate_cpu through the module with 1 and 2 threads: samples/s;
  - the renderer in C++ (bench/render_backward_bench.cpp) with 1 and 2 threads: samples/s,
    rays/s with camera, bounce and shadow queries counted, heap allocations during the render;
  - raw Embree, one rtcIntersect1 per incoherent ray on one thread (bench/raw_embree_trace.cpp);
  - the same geometry with the crowns turned into turbid leaf media (leaf area density --lad,
    spherical leaves): samples/s and the cost relative to the solid crowns.
The image is 256 x 256 pixels, 3 bands, spp 16, max_depth 8 unless given otherwise.

    make bench          # builds the module and the C++ helpers first
    .venv/bin/python bench/render_backward.py [--trees N] [--size N] [--spp N] [--bin DIR]
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
from forest_scene import build_forest, look_at, perspective_view  # noqa: E402
from scene_export import Recorder, incoherent_rays, parse, write_description, write_rays, write_scene  # noqa: E402

import tesk_gpu  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trees", type=int, default=2000)
    parser.add_argument("--size", type=int, default=256)
    parser.add_argument("--spp", type=int, default=16)
    parser.add_argument("--max-depth", type=int, default=8)
    parser.add_argument("--rays", type=int, default=1_000_000, help="incoherent rays for raw Embree")
    parser.add_argument("--bin", default=str(ROOT / "build/cpp"), help="directory of the C++ helpers")
    parser.add_argument("--lad", type=float, default=0.8, help="leaf area density of turbid crowns")
    args = parser.parse_args()

    scene = tesk_gpu.EmbreeSceneManager()
    recorder = Recorder(scene)
    forest = build_forest(recorder, n_trees=args.trees)
    scene.set_sensor(1, args.size, args.size, 0.0, 0.0, look_at(*perspective_view(forest)), fov=45.0)
    scene.build()
    print(f"scene: {scene.num_instances():,} instances, {scene.n_primitives():,} triangles; "
          f"image {args.size}x{args.size}, {recorder.n_bands()} bands, spp {args.spp}, max_depth {args.max_depth}")
    samples = args.size * args.size * args.spp

    tesk_gpu.simulate_cpu(scene, spp=1, max_depth=args.max_depth)  # warm-up
    module_rate = {}
    for threads in (1, 2):
        t0 = time.perf_counter()
        tesk_gpu.simulate_cpu(scene, spp=args.spp, max_depth=args.max_depth, num_threads=threads)
        module_rate[threads] = samples / (time.perf_counter() - t0)

    # The same crowns as turbid media: the leaf material bounds medium 0 (soil, leaf, bark).
    scene.set_optical_turbid_media([args.lad], [0], [1], [0.05], [-1, 0, -1])
    turbid_rate = {}
    for threads in (1, 2):
        t0 = time.perf_counter()
        tesk_gpu.simulate_cpu(scene, spp=args.spp, max_depth=args.max_depth, num_threads=threads)
        turbid_rate[threads] = samples / (time.perf_counter() - t0)
    scene.set_optical_turbid_media([], [], [], [], [-1, -1, -1])

    render_bin = pathlib.Path(args.bin, "tesk_bench_render_backward")
    raw_bin = pathlib.Path(args.bin, "tesk_bench_raw_embree")
    if not (render_bin.exists() and raw_bin.exists()):
        sys.exit(f"C++ helpers not found in {args.bin} (run `make cpp`, or pass --bin)")
    origins, directions = incoherent_rays(scene, args.rays)
    with tempfile.TemporaryDirectory() as tmp:
        scene_bin, desc, rays_bin = (pathlib.Path(tmp, n) for n in ("scene.bin", "scene.txt", "rays.bin"))
        write_scene(scene_bin, forest)
        write_description(desc, scene, recorder.calls, [f"render {args.spp} {args.max_depth}"])
        write_rays(rays_bin, origins, directions)
        out = subprocess.run([str(render_bin), str(scene_bin), str(desc), "1", "2"], check=True,
                             capture_output=True, text=True).stdout
        runs = [parse(line) for line in out.splitlines() if line.startswith("render ")]
        raw = max((parse(subprocess.run([str(raw_bin), str(scene_bin), str(rays_bin)], check=True,
                                        capture_output=True, text=True).stdout) for _ in range(2)),
                  key=lambda r: r["mrays_per_s"])

    one, two = runs
    accumulators_mib = args.size * args.size * recorder.n_bands() * 8 / 2**20
    print(f"simulate_cpu (module)   1 thread : {module_rate[1]:10,.0f} samples/s")
    print(f"simulate_cpu (module)   2 threads: {module_rate[2]:10,.0f} samples/s "
          f"(x{module_rate[2] / module_rate[1]:.2f})")
    for r in runs:
        print(f"render_backward (C++)   {int(r['threads'])} thread{'s' if r['threads'] > 1 else ' '}: "
              f"{r['samples_per_s']:10,.0f} samples/s, {r['mrays_per_s']:.3f} Mrays/s "
              f"(camera {r['camera'] / r['rays']:.0%}, bounce {r['bounce'] / r['rays']:.0%}, "
              f"shadow {r['shadow'] / r['rays']:.0%}); {int(r['allocations'])} allocations, "
              f"{r['allocated_bytes'] / 2**20:.2f} MiB")
    print(f"raw Embree rtcIntersect1, incoherent, 1 thread: {raw['mrays_per_s']:.3f} Mrays/s")
    print(f"ratio renderer/raw (1 thread): {one['mrays_per_s'] / raw['mrays_per_s']:.3f} (target >= 0.6)")
    print(f"speed-up 2 threads / 1 thread: {two['samples_per_s'] / one['samples_per_s']:.2f} (target >= 1.8)")
    print(f"radiance accumulator: {accumulators_mib:.2f} MiB (the render allocates nothing per sample)")
    for threads in (1, 2):
        print(f"turbid crowns (module) {threads} thread{'s' if threads > 1 else ' '}: "
              f"{turbid_rate[threads]:10,.0f} samples/s; cost relative to solid crowns "
              f"x{module_rate[threads] / turbid_rate[threads]:.2f}")


if __name__ == "__main__":
    main()
