#pragma once

// The forward photon loop of scenes with optical turbid media, shared by the host and the
// device: the combined free-path steps of core/media_walk.h, surfaces scattered as in
// core/surface_photon.h, and leaves inside media sampled from the medium's inclination
// distribution and scattered by its leaf optics.

#include <cstdint>

#include "core/host_device.h"
#include "core/leaf_scattering.h"
#include "core/media_walk.h"
#include "core/pcg32.h"
#include "core/surface_path.h"
#include "core/surface_photon.h"
#include "core/transport_constants.h"

namespace tesk {

/// The media containing a photon that starts at `o` along `d` (empty outside the scene box,
/// without a query); containment queries are counted in `containment`.
template <typename Tracer>
TESK_HOST_DEVICE ActiveMediumSet initial_photon_media(const MediaWalk<Tracer>& walk,
                                                      const float3& o, const float3& d,
                                                      int64_t& containment) {
  const SceneBounds& b = walk.bounds;
  if (o.x < b.min_x || o.x > b.max_x || o.y < b.min_y || o.y > b.max_y || o.z < b.min_z ||
      o.z > b.max_z) {
    return ActiveMediumSet{};
  }
  ++containment;
  return walk.containment(o, d);
}

/// Follows an emitted photon (already nudged into the tile) through a scene with media until it
/// escapes or ends, calling
///   tally.surface(ph, hit, material or nullptr, frame, wo, alpha, w, s)  before scattering
///   tally.leaf(ph, position, medium, leaf, alpha, w, s)      at an interaction in a medium
///   tally.escaped(ph, w)                                     leaving the scene
/// `ph` carries `media` (PathMedia) and `crossings`; `models` holds the leaf model of each of
/// the `n_models` media. `w` and `alpha` hold n_bands values.
template <typename Tracer, typename P, typename S, typename Tally>
TESK_HOST_DEVICE void trace_media_photon(const PathContext& c, const MediaWalk<Tracer>& walk,
                                         const MediumLeafModel* models, int32_t n_models,
                                         Pcg32& rng, P& ph, double* w, float* alpha, S& s,
                                         Tally& tally) {
  using namespace transport;
  const int nb = c.n_bands;
  ph.media.set = initial_photon_media(walk, ph.o, ph.d, s.rays.containment);

  for (int step = 0; step < kMaxPhotonSteps; ++step) {
    HitRecord hit;
    bool at_leaf = false;
    float3 position{};
    int32_t medium = -1;
    nudge_into_tile(c.tiles, ph.o, ph.d);
    if (ph.media.set.count == 0 && escapes_upward(c.tiles, ph.o, ph.d)) {
      tally.escaped(ph, w);
      return;
    }
    const MediumTraceEvent ev = walk.step(ph.o, ph.d, nullptr, ph.media.set, ph.crossings, rng);
    ++s.rays.closest;
    switch (ev.kind) {
      case MediumEventKind::Escape:
        tally.escaped(ph, w);
        return;
      case MediumEventKind::TileCrossing:
        ph.o = walk.wrap_path(ph.o, ph.d, ev.exit, ph.media, s.rays.containment);
        ++ph.crossings;
        continue;
      case MediumEventKind::MediumBoundary:
        cross_medium_boundary(walk.media, ph.media, ev.medium_id, ev.instance_id,
                              ev.hit.is_back_face);
        ph.o = offset_ray_origin(ev.hit.position, ev.hit.geometric_normal, ph.d);
        continue;
      case MediumEventKind::Surface:
        hit = ev.hit;
        break;
      case MediumEventKind::Interaction:
        at_leaf = true;
        position = ev.position;
        medium = ev.medium_id;
        break;
    }

    float3 new_dir;
    float3 new_origin;
    if (!at_leaf) {
      const MaterialRecord* mat = c.material(hit.material_id);
      const ShadingFrame frame = ShadingFrame::from_normal(hit.normal);
      const float3 wo = frame.to_local(-ph.d);
      surface_absorptance(c, mat, hit.is_back_face, alpha);
      tally.surface(ph, hit, mat, frame, wo, alpha, w, s);
      if (mat == nullptr) return;  // absorbed whole
      if (!scatter_photon_at_surface(c, ph, hit, *mat, frame, wo, true, alpha, w, rng, s, new_dir,
                                     new_origin)) {
        return;
      }
    } else {
      if (medium < 0 || medium >= n_models) return;
      const MediumLeafModel& model = models[medium];
      const LeafHit leaf = sample_leaf_normal(model.leaf_angle_type, ph.d, rng);
      for (int b = 0; b < nb; ++b) alpha[b] = model.optics.absorptance(b, leaf.back_face);
      tally.leaf(ph, position, medium, leaf, alpha, w, s);
      const LeafMeans& m = model.means[leaf.back_face ? 1 : 0];
      float u[3];
      u[0] = rng.uniform();
      u[1] = rng.uniform();
      u[2] = rng.uniform();
      const LeafScatter sc = scatter_at_leaf(leaf.facing, m.rho, m.tau, u);
      if (!sc.valid) {
        for (int b = 0; b < nb; ++b) s.removed[b] += (1.0 - alpha[b]) * w[b] * ph.power;
        return;
      }
      for (int b = 0; b < nb; ++b) {
        w[b] *= static_cast<double>(leaf_scatter_weight(model.optics, b, leaf.back_face, sc));
      }
      new_dir = sc.direction;
      new_origin = position;
    }
    if (!continue_photon(c, ph, w, rng, s, new_dir, new_origin)) return;
    ph.media.new_segment();
  }
  for (int b = 0; b < nb; ++b) s.removed[b] += w[b] * ph.power;
}

}  // namespace tesk
