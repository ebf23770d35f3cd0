#pragma once

// Numeric constants of the transport, shared by every workflow and backend. They are the
// distances and limits that keep rays from re-hitting the surface they leave, bound walks that
// geometry could trap, and end paths whose contribution no longer matters.

namespace tesk::transport {

/// Nearest accepted hit of every ray that continues a path (scene units along a unit direction).
inline constexpr float kRayTMin = 1e-4f;
/// Farthest accepted hit of every closest-hit query.
inline constexpr float kRayTMax = 1e30f;
/// Reach of shadow and visibility rays, and the "no limit" of a step length.
inline constexpr float kFarDistance = 1e16f;
/// A ray direction component below this magnitude is parallel to a tile wall.
inline constexpr float kParallelEpsilon = 1e-8f;
/// Wall distances of `cross_tile` below this are the wall the ray starts on.
inline constexpr float kTileWallMin = 1e-4f;
/// Step along the ray past a tile wall or a medium boundary before the next query, well above
/// kRayTMin so the boundary just crossed is not met again.
inline constexpr float kBoundaryStep = 2e-4f;
/// A medium boundary this close before a tile wall is left to the neighbouring tile, so a
/// medium straddling the wall is entered consistently on both sides.
inline constexpr float kWallBoundaryTolerance = 5e-4f;
/// Inset of periodic camera-ray origins from the tile walls.
inline constexpr float kTileEntryInset = 1e-3f;
/// Terrain-following orthographic cameras start this far back along the ray.
inline constexpr float kTerrainBackoff = 1e5f;
/// Smallest scattering pdf a sampled direction may have.
inline constexpr float kMinScatterPdf = 1e-8f;
/// Backward paths end when no band's throughput exceeds this.
inline constexpr double kMinThroughput = 1e-6;
/// Photons end when no band's weight exceeds this.
inline constexpr double kMinPhotonWeight = 1e-8;
/// Russian roulette survival probability cap.
inline constexpr double kMaxSurvival = 0.95;
/// Scattering events before Russian roulette starts, unless the caller chooses.
inline constexpr int kDefaultRouletteDepth = 3;
/// Optical depth beyond which a transmittance is taken as zero.
inline constexpr double kOpaqueOpticalDepth = 60.0;
/// Steps of a backward path through media (boundary crossings do not count as bounces).
inline constexpr int kMaxPathSteps = 4096;
/// Steps of a transmittance walk toward the sun or a view direction.
inline constexpr int kMaxWalkSteps = 4096;
/// Steps of one photon (a guard against endless boundary walks).
inline constexpr int kMaxPhotonSteps = 1 << 20;
/// Boundary instances a containment query considers.
inline constexpr int kMaxContainmentInstances = 128;
/// Offset of an energy-balance sample origin from its face, along the face normal.
inline constexpr float kFaceSampleOffset = 1e-4f;
/// Offset along the sun direction of the shadow ray from a surface met by a multiband path.
inline constexpr float kBounceSunOffset = 2e-4f;
/// A reflection or transmission probability at or below this counts as absent.
inline constexpr float kMinBranchProbability = 1e-8f;
/// Longwave emissivity of a primitive without an emissivity override.
inline constexpr float kDefaultEmissivity = 0.97f;
/// Longwave emissivity of surfaces and leaves of the turbid leaf tracers without an override.
inline constexpr float kTurbidDefaultEmissivity = 0.98f;
/// Transmittance toward the sun below which a leaf tracer counts a point as shaded.
inline constexpr double kMinSunTransmittance = 1e-6;
/// Stefan-Boltzmann constant (W m^-2 K^-4).
inline constexpr float kStefanBoltzmann = 5.6703744e-8f;

// ---- LiDAR
// ---------------------------------------------------------------------------------------

/// Speed of light in scene units (metres) per nanosecond.
inline constexpr double kLightSpeedPerNs = 0.29979247;
/// Full width at half maximum of a Gaussian in units of its standard deviation.
inline constexpr double kFwhmPerSigma = 2.35482;
/// Transmit-pulse taps reach this many standard deviations (in range) on each side.
inline constexpr double kPulseKernelSigmas = 3.0;
/// A footprint grid point is kept when x^2 + y^2 is at most this (the unit disk and rounding).
inline constexpr float kFootprintDiskRadius2 = 1.0001f;
/// Twice the variance of the Gaussian beam profile over the unit footprint disk.
inline constexpr float kFootprintTwoVariance = 0.50016385f;
/// Largest footprint grid resolution: (S + 1)^2 candidate rays per pulse.
inline constexpr int kMaxBeamSamplesPerDim = 4095;
/// Surface returns seen at a cosine below this are dropped (grazing hits return nothing).
inline constexpr float kMinReturnCosine = 1e-6f;

}  // namespace tesk::transport
