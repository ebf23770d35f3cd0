"""Backward BRF: validation, sample budget, sensor untouched, Lambertian ground."""

import numpy as np
import pytest

import tesk_gpu


def lambertian_tile(rho=(0.3, 0.6), sun=(2.0, 1.0), size=4.0):
    """A periodic tile [0, size]^2 of Lambertian ground lit by a zenith sun, no sky."""
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(2)
    scene.upload_spectral_params(np.array(list(rho) + list(sun), np.float32))
    mat = scene.add_material(0, 0, [])
    g = tesk_gpu.make_ground_plane(size / 2, size / 2, mat, size)
    mesh = scene.add_mesh(g["vertices"], g["normals"], g["indices"], mat)
    scene.add_instance(mesh, size / 2, size / 2, 0.0)
    scene.set_emitter(0, [0.0, 0.0, 1.0], 2)
    scene.set_repetitive(4, size, size)
    scene.set_sensor(1, 8, 8, 1.0, 1.0, np.eye(4).ravel(), fov=30.0)
    scene.build()
    return scene


def test_lambertian_ground_for_every_direction():
    scene = lambertian_tile()
    dirs = np.array([[0, 0, 1], [0.5, 0, 0.866], [-0.3, 0.6, 0.74], [0.9, 0.0, 0.2]], np.float32)
    out = scene_brf = tesk_gpu.simulate_brf_cpu(scene, dirs.ravel(), num_photons=16 * 1024 * 4)
    assert list(out) == ["brf", "_execution"]
    assert out["_execution"] == {"backend": "embree", "workflow": "optical_brf",
                                 "executor": "embree.cpu.optical_brf", "native": True}
    brf = scene_brf["brf"]
    assert brf.shape == (4, 2) and brf.dtype == np.float32
    unit = dirs / np.linalg.norm(dirs, axis=1, keepdims=True)
    expected = np.outer(unit[:, 2], np.array([0.3 * 2.0, 0.6 * 1.0]) / np.pi) * 16.0
    # Single-bounce sunlight on a flat ground is the same for every sample: exact to rounding.
    np.testing.assert_allclose(brf, expected, rtol=1e-4)


def test_validation_and_sensor_restored():
    scene = lambertian_tile()
    before = scene.sensor_config()
    cases = [
        (dict(directions=np.zeros((1, 3)) + [0, 0, 1], num_photons=10), "directions must be a nonempty flat float3 array"),
        (dict(directions=[], num_photons=10), "directions must be a nonempty flat float3 array"),
        (dict(directions=[0, 0, 1, 0], num_photons=10), "directions must be a nonempty flat float3 array"),
        (dict(directions=[0, 0, 1], num_photons=0), "BRF photon count and maximum depth must be positive"),
        (dict(directions=[0, 0, 1], num_photons=10, max_depth=0), "BRF photon count and maximum depth must be positive"),
        (dict(directions=[0, 0, 1, 0, 0, 0], num_photons=10), "BRF observation directions must be nonzero"),
        (dict(directions=[0, 0, 1, 1, 0, 0], num_photons=10), "BRF observation directions must point upward"),
    ]
    for kwargs, message in cases:
        with pytest.raises(ValueError) as err:
            tesk_gpu.simulate_brf_cpu(scene, **kwargs)
        assert str(err.value) == message
    after = scene.sensor_config()
    assert after["type"] == before["type"] and after["width"] == before["width"]
    np.testing.assert_array_equal(after["camera_to_world"], before["camera_to_world"])


def test_sample_budget_and_progress():
    scene = lambertian_tile()
    calls = []
    out = tesk_gpu.simulate_brf_cpu(scene, [0, 0, 5], 1, progress=lambda *a: calls.append(a))
    assert out["brf"][0, 0] == pytest.approx(0.6 / np.pi * 16, rel=1e-4)  # (0, 0, 5) is nadir
    assert calls[0][:2] == (1, 1) and isinstance(calls[0][2], float)  # spp 16, capped at the budget
    calls.clear()
    tesk_gpu.simulate_brf_cpu(scene, [0, 0, 1, 0, 0.5, 1], 1024 * 2 * 20, progress=lambda *a: calls.append(a))
    assert [c[0] for c in calls] == [1024 * 20, 2 * 1024 * 20]

    def boom(*_):
        raise RuntimeError("stop")

    with pytest.raises(RuntimeError, match="stop"):
        tesk_gpu.simulate_brf_cpu(scene, [0, 0, 1], 10, progress=boom)
