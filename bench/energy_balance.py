"""Energy-balance throughput on the quickstart forest against raw Embree on the same scene.

Builds the forest (default 400 trees, about half a million triangles: every primitive is a work
item, so the full 2000-tree forest would take minutes), then in one run:
  - the single-band (shortwave, albedo two-bounce) and multiband (3 bands, split leaf optics,
    multi-bounce) workflows in C++ (bench/energy_balance_bench.cpp) with 1 and 2 threads:
    primitives/s and rays/s with closest-hit and shadow queries counted;
  - raw Embree, one rtcIntersect1 per incoherent ray on one thread (bench/raw_embree_trace.cpp).
Both faces of every primitive, 4 samples per face, max_depth 8 unless given otherwise.

    make bench          # builds the module and the C++ helpers first
    .venv/bin/python bench/energy_balance.py [--trees N] [--samples N] [--bin DIR]
"""

from __future__ import annotations

import argparse
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))
from forest_scene import build_forest  # noqa: E402
from scene_export import Recorder, incoherent_rays, parse, write_description, write_rays, write_scene  # noqa: E402

import tesk_gpu  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trees", type=int, default=400)
    parser.add_argument("--samples", type=int, default=4, help="sample rays per face")
    parser.add_argument("--max-depth", type=int, default=8)
    parser.add_argument("--rays", type=int, default=1_000_000, help="incoherent rays for raw Embree")
    parser.add_argument("--bin", default=str(ROOT / "build/cpp"), help="directory of the C++ helpers")
    args = parser.parse_args()

    scene = tesk_gpu.EmbreeSceneManager()
    recorder = Recorder(scene)
    forest = build_forest(recorder, n_trees=args.trees)
    scene.build()
    n = scene.n_primitives()
    print(f"scene: {scene.num_instances():,} instances, {n:,} primitives; two-sided, "
          f"{args.samples} samples per face, max_depth {args.max_depth}")

    eb_bin = pathlib.Path(args.bin, "tesk_bench_energy_balance")
    raw_bin = pathlib.Path(args.bin, "tesk_bench_raw_embree")
    if not (eb_bin.exists() and raw_bin.exists()):
        sys.exit(f"C++ helpers not found in {args.bin} (run `make cpp`, or pass --bin)")
    origins, directions = incoherent_rays(scene, args.rays)
    with tempfile.TemporaryDirectory() as tmp:
        scene_bin, desc, rays_bin = (pathlib.Path(tmp, n) for n in ("scene.bin", "scene.txt", "rays.bin"))
        write_scene(scene_bin, forest)
        write_description(desc, scene, recorder.calls, [f"energy_balance {args.samples} {args.max_depth}"])
        write_rays(rays_bin, origins, directions)
        out = subprocess.run([str(eb_bin), str(scene_bin), str(desc), "1", "2"], check=True,
                             capture_output=True, text=True).stdout
        runs = [parse(line) for line in out.splitlines() if line.startswith(("single ", "multiband "))]
        raw = max((parse(subprocess.run([str(raw_bin), str(scene_bin), str(rays_bin)], check=True,
                                        capture_output=True, text=True).stdout) for _ in range(2)),
                  key=lambda r: r["mrays_per_s"])

    for kind in ("single", "multiband"):
        one, two = (r for r in runs if r["kind"] == kind)
        for r in (one, two):
            t = int(r["threads"])
            print(f"{kind:9s} {t} thread{'s' if t > 1 else ' '}: {r['primitives_per_s']:12,.0f} primitives/s, "
                  f"{r['mrays_per_s']:.3f} Mrays/s (closest {r['closest'] / r['rays']:.0%}, "
                  f"shadow {r['shadow'] / r['rays']:.0%})")
        print(f"{kind:9s} ratio to raw Embree (1 thread): {one['mrays_per_s'] / raw['mrays_per_s']:.3f} "
              f"(target >= 0.8); speed-up 2 threads / 1 thread: "
              f"{two['primitives_per_s'] / one['primitives_per_s']:.2f} (target >= 1.8)")
    print(f"raw Embree rtcIntersect1, incoherent, 1 thread: {raw['mrays_per_s']:.3f} Mrays/s")


if __name__ == "__main__":
    main()
