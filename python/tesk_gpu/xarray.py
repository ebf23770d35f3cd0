"""Workflow results as labelled ``xarray.Dataset`` objects (extra ``pip install tesk-gpu[xarray]``).

:func:`to_dataset` names the dimensions of every array of a result dict by its trailing axes
(``band`` last; ``y``/``x`` cells of a grid, ``layer`` of a layered grid, ``direction`` of view
directions, ``primitive`` of per-primitive arrays), adds coordinates the caller knows (band
wavelengths in nm, cell centres in scene units, layer boundaries, view zenith and azimuth in
degrees) and keeps the ``_execution`` record and units as attributes. The dataset is written
with ``to_netcdf`` (any engine: scipy's NetCDF-3 needs no further package) and read back equal
by :func:`open_dataset`.

:func:`to_geotiff` writes the image of an orthographic nadir sensor as a georeferenced GeoTIFF
(through rioxarray, extra ``pip install tesk-gpu[geotiff]``), given the coordinate reference
system and the map coordinates of the scene's origin.
"""

from __future__ import annotations

import json
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import xarray as xr

__all__ = ["to_dataset", "open_dataset", "image_dataarray", "to_geotiff"]

# Dimension names of the per-cell arrays by rank (band last).
_GRID_DIMS = {3: ("y", "x", "band"), 4: ("layer", "y", "x", "band")}
_IMAGE_KEYS = {"payload", "radiance", "standard_error", "image"}


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


def image_dataarray(result: Mapping[str, Any], sensor: Mapping[str, Any], *, origin: Sequence[float],
                    crs: Any = None, key: str = "payload",
                    wavelengths_nm: Sequence[float] | None = None, units: str | None = None) -> xr.DataArray:
    """The image ``result[key]`` ([rows, columns, bands], as simulate_cpu returns it) of an
    orthographic nadir sensor as a map-aligned DataArray (band, y, x): ``sensor`` is the scene's
    ``sensor_config()``, ``origin`` = (easting, northing) of the scene's (0, 0) in the map's
    units (scene units are taken as map units), ``crs`` anything rioxarray accepts ("EPSG:32633",
    a WKT string, a pyproj CRS). Rows run north to south as map rasters do (the sensor's row 0
    looks at the lowest scene y, so rows are flipped); ``x`` and ``y`` hold the pixel-centre map
    coordinates. Raises ValueError unless the sensor is orthographic, looks straight down and
    has its image axes along the scene's x and y axes."""
    image = np.asarray(result[key])
    if image.ndim != 3:
        raise ValueError(f"{key} must be an image [rows, columns, bands]")
    m = np.asarray(sensor["camera_to_world"], np.float64)
    if sensor["type"] != 0 or not np.allclose(m[:3, :3], np.eye(3), atol=1e-6):
        raise ValueError("a map image needs an orthographic sensor looking straight down with its image axes "
                         "along the scene's x and y axes (camera_to_world rotation = identity)")
    rows, cols, bands = image.shape
    if (rows, cols) != (sensor["height"], sensor["width"]):
        raise ValueError(f"{key} has {rows} x {cols} pixels; the sensor has {sensor['height']} x {sensor['width']}")
    dx, dy = sensor["ortho_width"] / cols, sensor["ortho_height"] / rows
    x0 = float(origin[0]) + m[0, 3] - 0.5 * sensor["ortho_width"]
    y0 = float(origin[1]) + m[1, 3] - 0.5 * sensor["ortho_height"]
    x = x0 + (np.arange(cols) + 0.5) * dx
    y = (y0 + (np.arange(rows) + 0.5) * dy)[::-1]
    da = xr.DataArray(np.moveaxis(image[::-1], 2, 0), dims=("band", "y", "x"),
                      coords={"band": np.arange(1, bands + 1), "x": x, "y": y}, name=key)
    if wavelengths_nm is not None:
        if len(wavelengths_nm) != bands:
            raise ValueError(f"wavelengths_nm has {len(wavelengths_nm)} values for {bands} bands")
        da = da.assign_coords(wavelength=("band", np.asarray(wavelengths_nm, np.float64), {"units": "nm"}))
    if units:
        da.attrs["units"] = units
    if "_execution" in result:
        da.attrs["execution"] = json.dumps(result["_execution"], sort_keys=True, default=str)
    if crs is not None:
        import rioxarray  # noqa: F401  (registers the .rio accessor)

        da = da.rio.write_crs(crs).rio.write_transform(_affine(x0, y0 + rows * dy, dx, dy))
    return da


def _affine(west: float, north: float, dx: float, dy: float):
    from affine import Affine

    return Affine(dx, 0.0, west, 0.0, -dy, north)


def to_geotiff(result: Mapping[str, Any], sensor: Mapping[str, Any], path, *, crs: Any,
               origin: Sequence[float], key: str = "payload", wavelengths_nm: Sequence[float] | None = None,
               units: str | None = None) -> xr.DataArray:
    """Writes ``result[key]`` of an orthographic nadir render as a GeoTIFF at ``path`` (one
    float32 raster band per band of the render, described by its wavelength when given) and returns
    the DataArray written; arguments as :func:`image_dataarray`, with ``crs`` required. Needs
    rioxarray (extra ``geotiff``)."""
    da = image_dataarray(result, sensor, origin=origin, crs=crs, key=key, wavelengths_nm=wavelengths_nm,
                         units=units)
    if wavelengths_nm is not None:
        da.attrs["long_name"] = tuple(f"{w:g} nm" for w in wavelengths_nm)
    da.rio.to_raster(path)
    return da
