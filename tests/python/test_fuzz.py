"""Property-based fuzzing of the whole public surface: every function and method is called with
wrong shapes and dtypes, NaN/inf, huge and negative values, empty arrays, None, bad ids and in
random orders. Every call must either return or raise one of the documented exception kinds, and
a call that raises must leave the scene as it was.

`make test` runs the default profile (a few thousand calls); `make fuzz` sets
TESK_FUZZ_PROFILE=fuzz for a long campaign. Value pools avoid sizes that are valid but slow
(the explicit tests cover the huge ones), so every example stays in the millisecond range."""

import math

import numpy as np
import pytest

import tesk_gpu

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402
from hypothesis.extra import numpy as hnp  # noqa: E402

# What the module raises (README, "Errors"); ZeroDivisionError comes from the progress callback
# below and must pass through unchanged.
DOCUMENTED = (ValueError, TypeError, IndexError, OverflowError, RuntimeError, MemoryError, ZeroDivisionError)
NAN, INF = math.nan, math.inf
# Forced casts of huge float64 values to float32 warn; the overflow is part of the input.
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")
CAMERA = np.array([1, 0, 0, 0.5, 0, 1, 0, 0.5, 0, 0, 1, 3, 0, 0, 0, 1], np.float32)
IDENTITY = np.eye(3, 4, dtype=np.float32).ravel()

# ---- value pools, one per kind of parameter -----------------------------------------------------

MISC = [None, "text", b"bytes", object(), [1, "a"], {}, (), NAN]
INTS = [0, 1, 2, -1, 7, 2**31 - 1, -2**31, 2**31, 2**64, -2**70, 1.5, True]
SMALL = [-1, 0, 1, 2, 3, 2**31, -2**31 - 1]  # budgets and sizes: nothing valid and slow
PHOTONS = [-1, 0, 1, 100, 2**63, 2**64]
FLOATS = [0.0, -1.0, 1.0, 0.5, 2.5, 1e-30, 1e30, 3.4e38, 1e39, NAN, INF, -INF, 12]
BOOLS = [True, False, 0, 1, 2, None, "yes"]


def raising_progress(done, total, elapsed_ms):
    raise ZeroDivisionError("progress stops the run")


PROGRESS = [None, lambda *a: None, 5, raising_progress, "mutate"]
OUTPUTS = [("radiance",), "standard_error", ["event_aov", "scattering_order"], ["bogus"], 5, None, [1]]
COLUMNS = [("t",), ["hit", "normal"], "t", ["bogus"], 5, None, [1], ()]
LISTS = [[], [1.0], [0.5] * 8, [NAN, INF], "abc", [[1.0]]]

float_elements = st.floats(width=32, allow_nan=True, allow_infinity=True)
any_array = hnp.arrays(
    dtype=st.sampled_from([np.float32, np.float64, np.int32, np.int64, np.uint8, np.bool_]),
    shape=hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=5))
float_rows = hnp.arrays(np.float32, st.tuples(st.integers(0, 6), st.just(3)), elements=float_elements)
good_rows = st.sampled_from([np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], np.float32),
                             np.array([[0.3, 0.2, 5.0]], np.float32), np.zeros((0, 3), np.float32)])
int_rows = hnp.arrays(st.sampled_from([np.int32, np.int64, np.float64]), st.tuples(st.integers(0, 4), st.just(3)),
                      elements=st.integers(-3, 5))
transforms = st.sampled_from([IDENTITY, IDENTITY * 2, np.zeros(12, np.float32), IDENTITY * 1e-9,
                              np.r_[IDENTITY[:11], 1e20].astype(np.float32), np.full(12, NAN, np.float32)])
transform_batches = st.one_of(
    hnp.arrays(np.float32, st.tuples(st.integers(0, 3), st.just(12)), elements=float_elements),
    st.sampled_from([np.tile(IDENTITY, (3, 1)), np.tile(IDENTITY, (2, 1)).reshape(2, 3, 4)]))
directions = st.sampled_from([[0.0, 0.0, 1.0], [0.3, 0.0, 0.95, 0.0, 0.0, 1.0], [0, 0, 0], [0, 0, -1], []])


def request_strategy():
    """A valid physiology request with one field replaced by a drawn value (or none)."""
    def build(field, value, iterations):
        full = lambda v: np.full(2, v, np.float32)  # noqa: E731
        req = {"apar": np.full((2, 1), 1000.0, np.float32), "temperature": full(298.15), "co2": full(400.0),
               "relative_humidity": full(0.7), "vpd": full(1000.0), "pressure": full(101.325),
               "wind": full(1.0), "vcmax25": full(60.0), "jmax25": full(120.0), "rd25": full(1.0),
               "ball_berry_slope": full(9.0), "ball_berry_intercept": full(0.01),
               "quantum_yield": full(0.5), "max_iterations": iterations, "tolerance": 1e-4}
        if field is not None:
            req[field] = value
        return req
    fields = st.sampled_from([None, "apar", "temperature", "relative_humidity", "pressure", "tolerance",
                              "max_iterations", "dynamic_energy_balance", "emissivity"])
    values = st.one_of(st.sampled_from(MISC + FLOATS[:9]), any_array)
    return st.one_of(st.builds(build, fields, values, st.sampled_from([-1, 0, 1, 100, "x", None])),
                     st.sampled_from(MISC))


def pool(values, *extra):
    plain = [st.sampled_from(values)] if values else []
    return st.one_of(*plain, st.sampled_from(MISC), any_array, *extra)


KINDS = {
    "int": pool(INTS), "small": pool(SMALL), "photons": pool(PHOTONS), "float": pool(FLOATS),
    "bool": pool(BOOLS), "progress": st.sampled_from(PROGRESS), "outputs": st.sampled_from(OUTPUTS),
    "columns": st.sampled_from(COLUMNS),
    "list": st.sampled_from(LISTS + MISC), "request": request_strategy(),
    "rows": pool([], good_rows, float_rows), "tris": pool([], int_rows, st.just([[0, 1, 2]])),
    "vec3": pool([], directions, hnp.arrays(np.float64, 3, elements=st.floats(allow_nan=True))),
    "xform": pool([], transforms), "xforms": pool([], transform_batches),
    "array": st.one_of(any_array, st.sampled_from(MISC + LISTS)),
    "dirs": pool([], directions),
    "optional": st.one_of(any_array, st.sampled_from(MISC + LISTS)),  # an object argument: None is absent
}

# Every public callable with the kind of each positional argument. Methods take the scene first.
METHODS = {
    "add_mesh": ["rows", "rows", "tris", "int"], "add_instance": ["int", "float", "float", "float", "float"],
    "add_instance_xform": ["int", "xform"], "add_instances_xform": ["int", "xforms"],
    "update_instance_transform": ["int", "xform"], "refit_ias": [], "refit_instances": [],
    "set_num_bands": ["small"], "add_material": ["int", "int", "list"], "upload_spectral_params": ["array"],
    "set_optical_turbid_media": ["array", "array", "array", "array", "array"],
    "num_optical_turbid_media": [], "material_medium_ids": [], "optical_turbid_medium": ["int"],
    "sample_combined_free_path": ["array", "vec3", "float", "float"],
    "conditional_hotspot_transmittance": ["int", "float", "float", "float", "vec3", "vec3"],
    "geometry_build_revision": [], "set_emitter": ["int", "vec3", "int"], "update_emitter_direction": ["vec3"],
    "set_sensor": ["int", "small", "small", "float", "float", "array", "float", "int", "bool"],
    "set_sky": ["int"], "set_directional_sky": ["int"], "set_hw_sky": ["int", "float", "float", "float"],
    "set_repetitive": ["int", "float", "float"], "set_thermal_mode": ["bool", "list"], "thermal_mode": [],
    "band_wavelengths": [], "build": [], "clear_for_reuse": [], "build_reuse_geometry": [],
    "build_reuse_gas": [], "is_built": [], "has_meshes": [], "has_gpu_meshes": [], "num_instances": [],
    "total_triangles": [], "n_primitives": [], "max_height": [], "min_height": [], "aabb": [],
    "set_measurement_plane": ["float"], "instance_triangle_counts": [], "get_instance_primitive_offsets": [],
    "is_populate_primitive_soa": [], "set_populate_primitive_soa": ["bool"], "get_primitive_mat_ids": [],
    "get_primitive_areas": [], "get_primitive_normals": [], "primitive_geometry": [],
    "set_primitive_emissivities": ["array"], "get_primitive_emissivities": [], "clear_primitive_emissivities": [],
    "set_primitive_temperatures": ["array"], "clear_primitive_temperatures": [], "get_primitive_temperatures": [],
    "set_primitive_sif_spectra": ["array", "small"], "clear_primitive_sif_spectra": [],
    "set_instance_turbid_thermal_state": ["array", "array", "array", "array"],
    "clear_instance_turbid_thermal_state": [], "get_instance_turbid_thermal_state": [], "set_instance_sif_spectra": ["array", "small"],
    "clear_instance_sif_spectra": [],
    "set_instance_sif_source_fields": ["array"] * 7 + ["small"] * 4, "clear_instance_sif_source_fields": [],
    "set_sif_only_mode": ["bool"], "repetitive_config": [], "sensor_config": [],
    "trace_closest": ["rows", "rows", "float", "float", "small", "columns"],
    "run_energy_balance": ["small", "small", "int", "float", "float", "float", "float", "float", "float", "bool",
                           "optional", "optional", "optional", "optional"],
    "run_energy_balance_multiband": ["small", "small", "small", "optional", "optional", "optional", "float", "float",
                                     "float", "bool", "optional", "optional", "optional", "optional"],
    "simulate_lidar": ["rows", "rows", "small", "float", "small", "float", "float", "float", "float", "float",
                       "small", "float", "float", "small", "bool"],
}
FUNCTIONS = {
    "make_ground_plane": ["float", "float", "int", "float"], "make_sphere": ["float", "vec3", "small"],
    "make_cylinder": ["float", "float", "small"], "show_config": [],
    "_evaluate_microwave_soil": ["float", "array", "array", "bool"],
    "_evaluate_microwave_soil_reflectivity": ["float", "array", "array", "bool"],
    "_evaluate_microwave_trunk": ["float", "array", "array"],
    "_evaluate_microwave_trunk_ground": ["float", "array", "array", "array", "array", "array"],
    "_test_turbid_domain_id_exhaustion": [], "_turbid_sampling_debug": ["request"],
}
if getattr(tesk_gpu, "HAS_OPTIX", False):  # the CUDA backend's names (built where nvcc was found)
    FUNCTIONS |= {
        "OptiXContext": ["int"], "device_info": ["int"], "SceneManager": ["optional"],
        "Simulator": ["optional", "optional"], "solve_physiology_optix": ["optional", "request"],
        "execute_photosynthesis_process_static_optix": ["optional", "request"],
        "execute_photosynthesis_process_dynamic_optix": ["optional", "optional", "request"],
        "execute_energy_balance_process_optix": ["optional", "optional", "request"],
        "finalize_sif_process_optix": ["optional", "request"],
        "assemble_sif_source_optix": ["optional", "request"],
    }
# Methods of the CUDA Simulator (an instance needs a device; without one only the binding layer's
# argument checks are reachable).
CUDA_SIMULATOR_METHODS = {
    "init": [], "trace_closest": ["optional", "rows", "rows", "float", "float"],
    "trace_occluded": ["optional", "rows", "rows", "float", "float"],
    "simulate": ["optional", "small", "small", "progress", "outputs", "small"],
    "simulate_flux": ["optional", "small", "small", "photons", "small", "float", "small", "small", "small",
                      "bool", "progress"],
    "simulate_forward": ["optional", "small", "small", "array", "photons", "small", "bool", "dirs", "small",
                         "float", "small", "int", "bool", "bool", "progress"],
    "simulate_lidar": ["optional", "rows", "rows", "small", "float", "small", "float", "float", "float", "float",
                       "float", "small", "float", "float", "small", "bool"],
    "run_turbid_leaf_rrt": ["optional", "rows", "rows", "array", "array", "array", "array", "array", "small",
                            "small", "small", "optional", "optional", "optional", "optional", "optional",
                            "optional", "bool", "optional", "optional", "float", "float", "float"],
    "run_energy_balance": ["optional", "small", "small", "int", "optional", "optional", "float", "float", "float",
                           "float", "bool", "optional", "optional", "optional", "optional"],
    "run_energy_balance_multiband": ["optional", "small", "small", "small", "optional", "optional", "optional",
                                     "float", "float", "float", "bool", "optional", "optional", "optional",
                                     "optional"],
    "simulate_microwave": ["optional", "float", "small", "small", "small", "float", "bool", "float"]
    + ["optional"] * 7,
    "simulate_active_microwave": ["optional", "float", "small", "small", "small", "float", "float"]
    + ["optional"] * 6,
}
WORKFLOWS = {  # module functions taking the scene first
    "simulate_cpu": ["small", "small", "progress", "outputs", "small"],
    "simulate_brf_cpu": ["dirs", "photons", "small", "progress"],
    "simulate_flux_cpu": ["small", "small", "photons", "small", "float", "small", "small", "small", "bool",
                          "progress"],
    "simulate_forward_cpu": ["small", "small", "array", "photons", "small", "bool", "dirs", "small", "float",
                             "small", "int", "progress"],
    "solve_physiology_cpu": ["request"],
    "execute_photosynthesis_process_static_cpu": ["request"],
    "execute_photosynthesis_process_dynamic_cpu": ["request"],
    "execute_energy_balance_process_cpu": ["request"],
    "finalize_sif_process_cpu": ["request"], "assemble_sif_source_cpu": ["request"],
    "_execute_joint_thermo_physiology_embree": ["request"],
    "run_energy_balance_cpu": ["small", "small", "int", "float", "float", "float", "float", "float", "float",
                               "bool", "optional", "optional", "optional", "optional"],
    "run_energy_balance_multiband_cpu": ["small", "small", "small", "optional", "optional", "optional", "float", "float",
                                         "float", "bool", "optional", "optional", "optional", "optional"],
    "simulate_lidar_cpu": ["rows", "rows", "small", "float", "small", "float", "float", "float", "float", "float",
                           "small", "float", "float", "small", "bool"],
    "_preflight_turbid_sampling_embree": ["request"], "_set_turbid_commit_failure_embree": ["int"],
    "_debug_turbid_residency_embree": [], "_build_turbid_domains_embree": ["list", "request"],
    "_build_turbid_domain_embree": ["request", "request"], "_extend_turbid_samples_embree": ["int", "request"],
    "_turbid_domain_revisions_embree": ["int"], "_debug_turbid_domain_samples_embree": ["int"],
    "_debug_turbid_scene_relations_embree": [],
    "_debug_turbid_samples_embree": ["request", "int", "int", "small", "small"],
    "run_turbid_leaf_rrt_cpu": ["rows", "rows", "array", "array", "array", "array", "array", "small", "small",
                                "small", "optional", "optional", "optional", "optional", "optional", "optional",
                                "bool", "optional", "optional", "float", "float", "float"],
    "_execute_turbid_radiation_field_embree": ["int", "request"],
    "_execute_turbid_energy_balance_embree": ["int", "request"],
    "_execute_turbid_static_physiology_embree": ["int", "request"],
    "_aggregate_turbid_state_embree": ["request", "list", "int", "optional"],
    "_debug_turbid_state_residency_embree": [], "_build_turbid_state_embree": ["int", "request"],
    "_build_turbid_field_embree": ["request", "request", "int"],
    "_lookup_turbid_field_embree": ["request", "rows", "rows", "int", "optional", "optional", "optional"],
    "_build_turbid_thermal_source_embree": ["request", "array", "array", "optional"],
    "_build_turbid_sif_source_embree": ["request", "array", "rows", "optional"],
    "_debug_turbid_field_embree": ["request"], "_debug_turbid_field_residency_embree": [], "_test_turbid_weighted_reduction_embree": ["list", "list"],
}


def small_scene():
    """One built, lit, periodic ground square with a 4x4 camera: every workflow runs on it."""
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(1)
    scene.upload_spectral_params([0.3, 2.0, 0.1])
    scene.add_material(0, 0, [])
    scene.set_emitter(0, [0.3, 0.0, 0.9], 1)
    scene.set_sky(2)
    scene.set_repetitive(2, 1.0, 1.0)
    scene.set_sensor(0, 4, 4, 1.0, 1.0, CAMERA)
    v = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], np.float32)
    scene.add_instance(scene.add_mesh(v, np.zeros((0, 3), np.float32), [[0, 1, 2], [0, 2, 3]], 0), 0, 0, 0)
    scene.build()
    return scene


def snapshot(scene):
    """Everything the getters say about a scene."""
    state = [scene.num_instances(), scene.n_primitives(), scene.total_triangles(), scene.geometry_build_revision(),
             scene.is_built(), scene.has_meshes(), scene.aabb(), scene.repetitive_config(), scene.thermal_mode(),
             scene.band_wavelengths(), scene.is_populate_primitive_soa(), scene.num_optical_turbid_media(),
             scene.material_medium_ids(), scene.get_instance_primitive_offsets(), repr(scene.sensor_config())]
    for array in (scene.get_primitive_temperatures(), scene.get_primitive_emissivities(),
                  scene.get_primitive_areas(), scene.get_primitive_mat_ids()):
        state.append(array.tobytes())
    return repr(state)  # as text, so that stored NaNs compare equal


def call_once(scene, name, args):
    """Calls one public callable; returns the exception it raised, after checking its kind and
    that a failure left the scene unchanged."""
    args = [(lambda *a: scene.build()) if isinstance(a, str) and a == "mutate" else a for a in args]
    before = snapshot(scene)
    try:
        if name in METHODS:
            getattr(scene, name)(*args)
        elif name in WORKFLOWS:
            getattr(tesk_gpu, name)(scene, *args)
        else:
            getattr(tesk_gpu, name)(*args)
    except DOCUMENTED as error:
        assert snapshot(scene) == before, f"{name}{tuple(args)} raised {error!r} and changed the scene"
        return error
    # Whatever was stored, tracing stays safe (build_reuse_gas on a scene never built marks it
    # built without structures: the trace then raises RuntimeError).
    try:
        scene.trace_closest([[0.5, 0.5, 2.0], [1e19, 0, 0]], [[0, 0, -1], [-1, 0, 0]])
    except RuntimeError:
        pass
    return None


def draw_args(data, name):
    kinds = (METHODS | FUNCTIONS | WORKFLOWS)[name]
    return [data.draw(KINDS[k], label=f"{name}[{i}]") for i, k in enumerate(kinds)]


HAS_VULKAN = getattr(tesk_gpu, "HAS_VULKAN", False)
if HAS_VULKAN:
    FUNCTIONS["list_vulkan_devices"] = []
# The device physiology functions take a VulkanSceneManager first (any other object is a
# TypeError); test_vulkan_physiology_fails_cleanly gives them a real one.
VULKAN_PHYSIOLOGY = ["solve_physiology_vulkan", "execute_photosynthesis_process_static_vulkan",
                     "execute_photosynthesis_process_dynamic_vulkan", "execute_energy_balance_process_vulkan",
                     "finalize_sif_process_vulkan", "assemble_sif_source_vulkan"]
VULKAN_TURBID = {"_aggregate_turbid_state_vulkan": ["optional", "request", "list", "int", "optional"],
                 "_execute_turbid_radiation_field_vulkan": ["optional", "int", "request"],
                 "_execute_turbid_static_physiology_vulkan": ["optional", "int", "request"],
                 "_execute_turbid_energy_balance_vulkan": ["optional", "int", "request"],
                 "_pinned_turbid_artifacts_vulkan": [], "_verify_turbid_artifact_vulkan": ["int", "int"],
                 "_debug_turbid_samples_vulkan": ["optional", "optional", "int", "request", "int", "int", "small",
                                                  "small"]}
# Turbid domains and states on the device scene (scene, or context, scene and shader path, first).
VULKAN_TURBID |= {"_preflight_turbid_sampling_vulkan": ["optional", "request"],
                  "_set_turbid_commit_failure_vulkan": ["optional", "int"],
                  "_debug_turbid_residency_vulkan": ["optional"],
                  "_build_turbid_domains_vulkan": ["optional", "optional", "int", "list", "request"],
                  "_build_turbid_domain_vulkan": ["optional", "optional", "int", "request", "request"],
                  "_extend_turbid_samples_vulkan": ["optional", "optional", "int", "int", "request"],
                  "_turbid_domain_revisions_vulkan": ["optional", "int"],
                  "_debug_turbid_domain_samples_vulkan": ["optional", "int"],
                  "_debug_turbid_scene_relations_vulkan": ["optional"],
                  "_build_turbid_state_vulkan": ["optional", "int", "request"],
                  "_debug_turbid_state_residency_vulkan": ["optional"],
                  "_test_turbid_weighted_reduction_vulkan": ["optional", "list", "list"]}
# Turbid fields of the device scene (the scene first, as above).
VULKAN_TURBID |= {"_build_turbid_field_vulkan": ["optional", "request", "request", "int"],
                  "_lookup_turbid_field_vulkan": ["optional", "request", "rows", "rows", "int", "optional",
                                                  "optional", "optional"],
                  "_build_turbid_thermal_source_vulkan": ["optional", "request", "array", "array", "optional"],
                  "_build_turbid_sif_source_vulkan": ["optional", "request", "array", "rows", "optional"],
                  "_debug_turbid_field_vulkan": ["optional", "request"],
                  "_debug_turbid_field_residency_vulkan": ["optional"]}
if HAS_VULKAN:
    FUNCTIONS |= {name: ["optional", "request"] for name in VULKAN_PHYSIOLOGY}
    FUNCTIONS |= VULKAN_TURBID
# The device joint thermo-physiology takes a VulkanSceneManager first, as the physiology functions.
VULKAN_JOINT = ["_execute_joint_thermo_physiology_vulkan"]
if HAS_VULKAN:
    FUNCTIONS |= {name: ["optional", "request"] for name in VULKAN_JOINT}
CLASSES = {"EmbreeSceneManager", "VulkanContext", "VulkanSceneManager"}
# The device scene shares the CPU vocabulary except the CPU-only workflow methods, and adds its
# own workflows (kinds as above; the scene comes first).
VULKAN_METHODS = {name: kinds for name, kinds in METHODS.items()
                  if name not in ("run_energy_balance", "run_energy_balance_multiband")}
VULKAN_METHODS["trace_closest"] = ["rows", "rows", "float", "float"]
VULKAN_METHODS |= {"update_spectral_params": ["int", "array"],
                   "simulate_backward": ["small", "small", "outputs", "small"],
                   "simulate_brf": ["dirs", "photons", "small", "progress"],
                   "simulate_flux": ["small", "small", "photons", "small", "float", "small", "small", "small", "bool",
                                     "progress"],
                   "simulate_forward_radiation": ["small", "small", "array", "photons", "small", "bool", "float",
                                                  "small", "small", "int", "bool", "progress", "dirs"],
                   "run_energy_balance_gpu": ["int", "small", "float", "float", "float", "float", "float", "float",
                                              "bool", "array"],
                   "run_energy_balance_multiband_gpu": ["small", "small", "array", "array", "float", "float", "float",
                                                        "bool", "array", "optional", "small", "optional", "optional",
                                                        "optional"],
                   "run_turbid_leaf_rrt_gpu": ["rows", "rows", "array", "array", "array", "array", "array", "small",
                                               "small", "small", "optional", "optional", "optional", "optional",
                                               "optional", "optional", "bool", "optional", "optional", "float",
                                               "float", "float"]}
VULKAN_METHODS["run_microwave_wavefront"] = ["bool", "small", "float", "float", "small", "small", "small", "small",
                                             "rows", "rows", "array"] + ["optional"] * 12


def test_the_catalogue_covers_the_public_surface():
    methods = {m for m in dir(tesk_gpu.EmbreeSceneManager) if not m.startswith("_")}
    functions = {f for f in dir(tesk_gpu) if callable(getattr(tesk_gpu, f)) and not f.startswith("__")}
    assert methods == set(METHODS)
    assert functions - CLASSES == set(FUNCTIONS) | set(WORKFLOWS)
    if HAS_VULKAN:
        device_methods = {m for m in dir(tesk_gpu.VulkanSceneManager) if not m.startswith("_")}
        assert device_methods - {"shader_dir"} == set(VULKAN_METHODS)
    if getattr(tesk_gpu, "HAS_OPTIX", False):
        simulator_methods = {m for m in dir(tesk_gpu.Simulator) if not m.startswith("_")}
        assert simulator_methods - {"ptx_path", "last_kernel_ms"} == set(CUDA_SIMULATOR_METHODS)


@pytest.mark.parametrize("name", sorted(CUDA_SIMULATOR_METHODS))
def test_cuda_simulator_methods_refuse_a_non_simulator(name):
    if not getattr(tesk_gpu, "HAS_OPTIX", False):
        pytest.skip("module built without nvcc: no CUDA backend")
    with pytest.raises(TypeError):
        getattr(tesk_gpu.Simulator, name)(object(), *[None] * len(CUDA_SIMULATOR_METHODS[name]))


def vulkan_context():
    if not HAS_VULKAN or not any(d["compatible"] for d in tesk_gpu.list_vulkan_devices()):
        pytest.skip("no Vulkan device with ray queries")
    global _VULKAN_CONTEXT
    if "_VULKAN_CONTEXT" not in globals():
        _VULKAN_CONTEXT = tesk_gpu.VulkanContext(0)
    return _VULKAN_CONTEXT


@pytest.mark.parametrize("name", ["trace_closest", "update_spectral_params", "simulate_backward", "simulate_brf",
                                  "simulate_flux", "simulate_forward_radiation", "run_energy_balance_gpu",
                                  "run_energy_balance_multiband_gpu", "run_turbid_leaf_rrt_gpu", "build",
                                  "refit_ias", "update_instance_transform", "set_num_bands",
                                  "simulate_lidar", "run_microwave_wavefront"])
@settings(max_examples=15)
@given(data=st.data())
def test_vulkan_workflows_fail_cleanly(name, data):
    """The device scene's own methods on the small scene: documented exceptions only, and tracing
    stays safe afterwards."""
    context = vulkan_context()  # skips first where the build or the machine has no Vulkan
    scene = tesk_gpu.VulkanSceneManager(context)
    for call, args in (("set_num_bands", [1]), ("upload_spectral_params", [[0.3, 2.0, 0.1]]),
                       ("add_material", [0, 0, []]), ("set_emitter", [0, [0.3, 0.0, 0.9], 1]), ("set_sky", [2]),
                       ("set_sensor", [0, 4, 4, 1.0, 1.0, CAMERA])):
        getattr(scene, call)(*args)
    v = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], np.float32)
    scene.add_instance(scene.add_mesh(v, np.zeros((0, 3), np.float32), [[0, 1, 2], [0, 2, 3]], 0), 0, 0, 0)
    scene.build()
    args = [data.draw(KINDS[k], label=f"{name}[{i}]") for i, k in enumerate(VULKAN_METHODS[name])]
    try:
        getattr(scene, name)(*args)
    except DOCUMENTED:
        pass
    scene.trace_closest([[0.5, 0.5, 2.0]], [[0, 0, -1]])


@pytest.mark.parametrize("name", VULKAN_PHYSIOLOGY + VULKAN_JOINT)
@settings(max_examples=15)
@given(data=st.data())
def test_vulkan_physiology_fails_cleanly(name, data):
    """Random requests to the device physiology functions on a built device scene raise only
    documented exceptions."""
    scene = tesk_gpu.VulkanSceneManager(vulkan_context())
    scene.set_num_bands(1)
    scene.upload_spectral_params([0.3])
    scene.add_material(0, 0, [])
    v = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], np.float32)
    scene.add_instance(scene.add_mesh(v, np.zeros((0, 3), np.float32), [[0, 1, 2], [0, 2, 3]], 0), 0, 0, 0)
    scene.build()
    try:
        getattr(tesk_gpu, name)(scene, data.draw(KINDS["request"]))
    except DOCUMENTED:
        pass


@pytest.mark.parametrize("name", sorted(METHODS | FUNCTIONS | WORKFLOWS))
@given(data=st.data())
def test_every_callable_fails_cleanly(name, data):
    call_once(small_scene(), name, draw_args(data, name))


@given(data=st.data(), built=st.booleans())
def test_random_call_orders(data, built):
    scene = small_scene() if built else tesk_gpu.EmbreeSceneManager()
    names = data.draw(st.lists(st.sampled_from(sorted(METHODS | WORKFLOWS)), min_size=1, max_size=8))
    for name in names:
        call_once(scene, name, draw_args(data, name))


@given(data=st.data())
def test_none_for_any_array_argument_is_a_type_error(data):
    array_kinds = {"rows", "vec3", "xform", "xforms", "array", "dirs"}  # not py::object ones
    calls = [n for n, kinds in (METHODS | FUNCTIONS | WORKFLOWS).items() if array_kinds & set(kinds)]
    name = data.draw(st.sampled_from(sorted(calls)))
    kinds = (METHODS | FUNCTIONS | WORKFLOWS)[name]
    args = draw_args(data, name)
    position = data.draw(st.sampled_from([i for i, k in enumerate(kinds) if k in array_kinds]))
    args[position] = None
    assert isinstance(call_once(small_scene(), name, args), TypeError)
