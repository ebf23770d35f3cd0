"""Vulkan LiDAR against the CPU on the same scenes, closed forms of the LiDAR equation, dispatch
progress and interruption. Skipped where the module was built without Vulkan or no device offers
ray queries (lavapipe does)."""

import numpy as np
import pytest

import tesk_gpu

if not getattr(tesk_gpu, "HAS_VULKAN", False):
    pytest.skip("module built without the Vulkan loader and glslangValidator", allow_module_level=True)
if not any(d["compatible"] for d in tesk_gpu.list_vulkan_devices()):
    pytest.skip("no Vulkan device with acceleration structures and ray queries", allow_module_level=True)

NO_NORMALS = np.zeros((0, 3), np.float32)
SQUARE = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], np.float32)
QUADS = [[0, 1, 2], [0, 2, 3]]


@pytest.fixture(scope="module")
def context():
    return tesk_gpu.VulkanContext(0)


def canopy(s):
    """A ground, a tilted two-sided leaf (back face toward some rays) and a black roof corner."""
    s.set_num_bands(2)
    # ground rho; leaf front rho, back rho, tau; black panel
    s.upload_spectral_params(np.array([0.3, 0.5, 0.4, 0.45, 0.2, 0.25, 0.3, 0.35, 0.0, 0.0], np.float32))
    s.add_material(0, 0, [])
    s.add_material(13, 2, [])
    s.add_material(0, 8, [])
    s.add_instance(s.add_mesh(SQUARE * [6, 6, 1] - [3, 3, 0], NO_NORMALS, QUADS, 0), 0, 0, 0)
    leaf = s.add_mesh(SQUARE, NO_NORMALS, QUADS, 1)
    s.add_instance_xform(leaf, np.array([1, 0, 0, -0.5, 0, 0.9, 0.3, -0.5, 0, -0.3, 0.9, 2.0], np.float32))
    s.add_instance_xform(leaf, np.array([0.6, 0, 0, 0.2, 0, -0.8, 0.2, 0.3, 0, 0.5, 0.7, 1.1], np.float32))
    panel = s.add_mesh(SQUARE, NO_NORMALS, QUADS, 2)
    s.add_instance(panel, 0.6, 0.6, 3.0)


def both_backends(context, build):
    scenes = tesk_gpu.VulkanSceneManager(context), tesk_gpu.EmbreeSceneManager()
    for s in scenes:
        build(s)
        s.build()
    return scenes


def pulses(n, seed, height=10.0):
    rng = np.random.default_rng(seed)
    o = np.c_[rng.uniform(-1.2, 1.2, (n, 2)), np.full(n, height)].astype(np.float32)
    d = np.c_[rng.uniform(-0.15, 0.15, (n, 2)), -np.ones(n)].astype(np.float32)
    return o, d


@pytest.mark.parametrize("kwargs", [
    dict(beam_half_angle_rad=0.03, beam_samples_per_dim=6, num_wavelengths=2, max_range=20.0),
    dict(beam_half_angle_rad=0.01, beam_samples_per_dim=3, num_wavelengths=1, min_range=8.0, max_range=12.0,
         range_resolution=0.05, pulse_fwhm_ns=1.0, max_returns_per_pulse=2),
    dict(direct_mode=True, num_wavelengths=2, max_range=9.5),
])
def test_lidar_matches_the_cpu(context, kwargs):
    """The footprint, bins, leaf back faces, black surfaces and the range gate as on the CPU: the
    hits agree to float rounding, so waveforms and points agree to single precision."""
    device, cpu = both_backends(context, canopy)
    o, d = pulses(60, 3)
    a = device.simulate_lidar(o, d, 60, waveforms=("convolved", "raw"), **kwargs)
    b = cpu.simulate_lidar(o, d, 60, waveforms=("convolved", "raw"), **kwargs)
    mode = "lidar_point_cloud" if kwargs.get("direct_mode") else "lidar_waveform"
    assert a["_execution"] == {"backend": "vulkan", "workflow": mode, "executor": f"vulkan.ray_query.{mode}",
                               "native": True}
    assert a["num_bins"] == b["num_bins"] and a["num_returns"] == b["num_returns"] > 0
    for key in ("waveform", "raw_waveform"):
        assert a[key].shape == b[key].shape
        np.testing.assert_allclose(a[key], b[key], rtol=1e-4, atol=1e-6 * b[key].max(initial=0), err_msg=key)
    np.testing.assert_allclose(a["points"], b["points"], rtol=1e-5, atol=1e-5)


def test_lidar_equation_of_a_lambertian_plane_and_dispatch_progress(context):
    """A nadir pulse over a plane of reflectance rho at range R returns E A rho / (pi R^2) in the
    bin of R (summed over the narrow footprint); a range gate of a million bins splits the run
    into several dispatches, each reported."""
    def plane(s):
        s.set_num_bands(1)
        s.upload_spectral_params(np.array([0.35], np.float32))
        s.add_material(0, 0, [])
        s.add_instance(s.add_mesh(SQUARE * [8, 8, 1] - [4, 4, 0], NO_NORMALS, QUADS, 0), 0, 0, 0)
    device, _ = both_backends(context, plane)
    R, E, A = 7.3, 2.0, 0.25
    n = 10
    o = np.tile(np.float32([[0.1, -0.2, R]]), (n, 1))
    d = np.tile(np.float32([[0, 0, -1]]), (n, 1))
    calls = []
    r = device.simulate_lidar(o, d, n, beam_half_angle_rad=1e-4, beam_samples_per_dim=4, pulse_energy=E,
                              sensor_area=A, range_resolution=1e-5, max_range=10.0, pulse_fwhm_ns=1e-3,
                              waveforms=("raw",),
                              progress=lambda *a: calls.append(a))
    raw = r["raw_waveform"]
    assert raw.shape == (n, 1_000_001, 1)
    expected = E * A * 0.35 / (np.pi * R * R)
    np.testing.assert_allclose(raw.sum(axis=(1, 2)), expected, rtol=1e-5)
    assert set(np.nonzero(raw[0, :, 0])[0]) <= {729999, 730000}
    assert [c[:2] for c in calls] == [(4, 10), (8, 10), (10, 10)]
    assert all(isinstance(c[2], float) for c in calls)


def test_lidar_refusals_and_interruption(context, ctrl_c):
    device = tesk_gpu.VulkanSceneManager(context)
    canopy(device)
    o, d = pulses(4, 5)
    with pytest.raises(RuntimeError, match="^Vulkan: build the scene before tracing rays$"):
        device.simulate_lidar(o, d, 4)
    device.build()
    with pytest.raises(ValueError, match="^num_wavelengths must be between 1 and the scene's band count$"):
        device.simulate_lidar(o, d, 4, num_wavelengths=3)
    empty = device.simulate_lidar(o[:0], d[:0], 0)
    assert empty["waveform"].shape == (0, 667, 1) and empty["points"].shape == (0, 8)
    n = 200_000
    o, d = np.broadcast_to(o[0], (n, 3)), np.broadcast_to(d[0], (n, 3))
    with pytest.raises(KeyboardInterrupt):
        ctrl_c()
        device.simulate_lidar(o, d, n, beam_samples_per_dim=20, waveforms=())  # tens of seconds if not stopped



def test_backward_reports_passes_and_ctrl_c_stops_between_dispatches(context, ctrl_c):
    """A Lambertian plane under the sun: the image is exact whatever the dispatch split, progress
    comes after every dispatch, and a render of thousands of dispatches stops at Ctrl-C."""
    rho, sun, mu = 0.3, 2.0, 0.8
    scene = tesk_gpu.VulkanSceneManager(context)
    scene.set_num_bands(1)
    scene.upload_spectral_params(np.float32([rho, sun]))
    scene.add_material(0, 0, [])
    scene.set_emitter(0, [np.sqrt(1 - mu * mu), 0, mu], 1)
    camera = np.array([[1, 0, 0, 0.5], [0, 1, 0, 0.5], [0, 0, 1, 5], [0, 0, 0, 1]], np.float32)
    scene.set_sensor(0, 64, 64, 1.0, 1.0, camera)
    scene.add_instance(scene.add_mesh(SQUARE * [200, 200, 1] - [100, 100, 0], NO_NORMALS, QUADS, 0), 0, 0, 0)
    scene.build()
    calls = []
    image = scene.simulate_backward(300, 2, progress=lambda *a: calls.append(a))["payload"]
    np.testing.assert_allclose(image, rho / np.pi * sun * mu, rtol=1e-5)
    assert [c[:2] for c in calls] == [(256, 300), (300, 300)]  # 2^20 samples of 4096 pixels each
    with pytest.raises(KeyboardInterrupt):
        ctrl_c()
        scene.simulate_backward(1_000_000, 2)  # thousands of dispatches if not stopped


SOIL = np.float32([0.3, 0.2, 0.25, 0.3, 2.0, 1.0, 0.1, 295.0, 290.0, 0.0, 0.01, 0.0])
M = 11
COSINES = np.linspace(0.0, 1.0, M).astype(np.float32)


def microwave_scene(context, vegetation):
    """A large soil plane (material 0), optionally under a vegetation layer at z = 2 (material 1),
    and an absorbing panel far off to the side (material 2)."""
    scene = tesk_gpu.VulkanSceneManager(context)
    scene.set_num_bands(1)
    scene.upload_spectral_params(np.float32([0.3]))
    for _ in range(3):
        scene.add_material(0, 0, [])
    big = scene.add_mesh(SQUARE * [400, 400, 1] - [200, 200, 0], NO_NORMALS, QUADS, 0)
    scene.add_instance(big, 0, 0, 0)
    if vegetation:
        scene.add_instance(scene.add_mesh(SQUARE * [400, 400, 1] - [200, 200, 0], NO_NORMALS, QUADS, 1), 0, 0, 2)
    scene.add_instance(scene.add_mesh(SQUARE, NO_NORMALS, QUADS, 2), 300, 300, 5)
    scene.build()
    return scene


def lookup(table, mu):
    return np.stack([np.interp(mu, COSINES, table[:, c]) for c in range(table.shape[1])], axis=-1)


@pytest.mark.parametrize("vegetation", [False, True])
def test_microwave_wavefront_closed_forms(context, vegetation):
    """Soil: T_B = e T + Gamma T_sky(mu) with the table rows; active: the table sigma. Under a
    vegetation layer (tau, albedo, T_v): its emission on the way down and up, its transmissivity
    g = exp(-tau / mu) and, active, the two-way g^2 with the volume term albedo mu (1 - g^2) / 2."""
    scene = microwave_scene(context, vegetation)
    passive = tesk_gpu._evaluate_microwave_soil(1.4e9, SOIL, COSINES)
    active = tesk_gpu._evaluate_microwave_soil(1.4e9, SOIL, COSINES, True)
    veg = np.float32([[0.4, 0.08, 300.0]])
    theta = np.radians([0.0, 17.0, 35.0, 52.0])
    mu = np.cos(theta)
    o = np.tile(np.float32([[0.3, -0.2, 10.0]]), (len(theta), 1))
    d = np.c_[np.sin(theta), np.zeros_like(theta), -mu].astype(np.float32)
    mapping = np.int32([[1, 0], [2, 0], [0, 0]])
    T_air, tau_atm = 280.0, 0.02
    common = dict(soil_count=1, vegetation_count=1, trunk_count=0, response_table_size=M, origins=o, directions=d,
                  material_map=mapping, passive_soil_table=passive[None], active_soil_table=active[None],
                  vegetation_parameters=veg)
    r = scene.run_microwave_wavefront(False, 4, T_air, tau_atm, **common)
    assert r["_execution"] == {"backend": "vulkan", "workflow": "microwave_wavefront",
                               "executor": "vulkan.ray_query.microwave_wavefront", "native": True}
    t = np.exp(-tau_atm / mu)
    sky = T_air * (1 - t) + 2.725 * t
    row = lookup(passive, mu)
    g = np.exp(-veg[0, 0] / mu) if vegetation else np.ones_like(mu)
    layer = (1 - veg[0, 1]) * (1 - g) * veg[0, 2]
    up = layer + g * sky
    expected = layer[:, None] + g[:, None] * (row[:, :2] + row[:, 2:] * up[:, None])
    np.testing.assert_allclose(r["payload"]["brightness_temperature"], expected, rtol=2e-5)
    sigma = scene.run_microwave_wavefront(True, 4, T_air, tau_atm, **common)["payload"]["backscatter"]
    volume = veg[0, 1] * mu * (1 - g * g) / 2
    expected = (g * g)[:, None] * lookup(active, mu) + np.c_[volume, 0 * mu, 0 * mu, volume]
    np.testing.assert_allclose(sigma, expected, rtol=2e-5, atol=1e-9)
    # The absorbing panel ends the path at the air temperature; a short chain as well.
    far = scene.run_microwave_wavefront(False, 4, T_air, tau_atm, **common | dict(
        origins=np.float32([[300.5, 300.5, 9.0]]), directions=np.float32([[0, 0, -1]])))
    np.testing.assert_allclose(far["payload"]["brightness_temperature"], [[T_air, T_air]], rtol=1e-6)
    short = scene.run_microwave_wavefront(False, 1, T_air, tau_atm, **common)["payload"]["brightness_temperature"]
    if not vegetation:
        np.testing.assert_allclose(short, row[:, :2] + row[:, 2:] * T_air, rtol=2e-5)


def test_microwave_wavefront_checks_its_tables(context):
    scene = microwave_scene(context, False)
    o, d = np.float32([[0, 0, 5]]), np.float32([[0, 0, -1]])
    args = dict(soil_count=1, vegetation_count=0, trunk_count=0, response_table_size=M, origins=o, directions=d,
                material_map=np.int32([[1, 0]]))
    table = np.zeros((1, M, 4), np.float32)
    with pytest.raises(ValueError, match="^passive_soil_table must hold soil_count x response_table_size x 4 floats$"):
        scene.run_microwave_wavefront(False, 2, 280.0, 0.0, **args, passive_soil_table=table[:, :5])
    with pytest.raises(ValueError, match="^response_table_size must be at least 2$"):
        scene.run_microwave_wavefront(False, 2, 280.0, 0.0, **args | dict(response_table_size=1))
    calls = []
    r = scene.run_microwave_wavefront(True, 2, 280.0, 0.0, **args, active_soil_table=table + 0.5,
                                      progress=lambda *a: calls.append(a))
    np.testing.assert_allclose(r["payload"]["backscatter"], [[0.5] * 4])
    assert [c[:2] for c in calls] == [(1, 1)]
    unbuilt = tesk_gpu.VulkanSceneManager(context)
    with pytest.raises(RuntimeError, match="^Vulkan: build the scene before tracing rays$"):
        unbuilt.run_microwave_wavefront(True, 2, 280.0, 0.0, **args, active_soil_table=table)



def phase_tables(C=4, A=3, block=((1, 0), (0, 1)), cosine_row=None):
    """One vegetation class: the same 4 x 4 phase matrix (H, V block `block`) in every cell,
    uniform CDFs unless `cosine_row` gives the outgoing-cosine CDF of every incident cell."""
    m = np.zeros((1, C, C, A, 4, 4), np.float32)
    m[..., :2, :2] = block
    cos_cdf = np.tile(np.float32(cosine_row if cosine_row is not None else np.arange(1, C + 1) / C), (1, C, 1))
    az_cdf = np.tile(np.float32(np.arange(1, A + 1) / A), (1, C, C, 1))
    return dict(lut_info=np.float32([C, A]), mueller_lut=m, cosine_cdf=cos_cdf, azimuth_cdf=az_cdf)


def black_ground_run(context, tables, albedo, n, active=False, **extra):
    """Lines of sight at 30 degrees onto a vegetation layer (tau 0.5) over a black ground at 0 K,
    under an opaque atmosphere (the sky is T_air = 250 K). The ground reaches far enough that
    no scattered ray escapes below the horizon."""
    scene = tesk_gpu.VulkanSceneManager(context)
    scene.set_num_bands(1)
    scene.upload_spectral_params(np.float32([0.3]))
    for _ in range(2):
        scene.add_material(0, 0, [])
    scene.add_instance(scene.add_mesh(SQUARE * [4e4, 4e4, 1] - [2e4, 2e4, 0], NO_NORMALS, QUADS, 0), 0, 0, 0)
    scene.add_instance(scene.add_mesh(SQUARE * [40, 40, 1] - [20, 20, 0], NO_NORMALS, QUADS, 1), 0, 0, 2)
    scene.build()
    theta = np.radians(30.0)
    o = np.tile(np.float32([[0.3, -0.2, 10.0]]), (n, 1))
    d = np.tile(np.float32([[np.sin(theta), 0.0, -np.cos(theta)]]), (n, 1))
    zero = np.zeros((1, M, 4), np.float32)
    args = dict(soil_count=1, vegetation_count=1, trunk_count=0, response_table_size=M, origins=o, directions=d,
                material_map=np.int32([[1, 0], [2, 0]]), passive_soil_table=zero, active_soil_table=zero,
                vegetation_parameters=np.float32([[0.5, albedo, 300.0]])) | tables | extra
    r = scene.run_microwave_wavefront(active, 6, 250.0, 60.0, **args)["payload"]
    return r["backscatter" if active else "brightness_temperature"], np.exp(-0.5 / np.cos(theta)), np.cos(theta)


@pytest.mark.parametrize("cosine_row", [None, [0, 0, 0.5, 1]])
def test_microwave_vegetation_phase_tables_single_scattering(context, cosine_row):
    """A layer crossed at mu scatters with probability 1 - g; over a black ground only what
    scatters upward sees the sky: T_B,p = (1 - albedo)(1 - g) T_v + albedo (1 - g) / 2 T_air
    sum_q M_pq for an isotropic phase, whether the CDFs are uniform or send every scattered
    ray upward (weight 1/2). The row sums (H 1.5, V 0.9) differ from the column sums."""
    n, albedo = 4000, 0.7
    block = ((1.2, 0.3), (0.1, 0.8))
    tb, g, _ = black_ground_run(context, phase_tables(block=block, cosine_row=cosine_row), albedo, n)
    emission = (1 - albedo) * (1 - g) * 300.0
    p_up = (1 - g) / 2 if cosine_row is None else 1 - g
    weight = albedo * 250.0 * np.float32([1.5, 0.9]) * (1.0 if cosine_row is None else 0.5)
    expected = emission + p_up * weight
    sigma = weight * np.sqrt(p_up * (1 - p_up) / n)
    assert np.all(np.abs(tb.mean(axis=0) - expected) < 4 * sigma)
    # Every ray is the emission plus either nothing or the full scattered weight.
    extra = tb - emission
    assert np.all(np.isclose(extra, 0.0, atol=1e-3) | np.isclose(extra, weight, rtol=1e-4))
    # Each ray draws from the stream of its own index: a shorter run repeats the first rays.
    head, _, _ = black_ground_run(context, phase_tables(block=block, cosine_row=cosine_row), albedo, 50)
    np.testing.assert_array_equal(head, tb[:50])


def test_microwave_vegetation_phase_tables_conservative_slab_energy(context):
    """Conservative isotropic scattering over a black ground: the slab (no tables) passes g and
    shows nothing; with the tables the scattered 1 - g splits evenly up and down, and the
    active volume term keeps the slab's albedo mu (1 - g^2) / 2 in HH and VV."""
    n = 4000
    slab, g, mu = black_ground_run(context, {}, 1.0, n)
    np.testing.assert_allclose(slab, 0.0, atol=1e-4)
    tb, _, _ = black_ground_run(context, phase_tables(), 1.0, n)
    p = (1 - g) / 2
    assert np.all(np.abs(tb.mean(axis=0) - p * 250.0) < 4 * 250.0 * np.sqrt(p * (1 - p) / n))
    volume = mu * (1 - g * g) / 2
    sigma, _, _ = black_ground_run(context, phase_tables(), 1.0, 2, active=True)
    np.testing.assert_allclose(sigma, [[volume, 0, 0, volume]] * 2, rtol=1e-5)
    sigma, _, _ = black_ground_run(context, phase_tables(block=((1.2, 0.3), (0.1, 0.8))), 0.5, 1, active=True)
    np.testing.assert_allclose(sigma, [0.5 * volume * np.float32([1.2, 0.3, 0.1, 0.8])], rtol=1e-5)


def test_microwave_vegetation_phase_tables_are_checked(context):
    good = phase_tables()
    nan = good["mueller_lut"].copy()
    nan[0, 1, 2, 1, 1, 1] = np.nan
    cases = [
        (dict(lut_info=None), "^lut_info, mueller_lut, cosine_cdf and azimuth_cdf must be given together$"),
        (dict(lut_info=np.float32([4.5, 3])), "^lut_info must hold 2 whole numbers in \\[1, 4096\\]"),
        (dict(lut_info=np.float32([4, 3, 1])), "^lut_info must hold 2 whole numbers"),
        (dict(mueller_lut=good["mueller_lut"].reshape(-1)[:-8]), "^mueller_lut must hold vegetation_count x C x C x A x 16"),
        (dict(cosine_cdf=good["cosine_cdf"][..., :3]), "^cosine_cdf must hold vegetation_count x C x C floats"),
        (dict(azimuth_cdf=good["azimuth_cdf"][..., :2]), "^azimuth_cdf must hold vegetation_count x C x C x A"),
        (dict(mueller_lut=nan), "^mueller_lut must be finite$"),
        (dict(cosine_cdf=np.tile(np.float32([0.5, 0.2, 0.7, 1.0]), (1, 4, 1))), "^cosine_cdf and azimuth_cdf rows"),
        (dict(azimuth_cdf=good["azimuth_cdf"] * 0.9), "^cosine_cdf and azimuth_cdf rows must be non-decreasing"),
    ]
    for change, message in cases:
        with pytest.raises(ValueError, match=message):
            black_ground_run(context, good | change, 0.5, 1)


def test_microwave_smooth_soil_and_trunk_double_bounce(context):
    """Smooth soil (class 4): T_B = (1 - Gamma_s) T_eff + Gamma_s T_sky with T_eff from the
    passive row, no backscatter. A vertical trunk behind a vegetation layer: its direct plus
    double-bounce sigmas at mu = |d . n_trunk| times the two-way attenuation g^2, plus the
    layer's volume term; with a dihedral ground table the double bounce is scaled by the
    ground's row where the line of sight mirrored off the trunk meets it."""
    passive = tesk_gpu._evaluate_microwave_soil(1.4e9, SOIL, COSINES)
    smooth = tesk_gpu._evaluate_microwave_soil_reflectivity(1.4e9, SOIL, COSINES)
    scene = microwave_scene(context, False)
    mu = np.cos(np.radians([10.0, 40.0]))
    o = np.float32([[0.3, -0.2, 10.0]] * 2)
    d = np.c_[np.sqrt(1 - mu * mu), [0, 0], -mu].astype(np.float32)
    args = dict(soil_count=1, vegetation_count=0, trunk_count=0, response_table_size=M, origins=o, directions=d,
                material_map=np.int32([[4, 0]]), passive_soil_table=passive[None], active_soil_table=passive[None],
                smooth_soil_table=smooth[None])
    tb = scene.run_microwave_wavefront(False, 3, 270.0, 0.0, **args)["payload"]["brightness_temperature"]
    row, gamma = lookup(passive, mu), lookup(smooth, mu)
    t_eff = (row[:, 0] + row[:, 1]) / (2 - row[:, 2] - row[:, 3])
    # A transparent atmosphere: the specular reflection sees the cosmic background.
    np.testing.assert_allclose(tb, (1 - gamma) * t_eff[:, None] + gamma * 2.725, rtol=2e-5)
    sigma = scene.run_microwave_wavefront(True, 3, 270.0, 0.0, **args)["payload"]["backscatter"]
    np.testing.assert_array_equal(sigma, 0.0)

    trunk_scene = tesk_gpu.VulkanSceneManager(context)
    trunk_scene.set_num_bands(1)
    trunk_scene.upload_spectral_params(np.float32([0.3]))
    for _ in range(3):
        trunk_scene.add_material(0, 0, [])
    plane = SQUARE * [400, 400, 1] - [200, 200, 0]
    trunk_scene.add_instance(trunk_scene.add_mesh(plane, NO_NORMALS, QUADS, 0), 0, 0, 0)
    trunk_scene.add_instance(trunk_scene.add_mesh(plane, NO_NORMALS, QUADS, 1), 0, 0, 2)
    wall = np.float32([[0, -1, 0], [0, 1, 0], [0, 1, 1.5], [0, -1, 1.5]])
    trunk_scene.add_instance(trunk_scene.add_mesh(wall, NO_NORMALS, QUADS, 2), 0, 0, 0)
    trunk_scene.build()
    theta = np.radians(60.0)
    o = np.float32([[-9.0 * np.tan(theta), 0.0, 10.0]])
    d = np.float32([[np.sin(theta), 0.0, -np.cos(theta)]])
    rng = np.random.default_rng(5)
    dihedral = rng.uniform(0.01, 0.2, (1, M, 8)).astype(np.float32)
    dihedral[..., :4] = 0.0  # double bounce only
    veg = np.float32([[0.3, 0.1, 300.0]])
    run = dict(active_mode=True, max_depth=4, air_temperature=270.0, atmosphere_tau=0.0, soil_count=1,
               vegetation_count=1, trunk_count=1, response_table_size=M, origins=o, directions=d,
               material_map=np.int32([[1, 0], [2, 0], [3, 0]]), active_soil_table=np.ones((1, M, 4), np.float32),
               vegetation_parameters=veg, trunk_dihedral_scattering=dihedral)
    sigma = trunk_scene.run_microwave_wavefront(**run)["payload"]["backscatter"]
    g = np.exp(-veg[0, 0] / np.cos(theta))
    volume = veg[0, 1] * np.cos(theta) * (1 - g * g) / 2
    expected = g * g * lookup(dihedral[0, :, 4:], np.sin(theta)) + [volume, 0, 0, volume]
    np.testing.assert_allclose(sigma[0], expected, rtol=2e-5)
    # The ground under the trunk: the mirrored line of sight reaches the soil at mu = cos(theta).
    ground = rng.uniform(0.2, 0.9, (1, M, 2)).astype(np.float32)
    sigma = trunk_scene.run_microwave_wavefront(**run | dict(dihedral_ground_table=ground))["payload"]["backscatter"]
    f = lookup(ground[0], np.cos(theta))
    factor = np.r_[f[0], np.sqrt(f[0] * f[1]), np.sqrt(f[0] * f[1]), f[1]]
    expected = g * g * lookup(dihedral[0, :, 4:], np.sin(theta)) * factor + [volume, 0, 0, volume]
    np.testing.assert_allclose(sigma[0], expected, rtol=2e-5)


CUBE = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [0, 0, 1], [1, 0, 1], [1, 1, 1], [0, 1, 1]], np.float32)
CUBE_FACES = [[0, 2, 1], [0, 3, 2], [4, 5, 6], [4, 6, 7], [0, 1, 5], [0, 5, 4], [1, 2, 6], [1, 6, 5], [2, 3, 7],
              [2, 7, 6], [3, 0, 4], [3, 4, 7]]  # outward normals


def leaf_box_optics(s):
    s.set_num_bands(2)
    # ground rho; leaf front, back, tau; sun; sky
    s.upload_spectral_params(np.float32([0.3, 0.4, 0.1, 0.45, 0.12, 0.4, 0.08, 0.45, 2.0, 1.5, 0.1, 0.2]))
    s.add_material(0, 0, [])
    s.add_material(13, 2, [])
    s.set_sky(10)


def leaf_box(s):
    """A ground under a box of leaves (LAD 1.5, spherical, two-sided leaf optics of material 1)
    and a sun and sky; the box's faces bound the medium and are not surfaces."""
    leaf_box_optics(s)
    s.set_emitter(0, [0.3, 0.2, 0.9], 8)
    s.set_sensor(0, 4, 4, 1.6, 1.6, np.array([[1, 0, 0, 0.5], [0, 1, 0, 0.5], [0, 0, 1, 5], [0, 0, 0, 1]],
                                              np.float32))
    s.add_instance(s.add_mesh(SQUARE * [6, 6, 1] - [3, 3, 0], NO_NORMALS, QUADS, 0), 0, 0, 0)
    s.add_instance(s.add_mesh(CUBE * 0.8, NO_NORMALS, CUBE_FACES, 1), 0.1, 0.1, 0.2)
    s.set_optical_turbid_media([1.5], [0], [1], [0.05], [-1, 0])


@pytest.mark.slow  # first use compiles the turbid shader (about a minute on lavapipe)
def test_backward_through_leaf_media_matches_the_cpu(context):
    """The turbid variant against simulate_cpu on a leaf box seen from above and from a camera
    inside it (containment): radiance and the leaf-scattered sun (event slot 1) agree within the
    combined standard error, and the BRF through the box agrees."""
    device, cpu = both_backends(context, leaf_box)
    inside = np.array([[1, 0, 0, 0.5], [0, 0, -1, 0.5], [0, 1, 0, 0.6], [0, 0, 0, 1]], np.float32)
    outputs = ("radiance", "standard_error", "event_aov")
    for sensor in ((0, 4, 4, 1.6, 1.6), (1, 4, 4, 0.0, 0.0, inside, 60.0)):
        for s in (device, cpu):
            s.set_sensor(*sensor) if len(sensor) > 5 else s.set_sensor(*sensor, np.array(
                [[1, 0, 0, 0.5], [0, 1, 0, 0.5], [0, 0, 1, 5], [0, 0, 0, 1]], np.float32))
        a = device.simulate_backward(64, 8, outputs=outputs)
        b = tesk_gpu.simulate_cpu(cpu, 64, 8, outputs=outputs)
        assert a["_execution"]["executor"] == "vulkan.ray_query.optical_backward"
        se = np.sqrt(a["standard_error"] ** 2 + b["standard_error"] ** 2) + 1e-12
        assert np.all(np.abs(a["payload"] - b["payload"]) <= 5 * se), sensor[0]
        leaf_sun = a["event_aov"][1], b["event_aov"][1]
        assert leaf_sun[1].sum() > 0.01 * b["payload"].sum()
        np.testing.assert_allclose(leaf_sun[0].sum(), leaf_sun[1].sum(), rtol=0.05)
    # The BRF renders the same paths: equal up to float rounding of the hits.
    views = np.float32([0, 0, 1, 0.5, 0, 0.8])
    np.testing.assert_allclose(device.simulate_brf(views, 20_000)["brf"],
                               tesk_gpu.simulate_brf_cpu(cpu, views, 20_000)["brf"], rtol=1e-3)


def periodic_leaf_box(s):
    """A 2 x 2 periodic tile: a ground and a leaf box near its +x wall under a low sun, so that
    paths and sun walks cross the walls into neighbouring copies of the box."""
    leaf_box_optics(s)
    s.set_emitter(0, [0.7, 0.2, 0.6], 8)
    s.set_sensor(0, 4, 4, 2.0, 2.0, np.array([[1, 0, 0, 1], [0, 1, 0, 1], [0, 0, 1, 5], [0, 0, 0, 1]], np.float32))
    s.add_instance(s.add_mesh(SQUARE * [2, 2, 1], NO_NORMALS, QUADS, 0), 0, 0, 0)
    s.add_instance(s.add_mesh(CUBE * 0.8, NO_NORMALS, CUBE_FACES, 1), 1.15, 0.6, 0.2)
    s.set_optical_turbid_media([1.5], [1], [1], [0.05], [-1, 0])
    s.set_repetitive(1, 2.0, 2.0)


@pytest.mark.slow  # first use compiles the turbid shader (about a minute on lavapipe)
def test_backward_through_periodic_leaf_media_matches_the_cpu(context):
    device, cpu = both_backends(context, periodic_leaf_box)
    outputs = ("radiance", "standard_error", "event_aov")
    a = device.simulate_backward(64, 8, outputs=outputs)
    b = tesk_gpu.simulate_cpu(cpu, 64, 8, outputs=outputs)
    se = np.sqrt(a["standard_error"] ** 2 + b["standard_error"] ** 2) + 1e-12
    assert np.all(np.abs(a["payload"] - b["payload"]) <= 5 * se)
    np.testing.assert_allclose(a["event_aov"][1].sum(), b["event_aov"][1].sum(), rtol=0.05)
    assert b["event_aov"][1].sum() > 0.01 * b["payload"].sum()


@pytest.mark.slow  # first use compiles the LiDAR media walk (tens of seconds on lavapipe)
def test_lidar_through_leaf_media_matches_the_cpu(context):
    """Pulses over and from inside a leaf box: volume returns of the leaves in the bins the rays
    cross, the ground behind them attenuated by exp(-2 tau), containment of origins inside the
    box; equal to the CPU's up to single-precision exponentials, in both modes."""
    device, cpu = both_backends(context, leaf_box)
    o, d = pulses(24, 7, height=6.0)
    o[:, :2] = 0.5 + 0.3 * (o[:, :2] / 1.2)
    o[::4, 2] = 0.7  # every fourth pulse starts inside the box
    for direct_mode in (False, True):
        kwargs = dict(beam_half_angle_rad=0.02, beam_samples_per_dim=4, num_wavelengths=2, max_range=10.0,
                      range_resolution=0.05, direct_mode=direct_mode)
        a = device.simulate_lidar(o, d, 24, waveforms=("convolved", "raw"), **kwargs)
        b = cpu.simulate_lidar(o, d, 24, waveforms=("convolved", "raw"), **kwargs)
        assert a["num_returns"] == b["num_returns"] >= 24
        for key in ("waveform", "raw_waveform"):
            np.testing.assert_allclose(a[key], b[key], rtol=2e-4, atol=1e-6 * b[key].max(initial=0),
                                       err_msg=key)
        np.testing.assert_allclose(a["points"], b["points"], rtol=2e-4, atol=1e-4 * b["points"][:, 3].max())
        if not direct_mode:  # the leaves return over the box's depth, not at one range
            assert (b["raw_waveform"][1:, :, 0] > 0).sum(axis=1).max() >= 10


def media_budget(r, absorbed):
    """Emitted minus absorbed minus escaped energy, relative to the emitted energy."""
    return (r["incident"] - absorbed - r["escaped"]) / r["incident"]


def grey_leaves(context, build):
    """`build` on the device with leaves of equal optics in both bands: every leaf interaction
    then scatters exactly 1 - absorptance of the weight (not only in expectation), so the energy
    budget closes photon by photon."""
    s = tesk_gpu.VulkanSceneManager(context)
    build(s)
    s.upload_spectral_params(np.float32([0.3, 0.4, 0.4, 0.4, 0.35, 0.35, 0.45, 0.45, 2.0, 1.5, 0.1, 0.2]))
    s.build()
    return s


@pytest.mark.slow  # first use compiles the media flux shader (minutes on a busy lavapipe)
@pytest.mark.parametrize("build", [leaf_box, periodic_leaf_box])
def test_flux_through_leaf_media_matches_the_cpu(context, build):
    """Photons walking a leaf box (open and periodic): every tally equals the CPU's up to the
    rare photon whose path parts by rounding; with grey leaves and without roulette the emitted
    energy is absorbed by the leaves and the ground or escapes (up to the 1e-8 weight cut-off and
    the fixed-point rounding of the deposits, about 1e-5 of a photon each)."""
    device, cpu = both_backends(context, build)
    args = (2, 2, 3000, 2, 0.7, 0, 8, 3, True)
    a, b = device.simulate_flux(*args), tesk_gpu.simulate_flux_cpu(cpu, *args)
    assert a["_execution"]["executor"] == "vulkan.ray_query.optical_flux"
    assert sorted(k for k in a if k[0] != "_") == sorted(k for k in b if k[0] != "_")
    assert np.all(a["grid_direct"].sum(axis=(0, 1)) > 0) and a["grid_diffuse"].any()
    for key in b:
        if key[0] != "_":
            np.testing.assert_allclose(a[key], b[key], rtol=0.02, atol=1e-5 * b["incident"].max(), err_msg=key)
    np.testing.assert_allclose(a["grid_direct"] + a["grid_diffuse"], a["grid"], rtol=1e-5, atol=1e-9)
    lossless = grey_leaves(context, build).simulate_flux(2, 2, 1000, 2, 0.7, 0, 64, 64)
    absorbed = lossless["grid"].sum(axis=(0, 1)) + lossless["terrain"] + lossless["leaf"].sum(axis=0)
    assert np.all(np.abs(media_budget(lossless, absorbed)) < 1e-5)


# Views toward nadir, oblique across the sun's azimuth and below the horizon (never estimated).
MEDIA_VIEWS = np.float32([0, 0, 1, 0.5, -0.3, 0.8, 0.3, 0, -0.9])


@pytest.mark.slow  # first use compiles the media field shader (minutes on a busy lavapipe)
def test_forward_field_through_leaf_media_matches_the_cpu(context):
    """The layered absorbed field of a leaf box and its BRF: leaf absorption in the layers the box
    spans, next-event estimates from the ground and from leaf collisions through the box's
    transmittance, all equal to the CPU's; emitted = absorbed + escaped with grey leaves and
    without roulette."""
    device, cpu = both_backends(context, leaf_box)
    heights = np.float32([0.0, 0.5, 1.2])
    a = device.simulate_forward_radiation(2, 2, heights, 3000, 2, True, 0.7, 8, 3, 0, brf_directions=MEDIA_VIEWS)
    b = tesk_gpu.simulate_forward_cpu(cpu, 2, 2, heights, 3000, 2, True, MEDIA_VIEWS, 3, 0.7, 8, 0)
    assert a["_execution"]["executor"] == "vulkan.ray_query.optical_brf"
    assert sorted(k for k in a if k[0] != "_") == sorted(k for k in b if k[0] != "_")
    assert np.all(a["grid"][0].sum(axis=(0, 1)) > 0) and np.all(a["grid"][1].sum(axis=(0, 1)) > 0)
    assert np.all(b["brf"][:2] > 0) and not b["brf"][2].any()
    for key in b:
        if key[0] != "_":
            np.testing.assert_allclose(a[key], b[key], rtol=0.02, atol=1e-5 * b["incident"].max(), err_msg=key)
    # The transmittance toward the views is deterministic: the estimates differ by rounding only.
    np.testing.assert_allclose(a["brf"], b["brf"], rtol=1e-3, atol=1e-7 * b["incident"].max())
    lossless = grey_leaves(context, leaf_box).simulate_forward_radiation(2, 2, heights, 1000, 2, False, 0.7, 64, 64, 0,
                                                                          brf_directions=MEDIA_VIEWS)
    absorbed = lossless["grid"].sum(axis=(0, 1, 2)) + lossless["terrain"]
    assert np.all(np.abs(media_budget(lossless, absorbed)) < 1e-5)
    assert np.all(lossless["albedo"] <= lossless["escaped"] * (1 + 1e-6))


def black_leaf_slab(s):
    """A 6 x 6 ground (rho 0.3, 0.4) under a box of black leaves (LAD 1.5, spherical) covering it
    from z = 0.2 to 1, lit by the sun at nadir only."""
    s.set_num_bands(2)
    s.upload_spectral_params(np.float32([0.3, 0.4, 0, 0, 0, 0, 0, 0, 2.0, 1.5, 0.1, 0.2]))
    s.add_material(0, 0, [])
    s.add_material(13, 2, [])
    s.set_emitter(0, [0, 0, 1], 8)
    s.set_sensor(0, 4, 4, 6.0, 6.0, np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 5], [0, 0, 0, 1]], np.float32))
    s.add_instance(s.add_mesh(SQUARE * [6, 6, 1] - [3, 3, 0], NO_NORMALS, QUADS, 0), 0, 0, 0)
    s.add_instance(s.add_mesh(CUBE * [6, 6, 0.8] - [3, 3, 0], NO_NORMALS, CUBE_FACES, 1), 0, 0, 0.2)
    s.set_optical_turbid_media([1.5], [0], [1], [0.05], [-1, 0])


@pytest.mark.slow  # shares the media field shader of the test above
def test_forward_brf_of_a_black_leaf_slab_over_a_lambertian_ground(context):
    """Black leaves neither reflect nor transmit, so the nadir BRF is the ground's single
    scattering seen through the slab: brf = rho / pi * (ground irradiance) * exp(-LAD G(0) h),
    i.e. brf / terrain = rho / (pi (1 - rho)) * exp(-LAD G(0) h) photon by photon; the share of
    sun photons reaching the ground is binomial with p = exp(-LAD G(0) h). Every escape is upward
    (albedo = escaped) and the energy closes."""
    device, cpu = both_backends(context, black_leaf_slab)
    n = 4000
    r = device.simulate_forward_radiation(1, 1, np.float32([0, 1.2]), n, 2, False, 1.0, 8, 3, 0,
                                          brf_directions=np.float32([0, 0, 1]))
    rho = np.array([0.3, 0.4])
    t = np.exp(-1.5 * cpu.optical_turbid_medium(0)["g_function"][0] * 0.8)
    np.testing.assert_allclose(r["brf"][0] / r["terrain"], rho / (np.pi * (1 - rho)) * t, rtol=1e-4)
    reached = r["terrain"] / ((1 - rho) * r["incident"])
    np.testing.assert_allclose(reached[0], reached[1], rtol=1e-5)
    assert abs(reached[0] - t) <= 4 * np.sqrt(t * (1 - t) / n)
    np.testing.assert_allclose(r["albedo"], r["escaped"], rtol=1e-6)
    absorbed = r["grid"].sum(axis=(0, 1, 2)) + r["terrain"]
    assert np.all(np.abs(media_budget(r, absorbed)) < 1e-5)
