"""SIF processes: finalization of yields and excitation spectra, source-field assembly (binning,
totals, the scene setter) and a SIF-only render of primitive spectra built from them."""

import numpy as np
import pytest

import tesk_gpu
from tesk_gpu import sif

FINALIZE = tesk_gpu.finalize_sif_process_cpu
ASSEMBLE = tesk_gpu.assemble_sif_source_cpu
NO_NORMALS = np.zeros((0, 3), np.float32)


def finalize_request(rng, n=5, nb=6):
    return {"absorbed_top": rng.uniform(0, 5, (n, nb)).astype(np.float32),
            "absorbed_bottom": rng.uniform(0, 1, (n, nb)).astype(np.float32),
            "material_ids": np.array([0, 1, -1, 1, 0][:n], np.int32),
            "material_phi_f": np.array([0.02, 0.01], np.float32),
            "selected_band_indices": np.array([1, 2, 4], np.int32)}


def test_finalize_selects_bands_and_yields(scene, np_rng):
    req = finalize_request(np_rng)
    out = FINALIZE(scene, req)
    assert out["_execution"]["executor"] == "embree.cpu.sif_process_finalization"
    p = out["payload"]
    np.testing.assert_array_equal(p["phi_f"], np.array([0.02, 0.01, 0.0, 0.01, 0.02], np.float32))
    np.testing.assert_array_equal(p["top_selected"], req["absorbed_top"][:, [1, 2, 4]])
    np.testing.assert_array_equal(p["bottom_selected"], req["absorbed_bottom"][:, [1, 2, 4]])
    every = dict(req, selected_band_indices=np.arange(6, dtype=np.int32),
                 element_phi_f=np.full(5, 0.3, np.float32))
    p = FINALIZE(scene, every)["payload"]
    np.testing.assert_array_equal(p["top_selected"], req["absorbed_top"])
    np.testing.assert_array_equal(p["phi_f"], np.float32(0.3))


FINALIZE_ERRORS = [
    (dict(absorbed_top=np.zeros((0, 6)), absorbed_bottom=np.zeros((0, 6))), "SIF n_elements must be positive"),
    (dict(selected_band_indices=np.arange(7, dtype=np.int32)), r"SIF selected-band count must be in \[1, n_bands\]"),
    (dict(material_phi_f=np.zeros(0, np.float32)), "SIF n_materials must be positive"),
    (dict(material_ids=np.zeros(4, np.int32)), "material_ids buffer length mismatch"),
    (dict(absorbed_bottom=-np.ones((5, 6), np.float32)), "SIF absorbed spectra cannot be negative"),
    (dict(material_phi_f=np.array([0.5, 1.5], np.float32)), r"material_phi_f must be in \[0, 1\]"),
    (dict(material_ids=np.array([0, 1, 2, 0, 0], np.int32)), "material_ids is out of range"),
    (dict(element_phi_f=np.full(5, -0.1, np.float32)), r"element_phi_f must be in \[0, 1\]"),
    (dict(selected_band_indices=np.array([2, 2], np.int32)), "selected_band_indices must be strictly increasing and in range"),
]


@pytest.mark.parametrize("change,message", FINALIZE_ERRORS)
def test_finalize_validation(scene, np_rng, change, message):
    with pytest.raises(ValueError, match="^" + message + "$"):
        FINALIZE(scene, dict(finalize_request(np_rng), **change))


def assembly_request(rng, n=200, nb=3):
    positions = rng.uniform(0, 2, (n, 3)).astype(np.float32)
    normals = rng.normal(size=(n, 3)).astype(np.float32)
    return {"n_instances": 2, "n_bands": nb, "cell_stride": 10, "orientation_theta_bins": 3,
            "orientation_phi_bins": 4, "positions": positions, "normals": normals,
            "instance_ids": rng.integers(0, 2, n).astype(np.int32),
            "grid_dims": np.array([[2, 2, 2], [3, 1, 2]], np.int32),
            "source_band_major": rng.uniform(0, 1, (nb, n)).astype(np.float32),
            "direct_source_band_major": rng.uniform(0, 0.5, (nb, n)).astype(np.float32),
            "bounds_min": np.zeros((2, 3), np.float32), "bounds_max": np.full((2, 3), 2.0, np.float32)}


def test_assembled_fields_integrate_to_the_sample_totals_and_fit_the_scene(scene, np_rng):
    req = assembly_request(np_rng)
    out = ASSEMBLE(scene, req)
    assert out["_execution"]["workflow"] == "sif_source_assembly"
    p = out["payload"]
    nb, n_orient = 3, 12
    src = req["source_band_major"].astype(np.float64)
    # Every sample lies inside its box and has a nonzero normal: all are binned.
    np.testing.assert_allclose(p["band_totals"], src.sum(1), rtol=1e-5)
    np.testing.assert_allclose(p["spatial_field"].reshape(-1, nb).sum(0), src.sum(1), rtol=1e-5)
    np.testing.assert_allclose(p["orientation_field"].reshape(-1, nb).sum(0), src.sum(1), rtol=1e-5)
    np.testing.assert_allclose(p["joint_field"].reshape(-1, nb).sum(0), src.sum(1), rtol=1e-5)
    np.testing.assert_allclose(p["direct_joint_field"].reshape(-1, nb).sum(0),
                               req["direct_source_band_major"].sum(1), rtol=1e-5)
    assert p["spatial_counts"].sum() == p["orientation_counts"].sum() == p["joint_counts"].sum() == 200
    # Per instance, the joint field summed over orientation is the spatial field.
    joint = p["joint_field"].reshape(2, 10, n_orient, nb)
    np.testing.assert_allclose(joint.sum(2).ravel(), p["spatial_field"], rtol=1e-5, atol=1e-6)
    # Instance 1 has 6 cells: its cells 6..9 stay empty.
    assert p["spatial_counts"].reshape(2, 10)[1, 6:].sum() == 0
    # Two instances in the scene take the fields as they are.
    v = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], np.float32)
    mesh = scene.add_mesh(v, NO_NORMALS, [[0, 1, 2]], 0)
    scene.add_instance(mesh, 0, 0, 0)
    scene.add_instance(mesh, 5, 0, 0)
    scene.set_instance_sif_source_fields(p["spatial_field"], p["orientation_field"], p["joint_field"],
                                         p["direct_joint_field"], req["bounds_min"].ravel(), req["bounds_max"].ravel(),
                                         req["grid_dims"].ravel(), nb, 10, 3, 4)


def test_assembly_bin_edges(scene):
    # Sample 0: normal pointing down, binned as up. Sample 1: horizontal +x normal, last zenith
    # bin and azimuth bin 0. Sample 2: on bounds_max, last cell of every axis.
    req = {"n_instances": 1, "n_bands": 1, "cell_stride": 8, "orientation_theta_bins": 2,
           "orientation_phi_bins": 4, "positions": np.array([[0.1, 0.1, 0.1], [0.1, 0.1, 0.1], [1, 1, 1]], np.float32),
           "normals": np.array([[0, 0, -1], [1, 0, 0], [0, 0, 1]], np.float32),
           "instance_ids": np.zeros(3, np.int32), "grid_dims": np.array([2, 2, 2], np.int32),
           "source_band_major": np.array([[1.0, 2.0, 4.0]], np.float32),
           "direct_source_band_major": np.zeros((1, 3), np.float32),
           "bounds_min": np.zeros(3, np.float32), "bounds_max": np.ones(3, np.float32)}
    p = ASSEMBLE(scene, req)["payload"]
    np.testing.assert_array_equal(p["orientation_field"], [5, 0, 0, 0, 2, 0, 0, 0])
    np.testing.assert_array_equal(p["spatial_field"], [3, 0, 0, 0, 0, 0, 0, 4])


ASSEMBLY_ERRORS = [
    (dict(n_instances=0), "n_instances must be positive"),
    (dict(n_bands=0), "n_bands must be positive"),
    (dict(cell_stride=0), "SIF cell_stride must be positive"),
    (dict(orientation_phi_bins=0), "SIF orientation dimensions must be positive"),
    (dict(instance_ids=np.full(200, 2, np.int32)), "instance_ids is out of range"),
    (dict(direct_source_band_major=-np.ones((3, 200), np.float32)), "SIF source cannot be negative"),
    (dict(grid_dims=np.array([[2, 2, 2], [3, 2, 2]], np.int32)), "SIF grid_dims must be positive and fit cell_stride"),
]


@pytest.mark.parametrize("change,message", ASSEMBLY_ERRORS)
def test_assembly_validation(scene, np_rng, change, message):
    with pytest.raises(ValueError, match="^" + message + "$"):
        ASSEMBLE(scene, dict(assembly_request(np_rng), **change))


def test_sif_is_dark_without_light_and_rises_with_absorbed_par(scene):
    # Static process over a fluorescent material: SIF ~ phi_f * APAR.
    apar_levels = np.array([0.0, 800.0, 1200.0, 1600.0, 2000.0], np.float32)
    n = len(apar_levels)
    top = (apar_levels / (550e-9 / 0.11962656 * 1e6)).reshape(n, 1).astype(np.float32)
    req = {"absorbed_top": top, "absorbed_bottom": np.zeros_like(top), "absorbed_direct": top,
           "wavelengths": np.array([550.0], np.float32), "sunlit_fraction": np.ones(n, np.float32),
           "temperature_sunlit": np.full(n, 298.0, np.float32), "temperature_shaded": np.full(n, 298.0, np.float32),
           "material_ids": np.zeros(n, np.int32), "material_active": np.ones(1, np.int32),
           "material_fluorescent": np.ones(1, np.int32), "vcmax25": np.array([50.0], np.float32),
           "jmax25": np.array([90.0], np.float32), "rd25": np.array([1.0], np.float32),
           "ball_berry_slope": np.array([9.0], np.float32), "ball_berry_intercept": np.array([0.01], np.float32),
           "quantum_yield": np.array([0.05], np.float32), "co2": 400.0, "relative_humidity": 0.6,
           "max_iterations": 50, "tolerance": 1e-4}
    p = tesk_gpu.execute_photosynthesis_process_static_cpu(scene, req)["payload"]
    sif_flux = p["phi_f"] * p["apar"]
    assert sif_flux[0] == 0.0
    assert (np.diff(sif_flux[1:]) > 0).all()


def test_sif_only_render_shows_the_primitive_spectra():
    # A periodic square whose two triangles carry SIF built from the finalized process outputs;
    # a nadir orthographic camera sees exactly that radiance (nothing reflects in SIF-only mode).
    scene = tesk_gpu.EmbreeSceneManager()
    scene.upload_spectral_params(np.array([0.3, 0.3], np.float32))
    scene.set_num_bands(2)
    scene.add_material(0, 0, [])
    v = np.array([[0, 0, 0], [4, 0, 0], [4, 4, 0], [0, 4, 0]], np.float32)
    scene.add_instance(scene.add_mesh(v, NO_NORMALS, [[0, 1, 2], [0, 2, 3]], 0), 0, 0, 0)
    scene.set_sensor(0, 4, 4, 4.0, 4.0, np.array([1, 0, 0, 2, 0, 1, 0, 2, 0, 0, 1, 5, 0, 0, 0, 1], np.float32))
    scene.set_repetitive(2, 4.0, 4.0)
    scene.build()
    fin = FINALIZE(scene, {"absorbed_top": np.array([[50.0, 80.0, 10.0]] * 2, np.float32),
                           "absorbed_bottom": np.array([[5.0, 8.0, 1.0]] * 2, np.float32),
                           "material_ids": np.zeros(2, np.int32), "material_phi_f": np.array([0.02], np.float32),
                           "selected_band_indices": np.array([0, 1], np.int32)})["payload"]
    spectra = sif.primitive_sif_spectra(fin["phi_f"], fin["top_selected"], fin["bottom_selected"], [1.0, 3.0])
    expected = 0.02 * 143.0 / (2 * np.pi) * np.array([0.25, 0.75])
    np.testing.assert_allclose(spectra[:, 0], expected, rtol=1e-6)
    scene.set_primitive_sif_spectra(spectra.ravel(), 2)
    scene.set_sif_only_mode(True)
    image = tesk_gpu.simulate_cpu(scene, spp=2)["payload"]
    np.testing.assert_allclose(image.reshape(-1, 2), np.broadcast_to(expected, (16, 2)), rtol=1e-5)
    with pytest.raises(ValueError):
        sif.primitive_sif_spectra(fin["phi_f"], fin["top_selected"], fin["bottom_selected"], [0.0, 0.0])
