"""The independent 1D canopy solution against closed forms and its own invariants, and the
module's 3D transport against it on homogeneous canopies."""

import numpy as np
import pytest

import tesk_gpu
from tesk_gpu import validation
from tesk_gpu.validation_1d import area_scattering, g_function, principal_plane, solve_1d


def test_g_function_closed_forms():
    dirs = principal_plane([0.0, 25.0, 60.0, 85.0])
    np.testing.assert_allclose(g_function(0, dirs), 0.5, rtol=1e-4)
    nadir = [[0.0, 0.0, 1.0]]
    # G(vertical) = integral of g_L(theta) cos(theta): 8/(3 pi) planophile, 4/(3 pi) erectophile.
    np.testing.assert_allclose(g_function(1, nadir), 8 / (3 * np.pi), rtol=1e-4)
    np.testing.assert_allclose(g_function(2, nadir), 4 / (3 * np.pi), rtol=1e-4)


def ross_spherical_gamma(r, t, w_in, w_out):
    """Area scattering function of spherically distributed bi-Lambertian leaves (per sr), with
    beta the angle between the propagation directions."""
    beta = np.arccos(np.clip(np.dot(w_in, w_out), -1, 1))
    c, s = np.cos(beta), np.sin(beta)
    return (r * (s - beta * c) + t * (s + (np.pi - beta) * c)) / (3 * np.pi**2)


@pytest.mark.parametrize("sun_zenith, view_zenith, view_azimuth", [(0.0, 40.0, 0.0), (30.0, 30.0, 0.0),
                                                                    (50.0, 20.0, 130.0)])
def test_single_scattering_equals_the_closed_forms(sun_zenith, view_zenith, view_azimuth):
    lai, r, t, soil = 1.5, 0.42, 0.33, 0.25
    v = principal_plane([view_zenith], view_azimuth)
    s = solve_1d(lai, 0, r, r, t, soil, sun_zenith, v)
    mu_s, mu_v = np.cos(np.radians(sun_zenith)), v[0, 2]
    beam = -np.array([np.sin(np.radians(sun_zenith)), 0.0, mu_s])
    gamma = ross_spherical_gamma(r, t, beam, v[0])
    k = 0.5 / mu_s + 0.5 / mu_v
    assert area_scattering(0, r, r, t, beam, v)[0, 0] == pytest.approx(gamma, rel=2e-4)
    assert s.brf_single_leaf[0] == pytest.approx(np.pi * gamma * (1 - np.exp(-lai * k)) / (mu_s * mu_v * k), rel=2e-4)
    assert s.brf_single_soil[0] == pytest.approx(soil * np.exp(-lai * k), rel=1e-4)
    assert s.transmission_direct == pytest.approx(np.exp(-0.5 * lai / mu_s), rel=1e-4)
    assert s.brf_multiple[0] > 0.05 * s.brf_single_leaf[0]


@pytest.mark.parametrize("lai, leaf_type, sun_zenith", [(1.0, 1, 0.0), pytest.param(5.0, 2, 60.0, marks=pytest.mark.slow)])
def test_energy_conservation(lai, leaf_type, sun_zenith):
    v = principal_plane([0.0])
    purist = solve_1d(lai, leaf_type, 0.5, 0.5, 0.5, 1.0, sun_zenith, v)
    assert purist.absorption == pytest.approx(0.0, abs=1e-12) and purist.soil_absorption == 0.0
    assert purist.dhr == pytest.approx(1.0, abs=5e-4)
    # Absorbing leaves whose sides differ: what is absorbed in the canopy and soil and what is
    # reflected add up to the incident light.
    s = solve_1d(lai, leaf_type, 0.45, 0.2, 0.3, 0.3, sun_zenith, v)
    assert s.dhr + s.absorption + s.soil_absorption == pytest.approx(1.0, abs=5e-4)
    assert 0.05 < s.absorption < 0.9


def test_reciprocity():
    # BRF(sun, view) = BRF(view, sun) for the non-symmetric planophile leaves whose sides differ.
    args = (2.0, 1, 0.45, 0.2, 0.35, 0.2)
    a = solve_1d(*args, 30.0, principal_plane([50.0], 60.0))
    b = solve_1d(*args, 50.0, principal_plane([30.0], 60.0))
    assert a.brf[0] == pytest.approx(b.brf[0], rel=2e-3)
    assert a.brf_single[0] == pytest.approx(b.brf_single[0], rel=1e-6)


@pytest.mark.slow
def test_single_scattering_orders_of_the_module_equal_the_closed_forms():
    nir = validation.SPECTRA[1]
    case = validation.Case(2.0, 1, 30.0, spectra=(nir,))
    scene = validation.homogeneous_scene(case)
    for zenith, azimuth in ((40.0, 90.0), (-35.0, 0.0)):
        v = principal_plane([zenith], azimuth)[0]
        vy = np.array([-np.sin(np.radians(azimuth)), np.cos(np.radians(azimuth)), 0.0])
        cam = np.eye(4)
        cam[:3, 0], cam[:3, 1], cam[:3, 2] = np.cross(vy, v), vy, v
        cam[:3, 3] = np.array([5.0, 5.0, 0.0]) + 10.0 * v
        scene.set_sensor(0, 12, 12, 10.0, 10.0, cam.ravel())
        out = tesk_gpu.simulate_cpu(scene, spp=32, max_depth=4, outputs=["scattering_order"], max_output_order=1)
        px = out["scattering_order"][1].reshape(-1).astype(np.float64)
        mean, err = px.mean(), px.std(ddof=1) / np.sqrt(px.size)
        s = solve_1d(case.lai, 1, nir.r_up, nir.r_down, nir.t, nir.soil, 30.0, [v])
        expected = s.brf_single[0] * np.cos(np.radians(30.0)) / np.pi  # radiance under E = 1
        assert mean == pytest.approx(expected, abs=4 * err + 2e-3 * expected)


@pytest.mark.slow
def test_module_reflectance_and_fluxes_match_the_1d_solution():
    case = validation.Case(2.0, 2, 30.0, spectra=(validation.SPECTRA[1], validation.SPECTRA[2]))
    views = principal_plane([-60.0, -30.0, 0.0, 30.0, 60.0])
    r3 = validation.run_3d(case, views, num_photons=100_000)
    for b, sp in enumerate(case.spectra):
        s = solve_1d(case.lai, case.leaf_type, sp.r_up, sp.r_down, sp.t, sp.soil, case.sun_zenith_deg, views)
        assert np.all(np.abs(r3.brf[:, b] - s.brf) <= 0.01 * s.brf + 4 * r3.brf_error[:, b])
        for got, want, err in zip((r3.dhr[b], r3.absorption[b], r3.transmission[b]),
                                  (s.dhr, s.absorption, s.transmission), r3.flux_error[:, b]):
            assert abs(got - want) <= 0.01 * want + 4 * err + 1e-3
