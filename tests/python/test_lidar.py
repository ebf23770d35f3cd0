"""simulate_lidar_cpu: direct returns on planes and spheres, waveforms against the Lambertian LiDAR
equation, split footprints, leaf-medium attenuation and volume returns, range gating, threads,
progress, Ctrl-C, bad input; the scan-pattern helpers and the LAS writer of lidar."""

import numpy as np
import pytest

import tesk_gpu
from tesk_gpu import lidar

LIDAR = tesk_gpu.simulate_lidar_cpu
NO_NORMALS = np.zeros((0, 3), np.float32)
E, A = 2.0, 0.3  # pulse energy and receiver area used throughout


def unit(v):
    v = np.asarray(v, np.float64)
    return v / np.linalg.norm(v, axis=-1, keepdims=True)


def add_quad(scene, corners, material_id):
    """A quadrilateral (4 corners, counter-clockwise seen from its front) as its own instance."""
    mesh = scene.add_mesh(np.asarray(corners, np.float32), NO_NORMALS, np.array([[0, 1, 2], [0, 2, 3]]), material_id)
    scene.add_instance(mesh, 0.0, 0.0, 0.0)


def horizontal(lo, hi, z):
    return [[lo, lo, z], [hi, lo, z], [hi, hi, z], [lo, hi, z]]


def new_scene(spectra, materials):
    """A scene with the given spectral buffer and (kind, offset) materials; n_bands from the first."""
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(materials[0][2] if len(materials[0]) > 2 else 1)
    scene.upload_spectral_params(np.asarray(spectra, np.float32))
    for kind, offset, *_ in materials:
        scene.add_material(kind, offset, [])
    return scene


def footprint_cos3(S, half_angle):
    """Sum over the normalised footprint of w cos^3 of the sample's angle to the pulse axis: the
    factor a plane normal to the pulse puts on rho E A / (pi R^2) (range R / cos, cosine cos)."""
    g = 2.0 * np.arange(S + 1) / S - 1.0
    x, y = np.meshgrid(g, g)
    r2 = (x * x + y * y)[x * x + y * y <= 1.0001]
    w = np.exp(-0.5 * r2 / 0.50016385)
    cos = 1.0 / np.sqrt(1.0 + np.tan(half_angle) ** 2 * r2)
    return np.sum(w * cos**3) / np.sum(w)


def bins_of(r, lo, hi):
    """Sum of the waveform over pulse p's bins whose range lies in [lo, hi]."""
    ranges = (np.arange(r["waveform"].shape[1]) + 0.5) * 0.15
    return (ranges >= lo) & (ranges <= hi)


# ---- direct mode ---------------------------------------------------------------------------------

def test_direct_points_lie_on_a_tilted_plane_with_the_lidar_equation(np_rng):
    rho = 0.4
    scene = new_scene([rho], [(0, 0)])
    n = unit([np.sin(np.radians(30)) * np.cos(0.4), np.sin(np.radians(30)) * np.sin(0.4), np.cos(np.radians(30))])
    a = unit(np.cross(n, [0, 0, 1]))
    b = np.cross(n, a)
    p0 = np.array([1.0, -2.0, 3.0])
    add_quad(scene, [p0 + 60 * (sa * a + sb * b) for sa, sb in ((-1, -1), (1, -1), (1, 1), (-1, 1))], 0)
    scene.build()
    k = 300
    origins = np.column_stack([np_rng.uniform(-20, 20, (k, 2)), np.full(k, 40.0)]).astype(np.float32)
    directions = unit(np.column_stack([np_rng.uniform(-0.4, 0.4, (k, 2)), -np.ones(k)])).astype(np.float32)
    r = LIDAR(scene, origins, directions, k, pulse_energy=E, sensor_area=A, direct_mode=True)
    pts = r["points"]
    assert r["num_returns"] == k and pts.shape == (k, 8) and r["waveform"].size == 0
    assert np.array_equal(pts[:, 7], np.arange(k)) and np.all(pts[:, 4:6] == 1)
    assert np.max(np.abs((pts[:, :3] - p0) @ n)) < 2e-5 * 60
    rng = np.linalg.norm(pts[:, :3] - origins, axis=1)
    np.testing.assert_allclose(pts[:, 6], rng, rtol=1e-6)
    cos = np.abs(directions.astype(np.float64) @ n)
    np.testing.assert_allclose(pts[:, 3], cos * rho * E * A / (np.pi * rng**2), rtol=1e-5)
    assert r["_execution"] == {"backend": "embree", "workflow": "lidar_point_cloud",
                               "executor": "embree.cpu.lidar_point_cloud", "native": True}


def test_direct_points_of_a_terrestrial_scan_lie_on_the_sphere_around_it():
    scene = new_scene([0.5], [(0, 0)])
    sphere = tesk_gpu.make_sphere(5.0, [0.0, 0.0, 0.0], 3)
    scene.add_instance(scene.add_mesh(sphere["vertices"], sphere["normals"], sphere["indices"], 0), 1.0, 2.0, 3.0)
    scene.build()
    scan = lidar.terrestrial_scan([1.2, 2.3, 3.1], 7.0, 9.0, zenith_range_deg=(5.0, 175.0))
    r = LIDAR(scene, scan.pulse_origins, scan.pulse_directions, scan.num_pulses, direct_mode=True)
    assert r["num_returns"] == scan.num_pulses
    v, t = sphere["vertices"].astype(np.float64), sphere["indices"]
    faces = unit(np.cross(v[t[:, 1]] - v[t[:, 0]], v[t[:, 2]] - v[t[:, 0]]))
    inradius = np.min(np.abs(np.sum(faces * v[t[:, 0]], axis=1)))  # nearest facet plane to the centre
    d = np.linalg.norm(r["points"][:, :3] - [1.0, 2.0, 3.0], axis=1)
    assert d.min() >= inradius - 1e-5 and d.max() <= 5.0 + 1e-5


def test_direct_mode_gates_by_range():
    scene = new_scene([0.5], [(0, 0)])
    add_quad(scene, horizontal(-50, 50, 0.0), 0)
    scene.build()
    o = np.float32([[0.3, 0.2, 20.0], [0.3, 0.2, 5.0], [0.3, 0.2, 2.0]])
    d = np.float32([[0, 0, -1]] * 3)
    r = LIDAR(scene, o, d, 3, min_range=3.0, max_range=10.0, direct_mode=True)
    assert r["num_returns"] == 1 and r["points"][0, 7] == 1


# ---- waveform mode -------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def two_band_plane():
    scene = new_scene([0.2, 0.6], [(0, 0, 2)])
    add_quad(scene, horizontal(-100, 100, 0.0), 0)
    scene.build()
    return scene


def plane_pulse(scene, R, **kwargs):
    o, d = np.float32([[0.37, 0.21, R]]), np.float32([[0, 0, -1]])
    args = dict(beam_half_angle_rad=0.02, pulse_energy=E, sensor_area=A, num_wavelengths=2,
                waveforms=("convolved", "raw"))
    return LIDAR(scene, o, d, 1, **(args | kwargs))


def test_waveform_of_a_lambertian_plane_follows_the_lidar_equation(two_band_plane):
    energies = []
    for R in (20.0, 40.0):
        r = plane_pulse(two_band_plane, R)
        assert r["num_bins"] == int(100 / 0.15) + 1 and r["waveform"].shape == (1, r["num_bins"], 2)
        expected = np.array([0.2, 0.6]) * E * A / (np.pi * R**2) * footprint_cos3(10, 0.02)
        np.testing.assert_allclose(r["raw_waveform"][0].sum(axis=0), expected, rtol=2e-5)
        np.testing.assert_allclose(r["waveform"][0].sum(axis=0), expected, rtol=2e-5)  # the pulse keeps energy
        (x, y, z, intensity, number, count, rng, pulse), = r["points"]
        assert (number, count, pulse) == (1, 1, 0) and abs(rng - R) <= 0.15
        assert intensity == pytest.approx(r["waveform"][0].sum(axis=1).max(), rel=1e-6)
        assert (x, y) == pytest.approx((0.37, 0.21), abs=1e-5) and z == pytest.approx(R - rng, abs=1e-4)
        energies.append(r["raw_waveform"].sum())
    assert energies[1] / energies[0] == pytest.approx(0.25, rel=1e-5)
    assert r["_execution"]["executor"] == "embree.cpu.lidar_waveform"


def test_default_footprint_keeps_the_unit_disk_of_an_11_by_11_grid(two_band_plane, capfd):
    # With no divergence every sample hits the same spot: the weights alone must sum to one.
    r = plane_pulse(two_band_plane, 10.0, beam_half_angle_rad=0.0)
    assert "LiDAR (CPU): 1 pulses, 81 beam samples, waveform mode" in capfd.readouterr().out
    np.testing.assert_allclose(r["raw_waveform"][0].sum(axis=0), np.array([0.2, 0.6]) * E * A / (np.pi * 100),
                               rtol=1e-5)


def test_range_bins_and_gate_edge_cases(two_band_plane):
    # A return exactly on a bin boundary goes to the bin that starts there.
    r = plane_pulse(two_band_plane, 10.0, beam_samples_per_dim=-1, range_resolution=0.25)
    assert np.flatnonzero(r["raw_waveform"][0, :, 0]).tolist() == [40]
    # Fewer than three bins, or no returns wanted: energy in the waveform but no points.
    r = plane_pulse(two_band_plane, 10.0, min_range=9.9, max_range=10.1)
    assert r["num_bins"] == 2 and r["waveform"].sum() > 0 and r["num_returns"] == 0
    assert plane_pulse(two_band_plane, 10.0, max_returns_per_pulse=0)["num_returns"] == 0
    assert plane_pulse(two_band_plane, 10.0, peak_threshold=1.0)["num_returns"] == 0
    # Beyond the gate nothing is recorded.
    assert plane_pulse(two_band_plane, 30.0, max_range=25.0)["raw_waveform"].sum() == 0


def test_two_planes_split_the_footprint_into_two_returns_in_range_order():
    rho_near, rho_far, R1, R2 = 0.5, 0.3, 20.0, 23.0
    scene = new_scene([rho_near, rho_far], [(0, 0), (0, 1)])
    # The near plane ends on a line through the pulse axis at an odd angle: it covers half the
    # footprint (the footprint is symmetric under a half turn), the far plane sees the rest.
    axis = np.array([0.37, 0.21])
    t, nrm = unit([np.cos(0.3), np.sin(0.3)]), unit([-np.sin(0.3), np.cos(0.3)])
    near = [axis + 50 * t, axis + 50 * t + 50 * nrm, axis - 50 * t + 50 * nrm, axis - 50 * t]
    add_quad(scene, [[x, y, R2 - R1] for x, y in near], 0)
    add_quad(scene, horizontal(-100, 100, 0.0), 1)
    scene.build()
    r = LIDAR(scene, np.float32([[*axis, R2]]), np.float32([[0, 0, -1]]), 1, beam_half_angle_rad=0.01,
              beam_samples_per_dim=9, pulse_energy=E, sensor_area=A, waveforms=("raw",))
    pts = r["points"]
    assert r["num_returns"] == 2 and pts[:, 4].tolist() == [1, 2] and pts[:, 5].tolist() == [2, 2]
    assert abs(pts[0, 6] - R1) <= 0.15 and abs(pts[1, 6] - R2) <= 0.15
    half = 0.5 * E * A / np.pi * footprint_cos3(9, 0.01)
    raw = r["raw_waveform"][0, :, 0]
    assert raw[bins_of(r, R1 - 1, R1 + 1)].sum() == pytest.approx(half * rho_near / R1**2, rel=1e-5)
    assert raw[bins_of(r, R2 - 1, R2 + 1)].sum() == pytest.approx(half * rho_far / R2**2, rel=1e-5)
    assert r["waveform"].size == 0  # only the raw waveform was asked for


def slab(lai, leaf_type, rho, tau, ground_rho=0.4):
    """Ground at z = 0 under a 2 m leaf slab (a closed box medium) from z = 4 to 6, 400 m wide."""
    scene = new_scene([ground_rho, rho, rho, tau], [(0, 0), (13, 1)])
    add_quad(scene, horizontal(-400, 400, 0.0), 0)
    lo, hi = [-200, -200, 4.0], [200, 200, 6.0]
    v = np.float32([[hi[0] if i & 1 else lo[0], hi[1] if i & 2 else lo[1], hi[2] if i & 4 else lo[2]]
                    for i in range(8)])
    t = [[0, 2, 1], [1, 2, 3], [4, 5, 6], [5, 7, 6], [0, 1, 4], [1, 5, 4], [2, 6, 3], [3, 6, 7],
         [0, 4, 2], [2, 4, 6], [1, 3, 5], [3, 7, 5]]
    scene.add_instance(scene.add_mesh(v, NO_NORMALS, np.array(t), 1), 0.0, 0.0, 0.0)
    scene.set_optical_turbid_media([lai / 2.0], [leaf_type], [1], [0.05], [-1, 0])
    scene.build()
    return scene


def slanted_pulse(scene, zenith_deg, height=30.0, **kwargs):
    z = np.radians(zenith_deg)
    d = np.float32([[np.sin(z), 0.0, -np.cos(z)]])
    o = np.float32([[0.37 - height * np.tan(z), 0.21, height]])
    return LIDAR(scene, o, d, 1, pulse_energy=E, sensor_area=A, beam_samples_per_dim=-1,
                 waveforms=("raw",), **kwargs)


def G_at(scene, zenith_deg):
    G = np.asarray(scene.optical_turbid_medium(0)["g_function"], np.float64)
    return np.interp(zenith_deg, np.arange(91), G)


@pytest.mark.parametrize("zenith", [0.0, 35.0])
def test_black_leaf_slab_attenuates_the_ground_return_over_the_two_way_path(zenith):
    lai = 1.5
    scene = slab(lai, 1, 0.0, 0.0)  # planophile: G depends on the view angle
    bare = slab(0.0, 1, 0.0, 0.0)
    mu = np.cos(np.radians(zenith))
    with_leaves, without = (slanted_pulse(s, zenith)["raw_waveform"].sum() for s in (scene, bare))
    assert without == pytest.approx(0.4 * E * A * mu / (np.pi * (30.0 / mu) ** 2), rel=1e-5)
    assert with_leaves / without == pytest.approx(np.exp(-2 * G_at(scene, zenith) * lai / mu), rel=1e-4)
    # Black leaves return nothing themselves: a single return, from the ground.
    assert slanted_pulse(scene, zenith)["num_returns"] == 1


def test_leaf_slab_volume_return_against_quadrature():
    lai, rho, tau, zenith = 1.2, 0.3, 0.2, 20.0
    scene = slab(lai, 2, rho, tau)  # erectophile
    mu = np.cos(np.radians(zenith))
    u = lai / 2.0
    k = u * G_at(scene, zenith)
    beta = 0.5 * u * (0.375 - 0.125 * mu**2) * (rho + tau) / np.pi
    s0, s1, sg = 24.0 / mu, 26.0 / mu, 30.0 / mu  # entering, leaving the slab; the ground
    s = np.linspace(s0, s1, 200001)
    f = np.exp(-2 * k * (s - s0)) / s**2
    canopy = E * A * beta * np.sum(0.5 * (f[1:] + f[:-1]) * np.diff(s))
    ground = 0.4 * E * A * mu / (np.pi * sg**2) * np.exp(-2 * k * (s1 - s0))
    r = slanted_pulse(scene, zenith)
    raw = r["raw_waveform"][0, :, 0]
    assert raw[bins_of(r, s0 - 0.2, s1 + 0.2)].sum() == pytest.approx(canopy, rel=1e-4)
    assert raw[bins_of(r, s1 + 0.2, 1e9)].sum() == pytest.approx(ground, rel=1e-5)
    assert raw[bins_of(r, 0, s0 - 0.2)].sum() == 0
    # The canopy and the ground both stand out as returns, canopy first.
    pts = r["points"]
    assert r["num_returns"] == 2 and s0 < pts[0, 6] < s1 and abs(pts[1, 6] - sg) <= 0.15


def test_direct_mode_sees_through_media_to_the_first_surface():
    scene = slab(1.0, 0, 0.3, 0.2)
    r = slanted_pulse(scene, 0.0, direct_mode=True)
    (x, y, z, intensity, *_), = r["points"]
    assert z == pytest.approx(0.0, abs=1e-4)
    assert intensity == pytest.approx(0.4 * E * A / (np.pi * 900) * np.exp(-2 * 0.5 * 1.0), rel=1e-5)


# ---- runs, threads, progress ---------------------------------------------------------------------

@pytest.fixture(scope="module")
def small_forest():
    scene = new_scene([0.2, 0.45, 0.3], [(0, 0), (13, 1)])
    add_quad(scene, horizontal(-30, 30, 0.0), 0)
    sphere = tesk_gpu.make_sphere(1.0, [0.0, 0.0, 0.0], 2)
    crown = scene.add_mesh(sphere["vertices"], sphere["normals"], sphere["indices"], 1)
    rng = np.random.default_rng(3)
    xf = np.zeros((40, 3, 4), np.float32)
    xf[:, 0, 0] = xf[:, 1, 1] = xf[:, 2, 2] = rng.uniform(1.0, 2.5, 40)
    xf[:, :2, 3], xf[:, 2, 3] = rng.uniform(-20, 20, (40, 2)), rng.uniform(4, 8, 40)
    scene.add_instances_xform(crown, xf.reshape(40, 12))
    scene.build()
    return scene


def test_results_do_not_depend_on_the_thread_count(small_forest):
    scan = lidar.airborne_line_scan(60.0, 20.0, 2000.0, 40.0, 40.0, start=(-20.0, 0.0))
    runs = [LIDAR(small_forest, *scan[:2], scan.num_pulses, beam_half_angle_rad=0.003, beam_samples_per_dim=6,
                  num_threads=t) for t in (1, 2)]
    assert runs[0]["num_returns"] > scan.num_pulses  # crowns over ground give several returns
    for key in ("waveform", "points"):
        assert np.array_equal(runs[0][key], runs[1][key])
    assert np.all(np.diff(runs[0]["points"][:, 7]) >= 0)  # pulse order
    method = small_forest.simulate_lidar(*scan[:2], scan.num_pulses, beam_half_angle_rad=0.003,
                                         beam_samples_per_dim=6)
    assert np.array_equal(method["points"], runs[0]["points"])


def test_progress_reports_the_pulses_and_ctrl_c_stops_a_long_scan(small_forest, ctrl_c):
    calls = []
    o, d = np.float32([[0.3, 0.2, 50]] * 40), np.float32([[0, 0, -1]] * 40)
    LIDAR(small_forest, o, d, 40, progress=lambda *a: calls.append(a))
    assert calls and calls[-1][:2] == (40, 40) and isinstance(calls[-1][2], float)
    n = 2_000_000
    o, d = np.broadcast_to(o[0], (n, 3)), np.broadcast_to(d[0], (n, 3))
    with pytest.raises(KeyboardInterrupt):
        ctrl_c()
        LIDAR(small_forest, o, d, n, beam_samples_per_dim=20, waveforms=())  # minutes if not stopped


def test_no_pulses_give_empty_outputs(small_forest):
    r = LIDAR(small_forest, [], [], 0)
    assert r["points"].shape == (0, 8) and r["waveform"].shape == (0, r["num_bins"], 1) and r["num_returns"] == 0


# ---- bad input -----------------------------------------------------------------------------------

GOOD = dict(pulse_origins=[[0, 0, 10]], pulse_directions=[[0, 0, -1]], num_pulses=1)


@pytest.mark.parametrize("change, message", [
    (dict(pulse_origins=[[0, 0, 10], [1, 1, 10]]), "pulse_origins must hold 3 * num_pulses floats"),
    (dict(pulse_directions=[0, 0]), "pulse_directions must hold 3 * num_pulses floats"),
    (dict(pulse_origins=[0, np.nan, 1]), "pulse_origins must be finite"),
    (dict(pulse_directions=[0, 0, 0]), "pulse_directions must be finite and nonzero"),
    (dict(pulse_directions=[0, np.inf, 1]), "pulse_directions must be finite and nonzero"),
    (dict(range_resolution=0.0), "range_resolution must be finite and positive"),
    (dict(range_resolution=-0.1), "range_resolution must be finite and positive"),
    (dict(min_range=5.0, max_range=4.0), "min_range and max_range must be finite with min_range <= max_range"),
    (dict(max_range=np.inf), "min_range and max_range must be finite with min_range <= max_range"),
    (dict(beam_samples_per_dim=4096), "beam_samples_per_dim must be at most 4095"),
    (dict(beam_half_angle_rad=-0.1), "beam_half_angle_rad must be finite, non-negative and below pi/2"),
    (dict(beam_half_angle_rad=1.6), "beam_half_angle_rad must be finite, non-negative and below pi/2"),
    (dict(num_wavelengths=0), "num_wavelengths must be between 1 and the scene's band count"),
    (dict(num_wavelengths=4), "num_wavelengths must be between 1 and the scene's band count"),
    (dict(pulse_fwhm_ns=0.0), "pulse_fwhm_ns must be finite and positive"),
    (dict(pulse_energy=-1.0), "pulse_energy and sensor_area must be finite and non-negative"),
    (dict(sensor_area=np.nan), "pulse_energy and sensor_area must be finite and non-negative"),
    (dict(peak_threshold=np.nan), "peak_threshold must be finite"),
    (dict(waveforms=["raw", "bogus"]), "unknown waveform name: bogus"),
])
def test_bad_arguments_fail_with_their_message_before_any_work(small_forest, change, message):
    calls = []
    with pytest.raises(ValueError) as error:
        LIDAR(small_forest, **(GOOD | dict(progress=lambda *a: calls.append(a)) | change))
    assert str(error.value) == message and calls == []


def test_oversized_requests_fail_before_allocating(small_forest):
    with pytest.raises(OverflowError, match="LiDAR range gate exceeds 2147483647 bins"):
        LIDAR(small_forest, **GOOD, range_resolution=1e-30)
    with pytest.raises(MemoryError, match="LiDAR waveforms needs"):
        LIDAR(small_forest, np.zeros((10**6, 3)), np.tile([0, 0, -1.0], (10**6, 1)), 10**6, max_range=1e6)
    unbuilt = tesk_gpu.EmbreeSceneManager()
    unbuilt.set_num_bands(1)
    with pytest.raises(RuntimeError, match="build the scene"):
        LIDAR(unbuilt, **GOOD)


# ---- scan patterns and LAS output ----------------------------------------------------------------

def test_airborne_line_scan_sweeps_the_swath_across_the_track():
    scan = lidar.airborne_line_scan(100.0, 15.0, 5000.0, 50.0, 100.0, start=(1.0, 2.0), heading_deg=90.0)
    assert scan.num_pulses == 10001 and scan.pulse_origins.dtype == np.float32
    np.testing.assert_allclose(np.linalg.norm(scan.pulse_directions, axis=1), 1.0, rtol=1e-6)
    np.testing.assert_allclose(scan.pulse_origins[:, 2], 100.0)
    np.testing.assert_allclose(scan.pulse_origins[-1, :2], [1.0, 102.0], atol=1e-4)  # flew north
    assert np.all(np.abs(scan.pulse_directions[:, 1]) < 1e-6)  # the sweep is across the track (x)
    off_nadir = np.degrees(np.arccos(-scan.pulse_directions[:, 2]))
    assert off_nadir.max() == pytest.approx(15.0, abs=0.05) and off_nadir.max() <= 15.0 + 1e-4
    np.testing.assert_allclose(np.diff(scan.gps_time), 1 / 5000.0)


def test_terrestrial_scan_steps_in_azimuth_and_zenith():
    scan = lidar.terrestrial_scan([1, 2, 1.5], 10.0, 5.0, zenith_range_deg=(40.0, 90.0))
    assert scan.num_pulses == 36 * 11
    d = scan.pulse_directions.astype(np.float64)
    zen = np.degrees(np.arccos(d[:, 2]))
    np.testing.assert_allclose(zen[:11], np.arange(40.0, 91.0, 5.0), atol=1e-4)  # first column
    np.testing.assert_allclose(np.degrees(np.arctan2(d[11, 1], d[11, 0])), 10.0, atol=1e-4)
    assert np.all(scan.pulse_origins == np.float32([1, 2, 1.5]))


def test_las_file_reads_back_with_the_same_points(small_forest, tmp_path):
    laspy = pytest.importorskip("laspy")
    scan = lidar.airborne_line_scan(60.0, 20.0, 1000.0, 40.0, 30.0, start=(-10.0, 3.0))
    r = LIDAR(small_forest, *scan[:2], scan.num_pulses, beam_half_angle_rad=0.003, beam_samples_per_dim=4)
    pts = r["points"]
    path = tmp_path / "scan.las"
    lidar.write_las(path, pts, gps_time=scan.gps_time)
    las = laspy.read(path)
    assert str(las.header.version) == "1.4" and las.header.point_format.id == 6 and len(las.points) == len(pts)
    np.testing.assert_allclose(np.column_stack([las.x, las.y, las.z]), pts[:, :3], atol=1e-3)
    assert np.array_equal(np.asarray(las.return_number), pts[:, 4]) and np.array_equal(
        np.asarray(las.number_of_returns), pts[:, 5])
    np.testing.assert_allclose(las.gps_time, scan.gps_time[pts[:, 7].astype(int)])
    intensity = np.asarray(las.intensity, np.float64)
    assert intensity.max() == 65535 and np.all(np.diff(intensity[np.argsort(pts[:, 3])]) >= 0)
