"""Scan patterns and LAS output for the LiDAR simulation of ``tesk_gpu``.

Plain NumPy helpers that produce the ``pulse_origins`` and ``pulse_directions`` arrays
``tesk_gpu.simulate_lidar_cpu`` takes, for the two instruments users meet most:

- ``airborne_line_scan``: an aircraft flying a straight line at constant altitude and speed
  while an oscillating mirror sweeps the beam across the track;
- ``terrestrial_scan``: a scanner on a tripod stepping its beam in azimuth and zenith angle.

``write_las`` writes the point records of a run as a LAS 1.4 file (point format 6) through
laspy, which is an optional dependency (``pip install tesk-gpu[las]``).

Conventions follow the module: z is up, lengths in scene units (metres), angles in degrees at
this interface, directions are unit vectors from the instrument toward the scene.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

__all__ = ["Scan", "airborne_line_scan", "terrestrial_scan", "write_las", "POINT_FIELDS"]

#: Columns of the point records returned by simulate_lidar_cpu.
POINT_FIELDS = ("x", "y", "z", "intensity", "return_number", "number_of_returns", "range", "pulse_index")


class Scan(NamedTuple):
    """Pulses of a scan, in firing order."""

    pulse_origins: np.ndarray  #: float32 [n, 3]
    pulse_directions: np.ndarray  #: float32 [n, 3], unit vectors
    gps_time: np.ndarray  #: float64 [n] firing time of each pulse (s, from the first pulse)

    @property
    def num_pulses(self) -> int:
        return len(self.pulse_origins)


def _positive(name: str, value: float) -> float:
    value = float(value)
    if not (np.isfinite(value) and value > 0):
        raise ValueError(f"{name} must be finite and positive")
    return value


def airborne_line_scan(altitude: float, scan_angle_deg: float, pulse_rate_hz: float, speed: float,
                       length: float, *, start=(0.0, 0.0), heading_deg: float = 0.0,
                       scan_rate_hz: float | None = None) -> Scan:
    """Pulses of an airborne line scanner flying one straight line.

    The aircraft starts at ``start`` (x, y) at height ``altitude`` and flies ``length`` scene
    units along ``heading_deg`` (degrees counter-clockwise from +x) at ``speed`` units per
    second, firing ``pulse_rate_hz`` pulses per second. A mirror sweeps the beam back and forth
    across the track between -``scan_angle_deg`` and +``scan_angle_deg`` off nadir at a
    constant angular speed (a zigzag pattern), ``scan_rate_hz`` sweeps per second. By default
    the sweep rate makes the spacing of neighbouring lines along the track equal to the
    spacing of neighbouring pulses across it at nadir, sqrt(speed * pulse_rate / swath).
    """
    altitude = _positive("altitude", altitude)
    pulse_rate_hz = _positive("pulse_rate_hz", pulse_rate_hz)
    speed = _positive("speed", speed)
    length = _positive("length", length)
    scan_angle = np.radians(float(scan_angle_deg))
    if not (0 <= scan_angle < np.pi / 2):
        raise ValueError("scan_angle_deg must be in [0, 90)")
    swath = 2.0 * altitude * np.tan(scan_angle)
    if scan_rate_hz is None:
        scan_rate_hz = np.sqrt(speed * pulse_rate_hz / swath) if swath > 0 else 1.0
    scan_rate_hz = _positive("scan_rate_hz", scan_rate_hz)

    n = int(np.floor(length / speed * pulse_rate_hz)) + 1
    t = np.arange(n, dtype=np.float64) / pulse_rate_hz
    heading = np.radians(float(heading_deg))
    along = np.array([np.cos(heading), np.sin(heading), 0.0])
    across = np.array([np.sin(heading), -np.cos(heading), 0.0])  # to the right of the track
    # Zigzag: the phase runs 0..1 over one sweep, forward on even sweeps and back on odd ones.
    sweeps = t * scan_rate_hz
    phase = sweeps - np.floor(sweeps)
    forward = (np.floor(sweeps).astype(np.int64) % 2) == 0
    angle = scan_angle * np.where(forward, 2.0 * phase - 1.0, 1.0 - 2.0 * phase)

    origins = np.empty((n, 3))
    origins[:, :2] = np.asarray(start, np.float64)[:2] + np.outer(speed * t, along[:2])
    origins[:, 2] = altitude
    directions = np.outer(np.sin(angle), across)
    directions[:, 2] = -np.cos(angle)
    return Scan(origins.astype(np.float32), directions.astype(np.float32), t)


def terrestrial_scan(position, azimuth_step_deg: float, zenith_step_deg: float, *,
                     azimuth_range_deg=(0.0, 360.0), zenith_range_deg=(30.0, 130.0),
                     pulse_rate_hz: float = 100_000.0) -> Scan:
    """Pulses of a terrestrial scanner standing at ``position`` (x, y, z).

    The head turns in azimuth (degrees counter-clockwise from +x) in steps of
    ``azimuth_step_deg`` over ``azimuth_range_deg`` (end excluded, so a full turn has no double
    column); for each azimuth the mirror steps the zenith angle (degrees from straight up) over
    ``zenith_range_deg`` in steps of ``zenith_step_deg`` (both ends included). Pulses are fired
    column by column at ``pulse_rate_hz``.
    """
    azimuth_step = _positive("azimuth_step_deg", azimuth_step_deg)
    zenith_step = _positive("zenith_step_deg", zenith_step_deg)
    pulse_rate_hz = _positive("pulse_rate_hz", pulse_rate_hz)
    position = np.asarray(position, np.float64).reshape(3)
    a0, a1 = (float(v) for v in azimuth_range_deg)
    z0, z1 = (float(v) for v in zenith_range_deg)
    if not (np.isfinite([a0, a1, z0, z1]).all() and a0 < a1 and 0.0 <= z0 <= z1 <= 180.0):
        raise ValueError("azimuth_range_deg must be increasing and zenith_range_deg within [0, 180]")
    azimuths = np.radians(np.arange(a0, a1 - 1e-9 * azimuth_step, azimuth_step))
    zeniths = np.radians(np.arange(z0, z1 + 1e-9 * zenith_step, zenith_step))
    az, zen = (g.ravel() for g in np.meshgrid(azimuths, zeniths, indexing="ij"))
    directions = np.column_stack([np.sin(zen) * np.cos(az), np.sin(zen) * np.sin(az), np.cos(zen)])
    n = len(directions)
    origins = np.broadcast_to(position, (n, 3))
    return Scan(origins.astype(np.float32), directions.astype(np.float32),
                np.arange(n, dtype=np.float64) / pulse_rate_hz)


def write_las(path, points: np.ndarray, *, gps_time: np.ndarray | None = None, scale: float = 0.001,
              intensity_scale: float | None = None) -> None:
    """Writes the point records of a LiDAR run (``result["points"]``, [n, 8]) as LAS 1.4,
    point format 6, through laspy (``pip install tesk-gpu[las]``).

    x, y and z are stored as integers of ``scale`` scene units around an offset at the floor of
    the smallest coordinate. Intensities become unsigned 16-bit counts: intensity *
    ``intensity_scale``, by default the factor that maps the largest intensity to 65535.
    Return numbers and return counts above 15 (what format 6 can hold) are stored as 15.
    GPS time is the pulse index, or ``gps_time[pulse index]`` when the pulse times of a scan
    are given (``Scan.gps_time``).
    """
    try:
        import laspy
    except ImportError as error:  # pragma: no cover - depends on the environment
        raise ImportError("write_las needs laspy: pip install tesk-gpu[las] (or pip install laspy)") from error
    points = np.asarray(points, np.float64)
    if points.ndim != 2 or points.shape[1] != len(POINT_FIELDS):
        raise ValueError("points must have shape [n, 8] (the 'points' of a LiDAR result)")
    scale = _positive("scale", scale)
    xyz = points[:, :3]
    if not np.isfinite(xyz).all():
        raise ValueError("points must have finite coordinates")
    intensity = points[:, 3]
    if intensity_scale is None:
        peak = float(intensity.max()) if len(points) else 0.0
        intensity_scale = 65535.0 / peak if peak > 0 else 1.0
    pulse = points[:, 7].astype(np.int64)
    if gps_time is None:
        times = pulse.astype(np.float64)
    else:
        gps_time = np.asarray(gps_time, np.float64)
        if len(points) and (pulse.min() < 0 or pulse.max() >= len(gps_time)):
            raise ValueError("gps_time must hold a time for every pulse index of the points")
        times = gps_time[pulse]

    header = laspy.LasHeader(point_format=6, version="1.4")
    header.scales = np.array([scale] * 3)
    header.offsets = np.floor(xyz.min(axis=0)) if len(points) else np.zeros(3)
    las = laspy.LasData(header)
    las.points = laspy.ScaleAwarePointRecord.zeros(len(points), header=header)
    las.x, las.y, las.z = xyz[:, 0], xyz[:, 1], xyz[:, 2]
    las.intensity = np.clip(np.rint(intensity * intensity_scale), 0, 65535).astype(np.uint16)
    las.return_number = np.clip(points[:, 4], 1, 15).astype(np.uint8)
    las.number_of_returns = np.clip(points[:, 5], 1, 15).astype(np.uint8)
    las.gps_time = times
    las.write(str(path))
