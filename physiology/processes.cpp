#include "physiology/processes.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "core/grid.h"
#include "core/host/allocation.h"
#include "core/host/parallel.h"
#include "physiology/leaf_model.h"

namespace tesk::physiology {
namespace {

// Elements per chunk of the parallel driver.
constexpr size_t kChunkElements = 1024;

void check_length(size_t size, const void* data, size_t expected, const char* name) {
  if (size != expected || (expected > 0 && data == nullptr)) {
    throw std::invalid_argument(std::string(name) + " buffer length mismatch");
  }
}
void check_length(const FloatBuffer& b, size_t expected, const char* name) {
  check_length(b.size, b.data, expected, name);
}
void check_length(const IntBuffer& b, size_t expected, const char* name) {
  check_length(b.size, b.data, expected, name);
}
void check_finite(const FloatBuffer& b, const char* name) {
  for (size_t i = 0; i < b.size; ++i) {
    if (!std::isfinite(b.data[i])) {
      throw std::invalid_argument(std::string(name) + " contains a non-finite value");
    }
  }
}

bool is_flag(int32_t v) {
  return v == 0 || v == 1;
}

}  // namespace

float par_conversion_factor(float wavelength_nm) {
  if (!(wavelength_nm >= 400.0f && wavelength_nm <= 700.0f)) return 0.0f;
  return wavelength_nm * 1e-9f / 0.11962656f * 1e6f;
}

void validate_photosynthesis_process(const PhotosynthesisProcessRequestView& r) {
  if (r.n_elements < 1) throw std::invalid_argument("photosynthesis n_elements must be positive");
  if (r.n_bands < 1) throw std::invalid_argument("photosynthesis n_bands must be positive");
  if (r.n_materials < 1) {
    throw std::invalid_argument("photosynthesis n_materials must be positive");
  }
  const auto n = static_cast<size_t>(r.n_elements);
  const auto nm = static_cast<size_t>(r.n_materials);
  const size_t ns =
      checked_element_count(n, static_cast<size_t>(r.n_bands), "photosynthesis spectra");
  struct FloatField {
    const char* name;
    const FloatBuffer* b;
    size_t expected;
  };
  const FloatField floats[] = {{"absorbed_top", &r.absorbed_top, ns},
                               {"absorbed_bottom", &r.absorbed_bottom, ns},
                               {"absorbed_direct", &r.absorbed_direct, ns},
                               {"wavelengths", &r.wavelengths, static_cast<size_t>(r.n_bands)},
                               {"sunlit_fraction", &r.sunlit_fraction, n},
                               {"temperature_sunlit", &r.temperature_sunlit, n},
                               {"temperature_shaded", &r.temperature_shaded, n},
                               {"vcmax25", &r.vcmax25, nm},
                               {"jmax25", &r.jmax25, nm},
                               {"rd25", &r.rd25, nm},
                               {"ball_berry_slope", &r.ball_berry_slope, nm},
                               {"ball_berry_intercept", &r.ball_berry_intercept, nm},
                               {"quantum_yield", &r.quantum_yield, nm}};
  // Lengths in the order of the view, then finiteness.
  for (size_t i = 0; i < 5; ++i) check_length(*floats[i].b, floats[i].expected, floats[i].name);
  check_length(r.material_ids, n, "material_ids");
  check_length(r.material_active, nm, "material_active");
  check_length(r.material_fluorescent, nm, "material_fluorescent");
  for (size_t i = 5; i < std::size(floats); ++i) {
    check_length(*floats[i].b, floats[i].expected, floats[i].name);
  }
  for (const FloatField& f : floats) check_finite(*f.b, f.name);
  if (!std::isfinite(r.co2) || !(r.co2 > 0.0f) || !std::isfinite(r.relative_humidity) ||
      !(r.relative_humidity >= 0.0f && r.relative_humidity <= 1.0f) || r.max_iterations < 1 ||
      !std::isfinite(r.tolerance) || !(r.tolerance > 0.0f)) {
    throw std::invalid_argument("photosynthesis scalar input is outside its physical domain");
  }
  for (const FloatBuffer* b : {&r.absorbed_top, &r.absorbed_bottom, &r.absorbed_direct}) {
    for (size_t i = 0; i < ns; ++i) {
      if (b->data[i] < 0.0f) {
        throw std::invalid_argument("photosynthesis absorbed spectra cannot be negative");
      }
    }
  }
  for (size_t e = 0; e < n; ++e) {
    const int32_t m = r.material_ids.data[e];
    const float f = r.sunlit_fraction.data[e];
    if (m < -1 || m >= r.n_materials || !(f >= 0.0f && f <= 1.0f) ||
        !(r.temperature_sunlit.data[e] > 0.0f) || !(r.temperature_shaded.data[e] > 0.0f)) {
      throw std::invalid_argument("photosynthesis element input is outside its domain");
    }
  }
  for (size_t m = 0; m < nm; ++m) {
    const bool ok = is_flag(r.material_active.data[m]) && is_flag(r.material_fluorescent.data[m]) &&
                    r.vcmax25.data[m] >= 0.0f && r.jmax25.data[m] >= 0.0f &&
                    r.rd25.data[m] >= 0.0f && r.ball_berry_slope.data[m] >= 0.0f &&
                    r.ball_berry_intercept.data[m] >= 0.0f && r.quantum_yield.data[m] >= 0.0f &&
                    r.quantum_yield.data[m] <= 1.0f;
    if (!ok) throw std::invalid_argument("photosynthesis material input is outside its domain");
  }
}

PhotosynthesisProcessResult sized_photosynthesis_result(const PhotosynthesisProcessRequestView& r) {
  const auto n = static_cast<size_t>(r.n_elements);
  PhotosynthesisProcessResult out;
  for (std::vector<float>* v :
       {&out.temperature, &out.an, &out.gs, &out.phi_f, &out.apar, &out.temperature_sunlit,
        &out.temperature_shaded, &out.sunlit_fraction, &out.apar_sunlit, &out.apar_shaded,
        &out.an_sunlit, &out.an_shaded}) {
    v->assign(n, 0.0f);
  }
  out.active_mask.assign(n, 0);
  out.converged.assign(n, 0);
  return out;
}

std::vector<float> par_conversion_factors(const PhotosynthesisProcessRequestView& r) {
  std::vector<float> factor(static_cast<size_t>(r.n_bands));
  for (size_t b = 0; b < factor.size(); ++b)
    factor[b] = par_conversion_factor(r.wavelengths.data[b]);
  return factor;
}

StaticElementArrays static_element_arrays(const PhotosynthesisProcessRequestView& r,
                                          const float* par_factor,
                                          PhotosynthesisProcessResult& out) {
  StaticElementArrays a;
  a.n_bands = r.n_bands;
  a.co2 = r.co2;
  a.relative_humidity = r.relative_humidity;
  a.absorbed_top = r.absorbed_top.data;
  a.absorbed_bottom = r.absorbed_bottom.data;
  a.absorbed_direct = r.absorbed_direct.data;
  a.par_factor = par_factor;
  a.sunlit_fraction = r.sunlit_fraction.data;
  a.temperature_sunlit_in = r.temperature_sunlit.data;
  a.temperature_shaded_in = r.temperature_shaded.data;
  a.material_ids = r.material_ids.data;
  a.material_active = r.material_active.data;
  a.material_fluorescent = r.material_fluorescent.data;
  a.vcmax25 = r.vcmax25.data;
  a.jmax25 = r.jmax25.data;
  a.rd25 = r.rd25.data;
  a.ball_berry_slope = r.ball_berry_slope.data;
  a.ball_berry_intercept = r.ball_berry_intercept.data;
  a.quantum_yield = r.quantum_yield.data;
  a.temperature = out.temperature.data();
  a.an = out.an.data();
  a.gs = out.gs.data();
  a.phi_f = out.phi_f.data();
  a.apar = out.apar.data();
  a.temperature_sunlit = out.temperature_sunlit.data();
  a.temperature_shaded = out.temperature_shaded.data();
  a.sunlit_fraction_out = out.sunlit_fraction.data();
  a.apar_sunlit = out.apar_sunlit.data();
  a.apar_shaded = out.apar_shaded.data();
  a.an_sunlit = out.an_sunlit.data();
  a.an_shaded = out.an_shaded.data();
  a.active_mask = out.active_mask.data();
  a.converged = out.converged.data();
  a.control = SolverControl{r.max_iterations, r.tolerance, nullptr};
  a.element_end = r.n_elements;
  return a;
}

PhotosynthesisProcessResult execute_photosynthesis_process_static(
    const PhotosynthesisProcessRequestView& r, int num_threads, const InterruptCheck& interrupt) {
  validate_photosynthesis_process(r);
  PhotosynthesisProcessResult out = sized_photosynthesis_result(r);
  out.execution = cpu_execution(WorkflowCode::PhotosynthesisProcessStatic,
                                "embree.cpu.photosynthesis_process_static");
  const std::vector<float> factor = par_conversion_factors(r);
  const StaticElementArrays arrays = static_element_arrays(r, factor.data(), out);
  parallel_for_chunks(
      static_cast<size_t>(r.n_elements), num_threads, kChunkElements,
      [&](size_t begin, size_t end) {
        for (size_t e = begin; e < end; ++e) photosynthesis_static_element(arrays, e);
      },
      interrupt);
  return out;
}

// ---- SIF -------------------------------------------------------------------------------------

void validate_sif_process(const SifProcessRequestView& r) {
  if (r.n_elements < 1) throw std::invalid_argument("SIF n_elements must be positive");
  if (r.n_bands < 1) throw std::invalid_argument("SIF n_bands must be positive");
  if (r.n_selected < 1 || r.n_selected > r.n_bands) {
    throw std::invalid_argument("SIF selected-band count must be in [1, n_bands]");
  }
  if (r.n_materials < 1) throw std::invalid_argument("SIF n_materials must be positive");
  const auto n = static_cast<size_t>(r.n_elements);
  const auto nb = static_cast<size_t>(r.n_bands);
  const auto nsel = static_cast<size_t>(r.n_selected);
  const size_t ns = checked_element_count(n, nb, "SIF process spectrum");
  checked_element_count(n, nsel, "SIF selected spectrum");
  check_length(r.absorbed_top, ns, "SIF process spectrum");
  check_length(r.absorbed_bottom, ns, "SIF process spectrum");
  check_length(r.material_ids, n, "material_ids");
  check_length(r.material_phi_f, static_cast<size_t>(r.n_materials), "material_phi_f");
  check_length(r.selected_band_indices, nsel, "SIF selected spectrum");
  const bool has_element_phi_f = r.element_phi_f.size > 0;
  if (has_element_phi_f) check_length(r.element_phi_f, n, "element_phi_f");
  for (const FloatBuffer* b : {&r.absorbed_top, &r.absorbed_bottom}) {
    for (size_t i = 0; i < ns; ++i) {
      if (!(b->data[i] >= 0.0f) || !std::isfinite(b->data[i])) {
        throw std::invalid_argument("SIF absorbed spectra cannot be negative");
      }
    }
  }
  for (size_t m = 0; m < r.material_phi_f.size; ++m) {
    const float v = r.material_phi_f.data[m];
    if (!(v >= 0.0f && v <= 1.0f)) throw std::invalid_argument("material_phi_f must be in [0, 1]");
  }
  for (size_t e = 0; e < n; ++e) {
    const int32_t m = r.material_ids.data[e];
    if (m < -1 || m >= r.n_materials) throw std::invalid_argument("material_ids is out of range");
  }
  if (has_element_phi_f) {
    for (size_t e = 0; e < n; ++e) {
      const float v = r.element_phi_f.data[e];
      if (!(v >= 0.0f && v <= 1.0f)) throw std::invalid_argument("element_phi_f must be in [0, 1]");
    }
  }
  for (size_t j = 0; j < nsel; ++j) {
    const int32_t k = r.selected_band_indices.data[j];
    if (k < 0 || k >= r.n_bands || (j > 0 && k <= r.selected_band_indices.data[j - 1])) {
      throw std::invalid_argument("selected_band_indices must be strictly increasing and in range");
    }
  }
}

SifProcessResult sized_sif_result(const SifProcessRequestView& r) {
  const auto n = static_cast<size_t>(r.n_elements);
  const size_t n_out = n * static_cast<size_t>(r.n_selected);
  SifProcessResult out;
  out.phi_f.assign(n, 0.0f);
  out.top_selected.assign(n_out, 0.0f);
  out.bottom_selected.assign(n_out, 0.0f);
  out.n_selected = r.n_selected;
  return out;
}

SifElementArrays sif_element_arrays(const SifProcessRequestView& r, SifProcessResult& out) {
  SifElementArrays a;
  a.n_bands = r.n_bands;
  a.n_selected = r.n_selected;
  a.absorbed_top = r.absorbed_top.data;
  a.absorbed_bottom = r.absorbed_bottom.data;
  a.material_ids = r.material_ids.data;
  a.material_phi_f = r.material_phi_f.data;
  a.selected_band_indices = r.selected_band_indices.data;
  a.element_phi_f = r.element_phi_f.size > 0 ? r.element_phi_f.data : nullptr;
  a.phi_f = out.phi_f.data();
  a.top_selected = out.top_selected.data();
  a.bottom_selected = out.bottom_selected.data();
  a.element_end = r.n_elements;
  return a;
}

SifProcessResult finalize_sif_process(const SifProcessRequestView& r, int num_threads) {
  validate_sif_process(r);
  SifProcessResult out = sized_sif_result(r);
  out.execution =
      cpu_execution(WorkflowCode::SifProcessFinalization, "embree.cpu.sif_process_finalization");
  const SifElementArrays arrays = sif_element_arrays(r, out);
  parallel_for_chunks(static_cast<size_t>(r.n_elements), num_threads, kChunkElements,
                      [&](size_t begin, size_t end) {
                        for (size_t e = begin; e < end; ++e) finalize_sif_element(arrays, e);
                      });
  return out;
}

void validate_sif_source_assembly(const SifSourceAssemblyRequestView& r) {
  if (r.n_instances < 1) throw std::invalid_argument("n_instances must be positive");
  if (r.n_samples < 1) throw std::invalid_argument("n_samples must be positive");
  if (r.n_bands < 1) throw std::invalid_argument("n_bands must be positive");
  if (r.cell_stride < 1) throw std::invalid_argument("SIF cell_stride must be positive");
  if (r.orientation_theta_bins < 1 || r.orientation_phi_bins < 1) {
    throw std::invalid_argument("SIF orientation dimensions must be positive");
  }
  const auto ni = static_cast<size_t>(r.n_instances);
  const auto ns = static_cast<size_t>(r.n_samples);
  const auto nb = static_cast<size_t>(r.n_bands);
  check_length(r.positions, ns * 3, "positions");
  check_length(r.normals, ns * 3, "normals");
  check_length(r.instance_ids, ns, "instance_ids");
  check_length(r.grid_dims, ni * 3, "grid_dims");
  const size_t n_source = checked_element_count(ns, nb, "SIF source");
  check_length(r.source_band_major, n_source, "source_band_major");
  check_length(r.direct_source_band_major, n_source, "direct_source_band_major");
  check_length(r.bounds_min, ni * 3, "bounds_min");
  check_length(r.bounds_max, ni * 3, "bounds_max");
  for (size_t s = 0; s < ns; ++s) {
    const int32_t i = r.instance_ids.data[s];
    if (i < 0 || i >= r.n_instances) throw std::invalid_argument("instance_ids is out of range");
  }
  for (const FloatBuffer* b : {&r.source_band_major, &r.direct_source_band_major}) {
    for (size_t k = 0; k < n_source; ++k) {
      if (!(b->data[k] >= 0.0f) || !std::isfinite(b->data[k])) {
        throw std::invalid_argument("SIF source cannot be negative");
      }
    }
  }
  for (size_t i = 0; i < ni; ++i) {
    const int32_t* g = r.grid_dims.data + 3 * i;
    const int64_t cells = static_cast<int64_t>(g[0]) * g[1] * g[2];
    if (g[0] < 1 || g[1] < 1 || g[2] < 1 || cells > r.cell_stride) {
      throw std::invalid_argument("SIF grid_dims must be positive and fit cell_stride");
    }
  }
  for (size_t k = 0; k < ni * 3; ++k) {
    if (!(r.bounds_max.data[k] > r.bounds_min.data[k]) || !std::isfinite(r.bounds_min.data[k]) ||
        !std::isfinite(r.bounds_max.data[k])) {
      throw std::invalid_argument("SIF bounds_max must exceed bounds_min on every axis");
    }
  }
  const auto n_orient =
      static_cast<size_t>(r.orientation_theta_bins) * static_cast<size_t>(r.orientation_phi_bins);
  const size_t n_cells =
      checked_element_count(ni, static_cast<size_t>(r.cell_stride), "SIF instance cell");
  const size_t n_spatial = checked_element_count(n_cells, nb, "SIF instance cell");
  const size_t n_joint_bins = checked_element_count(n_cells, n_orient, "SIF joint field");
  const size_t n_joint = checked_element_count(n_joint_bins, nb, "SIF joint field");
  const size_t n_orient_all = checked_element_count(ni, n_orient, "SIF joint field");
  check_allocation(
      (static_cast<double>(n_spatial) + 2.0 * n_joint + static_cast<double>(n_orient_all) * nb) *
              sizeof(double) +
          (static_cast<double>(n_cells) + n_joint_bins + n_orient_all) * sizeof(int32_t),
      "SIF source fields");
}

void sif_sample_order(const SifSourceAssemblyRequestView& r, std::vector<int32_t>& order,
                      std::vector<int32_t>& offsets) {
  const auto ni = static_cast<size_t>(r.n_instances);
  const auto ns = static_cast<size_t>(r.n_samples);
  // A stable counting sort by instance.
  offsets.assign(ni + 1, 0);
  order.assign(ns, 0);
  for (size_t s = 0; s < ns; ++s) ++offsets[static_cast<size_t>(r.instance_ids.data[s]) + 1];
  for (size_t i = 0; i < ni; ++i) offsets[i + 1] += offsets[i];
  std::vector<int32_t> next(offsets.begin(), offsets.end() - 1);
  for (size_t s = 0; s < ns; ++s) {
    order[static_cast<size_t>(next[static_cast<size_t>(r.instance_ids.data[s])]++)] =
        static_cast<int32_t>(s);
  }
}

SifAssemblySizes sif_assembly_sizes(const SifSourceAssemblyRequestView& r) {
  SifAssemblySizes z;
  const auto ni = static_cast<size_t>(r.n_instances);
  z.n_bands = static_cast<size_t>(r.n_bands);
  z.n_orient =
      static_cast<size_t>(r.orientation_theta_bins) * static_cast<size_t>(r.orientation_phi_bins);
  z.n_cells = ni * static_cast<size_t>(r.cell_stride);
  z.n_joint_bins = z.n_cells * z.n_orient;
  z.n_orient_all = ni * z.n_orient;
  return z;
}

SifAssemblyArrays sif_assembly_arrays(const SifSourceAssemblyRequestView& r) {
  SifAssemblyArrays a;
  a.n_samples = r.n_samples;
  a.n_bands = r.n_bands;
  a.cell_stride = r.cell_stride;
  a.theta_bins = r.orientation_theta_bins;
  a.phi_bins = r.orientation_phi_bins;
  a.positions = r.positions.data;
  a.normals = r.normals.data;
  a.bounds_min = r.bounds_min.data;
  a.bounds_max = r.bounds_max.data;
  a.grid_dims = r.grid_dims.data;
  a.source = r.source_band_major.data;
  a.direct_source = r.direct_source_band_major.data;
  a.item_end = static_cast<int64_t>(r.n_instances) * r.n_bands;
  return a;
}

void finish_sif_source_fields(const SifAssemblySizes& z, const std::vector<double>& spatial,
                              const std::vector<double>& orient, const std::vector<double>& joint,
                              const std::vector<double>& direct, SifSourceFields& out) {
  const size_t nb = z.n_bands;
  auto to_float = [](const std::vector<double>& v) {
    return std::vector<float>(v.begin(), v.end());
  };
  out.spatial_field = to_float(spatial);
  out.orientation_field = to_float(orient);
  out.joint_field = to_float(joint);
  out.direct_joint_field = to_float(direct);
  // Per-band totals from the binned sums of each instance, instances in order.
  std::vector<double> totals(nb, 0.0), direct_totals(nb, 0.0);
  for (size_t cell = 0; cell < z.n_cells; ++cell) {
    for (size_t b = 0; b < nb; ++b) totals[b] += spatial[cell * nb + b];
  }
  for (size_t k = 0; k < z.n_joint_bins; ++k) {
    for (size_t b = 0; b < nb; ++b) direct_totals[b] += direct[k * nb + b];
  }
  out.band_totals = to_float(totals);
  out.direct_band_totals = to_float(direct_totals);
}

SifSourceFields assemble_sif_source(const SifSourceAssemblyRequestView& r, int num_threads) {
  validate_sif_source_assembly(r);
  const SifAssemblySizes z = sif_assembly_sizes(r);
  const size_t nb = z.n_bands;
  // Sample order per instance, kept stable so the sums do not depend on the thread count.
  std::vector<int32_t> order, offsets;
  sif_sample_order(r, order, offsets);
  std::vector<double> spatial(z.n_cells * nb, 0.0), orient(z.n_orient_all * nb, 0.0),
      joint(z.n_joint_bins * nb, 0.0), direct(z.n_joint_bins * nb, 0.0);
  SifSourceFields out;
  out.spatial_counts.assign(z.n_cells, 0);
  out.orientation_counts.assign(z.n_orient_all, 0);
  out.joint_counts.assign(z.n_joint_bins, 0);
  SifAssemblyArrays a = sif_assembly_arrays(r);
  a.order = order.data();
  a.offsets = offsets.data();
  a.spatial = spatial.data();
  a.orientation = orient.data();
  a.joint = joint.data();
  a.direct = direct.data();
  a.spatial_counts = out.spatial_counts.data();
  a.orientation_counts = out.orientation_counts.data();
  a.joint_counts = out.joint_counts.data();
  // One instance per task: its items touch only its own cells and bins.
  parallel_for_chunks(static_cast<size_t>(r.n_instances), num_threads, 1,
                      [&](size_t begin, size_t end) {
                        for (size_t i = begin; i < end; ++i) {
                          for (size_t b = 0; b < nb; ++b) assemble_sif_item(a, i, b);
                        }
                      });
  finish_sif_source_fields(z, spatial, orient, joint, direct, out);
  out.execution = cpu_execution(WorkflowCode::SifSourceAssembly, "embree.cpu.sif_source_assembly");
  return out;
}

}  // namespace tesk::physiology
