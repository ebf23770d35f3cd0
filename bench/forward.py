"""Forward photon workflows (flux grid and absorbed-radiation field with BRF) against raw Embree.

Two scenes: the quickstart forest (default 2000 trees of surface crowns, about 2.6 million
triangles; its flux grid is the 100 m x 100 m footprint of an orthographic sensor) and the
turbid-crown forest of build_turbid_forest (default 400 ellipsoid crowns filled with leaves in a
periodic 100 m tile). In one run, per scene:
  - simulate_flux_cpu and simulate_forward_cpu through the module with 1 and 2 threads: photons/s;
  - the same workflows in C++ (bench/forward_bench.cpp) with 1 and 2 threads: photons/s and
    rays/s (closest-hit queries along paths, queries toward view directions, containment walks);
  - raw Embree, one rtcIntersect1 per incoherent ray on one thread (bench/raw_embree_trace.cpp),
    and the ratio of the workflows' ray rate to it.
Finally the tally memory of a 512 x 512 x 32-layer field in the turbid scene: double totals
(grid and its sun/sky split) and the partial of the fold block being summed, whatever the
thread count, plus the deposit logs of the chunks in flight; the peak resident memory of a run
is measured in a fresh process and compared with that plus the float results.

    make cpp && make install     # or a CMake build directory holding the module and helpers
    .venv/bin/python bench/forward.py [--trees N] [--photons N] [--bin DIR]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))
from forest_scene import build_forest, build_turbid_forest  # noqa: E402
from scene_export import (Recorder, floats, incoherent_rays, parse, write_description,  # noqa: E402
                          write_rays, write_scene)

import tesk_gpu  # noqa: E402


def bench_scene(label, scene, recorder, meshes, photons, args) -> None:
    views = np.array([0.0, 0.0, 1.0, 0.5, 0.0, 0.8660254], np.float32)
    top = scene.max_height()
    heights = np.arange(0.0, np.ceil(top) + 1.0, 1.0, dtype=np.float32)
    nb = next(a[0] for n, a, _ in recorder.calls if n == "set_num_bands")
    print(f"\n== {label}: {scene.num_instances():,} instances, {scene.n_primitives():,} triangles, "
          f"{scene.num_optical_turbid_media()} media; {photons:,} photons, {nb} bands, max_depth 16")

    module = {}
    for workflow in ("flux", "forward"):
        for threads in (1, 2):
            t0 = time.perf_counter()
            if workflow == "flux":
                tesk_gpu.simulate_flux_cpu(scene, 64, 64, photons, nb, num_threads=threads)
            else:
                tesk_gpu.simulate_forward_cpu(scene, 32, 32, heights, photons, nb, brf_directions=views,
                                              num_brf_dirs=2, num_threads=threads)
            module[workflow, threads] = photons / (time.perf_counter() - t0)

    runs = [f"flux 64 64 {photons} 16",
            f"forward 32 32 {photons} 16 {len(heights)} {floats(heights)} 2 {floats(views)}"]
    origins, directions = incoherent_rays(scene, args.rays)
    with tempfile.TemporaryDirectory() as tmp:
        scene_bin, desc, rays_bin = (pathlib.Path(tmp, n) for n in ("scene.bin", "scene.txt", "rays.bin"))
        write_scene(scene_bin, meshes)
        write_description(desc, scene, recorder.calls, runs)
        write_rays(rays_bin, origins, directions)
        out = subprocess.run([str(pathlib.Path(args.bin, "tesk_bench_forward")), str(scene_bin), str(desc), "1", "2"],
                             check=True, capture_output=True, text=True).stdout
        native = [parse(line) for line in out.splitlines() if line.startswith(("flux ", "forward "))]
        raw = max((parse(subprocess.run([str(pathlib.Path(args.bin, "tesk_bench_raw_embree")), str(scene_bin),
                                         str(rays_bin)], check=True, capture_output=True, text=True).stdout)
                   for _ in range(2)), key=lambda r: r["mrays_per_s"])

    print(f"raw Embree rtcIntersect1, incoherent, 1 thread: {raw['mrays_per_s']:.3f} Mrays/s")
    for workflow in ("flux", "forward"):
        one, two = (r for r in native if r["kind"] == workflow)
        print(f"simulate_{workflow}_cpu (module): 1 thread {module[workflow, 1]:10,.0f} photons/s, "
              f"2 threads {module[workflow, 2]:10,.0f} photons/s (x{module[workflow, 2] / module[workflow, 1]:.2f})")
        for r in (one, two):
            rays = r["rays"]
            print(f"render_{workflow} (C++) {int(r['threads'])} thread{'s' if r['threads'] > 1 else ' '}: "
                  f"{r['photons_per_s']:10,.0f} photons/s, {r['mrays_per_s']:.3f} Mrays/s "
                  f"({rays / photons:.2f} rays/photon: path {r['closest'] / rays:.0%}, "
                  f"view {r['view'] / rays:.0%}, containment {r['containment'] / rays:.1%})")
        print(f"  ratio to raw Embree (1 thread): {one['mrays_per_s'] / raw['mrays_per_s']:.3f} (target >= 0.6); "
              f"2 threads / 1 thread: {two['photons_per_s'] / one['photons_per_s']:.2f} (target >= 1.8)")


MEMORY_PROBE = textwrap.dedent("""
    import sys
    sys.path.insert(0, {examples!r})
    import numpy as np
    from forest_scene import build_turbid_forest
    import tesk_gpu

    def status(key):
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) * 1024 for l in f if l.startswith(key))

    scene = tesk_gpu.EmbreeSceneManager()
    build_turbid_forest(scene, n_trees={trees})
    scene.build()
    before = status("VmRSS:")
    result = tesk_gpu.simulate_forward_cpu(scene, 512, 512, np.linspace(0.0, 32.0, 33), {photons}, {bands},
                                           num_threads={threads})
    print(before, status("VmHWM:"), sum(a.nbytes for k, a in result.items() if k != "_execution"))
""")


def bench_memory(args) -> None:
    threads, bands = 2, 3
    probe = MEMORY_PROBE.format(examples=str(ROOT / "examples"), trees=args.turbid_trees, photons=20000,
                                bands=bands, threads=threads)
    out = subprocess.run([sys.executable, "-c", probe], check=True, capture_output=True, text=True,
                         env=dict(os.environ)).stdout.split("\n")
    before, peak, results = (int(v) for v in out[-2].split())
    cells = 512 * 512 * 32 * bands
    layout = 2 * 3 * cells * 8  # grid and its sun/sky split in doubles: totals and the fold block
    mib = 2**20
    print(f"\n== tally memory, 512 x 512 x 32 layers, {bands} bands, {threads} threads (turbid forest)")
    print(f"double totals and fold block: {layout / mib:.0f} MiB for any thread count; "
          f"float results {results / mib:.0f} MiB")
    growth = peak - before
    verdict = "within" if growth <= 1.05 * (layout + 2 * results) + 64 * mib else "ABOVE"
    print(f"measured peak growth during the run: {growth / mib:.0f} MiB ({verdict} the layout's "
          f"{(layout + 2 * results) / mib:.0f} MiB: tallies, results and their host copies)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trees", type=int, default=2000, help="trees of the quickstart forest")
    parser.add_argument("--turbid-trees", type=int, default=400, help="crowns of the turbid forest")
    parser.add_argument("--photons", type=int, default=400_000)
    parser.add_argument("--rays", type=int, default=1_000_000, help="incoherent rays for raw Embree")
    parser.add_argument("--bin", default=str(ROOT / "build/cpp"), help="directory of the C++ helpers")
    parser.add_argument("--skip-memory", action="store_true")
    args = parser.parse_args()
    for helper in ("tesk_bench_forward", "tesk_bench_raw_embree"):
        if not pathlib.Path(args.bin, helper).exists():
            sys.exit(f"C++ helper {helper} not found in {args.bin} (run `make cpp`, or pass --bin)")
    print(f"machine: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}")

    scene = tesk_gpu.EmbreeSceneManager()
    recorder = Recorder(scene)
    forest = build_forest(recorder, n_trees=args.trees)
    h = forest.half_size
    cam = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 50, 0, 0, 0, 1], np.float32)
    scene.set_sensor(0, 64, 64, 2 * h, 2 * h, cam)  # the flux grid covers [0, 2h]^2
    scene.build()
    bench_scene("quickstart forest (surface crowns)", scene, recorder, forest, args.photons, args)

    scene = tesk_gpu.EmbreeSceneManager()
    recorder = Recorder(scene)
    turbid = build_turbid_forest(recorder, n_trees=args.turbid_trees)
    scene.build()
    bench_scene("turbid-crown forest (ellipsoid media)", scene, recorder, turbid, args.photons, args)

    if not args.skip_memory:
        bench_memory(args)
    print(f"\nload average at the end: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
