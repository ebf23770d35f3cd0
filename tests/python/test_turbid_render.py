"""Backward rendering through optical turbid media against closed-form canopy transport.

Scenes are periodic tiles holding a horizontal leaf slab (a closed box medium spanning the
tile) a little above a flat ground, seen by an orthographic camera; the slab is thus infinite.
"""

import re

import numpy as np
import pytest

import tesk_gpu

TILE = 4.0
BOTTOM, TOP = 0.05, 1.05  # slab of thickness 1 above the ground at z = 0


def box_mesh(lo, hi):
    v = np.array([[hi[0] if i & 1 else lo[0], hi[1] if i & 2 else lo[1], hi[2] if i & 4 else lo[2]]
                  for i in range(8)], np.float32)
    t = np.array([[0, 2, 1], [1, 2, 3], [4, 5, 6], [5, 7, 6], [0, 1, 4], [1, 5, 4],
                  [2, 6, 3], [3, 6, 7], [0, 4, 2], [2, 4, 6], [1, 3, 5], [3, 7, 5]], np.int32)
    return v, t


def slab_scene(lai, leaf_type, rho, tau, ground_rho, sun_zenith_deg=None, sky=0.0, leaf_size=0.0,
               sif_ground=False, rho_back=None):
    """One band; leaf reflectance rho on the upper side (rho_back below, rho when not given) and
    transmittance tau."""
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(1)
    back = rho if rho_back is None else rho_back
    # ground, leaf (front, back, transmittance), sun, sky
    scene.upload_spectral_params(np.array([ground_rho, rho, back, tau, 1.0, sky], np.float32))
    ground_mat = scene.add_material(0, 0, [])
    leaf_mat = scene.add_material(13, 1, [rho, tau])
    g = tesk_gpu.make_ground_plane(TILE / 2, TILE / 2, ground_mat, TILE)
    gm = scene.add_mesh(g["vertices"], g["normals"], g["indices"], ground_mat)
    scene.add_instance(gm, TILE / 2, TILE / 2, 0.0)
    v, t = box_mesh([0, 0, BOTTOM], [TILE, TILE, TOP])
    scene.add_instance(scene.add_mesh(v, [], t, leaf_mat), 0, 0, 0)
    scene.set_optical_turbid_media([lai / (TOP - BOTTOM)], [leaf_type], [1], [leaf_size], [-1, 0])
    if sun_zenith_deg is not None:
        z = np.radians(sun_zenith_deg)
        scene.set_emitter(0, [np.sin(z), 0.0, np.cos(z)], 4)
    if sky > 0:
        scene.set_sky(5)
    scene.set_repetitive(1000, TILE, TILE)
    if sif_ground:
        scene.set_sif_only_mode(True)
    scene.build()
    if sif_ground:
        n = scene.n_primitives()
        spectra = np.zeros(n, np.float32)
        spectra[scene.get_primitive_mat_ids() == ground_mat] = 1.0
        scene.set_primitive_sif_spectra(spectra, 1)
    return scene


def view(scene, zenith_deg, azimuth_deg=0.0, size=16):
    """Orthographic camera seeing the tile along -v, v at the given zenith and azimuth."""
    z, a = np.radians(zenith_deg), np.radians(azimuth_deg)
    vz = np.array([np.sin(z) * np.cos(a), np.sin(z) * np.sin(a), np.cos(z)])
    vy = np.array([-np.sin(a), np.cos(a), 0.0])
    vx = np.cross(vy, vz)
    pos = np.array([TILE / 2, TILE / 2, 0.0]) + 10.0 * vz
    m = np.eye(4)
    m[:3, 0], m[:3, 1], m[:3, 2], m[:3, 3] = vx, vy, vz, pos
    scene.set_sensor(0, size, size, TILE, TILE, m.ravel())
    return vz


def pixel_mean_and_error(image):
    px = image.reshape(-1)
    return float(px.mean()), float(px.std(ddof=1) / np.sqrt(px.size))


@pytest.mark.parametrize("leaf_type", range(6))
def test_gap_fraction(leaf_type):
    # Black leaves over a ground that emits 1: the image is the probability of seeing the ground.
    lai = 1.5
    scene = slab_scene(lai, leaf_type, 0.0, 0.0, 0.0, sif_ground=True)
    for zenith in (0.0, 40.0):
        view(scene, zenith)
        spp = 64
        image = tesk_gpu.simulate_cpu(scene, spp=spp, max_depth=4)["payload"]
        g = scene.optical_turbid_medium(0)["g_function"]
        i = int(zenith)
        expected = np.exp(-g[i] * lai / np.cos(np.radians(zenith)))
        n = image.size * spp
        assert image.mean() == pytest.approx(expected, abs=4 * np.sqrt(expected * (1 - expected) / n))


def area_scattering_function(leaf_type, rho, tau, w_in, w_out, n=400, rho_back=None):
    """Gamma(w_in -> w_out) per unit leaf area and steradian for bi-Lambertian leaves: the
    projected-area-weighted leaf response averaged over the leaf normal distribution. Light
    arriving from above a leaf (n . w_in < 0) meets its upper side (rho), from below its lower
    side (rho_back)."""
    rho_back = rho if rho_back is None else rho_back
    theta = (np.arange(n) + 0.5) * (np.pi / 2) / n
    phi = (np.arange(2 * n) + 0.5) * np.pi / n
    th, ph = np.meshgrid(theta, phi, indexing="ij")
    normals = np.stack([np.sin(th) * np.cos(ph), np.sin(th) * np.sin(ph), np.cos(th)], axis=-1)
    density = {0: np.sin(th), 1: 2 / np.pi * (1 + np.cos(2 * th)), 2: 2 / np.pi * (1 - np.cos(2 * th)),
               3: 2 / np.pi * (1 - np.cos(4 * th)), 4: 2 / np.pi * (1 + np.cos(4 * th)),
               5: np.full_like(th, 2 / np.pi)}[leaf_type]
    a, b = normals @ w_in, normals @ w_out
    response = np.where(a * b < 0, np.where(a < 0, rho, rho_back), tau) / np.pi  # same side: reflection
    weight = density / (2 * np.pi) * (np.pi / 2 / n) * (np.pi / n)
    return float(np.sum(weight * np.abs(a) * np.abs(b) * response))


@pytest.mark.parametrize("leaf_type, sun_zenith, view_zenith, view_azimuth",
                         [(0, 30.0, 20.0, 90.0), (1, 45.0, 30.0, 180.0), (2, 60.0, 50.0, 60.0)])
def test_single_scattering(leaf_type, sun_zenith, view_zenith, view_azimuth):
    # The two sides of the leaves differ, so using one side's optics for the other shows.
    lai, rho, rho_back, tau = 1.0, 0.4, 0.15, 0.3
    scene = slab_scene(lai, leaf_type, rho, tau, 0.0, sun_zenith_deg=sun_zenith, rho_back=rho_back)
    v = view(scene, view_zenith, view_azimuth)
    out = tesk_gpu.simulate_cpu(scene, spp=96, max_depth=8, outputs=["scattering_order", "event_aov"],
                                max_output_order=1)
    order1 = out["scattering_order"][1]
    mean, err = pixel_mean_and_error(order1)
    z = np.radians(sun_zenith)
    s = np.array([np.sin(z), 0.0, np.cos(z)])
    g = scene.optical_turbid_medium(0)["g_function"]
    g_s = np.interp(sun_zenith, np.arange(91), g)
    g_v = np.interp(view_zenith, np.arange(91), g)
    mu_s, mu_v = np.cos(z), v[2]
    k = g_s / mu_s + g_v / mu_v
    gamma = area_scattering_function(leaf_type, rho, tau, -s, v, rho_back=rho_back)
    expected = 1.0 * gamma * (1 - np.exp(-lai * k)) / (mu_v * k)
    assert mean == pytest.approx(expected, abs=3 * err + 1e-3 * expected)
    # Single scattering inside the medium is reported in the turbid event slot.
    np.testing.assert_allclose(out["event_aov"][0].sum(), 0.0)
    assert out["event_aov"][1].mean() > 0.9 * expected


def test_white_furnace_through_media():
    # White leaves over a white ground under a uniform sky: no absorption, so every pixel sees
    # the sky radiance whatever the path.
    scene = slab_scene(2.0, 0, 0.6, 0.4, 1.0, sky=1.0)
    view(scene, 30.0)
    out = tesk_gpu.simulate_cpu(scene, spp=32, max_depth=400, outputs=["standard_error"])
    mean, err = pixel_mean_and_error(out["payload"])
    assert mean == pytest.approx(1.0, abs=4 * err + 1e-3)


def test_hotspot_brightens_backscatter():
    # With a finite leaf size the view along the sun sees fewer shadowed leaves.
    plain = slab_scene(2.0, 0, 0.5, 0.0, 0.0, sun_zenith_deg=30.0)
    hot = slab_scene(2.0, 0, 0.5, 0.0, 0.0, sun_zenith_deg=30.0, leaf_size=0.1)
    results = []
    for scene in (plain, hot):
        view(scene, 30.0, 0.0)
        results.append(pixel_mean_and_error(tesk_gpu.simulate_cpu(scene, spp=32, max_depth=2)["payload"]))
    (p, pe), (h, he) = results
    assert h > p + 4 * np.hypot(pe, he)


def crown_scene(centre, leaf_type=2):
    """A ground and one spherical crown of leaf medium (radius 1.2) in a periodic tile, with the
    copies of the crown that reach into the tile when it is cut by the tile walls."""
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(1)
    # ground, leaf (upper, lower, transmittance), sun, sky
    scene.upload_spectral_params(np.array([0.2, 0.45, 0.2, 0.35, 1.0, 0.3], np.float32))
    ground_mat = scene.add_material(0, 0, [])
    leaf_mat = scene.add_material(13, 1, [0.325, 0.35])
    g = tesk_gpu.make_ground_plane(TILE / 2, TILE / 2, ground_mat, TILE)
    scene.add_instance(scene.add_mesh(g["vertices"], g["normals"], g["indices"], ground_mat),
                       TILE / 2, TILE / 2, 0.0)
    s = tesk_gpu.make_sphere(1.2, [0.0, 0.0, 0.0], 3)
    crown = scene.add_mesh(s["vertices"], s["normals"], s["indices"], leaf_mat)
    for dx in (-TILE, 0.0, TILE):
        for dy in (-TILE, 0.0, TILE):
            x, y = centre[0] + dx, centre[1] + dy
            if -1.2 < x < TILE + 1.2 and -1.2 < y < TILE + 1.2:
                scene.add_instance(crown, x, y, 1.5)
    scene.set_optical_turbid_media([1.5], [leaf_type], [1], [0.05], [-1, 0])
    z = np.radians(35.0)
    scene.set_emitter(0, [np.sin(z) * 0.8, np.sin(z) * 0.6, np.cos(z)], 4)
    scene.set_sky(5)
    scene.set_repetitive(50, TILE, TILE)
    scene.build()
    return scene


@pytest.mark.parametrize("view_zenith", [0.0, 45.0])
def test_radiance_does_not_depend_on_where_tile_walls_cut_a_crown(view_zenith):
    # The tile seen whole holds the same periodic canopy wherever the walls cut the crown, so
    # its mean radiance is the same; a path that kept the medium it was in before wrapping across
    # a wall would see the cut crown darker.
    z = np.radians(view_zenith)
    d = np.array([np.sin(z) * 0.5, -np.sin(z) * np.sqrt(0.75), np.cos(z)])
    # Orthographic camera along -d whose pixel grid, traced back to the ground, covers the tile
    # exactly (camera x and y are the world axes), so the image samples one period evenly.
    length = 10.0 / d[2]
    cam = np.array([[1, 0, d[0], d[0] * length + TILE / 2], [0, 1, d[1], d[1] * length + TILE / 2],
                    [0, 0, d[2], d[2] * length], [0, 0, 0, 1]], np.float32)
    means = []
    for centre in ((TILE / 2, TILE / 2), (0.3, TILE - 0.4)):
        scene = crown_scene(centre)
        scene.set_sensor(0, 32, 32, TILE, TILE, cam.ravel())
        out = tesk_gpu.simulate_cpu(scene, spp=48, max_depth=6, outputs=["standard_error"])
        se = float(np.sqrt(np.sum(out["standard_error"].astype(np.float64) ** 2)) / out["payload"].size)
        means.append((float(out["payload"].mean()), se))
    (whole, e1), (cut, e2) = means
    assert e1 < 0.004 * whole  # precise enough to see the 1-2 % of a stale medium list
    assert cut == pytest.approx(whole, abs=4 * np.hypot(e1, e2))


# ---- emission of the leaves inside media -------------------------------------------------------

def planck(nm, kelvin):
    h, c, k, lam = 6.62607015e-34, 299792458.0, 1.380649e-23, np.asarray(nm) * 1e-9
    return 2 * h * c * c / lam**5 / np.expm1(h * c / (lam * k * kelvin)) * 1e-9


BANDS_NM = np.array([8000.0, 11000.0])


def emitting_slab(lai, rho, tau, sky, mode, ground_kelvin=0.0):
    """Two bands; leaves with reflectance rho and transmittance tau in both bands above a black
    ground at `ground_kelvin`, under a uniform sky of per-band radiance `sky`; periodic tile."""
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(2)
    # ground emissivity, leaf (front, back, transmittance), sky
    scene.upload_spectral_params(np.array([1, 1, rho, rho, rho, rho, tau, tau, *sky], np.float32))
    ground_mat = scene.add_material(0, 0, [0.0, 0.0, ground_kelvin])
    leaf_mat = scene.add_material(13, 2, [rho, tau])
    g = tesk_gpu.make_ground_plane(TILE / 2, TILE / 2, ground_mat, TILE)
    scene.add_instance(scene.add_mesh(g["vertices"], g["normals"], g["indices"], ground_mat), TILE / 2, TILE / 2, 0.0)
    v, t = box_mesh([0, 0, BOTTOM], [TILE, TILE, TOP])
    scene.add_instance(scene.add_mesh(v, [], t, leaf_mat), 0, 0, 0)
    scene.set_optical_turbid_media([lai / (TOP - BOTTOM)], [1], [1], [0.0], [-1, 0])
    if np.any(sky):
        scene.set_sky(8)
    scene.set_repetitive(1000, TILE, TILE)
    if mode == "thermal":
        scene.set_thermal_mode(True, BANDS_NM.tolist())
    else:
        scene.set_sif_only_mode(True)
    scene.build()
    view(scene, 30.0, 40.0, size=8)
    return scene


def test_leaves_in_an_isothermal_enclosure_emit_planck_radiance():
    # Grey leaves with emissivity 1 - rho - tau at T over a black ground at T under a sky of
    # B(T): Kirchhoff closes the enclosure, so every pixel shows B(T) whatever the leaves
    # scatter (a leaf that emitted without the emissivity, or a lost order, shows).
    T, rho, tau = 300.0, 0.15, 0.1
    b = planck(BANDS_NM, T)
    scene = emitting_slab(1.5, rho, tau, b, "thermal", ground_kelvin=T)
    scene.set_instance_turbid_thermal_state([0, T], [0, T], [0, 0.5], [0, 1 - rho - tau])
    outputs = ("radiance", "standard_error")
    one = tesk_gpu.simulate_cpu(scene, spp=32, max_depth=16, outputs=outputs, num_threads=1)
    two = tesk_gpu.simulate_cpu(scene, spp=32, max_depth=16, outputs=outputs, num_threads=2)
    np.testing.assert_array_equal(one["payload"], two["payload"])
    se = np.sqrt((one["standard_error"].reshape(-1, 2).astype(np.float64) ** 2).sum(0)) / 64
    assert np.all(np.abs(one["payload"].reshape(-1, 2).mean(0) - b) <= 5 * se)
    assert np.all(se < 0.02 * b)
    # Without the thermal state the leaves are cold: only sky and ground light gets through.
    scene.clear_instance_turbid_thermal_state()
    cold = tesk_gpu.simulate_cpu(scene, spp=8, max_depth=16)["payload"].reshape(-1, 2).mean(0)
    assert np.all(cold < 0.6 * b)


def test_dense_black_leaves_show_the_sunlit_shaded_mixture():
    # A dense black-leaf medium: every camera ray ends at its first leaf, which emits
    # eps * (f B(T_sunlit) + (1 - f) B(T_shaded)); the event split files it as emission.
    scene = emitting_slab(30.0, 0.0, 0.0, [0.0, 0.0], "thermal")
    scene.set_instance_turbid_thermal_state([0, 310.0], [0, 290.0], [0, 0.3], [0, 0.95])
    out = tesk_gpu.simulate_cpu(scene, spp=2, max_depth=4, outputs=("radiance", "event_aov"))
    want = 0.95 * (0.3 * planck(BANDS_NM, 310.0) + 0.7 * planck(BANDS_NM, 290.0))
    np.testing.assert_allclose(out["payload"].reshape(-1, 2), np.broadcast_to(want, (64, 2)), rtol=1e-5)
    np.testing.assert_array_equal(out["event_aov"][3], out["payload"])


def test_fluorescing_leaves_emit_their_cell_source():
    # Dense black leaves with a SIF exitance per cell of a 2 x 1 x 2 grid over the slab: the
    # camera sees the upper cells only, M / pi from each half of the tile along x.
    scene = emitting_slab(30.0, 0.0, 0.0, [0.0, 0.0], "sif")
    n_orient, stride = 2, 4
    joint = np.zeros((2, stride, n_orient, 2), np.float32)
    upper = {2: [3.0, 1.0], 3: [5.0, 2.0]}  # cell (z * 1 + y) * 2 + x
    for c, m in upper.items():
        joint[1, c] = m
    joint[1, 0:2] = 100.0  # lower cells, hidden below the dense top layer
    spatial = joint.mean(2)
    orientation = joint.mean(1)
    bounds_min = np.array([[0, 0, 0], [0, 0, BOTTOM]], np.float32)
    bounds_max = np.array([[1, 1, 1], [TILE, TILE, TOP]], np.float32)
    dims = np.array([[1, 1, 1], [2, 1, 2]], np.int32)
    scene.set_instance_sif_source_fields(spatial.ravel(), orientation.ravel(), joint.ravel(), joint.ravel(),
                                         bounds_min.ravel(), bounds_max.ravel(), dims.ravel(), 2, stride, 1, 2)
    view(scene, 0.0, size=8)
    image = tesk_gpu.simulate_cpu(scene, spp=2, max_depth=4)["payload"]
    np.testing.assert_allclose(image[:, :4], np.broadcast_to(np.array(upper[2]) / np.pi, (8, 4, 2)), rtol=1e-5)
    np.testing.assert_allclose(image[:, 4:], np.broadcast_to(np.array(upper[3]) / np.pi, (8, 4, 2)), rtol=1e-5)
    # Source fields of other bands than the render's are not read.
    scene.set_instance_sif_source_fields(spatial[..., :1].ravel(), orientation[..., :1].ravel(),
                                         joint[..., :1].ravel(), joint[..., :1].ravel(), bounds_min.ravel(),
                                         bounds_max.ravel(), dims.ravel(), 1, stride, 1, 2)
    assert not tesk_gpu.simulate_cpu(scene, spp=1, max_depth=4)["payload"].any()


def resident_cube_scene(lad=40.0, mode="thermal", budget=256, x_extent=1.0):
    """A unit cube of black spherical leaves (instance 0, medium 0) in thermal (or SIF-only)
    mode, seen from above by an orthographic camera inside its top face, and the cube as a
    resident domain of `budget` samples whose part names instance 0. With x_extent > 1 the
    instance's medium reaches beyond the domain's part along x."""
    from test_turbid_radiation import cube_domain

    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(2)
    scene.upload_spectral_params(np.zeros(6, np.float32))
    v, t = box_mesh([0, 0, 0], [x_extent, 1, 1])
    scene.add_instance(scene.add_mesh(v, [], t, scene.add_material(13, 0, [0.0, 0.0])), 0, 0, 0)
    scene.set_optical_turbid_media([lad], [0], [1], [0.0], [0])
    if mode == "thermal":
        scene.set_thermal_mode(True, BANDS_NM.tolist())
    else:
        scene.set_sif_only_mode(True)
    scene.build()
    m = np.eye(4)
    m[:3, 3] = [0.5, 0.5, 5.0]
    scene.set_sensor(0, 6, 6, 0.8, 0.8, m.ravel())
    return scene, cube_domain(scene, lad, budget)


def leaf_state(scene, domain, stage, p_sun, sunlit, shaded):
    ids = tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)["sample_id"]
    n = len(ids)
    return tesk_gpu._build_turbid_state_embree(scene, domain, {
        "contract_revision": 1, "stage": stage, "workflow_revision": 2, "sample_ids": ids,
        "p_sun": np.full(n, p_sun, np.float32), "sunlit": {"temperature": np.full(n, sunlit)},
        "shaded": {"temperature": np.full(n, shaded)}})


def test_leaves_of_a_resident_domain_emit_its_energy_balance_temperature():
    scene, domain = resident_cube_scene()
    image = lambda: tesk_gpu.simulate_cpu(scene, spp=2, max_depth=4)["payload"].reshape(-1, 2)  # noqa: E731
    # A leaf-temperature field of a generic state is no energy balance: nothing is read.
    generic = leaf_state(scene, domain, "generic", 0.25, 310.0, 290.0)
    tesk_gpu._build_turbid_field_embree(scene, generic, {"source_field": "temperature"}, 10**9)
    assert not image().any()
    # The energy balance's field, black leaves (Kirchhoff emissivity 1), dense medium: every
    # pixel shows the expectation over the two conditions, 0.25 B(310 K) + 0.75 B(290 K), which
    # B being convex is above B of the mean temperature 295 K.
    state = leaf_state(scene, domain, "energy_balance", 0.25, 310.0, 290.0)
    tesk_gpu._build_turbid_field_embree(scene, state, {"source_field": "temperature",
                                                       "max_samples_per_leaf_cell": 8}, 10**9)
    mixed = 0.25 * planck(BANDS_NM, 310.0) + 0.75 * planck(BANDS_NM, 290.0)
    assert (mixed > 1.003 * planck(BANDS_NM, 295.0)).all()
    np.testing.assert_allclose(image(), np.broadcast_to(mixed, (36, 2)), rtol=1e-4)
    # The per-instance thermal state gives the emissivity; the resident field keeps the temperatures.
    scene.set_instance_turbid_thermal_state([350.0], [350.0], [0.5], [0.9])
    np.testing.assert_allclose(image(), np.broadcast_to(0.9 * mixed, (36, 2)), rtol=1e-4)
    # New samples retire the field: the per-instance state applies.
    tesk_gpu._extend_turbid_samples_embree(scene, domain, {"seed": 3, "sample_budget": 512})
    assert tesk_gpu._debug_turbid_field_residency_embree(scene)["fields"] == []
    np.testing.assert_allclose(image(), np.broadcast_to(0.9 * planck(BANDS_NM, 350.0), (36, 2)), rtol=1e-4)


def test_an_instance_in_two_resident_domains_is_refused():
    from test_turbid_radiation import CUBE_T, CUBE_V, REVISIONS

    scene, domain = resident_cube_scene()
    state = leaf_state(scene, domain, "energy_balance", 0.5, 300.0, 300.0)
    tesk_gpu._build_turbid_field_embree(scene, state, {"source_field": "temperature"}, 10**9)
    # A second domain over the same cube: its part names instance 0 too.
    comp = {"instance_id": 12, "component_id": 1, "medium_id": 6, "geometry_id": 6,
            "object_to_world": [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0], "bounds_min": [0, 0, 0],
            "bounds_max": [1, 1, 1], "leaf_area_density": 1.0, "leaf_length": 0.05, "leaf_width": 0.03,
            "sidedness": 1, "leaf_angle_distribution": "spherical", "closed_orientation": 1,
            "property_ids": [1, 2, 3, 4]}
    d = {"domain_key": 10, "vertices": CUBE_V, "triangles": CUBE_T, "components": [comp], "seed": 17,
         "quality": "preview", **{f"{r}_revision": 1 for r in REVISIONS}}
    tesk_gpu._build_turbid_domain_embree(scene, d, {"seed": 3, "sample_budget": 64})
    with pytest.raises(RuntimeError, match="^A backend instance belongs to multiple resident Turbid "
                                           "observation domains$"):
        tesk_gpu.simulate_cpu(scene, spp=1, max_depth=4)


# ---- observation sources built from resident fields --------------------------------------------

def varied_state(scene, domain, p_sun, sunlit, shaded, stage="energy_balance"):
    ids = tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)["sample_id"]
    return tesk_gpu._build_turbid_state_embree(scene, domain, {
        "contract_revision": 1, "stage": stage, "workflow_revision": 2, "sample_ids": ids,
        "p_sun": np.asarray(p_sun, np.float32), "sunlit": {"temperature": np.asarray(sunlit, np.float32)},
        "shaded": {"temperature": np.asarray(shaded, np.float32)}})


def root_bin_means(values, bins):
    """Per orientation bin the mean of `values` [n, B] over the samples of the bin (the pool's
    samples carry equal leaf area), 0 where no sample falls."""
    out = np.zeros((32, values.shape[1]))
    for b in range(32):
        if np.any(bins == b):
            out[b] = values[bins == b].mean(0)
    return out


def test_thermal_source_bins_hold_the_mean_leaf_radiance_not_the_radiance_of_the_mean():
    from test_turbid_radiation import orientation_bins

    scene, domain = resident_cube_scene()
    pool = tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)
    n = len(pool["sample_id"])
    u = np.linspace(0.0, 1.0, n)
    p, t_lit, t_shade = 0.2 + 0.6 * u, 290.0 + 40.0 * u[::-1], 270.0 + 20.0 * u
    state = varied_state(scene, domain, p, t_lit, t_shade)
    field = tesk_gpu._build_turbid_field_embree(scene, state, {"source_field": "temperature",
                                                               "max_samples_per_leaf_cell": 1000}, 10**9)
    eps_front, eps_back = np.array([0.97, 0.9], np.float32), np.array([0.8, 0.6], np.float32)
    src = tesk_gpu._build_turbid_thermal_source_embree(scene, field, BANDS_NM.astype(np.float32), eps_front,
                                                       eps_back)
    assert src["executor"] == "embree.cpp.turbid_thermal_source" and src["workflow"] == "turbid_thermal_source"
    assert src["field_id"] != field["field_id"] and src["band_count"] == 2
    d = tesk_gpu._debug_turbid_field_embree(scene, src)
    assert d["spectral_source_resident"] and d["spectral_band_count"] == 2 and d["cell_count"] == 1
    assert d["resident_bytes"] == d["minimum_resident_bytes"] + 2 * 32 * 2 * 4
    b = p[:, None] * planck(BANDS_NM, t_lit[:, None]) + (1 - p[:, None]) * planck(BANDS_NM, t_shade[:, None])
    want = root_bin_means(b, orientation_bins(pool["normal"].astype(np.float64)))
    np.testing.assert_allclose(d["spectral_source_front"][0], want * eps_front, rtol=2e-5)
    np.testing.assert_allclose(d["spectral_source_back"][0], want * eps_back, rtol=2e-5)
    # The plain field is untouched and carries no source.
    assert not tesk_gpu._debug_turbid_field_embree(scene, field)["spectral_source_resident"]


def test_isothermal_crown_emits_planck_radiance_in_every_populated_bin_and_band():
    scene, domain = resident_cube_scene()
    state = leaf_state(scene, domain, "energy_balance", 0.4, 301.0, 301.0)
    field = tesk_gpu._build_turbid_field_embree(scene, state, {"source_field": "temperature",
                                                               "max_samples_per_leaf_cell": 8}, 10**9)
    bands = np.array([4000.0, 9000.0, 12000.0], np.float32)
    src = tesk_gpu._build_turbid_thermal_source_embree(scene, field, bands, np.ones(3, np.float32))
    d = tesk_gpu._debug_turbid_field_embree(scene, src)
    front = d["spectral_source_front"]
    assert front.shape == (d["cell_count"], 32, 3) and d["cell_count"] > 1
    populated = front[..., 0] > 0
    assert np.all(populated.any(1))  # every cell holds leaves
    np.testing.assert_allclose(front[populated], np.broadcast_to(planck(bands, 301.0), (populated.sum(), 3)),
                               rtol=2e-5)
    assert not front[~populated].any()
    np.testing.assert_array_equal(d["spectral_source_back"], front)  # back emissivity defaults to front


def test_sif_source_bins_hold_the_mean_exitance_over_pi():
    from test_turbid_radiation import orientation_bins

    scene, domain = resident_cube_scene()
    pool = tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)
    n = len(pool["sample_id"])
    state = leaf_state(scene, domain, "static_physiology", 0.5, 300.0, 300.0)
    field = tesk_gpu._build_turbid_field_embree(scene, state, {"source_field": "temperature",
                                                               "max_samples_per_leaf_cell": 1000}, 10**9)
    k = np.arange(n, dtype=np.float32)
    front = np.stack([1.0 + (k % 5), 0.5 + (k % 3)], axis=1).astype(np.float32)
    back = (0.25 * front[:, ::-1]).copy()
    src = tesk_gpu._build_turbid_sif_source_embree(scene, field, np.array([685.0, 740.0], np.float32), front, back)
    assert src["executor"] == "embree.cpp.turbid_sif_source" and src["band_count"] == 2
    d = tesk_gpu._debug_turbid_field_embree(scene, src)
    bins = orientation_bins(pool["normal"].astype(np.float64))
    np.testing.assert_allclose(d["spectral_source_front"][0], root_bin_means(front, bins) / np.pi, rtol=1e-5)
    np.testing.assert_allclose(d["spectral_source_back"][0], root_bin_means(back, bins) / np.pi, rtol=1e-5)


def test_observation_source_builds_refuse_bad_inputs_and_store_nothing():
    scene, domain = resident_cube_scene()
    n = len(tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)["sample_id"])
    state = leaf_state(scene, domain, "energy_balance", 0.5, 300.0, 300.0)
    field = tesk_gpu._build_turbid_field_embree(scene, state, {"source_field": "temperature"}, 10**9)
    bands, one = BANDS_NM.astype(np.float32), np.ones(2, np.float32)
    thermal = tesk_gpu._build_turbid_thermal_source_embree
    sif = tesk_gpu._build_turbid_sif_source_embree
    stale = dict(field, field_revision=field["field_revision"] + 1)
    cases = [
        (thermal, (field, bands, one[:1]), "Turbid thermal source emissivity must have one value per band"),
        (thermal, (field, bands, one, np.array([1.0, 1.5], np.float32)),
         "Turbid thermal source emissivity must lie in [0, 1]"),
        (thermal, (field, np.array([8000.0, -1.0], np.float32), one),
         "Turbid observation wavelengths must be positive and finite"),
        (thermal, (field, np.zeros(0, np.float32), np.zeros(0, np.float32)),
         "Turbid observation source needs at least one band"),
        (sif, (field, bands, np.ones((n, 3), np.float32)), "Turbid SIF source spectra must be [samples, bands] arrays"),
        (sif, (field, bands, np.ones((n + 1, 2), np.float32)),
         "Turbid SIF source spectra must be [samples, bands] arrays"),
        (sif, (field, bands, -np.ones((n, 2), np.float32)), "Turbid SIF source spectra must be finite and non-negative"),
    ]
    for fn, args, message in cases:
        with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
            fn(scene, *args)
    with pytest.raises(RuntimeError, match="^Stale TurbidField token"):
        thermal(scene, stale, bands, one)
    src = thermal(scene, field, bands, one)
    with pytest.raises(ValueError, match="^Turbid observation source must be built from a plain field$"):
        sif(scene, src, bands, np.ones((n, 2), np.float32))
    cold = leaf_state(scene, domain, "energy_balance", 0.5, 300.0, 0.0)
    cold_field = tesk_gpu._build_turbid_field_embree(scene, cold, {"source_field": "temperature"}, 10**9)
    with pytest.raises(ValueError, match="^Turbid thermal source needs positive leaf temperatures$"):
        thermal(scene, cold_field, bands, one)
    # Only the two plain fields and the one good source are resident.
    assert len(tesk_gpu._debug_turbid_field_residency_embree(scene)["fields"]) == 3


def test_renders_use_the_resident_thermal_source_and_refuse_stale_or_mismatched_ones():
    scene, domain = resident_cube_scene()

    def image(threads=0):
        return tesk_gpu.simulate_cpu(scene, spp=2, max_depth=4, num_threads=threads)["payload"].reshape(-1, 2)

    state = leaf_state(scene, domain, "energy_balance", 0.4, 301.0, 301.0)
    field = tesk_gpu._build_turbid_field_embree(scene, state, {"source_field": "temperature",
                                                               "max_samples_per_leaf_cell": 8}, 10**9)
    np.testing.assert_allclose(image(), np.broadcast_to(planck(BANDS_NM, 301.0), (36, 2)), rtol=1e-4)
    # The source's radiance replaces the temperature field's: the camera looks down on the
    # leaves' upper (front) faces of a dense medium, so every pixel shows eps_front B(T).
    bands = BANDS_NM.astype(np.float32)
    tesk_gpu._build_turbid_thermal_source_embree(scene, field, bands, np.array([0.9, 0.7], np.float32),
                                                 np.array([0.2, 0.1], np.float32))
    one = image(1)
    np.testing.assert_allclose(one, np.broadcast_to([0.9, 0.7] * planck(BANDS_NM, 301.0), (36, 2)), rtol=1e-4)
    np.testing.assert_array_equal(one, image(2))

    def refused(message):
        with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
            image()

    # Rebuilding the field the source came from leaves the source stale.
    field = tesk_gpu._build_turbid_field_embree(scene, state, {"source_field": "temperature",
                                                               "replace_field_id": field["field_id"]}, 10**9)
    refused("Passive Turbid observation field is not resident. No fallback was performed.")
    tesk_gpu._build_turbid_thermal_source_embree(scene, field, np.array([8000.0, 12000.0], np.float32),
                                                 np.ones(2, np.float32))
    refused("Passive Turbid observation bands do not match the sensor. No fallback was performed.")
    tesk_gpu._build_turbid_thermal_source_embree(scene, field, bands, np.full(2, 0.5, np.float32))
    np.testing.assert_allclose(image(), np.broadcast_to(0.5 * planck(BANDS_NM, 301.0), (36, 2)), rtol=1e-4)


def test_sif_only_renders_show_the_resident_fluorescence_source_of_the_face_seen():
    scene, domain = resident_cube_scene(mode="sif")
    n = len(tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)["sample_id"])
    state = leaf_state(scene, domain, "static_physiology", 0.5, 300.0, 300.0)
    field = tesk_gpu._build_turbid_field_embree(scene, state, {"source_field": "temperature"}, 10**9)
    front = np.tile(np.array([[3.0, 1.0]], np.float32), (n, 1))
    tesk_gpu._build_turbid_sif_source_embree(scene, field, np.array([685.0, 740.0], np.float32), front, 4 * front)
    image = tesk_gpu.simulate_cpu(scene, spp=2, max_depth=4)["payload"].reshape(-1, 2)
    np.testing.assert_allclose(image, np.broadcast_to(np.array([3.0, 1.0]) / np.pi, (36, 2)), rtol=1e-5)
    # A SIF-only render has no band centres: the band count must match.
    tesk_gpu._build_turbid_sif_source_embree(scene, field, np.array([740.0], np.float32), front[:, :1])
    with pytest.raises(RuntimeError, match="^Passive Turbid observation bands do not match the sensor"):
        tesk_gpu.simulate_cpu(scene, spp=1, max_depth=4)


def test_sources_of_two_domains_must_share_their_bands():
    from test_turbid_radiation import CUBE_T, CUBE_V, REVISIONS, cube_domain

    # Two dense black-leaf cubes side by side (instances 0 and 1), each a resident domain.
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(2)
    scene.upload_spectral_params(np.zeros(6, np.float32))
    mat = scene.add_material(13, 0, [0.0, 0.0])
    for x in (0.0, 1.0):
        v, t = box_mesh([x, 0, 0], [x + 1, 1, 1])
        scene.add_instance(scene.add_mesh(v, [], t, mat), 0, 0, 0)
    scene.set_optical_turbid_media([40.0], [0], [1], [0.0], [0])
    scene.set_thermal_mode(True, BANDS_NM.tolist())
    scene.build()
    m = np.eye(4)
    m[:3, 3] = [1.0, 0.5, 5.0]
    scene.set_sensor(0, 12, 6, 1.6, 0.8, m.ravel())
    left = cube_domain(scene, 40.0)
    comp = {"instance_id": 12, "component_id": 1, "medium_id": 6, "geometry_id": 7,
            "object_to_world": [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0], "bounds_min": [1, 0, 0],
            "bounds_max": [2, 1, 1], "leaf_area_density": 40.0, "leaf_length": 0.05, "leaf_width": 0.03,
            "sidedness": 1, "leaf_angle_distribution": "spherical", "closed_orientation": 1,
            "property_ids": [1, 2, 3, 4]}
    d = {"domain_key": 10, "vertices": CUBE_V + np.float32([1, 0, 0]), "triangles": CUBE_T, "components": [comp],
         "seed": 17, "quality": "preview", "sample_budget": 256, **{f"{r}_revision": 1 for r in REVISIONS}}
    probe = tesk_gpu.EmbreeSceneManager()
    tesk_gpu._build_turbid_domain_embree(probe, d, {"seed": 3, "sample_budget": 256})
    r = tesk_gpu._debug_turbid_scene_relations_embree(probe)
    parts = [dict(p, backend_instance_id=1) for p in r["parts"]]
    relations = {"contract_revision": 1, "relation_revision": 7, "owners": r["owners"], "parts": parts,
                 "overlaps": r["overlaps"], "vertices": r["vertices"], "triangles": r["triangles"]}
    right = tesk_gpu._build_turbid_domains_embree(scene, [d], relations)[0]["domain_id"]
    bands = BANDS_NM.astype(np.float32)
    fields = []
    for domain in (left, right):
        state = leaf_state(scene, domain, "energy_balance", 0.5, 300.0, 300.0)
        fields.append(tesk_gpu._build_turbid_field_embree(scene, state, {"source_field": "temperature"}, 10**9))
    tesk_gpu._build_turbid_thermal_source_embree(scene, fields[0], bands, np.full(2, 0.9, np.float32))
    tesk_gpu._build_turbid_thermal_source_embree(scene, fields[1], np.float32([8000.0, 12000.0]), np.ones(2, np.float32))
    message = "Resident Turbid observation domains have mismatched spectral bands. No fallback was performed."
    with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
        tesk_gpu.simulate_cpu(scene, spp=1, max_depth=4)
    # Matching bands: each cube shows its own source.
    tesk_gpu._build_turbid_thermal_source_embree(scene, fields[1], bands, np.full(2, 0.5, np.float32))
    image = tesk_gpu.simulate_cpu(scene, spp=2, max_depth=4)["payload"]
    b = planck(BANDS_NM, 300.0)
    np.testing.assert_allclose(image[:, :6], np.broadcast_to(0.9 * b, (6, 6, 2)), rtol=1e-4)
    np.testing.assert_allclose(image[:, 6:], np.broadcast_to(0.5 * b, (6, 6, 2)), rtol=1e-4)


def test_collisions_without_a_usable_resident_source_fail_instead_of_falling_back():
    def refused(scene, message):
        with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
            tesk_gpu.simulate_cpu(scene, spp=1, max_depth=4)

    # A fluorescence source is all the domain publishes: a thermal render cannot use it, and
    # the per-instance state does not stand in for it.
    scene, domain = resident_cube_scene()
    scene.set_instance_turbid_thermal_state([300.0], [300.0], [0.5], [1.0])
    n = len(tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)["sample_id"])
    state = leaf_state(scene, domain, "static_physiology", 0.5, 300.0, 300.0)
    field = tesk_gpu._build_turbid_field_embree(scene, state, {"source_field": "temperature"}, 10**9)
    tesk_gpu._build_turbid_sif_source_embree(scene, field, np.float32([685.0, 740.0]),
                                             np.ones((n, 2), np.float32))
    refused(scene, "Turbid collision has no compatible resident spectral source")

    # The instance's medium reaches to x = 2 but the domain's part ends at x = 1: the camera,
    # widened to the whole box, sees collisions that no part of the domain spans.
    scene, domain = resident_cube_scene(x_extent=2.0)
    m = np.eye(4)
    m[:3, 3] = [1.0, 0.5, 5.0]
    scene.set_sensor(0, 12, 6, 1.6, 0.8, m.ravel())
    state = leaf_state(scene, domain, "energy_balance", 0.5, 300.0, 300.0)
    tesk_gpu._build_turbid_field_embree(scene, state, {"source_field": "temperature"}, 10**9)
    refused(scene, "Turbid spectral collision has no authoritative transport part")

    # 16 samples leave most of the 32 orientation bins empty: a leaf met in such a bin has no
    # source, and no other orientation answers for it (thermal source and bare field alike).
    scene, domain = resident_cube_scene(budget=16)
    assert len(tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)["sample_id"]) <= 16
    state = leaf_state(scene, domain, "energy_balance", 0.5, 300.0, 300.0)
    field = tesk_gpu._build_turbid_field_embree(scene, state, {"source_field": "temperature"}, 10**9)
    refused(scene, "Turbid spectral field has no populated orientation")
    tesk_gpu._build_turbid_thermal_source_embree(scene, field, BANDS_NM.astype(np.float32),
                                                 np.ones(2, np.float32))
    refused(scene, "Turbid spectral field has no populated orientation")


def test_observation_sources_respect_their_memory_budget():
    scene, domain = resident_cube_scene()
    n = len(tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)["sample_id"])
    state = leaf_state(scene, domain, "energy_balance", 0.5, 300.0, 300.0)
    field = tesk_gpu._build_turbid_field_embree(scene, state, {"source_field": "temperature"}, 10**9)
    cells = len(tesk_gpu._debug_turbid_field_embree(scene, field)["depth"])
    base = tesk_gpu._debug_turbid_field_embree(scene, field)["resident_bytes"]
    bands = BANDS_NM.astype(np.float32)
    # Two faces of float radiances per cell, orientation bin and band come on top of the field.
    need = base + 2 * cells * 32 * len(bands) * 4
    thermal = lambda budget: tesk_gpu._build_turbid_thermal_source_embree(  # noqa: E731
        scene, field, bands, np.ones(2, np.float32), memory_budget=budget)
    sif = lambda budget: tesk_gpu._build_turbid_sif_source_embree(  # noqa: E731
        scene, field, bands, np.ones((n, 2), np.float32), memory_budget=budget)
    for build in (thermal, sif):
        for budget in (0, -1):
            with pytest.raises(ValueError, match="^Turbid field memory budget must be positive$"):
                build(budget)
        with pytest.raises(ValueError, match="^Turbid field final resident bytes exceed its hard budget$"):
            build(need - 1)
        assert build(need)["resident_bytes"] == need
    # The refused builds stored nothing: the field and the two sources that fit.
    assert len(tesk_gpu._debug_turbid_field_residency_embree(scene)["fields"]) == 3
