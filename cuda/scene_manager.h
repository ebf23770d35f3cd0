#pragma once

// The device-resident scene: the CPU scene manager's vocabulary and checks, plus the two-level
// hierarchy of core/bvh.h built on the host and copied to the device at every build.

#include "core/host/bvh_builder.h"
#include "core/surface_path.h"
#include "cuda/context.h"
#include "embree/scene_manager.h"

namespace tesk::cuda {

/// A scene on one CUDA device. Scene-building calls are those of the CPU scene manager (same
/// checks, same messages); build() and refit_ias() also rebuild and upload the device copy.
class CudaSceneManager : public embree::EmbreeSceneManager {
 public:
  explicit CudaSceneManager(const CudaContext& context);

  /// Builds the CPU structures, the per-mesh and instance hierarchies, and uploads them.
  void build();
  /// Recommits moved instances and rebuilds and uploads the instance level only.
  void refit_ias();
  /// Rebuilds and uploads the instance level from the current transforms.
  void build_ias();
  /// Frees every device buffer of the scene (the next build uploads again).
  void free_gpu();
  /// Whether the device holds the scene of the last build.
  bool is_uploaded() const { return m_uploaded; }

  /// The hierarchy as device pointers. Throws std::runtime_error
  /// "CUDA: build the scene before tracing rays" before the first build.
  bvh::BvhSceneView device_view() const;
  /// The host copy of the hierarchy the device holds.
  const bvh::BvhScene& host_bvh() const { return m_bvh; }
  const CudaContext& context() const { return *m_context; }

  /// Copies what the paths of a run read (the spectral buffer, materials, band wavelengths,
  /// per-primitive temperatures and SIF of the host context `host`) to the device and returns
  /// the context with device pointers; they stay valid until the next call or free_gpu().
  /// Throws std::runtime_error "CUDA: <label> - <error>" when an allocation or copy fails.
  PathContext upload_path_context(const PathContext& host);

 private:
  void upload_top_();

  const CudaContext* m_context;
  bvh::BvhScene m_bvh;
  DeviceBuffer m_top_nodes, m_top_items, m_instances, m_meshes, m_mesh_nodes, m_triangles,
      m_mesh_triangles, m_normals;
  DeviceBuffer m_spectral, m_materials, m_wavelengths, m_temperatures, m_sif;
  bool m_uploaded = false;
};

}  // namespace tesk::cuda
