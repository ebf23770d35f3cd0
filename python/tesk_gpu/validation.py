"""Validation of the module's transport against an independent 1D solution.

Renders horizontally homogeneous turbid canopies (the classic homogeneous-canopy exercise:
leaf area index 1, 2, 3 and 5; spherical, planophile and erectophile leaves; red, NIR and
conservative "purist" leaves over a Lambertian soil; several sun zenith angles) as periodic
scenes, and compares the reflectance factor in the principal and orthogonal planes, the
albedo, the canopy absorption and the transmission to the soil with
``tesk_gpu.validation_1d.solve_1d``, which solves the same problem in 1D with NumPy alone.

Run the whole campaign with ``make validate`` (or ``python -m tesk_gpu.validation OUTDIR``);
it writes one PNG per case, ``table.csv`` and ``verdicts.txt`` under ``out/validation/``.
"""

from __future__ import annotations

import argparse
import csv
import pathlib
import sys
import time
from dataclasses import dataclass, field

import numpy as np

import tesk_gpu
from tesk_gpu.validation_1d import principal_plane, solve_1d

__all__ = ["Spectrum", "SPECTRA", "Case", "campaign_cases", "homogeneous_scene", "run_3d",
           "compare_case", "run_campaign", "SUN_IRRADIANCE"]

SUN_IRRADIANCE = 1.0
TILE = 10.0
CANOPY_BOTTOM, CANOPY_TOP = 1.0, 2.0  # the leaf layer has unit thickness: its density is its LAI
VIEW_ZENITHS = np.arange(-75.0, 76.0, 5.0)  # signed: positive on the sun's side
LEAF_TYPES = {0: "spherical", 1: "planophile", 2: "erectophile"}
# Acceptance: the 3D reflectance factors within this relative deviation of the 1D solution,
# beyond four Monte Carlo standard errors; fluxes within this absolute deviation.
BRF_TOLERANCE = 0.01
FLUX_TOLERANCE = 0.005


@dataclass(frozen=True)
class Spectrum:
    """Leaf and soil optics of one band."""

    name: str
    r_up: float
    r_down: float
    t: float
    soil: float


SPECTRA = (Spectrum("red", 0.0546, 0.0546, 0.0149, 0.127),
           Spectrum("nir", 0.4957, 0.4957, 0.4409, 0.159),
           Spectrum("purist", 0.5, 0.5, 0.5, 1.0))


@dataclass(frozen=True)
class Case:
    """One canopy and sun; every spectrum is rendered in the same run (one band each)."""

    lai: float
    leaf_type: int
    sun_zenith_deg: float
    spectra: tuple = SPECTRA

    @property
    def name(self) -> str:
        return f"lai{self.lai:g}_{LEAF_TYPES[self.leaf_type]}_sun{self.sun_zenith_deg:g}"


def campaign_cases(sun_zeniths=(0.0, 30.0, 60.0)) -> list[Case]:
    return [Case(lai, leaf_type, sz) for lai in (1.0, 2.0, 3.0, 5.0) for leaf_type in LEAF_TYPES
            for sz in sun_zeniths]


def _box(scene, lo, hi, material_id):
    v = np.array([[hi[0] if i & 1 else lo[0], hi[1] if i & 2 else lo[1], hi[2] if i & 4 else lo[2]]
                  for i in range(8)], np.float32)
    t = np.array([[0, 2, 1], [1, 2, 3], [4, 5, 6], [5, 7, 6], [0, 1, 4], [1, 5, 4], [2, 6, 3], [3, 6, 7],
                  [0, 4, 2], [2, 4, 6], [1, 3, 5], [3, 7, 5]], np.int32)
    scene.add_instance(scene.add_mesh(v, np.zeros((0, 3), np.float32), t, material_id), 0.0, 0.0, 0.0)


def sun_direction(sun_zenith_deg: float) -> np.ndarray:
    z = np.radians(sun_zenith_deg)
    return np.array([np.sin(z), 0.0, np.cos(z)])


def homogeneous_scene(case: Case) -> "tesk_gpu.EmbreeSceneManager":
    """A periodic tile: a Lambertian soil (instance 0) under a turbid leaf layer between
    z = 1 and 2 (leaf size 0: no hotspot), lit by the sun in the azimuth of +x; one band per
    spectrum."""
    nb = len(case.spectra)
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(nb)
    s = case.spectra
    params = [x.soil for x in s] + [x.r_up for x in s] + [x.r_down for x in s] + [x.t for x in s]
    scene.upload_spectral_params(np.array(params + [SUN_IRRADIANCE] * nb, np.float32))
    scene.add_material(0, 0, [])
    scene.add_material(13, nb, [float(np.mean([x.r_up for x in s])), float(np.mean([x.t for x in s]))])
    scene.set_emitter(0, sun_direction(case.sun_zenith_deg).astype(np.float32), 4 * nb)
    scene.set_repetitive(100000, TILE, TILE)
    scene.set_measurement_plane(CANOPY_TOP + 0.5)
    q = np.array([[0, 0, 0], [TILE, 0, 0], [TILE, TILE, 0], [0, TILE, 0]], np.float32)
    scene.add_instance(scene.add_mesh(q, np.zeros((0, 3), np.float32), np.array([[0, 1, 2], [0, 2, 3]]), 0),
                       0.0, 0.0, 0.0)
    _box(scene, (-1.0, -1.0, CANOPY_BOTTOM), (TILE + 1, TILE + 1, CANOPY_TOP), 1)
    scene.set_optical_turbid_media([case.lai / (CANOPY_TOP - CANOPY_BOTTOM)], [case.leaf_type], [1], [0.0],
                                   [-1, 0])
    scene.build()
    return scene


def view_directions(zeniths_deg=VIEW_ZENITHS) -> np.ndarray:
    """Principal plane then orthogonal plane, [2 n, 3]."""
    return np.vstack([principal_plane(zeniths_deg, 0.0), principal_plane(zeniths_deg, 90.0)])


@dataclass
class Result3D:
    """Reflectance factors [n_views, n_bands] and fluxes [n_bands] over the incident power, with
    standard errors."""

    brf: np.ndarray
    brf_error: np.ndarray
    dhr: np.ndarray
    absorption: np.ndarray
    transmission: np.ndarray
    flux_error: np.ndarray  #: [3, n_bands] for dhr, absorption and transmission


def _forward(scene, n, views, nb, max_depth, num_threads):
    layers = np.array([0.0, CANOPY_BOTTOM - 0.5, CANOPY_TOP + 0.5], np.float32)
    r = tesk_gpu.simulate_forward_cpu(scene, 1, 1, layers, n, nb, brf_directions=views.astype(np.float32).ravel(),
                                      num_brf_dirs=len(views), max_depth=max_depth, terrain_instance_id=0,
                                      num_threads=num_threads)
    f = tesk_gpu.simulate_flux_cpu(scene, 1, 1, n, nb, max_depth=max_depth, num_threads=num_threads)
    incident = r["incident"].astype(np.float64)
    brf = np.pi * r["brf"] / (views[:, 2:3] * incident[None, :])
    fluxes = np.stack([r["escaped"] / incident, r["grid"][1].sum(axis=(0, 1)) / incident,
                       f["downwelling"].sum(axis=(0, 1)) / f["incident"]])
    return brf, fluxes.astype(np.float64)


def run_3d(case: Case, views, num_photons: int = 200_000, max_depth: int = 5000, num_threads: int = 0) -> Result3D:
    """Forward photon tracing of the case: reflectance factors toward `views` (next-event
    estimates), albedo and canopy absorption from the same photons, transmission (all downward
    energy reaching the soil, every pass) from the flux workflow.

    Photon i always follows the same random stream, so a run of n photons repeats the first
    half of a run of 2n: the second half is their difference, and the two halves give the
    standard errors (for the reflectance factors pooled, relative, over the views of each
    plane, which vary smoothly along it)."""
    scene = homogeneous_scene(case)
    views = np.asarray(views, np.float64).reshape(-1, 3)
    nb = len(case.spectra)
    half = max(1, num_photons // 2)
    brf_a, flux_a = _forward(scene, half, views, nb, max_depth, num_threads)
    brf, flux = _forward(scene, 2 * half, views, nb, max_depth, num_threads)
    brf_b, flux_b = 2 * brf - brf_a, 2 * flux - flux_a
    rel = np.abs(brf_a - brf_b) / 2 / np.maximum(np.abs(brf), 1e-30)
    planes = np.array_split(np.arange(len(views)), 2 if len(views) % 2 == 0 and len(views) > 1 else 1)
    brf_error = np.empty_like(brf)
    for idx in planes:
        brf_error[idx] = np.sqrt(np.mean(rel[idx] ** 2, axis=0))[None, :] * np.abs(brf[idx])
    return Result3D(brf=brf, brf_error=brf_error, dhr=flux[0], absorption=flux[1], transmission=flux[2],
                    flux_error=np.abs(flux_a - flux_b) / 2)
