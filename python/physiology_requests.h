#pragma once

// The physiology, process and SIF request dictionaries read into native requests, and the
// payload dictionaries built from their results: one reading shared by the CPU and the Vulkan
// module functions, so both accept the same keys with the same messages. Each request object
// owns the converted arrays its view borrows.

#include <pybind11/pybind11.h>

#include <vector>

#include "embree/surface_processes.h"
#include "physiology/processes.h"
#include "physiology/solver.h"
#include "python/frame.h"

namespace tesk::python {

/// A solve_physiology request: "apar" [element, band] and the per-element arrays.
struct PhysiologyRequest {
  carray<float> apar, temperature;
  std::vector<carray<float>> element_arrays, energy_arrays;
  physiology::PhysiologyRequestView view;
  bool dynamic = false;  ///< "dynamic_energy_balance": energy balance and temperature solve.
};
PhysiologyRequest read_physiology_request(const py::dict& request);
py::dict physiology_payload(const physiology::PhysiologyResult& result, bool energy_balance);

/// A static photosynthesis process request.
struct StaticProcessRequest {
  std::vector<carray<float>> spectra, floats;
  carray<int32_t> material_ids, active, fluorescent;
  physiology::PhotosynthesisProcessRequestView view;
};
StaticProcessRequest read_static_process_request(const py::dict& request);
py::dict static_process_payload(const physiology::PhotosynthesisProcessResult& r);

/// A dynamic photosynthesis process request.
struct DynamicProcessRequest {
  carray<int32_t> active, fluorescent;
  std::vector<carray<float>> floats, conditional;
  embree::DynamicPhotosynthesisRequest request;
};
DynamicProcessRequest read_dynamic_process_request(const py::dict& request);
py::dict dynamic_process_payload(const embree::DynamicPhotosynthesisResult& r);

/// An energy-balance process request.
struct EnergyBalanceProcessRequest {
  carray<int32_t> ids, active;
  std::vector<carray<float>> tables;
  carray<float> sw_top, sw_bottom;
  embree::EnergyBalanceProcessRequest request;
};
EnergyBalanceProcessRequest read_energy_balance_process_request(const py::dict& request);
py::dict energy_balance_process_payload(const embree::EnergyBalanceProcessResult& r);

/// A SIF finalization request.
struct SifProcessRequest {
  std::vector<carray<float>> spectra;
  carray<int32_t> material_ids, selected;
  carray<float> material_phi_f, element_phi_f;
  physiology::SifProcessRequestView view;
};
SifProcessRequest read_sif_process_request(const py::dict& request);
py::dict sif_process_payload(const physiology::SifProcessResult& r);

/// A SIF source assembly request.
struct SifAssemblyRequest {
  carray<float> positions, normals, source, direct, bounds_min, bounds_max;
  carray<int32_t> instance_ids, grid_dims;
  physiology::SifSourceAssemblyRequestView view;
};
SifAssemblyRequest read_sif_assembly_request(const py::dict& request);
py::dict sif_assembly_payload(const physiology::SifSourceFields& r);

}  // namespace tesk::python
