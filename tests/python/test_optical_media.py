"""Optical turbid media through the host: validation, records, free paths, hotspot factor."""

import numpy as np
import pytest

from conftest import unit_square


@pytest.fixture
def media_scene(scene):
    for _ in range(3):
        scene.add_material(13, 0, [])
    return scene


@pytest.mark.parametrize(
    "args, message",
    [
        (([1, 1], [0, 0], [1, 1], [0, 0, 0], [-1, -1, -1]), "Optical turbid-medium parameter arrays must have equal length."),
        (([1], [0], [1], [0], [-1]), "material_medium_ids length must equal the material count."),
        (([np.nan], [0], [1], [0], [-1, -1, -1]), "Optical turbid-medium leaf area density must be finite and >= 0."),
        (([1], [0], [1], [np.inf], [-1, -1, -1]), "Optical turbid-medium leaf characteristic length must be finite and >= 0."),
        (([1], [-1], [1], [0], [-1, -1, -1]), "Optical turbid-medium leaf angle type must be in [0, 5]."),
        (([1], [0], [0], [0], [-1, -1, -1]), "Optical turbid-medium orientation must be -1 or 1."),
        (([1], [0], [1], [0], [-1, 1, -1]), "material_medium_ids contains an invalid medium index."),
    ],
)
def test_validation_messages_keep_previous_table(media_scene, args, message):
    media_scene.set_optical_turbid_media([0.5], [2], [-1], [0.05], [0, -1, -1])
    with pytest.raises(ValueError) as err:
        media_scene.set_optical_turbid_media(*args)
    assert str(err.value) == message
    assert media_scene.num_optical_turbid_media() == 1
    assert media_scene.material_medium_ids() == [0, -1, -1]


def test_records_and_reuse(media_scene):
    media_scene.set_optical_turbid_media(np.array([0.0, 2.0]), [1, 5], [1, -1], [0.1, 0.0], [-1, 0, 0])
    m = media_scene.optical_turbid_medium(0)
    assert list(m) == ["leaf_area_density", "leaf_characteristic_length", "leaf_angle_type",
                       "orientation", "boundary_material", "g_function"]
    assert (m["leaf_area_density"], m["leaf_angle_type"], m["boundary_material"]) == (0.0, 1, 2)
    assert m["g_function"].shape == (91,) and m["g_function"][0] == pytest.approx(0.8488, abs=1e-4)
    assert media_scene.optical_turbid_medium(1)["g_function"][0] == pytest.approx(2 / np.pi, abs=1e-4)
    with pytest.raises(IndexError):
        media_scene.optical_turbid_medium(2)
    media_scene.clear_for_reuse()
    assert media_scene.num_optical_turbid_media() == 0


def test_free_path_sample(media_scene):
    media_scene.set_optical_turbid_media([1.0, 3.0], [0, 0], [1, 1], [0, 0], [0, 1, -1])
    s = media_scene.sample_combined_free_path([0, 1], [0, 0, 1], 1 - np.exp(-1.0), 0.2)
    assert s["extinction"] == pytest.approx(2.0)  # (1 + 3) * G, G = 1/2
    assert s["distance"] == pytest.approx(0.5, rel=1e-5)  # -ln(exp(-1)) / 2
    assert (s["entry"], s["medium_id"]) == (0, 0)  # 0.2 of the extinction falls in medium 0
    assert media_scene.sample_combined_free_path([0, 1], [0, 0, 1], 0.5, 0.3)["medium_id"] == 1
    none = media_scene.sample_combined_free_path([0] * 9, [0, 0, 1], 0.5, 0.5)
    assert none["entry"] == -1 and none["distance"] == pytest.approx(1e16)


def test_hotspot_transmittance(media_scene):
    media_scene.set_optical_turbid_media([1.0], [0], [1], [0.1], [0, -1, -1])
    up = [0.0, 0.0, 1.0]
    assert media_scene.conditional_hotspot_transmittance(0, 1.0, 2.0, 0.0, up, up) == pytest.approx(np.exp(-1.0))
    assert media_scene.conditional_hotspot_transmittance(0, 1.0, 2.0, 1.5, up, up) == pytest.approx(np.exp(-0.25))
    off = [np.sin(1.0), 0.0, np.cos(1.0)]
    t_off = media_scene.conditional_hotspot_transmittance(0, 1.0, 2.0, 2.0, up, off)
    assert np.exp(-1.0) <= t_off < np.exp(-0.25)
    with pytest.raises(ValueError, match="^source and observation directions need 3 values$"):
        media_scene.conditional_hotspot_transmittance(0, 1.0, 2.0, 2.0, up, [0, 1])
    with pytest.raises(IndexError):
        media_scene.conditional_hotspot_transmittance(3, 1.0, 2.0, 2.0, up, up)


def test_media_need_materials_to_exist(scene):
    unit_square(scene)
    with pytest.raises(ValueError, match="material count"):
        scene.set_optical_turbid_media([1.0], [0], [1], [0.0], [0])
    scene.set_optical_turbid_media([], [], [], [], [])
    assert scene.num_optical_turbid_media() == 0
