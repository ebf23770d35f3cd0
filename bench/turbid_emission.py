"""Cost of leaf emission inside media in a thermal backward render.

A periodic leaf slab (LAI --lai, grey leaves) over a ground at 300 K under a 300 K sky, seen
at 30 degrees by a --size x --size orthographic camera, rendered with 2 threads with the leaves
cold (no thermal state) and emitting (per-instance thermal state), alternately, best of
--repeats. Emission draws no random numbers, so both renders trace the same paths and the
difference is the cost of the emission itself.

    PYTHONPATH=build/dev .venv/bin/python bench/turbid_emission.py [--size N] [--spp N]
"""

import argparse
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))
from test_turbid_render import BANDS_NM, emitting_slab, planck, view  # noqa: E402

import tesk_gpu  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=128)
    parser.add_argument("--spp", type=int, default=8)
    parser.add_argument("--lai", type=float, default=3.0)
    parser.add_argument("--repeats", type=int, default=3)
    a = parser.parse_args()
    scene = emitting_slab(a.lai, 0.1, 0.05, planck(BANDS_NM, 300.0), "thermal", ground_kelvin=300.0)
    view(scene, 30.0, 40.0, size=a.size)
    best = {False: 0.0, True: 0.0}
    for _ in range(a.repeats):
        for emitting in (False, True):
            if emitting:
                scene.set_instance_turbid_thermal_state([0, 305.0], [0, 298.0], [0, 0.4], [0, 0.85])
            else:
                scene.clear_instance_turbid_thermal_state()
            t = time.perf_counter()
            out = tesk_gpu.simulate_cpu(scene, spp=a.spp, max_depth=8, num_threads=2)
            rate = a.size * a.size * a.spp / (time.perf_counter() - t)
            best[emitting] = max(best[emitting], rate)
    print(f"thermal render, leaves cold:     {best[False]:10.0f} samples/s")
    print(f"thermal render, leaves emitting: {best[True]:10.0f} samples/s "
          f"(mean radiance {np.asarray(out['payload']).mean(axis=(0, 1))})")


if __name__ == "__main__":
    main()
