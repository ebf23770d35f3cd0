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

namespace {

// Index of the face whose cumulative share of `total` contains u * total (the last face when
// rounding leaves u * total at the very end).
int choose_face(const double* areas, int n, double total, float u) {
  double x = static_cast<double>(u) * total;
  for (int f = 0; f < n; ++f) {
    if (areas[f] > 0.0 && x < areas[f]) return f;
    x -= areas[f];
  }
  for (int f = n - 1; f >= 0; --f) {
    if (areas[f] > 0.0) return f;
  }
  return 0;
}

}  // namespace

bool emit_photon(const PhotonContext& c, Pcg32& rng, Photon& ph, double* w) {
  const int nb = c.n_bands;
  if (!(std::fabs(c.sun_dir.z) >= 0.01f)) return false;
  bool sky = false;
  if (c.has_sky) sky = rng.uniform() >= c.prob_sun;
  ph = Photon{};
  ph.direct = !sky;
  const SceneBounds& bx = c.bounds;
  const double dx = static_cast<double>(bx.max_x) - bx.min_x;
  const double dy = static_cast<double>(bx.max_y) - bx.min_y;
  const double dz = static_cast<double>(bx.max_z) - bx.min_z;
  const double top = dx * dy;
  float3 o{};
  float3 d{};
  if (sky) {
    if (!(c.prob_sun < 1.0f)) return false;
    ph.power = c.power / (1.0 - static_cast<double>(c.prob_sun));
    double factor = 1.0;
    if (!c.tiles.periodic) {
      // Top, x-min, x-max, y-min, y-max faces of the bounding box, by area.
      const double areas[5] = {top, dy * dz, dy * dz, dx * dz, dx * dz};
      const double total = areas[0] + areas[1] + areas[2] + areas[3] + areas[4];
      if (!(top > 0.0) || !std::isfinite(total)) return false;
      const int face = choose_face(areas, 5, total, rng.uniform());
      const float u1 = rng.uniform();
      const float u2 = rng.uniform();
      const float x = bx.min_x + u1 * static_cast<float>(dx);
      const float y = bx.min_y + u1 * static_cast<float>(dy);
      const float yy = bx.min_y + u2 * static_cast<float>(dy);
      const float z = bx.min_z + u2 * static_cast<float>(dz);
      float3 inward;
      switch (face) {
        case 0:
          o = float3{x, yy, bx.max_z + 0.1f};
          inward = float3{0.0f, 0.0f, -1.0f};
          break;
        case 1:
          o = float3{bx.min_x - 0.1f, y, z};
          inward = float3{1.0f, 0.0f, 0.0f};
          break;
        case 2:
          o = float3{bx.max_x + 0.1f, y, z};
          inward = float3{-1.0f, 0.0f, 0.0f};
          break;
        case 3:
          o = float3{x, bx.min_y - 0.1f, z};
          inward = float3{0.0f, 1.0f, 0.0f};
          break;
        default:
          o = float3{x, bx.max_y + 0.1f, z};
          inward = float3{0.0f, -1.0f, 0.0f};
          break;
      }
      const float u3 = rng.uniform();
      const float u4 = rng.uniform();
      const ScatterSample s = sample_cosine_hemisphere(u3, u4);
      d = normalize(ShadingFrame::from_normal(inward).to_world(s.wi));
      factor = total / top;
    } else {
      const float u1 = rng.uniform();
      const float u2 = rng.uniform();
      const float u3 = rng.uniform();
      const float u4 = rng.uniform();
      const ScatterSample s = sample_cosine_hemisphere(u3, u4);
      d = float3{s.wi.x, s.wi.y, -s.wi.z};
      const float t = 0.1f / std::fmax(std::fabs(d.z), 1e-6f);
      o = float3{u1 * c.extent_x - t * d.x, u2 * c.extent_y - t * d.y, c.measurement_plane + 0.1f};
    }
    // The sky radiance of the direction the light comes from.
    const float3 from = -d;
    for (int b = 0; b < nb; ++b) {
      w[b] = static_cast<double>(sky_radiance(c.sky, c.spectral, nb, from, b)) * 3.14159265358979 *
             factor;
    }
  } else {
    if (!(c.sun_dir.z > 0.0f) || !(c.prob_sun > 0.0f)) return false;
    ph.power = c.power / static_cast<double>(c.prob_sun);
    const float3 s = c.sun_dir;
    d = -s;
    double factor = 1.0;
    if (!c.tiles.periodic) {
      // Faces seen by the sun: top, the x face and the y face, by projected area.
      const double areas[3] = {std::fabs(s.z) * top, std::fabs(s.x) * dy * dz,
                               std::fabs(s.y) * dx * dz};
      const double total = areas[0] + areas[1] + areas[2];
      if (!(top > 0.0) || !std::isfinite(total)) return false;
      const int face = choose_face(areas, 3, total, rng.uniform());
      const float u1 = rng.uniform();
      const float u2 = rng.uniform();
      if (face == 0) {
        o = float3{bx.min_x + u1 * static_cast<float>(dx), bx.min_y + u2 * static_cast<float>(dy),
                   bx.max_z + 0.1f};
      } else if (face == 1) {
        o = float3{s.x > 0.0f ? bx.max_x + 0.1f : bx.min_x - 0.1f,
                   bx.min_y + u1 * static_cast<float>(dy), bx.min_z + u2 * static_cast<float>(dz)};
      } else {
        o = float3{bx.min_x + u1 * static_cast<float>(dx),
                   s.y > 0.0f ? bx.max_y + 0.1f : bx.min_y - 0.1f,
                   bx.min_z + u2 * static_cast<float>(dz)};
      }
      factor = total / top;
    } else {
      const float u1 = rng.uniform();
      const float u2 = rng.uniform();
      const float t = 0.1f / s.z;
      o = float3{u1 * c.extent_x + t * s.x, u2 * c.extent_y + t * s.y, c.measurement_plane + 0.1f};
      factor = std::fabs(s.z);
    }
    for (int b = 0; b < nb; ++b) {
      w[b] = c.sun_irradiance != nullptr ? static_cast<double>(c.sun_irradiance[b]) * factor : 0.0;
    }
  }
  ph.o = o;
  ph.d = d;
  bool any = false;
  for (int b = 0; b < nb; ++b) any = any || w[b] * ph.power > 0.0;
  return any;
}

void surface_absorptance(const TransportContext& c, const MaterialRecord* mat, bool back_face,
                         float* alpha) {
  const int nb = c.n_bands;
  std::fill(alpha, alpha + nb, 1.0f);
  if (mat == nullptr) return;
  switch (mat->type) {
    case MaterialType::Diffuse:
    case MaterialType::RPV: {
      const float* r = c.spectral.block(mat->spectral_offset, nb);
      if (r == nullptr) return;
      for (int b = 0; b < nb; ++b) alpha[b] = std::fmax(1.0f - r[b], 0.0f);
      return;
    }
    case MaterialType::DiffuseTransmitting: {
      const float* blk = c.spectral.block(mat->spectral_offset, 3 * static_cast<int64_t>(nb));
      if (blk == nullptr) return;
      const float* r = back_face ? blk + nb : blk;
      for (int b = 0; b < nb; ++b) alpha[b] = std::fmax(1.0f - (r[b] + blk[2 * nb + b]), 0.0f);
      return;
    }
    default:
      return;
  }
}

ActiveMediumSet initial_media(const TransportContext& c, const float3& o, const float3& d,
                              PhotonRayCounts& rays) {
  const SceneBounds& b = c.bounds;
  if (o.x < b.min_x || o.x > b.max_x || o.y < b.min_y || o.y > b.max_y || o.z < b.min_z ||
      o.z > b.max_z) {
    return ActiveMediumSet{};
  }
  ++rays.containment;
  return active_optical_media(*c.scene, o, d);
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
