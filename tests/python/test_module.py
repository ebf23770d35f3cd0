"""The module frame: attributes, registration order, exception mapping, argument conversion."""

import numpy as np
import pytest

import tesk_gpu
from conftest import unit_square


def test_module_attributes():
    assert tesk_gpu.__doc__ == "TESK - multi-backend 3D Radiative Transfer Model"
    assert tesk_gpu.__version__ == "3.0.0rc1"
    assert tesk_gpu.HAS_EMBREE is True
    assert tesk_gpu.TURBID_MAX_SAMPLE_BUDGET == 4194303
    # Backends that are not built are absent rather than falsely advertised; the CUDA backend is
    # built where nvcc was found.
    assert getattr(tesk_gpu, "HAS_VULKAN", True) is True
    assert hasattr(tesk_gpu, "HAS_VULKAN") == hasattr(tesk_gpu, "VulkanSceneManager")
    assert getattr(tesk_gpu, "HAS_OPTIX", True) is True


def test_show_config_names_the_build(capsys):
    tesk_gpu.show_config()
    out = capsys.readouterr().out
    vulkan = "yes" if hasattr(tesk_gpu, "HAS_VULKAN") else "no"
    optix = "yes (CUDA)" if hasattr(tesk_gpu, "HAS_OPTIX") else "no"
    assert f"vulkan: {vulkan}; optix: {optix}" in out and "devices: cpu" in out
    assert "embree: 3." in out


def test_registration_order():
    names = [n for n in vars(tesk_gpu) if not n.startswith("__")]
    vulkan = ["HAS_VULKAN", "VulkanContext", "VulkanSceneManager", "list_vulkan_devices"]
    order = (["TURBID_MAX_SAMPLE_BUDGET", "_execute_joint_thermo_physiology_embree"]
             + (vulkan if hasattr(tesk_gpu, "HAS_VULKAN") else [])
             + ["make_ground_plane", "make_sphere", "make_cylinder", "HAS_EMBREE", "EmbreeSceneManager",
                "solve_physiology_cpu", "execute_photosynthesis_process_static_cpu",
                "execute_photosynthesis_process_dynamic_cpu", "execute_energy_balance_process_cpu",
                "finalize_sif_process_cpu", "assemble_sif_source_cpu", "simulate_lidar_cpu"])
    positions = [names.index(n) for n in order]
    assert positions == sorted(positions)


SCENE_VOCABULARY = """
add_mesh add_instance add_instance_xform add_instances_xform update_instance_transform
refit_ias refit_instances set_num_bands add_material upload_spectral_params
set_optical_turbid_media num_optical_turbid_media material_medium_ids optical_turbid_medium
sample_combined_free_path conditional_hotspot_transmittance
geometry_build_revision set_emitter update_emitter_direction set_sensor set_sky
set_directional_sky set_hw_sky set_repetitive set_thermal_mode thermal_mode band_wavelengths
build clear_for_reuse build_reuse_geometry build_reuse_gas is_built has_meshes has_gpu_meshes
num_instances total_triangles n_primitives max_height min_height aabb set_measurement_plane
instance_triangle_counts get_instance_primitive_offsets is_populate_primitive_soa
set_populate_primitive_soa get_primitive_mat_ids get_primitive_areas get_primitive_normals
primitive_geometry set_primitive_emissivities get_primitive_emissivities
clear_primitive_emissivities set_primitive_temperatures clear_primitive_temperatures
get_primitive_temperatures set_primitive_sif_spectra clear_primitive_sif_spectra
set_instance_turbid_thermal_state clear_instance_turbid_thermal_state set_instance_sif_spectra
clear_instance_sif_spectra set_instance_sif_source_fields clear_instance_sif_source_fields
set_sif_only_mode repetitive_config sensor_config trace_closest
""".split()


def test_scene_vocabulary_is_registered():
    cls = tesk_gpu.EmbreeSceneManager
    missing = [n for n in SCENE_VOCABULARY if not hasattr(cls, n)]
    assert missing == []
    assert not hasattr(cls, "update_spectral_params")  # offered by the device scene managers only
    assert "FIRST added instance" in cls.add_instances_xform.__doc__


def test_exception_mapping(scene):
    for args, message in [
        ((np.zeros((0, 3)), [], [[0, 1, 2]]), "mesh must contain at least one vertex"),
        ((np.zeros((3, 3)), [], np.zeros((0, 3))), "mesh must contain at least one triangle"),
        ((np.zeros((3, 3)), np.zeros((2, 3)), [[0, 1, 2]]), "mesh normals must be empty or have one entry per vertex"),
        ((np.zeros((3, 3)), [], [[0, 1, 3]]), "mesh triangle 0 references a vertex outside the vertex buffer"),
    ]:
        with pytest.raises(ValueError) as err:
            scene.add_mesh(*args)
        assert str(err.value) == message
    assert not scene.has_meshes()
    mesh = unit_square(scene)
    with pytest.raises(IndexError, match=r"^instance mesh id 5 is outside \[0, 1\)$"):
        scene.add_instance(5, 0, 0, 0)
    with pytest.raises(RuntimeError, match="^update_instance_transform: id out of range$"):
        scene.update_instance_transform(0, np.eye(3, 4))
    with pytest.raises(RuntimeError, match=r"^refit_ias: scene not built\. Call build\(\) first\.$"):
        scene.refit_ias()
    with pytest.raises(RuntimeError, match="^Embree: build the scene before tracing rays$"):
        scene.trace_closest(np.zeros((1, 3)), np.ones((1, 3)))
    # Wrong argument kinds are rejected by overload resolution before native code runs.
    with pytest.raises(TypeError):
        scene.add_instance("zero", 0, 0, 0)
    with pytest.raises(TypeError):
        scene.add_mesh(np.zeros((3, 3)), [], [["a", "b", "c"]])
    with pytest.raises(TypeError):
        scene.set_sky(None)
    assert scene.add_instance(mesh, 0, 0, 0) == 0


def test_array_conversion_casts_and_copies(scene):
    # float64, Fortran-ordered and strided inputs are accepted and copied.
    v = np.asfortranarray(np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], dtype=np.float64))
    idx = np.array([[0, 1, 2, 9], [0, 2, 3, 9]], dtype=np.int64)[:, :3]
    mesh = scene.add_mesh(v, np.zeros((0, 3)), idx, 0)
    xforms = np.tile(np.eye(3, 4, dtype=np.float64).ravel(), (4, 1))[::2]
    assert scene.add_instances_xform(mesh, xforms) == 0
    assert scene.add_instances_xform(mesh, np.tile(np.eye(3, 4), (3, 1, 1))) == 2
    assert scene.add_instances_xform(mesh, np.zeros((0, 12))) == 5
    assert scene.num_instances() == 5
    v[:] = 99.0  # the scene kept its own copy
    scene.build()
    assert scene.aabb() == ((0.0, 0.0, 0.0), (1.0, 1.0, 0.0))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.add_mesh(np.zeros((3, 2)), [], [[0, 1, 2]]), "vertices must have float32 shape [n, 3]"),
        (lambda s: s.add_mesh(np.zeros(9), [], [[0, 1, 2]]), "vertices must have float32 shape [n, 3]"),
        (lambda s: s.add_mesh(np.zeros((3, 3)), np.zeros((3, 4)), [[0, 1, 2]]), "normals must have float32 shape [n, 3]"),
        (lambda s: s.add_mesh(np.zeros((3, 3)), [], [0, 1, 2]), "indices must have int32 shape [m, 3]"),
        (lambda s: s.add_mesh(np.zeros((3, 3)), [], np.array([[0, 1, 2**33]])), "indices holds values outside the int32 range"),
        (lambda s: s.add_mesh(np.zeros((3, 3)), [], np.array([[0, 1, np.nan]])), "indices must hold finite integer values"),
        (lambda s: s.add_instance_xform(0, np.zeros(11)), "xform must have 12 float32 values (row-major 3x4)"),
        (lambda s: s.add_instances_xform(0, np.zeros(12)), "xforms must have float32 shape [N, 12]"),
        (lambda s: s.set_emitter(0, [0, 1], 0), "direction must have three float32 values"),
        (lambda s: s.trace_closest(np.zeros((2, 2)), np.zeros((2, 3))), "origins must have float32 shape [N, 3]"),
        (lambda s: s.trace_closest(np.zeros((2, 3)), np.zeros(6)), "directions must have float32 shape [N, 3]"),
        (lambda s: s.trace_closest(np.zeros((2, 3)), np.zeros((3, 3))), "origins and directions must have the same number of rays"),
    ],
)
def test_shape_errors_name_the_argument(scene, call, message):
    unit_square(scene)
    with pytest.raises(ValueError) as err:
        call(scene)
    assert str(err.value) == message
    assert scene.num_instances() == 0


def test_run_summaries_go_to_the_logger(caplog, capfd):
    import logging

    from test_distributed import build_scene

    scene = build_scene(tesk_gpu.EmbreeSceneManager(), sensor=True)
    capfd.readouterr()
    tesk_gpu.simulate_cpu(scene, 1, 2, num_threads=1)
    assert "Backward render" not in capfd.readouterr().out  # silent by default
    with caplog.at_level(logging.INFO, logger="tesk_gpu"):
        tesk_gpu.simulate_cpu(scene, 1, 2, num_threads=1)
    assert [r.getMessage() for r in caplog.records] == [
        "Backward render (CPU): 6x5 pixels, 2 bands, spp=1, max_depth=2, 1 threads"]
