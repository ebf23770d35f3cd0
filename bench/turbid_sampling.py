"""Turbid leaf-area sampling throughput over the quickstart forest's crowns.

Builds one domain whose components are the turbid forest's ellipsoid crowns (the quickstart's
build_turbid_forest: 400 icosphere crowns scaled to radii 1.5-3 m), samples about one million
leaf-area samples in all on 1 and 2 threads, and prints samples/s, the 2-thread scaling
(target 1.8) and the registry's resident bytes per sample. With --vulkan the same domain is
also built on a Vulkan scene (candidates from the sampling shader, samples kept in device
buffers): samples/s, device bytes per sample and whether the read-back samples equal the
CPU's. On lavapipe (Mesa's CPU driver) use --samples 50000 or so; the figure only proves the
path there.

    python bench/turbid_sampling.py [--samples N] [--vulkan] [--device I]
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
from forest_scene import build_turbid_forest  # noqa: E402

import tesk_gpu  # noqa: E402


def forest_domain(samples: int) -> dict:
    forest = build_turbid_forest(tesk_gpu.EmbreeSceneManager())
    crown_vertices, crown_indices = forest.meshes[1]
    crown_vertices = np.asarray(crown_vertices, np.float32).reshape(-1, 3)
    crown_indices = np.asarray(crown_indices, np.uint32).reshape(-1, 3)
    # The render mesh repeats vertices along seams; a closed boundary shares them.
    crown_vertices, remap = np.unique(crown_vertices, axis=0, return_inverse=True)
    crown_indices = remap.reshape(-1)[crown_indices].astype(np.uint32)
    first = forest.first_crown_instance
    xforms = forest.instance_xforms[first:first + forest.n_trees]
    nv, nt = len(crown_vertices), len(crown_indices)
    components = []
    for i, m in enumerate(xforms):
        world = crown_vertices.astype(np.float64) @ m.reshape(3, 4)[:, :3].T.astype(np.float64) + m.reshape(3, 4)[:, 3]
        world = world.astype(np.float32)
        components.append({
            "instance_id": first + i, "component_id": 1, "medium_id": 100 + i, "geometry_id": 1,
            "object_to_world": m.tolist(), "bounds_min": world.min(0).tolist(), "bounds_max": world.max(0).tolist(),
            "leaf_area_density": forest.leaf_area_density, "leaf_length": 0.05, "leaf_width": 0.03, "sidedness": 2,
            "leaf_angle_distribution": "spherical", "closed_orientation": 1, "property_ids": [1, 2, 3, 4]})
    n = len(components)
    revisions = {f"{r}_revision": 1 for r in ("domain", "geometry", "transport", "property", "illumination",
                                              "microclimate", "sampling")}
    return dict(revisions, domain_key=1, components=components,
                vertices=np.tile(crown_vertices, (n, 1)),
                triangles=(crown_indices[None] + (nv * np.arange(n, dtype=np.uint32))[:, None, None]).reshape(-1, 3),
                component_vertex_offsets=np.arange(n + 1, dtype=np.uint64) * nv,
                component_triangle_offsets=np.arange(n + 1, dtype=np.uint64) * nt), max(1, samples // n)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=1_000_000, help="samples in all (default 1e6)")
    parser.add_argument("--vulkan", action="store_true", help="also build the domain on a Vulkan scene")
    parser.add_argument("--device", type=int, default=0, help="compatible Vulkan device index")
    args = parser.parse_args()
    domain, budget = forest_domain(args.samples)
    owners = len(domain["components"])
    print(f"turbid sampling: {owners} crowns x {budget} samples = {owners * budget:,} samples, "
          f"{len(domain['triangles']) // owners} triangles per crown")
    rates = {}
    for threads in (1, 2):
        scene = tesk_gpu.EmbreeSceneManager()
        start = time.perf_counter()
        record = tesk_gpu._build_turbid_domain_embree(
            scene, domain, {"seed": 7, "sample_budget": budget, "num_threads": threads})
        elapsed = time.perf_counter() - start
        rates[threads] = record["sample_count"] / elapsed
        residency = tesk_gpu._debug_turbid_residency_embree(scene)["domains"][0]
        print(f"  {threads} thread(s): {elapsed:.2f} s, {rates[threads]:,.0f} samples/s, "
              f"{residency['resident_bytes'] / record['sample_count']:.1f} resident bytes/sample")
    print(f"  scaling 2/1 threads: {rates[2] / rates[1]:.2f} (target 1.8)")
    if args.vulkan:
        vulkan_rate(domain, budget, scene, record["domain_id"], args.device)


def vulkan_rate(domain: dict, budget: int, cpu_scene, cpu_domain: int, device: int) -> None:
    context = tesk_gpu.VulkanContext(device)
    scene = tesk_gpu.VulkanSceneManager(context)
    config = {"seed": 7, "sample_budget": budget}
    start = time.perf_counter()
    record = tesk_gpu._build_turbid_domain_vulkan(context, scene, scene.shader_dir, domain, config)
    elapsed = time.perf_counter() - start
    device_samples = tesk_gpu._debug_turbid_domain_samples_vulkan(scene, record["domain_id"])
    host = tesk_gpu._debug_turbid_domain_samples_embree(cpu_scene, cpu_domain)
    same = all(device_samples[k].tobytes() == host[k].tobytes() for k in ("sample_id", "position", "normal", "weight"))
    resident = tesk_gpu._debug_turbid_residency_vulkan(scene)["domains"][0]["resident_bytes"]
    print(f"  vulkan ({context.device_name}): {elapsed:.2f} s, {record['sample_count'] / elapsed:,.0f} samples/s "
          f"(pipeline creation included), {resident / record['sample_count']:.1f} device bytes/sample, "
          f"samples equal the CPU's: {same}")


if __name__ == "__main__":
    main()
