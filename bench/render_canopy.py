"""Backward-renderer throughput on a leafy canopy: crowns of individual leaf triangles over a
ground, the scene written to disk so that other renderers can render the same one.

The canopy: --crowns crowns (ellipsoids filled with --leaves single-triangle leaves of random
orientation, eight distinct crown meshes placed by random rotations and scales) over a square
soil ground; three bands, sun and uniform sky of the quickstart forest; a perspective camera
looking obliquely over it. The scene is written to --out as scene.bin and description.txt (the
formats of bench/scene_file.h) and canopy.npz (meshes, instance mesh ids, 3x4 transforms,
sensor, sun, optics).

In one run the C++ helper (bench/render_backward_bench.cpp) renders the image repeatedly on 1
and 2 threads, interleaving packets of neighbouring camera and first sun rays with every ray
traced alone; medians of --repeats rounds are printed as samples/s and rays/s per ray kind,
with the median of the paired ratios (each round's two renders ran back to back) and each
variant's mean radiance (the samples are the same, so the means agree to float rounding). The
module's simulate_cpu is timed as well.

    .venv/bin/python bench/render_canopy.py [--crowns N] [--size N] [--spp N] [--bin DIR]

Default: a small canopy (200 crowns, 128 x 128, 4 spp, depth 8, about a minute on two busy
cores). The full-size canopy (800 crowns, about 1.0 M triangles, 256 x 256, 64 spp, depth 8):
    .venv/bin/python bench/render_canopy.py --crowns 800 --size 256 --spp 64 --repeats 5
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))
from forest_scene import look_at, set_forest_optics  # noqa: E402
from scene_export import Recorder, parse, write_description, write_scene  # noqa: E402

import tesk_gpu  # noqa: E402

CROWN_VARIANTS = 8


def crown_mesh(rng: np.random.Generator, n_leaves: int, leaf_size: float = 0.12):
    """One crown: n_leaves equilateral leaf triangles with random centres in the unit ball and
    uniformly random normals (object space; instances scale it to the crown size)."""
    r = rng.uniform(0, 1, n_leaves) ** (1 / 3)
    c = rng.normal(size=(n_leaves, 3))
    c *= (r / np.linalg.norm(c, axis=1))[:, None]
    n = rng.normal(size=(n_leaves, 3))
    n /= np.linalg.norm(n, axis=1, keepdims=True)
    a = np.cross(n, rng.normal(size=(n_leaves, 3)))
    a /= np.linalg.norm(a, axis=1, keepdims=True)
    b = np.cross(n, a)
    angles = np.array([0.0, 2 * np.pi / 3, 4 * np.pi / 3])
    v = c[:, None, :] + leaf_size * (np.cos(angles)[None, :, None] * a[:, None, :]
                                     + np.sin(angles)[None, :, None] * b[:, None, :])
    vertices = v.reshape(-1, 3).astype(np.float32)
    indices = np.arange(3 * n_leaves, dtype=np.int32).reshape(-1, 3)
    return vertices, indices


class Canopy:
    """What build_canopy placed, in the shape scene_export.write_scene reads."""

    def __init__(self, meshes, mesh_ids, xforms, half_size):
        self.meshes, self.instance_mesh_ids, self.instance_xforms = meshes, mesh_ids, xforms
        self.half_size = half_size


def build_canopy(scene, n_crowns: int, n_leaves: int, seed: int = 3) -> Canopy:
    rng = np.random.default_rng(seed)
    soil_mat, leaf_mat, _ = set_forest_optics(scene)
    half = 2.5 * np.sqrt(n_crowns)  # about 25 m2 of ground per crown
    ground = tesk_gpu.make_ground_plane(half, half, soil_mat, 5.0)
    meshes = [(ground["vertices"], ground["indices"])]
    scene.add_mesh(ground["vertices"], ground["normals"], ground["indices"], soil_mat)
    no_normals = np.zeros((0, 3), np.float32)
    for _ in range(CROWN_VARIANTS):
        v, i = crown_mesh(rng, n_leaves)
        scene.add_mesh(v, no_normals, i, leaf_mat)
        meshes.append((v, i))
    scene.add_instance(0, 0.0, 0.0, 0.0)
    xforms = [np.eye(3, 4, dtype=np.float32).ravel()]
    mesh_ids = [0]
    for _ in range(n_crowns):
        q, _r = np.linalg.qr(rng.normal(size=(3, 3)))
        q *= np.sign(np.linalg.det(q))
        radius = rng.uniform(1.5, 2.5)
        m = np.zeros((3, 4), np.float32)
        m[:, :3] = q * radius
        m[:, 3] = [*rng.uniform(-half + radius, half - radius, 2), rng.uniform(3.0, 6.0) + radius]
        mesh = int(rng.integers(1, CROWN_VARIANTS + 1))
        scene.add_instances_xform(mesh, m.reshape(1, 12))
        xforms.append(m.ravel())
        mesh_ids.append(mesh)
    return Canopy(meshes, np.array(mesh_ids, np.int32), np.array(xforms, np.float32), half)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--crowns", type=int, default=200)
    parser.add_argument("--leaves", type=int, default=1250, help="leaf triangles per crown")
    parser.add_argument("--size", type=int, default=128)
    parser.add_argument("--spp", type=int, default=4)
    parser.add_argument("--max-depth", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--out", default=str(ROOT / "build/canopy"), help="where the scene files go")
    parser.add_argument("--bin", default=str(ROOT / "build/cpp"), help="directory of the C++ helpers")
    args = parser.parse_args()

    scene = tesk_gpu.EmbreeSceneManager()
    recorder = Recorder(scene)
    canopy = build_canopy(recorder, args.crowns, args.leaves)
    h = canopy.half_size
    eye, target = np.array([-1.1 * h, -1.1 * h, 0.8 * h]), np.array([0.1 * h, 0.1 * h, 0.0])
    camera = look_at(eye, target)
    scene.set_sensor(1, args.size, args.size, 0.0, 0.0, camera, fov=45.0)
    t0 = time.perf_counter()
    scene.build()
    build_s = time.perf_counter() - t0
    print(f"canopy: {args.crowns} crowns, {scene.n_primitives():,} triangles ({scene.total_triangles():,} distinct), "
          f"build {build_s * 1e3:.0f} ms; image {args.size}x{args.size}, spp {args.spp}, max_depth {args.max_depth}")
    print(f"machine load (1-minute average) at start: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")

    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    scene_bin, desc = out / "scene.bin", out / "description.txt"
    write_scene(scene_bin, canopy)
    write_description(desc, scene, recorder.calls, [f"render {args.spp} {args.max_depth}"])
    np.savez(out / "canopy.npz", instance_mesh_ids=canopy.instance_mesh_ids, instance_xforms=canopy.instance_xforms,
             camera_to_world=camera, fov_deg=45.0, width=args.size, height=args.size,
             **{f"mesh{k}_vertices": v for k, (v, _) in enumerate(canopy.meshes)},
             **{f"mesh{k}_indices": i for k, (_, i) in enumerate(canopy.meshes)})
    print(f"scene written to {out}/ (scene.bin, description.txt, canopy.npz)")

    render_bin = pathlib.Path(args.bin, "tesk_bench_render_backward")
    if not render_bin.exists():
        sys.exit(f"C++ helper not found in {args.bin} (run `make cpp`, or pass --bin)")
    runs = ["1s", "1", "2s", "2"] * args.repeats  # s: every ray traced alone
    lines = subprocess.run([str(render_bin), str(scene_bin), str(desc), *runs], check=True,
                           capture_output=True, text=True).stdout.splitlines()
    results: dict[tuple[int, int], list[dict]] = {}
    for line in lines:
        if line.startswith("render "):
            r = parse(line)
            results.setdefault((int(r["threads"]), int(r["packets"])), []).append(r)

    samples = args.size * args.size * args.spp
    tesk_gpu.simulate_cpu(scene, spp=1, max_depth=args.max_depth)  # warm-up
    module = {}
    for threads in (1, 2):
        t0 = time.perf_counter()
        tesk_gpu.simulate_cpu(scene, spp=args.spp, max_depth=args.max_depth, num_threads=threads)
        module[threads] = samples / (time.perf_counter() - t0)

    print(f"medians of {args.repeats} interleaved rounds (C++ helper):")
    rate = {}
    for (threads, packets), rs in sorted(results.items()):
        s = statistics.median(r["seconds"] for r in rs)
        r = rs[0]
        rate[threads, packets] = samples / s
        per = {k: r[k] / samples for k in ("camera", "bounce", "shadow")}
        print(f"  {threads} thread{'s' if threads > 1 else ' '} {'packets' if packets else 'alone  '}: "
              f"{samples / s:10,.0f} samples/s, {r['rays'] / s / 1e6:.3f} Mrays/s "
              f"(camera {r['camera'] / s / 1e6:.3f}, bounce {r['bounce'] / s / 1e6:.3f}, "
              f"shadow {r['shadow'] / s / 1e6:.3f}); rays/sample camera {per['camera']:.2f} "
              f"bounce {per['bounce']:.2f} shadow {per['shadow']:.2f}; mean radiance {r['mean']:.7g}")
    for threads in (1, 2):
        pairs = [a["seconds"] / b["seconds"] for a, b in zip(results.get((threads, 0), []), results.get((threads, 1), []))]
        if pairs:
            print(f"  packets / alone, {threads} thread{'s' if threads > 1 else ' '}: x{statistics.median(pairs):.3f} "
                  f"(median of paired ratios; range {min(pairs):.3f}-{max(pairs):.3f})")
    if (1, 1) in rate and (2, 1) in rate:
        print(f"  2 threads / 1 thread (packets): x{rate[2, 1] / rate[1, 1]:.2f}")
    for threads in (1, 2):
        print(f"simulate_cpu (module) {threads} thread{'s' if threads > 1 else ' '}: {module[threads]:10,.0f} samples/s")
    print(f"machine load (1-minute average) at end: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
