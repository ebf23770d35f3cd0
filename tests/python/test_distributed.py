"""Photon ranges of the forward runs, pass ranges of the backward runs and their merges, on their
own and over a two-process Dask cluster: the merged result is bit-identical to the run on one
machine for any split at fold-block boundaries, any order of completion, and a worker killed
mid-run."""

import os
import signal

import numpy as np
import pytest

import tesk_gpu
from tesk_gpu import distributed

BLOCK = tesk_gpu.FOLD_PHOTONS
# Three fold blocks, the last one short: the ranges split at 1 and 2 block boundaries.
N = 2 * BLOCK + 30_000
TILE = 10.0


def build_scene(scene, media=False, sensor=False):
    """A periodic tile: a Lambertian ground (instance 0), a raised asymmetric leaf-like panel and,
    with media, a turbid slab between z = 1 and 3 with front != back leaves."""
    no_normals = np.zeros((0, 3), np.float32)
    scene.set_num_bands(2)
    scene.upload_spectral_params(np.array([0.2, 0.3, 0.45, 0.4, 0.25, 0.35, 0.1, 0.05, 1.5, 1.0], np.float32))
    scene.add_material(0, 0, [])
    scene.add_material(13, 2, [0.45, 0.1])
    scene.set_emitter(0, np.array([0.3, 0.2, 0.93], np.float32) / np.linalg.norm([0.3, 0.2, 0.93]), 8)
    scene.set_repetitive(8, TILE, TILE)
    quad = np.array([[0, 0, 0], [TILE, 0, 0], [TILE, TILE, 0], [0, TILE, 0]], np.float32)
    tris = np.array([[0, 1, 2], [0, 2, 3]])
    scene.add_instance(scene.add_mesh(quad, no_normals, tris, 0), 0.0, 0.0, 0.0)
    panel = np.array([[2, 2, 4], [6, 2, 4.5], [6, 7, 5], [2, 7, 4.2]], np.float32)
    scene.add_instance(scene.add_mesh(panel, no_normals, tris, 0), 0.0, 0.0, 0.0)
    if media:
        lo, hi = (-1.0, -1.0, 1.0), (TILE + 1, TILE + 1, 3.0)
        v = np.array([[hi[0] if i & 1 else lo[0], hi[1] if i & 2 else lo[1], hi[2] if i & 4 else lo[2]]
                      for i in range(8)], np.float32)
        box = np.array([[0, 2, 1], [1, 2, 3], [4, 5, 6], [5, 7, 6], [0, 1, 4], [1, 5, 4], [2, 6, 3], [3, 6, 7],
                        [0, 4, 2], [2, 4, 6], [1, 3, 5], [3, 7, 5]])
        scene.add_instance(scene.add_mesh(v, no_normals, box, 1), 0.0, 0.0, 0.0)
        scene.set_optical_turbid_media([0.3], [1], [1], [0.05], [-1, 0])
    if sensor:  # a 6 x 5 orthographic view of the tile from above
        scene.set_sensor(0, 6, 5, TILE, TILE, np.array([1, 0, 0, 5, 0, 1, 0, 5, 0, 0, 1, 9], np.float32))
    scene.build()
    return scene


def assert_identical(merged, whole):
    assert sorted(merged) == sorted(whole)
    for key, value in whole.items():
        if key == "_execution":
            assert merged[key] == value
            continue
        assert merged[key].dtype == np.float32 and merged[key].shape == value.shape, key
        assert np.array_equal(merged[key], value), key


def split(run, ranges):
    parts = [run(photon_range=r) for r in reversed(ranges)]  # completion order must not matter
    return distributed.merge_photon_ranges(parts)


@pytest.fixture(scope="module")
def media_scene():
    return build_scene(tesk_gpu.EmbreeSceneManager(), media=True)


def test_ranges_merge_bit_identically(media_scene):
    flux = lambda **kw: tesk_gpu.simulate_flux_cpu(media_scene, 4, 3, N, 2, prob_sun=0.7, decompose=True,
                                                   num_threads=2, **kw)
    whole = flux()
    assert {"downwelling", "grid", "leaf", "terrain"} <= set(whole)
    plain = build_scene(tesk_gpu.EmbreeSceneManager())
    views = np.array([[0, 0, 1], [0.5, 0, 0.866]], np.float32)
    field = lambda **kw: tesk_gpu.simulate_forward_cpu(plain, 3, 2, [0.0, 2.0, 6.0], N, 2, True, views, 2,
                                                       prob_sun=0.8, num_threads=1, **kw)
    whole_field = field()
    assert {"grid", "brf", "leaf", "albedo"} <= set(whole_field)
    for n_ranges in (1, 2, 3):
        ranges = distributed.photon_ranges(N, n_ranges)
        assert len(ranges) == n_ranges and ranges[0][0] == 0 and ranges[-1][1] == N
        assert_identical(split(flux, ranges), whole)
        assert_identical(split(field, ranges), whole_field)


def test_range_results_and_errors(media_scene):
    part = tesk_gpu.simulate_flux_cpu(media_scene, 4, 3, N, 2, photon_range=(BLOCK, N))
    assert part["_fold_blocks"] == (1, 2)
    assert part["downwelling"].dtype == np.float64 and part["downwelling"].shape == (2, 3, 4, 2)
    # The short last block holds 30 000 of the photons at the run's photon power.
    incident = part["incident"].sum(axis=1)
    assert incident[1] / incident[0] == pytest.approx(0.3, rel=0.05)
    for bad in [(1, BLOCK), (0, BLOCK + 1), (BLOCK, BLOCK), (0, N + 1), (-BLOCK, 0)]:
        with pytest.raises(ValueError, match="photon_range must satisfy"):
            tesk_gpu.simulate_flux_cpu(media_scene, 4, 3, N, 2, photon_range=bad)
    head = tesk_gpu.simulate_flux_cpu(media_scene, 4, 3, N, 2, photon_range=(0, BLOCK))
    with pytest.raises(ValueError, match="cover the run once"):
        distributed.merge_photon_ranges([head, head, part])
    with pytest.raises(ValueError, match="start at photon 0"):
        distributed.merge_photon_ranges([part])


def test_pass_ranges_merge_bit_identically():
    scene = build_scene(tesk_gpu.EmbreeSceneManager(), media=True, sensor=True)
    products = ("standard_error", "event_aov", "scattering_order")
    # 130 passes fold in blocks of 3 (the last one short); 5 passes in blocks of one pass.
    for spp in (130, 5):
        render = lambda **kw: tesk_gpu.simulate_cpu(scene, spp, 6, None, products, 2, num_threads=2, **kw)
        whole = render()
        for n_ranges in (1, 2, 3):
            ranges = distributed.pass_ranges(spp, n_ranges)
            assert len(ranges) == n_ranges and ranges[0][0] == 0 and ranges[-1][1] == spp
            merged = distributed.merge_pass_ranges([render(pass_range=r) for r in reversed(ranges)])
            assert sorted(merged) == sorted(whole)
            for key in ("payload", *products):
                assert merged[key].dtype == np.float32 and np.array_equal(merged[key], whole[key]), key
    part = render(pass_range=(2, 5))
    assert part["_fold_blocks"] == (2, 3) and part["payload"].shape == (3, 5, 6, 2)
    assert part["event_aov"].shape == (3, 4, 5, 6, 2) and part["scattering_order"].shape == (3, 4, 5, 6, 2)
    for bad in [(1, 3), (0, 0), (0, 131), (-3, 3)]:
        with pytest.raises(ValueError, match="pass_range must satisfy"):
            tesk_gpu.simulate_cpu(scene, 130, 4, pass_range=bad)
    with pytest.raises(ValueError, match="start at pass 0"):
        distributed.merge_pass_ranges([part])
    # The BRF folds every direction's passes alike: 16 passes per direction here.
    views = np.array([0, 0, 1, 0.5, 0.2, 0.8], np.float32)
    brf = lambda **kw: tesk_gpu.simulate_brf_cpu(scene, views, 2 * 1024 * 16, 4, **kw)
    whole = brf()
    for n_ranges in (1, 3):
        parts = [brf(pass_range=r) for r in distributed.pass_ranges(16, n_ranges)]
        merged = distributed.merge_pass_ranges(parts)
        assert np.array_equal(merged["brf"], whole["brf"]) and merged["brf"].dtype == np.float32
    with pytest.raises(ValueError, match="cover the run once"):
        distributed.merge_pass_ranges(parts[:2])


def test_scene_pickles_to_an_equal_scene():
    import pickle

    scene = build_scene(tesk_gpu.EmbreeSceneManager(), media=True, sensor=True)
    scene.set_primitive_temperatures(np.linspace(290, 300, scene.n_primitives()).astype(np.float32))
    scene.set_thermal_mode(False, [550.0, 670.0])
    copy = pickle.loads(pickle.dumps(scene))
    assert copy.__getstate__() == scene.__getstate__()
    assert copy.is_built() and copy.n_primitives() == scene.n_primitives()
    np.testing.assert_array_equal(copy.get_primitive_temperatures(), scene.get_primitive_temperatures())
    assert copy.band_wavelengths() == scene.band_wavelengths()
    np.testing.assert_array_equal(copy.optical_turbid_medium(0)["g_function"], scene.optical_turbid_medium(0)["g_function"])
    for run in (lambda s: tesk_gpu.simulate_cpu(s, 3, 6, None, ("event_aov",), num_threads=2),
                lambda s: tesk_gpu.simulate_flux_cpu(s, 3, 3, 20_000, 2, decompose=True, num_threads=2)):
        a, b = run(scene), run(copy)
        for key, value in a.items():
            if isinstance(value, np.ndarray):
                assert np.array_equal(value, b[key]), key
    (snapshot,) = scene.__getstate__()
    cuts = [(snapshot[:n],) for n in range(0, len(snapshot), max(1, len(snapshot) // 97))]
    for bad in cuts + [(snapshot + b"x",), (b"TESKSNP0" + snapshot[8:],), ("text",)]:
        with pytest.raises(ValueError, match="not a scene snapshot"):
            tesk_gpu.EmbreeSceneManager.__new__(tesk_gpu.EmbreeSceneManager).__setstate__(bad)


def test_recipe_pickles_to_its_calls():
    import pickle

    recipe = build_scene(distributed.SceneRecipe())
    assert recipe.n_primitives() == 4 and recipe.scene.is_built()
    copy = pickle.loads(pickle.dumps(recipe))
    assert copy.token == recipe.token and copy._scene is None
    a = tesk_gpu.simulate_flux_cpu(recipe.scene, 2, 2, 5000, 2, num_threads=1)
    b = tesk_gpu.simulate_flux_cpu(copy.scene, 2, 2, 5000, 2, num_threads=1)
    assert np.array_equal(a["downwelling"], b["downwelling"])


@pytest.fixture(scope="module")
def client():
    dd = pytest.importorskip("dask.distributed")
    with dd.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                         silence_logs=50) as cluster, dd.Client(cluster) as c:
        yield c


def test_cluster_run_is_bit_identical(client):
    recipe = build_scene(distributed.SceneRecipe())
    whole = tesk_gpu.simulate_flux_cpu(recipe.scene, 5, 4, N, 2, prob_sun=0.6, num_threads=2)
    reports = []
    for n_tasks in (1, 2, 3):
        merged = distributed.simulate_flux(client, recipe, 5, 4, N, 2, prob_sun=0.6, n_tasks=n_tasks,
                                           progress=lambda *r: reports.append(r))
        assert_identical(merged, whole)
    assert reports[-1][:2] == (N, N) and all(r[0] <= N for r in reports)
    # One scene per worker process, whatever the number of tasks it ran.
    cached = client.run(lambda: len(distributed._WORKER_SCENES))
    assert set(cached.values()) == {1}


def test_cluster_image_is_bit_identical(client):
    recipe = build_scene(distributed.SceneRecipe(), sensor=True)
    whole = tesk_gpu.simulate_cpu(recipe.scene, 70, 4, None, ("standard_error",), num_threads=2)
    passes = []
    # A plain scene travels as its snapshot.
    merged = distributed.simulate_image(client, recipe.scene, 70, 4, None, ("standard_error",), n_tasks=3,
                                        progress=lambda done, total, ms: passes.append((done, total)))
    assert passes[-1] == (70, 70)
    for key in ("payload", "standard_error"):
        assert np.array_equal(merged[key], whole[key]), key


def test_cluster_survives_a_killed_worker(client):
    recipe = build_scene(distributed.SceneRecipe())
    n = 6 * BLOCK
    whole = tesk_gpu.simulate_forward_cpu(recipe.scene, 2, 2, [0.0, 3.0, 6.0], n, 2, num_threads=2)
    pids = list(client.run(os.getpid).values())
    killed = []

    def progress(done, total, elapsed_ms):
        if not killed:  # the first task is back; others are queued or running
            os.kill(pids[0], signal.SIGKILL)
            killed.append(done)

    merged = distributed.simulate_forward(client, recipe, 2, 2, [0.0, 3.0, 6.0], n, 2, n_tasks=6,
                                          progress=progress)
    assert killed
    assert_identical(merged, whole)


def test_progress_accepts_a_bar():
    class Bar:  # the part of tqdm's interface the workflows use
        def __init__(self):
            self.n, self.total = 0, None

        def update(self, k):
            assert k > 0
            self.n += k

    scene = build_scene(tesk_gpu.EmbreeSceneManager())
    bar = Bar()
    tesk_gpu.simulate_flux_cpu(scene, 2, 2, 50_000, 2, progress=bar, num_threads=1)
    assert bar.n == bar.total == 50_000
    with pytest.raises(TypeError, match="progress must be None"):
        tesk_gpu.simulate_flux_cpu(scene, 2, 2, 50_000, 2, progress=object())
