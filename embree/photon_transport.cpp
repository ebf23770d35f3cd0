#include "embree/photon_transport.h"

#include <unistd.h>

#include <cstdio>
#include <new>

#include "core/parallel.h"
#include "embree/illumination.h"
#include "embree/render_backward.h"

namespace tesk::embree::photon {

PhotonContext make_photon_context(const EmbreeSceneManager& scene, int n_bands, float prob_sun,
                                  int max_depth, int rr_depth) {
  const SceneDescription& d = scene.description();
  PhotonContext c;
  c.scene = &scene;
  c.n_bands = n_bands;
  c.spectral = spectral_view(d);
  c.materials = d.materials().data();
  c.n_materials = static_cast<int>(d.materials().size());
  c.sun_dir = normalize(d.emitter().direction);
  c.sun_irradiance = c.spectral.block(d.emitter().spectral_offset, n_bands);
  c.sky = sky_params(d);
  c.has_sky = c.sky.uniform_offset >= 0 || c.sky.directional_offset >= 0 || c.sky.hw_offset >= 0;
  c.periodic = d.is_periodic();
  c.num_repetitions = d.num_repetitions();
  c.tile_x = d.scene_x_size();
  c.tile_y = d.scene_y_size();
  c.measurement_plane = d.measurement_plane();
  c.bounds = scene.bounds();
  c.prob_sun = prob_sun;
  c.max_depth = max_depth;
  c.rr_depth = rr_depth;
  const OpticalMediaTable& table = scene.optical_media();
  c.media = !table.media.empty();
  for (const OpticalMediumRecord& m : table.media) {
    MediumLeafModel model;
    model.leaf_angle_type = m.leaf_angle_type;
    if (m.boundary_material >= 0 && m.boundary_material < c.n_materials) {
      model.optics = medium_leaf_optics(c.materials[m.boundary_material], c.spectral, n_bands);
    }
    model.means[0] = leaf_band_means(model.optics, n_bands, false);
    model.means[1] = leaf_band_means(model.optics, n_bands, true);
    c.leaf_models.push_back(model);
  }
  c.primitive_offsets = scene.instance_primitive_offsets();
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
    if (!c.periodic) {
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
    if (!c.periodic) {
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

void surface_absorptance(const PhotonContext& c, const MaterialRecord* mat, bool back_face,
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

void update_active_set(const PhotonContext& c, ActiveMediumSet& active, int32_t medium,
                       int32_t instance, bool back_face) {
  const OpticalMediaTable& table = c.scene->optical_media();
  if (medium < 0 || medium >= static_cast<int32_t>(table.media.size())) return;
  const bool leaving = table.media[medium].orientation == (back_face ? 1 : -1);
  int32_t found = -1;
  for (int32_t k = 0; k < active.count; ++k) {
    if (active.medium_ids[k] == medium && active.instance_ids[k] == instance) found = k;
  }
  if (leaving) {
    if (found < 0) return;
    for (int32_t k = found; k + 1 < active.count; ++k) {
      active.medium_ids[k] = active.medium_ids[k + 1];
      active.instance_ids[k] = active.instance_ids[k + 1];
    }
    --active.count;
  } else if (found < 0 && active.count < kMaxActiveMedia) {
    active.medium_ids[active.count] = medium;
    active.instance_ids[active.count] = instance;
    ++active.count;
  }
}

ActiveMediumSet initial_media(const PhotonContext& c, const float3& o, const float3& d,
                              PhotonRayCounts& rays) {
  const SceneBounds& b = c.bounds;
  if (o.x < b.min_x || o.x > b.max_x || o.y < b.min_y || o.y > b.max_y || o.z < b.min_z ||
      o.z > b.max_z) {
    return ActiveMediumSet{};
  }
  ++rays.containment;
  return active_optical_media(*c.scene, o, d);
}

double media_transmittance(const PhotonContext& c, float3 o, const float3& v,
                           ActiveMediumSet active, int crossings, PhotonRayCounts& rays) {
  const OpticalMediaTable& table = c.scene->optical_media();
  const auto n_media = static_cast<int32_t>(table.media.size());
  const auto n_ids = static_cast<int32_t>(table.material_medium_ids.size());
  double tau = 0.0;
  for (int step = 0; step < kMaxStepsPerPhoton; ++step) {
    nudge_into_tile(c, o, v);
    if (active.count == 0 && leaves_upward(c, o, v)) return std::exp(-tau);
    const HitRecord h = c.scene->trace_ray(o, v, kTMin, kTMax);
    ++rays.shadow;
    TileExit exit{};
    bool may_cross = false;
    if (c.periodic && crossings < c.num_repetitions) {
      exit = cross_tile(o, v, c.tile_x, c.tile_y);
      may_cross = exit.axis >= 0;
    }
    int32_t boundary = -1;
    if (h.hit && h.material_id >= 0 && h.material_id < n_ids) {
      boundary = table.material_medium_ids[h.material_id];
    }
    // The same step limits as the photon path (trace_media_step).
    bool crossing = false;
    float limit = 1e16f;
    if (h.hit) {
      limit = h.t;
      if (may_cross && (h.t > exit.t || (boundary >= 0 && h.t + 0.0005f >= exit.t))) {
        crossing = true;
        limit = std::fmin(h.t, exit.t);
      }
    } else if (may_cross) {
      crossing = true;
      limit = exit.t;
    }
    if (active.count >= 1 && active.count <= kMaxActiveMedia) {
      const float sigma = combined_extinction(table.media.data(), n_media, active, v);
      if (sigma > 0.0f) {
        tau += static_cast<double>(sigma) * limit;
        if (tau > 60.0) return 0.0;
      }
    }
    if (crossing) {
      o = wrap_at_exit(o, v, exit, c.tile_x, c.tile_y) + 0.0002f * v;
      ++crossings;
      if (active.count > 0) active = initial_media(c, o, v, rays);
      continue;
    }
    if (!h.hit) return std::exp(-tau);
    if (boundary < 0) return 0.0;  // an opaque surface blocks the view
    update_active_set(c, active, boundary, h.instance_id, h.is_back_face);
    o = offset_ray_origin(h.position, h.geometric_normal, v);
  }
  return 0.0;
}

int photon_thread_count(int requested, int64_t num_photons) {
  const int64_t t =
      std::min<int64_t>(resolve_thread_count(requested), std::max<int64_t>(num_photons, 1));
  return static_cast<int>(t);
}

void check_tally_memory(double bytes) {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && page_size > 0 &&
      bytes > static_cast<double>(pages) * static_cast<double>(page_size)) {
    throw std::bad_alloc();
  }
}

int forward_max_depth(int max_depth, const char* prefix) {
  bool from_env = false;
  const int depth = effective_max_depth(max_depth, &from_env);
  if (from_env) {
    std::printf("%s TESK_MAX_DEPTH=%d\n", prefix, depth);
    std::fflush(stdout);
  }
  return depth;
}

std::vector<float> merge_in_thread_order(std::vector<std::vector<double>>& per_thread) {
  if (per_thread.empty()) return {};
  std::vector<double>& total = per_thread[0];
  for (size_t t = 1; t < per_thread.size(); ++t) {
    const std::vector<double>& part = per_thread[t];
    for (size_t i = 0; i < total.size(); ++i) total[i] += part[i];
    std::vector<double>().swap(per_thread[t]);
  }
  std::vector<float> out(total.size());
  for (size_t i = 0; i < total.size(); ++i) out[i] = static_cast<float>(total[i]);
  std::vector<double>().swap(total);
  return out;
}

}  // namespace tesk::embree::photon
