"""Workflow results as labelled datasets: dimensions, coordinates, attributes, NetCDF round trip."""

import numpy as np
import pytest

import tesk_gpu

xr = pytest.importorskip("xarray")
pytest.importorskip("scipy")
from tesk_gpu import xarray as txr  # noqa: E402
from test_distributed import TILE, build_scene  # noqa: E402


def test_forward_field_round_trips_through_netcdf(tmp_path):
    scene = build_scene(tesk_gpu.EmbreeSceneManager())
    views = np.array([[0, 0, 1], [0, 1, 1]], np.float32)
    heights = [0.0, 2.0, 4.0, 6.0]
    result = tesk_gpu.simulate_forward_cpu(scene, 4, 3, heights, 20_000, 2, True, views, 2, num_threads=1)
    ds = txr.to_dataset(result, wavelengths_nm=[550, 670], extent=(TILE, TILE), layer_heights=heights,
                        view_directions=views, units="W nm-1")
    assert ds["grid"].dims == ("layer", "y", "x", "band") and ds["grid"].shape == (3, 3, 4, 2)
    assert ds["brf"].dims == ("direction", "band") and ds["leaf"].dims == ("primitive", "band")
    np.testing.assert_allclose(ds["x"], [1.25, 3.75, 6.25, 8.75])
    np.testing.assert_allclose(ds["view_zenith"], [0.0, 45.0], atol=1e-5)
    np.testing.assert_allclose(ds["view_azimuth"][1], 90.0, atol=1e-5)
    assert list(ds["layer_top"].values) == heights[1:]
    assert ds["grid"].attrs["units"] == "W nm-1"
    np.testing.assert_array_equal(ds["grid"].values, result["grid"])

    path = tmp_path / "field.nc"
    ds.to_netcdf(path, engine="scipy")
    back = txr.open_dataset(path, engine="scipy")
    xr.testing.assert_identical(back.drop_attrs(), ds.drop_attrs())
    assert back.attrs["_execution"] == result["_execution"]
    assert back["grid"].dtype == np.float32

    with pytest.raises(ValueError, match="wavelength has 3 values for 2 along band"):
        txr.to_dataset(result, wavelengths_nm=[1, 2, 3])


def test_flux_grid_dimensions():
    scene = build_scene(tesk_gpu.EmbreeSceneManager())
    flux = tesk_gpu.simulate_flux_cpu(scene, 5, 2, 10_000, 2, num_threads=1)
    ds = txr.to_dataset(flux, extent=(TILE, TILE))
    assert ds["downwelling"].dims == ("y", "x", "band") and ds.sizes == {"y": 2, "x": 5, "band": 2}
    np.testing.assert_allclose(ds["y"], [2.5, 7.5])


def test_nadir_image_written_as_geotiff(tmp_path):
    rioxarray = pytest.importorskip("rioxarray")
    scene = build_scene(tesk_gpu.EmbreeSceneManager(), sensor=True)  # 6 x 5 pixels over the 10 x 10 tile
    result = tesk_gpu.simulate_cpu(scene, 4, 3, num_threads=1)
    image = result["payload"]
    origin = (500_000.0, 4_200_000.0)
    path = tmp_path / "nadir.tif"
    txr.to_geotiff(result, scene.sensor_config(), path, crs="EPSG:32633", origin=origin, wavelengths_nm=[550, 670])
    back = rioxarray.open_rasterio(path)
    assert back.rio.crs.to_epsg() == 32633 and back.shape == (2, 5, 6)
    assert back.rio.resolution() == pytest.approx((10 / 6, -2.0))
    assert back.rio.bounds() == pytest.approx((origin[0], origin[1], origin[0] + 10, origin[1] + 10))
    # A scene point lands on the pixel the sensor rendered it in (row 0 of the render is south).
    for x, y in [(0.5, 0.5), (4.0, 4.5), (9.2, 8.9), (9.9, 0.1)]:
        row, col = int(y / 2.0), int(x / (10 / 6))
        np.testing.assert_array_equal(back.sel(x=origin[0] + x, y=origin[1] + y, method="nearest").values,
                                      image[row, col])
    tilted = scene.sensor_config()
    tilted["camera_to_world"] = np.array([[0, -1, 0, 5], [1, 0, 0, 5], [0, 0, 1, 9], [0, 0, 0, 1]], np.float32)
    with pytest.raises(ValueError, match="looking straight down"):
        txr.to_geotiff(result, tilted, path, crs="EPSG:32633", origin=origin)
