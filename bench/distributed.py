"""Forward flux of the quickstart forest on a two-worker Dask LocalCluster against one process.

In one run on the same scene: simulate_flux_cpu with two threads in this process (photons/s),
then tesk_gpu.distributed.simulate_flux on a LocalCluster of two single-threaded worker
processes, once cold (each worker rebuilds the scene from its recipe) and once warm (scenes
cached), its photons/s, the ratio to the threaded run, the overhead per task (cluster time minus
the threaded time's share, per task) and the round trip of an empty task. The merged result is
checked to be bit-identical to the threaded one.

    .venv/bin/python bench/distributed.py [--trees N] [--photons N] [--tasks N]
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
# This file's folder leaves the path: its name would shadow the `distributed` package.
sys.path[:] = [p for p in sys.path if pathlib.Path(p or ".").resolve() != ROOT / "bench"]
sys.path.insert(0, str(ROOT / "examples"))
import tesk_gpu  # noqa: E402
from forest_scene import build_forest  # noqa: E402
from tesk_gpu import distributed  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trees", type=int, default=2000)
    parser.add_argument("--photons", type=int, default=1_000_000)
    parser.add_argument("--tasks", type=int, default=8)
    parser.add_argument("--grid", type=int, default=64)
    args = parser.parse_args()
    from dask.distributed import Client, LocalCluster

    recipe = distributed.SceneRecipe()
    h = build_forest(recipe, n_trees=args.trees).half_size
    cam = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 50, 0, 0, 0, 1], np.float32)
    recipe.set_sensor(0, 64, 64, 2 * h, 2 * h, cam)  # the flux grid covers [0, 2h]^2
    recipe.build()
    n, p = args.grid, args.photons
    print(f"quickstart forest: {args.trees} trees, {recipe.total_triangles():,} triangles, {p:,} photons, "
          f"grid {n}x{n}, 3 bands, {args.tasks} tasks")

    t0 = time.perf_counter()
    whole = tesk_gpu.simulate_flux_cpu(recipe.scene, n, n, p, 3, prob_sun=0.8, num_threads=2)
    threaded = time.perf_counter() - t0
    print(f"one process, 2 threads:       {p / threaded:12,.0f} photons/s ({threaded:.2f} s)")

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=40) as cluster, Client(cluster) as client:
        for label in ("cold", "warm"):
            t0 = time.perf_counter()
            merged = distributed.simulate_flux(client, recipe, n, n, p, 3, prob_sun=0.8, n_tasks=args.tasks)
            dt = time.perf_counter() - t0
            same = all(np.array_equal(merged[k], whole[k]) for k in whole if k != "_execution")
            print(f"LocalCluster 2x1, {label}:     {p / dt:12,.0f} photons/s ({dt:.2f} s), "
                  f"{threaded / dt:.2f} of threaded, overhead {(dt - threaded) / args.tasks * 1e3:+.0f} ms/task, "
                  f"bit-identical: {same}")
        t0 = time.perf_counter()
        client.gather([client.submit(int, i, pure=False) for i in range(200)])
        print(f"empty task round trip:        {(time.perf_counter() - t0) / 200 * 1e3:.2f} ms/task (200 tasks)")


if __name__ == "__main__":
    main()
