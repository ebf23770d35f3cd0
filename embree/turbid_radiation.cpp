#include "embree/turbid_radiation.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "core/turbid_sampling.h"
#include "turbid/state_ops.h"

namespace tesk::embree {
namespace {

using namespace tesk::turbid;

void require(bool ok, const char* message) {
  if (!ok) throw std::invalid_argument(message);
}

bool finite_nonnegative(const std::vector<float>& v) {
  for (float x : v) {
    if (!(std::isfinite(x) && x >= 0.0f)) return false;
  }
  return true;
}

// Value-by-value equality with NaN counting as different.
bool same_optics(const TurbidRadiationOwner& a, const TurbidRadiationOwner& b) {
  auto same = [](const std::vector<float>& x, const std::vector<float>& y) {
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i) {
      if (!(x[i] == y[i])) return false;
    }
    return true;
  };
  return same(a.reflectance, b.reflectance) && same(a.back_reflectance, b.back_reflectance) &&
         same(a.transmittance, b.transmittance);
}

}  // namespace

void validate_radiation_request(const TurbidDomainRecord& domain,
                                const OwnedTurbidRadiationRequest& q) {
  require(q.contract_revision == 1, "unsupported Turbid process contract revision");
  require(q.workflow_revision != 0, "workflow revision must be non-zero");
  require(!q.wavelengths.empty(), "Turbid radiation bands cannot be empty");
  const size_t nb = q.wavelengths.size();
  require(
      q.band_widths.size() == nb && q.direct_irradiance.size() == nb && q.sky_radiance.size() == nb,
      "Turbid radiation wavelength/band-width count mismatch");
  for (size_t b = 0; b < nb; ++b) {
    require(std::isfinite(q.wavelengths[b]) && q.wavelengths[b] > 0.0f &&
                (b == 0 || q.wavelengths[b] >= q.wavelengths[b - 1]),
            "Turbid radiation bands must be finite, increasing, and positive");
  }
  const std::vector<TurbidComponent>& components = domain.descriptor->components;
  require(q.owners.size() == components.size(),
          "Turbid radiation owners must match domain components");
  require(q.rays_per_sample >= 1 && q.max_depth >= 1,
          "Turbid radiation ray and depth budgets must be positive");
  const auto& s = q.sun_direction;
  require(std::isfinite(s[0]) && std::isfinite(s[1]) && std::isfinite(s[2]),
          "sun direction contains a non-finite value");
  const double len = std::sqrt(double{s[0]} * s[0] + double{s[1]} * s[1] + double{s[2]} * s[2]);
  require(len > 0.0 && std::fabs(len - 1.0) <= 1e-4,
          "Turbid radiation sun direction must be normalized");
  bool spectral_ok = finite_nonnegative(q.direct_irradiance) && finite_nonnegative(q.sky_radiance);
  for (size_t b = 0; b < nb; ++b) {
    spectral_ok = spectral_ok && (b == 0 || q.wavelengths[b] > q.wavelengths[b - 1]) &&
                  std::isfinite(q.band_widths[b]) && q.band_widths[b] > 0.0f;
  }
  require(spectral_ok, "invalid Turbid radiation spectral input");
  for (size_t o = 0; o < q.owners.size(); ++o) {
    const TurbidRadiationOwner& w = q.owners[o];
    require(w.instance_id == components[o].instance_id &&
                w.component_id == components[o].component_id &&
                w.medium_id == components[o].medium_id && w.transport_medium_id >= 0 &&
                w.transport_instance_id >= 0,
            "Turbid radiation owner identity mismatch");
  }
  for (const TurbidRadiationOwner& w : q.owners) {
    bool ok = w.reflectance.size() == nb && w.back_reflectance.size() == nb &&
              w.transmittance.size() == nb && finite_nonnegative(w.reflectance) &&
              finite_nonnegative(w.back_reflectance) && finite_nonnegative(w.transmittance);
    for (size_t b = 0; ok && b < nb; ++b) {
      ok = w.reflectance[b] + w.transmittance[b] <= 1.000001f &&
           w.back_reflectance[b] + w.transmittance[b] <= 1.000001f;
    }
    require(ok, "invalid Turbid radiation owner optics");
  }
}

void expand_active_media(const TurbidDomainRecord& domain, TurbidRadiationOwnerTransport& t) {
  const TurbidDomainDescriptor& d = *domain.descriptor;
  const TurbidSamplePool& pool = *domain.pool;
  const size_t n_owners = t.owner_medium.size();
  // Overlapping owners of each owner, both ways round: the descriptor's per-component lists and
  // the medium pairs of the relation table that name this domain's owners.
  std::vector<std::vector<size_t>> overlapping(n_owners);
  auto owner_of = [&](uint64_t medium) {
    for (size_t o = 0; o < n_owners; ++o) {
      if (d.components[o].medium_id == medium) return o;
    }
    return n_owners;
  };
  auto link = [&](size_t a, size_t b) {
    if (a == b) return;
    if (std::find(overlapping[a].begin(), overlapping[a].end(), b) == overlapping[a].end()) {
      overlapping[a].push_back(b);
    }
    if (std::find(overlapping[b].begin(), overlapping[b].end(), a) == overlapping[b].end()) {
      overlapping[b].push_back(a);
    }
  };
  if (!d.overlap_offsets.empty()) {
    for (size_t c = 0; c < n_owners; ++c) {
      for (uint64_t k = d.overlap_offsets[c]; k < d.overlap_offsets[c + 1]; ++k) {
        const size_t found = owner_of(d.overlap_medium_ids[k]);
        require(found < n_owners, "Turbid radiation overlap references an unknown owner");
        link(c, found);
      }
    }
  }
  if (domain.relations) {
    for (const auto& pair : domain.relations->overlaps) {
      const size_t a = owner_of(pair[0]), b = owner_of(pair[1]);
      if (a < n_owners && b < n_owners) link(a, b);
    }
  }
  std::vector<std::vector<double>> boundaries(n_owners);
  const size_t n = pool.samples.size();
  t.sample_owner.resize(n);
  t.active_offsets.assign(n + 1, 0);
  t.active_media.clear();
  t.active_instances.clear();
  size_t expanded = 0;
  for (size_t c = 0; c < n_owners; ++c) {
    for (uint64_t i = pool.owner_offsets[c]; i < pool.owner_offsets[c + 1]; ++i) {
      const TurbidLeafAreaSample& smp = pool.samples[i];
      t.sample_owner[i] = static_cast<int32_t>(c);
      t.active_media.push_back(t.owner_medium[c]);
      t.active_instances.push_back(t.owner_instance[c]);
      ++expanded;
      // An overlapping owner's medium is active where the sample lies inside its boundary.
      for (size_t o : overlapping[c]) {
        if (boundaries[o].empty()) boundaries[o] = component_world_triangles(d, o);
        if (!inside_closed_boundary(boundaries[o].data(), boundaries[o].size() / 9,
                                    d.components[o].closed_orientation, smp.position[0],
                                    smp.position[1], smp.position[2])) {
          continue;
        }
        if (expanded == std::numeric_limits<size_t>::max()) {
          throw std::overflow_error("Turbid radiation expanded active media size overflows size_t");
        }
        t.active_media.push_back(t.owner_medium[o]);
        t.active_instances.push_back(t.owner_instance[o]);
        ++expanded;
      }
      if (expanded >= (size_t{1} << 31)) {
        throw std::overflow_error("Turbid radiation active-medium index overflow");
      }
      t.active_offsets[i + 1] = static_cast<int32_t>(expanded);
    }
  }
}

TurbidLeafRRTInputs leaf_rrt_inputs(const TurbidDomainRecord& domain,
                                    const TurbidRadiationOwnerTransport& t) {
  const TurbidSamplePool& pool = *domain.pool;
  const size_t n = pool.samples.size();
  TurbidLeafRRTInputs in;
  in.positions.resize(3 * n);
  in.normals.resize(3 * n);
  in.medium_ids.resize(n);
  in.instance_ids.resize(n);
  for (size_t i = 0; i < n; ++i) {
    std::memcpy(&in.positions[3 * i], pool.samples[i].position, 3 * sizeof(float));
    std::memcpy(&in.normals[3 * i], pool.samples[i].normal, 3 * sizeof(float));
    in.medium_ids[i] = t.owner_medium[t.sample_owner[i]];
    in.instance_ids[i] = t.owner_instance[t.sample_owner[i]];
  }
  return in;
}

void TurbidLeafRRTInputs::fill(TurbidLeafRRTParams& p,
                               const TurbidRadiationOwnerTransport& t) const {
  p.positions = positions;
  p.normals = normals;
  p.medium_ids = medium_ids;
  p.instance_ids = instance_ids;
  p.active_medium_offsets = t.active_offsets;
  p.active_medium_ids = t.active_media;
  p.active_instance_ids = t.active_instances;
}

TurbidRadiationOwnerTransport prepare_turbid_radiation_owners(const TurbidDomainRecord& domain,
                                                              const OwnedTurbidRadiationRequest& q,
                                                              int32_t n_optical_media) {
  require(n_optical_media > 0, "Turbid radiation requires resident optical media");
  const size_t n_owners = q.owners.size();
  const size_t nb = q.wavelengths.size();
  TurbidRadiationOwnerTransport t;
  for (const TurbidRadiationOwner& w : q.owners) {
    require(w.transport_medium_id < n_optical_media,
            "Turbid transport medium ID is not resident in the scene");
    require(w.transport_instance_id <= std::numeric_limits<int32_t>::max(),
            "Turbid radiation owner identity mismatch");
    t.owner_medium.push_back(static_cast<int32_t>(w.transport_medium_id));
    t.owner_instance.push_back(static_cast<int32_t>(w.transport_instance_id));
  }
  for (size_t a = 0; a < n_owners; ++a) {
    for (size_t b = a + 1; b < n_owners; ++b) {
      require(t.owner_medium[a] != t.owner_medium[b] || same_optics(q.owners[a], q.owners[b]),
              "shared Turbid transport medium has conflicting optics");
    }
  }
  expand_active_media(domain, t);
  if (nb != 0 && static_cast<size_t>(n_optical_media) > std::numeric_limits<size_t>::max() / nb) {
    throw std::overflow_error("Turbid radiation medium optics size overflows size_t");
  }
  const size_t media_values = static_cast<size_t>(n_optical_media) * nb;
  t.medium_reflectance.assign(media_values, 0.0f);
  t.medium_back_reflectance.assign(media_values, 0.0f);
  t.medium_transmittance.assign(media_values, 0.0f);
  for (size_t o = 0; o < n_owners; ++o) {
    const size_t base = static_cast<size_t>(t.owner_medium[o]) * nb;
    for (size_t b = 0; b < nb; ++b) {
      t.medium_reflectance[base + b] = q.owners[o].reflectance[b];
      t.medium_back_reflectance[base + b] = q.owners[o].back_reflectance[b];
      t.medium_transmittance[base + b] = q.owners[o].transmittance[b];
    }
  }
  return t;
}

void fill_radiation_leaf_rrt_params(const turbid::TurbidDomainRecord& domain,
                                    const OwnedTurbidRadiationRequest& q,
                                    const TurbidRadiationOwnerTransport& t,
                                    const TurbidLeafRRTInputs& inputs, TurbidLeafRRTParams& p) {
  inputs.fill(p, t);
  p.n_bands = static_cast<int>(q.wavelengths.size());
  p.rays_per_sample = static_cast<int>(std::min<int64_t>(q.rays_per_sample, 1 << 30));
  p.max_depth = static_cast<int>(std::min<int64_t>(q.max_depth, 1 << 30));
  p.sun_irradiance = q.direct_irradiance;
  p.sky_diffuse_radiance = q.sky_radiance;
  p.medium_reflectance = t.medium_reflectance;
  p.medium_back_reflectance = t.medium_back_reflectance;
  p.medium_transmittance = t.medium_transmittance;
  p.sun_dir = {q.sun_direction[0], q.sun_direction[1], q.sun_direction[2]};
  p.seed = q.seed ^ domain.config.seed;
}

OwnedTurbidState execute_turbid_radiation_field(const EmbreeSceneManager& scene,
                                                const TurbidDomainRecord& domain,
                                                const OwnedTurbidRadiationRequest& q,
                                                const ProgressCallback& progress,
                                                const InterruptCheck& interrupt) {
  validate_radiation_request(domain, q);
  const auto n_media = static_cast<int32_t>(scene.optical_media().media.size());
  if (!scene.is_built() || n_media == 0) {
    throw std::runtime_error(
        "Embree Turbid radiation requires a built optical scene. No fallback was performed.");
  }
  const TurbidSamplePool& pool = *domain.pool;
  const size_t n = pool.samples.size();
  const size_t nb = q.wavelengths.size();
  if (n > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::overflow_error("Turbid radiation sample exceeds native device indexing");
  }
  if (nb > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::overflow_error("Turbid radiation band exceeds native device indexing");
  }
  const TurbidRadiationOwnerTransport t = prepare_turbid_radiation_owners(domain, q, n_media);

  const TurbidLeafRRTInputs inputs = leaf_rrt_inputs(domain, t);
  TurbidLeafRRTParams p;
  fill_radiation_leaf_rrt_params(domain, q, t, inputs, p);
  p.num_threads = q.num_threads;
  const TurbidLeafRRTResult r = run_turbid_leaf_rrt_cpu(scene, p, progress, interrupt);

  OwnerBandOptics optics;
  const size_t n_owners = q.owners.size();
  optics.front.resize(nb * n_owners);
  optics.back.resize(nb * n_owners);
  optics.transmittance.resize(nb * n_owners);
  for (size_t o = 0; o < n_owners; ++o) {
    for (size_t b = 0; b < nb; ++b) {
      optics.front[b * n_owners + o] = q.owners[o].reflectance[b];
      optics.back[b * n_owners + o] = q.owners[o].back_reflectance[b];
      optics.transmittance[b * n_owners + o] = q.owners[o].transmittance[b];
    }
  }
  return assemble_radiation_state(
      domain, fresh_token(domain, q.workflow_revision, TurbidStage::Radiation), q.wavelengths,
      optics, r.total_top, r.total_bottom, r.direct_top, r.direct_bottom, r.p_sun);
}

}  // namespace tesk::embree
