"""run_energy_balance_cpu and run_energy_balance_multiband_cpu: closed-form irradiance of planes,
roofs, an isothermal box and a leaf layer over soil, sunlit fractions against the geometric
overlap, energy closure of multi-bounce transport, and the host contract."""

import numpy as np
import pytest

import tesk_gpu

EB, EBM = tesk_gpu.run_energy_balance_cpu, tesk_gpu.run_energy_balance_multiband_cpu
SIGMA = 5.6703744e-8
SQUARE = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], np.float32)
NO_NORMALS = np.zeros((0, 3), np.float32)


def square(scene, lo=(0.0, 0.0), hi=(1.0, 1.0), z=0.0, down=False, material=0):
    """A horizontal rectangle (two triangles) at height z, normal +z (or -z with `down`)."""
    (x0, y0), (x1, y1) = lo, hi
    v = np.array([[x0, y0, z], [x1, y0, z], [x1, y1, z], [x0, y1, z]], np.float32)
    tris = [[0, 2, 1], [0, 3, 2]] if down else [[0, 1, 2], [0, 2, 3]]
    return scene.add_instance(scene.add_mesh(v, NO_NORMALS, tris, material), 0, 0, 0)


def new_scene(temperature=0.0):
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(1)
    scene.upload_spectral_params([0.5])
    scene.add_material(0, 0, [0.0, 0.0, temperature])
    return scene


def sun(zenith_deg, azimuth_deg=0.0):
    t, p = np.radians(zenith_deg), np.radians(azimuth_deg)
    return [float(np.sin(t) * np.cos(p)), float(np.sin(t) * np.sin(p)), float(np.cos(t))]


def optics(n_prims, per_prim):
    """Band-major flat arrays (one band) from {primitive: value}, 0 elsewhere."""
    a = np.zeros(n_prims, np.float32)
    for p, v in per_prim.items():
        a[p] = v
    return a


# ---- closed forms --------------------------------------------------------------------------------

@pytest.mark.parametrize("zenith", [0.0, 35.0, 70.0])
def test_open_plane_receives_sun_and_sky_exactly(zenith):
    scene = new_scene()
    square(scene, (-1, -1), (2, 1.5))
    scene.build()
    e, sky = 3.0, 0.2
    s = sun(zenith, 40.0)
    top, bot = EB(scene, 64, 8, 0, e, sky, 0.0, *s)
    # Every sample ray escapes and every origin sees the sun: no Monte Carlo error at all.
    np.testing.assert_allclose(top, e * np.cos(np.radians(zenith)) + np.pi * sky, rtol=1e-5)
    np.testing.assert_allclose(bot, np.pi * sky, rtol=1e-5)
    payload = EBM(scene, 2, 64, 4, [e, 2 * e], [sky, 0.0], None, *s)["payload"]
    np.testing.assert_allclose(payload["top"][0], top, rtol=1e-5)
    np.testing.assert_allclose(payload["top"][1], 2 * e * np.cos(np.radians(zenith)), rtol=1e-5)
    np.testing.assert_allclose(payload["sunlit_fraction"], 1.0)


def periodic_layers(scene, heights, reps=30):
    """Horizontal layers covering the unit tile of an infinite periodic scene, one per height."""
    scene.set_repetitive(reps, 1.0, 1.0)
    for z in heights:
        square(scene, z=z)
    scene.build()


@pytest.mark.parametrize("tau", [0.0, 0.35])
def test_plane_under_a_roof_receives_what_the_roof_transmits(tau):
    scene = new_scene()
    periodic_layers(scene, [0.0, 0.5])  # primitives 0, 1: ground; 2, 3: roof
    e, sky, s = 2.0, 0.1, sun(30.0, 10.0)
    t = optics(4, {2: tau, 3: tau})
    top, bot, lit = scene.run_energy_balance_multiband(1, 32, 8, [e], [sky], None, *s,
                                                       sw_reflectance=np.zeros(4), sw_transmittance=t)
    # A diffusely transmitting roof passes tau of the sun and the sky; each sample is exact.
    np.testing.assert_allclose(top[0, :2], tau * (e * np.cos(np.radians(30.0)) + np.pi * sky), rtol=1e-4, atol=1e-6)
    np.testing.assert_allclose(lit, [0, 0, 1, 1])
    single_top, _ = EB(scene, 32, 8, 0, e, sky, 0.0, *s)
    np.testing.assert_allclose(single_top[:2], 0.0, atol=1e-7)  # opaque to the single-band estimator


@pytest.mark.parametrize("emissivity, use_overrides", [(1.0, True), (0.8, True), (0.97, False)])
def test_isothermal_box_longwave(emissivity, use_overrides):
    temperature = 300.0
    scene = new_scene(temperature=0.0 if use_overrides else temperature)
    box = np.array([[x, y, z] for z in (0, 2) for y in (0, 2) for x in (0, 2)], np.float32)
    outward = [[0, 2, 3], [0, 3, 1], [4, 5, 7], [4, 7, 6], [0, 1, 5], [0, 5, 4],
               [2, 6, 7], [2, 7, 3], [0, 4, 6], [0, 6, 2], [1, 3, 7], [1, 7, 5]]
    faces = [f[::-1] for f in outward]  # top faces inside
    scene.add_instance(scene.add_mesh(box, NO_NORMALS, faces, 0), 0, 0, 0)
    leaf = np.array([[0.5, 0.6, 0.7], [1.4, 0.5, 1.2], [1.0, 1.5, 1.0]], np.float32)
    scene.add_instance(scene.add_mesh(leaf, NO_NORMALS, [[0, 1, 2]], 0), 0, 0, 0)
    scene.build()
    if use_overrides:
        scene.set_primitive_temperatures(np.full(13, temperature))
        scene.set_primitive_emissivities(np.full(13, emissivity))
    top, bot = EB(scene, 48, 8, 1, None, None, 123.0)
    # Every ray meets a wall at temperature T: first-surface emission e sigma T^4 on every face.
    expected = emissivity * SIGMA * temperature**4
    np.testing.assert_allclose(top, expected, rtol=1e-5)
    np.testing.assert_allclose(bot[12], expected, rtol=1e-5)


def test_leaf_layer_over_lambertian_ground_matches_the_closed_form():
    scene = new_scene()
    periodic_layers(scene, [0.0, 0.3])  # ground 0, 1; leaf layer 2, 3
    e, rho_g, r_front, r_back, tau = 1.5, 0.3, 0.1, 0.2, 0.4
    n = 2048
    top, bot, _ = scene.run_energy_balance_multiband(
        1, n, 64, [e], None, None, 0.0, 0.0, 1.0,
        sw_reflectance=optics(4, {0: rho_g, 1: rho_g, 2: r_front, 3: r_front}),
        sw_back_reflectance=optics(4, {2: r_back, 3: r_back}), sw_transmittance=optics(4, {2: tau, 3: tau}))
    ground = tau * e / (1 - rho_g * r_back)  # transmitted light, multiply reflected in the gap
    # Per-sample values lie within [0, 2 * expected]: the mean of 2 n samples is well inside 4 sigma.
    tol = 4 * 2 * ground / np.sqrt(2 * n)
    assert abs(top[0, :2].mean() - ground) < tol
    assert abs(bot[0, 2:].mean() - rho_g * ground) < rho_g * tol
    np.testing.assert_allclose(top[0, 2:], e, rtol=1e-5)


def test_multiband_with_one_band_equals_single_band():
    # A white ground fully in the sun and a black leaf beside it whose shadow falls off the ground.
    scene = new_scene()
    square(scene, (0, 0), (1, 1))
    square(scene, (1.1, 0), (2.1, 1), z=0.5)
    scene.build()
    s, e, a, n = sun(60.0, 180.0), 2.0, 0.7, 4096
    albedo = optics(4, {0: a, 1: a})
    top, bot = EB(scene, n, 8, 0, e, None, 0.0, *s, sw_albedos=albedo)
    payload = EBM(scene, 1, n, 8, [e], None, None, *s, sw_albedos=albedo)["payload"]
    # Leaf bottoms see the sunlit ground with some probability p: a binomial count of value a E cos.
    scale = a * e * s[2]
    tol = 4 * scale * np.sqrt(2 * 0.25 / n)
    np.testing.assert_allclose(payload["bot"][0], bot, atol=tol)
    np.testing.assert_allclose(payload["top"][0], top, atol=tol)
    assert bot[2:].min() > 0.02 * scale  # the comparison is not between zeros


def test_sunlit_fraction_matches_the_geometric_overlap():
    scene = new_scene()
    square(scene)
    square(scene, z=1.0)
    scene.build()
    n = 4096
    s = np.array([0.5, 0.0, 1.0]) / np.hypot(0.5, 1.0)  # shadow of the upper leaf shifts by 0.5 in x
    _, _, lit = scene.run_energy_balance_multiband(1, n, 1, [1.0], None, None, *s, two_sided=False)
    # Triangle (0,0),(1,0),(1,1) has 1/4 of its area at x < 0.5, triangle (0,0),(1,1),(0,1) 3/4.
    expected = np.array([0.75, 0.25, 1.0, 1.0])
    np.testing.assert_allclose(lit, expected, atol=4 * np.sqrt(0.25 * 0.75 / n))


def test_shortwave_energy_closure_of_a_periodic_canopy():
    """Sky light enters through a fully transmitting sheet at the top of an infinite canopy; what
    its bottom face receives is what leaves. Absorbed plus leaving must equal what enters."""
    scene = new_scene()
    scene.set_repetitive(40, 1.0, 1.0)
    square(scene)  # ground: 0, 1
    rng = np.random.default_rng(3)
    for k in range(6):  # tilted leaves: 2 triangles each
        c = rng.uniform(0.1, 0.9, 3) * [1, 1, 0.6] + [0, 0, 0.2]
        u, w = rng.normal(size=3), rng.normal(size=3)
        v = np.array([c, c + 0.3 * u / np.linalg.norm(u), c + 0.3 * w / np.linalg.norm(w)], np.float32)
        scene.add_instance(scene.add_mesh(v, NO_NORMALS, [[0, 1, 2]], 0), 0, 0, 0)
    sheet = square(scene, z=1.0)
    scene.build()
    n_p = scene.n_primitives()
    r_f = optics(n_p, {0: 0.25, 1: 0.25} | {p: 0.1 for p in range(2, 8)})
    r_b = optics(n_p, {p: 0.15 for p in range(2, 8)})
    t = optics(n_p, {p: 0.45 for p in range(2, 8)} | {8: 1.0, 9: 1.0})
    sky, n = 0.3, 1024
    top, bot, _ = scene.run_energy_balance_multiband(1, n, 100, None, [sky], None, 0.0, 0.0, 1.0,
                                                     sw_reflectance=r_f, sw_back_reflectance=r_b,
                                                     sw_transmittance=t)
    area = scene.get_primitive_areas()
    # The isotropic sky also lies below the scene: the ground's underside absorbs that on its own.
    bot_in_canopy = np.where(np.arange(n_p) < 2, 0.0, bot[0])
    absorbed = np.sum(area * ((1 - r_f - t) * top[0] + (1 - r_b - t) * bot_in_canopy))
    entering = np.sum(area[8:] * top[0, 8:])
    leaving = np.sum(area[8:] * bot[0, 8:])
    assert entering == pytest.approx(np.pi * sky, rel=1e-5)
    # Every per-sample value lies in [0, pi sky], so each face mean has sigma <= pi sky / (2 sqrt n);
    # the faces' errors are independent and enter with their area times their weight.
    weights = np.concatenate([area * (1 - r_f - t), area * (1 - r_b - t) * (np.arange(n_p) >= 2), area[8:]])
    sigma = np.pi * sky / (2 * np.sqrt(n)) * np.sqrt(np.sum(weights**2))
    assert absorbed + leaving == pytest.approx(entering, abs=4 * sigma)
    assert 0.1 * entering < absorbed < 0.9 * entering


# ---- the host contract ---------------------------------------------------------------------------

@pytest.fixture
def lit_square():
    scene = new_scene()
    square(scene)
    square(scene, (0.2, 0.2), (0.8, 0.8), z=0.5)
    scene.build()
    return scene


def test_results_do_not_depend_on_the_thread_count(lit_square):
    kw = dict(sw_albedos=np.full(4, 0.4), sun_dir_x=0.3)
    one = EB(lit_square, 20000, 8, 0, 1.0, 0.1, num_threads=1, **kw)  # several chunks per run
    two = EB(lit_square, 20000, 8, 0, 1.0, 0.1, num_threads=2, **kw)
    np.testing.assert_array_equal(one, two)
    a = EBM(lit_square, 1, 20000, 4, [1.0], [0.1], num_threads=1, **kw)["payload"]
    b = EBM(lit_square, 1, 20000, 4, [1.0], [0.1], num_threads=2, **kw)["payload"]
    for key in a:
        np.testing.assert_array_equal(a[key], b[key])


def test_result_shapes_and_records(lit_square):
    top, bot = EB(lit_square, two_sided=False)
    assert top.dtype == np.float32 and top.shape == (4,) and bot.shape == (0,)
    result = EBM(lit_square, 3, 4, sun_irradiance=[1, 2, 3])
    assert set(result) == {"payload", "_execution"}
    assert result["_execution"] == {"backend": "embree", "workflow": "radiation_field_process",
                                    "executor": "embree.cpu.radiation_field_process", "native": True}
    assert {k: v.shape for k, v in result["payload"].items()} == {"top": (3, 4), "bot": (3, 4),
                                                                  "sunlit_fraction": (4,)}
    assert all(v.size == 0 for v in EBM(lit_square, 0)["payload"].values())
    empty = tesk_gpu.EmbreeSceneManager()
    assert [a.size for a in EB(empty)] == [0, 0]  # no primitives: nothing to do, built or not


def expect(kind, message, call, *args, **kwargs):
    with pytest.raises(kind) as err:
        call(*args, **kwargs)
    assert str(err.value) == message


def test_bad_input_is_refused_before_any_work(lit_square, capfd):
    calls = []
    progress = lambda *a: calls.append(a)  # noqa: E731
    cases = [
        (EBM, (3,), {"sun_irradiance": [1, 2]}, "sun_irradiance must have shape [n_bands]"),
        (EBM, (2,), {"sky_diffuse_radiance": [[1, 2]]}, "sky_diffuse_radiance must have shape [n_bands]"),
        (EBM, (2,), {"sky_directional_table": np.zeros((2, 32, 16))},
         "sky_directional_table must have shape [n_bands, 16, 32]"),
        (EBM, (1,), {"sw_albedos": np.zeros((1, 4))}, "sw_albedos must be 1D (flattened [n_bands * n_prims])"),
        (EBM, (2,), {"sw_albedos": np.zeros(4)}, "sw_albedos must hold n_bands * n_primitives values"),
        (EBM, (1,), {"sw_transmittance": np.zeros(5)}, "sw_transmittance must hold n_bands * n_primitives values"),
        (EBM, (1, 0), {}, "n_samples must be positive"),
        (EBM, (1, 4, 0), {}, "max_depth must be positive"),
        (EB, (), {"sw_albedos": np.zeros(3)}, "sw_albedos must hold n_primitives values"),
        (EB, (), {"band_type": 2}, "band_type must be 0 (shortwave) or 1 (longwave)"),
        (EB, (), {"sun_dir_z": 0.0}, "sun direction must be finite and nonzero"),
        (EB, (), {"sun_irradiance": [1.0, 2.0]}, "sun_irradiance must be a number or None"),
        (EB, (-1,), {}, "n_samples must be positive"),
    ]
    for call, args, kwargs, message in cases:
        expect(ValueError, message, call, lit_square, *args, progress=progress, **kwargs)
    assert not calls and "Energy balance" not in capfd.readouterr().out
    expect(RuntimeError, "Embree: build the scene before tracing rays", EB, new_scene_with_square())
    lit_square.set_optical_turbid_media([1.0], [0], [1], [0.0], [0])
    expect(ValueError, "energy balance does not trace optical turbid media", EB, lit_square)


def new_scene_with_square():
    scene = new_scene()
    square(scene)
    return scene


def test_progress_and_the_scene_guard(lit_square):
    calls = []
    EB(lit_square, 16, progress=lambda *a: calls.append(a))
    assert calls[-1][:2] == (4, 4) and isinstance(calls[-1][2], float)

    def change(done, total, elapsed_ms):
        lit_square.set_primitive_temperatures(np.zeros(4))

    expect(RuntimeError, "scene is in use by a running workflow and cannot be changed", EBM, lit_square, 1,
           progress=change)
    assert lit_square.get_primitive_temperatures().size == 0


@pytest.mark.slow
def test_ctrl_c_interrupts_a_long_run(lit_square, ctrl_c):
    with pytest.raises(KeyboardInterrupt):
        ctrl_c()
        EB(lit_square, 2**30)  # hours if not interrupted
