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
               sif_ground=False):
    """One band; leaf front = back reflectance rho and transmittance tau."""
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(1)
    # ground, leaf (front, back, transmittance), sun, sky
    scene.upload_spectral_params(np.array([ground_rho, rho, rho, tau, 1.0, sky], np.float32))
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


def area_scattering_function(leaf_type, rho, tau, w_in, w_out, n=400):
    """Gamma(w_in -> w_out) per unit leaf area and steradian for bi-Lambertian leaves: the
    projected-area-weighted leaf response averaged over the leaf normal distribution."""
    theta = (np.arange(n) + 0.5) * (np.pi / 2) / n
    phi = (np.arange(2 * n) + 0.5) * np.pi / n
    th, ph = np.meshgrid(theta, phi, indexing="ij")
    normals = np.stack([np.sin(th) * np.cos(ph), np.sin(th) * np.sin(ph), np.cos(th)], axis=-1)
    density = {0: np.sin(th), 1: 2 / np.pi * (1 + np.cos(2 * th)), 2: 2 / np.pi * (1 - np.cos(2 * th)),
               3: 2 / np.pi * (1 - np.cos(4 * th)), 4: 2 / np.pi * (1 + np.cos(4 * th)),
               5: np.full_like(th, 2 / np.pi)}[leaf_type]
    a, b = normals @ w_in, normals @ w_out
    response = np.where(a * b < 0, rho, tau) / np.pi  # same side: reflection
    weight = density / (2 * np.pi) * (np.pi / 2 / n) * (np.pi / n)
    return float(np.sum(weight * np.abs(a) * np.abs(b) * response))


@pytest.mark.parametrize("leaf_type, sun_zenith, view_zenith, view_azimuth",
                         [(0, 30.0, 20.0, 90.0), (1, 45.0, 30.0, 180.0), (2, 20.0, 50.0, 60.0)])
def test_single_scattering(leaf_type, sun_zenith, view_zenith, view_azimuth):
    lai, rho, tau = 1.0, 0.4, 0.3
    scene = slab_scene(lai, leaf_type, rho, tau, 0.0, sun_zenith_deg=sun_zenith)
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
    gamma = area_scattering_function(leaf_type, rho, tau, -s, v)
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
