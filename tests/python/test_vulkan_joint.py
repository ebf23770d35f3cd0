"""_execute_joint_thermo_physiology_vulkan against the CPU on the same requests and scenes: the
element steps are the CPU's compiled for the device and the device transports draw the CPU's
streams, so both reach the same fixed point; messages, result keys and the committed state.
Skipped without a Vulkan device with ray queries (lavapipe has them)."""

import numpy as np
import pytest

import tesk_gpu

if not getattr(tesk_gpu, "HAS_VULKAN", False):
    pytest.skip("module built without the Vulkan loader and glslangValidator", allow_module_level=True)
if not any(d["compatible"] for d in tesk_gpu.list_vulkan_devices()):
    pytest.skip("no Vulkan device with acceleration structures and ray queries", allow_module_level=True)

from test_joint_thermo_physiology import canopy_scene, joint_request, turbid_request  # noqa: E402

JOINT = tesk_gpu._execute_joint_thermo_physiology_vulkan
NO_NORMALS = np.zeros((0, 3), np.float32)
GPU_KEYS = ["joint_generation", "mesh_generation", "turbid_generation", "iteration_dispatches",
            "scalar_downloads", "element_downloads"]
ELEMENT_KEYS = ["temperature", "temperature_sunlit", "temperature_shaded", "an", "an_sunlit", "an_shaded", "gs",
                "absorbed_longwave", "net_radiation", "sensible_heat", "latent_heat"]


@pytest.fixture(scope="module")
def context():
    return tesk_gpu.VulkanContext(0)


def device_canopy(context):
    """canopy_scene on the device: a 6 m ground square under a 1 m leaf at 0.3 m."""
    scene = tesk_gpu.VulkanSceneManager(context)
    scene.set_num_bands(1)
    scene.upload_spectral_params([0.5])
    scene.add_material(0, 0, [0.0, 0.0, 0.0])
    for z, lo, hi in ((0.0, -3.0, 3.0), (0.3, -0.5, 0.5)):
        v = np.array([[lo, lo, z], [hi, lo, z], [hi, hi, z], [lo, hi, z]], np.float32)
        scene.add_instance(scene.add_mesh(v, NO_NORMALS, [[0, 1, 2], [0, 2, 3]], 0), 0, 0, 0)
    scene.build()
    return scene


def assert_same_fixed_point(gpu, cpu, atol):
    assert gpu["converged"] and cpu["converged"]
    for key in ELEMENT_KEYS:
        scale = max(1.0, float(np.abs(cpu[key]).max()))
        np.testing.assert_allclose(gpu[key], cpu[key], atol=atol * scale, err_msg=key)


def test_mesh_elements_reach_the_cpu_fixed_point_and_are_committed(context):
    # Farquhar leaves over a prescribed ground; a second case solves plain energy balances.
    scene = device_canopy(context)
    cpu = tesk_gpu._execute_joint_thermo_physiology_embree(canopy_scene(), joint_request())
    gpu = JOINT(scene, joint_request())
    assert list(gpu)[:4] == ["backend", "workflow", "executor", "native"]
    assert (gpu["backend"], gpu["executor"]) == ("vulkan", "vulkan.ray_query.joint_thermo_physiology")
    assert [k for k in gpu if k not in cpu] == GPU_KEYS
    assert gpu["iteration_dispatches"] == gpu["iterations"] == gpu["element_downloads"]
    assert gpu["mesh_generation"] == gpu["iterations"] + 1 and gpu["turbid_generation"] == 0
    assert gpu["joint_generation"] == gpu["joint_state_id"] > cpu["joint_state_id"]
    assert_same_fixed_point(gpu, cpu, 2e-3)
    assert abs(gpu["iterations"] - cpu["iterations"]) <= 2
    assert gpu["temperature_sunlit"][2] > gpu["temperature_shaded"][2] + 1.0
    record = scene._scene_record()
    np.testing.assert_allclose(record.get_primitive_temperatures(), gpu["temperature"], rtol=1e-6)
    np.testing.assert_allclose(record.get_primitive_emissivities(), 0.97)

    plain = dict(mode_codes=np.array([1, 0, 1, 1], np.int32), farquhar_indices=np.full(4, -1, np.int32),
                 dynamic=np.array([1, 0, 1, 1], np.int32), sensible_derivative=np.full(4, 15.0, np.float32),
                 ground_heat=np.array([20.0, 0, 0, 0], np.float32), absorbed_shortwave=np.full(4, 300.0, np.float32))
    cpu = tesk_gpu._execute_joint_thermo_physiology_embree(canopy_scene(), joint_request(**plain))
    gpu = JOINT(device_canopy(context), joint_request(**plain))
    assert_same_fixed_point(gpu, cpu, 2e-3)
    budget = gpu["net_radiation"] - gpu["sensible_heat"] - gpu["latent_heat"] - np.array([20.0, 0, 0, 0])
    np.testing.assert_allclose(budget[[0, 2, 3]], 0.0, atol=0.5)


@pytest.mark.slow  # first use compiles the leaf reverse ray tracer (minutes on a busy lavapipe)
def test_turbid_owner_reaches_the_cpu_fixed_point(context):
    # A cube of leaves (the owner, a Farquhar element) on a black ground (a prescribed element):
    # the thermal leaf tracer runs on the device, whose estimates differ from the CPU's by Monte
    # Carlo noise only. The fixed points then differ by what the noise moves them: the spread
    # of the CPU's fixed point over seeds gives the tolerance.
    from test_turbid_radiation import cube_domain
    from test_vulkan_turbid import medium_scene

    scene = medium_scene(context, [0, 0, 0], [1, 1, 1], 2.0, 0, ground=[0.0])
    record = scene._scene_record()
    domain = cube_domain(record, 2.0, budget=32)
    gpu = JOINT(scene, turbid_request(domain))
    thermal = {k: v.copy() for k, v in record.get_instance_turbid_thermal_state().items()}
    assert gpu["converged"] and gpu["turbid_generation"] == gpu["iterations"] + 1 == gpu["mesh_generation"]
    np.testing.assert_array_equal(thermal["temperature_sunlit"], [gpu["temperature_sunlit"][1], 298.0])
    runs = [tesk_gpu._execute_joint_thermo_physiology_embree(record, turbid_request(domain, seed=s))
            for s in range(3, 9)]
    assert all(r["converged"] for r in runs)
    for key in ("absorbed_longwave", "temperature", "temperature_sunlit", "net_radiation", "an"):
        values = np.array([r[key][1] for r in runs])
        spread = values.std(ddof=1)
        assert spread > 0.0, key  # the seeds do change the estimate
        assert abs(gpu[key][1] - values[0]) <= 5 * np.sqrt(2) * spread, (key, gpu[key][1], values)
    assert 300.0 < gpu["absorbed_longwave"][1] < 1200.0


def test_messages_match_the_cpu_and_failures_change_nothing(context):
    scene = device_canopy(context)
    record = scene._scene_record()
    record.set_primitive_temperatures(np.array([280, 281, 282, 283], np.float32))
    for change, kind in ((dict(damping=0.0), ValueError), (dict(stable_ids=np.array([1, 2, 3, 1], np.uint64)), ValueError),
                         (dict(local_indices=np.array([0, 1, 2, 9], np.int32)), IndexError),
                         (dict(rays_per_element=0), ValueError)):
        with pytest.raises(kind) as cpu_error:
            tesk_gpu._execute_joint_thermo_physiology_embree(canopy_scene(), joint_request(**change))
        with pytest.raises(kind) as gpu_error:
            JOINT(scene, joint_request(**change))
        assert str(gpu_error.value) == str(cpu_error.value)
    np.testing.assert_array_equal(record.get_primitive_temperatures(), [280, 281, 282, 283])
    assert len(record.get_primitive_emissivities()) == 0
    with pytest.raises(RuntimeError, match=r"^Vulkan joint thermo-physiology requires a built scene\. No fallback"):
        JOINT(tesk_gpu.VulkanSceneManager(context), joint_request())


def test_ctrl_c_between_iterations_restores_the_scene(context, ctrl_c):
    scene = device_canopy(context)
    record = scene._scene_record()
    record.set_primitive_emissivities(np.full(4, 0.5, np.float32))
    endless = joint_request(max_iterations=10**7, convergence_tolerance=1e-30, energy_tolerance=1e-30,
                            physiology_tolerance=1e-30, rays_per_element=1)
    with pytest.raises(KeyboardInterrupt):
        ctrl_c()
        JOINT(scene, endless)
    np.testing.assert_array_equal(record.get_primitive_emissivities(), 0.5)
    assert len(record.get_primitive_temperatures()) == 0
