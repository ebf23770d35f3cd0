#pragma once

// Scene-level physiology that needs no ray tracing: the static photosynthesis process (absorbed
// spectra of a prior radiation run to sunlit and shaded photosynthesis per element), the SIF
// finalization (fluorescence yields and excitation spectra per element) and the SIF source
// assembly (per-sample source spectra binned into spatial, orientation and joint fields).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/host/execution.h"
#include "physiology/photosynthesis_element.h"
#include "physiology/sif_assembly_element.h"
#include "physiology/sif_binning.h"
#include "physiology/sif_element.h"
#include "physiology/solver.h"

namespace tesk::physiology {

/// A borrowed, read-only int32 array: pointer and element count.
struct IntBuffer {
  const int32_t* data = nullptr;  ///< First value; may be null only when size is 0.
  size_t size = 0;                ///< Number of values.
};

/// Borrowed view of one static photosynthesis request. Spectra are element-major
/// [n_elements x n_bands]; per-element arrays hold n_elements values, per-material arrays
/// n_materials. Flags are 0 or 1 (held as int32 so that any other value is seen and refused).
struct PhotosynthesisProcessRequestView {
  int32_t n_elements = 0;            ///< Elements (>= 1).
  int32_t n_bands = 0;               ///< Bands of the absorbed spectra (>= 1).
  int32_t n_materials = 0;           ///< Materials (>= 1).
  FloatBuffer absorbed_top;          ///< Absorbed on the top face (W m^-2 per band).
  FloatBuffer absorbed_bottom;       ///< Absorbed on the bottom face (W m^-2 per band).
  FloatBuffer absorbed_direct;       ///< Absorbed direct sunlight (W m^-2 per band).
  FloatBuffer wavelengths;           ///< Band centres (nm), n_bands values.
  FloatBuffer sunlit_fraction;       ///< Sunlit fraction 0-1.
  IntBuffer material_ids;            ///< Material of each element, -1 for none.
  IntBuffer material_active;         ///< Whether a material photosynthesises.
  IntBuffer material_fluorescent;    ///< Whether a material fluoresces.
  FloatBuffer temperature_sunlit;    ///< Sunlit leaf temperature (K).
  FloatBuffer temperature_shaded;    ///< Shaded leaf temperature (K).
  FloatBuffer vcmax25;               ///< Per material (umol m^-2 s^-1).
  FloatBuffer jmax25;                ///< Per material (umol m^-2 s^-1).
  FloatBuffer rd25;                  ///< Per material (umol m^-2 s^-1).
  FloatBuffer ball_berry_slope;      ///< Per material.
  FloatBuffer ball_berry_intercept;  ///< Per material (mol m^-2 s^-1).
  FloatBuffer quantum_yield;         ///< Per material, 0-1.
  float co2 = 0.0f;                  ///< Ambient CO2 (umol mol^-1), > 0.
  float relative_humidity = 0.0f;    ///< Fraction 0-1.
  int32_t max_iterations = 0;        ///< Ci iteration limit (>= 1).
  float tolerance = 0.0f;            ///< Ci tolerance (umol mol^-1), > 0.
};

/// Per-element outputs of the static process (n_elements each).
struct PhotosynthesisProcessResult {
  std::vector<float> temperature;         ///< f T_sunlit + (1 - f) T_shaded (K).
  std::vector<float> an;                  ///< Blended net assimilation (umol m^-2 s^-1).
  std::vector<float> gs;                  ///< Blended stomatal conductance (mol m^-2 s^-1).
  std::vector<float> phi_f;               ///< Blended fluorescence yield; 0 unless fluorescent.
  std::vector<float> apar;                ///< Absorbed PAR of both faces (umol m^-2 s^-1).
  std::vector<float> temperature_sunlit;  ///< Copied input (K).
  std::vector<float> temperature_shaded;  ///< Copied input (K).
  std::vector<float> sunlit_fraction;     ///< Copied input.
  std::vector<float> apar_sunlit;         ///< direct + apar_shaded.
  std::vector<float> apar_shaded;         ///< max(apar - f direct, 0).
  std::vector<float> an_sunlit;           ///< Sunlit solve.
  std::vector<float> an_shaded;           ///< Shaded solve.
  std::vector<uint8_t> active_mask;       ///< 1 for elements of an active material.
  std::vector<uint8_t> converged;         ///< 1 when both solves converged.
  ExecutionIdentity execution;            ///< embree / photosynthesis_process_static.
};

/// Photon flux per joule of a band centred at `wavelength_nm` when it lies in [400, 700] nm
/// (lambda 1e-9 / 0.11962656 1e6, umol J^-1), else 0.
float par_conversion_factor(float wavelength_nm);

/// Checks a static request in the documented order; throws std::invalid_argument with the
/// message of the first failed check.
void validate_photosynthesis_process(const PhotosynthesisProcessRequestView& request);

/// Validates, then solves every element's sunlit and shaded branches (the photosynthesis solve
/// of the leaf model, without energy balance) and blends them by the sunlit fraction. Elements
/// run in equal chunks on `num_threads` workers (below 1: the hardware concurrency). Throws
/// std::invalid_argument for an invalid request.
PhotosynthesisProcessResult execute_photosynthesis_process_static(
    const PhotosynthesisProcessRequestView& request, int num_threads = 0,
    const InterruptCheck& interrupt = {});

/// A static result with every output array sized to the request's elements and zeroed.
PhotosynthesisProcessResult sized_photosynthesis_result(
    const PhotosynthesisProcessRequestView& request);

/// par_conversion_factor of every band of the request.
std::vector<float> par_conversion_factors(const PhotosynthesisProcessRequestView& request);

/// The request's arrays, `par_factor` ([n_bands]) and the result's as
/// photosynthesis_static_element reads and writes them, over every element.
StaticElementArrays static_element_arrays(const PhotosynthesisProcessRequestView& request,
                                          const float* par_factor,
                                          PhotosynthesisProcessResult& out);

// ---- SIF -------------------------------------------------------------------------------------

/// Borrowed view of one SIF finalization request.
struct SifProcessRequestView {
  int32_t n_elements = 0;           ///< Elements (>= 1).
  int32_t n_bands = 0;              ///< Bands of the absorbed spectra (>= 1).
  int32_t n_selected = 0;           ///< Selected bands, 1..n_bands.
  int32_t n_materials = 0;          ///< Materials (>= 1).
  FloatBuffer absorbed_top;         ///< [n_elements x n_bands], element-major.
  FloatBuffer absorbed_bottom;      ///< [n_elements x n_bands], element-major.
  IntBuffer material_ids;           ///< [n_elements], -1 for none.
  FloatBuffer material_phi_f;       ///< [n_materials], 0-1.
  IntBuffer selected_band_indices;  ///< [n_selected], strictly increasing, in [0, n_bands).
  FloatBuffer element_phi_f;        ///< Optional [n_elements] override (size 0: absent).
};

/// Finalization result.
struct SifProcessResult {
  std::vector<float> phi_f;            ///< [n_elements] fluorescence quantum yield.
  std::vector<float> top_selected;     ///< [n_elements x n_selected], e n_selected + j.
  std::vector<float> bottom_selected;  ///< Same for the bottom face.
  int32_t n_selected = 0;              ///< Selected bands.
  ExecutionIdentity execution;         ///< embree / sif_process_finalization.
};

/// Checks a finalization request (messages in the documented order); throws
/// std::invalid_argument.
void validate_sif_process(const SifProcessRequestView& request);

/// A finalization result sized for `request` (zeros) with its selected-band count and no
/// execution record.
SifProcessResult sized_sif_result(const SifProcessRequestView& request);

/// The request's arrays and the result's as finalize_sif_element reads and writes them, over
/// every element (the element override null when absent).
SifElementArrays sif_element_arrays(const SifProcessRequestView& request, SifProcessResult& out);

/// Validates (messages in the documented order) and finalizes. Throws std::invalid_argument.
SifProcessResult finalize_sif_process(const SifProcessRequestView& request, int num_threads = 0);

/// Borrowed view of one SIF source assembly request.
struct SifSourceAssemblyRequestView {
  int32_t n_instances = 0;             ///< Instances (>= 1).
  int32_t n_samples = 0;               ///< Source samples (>= 1).
  int32_t n_bands = 0;                 ///< SIF bands (>= 1).
  int32_t cell_stride = 0;             ///< Cells reserved per instance (>= 1).
  int32_t orientation_theta_bins = 0;  ///< Zenith bins (>= 1).
  int32_t orientation_phi_bins = 0;    ///< Azimuth bins (>= 1).
  FloatBuffer positions;               ///< [n_samples x 3].
  FloatBuffer normals;                 ///< [n_samples x 3].
  IntBuffer instance_ids;              ///< [n_samples], in [0, n_instances).
  IntBuffer grid_dims;                 ///< [n_instances x 3] cells per axis.
  FloatBuffer source_band_major;       ///< [n_bands x n_samples]: band b of sample s at b n_s + s.
  FloatBuffer direct_source_band_major;  ///< Same layout: the directly escaping part.
  FloatBuffer bounds_min;                ///< [n_instances x 3].
  FloatBuffer bounds_max;                ///< [n_instances x 3].
};

/// Binned source fields (sums, not means), layouts as documented on each member.
struct SifSourceFields {
  std::vector<float> spatial_field;         ///< (i cell_stride + c) n_bands + b.
  std::vector<float> orientation_field;     ///< (i n_orient + o) n_bands + b.
  std::vector<float> joint_field;           ///< ((i cell_stride + c) n_orient + o) n_bands + b.
  std::vector<float> direct_joint_field;    ///< Same layout, direct source.
  std::vector<float> band_totals;           ///< [n_bands] total source of the binned samples.
  std::vector<float> direct_band_totals;    ///< [n_bands] total direct source.
  std::vector<int32_t> spatial_counts;      ///< i cell_stride + c.
  std::vector<int32_t> orientation_counts;  ///< i n_orient + o.
  std::vector<int32_t> joint_counts;        ///< (i cell_stride + c) n_orient + o.
  ExecutionIdentity execution;              ///< embree / sif_source_assembly.
};

/// Checks an assembly request (messages in the documented order) and the size of its fields;
/// throws std::invalid_argument (std::bad_alloc-like MemoryError for fields that cannot fit).
void validate_sif_source_assembly(const SifSourceAssemblyRequestView& request);

/// Counts of an assembly's fields: bands, orientation bins per instance, cells, joint bins and
/// orientation bins of all instances.
struct SifAssemblySizes {
  size_t n_bands = 0, n_orient = 0, n_cells = 0, n_joint_bins = 0, n_orient_all = 0;
};
SifAssemblySizes sif_assembly_sizes(const SifSourceAssemblyRequestView& request);

/// The samples grouped by instance in sample order (`order`) and each instance's start in it
/// (`offsets`, n_instances + 1 values).
void sif_sample_order(const SifSourceAssemblyRequestView& request, std::vector<int32_t>& order,
                      std::vector<int32_t>& offsets);

/// The request's arrays and scalars as assemble_sif_item reads them, over every item; the
/// order, offsets, sums and counts are the caller's to set.
SifAssemblyArrays sif_assembly_arrays(const SifSourceAssemblyRequestView& request);

/// The float fields of `out` from the double sums and the per-band totals (cells, then joint
/// bins, in order).
void finish_sif_source_fields(const SifAssemblySizes& sizes, const std::vector<double>& spatial,
                              const std::vector<double>& orientation,
                              const std::vector<double>& joint, const std::vector<double>& direct,
                              SifSourceFields& out);

/// Validates (messages in the documented order) and bins every sample. Instances are shared out
/// over `num_threads` workers; sums are accumulated in doubles in sample order per instance, so
/// the fields do not depend on the thread count. Throws std::invalid_argument.
SifSourceFields assemble_sif_source(const SifSourceAssemblyRequestView& request,
                                    int num_threads = 0);

}  // namespace tesk::physiology
