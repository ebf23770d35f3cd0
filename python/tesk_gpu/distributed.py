"""Forward photon runs split over a Dask cluster, merged bit-identically to one machine.

A forward run folds its deposits in blocks of ``tesk_gpu.FOLD_PHOTONS`` photons: each block's
deposits are summed from zero, and the block sums are added to the totals in block order. A
task here runs one range of whole blocks (``photon_range=``) and returns its block sums; the
client adds all blocks to zero float64 totals in block order and rounds to float32, which
repeats exactly the additions of the single-machine run. The result does not depend on the
number of workers or tasks, on which worker ran which task, or on the order of completion; a
task lost with its worker is rerun by Dask and returns the same block sums.

The scene travels as a :class:`SceneRecipe`: the list of description calls (arrays and
records) that built it. Each worker process rebuilds a recipe once and keeps it for later tasks.

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

__all__ = ["SceneRecipe", "photon_ranges", "merge_photon_ranges", "simulate_flux", "simulate_forward"]

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


# Scenes rebuilt in this process, by recipe token (one per worker process, reused by its tasks).
_WORKER_SCENES: dict[str, tesk_gpu.EmbreeSceneManager] = {}


def _worker_scene(recipe: SceneRecipe) -> tesk_gpu.EmbreeSceneManager:
    scene = _WORKER_SCENES.get(recipe.token)
    if scene is None:
        scene = _WORKER_SCENES[recipe.token] = recipe.replay()
    return scene


def _run_range(recipe: SceneRecipe, function: str, args: tuple, kwargs: dict,
               photon_range: tuple[int, int]) -> dict:
    return getattr(tesk_gpu, function)(_worker_scene(recipe), *args, photon_range=photon_range, **kwargs)


def photon_ranges(num_photons: int, n_tasks: int) -> list[tuple[int, int]]:
    """Splits photons 0 .. num_photons - 1 into at most ``n_tasks`` ranges of whole fold blocks
    (``tesk_gpu.FOLD_PHOTONS`` photons; the last block may be shorter), as even as blocks allow.
    Raises ValueError when num_photons or n_tasks is below 1."""
    if num_photons < 1 or n_tasks < 1:
        raise ValueError("num_photons and n_tasks must be positive")
    block = tesk_gpu.FOLD_PHOTONS
    n_blocks = -(-num_photons // block)
    n = min(n_tasks, n_blocks)
    edges = [min(num_photons, (n_blocks * i // n) * block) for i in range(n + 1)]
    return [(edges[i], edges[i + 1]) for i in range(n)]


def merge_photon_ranges(parts: Sequence[dict]) -> dict:
    """Merges the results of ``photon_range=`` runs that together cover a whole run, given in
    any order, into the dict the whole run returns (float32 arrays and ``_execution``): every
    block is added to zero float64 totals in block order, then rounded to float32. Raises
    ValueError when the ranges leave a gap, overlap or disagree on their keys."""
    if not parts:
        raise ValueError("no photon ranges to merge")
    ordered = sorted(parts, key=lambda p: p["_fold_blocks"][0])
    keys = [k for k in ordered[0] if not k.startswith("_")]
    expected = ordered[0]["_fold_blocks"][0]
    if expected != 0:
        raise ValueError("photon ranges do not start at photon 0")
    for part in ordered:
        first, count = part["_fold_blocks"]
        if first != expected or sorted(k for k in part if not k.startswith("_")) != sorted(keys):
            raise ValueError("photon ranges must cover the run once, with the same keys")
        expected = first + count
    out: dict[str, Any] = {}
    for key in keys:
        total = np.zeros(ordered[0][key].shape[1:], np.float64)
        for part in ordered:
            for block in part[key]:
                total += block
        out[key] = total.astype(np.float32)
    out["_execution"] = ordered[0]["_execution"]
    return out


def _distributed_run(client, recipe: SceneRecipe, function: str, num_photons: int, args: tuple,
                     kwargs: dict, n_tasks: int | None, progress: Callable | Any | None) -> dict:
    from dask.distributed import as_completed

    if not isinstance(recipe, SceneRecipe):
        raise TypeError("scene must be a tesk_gpu.distributed.SceneRecipe")
    if n_tasks is None:
        n_tasks = 4 * max(1, sum(client.nthreads().values()))
    ranges = photon_ranges(num_photons, n_tasks)
    kwargs.setdefault("num_threads", 1)
    shared = client.scatter(recipe, broadcast=True, hash=False)
    futures = [client.submit(_run_range, shared, function, args, kwargs, r, pure=False, retries=2)
               for r in ranges]
    size = {f.key: r[1] - r[0] for f, r in zip(futures, ranges)}
    start, done = time.monotonic(), 0
    report = _progress_target(progress)
    for future in as_completed(futures):
        done += size[future.key]
        if report is not None:
            report(done, num_photons, 1000.0 * (time.monotonic() - start))
    return merge_photon_ranges(client.gather(futures))


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


def simulate_flux(client, scene: SceneRecipe, nx: int, ny: int, num_photons: int, num_bands: int, *args,
                  n_tasks: int | None = None, progress: Callable | Any | None = None, **kwargs) -> dict:
    """``tesk_gpu.simulate_flux_cpu`` on a ``dask.distributed`` client, bit-identical to the run
    on one machine. ``scene`` is a :class:`SceneRecipe`; further arguments are those of
    simulate_flux_cpu (``num_threads`` per task defaults to 1). ``n_tasks`` photon ranges
    (default: four per worker thread, at most one per fold block) are traced as tasks;
    ``progress`` (a callable (done, total, elapsed_ms) or a tqdm bar) hears photons done as
    tasks complete. Returns the dict simulate_flux_cpu returns."""
    return _distributed_run(client, scene, "simulate_flux_cpu", num_photons,
                            (nx, ny, num_photons, num_bands, *args), kwargs, n_tasks, progress)


def simulate_forward(client, scene: SceneRecipe, nx: int, ny: int, layer_heights, num_photons: int,
                     *args, n_tasks: int | None = None, progress: Callable | Any | None = None,
                     **kwargs) -> dict:
    """``tesk_gpu.simulate_forward_cpu`` on a ``dask.distributed`` client, bit-identical to the
    run on one machine; arguments, tasks and progress as in :func:`simulate_flux`."""
    return _distributed_run(client, scene, "simulate_forward_cpu", num_photons,
                            (nx, ny, np.asarray(layer_heights, np.float32), num_photons, *args), kwargs,
                            n_tasks, progress)
