#include "embree/photon_path.h"

#include <cstdio>
#include <new>
#include <stdexcept>

#include "core/host/parallel.h"
#include "embree/illumination.h"
#include "embree/render_backward.h"

namespace tesk::embree::photon {

PhotonContext make_photon_context(const EmbreeSceneManager& scene, int n_bands, float prob_sun,
                                  int max_depth, int rr_depth) {
  PhotonContext c;
  static_cast<TransportContext&>(c) = make_transport_context(scene, n_bands, max_depth, rr_depth);
  c.n_bands = n_bands;
  c.prob_sun = prob_sun;
  return c;
}

void grid_extent(const EmbreeSceneManager& scene, float& lx, float& ly) {
  const SceneDescription& d = scene.description();
  if (d.scene_x_size() > 0.0f && d.scene_y_size() > 0.0f) {
    lx = d.scene_x_size();
    ly = d.scene_y_size();
  } else {
    lx = d.sensor().ortho_w;
    ly = d.sensor().ortho_h;
  }
}

PhotonSource photon_source(const PhotonContext& c) {
  PhotonSource src;
  src.bounds = c.bounds;
  src.has_sky = c.has_sky;
  src.measurement_plane = c.measurement_plane;
  src.extent_x = c.extent_x;
  src.extent_y = c.extent_y;
  src.power = c.power;
  src.prob_sun = c.prob_sun;
  return src;
}

int photon_thread_count(int requested, int64_t num_photons) {
  const int64_t t =
      std::min<int64_t>(resolve_thread_count(requested), std::max<int64_t>(num_photons, 1));
  return static_cast<int>(t);
}

std::vector<float> to_float(std::vector<double>& totals) {
  std::vector<float> out(totals.size());
  for (size_t i = 0; i < totals.size(); ++i) out[i] = static_cast<float>(totals[i]);
  std::vector<double>().swap(totals);
  return out;
}

void check_photon_range(const PhotonRange& range, int64_t num_photons) {
  if (range.whole()) return;
  const bool on_blocks = range.begin % kFoldPhotons == 0 &&
                         (range.end % kFoldPhotons == 0 || range.end == num_photons);
  if (!(range.begin >= 0 && range.begin < range.end && range.end <= num_photons && on_blocks)) {
    throw std::invalid_argument(
        "photon_range must satisfy 0 <= begin < end <= num_photons with begin and end on "
        "fold-block boundaries (or end = num_photons)");
  }
}

}  // namespace tesk::embree::photon
