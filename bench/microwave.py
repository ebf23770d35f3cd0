"""Microwave evaluator throughput: evaluations/s of the soil models over 10^5 incidence cosines
(passive, active, smooth reflectivity, trunk surface) and of the trunk over ground over 10^4
direction triples at L and C band. Best of R runs after a warm-up; every evaluator uses all
hardware threads.

    PYTHONPATH=build/<dir> .venv/bin/python bench/microwave.py [--cosines N] [--triples M] [--repeats R]
"""

import argparse
import os
import time

import numpy as np

import tesk_gpu


def best_rate(fn, count, repeats):
    fn()  # warm-up
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return count / best


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cosines", type=int, default=100_000)
    ap.add_argument("--triples", type=int, default=10_000)
    ap.add_argument("--repeats", type=int, default=5)
    args = ap.parse_args()

    rng = np.random.default_rng(3)
    cosines = rng.uniform(0.0, 1.0, args.cosines).astype(np.float32)
    loam = np.array([0.4, 0.2, 0.25, 0.2, 1.0, 1.0, 0.1, 295.0, 290.0, 1.0, 0.01, 0.0], np.float32)
    trunk = np.array([0.2, 12.0, 0.5, 290.0, 0.05, 0.0, 1.0], np.float32)

    print(f"Microwave evaluators, {os.cpu_count()} hardware threads, best of {args.repeats}")
    soil_cases = [
        ("soil passive (Dobson)", lambda: tesk_gpu._evaluate_microwave_soil(1.4e9, loam, cosines)),
        ("soil active (Dobson)", lambda: tesk_gpu._evaluate_microwave_soil(1.4e9, loam, cosines, True)),
        ("soil smooth reflectivity", lambda: tesk_gpu._evaluate_microwave_soil_reflectivity(1.4e9, loam, cosines)),
        ("trunk surface", lambda: tesk_gpu._evaluate_microwave_trunk(1.4e9, trunk, cosines)),
    ]
    for name, fn in soil_cases:
        rate = best_rate(fn, args.cosines, args.repeats)
        print(f"  {name:<28s} {args.cosines:>8d} cosines   {rate:14.3e} evaluations/s")

    m = args.triples
    theta = rng.uniform(np.radians(100.0), np.radians(170.0), m)
    phi = rng.uniform(0.0, 2 * np.pi, m)
    to_trunk = np.column_stack([np.sin(theta) * np.cos(phi), np.sin(theta) * np.sin(phi),
                                np.cos(theta)]).astype(np.float32)
    to_ground = to_trunk + rng.normal(scale=0.02, size=(m, 3)).astype(np.float32)
    normals = np.column_stack([rng.normal(scale=0.05, size=(m, 2)), np.ones(m)]).astype(np.float32)
    for label, f in (("L band 1.4 GHz", 1.4e9), ("C band 5.4 GHz", 5.4e9)):
        k_a = 2 * np.pi * f / 2.998e8 * trunk[0]
        fn = lambda: tesk_gpu._evaluate_microwave_trunk_ground(f, loam, trunk, to_trunk, to_ground, normals)  # noqa: E731
        rate = best_rate(fn, m, args.repeats)
        print(f"  trunk over ground, {label} (k*a = {k_a:5.1f}) {m:>6d} triples   {rate:14.3e} evaluations/s")


if __name__ == "__main__":
    main()
