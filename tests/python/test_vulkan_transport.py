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

    media = tesk_gpu.VulkanSceneManager(context)
    media.set_num_bands(1)
    media.add_material(0, 0, [])
    media.add_instance(media.add_mesh(SQUARE, NO_NORMALS, QUADS, 0), 0, 0, 0)
    media.set_optical_turbid_media([1.0], [0], [1], [0.05], [0])
    media.build()
    with pytest.raises(RuntimeError, match="optical turbid media.*No fallback was performed\\.$"):
        media.simulate_lidar(o[:1], d[:1], 1)


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
