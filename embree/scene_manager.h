#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/host/optical_media_table.h"
#include "core/host/scene_description.h"
#include "core/scene_types.h"
#include "core/vec.h"
#include "embree/embree_adapter.h"
#include "embree/scene_attachments.h"
#include "turbid/registry.h"

namespace tesk::embree {

/// One mesh in object space.
struct EmbreeMesh {
  std::vector<float3> vertices;  ///< Object-space positions.
  std::vector<float3> normals;   ///< Empty or one unit normal per vertex.
  std::vector<int3> triangles;   ///< Vertex indices per triangle.
  int32_t material_id = 0;       ///< Index into the material list (not checked).
  int32_t reserved = 0;          ///< Zero.
};

/// One placed copy of a mesh.
struct EmbreeInstance {
  int32_t mesh_id = 0;       ///< Index of the instanced mesh.
  float transform[12] = {};  ///< Row-major 3x4 object-to-world matrix [m00 m01 m02 tx, ...].
  uint32_t geometry_id = 0xFFFFFFFFu;  ///< Id in the top-level scene at the last build.
};

/// Per-instance lookup rebuilt by every build.
struct InstanceInfo {
  int32_t mesh_id = 0;           ///< Instanced mesh.
  int32_t material_id = 0;       ///< Material of that mesh.
  int32_t primitive_offset = 0;  ///< Global index of the instance's first triangle.
};

using tesk::HitRecord;

/// A batch of rays as flat arrays: origins and directions hold 3 floats per ray.
struct RayBatchView {
  const float* origins = nullptr;     ///< [count][3] world-space origins.
  const float* directions = nullptr;  ///< [count][3] directions.
  size_t count = 0;                   ///< Number of rays.
  float t_min = 1e-4f;                ///< Smallest accepted hit distance of every ray.
  float t_max = 1e30f;                ///< Largest accepted hit distance of every ray.
};

/// Column outputs of a batch query, one entry (normals: 3 floats) per ray; a null column is
/// not written (and the normals are not computed when no column needs them).
struct HitBatchView {
  float* t = nullptr;
  int32_t* instance_id = nullptr;
  int32_t* primitive_id = nullptr;
  int32_t* global_primitive_id = nullptr;
  bool* hit = nullptr;
  bool* is_back_face = nullptr;
  float* normal = nullptr;            ///< [count][3]
  float* geometric_normal = nullptr;  ///< [count][3]
  int32_t* material_id = nullptr;
};

/// World-space description of one global primitive.
struct PrimitiveGeometry {
  float3 vertex0{};          ///< First vertex (world).
  float3 vertex1{};          ///< Second vertex (world).
  float3 vertex2{};          ///< Third vertex (world).
  float3 normal{};           ///< Unit normal along (W1-W0)x(W2-W0); (0,0,1) when degenerate.
  float area = 0.0f;         ///< Triangle area (scene units squared).
  int32_t material_id = 0;   ///< Material of the mesh.
  int32_t instance_id = 0;   ///< Owning instance.
  int32_t primitive_id = 0;  ///< Triangle index within the mesh.
};

using tesk::SceneBounds;

/// Largest magnification of an instance transform's inverse (the inverse of the smallest scale
/// an instance may have): with it, rays inside the traced box stay within the float range the
/// ray tracer accepts once they are mapped into an instance's object space.
inline constexpr double kMaxInverseInstanceScale = 1e7;
/// Rays whose direction has a component beyond this magnitude miss.
inline constexpr float kMaxRayDirectionComponent = 1e10f;

/// Throws std::invalid_argument unless the 12 floats are a transform the ray tracer can take:
/// finite entries, a translation within +-kMaxSceneCoordinate and an invertible linear part
/// whose inverse magnifies by at most kMaxInverseInstanceScale (row-sum norm).
void validate_instance_transform(const float* transform);

/// A registration of a running read-only workflow on a scene (see
/// EmbreeSceneManager::acquire_use); the registration ends when the token is destroyed.
class SceneUse {
 public:
  SceneUse(SceneUse&& other) noexcept : m_state(other.m_state) { other.m_state = nullptr; }
  SceneUse(const SceneUse&) = delete;
  SceneUse& operator=(const SceneUse&) = delete;
  SceneUse& operator=(SceneUse&&) = delete;
  ~SceneUse() {
    if (m_state != nullptr) m_state->fetch_sub(1, std::memory_order_release);
  }

 private:
  friend class EmbreeSceneManager;
  explicit SceneUse(std::atomic<int>* state) : m_state(state) {}
  std::atomic<int>* m_state;
};

/// One single-ray query as the library received it (bench and debug aid).
struct RecordedQuery {
  int32_t occlusion = 0;  ///< 1 for an occlusion (shadow) test, 0 for a closest hit
  float origin[3] = {};   ///< ray origin, world space, after the move into the traced box
  float direction[3] = {};
  float t_min = 0.0f;  ///< near end of the interval
  float t_max = 0.0f;  ///< far end of the interval
};

/// A bounded record of the first `capacity` single-ray queries (any thread; the order between
/// threads is the order they claimed slots).
struct QueryLog {
  std::vector<RecordedQuery> queries;  ///< sized to the capacity before recording
  std::atomic<int64_t> next{0};        ///< slots claimed so far (may exceed the capacity)
  /// Number of recorded queries.
  int64_t size() const {
    return std::min<int64_t>(next.load(), static_cast<int64_t>(queries.size()));
  }
};

/// The CPU scene: meshes, instances, a two-level Embree acceleration structure (one bottom-level
/// scene per mesh, one instance per placed copy), the scene description and attached
/// per-primitive and per-instance data. Queries are const and thread-safe once built.
///
/// Workflows register themselves with `acquire_use()` for as long as they read the scene; any
/// number may run at once. Every mutating method refuses with std::runtime_error
/// "scene is in use by a running workflow and cannot be changed" while one is registered, and
/// a registration made while a change is in progress (from another thread) fails with
/// "scene is being changed and cannot be used until the change returns".
/// Version of the Embree library the module was compiled against ("3.13.5").
inline const char* embree_version() {
  return RTC_VERSION_STRING;
}

class EmbreeSceneManager {
 public:
  /// Creates an Embree device with the default configuration.
  /// Throws std::runtime_error "Failed to create Embree device".
  EmbreeSceneManager();
  ~EmbreeSceneManager();
  EmbreeSceneManager(const EmbreeSceneManager&) = delete;
  EmbreeSceneManager& operator=(const EmbreeSceneManager&) = delete;

  // ---- geometry ------------------------------------------------------------------------------

  /// Adds a mesh; returns its index. Throws std::invalid_argument for an empty vertex or
  /// triangle list, a normal count other than 0 or the vertex count, or a triangle that
  /// references a vertex outside the vertex buffer. Nothing is stored on failure.
  int add_mesh(std::vector<float3> vertices, std::vector<float3> normals,
               std::vector<int3> triangles, int material_id);

  /// Adds one instance with a row-major 3x4 transform (12 floats); returns its index.
  /// Throws std::out_of_range for an unknown mesh, std::invalid_argument for a null transform,
  /// one that validate_instance_transform refuses or one that places the mesh's traceable
  /// vertices beyond +-kMaxSceneCoordinate, std::overflow_error when the global primitive
  /// count would leave the int32 range.
  int add_instance(int mesh_id, const float* transform);
  /// Adds one instance translated by (tx, ty, tz) and uniformly scaled.
  int add_instance(int mesh_id, float tx, float ty, float tz, float scale);
  /// Appends `count` instances of one mesh from consecutive 12-float transforms; returns the
  /// index of the first. count = 0 returns the instance count and checks nothing. Every
  /// transform is checked as by add_instance ("instance transform <k>: ..." names the first
  /// bad one) before anything is stored.
  int add_instances_xform(int mesh_id, const float* transforms, size_t count);
  /// Replaces an instance's transform; in a built scene the instance geometry is updated and
  /// committed (the top-level scene picks it up at `refit_ias`).
  /// Throws std::runtime_error for an id outside the instance list and std::invalid_argument
  /// for a transform add_instance would refuse (the stored one is kept).
  void update_instance_transform(int id, const float* transform);

  /// Builds every per-mesh scene and the top-level scene, the bounding box and the
  /// instance lookup; increments the build revision.
  void build();
  /// Recommits the top-level scene after transform updates. Throws std::runtime_error when
  /// the scene has not been built.
  void refit_ias();
  /// Marks the scene as built without touching the acceleration structures.
  void build_reuse_gas();
  /// Clears materials, spectra, optical media, skies, emitter and modes (n_bands becomes 0);
  /// keeps the geometry, acceleration structures, sensor and built flag.
  void clear_for_reuse();

  // ---- description ---------------------------------------------------------------------------

  /// The description for direct setup by native code; it is not guarded against running
  /// workflows (the host goes through change_description).
  SceneDescription& description() { return m_description; }
  const SceneDescription& description() const { return m_description; }
  /// Calls change(description) as one guarded mutation: refused while a workflow uses the scene.
  template <typename Change>
  void change_description(Change&& change) {
    const ChangeGuard guard = begin_change_();
    change(m_description);
  }
  /// Validates and stores the optical turbid media (see validate_optical_turbid_media); the
  /// stored table is replaced only when validation succeeds.
  void set_optical_turbid_media(const std::vector<float>& leaf_area_density,
                                const std::vector<int32_t>& leaf_angle_types,
                                const std::vector<int32_t>& orientations,
                                const std::vector<float>& leaf_characteristic_lengths,
                                const std::vector<int32_t>& material_medium_ids);
  const OpticalMediaTable& optical_media() const { return m_optical_media; }

  /// Whether the next build should prepare per-primitive lookup tables (always available on
  /// the CPU; the flag is kept so that all backends accept the same calls).
  void set_populate_primitive_soa(bool enabled);
  bool populate_primitive_soa() const { return m_populate_primitive_soa; }

  // ---- use by workflows ------------------------------------------------------------------------

  /// Registers a read-only user of the scene until the returned token is destroyed; changes
  /// are refused meanwhile. Throws std::runtime_error while a change is in progress.
  SceneUse acquire_use() const;
  /// Number of registered users (for diagnostics and tests).
  int use_count() const { return std::max(m_use_state.load(std::memory_order_acquire), 0); }

  // ---- queries -------------------------------------------------------------------------------

  /// Closest hit of one ray in [max(t_min, 0), t_max]. Rays with non-finite components, a zero
  /// direction, a direction component beyond kMaxRayDirectionComponent or an empty interval
  /// miss. Any finite origin is accepted: one far outside the scene is first moved along the
  /// ray to the traced box (|x|, |y|, |z| <= 4 kMaxSceneCoordinate) and `t` is reported from the
  /// original origin. The scene must be built.
  HitRecord trace_ray(const float3& origin, const float3& direction, float t_min,
                      float t_max) const;
  /// trace_ray without the interpolated shading normal: `normal` is the geometric normal.
  /// For walks that only cross boundaries and scatter off geometric faces.
  HitRecord trace_ray_geometric(const float3& origin, const float3& direction, float t_min,
                                float t_max) const;
  /// Closest hits of `count` (at most kPacketWidth) rays traced together as one packet, for
  /// neighbouring rays such as the camera rays of adjacent pixels; hits[i] is what trace_ray
  /// gives for ray i (up to the last float bit of the library's packet arithmetic). With
  /// `normals` false the normals and the back-face flag keep their miss values.
  void trace_ray_packet(const float3* origins, const float3* directions, int count, float t_min,
                        float t_max, HitRecord* hits, bool normals = true) const;
  /// True when something lies between t = 0.0001 and t_max along the ray.
  bool trace_shadow(const float3& origin, const float3& direction, float t_max) const;
  /// Shadow tests of `count` (at most kPacketWidth) neighbouring rays in one packet:
  /// blocked[i] = trace_shadow(origins[i], directions[i], t_max).
  void trace_shadow_packet(const float3* origins, const float3* directions, int count, float t_max,
                           bool* blocked) const;
  /// Closest hits of a batch in ray order. Throws std::runtime_error
  /// "Embree: build the scene before tracing rays" when not built.
  std::vector<HitRecord> trace_closest(const std::vector<backend::Ray>& rays) const;

  /// Bench and debug aid: while set, trace_ray, trace_ray_geometric and trace_shadow append the
  /// ray they hand to the library (after the move into the traced box) to `log`, until it is
  /// full, so that a raw reference can trace exactly the same rays. Null turns it off; the
  /// caller keeps `log` alive meanwhile and sets it only while no workflow runs.
  void set_query_log(QueryLog* log) { m_query_log = log; }
  /// Batch query into `hits` (same length as `rays`) on `num_threads` workers (below 1: all
  /// hardware threads). Results are identical for every thread count.
  void trace_closest(std::span<const backend::Ray> rays, std::span<HitRecord> hits,
                     int num_threads) const;

  /// Batch query writing columns directly (no per-ray records), used by the host bindings.
  /// Same results and errors as the record form.
  void trace_closest(const RayBatchView& rays, const HitBatchView& hits, int num_threads) const;

  int num_meshes() const { return static_cast<int>(m_meshes.size()); }
  const std::vector<EmbreeMesh>& meshes() const { return m_meshes; }
  const std::vector<EmbreeInstance>& instances() const { return m_instances; }
  const std::vector<InstanceInfo>& instance_info() const { return m_instance_info; }
  /// Sum over instances of their mesh's triangle count.
  int n_primitives() const { return static_cast<int>(m_n_primitives); }
  /// Sum over meshes of their triangle count (each mesh once).
  int64_t total_triangles() const;
  int num_instances() const { return static_cast<int>(m_instances.size()); }
  std::vector<int> instance_triangle_counts() const;
  /// num_instances + 1 prefix sums of the instance triangle counts.
  std::vector<int> instance_primitive_offsets() const;
  /// World-space geometry of every global primitive, in global order.
  std::vector<PrimitiveGeometry> primitive_geometry() const;
  /// World-space geometry of triangle `triangle` of instance `instance` (both in range: not
  /// checked), as one entry of primitive_geometry().
  PrimitiveGeometry primitive_geometry(int instance, int triangle) const;
  std::vector<float> primitive_areas() const;
  std::vector<int32_t> primitive_material_ids() const;
  const SceneBounds& bounds() const { return m_bounds; }
  int build_revision() const { return m_build_revision; }
  bool is_built() const { return m_built; }

  // ---- resident turbid domains ------------------------------------------------------------------

  /// The committed registry snapshot. Safe to call from any thread, also during a commit: a
  /// reader sees the table before or after it, never a mixture.
  std::shared_ptr<const turbid::TurbidDomainStorage> turbid_domains() const {
    return m_turbid.load(std::memory_order_acquire);
  }
  /// Commits a change of the registry all at once: `changed` records inserted or replaced,
  /// `removed` ids retired, `relations` (when not null) as the committed relation table.
  /// Throws (stale handle, injected stage, a workflow using the scene) with nothing changed.
  /// `backend` names the backend in injected-failure messages; `prepare`, when set, receives
  /// the next snapshot after every stage passed and before it is published (a device backend
  /// uploads its copies there): when it throws, nothing is committed.
  void commit_turbid_domains(
      std::vector<turbid::TurbidDomainRecord> changed, const std::vector<uint64_t>& removed,
      std::shared_ptr<const turbid::TurbidSceneRelations> relations, const char* backend = "Embree",
      const std::function<void(const turbid::TurbidDomainStorage&)>& prepare = {});
  /// Commits new derived states all at once. Throws std::invalid_argument "duplicate TurbidState
  /// in atomic commit" (or the change refusal while a workflow uses the scene), nothing changed.
  void commit_turbid_states(std::vector<std::shared_ptr<const turbid::OwnedTurbidState>> states);
  /// Commits a built field (new, or a newer revision of a resident one). Throws
  /// std::invalid_argument "duplicate TurbidField in atomic commit", nothing changed.
  void commit_turbid_field(std::shared_ptr<turbid::TurbidField> field);
  /// Arms a one-shot failure at commit stage `stage` (an empty name disarms). Throws
  /// std::invalid_argument for a name that is not a commit stage.
  void fail_turbid_commit_if(const std::string& stage);
  /// The residency counters and per-domain entries of the committed registry.
  std::shared_ptr<const turbid::TurbidDomainStorage> turbid_residency_diagnostics() const {
    return turbid_domains();
  }

  // ---- attached per-primitive and per-instance data --------------------------------------------

  /// Every attached table, as plain vectors.
  const SceneAttachments& attachments() const { return m_attached; }

  void set_primitive_emissivities(std::vector<float> values);
  void clear_primitive_emissivities();
  const std::vector<float>& primitive_emissivities() const {
    return m_attached.primitive.emissivity;
  }
  void set_primitive_temperatures(std::vector<float> values);
  void clear_primitive_temperatures();
  const std::vector<float>& primitive_temperatures() const {
    return m_attached.primitive.temperature;
  }
  void set_primitive_sif_spectra(std::vector<float> values, int bands);
  void clear_primitive_sif_spectra();
  const std::vector<float>& primitive_sif_spectra() const { return m_attached.primitive.sif; }
  void set_instance_sif_spectra(std::vector<float> values, int bands);
  void clear_instance_sif_spectra();
  const std::vector<float>& instance_sif_spectra() const { return m_attached.instance.sif; }
  int n_sif_bands() const { return m_attached.n_sif_bands; }
  void set_instance_turbid_thermal_state(InstanceTurbidThermalState state);
  void clear_instance_turbid_thermal_state();
  const InstanceTurbidThermalState& instance_turbid_thermal_state() const {
    return m_attached.instance.turbid_thermal;
  }
  /// Installs the outcome of a joint thermo-physiology run in one change: per-primitive
  /// temperatures and emissivities (n_primitives each) and the joint state. Throws
  /// std::invalid_argument (lengths) or std::runtime_error (scene in use) with nothing changed.
  void commit_joint_thermal_state(std::vector<float> temperatures, std::vector<float> emissivities,
                                  JointThermoPhysiologyState state);
  const JointThermoPhysiologyState& joint_thermal_state() const { return m_attached.joint; }
  /// Stores the SIF source fields after checking dimensions, lengths and instance grids.
  void set_instance_sif_source_fields(InstanceSifSourceFields fields, int n_bands);
  void clear_instance_sif_source_fields();
  const InstanceSifSourceFields& instance_sif_source_fields() const {
    return m_attached.instance.sif_source;
  }

 private:
  // Holds the scene's change state for one mutation; see begin_change_.
  class ChangeGuard {
   public:
    explicit ChangeGuard(std::atomic<int>& state) : m_state(state) {}
    ChangeGuard(const ChangeGuard&) = delete;
    ChangeGuard& operator=(const ChangeGuard&) = delete;
    ~ChangeGuard() { m_state.store(0, std::memory_order_release); }

   private:
    std::atomic<int>& m_state;
  };
  // Claims the scene for one mutation (use state 0 -> -1); throws std::runtime_error while a
  // workflow uses it. Public mutators take it once; private helpers never do.
  ChangeGuard begin_change_();

  void build_scene_();
  void compute_aabb_();
  void release_scenes_();
  void check_mesh_id_(int mesh_id) const;
  // Checks a transform for mesh `mesh_id`: validate_instance_transform plus the world box of
  // the mesh's traceable vertices within +-kMaxSceneCoordinate. `what` prefixes messages.
  void check_instance_placement_(int mesh_id, const float* transform,
                                 const std::string& what) const;
  // Appends instances of a checked mesh id; checks the int32 primitive budget first.
  int append_instances_(int mesh_id, const float* transforms, size_t count);

  // Everything a hit needs about its instance, packed into one cache line so that the
  // post-processing of a hit costs one miss instead of a chain of them.
  struct alignas(64) InstanceHitData {
    const int3* triangles = nullptr;  // mesh triangles
    const float3* normals = nullptr;  // mesh vertex normals, or null
    float normal_matrix[9] = {};      // maps object normals to world (core/instance_normals.h)
    int32_t material_id = 0;
    int32_t primitive_offset = 0;
  };
  void refresh_hit_data_(size_t instance);
  // trace_ray, computing the normals and the back-face flag only when `normals` is set, the
  // interpolated shading normal only when `shading` is set as well.
  HitRecord trace_ray_(const float3& origin, const float3& direction, float t_min, float t_max,
                       bool normals, bool shading = true) const;
  // Whether n >= 1 directions lie in a narrow cone around the first (worth one packet).
  static bool coherent_directions_(const float3* d, int n);
  // Fills a hit record from the library's answer for a ray prepared with distance `shift`
  // (instance, primitive, object-space normal, barycentrics); the normals and the back-face
  // flag only when `normals` is set, the shading normal (else the geometric one) when `shading`.
  void finish_hit_(const float3& origin, const float3& direction, double shift, float tfar,
                   uint32_t inst, uint32_t prim, const float3& ng_obj, float u, float v,
                   bool normals, HitRecord& rec, bool shading = true) const;

  // Use state: the number of registered workflows (> 0), 0 when idle, -1 during a change.
  mutable std::atomic<int> m_use_state{0};
  QueryLog* m_query_log = nullptr;  ///< Recording of single-ray queries; null when off.
  RTCDevice m_device = nullptr;
  std::vector<InstanceHitData> m_hit_data;  ///< One per instance, rebuilt by every build.
  std::string m_last_error;                 ///< Last message of Embree's error callback.
  RTCScene m_top = nullptr;
  std::vector<RTCScene> m_mesh_scenes;
  std::vector<EmbreeMesh> m_meshes;
  // Per mesh, the object-space box of the vertices the ray tracer keeps (finite, within its
  // float range); empty (lo > hi) when there are none.
  std::vector<std::pair<float3, float3>> m_mesh_boxes;
  std::vector<EmbreeInstance> m_instances;
  std::vector<InstanceInfo> m_instance_info;
  int64_t m_n_primitives = 0;
  bool m_built = false;
  bool m_populate_primitive_soa = false;
  int m_build_revision = 0;
  SceneBounds m_bounds{};
  SceneDescription m_description;
  OpticalMediaTable m_optical_media;

  SceneAttachments m_attached;
  std::atomic<std::shared_ptr<const turbid::TurbidDomainStorage>> m_turbid{
      std::make_shared<const turbid::TurbidDomainStorage>()};
  std::string m_turbid_armed_stage;  ///< Commit stage armed to fail once; empty when none.
};

}  // namespace tesk::embree
