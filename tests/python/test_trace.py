"""trace_closest against a brute-force intersector, across thread counts and bad rays."""

import numpy as np
import pytest

import tesk_gpu


def brute_force_closest(tris, origins, directions, t_min=1e-4):
    """Closest hit distance and triangle index per ray (inf / -1 on a miss), Moller-Trumbore."""
    o = origins[:, None, :].astype(np.float64)
    d = directions[:, None, :].astype(np.float64)
    p0, p1, p2 = (tris[None, :, k, :].astype(np.float64) for k in range(3))
    e1, e2 = p1 - p0, p2 - p0
    pv = np.cross(d, e2)
    det = np.sum(e1 * pv, axis=-1)
    with np.errstate(divide="ignore", invalid="ignore"):
        inv = 1.0 / det
        s = o - p0
        u = np.sum(s * pv, axis=-1) * inv
        q = np.cross(s, e1)
        v = np.sum(d * q, axis=-1) * inv
        t = np.sum(e2 * q, axis=-1) * inv
        ok = (np.abs(det) > 1e-12) & (u >= 0) & (v >= 0) & (u + v <= 1) & (t > t_min)
    t = np.where(ok, t, np.inf)
    idx = np.argmin(t, axis=1)
    best = t[np.arange(len(t)), idx]
    return best, np.where(np.isfinite(best), idx, -1)


@pytest.fixture
def sphere_field(scene, np_rng):
    sphere = tesk_gpu.make_sphere(1.0, [0, 0, 0], 1)
    ground = tesk_gpu.make_ground_plane(6, 6, 0, 3)
    g = scene.add_mesh(ground["vertices"], ground["normals"], ground["indices"], 0)
    s = scene.add_mesh(sphere["vertices"], sphere["normals"], sphere["indices"], 1)
    scene.add_instance(g, 0, 0, 0)
    n = 12
    xf = np.zeros((n, 3, 4), np.float32)
    # Random rotations and uniform scales, as the transport assumes.
    for i in range(n):
        q, _ = np.linalg.qr(np_rng.normal(size=(3, 3)))
        xf[i, :, :3] = q * np_rng.uniform(0.5, 1.5)
    xf[:, :, 3] = np_rng.uniform([-5, -5, 1], [5, 5, 4], size=(n, 3))
    scene.add_instances_xform(s, xf.reshape(n, 12))
    scene.build()
    return scene, scene.primitive_geometry()["vertices"]


def random_rays(np_rng, n):
    origins = np_rng.uniform([-7, -7, -1], [7, 7, 6], size=(n, 3)).astype(np.float32)
    directions = np_rng.normal(size=(n, 3)).astype(np.float32)
    directions /= np.linalg.norm(directions, axis=1, keepdims=True)
    return origins, directions


def pinhole_rays(n_side):
    """Rays of a camera above the field looking down, 16 consecutive rays from neighbouring
    pixels (traced as packets); a few invalid rays sit among them."""
    u, v = np.meshgrid(np.linspace(-0.15, 0.15, n_side), np.linspace(-0.15, 0.15, n_side))
    directions = np.stack([u.ravel(), v.ravel(), -np.ones(u.size)], axis=1).astype(np.float32)
    directions /= np.linalg.norm(directions, axis=1, keepdims=True)
    origins = np.tile(np.float32([0.3, -0.2, 6.0]), (u.size, 1))
    origins[[5, 40]] = [np.nan, 0, 9], [0, 0, np.inf]
    return origins, directions


@pytest.mark.parametrize("coherent", [False, True])
def test_matches_brute_force(sphere_field, np_rng, coherent):
    scene, tris = sphere_field
    origins, directions = pinhole_rays(56) if coherent else random_rays(np_rng, 3000)
    hits = scene.trace_closest(origins, directions)
    t_ref, prim_ref = brute_force_closest(tris, origins, directions)
    assert {k: v.dtype.kind for k, v in hits.items()} == {
        "t": "f", "instance_id": "i", "primitive_id": "i", "global_primitive_id": "i", "hit": "b",
        "is_back_face": "b", "normal": "f", "geometric_normal": "f", "material_id": "i"}
    assert hits["hit"].mean() > 0.3
    t_ref[~np.isfinite(origins).all(axis=1)] = np.inf  # invalid rays miss
    np.testing.assert_array_equal(hits["hit"], np.isfinite(t_ref))
    h = hits["hit"]
    np.testing.assert_allclose(hits["t"][h], t_ref[h], rtol=1e-4, atol=1e-4)
    # Ties on shared edges aside, the same triangle is found.
    assert np.mean(hits["global_primitive_id"][h] == prim_ref[h]) > 0.995
    assert np.all(hits["t"][~h] == np.float32(1e30))
    # Geometric normals face the ray, and back faces are those seen against their winding.
    gn = hits["geometric_normal"][h]
    assert np.all(np.sum(gn * directions[h], axis=1) <= 0)
    np.testing.assert_allclose(np.linalg.norm(hits["normal"][h], axis=1), 1.0, atol=1e-5)
    gp = hits["global_primitive_id"][h]
    winding = np.cross(tris[gp, 1] - tris[gp, 0], tris[gp, 2] - tris[gp, 0])
    np.testing.assert_array_equal(hits["is_back_face"][h], np.sum(winding * directions[h], axis=1) > 0)
    mats = hits["material_id"][h]
    np.testing.assert_array_equal(mats, np.where(hits["instance_id"][h] == 0, 0, 1))
    ground_up = hits["instance_id"][h] == 0
    assert np.all(np.abs(hits["normal"][h][ground_up][:, 2]) > 0.999)


def test_interval_and_thread_count(sphere_field, np_rng):
    scene, _ = sphere_field
    origins, directions = random_rays(np_rng, 20000)
    one = scene.trace_closest(origins, directions, num_threads=1)
    many = scene.trace_closest(origins, directions, num_threads=4)
    for key in one:
        np.testing.assert_array_equal(one[key], many[key], err_msg=key)
    short = scene.trace_closest(origins, directions, t_min=1e-4, t_max=0.5)
    assert np.all(short["t"][short["hit"]] <= 0.5)
    assert np.all(short["t"][~short["hit"]] == np.float32(0.5))
    assert short["hit"].sum() < one["hit"].sum()
    empty = scene.trace_closest(np.zeros((0, 3)), np.zeros((0, 3)))
    assert empty["t"].shape == (0,) and empty["normal"].shape == (0, 3)


def test_outputs_choose_columns(sphere_field, np_rng):
    scene, _ = sphere_field
    for origins, directions in (random_rays(np_rng, 5000), pinhole_rays(40)):
        full = scene.trace_closest(origins, directions, num_threads=1)
        for outputs in (("t", "hit", "global_primitive_id"), ["is_back_face"], ("normal", "material_id"), ()):
            part = scene.trace_closest(origins, directions, num_threads=2, outputs=outputs)
            assert list(part) == [k for k in full if k in outputs]
            for key, value in part.items():
                np.testing.assert_array_equal(value, full[key], err_msg=key)
    with pytest.raises(ValueError, match="unknown trace_closest output 'distance'"):
        scene.trace_closest(origins, directions, outputs=("t", "distance"))
    with pytest.raises(ValueError, match="outputs must be a sequence of column names"):
        scene.trace_closest(origins, directions, outputs="t")


def test_non_finite_rays_miss(sphere_field):
    scene, _ = sphere_field
    nan, inf = np.nan, np.inf
    origins = np.array([[nan, 0, 5], [0, 0, 5], [0, 0, inf], [0, 0, 5]], np.float32)
    directions = np.array([[0, 0, -1], [nan, 0, -1], [0, 0, -1], [0, 0, 0]], np.float32)
    hits = scene.trace_closest(origins, directions)
    assert not hits["hit"].any()
    np.testing.assert_array_equal(hits["instance_id"], -1)
    assert not scene.trace_closest([[0, 0, 5]], [[0, 0, -1]], t_min=np.nan)["hit"][0]
