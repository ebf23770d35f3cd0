"""Static physiology of turbid leaf-area samples and its place in the state chain."""

import numpy as np
import pytest

import tesk_gpu
from test_turbid_radiation import cube_domain, eb_request, medium_scene, radiation_request

OWNER = {"vcmax25": 60.0, "jmax25": 120.0, "rd25": 1.0, "ball_berry_slope": 9.0,
         "ball_berry_intercept": 0.01, "quantum_yield": 0.5, "active": True, "fluorescent": True,
         "temperature_sunlit": 303.0, "temperature_shaded": 297.0}


def sp_request(token, **changes):
    q = {"contract_revision": 1, "workflow_revision": 5, "radiation_token": token, "max_iterations": 100,
         "tolerance": 1e-4, "co2": np.array([410.0], np.float32),
         "relative_humidity": np.array([0.6], np.float32), "owners": [dict(OWNER)]}
    q.update(changes)
    return q


def samples(scene, domain, token, fields=("apar", "temperature", "An", "gs", "Ci", "Phi_f")):
    ids = list(tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)["sample_id"])
    return tesk_gpu._aggregate_turbid_state_embree(scene, token, list(fields), "samples", ids)["samples"]


def state_count(scene):
    return len(tesk_gpu._debug_turbid_state_residency_embree(scene)["states"])


@pytest.fixture(scope="module")
def sunny():
    """A unit cube of spherical leaves in sun and sky, its domain and its radiation state."""
    scene = medium_scene([0, 0, 0], [1, 1, 1], 2.0, 0)
    domain = cube_domain(scene, 2.0, budget=64)
    token = tesk_gpu._execute_turbid_radiation_field_embree(
        scene, domain, radiation_request(wavelengths=(450.0, 650.0, 850.0), direct=(300.0, 300.0, 200.0),
                                         sky=(10.0, 10.0, 5.0), rho=0.1, tau=0.05))
    return scene, domain, token


def test_each_record_equals_the_solver_on_its_own_inputs(sunny):
    scene, domain, rad = sunny
    token = tesk_gpu._execute_turbid_static_physiology_embree(scene, domain, sp_request(rad))
    assert (token["stage"], token["state_revision"], token["workflow_revision"]) == ("static_physiology", 2, 5)
    assert (token["workflow"], token["executor"]) == ("turbid_static_physiology",
                                                      "embree.cpp.turbid_static_physiology")
    assert token["sample_count"] == 64 and token["converged_samples"] == 64
    recs = samples(scene, domain, token)
    before = samples(scene, domain, rad, ("apar",))
    for branch, temperature in (("sunlit", 303.0), ("shaded", 297.0)):
        apar = np.array([s[branch]["apar"] for s in recs], np.float32)
        np.testing.assert_array_equal(apar, [s[branch]["apar"] for s in before])
        n = len(apar)
        full = lambda v: np.full(n, v, np.float32)  # noqa: E731
        direct = tesk_gpu.solve_physiology_cpu(scene, {
            "apar": apar[:, None], "temperature": full(temperature), "co2": full(410.0),
            "relative_humidity": full(0.6), "vpd": full(0.0), "pressure": full(101.325), "wind": full(1.0),
            "vcmax25": full(60.0), "jmax25": full(120.0), "rd25": full(1.0), "ball_berry_slope": full(9.0),
            "ball_berry_intercept": full(0.01), "quantum_yield": full(0.5), "max_iterations": 100,
            "tolerance": 1e-4})["payload"]
        for key, field in (("an", "An"), ("gs", "gs"), ("ci", "Ci"), ("phi_f", "Phi_f")):
            np.testing.assert_array_equal(direct[key], [s[branch][field] for s in recs])
        assert all(s[branch]["temperature"] == temperature for s in recs)
    # The sun reaches part of the crown, and leaves that see light assimilate and fluoresce.
    assert any(s["sunlit"]["apar"] > s["shaded"]["apar"] + 50.0 for s in recs)
    assert all(s[b]["An"] > 0 and s[b]["Phi_f"] > 0 for s in recs for b in ("sunlit", "shaded"))
    # Not fluorescent: zero yield, the same assimilation; inactive: no gas exchange at all.
    dark = tesk_gpu._execute_turbid_static_physiology_embree(
        scene, domain, sp_request(rad, owners=[dict(OWNER, fluorescent=False)]))
    off = samples(scene, domain, dark)
    assert all(s["sunlit"]["Phi_f"] == 0.0 and s["sunlit"]["An"] == r["sunlit"]["An"] for s, r in zip(off, recs))
    idle = tesk_gpu._execute_turbid_static_physiology_embree(
        scene, domain, sp_request(rad, owners=[dict(OWNER, active=False, vcmax25=np.nan)]))
    assert all(s[b]["An"] == s[b]["gs"] == 0.0 for s in samples(scene, domain, idle) for b in ("sunlit", "shaded"))


def test_chain_radiation_physiology_energy_balance(sunny):
    scene, domain, rad = sunny
    phys = tesk_gpu._execute_turbid_static_physiology_embree(scene, domain, sp_request(rad))
    eb = tesk_gpu._execute_turbid_energy_balance_embree(scene, domain, eb_request(phys, max_iterations=3,
                                                                                  rays_per_sample=4))
    assert (eb["stage"], eb["state_revision"]) == ("energy_balance", 3)
    # The balance keeps the physiology and adds temperatures of its own.
    a, b = samples(scene, domain, phys), samples(scene, domain, eb)
    assert all(x["sunlit"]["An"] == y["sunlit"]["An"] for x, y in zip(a, b))
    assert any(x["sunlit"]["temperature"] != y["sunlit"]["temperature"] for x, y in zip(a, b))
    # Physiology needs the radiation stage.
    with pytest.raises(ValueError, match="^StaticPhysiology requires a radiation-stage token$"):
        tesk_gpu._execute_turbid_static_physiology_embree(scene, domain, sp_request(phys))


def test_request_checks_in_order_and_failures_store_nothing(sunny):
    scene, domain, rad = sunny
    eb = tesk_gpu._execute_turbid_energy_balance_embree(scene, domain, eb_request(rad, max_iterations=1,
                                                                                  rays_per_sample=1))
    f = lambda v: np.array(v, np.float32)  # noqa: E731
    cases = [
        (dict(contract_revision=2, workflow_revision=0), "unsupported Turbid process contract revision"),
        (dict(workflow_revision=0, radiation_token=eb), "workflow revision must be non-zero"),
        (dict(radiation_token=eb, owners=[]), "StaticPhysiology requires a radiation-stage token"),
        (dict(owners=[], co2=f([])), "StaticPhysiology owners must match domain components"),
        (dict(co2=f([400, 400]), max_iterations=0), "physiology co2 buffer length mismatch"),
        (dict(relative_humidity=f([]), max_iterations=0), "physiology relative humidity buffer length mismatch"),
        (dict(max_iterations=0, tolerance=0.0), "StaticPhysiology max_iterations must be positive"),
        (dict(tolerance=np.inf, co2=f([-1])), "StaticPhysiology tolerance must be finite and positive"),
        (dict(tolerance=0.0), "StaticPhysiology tolerance must be finite and positive"),
        (dict(co2=f([-1]), owners=[dict(OWNER, rd25=-1.0)]), "invalid StaticPhysiology scalar input"),
        (dict(relative_humidity=f([1.5])), "invalid StaticPhysiology scalar input"),
        (dict(co2=f([np.nan])), "invalid StaticPhysiology scalar input"),
        (dict(owners=[dict(OWNER, rd25=-1.0)]), "invalid StaticPhysiology owner parameters"),
        (dict(owners=[dict(OWNER, vcmax25=np.inf)]), "invalid StaticPhysiology owner parameters"),
        (dict(owners=[dict(OWNER, quantum_yield=1.5)]), "invalid StaticPhysiology owner parameters"),
        (dict(owners=[dict(OWNER, fluorescent=2)]), "invalid StaticPhysiology owner parameters"),
    ]
    before = state_count(scene)
    for changes, message in cases:
        with pytest.raises(ValueError) as err:
            tesk_gpu._execute_turbid_static_physiology_embree(scene, domain, sp_request(rad, **changes))
        assert str(err.value) == message, changes
    # A token of another domain, and a stale one.
    other = dict(rad, domain_id=rad["domain_id"] + 1000)
    with pytest.raises(ValueError, match="^StaticPhysiology requires a compatible radiation-state token$"):
        tesk_gpu._execute_turbid_static_physiology_embree(scene, domain, sp_request(other))
    with pytest.raises(RuntimeError, match="^Stale TurbidState token"):
        tesk_gpu._execute_turbid_static_physiology_embree(scene, domain,
                                                           sp_request(dict(rad, state_id=rad["state_id"] + 999)))
    # A scene without optical media.
    plain = tesk_gpu.EmbreeSceneManager()
    plain.set_num_bands(1)
    plain.upload_spectral_params(np.zeros(3, np.float32))
    plain.build()
    assert state_count(scene) == before
    with pytest.raises(RuntimeError, match="^Embree StaticPhysiology requires a built optical scene"):
        dom = cube_domain(plain, 2.0, budget=16)
        tesk_gpu._execute_turbid_static_physiology_embree(plain, dom, sp_request(rad))
