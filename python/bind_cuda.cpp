// The CUDA backend's names: HAS_OPTIX, OptiXContext, SceneManager, Simulator, the device
// module functions and device_info. A build without nvcc registers none of them.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "python/bindings.h"
#include "python/energy_balance_args.h"
#include "python/frame.h"
#include "python/leaf_rrt_args.h"
#include "python/lidar_args.h"
#include "python/physiology_requests.h"

#if defined(TESK_HAS_CUDA)
#include "core/host/microwave/tables.h"
#include "cuda/context.h"
#include "cuda/scene_manager.h"
#include "cuda/simulator.h"
#endif

namespace tesk::python {

#if defined(TESK_HAS_CUDA)
namespace {

using cuda::CudaContext;
using cuda::CudaSceneManager;
using cuda::CudaSimulator;

// Checks a ray batch's shapes with the CPU binding's messages; returns the ray count.
py::ssize_t ray_count(const carray<float>& origins, const carray<float>& directions) {
  if (origins.ndim() != 2 || origins.shape(1) != 3) {
    throw py::value_error("origins must have float32 shape [N, 3]");
  }
  if (directions.ndim() != 2 || directions.shape(1) != 3) {
    throw py::value_error("directions must have float32 shape [N, 3]");
  }
  if (origins.shape(0) != directions.shape(0)) {
    throw py::value_error("origins and directions must have the same number of rays");
  }
  return origins.shape(0);
}

py::dict trace_closest(CudaSimulator& sim, const CudaSceneManager& scene,
                       const carray<float>& origins, const carray<float>& directions, float t_min,
                       float t_max) {
  const py::ssize_t n = ray_count(origins, directions);
  if (!scene.is_built()) throw std::runtime_error("CUDA: build the scene before tracing rays");
  const embree::SceneUse use = scene.acquire_use();
  std::vector<bvh::TraceResult> hits(static_cast<size_t>(n));
  {
    py::gil_scoped_release release;
    sim.trace_closest(scene, origins.data(), directions.data(), n, t_min, t_max, hits.data());
  }
  HitColumns columns(n);
  const embree::HitBatchView out = columns.view();
  for (py::ssize_t i = 0; i < n; ++i) {
    const bvh::TraceResult& h = hits[static_cast<size_t>(i)];
    out.t[i] = h.t;
    out.instance_id[i] = h.instance_id;
    out.primitive_id[i] = h.primitive_id;
    out.global_primitive_id[i] = h.global_primitive_id;
    out.material_id[i] = h.material_id;
    out.hit[i] = h.hit != 0;
    out.is_back_face[i] = h.is_back_face != 0;
    const tesk::float3 normals[2] = {h.normal, h.geometric_normal};
    float* columns_of[2] = {out.normal, out.geometric_normal};
    for (int k = 0; k < 2; ++k) {
      columns_of[k][3 * i] = normals[k].x;
      columns_of[k][3 * i + 1] = normals[k].y;
      columns_of[k][3 * i + 2] = normals[k].z;
    }
  }
  return columns.dict();
}

py::array_t<bool> trace_occluded(CudaSimulator& sim, const CudaSceneManager& scene,
                                 const carray<float>& origins, const carray<float>& directions,
                                 float t_min, float t_max) {
  const py::ssize_t n = ray_count(origins, directions);
  if (!scene.is_built()) throw std::runtime_error("CUDA: build the scene before tracing rays");
  const embree::SceneUse use = scene.acquire_use();
  std::vector<int32_t> blocked(static_cast<size_t>(n));
  {
    py::gil_scoped_release release;
    sim.trace_occluded(scene, origins.data(), directions.data(), n, t_min, t_max, blocked.data());
  }
  py::array_t<bool> out(n);
  for (py::ssize_t i = 0; i < n; ++i) out.mutable_data()[i] = blocked[static_cast<size_t>(i)] != 0;
  return out;
}

// A float32 array [slots,] H, W, n_bands holding a copy of `data`.
py::array_t<float> image(const std::vector<float>& data, py::ssize_t slots,
                         const embree::OpticalImageResult& r) {
  std::vector<py::ssize_t> shape;
  if (slots > 0) shape.push_back(slots);
  shape.insert(shape.end(), {r.height, r.width, r.n_bands});
  return to_numpy(data.data(), shape);
}

// The backward image on the device, in the dictionary of simulate_cpu. The interpreter lock is
// held: progress is called from this thread between the launches of the fold blocks.
py::dict simulate(CudaSimulator& sim, CudaSceneManager& scene, int spp, int max_depth,
                  const py::object& progress, const py::object& outputs, int max_output_order) {
  if (spp < 1) throw py::value_error("spp must be at least 1");
  const backend::OpticalProductRequest request = optical_request(outputs, max_output_order);
  if (!scene.is_built()) throw std::runtime_error("CUDA: build the scene before tracing rays");
  const embree::SceneUse use = scene.acquire_use();
  const embree::OpticalImageResult r =
      sim.simulate(scene, spp, max_depth, wrap_progress(progress), request);
  py::dict out;
  auto optional = [](bool requested, auto&& make) -> py::object {
    return requested ? py::object(make()) : py::object(py::none());
  };
  out["payload"] = image(r.radiance, 0, r);
  out["standard_error"] =
      optional(request.standard_error, [&] { return image(r.standard_error, 0, r); });
  out["event_aov"] = optional(request.event_aov, [&] { return image(r.event_aov, 4, r); });
  out["scattering_order"] = optional(request.scattering_order,
                                     [&] { return image(r.scattering_order, r.order_slots, r); });
  return flat_result(std::move(out), r.execution);
}

// The flux grid on the device, in the dictionary of simulate_flux_cpu (the interpreter lock is
// held: progress is called between batches).
py::dict simulate_flux(CudaSimulator& sim, CudaSceneManager& scene, int nx, int ny,
                       int64_t num_photons, int num_bands, float prob_sun, int max_bounces,
                       int max_depth, int rr_depth, bool decompose, const py::object& progress) {
  const embree::SceneUse use = scene.acquire_use();
  const embree::FluxResult r =
      sim.simulate_flux(scene, nx, ny, num_photons, num_bands, prob_sun, max_bounces, max_depth,
                        rr_depth, wrap_progress(progress), decompose);
  const std::vector<py::ssize_t> cells{r.ny, r.nx, r.n_bands};
  py::dict out;
  auto put = [&](const char* key, const std::vector<float>& data) {
    if (!data.empty()) out[key] = to_numpy(data.data(), cells);
  };
  put("downwelling", r.downwelling);
  put("upwelling", r.upwelling);
  put("downwelling_direct", r.downwelling_direct);
  put("downwelling_diffuse", r.downwelling_diffuse);
  // Scenes with leaf media: the absorption tallies of simulate_flux_cpu.
  const py::ssize_t nb = r.n_bands;
  auto put_shaped = [&](const char* key, const std::vector<float>& data,
                        const std::vector<py::ssize_t>& shape) {
    if (!data.empty()) out[key] = to_numpy(data.data(), shape);
  };
  put_shaped("terrain", r.terrain, {nb});
  put_shaped("escaped", r.escaped, {nb});
  put_shaped("incident", r.incident, {nb});
  put("grid", r.grid);
  put("grid_direct", r.grid_direct);
  put("grid_diffuse", r.grid_diffuse);
  put_shaped("leaf", r.leaf, {static_cast<py::ssize_t>(r.leaf.size()) / nb, nb});
  return flat_result(std::move(out), r.execution);
}

// The forward field on the device, in the dictionary of simulate_forward_cpu (the interpreter
// lock is held: progress is called between batches).
py::dict simulate_forward(CudaSimulator& sim, CudaSceneManager& scene, int nx, int ny,
                          const carray<float>& layer_heights, int64_t num_photons, int num_bands,
                          bool per_leaf, const carray<float>& brf_directions, int num_brf_dirs,
                          float prob_sun, int max_depth, int terrain_instance_id,
                          bool track_incident, bool decompose, const py::object& progress,
                          int rr_depth) {
  const ProgressCallback callback = wrap_progress(progress);
  const embree::SceneUse use = scene.acquire_use();
  // num_brf_dirs = 0 means no BRF whatever brf_directions holds, as on the CPU.
  std::vector<float> directions;
  if (num_brf_dirs != 0) directions = to_vector(brf_directions);
  const embree::ForwardFieldResult r =
      sim.simulate_forward(scene, nx, ny, to_vector(layer_heights), num_photons, num_bands,
                           per_leaf, directions, num_brf_dirs, prob_sun, max_depth, rr_depth,
                           terrain_instance_id, track_incident, decompose, callback);
  const py::ssize_t nb = r.n_bands;
  const std::vector<py::ssize_t> cells{r.n_layers, r.ny, r.nx, nb};
  py::dict out;
  auto put = [&](const char* key, const std::vector<float>& data, std::vector<py::ssize_t> shape) {
    if (!data.empty()) out[key] = to_numpy(data.data(), std::move(shape));
  };
  put("grid", r.grid, cells);
  put("leaf", r.leaf, {static_cast<py::ssize_t>(r.leaf.size()) / nb, nb});
  put("brf", r.brf, {r.n_directions, nb});
  put("albedo", r.albedo, {nb});
  put("terrain", r.terrain, {nb});
  put("escaped", r.escaped, {nb});
  put("incident", r.incident, {nb});
  put("grid_direct", r.grid_direct, cells);
  put("grid_diffuse", r.grid_diffuse, cells);
  return flat_result(std::move(out), r.execution);
}

// The LiDAR on the device, in the dictionary of simulate_lidar_cpu (the interpreter lock is
// held: progress and Ctrl-C are seen between launches).
py::dict simulate_lidar(CudaSimulator& sim, CudaSceneManager& scene,
                        const carray<float>& pulse_origins, const carray<float>& pulse_directions,
                        int64_t num_pulses, float beam_half_angle_rad, int beam_samples_per_dim,
                        float pulse_energy, float sensor_area, float range_resolution,
                        float min_range, float max_range, int num_wavelengths, float pulse_fwhm_ns,
                        float peak_threshold, int max_returns_per_pulse, bool direct_mode,
                        const py::object& progress, const py::object& waveforms) {
  const ProgressCallback callback = wrap_progress(progress);
  return run_lidar(pulse_origins, pulse_directions, num_pulses, beam_half_angle_rad,
                   beam_samples_per_dim, pulse_energy, sensor_area, range_resolution, min_range,
                   max_range, num_wavelengths, pulse_fwhm_ns, peak_threshold, max_returns_per_pulse,
                   direct_mode, waveforms, [&](const embree::LidarRequest& request) {
                     const embree::SceneUse use = scene.acquire_use();
                     return sim.simulate_lidar(scene, request, callback,
                                               interpreter_interrupt_check());
                   });
}

// The leaf reverse ray tracer on the device, in the envelope of run_turbid_leaf_rrt_cpu (the
// interpreter lock is held: progress and Ctrl-C are seen between launches).
py::dict run_turbid_leaf_rrt(
    CudaSimulator& sim, CudaSceneManager& scene, const py::object& positions,
    const py::object& normals, const py::object& medium_ids, const py::object& instance_ids,
    const py::object& offsets, const py::object& active_media, const py::object& active_instances,
    int n_bands, int rays_per_sample, int max_depth, const py::object& sun_irradiance,
    const py::object& sky_diffuse_radiance, const py::object& sky_directional_table,
    const py::object& medium_reflectance, const py::object& medium_back_reflectance,
    const py::object& medium_transmittance, bool thermal_mode,
    const py::object& instance_lw_radiance, const py::object& instance_emissivity, float sun_dir_x,
    float sun_dir_y, float sun_dir_z, uint64_t seed, const py::object& progress) {
  const LeafRrtArgs a = convert_leaf_rrt_args(
      positions, normals, medium_ids, instance_ids, offsets, active_media, active_instances,
      n_bands, rays_per_sample, max_depth, sun_irradiance, sky_diffuse_radiance,
      sky_directional_table, medium_reflectance, medium_back_reflectance, medium_transmittance,
      thermal_mode, instance_lw_radiance, instance_emissivity, sun_dir_x, sun_dir_y, sun_dir_z,
      seed);
  const ProgressCallback callback = wrap_progress(progress);
  const embree::SceneUse use = scene.acquire_use();
  const embree::TurbidLeafRRTResult r =
      sim.run_turbid_leaf_rrt(scene, a.params, callback, interpreter_interrupt_check());
  py::dict payload = leaf_rrt_arrays(r, n_bands, a.n);
  payload["threads"] = r.threads;
  return enveloped_result(std::move(payload), r.execution);
}

// The single-band energy balance on the device: (top, bot) as run_energy_balance_cpu (the lock
// is held: progress is called between launches).
py::tuple run_energy_balance(CudaSimulator& sim, CudaSceneManager& scene, int n_samples,
                             int /*max_depth*/, int band_type, const py::object& sun_irradiance,
                             const py::object& sky_diffuse_radiance, float sky_lw_radiance,
                             float sun_dir_x, float sun_dir_y, float sun_dir_z, bool two_sided,
                             const py::object& sw_albedos, const py::object& sw_reflectance,
                             const py::object& sw_back_reflectance,
                             const py::object& sw_transmittance, const py::object& progress) {
  const SingleBandArgs a = single_band_args(sun_irradiance, sky_diffuse_radiance, sw_albedos,
                                            sw_reflectance, sw_back_reflectance, sw_transmittance);
  const embree::SceneUse use = scene.acquire_use();
  const embree::EnergyBalanceResult r = sim.run_energy_balance(
      scene, n_samples, band_type, a.sun ? &*a.sun : nullptr, a.sky ? &*a.sky : nullptr,
      sky_lw_radiance, {sun_dir_x, sun_dir_y, sun_dir_z}, two_sided, view(a.albedos),
      wrap_progress(progress));
  return py::make_tuple(to_numpy(r.top), to_numpy(r.bot));
}

// The multiband energy balance on the device: (top, bot, sunlit_fraction) as the CPU scene
// method run_energy_balance_multiband.
py::tuple run_energy_balance_multiband(
    CudaSimulator& sim, CudaSceneManager& scene, int n_bands, int n_samples, int max_depth,
    const py::object& sun_irradiance, const py::object& sky_diffuse_radiance,
    const py::object& sky_directional_table, float sun_dir_x, float sun_dir_y, float sun_dir_z,
    bool two_sided, const py::object& sw_albedos, const py::object& sw_reflectance,
    const py::object& sw_back_reflectance, const py::object& sw_transmittance,
    const py::object& progress) {
  const float3 sun_dir{sun_dir_x, sun_dir_y, sun_dir_z};
  if (n_bands < 1) {
    sim.run_energy_balance_multiband(scene, n_bands, n_samples, max_depth, {}, {}, {}, sun_dir,
                                     two_sided, {}, {}, {}, {}, {});
    return py::make_tuple(py::array_t<float>(0), py::array_t<float>(0), py::array_t<float>(0));
  }
  const MultibandArgs a =
      multiband_args(n_bands, sun_irradiance, sky_diffuse_radiance, sky_directional_table,
                     sw_albedos, sw_reflectance, sw_back_reflectance, sw_transmittance);
  const embree::SceneUse use = scene.acquire_use();
  const embree::EnergyBalanceMultibandResult r = sim.run_energy_balance_multiband(
      scene, n_bands, n_samples, max_depth, view(a.sun), view(a.sky), view(a.table), sun_dir,
      two_sided, view(a.albedos), view(a.reflectance), view(a.back), view(a.transmittance),
      wrap_progress(progress));
  const py::ssize_t nb = r.n_bands;
  const auto n = static_cast<py::ssize_t>(r.sunlit_fraction.size());
  return py::make_tuple(to_numpy(r.top.data(), {nb, n}),
                        two_sided ? to_numpy(r.bot.data(), {nb, n}) : py::array_t<float>(0),
                        to_numpy(r.sunlit_fraction));
}

// A float array of the caller as the evaluators' view (None: empty).
microwave::FloatArray float_view(const carray<float>& a) {
  microwave::FloatArray v;
  if (a.size() == 0) return v;
  v.data = a.data();
  for (py::ssize_t d = 0; d < a.ndim(); ++d) v.shape.push_back(static_cast<size_t>(a.shape(d)));
  return v;
}

// The microwave image shared by the passive and the active method: argument checks, tables from
// the physical parameters (core/host/microwave/tables.h), the device run, [H, W, n_channels].
py::array_t<float> microwave_image(CudaSimulator& sim, CudaSceneManager& scene, bool active,
                                   double frequency, int n_channels, int spp, int max_depth,
                                   float air_temperature, float atm_tau, const py::object& soil,
                                   const py::object& veg, const py::object& trunk,
                                   const py::object& material_map, const py::object& veg_luts,
                                   const py::object& trunk_luts, const py::object& lut_dims,
                                   const py::object& progress) {
  using leaf_rrt_detail::converted;
  if (spp < 1) throw py::value_error("spp must be at least 1");
  if (active ? (n_channels != 1 && n_channels != 2 && n_channels != 4)
             : (n_channels != 1 && n_channels != 2)) {
    throw py::value_error(active ? "n_channels must be 1 (VV), 2 (HH, VV) or 4 (HH, HV, VH, VV)"
                                 : "n_channels must be 1 ((H + V) / 2) or 2 (H, V)");
  }
  if (material_map.is_none()) {
    throw py::value_error(
        "material_map is required: int32 (n_materials, 2) rows of (class, index)");
  }
  const carray<float> soil_a = converted<float>(soil, "mw_soil_params", true);
  const carray<float> veg_a = converted<float>(veg, "mw_veg_params", true);
  const carray<float> trunk_a = converted<float>(trunk, "mw_trunk_params", true);
  const carray<int32_t> map_a = converted<int32_t>(material_map, "material_map", false);
  const carray<float> luts_a = converted<float>(veg_luts, "mw_veg_mueller_luts", true);
  const carray<float> trunk_luts_a = converted<float>(trunk_luts, "mw_trunk_mueller_luts", true);
  const carray<int32_t> dims_a = converted<int32_t>(lut_dims, "_mw_veg_lut_dims", true);
  if (!(map_a.ndim() == 2 && map_a.shape(1) == 2) && map_a.size() != 0) {
    throw py::value_error("material_map must have shape (n_materials, 2)");
  }
  for (py::ssize_t i = 0; i < trunk_luts_a.size(); ++i) {
    if (!std::isfinite(trunk_luts_a.data()[i])) {
      throw py::value_error("mw_trunk_mueller_luts must be finite");
    }
  }
  microwave::MicrowaveTableRequest r;
  r.frequency = frequency;
  r.active = active;
  r.max_depth = max_depth;
  r.air_temperature = air_temperature;
  r.atmosphere_tau = atm_tau;
  r.soil = float_view(soil_a);
  r.vegetation = float_view(veg_a);
  r.trunk = float_view(trunk_a);
  r.material_map = map_a.data();
  r.n_map = map_a.size() / 2;
  if (luts_a.size() > 0) {
    if (dims_a.size() == 2) {
      r.lut_cosines = dims_a.data()[0];
      r.lut_azimuths = dims_a.data()[1];
    } else if (dims_a.size() == 0 && luts_a.ndim() == 5 && luts_a.shape(1) == luts_a.shape(2) &&
               luts_a.shape(4) == 16) {
      r.lut_cosines = static_cast<int>(luts_a.shape(1));
      r.lut_azimuths = static_cast<int>(luts_a.shape(3));
    } else {
      throw py::value_error(
          "mw_veg_mueller_luts must have shape (n_veg, C, C, A, 16), or be given with "
          "_mw_veg_lut_dims = (C, A)");
    }
    r.vegetation_mueller = float_view(luts_a);
  }
  if (!scene.is_built()) throw std::runtime_error("CUDA: build the scene before tracing rays");
  const microwave::MicrowaveTableSet tables = microwave::build_microwave_tables(r);
  const embree::SceneUse use = scene.acquire_use();
  const std::vector<float> image =
      sim.simulate_microwave(scene, tables, spp, n_channels, wrap_progress(progress));
  const SensorData& sensor = scene.description().sensor();
  return to_numpy(image.data(), {std::max(sensor.height, 0), std::max(sensor.width, 0),
                                 static_cast<py::ssize_t>(n_channels)});
}

py::array_t<float> simulate_microwave(CudaSimulator& sim, CudaSceneManager& scene, double frequency,
                                      int n_channels, int spp, int max_depth, float air_temperature,
                                      bool include_atmosphere, float atm_tau,
                                      const py::object& soil, const py::object& veg,
                                      const py::object& trunk, const py::object& material_map,
                                      const py::object& veg_luts, const py::object& trunk_luts,
                                      const py::object& lut_dims, const py::object& progress) {
  if (!std::isfinite(atm_tau) || atm_tau < 0.0f) {
    throw py::value_error("atm_tau must be finite and non-negative");
  }
  return microwave_image(sim, scene, false, frequency, n_channels, spp, max_depth, air_temperature,
                         include_atmosphere ? atm_tau : 0.0f, soil, veg, trunk, material_map,
                         veg_luts, trunk_luts, lut_dims, progress);
}

py::array_t<float> simulate_active_microwave(
    CudaSimulator& sim, CudaSceneManager& scene, double frequency, int n_channels, int spp,
    int max_depth, float air_temperature, float atm_tau, const py::object& soil,
    const py::object& veg, const py::object& trunk, const py::object& material_map,
    const py::object& veg_luts, const py::object& trunk_luts, const py::object& progress) {
  return microwave_image(sim, scene, true, frequency, n_channels, spp, max_depth, air_temperature,
                         atm_tau, soil, veg, trunk, material_map, veg_luts, trunk_luts, py::none(),
                         progress);
}

// The leaf physiology solver on the device, in the request and envelope of solve_physiology_cpu
// (the interpreter lock is held: Ctrl-C is seen between launches).
py::dict solve_physiology_optix(CudaSimulator& sim, const py::dict& request) {
  const PhysiologyRequest r = read_physiology_request(request);
  const physiology::PhysiologyResult result =
      sim.solve_physiology(r.view, interpreter_interrupt_check());
  return enveloped_result(physiology_payload(result, r.dynamic), result.execution);
}

// The SIF finalization on the device, in the request and envelope of finalize_sif_process_cpu.
py::dict finalize_sif_process_optix(CudaSimulator& sim, const py::dict& request) {
  const SifProcessRequest q = read_sif_process_request(request);
  const physiology::SifProcessResult r = sim.finalize_sif_process(q.view);
  return enveloped_result(sif_process_payload(r), r.execution);
}

// The static photosynthesis process on the device, in the request and envelope of
// execute_photosynthesis_process_static_cpu.
py::dict photosynthesis_static_optix(CudaSimulator& sim, const py::dict& request) {
  const StaticProcessRequest q = read_static_process_request(request);
  const physiology::PhotosynthesisProcessResult r =
      sim.execute_photosynthesis_process_static(q.view, interpreter_interrupt_check());
  return enveloped_result(static_process_payload(r), r.execution);
}

// The energy-balance process on the device, in the request and envelope of
// execute_energy_balance_process_cpu.
py::dict energy_balance_process_optix(CudaSimulator& sim, CudaSceneManager& scene,
                                      const py::dict& request) {
  const EnergyBalanceProcessRequest q = read_energy_balance_process_request(request);
  const embree::EnergyBalanceProcessResult r =
      sim.execute_energy_balance_process(scene, q.request, interpreter_interrupt_check());
  return enveloped_result(energy_balance_process_payload(r), r.execution);
}

// The SIF source assembly on the device, in the request and envelope of assemble_sif_source_cpu.
py::dict assemble_sif_source_optix(CudaSimulator& sim, const py::dict& request) {
  const SifAssemblyRequest q = read_sif_assembly_request(request);
  const physiology::SifSourceFields r = sim.assemble_sif_source(q.view);
  return enveloped_result(sif_assembly_payload(r), r.execution);
}

// The dynamic photosynthesis process on the device, in the request and envelope of
// execute_photosynthesis_process_dynamic_cpu.
py::dict photosynthesis_dynamic_optix(CudaSimulator& sim, CudaSceneManager& scene,
                                      const py::dict& request) {
  const DynamicProcessRequest q = read_dynamic_process_request(request);
  const embree::DynamicPhotosynthesisResult r =
      sim.execute_photosynthesis_process_dynamic(scene, q.request, interpreter_interrupt_check());
  return enveloped_result(dynamic_process_payload(r), r.execution);
}

}  // namespace

void bind_cuda(py::module_& m) {
  m.attr("HAS_OPTIX") = true;

  py::class_<CudaContext>(m, "OptiXContext", py::release_gil_before_calling_cpp_dtor(),
                          "One CUDA device: its primary context and the stream all its work "
                          "runs on.")
      .def(py::init<int>(), py::arg("device_id"))
      .def_property_readonly("device_id", &CudaContext::device_id)
      .def_property_readonly("device_name", &CudaContext::device_name)
      .def_property_readonly("total_vram_mb", &CudaContext::total_vram_mb)
      .def_property_readonly("free_vram_mb", &CudaContext::free_vram_mb)
      .def_property_readonly("compute_capability_major", &CudaContext::compute_capability_major)
      .def_property_readonly("compute_capability_minor", &CudaContext::compute_capability_minor);

  py::class_<CudaSceneManager, embree::EmbreeSceneManager>(
      m, "SceneManager", py::release_gil_before_calling_cpp_dtor(),
      "A scene on one CUDA device: the scene vocabulary of EmbreeSceneManager; build() also "
      "builds the two-level hierarchy and uploads it.")
      .def(py::init<const CudaContext&>(), py::arg("context"), py::keep_alive<1, 2>())
      .def("build", &CudaSceneManager::build,
           "Build the acceleration structures and upload them to the device.")
      .def("refit_ias", &CudaSceneManager::refit_ias,
           "Take moved instances into the CPU and device instance levels.")
      .def("build_ias", &CudaSceneManager::build_ias,
           "Rebuild and upload the device instance level from the current transforms.")
      .def("rebuild_ias", &CudaSceneManager::build_ias, "Alias of build_ias().")
      .def("free_gpu", &CudaSceneManager::free_gpu, "Free the scene's device buffers.")
      .def("is_uploaded", &CudaSceneManager::is_uploaded,
           "Whether the device holds the hierarchy of the current build (build() uploads it).");

  py::class_<CudaSimulator>(m, "Simulator", py::release_gil_before_calling_cpp_dtor(),
                            "The CUDA workflows; device programs are read from ptx_path "
                            "(tesk_gpu.cuda.ptx_path() names the installed ones).")
      .def(py::init<const CudaContext&, std::string>(), py::arg("context"), py::arg("ptx_path"),
           py::keep_alive<1, 2>())
      .def("init", &CudaSimulator::init, "Load the device programs.")
      .def_property_readonly("ptx_path", &CudaSimulator::ptx_path)
      .def_property_readonly("last_kernel_ms", &CudaSimulator::last_kernel_ms,
                             "Device time of the last kernel launch (ms), copies excluded.")
      .def("trace_closest", &trace_closest, py::arg("scene"), py::arg("origins"),
           py::arg("directions"), py::arg("t_min") = 1e-4f, py::arg("t_max") = 1e30f,
           "Closest hits of N rays on the device; the same dictionary as "
           "EmbreeSceneManager.trace_closest.")
      .def("trace_occluded", &trace_occluded, py::arg("scene"), py::arg("origins"),
           py::arg("directions"), py::arg("t_min") = 1e-4f, py::arg("t_max") = 1e30f,
           "Whether anything blocks each ray in (t_min, t_max]: bool [N].")
      .def("simulate", &simulate, py::arg("scene"), py::arg("spp") = 16, py::arg("max_depth") = 16,
           py::arg("progress") = py::none(), py::arg("outputs") = py::make_tuple("radiance"),
           py::arg("max_output_order") = 0,
           "Render the scene's sensor by backward path tracing on the device.\n\n"
           "The samples of simulate_cpu (same streams per pixel and pass, same path rules)\n"
           "traced over the device hierarchy, one launch per fold block of passes;\n"
           "progress(done, total, elapsed_ms) is called after each launch. Scenes of surfaces\n"
           "only, at most 32 bands and max_output_order 14; anything else raises without a\n"
           "fallback. Returns the dictionary of simulate_cpu with _execution\n"
           "'optix.cuda.optical_backward'.")
      .def("simulate_flux", &simulate_flux, py::arg("scene"), py::arg("nx"), py::arg("ny"),
           py::arg("num_photons"), py::arg("num_bands"), py::arg("prob_sun") = 1.0f,
           py::arg("max_bounces") = 0, py::arg("max_depth") = 16, py::arg("rr_depth") = 3,
           py::arg("decompose") = false, py::arg("progress") = py::none(),
           "Forward photon flux on a horizontal grid on the device.\n\n"
           "The photons of simulate_flux_cpu (same streams per photon, same rules) traced over\n"
           "the device hierarchy in batches of 4M photons; progress(done, total, elapsed_ms) is\n"
           "called after each batch. Deposits are added atomically, so results agree with the\n"
           "CPU to the rounding of the sums' order. Scenes of surfaces and scenes with optical\n"
           "turbid media, at most 32 bands; anything else raises without a fallback. Returns\n"
           "'downwelling', 'upwelling' (and with decompose their sun and sky parts) as float32\n"
           "[ny, nx, bands]; with media also 'grid', 'grid_direct', 'grid_diffuse' [ny, nx,\n"
           "bands], 'leaf' [n_primitives, bands], 'terrain', 'escaped', 'incident' [bands] as\n"
           "simulate_flux_cpu; and '_execution' ('optix.cuda.optical_flux').")
      .def("simulate_forward", &simulate_forward, py::arg("scene"), py::arg("nx") = 1,
           py::arg("ny") = 1, py::arg("layer_heights"), py::arg("num_photons") = 10000000,
           py::arg("num_bands") = 1, py::arg("per_leaf") = false,
           py::arg("brf_directions") = carray<float>(0), py::arg("num_brf_dirs") = 0,
           py::arg("prob_sun") = 1.0f, py::arg("max_depth") = 16,
           py::arg("terrain_instance_id") = -1, py::arg("track_incident") = false,
           py::arg("decompose") = false, py::arg("progress") = py::none(), py::kw_only(),
           py::arg("rr_depth") = 3,
           "Forward absorbed-radiation field (fPAR) and BRF on the device.\n\n"
           "The photons of simulate_forward_cpu (same streams per photon, same rules and\n"
           "tallies) traced over the device hierarchy in batches of 4M photons;\n"
           "progress(done, total, elapsed_ms) is called after each batch. Deposits are added\n"
           "atomically, so results agree with the CPU to the rounding of the sums' order.\n"
           "track_incident adds 'incident' and 'escaped' (emitted and escaping energy per band);\n"
           "decompose adds 'grid_direct' and 'grid_diffuse' (sun and sky photons). Scenes of\n"
           "surfaces only, at most 32 bands; anything else raises without a fallback. Returns\n"
           "the dictionary of simulate_forward_cpu ('grid' [layers, ny, nx, bands], 'leaf',\n"
           "'brf', 'albedo', 'terrain', ...) with _execution 'optix.cuda.optical_forward', or\n"
           "'optix.cuda.optical_brf' with view directions.")
      .def("simulate_lidar", &simulate_lidar, py::arg("scene"), py::arg("pulse_origins"),
           py::arg("pulse_directions"), py::arg("num_pulses"),
           py::arg("beam_half_angle_rad") = 0.0005f, py::arg("beam_samples_per_dim") = 10,
           py::arg("pulse_energy") = 1.0f, py::arg("sensor_area") = 0.1f,
           py::arg("range_resolution") = 0.15f, py::arg("min_range") = 0.0f,
           py::arg("max_range") = 100.0f, py::arg("num_wavelengths") = 1,
           py::arg("pulse_fwhm_ns") = 4.0f, py::arg("peak_threshold") = 1e-8f,
           py::arg("max_returns_per_pulse") = 5, py::arg("direct_mode") = false, py::kw_only(),
           py::arg("progress") = py::none(), py::arg("waveforms") = py::make_tuple("convolved"),
           "Simulate a discrete-pulse LiDAR on the device, as simulate_lidar_cpu.\n\n"
           "Same arguments (without a thread count) and result keys. One device thread per\n"
           "pulse traces its central ray (direct mode) or its footprint rays over the device\n"
           "hierarchy and fills its raw waveform; the host convolves and extracts the returns\n"
           "with the CPU's code, so results match the CPU's up to hits that differ in their\n"
           "last bits. progress(done, total, elapsed_ms) is called after each launch and\n"
           "Ctrl-C is seen between launches. Scenes of surfaces only: optical turbid media\n"
           "raise without a fallback. _execution 'optix.cuda.lidar_point_cloud' or\n"
           "'optix.cuda.lidar_waveform'.")
      .def(
          "run_turbid_leaf_rrt", &run_turbid_leaf_rrt, py::arg("scene"), py::arg("positions"),
          py::arg("normals"), py::arg("medium_ids"), py::arg("instance_ids"),
          py::arg("active_medium_offsets"), py::arg("active_medium_ids"),
          py::arg("active_instance_ids"), py::arg("n_bands"), py::arg("rays_per_sample") = 64,
          py::arg("max_depth") = 8, py::arg("sun_irradiance") = py::none(),
          py::arg("sky_diffuse_radiance") = py::none(),
          py::arg("sky_directional_table") = py::none(), py::arg("medium_reflectance") = py::none(),
          py::arg("medium_back_reflectance") = py::none(),
          py::arg("medium_transmittance") = py::none(), py::arg("thermal_mode") = false,
          py::arg("instance_lw_radiance") = py::none(), py::arg("instance_emissivity") = py::none(),
          py::arg("sun_dir_x") = 0.0f, py::arg("sun_dir_y") = 0.0f, py::arg("sun_dir_z") = 1.0f,
          py::kw_only(), py::arg("seed") = 0, py::arg("progress") = py::none(),
          "Irradiance at leaf-area samples by leaf reverse ray tracing on the device.\n\n"
          "The arguments (without a thread count) and the envelope of\n"
          "run_turbid_leaf_rrt_cpu: the same streams per sample and seed and the same walks,\n"
          "one device thread per sample, launches of about 4M rays; progress(done, total,\n"
          "elapsed_ms) counts samples. Scenes of surfaces only (the walk through optical turbid\n"
          "media has no device program): a scene with media, or more than 32 bands, raises\n"
          "without a fallback. _execution 'optix.cuda.turbid_leaf_rrt'.")
      .def("simulate_microwave", &simulate_microwave, py::arg("scene"), py::arg("frequency"),
           py::arg("n_channels") = 2, py::arg("spp") = 16, py::arg("max_depth") = 4,
           py::arg("air_temperature") = 290.0f, py::arg("include_atmosphere") = true,
           py::arg("atm_tau") = 0.0f, py::arg("mw_soil_params") = py::none(),
           py::arg("mw_veg_params") = py::none(), py::arg("mw_trunk_params") = py::none(),
           py::arg("material_map") = py::none(), py::arg("mw_veg_mueller_luts") = py::none(),
           py::arg("mw_trunk_mueller_luts") = py::none(), py::arg("_mw_veg_lut_dims") = py::none(),
           py::kw_only(), py::arg("progress") = py::none(),
           "Passive microwave image of the scene's sensor on the device: brightness temperature\n"
           "(K) as float32 [height, width, n_channels], n_channels 1 ((H + V) / 2) or 2 (H, V).\n\n"
           "Each pixel averages spp jittered lines of sight from its own random stream; each\n"
           "follows its specular chain through at most max_depth surfaces. material_map int32\n"
           "(n_materials, 2) rows (class, index) map the scene's materials: 0 absorber (ends at\n"
           "air_temperature), 1 soil, 2 vegetation layer, 3 trunk, 4 smooth soil, the index\n"
           "selecting a row of mw_soil_params ((n, >= 12) soil vectors, as\n"
           "_evaluate_microwave_soil), mw_veg_params ((n, 3): nadir optical depth, albedo,\n"
           "temperature in K) or mw_trunk_params ((n, 7) trunk vectors). Soil and trunk\n"
           "responses are evaluated at `frequency` (Hz) on a cosine grid. Lines of sight\n"
           "leaving upward see T_air (1 - t) + 2.725 t, t = exp(-atm_tau / mu) (atm_tau taken\n"
           "as 0 without include_atmosphere). mw_veg_mueller_luts (n_veg, C, C, A, 16) phase\n"
           "matrices (or flat with _mw_veg_lut_dims = (C, A)) make vegetation scatter;\n"
           "mw_trunk_mueller_luts is checked but not used (trunks reflect specularly).\n"
           "progress(done, total, elapsed_ms) counts pixels. Bad shapes or non-finite values\n"
           "raise ValueError, arrays of non-numbers TypeError; scenes with optical turbid\n"
           "media raise without a fallback.")
      .def("simulate_active_microwave", &simulate_active_microwave, py::arg("scene"),
           py::arg("frequency"), py::arg("n_channels") = 4, py::arg("spp") = 16,
           py::arg("max_depth") = 4, py::arg("air_temperature") = 290.0f, py::arg("atm_tau") = 0.0f,
           py::arg("mw_soil_params") = py::none(), py::arg("mw_veg_params") = py::none(),
           py::arg("mw_trunk_params") = py::none(), py::arg("material_map") = py::none(),
           py::arg("mw_veg_mueller_luts") = py::none(),
           py::arg("mw_trunk_mueller_luts") = py::none(), py::kw_only(),
           py::arg("progress") = py::none(),
           "Active (monostatic) microwave image of the scene's sensor on the device: linear\n"
           "backscatter coefficients as float32 [height, width, n_channels], n_channels 1 (VV),\n"
           "2 (HH, VV) or 4 (HH, HV, VH, VV).\n\n"
           "Arguments as simulate_microwave (phase-table cells from the shape of\n"
           "mw_veg_mueller_luts). Vegetation layers before the first soil or trunk add their\n"
           "volume backscatter and attenuate what lies behind by g^2; the soil returns its\n"
           "rough-surface sigmas, a trunk its direct and trunk-ground sigmas per unit silhouette\n"
           "area; smooth soil and absorbers return nothing. The whole line of sight is\n"
           "attenuated by the two-way atmosphere exp(-2 atm_tau / mu).")
      .def("run_energy_balance", &run_energy_balance, py::arg("scene"), py::arg("n_samples") = 64,
           py::arg("max_depth") = 8, py::arg("band_type") = 0,
           py::arg("sun_irradiance") = py::none(), py::arg("sky_diffuse_radiance") = py::none(),
           py::arg("sky_lw_radiance") = 0.0f, py::arg("sun_dir_x") = 0.0f,
           py::arg("sun_dir_y") = 0.0f, py::arg("sun_dir_z") = 1.0f, py::arg("two_sided") = true,
           py::arg("sw_albedos") = py::none(), py::arg("sw_reflectance") = py::none(),
           py::arg("sw_back_reflectance") = py::none(), py::arg("sw_transmittance") = py::none(),
           py::kw_only(), py::arg("progress") = py::none(),
           "Single-band energy balance on the device.\n\n"
           "The face samples of run_energy_balance_cpu (same streams per primitive, same rules)\n"
           "traced over the device hierarchy, one thread per primitive, in launches of about\n"
           "16M face samples; progress(done, total, elapsed_ms) counts primitives. Scenes with\n"
           "optical turbid media are refused. Returns (top, bot) as float32 [n_primitives]\n"
           "(bot empty unless two_sided).")
      .def("run_energy_balance_multiband", &run_energy_balance_multiband, py::arg("scene"),
           py::arg("n_bands"), py::arg("n_samples") = 64, py::arg("max_depth") = 8,
           py::arg("sun_irradiance") = py::none(), py::arg("sky_diffuse_radiance") = py::none(),
           py::arg("sky_directional_table") = py::none(), py::arg("sun_dir_x") = 0.0f,
           py::arg("sun_dir_y") = 0.0f, py::arg("sun_dir_z") = 1.0f, py::arg("two_sided") = true,
           py::arg("sw_albedos") = py::none(), py::arg("sw_reflectance") = py::none(),
           py::arg("sw_back_reflectance") = py::none(), py::arg("sw_transmittance") = py::none(),
           py::kw_only(), py::arg("progress") = py::none(),
           "Multiband shortwave energy balance on the device.\n\n"
           "The paths of run_energy_balance_multiband_cpu (same streams per primitive, same\n"
           "rules and arguments) traced over the device hierarchy, one thread per primitive;\n"
           "progress(done, total, elapsed_ms) counts primitives. At most 32 bands; scenes with\n"
           "optical turbid media are refused, without a fallback. Returns (top, bot,\n"
           "sunlit_fraction): top and bot float32 [n_bands, n_primitives] (bot empty unless\n"
           "two_sided), sunlit_fraction [n_primitives].");

  m.def("solve_physiology_optix", &solve_physiology_optix, py::arg("simulator"), py::arg("request"),
        "The leaf physiology solver of solve_physiology_cpu on the CUDA device, one thread per "
        "element running the CPU's per-element solve: the same request dictionary, checks, "
        "messages and payload keys. Returns {payload, _execution} with _execution "
        "'optix.cuda.physiology_solver'.");
  m.def("execute_photosynthesis_process_static_optix", &photosynthesis_static_optix,
        py::arg("simulator"), py::arg("request"),
        "Static photosynthesis per element on the CUDA device, as "
        "execute_photosynthesis_process_static_cpu (one thread per element running the CPU's "
        "per-element step): the same request, checks, messages and payload. Returns "
        "{payload, _execution} with _execution 'optix.cuda.photosynthesis_process_static'.");
  m.def("execute_photosynthesis_process_dynamic_optix", &photosynthesis_dynamic_optix,
        py::arg("simulator"), py::arg("scene"), py::arg("request"),
        "The dynamic photosynthesis process of execute_photosynthesis_process_dynamic_cpu on the "
        "CUDA device: the shared outer loop with the device longwave transport and one thread "
        "per element running the CPU's element step (the scene must be built); the same "
        "request, checks, messages, scene state and payload. Returns {payload, _execution} "
        "with _execution 'optix.cuda.photosynthesis_process_dynamic'.");
  m.def("execute_energy_balance_process_optix", &energy_balance_process_optix, py::arg("simulator"),
        py::arg("scene"), py::arg("request"),
        "The energy-balance process of execute_energy_balance_process_cpu on the CUDA device: "
        "the shared outer loop with the device shortwave and longwave transport and one thread "
        "per element running the CPU's element step (the scene must be built); the same "
        "request, checks, messages, scene state and payload. Returns {payload, _execution} "
        "with _execution 'optix.cuda.energy_balance_process'.");
  m.def("finalize_sif_process_optix", &finalize_sif_process_optix, py::arg("simulator"),
        py::arg("request"),
        "Per-element fluorescence yield and absorbed spectra at the selected excitation bands "
        "on the CUDA device, as finalize_sif_process_cpu (one thread per element running the "
        "CPU's per-element step): the same request, checks, messages and payload. Returns "
        "{payload, _execution} with _execution 'optix.cuda.sif_process_finalization'.");
  m.def("assemble_sif_source_optix", &assemble_sif_source_optix, py::arg("simulator"),
        py::arg("request"),
        "Bins per-sample SIF source spectra into spatial, orientation and joint fields on the "
        "CUDA device, as assemble_sif_source_cpu (one thread per instance and band running the "
        "CPU's item, so the sums and counts are equal): the same request, checks, messages and "
        "payload. Returns {payload, _execution} with _execution "
        "'optix.cuda.sif_source_assembly'.");

  m.def(
      "device_info",
      [](int device_id) {
        const cuda::DeviceInfo info = cuda::device_info(device_id);
        py::dict d;
        d["name"] = info.name;
        d["total_vram_mb"] = info.total_vram_mb;
        d["free_vram_mb"] = info.free_vram_mb;
        d["compute_capability"] = info.compute_capability;
        return d;
      },
      py::arg("device_id"),
      "Open CUDA device device_id, read it and close it: name, total_vram_mb, free_vram_mb, "
      "compute_capability ('major.minor').");
}

#else

void bind_cuda(py::module_&) {}

#endif

}  // namespace tesk::python
