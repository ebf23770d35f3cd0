"""Scene vocabulary through the host: description state, queries and attached data."""

import numpy as np
import pytest

import tesk_gpu
from conftest import unit_square


def test_sensor_is_stored_in_radians_and_survives_reuse(scene):
    cam = np.arange(12, dtype=np.float64) + 1
    scene.set_sensor(1, 64, 32, 2.0, 3.0, cam, fov=90.0, projection_type=2, terrain_following=True)
    scene.clear_for_reuse()
    cfg = scene.sensor_config()
    assert list(cfg) == ["type", "width", "height", "ortho_width", "ortho_height", "fov",
                         "projection_type", "camera_to_world"]
    assert (cfg["type"], cfg["width"], cfg["height"], cfg["projection_type"]) == (1, 64, 32, 2)
    assert np.float32(cfg["fov"]) == np.float32(1.5707964)
    assert cfg["camera_to_world"].shape == (4, 4)
    np.testing.assert_array_equal(cfg["camera_to_world"].ravel()[:12], cam)
    np.testing.assert_array_equal(cfg["camera_to_world"][3], 0.0)
    scene.set_sensor(0, 1, 1, 1.0, 1.0, np.arange(20))  # only the first 16 values are read
    assert scene.sensor_config()["camera_to_world"][3, 3] == 15.0


def test_modes_wavelengths_and_tiling(scene):
    assert scene.thermal_mode() is False
    scene.set_thermal_mode(True, [8000.0, 10000.0])
    assert scene.thermal_mode() is True
    assert scene.band_wavelengths() == [8000.0, 10000.0]
    scene.set_sif_only_mode(True)
    scene.set_sif_only_mode(False)
    assert scene.thermal_mode() is True
    assert scene.repetitive_config() == (0, 0.0, 0.0)
    scene.set_repetitive(3, 10.0, 20.0)
    assert scene.repetitive_config() == (3, 10.0, 20.0)
    scene.clear_for_reuse()
    assert scene.thermal_mode() is False and scene.band_wavelengths() == []
    assert scene.repetitive_config() == (0, 0.0, 0.0)


def test_description_setters_accept_their_arguments(scene):
    scene.set_num_bands(2)
    scene.upload_spectral_params(np.linspace(0, 1, 40).reshape(4, 10))
    assert scene.add_material(0, 0, []) == 0
    assert scene.add_material(13, 2, [0.4, 0.5] + [0.0] * 8) == 1
    assert scene.add_material(1, 4) == 2
    scene.set_emitter(0, np.array([0.0, 0.6, 0.8]), 8)
    scene.update_emitter_direction([0.0, 0.0, 1.0])
    scene.set_sky(10)
    scene.set_directional_sky(12)
    scene.set_hw_sky(14, 0.0, 0.0, 1.0)
    scene.set_measurement_plane(2.5)
    scene.set_populate_primitive_soa(True)
    assert scene.is_populate_primitive_soa() is True


def test_geometry_queries(scene):
    two = unit_square(scene, material_id=4)
    v = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [2, 2, 1]], np.float32)
    three = scene.add_mesh(v, np.tile([0, 0, 1], (5, 1)), [[0, 1, 2], [0, 2, 3], [2, 4, 3]], 6)
    assert scene.has_meshes() and not scene.has_gpu_meshes() and not scene.is_built()
    scene.add_instance(two, 0, 0, 0)
    scene.add_instance(two, 5, 0, 0, 2.0)
    xf = np.array([[0, -1, 0, 0], [1, 0, 0, 5], [0, 0, 1, 1]], np.float32)  # rotation about z
    assert scene.add_instance_xform(three, xf) == 2
    assert scene.get_instance_primitive_offsets() == [0, 2, 4, 7]
    assert scene.instance_triangle_counts() == [2, 2, 3]
    assert (scene.n_primitives(), scene.total_triangles(), scene.num_instances()) == (7, 5, 3)
    scene.build()
    assert scene.is_built() and scene.geometry_build_revision() == 1
    assert scene.max_height() == 2.0 and scene.min_height() == 0.0
    assert scene.aabb() == ((-2.0, 0.0, 0.0), (7.0, 7.0, 2.0))

    geo = scene.primitive_geometry()
    assert list(geo) == ["vertices", "normals", "areas", "material_ids", "instance_ids", "primitive_ids"]
    assert geo["vertices"].shape == (7, 3, 3)
    np.testing.assert_allclose(geo["areas"], [0.5, 0.5, 2, 2, 0.5, 0.5, geo["areas"][6]])
    np.testing.assert_array_equal(geo["instance_ids"], [0, 0, 1, 1, 2, 2, 2])
    np.testing.assert_array_equal(geo["primitive_ids"], [0, 1, 0, 1, 0, 1, 2])
    np.testing.assert_array_equal(scene.get_primitive_mat_ids(), [4, 4, 4, 4, 6, 6, 6])
    np.testing.assert_array_equal(scene.get_primitive_areas(), geo["areas"])
    np.testing.assert_allclose(scene.get_primitive_normals()[:6], np.tile([0, 0, 1], (6, 1)))
    # Vertex 1 of the rotated instance: (1, 0, 0) -> (0, 1, 0) + (0, 5, 1).
    np.testing.assert_allclose(geo["vertices"][4, 1], [0, 6, 1])


def test_refit_and_reuse(scene):
    mesh = unit_square(scene)
    scene.add_instance(mesh, 0, 0, 0)
    scene.build()
    up = np.eye(3, 4, dtype=np.float32)
    up[2, 3] = 4.0
    scene.update_instance_transform(0, up)
    scene.refit_instances()
    assert scene.geometry_build_revision() == 2
    assert scene.max_height() == 4.0
    hit = scene.trace_closest([[0.5, 0.2, 10]], [[0, 0, -1]])
    assert hit["t"][0] == pytest.approx(6.0)
    scene.clear_for_reuse()
    scene.build_reuse_gas()
    assert scene.is_built()
    assert scene.trace_closest([[0.5, 0.2, 10]], [[0, 0, -1]])["hit"][0]


def test_attached_data_messages_and_no_partial_store(scene):
    mesh = unit_square(scene)
    scene.add_instance(mesh, 0, 0, 0)
    scene.add_instance(mesh, 2, 0, 0)  # 4 primitives, 2 instances
    cases = [
        (lambda: scene.set_primitive_emissivities(np.ones(3)), "Embree primitive emissivity count must equal n_primitives()"),
        (lambda: scene.set_primitive_temperatures(np.ones(5)), "Embree primitive temperature count must equal n_primitives()"),
        (lambda: scene.set_primitive_sif_spectra(np.ones(8), 0), "Embree SIF band count must be positive"),
        (lambda: scene.set_primitive_sif_spectra(np.ones(7), 2), "Embree primitive SIF spectrum size must equal bands * n_primitives()"),
        (lambda: scene.set_instance_sif_spectra(np.ones(2), 0), "Embree instance SIF band count must be positive"),
        (lambda: scene.set_instance_sif_spectra(np.ones(3), 2), "Embree instance SIF spectrum size must equal bands * num_instances()"),
        (lambda: scene.set_instance_turbid_thermal_state(np.ones(2), np.ones(2), np.ones(1), np.ones(2)),
         "Embree instance turbid thermal state: every array length must equal num_instances()"),
        (lambda: scene.set_instance_sif_source_fields(*[np.ones(1)] * 6, np.ones(6, np.int32), 1, 0, 1, 1),
         "Embree instance SIF source fields: dimensions must be positive"),
        (lambda: scene.set_instance_sif_source_fields(*[np.ones(1)] * 6, np.ones(6, np.int32), 1, 1, 1, 1),
         "Embree instance SIF source fields: array length mismatch"),
        (lambda: scene.set_instance_sif_source_fields(np.ones(2), np.ones(2), np.ones(2), np.ones(2), np.ones(6),
                                                      np.ones(6), np.array([1, 1, 2, 1, 1, 1]), 1, 1, 1, 1),
         "Embree instance SIF source fields: invalid instance grid"),
    ]
    for call, message in cases:
        with pytest.raises(ValueError) as err:
            call()
        assert str(err.value) == message
    assert scene.get_primitive_emissivities().size == 0
    assert scene.get_primitive_temperatures().size == 0

    scene.set_primitive_temperatures([300, 301, 302, 303])
    np.testing.assert_array_equal(scene.get_primitive_temperatures(), [300, 301, 302, 303])
    with pytest.raises(ValueError):
        scene.set_primitive_temperatures([1.0])
    np.testing.assert_array_equal(scene.get_primitive_temperatures(), [300, 301, 302, 303])
    scene.clear_primitive_temperatures()
    assert scene.get_primitive_temperatures().size == 0
    scene.set_instance_sif_source_fields(np.ones(2), np.ones(2), np.ones(2), np.ones(2), np.ones(6),
                                         np.ones(6), np.ones(6), 1, 1, 1, 1)


def test_million_instances_keep_exact_indices(scene):
    mesh = unit_square(scene)
    n = 1_000_000
    xf = np.zeros((n, 3, 4), np.float32)
    xf[:, 0, 0] = xf[:, 1, 1] = xf[:, 2, 2] = 1.0
    xf[:, 0, 3] = 2.0 * np.arange(n)  # a row of squares along x
    assert scene.add_instances_xform(mesh, xf.reshape(n, 12)) == 0
    assert scene.n_primitives() == 2 * n
    scene.build()
    hits = scene.trace_closest([[2.0 * (n - 1) + 0.8, 0.2, 1.0]], [[0, 0, -1]])
    assert hits["instance_id"][0] == n - 1
    assert hits["global_primitive_id"][0] == 2 * (n - 1)


def test_primitive_count_overflow_is_refused(scene):
    big = tesk_gpu.make_sphere(1.0, [0, 0, 0], 5)  # 20480 triangles
    mesh = scene.add_mesh(big["vertices"], big["normals"], big["indices"])
    xf = np.tile(np.eye(3, 4, dtype=np.float32).ravel(), (110_000, 1))  # 2.25e9 primitives
    with pytest.raises(OverflowError):
        scene.add_instances_xform(mesh, xf)
    assert scene.num_instances() == 0 and scene.n_primitives() == 0
