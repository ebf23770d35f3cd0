"""Mesh generators through the host: layout, counts and the documented edge cases."""

import numpy as np
import pytest

import tesk_gpu


def check_layout(mesh):
    assert list(mesh) == ["vertices", "normals", "indices"]
    assert mesh["vertices"].dtype == np.float32 and mesh["normals"].dtype == np.float32
    assert mesh["indices"].dtype == np.int32
    assert mesh["vertices"].shape == mesh["normals"].shape
    assert mesh["indices"].ndim == 2 and mesh["indices"].shape[1] == 3


def outward(mesh):
    v, n, f = mesh["vertices"], mesh["normals"], mesh["indices"]
    winding = np.cross(v[f[:, 1]] - v[f[:, 0]], v[f[:, 2]] - v[f[:, 0]])
    return np.all(np.sum(winding * n[f].sum(axis=1), axis=1) > 0)


def test_ground_plane():
    g = tesk_gpu.make_ground_plane(1, 1, 0, 1)
    check_layout(g)
    assert g["vertices"].shape == (9, 3) and g["indices"].shape == (8, 3)
    np.testing.assert_array_equal(g["vertices"][[0, -1]], [[-1, -1, 0], [1, 1, 0]])
    np.testing.assert_array_equal(g["indices"][0], [0, 1, 3])
    assert outward(g)
    one = tesk_gpu.make_ground_plane(1, 1, 0, 5)
    assert one["vertices"].shape == (4, 3) and one["indices"].shape == (2, 3)
    # The material id does not enter the mesh.
    np.testing.assert_array_equal(tesk_gpu.make_ground_plane(3, 2, 7, 0.5)["indices"],
                                  tesk_gpu.make_ground_plane(3, 2, 0, 0.5)["indices"])
    with pytest.raises(OverflowError):
        tesk_gpu.make_ground_plane(1e9, 1e9, 0, 1e-3)


def test_sphere():
    s0 = tesk_gpu.make_sphere(2, [0, 0, 0], 0)
    check_layout(s0)
    assert s0["vertices"].shape == (12, 3) and s0["indices"].shape == (20, 3)
    np.testing.assert_allclose(np.linalg.norm(s0["vertices"], axis=1), 2, rtol=1e-6)
    s1 = tesk_gpu.make_sphere(1, np.array([1, 2, 3], np.float64), 1)
    assert s1["vertices"].shape == (72, 3) and s1["indices"].shape == (80, 3)
    np.testing.assert_allclose(np.linalg.norm(s1["vertices"] - [1, 2, 3], axis=1), 1, rtol=1e-6)
    assert outward(s1)
    with pytest.raises(ValueError, match="^center must have three float32 values$"):
        tesk_gpu.make_sphere(1, [0, 0], 1)


def test_cylinder():
    c = tesk_gpu.make_cylinder(1, 3, 4)
    check_layout(c)
    assert c["vertices"].shape == (10, 3) and c["indices"].shape == (8, 3)
    np.testing.assert_allclose(c["vertices"][1], [1, 0, 3])
    np.testing.assert_allclose(c["normals"][1], [1, 0, 0])
    assert outward(c)
    empty = tesk_gpu.make_cylinder(1, 1, -2)
    assert empty["vertices"].shape == (0, 3) and empty["indices"].shape == (0, 3)
    zero = tesk_gpu.make_cylinder(1, 1, 0)
    assert zero["vertices"].shape == (2, 3) and zero["indices"].shape == (0, 3)
