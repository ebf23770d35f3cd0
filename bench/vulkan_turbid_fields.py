"""Turbid field throughput on the Vulkan device next to the CPU, on the same scene record.

Builds a domain of leaf-area samples in a unit cube (spherical leaves), a host state whose
records vary per sample, then times on both backends, after one untimed warm-up call each
(pipeline creation): the field build (samples/s), lookups at random points and normals
(queries/s) and a thermal observation source (sample-bands/s), and prints the largest relative
difference of the looked-up values and source radiances. On lavapipe (Mesa's CPU driver) the
device figures only prove the path. The defaults keep a run to well under a minute.

    PYTHONPATH=build/dev python bench/vulkan_turbid_fields.py [--samples N] [--queries N]
        [--cap N] [--bands N] [--device I]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import tesk_gpu

CUBE_V = np.float32([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [0, 0, 1], [1, 0, 1], [1, 1, 1], [0, 1, 1]])
CUBE_T = np.uint32([[0, 2, 1], [0, 3, 2], [4, 5, 6], [4, 6, 7], [0, 1, 5], [0, 5, 4], [1, 2, 6], [1, 6, 5],
                    [2, 3, 7], [2, 7, 6], [3, 0, 4], [3, 4, 7]])
REVISIONS = ("domain", "geometry", "transport", "property", "illumination", "microclimate", "sampling")


def timed(fn):
    fn()  # warm-up: pipeline creation, first copies
    t0 = time.perf_counter()
    result = fn()
    return time.perf_counter() - t0, result


def resident_state(record, samples: int):
    comp = {"instance_id": 11, "component_id": 4, "medium_id": 5, "geometry_id": 6,
            "object_to_world": [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0], "bounds_min": [0, 0, 0],
            "bounds_max": [1, 1, 1], "leaf_area_density": 2.0, "leaf_length": 0.05, "leaf_width": 0.03,
            "sidedness": 1, "leaf_angle_distribution": "spherical", "closed_orientation": 1,
            "property_ids": [1, 2, 3, 4]}
    d = {"domain_key": 9, "vertices": CUBE_V, "triangles": CUBE_T, "components": [comp], "seed": 17,
         "quality": "preview", **{f"{r}_revision": 1 for r in REVISIONS}}
    domain = tesk_gpu._build_turbid_domain_embree(record, d, {"seed": 3, "sample_budget": samples})["domain_id"]
    ids = tesk_gpu._debug_turbid_domain_samples_embree(record, domain)["sample_id"]
    rng = np.random.default_rng(1)
    n = len(ids)
    records = lambda lo, hi: {"temperature": rng.uniform(lo, hi, n).astype(np.float32),  # noqa: E731
                              "absorbed_sw_top": rng.uniform(0, 400, n).astype(np.float32)}
    return tesk_gpu._build_turbid_state_embree(record, domain, {
        "contract_revision": 1, "stage": "generic", "workflow_revision": 2, "sample_ids": ids,
        "p_sun": rng.uniform(0, 1, n).astype(np.float32), "sunlit": records(295, 320),
        "shaded": records(285, 300)}), n


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--samples", type=int, default=4096, help="leaf-area samples of the domain")
    parser.add_argument("--queries", type=int, default=20_000, help="lookups per call")
    parser.add_argument("--cap", type=int, default=16, help="max_samples_per_leaf_cell")
    parser.add_argument("--bands", type=int, default=8, help="bands of the thermal source")
    parser.add_argument("--device", type=int, default=0, help="compatible Vulkan device index")
    args = parser.parse_args()
    context = tesk_gpu.VulkanContext(args.device)
    print(f"device: {context.device_name}")
    scene = tesk_gpu.VulkanSceneManager(context)
    record = scene._scene_record()
    state, n = resident_state(record, args.samples)
    config = {"source_field": "temperature", "max_samples_per_leaf_cell": args.cap}
    rng = np.random.default_rng(7)
    pos = rng.uniform(0.01, 0.99, (args.queries, 3)).astype(np.float32)
    nor = rng.normal(size=(args.queries, 3)).astype(np.float32)
    bands = np.linspace(4000.0, 14000.0, args.bands).astype(np.float32)
    eps = np.full(args.bands, 0.97, np.float32)
    rows = {}
    for name, target, build, look, thermal, debug in (
            ("vulkan", scene, tesk_gpu._build_turbid_field_vulkan, tesk_gpu._lookup_turbid_field_vulkan,
             tesk_gpu._build_turbid_thermal_source_vulkan, tesk_gpu._debug_turbid_field_vulkan),
            ("cpu", record, tesk_gpu._build_turbid_field_embree, tesk_gpu._lookup_turbid_field_embree,
             tesk_gpu._build_turbid_thermal_source_embree, tesk_gpu._debug_turbid_field_embree)):
        t_build, field = timed(lambda: build(target, state, config, 1 << 30))
        t_look, out = timed(lambda: look(target, field, pos, nor, "source"))
        t_src, src = timed(lambda: thermal(target, field, bands, eps))
        rows[name] = (t_build, t_look, t_src, out["values"], debug(target, src)["spectral_source_front"])
    cells = tesk_gpu._debug_turbid_field_residency_vulkan(scene)["fields"][0]["cell_count"]
    print(f"turbid field ({n} samples, {cells} cells, {args.queries} queries, {args.bands} bands)")
    for name, (t_build, t_look, t_src, _, _) in rows.items():
        print(f"  {name:6s} build {n / t_build:12.1f} samples/s   lookup {args.queries / t_look:12.1f} queries/s   "
              f"thermal source {n * args.bands / t_src:12.1f} sample-bands/s")
    v, c = rows["vulkan"], rows["cpu"]
    print(f"  max relative difference: lookup {np.max(np.abs(v[3] / c[3] - 1)):.2e}   source "
          f"{np.max(np.abs(v[4] - c[4]) / np.maximum(np.abs(c[4]), 1e-30)):.2e}")


if __name__ == "__main__":
    main()
