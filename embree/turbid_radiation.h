#pragma once

// The turbid radiation-field process: the leaf reverse ray tracer over the samples of a
// resident domain, turned into a radiation-stage state.

#include <array>
#include <cstdint>
#include <vector>

#include "core/host/progress.h"
#include "embree/scene_manager.h"
#include "embree/turbid_leaf_rrt.h"
#include "turbid/registry.h"
#include "turbid/states.h"

namespace tesk::embree {

/// One owner (domain component) of a radiation request.
struct TurbidRadiationOwner {
  uint64_t instance_id = 0, component_id = 0, medium_id = 0;  ///< The component's stable ids.
  int64_t transport_medium_id = -1;    ///< Index into the scene's optical turbid-medium table.
  int64_t transport_instance_id = -1;  ///< Scene instance carrying that medium's boundary.
  std::vector<float> reflectance, back_reflectance, transmittance;  ///< Per band.
};

/// A radiation request as the host gives it.
struct OwnedTurbidRadiationRequest {
  uint64_t contract_revision = 1;
  uint64_t workflow_revision = 0;
  std::vector<float> wavelengths;                        ///< Band centres (nm), increasing.
  std::vector<float> band_widths;                        ///< Band widths (nm), > 0.
  std::vector<float> direct_irradiance;                  ///< Per band, normal to the sun (W m-2).
  std::vector<float> sky_radiance;                       ///< Per band, isotropic (W m-2 sr-1).
  std::array<float, 3> sun_direction{0.0f, 0.0f, 1.0f};  ///< Unit vector toward the sun.
  int64_t rays_per_sample = 64, max_depth = 8;
  uint64_t seed = 0;
  std::vector<TurbidRadiationOwner> owners;  ///< One per domain component, in order.
  int num_threads = 0;                       ///< Workers; below 1: the hardware concurrency.
};

/// The transport inputs of a domain's samples.
struct TurbidRadiationOwnerTransport {
  std::vector<int32_t> owner_medium, owner_instance;    ///< Per owner: transport medium, instance.
  std::vector<int32_t> sample_owner;                    ///< Per sample: its owner.
  std::vector<int32_t> active_offsets;                  ///< Per sample + 1: CSR offsets.
  std::vector<int32_t> active_media, active_instances;  ///< Expanded active media.
  std::vector<float> medium_reflectance, medium_back_reflectance,
      medium_transmittance;  ///< [n_media][n_bands]; media of no owner are black.
};

/// Fills the per-sample part of `t` (sample owners and active media) from its per-owner
/// transport media and instances: each sample's own owner's medium, then those of the owners
/// its owner overlaps (the descriptor's lists and the relation table's pairs, either way round)
/// whose boundary contains the sample. Throws std::invalid_argument
/// "Turbid radiation overlap references an unknown owner", std::overflow_error on index overflow.
void expand_active_media(const turbid::TurbidDomainRecord& domain,
                         TurbidRadiationOwnerTransport& t);

/// The per-sample arrays of a leaf RRT run over a domain's samples.
struct TurbidLeafRRTInputs {
  std::vector<float> positions, normals;
  std::vector<int32_t> medium_ids, instance_ids;
  /// Points the sample arrays of `p` at these arrays and at the active lists of `t`.
  void fill(TurbidLeafRRTParams& p, const TurbidRadiationOwnerTransport& t) const;
};

/// The leaf reverse ray tracer's parameters for a radiation request over `domain`: the sample
/// arrays of `inputs` (which must outlive `p`), the owners' optics of `t`, the request's bands,
/// sun, sky, ray counts (clamped to 2^30) and the seed mixed with the domain's. The thread count
/// is left to the caller.
void fill_radiation_leaf_rrt_params(const turbid::TurbidDomainRecord& domain,
                                    const OwnedTurbidRadiationRequest& q,
                                    const TurbidRadiationOwnerTransport& t,
                                    const TurbidLeafRRTInputs& inputs, TurbidLeafRRTParams& p);

/// Positions, normals and own media of a domain's samples.
TurbidLeafRRTInputs leaf_rrt_inputs(const turbid::TurbidDomainRecord& domain,
                                    const TurbidRadiationOwnerTransport& t);

/// Checks a request against a domain in the documented order; std::invalid_argument with the
/// request's messages.
void validate_radiation_request(const turbid::TurbidDomainRecord& domain,
                                const OwnedTurbidRadiationRequest& request);

/// Per owner its transport medium and instance, per sample the active media: its own owner's
/// medium followed by those of the overlapping owners whose boundary contains the sample, and
/// the medium optics laid out per scene medium. Throws std::invalid_argument with the owner
/// preparation messages, std::overflow_error for index overflow.
TurbidRadiationOwnerTransport prepare_turbid_radiation_owners(
    const turbid::TurbidDomainRecord& domain, const OwnedTurbidRadiationRequest& request,
    int32_t n_optical_media);

/// Runs the process on a resident domain and returns the radiation-stage state (a fresh state
/// id; not committed). Throws the validation and preparation errors, std::runtime_error
/// "Embree Turbid radiation requires a built optical scene. No fallback was performed." and
/// those of the leaf RRT.
turbid::OwnedTurbidState execute_turbid_radiation_field(const EmbreeSceneManager& scene,
                                                        const turbid::TurbidDomainRecord& domain,
                                                        const OwnedTurbidRadiationRequest& request,
                                                        const ProgressCallback& progress = {},
                                                        const InterruptCheck& interrupt = {});

}  // namespace tesk::embree
