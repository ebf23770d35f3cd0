"""solve_physiology_cpu: request conversion, exact messages and their order, result envelope."""

import itertools
import math

import numpy as np
import pytest

import tesk_gpu

ELEMENT_FIELDS = ["co2", "relative_humidity", "vpd", "pressure", "wind", "vcmax25", "jmax25",
                  "rd25", "ball_berry_slope", "ball_berry_intercept", "quantum_yield"]
ENERGY_FIELDS = ["absorbed_shortwave", "absorbed_longwave", "air_temperature", "vapor_pressure",
                 "emissivity", "sidedness", "leaf_width", "stomata_sides"]
PAYLOAD_KEYS = ["an", "gs", "ci", "phi_f", "converged"]
ENERGY_KEYS = ["temperature", "net_radiation", "sensible_heat", "latent_heat"]
PHYSIOLOGY = "physiology input is outside its physical domain"
DYNAMIC = "dynamic physiology input is outside its physical domain"


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


def grid_request(energy):
    """Every combination of light, CO2, leaf temperature, VPD and humidity (one element each),
    with random traits; with `energy` also a spread of radiation, wind and air states."""
    rng = np.random.default_rng(7)
    combos = np.array(list(itertools.product(
        [0.0, 50.0, 400.0, 1500.0],      # PAR
        [150.0, 400.0, 900.0],           # CO2
        [275.0, 298.15, 315.0],          # leaf temperature
        [0.0, 2500.0],                   # VPD (validated only)
        [0.3, 1.0])), np.float32)        # relative humidity
    n = len(combos)
    u = lambda lo, hi: rng.uniform(lo, hi, n).astype(np.float32)  # noqa: E731
    r = {"apar": np.stack([0.3 * combos[:, 0], 0.7 * combos[:, 0]], axis=1).astype(np.float32),
         "temperature": combos[:, 2].copy(), "co2": combos[:, 1].copy(), "vpd": combos[:, 3].copy(),
         "relative_humidity": combos[:, 4].copy(), "pressure": u(90, 102), "wind": u(0, 4),
         "vcmax25": u(20, 100), "jmax25": u(40, 200), "rd25": u(0.3, 2), "ball_berry_slope": u(4, 12),
         "ball_berry_intercept": u(0.005, 0.05), "quantum_yield": np.where(u(0, 1) < 0.2, 0, u(0, 1)),
         "max_iterations": 80, "tolerance": 1e-3}
    if energy:
        r.update({"dynamic_energy_balance": True, "absorbed_shortwave": u(0, 700),
                  "absorbed_longwave": u(250, 450), "air_temperature": u(280, 310),
                  "vapor_pressure": u(500, 2500), "emissivity": u(0.9, 1.0),
                  "sidedness": np.where(u(0, 1) < 0.5, 1, 2).astype(np.float32),
                  "leaf_width": u(0.01, 0.2), "stomata_sides": u(1, 2), "tolerance": 1e-3})
    return r


def solve(scene, req):
    return tesk_gpu.solve_physiology_cpu(scene, req)


def expect_error(scene, req, exc, message):
    with pytest.raises(exc) as info:
        solve(scene, req)
    assert str(info.value) == message


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
    req = request(energy=True)
    payload = solve(scene, req)["payload"]
    assert list(payload) == PAYLOAD_KEYS + ENERGY_KEYS
    assert all(payload[k].dtype == np.float32 for k in ENERGY_KEYS)
    assert payload["converged"].all()
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


def test_huge_iteration_limit_is_accepted(scene):
    req = request()
    req["max_iterations"] = 2**70
    assert solve(scene, req)["payload"]["converged"].all()


# ---- validation messages --------------------------------------------------------------------

@pytest.mark.parametrize("field", ELEMENT_FIELDS + ENERGY_FIELDS)
def test_every_element_field_is_checked_for_rank_length_and_finite_values(scene, field):
    req = request(energy=True)
    for value in (np.ones((3, 1), np.float32), 1.0):
        req[field] = value
        expect_error(scene, req, ValueError, "physiology element inputs must be rank one")
    req[field] = np.ones(4, np.float32)
    expect_error(scene, req, ValueError, f"{field} buffer length mismatch")
    for value in (np.inf, -np.inf, np.nan):
        req[field] = np.array([1.0, value, 1.0], np.float32)
        expect_error(scene, req, ValueError, f"{field} contains a non-finite value")
    del req[field]
    expect_error(scene, req, ValueError, f"{field} is required")
    if field in ENERGY_FIELDS:  # energy inputs are not read without the flag
        req["dynamic_energy_balance"] = False
        solve(scene, req)


def test_checking_order(scene):
    """Lengths, then physiology values, then energy lengths and values, then signs."""
    req = request(energy=True)
    req["co2"] = np.full(2, 400.0, np.float32)
    req["quantum_yield"] = np.full(2, 0.5, np.float32)
    req["temperature"][0] = np.nan
    req["apar"][1, 1] = np.inf
    req["absorbed_shortwave"] = np.zeros(2, np.float32)
    expect_error(scene, req, ValueError, "co2 buffer length mismatch")
    req["co2"] = np.full(3, 400.0, np.float32)
    expect_error(scene, req, ValueError, "quantum_yield buffer length mismatch")
    req["quantum_yield"] = np.full(3, 0.5, np.float32)
    expect_error(scene, req, ValueError, "apar contains a non-finite value")
    req["apar"][1, 1] = -0.5
    expect_error(scene, req, ValueError, "temperature contains a non-finite value")
    req["temperature"][0] = 298.15
    expect_error(scene, req, ValueError, "absorbed_shortwave buffer length mismatch")
    req["absorbed_shortwave"] = np.zeros(3, np.float32)
    req["stomata_sides"][2] = np.inf
    expect_error(scene, req, ValueError, "stomata_sides contains a non-finite value")
    req["stomata_sides"][2] = 1.0
    req["co2"][0] = -1.0
    expect_error(scene, req, ValueError, "apar cannot be negative")
    req["apar"][1, 1] = 0.5
    expect_error(scene, req, ValueError, PHYSIOLOGY)


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


@pytest.mark.parametrize("value", [0.0, -1e-3, math.inf, math.nan, 1e39])
def test_tolerance_must_be_finite_and_positive(scene, value):
    req = request()
    req["tolerance"] = value  # 1e39 overflows single precision
    expect_error(scene, req, ValueError, "tolerance must be finite and positive")


# Each domain boundary; a message of None marks a value that is accepted.
@pytest.mark.parametrize("field, value, message", [
    ("temperature", 0.0, PHYSIOLOGY), ("co2", 0.0, PHYSIOLOGY), ("pressure", 0.0, PHYSIOLOGY),
    ("vpd", -1.0, PHYSIOLOGY), ("vpd", 0.0, None), ("wind", -0.1, PHYSIOLOGY), ("wind", 0.0, None),
    ("vcmax25", -1.0, PHYSIOLOGY), ("jmax25", -1.0, PHYSIOLOGY), ("rd25", -1.0, PHYSIOLOGY),
    ("rd25", 0.0, None), ("ball_berry_slope", -1.0, PHYSIOLOGY),
    ("ball_berry_intercept", -1e-3, PHYSIOLOGY), ("relative_humidity", 0.0, None),
    ("relative_humidity", 1.0, None), ("relative_humidity", 1.01, PHYSIOLOGY),
    ("relative_humidity", -0.01, PHYSIOLOGY), ("quantum_yield", 1.0, None),
    ("quantum_yield", 1.5, PHYSIOLOGY), ("quantum_yield", -0.1, PHYSIOLOGY),
    ("absorbed_shortwave", -1.0, DYNAMIC), ("absorbed_longwave", -1.0, DYNAMIC),
    ("air_temperature", 0.0, DYNAMIC), ("vapor_pressure", -1.0, DYNAMIC),
    ("vapor_pressure", 0.0, None), ("emissivity", 0.0, DYNAMIC), ("emissivity", 1.0, None),
    ("emissivity", 1.01, DYNAMIC), ("sidedness", 0.0, DYNAMIC), ("leaf_width", 0.0, DYNAMIC),
    ("stomata_sides", 0.0, DYNAMIC),
])
def test_physical_domains(scene, field, value, message):
    req = request(energy=True)
    req[field][2] = value
    if message is None:
        solve(scene, req)
    else:
        expect_error(scene, req, ValueError, message)


def test_domains_are_checked_element_by_element(scene):
    req = request(n=2, energy=True)
    req["emissivity"][0] = 0.0
    req["co2"][1] = 0.0  # element 0's energy fault comes first
    expect_error(scene, req, ValueError, DYNAMIC)
    req["emissivity"][0] = 0.98
    req["emissivity"][1] = 0.0
    expect_error(scene, req, ValueError, PHYSIOLOGY)


@pytest.mark.parametrize("key", ["apar", "temperature", "max_iterations", "tolerance"])
def test_required_keys(scene, key):
    req = request()
    req[key] = None
    expect_error(scene, req, ValueError, f"{key} is required")
    del req[key]
    expect_error(scene, req, ValueError, f"{key} is required")


@pytest.mark.parametrize("key, value, exc, message", [
    *[("apar", v, ValueError, "apar must have shape [element, band]")
      for v in (np.ones(3, np.float32), np.ones((3, 2, 1), np.float32), np.float32(1.0))],
    *[("temperature", v, ValueError, "temperature must have shape [element] matching apar")
      for v in (np.full((3, 1), 298.0), np.full(4, 298.0), 298.0)],
    ("apar", "abc", ValueError, "apar must be a float32 array"),
    ("co2", ["a", "b", "c"], ValueError, "co2 must be a float32 array"),
    ("max_iterations", 2.5, TypeError, "max_iterations must be an integer"),
    ("max_iterations", "10", TypeError, "max_iterations must be an integer"),
    ("tolerance", "tiny", TypeError, "tolerance must be a real number"),
    ("dynamic_energy_balance", "yes", TypeError, "dynamic_energy_balance must be a bool"),
])
def test_wrong_types_and_shapes_raise_cleanly(scene, key, value, exc, message):
    req = request()
    req[key] = value
    expect_error(scene, req, exc, message)
