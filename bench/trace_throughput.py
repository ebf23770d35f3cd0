"""Ray-tracing throughput of the CPU scene against raw Embree on the same rays.

Builds the instanced quickstart forest (at least a million triangles) and traces, in one run
and interleaved (A, B, A, B, ...; medians of --repeats rounds, so a busy machine slows every
variant alike):
  - incoherent rays (uniform origins in the scene box, uniform directions): a raw Embree loop
    in C++ (one rtcIntersect1 per ray, one thread; bench/raw_embree_trace.cpp) on the library's
    default build and on the high-quality mesh build the scene manager uses, trace_closest
    with one thread (all columns, and only t/hit/global_primitive_id), and trace_closest with
    all threads;
  - coherent camera rays (a perspective view of the forest, ordered in 4 x 4 pixel tiles so
    that 16 consecutive rays are neighbours): raw Embree rtcIntersect16 packets and
    rtcIntersect1, and trace_closest with one thread.
Prints Mrays/s, the ratios, the build time and the scene's resident memory.

    make bench            # builds the C++ helper and the module first
    .venv/bin/python bench/trace_throughput.py [--rays N] [--camera N] [--trees N] [--repeats N]

The full-size run: --rays 1000000 --trees 2000 --camera 1024 --repeats 7.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

# NumPy's BLAS worker threads spin for a while after each call and would steal a core from
# the one-thread measurement; the benchmark does no linear algebra worth threading.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
from forest_scene import build_forest, look_at, perspective_view  # noqa: E402
from scene_export import incoherent_rays, parse, write_rays, write_scene  # noqa: E402

import tesk_gpu  # noqa: E402


def rss_mib() -> float:
    """Resident set size of this process (MiB)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def camera_rays(camera_to_world: np.ndarray, size: int, fov_deg: float = 45.0) -> tuple[np.ndarray, np.ndarray]:
    """Pinhole rays through the pixel centres of a size x size image, ordered in 4 x 4 tiles."""
    m = camera_to_world.reshape(4, 4).astype(np.float64)
    half = np.tan(np.radians(fov_deg) / 2.0)
    tiles = size // 4
    ty, tx, py, px = np.meshgrid(np.arange(tiles), np.arange(tiles), np.arange(4), np.arange(4), indexing="ij")
    x, y = (tx * 4 + px).ravel(), (ty * 4 + py).ravel()
    cam = np.stack([(2 * (x + 0.5) / size - 1) * half, (2 * (y + 0.5) / size - 1) * half, -np.ones(x.size)], axis=1)
    d = cam @ m[:3, :3].T
    d /= np.linalg.norm(d, axis=1, keepdims=True)
    o = np.broadcast_to(m[:3, 3], d.shape)
    return np.ascontiguousarray(o, np.float32), np.ascontiguousarray(d, np.float32)


class RawHelper:
    """The C++ reference, kept running on its own copy of the scene and answering commands."""

    def __init__(self, path: str, scene_bin, ray_files):
        self.proc = subprocess.Popen([path, str(scene_bin), *map(str, ray_files)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)

    def run(self, command: str, index: int) -> dict:
        self.proc.stdin.write(f"{command} {index}\n")
        self.proc.stdin.flush()
        return parse(self.proc.stdout.readline())

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.wait()


def timed(fn) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rays", type=int, default=500_000, help="incoherent rays")
    parser.add_argument("--camera", type=int, default=512, help="camera image size (rays = size^2)")
    parser.add_argument("--trees", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--raw", default=str(ROOT / "build/cpp/tesk_bench_raw_embree"))
    args = parser.parse_args()

    rss0 = rss_mib()
    scene = tesk_gpu.EmbreeSceneManager()
    forest = build_forest(scene, n_trees=args.trees)
    rss_described = rss_mib()
    t0 = time.perf_counter()
    scene.build()
    build_s = time.perf_counter() - t0
    rss_built = rss_mib()
    print(f"scene: {scene.num_instances():,} instances, {scene.n_primitives():,} triangles "
          f"({scene.total_triangles():,} distinct)")
    print(f"build: {build_s * 1e3:.1f} ms; resident memory: description {rss_described - rss0:.1f} MiB, "
          f"after build +{rss_built - rss_described:.1f} MiB (total {rss_built - rss0:.1f} MiB)")
    print(f"machine load (1-minute average) at start: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")

    origins, directions = incoherent_rays(scene, args.rays)
    cam_o, cam_d = camera_rays(look_at(*perspective_view(forest)), args.camera)
    n_inc, n_cam = len(origins), len(cam_o)
    if not os.path.exists(args.raw):
        sys.exit(f"raw Embree helper not found at {args.raw} (run `make cpp`, or pass --raw)")

    few = ("t", "hit", "global_primitive_id")
    times: dict[str, list[float]] = {}
    with tempfile.TemporaryDirectory() as tmp:
        scene_bin, inc_bin, cam_bin = (pathlib.Path(tmp, n) for n in ("scene.bin", "inc.bin", "cam.bin"))
        write_scene(scene_bin, forest)
        write_rays(inc_bin, origins, directions)
        write_rays(cam_bin, cam_o, cam_d)
        raw = RawHelper(args.raw, scene_bin, [inc_bin, cam_bin])
        variants = {
            "raw1_inc": lambda: raw.run("single", 0)["seconds"],
            "rawhq1_inc": lambda: raw.run("single_hq", 0)["seconds"],
            "tc1_inc": lambda: timed(lambda: scene.trace_closest(origins, directions, num_threads=1)),
            "tc1_inc_few": lambda: timed(lambda: scene.trace_closest(origins, directions, num_threads=1,
                                                                     outputs=few)),
            "tcN_inc": lambda: timed(lambda: scene.trace_closest(origins, directions, num_threads=0)),
            "raw16_cam": lambda: raw.run("packet", 1)["seconds"],
            "raw1_cam": lambda: raw.run("single", 1)["seconds"],
            "tc1_cam": lambda: timed(lambda: scene.trace_closest(cam_o, cam_d, num_threads=1)),
        }
        for fn in variants.values():  # warm caches and page in the BVH
            fn()
        for _ in range(args.repeats):
            for name, fn in variants.items():
                times.setdefault(name, []).append(fn())
        raw.close()

    hits1 = scene.trace_closest(origins[:100_000], directions[:100_000], num_threads=1)
    hitsn = scene.trace_closest(origins[:100_000], directions[:100_000], num_threads=0)
    same = all(np.array_equal(hits1[k], hitsn[k]) for k in hits1)
    med = {k: statistics.median(v) for k, v in times.items()}
    rate = {k: (n_cam if k.endswith("cam") else n_inc) / v / 1e6 for k, v in med.items()}
    n_threads = os.cpu_count() or 1

    print(f"medians of {args.repeats} interleaved rounds; {n_inc:,} incoherent rays, "
          f"{n_cam:,} camera rays ({args.camera}x{args.camera}, 4x4 tiles)")
    print(f"incoherent  raw Embree rtcIntersect1, 1 thread : {rate['raw1_inc']:8.3f} Mrays/s")
    print(f"incoherent  raw Embree, high-quality BVHs    : {rate['rawhq1_inc']:8.3f} Mrays/s  "
          f"(the mesh build trace_closest's scene uses)")
    print(f"incoherent  trace_closest, 1 thread           : {rate['tc1_inc']:8.3f} Mrays/s  "
          f"(ratio to raw {rate['tc1_inc'] / rate['raw1_inc']:.3f}, to high-quality raw "
          f"{rate['tc1_inc'] / rate['rawhq1_inc']:.3f})")
    print(f"incoherent  trace_closest, 1 thread, {len(few)} columns: {rate['tc1_inc_few']:8.3f} Mrays/s  "
          f"(ratio to raw {rate['tc1_inc_few'] / rate['raw1_inc']:.3f})")
    print(f"incoherent  trace_closest, {n_threads} threads         : {rate['tcN_inc']:8.3f} Mrays/s  "
          f"(ratio to 1 thread {rate['tcN_inc'] / rate['tc1_inc']:.3f})")
    print(f"camera      raw Embree rtcIntersect16, 1 thread: {rate['raw16_cam']:8.3f} Mrays/s")
    print(f"camera      raw Embree rtcIntersect1, 1 thread : {rate['raw1_cam']:8.3f} Mrays/s  "
          f"(ratio to packets {rate['raw1_cam'] / rate['raw16_cam']:.3f})")
    print(f"camera      trace_closest, 1 thread           : {rate['tc1_cam']:8.3f} Mrays/s  "
          f"(ratio to packets {rate['tc1_cam'] / rate['raw16_cam']:.3f})")
    print(f"results identical across thread counts: {same}")
    print(f"machine load (1-minute average) at end: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
