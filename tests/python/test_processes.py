"""Scene processes over mesh primitives: the static photosynthesis process against the leaf
solver, the coupled dynamic and energy-balance processes (energy closure, geometric relaxation,
isothermal enclosure, stomata and warming), and their request validation."""

import copy

import numpy as np
import pytest

import tesk_gpu

SIGMA = 5.6703744e-8
NO_NORMALS = np.zeros((0, 3), np.float32)
STATIC = tesk_gpu.execute_photosynthesis_process_static_cpu
DYNAMIC = tesk_gpu.execute_photosynthesis_process_dynamic_cpu
ENERGY = tesk_gpu.execute_energy_balance_process_cpu


def par_factor(wl):
    return np.where((wl >= 400) & (wl <= 700), wl * 1e-9 / 0.11962656 * 1e6, 0.0)


def static_request(rng, n=40, wavelengths=(450.0, 550.0, 650.0, 800.0)):
    nb = len(wavelengths)
    top = rng.uniform(0, 60, (n, nb)).astype(np.float32)
    bottom = rng.uniform(0, 10, (n, nb)).astype(np.float32)
    direct = (top * rng.uniform(0, 1, (n, 1))).astype(np.float32)
    return {
        "absorbed_top": top, "absorbed_bottom": bottom, "absorbed_direct": direct,
        "wavelengths": np.array(wavelengths, np.float32),
        "sunlit_fraction": rng.uniform(0, 1, n).astype(np.float32),
        "temperature_sunlit": rng.uniform(295, 310, n).astype(np.float32),
        "temperature_shaded": rng.uniform(290, 300, n).astype(np.float32),
        "material_ids": rng.integers(-1, 3, n).astype(np.int32),
        "material_active": np.array([1, 1, 0], np.int32),
        "material_fluorescent": np.array([1, 0, 1], np.int32),
        "vcmax25": np.array([60, 40, 50], np.float32), "jmax25": np.array([110, 80, 90], np.float32),
        "rd25": np.array([1.0, 0.7, 0.8], np.float32),
        "ball_berry_slope": np.array([9, 7, 8], np.float32),
        "ball_berry_intercept": np.array([0.01, 0.02, 0.01], np.float32),
        "quantum_yield": np.array([0.05, 0.04, 0.03], np.float32),
        "co2": 400.0, "relative_humidity": 0.6, "max_iterations": 50, "tolerance": 1e-3,
    }


def solve_direct(scene, req, m, apar, temperature):
    """The leaf solver called directly for one branch of the elements of material m."""
    n = len(apar)
    per = lambda key: np.full(n, req[key][m], np.float32)
    qy = per("quantum_yield") if req["material_fluorescent"][m] else np.zeros(n, np.float32)
    request = {
        "apar": np.asarray(apar, np.float32).reshape(n, 1), "temperature": np.asarray(temperature, np.float32),
        "co2": np.full(n, req["co2"], np.float32), "relative_humidity": np.full(n, req["relative_humidity"], np.float32),
        "vpd": np.zeros(n, np.float32), "pressure": np.full(n, 101.325, np.float32), "wind": np.ones(n, np.float32),
        "vcmax25": per("vcmax25"), "jmax25": per("jmax25"), "rd25": per("rd25"),
        "ball_berry_slope": per("ball_berry_slope"), "ball_berry_intercept": per("ball_berry_intercept"),
        "quantum_yield": qy, "max_iterations": req["max_iterations"], "tolerance": req["tolerance"],
    }
    return tesk_gpu.solve_physiology_cpu(scene, request)["payload"]


# ---- static process ----------------------------------------------------------------------------

def test_static_process_equals_the_leaf_solver_per_branch(scene, np_rng):
    req = static_request(np_rng)
    out = STATIC(scene, req)
    assert out["_execution"] == {"backend": "embree", "workflow": "photosynthesis_process_static",
                                 "executor": "embree.cpu.photosynthesis_process_static", "native": True}
    p = out["payload"]
    assert list(p) == ["temperature", "an", "gs", "phi_f", "apar", "temperature_sunlit", "temperature_shaded",
                       "sunlit_fraction", "apar_sunlit", "apar_shaded", "an_sunlit", "an_shaded",
                       "active_mask", "converged"]
    f, ids = req["sunlit_fraction"], req["material_ids"]
    # PAR from the spectra: 800 nm contributes nothing.
    factor = par_factor(req["wavelengths"].astype(np.float64))
    par = ((req["absorbed_top"] + req["absorbed_bottom"]) * factor).sum(1)
    direct = (req["absorbed_direct"] * factor).sum(1)
    active = (ids >= 0) & (req["material_active"][np.maximum(ids, 0)] == 1)
    np.testing.assert_array_equal(p["active_mask"], active.astype(np.uint8))
    np.testing.assert_allclose(p["apar"][active], par[active], rtol=1e-5)
    shaded = np.maximum(par - f * direct, 0)
    np.testing.assert_allclose(p["apar_shaded"][active], shaded[active], rtol=1e-4, atol=1e-3)
    np.testing.assert_allclose(p["apar_sunlit"][active], (direct + shaded)[active], rtol=1e-4, atol=1e-3)
    blend_t = f * req["temperature_sunlit"] + (1 - f) * req["temperature_shaded"]
    np.testing.assert_allclose(p["temperature"], blend_t, rtol=1e-6)
    for m in (0, 1):
        sel = ids == m
        sun = solve_direct(scene, req, m, p["apar_sunlit"][sel], req["temperature_sunlit"][sel])
        shade = solve_direct(scene, req, m, p["apar_shaded"][sel], req["temperature_shaded"][sel])
        np.testing.assert_array_equal(p["an_sunlit"][sel], sun["an"])
        np.testing.assert_array_equal(p["an_shaded"][sel], shade["an"])
        fs = f[sel]
        np.testing.assert_allclose(p["an"][sel], fs * sun["an"] + (1 - fs) * shade["an"], rtol=1e-5, atol=1e-6)
        np.testing.assert_allclose(p["gs"][sel], fs * sun["gs"] + (1 - fs) * shade["gs"], rtol=1e-5, atol=1e-7)
        phi = fs * sun["phi_f"] + (1 - fs) * shade["phi_f"]
        np.testing.assert_allclose(p["phi_f"][sel], phi if m == 0 else 0 * phi, rtol=1e-5, atol=1e-8)
        np.testing.assert_array_equal(p["converged"][sel], sun["converged"] & shade["converged"])
    # Inactive elements: zero physiology, blended temperature.
    for key in ("an", "gs", "phi_f", "apar", "converged"):
        assert not p[key][~active].any()
    assert (p["an"][active & (p["apar"] > 200)] > 0).all()


def test_par_band_edges_and_zero_sunlit_fraction(scene, np_rng):
    req = static_request(np_rng, n=2, wavelengths=(399.9, 400.0, 700.0, 700.1))
    req["absorbed_top"][:] = 10.0
    req["absorbed_bottom"][:] = 0.0
    req["absorbed_direct"][:] = 5.0
    req["material_ids"][:] = 0
    req["sunlit_fraction"][:] = 0.0
    p = STATIC(scene, req)["payload"]
    par = 10.0 * (par_factor(np.float64(400.0)) + par_factor(np.float64(700.0)))
    np.testing.assert_allclose(p["apar"], par, rtol=1e-6)
    direct = par / 2
    np.testing.assert_allclose(p["apar_shaded"], par, rtol=1e-6)
    np.testing.assert_allclose(p["apar_sunlit"], par + direct, rtol=1e-6)
    np.testing.assert_array_equal(p["an"], p["an_shaded"])


STATIC_ERRORS = [
    (lambda r: r.update(absorbed_top=r["absorbed_top"][:, :2]), "absorbed spectra must share shape [element, band]"),
    (lambda r: r.update(absorbed_top=np.zeros((0, 4), np.float32), absorbed_bottom=np.zeros((0, 4), np.float32),
                        absorbed_direct=np.zeros((0, 4), np.float32)), "photosynthesis n_elements must be positive"),
    (lambda r: r.update(material_active=np.zeros(0, np.int32)), "photosynthesis n_materials must be positive"),
    (lambda r: r.update(wavelengths=r["wavelengths"][:2]), "wavelengths buffer length mismatch"),
    (lambda r: r.update(material_fluorescent=r["material_fluorescent"][:2]), "material_fluorescent buffer length mismatch"),
    (lambda r: r["temperature_shaded"].__setitem__(3, np.nan), "temperature_shaded contains a non-finite value"),
    (lambda r: r.update(relative_humidity=1.5), "photosynthesis scalar input is outside its physical domain"),
    (lambda r: r.update(tolerance=0.0), "photosynthesis scalar input is outside its physical domain"),
    (lambda r: r["absorbed_direct"].__setitem__((0, 0), -1.0), "photosynthesis absorbed spectra cannot be negative"),
    (lambda r: r["material_ids"].__setitem__(0, 3), "photosynthesis element input is outside its domain"),
    (lambda r: r["sunlit_fraction"].__setitem__(0, 1.01), "photosynthesis element input is outside its domain"),
    (lambda r: r["material_active"].__setitem__(0, 2), "photosynthesis material input is outside its domain"),
    (lambda r: r["quantum_yield"].__setitem__(0, 1.5), "photosynthesis material input is outside its domain"),
]


@pytest.mark.parametrize("edit,message", STATIC_ERRORS)
def test_static_process_rejects_bad_requests(scene, np_rng, edit, message):
    req = static_request(np_rng, n=6)
    edit(req)
    with pytest.raises(ValueError, match="^" + message.replace("[", r"\[").replace("]", r"\]") + "$"):
        STATIC(scene, req)


# ---- coupled processes -------------------------------------------------------------------------

def square_mesh(scene, z, material=0, size=1.0, down=False):
    v = np.array([[0, 0, z], [size, 0, z], [size, size, z], [0, size, z]], np.float32)
    tris = [[0, 2, 1], [0, 3, 2]] if down else [[0, 1, 2], [0, 2, 3]]
    return scene.add_instance(scene.add_mesh(v, NO_NORMALS, tris, material), 0, 0, 0)


def new_scene(material_temperature=0.0):
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(1)
    scene.upload_spectral_params([0.5])
    scene.add_material(0, 0, [0.0, 0.0, material_temperature])
    return scene


def leaf_scene(n_leaves=1):
    scene = new_scene()
    for k in range(n_leaves):
        square_mesh(scene, 1.0 + k)
    scene.build()
    return scene


def dynamic_request(n, **overrides):
    full = lambda v: np.full(n, v, np.float32)
    r = {
        "active": np.ones(n, np.int32), "fluorescent": np.ones(n, np.int32), "apar": full(1200.0),
        "absorbed_shortwave": full(450.0), "initial_temperature": full(285.0), "emissivity": full(0.96),
        "sidedness": full(2.0), "leaf_width": full(0.05), "stomata_sides": full(1.0), "vcmax25": full(60.0),
        "jmax25": full(110.0), "rd25": full(1.0), "ball_berry_slope": full(9.0), "ball_berry_intercept": full(0.01),
        "quantum_yield": full(0.05), "co2": 400.0, "relative_humidity": 0.6, "air_temperature": 298.0,
        "vapor_pressure": 1500.0, "pressure": 101.325, "wind": 1.5, "sky_lw_radiance": 100.0, "n_samples": 16,
        "max_iterations": 60, "convergence_tolerance": 1e-3, "damping": 0.5, "physiology_max_iterations": 60,
        "physiology_tolerance": 1e-4,
    }
    r.update(overrides)
    return r


def test_dynamic_process_closes_each_leaf_budget_and_records_its_run():
    scene = leaf_scene(3)
    out = DYNAMIC(scene, dynamic_request(6))
    assert out["_execution"]["workflow"] == "photosynthesis_process_dynamic"
    p = out["payload"]
    assert list(p)[-5:] == ["active_mask", "element_converged", "iterations", "converged",
                            "final_max_temperature_change"]
    assert p["converged"] and p["element_converged"].all()
    budget = 450.0 + p["absorbed_longwave"] - p["emitted_longwave"] - p["sensible_heat"] - p["latent_heat"]
    # The leaf solve stops when its Newton step is below 1e-4 K; |dF/dT| is a few tens of W m^-2 K^-1.
    np.testing.assert_allclose(budget, 0.0, atol=0.05)
    np.testing.assert_allclose(p["net_radiation"], 450.0 + p["absorbed_longwave"] - p["emitted_longwave"],
                               rtol=1e-4, atol=1e-2)
    np.testing.assert_allclose(p["absorbed_longwave"], p["absorbed_longwave_top"] + p["absorbed_longwave_bottom"],
                               rtol=1e-6)
    # The final temperatures stay in the scene.
    np.testing.assert_array_equal(scene.get_primitive_temperatures(), p["temperature"])
    # The lower leaves see a leaf above instead of the cold sky.
    assert p["absorbed_longwave_top"][0] > p["absorbed_longwave_top"][4] + 15


def test_closed_stomata_leaf_is_warmer_than_transpiring_one():
    scene = leaf_scene(1)
    open_ = DYNAMIC(scene, dynamic_request(2))["payload"]
    shut = DYNAMIC(scene, dynamic_request(2, ball_berry_slope=np.zeros(2, np.float32),
                                          ball_berry_intercept=np.full(2, 1e-4, np.float32)))["payload"]
    assert (shut["latent_heat"] < 0.2 * open_["latent_heat"]).all()
    assert (shut["temperature"] > open_["temperature"] + 1.0).all()


def test_relaxation_shrinks_geometrically_and_counts_its_iterations():
    # A lone leaf under the sky receives the same longwave at every iteration (every sample
    # ray escapes), so T_k = T* + (1 - d)^k (T0 - T*) and the change of iteration k is
    # d (1 - d)^(k-1) |T0 - T*|.
    scene = leaf_scene(1)
    d, tol = 0.4, 1e-3
    one = DYNAMIC(scene, dynamic_request(2, damping=1.0, max_iterations=1))["payload"]
    t_star = float(one["temperature"][0])
    p = ENERGY(scene, energy_request(2, damping=d, convergence_tolerance=tol))["payload"]
    t_eq = float(p["temperature"][0])
    changes = np.array([h["max_dT"] for h in p["history"]])
    dt0 = abs(300.0 - t_eq)
    k = np.arange(1, len(changes) + 1)
    np.testing.assert_allclose(changes, d * (1 - d) ** (k - 1) * dt0, rtol=2e-3, atol=2e-5)
    expected_iterations = int(np.argmax(d * (1 - d) ** (k - 1) * dt0 < tol)) + 1
    assert abs(p["iterations"] - expected_iterations) <= 1 and p["converged"]
    assert [h["iteration"] for h in p["history"]] == list(k)
    dyn = DYNAMIC(scene, dynamic_request(2, damping=d, convergence_tolerance=tol))["payload"]
    assert abs(dyn["temperature"][0] - t_star) < 5 * tol
    assert dyn["converged"] and dyn["final_max_temperature_change"] < tol


def energy_request(n, **overrides):
    r = {
        "primitive_material_ids": np.zeros(n, np.int32), "material_active": np.array([1], np.int32),
        "material_initial_temperature": np.array([300.0], np.float32),
        "material_emissivity": np.array([1.0], np.float32), "material_sidedness": np.array([1.0], np.float32),
        "material_sensible_derivative": np.array([10.0], np.float32),
        "material_latent_coefficient": np.array([0.0], np.float32),
        "material_ground_heat": np.array([5.0], np.float32), "material_sw_albedo": np.array([0.2], np.float32),
        "air_temperature": 290.0, "vapor_pressure": 1000.0, "sky_lw_radiance": 90.0, "sw_direct": 600.0,
        "sw_diffuse_radiance": 20.0, "sun_dir_x": 0.3, "sun_dir_y": 0.0, "sun_dir_z": 1.0, "n_samples": 16,
        "max_iterations": 100, "convergence_tolerance": 1e-3, "damping": 1.0, "newton_max_iterations": 50,
        "newton_tolerance": 1e-4,
    }
    r.update(overrides)
    return r


def test_energy_balance_process_closes_budgets_and_reports_shortwave():
    scene = leaf_scene(1)
    out = ENERGY(scene, energy_request(2))
    assert out["_execution"]["executor"] == "embree.cpu.energy_balance_process"
    p = out["payload"]
    # An open plate: absorbed shortwave (1 - a)(E cos + pi L) on its one side, sky longwave pi L.
    cos = 1.0 / np.hypot(0.3, 1.0)
    np.testing.assert_allclose(p["absorbed_shortwave"], 0.8 * (600 * cos + np.pi * 20), rtol=1e-5)
    np.testing.assert_allclose(p["absorbed_longwave"], np.pi * 90, rtol=1e-5)
    budget = p["absorbed_shortwave"] + p["absorbed_longwave"] - p["emitted_longwave"] - p["sensible_heat"] \
        - p["latent_heat"] - p["ground_heat"]
    np.testing.assert_allclose(budget, 0.0, atol=1e-2)
    np.testing.assert_allclose(p["emitted_longwave"], SIGMA * p["temperature"] ** 4, rtol=1e-4)
    assert p["converged"] and p["iterations"] == 2  # damping 1: the second pass changes nothing


def enclosure_scene():
    """A closed 4 m box of six black walls (12 primitives) around a horizontal 2 m plate at
    half height (the last two primitives)."""
    scene = new_scene()
    square_mesh(scene, 0.0, size=4.0)
    square_mesh(scene, 4.0, size=4.0, down=True)
    v = np.array([[0, 0, 0], [4, 0, 0], [4, 0, 4], [0, 0, 4]], np.float32)
    for y in (0, 4):
        scene.add_instance(scene.add_mesh(v, NO_NORMALS, [[0, 1, 2], [0, 2, 3]], 0), 0, y, 0)
    w = np.array([[0, 0, 0], [0, 4, 0], [0, 4, 4], [0, 0, 4]], np.float32)
    for x in (0, 4):
        scene.add_instance(scene.add_mesh(w, NO_NORMALS, [[0, 1, 2], [0, 2, 3]], 0), x, 0, 0)
    plate = np.array([[1, 1, 2], [3, 1, 2], [3, 3, 2], [1, 3, 2]], np.float32)
    scene.add_instance(scene.add_mesh(plate, NO_NORMALS, [[0, 1, 2], [0, 2, 3]], 0), 0, 0, 0)
    scene.build()
    scene.set_primitive_emissivities(np.ones(scene.n_primitives(), np.float32))
    return scene


def test_isothermal_enclosure_settles_at_the_enclosure_temperature():
    # Walls held at 305 K (inactive), air at 305 K: every ray from the plate meets a wall, so the
    # fixed point is exact for a plain surface and for a transpiring leaf in saturated air.
    scene = enclosure_scene()
    n = scene.n_primitives()
    ids = np.zeros(n, np.int32)
    ids[-2:] = 1
    req = energy_request(n, primitive_material_ids=ids, material_active=np.array([0, 1], np.int32),
                         material_initial_temperature=np.array([305.0, 280.0], np.float32),
                         material_emissivity=np.ones(2, np.float32), material_sidedness=np.array([2.0, 2.0], np.float32),
                         material_sensible_derivative=np.array([0.0, 3.0], np.float32),
                         material_latent_coefficient=np.zeros(2, np.float32),
                         material_ground_heat=np.zeros(2, np.float32), material_sw_albedo=np.zeros(2, np.float32),
                         air_temperature=305.0, sw_direct=0.0, sw_diffuse_radiance=0.0, sky_lw_radiance=0.0)
    p = ENERGY(scene, req)["payload"]
    np.testing.assert_allclose(p["temperature"], 305.0, atol=2e-3)
    np.testing.assert_allclose(p["absorbed_longwave"][-2:], 2 * SIGMA * 305.0 ** 4, rtol=1e-5)
    assert p["active_mask"].tolist() == [0] * (n - 2) + [1, 1]
    leaf = np.zeros(n, np.int32)
    leaf[-2:] = 1
    celsius = 305.0 - 273.15
    saturated = 610.78 * np.exp(17.27 * celsius / (celsius + 237.3))
    d = DYNAMIC(scene, dynamic_request(n, active=leaf, initial_temperature=np.where(leaf, 290.0, 305.0).astype(np.float32),
                                       emissivity=np.ones(n, np.float32), apar=np.zeros(n, np.float32),
                                       absorbed_shortwave=np.zeros(n, np.float32), air_temperature=305.0,
                                       vapor_pressure=float(saturated), sky_lw_radiance=0.0))["payload"]
    assert d["converged"]
    np.testing.assert_allclose(d["temperature"], 305.0, atol=0.02)


def test_conditional_mode_blends_branches_and_a_failed_call_keeps_the_scene():
    scene = leaf_scene(1)
    before = np.array([301.0, 302.0], np.float32)
    scene.set_primitive_temperatures(before)
    req = dynamic_request(2, conditional=True, sunlit_fraction=np.array([0.25, 0.75], np.float32),
                          apar_sunlit=np.full(2, 1500.0, np.float32), apar_shaded=np.full(2, 200.0, np.float32),
                          shortwave_sunlit=np.full(2, 500.0, np.float32),
                          shortwave_shaded=np.full(2, 80.0, np.float32))
    p = DYNAMIC(scene, req)["payload"]
    f = p["sunlit_fraction"]
    np.testing.assert_allclose(p["an"], f * p["an_sunlit"] + (1 - f) * p["an_shaded"], rtol=1e-5)
    np.testing.assert_allclose(p["temperature"], f * p["temperature_sunlit"] + (1 - f) * p["temperature_shaded"],
                               rtol=1e-6)
    assert (p["temperature_sunlit"] > p["temperature_shaded"] + 1).all()
    scene.set_primitive_temperatures(before)
    bad = dict(req)
    bad["damping"] = 0.0
    with pytest.raises(ValueError, match="^energy balance scalar is outside its domain$"):
        DYNAMIC(scene, bad)
    with pytest.raises(RuntimeError, match="^native longwave result length does not match elements$"):
        DYNAMIC(scene, dynamic_request(3))
    np.testing.assert_array_equal(scene.get_primitive_temperatures(), before)


def arr(v, dtype=np.float32):
    return np.array(v, dtype)


COUPLED_ERRORS = [
    (DYNAMIC, dynamic_request, lambda r: r.update(active=np.zeros(0, np.int32)),
     ValueError, "dynamic photosynthesis n_elements must be positive"),
    (DYNAMIC, dynamic_request, lambda r: r.update(leaf_width=arr([0.05])), ValueError,
     "leaf_width buffer length mismatch"),
    (DYNAMIC, dynamic_request, lambda r: r["apar"].__setitem__(0, np.inf), ValueError,
     "apar contains a non-finite value"),
    (DYNAMIC, dynamic_request, lambda r: r.update(wind=float("nan")), ValueError,
     "dynamic photosynthesis scalar must be finite"),
    (DYNAMIC, dynamic_request, lambda r: r.update(sidedness=arr([2.5, 2.0])), ValueError,
     "energy balance element is outside its domain"),
    (ENERGY, energy_request, lambda r: r.update(primitive_material_ids=np.zeros(0, np.int32)), ValueError,
     "energy balance n_elements must be positive"),
    (ENERGY, energy_request, lambda r: r.update(material_emissivity=np.ones((1, 1), np.float32)), ValueError,
     "energy-balance material tables must be nonempty rank one arrays"),
    (ENERGY, energy_request, lambda r: r.update(material_ground_heat=arr([0, 0])), ValueError,
     "energy-balance material tables must have equal length"),
    (ENERGY, energy_request, lambda r: r.update(primitive_material_ids=arr([0, 1], np.int32)), ValueError,
     "primitive material id is outside material tables"),
    (ENERGY, energy_request, lambda r: r.update(sun_dir_x=float("inf")), ValueError,
     "energy balance scalar must be finite"),
    (ENERGY, energy_request, lambda r: r.update(sun_dir_x=0.0, sun_dir_z=0.0), ValueError,
     "energy balance scalar is outside its domain"),
    (ENERGY, energy_request, lambda r: r.update(material_sidedness=arr([2.5])), ValueError,
     "energy balance element is outside its domain"),
    (ENERGY, energy_request, lambda r: r.update(precomputed_shortwave=True, absorbed_shortwave_top=arr([1.0]),
                                                absorbed_shortwave_bottom=arr([1.0, 1.0])), ValueError,
     "absorbed_shortwave_top buffer length mismatch"),
]


@pytest.mark.parametrize("run,make,edit,kind,message", COUPLED_ERRORS)
def test_coupled_processes_reject_bad_requests_before_touching_the_scene(run, make, edit, kind, message):
    scene = leaf_scene(1)
    req = make(2)
    edit(req)
    with pytest.raises(kind, match="^" + message + "$"):
        run(scene, req)
    assert len(scene.get_primitive_temperatures()) == 0


def test_ctrl_c_stops_a_long_run_and_restores_the_scene(ctrl_c):
    scene = leaf_scene(2)
    before = np.array([301, 302, 303, 304], np.float32)
    scene.set_primitive_temperatures(before)
    with pytest.raises(KeyboardInterrupt):
        ctrl_c()
        DYNAMIC(scene, dynamic_request(4, n_samples=2_000_000_000, max_iterations=5))  # hours if not stopped
    np.testing.assert_array_equal(scene.get_primitive_temperatures(), before)
