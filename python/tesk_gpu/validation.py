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


def campaign_cases(sun_zeniths=(20.0, 50.0)) -> list[Case]:
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


@dataclass
class CaseReport:
    """One case and spectrum: both solutions, the deviations and the verdict."""

    case: Case
    spectrum: Spectrum
    views: np.ndarray
    brf_3d: np.ndarray
    brf_3d_error: np.ndarray
    brf_1d: np.ndarray
    fluxes_3d: np.ndarray  #: dhr, absorption, transmission
    fluxes_3d_error: np.ndarray
    fluxes_1d: np.ndarray
    passed: bool = False
    worst_brf_deviation: float = 0.0  #: largest relative BRF deviation
    worst_flux_deviation: float = 0.0  #: largest absolute flux deviation
    notes: list = field(default_factory=list)

    @property
    def verdict(self) -> str:
        return (f"{'PASS' if self.passed else 'FAIL'} {self.case.name} {self.spectrum.name}: "
                f"BRF max |dev| {100 * self.worst_brf_deviation:.2f} %, fluxes max |dev| "
                f"{self.worst_flux_deviation:.4f}" + (f" ({'; '.join(self.notes)})" if self.notes else ""))


def compare_case(case: Case, views=None, num_photons: int = 100_000, num_threads: int = 0) -> list[CaseReport]:
    """Render the case with the module and solve it in 1D; one report per set of leaf and soil
    optics (red, NIR, purist). A set passes when every reflectance factor is within
    BRF_TOLERANCE (relative) of the 1D value plus four standard errors, and albedo, absorption
    and transmission within FLUX_TOLERANCE plus four standard errors."""
    views = view_directions() if views is None else np.asarray(views, np.float64)
    r3 = run_3d(case, views, num_photons=num_photons, num_threads=num_threads)
    reports = []
    for b, sp in enumerate(case.spectra):
        s = solve_1d(case.lai, case.leaf_type, sp.r_up, sp.r_down, sp.t, sp.soil, case.sun_zenith_deg, views)
        f1 = np.array([s.dhr, s.absorption, s.transmission])
        f3 = np.array([r3.dhr[b], r3.absorption[b], r3.transmission[b]])
        rep = CaseReport(case, sp, views, r3.brf[:, b], r3.brf_error[:, b], s.brf, f3, r3.flux_error[:, b], f1)
        dev = np.abs(rep.brf_3d - rep.brf_1d)
        rep.worst_brf_deviation = float(np.max(dev / rep.brf_1d))
        brf_ok = np.all(dev <= BRF_TOLERANCE * rep.brf_1d + 4 * rep.brf_3d_error)
        fdev = np.abs(f3 - f1)
        rep.worst_flux_deviation = float(fdev.max())
        flux_ok = np.all(fdev <= FLUX_TOLERANCE + 4 * rep.fluxes_3d_error)
        if not brf_ok:
            rep.notes.append("BRF outside tolerance")
        if not flux_ok:
            names = np.array(["albedo", "absorption", "transmission"])[fdev > FLUX_TOLERANCE + 4 * rep.fluxes_3d_error]
            rep.notes.append("outside tolerance: " + ", ".join(names))
        rep.passed = bool(brf_ok and flux_ok)
        reports.append(rep)
    return reports


def plot_case(reports: list[CaseReport], path: pathlib.Path) -> None:
    """BRF against signed view zenith in the principal and orthogonal planes, every spectrum."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    n = len(reports[0].views) // 2
    zen = np.degrees(np.arccos(np.clip(reports[0].views[:n, 2], -1, 1))) * np.sign(reports[0].views[:n, 0] + 1e-12)
    fig, axes = plt.subplots(2, len(reports), figsize=(4 * len(reports), 6.5), constrained_layout=True, squeeze=False)
    for j, rep in enumerate(reports):
        for i, (plane, sl) in enumerate((("principal", slice(0, n)), ("orthogonal", slice(n, 2 * n)))):
            ax = axes[i, j]
            ax.plot(zen, rep.brf_1d[sl], "-", color="k", lw=1.2, label="1D solution")
            ax.errorbar(zen, rep.brf_3d[sl], yerr=2 * rep.brf_3d_error[sl], fmt="o", ms=3, color="tab:red",
                        label="tesk_gpu (2 s.e.)")
            ax.set_title(f"{rep.spectrum.name}, {plane} plane", fontsize=9)
            ax.set_xlabel("view zenith (deg; + sun side)" if i == 0 else "view zenith (deg)")
            ax.set_ylabel("BRF")
            if i == 0 and j == 0:
                ax.legend(fontsize=8)
    c = reports[0].case
    fig.suptitle(f"LAI {c.lai:g}, {LEAF_TYPES[c.leaf_type]} leaves, sun zenith {c.sun_zenith_deg:g} deg")
    fig.savefig(path, dpi=90)
    plt.close(fig)


TABLE_COLUMNS = ("case", "spectrum", "lai", "leaf_angles", "sun_zenith", "brf_nadir_3d", "brf_nadir_1d",
                 "brf_max_rel_dev", "dhr_3d", "dhr_1d", "absorption_3d", "absorption_1d", "transmission_3d",
                 "transmission_1d", "verdict")


def run_campaign(out_dir, cases=None, num_photons: int = 100_000, plots: bool = True, log=print) -> list[CaseReport]:
    """Run every case, write a PNG per case, table.csv and verdicts.txt under out_dir, and
    return the reports."""
    out = pathlib.Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    cases = campaign_cases() if cases is None else cases
    all_reports = []
    t0 = time.perf_counter()
    for k, case in enumerate(cases):
        reports = compare_case(case, num_photons=num_photons)
        all_reports += reports
        if plots:
            plot_case(reports, out / f"{case.name}.png")
        for rep in reports:
            log(rep.verdict)
        log(f"[{k + 1}/{len(cases)}] {time.perf_counter() - t0:.0f} s")
    nadir = len(VIEW_ZENITHS) // 2
    with open(out / "table.csv", "w", newline="") as fh:
        w = csv.writer(fh)
        w.writerow(TABLE_COLUMNS)
        for rep in all_reports:
            c = rep.case
            w.writerow([c.name, rep.spectrum.name, c.lai, LEAF_TYPES[c.leaf_type], c.sun_zenith_deg,
                        f"{rep.brf_3d[nadir]:.5f}", f"{rep.brf_1d[nadir]:.5f}", f"{rep.worst_brf_deviation:.4f}",
                        *(f"{x:.5f}" for pair in zip(rep.fluxes_3d, rep.fluxes_1d) for x in pair),
                        "PASS" if rep.passed else "FAIL"])
    n_pass = sum(r.passed for r in all_reports)
    summary = f"{n_pass}/{len(all_reports)} case-spectra pass in {time.perf_counter() - t0:.0f} s"
    (out / "verdicts.txt").write_text("\n".join([r.verdict for r in all_reports] + [summary]) + "\n")
    log(summary)
    return all_reports


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Homogeneous canopies: tesk_gpu against the 1D solution.")
    parser.add_argument("out_dir", nargs="?", default="out/validation")
    parser.add_argument("--photons", type=int, default=100_000, help="photons per case (all spectra at once)")
    parser.add_argument("--sun-zeniths", type=float, nargs="+", default=[20.0, 50.0])
    parser.add_argument("--quick", action="store_true", help="LAI 2, every leaf type, sun zenith 30 only")
    args = parser.parse_args(argv)
    cases = ([Case(2.0, lt, 30.0) for lt in LEAF_TYPES] if args.quick else campaign_cases(tuple(args.sun_zeniths)))
    # The native workflows print a line per run; keep the report readable.
    sys.stdout.flush()
    saved = _silence_native_stdout()
    try:
        reports = run_campaign(args.out_dir, cases, num_photons=args.photons, log=_echo(saved))
    finally:
        _restore_stdout(saved)
    return 0 if all(r.passed for r in reports) else 1


def _silence_native_stdout():
    import os

    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    return saved


def _restore_stdout(saved):
    import os

    sys.stdout.flush()
    os.dup2(saved, 1)
    os.close(saved)


def _echo(fd):
    import os

    def log(line):
        os.write(fd, (line + "\n").encode())

    return log


if __name__ == "__main__":
    sys.exit(main())
