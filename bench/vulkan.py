"""Vulkan backend throughput next to the CPU backend on the same scene, in the same run.

Builds the synthetic forest on a VulkanSceneManager and on an EmbreeSceneManager, then times
on both: a batch of incoherent closest-hit rays (rays/s), a backward optical render
(samples/s = pixels x spp / seconds), a forward flux run (photons/s) and a shortwave energy
balance (face samples/s), after one untimed warm-up call each (pipeline creation); then a
waveform LiDAR scan (pulses/s with the footprint's rays per pulse) and its point agreement, a
passive microwave wavefront over the forest (rays/s; the device only: the CPU has no wavefront
transport), and the leaf physiology solver (elements/s, with and without the leaf energy
balance) of solve_physiology_vulkan next to solve_physiology_cpu; with --leaf-samples N, the
Turbid leaf reverse ray tracer (samples/s) of run_turbid_leaf_rrt_gpu next to
run_turbid_leaf_rrt_cpu on a periodic slab of leaf medium over a ground; with --turbid, the
Turbid and joint benchmarks with their small defaults, each next to the CPU (device-resident
domain sampling, bench/turbid_sampling.py; field builds, lookups and observation sources,
bench/vulkan_turbid_fields.py; the joint thermo-physiology process and a thermal render of a
leaf medium, bench/vulkan_joint.py).
Prints the Vulkan device name. On lavapipe (Mesa's CPU driver) the figures only prove the
path; run the same script on a machine with a GPU for device figures, with sizes to match
(for example --trees 200 --rays 2000000 --size 256 --spp 16 --photons 1000000 --pulses 20000).
The defaults keep a run on lavapipe to about a minute.

    PYTHONPATH=build/dev python bench/vulkan.py [--trees N] [--rays N] [--size N] [--spp N]
        [--pulses N] [--beam S] [--mw-rays N] [--leaves N] [--leaf-samples N] [--turbid]
        [--device I]
"""

from __future__ import annotations

import argparse
import pathlib
import subprocess
import sys
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
from forest_scene import build_forest, look_at, perspective_view  # noqa: E402

import tesk_gpu  # noqa: E402


def timed(fn):
    t0 = time.perf_counter()
    result = fn()
    return time.perf_counter() - t0, result


def physiology_request(n: int, energy: bool) -> dict:
    """n leaves with spread light, CO2, temperature and traits (one element each)."""
    rng = np.random.default_rng(2)
    u = lambda lo, hi: rng.uniform(lo, hi, n).astype(np.float32)  # noqa: E731
    r = {"apar": rng.uniform(0, 800, (n, 2)).astype(np.float32), "temperature": u(280, 310), "co2": u(200, 800),
         "relative_humidity": u(0.3, 0.9), "vpd": u(0, 2000), "pressure": u(95, 102), "wind": u(0.5, 3),
         "vcmax25": u(30, 90), "jmax25": u(60, 180), "rd25": u(0.5, 1.5), "ball_berry_slope": u(6, 11),
         "ball_berry_intercept": u(0.005, 0.03), "quantum_yield": u(0, 1), "max_iterations": 50, "tolerance": 1e-3}
    if energy:
        r.update({"dynamic_energy_balance": True, "absorbed_shortwave": u(0, 600), "absorbed_longwave": u(300, 420),
                  "air_temperature": u(285, 305), "vapor_pressure": u(800, 2000), "emissivity": u(0.95, 0.99),
                  "sidedness": np.full(n, 2.0, np.float32), "leaf_width": u(0.02, 0.1),
                  "stomata_sides": np.ones(n, np.float32)})
    return r


def physiology_rates(context, n: int) -> None:
    """Elements/s of the leaf physiology solver on the device and on the CPU, same requests."""
    scene = tesk_gpu.VulkanSceneManager(context)
    for energy in (False, True):
        req = physiology_request(n, energy)
        rates = {}
        for name, solve in (("vulkan", lambda: tesk_gpu.solve_physiology_vulkan(scene, req)),
                            ("cpu", lambda: tesk_gpu.solve_physiology_cpu(scene._scene_record(), req))):
            solve()  # warm-up: pipeline creation
            t, out = timed(solve)
            rates[name] = (n / t, out["payload"]["an"])
        diff = np.max(np.abs(rates["vulkan"][1] - rates["cpu"][1]))
        print(f"physiology solver{' + energy balance' if energy else ''} ({n} leaves): "
              f"vulkan {rates['vulkan'][0] / 1e6:8.3f} Melements/s   cpu {rates['cpu'][0] / 1e6:8.3f} "
              f"Melements/s   max |An difference| {diff:.2e}")


def lidar_bench(scenes, forest, args) -> None:
    """A nadir waveform scan over the forest on both backends (progress off, waveforms kept)."""
    rng = np.random.default_rng(2)
    h = forest.half_size
    n = args.pulses
    origins = np.column_stack([rng.uniform(-h, h, (n, 2)), np.full(n, 40.0)]).astype(np.float32)
    directions = np.tile(np.float32([[0.05, 0.0, -1.0]]), (n, 1))
    kwargs = dict(beam_half_angle_rad=0.002, beam_samples_per_dim=args.beam, max_range=60.0)
    points = {}
    for name, scene in scenes.items():
        scene.simulate_lidar(origins[:8], directions[:8], 8, **kwargs)  # warm-up: pipeline
        t, r = timed(lambda: scene.simulate_lidar(origins, directions, n, **kwargs))
        points[name] = r["points"]
        rays = n * (1 if args.beam < 1 else len(footprint(args.beam)))
        print(f"{name:6s} lidar: {n / t / 1e3:8.3f} kpulses/s ({rays / t / 1e6:.3f} Mrays/s, "
              f"{r['num_returns']} returns)")
    same = points["vulkan"].shape == points["cpu"].shape and np.allclose(
        points["vulkan"], points["cpu"], rtol=1e-4, atol=1e-4)
    print(f"lidar points agree: {same}")


def microwave_bench(scene, forest, args) -> None:
    """Radiometer lines of sight at 40 degrees over the forest, every material taken as soil."""
    n = args.mw_rays
    rng = np.random.default_rng(3)
    h = forest.half_size
    origins = np.column_stack([rng.uniform(-h, h, (n, 2)), np.full(n, 30.0)]).astype(np.float32)
    directions = np.tile(np.float32([[np.sin(0.7), 0.0, -np.cos(0.7)]]), (n, 1))
    cosines = np.linspace(0, 1, 16).astype(np.float32)
    soil = np.float32([0.3, 0.2, 0.25, 0.3, 2, 1, 0.1, 295, 290, 0, 0.01, 0])
    table = tesk_gpu._evaluate_microwave_soil(1.4e9, soil, cosines)[None]
    mapping = np.tile(np.int32([[1, 0]]), (64, 1))  # every material of the forest (and more)
    run = lambda: scene.run_microwave_wavefront(False, 4, 280.0, 0.02, 1, 0, 0, 16, origins, directions,  # noqa: E731
                                                mapping, passive_soil_table=table)
    run()  # warm-up: pipeline
    t, r = timed(run)
    tb = r["payload"]["brightness_temperature"]
    print(f"vulkan microwave: {n / t / 1e6:8.3f} Mrays/s (mean T_B H {tb[:, 0].mean():.2f} K, "
          f"V {tb[:, 1].mean():.2f} K; no CPU counterpart)")


def footprint(S: int) -> np.ndarray:
    """Footprint grid points of the unit disk (the rays a pulse traces)."""
    x = 2.0 * np.arange(S + 1) / S - 1.0
    r2 = x[:, None] ** 2 + x[None, :] ** 2
    return np.flatnonzero(r2 <= 1.0001)


def leaf_rrt_rates(context, n: int, rays: int = 16) -> None:
    """Samples/s of the leaf reverse ray tracer on the device and on the CPU, same scene record."""
    scene = tesk_gpu.VulkanSceneManager(context)
    scene.set_num_bands(2)
    scene.upload_spectral_params(np.float32([0, 0, 0, 0, 0, 0, 0.2, 0.1]))
    leaf = scene.add_material(13, 0, [0.0, 0.0])
    ground = scene.add_material(0, 6, [])
    lo, hi = (0.0, 0.0, 0.2), (4.0, 4.0, 2.0)
    v = np.float32([[hi[0] if i & 1 else lo[0], hi[1] if i & 2 else lo[1], hi[2] if i & 4 else lo[2]]
                    for i in range(8)])
    t = np.int32([[0, 2, 1], [1, 2, 3], [4, 5, 6], [5, 7, 6], [0, 1, 4], [1, 5, 4],
                  [2, 6, 3], [3, 6, 7], [0, 4, 2], [2, 4, 6], [1, 3, 5], [3, 7, 5]])
    scene.add_instance(scene.add_mesh(v, [], t, leaf), 0, 0, 0)
    g = tesk_gpu.make_ground_plane(2.0, 2.0, ground, 4.0)
    scene.add_instance(scene.add_mesh(g["vertices"], g["normals"], g["indices"], ground), 2.0, 2.0, 0.0)
    scene.set_optical_turbid_media([1.5], [0], [1], [0.0], [0, -1])
    scene.set_repetitive(1000, 4.0, 4.0)
    scene.build()
    rng = np.random.default_rng(4)
    pos = np.column_stack([rng.uniform(0.1, 3.9, (n, 2)), rng.uniform(0.3, 1.9, n)]).astype(np.float32)
    normals = rng.normal(size=(n, 3)).astype(np.float32)
    ids = np.zeros(n, np.int32)
    offsets = np.arange(n + 1, dtype=np.int32)
    args = (pos, normals, ids, ids, offsets, ids, ids, 2, rays, 8, np.float32([1.0, 0.6]), np.float32([0.2, 0.3]),
            None, np.float32([0.45, 0.05]), np.float32([0.3, 0.04]), np.float32([0.4, 0.02]))
    kw = dict(sun_dir_x=0.3, sun_dir_z=0.95)
    rates = {}
    for name, run in (("vulkan", lambda: scene.run_turbid_leaf_rrt_gpu(*args, **kw)),
                      ("cpu", lambda: tesk_gpu.run_turbid_leaf_rrt_cpu(scene._scene_record(), *args, **kw)["payload"])):
        run()  # warm-up: pipeline creation
        t_run, out = timed(run)
        rates[name] = (n / t_run, out["total_irradiance_top"].mean())
    print(f"turbid leaf RRT ({n} samples, 2 x {rays} rays): vulkan {rates['vulkan'][0]:10.1f} samples/s   "
          f"cpu {rates['cpu'][0]:10.1f} samples/s   mean top irradiance vulkan {rates['vulkan'][1]:.4f} "
          f"cpu {rates['cpu'][1]:.4f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trees", type=int, default=50)
    parser.add_argument("--rays", type=int, default=50_000)
    parser.add_argument("--size", type=int, default=32, help="image width and height")
    parser.add_argument("--spp", type=int, default=2)
    parser.add_argument("--depth", type=int, default=4)
    parser.add_argument("--photons", type=int, default=20_000)
    parser.add_argument("--eb-samples", type=int, default=8, help="energy-balance rays per face")
    parser.add_argument("--pulses", type=int, default=200, help="LiDAR pulses")
    parser.add_argument("--beam", type=int, default=10, help="LiDAR beam_samples_per_dim")
    parser.add_argument("--mw-rays", type=int, default=5_000, help="microwave lines of sight")
    parser.add_argument("--device", type=int, default=0, help="compatible Vulkan device index")
    parser.add_argument("--leaves", type=int, default=50_000, help="elements of the physiology solver")
    parser.add_argument("--leaf-samples", type=int, default=0, help="samples of the Turbid leaf RRT (0: skip)")
    parser.add_argument("--turbid", action="store_true",
                        help="also run the Turbid sampling, field and joint-process benchmarks")
    args = parser.parse_args()
    if not getattr(tesk_gpu, "HAS_VULKAN", False):
        sys.exit("tesk_gpu was built without the Vulkan backend")

    context = tesk_gpu.VulkanContext(args.device)
    print(f"Vulkan device: {context.device_name} (physical {context.physical_device_index}, "
          f"{context.total_vram_mb} MiB device-local)")
    scenes = {"vulkan": tesk_gpu.VulkanSceneManager(context), "cpu": tesk_gpu.EmbreeSceneManager()}
    for name, scene in scenes.items():
        forest = build_forest(scene, n_trees=args.trees)
        eye, target = perspective_view(forest)
        scene.set_sensor(1, args.size, args.size, 0, 0, look_at(eye, target), 50.0)
        scene.build()
    print(f"forest: {args.trees} trees, {scene.n_primitives()} primitives")

    rng = np.random.default_rng(1)
    h = forest.half_size
    origins = np.column_stack([rng.uniform(-h, h, (args.rays, 2)), rng.uniform(0.5, 12.0, args.rays)])
    directions = rng.normal(size=(args.rays, 3))
    origins, directions = origins.astype(np.float32), directions.astype(np.float32)
    runs = {
        "vulkan": (lambda: scenes["vulkan"].trace_closest(origins, directions),
                   lambda: scenes["vulkan"].simulate_backward(args.spp, args.depth)),
        "cpu": (lambda: scenes["cpu"].trace_closest(origins, directions),
                lambda: tesk_gpu.simulate_cpu(scenes["cpu"], args.spp, args.depth)),
    }
    samples = args.size * args.size * args.spp
    for scene in scenes.values():
        scene.set_repetitive(1, 2 * h, 2 * h)  # the flux grid covers the forest
    flux = {"vulkan": lambda: scenes["vulkan"].simulate_flux(16, 16, args.photons, 3),
            "cpu": lambda: tesk_gpu.simulate_flux_cpu(scenes["cpu"], 16, 16, args.photons, 3)}
    eb_args = (args.eb_samples, 800.0, 40.0, 0.0, 0.3, 0.2, 0.9, True)
    balance = {"vulkan": lambda: scenes["vulkan"].run_energy_balance_gpu(0, *eb_args),
               "cpu": lambda: scenes["cpu"].run_energy_balance(args.eb_samples, 8, 0, *eb_args[1:])}
    face_samples = 2 * args.eb_samples * scenes["cpu"].n_primitives()
    results = {}
    for name, (trace, render) in runs.items():
        trace(), render()  # warm-up: pipelines, caches
        t_trace, hits = timed(trace)
        t_render, image = timed(render)
        results[name] = (hits, image["payload"])
        print(f"{name:6s} trace_closest: {args.rays / t_trace / 1e6:8.3f} Mrays/s   "
              f"backward: {samples / t_render / 1e6:8.3f} Msamples/s ({args.size}x{args.size}, spp {args.spp})")
    for name in runs:
        flux[name]()
        t_flux, _ = timed(flux[name])
        balance[name]()
        t_balance, _ = timed(balance[name])
        print(f"{name:6s} flux: {args.photons / t_flux / 1e6:8.3f} Mphotons/s   "
              f"energy balance: {face_samples / t_balance / 1e6:8.3f} Mface-samples/s")
    lidar_bench(scenes, forest, args)
    microwave_bench(scenes["vulkan"], forest, args)
    same = np.mean(results["vulkan"][0]["hit"] == results["cpu"][0]["hit"])
    print(f"hit agreement {same:.4f}; mean radiance vulkan {results['vulkan'][1].mean():.5f} "
          f"cpu {results['cpu'][1].mean():.5f}")
    physiology_rates(context, args.leaves)
    if args.leaf_samples > 0:
        leaf_rrt_rates(context, args.leaf_samples)
    if args.turbid:
        for script, extra in (("turbid_sampling.py", ["--samples", "50000", "--vulkan"]),
                              ("vulkan_turbid_fields.py", []), ("vulkan_joint.py", [])):
            print(f"\n== bench/{script}", flush=True)
            subprocess.run([sys.executable, str(ROOT / "bench" / script), "--device", str(args.device), *extra],
                           check=True)


if __name__ == "__main__":
    main()
