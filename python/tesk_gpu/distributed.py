"""Forward and backward runs split over a Dask cluster, merged bit-identically to one machine.

A forward run folds its deposits in blocks of ``tesk_gpu.FOLD_PHOTONS`` photons: each block's
deposits are summed from zero, and the block sums are added to the totals in block order. A
task here runs one range of whole blocks (``photon_range=``) and returns its block sums; the
client adds all blocks to zero float64 totals in block order and rounds to float32, which
repeats exactly the additions of the single-machine run. Backward images and BRF runs fold
their sample passes the same way, in at most ``tesk_gpu.MAX_PASS_BLOCKS`` blocks of passes
(``pass_range=``); the client then finishes the image (mean, standard error) with the same
arithmetic as the renderer. The result does not depend on the number of workers or tasks, on
which worker ran which task, or on the order of completion; a task lost with its worker is
rerun by Dask and returns the same block sums.

The scene travels either as itself (an ``EmbreeSceneManager`` pickles to a snapshot of
everything the workflows read, sent once per worker) or as a :class:`SceneRecipe`: the list
of description calls (arrays and records) that built it. Each worker process rebuilds a scene
once and keeps it for later tasks.

Needs the ``dask`` extra (``pip install tesk-gpu[dask]``)::

    from dask.distributed import Client, LocalCluster
    from tesk_gpu import distributed

    recipe = distributed.SceneRecipe()
    build_my_scene(recipe)          # the same calls as on an EmbreeSceneManager
    with Client(LocalCluster(n_workers=2, threads_per_worker=1)) as client:
        flux = distributed.simulate_flux(client, recipe, 64, 64, 10**8, 3, progress=bar)
"""

from __future__ import annotations

import hashlib
import pickle
import time
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

import tesk_gpu

__all__ = ["SceneRecipe", "photon_ranges", "merge_photon_ranges", "simulate_flux", "simulate_forward",
           "pass_ranges", "merge_pass_ranges", "simulate_image", "simulate_brf"]

# Calls that change a scene; everything else is answered by the scene being recorded.
_MUTATORS = ("set_", "add_", "upload_", "update_", "build", "clear_", "refit_")


class SceneRecipe:
    """Records the description calls made on it and forwards them to a local scene.

    Use it wherever an ``EmbreeSceneManager`` is built (``recipe.add_mesh(...)``,
    ``recipe.build()``); queries go to the local scene (``recipe.scene``). Pickling keeps only
    the calls (their array arguments as NumPy arrays), so a recipe is the compact description a
    worker rebuilds the scene from.
    """

    def __init__(self) -> None:
        self.calls: list[tuple[str, tuple, dict]] = []
        self._scene: tesk_gpu.EmbreeSceneManager | None = tesk_gpu.EmbreeSceneManager()
        self._token: str | None = None

    @property
    def scene(self) -> tesk_gpu.EmbreeSceneManager:
        """The scene the recorded calls build (rebuilt from them after unpickling)."""
        if self._scene is None:
            self._scene = self.replay()
        return self._scene

    def __getattr__(self, name: str) -> Any:
        if name.startswith("_"):
            raise AttributeError(name)
        method = getattr(self.scene, name)
        if not name.startswith(_MUTATORS):
            return method

        def call(*args, **kwargs):
            result = method(*args, **kwargs)
            self.calls.append((name, tuple(_freeze(a) for a in args),
                               {k: _freeze(v) for k, v in kwargs.items()}))
            self._token = None
            return result

        return call

    def replay(self) -> tesk_gpu.EmbreeSceneManager:
        """A new scene built by the recorded calls, in order."""
        scene = tesk_gpu.EmbreeSceneManager()
        for name, args, kwargs in self.calls:
            getattr(scene, name)(*args, **kwargs)
        return scene

    @property
    def token(self) -> str:
        """A digest of the recorded calls: equal recipes share a worker's cached scene."""
        if self._token is None:
            self._token = hashlib.sha256(pickle.dumps(self.calls, protocol=5)).hexdigest()
        return self._token

    def __getstate__(self) -> dict:
        return {"calls": self.calls, "token": self.token}

    def __setstate__(self, state: dict) -> None:
        self.calls, self._token, self._scene = state["calls"], state["token"], None


def _freeze(value: Any) -> Any:
    """A copy of a call argument that later changes by the caller cannot alter."""
    if isinstance(value, np.ndarray):
        return value.copy()
    if isinstance(value, list):
        return [_freeze(v) for v in value]
    return value


class _PickledScene:
    """A scene sent to workers as its snapshot, taken once on the client."""

    def __init__(self, scene: tesk_gpu.EmbreeSceneManager) -> None:
        self.data = pickle.dumps(scene, protocol=5)
        self.token = hashlib.sha256(self.data).hexdigest()

    def replay(self) -> tesk_gpu.EmbreeSceneManager:
        return pickle.loads(self.data)


# Scenes rebuilt in this process, by recipe token (one per worker process, reused by its tasks).
_WORKER_SCENES: dict[str, tesk_gpu.EmbreeSceneManager] = {}


def _worker_scene(recipe: SceneRecipe | _PickledScene) -> tesk_gpu.EmbreeSceneManager:
    scene = _WORKER_SCENES.get(recipe.token)
    if scene is None:
        scene = _WORKER_SCENES[recipe.token] = recipe.replay()
    return scene


def _run_range(recipe: SceneRecipe | _PickledScene, function: str, args: tuple, kwargs: dict, keyword: str,
               span: tuple[int, int]) -> dict:
    return getattr(tesk_gpu, function)(_worker_scene(recipe), *args, **{keyword: span}, **kwargs)


def _block_edges(total: int, block: int, n_tasks: int) -> list[tuple[int, int]]:
    """[0, total) cut into at most n_tasks ranges of whole blocks, as even as blocks allow."""
    n_blocks = -(-total // block)
    n = min(n_tasks, n_blocks)
    edges = [min(total, (n_blocks * i // n) * block) for i in range(n + 1)]
    return [(edges[i], edges[i + 1]) for i in range(n)]


def _ordered_blocks(parts: Sequence[dict], what: str) -> list[dict]:
    """The parts sorted by first fold block, checked to cover blocks 0, 1, ... once each with
    the same keys."""
    if not parts:
        raise ValueError(f"no {what} ranges to merge")
    ordered = sorted(parts, key=lambda p: p["_fold_blocks"][0])
    keys = sorted(k for k in ordered[0] if not k.startswith("_"))
    if ordered[0]["_fold_blocks"][0] != 0:
        raise ValueError(f"{what} ranges do not start at {what} 0")
    expected = 0
    for part in ordered:
        first, count = part["_fold_blocks"]
        if first != expected or sorted(k for k in part if not k.startswith("_")) != keys:
            raise ValueError(f"{what} ranges must cover the run once, with the same keys")
        expected = first + count
    return ordered


def _fold(ordered: Sequence[dict], key: str) -> np.ndarray:
    """The float64 totals of `key`: every block added to zeros in block order."""
    total = np.zeros(ordered[0][key].shape[1:], np.float64)
    for part in ordered:
        for block in part[key]:
            total += block
    return total


def photon_ranges(num_photons: int, n_tasks: int) -> list[tuple[int, int]]:
    """Splits photons 0 .. num_photons - 1 into at most ``n_tasks`` ranges of whole fold blocks
    (``tesk_gpu.FOLD_PHOTONS`` photons; the last block may be shorter), as even as blocks allow.
    Raises ValueError when num_photons or n_tasks is below 1."""
    if num_photons < 1 or n_tasks < 1:
        raise ValueError("num_photons and n_tasks must be positive")
    return _block_edges(num_photons, tesk_gpu.FOLD_PHOTONS, n_tasks)


def merge_photon_ranges(parts: Sequence[dict]) -> dict:
    """Merges the results of ``photon_range=`` runs that together cover a whole run, given in
    any order, into the dict the whole run returns (float32 arrays and ``_execution``): every
    block is added to zero float64 totals in block order, then rounded to float32. Raises
    ValueError when the ranges leave a gap, overlap or disagree on their keys."""
    ordered = _ordered_blocks(parts, "photon")
    out: dict[str, Any] = {k: _fold(ordered, k).astype(np.float32)
                           for k in ordered[0] if not k.startswith("_")}
    out["_execution"] = ordered[0]["_execution"]
    return out


def pass_ranges(spp: int, n_tasks: int) -> list[tuple[int, int]]:
    """Splits sample passes 0 .. spp - 1 of a backward render into at most ``n_tasks`` ranges
    of whole fold blocks (ceil(spp / ``tesk_gpu.MAX_PASS_BLOCKS``) passes; the last block may
    be shorter), as even as blocks allow. Raises ValueError when spp or n_tasks is below 1."""
    if spp < 1 or n_tasks < 1:
        raise ValueError("spp and n_tasks must be positive")
    return _block_edges(spp, -(-spp // tesk_gpu.MAX_PASS_BLOCKS), n_tasks)


def merge_pass_ranges(parts: Sequence[dict]) -> dict:
    """Merges the results of ``pass_range=`` runs of ``simulate_cpu`` or ``simulate_brf_cpu``
    that together cover a whole run, given in any order, into the dict the whole run returns:
    the block sums are added to zero float64 totals in block order and finished with the
    renderer's arithmetic (mean over spp passes, standard error from the sums of squares, the
    BRF's pixel sum and scale), so the result equals the single run bit for bit. Raises
    ValueError when the ranges leave a gap, overlap or disagree on their keys."""
    ordered = _ordered_blocks(parts, "pass")
    spp = ordered[0]["_spp"]
    block = -(-spp // tesk_gpu.MAX_PASS_BLOCKS)
    if sum(p["_fold_blocks"][1] for p in ordered) != -(-spp // block) or any(p["_spp"] != spp for p in ordered):
        raise ValueError("pass ranges must cover the run once, with the same keys")
    n = float(spp)
    out: dict[str, Any] = {}
    if "brf" in ordered[0]:
        means = (_fold(ordered, "brf") / n).astype(np.float32)  # [n_dirs, 1024, n_bands]
        pixel_sum = np.cumsum(means.astype(np.float64), axis=1)[:, -1, :]  # in pixel order
        x, y, dz = (ordered[0]["_brf_scale"][:, i, None] for i in range(3))
        out["brf"] = (0.0009765625 * pixel_sum * x * y * dz).astype(np.float32)
    else:
        total = _fold(ordered, "payload")
        out["payload"] = (total / n).astype(np.float32)
        out["standard_error"] = None
        if "squares" in ordered[0]:
            se = np.zeros(total.shape, np.float32)
            if n > 1:
                v = (_fold(ordered, "squares") - total * total / n) / (n - 1.0)
                with np.errstate(invalid="ignore"):
                    se = np.where(v >= 0.0, np.sqrt(np.maximum(v, 0.0) / n), 0.0).astype(np.float32)
            out["standard_error"] = se
        for key in ("event_aov", "scattering_order"):
            out[key] = (_fold(ordered, key) / n).astype(np.float32) if key in ordered[0] else None
    out["_execution"] = ordered[0]["_execution"]
    return out


def _distributed_run(client, recipe: SceneRecipe | tesk_gpu.EmbreeSceneManager, function: str, keyword: str,
                     ranges: list[tuple[int, int]], args: tuple, kwargs: dict,
                     progress: Callable | Any | None, threads_keyword: bool = True) -> list[dict]:
    """Runs one task per range and returns the tasks' results, reporting progress in units of
    the ranges (photons or passes) as tasks complete."""
    from dask.distributed import as_completed

    if isinstance(recipe, tesk_gpu.EmbreeSceneManager):
        recipe = _PickledScene(recipe)
    elif not isinstance(recipe, SceneRecipe):
        raise TypeError("scene must be a tesk_gpu.EmbreeSceneManager or a tesk_gpu.distributed.SceneRecipe")
    if threads_keyword:
        kwargs.setdefault("num_threads", 1)
    shared = client.scatter(recipe, broadcast=True, hash=False)
    futures = [client.submit(_run_range, shared, function, args, kwargs, keyword, r, pure=False,
                             retries=2) for r in ranges]
    size = {f.key: r[1] - r[0] for f, r in zip(futures, ranges)}
    total = sum(size.values())
    start, done = time.monotonic(), 0
    report = _progress_target(progress)
    for future in as_completed(futures):
        done += size[future.key]
        if report is not None:
            report(done, total, 1000.0 * (time.monotonic() - start))
    return client.gather(futures)


def _default_tasks(client, n_tasks: int | None) -> int:
    return n_tasks if n_tasks is not None else 4 * max(1, sum(client.nthreads().values()))


def _progress_target(progress):
    """progress as a callable (done, total, elapsed_ms): a callable as given, a tqdm bar adapted."""
    if progress is None or callable(progress):
        return progress
    if hasattr(progress, "update") and hasattr(progress, "total"):
        def report(done, total, _elapsed_ms):
            progress.total = total
            progress.update(done - progress.n)
        return report
    raise TypeError("progress must be None, a callable taking (done, total, elapsed_ms) or a progress bar "
                    "with update() and total (tqdm)")


def simulate_flux(client, scene: SceneRecipe | tesk_gpu.EmbreeSceneManager, nx: int, ny: int, num_photons: int,
                  num_bands: int, *args,
                  n_tasks: int | None = None, progress: Callable | Any | None = None, **kwargs) -> dict:
    """``tesk_gpu.simulate_flux_cpu`` on a ``dask.distributed`` client, bit-identical to the run
    on one machine. ``scene`` is a built ``EmbreeSceneManager`` or a :class:`SceneRecipe`;
    further arguments are those of simulate_flux_cpu (``num_threads`` per task defaults to 1). ``n_tasks`` photon ranges
    (default: four per worker thread, at most one per fold block) are traced as tasks;
    ``progress`` (a callable (done, total, elapsed_ms) or a tqdm bar) hears photons done as
    tasks complete. Returns the dict simulate_flux_cpu returns."""
    ranges = photon_ranges(num_photons, _default_tasks(client, n_tasks))
    return merge_photon_ranges(_distributed_run(client, scene, "simulate_flux_cpu", "photon_range",
                                                ranges, (nx, ny, num_photons, num_bands, *args),
                                                kwargs, progress))


def simulate_forward(client, scene: SceneRecipe | tesk_gpu.EmbreeSceneManager, nx: int, ny: int, layer_heights,
                     num_photons: int,
                     *args, n_tasks: int | None = None, progress: Callable | Any | None = None,
                     **kwargs) -> dict:
    """``tesk_gpu.simulate_forward_cpu`` on a ``dask.distributed`` client, bit-identical to the
    run on one machine; arguments, tasks and progress as in :func:`simulate_flux`."""
    ranges = photon_ranges(num_photons, _default_tasks(client, n_tasks))
    args = (nx, ny, np.asarray(layer_heights, np.float32), num_photons, *args)
    return merge_photon_ranges(_distributed_run(client, scene, "simulate_forward_cpu", "photon_range",
                                                ranges, args, kwargs, progress))


def simulate_image(client, scene: SceneRecipe | tesk_gpu.EmbreeSceneManager, spp: int = 16, *args,
                   n_tasks: int | None = None,
                   progress: Callable | Any | None = None, **kwargs) -> dict:
    """``tesk_gpu.simulate_cpu`` on a ``dask.distributed`` client, bit-identical to the render
    on one machine (every product, standard error included). ``scene`` is a built
    ``EmbreeSceneManager`` or a :class:`SceneRecipe`; further arguments are those of simulate_cpu (``num_threads`` per task
    defaults to 1). ``n_tasks`` pass ranges (default: four per worker thread, at most
    ``tesk_gpu.MAX_PASS_BLOCKS``) are rendered as tasks; ``progress`` (a callable
    (done, total, elapsed_ms) or a tqdm bar) hears passes done as tasks complete."""
    if spp < 1:
        raise ValueError("spp must be at least 1")
    ranges = pass_ranges(spp, _default_tasks(client, n_tasks))
    return merge_pass_ranges(_distributed_run(client, scene, "simulate_cpu", "pass_range", ranges,
                                              (spp, *args), kwargs, progress))


def simulate_brf(client, scene: SceneRecipe | tesk_gpu.EmbreeSceneManager, directions, num_photons: int, *args,
                 n_tasks: int | None = None, progress: Callable | Any | None = None,
                 **kwargs) -> dict:
    """``tesk_gpu.simulate_brf_cpu`` on a ``dask.distributed`` client, bit-identical to the run
    on one machine: every direction's passes are split into ranges as in :func:`simulate_image`;
    ``progress`` hears passes done (per direction) as tasks complete."""
    directions = np.ascontiguousarray(directions, np.float32).reshape(-1)
    n_dirs = max(1, directions.size // 3)
    # The per-direction samples per pixel that simulate_brf_cpu derives from num_photons.
    spp = int(min(4096, max(16, num_photons // max(1, 1024 * n_dirs))))
    ranges = pass_ranges(spp, _default_tasks(client, n_tasks))
    return merge_pass_ranges(_distributed_run(client, scene, "simulate_brf_cpu", "pass_range", ranges,
                                              (directions, num_photons, *args), kwargs, progress,
                                              threads_keyword=False))
