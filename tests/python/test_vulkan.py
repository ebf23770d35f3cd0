"""The Vulkan backend against the CPU backend on the same scenes, closed forms, and the exact
messages of its device, shader and scene checks. Skipped where the module was built without
Vulkan or no device offers ray queries (lavapipe does: scripts/setup.sh installs it)."""

import os
import subprocess
import sys

import numpy as np
import pytest

import tesk_gpu

if not getattr(tesk_gpu, "HAS_VULKAN", False):
    pytest.skip("module built without the Vulkan loader and glslangValidator", allow_module_level=True)
DEVICES = tesk_gpu.list_vulkan_devices()
if not any(d["compatible"] for d in DEVICES):
    pytest.skip("no Vulkan device with acceleration structures and ray queries", allow_module_level=True)

KEYS = ["device_index", "physical_index", "name", "vendor_id", "device_id", "device_type", "is_discrete",
        "api_version", "device_local_memory_mb", "has_compute_queue", "has_acceleration_structure",
        "has_ray_query", "has_buffer_device_address", "compatible", "unavailable_reason"]
CAMERA = np.array([[1, 0, 0, 0.5], [0, 1, 0, 0.5], [0, 0, 1, 5], [0, 0, 0, 1]], np.float32)
NO_NORMALS = np.zeros((0, 3), np.float32)
SQUARE = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], np.float32)
QUADS = [[0, 1, 2], [0, 2, 3]]


@pytest.fixture(scope="module")
def context():
    return tesk_gpu.VulkanContext(0)


def test_survey_records_and_order():
    assert [d["device_index"] for d in DEVICES] == list(range(len(DEVICES)))
    for d in DEVICES:
        assert list(d) == KEYS
        assert d["compatible"] == (d["unavailable_reason"] == "")
    flags = [d["compatible"] for d in DEVICES]
    assert flags == sorted(flags, reverse=True)  # compatible devices first
    cpu = [d for d in DEVICES if d["device_type"] == 4 and "llvmpipe" in d["name"]]
    for d in cpu:  # lavapipe: a compatible CPU-type device
        assert d["compatible"] and d["has_ray_query"] and d["has_acceleration_structure"]
        assert not d["is_discrete"] and d["api_version"] >= 4202496


def test_context_matches_survey_and_refuses_bad_indices(context):
    first = DEVICES[0]
    assert context.device_name == first["name"]
    assert context.physical_device_index == first["physical_index"]
    assert context.api_version == first["api_version"]
    assert context.total_vram_mb == first["device_local_memory_mb"]
    assert context.queue_family_index >= 0
    with pytest.raises(ValueError, match="^Vulkan device index must be non-negative$"):
        tesk_gpu.VulkanContext(-1)
    n = sum(d["compatible"] for d in DEVICES)
    with pytest.raises(IndexError, match=rf"^Vulkan compatible device index {n} is outside \[0, {n}\)$"):
        tesk_gpu.VulkanContext(n)


def test_a_machine_without_drivers_lists_nothing():
    script = ("import tesk_gpu\nassert tesk_gpu.list_vulkan_devices() == []\n"
              "try:\n    tesk_gpu.VulkanContext(0)\nexcept RuntimeError as e:\n    print(e)\n")
    env = dict(os.environ, VK_ICD_FILENAMES=os.devnull, VK_DRIVER_FILES=os.devnull)
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "Vulkan: no physical devices were found"


def test_shader_files_and_unbuilt_scene(context, tmp_path):
    scene = tesk_gpu.VulkanSceneManager(context, str(tmp_path))
    scene.add_instance(scene.add_mesh(SQUARE, NO_NORMALS, QUADS, 0), 0, 0, 0)
    rays = np.array([[0.5, 0.5, 1.0]], np.float32), np.array([[0, 0, -1]], np.float32)
    with pytest.raises(RuntimeError, match="^Vulkan: build the scene before tracing rays$"):
        scene.trace_closest(*rays)
    scene.build()
    path = os.path.join(str(tmp_path), "trace_closest.spv")
    with pytest.raises(RuntimeError, match=f"^Vulkan shader not found: {path}$"):
        scene.trace_closest(*rays)
    for size in (0, 6):
        with open(path, "wb") as f:
            f.write(b"\x03\x02\x23\x07\x00\x00"[:size])
        with pytest.raises(RuntimeError, match=f"^Invalid SPIR-V shader: {path}$"):
            scene.trace_closest(*rays)
    with open(path, "wb") as f:
        f.write(b"\x00" * 8)  # a multiple of 4 that is no SPIR-V module
    with pytest.raises(RuntimeError, match=r"^Vulkan: vkCreate\w+\(trace closest\) failed \(-?\d+\)$"):
        scene.trace_closest(*rays)


def both_backends(context, build):
    """The same scene on the device and on the CPU."""
    scenes = tesk_gpu.VulkanSceneManager(context), tesk_gpu.EmbreeSceneManager()
    for s in scenes:
        build(s)
        s.build()
    return scenes


def sheared_scene(s):
    """A ground, a rotated and scaled copy with vertex normals, a sheared leaf (two-sided)."""
    ground = s.add_mesh(SQUARE * [3, 3, 1] - [1, 1, 0], NO_NORMALS, QUADS, 0)
    s.add_instance(ground, 0, 0, 0)
    normals = np.array([[0, 0, 1], [0.3, 0, 1], [0, 0.3, 1], [0.2, 0.2, 1]], np.float32)
    bumpy = s.add_mesh(SQUARE, normals, QUADS, 1)
    c, si = np.cos(0.4), np.sin(0.4)
    s.add_instance_xform(bumpy, np.array([0.5 * c, -0.5 * si, 0, 0.1, 0.5 * si, 0.5 * c, 0, 0.2, 0, 0, 0.5, 0.6],
                                         np.float32))
    s.add_instances_xform(bumpy, np.array([[0.3, 0, 0.1, 0.5, 0, 0.2, 0.25, 0.5, 0, -0.2, 0.3, 0.3]], np.float32))


def compare_hits(a, b):
    for key in ("hit", "instance_id", "primitive_id", "global_primitive_id", "material_id", "is_back_face"):
        np.testing.assert_array_equal(a[key], b[key], err_msg=key)
    for key in ("t", "normal", "geometric_normal"):
        np.testing.assert_allclose(a[key], b[key], rtol=1e-5, atol=1e-5, err_msg=key)


def test_ray_batches_equal_the_cpu_and_follow_refits(context, np_rng):
    device, cpu = both_backends(context, sheared_scene)
    n = 400
    origins = np_rng.uniform([-1.5, -1.5, -0.5], [2.5, 2.5, 2.0], (n, 3)).astype(np.float32)
    directions = np_rng.normal(size=(n, 3)).astype(np.float32)
    directions[:5] = [0, 0, 0]  # degenerate rays miss on both backends
    a, b = device.trace_closest(origins, directions), cpu.trace_closest(origins, directions)
    compare_hits(a, b)
    assert 0.1 * n < a["hit"].sum() < n and a["is_back_face"].any()
    assert np.all(a["t"][~a["hit"]] == np.float32(1e30))
    moved = np.array([0.4, 0, 0, 0.3, 0, 0.4, 0, 0.1, 0, 0, 0.4, 1.2], np.float32)
    for s in (device, cpu):
        s.update_instance_transform(1, moved)
        s.refit_ias()
    compare_hits(device.trace_closest(origins, directions, 1e-3, 50.0),
                 cpu.trace_closest(origins, directions, 1e-3, 50.0))
    assert device.geometry_build_revision() == cpu.geometry_build_revision()
    assert device.has_gpu_meshes()


def test_sheared_instance_normals_are_perpendicular_to_the_surface(context):
    # A tilted square (plane z = 0.5 x + 0.3 y) placed by a sheared, stretched transform and by
    # its mirror image; rays from the object's front side.
    quad = np.array([[0, 0, 0], [1, 0, 0.5], [1, 1, 0.8], [0, 1, 0.3]], np.float32)
    n_obj = np.array([-0.5, -0.3, 1.0]) / np.linalg.norm([-0.5, -0.3, 1.0])
    sheared = np.array([[2.0, 0.7, 0.0, 1.0], [0.0, 0.5, 0.4, -2.0], [0.3, 0.0, 1.5, 0.5]])
    mirrored = sheared * [[-1], [1], [1]]
    foot = np.array([[0.3, 0.2, 0.21], [0.8, 0.6, 0.58], [0.5, 0.5, 0.4]])
    for xf in (sheared, mirrored):
        scene = tesk_gpu.VulkanSceneManager(context)
        scene.add_instance_xform(scene.add_mesh(quad, np.tile(n_obj, (4, 1)).astype(np.float32), QUADS, 0),
                                 xf.astype(np.float32))
        scene.build()
        target = foot @ xf[:, :3].T + xf[:, 3]
        origins = (foot + 0.4 * n_obj + [0.1, -0.2, 0]) @ xf[:, :3].T + xf[:, 3]
        h = scene.trace_closest(origins.astype(np.float32), (target - origins).astype(np.float32))
        assert np.all(h["hit"]) and not np.any(h["is_back_face"])
        edges = (quad[[1, 3]] - quad[0]) @ xf[:, :3].T
        edges /= np.linalg.norm(edges, axis=1, keepdims=True)
        for key in ("normal", "geometric_normal"):
            np.testing.assert_allclose(h[key] @ edges.T, 0, atol=2e-6, err_msg=key)
            np.testing.assert_allclose(np.linalg.norm(h[key], axis=1), 1, rtol=1e-6)


def optical_scene(s, bands=2):
    s.set_num_bands(bands)
    # ground reflectance, leaf front/back reflectance and transmittance, sun, sky
    s.upload_spectral_params(np.array([0.3, 0.5, 0.4, 0.45, 0.2, 0.25, 0.3, 0.35, 2.0, 1.5, 0.1, 0.2], np.float32))
    s.add_material(0, 0, [])
    s.add_material(13, 2, [0.3, 0.32])
    s.set_emitter(0, [0.3, 0.2, 0.9], 8)
    s.set_sky(10)
    s.set_sensor(0, 6, 6, 1.0, 1.0, CAMERA)
    sheared_scene(s)


@pytest.mark.slow  # first use compiles the shader (tens of seconds on lavapipe)
def test_backward_image_matches_the_cpu(context):
    device, cpu = both_backends(context, optical_scene)
    outputs = ("radiance", "standard_error", "event_aov", "scattering_order")
    a = device.simulate_backward(48, 8, outputs, 2)
    b = tesk_gpu.simulate_cpu(cpu, 48, 8, None, outputs, 2)
    assert a["_execution"] == {"backend": "vulkan", "workflow": "optical_backward",
                               "executor": "vulkan.ray_query.optical_backward", "native": True}
    assert a["payload"].shape == (6, 6, 2) and a["scattering_order"].shape == (4, 6, 6, 2)
    # The device draws the CPU's pixel-and-pass streams, so both render the same paths; a path
    # may still part where single-precision functions round differently. Allow a few standard
    # errors of the mean image.
    se = float(np.sqrt(np.mean(b["standard_error"] ** 2)))
    assert abs(float(a["payload"].mean() - b["payload"].mean())) < 3 * se / 6
    for key in ("payload", "event_aov", "scattering_order"):
        close = np.isclose(a[key], b[key], rtol=1e-4, atol=1e-6)
        assert close.mean() > 0.97, key
    np.testing.assert_allclose(a["event_aov"].sum(axis=0), a["payload"], rtol=1e-5, atol=1e-6)


def hosek_wilkie_block(bands):
    return np.tile(np.float32([-1.0, -0.32, 0.5, -2.0, 0.4, 0.9, -1.2, 0.3, 0.2, 0.05]), bands)


# Sensors (kind, fov, fisheye mapping), skies and materials the image path must port exactly.
VARIANTS = {
    "perspective, directional sky, RPV": (1, 50.0, 0, "directional", 1),
    "pushbroom, Hosek-Wilkie sky, leaf": (3, 40.0, 0, "hw", 13),
    "fisheye equidistant, uniform sky": (4, 170.0, 1, "uniform", 0),
    "fisheye stereographic, thermal sunlit/shaded": (4, 120.0, 3, "thermal", 0),
    "orthographic, SIF only": (0, 60.0, 0, "sif", 13),
}


@pytest.mark.slow  # first use compiles the shader (tens of seconds on lavapipe)
@pytest.mark.parametrize("variant", sorted(VARIANTS))
def test_sensors_skies_and_modes_match_the_cpu(context, variant):
    kind, fov, mapping, sky, material = VARIANTS[variant]
    camera = CAMERA
    if kind == 4:  # a fisheye just above the ground under the leaves, looking up
        camera = np.array([[1, 0, 0, 0.5], [0, -1, 0, 0.5], [0, 0, -1, 0.05], [0, 0, 0, 1]], np.float32)

    def build(s):
        optical_scene(s, bands=2)
        base = [0.3, 0.5, 0.4, 0.45, 0.2, 0.25, 0.3, 0.35, 2.0, 1.5, 0.1, 0.2]
        rpv = [0.1, 0.2, 0.8, 0.7, -0.2, 0.1, 0.5, 0.6]  # rho0, k, Theta, rho_c per band
        table = np.linspace(0.01, 0.3, 2 * 512)
        s.upload_spectral_params(np.float32(base + rpv + list(table) + list(hosek_wilkie_block(2))))
        rpv_material = s.add_material(1, len(base), [])
        if material == 1:  # an RPV square above the ground
            s.add_instance(s.add_mesh(SQUARE * [0.4, 0.4, 1], NO_NORMALS, QUADS, rpv_material), 0.3, 0.3, 0.2)
        if sky == "directional":
            s.set_directional_sky(len(base) + len(rpv))
        elif sky == "hw":
            s.set_hw_sky(len(base) + len(rpv) + table.size, 0.3, 0.2, 0.9)
        elif sky == "sif":
            s.set_sif_only_mode(True)
        s.set_sensor(kind, 5, 4, 1.0, 1.0, camera, fov, mapping)

    def finish(s):
        if sky == "thermal":  # emissivities, sunlit and shaded temperatures (a shadow test each)
            s.clear_for_reuse()
            s.set_num_bands(2)
            s.upload_spectral_params(np.float32([0.95, 0.9, 0.8, 0.85, 0.02, 0.03]))
            s.add_material(0, 0, [0, 0, 290.0, 305.0, 295.0])
            s.add_material(13, 2, [0.0, 0.0, 300.0, 310.0, 298.0])
            s.set_emitter(0, [0.3, 0.2, 0.9], 4)
            s.set_sky(4)
            s.set_thermal_mode(True, [9000.0, 11000.0])
            s.build_reuse_gas()
        if sky == "sif":
            s.set_primitive_sif_spectra(np.linspace(0.1, 1.0, 2 * s.n_primitives()).astype(np.float32), 2)

    device, cpu = both_backends(context, build)
    for s in (device, cpu):
        finish(s)
    a = device.simulate_backward(24, 6, ("radiance", "standard_error"))
    b = tesk_gpu.simulate_cpu(cpu, 24, 6, None, ("radiance", "standard_error"))
    assert b["payload"].any()
    assert np.isclose(a["payload"], b["payload"], rtol=1e-4, atol=1e-7).mean() > 0.95
    se = float(np.sqrt(np.mean(b["standard_error"] ** 2)))
    assert abs(float(a["payload"].mean() - b["payload"].mean())) <= 3 * se / np.sqrt(a["payload"].size) + 1e-7


@pytest.mark.slow  # first use compiles the shader (tens of seconds on lavapipe)
def test_periodic_terrain_following_image_matches_the_cpu(context):
    def build(s):
        optical_scene(s, bands=1)
        s.set_repetitive(3, 1.0, 1.0)
        s.set_sensor(0, 5, 5, 2.0, 2.0, CAMERA, 60.0, 0, True)

    device, cpu = both_backends(context, build)
    a = device.simulate_backward(32, 6, ("radiance", "standard_error"))
    b = tesk_gpu.simulate_cpu(cpu, 32, 6, None, ("radiance", "standard_error"))
    assert np.isclose(a["payload"], b["payload"], rtol=1e-4, atol=1e-6).mean() > 0.97
    se = float(np.sqrt(np.mean(b["standard_error"] ** 2)))
    assert abs(float(a["payload"].mean() - b["payload"].mean())) < 3 * se / 5


def test_brf_flat_ground_is_exact_and_matches_the_cpu(context):
    rho, sun = 0.35, 2.0

    def build(s):
        s.set_num_bands(1)
        s.upload_spectral_params(np.float32([rho, sun]))
        s.add_material(0, 0, [])
        s.set_emitter(0, [0, 0, 1], 1)
        s.set_repetitive(1, 2.0, 1.0)
        s.set_sensor(0, 4, 4, 1.0, 1.0, CAMERA)
        s.add_instance(s.add_mesh(SQUARE * [2, 1, 1], NO_NORMALS, QUADS, 0), 0, 0, 0)

    device, cpu = both_backends(context, build)
    directions = np.float32([0, 0, 5, 0.5, 0.2, 0.8])
    a = device.simulate_brf(directions, 1024 * 16 * 2, 4)
    b = tesk_gpu.simulate_brf_cpu(cpu, directions, 1024 * 16 * 2, 4)
    assert a["_execution"]["executor"] == "vulkan.ray_query.optical_brf"
    d = directions.reshape(2, 3)
    dz = d[:, 2] / np.linalg.norm(d, axis=1)
    np.testing.assert_allclose(a["brf"][:, 0], rho * sun / np.pi * 2.0 * 1.0 * dz, rtol=1e-5)
    np.testing.assert_allclose(a["brf"], b["brf"], rtol=1e-5)
    with pytest.raises(ValueError, match="^BRF observation directions must point upward$"):
        device.simulate_brf(np.float32([1, 0, 0]), 10)
    assert device.sensor_config()["width"] == 4  # the scene's sensor is untouched


@pytest.mark.slow  # first use compiles the shader (tens of seconds on lavapipe)
def test_flux_energy_balance_of_a_flat_periodic_ground(context):
    rho, sun, mu = np.float32([0.2, 0.7]), np.float32([2.0, 1.0]), 0.6
    scene = tesk_gpu.VulkanSceneManager(context)
    scene.set_num_bands(2)
    scene.upload_spectral_params(np.concatenate([rho, sun]))
    scene.add_material(0, 0, [])
    scene.set_emitter(0, [np.sqrt(1 - mu * mu), 0, mu], 2)
    scene.set_repetitive(2, 2.0, 1.0)
    scene.add_instance(scene.add_mesh(SQUARE * [2, 1, 1], NO_NORMALS, QUADS, 0), 0, 0, 0)
    scene.build()
    r = scene.simulate_flux(4, 2, 20_000, 2, max_depth=4)
    assert r["_execution"]["executor"] == "vulkan.ray_query.optical_flux"
    # Every sun photon reaches the ground once and leaves it with weight rho (one photon of this
    # run starts exactly on the seam of the two triangles and slips through on both backends).
    photon = sun * mu * 2.0 / 20_000
    assert np.all(np.abs(r["downwelling"].sum(axis=(0, 1)) - sun * mu * 2.0) < 1.5 * photon)
    assert np.all(np.abs(r["upwelling"].sum(axis=(0, 1)) - rho * sun * mu * 2.0) < 1.5 * rho * photon)
    # Cells of equal area: counts are multinomial around an eighth of the photons.
    share = r["downwelling"][..., 0] / (sun[0] * mu * 2.0)
    assert np.all(np.abs(share - 1 / 8) < 4 * np.sqrt(1 / 8 * 7 / 8 / 20_000))


@pytest.mark.slow  # first use compiles the shader (tens of seconds on lavapipe)
@pytest.mark.parametrize("periodic, max_bounces", [(True, 0), (False, 1)])
def test_flux_matches_the_cpu(context, periodic, max_bounces):
    def build(s):
        optical_scene(s)
        if periodic:
            s.set_repetitive(2, 1.0, 1.0)
        else:  # photons enter through the faces of the scene box; the grid is the sensor's
            s.set_sensor(0, 4, 4, 2.0, 2.0, CAMERA)

    device, cpu = both_backends(context, build)
    a = device.simulate_flux(3, 3, 4000, 2, 0.7, max_bounces, 8, 3, True)
    b = tesk_gpu.simulate_flux_cpu(cpu, 3, 3, 4000, 2, 0.7, max_bounces, 8, 3, True)
    assert a["downwelling_diffuse"].any() and a["upwelling"].any()
    # The same photon streams: equal up to the rare photon whose path parts by rounding.
    for key in ("downwelling", "upwelling", "downwelling_direct", "downwelling_diffuse"):
        np.testing.assert_allclose(a[key], b[key], rtol=0.02, atol=1e-6, err_msg=key)
    np.testing.assert_allclose(a["downwelling_direct"] + a["downwelling_diffuse"], a["downwelling"], rtol=1e-5)
    with pytest.raises(ValueError, match="^Vulkan flux supports 1 to 32 bands$"):
        device.simulate_flux(1, 1, 10, 33)
    with pytest.raises(ValueError, match="^Vulkan flux currently supports at most 2\\^32-1 photons per run$"):
        device.simulate_flux(1, 1, 2**32, 1)
    with pytest.raises(ValueError, match="^flux grid dimensions and band count must be positive$"):
        device.simulate_flux(0, 1, 10, 1)


@pytest.mark.slow  # first use compiles the shader
def test_forward_field_of_a_flat_ground_and_parity_with_the_cpu(context):
    rho, sun, mu = np.float32([0.2, 0.7]), np.float32([2.0, 1.0]), 0.6
    scene = tesk_gpu.VulkanSceneManager(context)
    scene.set_num_bands(2)
    scene.upload_spectral_params(np.concatenate([rho, sun]))
    scene.add_material(0, 0, [])
    scene.set_emitter(0, [np.sqrt(1 - mu * mu), 0, mu], 2)
    scene.set_repetitive(2, 2.0, 1.0)
    scene.add_instance(scene.add_mesh(SQUARE * [2, 1, 1], NO_NORMALS, QUADS, 0), 0, 0, 0)
    scene.build()
    view = np.float32([0.3, 0.0, 0.8])
    r = scene.simulate_forward_radiation(2, 2, [-1.0, 1.0], 10_000, 2, terrain_instance_id=0, brf_directions=view)
    assert r["_execution"]["executor"] == "vulkan.ray_query.optical_brf"
    # One hit per photon: the ground absorbs 1 - rho, reflects rho, all of it escapes upward.
    photon = sun * mu * 2.0 / 10_000
    incident = sun * mu * 2.0
    assert np.all(np.abs(r["terrain"] - (1 - rho) * incident) < 1.5 * photon)
    assert np.all(np.abs(r["albedo"] - rho * incident) < 1.5 * photon)
    vz = view[2] / np.linalg.norm(view)
    assert np.all(np.abs(r["brf"][0] - rho / np.pi * incident * vz) < 1.5 * photon)
    assert r["grid"].shape == (1, 2, 2, 2) and not r["grid"].any()

    def build(s):
        optical_scene(s)
        s.set_repetitive(2, 1.0, 1.0)

    device, cpu = both_backends(context, build)
    heights = np.float32([-0.5, 0.3, 1.5])
    a = device.simulate_forward_radiation(2, 2, heights, 3000, 2, True, 0.7, 8, 3, 0, brf_directions=view)
    b = tesk_gpu.simulate_forward_cpu(cpu, 2, 2, heights, 3000, 2, True, view, 1, 0.7, 8, 0)
    for key in ("grid", "leaf", "terrain", "brf", "albedo"):
        np.testing.assert_allclose(a[key], b[key], rtol=0.02, atol=1e-6, err_msg=key)


@pytest.mark.slow  # first use compiles the shader
def test_energy_balance_matches_the_cpu_and_closed_forms(context):
    def build(s):
        optical_scene(s, bands=1)
        s.set_repetitive(1, 1.0, 1.0)

    device, cpu = both_backends(context, build)
    n = cpu.n_primitives()
    albedos = np.linspace(0.1, 0.6, n).astype(np.float32)
    temperatures = np.linspace(280, 310, n).astype(np.float32)
    for s in (device, cpu):
        s.set_primitive_temperatures(temperatures)
    sw = (0, 32, 800.0, 40.0, 0.0, 0.3, 0.2, 0.9, True, albedos)
    lw = (1, 32, 0.0, 0.0, 90.0, 0.3, 0.2, 0.9, False)
    for args in (sw, lw):
        a = device.run_energy_balance_gpu(*args)
        b = cpu.run_energy_balance(args[1], 8, args[0], *args[2:])
        # Same per-primitive streams: equal up to single-precision rounding of rare samples.
        for x, y in zip(a, b):
            assert x.shape == y.shape
            assert x.size == 0 or np.isclose(x, y, rtol=1e-4, atol=1e-3).mean() > 0.95
    assert device.run_energy_balance_gpu(*lw)[1].size == 0

    # A lone horizontal square: the sun at the zenith gives exactly E on top; the longwave sky
    # alone gives pi L_sky on both faces.
    scene = tesk_gpu.VulkanSceneManager(context)
    scene.add_material(0, 0, [])
    scene.add_instance(scene.add_mesh(SQUARE, NO_NORMALS, QUADS, 0), 0, 0, 0)
    scene.build()
    top, bottom = scene.run_energy_balance_gpu(0, 16, 700.0, 0.0, 0.0, 0.0, 0.0, 2.0, True)
    np.testing.assert_allclose(top, 700.0, rtol=1e-6)
    np.testing.assert_allclose(bottom, 0.0)
    top, bottom = scene.run_energy_balance_gpu(1, 16, 0.0, 0.0, 30.0, 0.0, 0.0, 1.0, True)
    np.testing.assert_allclose(np.concatenate([top, bottom]), np.pi * 30.0, rtol=1e-5)
    with pytest.raises(ValueError, match="^band_type must be 0 \\(shortwave\\) or 1 \\(longwave\\)$"):
        scene.run_energy_balance_gpu(2, 16, 0.0, 0.0, 30.0, 0.0, 0.0, 1.0, True)


@pytest.mark.slow  # first use compiles the shader
def test_multiband_energy_balance_matches_the_cpu_and_closed_forms(context):
    def build(s):
        optical_scene(s, bands=2)

    device, cpu = both_backends(context, build)
    n = cpu.n_primitives()
    rng = np.random.default_rng(3)
    r, rb, t = (rng.uniform(0.05, 0.5, 2 * n).astype(np.float32) for _ in range(3))
    sun, sky = np.float32([900.0, 400.0]), np.float32([50.0, 20.0])
    a = device.run_energy_balance_multiband_gpu(2, 24, sun, sky, 0.3, 0.2, 0.9, True, max_depth=5,
                                                sw_reflectance=r, sw_back_reflectance=rb, sw_transmittance=t)
    b = tesk_gpu.run_energy_balance_multiband_cpu(cpu, 2, 24, 5, sun, sky, None, 0.3, 0.2, 0.9, True, None, r, rb, t)
    assert a["_execution"]["executor"] == "vulkan.ray_query.radiation_field_process"
    for key in ("top", "bot", "sunlit_fraction"):
        x, y = a["payload"][key], b["payload"][key]
        assert x.shape == y.shape and np.isclose(x, y, rtol=1e-4, atol=1e-3).mean() > 0.95, key

    # A lone horizontal square: every path escapes, so top = E + pi L and bottom = pi L per band.
    scene = tesk_gpu.VulkanSceneManager(context)
    scene.add_material(0, 0, [])
    scene.add_instance(scene.add_mesh(SQUARE, NO_NORMALS, QUADS, 0), 0, 0, 0)
    scene.build()
    out = scene.run_energy_balance_multiband_gpu(2, 8, sun, sky, 0.0, 0.0, 1.0, True)["payload"]
    np.testing.assert_allclose(out["top"], np.repeat((sun + np.pi * sky)[:, None], 2, axis=1), rtol=1e-5)
    np.testing.assert_allclose(out["bot"], np.repeat((np.pi * sky)[:, None], 2, axis=1), rtol=1e-5)
    np.testing.assert_allclose(out["sunlit_fraction"], 1.0)
    with pytest.raises(ValueError, match="^Vulkan fused energy balance supports 1 to 32 bands$"):
        scene.run_energy_balance_multiband_gpu(33, 8, [], [], 0.0, 0.0, 1.0, True)


def test_lambertian_plane_under_sun_and_sky_is_exact(context):
    rho, sun, sky, mu = np.float32([0.2, 0.6]), np.float32([3.0, 1.5]), np.float32([0.25, 0.05]), 0.8
    scene = tesk_gpu.VulkanSceneManager(context)
    scene.set_num_bands(2)
    scene.upload_spectral_params(np.concatenate([rho, sun, sky]))
    scene.add_material(0, 0, [])
    scene.set_emitter(0, [np.sqrt(1 - mu * mu), 0, mu], 2)
    scene.set_sky(4)
    scene.set_sensor(1, 4, 4, 0, 0, CAMERA, 40.0)
    scene.add_instance(scene.add_mesh(SQUARE * [200, 200, 1] - [100, 100, 0], NO_NORMALS, QUADS, 0), 0, 0, 0)
    scene.build()
    # Cosine sampling makes every sky path return rho * L_sky: the image has no variance.
    image = scene.simulate_backward(4, 4)["payload"]
    np.testing.assert_allclose(image, np.broadcast_to(rho / np.pi * sun * mu + rho * sky, image.shape), rtol=2e-5)


def test_thermal_emission_is_exact(context):
    emissivity, temperature, wavelengths = np.float32([0.95, 0.7]), 300.0, [9000.0, 11000.0]
    sky = np.float32([1e-3, 2e-3])
    scene = tesk_gpu.VulkanSceneManager(context)
    scene.set_num_bands(2)
    scene.upload_spectral_params(np.concatenate([emissivity, sky]))
    scene.add_material(0, 0, [0, 0, temperature])
    scene.set_sky(2)
    scene.set_thermal_mode(True, wavelengths)
    scene.set_sensor(0, 3, 3, 1.0, 1.0, CAMERA)
    scene.add_instance(scene.add_mesh(SQUARE * [200, 200, 1] - [100, 100, 0], NO_NORMALS, QUADS, 0), 0, 0, 0)
    scene.build()
    lam = np.array(wavelengths) * 1e-9
    planck = 1.1910429723971884e-16 / (lam**5 * np.expm1(0.014387768775039337 / (lam * temperature))) * 1e-9
    expected = emissivity * planck + (1 - emissivity) * sky
    image = scene.simulate_backward(2, 4)["payload"]
    np.testing.assert_allclose(image, np.broadcast_to(expected, image.shape), rtol=1e-5)


def test_backward_refuses_what_it_cannot_run(context):
    scene = tesk_gpu.VulkanSceneManager(context)
    scene.add_instance(scene.add_mesh(SQUARE, NO_NORMALS, QUADS, 0), 0, 0, 0)
    scene.set_sensor(0, 2, 2, 1.0, 1.0, CAMERA)
    with pytest.raises(RuntimeError, match="^Vulkan: build the scene before rendering$"):
        scene.simulate_backward(1, 1)
    scene.build()
    for bands in (0, 33):
        scene.set_num_bands(bands)
        with pytest.raises(ValueError, match="^Vulkan backward rendering supports 1 to 32 bands$"):
            scene.simulate_backward(1, 1)
    scene.set_num_bands(1)
    with pytest.raises(ValueError, match="^spp must be at least 1$"):
        scene.simulate_backward(0, 1)
