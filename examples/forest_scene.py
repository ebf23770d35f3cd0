"""A small synthetic forest built from the module's mesh generators.

Shared by the quickstart demo and the benchmarks: a square ground plane, sphere crowns and
open cylinder stems, thousands of trees placed with one ``add_instances_xform`` call per mesh.
Three spectral bands (blue 470 nm, red 660 nm, near-infrared 860 nm) with typical soil, leaf
and bark optics, a sun and a uniform sky are set as well, so renderers can use the scene as is.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

import tesk_gpu

#: Band centres in nanometres.
BAND_WAVELENGTHS_NM = (470.0, 660.0, 860.0)

# Material kinds understood by the transport.
DIFFUSE = 0
DIFFUSE_TRANSMITTING = 13


@dataclass
class Forest:
    """What build_forest placed: ids to label pictures and to check results against."""

    half_size: float  #: the ground spans [-half_size, half_size] in x and y
    n_trees: int
    ground_instance: int  #: instance id of the ground plane
    first_crown_instance: int  #: crowns are this id .. + n_trees - 1
    first_stem_instance: int  #: stems are this id .. + n_trees - 1
    tree_xy: np.ndarray  #: [n_trees, 2] stem positions
    crown_radius: np.ndarray  #: [n_trees] crown radii (m)
    crown_centre_z: np.ndarray  #: [n_trees] crown centre heights (m)
    meshes: list  #: (vertices, indices) of each mesh, in mesh id order
    instance_mesh_ids: np.ndarray  #: [n_instances] mesh id of each instance
    instance_xforms: np.ndarray  #: [n_instances, 12] row-major 3x4 transforms


def uniform_scale_xforms(xyz: np.ndarray, scale: np.ndarray) -> np.ndarray:
    """Row-major 3x4 transforms [s 0 0 x, 0 s 0 y, 0 0 s z] as an [N, 12] float32 array."""
    n = len(xyz)
    xf = np.zeros((n, 3, 4), dtype=np.float32)
    xf[:, 0, 0] = xf[:, 1, 1] = xf[:, 2, 2] = scale
    xf[:, :, 3] = xyz
    return xf.reshape(n, 12)


#: Sun irradiance on a plane normal to the sun (W m-2 nm-1) and uniform sky radiance
#: (W m-2 sr-1 nm-1) per band, and the unit direction towards the sun.
SUN_IRRADIANCE = (1.60, 1.50, 1.00)
SKY_RADIANCE = (0.06, 0.03, 0.01)
SUN_DIRECTION = tuple(np.array([0.3, 0.2, 0.93]) / np.linalg.norm([0.3, 0.2, 0.93]))


def set_forest_optics(scene) -> tuple[int, int, int]:
    """Three bands with soil, leaf (front/back reflectance, transmittance) and bark optics, the
    sun and a uniform sky. Returns the soil, leaf and bark material ids."""
    soil = [0.06, 0.10, 0.25]
    leaf = [0.05, 0.07, 0.45] + [0.05, 0.07, 0.40] + [0.03, 0.05, 0.45]
    bark = [0.08, 0.12, 0.30]
    params = np.array(soil + leaf + bark + list(SUN_IRRADIANCE) + list(SKY_RADIANCE), dtype=np.float32)
    scene.set_num_bands(3)
    scene.upload_spectral_params(params)
    soil_mat = scene.add_material(DIFFUSE, 0, [])
    leaf_mat = scene.add_material(DIFFUSE_TRANSMITTING, 3, [float(np.mean(leaf[0:3])), float(np.mean(leaf[6:9]))])
    bark_mat = scene.add_material(DIFFUSE, 12, [])
    scene.set_emitter(0, np.array(SUN_DIRECTION, dtype=np.float32), 15)
    scene.set_sky(18)
    return soil_mat, leaf_mat, bark_mat


def build_forest(
    scene: tesk_gpu.EmbreeSceneManager,
    n_trees: int = 2000,
    half_size: float = 50.0,
    crown_subdivisions: int = 3,
    seed: int = 7,
) -> Forest:
    """Fill an empty scene with ground, crowns and stems, materials, sun and sky.

    Crowns are unit icospheres scaled to radii of 1.5-3 m on stems of 4-9 m; positions are
    uniform over the ground. The scene is not built; call ``scene.build()`` afterwards.
    """
    rng = np.random.default_rng(seed)

    soil_mat, leaf_mat, bark_mat = set_forest_optics(scene)

    ground = tesk_gpu.make_ground_plane(half_size, half_size, soil_mat, 5.0)
    crown = tesk_gpu.make_sphere(1.0, [0.0, 0.0, 0.0], crown_subdivisions)
    stem = tesk_gpu.make_cylinder(1.0, 1.0, 12)
    ground_mesh = scene.add_mesh(ground["vertices"], ground["normals"], ground["indices"], soil_mat)
    crown_mesh = scene.add_mesh(crown["vertices"], crown["normals"], crown["indices"], leaf_mat)
    stem_mesh = scene.add_mesh(stem["vertices"], stem["normals"], stem["indices"], bark_mat)

    ground_instance = scene.add_instance(ground_mesh, 0.0, 0.0, 0.0)
    xy = rng.uniform(-half_size + 3.0, half_size - 3.0, size=(n_trees, 2)).astype(np.float32)
    radius = rng.uniform(1.5, 3.0, n_trees).astype(np.float32)
    stem_height = rng.uniform(4.0, 9.0, n_trees).astype(np.float32)
    centre_z = stem_height + 0.8 * radius
    crowns = uniform_scale_xforms(np.column_stack([xy, centre_z]), radius)
    first_crown = scene.add_instances_xform(crown_mesh, crowns)

    # Stems: radius 0.15-0.3 m in x and y, stem height in z (a non-uniform scale).
    stem_r = 0.1 * radius
    stems = np.zeros((n_trees, 3, 4), dtype=np.float32)
    stems[:, 0, 0] = stems[:, 1, 1] = stem_r
    stems[:, 2, 2] = centre_z
    stems[:, 0:2, 3] = xy
    first_stem = scene.add_instances_xform(stem_mesh, stems.reshape(n_trees, 12))


    stems = stems.reshape(n_trees, 12)
    meshes = [(m["vertices"], m["indices"]) for m in (ground, crown, stem)]
    mesh_ids = np.concatenate([[ground_mesh], np.full(n_trees, crown_mesh), np.full(n_trees, stem_mesh)])
    xforms = np.vstack([np.eye(3, 4, dtype=np.float32).reshape(1, 12), crowns, stems])
    return Forest(half_size, n_trees, ground_instance, first_crown, first_stem, xy, radius, centre_z,
                  meshes, mesh_ids.astype(np.int32), xforms)


def look_at(eye, target, up=(0.0, 0.0, 1.0)) -> np.ndarray:
    """Camera-to-world matrix (16 floats, row-major) of a camera at `eye` looking at `target`.

    Camera x points right, camera y up and the camera looks along its -z axis, so image row 0
    is the bottom of the view (flip rows to display with row 0 on top).
    """
    eye, target, up = (np.asarray(v, np.float64) for v in (eye, target, up))
    back = eye - target
    back /= np.linalg.norm(back)
    right = np.cross(up, back)
    right /= np.linalg.norm(right)
    true_up = np.cross(back, right)
    m = np.eye(4)
    m[:3, 0], m[:3, 1], m[:3, 2], m[:3, 3] = right, true_up, back, eye
    return m.astype(np.float32).ravel()


def perspective_view(forest: Forest) -> tuple[np.ndarray, np.ndarray]:
    """(eye, target) of an oblique view over the forest from outside one corner."""
    h = forest.half_size
    eye = np.array([-1.25 * h, -1.25 * h, 0.9 * h])
    target = np.array([0.1 * h, 0.1 * h, 0.0])
    return eye, target


def fisheye_view(forest: Forest, height: float = 1.5) -> np.ndarray:
    """Camera-to-world matrix of an upward-looking hemispherical camera at the middle of the
    forest's eastern edge (half canopy, half open sky), `height` metres above the ground:
    image row 0 toward north, column 0 toward west."""
    x, y = forest.half_size, 0.0
    m = np.eye(4)
    m[:3, 0] = (1.0, 0.0, 0.0)
    m[:3, 1] = (0.0, -1.0, 0.0)
    m[:3, 2] = (0.0, 0.0, -1.0)  # looks along -z_camera = up
    m[:3, 3] = (x, y, height)
    return m.astype(np.float32).ravel()


@dataclass
class TurbidForest:
    """What build_turbid_forest placed: a periodic tile of ellipsoid crowns filled with leaves."""

    size: float  #: the tile (and the ground) spans [0, size] in x and y; it repeats periodically
    n_trees: int
    ground_instance: int  #: instance id of the ground plane (0: the terrain)
    first_crown_instance: int  #: crowns are this id .. + n_trees - 1
    first_stem_instance: int  #: stems are this id .. + n_trees - 1
    tree_xy: np.ndarray  #: [n_trees, 2] stem positions
    crown_radius: np.ndarray  #: [n_trees] horizontal crown radii (m)
    crown_half_height: np.ndarray  #: [n_trees] vertical crown semi-axes (m)
    crown_centre_z: np.ndarray  #: [n_trees] crown centre heights (m)
    top: float  #: highest crown point (m); the measurement plane lies just above it
    leaf_area_density: float  #: one-sided leaf area per crown volume (m2 m-3)
    meshes: list  #: (vertices, indices) of each mesh, in mesh id order
    instance_mesh_ids: np.ndarray  #: [n_instances] mesh id of each instance
    instance_xforms: np.ndarray  #: [n_instances, 12] row-major 3x4 transforms


def build_turbid_forest(
    scene: tesk_gpu.EmbreeSceneManager,
    n_trees: int = 400,
    size: float = 100.0,
    leaf_area_density: float = 0.8,
    seed: int = 11,
) -> TurbidForest:
    """Fill an empty scene with a periodic forest whose crowns are optical turbid media.

    Each crown is a closed ellipsoid (an icosphere scaled to radii 1.5-3 m and half-heights
    1.2-2 times that) whose inside holds leaves of the given density with a spherical leaf angle
    distribution; the crown's boundary material (a two-sided leaf) gives the leaves' optics.
    Stems are opaque bark cylinders up to the crown centre. The tile [0, size]^2 repeats
    periodically (so no light leaks out at its sides); trees stay inside it. Same bands, soil,
    sun and sky as build_forest. The scene is not built; call ``scene.build()`` afterwards.
    """
    rng = np.random.default_rng(seed)
    soil_mat, leaf_mat, bark_mat = set_forest_optics(scene)

    ground = tesk_gpu.make_ground_plane(size / 2, size / 2, soil_mat, 5.0)
    crown = tesk_gpu.make_sphere(1.0, [0.0, 0.0, 0.0], 2)
    stem = tesk_gpu.make_cylinder(1.0, 1.0, 12)
    ground_mesh = scene.add_mesh(ground["vertices"], ground["normals"], ground["indices"], soil_mat)
    crown_mesh = scene.add_mesh(crown["vertices"], crown["normals"], crown["indices"], leaf_mat)
    stem_mesh = scene.add_mesh(stem["vertices"], stem["normals"], stem["indices"], bark_mat)
    ground_instance = scene.add_instance(ground_mesh, size / 2, size / 2, 0.0)

    radius = rng.uniform(1.5, 3.0, n_trees).astype(np.float32)
    half_height = (radius * rng.uniform(1.2, 2.0, n_trees)).astype(np.float32)
    xy = rng.uniform(3.0, size - 3.0, size=(n_trees, 2)).astype(np.float32)
    centre_z = (rng.uniform(3.0, 7.0, n_trees) + half_height).astype(np.float32)
    crowns = np.zeros((n_trees, 3, 4), dtype=np.float32)
    crowns[:, 0, 0] = crowns[:, 1, 1] = radius
    crowns[:, 2, 2] = half_height
    crowns[:, 0:2, 3] = xy
    crowns[:, 2, 3] = centre_z
    crowns = crowns.reshape(n_trees, 12)
    first_crown = scene.add_instances_xform(crown_mesh, crowns)
    stems = np.zeros((n_trees, 3, 4), dtype=np.float32)
    stems[:, 0, 0] = stems[:, 1, 1] = 0.1 * radius
    stems[:, 2, 2] = centre_z
    stems[:, 0:2, 3] = xy
    stems = stems.reshape(n_trees, 12)
    first_stem = scene.add_instances_xform(stem_mesh, stems)

    # One medium for all crowns, bounded by the leaf material; outward-facing boundaries.
    scene.set_optical_turbid_media([leaf_area_density], [0], [1], [0.05], [-1, 0, -1])
    top = float(np.max(centre_z + half_height))
    scene.set_repetitive(1000, size, size)
    scene.set_measurement_plane(top + 0.5)

    meshes = [(m["vertices"], m["indices"]) for m in (ground, crown, stem)]
    mesh_ids = np.concatenate([[ground_mesh], np.full(n_trees, crown_mesh), np.full(n_trees, stem_mesh)])
    ground_xform = np.array([[1, 0, 0, size / 2, 0, 1, 0, size / 2, 0, 0, 1, 0]], dtype=np.float32)
    xforms = np.vstack([ground_xform, crowns, stems])
    return TurbidForest(size, n_trees, ground_instance, first_crown, first_stem, xy, radius, half_height, centre_z,
                        top, leaf_area_density, meshes, mesh_ids.astype(np.int32), xforms)
