import numpy as np
import pytest

import tesk_gpu


@pytest.fixture
def np_rng():
    """A seeded generator, so every test sees the same random inputs."""
    return np.random.default_rng(20261206)


def unit_square(scene, material_id=0):
    """Add the unit square in z = 0 (two counter-clockwise triangles, normal +z)."""
    v = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], dtype=np.float32)
    return scene.add_mesh(v, np.zeros((0, 3), np.float32), np.array([[0, 1, 2], [0, 2, 3]]), material_id)


@pytest.fixture
def scene():
    return tesk_gpu.EmbreeSceneManager()
