"""solve_physiology_cpu: request conversion, exact messages, result envelope, edge cases."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest

import tesk_gpu

ELEMENT_FIELDS = ["co2", "relative_humidity", "vpd", "pressure", "wind", "vcmax25", "jmax25",
                  "rd25", "ball_berry_slope", "ball_berry_intercept", "quantum_yield"]
ENERGY_FIELDS = ["absorbed_shortwave", "absorbed_longwave", "air_temperature", "vapor_pressure",
                 "emissivity", "sidedness", "leaf_width", "stomata_sides"]
PAYLOAD_KEYS = ["an", "gs", "ci", "phi_f", "converged"]
ENERGY_KEYS = ["temperature", "net_radiation", "sensible_heat", "latent_heat"]


def request(n=3, bands=2, par=1000.0, energy=False):
    """A sunlit C3 leaf at 25 degC in every element; with `energy` also its energy inputs."""
    full = lambda v: np.full(n, v, np.float32)  # noqa: E731
    r = {
        "apar": np.full((n, bands), par / bands, np.float32),
        "temperature": full(298.15), "co2": full(400.0), "relative_humidity": full(0.7),
        "vpd": full(1000.0), "pressure": full(101.325), "wind": full(1.0),
        "vcmax25": full(60.0), "jmax25": full(120.0), "rd25": full(1.0),
        "ball_berry_slope": full(9.0), "ball_berry_intercept": full(0.01),
        "quantum_yield": full(0.5), "max_iterations": 100, "tolerance": 1e-4,
    }
    if energy:
        r.update({
            "dynamic_energy_balance": True, "absorbed_shortwave": full(500.0),
            "absorbed_longwave": full(700.0), "air_temperature": full(298.15),
            "vapor_pressure": full(1500.0), "emissivity": full(0.98), "sidedness": full(2.0),
            "leaf_width": full(0.05), "stomata_sides": full(1.0), "tolerance": 1e-3,
        })
    return r


def solve(scene, req):
    return tesk_gpu.solve_physiology_cpu(scene, req)


# ---- result shape ---------------------------------------------------------------------------

def test_envelope_keys_dtypes_and_execution_record(scene):
    result = solve(scene, request())
    assert list(result) == ["payload", "_execution"]
    assert list(result["payload"]) == PAYLOAD_KEYS
    assert result["_execution"] == {"backend": "embree", "workflow": "physiology_solver",
                                    "executor": "embree.cpu.physiology_solver", "native": True}
    assert list(result["_execution"]) == ["backend", "workflow", "executor", "native"]
    for key in PAYLOAD_KEYS:
        value = result["payload"][key]
        assert value.shape == (3,)
        assert value.dtype == (np.uint8 if key == "converged" else np.float32)
    assert result["payload"]["converged"].tolist() == [1, 1, 1]


def test_energy_balance_adds_its_keys_in_order(scene):
    payload = solve(scene, request(energy=True))["payload"]
    assert list(payload) == PAYLOAD_KEYS + ENERGY_KEYS
    assert all(payload[k].dtype == np.float32 for k in ENERGY_KEYS)
    # Closure: the converged leaf balances its radiation, sensible and latent heat to within
    # the flux change of one tolerance-sized Newton step (|dF/dT| is below 200 W m^-2 K^-1).
    residual = payload["net_radiation"] - payload["sensible_heat"] - payload["latent_heat"]
    assert payload["converged"].all()
    assert np.all(np.abs(residual) < 200.0 * 1e-3)
    # An energy-balance flag of False, or absent, leaves the plain payload.
    req = request(energy=True)
    req["dynamic_energy_balance"] = False
    assert list(solve(scene, req)["payload"]) == PAYLOAD_KEYS


def test_array_likes_are_cast_and_made_contiguous(scene):
    reference = solve(scene, request())["payload"]
    req = request()
    wide = np.zeros((3, 4), np.float64)
    wide[:, ::2] = 500.0  # a strided float64 view with the same values
    req["apar"] = wide[:, ::2]
    req["co2"] = [400, 400, 400]
    req["temperature"] = np.full(6, 298.15)[::2]
    req["max_iterations"] = np.int64(100)
    req["tolerance"] = np.float64(1e-4)
    payload = solve(scene, req)["payload"]
    for key in PAYLOAD_KEYS:
        np.testing.assert_array_equal(payload[key], reference[key])


# ---- edge cases -----------------------------------------------------------------------------

def test_dark_leaf_respires_at_the_intercept_conductance(scene):
    req = request(n=2, par=0.0)
    payload = solve(scene, req)["payload"]
    np.testing.assert_allclose(payload["an"], -1.0, rtol=1e-6)  # -Rd at 25 degC
    np.testing.assert_array_equal(payload["gs"], np.float32(0.01))
    np.testing.assert_array_equal(payload["ci"], np.float32(400.0))
    np.testing.assert_allclose(payload["phi_f"], 0.5 / 0.03 * 0.01, rtol=1e-6)
    req["max_iterations"] = 2  # Ci jumps to Ca on the first pass and stays on the second
    assert solve(scene, req)["payload"]["converged"].tolist() == [1, 1]


def test_single_pass_is_reported_unconverged(scene):
    req = request()
    req["max_iterations"] = 1
    payload = solve(scene, req)["payload"]
    assert payload["converged"].tolist() == [0, 0, 0]
    # One pass from Ci = 0.7 Ca = 280 under the same Ball-Berry law: Ci = Ca - 1.6 A / gs.
    an, gs = payload["an"].astype(np.float64), payload["gs"].astype(np.float64)
    np.testing.assert_allclose(gs, 9.0 * an * 0.7 / 400.0 + 0.01, rtol=1e-5)
    np.testing.assert_allclose(payload["ci"], 400.0 - 1.6 * an / gs, rtol=1e-5)
    converged = solve(scene, request())["payload"]
    assert not np.allclose(payload["an"], converged["an"], rtol=1e-4)


def test_quantum_yield_zero_switches_fluorescence_off(scene):
    req = request(n=4)
    req["quantum_yield"] = np.array([0.0, 0.0, 1.0, 0.0], np.float32)
    phi_f = solve(scene, req)["payload"]["phi_f"]
    assert phi_f[[0, 1, 3]].tolist() == [0.0, 0.0, 0.0]
    assert phi_f[2] > 0.0


def test_vpd_changes_nothing(scene):
    req = request(energy=True)
    reference = solve(scene, req)["payload"]
    req["vpd"] = np.array([0.0, 2500.0, 1e6], np.float32)
    payload = solve(scene, req)["payload"]
    for key in PAYLOAD_KEYS + ENERGY_KEYS:
        np.testing.assert_array_equal(payload[key], reference[key])


def test_leaf_temperature_stops_at_350_kelvin(scene):
    req = request(n=2, energy=True)
    req["absorbed_shortwave"] = np.array([20000.0, 500.0], np.float32)
    req["wind"] = np.array([0.1, 0.1], np.float32)
    temperature = solve(scene, req)["payload"]["temperature"]
    assert temperature[0] == np.float32(350.0)
    assert 298.15 < temperature[1] < 350.0


def test_humidity_and_emissivity_bounds(scene):
    req = request()
    req["relative_humidity"] = np.array([1.0, 0.0, 0.5], np.float32)
    solve(scene, req)
    req["relative_humidity"] = np.array([1.0, 1.01, 0.5], np.float32)
    with pytest.raises(ValueError, match="^physiology input is outside its physical domain$"):
        solve(scene, req)
    req = request(energy=True)
    req["emissivity"] = np.array([0.98, 0.0, 0.98], np.float32)
    with pytest.raises(ValueError,
                       match="^dynamic physiology input is outside its physical domain$"):
        solve(scene, req)
    req["dynamic_energy_balance"] = False  # energy inputs are not read without the flag
    solve(scene, req)


def test_results_do_not_depend_on_the_thread_count(tmp_path):
    script = (
        "import sys, numpy as np, tesk_gpu\n"
        "sys.path.insert(0, %r)\n"
        "from test_physiology import request\n"
        "req = request(n=1001, energy=True)\n"
        "req['apar'] *= np.linspace(0, 2, 1001, dtype=np.float32)[:, None]\n"
        "req['wind'] = np.linspace(0, 6, 1001, dtype=np.float32)\n"
        "p = tesk_gpu.solve_physiology_cpu(tesk_gpu.EmbreeSceneManager(), req)['payload']\n"
        "np.savez(sys.argv[1], **p)\n" % os.path.dirname(__file__))
    outputs = []
    for threads in ("1", "3"):
        out = tmp_path / f"threads{threads}.npz"
        env = dict(os.environ, OMP_NUM_THREADS=threads)
        subprocess.run([sys.executable, "-c", script, str(out)], env=env, check=True)
        outputs.append(np.load(out))
    for key in PAYLOAD_KEYS + ENERGY_KEYS:
        np.testing.assert_array_equal(outputs[0][key], outputs[1][key])


# ---- validation messages --------------------------------------------------------------------

def expect_error(scene, req, exc, message):
    with pytest.raises(exc) as info:
        solve(scene, req)
    assert str(info.value) == message


@pytest.mark.parametrize("apar", [np.ones(3, np.float32), np.ones((3, 2, 1), np.float32),
                                  np.float32(1.0)])
def test_apar_must_be_two_dimensional(scene, apar):
    req = request()
    req["apar"] = apar
    expect_error(scene, req, ValueError, "apar must have shape [element, band]")


@pytest.mark.parametrize("temperature", [np.full((3, 1), 298.0), np.full(4, 298.0), 298.0])
def test_temperature_must_match_apar(scene, temperature):
    req = request()
    req["temperature"] = temperature
    expect_error(scene, req, ValueError, "temperature must have shape [element] matching apar")


@pytest.mark.parametrize("field", ELEMENT_FIELDS + ENERGY_FIELDS)
def test_element_inputs_must_be_rank_one(scene, field):
    req = request(energy=True)
    req[field] = np.ones((3, 1), np.float32)
    expect_error(scene, req, ValueError, "physiology element inputs must be rank one")
    req[field] = 1.0
    expect_error(scene, req, ValueError, "physiology element inputs must be rank one")


def test_length_mismatch_then_non_finite_values(scene):
    # Every field's two checks are covered natively; here the messages cross the boundary.
    req = request(energy=True)
    req["rd25"] = np.ones(4, np.float32)
    req["wind"] = np.array([1.0, np.nan, 1.0], np.float32)  # lengths are checked first
    expect_error(scene, req, ValueError, "rd25 buffer length mismatch")
    req["rd25"] = np.ones(3, np.float32)
    expect_error(scene, req, ValueError, "wind contains a non-finite value")


@pytest.mark.parametrize("field", ENERGY_FIELDS)
def test_energy_fields_are_required_only_with_the_flag(scene, field):
    req = request(energy=True)
    req[field] = np.array([1.0, 1.0, -np.inf], np.float32)
    expect_error(scene, req, ValueError, f"{field} contains a non-finite value")
    del req[field]
    expect_error(scene, req, ValueError, f"{field} is required")
    req["dynamic_energy_balance"] = False
    solve(scene, req)


def test_non_finite_apar_and_negative_apar(scene):
    req = request()
    req["apar"][1, 1] = np.inf
    expect_error(scene, req, ValueError, "apar contains a non-finite value")
    req["apar"][1, 1] = -0.5
    req["co2"][0] = -1.0  # apar is checked before the per-element domains
    expect_error(scene, req, ValueError, "apar cannot be negative")


@pytest.mark.parametrize("shape, message", [((0, 2), "n_elements must be positive"),
                                            ((0, 0), "n_elements must be positive"),
                                            ((3, 0), "n_bands must be positive")])
def test_empty_counts(scene, shape, message):
    req = request()
    req["apar"] = np.zeros(shape, np.float32)
    req["temperature"] = np.full(shape[0], 298.0, np.float32)
    expect_error(scene, req, ValueError, message)


@pytest.mark.parametrize("value", [0, -3, -2**70])
def test_max_iterations_must_be_positive(scene, value):
    req = request()
    req["max_iterations"] = value
    req["tolerance"] = -1.0  # checked after the iteration limit
    expect_error(scene, req, ValueError, "max_iterations must be positive")


def test_huge_iteration_limit_is_accepted(scene):
    req = request()
    req["max_iterations"] = 2**70
    assert solve(scene, req)["payload"]["converged"].all()


@pytest.mark.parametrize("value", [0.0, -1e-3, math.inf, math.nan, 1e39])
def test_tolerance_must_be_finite_and_positive(scene, value):
    req = request()
    req["tolerance"] = value  # 1e39 overflows single precision
    expect_error(scene, req, ValueError, "tolerance must be finite and positive")


@pytest.mark.parametrize("field, value, message", [
    ("co2", 0.0, "physiology input is outside its physical domain"),
    ("temperature", -1.0, "physiology input is outside its physical domain"),
    ("quantum_yield", 1.5, "physiology input is outside its physical domain"),
    ("wind", -0.1, "physiology input is outside its physical domain"),
    ("emissivity", 1.2, "dynamic physiology input is outside its physical domain"),
    ("leaf_width", 0.0, "dynamic physiology input is outside its physical domain"),
])
def test_physical_domains(scene, field, value, message):
    req = request(energy=True)
    req[field][2] = value
    expect_error(scene, req, ValueError, message)


@pytest.mark.parametrize("key", ["apar", "temperature", "co2", "quantum_yield", "max_iterations",
                                 "tolerance"])
def test_required_keys(scene, key):
    req = request()
    del req[key]
    expect_error(scene, req, ValueError, f"{key} is required")
    req[key] = None
    expect_error(scene, req, ValueError, f"{key} is required")


@pytest.mark.parametrize("key, value, exc, message", [
    ("apar", "abc", ValueError, "apar must be a float32 array"),
    ("co2", ["a", "b", "c"], ValueError, "co2 must be a float32 array"),
    ("max_iterations", 2.5, TypeError, "max_iterations must be an integer"),
    ("max_iterations", "10", TypeError, "max_iterations must be an integer"),
    ("tolerance", "tiny", TypeError, "tolerance must be a real number"),
    ("dynamic_energy_balance", "yes", TypeError, "dynamic_energy_balance must be a bool"),
])
def test_wrong_types_raise_cleanly(scene, key, value, exc, message):
    req = request()
    req[key] = value
    expect_error(scene, req, exc, message)
