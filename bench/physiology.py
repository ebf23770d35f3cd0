"""Leaf physiology solver throughput: elements/s with and without the leaf energy balance,
on 1 and 2 OpenMP threads, and the 2-thread scaling ratio.

The solver takes no thread-count argument; like every OpenMP loop it follows the runtime's
OMP_NUM_THREADS, so each configuration runs in a fresh interpreter with that variable set.

    PYTHONPATH=build/<dir> .venv/bin/python bench/physiology.py [--elements N] [--repeats R]
"""

import argparse
import json
import os
import subprocess
import sys

WORKER = r"""
import json, sys, time
import numpy as np
import tesk_gpu

n, repeats, energy = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3] == "1"
rng = np.random.default_rng(7)
f = lambda lo, hi: rng.uniform(lo, hi, n).astype(np.float32)
request = {
    "apar": rng.uniform(0.0, 1000.0, (n, 2)).astype(np.float32),
    "temperature": f(285.0, 310.0), "co2": f(350.0, 700.0), "relative_humidity": f(0.4, 0.9),
    "vpd": f(500.0, 2500.0), "pressure": np.full(n, 101.325, np.float32),
    "wind": f(0.2, 5.0), "vcmax25": f(30.0, 90.0), "jmax25": f(60.0, 180.0),
    "rd25": f(0.5, 1.5), "ball_berry_slope": f(6.0, 12.0),
    "ball_berry_intercept": f(0.005, 0.03), "quantum_yield": f(0.0, 1.0),
    "max_iterations": 50, "tolerance": 1e-3,
}
if energy:
    request.update({
        "dynamic_energy_balance": True, "absorbed_shortwave": f(0.0, 700.0),
        "absorbed_longwave": f(600.0, 800.0), "air_temperature": f(288.0, 308.0),
        "vapor_pressure": f(800.0, 2000.0), "emissivity": np.full(n, 0.97, np.float32),
        "sidedness": np.full(n, 2.0, np.float32), "leaf_width": f(0.02, 0.1),
        "stomata_sides": np.full(n, 1.0, np.float32),
    })
scene = tesk_gpu.EmbreeSceneManager()
tesk_gpu.solve_physiology_cpu(scene, request)  # warm-up: page in code and thread pool
best = float("inf")
for _ in range(repeats):
    t0 = time.perf_counter()
    payload = tesk_gpu.solve_physiology_cpu(scene, request)["payload"]
    best = min(best, time.perf_counter() - t0)
print(json.dumps({"seconds": best, "converged": float(payload["converged"].mean())}))
"""


def run(elements, repeats, energy, threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OMP_PROC_BIND="false")
    out = subprocess.run([sys.executable, "-c", WORKER, str(elements), str(repeats),
                          "1" if energy else "0"], env=env, check=True, capture_output=True,
                         text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--elements", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    print(f"solve_physiology_cpu, {args.elements} elements, best of {args.repeats}, "
          f"{os.cpu_count()} CPUs visible")
    for energy in (False, True):
        label = "with energy balance   " if energy else "without energy balance"
        rates = {}
        for threads in (1, 2):
            r = run(args.elements, args.repeats, energy, threads)
            rates[threads] = args.elements / r["seconds"]
            print(f"  {label}  {threads} thread{'s' if threads > 1 else ' '}: "
                  f"{rates[threads]:12.4g} elements/s  ({r['seconds'] * 1e3:8.1f} ms, "
                  f"{100 * r['converged']:.1f} % converged)")
        print(f"  {label}  scaling 2/1 threads: {rates[2] / rates[1]:.2f}")


if __name__ == "__main__":
    main()
