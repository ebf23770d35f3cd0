"""Leaf reverse ray tracing inside turbid media against closed-form canopy radiation."""

import numpy as np
import pytest
from scipy.special import expn

import tesk_gpu

TILE = 4.0


def box_mesh(lo, hi):
    v = np.array([[hi[0] if i & 1 else lo[0], hi[1] if i & 2 else lo[1], hi[2] if i & 4 else lo[2]]
                  for i in range(8)], np.float32)
    t = np.array([[0, 2, 1], [1, 2, 3], [4, 5, 6], [5, 7, 6], [0, 1, 4], [1, 5, 4],
                  [2, 6, 3], [3, 6, 7], [0, 4, 2], [2, 4, 6], [1, 3, 5], [3, 7, 5]], np.int32)
    return v, t


def medium_scene(lo, hi, lad, leaf_type, n_bands=1, periodic=False, ground=False):
    """One box of leaf medium (medium 0 on instance 0); with `ground`, a black ground at z = 0
    (instance 1). Periodic scenes tile the box over TILE x TILE."""
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(n_bands)
    scene.upload_spectral_params(np.zeros(3 * n_bands, np.float32))
    leaf_mat = scene.add_material(13, 0, [0.0, 0.0])
    v, t = box_mesh(lo, hi)
    scene.add_instance(scene.add_mesh(v, [], t, leaf_mat), 0, 0, 0)
    if ground:
        ground_mat = scene.add_material(0, 0, [])
        g = tesk_gpu.make_ground_plane(TILE / 2, TILE / 2, ground_mat, TILE)
        scene.add_instance(scene.add_mesh(g["vertices"], g["normals"], g["indices"], ground_mat),
                           TILE / 2, TILE / 2, 0.0)
        scene.set_optical_turbid_media([lad], [leaf_type], [1], [0.0], [0, -1])
    else:
        scene.set_optical_turbid_media([lad], [leaf_type], [1], [0.0], [0])
    if periodic:
        scene.set_repetitive(1000, TILE, TILE)
    scene.build()
    return scene


def run(scene, positions, normals, inside, **kw):
    """The leaf RRT with every sample in medium 0 of instance 0 where `inside`, else in none."""
    positions = np.asarray(positions, np.float32).reshape(-1, 3)
    n = len(positions)
    inside = np.broadcast_to(np.asarray(inside, bool), (n,))
    normals = np.broadcast_to(np.asarray(normals, np.float32), (n, 3))
    ids = np.where(inside, 0, -1).astype(np.int32)
    offsets = np.concatenate([[0], np.cumsum(inside)]).astype(np.int32)
    active = np.zeros(int(inside.sum()), np.int32)
    kw.setdefault("n_bands", 1)
    return tesk_gpu.run_turbid_leaf_rrt_cpu(scene, positions, normals, ids, ids, offsets, active, active, **kw)


def test_sunlit_probability_follows_beers_law():
    # Planophile leaves, sun 30 degrees off zenith: a sample at depth L along the sun is sunlit
    # with probability exp(-G(30) LAD L); samples outside the medium always are.
    lad = 1.3
    scene = medium_scene([0, 0, 0], [1, 1, 1], lad, 1)
    z = np.radians(30.0)
    s = np.array([np.sin(z), 0.0, np.cos(z)])
    pos = np.array([[0.2, 0.5, 0.3], [0.5, 0.3, 0.9], [0.8, 0.7, 0.1], [0.5, 0.5, 1.5]], np.float32)
    inside = [True, True, True, False]
    tilted = np.array([0.6, 0.0, 0.8], np.float32)
    out = run(scene, pos, tilted, inside, rays_per_sample=4, sun_irradiance=[2.0], sun_dir_x=s[0],
              sun_dir_z=s[2])
    assert out["_execution"] == {"backend": "embree", "workflow": "radiation_field_process",
                                 "executor": "embree.cpu.turbid_leaf_rrt", "native": True}
    res = out["payload"]
    g = scene.optical_turbid_medium(0)["g_function"][30]
    start = pos + 2e-4 * tilted  # the sun ray leaves the lit side of the leaf
    to_exit = np.minimum((1 - start[:, 0]) / s[0], (1 - start[:, 2]) / s[2])
    expected = np.where(inside, np.exp(-g * lad * to_exit), 1.0)
    np.testing.assert_allclose(res["p_sun"], expected, rtol=3e-5)
    # Direct irradiance given sunlit is |n.s| E on the lit side; black leaves and no sky leave
    # the total at that times p_sun.
    np.testing.assert_allclose(res["direct_irradiance_top"][0], 2.0 * tilted @ s, rtol=1e-5)
    np.testing.assert_array_equal(res["direct_irradiance_bottom"], 0.0)
    np.testing.assert_allclose(res["total_irradiance_top"][0], 2.0 * (tilted @ s) * expected, rtol=2e-4)
    np.testing.assert_array_equal(res["total_irradiance_bottom"], 0.0)
    # A leaf facing away from the sun is lit from below.
    down = run(scene, pos, -tilted, inside, rays_per_sample=1, sun_irradiance=[2.0], sun_dir_x=s[0],
               sun_dir_z=s[2])["payload"]
    np.testing.assert_allclose(down["direct_irradiance_bottom"][0], 2.0 * tilted @ s, rtol=1e-5)
    np.testing.assert_array_equal(down["direct_irradiance_top"], 0.0)
    # Deep in a dense medium the sun is never seen.
    dense = medium_scene([0, 0, 0], [1, 1, 1], 200.0, 0)
    assert run(dense, [0.5, 0.5, 0.5], [0, 0, 1], True, rays_per_sample=1,
               sun_irradiance=[1.0])["payload"]["p_sun"][0] == 0.0


def test_black_leaves_under_uniform_sky_see_the_slab_diffuse_transmittance():
    # A horizontal leaf at depth d in an infinite slab of spherical (G = 1/2) black leaves over a
    # black ground, uniform sky L: upper irradiance pi L 2 E3(LAD d / 2), lower 0.
    lad, top, sky = 1.5, 1.2, 0.8
    scene = medium_scene([0, 0, 0.2], [TILE, TILE, top], lad, 0, periodic=True, ground=True)
    rng = np.random.default_rng(3)
    n, rays = 48, 256
    depths = np.array([0.15, 0.6])
    for d in depths:
        pos = np.column_stack([rng.uniform(0.1, TILE - 0.1, (n, 2)), np.full(n, top - d)])
        res = run(scene, pos, [0, 0, 1], True, rays_per_sample=rays, sky_diffuse_radiance=[sky])["payload"]
        p = 2 * expn(3, 0.5 * lad * d)
        err = np.pi * sky * np.sqrt(p * (1 - p) / (n * rays))
        assert res["total_irradiance_top"].mean() == pytest.approx(np.pi * sky * p, abs=4 * err)
        np.testing.assert_array_equal(res["total_irradiance_bottom"], 0.0)
        np.testing.assert_allclose(res["p_sun"], np.exp(-0.5 * lad * d), rtol=2e-4)  # sun at zenith


def test_lossless_leaves_in_isotropic_field_keep_pi_l():
    # Non-absorbing leaves with band-dependent reflectance/transmittance in a uniform sky and no
    # other surface: radiance is L everywhere, so every face of every leaf receives pi L.
    scene = medium_scene([0, 0, 0], [1, 1, 1], 2.0, 2, n_bands=2)
    rng = np.random.default_rng(5)
    n = 24
    pos = rng.uniform(0.1, 0.9, (n, 3))
    normals = rng.normal(size=(n, 3))
    sky = np.array([1.0, 0.5], np.float32)
    res = run(scene, pos, normals.astype(np.float32), True, n_bands=2, rays_per_sample=128, max_depth=200,
              sky_diffuse_radiance=sky, medium_reflectance=[0.7, 0.1], medium_back_reflectance=[0.7, 0.1],
              medium_transmittance=[0.3, 0.9])["payload"]
    # The branch at a leaf is chosen by the band means, so both bands carry weights and scatter.
    for side in ("total_irradiance_top", "total_irradiance_bottom"):
        err = res[side].std(axis=1, ddof=1) / np.sqrt(n)
        assert np.all(np.abs(res[side].mean(axis=1) - np.pi * sky) < 4 * err + 1e-4)


def test_results_do_not_depend_on_threads_and_seed_changes_them():
    scene = medium_scene([0, 0, 0], [1, 1, 1], 1.0, 0)
    rng = np.random.default_rng(9)
    pos = rng.uniform(0.05, 0.95, (40, 3)).astype(np.float32)
    kw = dict(rays_per_sample=8, sky_diffuse_radiance=[1.0], sun_irradiance=[1.0], medium_reflectance=[0.4],
              medium_back_reflectance=[0.2], medium_transmittance=[0.3], sun_dir_x=0.3)
    a = run(scene, pos, [0, 0.6, 0.8], True, num_threads=1, **kw)["payload"]
    b = run(scene, pos, [0, 0.6, 0.8], True, num_threads=2, **kw)["payload"]
    c = run(scene, pos, [0, 0.6, 0.8], True, num_threads=2, seed=4, **kw)["payload"]
    for key in ("total_irradiance_top", "total_irradiance_bottom", "p_sun"):
        np.testing.assert_array_equal(a[key], b[key])
    assert not np.array_equal(a["total_irradiance_top"], c["total_irradiance_top"])


def test_thermal_isothermal_box_gives_blackbody_irradiance():
    # Leaves and box emit e B and reflect 1 - e: inside an enclosure at one temperature the
    # field is B whatever e, so each face receives pi B. The medium sits in a closed opaque box.
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(1)
    scene.upload_spectral_params(np.zeros(3, np.float32))
    leaf_mat = scene.add_material(13, 0, [0.0, 0.0])
    wall_mat = scene.add_material(0, 0, [])
    v, t = box_mesh([0.2, 0.2, 0.2], [0.8, 0.8, 0.8])
    scene.add_instance(scene.add_mesh(v, [], t, leaf_mat), 0, 0, 0)
    v, t = box_mesh([0, 0, 0], [1, 1, 1])
    scene.add_instance(scene.add_mesh(v, [], t[:, ::-1].copy(), wall_mat), 0, 0, 0)
    scene.set_optical_turbid_media([3.0], [0], [1], [0.0], [0, -1])
    scene.build()
    b = 120.0
    eps = np.array([0.9, 0.6], np.float32)
    res = run(scene, [[0.5, 0.5, 0.5], [0.3, 0.6, 0.4]], [0, 0, 1], True, rays_per_sample=1024,
              max_depth=100, thermal_mode=True, instance_lw_radiance=eps * b, instance_emissivity=eps)["payload"]
    # Per ray: e B per event until absorption (probability e); relative spread below 0.65.
    for side in ("total_irradiance_top", "total_irradiance_bottom"):
        np.testing.assert_allclose(res[side], np.pi * b, rtol=4 * 0.65 / np.sqrt(1024))


def test_argument_checks_in_order():
    scene = medium_scene([0, 0, 0], [1, 1, 1], 1.0, 0)
    p3, n3 = np.zeros((2, 3), np.float32), np.tile(np.float32([0, 0, 1]), (2, 1))
    i2, off = np.zeros(2, np.int32), np.array([0, 1, 2], np.int32)

    def call(pos=p3, nor=n3, med=i2, inst=i2, offsets=off, am=i2, ai=i2, n_bands=1, **kw):
        return tesk_gpu.run_turbid_leaf_rrt_cpu(scene, pos, nor, med, inst, offsets, am, ai, n_bands, **kw)

    cases = [
        (dict(pos=np.zeros((2, 2)), nor=np.zeros(3)), "positions must have shape [n_leaf_samples, 3]"),
        (dict(nor=np.zeros((3, 3)), med=i2[:1]), "normals must have the same [n_leaf_samples, 3] shape"),
        (dict(med=i2[:1], inst=i2[:1]), "medium_ids must have shape [n_leaf_samples]"),
        (dict(inst=i2[:1], offsets=off[:2]), "instance_ids must have shape [n_leaf_samples]"),
        (dict(offsets=off[:2], n_bands=0), "active_medium_offsets must have shape [n_leaf_samples + 1]"),
        (dict(n_bands=0, sky_directional_table=np.zeros((1, 16, 31))), "n_bands must be positive"),
        (dict(sky_directional_table=np.zeros((1, 16, 31))), "sky_directional_table must have shape [n_bands, 16, 32]"),
        (dict(offsets=np.array([0, 0, 9], np.int32), am=np.zeros(9, np.int32), ai=np.zeros(9, np.int32)),
         "At most 8 overlapping active turbid media are supported."),
        (dict(rays_per_sample=0), "rays_per_sample must be positive"),
        (dict(sun_irradiance=[1.0, 2.0]), "sun_irradiance must have shape [n_bands]"),
        (dict(medium_transmittance=[0.1, 0.2]),
         "medium optics must have shape [n_media * n_bands] (n_media optical turbid media)"),
        (dict(sun_dir_z=0.0), "sun direction must be finite and nonzero"),
        (dict(pos=np.full((2, 3), np.inf)), "positions must be finite"),
        (dict(nor=np.zeros((2, 3))), "normals must be finite and non-zero"),
    ]
    for kw, message in cases:
        with pytest.raises(ValueError) as err:
            call(**kw)
        assert str(err.value) == message
    with pytest.raises(IndexError):
        call(med=np.array([0, 1], np.int32))
    empty = call(pos=np.zeros((0, 3)), nor=np.zeros((0, 3)), med=i2[:0], inst=i2[:0], offsets=off[:1], am=i2[:0],
                 ai=i2[:0], n_bands=2)["payload"]
    assert empty["total_irradiance_top"].shape == (2, 0) and empty["p_sun"].shape == (0,)


# ---- the radiation-field process and states ------------------------------------------------------

CUBE_V = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [0, 0, 1], [1, 0, 1], [1, 1, 1], [0, 1, 1]],
                  np.float32)
CUBE_T = np.array([[0, 2, 1], [0, 3, 2], [4, 5, 6], [4, 6, 7], [0, 1, 5], [0, 5, 4], [1, 2, 6], [1, 6, 5],
                   [2, 3, 7], [2, 7, 6], [3, 0, 4], [3, 4, 7]], np.uint32)
REVISIONS = ("domain", "geometry", "transport", "property", "illumination", "microclimate", "sampling")


def cube_domain(scene, lad, budget=256):
    """A domain of one unit-cube component (stable ids instance 11, component 4, medium 5)."""
    comp = {"instance_id": 11, "component_id": 4, "medium_id": 5, "geometry_id": 6,
            "object_to_world": [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0], "bounds_min": [0, 0, 0],
            "bounds_max": [1, 1, 1], "leaf_area_density": lad, "leaf_length": 0.05, "leaf_width": 0.03,
            "sidedness": 1, "leaf_angle_distribution": "spherical", "closed_orientation": 1,
            "property_ids": [1, 2, 3, 4]}
    d = {"domain_key": 9, "vertices": CUBE_V, "triangles": CUBE_T, "components": [comp], "seed": 17,
         "quality": "preview"}
    d.update({f"{r}_revision": 1 for r in REVISIONS})
    return tesk_gpu._build_turbid_domain_embree(scene, d, {"seed": 3, "sample_budget": budget})["domain_id"]


def radiation_request(wavelengths=(550.0,), direct=(1.0,), sky=(0.0,), rho=0.0, tau=0.0, **changes):
    nb = len(wavelengths)
    q = {"contract_revision": 1, "workflow_revision": 7, "wavelengths": list(wavelengths),
         "band_widths": [10.0] * nb, "direct_irradiance": list(direct), "sky_radiance": list(sky),
         "sun_direction": [0.0, 0.0, 1.0], "rays_per_sample": 2, "max_depth": 4, "seed": 1,
         "owners": [{"instance_id": 11, "component_id": 4, "medium_id": 5, "transport_medium_id": 0,
                     "transport_instance_id": 0, "reflectance": [rho] * nb, "back_reflectance": [rho] * nb,
                     "transmittance": [tau] * nb}]}
    q.update(changes)
    return q


@pytest.fixture
def cube_scene():
    """The unit cube of spherical leaves (LAD 2) as scene medium 0 and as a resident domain."""
    scene = medium_scene([0, 0, 0], [1, 1, 1], 2.0, 0)
    return scene, cube_domain(scene, 2.0)


def test_radiation_state_absorbs_beers_law_share_of_the_sun(cube_scene):
    # Black spherical leaves, sun at zenith: the canopy absorbs E (1 - exp(-G LAD H)) per unit
    # top area, and the aggregate over the owner, leaf area times mean absorbed shortwave, is it.
    scene, domain = cube_scene
    token = tesk_gpu._execute_turbid_radiation_field_embree(scene, domain, radiation_request())
    assert (token["stage"], token["workflow_revision"], token["state_revision"]) == ("radiation", 7, 1)
    assert token["executor"] == "embree.cpp.turbid_radiation" and token["sample_count"] == 256
    agg = tesk_gpu._aggregate_turbid_state_embree(scene, token, ["absorbed_sw_top", "absorbed_sw_bottom",
                                                                 "absorbed_sw_direct"])
    (c,) = agg["components"]
    assert (c["instance_id"], c["component_id"], c["support"]) == (11, 4, 256)
    assert c["leaf_area"] == pytest.approx(2.0, rel=1e-5)
    f = c["fields"]
    absorbed = c["leaf_area"] * (f["absorbed_sw_top"]["mean"] + f["absorbed_sw_bottom"]["mean"])
    assert absorbed == pytest.approx(1 - np.exp(-1.0), rel=0.05)
    # Everything absorbed is direct sun, on sunlit leaves only.
    assert f["absorbed_sw_direct"]["mean"] == pytest.approx(f["absorbed_sw_top"]["mean"]
                                                            + f["absorbed_sw_bottom"]["mean"], rel=1e-5)
    assert f["absorbed_sw_top"]["shaded_mean"] == pytest.approx(0.0, abs=1e-6)
    assert 0.3 < c["p_sun"] < 0.8 and f["absorbed_sw_top"]["variance"] > 0


def test_apar_counts_bands_up_to_700_nm(cube_scene):
    scene, domain = cube_scene
    ids = tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)["sample_id"][:5]
    ratios = []
    for top in (700.0, 700.5):
        token = tesk_gpu._execute_turbid_radiation_field_embree(
            scene, domain, radiation_request(wavelengths=(650.0, top), direct=(1.0, 1.0), sky=(0.0, 0.0)))
        agg = tesk_gpu._aggregate_turbid_state_embree(scene, token, ["apar"], "samples", list(ids))
        lit = [(s["sunlit"]["apar"], s["sunlit"]["absorbed_sw_top"] + s["sunlit"]["absorbed_sw_bottom"])
               for s in agg["samples"] if s["p_sun"] > 0]
        ratios.append(np.mean([a / sw for a, sw in lit]))
    # Both bands absorb the same power; the second counts toward PAR only at 700 nm.
    k = 1e-9 / 0.119626565638697 * 1e6
    assert ratios[0] == pytest.approx((650 + 700) / 2 * k, rel=1e-5)
    assert ratios[1] == pytest.approx(650 / 2 * k, rel=1e-5)


def test_radiation_request_checks_in_order(cube_scene):
    scene, domain = cube_scene
    owner = radiation_request()["owners"][0]
    cases = [
        (dict(contract_revision=2, workflow_revision=0), "unsupported Turbid process contract revision"),
        (dict(workflow_revision=0, wavelengths=[]), "workflow revision must be non-zero"),
        (dict(wavelengths=[], band_widths=[]), "Turbid radiation bands cannot be empty"),
        (dict(band_widths=[1.0, 2.0]), "Turbid radiation wavelength/band-width count mismatch"),
        (dict(wavelengths=[-1.0], owners=[]), "Turbid radiation bands must be finite, increasing, and positive"),
        (dict(owners=[], rays_per_sample=0), "Turbid radiation owners must match domain components"),
        (dict(rays_per_sample=0, sun_direction=[np.nan, 0, 1]), "Turbid radiation ray and depth budgets must be positive"),
        (dict(sun_direction=[np.nan, 0, 1]), "sun direction contains a non-finite value"),
        (dict(sun_direction=[0, 0, 1.01], band_widths=[0.0]), "Turbid radiation sun direction must be normalized"),
        (dict(band_widths=[0.0]), "invalid Turbid radiation spectral input"),
        (dict(sky_radiance=[-1.0]), "invalid Turbid radiation spectral input"),
        (dict(owners=[dict(owner, component_id=5)]), "Turbid radiation owner identity mismatch"),
        (dict(owners=[dict(owner, transport_instance_id=-1)]), "Turbid radiation owner identity mismatch"),
        (dict(owners=[dict(owner, reflectance=[0.6], transmittance=[0.5])]), "invalid Turbid radiation owner optics"),
        (dict(owners=[dict(owner, transport_medium_id=1)]), "Turbid transport medium ID is not resident in the scene"),
    ]
    for changes, message in cases:
        with pytest.raises(ValueError) as err:
            tesk_gpu._execute_turbid_radiation_field_embree(scene, domain, radiation_request(**changes))
        assert str(err.value) == message
    assert tesk_gpu._debug_turbid_state_residency_embree(scene)["states"] == []  # nothing stored
    empty = tesk_gpu.EmbreeSceneManager()
    other = cube_domain(empty, 2.0, budget=8)
    with pytest.raises(RuntimeError, match="^Embree Turbid radiation requires a built optical scene. No fallback"):
        tesk_gpu._execute_turbid_radiation_field_embree(empty, other, radiation_request())


def test_aggregation_checks_and_stale_tokens(cube_scene):
    scene, domain = cube_scene
    token = tesk_gpu._execute_turbid_radiation_field_embree(scene, domain, radiation_request())
    agg = tesk_gpu._aggregate_turbid_state_embree
    cases = [
        (([],), "Turbid aggregation fields cannot be empty"),
        ((["leaf_colour"],), "unknown Turbid state field: leaf_colour"),
        ((["temperature", "temperature"],), "duplicate Turbid aggregation field"),
        ((["apar"], "everything"), "Turbid diagnostics must be 'components' or 'samples'"),
        ((["apar"], "samples"), "sample diagnostics require explicit requested sample IDs"),
        ((["apar"], "components", [1]), "requested sample IDs require diagnostics='samples'"),
        ((["apar"], "samples", [12345]), "requested Turbid diagnostic sample ID is not resident"),
    ]
    for args, message in cases:
        with pytest.raises(ValueError) as err:
            agg(scene, token, *args)
        assert str(err.value) == message
    with pytest.raises(ValueError, match="^state revision must be non-zero$"):
        agg(scene, dict(token, state_revision=0), ["apar"])
    stale = "^Stale TurbidState token belongs to another scene/domain or revision. No fallback was performed.$"
    with pytest.raises(RuntimeError, match=stale):
        agg(scene, dict(token, workflow_revision=8), ["apar"])
    with pytest.raises(RuntimeError, match=stale):
        agg(tesk_gpu.EmbreeSceneManager(), token, ["apar"])
    # A failed commit keeps the state; a grown sample pool drops it and its token goes stale.
    assert len(tesk_gpu._debug_turbid_state_residency_embree(scene)["states"]) == 1
    tesk_gpu._set_turbid_commit_failure_embree(scene, "derived_prune_stage")
    with pytest.raises(RuntimeError, match="^Injected Embree Turbid commit failure: derived_prune_stage$"):
        tesk_gpu._extend_turbid_samples_embree(scene, domain, {"seed": 3, "sample_budget": 512})
    assert agg(scene, token, ["apar"])["components"][0]["support"] == 256
    tesk_gpu._extend_turbid_samples_embree(scene, domain, {"seed": 3, "sample_budget": 512})
    assert tesk_gpu._debug_turbid_state_residency_embree(scene)["states"] == []
    with pytest.raises(ValueError, match="^sampling revision mismatch$"):
        agg(scene, token, ["apar"])


def test_weighted_reduction():
    scene = tesk_gpu.EmbreeSceneManager()
    r = tesk_gpu._test_turbid_weighted_reduction_embree(scene, [1.0, 3.0], [1.0, 1.0])
    assert (r["mean"], r["second_moment"], r["variance"]) == (2.0, 5.0, 1.0)
    assert r["executor"] == "embree.cpp.turbid_state_weighted_test"
    assert tesk_gpu._test_turbid_weighted_reduction_embree(scene, [4.0] * 3, [0.1, 2.0, 7.0])["mean"] == 4.0
    for values, weights, message in [([1.0], [], "weighted Turbid reduction requires equally-sized values/weights"),
                                     ([1.0], [0.0], "weighted Turbid reduction input must be finite and positive")]:
        with pytest.raises(ValueError, match=f"^{message}$"):
            tesk_gpu._test_turbid_weighted_reduction_embree(scene, values, weights)


# ---- the energy-balance process ------------------------------------------------------------------

SIGMA = 5.6703744e-8


def eb_request(token, t_air=298.0, h=10.0, k=0.0, ground=0.0, sky=None, **changes):
    q = {"contract_revision": 1, "workflow_revision": 3, "source_token": token, "air_temperature": t_air,
         "vapor_pressure": 1500.0, "pressure": 101325.0, "wind": 1.0,
         "sky_lw_radiance": SIGMA * t_air**4 / np.pi if sky is None else sky,
         "rays_per_sample": 16, "max_depth": 8, "max_iterations": 8, "convergence_tolerance": 0.05,
         "damping": 1.0, "newton_max_iterations": 50, "newton_tolerance": 1e-4,
         "owners": [{"transport_medium_id": 0, "transport_instance_id": 0, "active": True, "emissivity": 0.95,
                     "sidedness": 2.0, "leaf_width": 0.05, "stomata_sides": 1.0, "sensible_derivative": h,
                     "latent_coefficient": k, "ground_heat": ground}]}
    q.update(changes)
    return q


def sample_records(scene, domain, token):
    ids = list(tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)["sample_id"])
    return tesk_gpu._aggregate_turbid_state_embree(scene, token, ["temperature"], "samples", ids)["samples"]


def test_isothermal_enclosure_keeps_leaves_at_air_temperature():
    # Leaves inside a closed box whose walls emit as grey bodies at the air temperature, no
    # shortwave: the longwave field is the black body's, so every leaf settles at T_air.
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(1)
    scene.upload_spectral_params(np.zeros(3, np.float32))
    leaf_mat = scene.add_material(13, 0, [0.0, 0.0])
    wall_mat = scene.add_material(0, 0, [])
    v, t = box_mesh([0, 0, 0], [1, 1, 1])
    scene.add_instance(scene.add_mesh(v, [], t, leaf_mat), 0, 0, 0)
    v, t = box_mesh([-0.5, -0.5, -0.5], [1.5, 1.5, 1.5])
    scene.add_instance(scene.add_mesh(v, [], t, wall_mat), 0, 0, 0)
    scene.set_optical_turbid_media([2.0], [0], [1], [0.0], [0, -1])
    scene.build()
    domain = cube_domain(scene, 2.0, budget=64)
    dark = tesk_gpu._execute_turbid_radiation_field_embree(scene, domain, radiation_request(direct=(0.0,)))
    token = tesk_gpu._execute_turbid_energy_balance_embree(scene, domain, eb_request(dark, rays_per_sample=256))
    assert (token["stage"], token["state_revision"], token["executor"]) == \
        ("energy_balance", 2, "embree.cpp.turbid_energy_balance")
    records = sample_records(scene, domain, token)
    temps = np.array([s["sunlit"]["temperature"] for s in records])
    np.testing.assert_array_equal(temps, [s["shaded"]["temperature"] for s in records])  # no sun
    # Longwave noise of a few W m-2 moves a leaf by a fraction of a kelvin.
    assert abs(temps.mean() - 298.0) < 4 * temps.std() / np.sqrt(temps.size) + 0.02
    assert np.abs(temps - 298.0).max() < 2.0


def test_sunlit_leaves_are_warmer_and_each_branch_closes_its_budget(cube_scene):
    scene, domain = cube_scene
    sun = tesk_gpu._execute_turbid_radiation_field_embree(
        scene, domain, radiation_request(wavelengths=(500.0, 800.0), direct=(400.0, 300.0), sky=(20.0, 10.0),
                                         rho=0.1, tau=0.05))
    base = tesk_gpu._execute_turbid_energy_balance_embree(scene, domain, eb_request(sun, k=0.002, ground=5.0))
    assert base["converged"] and base["max_temperature_change"] <= 0.05 and base["sample_count"] == 256
    records = sample_records(scene, domain, base)
    lit = [s for s in records if s["p_sun"] > 0.5]
    assert np.mean([s["sunlit"]["temperature"] - s["shaded"]["temperature"] for s in lit]) > 3.0
    for s in records[:40]:
        for branch in ("sunlit", "shaded"):
            r = s[branch]
            if not r["converged"]:
                continue
            gain = r["absorbed_sw_top"] + r["absorbed_sw_bottom"] + r["absorbed_lw_top"] + r["absorbed_lw_bottom"]
            loss = r["emitted_longwave"] + r["sensible_heat"] + r["latent_heat"] + 5.0
            assert gain == pytest.approx(loss, abs=0.05 + 1e-4 * gain)

    def sunlit_mean(token):
        agg = tesk_gpu._aggregate_turbid_state_embree(scene, token, ["temperature"])
        return agg["components"][0]["fields"]["temperature"]["sunlit_mean"]

    windy = tesk_gpu._execute_turbid_energy_balance_embree(scene, domain, eb_request(sun, h=40.0, k=0.002,
                                                                                     ground=5.0))
    wet = tesk_gpu._execute_turbid_energy_balance_embree(scene, domain, eb_request(sun, k=0.02, ground=5.0))
    assert sunlit_mean(windy) < sunlit_mean(base) - 1.0
    assert sunlit_mean(wet) < sunlit_mean(base) - 1.0


def test_energy_balance_request_checks_in_order(cube_scene):
    scene, domain = cube_scene
    token = tesk_gpu._execute_turbid_radiation_field_embree(scene, domain, radiation_request())
    owner = eb_request(token)["owners"][0]
    eb_token = tesk_gpu._execute_turbid_energy_balance_embree(scene, domain, eb_request(token, max_iterations=1,
                                                                                        rays_per_sample=1))
    cases = [
        (dict(contract_revision=2, workflow_revision=0), "unsupported Turbid process contract revision"),
        (dict(workflow_revision=0, owners=[]), "workflow revision must be non-zero"),
        (dict(source_token=eb_token, owners=[]),
         "TurbidEnergyBalance requires a radiation- or static-physiology-stage token"),
        (dict(owners=[], max_depth=0), "TurbidEnergyBalance owners must match domain components"),
        (dict(max_iterations=0, damping=0.0), "TurbidEnergyBalance ray/depth/iteration budgets must be positive"),
        (dict(damping=0.0), "invalid TurbidEnergyBalance convergence scalars"),
        (dict(damping=1.5), "invalid TurbidEnergyBalance convergence scalars"),
        (dict(newton_tolerance=np.nan), "invalid TurbidEnergyBalance convergence scalars"),
        (dict(wind=np.inf, vapor_pressure=-1.0), "TurbidEnergyBalance microclimate must be finite"),
        (dict(vapor_pressure=-1.0), "TurbidEnergyBalance microclimate is outside its domain"),
        (dict(owners=[dict(owner, emissivity=0.0)]), "invalid TurbidEnergyBalance owner parameters"),
        (dict(owners=[dict(owner, sidedness=2.5)]), "invalid TurbidEnergyBalance owner parameters"),
    ]
    states = len(tesk_gpu._debug_turbid_state_residency_embree(scene)["states"])
    for changes, message in cases:
        with pytest.raises(ValueError) as err:
            tesk_gpu._execute_turbid_energy_balance_embree(scene, domain, eb_request(token, **changes))
        assert str(err.value) == message
    assert len(tesk_gpu._debug_turbid_state_residency_embree(scene)["states"]) == states
    # Accepted edges: damping 1, vapour pressure 0, an inactive owner's parameters are not read.
    ok = tesk_gpu._execute_turbid_energy_balance_embree(
        scene, domain, eb_request(token, vapor_pressure=0.0, max_iterations=1, rays_per_sample=1,
                                  owners=[dict(owner, active=False, emissivity=-1.0)]))
    (s,) = sample_records(scene, domain, ok)[:1]
    assert s["sunlit"]["temperature"] == s["shaded"]["temperature"] == 298.0


# ---- fields ---------------------------------------------------------------------------------------

def orientation_bins(normals):
    n = normals * np.where(normals[:, 2:3] < 0, -1.0, 1.0)
    theta = np.arccos(np.clip(n[:, 2] / np.linalg.norm(n, axis=1), -1, 1))
    phi = np.mod(np.arctan2(n[:, 1], n[:, 0]), 2 * np.pi)
    return np.minimum((phi / (2 * np.pi) * 8).astype(int), 7) + np.minimum((theta / (np.pi / 2) * 4).astype(int), 3) * 8


def spatial_paths(positions, lo=0.0, hi=1.0):
    q = np.floor(np.clip((positions - lo) / (hi - lo), 0, 0.9999999999999999) * 1024).astype(np.int64)
    path = np.zeros(len(positions), np.int64)
    for k in range(1, 11):
        bit = 10 - k
        path = (path << 3) | ((q[:, 0] >> bit) & 1) | (((q[:, 1] >> bit) & 1) << 1) | (((q[:, 2] >> bit) & 1) << 2)
    return path


@pytest.fixture
def sunlit_state(cube_scene):
    scene, domain = cube_scene
    token = tesk_gpu._execute_turbid_radiation_field_embree(scene, domain, radiation_request(direct=(100.0,)))
    return scene, domain, token


def test_field_bins_hold_leaf_area_weighted_means(sunlit_state):
    scene, domain, token = sunlit_state
    field = tesk_gpu._build_turbid_field_embree(scene, token, {"max_samples_per_leaf_cell": 300}, 10**8)
    assert field["executor"] == "embree.cpp.turbid_field" and field["field_revision"] == 1
    d = tesk_gpu._debug_turbid_field_embree(scene, field)
    assert d["cell_count"] == 1 and d["resident_bytes"] == d["minimum_resident_bytes"]  # root only
    pool = tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)
    records = tesk_gpu._aggregate_turbid_state_embree(scene, token, ["apar"], "samples",
                                                     list(pool["sample_id"]))["samples"]
    direct = np.array([s["p_sun"] * s["sunlit"]["absorbed_sw_direct"] for s in records])
    pos, nor = pool["position"].astype(np.float32), pool["normal"].astype(np.float32)
    bins = orientation_bins(nor.astype(np.float64))
    expected = np.array([direct[bins == b].mean() for b in bins])  # equal sample weights
    out = tesk_gpu._lookup_turbid_field_embree(scene, field, pos, nor, "direct")
    assert out["workflow"] == "turbid_field_lookup"
    np.testing.assert_allclose(out["values"], expected, rtol=1e-5)
    np.testing.assert_array_equal(out["matched_depth"], 0)
    # A downward normal falls in the bin of its mirror.
    np.testing.assert_array_equal(tesk_gpu._lookup_turbid_field_embree(scene, field, pos, -nor, "direct")["values"],
                                  out["values"])
    # Black leaves under a sun only: nothing diffuse is absorbed.
    np.testing.assert_allclose(tesk_gpu._lookup_turbid_field_embree(scene, field, pos, nor, "diffuse")["values"], 0,
                               atol=1e-4)


def test_field_tree_invariants_and_lookup_lands_in_sample_cell(sunlit_state):
    scene, domain, token = sunlit_state
    field = tesk_gpu._build_turbid_field_embree(scene, token, {"max_samples_per_leaf_cell": 8}, 10**9)
    d = tesk_gpu._debug_turbid_field_embree(scene, field)
    depth, parent, count, code = d["depth"], d["parent_index"], d["sample_count"], d["morton_code"].astype(np.int64)
    assert list(d["owner_cell_offsets"]) == [0, d["cell_count"]] and depth[0] == 0 and parent[0] == -1
    assert count[0] == 256 and depth.max() <= 10
    for c in range(1, d["cell_count"]):
        p = parent[c]
        assert depth[c] == depth[p] + 1
        # The child's path extends its parent's.
        assert (code[c] >> (36 - 3 * depth[p])) == (code[p] >> (36 - 3 * depth[p])) and code[c] & 63 == depth[c]
    children = np.bincount(parent[1:], weights=count[1:], minlength=d["cell_count"])
    split = children > 0
    np.testing.assert_array_equal(children[split], count[split])
    assert np.all(count[~split] <= 8) and np.all(count[split] > 8)
    pool = tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)
    pos, nor = pool["position"].astype(np.float32), pool["normal"].astype(np.float32)
    out = tesk_gpu._lookup_turbid_field_embree(scene, field, pos, nor, "source")
    paths = spatial_paths(pos.astype(np.float64))
    leaves = {(int(depth[c]), int(code[c] >> (36 - 3 * depth[c]))) for c in np.flatnonzero(~split)}
    for m, path in zip(out["matched_depth"], paths):
        assert (int(m), int(path >> (3 * (10 - m)))) in leaves
    assert np.all(out["fallback_depth"] <= out["matched_depth"])


def test_field_budgets_and_messages(sunlit_state):
    scene, domain, token = sunlit_state
    roots = tesk_gpu._debug_turbid_field_embree(
        scene, tesk_gpu._build_turbid_field_embree(scene, token, {"max_samples_per_leaf_cell": 256}, 10**8))
    cell = roots["minimum_resident_bytes"]
    assert tesk_gpu._debug_turbid_field_embree(
        scene, tesk_gpu._build_turbid_field_embree(scene, token, {}, cell * 64))["cell_count"] > 1
    fields = len(tesk_gpu._debug_turbid_field_residency_embree(scene)["fields"])
    build_cases = [
        (({}, 0), "Turbid field memory budget must be positive"),
        (({}, cell - 1), "Turbid field memory budget cannot hold mandatory roots"),
        (({}, cell), "Turbid field memory budget cannot hold the next cell"),
        (({"orientation_theta_bins": 5}, cell), "Task 7 TurbidField requires the default 4 x 8 orientation layout"),
        (({"source_field": "colour"}, cell), "Turbid field channels are missing"),
    ]
    for (config, budget), message in build_cases:
        with pytest.raises(ValueError) as err:
            tesk_gpu._build_turbid_field_embree(scene, token, config, budget)
        assert str(err.value) == message
    assert len(tesk_gpu._debug_turbid_field_residency_embree(scene)["fields"]) == fields
    field = tesk_gpu._build_turbid_field_embree(scene, token, {}, 10**9)
    look = tesk_gpu._lookup_turbid_field_embree
    p, n = np.float32([[0.5, 0.5, 0.5]]), np.float32([[0, 0, 1]])
    lookup_cases = [
        ((p, n[:0], "source"), "Turbid field lookup positions/normals must be matching [N,3] arrays"),
        ((p, n, "heat"), "unknown Turbid field source kind: heat"),
        ((p * np.nan, n, "source"), "Turbid field lookup position/normal must be finite"),
        ((p, n * 0, "source"), "Turbid field lookup normal must be non-zero"),
        ((p + 2, n, "source"), "Turbid field lookup is outside every field owner"),
        ((p, n, "source", [1]), "Turbid field lookup selector requires owner, medium, and resolved alias arrays"),
        ((p, n, "source", [1, 2], [5, 5], [5, 5]), "Turbid field lookup selector arrays must match query count"),
        ((p, n, "source", [0], [5], [5]), "Turbid field owner selection requires stable owner and medium IDs"),
        ((p, n, "source", [12345], [5], [5]), "Turbid field owner selector does not belong to this domain"),
    ]
    for args, message in lookup_cases:
        with pytest.raises(ValueError) as err:
            look(scene, field, *args)
        assert str(err.value) == message
    owner = tesk_gpu._debug_turbid_scene_relations_embree(scene)["owners"][0]["owner_id"]
    picked = look(scene, field, p, n, "source", [owner], [5], [5])
    assert picked["values"][0] == look(scene, field, p, n, "source")["values"][0]
    with pytest.raises(ValueError, match="^Turbid field resolved alias does not belong to its owner$"):
        look(scene, field, p, n, "source", [owner], [5], [6])
    # Rebuilding advances the revision and makes the old token stale; so does a grown pool.
    again = tesk_gpu._build_turbid_field_embree(scene, token, {"replace_field_id": field["field_id"]}, 10**9)
    assert (again["field_id"], again["field_revision"]) == (field["field_id"], 2)
    stale = "^Stale TurbidField token belongs to another scene/domain/state. No fallback was performed.$"
    with pytest.raises(RuntimeError, match=stale):
        look(scene, field, p, n, "source")
    tesk_gpu._extend_turbid_samples_embree(scene, domain, {"seed": 3, "sample_budget": 512})
    with pytest.raises(RuntimeError, match=stale):
        look(scene, again, p, n, "source")
    assert tesk_gpu._debug_turbid_field_residency_embree(scene)["fields"] == []


# ---- host states ----------------------------------------------------------------------------------

def host_state(ids, p, lit=None, shade=None, **changes):
    n = len(ids)
    d = {"contract_revision": 1, "stage": "generic", "workflow_revision": 2, "sample_ids": ids,
         "p_sun": np.full(n, p, np.float32), "sunlit": lit or {}, "shaded": shade or {}}
    d.update(changes)
    return d


def test_host_state_aggregates_and_fields_in_closed_form(cube_scene):
    scene, domain = cube_scene
    ids = tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)["sample_id"]
    n = len(ids)
    # Sunlit 310 K, shaded 290 K, sunlit with probability 1/4 everywhere.
    token = tesk_gpu._build_turbid_state_embree(scene, domain, host_state(
        ids, 0.25, {"temperature": np.full(n, 310.0), "emitted_longwave": np.full(n, 500.0)},
        {"temperature": np.full(n, 290.0), "emitted_longwave": np.full(n, 420.0)}))
    assert token["executor"] == "embree.cpp.turbid_state" and token["stage"] == "generic"
    t = tesk_gpu._aggregate_turbid_state_embree(scene, token, ["temperature"])["components"][0]
    m = t["fields"]["temperature"]
    assert t["p_sun"] == pytest.approx(0.25)
    assert (m["mean"], m["sunlit_mean"], m["shaded_mean"]) == pytest.approx((295.0, 310.0, 290.0))
    assert m["variance"] == pytest.approx(75.0, rel=1e-6)  # 0.25 * 15^2 + 0.75 * 5^2
    # The field of a uniform state is uniform: every query returns the p-weighted source.
    field = tesk_gpu._build_turbid_field_embree(scene, token, {"max_samples_per_leaf_cell": 8}, 10**9)
    rng = np.random.default_rng(4)
    q = rng.uniform(0.01, 0.99, (50, 3)).astype(np.float32)
    out = tesk_gpu._lookup_turbid_field_embree(scene, field, q, rng.normal(size=(50, 3)).astype(np.float32),
                                               "source")
    np.testing.assert_allclose(out["values"], 0.25 * 500 + 0.75 * 420, rtol=1e-6)
    # All shaded: the sunlit mean is 0 and the shaded mean the mean.
    dark = tesk_gpu._build_turbid_state_embree(scene, domain, host_state(
        ids, 0.0, {"temperature": np.full(n, 310.0)}, {"temperature": np.full(n, 290.0)}))
    m = tesk_gpu._aggregate_turbid_state_embree(scene, dark, ["temperature"])["components"][0]["fields"]["temperature"]
    assert (m["sunlit_mean"], m["shaded_mean"], m["mean"]) == pytest.approx((0.0, 290.0, 290.0))


def test_host_state_checks(cube_scene):
    scene, domain = cube_scene
    ids = tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)["sample_id"]
    n = len(ids)
    bad_ids = ids.copy()
    bad_ids[3] = bad_ids[2]
    cases = [
        (host_state(ids, 0.5, contract_revision=2), "incompatible Turbid contract revision"),
        (host_state(ids[:0], 0.5), "Turbid state must contain samples"),
        ({"sample_ids": ids, "p_sun": np.zeros(n)}, "Turbid state requires p_sun, sunlit, and shaded SoA values"),
        (host_state(ids, 0.5, p_sun=np.zeros(3)), "Turbid p_sun count mismatch"),
        (host_state(ids, 0.5, {"An": np.zeros(3)}), "sunlit state shape mismatch"),
        (host_state(bad_ids, 0.5), "duplicate or missing stable state sample id"),
        (host_state(ids, np.nan), "p_sun contains a non-finite value"),
        (host_state(ids, 1.5), "p_sun must be within [0, 1]"),
        (host_state(ids, 0.5, None, {"Ci": np.full(n, np.inf)}), "Ci contains a non-finite value"),
        (host_state(ids, 0.5, {"converged": np.full(n, 2)}), "Turbid convergence flag must be zero or one"),
        (host_state(ids[::-1].copy(), 0.5), "Turbid state stable sample ids do not match sample pool"),
        (host_state(ids[:5], 0.5), "Turbid state sample count is incompatible with sample pool"),
        (host_state(ids, 0.5, stage="radiation"), "radiation-stage TurbidState requires spectral state"),
        (host_state(ids, 0.5, stage="photosynthesis"), "reserved Turbid workflow stage"),
    ]
    for state, message in cases:
        with pytest.raises(ValueError) as err:
            tesk_gpu._build_turbid_state_embree(scene, domain, state)
        assert str(err.value) == message
    assert tesk_gpu._debug_turbid_state_residency_embree(scene)["states"] == []


def test_canopy_absorption_agrees_with_forward_photon_tracing():
    # A periodic slab of asymmetric leaves over a grey ground under sun and sky: the leaf-area
    # weighted absorption of the radiation state per unit ground equals the forward tracer's
    # absorbed fraction of the incident energy, within both Monte Carlo errors.
    from test_turbid_render import BOTTOM, TOP, slab_scene
    lai, rho, rho_b, tau, sky, zenith = 1.5, 0.4, 0.3, 0.3, 0.2, 30.0
    scene = slab_scene(lai, 0, rho, tau, 0.2, sun_zenith_deg=zenith, sky=sky, rho_back=rho_b)
    scene.set_measurement_plane(TOP + 0.1)  # photons start above the slab
    scene.build()
    photons = 100_000
    fwd = tesk_gpu.simulate_forward_cpu(scene, 4, 4, np.float32([0.0, BOTTOM, TOP, 2.0]), photons, 1, prob_sun=0.5,
                                        terrain_instance_id=0)
    a_fwd = fwd["grid"].sum() / fwd["incident"].sum()
    err_fwd = np.sqrt(a_fwd * (1 - a_fwd) / photons)
    v, t = box_mesh([0, 0, BOTTOM], [TILE, TILE, TOP])
    comp = {"instance_id": 11, "component_id": 4, "medium_id": 5, "geometry_id": 6, "bounds_min": [0, 0, BOTTOM],
            "bounds_max": [TILE, TILE, TOP], "leaf_area_density": lai / (TOP - BOTTOM), "leaf_length": 0.05,
            "leaf_width": 0.03, "sidedness": 1, "leaf_angle_distribution": "spherical", "closed_orientation": 1,
            "property_ids": [1, 2, 3, 4]}
    d = {"domain_key": 9, "vertices": v, "triangles": t.astype(np.uint32), "components": [comp], "seed": 17,
         "quality": "preview"}
    d.update({f"{r}_revision": 1 for r in REVISIONS})
    domain = tesk_gpu._build_turbid_domain_embree(scene, d, {"seed": 3, "sample_budget": 1024})["domain_id"]
    z = np.radians(zenith)
    q = radiation_request(direct=(1.0,), sky=(sky,), rays_per_sample=32, max_depth=50,
                          sun_direction=[np.sin(z), 0.0, np.cos(z)])
    q["owners"][0].update(transport_instance_id=1, reflectance=[rho], back_reflectance=[rho_b], transmittance=[tau])
    token = tesk_gpu._execute_turbid_radiation_field_embree(scene, domain, q)
    ids = list(tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)["sample_id"])
    agg = tesk_gpu._aggregate_turbid_state_embree(scene, token, ["absorbed_sw_top", "absorbed_sw_bottom"], "samples",
                                                  ids)
    c = agg["components"][0]
    total = lambda r: r["absorbed_sw_top"] + r["absorbed_sw_bottom"]  # noqa: E731
    per_sample = np.array([s["p_sun"] * total(s["sunlit"]) + (1 - s["p_sun"]) * total(s["shaded"])
                           for s in agg["samples"]])
    incident = TILE**2 * (np.cos(z) + np.pi * sky)
    a_rrt = c["leaf_area"] * (c["fields"]["absorbed_sw_top"]["mean"] + c["fields"]["absorbed_sw_bottom"]["mean"]) / incident
    assert a_rrt == pytest.approx(c["leaf_area"] * per_sample.mean() / incident, rel=1e-5)
    err_rrt = c["leaf_area"] * per_sample.std(ddof=1) / np.sqrt(len(per_sample)) / incident
    assert 0.2 < a_rrt < 0.5
    assert a_rrt == pytest.approx(a_fwd, abs=4 * np.hypot(err_fwd, err_rrt))


def test_failed_field_commit_stores_nothing(sunlit_state):
    scene, domain, token = sunlit_state
    for stage in ("field_table_stage", "field_table_replace", "field_removal"):
        tesk_gpu._set_turbid_commit_failure_embree(scene, stage)
        with pytest.raises(RuntimeError, match=f"^Injected Embree Turbid commit failure: {stage}$"):
            tesk_gpu._build_turbid_field_embree(scene, token, {}, 10**9)
        assert tesk_gpu._debug_turbid_field_residency_embree(scene)["fields"] == []
    field = tesk_gpu._build_turbid_field_embree(scene, token, {}, 10**9)  # disarmed after firing
    assert tesk_gpu._debug_turbid_field_residency_embree(scene)["fields"][0]["field_id"] == field["field_id"]


def test_overlapping_owners_add_their_media_where_samples_lie_inside_both():
    # Two overlapping boxes of leaves (A: x in [0, 1], B: x in [0.5, 1.5]) under a zenith sun:
    # a sample of A inside B starts in both media and sees the sun through both.
    lad_a, lad_b = 1.0, 2.0
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(1)
    scene.upload_spectral_params(np.zeros(3, np.float32))
    mats = [scene.add_material(13, 0, [0.0, 0.0]) for _ in range(2)]
    boxes = [([0, 0, 0], [1, 1, 1]), ([0.5, 0, 0], [1.5, 1, 1])]
    for (lo, hi), mat in zip(boxes, mats):
        v, t = box_mesh(lo, hi)
        scene.add_instance(scene.add_mesh(v, [], t, mat), 0, 0, 0)
    scene.set_optical_turbid_media([lad_a, lad_b], [0, 0], [1, 1], [0.0, 0.0], [0, 1])
    scene.build()
    comps, verts, tris = [], [], []
    for k, ((lo, hi), lad) in enumerate(zip(boxes, (lad_a, lad_b))):
        v, t = box_mesh(lo, hi)
        verts.append(v)
        tris.append(t.astype(np.uint32) + 8 * k)
        comps.append({"instance_id": 11 + k, "component_id": 4, "medium_id": 5 + k, "geometry_id": 6,
                      "bounds_min": lo, "bounds_max": hi, "leaf_area_density": lad, "leaf_length": 0.05,
                      "leaf_width": 0.03, "sidedness": 1, "leaf_angle_distribution": "spherical",
                      "closed_orientation": 1, "property_ids": [1, 2, 3, 4]})
    d = {"domain_key": 9, "vertices": np.vstack(verts), "triangles": np.vstack(tris), "components": comps,
         "component_vertex_offsets": np.array([0, 8, 16], np.uint64),
         "component_triangle_offsets": np.array([0, 12, 24], np.uint64),
         "overlap_offsets": np.array([0, 1, 1], np.uint64), "overlap_medium_ids": np.array([6], np.uint64),
         "seed": 17, "quality": "preview"}
    d.update({f"{r}_revision": 1 for r in REVISIONS})
    domain = tesk_gpu._build_turbid_domain_embree(scene, d, {"seed": 3, "sample_budget": 64})["domain_id"]
    q = radiation_request(rays_per_sample=1)
    q["owners"] = [dict(q["owners"][0], instance_id=11 + k, medium_id=5 + k, transport_medium_id=k,
                        transport_instance_id=k) for k in range(2)]
    token = tesk_gpu._execute_turbid_radiation_field_embree(scene, domain, q)
    pool = tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)
    samples = tesk_gpu._aggregate_turbid_state_embree(scene, token, ["apar"], "samples",
                                                      list(pool["sample_id"]))["samples"]
    pos = pool["position"]
    in_a, in_b = pos[:, 0] <= 1.0, pos[:, 0] >= 0.5
    depth = 1.0 - pos[:, 2] - 2e-4 * np.abs(pool["normal"][:, 2])
    expected = np.exp(-0.5 * (lad_a * in_a + lad_b * in_b) * depth)
    assert np.count_nonzero(in_a & in_b) > 20
    np.testing.assert_allclose([s["p_sun"] for s in samples], expected, rtol=1e-4)
    # One transport medium for two owners needs one set of optics.
    q["owners"][1].update(transport_medium_id=0, reflectance=[0.5])
    with pytest.raises(ValueError, match="^shared Turbid transport medium has conflicting optics$"):
        tesk_gpu._execute_turbid_radiation_field_embree(scene, domain, q)
