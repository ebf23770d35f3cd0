"""Ray-tracing throughput of the CPU scene against raw Embree on the same rays.

Builds the instanced quickstart forest (at least a million triangles), then traces the same
incoherent rays three ways in one run: a raw Embree loop in C++ (one rtcIntersect1 per ray,
one thread; bench/raw_embree_trace.cpp), trace_closest with one thread and trace_closest with
all threads. Prints Mrays/s, the ratios, the build time and the scene's resident memory.

    make bench            # builds the C++ helper and the module first
    .venv/bin/python bench/trace_throughput.py [--rays N] [--trees N] [--raw PATH]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

# NumPy's BLAS worker threads spin for a while after each call and would steal a core from
# the one-thread measurement; the benchmark does no linear algebra worth threading.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
from forest_scene import build_forest  # noqa: E402
from scene_export import incoherent_rays, parse, write_rays, write_scene  # noqa: E402

import tesk_gpu  # noqa: E402


def rss_mib() -> float:
    """Resident set size of this process (MiB)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def best_of(repeats: int, fn) -> tuple[float, object]:
    best, result = float("inf"), None
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rays", type=int, default=1_000_000)
    parser.add_argument("--trees", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--raw", default=str(ROOT / "build/cpp/tesk_bench_raw_embree"))
    args = parser.parse_args()

    rss0 = rss_mib()
    scene = tesk_gpu.EmbreeSceneManager()
    forest = build_forest(scene, n_trees=args.trees)
    rss_described = rss_mib()
    t0 = time.perf_counter()
    scene.build()
    build_s = time.perf_counter() - t0
    rss_built = rss_mib()
    print(f"scene: {scene.num_instances():,} instances, {scene.n_primitives():,} triangles "
          f"({scene.total_triangles():,} distinct)")
    print(f"build: {build_s * 1e3:.1f} ms; resident memory: description {rss_described - rss0:.1f} MiB, "
          f"after build +{rss_built - rss_described:.1f} MiB (total {rss_built - rss0:.1f} MiB)")

    # Incoherent rays: uniform origins in the scene box, uniform directions on the sphere.
    origins, directions = incoherent_rays(scene, args.rays)

    raw_mrays = float("nan")
    raw_hits = None
    if os.path.exists(args.raw):
        with tempfile.TemporaryDirectory() as tmp:
            scene_bin, rays_bin = pathlib.Path(tmp, "scene.bin"), pathlib.Path(tmp, "rays.bin")
            write_scene(scene_bin, forest)
            write_rays(rays_bin, origins, directions)
            runs = []
            for _ in range(args.repeats):
                out = subprocess.run([args.raw, str(scene_bin), str(rays_bin)], check=True,
                                     capture_output=True, text=True).stdout
                runs.append(parse(out))
            best = max(runs, key=lambda r: r["mrays_per_s"])
            raw_mrays, raw_hits = best["mrays_per_s"], int(best["hits"])
    else:
        print(f"raw Embree helper not found at {args.raw} (run `make cpp`); skipping it")

    n_threads = os.cpu_count() or 1
    scene.trace_closest(origins[:10000], directions[:10000])  # warm caches and page in the BVH
    t1, hits1 = best_of(args.repeats, lambda: scene.trace_closest(origins, directions, num_threads=1))
    tn, hitsn = best_of(args.repeats, lambda: scene.trace_closest(origins, directions, num_threads=0))
    same = all(np.array_equal(hits1[k], hitsn[k]) for k in hits1)
    one_mrays, all_mrays = args.rays / t1 / 1e6, args.rays / tn / 1e6

    print(f"rays: {args.rays:,} incoherent; hits: trace_closest {int(hits1['hit'].sum()):,}"
          + (f", raw Embree {raw_hits:,}" if raw_hits is not None else ""))
    print(f"raw Embree rtcIntersect1, 1 thread : {raw_mrays:8.3f} Mrays/s")
    print(f"trace_closest, 1 thread            : {one_mrays:8.3f} Mrays/s  (ratio to raw {one_mrays / raw_mrays:.3f})")
    print(f"trace_closest, {n_threads} threads          : {all_mrays:8.3f} Mrays/s  "
          f"(ratio to 1 thread {all_mrays / one_mrays:.3f})")
    print(f"results identical across thread counts: {same}")


if __name__ == "__main__":
    main()
