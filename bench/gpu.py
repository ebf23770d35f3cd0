"""Ray-tracing throughput of the CUDA backend next to the CPU backend on the same scene and rays.

Builds the instanced quickstart forest twice (EmbreeSceneManager and the CUDA SceneManager),
then traces the same incoherent and coherent rays: trace_closest on the CPU with all threads,
and Simulator.trace_closest on the device. Prints, per batch, CPU Mrays/s, device Grays/s from
the kernel's own time (stream events, copies excluded) and end to end (copies and result arrays
included), and how many rays agree with the CPU. Then the backward image of an oblique
perspective view (--image pixels square, --spp passes, depth 8): simulate_cpu on all threads and
Simulator.simulate, as samples/s, with the relative difference of the two image means; and the
flux grid (--photons photons, sun and sky, 64 x 64 cells): simulate_flux_cpu on all threads and
Simulator.simulate_flux, as photons/s, with the relative difference of the downwelling totals;
and the three-band energy balance of every primitive (--eb-samples face samples, depth 4):
run_energy_balance_multiband on all threads and Simulator.run_energy_balance_multiband, as face
samples/s, with the relative difference of the top totals; the forward field with three view
directions (--photons photons, 32 x 32 cells, 4 layers): simulate_forward_cpu and
Simulator.simulate_forward, as photons/s, with the relative difference of the BRF totals; and a
waveform LiDAR (--pulses pulses straight down, default footprint): simulate_lidar_cpu and
Simulator.simulate_lidar, as pulses/s, with the number of returns of each; and the leaf reverse
ray tracer (--rrt-samples samples, 32 rays per side, depth 6): run_turbid_leaf_rrt_cpu and
Simulator.run_turbid_leaf_rrt, as samples/s, with the relative difference of the top totals;
the leaf physiology solver with the energy balance (--leaves random elements, two PAR bands):
solve_physiology_cpu and solve_physiology_optix, as elements/s, with the largest relative
difference of the solved leaf temperatures; and the microwave images of the oblique view
(--image pixels square, --mw-spp lines of sight per pixel, ground as soil, every other
material a scattering vegetation layer): Simulator.simulate_microwave and
simulate_active_microwave on the device only (there is no CPU microwave image), as lines of
sight/s, with the image means.
Without a CUDA device it prints the reason and the CPU figures only.

    PYTHONPATH=build/dev python bench/gpu.py [--rays N] [--trees N] [--repeats N] [--image N] [--spp N]
                                             [--photons N] [--eb-samples N] [--pulses N]
                                             [--rrt-samples N] [--leaves N] [--mw-spp N]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))
from forest_scene import build_forest, look_at, perspective_view  # noqa: E402
from scene_export import incoherent_rays  # noqa: E402

import tesk_gpu  # noqa: E402

if hasattr(tesk_gpu, "OptiXContext"):
    import tesk_gpu.cuda  # noqa: E402


def best_of(repeats: int, fn):
    best, result = float("inf"), None
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def coherent_rays(scene, n: int) -> tuple[np.ndarray, np.ndarray]:
    """An orthographic view straight down over the scene box (a camera's primary rays)."""
    (x0, y0, _), (x1, y1, z1) = scene.aabb()
    side = int(np.sqrt(n))
    u, v = np.meshgrid(np.linspace(x0, x1, side), np.linspace(y0, y1, side))
    origins = np.column_stack([u.ravel(), v.ravel(), np.full(side * side, z1 + 1.0)])
    directions = np.tile(np.array([0.1, 0.05, -1.0]), (side * side, 1))
    return origins.astype(np.float32), directions.astype(np.float32)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rays", type=int, default=1_000_000)
    parser.add_argument("--trees", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--image", type=int, default=256, help="image side (pixels)")
    parser.add_argument("--spp", type=int, default=4, help="passes of the backward image")
    parser.add_argument("--photons", type=int, default=200_000, help="photons of the flux grid")
    parser.add_argument("--eb-samples", type=int, default=2, help="energy-balance samples per face")
    parser.add_argument("--pulses", type=int, default=2000, help="LiDAR pulses (waveform mode)")
    parser.add_argument("--rrt-samples", type=int, default=2000, help="leaf-area samples of the leaf RRT")
    parser.add_argument("--leaves", type=int, default=1_000_000, help="elements of the physiology solver")
    parser.add_argument("--mw-spp", type=int, default=16, help="lines of sight per pixel of the microwave images")
    args = parser.parse_args()

    cpu = tesk_gpu.EmbreeSceneManager()
    forest = build_forest(cpu, n_trees=args.trees)
    cpu.set_sensor(1, args.image, args.image, 0.0, 0.0, look_at(*perspective_view(forest)), 50.0)
    cpu.build()
    print(f"scene: {cpu.num_instances():,} instances, {cpu.n_primitives():,} triangles")

    sim = gpu = None
    reason = "module built without the CUDA backend"
    if hasattr(tesk_gpu, "OptiXContext"):
        try:
            context = tesk_gpu.OptiXContext(0)
            gpu = tesk_gpu.SceneManager(context)
            build_forest(gpu, n_trees=args.trees)
            gpu.set_sensor(1, args.image, args.image, 0.0, 0.0, look_at(*perspective_view(forest)), 50.0)
            t0 = time.perf_counter()
            gpu.build()
            print(f"device: {context.device_name} ({context.total_vram_mb} MiB, compute "
                  f"{context.compute_capability_major}.{context.compute_capability_minor}); "
                  f"build + upload {1e3 * (time.perf_counter() - t0):.0f} ms")
            sim = tesk_gpu.Simulator(context, tesk_gpu.cuda.ptx_path())
            sim.init()
        except RuntimeError as error:
            reason = str(error)
    if sim is None:
        print(f"no CUDA device: {reason}")

    threads = os.cpu_count() or 1
    for name, (origins, directions) in [("incoherent", incoherent_rays(cpu, args.rays)),
                                        ("coherent", coherent_rays(cpu, args.rays))]:
        n = len(origins)
        cpu.trace_closest(origins[:10000], directions[:10000])
        t_cpu, ref = best_of(args.repeats, lambda: cpu.trace_closest(origins, directions))
        line = f"{name:10s} {n:,} rays: CPU {threads} threads {n / t_cpu / 1e6:8.2f} Mrays/s"
        if sim is not None:
            sim.trace_closest(gpu, origins[:10000], directions[:10000])
            kernel_ms = []

            def device_run():
                result = sim.trace_closest(gpu, origins, directions)
                kernel_ms.append(sim.last_kernel_ms)
                return result

            t_dev, got = best_of(args.repeats, device_run)
            kernel_s = min(kernel_ms) / 1e3
            agree = np.mean((got["hit"] == ref["hit"]) &
                            (~ref["hit"] | np.isclose(got["t"], ref["t"], rtol=1e-4, atol=1e-5)))
            line += (f"; device kernel {n / kernel_s / 1e9:6.3f} Grays/s, end to end "
                     f"{n / t_dev / 1e9:6.3f} Grays/s ({t_cpu / kernel_s:.0f}x the CPU by kernel "
                     f"time); agree with CPU {100 * agree:.4f}%")
        print(line)

    samples = args.image * args.image * args.spp
    t_cpu, ref = best_of(1, lambda: tesk_gpu.simulate_cpu(cpu, args.spp, 8))
    line = (f"backward image {args.image}x{args.image}, {args.spp} spp: CPU {threads} threads "
            f"{samples / t_cpu / 1e6:8.3f} Msamples/s")
    if sim is not None:
        sim.simulate(gpu, 1, 8)  # first launch: module load and device buffers
        t_dev, got = best_of(args.repeats, lambda: sim.simulate(gpu, args.spp, 8))
        mean_ref, mean_got = float(ref["payload"].mean()), float(got["payload"].mean())
        line += (f"; device end to end {samples / t_dev / 1e6:8.3f} Msamples/s "
                 f"({t_cpu / t_dev:.1f}x the CPU); image means differ by "
                 f"{abs(mean_got - mean_ref) / max(mean_ref, 1e-30):.2e} (relative)")
    print(line)

    # The flux grid covers the footprint of an orthographic sensor looking down on the forest.
    side = 2.0 * forest.half_size
    for scene in (cpu, gpu) if gpu is not None else (cpu,):
        scene.set_sensor(0, 8, 8, side, side, np.eye(4, dtype=np.float32).ravel())
    n = args.photons
    t_cpu, ref = best_of(1, lambda: tesk_gpu.simulate_flux_cpu(cpu, 64, 64, n, 3, 0.8))
    line = f"flux grid 64x64, {n:,} photons: CPU {threads} threads {n / t_cpu / 1e6:8.3f} Mphotons/s"
    if sim is not None:
        sim.simulate_flux(gpu, 64, 64, 1000, 3, 0.8)
        t_dev, got = best_of(args.repeats, lambda: sim.simulate_flux(gpu, 64, 64, n, 3, 0.8))
        total_ref, total_got = float(ref["downwelling"].sum()), float(got["downwelling"].sum())
        line += (f"; device end to end {n / t_dev / 1e6:8.3f} Mphotons/s ({t_cpu / t_dev:.1f}x the "
                 f"CPU); downwelling totals differ by "
                 f"{abs(total_got - total_ref) / max(total_ref, 1e-30):.2e} (relative)")
    print(line)

    k, prims = args.eb_samples, cpu.n_primitives()
    eb = (3, k, 4, np.array([900, 500, 300], np.float32), np.array([30, 60, 20], np.float32), None,
          0.4, 0.2, 0.9, True, np.full(3 * prims, 0.3, np.float32))
    t_cpu, ref = best_of(1, lambda: cpu.run_energy_balance_multiband(*eb))
    samples = 2 * k * prims
    line = f"energy balance, 3 bands, {samples:,} face samples: CPU {threads} threads " \
           f"{samples / t_cpu / 1e6:8.3f} Msamples/s"
    if sim is not None:
        t_dev, got = best_of(args.repeats, lambda: sim.run_energy_balance_multiband(gpu, *eb))
        total_ref, total_got = float(ref[0].sum()), float(got[0].sum())
        line += (f"; device end to end {samples / t_dev / 1e6:8.3f} Msamples/s ({t_cpu / t_dev:.1f}x "
                 f"the CPU); top totals differ by "
                 f"{abs(total_got - total_ref) / max(total_ref, 1e-30):.2e} (relative)")
    print(line)

    heights = np.array([0, 2, 5, 10, 40], np.float32)
    views = np.array([[0, 0, 1], [0.5, 0, 0.85], [-0.3, 0.3, 0.9]], np.float32)
    fwd = (32, 32, heights, n, 3, False, views, 3, 0.8)
    t_cpu, ref = best_of(1, lambda: tesk_gpu.simulate_forward_cpu(cpu, *fwd))
    line = f"forward field 32x32x4, 3 views, {n:,} photons: CPU {threads} threads " \
           f"{n / t_cpu / 1e6:8.3f} Mphotons/s"
    if sim is not None:
        sim.simulate_forward(gpu, 32, 32, heights, 1000, 3, False, views, 3, 0.8)
        t_dev, got = best_of(args.repeats, lambda: sim.simulate_forward(gpu, *fwd))
        total_ref, total_got = float(ref["brf"].sum()), float(got["brf"].sum())
        line += (f"; device end to end {n / t_dev / 1e6:8.3f} Mphotons/s ({t_cpu / t_dev:.1f}x the "
                 f"CPU); BRF totals differ by {abs(total_got - total_ref) / max(total_ref, 1e-30):.2e} "
                 f"(relative)")
    print(line)

    (x0, y0, _), (x1, y1, z1) = cpu.aabb()
    rng = np.random.default_rng(7)
    pulses = args.pulses
    origins = np.column_stack([rng.uniform(x0, x1, pulses), rng.uniform(y0, y1, pulses),
                               np.full(pulses, z1 + 5.0)]).astype(np.float32)
    directions = np.tile(np.array([0.0, 0.0, -1.0], np.float32), (pulses, 1))
    lidar = dict(beam_half_angle_rad=0.002, max_range=float(z1 + 10.0))
    t_cpu, ref = best_of(1, lambda: tesk_gpu.simulate_lidar_cpu(cpu, origins, directions, pulses, **lidar))
    line = f"LiDAR waveforms, {pulses:,} pulses: CPU {threads} threads {pulses / t_cpu / 1e3:8.2f} kpulses/s"
    if sim is not None:
        sim.simulate_lidar(gpu, origins[:10], directions[:10], 10, **lidar)
        t_dev, got = best_of(args.repeats, lambda: sim.simulate_lidar(gpu, origins, directions, pulses, **lidar))
        line += (f"; device end to end {pulses / t_dev / 1e3:8.2f} kpulses/s ({t_cpu / t_dev:.1f}x the CPU); "
                 f"returns {got['num_returns']} (CPU {ref['num_returns']})")
    print(line)

    k = args.rrt_samples
    positions = np.column_stack([rng.uniform(x0, x1, k), rng.uniform(y0, y1, k),
                                 rng.uniform(0.5, 5.0, k)]).astype(np.float32)
    normals = rng.normal(size=(k, 3)).astype(np.float32)
    ids, offsets, none = np.full(k, -1, np.int32), np.zeros(k + 1, np.int32), np.zeros(0, np.int32)
    rrt = (positions, normals, ids, ids, offsets, none, none, 3, 32, 6, np.array([900, 500, 300], np.float32),
           np.array([30, 60, 20], np.float32))
    sun = dict(sun_dir_x=0.4, sun_dir_y=0.2, sun_dir_z=0.9)
    t_cpu, ref = best_of(1, lambda: tesk_gpu.run_turbid_leaf_rrt_cpu(cpu, *rrt, **sun))
    line = f"leaf RRT, {k:,} samples x 64 rays: CPU {threads} threads {k / t_cpu / 1e3:8.2f} ksamples/s"
    if sim is not None:
        sim.run_turbid_leaf_rrt(gpu, *rrt, **sun)
        t_dev, got = best_of(args.repeats, lambda: sim.run_turbid_leaf_rrt(gpu, *rrt, **sun))
        total_ref = float(ref["payload"]["total_irradiance_top"].sum())
        total_got = float(got["payload"]["total_irradiance_top"].sum())
        line += (f"; device end to end {k / t_dev / 1e3:8.2f} ksamples/s ({t_cpu / t_dev:.1f}x the CPU); "
                 f"top totals differ by {abs(total_got - total_ref) / max(total_ref, 1e-30):.2e} (relative)")
    print(line)

    k = args.leaves
    u = lambda lo, hi: rng.uniform(lo, hi, k).astype(np.float32)  # noqa: E731
    leaves = {"apar": np.column_stack([u(0, 600), u(0, 900)]), "temperature": u(285, 305), "co2": u(300, 500),
              "relative_humidity": u(0.3, 0.9), "vpd": u(0, 2000), "pressure": u(95, 102), "wind": u(0.2, 4),
              "vcmax25": u(20, 100), "jmax25": u(40, 200), "rd25": u(0.3, 2), "ball_berry_slope": u(4, 12),
              "ball_berry_intercept": u(0.005, 0.05), "quantum_yield": u(0, 1), "max_iterations": 50,
              "tolerance": 1e-3, "dynamic_energy_balance": True, "absorbed_shortwave": u(0, 700),
              "absorbed_longwave": u(250, 450), "air_temperature": u(285, 305), "vapor_pressure": u(500, 2500),
              "emissivity": u(0.9, 1.0), "sidedness": np.full(k, 2, np.float32), "leaf_width": u(0.01, 0.2),
              "stomata_sides": np.ones(k, np.float32)}
    t_cpu, ref = best_of(1, lambda: tesk_gpu.solve_physiology_cpu(cpu, leaves))
    line = f"leaf physiology, {k:,} elements: CPU {threads} threads {k / t_cpu / 1e6:8.3f} Melements/s"
    if sim is not None:
        t_dev, got = best_of(args.repeats, lambda: tesk_gpu.solve_physiology_optix(sim, leaves))
        t_ref, t_got = ref["payload"]["temperature"], got["payload"]["temperature"]
        line += (f"; device end to end {k / t_dev / 1e6:8.3f} Melements/s ({t_cpu / t_dev:.1f}x the CPU); "
                 f"temperatures differ by at most {np.max(np.abs(t_got - t_ref) / t_ref):.2e} (relative)")
    print(line)

    if sim is not None:
        gpu.set_sensor(1, args.image, args.image, 0.0, 0.0, look_at(*perspective_view(forest)), 50.0)
        soil = np.array([[0.3, 0.2, 0.25, 0.3, 2.0, 1.0, 0.1, 295.0, 290.0, 0.0, 0.01, 0.0]], np.float32)
        c, a = 8, 8
        luts = np.zeros((1, c, c, a, 16), np.float32)
        luts[..., 0] = luts[..., 5] = 1.0  # isotropic intensity block
        mw = dict(mw_soil_params=soil, mw_veg_params=np.array([[0.3, 0.1, 300.0]], np.float32),
                  material_map=np.array([[1, 0]] + [[2, 0]] * 7, np.int32), mw_veg_mueller_luts=luts)
        n = args.image * args.image * args.mw_spp
        for name, run in (("passive", lambda: sim.simulate_microwave(gpu, 1.4e9, 2, args.mw_spp, 6, 260.0, True,
                                                                      0.05, **mw)),
                          ("active", lambda: sim.simulate_active_microwave(gpu, 5.4e9, 4, args.mw_spp, 6, 260.0,
                                                                            0.05, **mw))):
            run()
            t_dev, img = best_of(args.repeats, run)
            print(f"microwave {name}, {n:,} lines of sight: device end to end {n / t_dev / 1e6:8.2f} Mlines/s; "
                  f"image mean {img.mean(axis=(0, 1))}")


if __name__ == "__main__":
    main()
