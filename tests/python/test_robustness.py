"""Inputs and misuse that must end in a Python exception or a valid result, never in a crash:
untraceable transforms and coordinates, changes to a scene in use, Ctrl-C in the physiology
solver, impossible sizes, None for arrays, non-unit suns and the BRF direction count."""

import os
import threading

import numpy as np
import pytest

import tesk_gpu
from conftest import unit_square

IN_USE = "scene is in use by a running workflow and cannot be changed"
CAMERA = np.array([1, 0, 0, 5, 0, 1, 0, 5, 0, 0, 1, 10, 0, 0, 0, 1], np.float32)


def lit_ground(sun=(0.0, 0.0, 1.0), built=True):
    """A periodic 10 m tile of grey ground under a sun, seen by a 4x4 orthographic camera."""
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(1)
    scene.upload_spectral_params([0.3, 2.0])
    scene.add_material(0, 0, [])
    scene.set_emitter(0, np.asarray(sun, np.float32), 1)
    scene.set_repetitive(2, 10.0, 10.0)
    scene.set_sensor(0, 4, 4, 10.0, 10.0, CAMERA)
    scene.add_instance(unit_square(scene), 0.0, 0.0, 0.0, 10.0)
    if built:
        scene.build()
    return scene


def snapshot(scene):
    """What the getters say about a scene, for before/after comparisons."""
    return (scene.num_instances(), scene.n_primitives(), scene.geometry_build_revision(),
            scene.is_built(), scene.aabb(), scene.repetitive_config(), scene.thermal_mode(),
            repr(scene.sensor_config()), scene.get_primitive_temperatures().tolist())


# ---- transforms and coordinates ----------------------------------------------------------------

@pytest.mark.parametrize("add", [
    lambda s, m: s.add_instance(m, 0, 0, 0, 0.0),
    lambda s, m: s.add_instance(m, 0, 0, 0, 1e-20),
    lambda s, m: s.add_instance_xform(m, np.zeros(12, np.float32)),
    lambda s, m: s.add_instance_xform(m, [1, 2, 0, 0, 2, 4, 0, 0, 0, 0, 1, 0]),
    lambda s, m: s.add_instances_xform(m, np.zeros((2, 12), np.float32)),
])
def test_singular_transforms_are_refused_and_tracing_goes_on(add):
    scene = tesk_gpu.EmbreeSceneManager()
    mesh = unit_square(scene)
    with pytest.raises(ValueError, match=r"singular"):
        add(scene, mesh)
    assert scene.num_instances() == 0
    scene.add_instance(mesh, 0, 0, 0)
    scene.build()
    assert scene.trace_closest([[0.5, 0.5, 1.0]], [[0, 0, -1]])["hit"].all()


def test_huge_tiles_are_refused_and_periodic_renders_run():
    scene = lit_ground()
    before = snapshot(scene)
    with pytest.raises(ValueError, match="scene_x_size and scene_y_size must be finite and at most 1e10"):
        scene.set_repetitive(3, 1e30, 30)
    assert snapshot(scene) == before
    np.testing.assert_allclose(tesk_gpu.simulate_cpu(scene, spp=1)["payload"], 0.6 / np.pi, rtol=1e-5)


# ---- scenes in use -----------------------------------------------------------------------------

@pytest.mark.parametrize("change", [
    lambda s: s.add_instance(0, 0, 0, 5),
    lambda s: s.build(),
    lambda s: s.set_emitter(0, [1, 0, 1], 1),
    lambda s: s.set_primitive_temperatures([300.0, 300.0]),
    lambda s: s.clear_for_reuse(),
])
def test_a_change_from_the_progress_callback_is_refused(change):
    scene = lit_ground()
    before = snapshot(scene)
    image_before = tesk_gpu.simulate_cpu(scene, spp=1)["payload"]

    def progress(done, total, elapsed_ms):
        change(scene)

    with pytest.raises(RuntimeError) as info:
        tesk_gpu.simulate_cpu(scene, spp=2, progress=progress)
    assert str(info.value) == IN_USE
    with pytest.raises(RuntimeError, match=IN_USE):
        tesk_gpu.simulate_flux_cpu(scene, 1, 1, 100, 1, progress=progress)
    assert snapshot(scene) == before
    np.testing.assert_array_equal(tesk_gpu.simulate_cpu(scene, spp=1)["payload"], image_before)
    change(scene)  # allowed again once the workflow has returned


def test_build_from_another_thread_during_a_trace_is_refused_or_waits():
    scene = tesk_gpu.EmbreeSceneManager()
    sphere = tesk_gpu.make_sphere(1.0, [0, 0, 0], 3)
    mesh = scene.add_mesh(sphere["vertices"], sphere["normals"], sphere["indices"], 0)
    scene.add_instances_xform(mesh, np.tile(np.eye(3, 4, dtype=np.float32).ravel(), (50, 1)))
    scene.build()
    rng = np.random.default_rng(5)
    origins = rng.uniform(-3, 3, (200_000, 3)).astype(np.float32)
    directions = rng.normal(size=(200_000, 3)).astype(np.float32)
    outcomes = []
    stop = threading.Event()

    def rebuild():
        while not stop.is_set():
            try:
                scene.build()
                outcomes.append("built")
            except RuntimeError as e:
                outcomes.append(str(e))

    def trace():
        for _ in range(5):
            assert scene.trace_closest(origins, directions, num_threads=1)["hit"].any()

    workers = [threading.Thread(target=rebuild), threading.Thread(target=trace), threading.Thread(target=trace)]
    for w in workers:
        w.start()
    workers[1].join()
    workers[2].join()
    stop.set()
    workers[0].join()
    assert set(outcomes) <= {"built", IN_USE}
    assert scene.trace_closest([[0, 0, 5]], [[0, 0, -1]])["t"][0] == pytest.approx(4.0, abs=1e-2)


# ---- Ctrl-C, sizes, None -----------------------------------------------------------------------

@pytest.mark.slow
def test_ctrl_c_stops_a_physiology_solve_that_does_not_converge(ctrl_c):
    full = lambda v: np.full(4, v, np.float32)  # noqa: E731
    req = {"apar": full(1000.0)[:, None], "temperature": full(298.15), "co2": full(400.0),
           "relative_humidity": full(0.0), "vpd": full(1000.0), "pressure": full(101.325),
           "wind": full(1.0), "vcmax25": full(60.0), "jmax25": full(120.0), "rd25": full(1.0),
           "ball_berry_slope": full(9.0), "ball_berry_intercept": full(0.01), "quantum_yield": full(0.5),
           "max_iterations": 2**40, "tolerance": 1e-4}  # about a minute per element otherwise
    with pytest.raises(KeyboardInterrupt):
        ctrl_c()
        tesk_gpu.solve_physiology_cpu(tesk_gpu.EmbreeSceneManager(), req)


def physical_memory():
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(physical_memory() > 150e9, reason="this machine could hold these buffers")
@pytest.mark.parametrize("call, what", [
    (lambda: tesk_gpu.make_cylinder(1.0, 1.0, 1_070_000_000), "make_cylinder needs 154080000096 bytes"),
    (lambda: tesk_gpu.make_ground_plane(1e9, 1e9, 0, 4.4e4), "make_ground_plane needs"),
])
def test_impossible_meshes_are_memory_errors(call, what):
    with pytest.raises(MemoryError) as info:
        call()
    assert str(info.value).startswith(what) and "bytes of physical memory" in str(info.value)


@pytest.mark.skipif(physical_memory() > 1e12, reason="this machine could hold these buffers")
def test_impossible_images_and_tallies_are_memory_errors():
    scene = lit_ground()
    scene.set_sensor(0, 2**31 - 1, 2**31 - 1, 10.0, 10.0, CAMERA)
    before = snapshot(scene)
    with pytest.raises(MemoryError, match=r"^simulate_cpu image buffers needs \d+ bytes"):
        tesk_gpu.simulate_cpu(scene, spp=1)
    with pytest.raises(MemoryError, match=r"^forward field tallies needs \d+ bytes"):
        tesk_gpu.simulate_forward_cpu(scene, 40_000, 40_000, [0.0, 1.0], 10**6, num_threads=64)
    with pytest.raises(MemoryError, match=r"^forward flux tallies needs \d+ bytes"):
        tesk_gpu.simulate_flux_cpu(scene, 40_000, 40_000, 10**6, 1, num_threads=64)
    assert snapshot(scene) == before


def test_sun_length_does_not_scale_radiance_or_flux():
    unit_sun = lit_ground(sun=(0.6, 0.0, 0.8))
    long_sun = lit_ground(sun=(6.0, 0.0, 8.0))
    np.testing.assert_array_equal(tesk_gpu.simulate_cpu(unit_sun, spp=2)["payload"],
                                  tesk_gpu.simulate_cpu(long_sun, spp=2)["payload"])
    np.testing.assert_allclose(tesk_gpu.simulate_cpu(long_sun, spp=2)["payload"], 0.3 * 2.0 * 0.8 / np.pi, rtol=1e-5)
    flux = [tesk_gpu.simulate_flux_cpu(s, 1, 1, 1000, 1)["downwelling"] for s in (unit_sun, long_sun)]
    np.testing.assert_array_equal(*flux)
    for bad in ([0, 0, 0], [np.nan, 0, 1], [np.inf, 0, 1]):
        for call in (lambda: long_sun.set_emitter(0, bad, 1), lambda: long_sun.update_emitter_direction(bad)):
            with pytest.raises(ValueError, match="sun direction must be a finite nonzero vector"):
                call()
    np.testing.assert_allclose(tesk_gpu.simulate_cpu(long_sun, spp=2)["payload"], 0.3 * 2.0 * 0.8 / np.pi, rtol=1e-5)


def test_zero_brf_direction_count_ignores_the_directions():
    scene = lit_ground()
    result = tesk_gpu.simulate_forward_cpu(scene, 1, 1, [0.0, 1.0], 1000, brf_directions=[0, 0, 1], num_brf_dirs=0)
    assert "brf" not in result and result["_execution"]["executor"] == "embree.cpu.optical_forward"
    with_view = tesk_gpu.simulate_forward_cpu(scene, 1, 1, [0.0, 1.0], 1000, brf_directions=[0, 0, 1], num_brf_dirs=1)
    np.testing.assert_array_equal(result["grid"], with_view["grid"])
    assert with_view["brf"].shape == (1, 1)



def _unbound_members():
    """Every method and property getter of the module's classes, unbound."""
    for cls_name, cls in vars(tesk_gpu).items():
        if not isinstance(cls, type) or not cls.__module__.startswith("tesk_gpu"):
            continue
        for name, member in vars(cls).items():
            if isinstance(member, property):
                if member.fget is not None:
                    yield f"{cls_name}.{name}", member.fget
            elif callable(member) and not name.startswith("__") and not isinstance(member, staticmethod):
                yield f"{cls_name}.{name}", member


def test_unbound_calls_with_none_as_self_are_type_errors():
    # None in place of the instance is refused by the binding layer; it never reaches native
    # code as a null object.
    members = dict(_unbound_members())
    assert {"EmbreeSceneManager.build", "EmbreeSceneManager.total_triangles"} <= members.keys()
    for label, member in members.items():
        with pytest.raises(TypeError):
            member(None)
