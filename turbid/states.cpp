#include "turbid/states.h"

#include <stdexcept>

namespace tesk::turbid {

const std::array<const char*, kStateFieldCount> kStateFieldNames = {"absorbed_sw_top",
                                                                    "absorbed_sw_bottom",
                                                                    "absorbed_sw_direct",
                                                                    "apar",
                                                                    "absorbed_lw_top",
                                                                    "absorbed_lw_bottom",
                                                                    "temperature",
                                                                    "An",
                                                                    "gs",
                                                                    "Ci",
                                                                    "Phi_f",
                                                                    "sensible_heat",
                                                                    "latent_heat",
                                                                    "emitted_longwave"};

namespace {
constexpr const char* kStageNames[] = {"generic", "radiation", "static_physiology",
                                       "energy_balance"};
}  // namespace

const char* stage_name(uint32_t stage) {
  if (stage > 3) throw std::invalid_argument("reserved Turbid workflow stage");
  return kStageNames[stage];
}

TurbidStage stage_from_name(const std::string& name) {
  for (uint32_t i = 0; i < 4; ++i) {
    if (name == kStageNames[i]) return static_cast<TurbidStage>(i);
  }
  throw std::invalid_argument("reserved Turbid workflow stage");
}

int state_field_index(const std::string& name) {
  for (int i = 0; i < kStateFieldCount; ++i) {
    if (name == kStateFieldNames[i]) return i;
  }
  return -1;
}

void validate_state_token(const TurbidStateToken& t) {
  const std::pair<uint64_t, const char*> checks[] = {
      {t.state_id, "state token id"},
      {t.domain_id, "state token domain id"},
      {t.workflow_revision, "workflow revision"},
      {t.domain_revision, "domain revision"},
      {t.geometry_revision, "geometry revision"},
      {t.transport_revision, "transport revision"},
      {t.property_revision, "property revision"},
      {t.illumination_revision, "illumination revision"},
      {t.microclimate_revision, "microclimate revision"},
      {t.sampling_revision, "sampling revision"},
      {t.state_revision, "state revision"}};
  for (const auto& [value, name] : checks) {
    if (value == 0) throw std::invalid_argument(std::string(name) + " must be non-zero");
  }
}

}  // namespace tesk::turbid
