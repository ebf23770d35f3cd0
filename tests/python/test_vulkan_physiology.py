"""Leaf physiology, the photosynthesis and energy-balance processes and SIF finalization on the
Vulkan device against the CPU functions on the same requests and scenes: the device shaders
include the CPU's model headers, so results agree to single-precision rounding; messages and
execution records. Skipped without a Vulkan device with ray queries (lavapipe has them)."""

import numpy as np
import pytest

import tesk_gpu

if not getattr(tesk_gpu, "HAS_VULKAN", False):
    pytest.skip("module built without the Vulkan loader and glslangValidator", allow_module_level=True)
if not any(d["compatible"] for d in tesk_gpu.list_vulkan_devices()):
    pytest.skip("no Vulkan device with acceleration structures and ray queries", allow_module_level=True)

from test_physiology import grid_request  # noqa: E402
from test_processes import dynamic_request, energy_request, static_request  # noqa: E402
from test_sif import finalize_request  # noqa: E402

NO_NORMALS = np.zeros((0, 3), np.float32)


@pytest.fixture(scope="module")
def context():
    return tesk_gpu.VulkanContext(0)


@pytest.fixture
def device_scene(context):
    return tesk_gpu.VulkanSceneManager(context)


def assert_execution(result, workflow):
    assert list(result) == ["payload", "_execution"]
    assert result["_execution"] == {"backend": "vulkan", "workflow": workflow,
                                    "executor": f"vulkan.ray_query.{workflow}", "native": True}


def assert_payloads_match(device, cpu, rtol=2e-5, atol=1e-5, exact=()):
    assert list(device) == list(cpu)
    for key in cpu:
        d, c = np.asarray(device[key]), np.asarray(cpu[key])
        if key in exact or c.dtype == np.uint8:
            np.testing.assert_array_equal(d, c, err_msg=key)
        else:
            assert d.dtype == c.dtype and d.shape == c.shape, key
            np.testing.assert_allclose(d, c, rtol=rtol, atol=atol, err_msg=key)


@pytest.mark.parametrize("energy", [False, True])
def test_solver_equals_the_cpu_over_a_grid_of_inputs(device_scene, energy):
    req = grid_request(energy)
    cpu = tesk_gpu.solve_physiology_cpu(device_scene._scene_record(), req)["payload"]
    out = tesk_gpu.solve_physiology_vulkan(device_scene, req)  # the scene is not built
    assert_execution(out, "physiology_solver")
    # Newton and fixed-point iterations amplify last-bit differences of exp() a little.
    assert_payloads_match(out["payload"], cpu, rtol=1e-4, atol=1e-4)
    assert cpu["converged"].mean() > 0.9 and (cpu["phi_f"] == 0).any() and (cpu["an"] < 0).any()
    if energy:
        assert (np.ptp(cpu["temperature"]) > 10) and (cpu["latent_heat"] > 0).any()


def test_solver_messages_match_the_cpu(device_scene):
    for edit, message in [({"apar": np.ones(3, np.float32)}, "apar must have shape [element, band]"),
                          ({"max_iterations": 0}, "max_iterations must be positive"),
                          ({"relative_humidity": np.full(144, 1.01, np.float32)},
                           "physiology input is outside its physical domain")]:
        req = grid_request(False)
        req.update(edit)
        with pytest.raises(ValueError) as info:
            tesk_gpu.solve_physiology_vulkan(device_scene, req)
        assert str(info.value) == message


def test_static_process_and_sif_finalization_equal_the_cpu(device_scene):
    rng = np.random.default_rng(11)
    req = static_request(rng, n=300)
    cpu = tesk_gpu.execute_photosynthesis_process_static_cpu(device_scene._scene_record(), req)
    out = tesk_gpu.execute_photosynthesis_process_static_vulkan(device_scene, req)
    assert_execution(out, "photosynthesis_process_static")
    assert_payloads_match(out["payload"], cpu["payload"], rtol=1e-4, atol=1e-4)
    assert 0 < cpu["payload"]["active_mask"].sum() < 300
    req["co2"] = -1.0
    with pytest.raises(ValueError, match="^photosynthesis scalar input is outside its physical domain$"):
        tesk_gpu.execute_photosynthesis_process_static_vulkan(device_scene, req)

    for override in ({}, {"element_phi_f": rng.uniform(0, 1, 5).astype(np.float32)}):
        sif = dict(finalize_request(rng), **override)
        cpu = tesk_gpu.finalize_sif_process_cpu(device_scene._scene_record(), sif)
        out = tesk_gpu.finalize_sif_process_vulkan(device_scene, sif)
        assert_execution(out, "sif_process_finalization")
        assert_payloads_match(out["payload"], cpu["payload"], exact=("phi_f", "top_selected", "bottom_selected"))
    sif["selected_band_indices"] = np.array([2, 1], np.int32)
    with pytest.raises(ValueError, match="^selected_band_indices must be strictly increasing and in range$"):
        tesk_gpu.finalize_sif_process_vulkan(device_scene, sif)


def leaf_stack(context, n_leaves):
    """Horizontal unit squares stacked 1 apart (two primitives each), built on the device."""
    scene = tesk_gpu.VulkanSceneManager(context)
    scene.set_num_bands(1)
    scene.upload_spectral_params([0.5])
    scene.add_material(0, 0, [0.0, 0.0, 0.0])
    for k in range(n_leaves):
        v = np.array([[0, 0, 1 + k], [1, 0, 1 + k], [1, 1, 1 + k], [0, 1, 1 + k]], np.float32)
        scene.add_instance(scene.add_mesh(v, NO_NORMALS, [[0, 1, 2], [0, 2, 3]], 0), 0, 0, 0)
    scene.build()
    return scene


@pytest.mark.parametrize("conditional", [False, True])
def test_dynamic_process_converges_to_the_cpu_fixed_point(context, conditional):
    scene = leaf_stack(context, 3)
    n = 6
    req = dynamic_request(n, damping=0.7, n_samples=32)
    req["active"] = np.array([1, 1, 0, 1, 1, 1], np.int32)
    req["fluorescent"] = np.array([1, 0, 1, 1, 1, 0], np.int32)
    if conditional:
        rng = np.random.default_rng(3)
        req.update({"conditional": True, "sunlit_fraction": rng.uniform(0, 1, n).astype(np.float32),
                    "apar_sunlit": np.full(n, 1500.0, np.float32), "apar_shaded": np.full(n, 200.0, np.float32),
                    "shortwave_sunlit": np.full(n, 500.0, np.float32),
                    "shortwave_shaded": np.full(n, 80.0, np.float32)})
    cpu = tesk_gpu.execute_photosynthesis_process_dynamic_cpu(scene._scene_record(), req)["payload"]
    out = tesk_gpu.execute_photosynthesis_process_dynamic_vulkan(scene, req)
    assert_execution(out, "photosynthesis_process_dynamic")
    device = out["payload"]
    assert device["converged"] and cpu["converged"]
    assert abs(device["iterations"] - cpu["iterations"]) <= 1
    # The same longwave streams on both backends: both loops settle on one fixed point; the
    # temperatures agree to a few convergence tolerances, the fluxes to their K-sensitivity.
    for key in ("temperature", "temperature_sunlit", "temperature_shaded"):
        np.testing.assert_allclose(device[key], cpu[key], atol=5e-3, err_msg=key)
    for key in ("an", "gs", "phi_f", "absorbed_longwave", "emitted_longwave", "net_radiation", "sensible_heat",
                "latent_heat"):
        np.testing.assert_allclose(device[key], cpu[key], rtol=2e-3, atol=0.05, err_msg=key)
    np.testing.assert_array_equal(device["active_mask"], cpu["active_mask"])
    np.testing.assert_array_equal(device["element_converged"], cpu["element_converged"])
    assert device["an"][2] == 0 and device["temperature"][2] == 285.0  # inactive leaf untouched
    np.testing.assert_array_equal(scene.get_primitive_temperatures(), device["temperature"])


def test_energy_balance_process_converges_to_the_cpu_fixed_point(context):
    scene = leaf_stack(context, 2)
    req = energy_request(4, damping=0.8, n_samples=32, primitive_material_ids=np.array([0, 0, 1, 1], np.int32),
                         material_active=np.array([1, 1], np.int32),
                         material_initial_temperature=np.array([300.0, 280.0], np.float32),
                         material_emissivity=np.array([0.95, 0.9], np.float32),
                         material_sidedness=np.array([1.0, 2.0], np.float32),
                         material_sensible_derivative=np.array([10.0, 15.0], np.float32),
                         material_latent_coefficient=np.array([0.0, 0.01], np.float32),
                         material_ground_heat=np.array([5.0, 0.0], np.float32),
                         material_sw_albedo=np.array([0.2, 0.3], np.float32))
    cpu = tesk_gpu.execute_energy_balance_process_cpu(scene._scene_record(), req)["payload"]
    out = tesk_gpu.execute_energy_balance_process_vulkan(scene, req)
    assert_execution(out, "energy_balance_process")
    device = out["payload"]
    assert list(device) == list(cpu) and device["converged"] and cpu["converged"]
    np.testing.assert_allclose(device["absorbed_shortwave"], cpu["absorbed_shortwave"], rtol=1e-4, atol=1e-3)
    np.testing.assert_allclose(device["temperature"], cpu["temperature"], atol=5e-3)
    for key in ("absorbed_longwave", "emitted_longwave", "net_radiation", "sensible_heat", "latent_heat"):
        np.testing.assert_allclose(device[key], cpu[key], rtol=1e-3, atol=0.05, err_msg=key)
    np.testing.assert_array_equal(device["ground_heat"], cpu["ground_heat"])
    assert [h["iteration"] for h in device["history"]] == list(range(1, device["iterations"] + 1))


def test_coupled_processes_refuse_an_unbuilt_scene_and_bad_requests(context):
    scene = tesk_gpu.VulkanSceneManager(context)
    with pytest.raises(RuntimeError, match="^Vulkan: build the scene before the energy balance$"):
        tesk_gpu.execute_photosynthesis_process_dynamic_vulkan(scene, dynamic_request(2))
    scene = leaf_stack(context, 1)
    with pytest.raises(ValueError, match="^energy balance scalar is outside its domain$"):
        tesk_gpu.execute_energy_balance_process_vulkan(scene, energy_request(2, damping=0.0))
    with pytest.raises(RuntimeError, match="^native longwave result length does not match elements$"):
        tesk_gpu.execute_photosynthesis_process_dynamic_vulkan(scene, dynamic_request(3))
    assert scene.get_primitive_temperatures().size == 0  # nothing was written


def test_sif_source_assembly_equals_the_cpu(device_scene):
    from test_sif import assembly_request
    rng = np.random.default_rng(5)
    req = assembly_request(rng, n=3000, nb=4)
    req["positions"][:50] += 3.0  # outside their box
    theta, phi = rng.integers(0, 3, 3000), rng.integers(0, 4, 3000)
    zenith = (theta + rng.uniform(0.1, 0.9, 3000)) * np.pi / 6
    azimuth = (phi + rng.uniform(0.1, 0.9, 3000)) * np.pi / 2
    away_from_edges = np.stack([np.sin(zenith) * np.cos(azimuth), np.sin(zenith) * np.sin(azimuth),
                                np.cos(zenith)], axis=1).astype(np.float32)
    random_normals = req["normals"].copy()
    random_normals[:20] = [0, 0, 0]
    random_normals[20:40] = [0, 0, -1]
    # Normals well inside their orientation bins: the same sums added in the same order in
    # doubles, so every field and count is equal.
    req["normals"] = away_from_edges * np.where(rng.uniform(size=(3000, 1)) < 0.3, -1, 1).astype(np.float32)
    cpu = tesk_gpu.assemble_sif_source_cpu(device_scene._scene_record(), req)["payload"]
    out = tesk_gpu.assemble_sif_source_vulkan(device_scene, req)
    assert_execution(out, "sif_source_assembly")
    assert_payloads_match(out["payload"], cpu, exact=tuple(cpu))
    assert 0 < cpu["spatial_counts"].sum() < 3000
    # Random normals: the device's acos and atan may put a normal within a few 1e-4 rad of an
    # edge into the neighbouring bin; cells use only arithmetic and stay exact.
    req["normals"] = random_normals
    cpu = tesk_gpu.assemble_sif_source_cpu(device_scene._scene_record(), req)["payload"]
    device = tesk_gpu.assemble_sif_source_vulkan(device_scene, req)["payload"]
    for key in ("spatial_field", "spatial_counts", "band_totals", "direct_band_totals"):
        np.testing.assert_array_equal(device[key], cpu[key], err_msg=key)
    moved = np.abs(device["orientation_counts"] - cpu["orientation_counts"]).sum() / 2
    assert moved <= 3 and device["orientation_counts"].sum() == cpu["orientation_counts"].sum()
    req["cell_stride"] = 5
    with pytest.raises(ValueError, match="^SIF grid_dims must be positive and fit cell_stride$"):
        tesk_gpu.assemble_sif_source_vulkan(device_scene, req)


# ---- pinned resident Turbid shaders ---------------------------------------------------------

PINNED = ["turbid_state", "turbid_field_lookup", "turbid_observation_source", "turbid_field_assemble"]


def test_pinned_digests_are_those_of_the_built_shaders(context, device_scene, tmp_path):
    import hashlib
    import os
    import shutil
    pins = tesk_gpu._pinned_turbid_artifacts_vulkan()
    assert list(pins) == PINNED
    shader_dir = device_scene.shader_dir
    for name, digest in pins.items():
        path = os.path.join(shader_dir, name + ".spv")
        if os.path.exists(path):  # compiled by this build: pinned to its bytes
            with open(path, "rb") as f:
                assert digest == hashlib.sha256(f.read()).hexdigest()
            assert len(digest) == 64 and digest == digest.lower()
            assert tesk_gpu._verify_turbid_artifact_vulkan(shader_dir, name) == digest
        else:
            assert digest == ""
    assert all(pins.values()), "every pinned Turbid shader is compiled and pinned"
    # A copy with one byte changed is stale, a directory without it has none, an unknown name
    # is refused; none of them falls back to anything.
    stale = tmp_path / "turbid_state.spv"
    shutil.copy(os.path.join(shader_dir, "turbid_state.spv"), stale)
    data = bytearray(stale.read_bytes())
    data[-1] ^= 1
    stale.write_bytes(bytes(data))
    with pytest.raises(RuntimeError, match=r"^Vulkan resident Turbid artifact 'turbid_state' hash is stale or "
                                           r"unpinned\. No fallback was performed\.$"):
        tesk_gpu._verify_turbid_artifact_vulkan(str(tmp_path), "turbid_state")
    with pytest.raises(RuntimeError, match=r"^Vulkan resident Turbid artifact 'turbid_field_assemble' is missing\. "
                                           r"No fallback was performed\.$"):
        tesk_gpu._verify_turbid_artifact_vulkan(str(tmp_path), "turbid_field_assemble")
    with pytest.raises(ValueError, match=r"^invalid Vulkan resident Turbid artifact 'lidar'\. No fallback was "
                                         r"performed\.$"):
        tesk_gpu._verify_turbid_artifact_vulkan(shader_dir, "lidar")
    # The aggregation reads its shader through the same check.
    scene = tesk_gpu.VulkanSceneManager(context, str(tmp_path))
    record, token = turbid_radiation_state(scene)
    with pytest.raises(RuntimeError, match="hash is stale or unpinned"):
        tesk_gpu._aggregate_turbid_state_vulkan(scene, token, ["apar"])


def turbid_radiation_state(scene):
    """A built cube of leaf medium with a resident domain and radiation state on the device
    scene's record (sun 40 degrees off zenith, grey leaves, diffuse sky)."""
    from test_turbid_radiation import box_mesh, cube_domain, radiation_request
    scene.set_num_bands(2)
    scene.upload_spectral_params(np.zeros(6, np.float32))
    v, t = box_mesh([0, 0, 0], [1, 1, 1])
    scene.add_instance(scene.add_mesh(v, NO_NORMALS, t, scene.add_material(13, 0, [0.0, 0.0])), 0, 0, 0)
    scene.set_optical_turbid_media([2.0], [0], [1], [0.0], [0])
    record = scene._scene_record()
    record.build()
    domain = cube_domain(record, 2.0, budget=512)
    s = np.radians(40.0)
    token = tesk_gpu._execute_turbid_radiation_field_embree(
        record, domain, radiation_request(wavelengths=(550.0, 650.0), direct=(1.0, 0.5), sky=(0.1, 0.05),
                                          rho=0.1, tau=0.05, sun_direction=[np.sin(s), 0.0, np.cos(s)]))
    return record, token


def test_turbid_state_aggregation_equals_the_cpu(context):
    scene = tesk_gpu.VulkanSceneManager(context)
    record, token = turbid_radiation_state(scene)
    fields = ["apar", "absorbed_sw_top", "absorbed_sw_bottom", "absorbed_sw_direct"]
    ids = list(tesk_gpu._debug_turbid_domain_samples_embree(record, token["domain_id"])["sample_id"][:3])
    cpu = tesk_gpu._aggregate_turbid_state_embree(record, token, fields, "samples", ids)
    device = tesk_gpu._aggregate_turbid_state_vulkan(scene, token, fields, "samples", ids)
    assert (device["backend"], device["workflow"], device["executor"]) == (
        "vulkan", "turbid_state_aggregation", "vulkan.slang.turbid_state_reduction")
    assert list(device) == list(cpu)
    assert device["groups"] == cpu["groups"] and device["samples"] == cpu["samples"]
    (c,), (d,) = cpu["components"], device["components"]
    assert 0.2 < c["p_sun"] < 0.9 and c["fields"]["apar"]["variance"] > 0
    # The same weights and order in double precision: equal up to the last bits of a sum.
    assert d["p_sun"] == pytest.approx(c["p_sun"], rel=1e-13)
    for name in fields:
        for key, value in c["fields"][name].items():
            assert d["fields"][name][key] == pytest.approx(value, rel=1e-12, abs=1e-300), (name, key)
    for key in ("instance_id", "component_id", "leaf_area", "support", "converged"):
        assert d[key] == c[key]
    with pytest.raises(ValueError, match="^duplicate Turbid aggregation field$"):
        tesk_gpu._aggregate_turbid_state_vulkan(scene, token, ["apar", "apar"])


# ---- leaf-area sampling with device candidates ----------------------------------------------

@pytest.mark.parametrize("lad", ["spherical", "planophile", "erectophile", "plagiophile", "extremophile",
                                 "uniform"])
def test_device_candidates_give_the_cpu_samples(context, device_scene, lad):
    from test_turbid_domains import TETRA_T, TETRA_V, component, descriptor
    # A rotated, scaled tetrahedron and a cube: about a sixth of the tetrahedron's candidates
    # are inside, so rejection matters.
    c, s = np.cos(0.4), np.sin(0.4)
    xform = [2 * c, -2 * s, 0, 1, 2 * s, 2 * c, 0, -1, 0, 0, 2, 0.5]
    corners = np.array([[1, -1, 0.5], [1 + 2 * c, -1 + 2 * s, 0.5], [1 - 2 * s, -1 + 2 * c, 0.5], [1, -1, 2.5]])
    tetra = component(corners.min(0).tolist(), corners.max(0).tolist(), xform=xform, lad=lad, instance=8)
    vertices = np.concatenate([TETRA_V, np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [0, 0, 1],
                                                  [1, 0, 1], [1, 1, 1], [0, 1, 1]], np.float32) + [3, 0, 0]])
    from test_turbid_domains import CUBE_T
    cube = component([3, 0, 0], [4, 1, 1], lad=lad, instance=9, medium=6)
    req = descriptor(vertices=vertices.astype(np.float32),
                     triangles=np.concatenate([TETRA_T, CUBE_T + 4]).astype(np.uint32),
                     components=[tetra, cube], component_vertex_offsets=[0, 4, 12],
                     component_triangle_offsets=[0, 4, 16])
    cpu = tesk_gpu._debug_turbid_samples_embree(device_scene._scene_record(), req, "preview", 17, 700)
    out = tesk_gpu._debug_turbid_samples_vulkan(context, device_scene, device_scene.shader_dir, req, "preview",
                                                17, 700)
    assert out["_execution"] == {"backend": "vulkan", "workflow": "_turbid_sampling_debug",
                                 "executor": "vulkan.slang.turbid_sampling", "native": True}
    device, host = out["payload"], cpu["payload"]
    assert list(device) == list(host) and len(host["sample_id"]) == 1400
    assert host["candidates_tested"] > 1400 * 2  # the tetrahedron rejects most candidates
    # Candidates are functions of their index: the same samples, bit for bit (the normals come
    # from the shader's double-precision sin and cos, which round to the host's floats).
    for key in host:
        a, b = np.asarray(device[key]), np.asarray(host[key])
        assert a.dtype == b.dtype and a.tobytes() == b.tobytes(), key
    with pytest.raises(RuntimeError, match="^Vulkan shader not found: /nonexistent.spv$"):
        tesk_gpu._debug_turbid_samples_vulkan(context, device_scene, "/nonexistent.spv", req, "preview", 17, 8)


def test_a_failing_device_step_leaves_the_scene_temperatures_as_they_were(context, tmp_path):
    import os
    import shutil
    # The longwave transport runs, then the element step finds no shader: the call fails and
    # the scene keeps the temperatures it had before.
    shutil.copy(os.path.join(tesk_gpu.VulkanSceneManager(context).shader_dir, "energy_balance.spv"), tmp_path)
    scene = tesk_gpu.VulkanSceneManager(context, str(tmp_path))
    scene.set_num_bands(1)
    scene.upload_spectral_params([0.5])
    scene.add_material(0, 0, [0.0, 0.0, 0.0])
    v = np.array([[0, 0, 1], [1, 0, 1], [1, 1, 1], [0, 1, 1]], np.float32)
    scene.add_instance(scene.add_mesh(v, NO_NORMALS, [[0, 1, 2], [0, 2, 3]], 0), 0, 0, 0)
    scene.build()
    scene.set_primitive_temperatures(np.float32([301.0, 302.0]))
    missing = os.path.join(str(tmp_path), "photosynthesis_process.spv")
    with pytest.raises(RuntimeError, match=f"^Vulkan shader not found: {missing}$"):
        tesk_gpu.execute_photosynthesis_process_dynamic_vulkan(scene, dynamic_request(2))
    np.testing.assert_array_equal(scene.get_primitive_temperatures(), [301.0, 302.0])
