#pragma once

#include <cmath>

#include "core/host_device.h"

namespace tesk {

/// Spectral radiance of a black body (W m^-2 sr^-1 nm^-1) at `wavelength_nm` nanometres and
/// `temperature_k` kelvin. Returns 0 for T <= 0 and where c2/(lambda T) > 500 (the exponential
/// would overflow and the radiance is negligible). Evaluated in double precision.
TESK_HOST_DEVICE inline float planck_radiance(float wavelength_nm, float temperature_k) {
  if (!(temperature_k > 0.0f)) return 0.0f;
  const double lambda_m = static_cast<double>(wavelength_nm) * 1e-9;
  const double x = 0.014387768775039337 / (static_cast<double>(temperature_k) * lambda_m);
  if (!(x <= 500.0)) return 0.0f;
  const double l5 = lambda_m * lambda_m * lambda_m * lambda_m * lambda_m;
  // c1 = 2hc^2 in W m^2 sr^-1; the factor 1e-9 turns "per metre" into "per nanometre".
  return static_cast<float>(1.1910429723971884e-16 / (l5 * (std::exp(x) - 1.0)) * 1e-9);
}

}  // namespace tesk
