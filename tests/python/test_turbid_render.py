"""Backward rendering through optical turbid media against closed-form canopy transport.

Scenes are periodic tiles holding a horizontal leaf slab (a closed box medium spanning the
tile) a little above a flat ground, seen by an orthographic camera; the slab is thus infinite.
"""

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
