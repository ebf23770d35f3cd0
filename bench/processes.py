"""Scene-process throughput on the quickstart forest: elements/s of each process on 1 and 2
threads, the 2-thread scaling, and (for the coupled processes) the share of the time spent in
the longwave transport against the per-element solves.

Every crown triangle is an element of the static, SIF and joint processes; the dynamic and
energy-balance processes take every scene primitive (their elements are the primitives), with
the crowns active. The transport share is the time of the same longwave transports run alone
(run_energy_balance_cpu, same samples, same thread count) over the process's time.

    PYTHONPATH=build/<dir> .venv/bin/python bench/processes.py [--trees N] [--subdivisions S]
        [--samples K] [--iterations I] [--repeats R]

The default (100 trees, crown subdivision 3: 128k crown triangles) runs in about 15 s on two
cores.
"""

import argparse
import contextlib
import os
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from forest_scene import build_forest  # noqa: E402

import tesk_gpu  # noqa: E402


@contextlib.contextmanager
def quiet_native_stdout():
    """Sends the workflows' one-line summaries (written by native code to fd 1) to /dev/null."""
    sys.stdout.flush()
    saved = os.dup(1)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 1)
        try:
            yield
        finally:
            os.dup2(saved, 1)
            os.close(saved)


def best_time(call, repeats):
    best = float("inf")
    for _ in range(repeats):
        with quiet_native_stdout():
            t0 = time.perf_counter()
            result = call()
            best = min(best, time.perf_counter() - t0)
    return best, result


def requests(scene, forest, samples, iterations):
    geometry = scene.primitive_geometry()
    n = scene.n_primitives()
    crown = geometry["instance_ids"] - forest.first_crown_instance
    leaf = (crown >= 0) & (crown < forest.n_trees)
    idx = np.flatnonzero(leaf).astype(np.int32)
    m = len(idx)
    rng = np.random.default_rng(3)
    full = lambda k, v: np.full(k, v, np.float32)
    traits = {"vcmax25": 60.0, "jmax25": 110.0, "rd25": 1.0, "ball_berry_slope": 9.0,
              "ball_berry_intercept": 0.01, "quantum_yield": 0.05}
    top = rng.uniform(0, 60, (m, 3)).astype(np.float32)
    static = {"absorbed_top": top, "absorbed_bottom": 0.2 * top, "absorbed_direct": 0.5 * top,
              "wavelengths": np.array([470, 660, 860], np.float32), "sunlit_fraction": rng.uniform(0, 1, m).astype(np.float32),
              "temperature_sunlit": full(m, 300), "temperature_shaded": full(m, 297),
              "material_ids": np.zeros(m, np.int32), "material_active": np.ones(1, np.int32),
              "material_fluorescent": np.ones(1, np.int32), **{k: full(1, v) for k, v in traits.items()},
              "co2": 410.0, "relative_humidity": 0.55, "max_iterations": 50, "tolerance": 1e-3}
    sif = {"absorbed_top": top, "absorbed_bottom": 0.2 * top, "material_ids": np.zeros(m, np.int32),
           "material_phi_f": np.array([0.02], np.float32), "selected_band_indices": np.array([0, 1], np.int32)}
    loop = {"sky_lw_radiance": 110.0, "n_samples": samples, "max_iterations": iterations,
            "convergence_tolerance": 1e-6, "damping": 0.7}
    dynamic = {"active": leaf.astype(np.int32), "fluorescent": leaf.astype(np.int32), "apar": full(n, 900),
               "absorbed_shortwave": full(n, 350), "initial_temperature": full(n, 298), "emissivity": full(n, 0.97),
               "sidedness": np.where(leaf, 2.0, 1.0).astype(np.float32), "leaf_width": full(n, 0.05),
               "stomata_sides": full(n, 1.0), **{k: full(n, v) for k, v in traits.items()}, "co2": 410.0,
               "relative_humidity": 0.55, "air_temperature": 298.0, "vapor_pressure": 1750.0, "pressure": 101.325,
               "wind": 1.5, "physiology_max_iterations": 40, "physiology_tolerance": 1e-3, **loop}
    energy = {"primitive_material_ids": geometry["material_ids"].astype(np.int32),
              "material_active": np.array([1, 1, 1], np.int32),
              "material_initial_temperature": full(3, 300), "material_emissivity": full(3, 0.97),
              "material_sidedness": np.array([1, 2, 1], np.float32), "material_sensible_derivative": full(3, 12),
              "material_latent_coefficient": full(3, 0.05), "material_ground_heat": full(3, 10),
              "material_sw_albedo": np.array([0.1, 0.2, 0.15], np.float32), "air_temperature": 298.0,
              "vapor_pressure": 1750.0, "sw_direct": 800.0, "sw_diffuse_radiance": 30.0, "sun_dir_x": 0.3,
              "sun_dir_y": 0.2, "sun_dir_z": 0.93, "newton_max_iterations": 50, "newton_tolerance": 1e-3, **loop}
    joint = {"stable_ids": np.arange(1, m + 1, dtype=np.uint64), "representation_codes": np.zeros(m, np.int32),
             "mode_codes": np.full(m, 3, np.int32), "local_indices": idx, "farquhar_indices": np.zeros(m, np.int32),
             "areas": geometry["areas"][idx], "dynamic": np.ones(m, np.int32), "initial_temperature": full(m, 298),
             "initial_temperature_sunlit": full(m, 300), "initial_temperature_shaded": full(m, 297),
             "sunlit_fraction": static["sunlit_fraction"], "emissivity": full(m, 0.97), "sidedness": full(m, 2),
             "sensible_derivative": full(m, 0), "latent_coefficient": full(m, 0), "ground_heat": full(m, 0),
             "absorbed_shortwave": full(m, 300), "absorbed_shortwave_sunlit": full(m, 450),
             "absorbed_shortwave_shaded": full(m, 80), "apar": full(m, 900), "apar_sunlit": full(m, 1500),
             "apar_shaded": full(m, 200), "leaf_width": full(m, 0.05), "stomata_sides": full(m, 1),
             **{k: full(m, v) for k, v in traits.items()}, "max_iterations": iterations,
             "convergence_tolerance": 1e-6, "energy_tolerance": 1e-6, "physiology_tolerance": 1e-6, "damping": 0.7,
             "microclimate": {"air_temperature": 298.0, "co2": 410.0, "relative_humidity": 0.55, "pressure": 101.325,
                              "wind_speed": 1.5},
             "vapor_pressure": 1750.0, "sky_lw_radiance": 110.0, "rays_per_element": samples, "max_depth": 4}
    return n, m, static, sif, dynamic, energy, joint


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--subdivisions", type=int, default=3)
    parser.add_argument("--samples", type=int, default=2, help="longwave rays per face")
    parser.add_argument("--iterations", type=int, default=3, help="outer iterations of the coupled processes")
    parser.add_argument("--repeats", type=int, default=1)
    args = parser.parse_args()

    scene = tesk_gpu.EmbreeSceneManager()
    forest = build_forest(scene, n_trees=args.trees, crown_subdivisions=args.subdivisions)
    scene.build()
    n, m, static, sif, dynamic, energy, joint = requests(scene, forest, args.samples, args.iterations)
    print(f"forest: {args.trees} trees, {n:,} primitives, {m:,} crown triangles; "
          f"{args.samples} longwave rays per face, {args.iterations} outer iterations")

    processes = [  # name, call, elements, transports per call (longwave runs)
        ("static photosynthesis", lambda r: tesk_gpu.execute_photosynthesis_process_static_cpu(scene, r), static, m, 0),
        ("SIF finalization", lambda r: tesk_gpu.finalize_sif_process_cpu(scene, r), sif, m, 0),
        ("dynamic photosynthesis", lambda r: tesk_gpu.execute_photosynthesis_process_dynamic_cpu(scene, r), dynamic,
         n, args.iterations),
        # One shortwave run before the loop, timed as one more longwave run.
        ("energy-balance process", lambda r: tesk_gpu.execute_energy_balance_process_cpu(scene, r), energy, n,
         args.iterations + 1),
        ("joint thermo-physiology", lambda r: tesk_gpu._execute_joint_thermo_physiology_embree(scene, r), joint, m,
         args.iterations + 1),
    ]
    print(f"{'process':<25}{'elements':>10}{'1 thread':>14}{'2 threads':>14}{'scaling':>9}{'transport':>11}")
    for name, call, request, elements, transports in processes:
        times = {}
        for threads in (1, 2):
            times[threads], _ = best_time(lambda: call(dict(request, num_threads=threads)), args.repeats)
        share = ""
        if transports:
            lw, _ = best_time(lambda: tesk_gpu.run_energy_balance_cpu(scene, n_samples=args.samples, band_type=1,
                                                                      sky_lw_radiance=110.0, num_threads=2),
                              args.repeats)
            share = f"{min(transports * lw / times[2], 1.0):>10.0%}"
        rate = {t: elements / times[t] for t in times}
        print(f"{name:<25}{elements:>10,}{rate[1]:>12,.0f}/s{rate[2]:>12,.0f}/s{rate[2] / rate[1]:>9.2f}{share:>11}")
    print("elements/s = elements per call / wall time of the call (coupled processes: all iterations included);"
          " transport = share of the 2-thread time spent in the longwave transports")


if __name__ == "__main__":
    main()
