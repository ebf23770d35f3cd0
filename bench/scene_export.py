"""What the Python benchmarks hand to their C++ helpers: the scene, its description and rays.

The file formats are those read by bench/scene_file.h: a binary scene file (meshes, instances),
a binary ray file and a text description file (one record per line).
"""

from __future__ import annotations

import pathlib

import numpy as np


class Recorder:
    """Forwards every call to the scene and keeps (name, args, kwargs) of the description calls,
    so a C++ helper can rebuild exactly the scene a builder made."""

    KEEP = {"set_num_bands", "upload_spectral_params", "add_material", "add_mesh", "set_emitter", "set_sky",
            "set_repetitive", "set_measurement_plane", "set_optical_turbid_media"}

    def __init__(self, scene):
        self.scene, self.calls = scene, []

    def __getattr__(self, name):
        method = getattr(self.scene, name)
        if name not in self.KEEP:
            return method

        def call(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return method(*args, **kwargs)

        return call

    def n_bands(self) -> int:
        return next(args[0] for name, args, _ in self.calls if name == "set_num_bands")


def floats(values) -> str:
    return " ".join(repr(float(v)) for v in np.ravel(values))


def ints(values) -> str:
    return " ".join(str(int(v)) for v in np.ravel(values))


def write_description(path: pathlib.Path, scene, calls, extra_lines=()) -> None:
    """The recorded description calls and the scene's sensor, then `extra_lines` (the helper's
    own records, such as the runs to make)."""
    with open(path, "w") as f:
        n_meshes = 0
        for name, args, kwargs in calls:
            if name == "set_num_bands":
                f.write(f"n_bands {args[0]}\n")
            elif name == "upload_spectral_params":
                f.write(f"spectral {np.size(args[0])} {floats(args[0])}\n")
            elif name == "add_material":
                f.write(f"material {args[0]} {args[1]} {floats((list(args[2]) + [0.0] * 8)[:8])}\n")
            elif name == "add_mesh":
                material = args[3] if len(args) > 3 else kwargs.get("material_id", 0)
                f.write(f"mesh_material {n_meshes} {material}\n")
                n_meshes += 1
            elif name == "set_emitter":
                f.write(f"emitter {floats(args[1])} {args[2]}\n")
            elif name == "set_sky":
                f.write(f"sky {args[0]}\n")
            elif name == "set_repetitive":
                f.write(f"repetitive {args[0]} {floats(args[1:3])}\n")
            elif name == "set_measurement_plane":
                f.write(f"measurement_plane {floats(args[0])}\n")
            elif name == "set_optical_turbid_media":
                lad, types, orient, lengths, ids = args
                f.write(f"media {len(lad)} {floats(lad)} {ints(types)} {ints(orient)} {floats(lengths)} "
                        f"{len(ids)} {ints(ids)}\n")
        cfg = scene.sensor_config()
        f.write(f"sensor {cfg['type']} {cfg['width']} {cfg['height']} "
                f"{floats([cfg['ortho_width'], cfg['ortho_height'], np.degrees(cfg['fov'])])} "
                f"{cfg['projection_type']} {floats(cfg['camera_to_world'])}\n")
        for line in extra_lines:
            f.write(line + "\n")


def write_scene(path: pathlib.Path, forest) -> None:
    """The meshes and instances a forest builder recorded, as a binary scene file."""
    with open(path, "wb") as f:
        np.array([len(forest.meshes)], np.int32).tofile(f)
        for vertices, indices in forest.meshes:
            np.array([len(vertices), len(indices)], np.int32).tofile(f)
            np.ascontiguousarray(vertices, np.float32).tofile(f)
            np.ascontiguousarray(indices, np.int32).tofile(f)
        np.array([len(forest.instance_mesh_ids)], np.int32).tofile(f)
        forest.instance_mesh_ids.astype(np.int32).tofile(f)
        np.ascontiguousarray(forest.instance_xforms, np.float32).tofile(f)


def write_rays(path: pathlib.Path, origins: np.ndarray, directions: np.ndarray) -> None:
    with open(path, "wb") as f:
        np.array([len(origins)], np.int32).tofile(f)
        origins.tofile(f)
        directions.tofile(f)


def incoherent_rays(scene, n: int) -> tuple[np.ndarray, np.ndarray]:
    """Uniform origins in the scene box and uniform directions on the sphere (fixed seed)."""
    rng = np.random.default_rng(12345)
    (x0, y0, z0), (x1, y1, z1) = scene.aabb()
    origins = rng.uniform([x0, y0, z0], [x1, y1, z1], size=(n, 3)).astype(np.float32)
    directions = rng.normal(size=(n, 3)).astype(np.float32)
    directions /= np.linalg.norm(directions, axis=1, keepdims=True)
    return origins, directions


def parse(line: str) -> dict:
    """A helper's output line "<kind> key=value ..." as {"kind": kind, key: float(value), ...}."""
    kind, *rest = line.split()
    out = {k: float(v) for k, v in (kv.split("=") for kv in rest)}
    out["kind"] = kind
    return out
