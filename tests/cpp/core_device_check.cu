// Compiled by nvcc as a test: every header of core/ must compile for a CUDA device, and the
// per-event physics must call nothing that exists on the host only (warnings are errors).

#include "core/backward_image.h"
#include "core/bvh.h"
#include "core/bvh_tracer.h"
#include "core/energy_balance.h"
#include "core/energy_balance_path.h"
#include "core/flux_grid.h"
#include "core/frame.h"
#include "core/grid.h"
#include "core/illumination.h"
#include "core/leaf_emission.h"
#include "core/leaf_scattering.h"
#include "core/lidar.h"
#include "core/media_walk.h"
#include "core/microwave/bessel.h"
#include "core/microwave/complex.h"
#include "core/microwave/cylinder.h"
#include "core/microwave/dielectric.h"
#include "core/microwave/surface.h"
#include "core/optical_media.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "core/radiometry.h"
#include "core/random_streams.h"
#include "core/scattering.h"
#include "core/scene_types.h"
#include "core/sensor.h"
#include "core/spectral.h"
#include "core/surface_path.h"
#include "core/surface_photon.h"
#include "core/transport_constants.h"
#include "core/vec.h"

// Inside namespace tesk, float3 names tesk::float3 rather than CUDA's own ::float3.
namespace tesk {

__global__ void one_event(float* out, const SensorData* sensor, const MaterialRecord* material,
                          const OpticalMediumRecord* medium, const float* spectra, int n_floats) {
  Pcg32 rng = pixel_stream(sensor->width, sensor->height, 1, 2, 3);
  float3 o, d;
  if (!sensor::generate_primary_ray(*sensor, 1, 2, rng.uniform(), rng.uniform(), o, d)) return;
  o = periodic_entry(o, d, 10.0f, 10.0f, 5.0f);
  const TileExit exit = cross_tile(o, d, 10.0f, 10.0f);
  const SpectralView spectral{spectra, n_floats};
  const float u[3] = {rng.uniform(), rng.uniform(), rng.uniform()};
  const ScatterSample s = sample_scattering_banded(*material, spectral, 2, false, u);
  const ShadingFrame frame = ShadingFrame::from_normal(float3{0.0f, 0.0f, 1.0f});
  float f = eval_scattering(material->type, material->spectral_offset, 0, frame.to_local(-d), s.wi,
                            spectral, 2, false, false);
  const SkyParams sky{0, -1, -1, float3{0.0f, 0.0f, 1.0f}};
  f += sky_radiance(sky, spectral, 2, s.wi, 0) + planck_radiance(10000.0f, 300.0f);
  const LeafHit leaf = sample_leaf_normal(medium->leaf_angle_type, d, rng);
  const LeafOptics optics = medium_leaf_optics(*material, spectral, 2);
  const LeafMeans means = leaf_band_means(optics, 2, leaf.back_face);
  const LeafScatter scatter = scatter_at_leaf(leaf.facing, means.rho, means.tau, u);
  f += leaf_response(optics, 0, leaf, d) + leaf_scatter_weight(optics, 0, leaf.back_face, scatter);
  const int32_t dims[3] = {1, 1, 1};
  const float lo[3] = {0.0f, 0.0f, 0.0f}, hi[3] = {1.0f, 1.0f, 1.0f};
  const SifSourceFieldView sif{spectra, spectra, spectra, lo, hi, dims, 1, 1, 1, 1, 1};
  f += sif_source_exitance(sif, 0, o, leaf.normal, 0) + leaf_kirchhoff_emissivity(optics, 0) +
       static_cast<float>(leaf_thermal_radiance(10000.0f, 300.0f, 290.0f, 0.5f, 0.95f));
  f += hotspot_transmittance(*medium, 1.0f, 1.0f, 0.5f, d, -d) + exit.t;
  const float3 beam = lidar::beam_direction(lidar::pulse_frame(d), 0.01f, 0.5f, -0.5f);
  f += static_cast<float>(lidar::lambertian_return(1.0, 1.0, 0.1, 10.0, beam.z)) +
       lidar::volume_backscatter(*medium, optics, 0, beam);
  const float3 p = offset_ray_origin(o, float3{0.0f, 0.0f, 1.0f}, d);
  Pcg32 face_rng = energy_balance_stream(11);
  const FaceSample face = sample_face(o, p, d, float3{0.0f, 0.0f, 1.0f}, face_rng);
  f +=
      grey_emission_radiance(0.97f, 300.0f) + sample_cosine_about(d, face_rng).z + face.direction.z;
  out[0] =
      f + p.x + static_cast<float>(grid::world_to_cell(p.x, 10.0f, 4)) + photon_stream(7).uniform();
}

__global__ void one_trace(bvh::TraceResult* out, bvh::BvhSceneView scene, float3 o, float3 d) {
  out[0] = bvh::trace_closest_ray(scene, o, d, 0.0f, 1e30f);
  out[1].hit = bvh::occluded(scene, o, d, 1e-4f, 10.0f) ? 1 : 0;
}

// The media walk over the hierarchy: containment, a step, a wrap and a transmittance walk.
__global__ void one_media_walk(float* out, MediaWalk<bvh::BvhTracer> walk, float3 o, float3 d) {
  Pcg32 rng = photon_stream(3);
  PathMedia path;
  path.set = walk.containment(o, d);
  const MediumTraceEvent ev = walk.step(o, d, nullptr, path.set, 0, rng);
  int64_t queries = 0;
  const float3 p = walk.wrap_path(o, d, ev.exit, path, queries);
  cross_medium_boundary(walk.media, path, ev.medium_id, ev.instance_id, ev.hit.is_back_face);
  SourcePathInMedia source;
  const MediaTransmittance t = walk.transmittance_walk(p, d, path.set, 1, &source, queries);
  out[0] = static_cast<float>(walk.transmittance(o, d, path.set, 0, queries, nullptr, 1e-3) +
                              t.optical_depth) +
           source.length[0] + ev.distance + walk.boundary_step(o, d, 0).distance;
}

}  // namespace tesk
