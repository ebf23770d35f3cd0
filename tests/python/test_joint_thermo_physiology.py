"""_execute_joint_thermo_physiology_embree over mesh primitives: the committed state is a fixed
point, leaves follow the ground's temperature, a failing call changes nothing, and the request
validation in its documented order."""

import numpy as np
import pytest

import tesk_gpu

JOINT = tesk_gpu._execute_joint_thermo_physiology_embree
NO_NORMALS = np.zeros((0, 3), np.float32)


def square(scene, z, lo, hi):
    v = np.array([[lo, lo, z], [hi, lo, z], [hi, hi, z], [lo, hi, z]], np.float32)
    return scene.add_instance(scene.add_mesh(v, NO_NORMALS, [[0, 1, 2], [0, 2, 3]], 0), 0, 0, 0)


def canopy_scene():
    """A 6 m ground square (primitives 0, 1) under a 1 m leaf at 0.3 m (primitives 2, 3)."""
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(1)
    scene.upload_spectral_params([0.5])
    scene.add_material(0, 0, [0.0, 0.0, 0.0])
    square(scene, 0.0, -3.0, 3.0)
    square(scene, 0.3, -0.5, 0.5)
    scene.build()
    return scene


def joint_request(ground_temperature=300.0, **overrides):
    n = 4
    full = lambda v: np.full(n, v, np.float32)
    leaf = np.array([False, False, True, True])
    r = {
        "stable_ids": np.array([11, 12, 21, 22], np.uint64), "representation_codes": np.zeros(n, np.int32),
        "mode_codes": np.where(leaf, 3, 0).astype(np.int32), "local_indices": np.arange(n, dtype=np.int32),
        "farquhar_indices": np.where(leaf, 0, -1).astype(np.int32), "areas": full(1.0),
        "dynamic": leaf.astype(np.int32),
        "initial_temperature": np.where(leaf, 295.0, ground_temperature).astype(np.float32),
        "initial_temperature_sunlit": full(295.0), "initial_temperature_shaded": full(295.0),
        "sunlit_fraction": full(0.6), "emissivity": full(0.97), "sidedness": np.where(leaf, 2.0, 1.0).astype(np.float32),
        "sensible_derivative": full(0.0), "latent_coefficient": full(0.0), "ground_heat": full(0.0),
        "absorbed_shortwave": full(0.0), "absorbed_shortwave_sunlit": full(400.0),
        "absorbed_shortwave_shaded": full(60.0), "apar": full(900.0), "apar_sunlit": full(1500.0),
        "apar_shaded": full(200.0), "leaf_width": full(0.05), "stomata_sides": full(1.0), "vcmax25": full(60.0),
        "jmax25": full(110.0), "rd25": full(1.0), "ball_berry_slope": full(9.0), "ball_berry_intercept": full(0.01),
        "quantum_yield": full(0.05), "max_iterations": 60, "convergence_tolerance": 1e-3, "energy_tolerance": 0.5,
        "physiology_tolerance": 1e-3, "damping": 0.7,
        "microclimate": {"air_temperature": 298.0, "co2": 400.0, "relative_humidity": 0.5, "pressure": 101.325,
                         "wind_speed": 1.0},
        "vapor_pressure": 1500.0, "sky_lw_radiance": 100.0, "rays_per_element": 64, "max_depth": 4,
    }
    r.update(overrides)
    return r


def test_committed_state_is_a_fixed_point_and_is_installed_in_the_scene():
    scene = canopy_scene()
    out = JOINT(scene, joint_request())
    assert list(out)[:4] == ["backend", "workflow", "executor", "native"]
    assert (out["workflow"], out["executor"]) == ("joint_thermo_physiology", "embree.cpp.joint_thermo_physiology")
    assert out["converged"] and out["iterations"] < 60
    assert out["max_temperature_change"] <= 1e-3 and out["max_energy_residual"] <= 0.5
    assert {"mesh", "turbid"} <= set(out)
    f = out["sunlit_fraction"]
    for key in ("temperature", "an", "gs", "net_radiation", "sensible_heat", "latent_heat"):
        np.testing.assert_allclose(out[key][2:], f[2:] * out[key + "_sunlit"][2:] + (1 - f[2:]) * out[key + "_shaded"][2:],
                                   rtol=1e-5, atol=1e-6)
    # The prescribed ground keeps its temperature.
    np.testing.assert_array_equal(out["temperature"][:2], [300.0, 300.0])
    np.testing.assert_allclose(scene.get_primitive_temperatures(), out["temperature"], rtol=1e-6)
    np.testing.assert_allclose(scene.get_primitive_emissivities(), 0.97)
    # The committed state travels with the scene (a restored scene snapshots to the same bytes).
    import pickle

    assert pickle.loads(pickle.dumps(scene)).__getstate__() == scene.__getstate__()
    # One more iteration from the committed state moves nothing beyond the tolerance (the
    # longwave transport draws the same samples for the same temperatures).
    again = JOINT(scene, joint_request(initial_temperature_sunlit=out["temperature_sunlit"],
                                       initial_temperature_shaded=out["temperature_shaded"], max_iterations=1))
    assert again["iterations"] == 1 and again["max_temperature_change"] <= 1e-3
    np.testing.assert_allclose(again["temperature"], out["temperature"], atol=1e-3)
    assert again["joint_state_id"] > out["joint_state_id"]


def test_leaves_above_a_warmer_ground_are_warmer():
    cool = JOINT(canopy_scene(), joint_request(290.0))
    warm = JOINT(canopy_scene(), joint_request(320.0))
    assert (warm["absorbed_longwave"][2:] > cool["absorbed_longwave"][2:] + 50).all()
    assert (warm["temperature"][2:] > cool["temperature"][2:] + 0.5).all()


def test_energy_balance_elements_and_exact_tolerances():
    scene = canopy_scene()
    req = joint_request(mode_codes=np.array([1, 0, 1, 1], np.int32), farquhar_indices=np.full(4, -1, np.int32),
                        dynamic=np.array([1, 0, 1, 1], np.int32), sensible_derivative=np.full(4, 15.0, np.float32),
                        absorbed_shortwave=np.full(4, 300.0, np.float32), damping=1.0)
    out = JOINT(scene, req)
    assert out["converged"] and out["max_energy_residual"] < 0.5
    budget = out["net_radiation"] - out["sensible_heat"] - out["latent_heat"]
    np.testing.assert_allclose(budget[[0, 2, 3]], 0.0, atol=0.5)
    # A tolerance equal to the reached maximum counts as converged, after a single iteration.
    first = JOINT(scene, dict(req, max_iterations=1, convergence_tolerance=1e6, energy_tolerance=1e6,
                              physiology_tolerance=1e6))
    assert first["iterations"] == 1 and first["converged"]


def test_failing_calls_leave_the_scene_unchanged():
    scene = canopy_scene()
    scene.set_primitive_temperatures(np.array([280, 281, 282, 283], np.float32))
    turbid = joint_request(representation_codes=np.array([0, 0, 1, 0], np.int32))
    with pytest.raises(ValueError, match="^joint domain_ids length mismatch$"):
        JOINT(scene, turbid)
    with pytest.raises(IndexError, match="^joint mesh element primitive index is outside the scene$"):
        JOINT(scene, joint_request(local_indices=np.array([0, 1, 2, 4], np.int32)))
    np.testing.assert_array_equal(scene.get_primitive_temperatures(), [280, 281, 282, 283])
    assert len(scene.get_primitive_emissivities()) == 0
    unbuilt = tesk_gpu.EmbreeSceneManager()
    with pytest.raises(RuntimeError, match=r"^Embree joint thermo-physiology requires a built scene\. No fallback"):
        JOINT(unbuilt, joint_request())


def edit(**changes):
    return lambda r: r.update(changes)


JOINT_ERRORS = [
    (edit(stable_ids=np.zeros(0, np.uint64)), "joint elements must be a non-empty buffer"),
    (edit(convergence_tolerance=0.0), "convergence_tolerance must be finite and positive"),
    (edit(energy_tolerance=float("nan")), "energy_tolerance must be finite and positive"),
    (edit(physiology_tolerance=-1.0), "physiology_tolerance must be finite and positive"),
    (edit(stable_ids=np.array([11, 0, 21, 22], np.uint64)), "joint element stable_id must be non-zero"),
    (edit(stable_ids=np.array([11, 12, 21, 11], np.uint64)), "joint element stable_id must be unique"),
    (edit(areas=np.array([1, 1, 0, 1], np.float32)), "joint element area must be finite and positive"),
    (edit(farquhar_indices=np.array([-1, -1, -1, 0], np.int32)), "farquhar element requires a model row"),
    (edit(farquhar_indices=np.array([0, -1, 0, 0], np.int32)), "non-farquhar element cannot reference a model row"),
    (edit(dynamic=np.array([1, 0, 1, 1], np.int32)), "prescribed temperature element cannot be dynamic"),
    (edit(dynamic=np.array([0, 0, 0, 1], np.int32)), "non-prescribed element must be dynamic"),
    (edit(damping=0.0), r"damping must be in \(0, 1\]"),
    (edit(leaf_width=np.full(3, 0.05, np.float32)), "joint leaf_width length mismatch"),
    (edit(rays_per_element=0), "joint transport controls must be positive"),
    (edit(vapor_pressure=float("inf")), "joint microclimate and transport scalars must be finite"),
    (edit(microclimate={"air_temperature": 298.0, "co2": 400.0, "relative_humidity": 1.2, "pressure": 101.3,
                        "wind_speed": 1.0}), "joint microclimate scalars are outside their domain"),
    (edit(apar=np.array([1, 1, np.nan, 1], np.float32)), "joint physical arrays must be finite"),
    (edit(sidedness=np.full(4, 2.5, np.float32)), "joint physical coefficients are outside their domain"),
]


@pytest.mark.parametrize("change,message", JOINT_ERRORS)
def test_joint_request_validation(change, message):
    scene = canopy_scene()
    req = joint_request()
    change(req)
    with pytest.raises(ValueError, match="^" + message + "$"):
        JOINT(scene, req)
    assert len(scene.get_primitive_temperatures()) == 0


def test_ctrl_c_during_staging_restores_the_thermal_overrides(ctrl_c):
    scene = canopy_scene()
    scene.set_primitive_emissivities(np.full(4, 0.5, np.float32))
    with pytest.raises(KeyboardInterrupt):
        ctrl_c()
        JOINT(scene, joint_request(rays_per_element=2_000_000_000))
    np.testing.assert_array_equal(scene.get_primitive_emissivities(), 0.5)
    assert len(scene.get_primitive_temperatures()) == 0


# ---- turbid owners ------------------------------------------------------------------------------

def turbid_scene():
    """A unit cube of spherical leaves (medium 0 on instance 0, a resident domain of one owner)
    standing on a black ground (instance 1, primitives 12 on)."""
    from test_turbid_radiation import cube_domain, medium_scene

    scene = medium_scene([0, 0, 0], [1, 1, 1], 2.0, 0, ground=True)
    return scene, cube_domain(scene, 2.0, budget=32)


def turbid_request(domain, **overrides):
    """A prescribed ground primitive and the cube's owner as a Farquhar leaf."""
    two = lambda a, b, dtype=np.float32: np.array([a, b], dtype)  # noqa: E731
    r = joint_request(
        stable_ids=two(5, 6, np.uint64), representation_codes=two(0, 1, np.int32), mode_codes=two(0, 3, np.int32),
        local_indices=two(12, -1, np.int32), farquhar_indices=two(-1, 0, np.int32), dynamic=two(0, 1, np.int32),
        domain_ids=two(0, domain, np.uint64), owner_ids=two(0, 0, np.uint64),
        transport_medium_ids=two(-1, 0, np.int32), transport_instance_ids=two(1, 0, np.int32),
        rays_per_element=16, seed=3, damping=1.0, convergence_tolerance=0.02, physiology_tolerance=0.01)
    for key, value in list(r.items()):
        if isinstance(value, np.ndarray) and value.dtype == np.float32 and len(value) == 4:
            r[key] = value[2:]
    r["initial_temperature"] = two(300.0, 295.0)
    r["sidedness"] = two(1.0, 2.0)
    r.update(overrides)
    return r


def test_turbid_owner_reaches_a_fixed_point_and_is_committed_with_the_mesh():
    scene, domain = turbid_scene()
    out = JOINT(scene, turbid_request(domain))
    assert out["converged"] and out["iterations"] > 1
    t = out["turbid"]
    np.testing.assert_array_equal(t["element_indices"], [1])
    np.testing.assert_array_equal(t["domain_ids"], [domain])
    np.testing.assert_array_equal(t["transport_instance_ids"], [0])
    assert t["temperature_sunlit"][0] == out["temperature_sunlit"][1]
    np.testing.assert_array_equal(out["mesh"]["element_indices"], [0])
    # Sunlit leaves take more shortwave and end warmer; longwave reaches the leaves.
    assert out["temperature_sunlit"][1] > out["temperature_shaded"][1] + 1.0
    assert 300.0 < out["absorbed_longwave"][1] < 1200.0
    assert out["an_sunlit"][1] > out["an_shaded"][1] > 0
    # The owner's instance carries its final state; the ground's instance stays at the air.
    thermal = scene.get_instance_turbid_thermal_state()
    np.testing.assert_array_equal(thermal["temperature_sunlit"], [out["temperature_sunlit"][1], 298.0])
    np.testing.assert_array_equal(thermal["temperature_shaded"], [out["temperature_shaded"][1], 298.0])
    np.testing.assert_allclose(thermal["sunlit_fraction"], [0.6, 0.0])
    np.testing.assert_allclose(thermal["emissivity"], [0.97, 0.98])
    assert scene.get_primitive_temperatures()[12] == 300.0
    # One more iteration from the committed temperatures moves nothing beyond the tolerance.
    again = JOINT(scene, turbid_request(domain, initial_temperature_sunlit=out["temperature_sunlit"],
                                        initial_temperature_shaded=out["temperature_shaded"], max_iterations=1))
    assert again["iterations"] == 1 and again["max_temperature_change"] <= 0.02
    np.testing.assert_allclose(again["temperature"], out["temperature"], atol=0.02)
    np.testing.assert_allclose(again["absorbed_longwave"], out["absorbed_longwave"], rtol=1e-3)
    # A warmer prescribed ground sends more longwave into the crown and warms its leaves.
    warm = JOINT(scene, turbid_request(domain, initial_temperature=np.array([330.0, 295.0], np.float32)))
    assert warm["absorbed_longwave"][1] > out["absorbed_longwave"][1] + 10.0
    assert warm["temperature"][1] > out["temperature"][1] + 0.2


def test_turbid_owner_messages_and_failing_calls_change_nothing():
    scene, domain = turbid_scene()
    two = lambda a, b, dtype: np.array([a, b], dtype)  # noqa: E731
    cases = [
        (dict(owner_ids=two(0, 1, np.uint64)), ValueError, "joint turbid owner is not a component of its domain"),
        (dict(transport_medium_ids=two(-1, 3, np.int32)), IndexError,
         "joint turbid owner transport medium or instance is outside the scene"),
        (dict(transport_instance_ids=two(1, 7, np.int32)), IndexError,
         "joint turbid owner transport medium or instance is outside the scene"),
        (dict(representation_codes=two(1, 1, np.int32), domain_ids=two(domain, domain, np.uint64),
              transport_medium_ids=two(0, 0, np.int32)), ValueError,
         "joint turbid elements must reference distinct owners"),
        (dict(owner_ids=np.zeros(1, np.uint64)), ValueError, "joint owner_ids length mismatch"),
    ]
    JOINT(scene, turbid_request(domain, max_iterations=2))

    def state():
        thermal = scene.get_instance_turbid_thermal_state()
        return [scene.get_primitive_temperatures().tobytes()] + [thermal[k].tobytes() for k in sorted(thermal)]

    committed = state()
    for changes, kind, message in cases:
        with pytest.raises(kind) as err:
            JOINT(scene, turbid_request(domain, **changes))
        assert str(err.value) == message
    with pytest.raises(Exception):
        JOINT(scene, turbid_request(domain, domain_ids=two(0, domain + 999, np.uint64)))
    assert state() == committed
    # Turbid owners need optical turbid media in the scene.
    plain = canopy_scene()
    with pytest.raises(RuntimeError, match=r"^Embree joint thermo-physiology requires a built scene\. No fallback"):
        JOINT(plain, turbid_request(domain, local_indices=np.array([0, -1], np.int32)))


def test_ctrl_c_during_turbid_staging_restores_the_turbid_thermal_state(ctrl_c):
    scene, domain = turbid_scene()
    state = [np.array(v, np.float32) for v in ([281, 282], [283, 284], [0.25, 0.5], [0.9, 0.8])]
    scene.set_instance_turbid_thermal_state(*state)
    with pytest.raises(KeyboardInterrupt):
        ctrl_c()
        JOINT(scene, turbid_request(domain, rays_per_element=2_000_000_000))
    thermal = scene.get_instance_turbid_thermal_state()
    for key, value in zip(("temperature_sunlit", "temperature_shaded", "sunlit_fraction", "emissivity"), state):
        np.testing.assert_array_equal(thermal[key], value)
    assert len(scene.get_primitive_temperatures()) == 0
