"""Workflow results as labelled ``xarray.Dataset`` objects (extra ``pip install tesk-gpu[xarray]``).

:func:`to_dataset` names the dimensions of every array of a result dict by its trailing axes
(``band`` last; ``y``/``x`` cells of a grid, ``layer`` of a layered grid, ``direction`` of view
directions, ``primitive`` of per-primitive arrays), adds coordinates the caller knows (band
wavelengths in nm, cell centres in scene units, layer boundaries, view zenith and azimuth in
degrees) and keeps the ``_execution`` record and units as attributes. The dataset is written
with ``to_netcdf`` (any engine: scipy's NetCDF-3 needs no further package) and read back equal
by :func:`open_dataset`.
"""

from __future__ import annotations

import json
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import xarray as xr

__all__ = ["to_dataset", "open_dataset"]

# Dimension names of the per-cell arrays by rank (band last).
_GRID_DIMS = {3: ("y", "x", "band"), 4: ("layer", "y", "x", "band")}
_IMAGE_KEYS = {"radiance", "standard_error", "image"}


def _dims(key: str, shape: tuple[int, ...]) -> tuple[str, ...]:
    if key == "brf" and len(shape) == 2:
        return ("direction", "band")
    if key == "leaf" and len(shape) == 2:
        return ("primitive", "band")
    if key in _IMAGE_KEYS and len(shape) == 3:
        return ("row", "column", "band")
    if len(shape) in _GRID_DIMS and len(shape) >= 3:
        return _GRID_DIMS[len(shape)]
    if len(shape) == 1:
        return ("band",)
    return tuple(f"{key}_dim{i}" for i in range(len(shape) - 1)) + ("band",)


def to_dataset(result: Mapping[str, Any], *, wavelengths_nm: Sequence[float] | None = None,
               extent: tuple[float, float] | None = None, layer_heights: Sequence[float] | None = None,
               view_directions: np.ndarray | None = None, units: str | None = None) -> xr.Dataset:
    """A labelled dataset of a workflow's result dict.

    Arguments: ``wavelengths_nm`` (one per band) for the ``band`` coordinate ``wavelength``;
    ``extent`` = (Lx, Ly) in scene units for cell-centre coordinates ``x`` and ``y``;
    ``layer_heights`` (the run's layer boundaries, scene units) for ``layer_bottom`` and
    ``layer_top``; ``view_directions`` [n, 3] (toward the viewer) for ``view_zenith`` and
    ``view_azimuth`` in degrees; ``units`` for every variable's ``units`` attribute. Arrays keep
    their values and dtypes; ``_execution`` becomes the JSON attribute ``execution`` and the
    other ``_`` keys are left out. Raises ValueError when a coordinate's length does not match.
    """
    if isinstance(result.get("payload"), Mapping):  # enveloped results
        result = {**result["payload"], "_execution": result.get("_execution")}
    data_vars = {}
    for key, value in result.items():
        if key.startswith("_") or not isinstance(value, np.ndarray):
            continue
        attrs = {"units": units} if units else {}
        data_vars[key] = xr.Variable(_dims(key, value.shape), value, attrs)
    ds = xr.Dataset(data_vars)
    coords: dict[str, Any] = {}
    if wavelengths_nm is not None:
        coords["wavelength"] = ("band", np.asarray(wavelengths_nm, np.float64), {"units": "nm"})
    if extent is not None:
        for dim, length in zip(("x", "y"), extent):
            if dim in ds.sizes:
                n = ds.sizes[dim]
                coords[dim] = (dim, (np.arange(n) + 0.5) * (float(length) / n), {"units": "scene units"})
    if layer_heights is not None and "layer" in ds.sizes:
        h = np.asarray(layer_heights, np.float64)
        coords["layer_bottom"] = ("layer", h[:-1], {"units": "scene units"})
        coords["layer_top"] = ("layer", h[1:], {"units": "scene units"})
    if view_directions is not None and "direction" in ds.sizes:
        d = np.asarray(view_directions, np.float64).reshape(-1, 3)
        d = d / np.linalg.norm(d, axis=1, keepdims=True)
        coords["view_zenith"] = ("direction", np.degrees(np.arccos(np.clip(d[:, 2], -1, 1))), {"units": "degree"})
        coords["view_azimuth"] = ("direction", np.degrees(np.arctan2(d[:, 1], d[:, 0])) % 360.0,
                                  {"units": "degree"})
    if "primitive" in ds.sizes:
        coords["primitive"] = ("primitive", np.arange(ds.sizes["primitive"], dtype=np.int32))
    for name, (dim, values, *attrs) in coords.items():
        if len(values) != ds.sizes.get(dim, len(values)):
            raise ValueError(f"{name} has {len(values)} values for {ds.sizes[dim]} along {dim}")
    ds = ds.assign_coords({name: xr.Variable(dim, values, *(attrs or [{}]))
                           for name, (dim, values, *attrs) in coords.items()})
    if "_execution" in result:
        ds.attrs["execution"] = json.dumps(result["_execution"], sort_keys=True, default=str)
    return ds


def open_dataset(path, **kwargs) -> xr.Dataset:
    """Reads a dataset written by ``to_dataset(...).to_netcdf(path)`` fully into memory, with the
    ``execution`` attribute decoded back to a dict under ``attrs['_execution']``."""
    with xr.open_dataset(path, **kwargs) as ds:
        out = ds.load()
    if "execution" in out.attrs:
        out.attrs["_execution"] = json.loads(out.attrs["execution"])
    return out
