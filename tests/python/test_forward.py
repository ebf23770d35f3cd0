"""simulate_flux_cpu and simulate_forward_cpu: closed-form scenes, energy balance of turbid media,
result layout, determinism, progress, Ctrl-C, errors, and agreement with the backward BRF."""

import pathlib
import sys

import numpy as np
import pytest

import tesk_gpu

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from brf_conversion import backward_brf, forward_brf, incident_power  # noqa: E402

FLUX, FWD = tesk_gpu.simulate_flux_cpu, tesk_gpu.simulate_forward_cpu
TILE = 10.0
NO_NORMALS = np.zeros((0, 3), np.float32)


def add_mesh(scene, vertices, triangles, material_id):
    v = np.asarray(vertices, np.float32)
    scene.add_instance(scene.add_mesh(v, NO_NORMALS, np.array(triangles), material_id), 0.0, 0.0, 0.0)


def add_quad(scene, lo, hi, height, material_id):
    """A square [lo, hi]^2 in the plane z = height (normal +z) as its own mesh and instance."""
    add_mesh(scene, [[lo, lo, height], [hi, lo, height], [hi, hi, height], [lo, hi, height]],
             [[0, 1, 2], [0, 2, 3]], material_id)


def add_box(scene, lo, hi, material_id):
    """A closed box with outward-facing triangles."""
    v = [[hi[0] if i & 1 else lo[0], hi[1] if i & 2 else lo[1], hi[2] if i & 4 else lo[2]] for i in range(8)]
    add_mesh(scene, v, [[0, 2, 1], [1, 2, 3], [4, 5, 6], [5, 7, 6], [0, 1, 4], [1, 5, 4], [2, 6, 3], [3, 6, 7],
                        [0, 4, 2], [2, 4, 6], [1, 3, 5], [3, 7, 5]], material_id)


def unit(v):
    v = np.asarray(v, np.float32)
    return v / np.linalg.norm(v)


def ground_scene(rho=(0.3,), e_sun=(2.0,), sun=(0.0, 0.0, 1.0), sky=None):
    """A periodic tile filled by a Lambertian ground (instance 0)."""
    scene = tesk_gpu.EmbreeSceneManager()
    nb = len(rho)
    scene.set_num_bands(nb)
    scene.upload_spectral_params(np.array([*rho, *e_sun, *(sky or [])], np.float32))
    scene.add_material(0, 0, [])
    scene.set_emitter(0, unit(sun), nb)
    if sky is not None:
        scene.set_sky(2 * nb)
    scene.set_repetitive(4, TILE, TILE)
    add_quad(scene, 0.0, TILE, 0.0, 0)
    scene.build()
    return scene


def slab_scene(soil, rho, tau, sun=(0.0, 0.0, 1.0), leaf_angle_type=0, leaf_size=0.05, build=True,
               rho_back=None):
    """A periodic tile: ground (instance 0) under a turbid slab between z = 1 and 3 (LAI 2) whose
    box is wider than the tile, leaves of reflectance rho (upper side; rho_back below, rho when
    not given) and transmittance tau, sun irradiance 2."""
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(1)
    back = rho if rho_back is None else rho_back
    scene.upload_spectral_params(np.array([soil, rho, back, tau, 2.0], np.float32))
    scene.add_material(0, 0, [])
    scene.add_material(13, 1, [rho, tau])
    scene.set_emitter(0, unit(sun), 4)
    scene.set_repetitive(100, TILE, TILE)
    scene.set_measurement_plane(3.5)
    add_quad(scene, 0.0, TILE, 0.0, 0)
    add_box(scene, (-1.0, -1.0, 1.0), (TILE + 1, TILE + 1, 3.0), 1)
    scene.set_optical_turbid_media([1.0], [leaf_angle_type], [1], [leaf_size], [-1, 0])
    if build:
        scene.build()
    return scene


@pytest.fixture(scope="module")
def scattering_slab():
    # Leaves whose lower side reflects less than the upper one, so that each side's optics count.
    return slab_scene(0.2, 0.45, 0.4, sun=(0.3, 0.1, 0.9), rho_back=0.15)


def test_lambertian_ground_flux_and_field():
    # Sun irradiance (2, 1) at 60 degrees zenith on ground of reflectance (0.3, 0.6): E mu A and
    # rho E mu A per band, exactly (cosine sampling of a Lambertian surface returns rho w).
    scene = ground_scene(rho=(0.3, 0.6), e_sun=(2.0, 1.0), sun=(np.sqrt(3), 0.0, 1.0))
    flux = FLUX(scene, 5, 4, 20000, 2)
    np.testing.assert_allclose(flux["downwelling"].sum(axis=(0, 1)), [100.0, 50.0], rtol=1e-5)
    np.testing.assert_allclose(flux["upwelling"].sum(axis=(0, 1)), [30.0, 30.0], rtol=1e-5)

    views = np.array([0, 0, 1, 0.6, 0, 0.8], np.float32)
    field = FWD(scene, 2, 2, [0.0, 1.0], 2000, 2, brf_directions=views, num_brf_dirs=2, terrain_instance_id=0)
    np.testing.assert_allclose(field["terrain"], [70.0, 20.0], rtol=1e-5)
    np.testing.assert_allclose(field["albedo"], [30.0, 30.0], rtol=1e-5)
    # A Lambertian ground reflects with the factor rho toward every direction.
    phi_in = incident_power(TILE, TILE, [2.0, 1.0], (np.sqrt(3), 0.0, 1.0))
    np.testing.assert_allclose(forward_brf(field, views, phi_in), [[0.3, 0.6], [0.3, 0.6]], rtol=1e-5)


@pytest.mark.parametrize("zenith", [0.0, 60.0])
def test_black_leaf_slab_absorbs_by_beer_lambert(zenith):
    # Black leaves over black soil: fPAR = 1 - exp(-G LAI / mu0) with G = 1/2 (spherical).
    mu, n = np.cos(np.radians(zenith)), 40000
    r = FWD(slab_scene(0.0, 0.0, 0.0, sun=(np.sin(np.radians(zenith)), 0.0, mu)), 2, 2, [0.0, 2.0, 4.0], n, 1,
            terrain_instance_id=0)
    incident = r["incident"][0]
    np.testing.assert_allclose(incident, 2.0 * mu * 100.0, rtol=1e-5)
    want = 1.0 - np.exp(-0.5 * 2.0 / mu)
    assert abs(r["grid"].sum() / incident - want) < 4 * np.sqrt(want * (1 - want) / n)
    np.testing.assert_allclose(r["terrain"][0] + r["grid"].sum(), incident, rtol=1e-5)


def test_scattering_leaves_balance_absorbed_reflected_transmitted(scattering_slab):
    n = 20000
    flux = FLUX(scattering_slab, 3, 3, n, 1)
    field = FWD(scattering_slab, 3, 3, [0.0, 2.0, 4.0], n, 1, terrain_instance_id=0)
    for r in (flux, field):
        incident = r["incident"][0]
        absorbed, transmitted, reflected = r["grid"].sum(), r["terrain"][0], r["escaped"][0]
        # Roulette trades energy without bias and the depth limit (16) removes almost none; the
        # sum is checked against 4 sigma of the reflected share, the noisiest part.
        share = reflected / incident
        assert abs(absorbed + transmitted + reflected - incident) < 4 * np.sqrt(share / n) * incident
        assert 0.05 < absorbed / incident < 0.5 and share > 0.05
    np.testing.assert_allclose(field["grid"].sum(), flux["grid"].sum(), rtol=1e-5)  # the same photons
    np.testing.assert_allclose(field["grid_direct"].sum(), field["grid"].sum(), rtol=1e-6)


def test_results_do_not_depend_on_the_thread_count(scattering_slab):
    # Several chunks of photons, so that several workers share the run.
    for run in (lambda t: FLUX(scattering_slab, 2, 2, 45000, 1, decompose=True, num_threads=t),
                lambda t: FWD(scattering_slab, 2, 2, [0.0, 4.0], 45000, 1, per_leaf=True, brf_directions=[0, 0, 1],
                              num_brf_dirs=1, num_threads=t)):
        one, three = run(1), run(3)
        assert list(three) == list(one)
        for key in one.keys() - {"_execution"}:
            np.testing.assert_allclose(three[key], one[key], rtol=1e-5, atol=1e-9)


def test_result_layout_and_execution_records(scattering_slab):
    plain = ground_scene(sky=(0.5,))
    flux = FLUX(plain, 3, 2, 100, 1, prob_sun=0.5, decompose=True)
    assert list(flux) == ["downwelling", "upwelling", "downwelling_direct", "downwelling_diffuse", "_execution"]
    assert flux["downwelling_diffuse"].dtype == np.float32 and flux["downwelling_diffuse"].shape == (2, 3, 1)
    assert flux["_execution"] == {"backend": "embree", "workflow": "optical_flux",
                                  "executor": "embree.cpu.optical_flux", "native": True}
    media = FLUX(scattering_slab, 3, 2, 100, 1)
    assert list(media) == ["downwelling", "upwelling", "terrain", "escaped", "incident", "grid", "grid_direct",
                           "grid_diffuse", "leaf", "_execution"]
    assert media["leaf"].shape == (scattering_slab.n_primitives(), 1) and media["grid"].shape == (2, 3, 1)

    field = FWD(plain, 3, 2, [0.0, 1.0, 2.0], 100, per_leaf=True)
    assert list(field) == ["grid", "leaf", "_execution"]
    assert field["grid"].shape == (2, 2, 3, 1) and field["leaf"].shape == (2, 1)
    assert field["_execution"]["workflow"] == "optical_forward"
    assert field["_execution"]["executor"] == "embree.cpu.optical_forward"
    field = FWD(scattering_slab, 1, 1, [0.0, 4.0], 100, brf_directions=np.eye(3), num_brf_dirs=3,
                terrain_instance_id=0)
    assert list(field) == ["grid", "brf", "albedo", "terrain", "escaped", "incident", "grid_direct",
                           "grid_diffuse", "_execution"]
    assert field["brf"].shape == (3, 1) and field["brf"][0, 0] == 0.0  # a horizontal view sees nothing
    assert field["_execution"]["executor"] == "embree.cpu.optical_brf"


@pytest.mark.parametrize("call, args, kwargs, kind, message", [
    (FLUX, (0, 1, 10, 1), {}, ValueError, "flux grid dimensions and band count must be positive"),
    (FLUX, (65536, 32768, 10, 1), {}, OverflowError, "flux grid element count exceeds signed device index range"),
    (FLUX, (1, 1, 0, 1), {}, ValueError, "Embree flux photon count must be positive"),
    (FLUX, (1, 1, 10, 1), {"prob_sun": np.nan}, ValueError, "prob_sun must be in [0, 1]"),
    (FWD, (), {"layer_heights": [1.0]}, RuntimeError, "layer_heights must have at least 2 entries"),
    (FWD, (), {"layer_heights": [0.0, np.nan]}, ValueError, "layer_heights must be finite and strictly increasing"),
    (FWD, (1, 0, [0.0, 1.0], 10), {}, ValueError, "forward grid dimensions and band count must be positive"),
    (FWD, (65536, 32768, [0.0, 1.0], 10), {}, OverflowError,
     "forward grid element count exceeds signed device index range"),
    (FWD, (1, 1, [0.0, 1.0], 0), {}, ValueError, "forward photon count must be positive"),
    (FWD, (1, 1, [0.0, 1.0], 10), {"brf_directions": [0, 0, 1], "num_brf_dirs": 2}, ValueError,
     "num_brf_dirs must be non-negative and match brf_directions"),
])
def test_argument_errors(call, args, kwargs, kind, message):
    with pytest.raises(kind) as err:
        call(ground_scene(), *args, **kwargs)
    assert str(err.value) == message


def test_scene_errors():
    unbuilt = tesk_gpu.EmbreeSceneManager()
    unbuilt.set_repetitive(1, TILE, TILE)
    with pytest.raises(RuntimeError, match="^Embree: build the scene before tracing rays$"):
        FLUX(unbuilt, 1, 1, 10, 1)
    no_extent = tesk_gpu.EmbreeSceneManager()
    no_extent.build()
    with pytest.raises(ValueError, match="^flux scene extent must be at least the minimum normalized float$"):
        FLUX(no_extent, 1, 1, 10, 1)
    with pytest.raises(TypeError):  # progress must be callable
        FLUX(ground_scene(), 1, 1, 10, 1, progress=3)


def horizon_scene():
    """A sun 0.1 degree above the horizon emits no photons: millions of them cost almost nothing."""
    return ground_scene(sun=(1.0, 0.0, 0.001))


def test_progress_after_every_million_photons_and_its_exceptions():
    calls = []
    result = FLUX(horizon_scene(), 1, 1, 2_500_000, 1, progress=lambda *a: calls.append(a))
    assert [c[:2] for c in calls] == [(1_000_000, 2_500_000), (2_000_000, 2_500_000), (2_500_000, 2_500_000)]
    assert all(isinstance(c[0], int) and isinstance(c[2], float) for c in calls)
    assert not result["downwelling"].any()

    def stop(done, total, elapsed_ms):
        raise ZeroDivisionError("enough photons")

    with pytest.raises(ZeroDivisionError, match="enough photons"):
        FWD(horizon_scene(), 1, 1, [0.0, 1.0], 10**12, progress=stop)


@pytest.mark.slow
def test_ctrl_c_interrupts_a_long_run(ctrl_c):
    scene = horizon_scene()
    with pytest.raises(KeyboardInterrupt):
        ctrl_c()
        FLUX(scene, 1, 1, 10**13, 1)  # days if not interrupted


def test_max_depth_override_and_console_lines(monkeypatch, capfd):
    scene = ground_scene()
    monkeypatch.setenv("TESK_MAX_DEPTH", "1")  # photons end at their first scattering
    assert not FLUX(scene, 2, 2, 100, 1, num_threads=2)["upwelling"].any()
    FWD(scene, 2, 3, [0.0, 1.0, 2.0], 100, num_threads=1)
    out = capfd.readouterr().out
    assert out.startswith("[CPU flux] TESK_MAX_DEPTH=1\n"
                          "Forward flux (CPU): 100 photons, grid 2x2, 1 bands, max_bounces_record=0, 2 threads\n")
    assert "[CPU fwd] TESK_MAX_DEPTH=1\nForward fPAR (CPU): 100 photons, grid 2x3x2, 1 bands, 1 threads\n" in out
    monkeypatch.setenv("TESK_MAX_DEPTH", "-2")
    np.testing.assert_allclose(FLUX(scene, 2, 2, 100, 1)["upwelling"].sum(), 60.0, rtol=1e-5)
    assert "TESK_MAX_DEPTH" not in capfd.readouterr().out


def leaves_over_ground():
    """Leaves over a quarter of the tile above a grey ground, two bands, oblique sun, no sky."""
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(2)
    scene.upload_spectral_params(np.array([0.2, 0.35, 0.1, 0.45, 0.08, 0.4, 0.05, 0.45, 1.5, 1.0], np.float32))
    scene.add_material(0, 0, [])
    scene.add_material(13, 2, [0.275, 0.25])
    scene.set_emitter(0, unit((0.4, 0.2, 0.9)), 8)
    scene.set_repetitive(20, TILE, TILE)
    scene.set_measurement_plane(2.0)
    add_quad(scene, 0.0, TILE, 0.0, 0)
    add_quad(scene, 0.0, TILE / 2, 1.0, 1)
    return scene, [1.5, 1.0]


def planophile_slab():
    """A planophile turbid slab of leaves whose two sides differ (upper 0.45, lower 0.1) over grey
    soil; leaves of size 0, so the sun path does not remember the view path (no hotspot, which
    forward photons do not model)."""
    return slab_scene(0.25, 0.45, 0.4, sun=(0.4, 0.2, 0.9), leaf_angle_type=1, leaf_size=0.0, build=False,
                      rho_back=0.1), [2.0]


@pytest.mark.parametrize("make_scene", [leaves_over_ground, planophile_slab])
def test_forward_and_backward_brf_agree(make_scene):
    # Both workflows give the radiant intensity toward each view (the last one is the sun's
    # direction); as reflectance factors they must agree. Both estimates spread by about 0.2 %
    # with these sample counts; 1 % is several standard errors of their difference.
    scene, e_sun = make_scene()
    cam = np.array([1, 0, 0, TILE / 2, 0, 1, 0, TILE / 2, 0, 0, 1, 20, 0, 0, 0, 1], np.float32)
    scene.set_sensor(0, 32, 32, TILE, TILE, cam)
    scene.build()
    sun = unit((0.4, 0.2, 0.9))
    views = np.concatenate([unit((0, 0, 1)), unit((-0.5, 0.3, 0.8)), unit((0.2, -0.6, 0.6)), sun])
    phi_in = incident_power(TILE, TILE, e_sun, sun)
    forward = FWD(scene, 1, 1, [0.0, 4.0], 200000, len(e_sun), brf_directions=views, num_brf_dirs=4)
    backward = tesk_gpu.simulate_brf_cpu(scene, views, 4 * 1024 * 128)
    np.testing.assert_allclose(forward_brf(forward, views, phi_in), backward_brf(backward, views, phi_in), rtol=0.01)
