#pragma once

// Host batch evaluators of the microwave surface and trunk models: they check the parameter
// vectors and argument shapes, parse the parameter tables and run the device-ready kernels of
// core/microwave over every cosine or direction triple (worker threads for large batches; each
// row depends only on its own inputs, so results do not depend on the thread count).
//
// Trunk over ground (evaluate_trunk_ground). The trunk is a finite dielectric cylinder of the
// trunk vector's radius a, length L and axis, with the wood permittivity at the trunk's
// moisture and temperature; the ground is the soil of the soil vector (Mironov for model 0,
// Hallikainen for model 2, Dobson otherwise, at T_surf) with rms height s. Per direction
// triple (to_trunk, to_ground, normal):
//   - the trunk's scattering amplitude is the infinite-cylinder series solution with the
//     finite-length correction −(i·L/π)·sinc(k·L·(î·ĉ − ŝ·ĉ)/2), evaluated at the mean axial
//     cosine of the two directions (exact on the scattering cone, reciprocal everywhere);
//   - the series runs over orders 0..N, N = ⌈x0 + 4.05·x0^{1/3} + 2⌉ with x0 = k·a·sin ζ̄;
//   - the direct term is the trunk's monostatic backscatter along to_trunk;
//   - the double-bounce term is the coherent sum of the paths sensor → ground → trunk →
//     sensor and sensor → trunk → ground → sensor through the specular point of to_ground,
//     the ground reflecting with its Fresnel amplitudes attenuated by exp(−2k²s²μ²);
//   - polarizations are H = normalize(ẑ × d), V = H × d of each line of sight d (backscatter
//     alignment), cross sections σ = 4π|S|² in m².
// Result columns (12 per triple): 0–3 direct σ_HH, σ_HV, σ_VH, σ_VV; 4–7 double-bounce
// σ_HH, σ_HV, σ_VH, σ_VV; 8–9 trunk extinction cross sections for H and V incidence along
// to_trunk (m², optical theorem); 10–11 coherent ground reflectivities Γ_H, Γ_V at the bounce
// (Fresnel × exp(−4k²s²μ²)). A triple with a zero or non-finite vector, or a trunk outside the
// series model (k·a > 10⁴, non-positive radius or length, zero axis, frequency ≤ 0), gives a
// row of NaN.

#include <cstddef>
#include <vector>

#include "core/microwave/cylinder.h"
#include "core/microwave/dielectric.h"

namespace tesk::microwave {

/// A float array borrowed from the caller, with the shape it was given.
struct FloatArray {
  const float* data = nullptr;     ///< Elements in C order.
  std::vector<std::size_t> shape;  ///< Extent of every dimension (empty for a scalar).

  /// Number of elements.
  std::size_t size() const {
    std::size_t n = 1;
    for (std::size_t e : shape) n *= e;
    return n;
  }
};

/// The soil parameter vector (12 floats; longer vectors are read up to index 11).
struct SoilParameters {
  float sand = 0.0f;                 ///< [0] Sand fraction S (0..1).
  float clay = 0.0f;                 ///< [1] Clay fraction C (0..1).
  float moisture = 0.0f;             ///< [2] Volumetric moisture m_v (m³/m³).
  float roughness_hr = 0.0f;         ///< [3] Roughness parameter H_R of the passive model.
  float exponent_nv = 0.0f;          ///< [4] Exponent N_V (vertical polarization).
  float exponent_nh = 0.0f;          ///< [5] Exponent N_H (horizontal polarization).
  float mixing_q = 0.0f;             ///< [6] Polarization mixing Q.
  float surface_temperature = 0.0f;  ///< [7] Surface temperature T_surf (K).
  float deep_temperature = 0.0f;     ///< [8] Deep soil temperature T_deep (K).
  float model = 0.0f;       ///< [9] Dielectric model (0 Mironov, 2 Hallikainen, else Dobson).
  float rms_height = 0.0f;  ///< [10] Surface rms height s (m).
  float reserved = 0.0f;    ///< [11] Reserved; not read by the evaluators.
};

/// The trunk parameter vector (7 floats).
struct TrunkParameters {
  float radius = 0.0f;        ///< [0] Radius a (m).
  float length = 0.0f;        ///< [1] Length L (m).
  float moisture = 0.0f;      ///< [2] Wood moisture.
  float temperature = 0.0f;   ///< [3] Temperature (K).
  float axis[3] = {0, 0, 1};  ///< [4..6] Trunk axis (normalized when used).
};

/// A float32 result table of `rows` × `cols` values in row-major order.
struct ResultTable {
  std::size_t rows = 0;       ///< Number of rows (one per cosine or direction triple).
  std::size_t cols = 0;       ///< Values per row.
  std::vector<float> values;  ///< rows·cols values.
};

/// Reads a soil vector. Throws std::runtime_error "soil parameters must be a 1D array with 12
/// values" when it is not one-dimensional or has fewer than 12 values.
SoilParameters parse_soil_parameters(const FloatArray& parameters);

/// Reads a trunk vector. Throws std::runtime_error "trunk parameters must be a 1D array with 7
/// values" unless it is one-dimensional with exactly 7 values.
TrunkParameters parse_trunk_parameters(const FloatArray& parameters);

/// Passive (`active` false) or active soil responses at `frequency` (Hz) for every cosine
/// (each read as max(|μ|, 0.001)). Passive rows: T_B,H, T_B,V (K), Γ_H,rough, Γ_V,rough, with the
/// Mironov (model 0) or Dobson permittivity at T_eff. Active rows: σ_HH, σ_HV, σ_VH, σ_VV
/// (linear, m²/m²) of the Oh–Sarabandi–Ulaby model with the permittivity by model (Dobson at
/// T_surf). Throws std::runtime_error with the soil-vector message or "cosines must be a 1D
/// array".
ResultTable evaluate_soil(double frequency, const FloatArray& parameters, const FloatArray& cosines,
                          bool active);

/// Smooth-surface Fresnel reflectivities (Γ_H, Γ_V) per cosine, the permittivity by model at
/// T_surf (Hallikainen for model 2 only when `allow_hallikainen`, Dobson otherwise). Throws
/// std::runtime_error as evaluate_soil.
ResultTable evaluate_soil_reflectivity(double frequency, const FloatArray& parameters,
                                       const FloatArray& cosines, bool allow_hallikainen);

/// Trunk surface rows ((1 − Γ_H)·T, (1 − Γ_V)·T, Γ_H, Γ_V) per cosine, Fresnel reflectivities
/// of the wood permittivity and T the trunk temperature (K). Throws std::runtime_error with
/// the trunk-vector message or "cosines must be a 1D array".
ResultTable evaluate_trunk(double frequency, const FloatArray& parameters,
                           const FloatArray& cosines);

/// Trunk and trunk–ground responses, 12 columns per direction triple (see the file comment).
/// Throws std::runtime_error with the soil-vector or trunk-vector message, or "direction and
/// normal arrays must all have shape (N, 3)" when the three arrays are not all (N, 3) with
/// the same N.
ResultTable evaluate_trunk_ground(double frequency, const FloatArray& soil_parameters,
                                  const FloatArray& trunk_parameters,
                                  const FloatArray& directions_to_trunk,
                                  const FloatArray& directions_to_ground,
                                  const FloatArray& ground_normals);

/// Number of result columns of evaluate_trunk_ground.
inline constexpr std::size_t kTrunkGroundColumns = 12;

}  // namespace tesk::microwave
