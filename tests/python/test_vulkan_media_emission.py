"""Thermal and SIF-only backward renders of scenes with optical turbid media on the Vulkan
device: leaves emit from the per-instance thermal state and SIF source fields as on the CPU
(the same streams, orientation bins and cells), checked against closed forms and against the
CPU render within combined standard errors. Skipped without a Vulkan device with ray queries."""

import numpy as np
import pytest

import tesk_gpu

if not getattr(tesk_gpu, "HAS_VULKAN", False):
    pytest.skip("module built without the Vulkan loader and glslangValidator", allow_module_level=True)
if not any(d["compatible"] for d in tesk_gpu.list_vulkan_devices()):
    pytest.skip("no Vulkan device with acceleration structures and ray queries", allow_module_level=True)

from test_turbid_render import BANDS_NM, BOTTOM, TILE, TOP, box_mesh, planck, view  # noqa: E402

OUTPUTS = ("radiance", "standard_error")


@pytest.fixture(scope="module")
def context():
    return tesk_gpu.VulkanContext(0)


def device_slab(context, lai, rho, tau, sky, mode, ground_kelvin=0.0, leaf_type=1):
    """test_turbid_render.emitting_slab on the device: two bands, leaves with reflectance rho and
    transmittance tau above a black ground at `ground_kelvin` under a uniform sky `sky`."""
    scene = tesk_gpu.VulkanSceneManager(context)
    scene.set_num_bands(2)
    scene.upload_spectral_params(np.array([1, 1, rho, rho, rho, rho, tau, tau, *sky], np.float32))
    ground_mat = scene.add_material(0, 0, [0.0, 0.0, ground_kelvin])
    leaf_mat = scene.add_material(13, 2, [rho, tau])
    g = tesk_gpu.make_ground_plane(TILE / 2, TILE / 2, ground_mat, TILE)
    scene.add_instance(scene.add_mesh(g["vertices"], g["normals"], g["indices"], ground_mat), TILE / 2, TILE / 2, 0.0)
    v, t = box_mesh([0, 0, BOTTOM], [TILE, TILE, TOP])
    scene.add_instance(scene.add_mesh(v, [], t, leaf_mat), 0, 0, 0)
    scene.set_optical_turbid_media([lai / (TOP - BOTTOM)], [leaf_type], [1], [0.0], [-1, 0])
    if np.any(sky):
        scene.set_sky(8)
    scene.set_repetitive(1000, TILE, TILE)
    if mode == "thermal":
        scene.set_thermal_mode(True, BANDS_NM.tolist())
    else:
        scene.set_sif_only_mode(True)
    scene.build()
    view(scene, 30.0, 40.0, size=8)
    return scene


def band_means(out):
    """Per-band image mean and its standard error (pixels independent)."""
    n = out["payload"].shape[0] * out["payload"].shape[1]
    mean = out["payload"].reshape(-1, 2).astype(np.float64).mean(0)
    se = np.sqrt((out["standard_error"].reshape(-1, 2).astype(np.float64) ** 2).sum(0)) / n
    return mean, se


def assert_matches_cpu(scene, spp, max_depth):
    gpu = scene.simulate_backward(spp, max_depth, OUTPUTS)
    cpu = tesk_gpu.simulate_cpu(scene._scene_record(), spp=spp, max_depth=max_depth, outputs=OUTPUTS)
    (g, g_se), (c, c_se) = band_means(gpu), band_means(cpu)
    assert np.all(c_se < 0.05 * c)  # precise enough to see a lost source or a wrong bin
    assert np.all(np.abs(g - c) <= 5 * np.hypot(g_se, c_se)), (g, c, g_se, c_se)
    return g


@pytest.mark.slow  # first use compiles the turbid backward shader (minutes on a busy lavapipe)
def test_leaves_in_an_isothermal_enclosure_emit_planck_radiance(context):
    # Grey leaves with emissivity 1 - rho - tau at T over a black ground at T under a sky of
    # B(T): Kirchhoff closes the enclosure, so every pixel shows B(T) whatever the leaves
    # scatter (a leaf that emitted without the emissivity, or a lost order, shows).
    T, rho, tau = 300.0, 0.15, 0.1
    b = planck(BANDS_NM, T)
    scene = device_slab(context, 1.5, rho, tau, b, "thermal", ground_kelvin=T)
    scene.set_instance_turbid_thermal_state([0, T], [0, T], [0, 0.5], [0, 1 - rho - tau])
    mean, se = band_means(scene.simulate_backward(32, 16, OUTPUTS))
    assert np.all(se < 0.02 * b)
    assert np.all(np.abs(mean - b) <= 5 * se + 1e-5 * b)
    # Without the thermal state the leaves are cold: only sky and ground light gets through.
    scene.clear_instance_turbid_thermal_state()
    cold = scene.simulate_backward(8, 16)["payload"].reshape(-1, 2).mean(0)
    assert np.all(cold < 0.6 * b)


def test_dense_black_leaves_show_the_sunlit_shaded_mixture_exactly(context):
    scene = device_slab(context, 30.0, 0.0, 0.0, [0.0, 0.0], "thermal")
    scene.set_instance_turbid_thermal_state([0, 310.0], [0, 290.0], [0, 0.3], [0, 0.95])
    out = scene.simulate_backward(2, 4, ("radiance", "event_aov"))
    want = 0.95 * (0.3 * planck(BANDS_NM, 310.0) + 0.7 * planck(BANDS_NM, 290.0))
    np.testing.assert_allclose(out["payload"].reshape(-1, 2), np.broadcast_to(want, (64, 2)), rtol=1e-5)
    np.testing.assert_array_equal(out["event_aov"][3], out["payload"])


def test_thermal_media_scene_matches_the_cpu(context):
    # Warm sunlit and cooler shaded leaves that scatter, over a ground at another temperature,
    # under a faint sky: emission of leaves and ground and their scattering all contribute.
    scene = device_slab(context, 1.2, 0.2, 0.1, [2e-3, 3e-3], "thermal", ground_kelvin=285.0, leaf_type=2)
    scene.set_instance_turbid_thermal_state([0, 312.0], [0, 294.0], [0, 0.4], [0, 0.7])
    g = assert_matches_cpu(scene, 24, 8)
    assert np.all(g > 0.7 * planck(BANDS_NM, 285.0))


def sif_fields(rng):
    """Source fields of instance 1 on a 2 x 2 x 2 grid over the slab with 2 x 3 orientation bins:
    joint bins of random exitance, some empty (the spatial cell answers there)."""
    n_orient, stride = 6, 8
    joint = rng.uniform(0.5, 4.0, (2, stride, n_orient, 2)).astype(np.float32)
    joint[:, :, ::4] = 0.0
    joint[0] = 0.0
    spatial = joint.mean(2) + 0.25
    orientation = joint.mean(1)
    bounds_min = np.array([[0, 0, 0], [0, 0, BOTTOM]], np.float32)
    bounds_max = np.array([[1, 1, 1], [TILE, TILE, TOP]], np.float32)
    dims = np.array([[1, 1, 1], [2, 2, 2]], np.int32)
    return (spatial.ravel(), orientation.ravel(), joint.ravel(), joint.ravel(), bounds_min.ravel(),
            bounds_max.ravel(), dims.ravel(), 2, stride, 2, 3)


def test_sif_only_media_scene_matches_the_cpu(context, np_rng):
    scene = device_slab(context, 2.0, 0.25, 0.15, [0.0, 0.0], "sif", leaf_type=3)
    scene.set_instance_sif_source_fields(*sif_fields(np_rng))
    g = assert_matches_cpu(scene, 24, 8)
    assert np.all(g > 0.0)


def test_dense_black_fluorescing_leaves_emit_their_cell_source(context):
    # The camera looks straight down on a dense top layer: M / pi of the upper cell under each
    # half of the tile along x (test_turbid_render's closed form, on the device).
    scene = device_slab(context, 30.0, 0.0, 0.0, [0.0, 0.0], "sif")
    n_orient, stride = 2, 4
    joint = np.zeros((2, stride, n_orient, 2), np.float32)
    upper = {2: [3.0, 1.0], 3: [5.0, 2.0]}
    for c, m in upper.items():
        joint[1, c] = m
    joint[1, 0:2] = 100.0
    bounds_min = np.array([[0, 0, 0], [0, 0, BOTTOM]], np.float32)
    bounds_max = np.array([[1, 1, 1], [TILE, TILE, TOP]], np.float32)
    dims = np.array([[1, 1, 1], [2, 1, 2]], np.int32)
    scene.set_instance_sif_source_fields(joint.mean(2).ravel(), joint.mean(1).ravel(), joint.ravel(), joint.ravel(),
                                         bounds_min.ravel(), bounds_max.ravel(), dims.ravel(), 2, stride, 1, 2)
    view(scene, 0.0, size=8)
    image = scene.simulate_backward(2, 4)["payload"]
    np.testing.assert_allclose(image[:, :4], np.broadcast_to(np.array(upper[2]) / np.pi, (8, 4, 2)), rtol=1e-5)
    np.testing.assert_allclose(image[:, 4:], np.broadcast_to(np.array(upper[3]) / np.pi, (8, 4, 2)), rtol=1e-5)


def resident_cube(context, mode="thermal", budget=256, x_extent=1.0):
    """test_turbid_render.resident_cube_scene on the device: a cube of dense black spherical
    leaves (instance 0) seen from above, and the cube as a resident domain in the scene record."""
    from test_turbid_radiation import cube_domain

    scene = tesk_gpu.VulkanSceneManager(context)
    scene.set_num_bands(2)
    scene.upload_spectral_params(np.zeros(6, np.float32))
    v, t = box_mesh([0, 0, 0], [x_extent, 1, 1])
    scene.add_instance(scene.add_mesh(v, [], t, scene.add_material(13, 0, [0.0, 0.0])), 0, 0, 0)
    scene.set_optical_turbid_media([40.0], [0], [1], [0.0], [0])
    if mode == "thermal":
        scene.set_thermal_mode(True, BANDS_NM.tolist())
    else:
        scene.set_sif_only_mode(True)
    scene.build()
    m = np.eye(4)
    m[:3, 3] = [0.5 * x_extent, 0.5, 5.0]
    scene.set_sensor(0, 6 * int(x_extent), 6, 0.8 * x_extent, 0.8, m.ravel())
    record = scene._scene_record()
    return scene, record, cube_domain(record, 40.0, budget)


def device_image(scene):
    return scene.simulate_backward(2, 4)["payload"].reshape(-1, 2)


def test_leaves_emit_the_resident_temperature_field_and_observation_sources(context):
    from test_turbid_render import leaf_state

    scene, record, domain = resident_cube(context)
    state = leaf_state(record, domain, "energy_balance", 0.25, 310.0, 290.0)
    field = tesk_gpu._build_turbid_field_embree(record, state, {"source_field": "temperature",
                                                                "max_samples_per_leaf_cell": 8}, 10**9)
    # Black leaves (Kirchhoff emissivity 1) of a dense medium: every pixel shows the expectation
    # over the field's sunlit and shaded conditions; the thermal state's emissivity scales it.
    mixed = 0.25 * planck(BANDS_NM, 310.0) + 0.75 * planck(BANDS_NM, 290.0)
    np.testing.assert_allclose(device_image(scene), np.broadcast_to(mixed, (36, 2)), rtol=1e-4)
    scene.set_instance_turbid_thermal_state([350.0], [350.0], [0.5], [0.9])
    np.testing.assert_allclose(device_image(scene), np.broadcast_to(0.9 * mixed, (36, 2)), rtol=1e-4)
    # A thermal observation source replaces the field: the upper (front) faces show eps_front B.
    state = leaf_state(record, domain, "energy_balance", 0.4, 301.0, 301.0)
    field = tesk_gpu._build_turbid_field_embree(record, state, {"source_field": "temperature",
                                                                "max_samples_per_leaf_cell": 8}, 10**9)
    tesk_gpu._build_turbid_thermal_source_embree(record, field, BANDS_NM.astype(np.float32),
                                                 np.array([0.9, 0.7], np.float32), np.array([0.2, 0.1], np.float32))
    want = [0.9, 0.7] * planck(BANDS_NM, 301.0)
    np.testing.assert_allclose(device_image(scene), np.broadcast_to(want, (36, 2)), rtol=1e-4)
    cpu = tesk_gpu.simulate_cpu(record, spp=2, max_depth=4)["payload"].reshape(-1, 2)
    np.testing.assert_allclose(device_image(scene), cpu, rtol=1e-5)
    # Rebuilding the field the source came from leaves the source stale, as on the CPU.
    tesk_gpu._build_turbid_field_embree(record, state, {"source_field": "temperature",
                                                        "replace_field_id": field["field_id"]}, 10**9)
    with pytest.raises(RuntimeError, match=r"^Passive Turbid observation field is not resident\. No fallback"):
        device_image(scene)


def test_sif_only_renders_show_the_resident_fluorescence_source(context):
    from test_turbid_render import leaf_state

    scene, record, domain = resident_cube(context, mode="sif")
    n = len(tesk_gpu._debug_turbid_domain_samples_embree(record, domain)["sample_id"])
    state = leaf_state(record, domain, "static_physiology", 0.5, 300.0, 300.0)
    field = tesk_gpu._build_turbid_field_embree(record, state, {"source_field": "temperature"}, 10**9)
    front = np.tile(np.array([[3.0, 1.0]], np.float32), (n, 1))
    tesk_gpu._build_turbid_sif_source_embree(record, field, np.array([685.0, 740.0], np.float32), front, 4 * front)
    np.testing.assert_allclose(device_image(scene), np.broadcast_to(np.array([3.0, 1.0]) / np.pi, (36, 2)),
                               rtol=1e-5)


def test_collisions_the_resident_sources_cannot_serve_fail_as_on_the_cpu(context):
    from test_turbid_render import leaf_state

    def refused(scene, record, message):
        with pytest.raises(RuntimeError, match="^" + message + "$"):
            tesk_gpu.simulate_cpu(record, spp=2, max_depth=4)
        with pytest.raises(RuntimeError, match="^" + message + "$"):
            device_image(scene)

    # The instance's medium reaches to x = 2 but the domain's part ends at x = 1.
    scene, record, domain = resident_cube(context, x_extent=2.0)
    state = leaf_state(record, domain, "energy_balance", 0.5, 300.0, 300.0)
    tesk_gpu._build_turbid_field_embree(record, state, {"source_field": "temperature"}, 10**9)
    refused(scene, record, "Turbid spectral collision has no authoritative transport part")
    # 16 samples leave most orientation bins empty: a leaf met in one has no source.
    scene, record, domain = resident_cube(context, budget=16)
    state = leaf_state(record, domain, "energy_balance", 0.5, 300.0, 300.0)
    tesk_gpu._build_turbid_field_embree(record, state, {"source_field": "temperature"}, 10**9)
    refused(scene, record, "Turbid spectral field has no populated orientation")


def test_fluorescing_leaves_are_read_from_the_orientation_bin_of_their_normal(context):
    # Dense black spherical leaves seen straight down: the first leaf's normal has zenith density
    # cos(t) sin(t), so the zenith bins [0, 30), [30, 60), [60, 90] degrees are hit with
    # probabilities 1/4, 1/2, 1/4 whatever the azimuth; with exitance 1, 2 and 8 in them the
    # image shows (1/4 + 1 + 2) / pi. Another binning of the normal reads other bins.
    scene = device_slab(context, 30.0, 0.0, 0.0, [0.0, 0.0], "sif", leaf_type=0)
    theta_bins, phi_bins = 3, 2
    joint = np.zeros((2, 1, theta_bins, phi_bins, 2), np.float32)
    joint[1, 0] = np.array([1.0, 2.0, 8.0])[:, None, None]
    joint = joint.reshape(2, 1, theta_bins * phi_bins, 2)
    bounds_min = np.array([[0, 0, 0], [0, 0, BOTTOM]], np.float32)
    bounds_max = np.array([[1, 1, 1], [TILE, TILE, TOP]], np.float32)
    dims = np.ones((2, 3), np.int32)
    scene.set_instance_sif_source_fields(joint.mean(2).ravel(), joint.mean(1).ravel(), joint.ravel(), joint.ravel(),
                                         bounds_min.ravel(), bounds_max.ravel(), dims.ravel(), 2, 1, theta_bins,
                                         phi_bins)
    view(scene, 0.0, size=8)
    mean, se = band_means(scene.simulate_backward(64, 2, OUTPUTS))
    np.testing.assert_allclose(mean[0], mean[1])
    assert se[0] < 0.02 * mean[0]
    assert abs(mean[0] - 3.25 / np.pi) <= 5 * se[0]
