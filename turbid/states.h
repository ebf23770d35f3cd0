#pragma once

// Turbid states: per leaf-area sample of a resident domain, the probability of being sunlit
// and one record of leaf variables for the sunlit and one for the shaded condition, as one
// workflow stage computed them. A state is addressed by a token that pins the domain
// revisions it was computed from, so a change of the domain makes the token stale.

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tesk::turbid {

/// Workflow stage of a state.
enum class TurbidStage : uint32_t {
  Generic = 0,
  Radiation = 1,
  StaticPhysiology = 2,
  EnergyBalance = 3
};

/// Host name of a stage ("generic", "radiation", "static_physiology", "energy_balance");
/// std::invalid_argument "reserved Turbid workflow stage" for any other code.
const char* stage_name(uint32_t stage);

/// Stage code of a host name; std::invalid_argument "reserved Turbid workflow stage".
TurbidStage stage_from_name(const std::string& name);

/// Fields of a leaf state record, in record order.
inline constexpr int kStateFieldCount = 14;
/// Names of the fields as states carry them ("absorbed_sw_top", ..., "An", "Ci", "Phi_f", ...).
extern const std::array<const char*, kStateFieldCount> kStateFieldNames;
/// Field indices of the record.
enum StateField : int {
  kAbsorbedSwTop = 0,
  kAbsorbedSwBottom = 1,
  kAbsorbedSwDirect = 2,
  kApar = 3,
  kAbsorbedLwTop = 4,
  kAbsorbedLwBottom = 5,
  kTemperature = 6,
  kAn = 7,
  kGs = 8,
  kCi = 9,
  kPhiF = 10,
  kSensibleHeat = 11,
  kLatentHeat = 12,
  kEmittedLongwave = 13
};

/// Index of a field name, or -1.
int state_field_index(const std::string& name);

/// Leaf variables of one condition (sunlit or shaded) of one sample.
struct TurbidLeafState {
  std::array<float, kStateFieldCount> values{};  ///< Fields in record order.
  uint8_t converged = 1;                         ///< 1 when the producing solver converged.
};

/// The address of a resident state and the revisions it was computed from.
struct TurbidStateToken {
  uint64_t state_id = 0;
  uint64_t domain_id = 0;
  uint64_t workflow_revision = 0;  ///< The caller's stamp of the producing workflow.
  uint64_t domain_revision = 0, geometry_revision = 0, transport_revision = 0,
           property_revision = 0, illumination_revision = 0, microclimate_revision = 0,
           sampling_revision = 0;
  uint64_t state_revision = 0;  ///< 1 for a fresh state, +1 per derived stage.
  TurbidStage stage = TurbidStage::Generic;
};

/// One state.
struct OwnedTurbidState {
  TurbidStateToken token;
  std::vector<uint64_t> sample_ids;     ///< Stable ids, pool order.
  std::vector<float> p_sun;             ///< Per sample, in [0, 1].
  std::vector<TurbidLeafState> sunlit;  ///< Per sample.
  std::vector<TurbidLeafState> shaded;  ///< Per sample.
  /// Radiation stage: band centres (nm) and absorbed shortwave per band, band-major [b][n].
  std::vector<float> wavelengths;
  std::vector<float> spectral_sunlit, spectral_shaded;
};

/// Resident states of a scene, by state id.
using TurbidStateTable = std::map<uint64_t, std::shared_ptr<const OwnedTurbidState>>;

/// Checks a token's identities and revisions; std::invalid_argument "state token id must be
/// non-zero", "state token domain id must be non-zero" or "<revision in words> must be
/// non-zero".
void validate_state_token(const TurbidStateToken& token);

}  // namespace tesk::turbid
