"""simulate_cpu: closed-form scenes, the product splits, determinism, progress, Ctrl-C and errors."""

import numpy as np
import pytest

import tesk_gpu

ALL_OUTPUTS = ("radiance", "standard_error", "event_aov", "scattering_order")


def add_quad(scene, size, height, material_id):
    """A square [0, size]^2 in the plane z = height (normal +z) as its own mesh and instance."""
    v = np.array([[0, 0, height], [size, 0, height], [size, size, height], [0, size, height]], np.float32)
    mesh = scene.add_mesh(v, np.zeros((0, 3), np.float32), np.array([[0, 1, 2], [0, 2, 3]]), material_id)
    scene.add_instance(mesh, 0.0, 0.0, 0.0)


def periodic_scene(spectra, size=10.0, width=8, height=8, camera_z=20.0):
    """A periodic tile [0, size]^2 seen from above by a nadir orthographic camera covering it."""
    scene = tesk_gpu.EmbreeSceneManager()
    scene.upload_spectral_params(np.asarray(spectra, np.float32))
    cam = np.array([1, 0, 0, size / 2, 0, 1, 0, size / 2, 0, 0, 1, camera_z, 0, 0, 0, 1], np.float32)
    scene.set_sensor(0, width, height, size, size, cam)
    scene.set_repetitive(5, size, size)
    return scene


def sun(theta_deg):
    t = np.radians(theta_deg)
    return np.array([np.sin(t), 0.0, np.cos(t)], np.float32)


def planck(nm, kelvin):
    h, c, k, lam = 6.62607015e-34, 299792458.0, 1.380649e-23, nm * 1e-9
    return 2 * h * c * c / lam**5 / np.expm1(h * c / (lam * k * kelvin)) * 1e-9


def image_mean_tolerance(result, sigmas=5.0):
    """Tolerance for the image mean from the reported per-pixel standard errors."""
    se = result["standard_error"]
    n_pixels = se.shape[0] * se.shape[1]
    return sigmas * np.sqrt(np.sum(se.astype(np.float64) ** 2, axis=(0, 1))) / n_pixels


def test_lambertian_ground_under_sun_and_under_uniform_sky():
    rho, e_sun, l_sky = np.array([0.2, 0.45]), np.array([1200.0, 700.0]), np.array([25.0, 40.0])
    scene = periodic_scene([*rho, *e_sun, *l_sky])
    scene.set_num_bands(2)
    scene.add_material(0, 0, [])
    add_quad(scene, 10.0, 0.0, 0)
    scene.set_emitter(0, sun(35.0), 2)
    scene.build()
    result = tesk_gpu.simulate_cpu(scene, spp=4, outputs=ALL_OUTPUTS)
    want = rho * e_sun * np.cos(np.radians(35.0)) / np.pi
    np.testing.assert_allclose(result["payload"], np.broadcast_to(want, (8, 8, 2)), rtol=1e-5)
    np.testing.assert_array_equal(result["event_aov"][0], result["payload"])  # scattered sunlight
    np.testing.assert_array_equal(result["scattering_order"][1], result["payload"])

    scene.set_emitter(0, sun(35.0), -1)  # no sun spectrum: no sun
    scene.set_sky(4)
    result = tesk_gpu.simulate_cpu(scene, spp=4, outputs=ALL_OUTPUTS)
    np.testing.assert_allclose(result["payload"], np.broadcast_to(rho * l_sky, (8, 8, 2)), rtol=1e-5)
    np.testing.assert_array_equal(result["event_aov"][2], result["payload"])  # light from outside


def uv_sphere(n_theta, n_phi):
    """Unit sphere with outward winding; its vertex normals are its vertices."""
    theta = np.linspace(0.0, np.pi, n_theta + 1)
    phi = np.linspace(0.0, 2 * np.pi, n_phi, endpoint=False)
    t, p = np.meshgrid(theta, phi, indexing="ij")
    v = np.stack([np.sin(t) * np.cos(p), np.sin(t) * np.sin(p), np.cos(t)], -1).reshape(-1, 3)
    i, j = np.meshgrid(np.arange(n_theta), np.arange(n_phi), indexing="ij")
    a, b = i * n_phi + j, i * n_phi + (j + 1) % n_phi
    c, d = a + n_phi, b + n_phi
    tris = np.concatenate([np.stack([a, c, d], -1).reshape(-1, 3), np.stack([a, d, b], -1).reshape(-1, 3)])
    return v.astype(np.float32), tris


def test_stretched_sphere_shades_with_the_normals_of_the_ellipsoid():
    # A rotated ellipsoid (semi-axes 2, 1, 0.5) lit by an oblique sun and seen from above: the
    # radiance is rho E cos / pi with the cosine taken from the ellipsoid's own normal, which the
    # sphere's normals mapped by the instance matrix (radial directions) miss by tens of degrees.
    rho, e_sun, size, n = 0.4, 1000.0, 5.0, 40
    scene = tesk_gpu.EmbreeSceneManager()
    scene.upload_spectral_params(np.array([rho, e_sun], np.float32))
    scene.set_num_bands(1)
    scene.add_material(0, 0, [])
    cam = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 10, 0, 0, 0, 1], np.float32)
    scene.set_sensor(0, n, n, size, size, cam)
    c, s = np.cos(0.5), np.sin(0.5)
    m = np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]]) @ np.diag([2.0, 1.0, 0.5])
    v, tris = uv_sphere(96, 192)
    mesh = scene.add_mesh(v, v, tris, 0)
    scene.add_instance_xform(mesh, np.hstack([m, [[0.1], [-0.2], [1.0]]]).astype(np.float32))
    light = sun(40.0)
    scene.set_emitter(0, light, 1)
    scene.build()
    image = tesk_gpu.simulate_cpu(scene, spp=64)["payload"][..., 0]

    def ellipsoid_cos(xx, yy):
        """Cosine of the sun on the ellipsoid's upper face above (xx, yy); NaN off the outline."""
        inv = np.linalg.inv(m)
        q = np.stack([xx - 0.1, yy + 0.2, np.zeros_like(xx)], -1) @ inv.T  # object-space feet
        dz = inv @ [0, 0, 1.0]  # object-space ray direction (any scale)
        b, cc = q @ dz, np.sum(q * q, -1) - 1  # |q + s dz| = 1 at the upper root
        disc = b * b - cc * (dz @ dz)
        p = q + ((-b + np.sqrt(np.where(disc > 0, disc, np.nan))) / (dz @ dz))[..., None] * dz
        normal = p @ inv  # inverse transpose of m applied to the sphere normal p
        return normal @ light / np.linalg.norm(normal, axis=-1)

    # Pixel means over an 8 x 8 grid of sub-pixel points; row y at camera -y first, column x at
    # camera -x first.
    sub = (np.arange(8 * n) + 0.5) / (8 * n) * size - size / 2
    cos = ellipsoid_cos(*np.meshgrid(sub, sub, indexing="ij")[::-1])
    cos = np.maximum(cos, 0).reshape(n, 8, n, 8).mean(axis=(1, 3))
    lit = cos > 0.2  # NaN (partly off the outline) compares false
    assert lit.sum() > 150
    # Pixels on steep slopes keep some sampling noise; radial normals are off by ~27 typically.
    error = np.abs(image[lit] - rho * e_sun * cos[lit] / np.pi)
    assert error.max() < 4.0 and np.median(error) < 0.5


def test_two_parallel_planes_follow_the_geometric_series():
    """A leaf layer (reflectance r, transmittance t) over a ground of reflectance g, both infinite
    by tiling, lit by the sun: order 1 is r E cos/pi, order 2k + 1 is t^2 g (r g)^(k-1) E cos/pi."""
    r, t, g, e_sun, theta = 0.3, 0.5, 0.6, 1000.0, 20.0
    scene = periodic_scene([r, r, t, g, e_sun], width=16, height=16)
    scene.add_material(13, 0, [r, t])  # leaf: band means drive the reflect/transmit choice
    scene.add_material(0, 3, [])
    add_quad(scene, 10.0, 0.0, 1)
    add_quad(scene, 10.0, 1.0, 0)
    scene.set_emitter(0, sun(theta), 4)
    scene.build()
    result = tesk_gpu.simulate_cpu(scene, spp=64, max_depth=24, outputs=ALL_OUTPUTS, max_output_order=3)

    unit = e_sun * np.cos(np.radians(theta)) / np.pi
    want = np.array([0.0, r, 0.0, t * t * g, t * t * g * (r * g) / (1 - r * g)]) * unit
    orders = result["scattering_order"][..., 0].astype(np.float64)
    assert orders.shape == (5, 16, 16)
    np.testing.assert_allclose(orders.sum(axis=0), result["payload"][..., 0], rtol=1e-5)
    n_pixels = 16 * 16
    for k in range(5):
        spread = 5 * orders[k].std() / np.sqrt(n_pixels)
        assert abs(orders[k].mean() - want[k]) <= spread + 1e-6 * unit, (k, orders[k].mean(), want[k])
    total = result["payload"][..., 0].astype(np.float64).mean()
    assert abs(total - want.sum()) <= image_mean_tolerance(result)[0]
    assert image_mean_tolerance(result)[0] > 0


def test_thermal_emission_is_planck_radiance():
    scene = periodic_scene([1.0])
    scene.add_material(0, 0, [0.0, 0.0, 300.0])  # emissivity 1 at 300 K
    add_quad(scene, 10.0, 0.0, 0)
    scene.set_thermal_mode(True, [10000.0])
    scene.build()
    result = tesk_gpu.simulate_cpu(scene, spp=2, outputs=("event_aov",))
    np.testing.assert_allclose(result["payload"], planck(10000.0, 300.0), rtol=1e-5)
    np.testing.assert_array_equal(result["event_aov"][3], result["payload"])


@pytest.fixture
def leafy_scene():
    """Leaves over a ground with sun and sky: a noisy image that uses every random draw."""
    scene = periodic_scene([0.3, 0.5, 0.6, 900.0, 30.0], width=12, height=10, camera_z=3.0)
    scene.add_material(13, 0, [0.3, 0.5])
    scene.add_material(0, 2, [])
    add_quad(scene, 10.0, 0.0, 1)
    add_quad(scene, 6.0, 1.0, 0)
    scene.set_emitter(0, sun(30.0), 3)
    scene.set_sky(4)
    scene.build()
    return scene


def test_results_do_not_depend_on_the_thread_count(leafy_scene):
    runs = [
        tesk_gpu.simulate_cpu(leafy_scene, spp=6, outputs=ALL_OUTPUTS, max_output_order=2, num_threads=n)
        for n in (1, 3, 1)
    ]
    for other in runs[1:]:
        for key in ("payload", *ALL_OUTPUTS[1:]):
            np.testing.assert_array_equal(runs[0][key], other[key])
    assert runs[0]["standard_error"].max() > 0


def test_progress_reports_every_pass_and_its_exceptions_stop_the_render(leafy_scene):
    calls = []
    tesk_gpu.simulate_cpu(leafy_scene, spp=5, progress=lambda *args: calls.append(args))
    assert [c[:2] for c in calls] == [(i, 5) for i in range(1, 6)]
    assert all(isinstance(c[0], int) and isinstance(c[2], float) for c in calls)
    assert [c[2] for c in calls] == sorted(c[2] for c in calls)

    def fail_on_second_pass(done, total, elapsed_ms):
        if done == 2:
            raise ZeroDivisionError("progress says stop")

    leafy_scene.set_sensor(0, 256, 256, 10.0, 10.0, np.array([1, 0, 0, 5, 0, 1, 0, 5, 0, 0, 1, 3], np.float32))
    with pytest.raises(ZeroDivisionError, match="progress says stop"):
        tesk_gpu.simulate_cpu(leafy_scene, spp=1_000_000, progress=fail_on_second_pass)


@pytest.mark.slow
def test_ctrl_c_interrupts_a_long_render(leafy_scene, ctrl_c):
    leafy_scene.set_sensor(0, 256, 256, 10.0, 10.0, np.array([1, 0, 0, 5, 0, 1, 0, 5, 0, 0, 1, 3], np.float32))
    with pytest.raises(KeyboardInterrupt):
        ctrl_c()
        tesk_gpu.simulate_cpu(leafy_scene, spp=1_000_000)  # hours if not interrupted


def test_unknown_material_absorbs():
    scene = periodic_scene([0.5, 10.0])
    scene.add_material(0, 0, [])
    add_quad(scene, 10.0, 0.0, 0)
    add_quad(scene, 5.0, 0.001, 7)  # no material 7: its hits end the path
    scene.set_sky(1)
    scene.build()
    image = tesk_gpu.simulate_cpu(scene, spp=2)["payload"][..., 0]
    assert np.all(image[:4, :4] == 0.0)
    np.testing.assert_allclose(image[4:, 4:], 5.0, rtol=1e-5)


def test_result_layout_and_execution_record(leafy_scene):
    result = tesk_gpu.simulate_cpu(leafy_scene, spp=1, outputs=["radiance"])
    assert list(result) == ["payload", "standard_error", "event_aov", "scattering_order", "_execution"]
    assert result["payload"].shape == (10, 12, 1) and result["payload"].dtype == np.float32
    assert result["standard_error"] is None and result["event_aov"] is None and result["scattering_order"] is None
    assert result["_execution"] == {
        "backend": "embree",
        "workflow": "optical_backward",
        "executor": "embree.cpu.optical_backward",
        "native": True,
    }
    result = tesk_gpu.simulate_cpu(leafy_scene, spp=1, outputs=ALL_OUTPUTS, max_output_order=0)
    assert result["scattering_order"].shape == (2, 10, 12, 1)
    assert result["event_aov"].shape == (4, 10, 12, 1)
    assert np.all(result["standard_error"] == 0.0)  # one pass has no spread
    assert np.all(tesk_gpu.simulate_cpu(leafy_scene, spp=2, max_depth=0)["payload"] == 0.0)


def test_argument_errors(leafy_scene):
    with pytest.raises(ValueError, match="^spp must be at least 1$"):
        tesk_gpu.simulate_cpu(leafy_scene, spp=0)
    with pytest.raises(ValueError, match="^unknown optical output name: albedo$"):
        tesk_gpu.simulate_cpu(leafy_scene, outputs=("radiance", "albedo"))
    with pytest.raises(ValueError, match="^max_output_order must be non-negative$"):
        tesk_gpu.simulate_cpu(leafy_scene, outputs=("scattering_order",), max_output_order=-1)
    tesk_gpu.simulate_cpu(leafy_scene, spp=1, max_output_order=-1)  # ignored without the split
    with pytest.raises(TypeError):
        tesk_gpu.simulate_cpu(leafy_scene, outputs=[1])
    with pytest.raises(TypeError):
        tesk_gpu.simulate_cpu(leafy_scene, progress=5)
    with pytest.raises(TypeError):
        tesk_gpu.simulate_cpu(None)
    with pytest.raises(RuntimeError, match="^Embree: build the scene before tracing rays$"):
        tesk_gpu.simulate_cpu(tesk_gpu.EmbreeSceneManager())


def test_max_depth_override_and_console_lines(monkeypatch, capfd):
    scene = periodic_scene([0.5, 10.0])
    scene.add_material(0, 0, [])
    add_quad(scene, 10.0, 0.0, 0)
    scene.set_sky(1)  # the ground needs one bounce to see the sky
    scene.build()
    monkeypatch.setenv("TESK_MAX_DEPTH", "1")
    assert np.all(tesk_gpu.simulate_cpu(scene, spp=1)["payload"] == 0.0)
    assert capfd.readouterr().out == "[CPU bwd] TESK_MAX_DEPTH=1\n"  # the run summary is logged instead
    monkeypatch.setenv("TESK_MAX_DEPTH", "zero")
    np.testing.assert_allclose(tesk_gpu.simulate_cpu(scene, spp=1)["payload"], 5.0, rtol=1e-5)
    assert "TESK_MAX_DEPTH" not in capfd.readouterr().out
