"""Joint thermo-physiology and thermal leaf-media renders on the Vulkan device next to the CPU.

Times `_execute_joint_thermo_physiology_vulkan` against `_execute_joint_thermo_physiology_embree`
on a ground under N horizontal leaves (two Farquhar triangles each; the ground prescribed), and
`simulate_backward` against `simulate_cpu` on a thermal slab of leaf medium whose leaves emit
from the per-instance thermal state (samples/s = pixels x spp / seconds), after one untimed
warm-up call each (pipeline creation). Prints the Vulkan device name. On lavapipe (Mesa's CPU
driver) the device figures only prove the path; the defaults keep a run there to about a
minute.

    PYTHONPATH=build/dev python bench/vulkan_joint.py [--leaves N] [--rays N] [--size N] [--spp N]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import tesk_gpu

NO_NORMALS = np.zeros((0, 3), np.float32)
QUAD = [[0, 1, 2], [0, 2, 3]]


def canopy(scene, n_leaves: int) -> None:
    """A 20 m ground square and n 0.5 m leaves at random places between 0.3 and 3 m."""
    rng = np.random.default_rng(5)
    scene.set_num_bands(1)
    scene.upload_spectral_params([0.5])
    scene.add_material(0, 0, [0.0, 0.0, 0.0])
    for x, y, z, half in [(0.0, 0.0, 0.0, 10.0)] + [
            (*rng.uniform(-8, 8, 2), rng.uniform(0.3, 3.0), 0.25) for _ in range(n_leaves)]:
        v = np.array([[x - half, y - half, z], [x + half, y - half, z], [x + half, y + half, z],
                      [x - half, y + half, z]], np.float32)
        scene.add_instance(scene.add_mesh(v, NO_NORMALS, QUAD, 0), 0, 0, 0)
    scene.build()


def joint_request(n_leaves: int, rays: int) -> dict:
    n = 2 + 2 * n_leaves
    leaf = np.arange(n) >= 2
    full = lambda v: np.full(n, v, np.float32)  # noqa: E731
    keys = ("sunlit_fraction emissivity sensible_derivative latent_coefficient ground_heat absorbed_shortwave "
            "absorbed_shortwave_sunlit absorbed_shortwave_shaded apar apar_sunlit apar_shaded vcmax25 jmax25 rd25 "
            "ball_berry_slope ball_berry_intercept quantum_yield").split()
    values = [0.6, 0.97, 0, 0, 0, 0, 400, 60, 900, 1500, 200, 60, 110, 1, 9, 0.01, 0.05]
    r = {k: full(v) for k, v in zip(keys, values)}
    r.update(stable_ids=np.arange(1, n + 1, dtype=np.uint64), representation_codes=np.zeros(n, np.int32),
             mode_codes=np.where(leaf, 3, 0).astype(np.int32), local_indices=np.arange(n, dtype=np.int32),
             farquhar_indices=np.where(leaf, 0, -1).astype(np.int32), areas=full(1.0),
             dynamic=leaf.astype(np.int32), initial_temperature=full(300.0), initial_temperature_sunlit=full(295.0),
             initial_temperature_shaded=full(295.0), sidedness=np.where(leaf, 2.0, 1.0).astype(np.float32),
             leaf_width=full(0.05), stomata_sides=full(1.0), max_iterations=30, convergence_tolerance=1e-2,
             energy_tolerance=1.0, physiology_tolerance=1e-2, damping=0.8, vapor_pressure=1500.0,
             sky_lw_radiance=100.0, rays_per_element=rays, max_depth=4,
             microclimate={"air_temperature": 298.0, "co2": 400.0, "relative_humidity": 0.5, "pressure": 101.325,
                           "wind_speed": 1.0})
    return r


def thermal_slab(scene, size: int) -> None:
    """A periodic 4 m tile: a slab of leaf medium (LAI 2) over a ground at 290 K, thermal mode."""
    scene.set_num_bands(2)
    scene.upload_spectral_params(np.array([1, 1, 0.1, 0.1, 0.1, 0.1, 0.05, 0.05, 2e-3, 3e-3], np.float32))
    ground = scene.add_material(0, 0, [0.0, 0.0, 290.0])
    leaves = scene.add_material(13, 2, [0.1, 0.05])
    g = tesk_gpu.make_ground_plane(2.0, 2.0, ground, 4.0)
    scene.add_instance(scene.add_mesh(g["vertices"], g["normals"], g["indices"], ground), 2.0, 2.0, 0.0)
    lo, hi = [0, 0, 0.05], [4, 4, 1.05]
    v = np.array([[hi[0] if i & 1 else lo[0], hi[1] if i & 2 else lo[1], hi[2] if i & 4 else lo[2]]
                  for i in range(8)], np.float32)
    t = [[0, 2, 1], [1, 2, 3], [4, 5, 6], [5, 7, 6], [0, 1, 4], [1, 5, 4], [2, 6, 3], [3, 6, 7], [0, 4, 2],
         [2, 4, 6], [1, 3, 5], [3, 7, 5]]
    scene.add_instance(scene.add_mesh(v, NO_NORMALS, t, leaves), 0, 0, 0)
    scene.set_optical_turbid_media([2.0], [1], [1], [0.0], [-1, 0])
    scene.set_sky(8)
    scene.set_repetitive(1000, 4.0, 4.0)
    scene.set_thermal_mode(True, [8000.0, 11000.0])
    scene.build()
    scene.set_instance_turbid_thermal_state([0, 310.0], [0, 295.0], [0, 0.4], [0, 0.95])
    m = np.eye(4)
    m[:3, 3] = [2.0, 2.0, 10.0]
    scene.set_sensor(0, size, size, 4.0, 4.0, m.ravel())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--leaves", type=int, default=100, help="leaves of the joint canopy")
    parser.add_argument("--rays", type=int, default=32, help="longwave rays per element")
    parser.add_argument("--size", type=int, default=32, help="thermal image width and height")
    parser.add_argument("--spp", type=int, default=8)
    parser.add_argument("--device", type=int, default=0, help="compatible Vulkan device index")
    args = parser.parse_args()
    context = tesk_gpu.VulkanContext(args.device)
    print(f"device: {context.device_name}")

    device, cpu = tesk_gpu.VulkanSceneManager(context), tesk_gpu.EmbreeSceneManager()
    for scene in (device, cpu):
        canopy(scene, args.leaves)
    request = joint_request(args.leaves, args.rays)
    tesk_gpu._execute_joint_thermo_physiology_vulkan(device, dict(request, max_iterations=1))  # warm-up
    n = len(request["stable_ids"])
    for name, run in (("vulkan", lambda: tesk_gpu._execute_joint_thermo_physiology_vulkan(device, request)),
                      ("cpu", lambda: tesk_gpu._execute_joint_thermo_physiology_embree(cpu, request))):
        t0 = time.perf_counter()
        out = run()
        dt = time.perf_counter() - t0
        print(f"joint thermo-physiology {name} ({n} elements, {args.rays} rays): {out['iterations']} iterations, "
              f"converged {out['converged']}, {dt:.2f} s, {dt / (out['iterations'] + 1) * 1e3:.1f} ms per transport "
              f"and step, mean leaf T {out['temperature'][2:].mean():.3f} K")

    device, cpu = tesk_gpu.VulkanSceneManager(context), tesk_gpu.EmbreeSceneManager()
    for scene in (device, cpu):
        thermal_slab(scene, args.size)
    device.simulate_backward(1, 8)  # warm-up
    samples = args.size * args.size * args.spp
    for name, run in (("vulkan", lambda: device.simulate_backward(args.spp, 8)),
                      ("cpu", lambda: tesk_gpu.simulate_cpu(cpu, spp=args.spp, max_depth=8))):
        t0 = time.perf_counter()
        image = run()["payload"]
        dt = time.perf_counter() - t0
        print(f"thermal leaf-media render {name} ({args.size}x{args.size}, spp {args.spp}): "
              f"{samples / dt:,.0f} samples/s, mean radiance {image.mean(axis=(0, 1))}")


if __name__ == "__main__":
    main()
