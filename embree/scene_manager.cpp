#include "embree/scene_manager.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "core/host/parallel.h"
#include "core/instance_normals.h"
#include "core/transport_constants.h"
#include "turbid/state_ops.h"

namespace tesk::embree {
namespace {

// The commit stages of a field commit at which a failure can be injected, in checking order.
constexpr const char* kFieldCommitStages[] = {"field_table_stage", "field_table_replace",
                                              "field_removal"};

constexpr int64_t kMaxPrimitives = std::numeric_limits<int32_t>::max();

// Embree reports errors through this callback; the message is kept and raised by the next
// check of the device error state (throwing through Embree's C interface is not safe).
void device_error_(void* user, RTCError code, const char* message) {
  if (code == RTC_ERROR_NONE) return;
  auto* last = static_cast<std::string*>(user);
  *last = message != nullptr ? message : "unknown Embree error";
}

void check_device_(RTCDevice device, std::string& last_error, const char* what) {
  const RTCError code = rtcGetDeviceError(device);
  if (code != RTC_ERROR_NONE) {
    std::string message = std::string("Embree error during ") + what;
    if (!last_error.empty()) message += ": " + last_error;
    last_error.clear();
    if (code == RTC_ERROR_OUT_OF_MEMORY) throw std::bad_alloc();
    throw std::runtime_error(message);
  }
}

// Embree drops triangles with a vertex coordinate beyond this magnitude (or a non-finite one)
// and refuses rays whose origin or direction components exceed it.
constexpr float kEmbreeLargeFloat = 1.844e18f;
// Rays are handed to Embree only with their origin inside [-kTraceBox, kTraceBox]^3. With the
// scene inside +-kMaxSceneCoordinate and instance inverses bounded by kMaxInverseInstanceScale,
// the ray mapped into any instance's object space stays within 1e7 * 5e10 = 5e17, and its
// direction within 1e7 * 1e10 = 1e17, both inside kEmbreeLargeFloat.
constexpr float kTraceBox = 4.0f * kMaxSceneCoordinate;
static_assert(kMaxInverseInstanceScale * (kTraceBox + kMaxSceneCoordinate) < kEmbreeLargeFloat);
static_assert(kMaxInverseInstanceScale * kMaxRayDirectionComponent < kEmbreeLargeFloat);

bool traceable_vertex_(const float3& v) {
  return std::fabs(v.x) < kEmbreeLargeFloat && std::fabs(v.y) < kEmbreeLargeFloat &&
         std::fabs(v.z) < kEmbreeLargeFloat;  // false for NaN as well
}

// A ray as Embree gets it: origin inside the traced box, interval relative to that origin, and
// the distance `shift` from the caller's origin to it.
struct TracedRay {
  float3 origin{};
  float t_min = 0.0f;
  float t_max = 0.0f;
  double shift = 0.0;
};

// Appends one query to a recording unless it is full.
void record_query_(QueryLog& log, bool occlusion, const float3& o, const float3& d, float t_min,
                   float t_max) {
  const int64_t slot = log.next.fetch_add(1, std::memory_order_relaxed);
  if (slot >= static_cast<int64_t>(log.queries.size())) return;
  log.queries[slot] =
      RecordedQuery{occlusion ? 1 : 0, {o.x, o.y, o.z}, {d.x, d.y, d.z}, t_min, t_max};
}

// Prepares a ray for Embree; false when it cannot hit anything (non-finite or zero direction,
// direction components beyond kMaxRayDirectionComponent, empty interval, or a far origin whose
// ray misses the traced box within [t_min, t_max]). A negative t_min counts as 0.
bool prepare_ray_(const float3& o, const float3& d, float t_min, float t_max, TracedRay& out) {
  if (!is_finite(o) || !is_finite(d) || std::isnan(t_min) || std::isnan(t_max)) return false;
  t_min = std::max(t_min, 0.0f);  // Embree asserts a non-negative start
  if (t_min > t_max) return false;
  if (d.x == 0.0f && d.y == 0.0f && d.z == 0.0f) return false;
  if (std::fabs(d.x) > kMaxRayDirectionComponent || std::fabs(d.y) > kMaxRayDirectionComponent ||
      std::fabs(d.z) > kMaxRayDirectionComponent) {
    return false;
  }
  out = TracedRay{o, t_min, t_max, 0.0};
  if (std::fabs(o.x) <= kTraceBox && std::fabs(o.y) <= kTraceBox && std::fabs(o.z) <= kTraceBox) {
    return true;
  }
  // Slab test against the traced box in double precision; the origin is outside, so the entry
  // distance is positive and the ray starts again on the box surface.
  const double oc[3] = {o.x, o.y, o.z}, dc[3] = {d.x, d.y, d.z};
  double enter = 0.0, leave = std::numeric_limits<double>::infinity();
  for (int k = 0; k < 3; ++k) {
    if (dc[k] == 0.0) {
      if (std::fabs(oc[k]) > kTraceBox) return false;
      continue;
    }
    double a = (-kTraceBox - oc[k]) / dc[k], b = (kTraceBox - oc[k]) / dc[k];
    if (a > b) std::swap(a, b);
    enter = std::max(enter, a);
    leave = std::min(leave, b);
  }
  if (enter > leave || enter > static_cast<double>(t_max) || leave < static_cast<double>(t_min)) {
    return false;
  }
  float3 moved;
  float* m = &moved.x;
  for (int k = 0; k < 3; ++k) {
    m[k] = static_cast<float>(
        std::clamp(oc[k] + enter * dc[k], -double{kTraceBox}, double{kTraceBox}));
  }
  out.origin = moved;
  out.shift = enter;
  out.t_min = static_cast<float>(std::max(static_cast<double>(t_min) - enter, 0.0));
  out.t_max = static_cast<float>(static_cast<double>(t_max) - enter);
  return true;
}

}  // namespace

void validate_instance_transform(const float* m) {
  for (int i = 0; i < 12; ++i) {
    if (!std::isfinite(m[i])) throw std::invalid_argument("instance transform must be finite");
  }
  if (std::fabs(m[3]) > kMaxSceneCoordinate || std::fabs(m[7]) > kMaxSceneCoordinate ||
      std::fabs(m[11]) > kMaxSceneCoordinate) {
    throw std::invalid_argument("instance transform translation must lie within +-1e10");
  }
  // Inverse of the linear part by cofactors, in double so that entries near the float limits
  // neither overflow nor underflow.
  const double a = m[0], b = m[1], c = m[2], d = m[4], e = m[5], f = m[6], g = m[8], h = m[9],
               k = m[10];
  const double cof[9] = {e * k - f * h, c * h - b * k, b * f - c * e, f * g - d * k, a * k - c * g,
                         c * d - a * f, d * h - e * g, b * g - a * h, a * e - b * d};
  const double det = a * cof[0] + b * cof[3] + c * cof[6];
  bool invertible = std::isfinite(det) && det != 0.0;
  for (int row = 0; invertible && row < 3; ++row) {
    const double norm =
        (std::fabs(cof[3 * row]) + std::fabs(cof[3 * row + 1]) + std::fabs(cof[3 * row + 2])) /
        std::fabs(det);
    invertible = std::isfinite(norm) && norm <= kMaxInverseInstanceScale;
  }
  if (!invertible) {
    throw std::invalid_argument(
        "instance transform must be invertible with no axis scaled below 1e-7 (singular or "
        "nearly singular linear part)");
  }
}

EmbreeSceneManager::EmbreeSceneManager() {
  m_device = rtcNewDevice(nullptr);
  if (m_device == nullptr) throw std::runtime_error("Failed to create Embree device");
  rtcSetDeviceErrorFunction(m_device, device_error_, &m_last_error);
}

EmbreeSceneManager::~EmbreeSceneManager() {
  release_scenes_();
  if (m_device != nullptr) rtcReleaseDevice(m_device);
}

void EmbreeSceneManager::release_scenes_() {
  for (RTCScene& s : m_mesh_scenes) {
    if (s != nullptr) rtcReleaseScene(s);
    s = nullptr;
  }
  m_mesh_scenes.clear();
  if (m_top != nullptr) rtcReleaseScene(m_top);
  m_top = nullptr;
}

int EmbreeSceneManager::add_mesh(std::vector<float3> vertices, std::vector<float3> normals,
                                 std::vector<int3> triangles, int material_id) {
  const ChangeGuard guard = begin_change_();
  if (vertices.empty()) throw std::invalid_argument("mesh must contain at least one vertex");
  if (triangles.empty()) throw std::invalid_argument("mesh must contain at least one triangle");
  if (!normals.empty() && normals.size() != vertices.size()) {
    throw std::invalid_argument("mesh normals must be empty or have one entry per vertex");
  }
  if (vertices.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()) ||
      triangles.size() > static_cast<size_t>(kMaxPrimitives)) {
    throw std::overflow_error("mesh is too large for int32 vertex and triangle indices");
  }
  const int64_t n_vertices = static_cast<int64_t>(vertices.size());
  for (size_t i = 0; i < triangles.size(); ++i) {
    const int3& t = triangles[i];
    if (t.x < 0 || t.y < 0 || t.z < 0 || t.x >= n_vertices || t.y >= n_vertices ||
        t.z >= n_vertices) {
      throw std::invalid_argument("mesh triangle " + std::to_string(i) +
                                  " references a vertex outside the vertex buffer");
    }
  }
  float3 lo{kEmbreeLargeFloat, kEmbreeLargeFloat, kEmbreeLargeFloat};
  float3 hi{-kEmbreeLargeFloat, -kEmbreeLargeFloat, -kEmbreeLargeFloat};
  for (const float3& v : vertices) {
    if (!traceable_vertex_(v)) continue;  // Embree drops its triangles
    lo = min3(lo, v);
    hi = max3(hi, v);
  }
  m_mesh_boxes.reserve(m_meshes.size() + 1);
  EmbreeMesh mesh;
  mesh.vertices = std::move(vertices);
  mesh.normals = std::move(normals);
  mesh.triangles = std::move(triangles);
  mesh.material_id = material_id;
  m_meshes.push_back(std::move(mesh));
  m_mesh_boxes.emplace_back(lo, hi);
  return static_cast<int>(m_meshes.size()) - 1;
}

EmbreeSceneManager::ChangeGuard EmbreeSceneManager::begin_change_() {
  int idle = 0;
  if (!m_use_state.compare_exchange_strong(idle, -1, std::memory_order_acquire)) {
    throw std::runtime_error("scene is in use by a running workflow and cannot be changed");
  }
  return ChangeGuard(m_use_state);
}

void EmbreeSceneManager::commit_turbid_domains(
    std::vector<turbid::TurbidDomainRecord> changed, const std::vector<uint64_t>& removed,
    std::shared_ptr<const turbid::TurbidSceneRelations> relations, const char* backend,
    const std::function<void(const turbid::TurbidDomainStorage&)>& prepare) {
  const ChangeGuard guard = begin_change_();
  const auto current = m_turbid.load(std::memory_order_acquire);
  auto next = std::make_shared<const turbid::TurbidDomainStorage>(turbid::next_storage(
      *current, std::move(changed), removed, std::move(relations), m_turbid_armed_stage, backend));
  if (prepare) prepare(*next);
  m_turbid.store(std::move(next), std::memory_order_release);
}

void EmbreeSceneManager::commit_turbid_states(
    std::vector<std::shared_ptr<const turbid::OwnedTurbidState>> states) {
  const ChangeGuard guard = begin_change_();
  const auto current = m_turbid.load(std::memory_order_acquire);
  auto next = std::make_shared<const turbid::TurbidDomainStorage>(
      turbid::storage_with_states(*current, states));
  m_turbid.store(std::move(next), std::memory_order_release);
}

void EmbreeSceneManager::commit_turbid_field(std::shared_ptr<turbid::TurbidField> field) {
  const ChangeGuard guard = begin_change_();
  const auto current = m_turbid.load(std::memory_order_acquire);
  for (const char* stage : kFieldCommitStages) {
    if (!m_turbid_armed_stage.empty() && m_turbid_armed_stage == stage) {
      m_turbid_armed_stage.clear();
      throw std::runtime_error(std::string("Injected Embree Turbid commit failure: ") + stage);
    }
  }
  field->buffer_generation_id = current->counters.generation_count + 1;
  auto next = turbid::storage_with_field(*current, std::move(field));
  ++next.counters.allocation_count;
  ++next.counters.generation_count;
  m_turbid.store(std::make_shared<const turbid::TurbidDomainStorage>(std::move(next)),
                 std::memory_order_release);
}

void EmbreeSceneManager::fail_turbid_commit_if(const std::string& stage) {
  const auto known = [&](const auto& stages) {
    return std::find_if(std::begin(stages), std::end(stages),
                        [&](const char* s) { return stage == s; }) != std::end(stages);
  };
  if (!stage.empty() && !known(turbid::kCommitStages) && !known(kFieldCommitStages)) {
    throw std::invalid_argument("unknown Turbid commit stage: " + stage);
  }
  m_turbid_armed_stage = stage;
}

SceneUse EmbreeSceneManager::acquire_use() const {
  int state = m_use_state.load(std::memory_order_relaxed);
  do {
    if (state < 0) {
      throw std::runtime_error(
          "scene is being changed and cannot be used until the change returns");
    }
  } while (!m_use_state.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed));
  return SceneUse(&m_use_state);
}

void EmbreeSceneManager::check_instance_placement_(int mesh_id, const float* transform,
                                                   const std::string& what) const {
  try {
    validate_instance_transform(transform);
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(what + e.what());
  }
  const auto& [lo, hi] = m_mesh_boxes[mesh_id];
  if (!(lo.x <= hi.x)) return;  // nothing traceable to place
  for (int corner = 0; corner < 8; ++corner) {
    const float3 c{(corner & 1) ? hi.x : lo.x, (corner & 2) ? hi.y : lo.y,
                   (corner & 4) ? hi.z : lo.z};
    const float* m = transform;
    // In double: the product of a large vertex and a large factor may exceed the float range.
    for (int row = 0; row < 3; ++row) {
      const double w = double{m[4 * row]} * c.x + double{m[4 * row + 1]} * c.y +
                       double{m[4 * row + 2]} * c.z + m[4 * row + 3];
      if (!(std::fabs(w) <= kMaxSceneCoordinate)) {
        throw std::invalid_argument(what +
                                    "instance would place mesh vertices beyond +-1e10 scene "
                                    "units, outside the range single precision can trace");
      }
    }
  }
}

void EmbreeSceneManager::check_mesh_id_(int mesh_id) const {
  if (mesh_id < 0 || mesh_id >= num_meshes()) {
    throw std::out_of_range("instance mesh id " + std::to_string(mesh_id) + " is outside [0, " +
                            std::to_string(num_meshes()) + ")");
  }
}

int EmbreeSceneManager::append_instances_(int mesh_id, const float* transforms, size_t count) {
  const int64_t per_instance = static_cast<int64_t>(m_meshes[mesh_id].triangles.size());
  if (count > static_cast<size_t>(kMaxPrimitives) - m_instances.size() ||
      static_cast<int64_t>(count) > (kMaxPrimitives - m_n_primitives) / per_instance) {
    throw std::overflow_error(
        "scene would exceed 2147483647 global primitives (int32 primitive index range)");
  }
  const int first = num_instances();
  m_instances.reserve(m_instances.size() + count);
  for (size_t k = 0; k < count; ++k) {
    EmbreeInstance instance;
    instance.mesh_id = mesh_id;
    std::memcpy(instance.transform, transforms + 12 * k, sizeof(instance.transform));
    m_instances.push_back(instance);
  }
  m_n_primitives += per_instance * static_cast<int64_t>(count);
  return first;
}

int EmbreeSceneManager::add_instance(int mesh_id, const float* transform) {
  const ChangeGuard guard = begin_change_();
  check_mesh_id_(mesh_id);
  if (transform == nullptr) throw std::invalid_argument("instance transform must not be null");
  check_instance_placement_(mesh_id, transform, "");
  return append_instances_(mesh_id, transform, 1);
}

int EmbreeSceneManager::add_instance(int mesh_id, float tx, float ty, float tz, float scale) {
  const float m[12] = {scale, 0, 0, tx, 0, scale, 0, ty, 0, 0, scale, tz};
  return add_instance(mesh_id, m);
}

int EmbreeSceneManager::add_instances_xform(int mesh_id, const float* transforms, size_t count) {
  const ChangeGuard guard = begin_change_();
  if (count == 0) return num_instances();
  check_mesh_id_(mesh_id);
  if (transforms == nullptr) throw std::invalid_argument("instance transforms must not be null");
  for (size_t k = 0; k < count; ++k) {
    check_instance_placement_(mesh_id, transforms + 12 * k,
                              "instance transform " + std::to_string(k) + ": ");
  }
  return append_instances_(mesh_id, transforms, count);
}

namespace {

// Embree takes a 4x4 column-major matrix; ours is a row-major 3x4.
void to_column_major_(const float* m, float out[16]) {
  const float cm[16] = {m[0], m[4], m[8],  0.0f, m[1], m[5], m[9],  0.0f,
                        m[2], m[6], m[10], 0.0f, m[3], m[7], m[11], 1.0f};
  std::memcpy(out, cm, sizeof(cm));
}

}  // namespace

void EmbreeSceneManager::update_instance_transform(int id, const float* transform) {
  const ChangeGuard guard = begin_change_();
  if (id < 0 || id >= num_instances()) {
    throw std::runtime_error("update_instance_transform: id out of range");
  }
  if (transform == nullptr) throw std::invalid_argument("instance transform must not be null");
  check_instance_placement_(m_instances[id].mesh_id, transform, "");
  EmbreeInstance& instance = m_instances[id];
  std::memcpy(instance.transform, transform, sizeof(instance.transform));
  if (static_cast<size_t>(id) < m_hit_data.size()) refresh_hit_data_(static_cast<size_t>(id));
  if (m_built && m_top != nullptr && instance.geometry_id != RTC_INVALID_GEOMETRY_ID) {
    RTCGeometry geometry = rtcGetGeometry(m_top, instance.geometry_id);
    if (geometry == nullptr) {
      throw std::runtime_error("update_instance_transform: rtcGetGeometry returned null");
    }
    float cm[16];
    to_column_major_(instance.transform, cm);
    rtcSetGeometryTransform(geometry, 0, RTC_FORMAT_FLOAT4X4_COLUMN_MAJOR, cm);
    rtcCommitGeometry(geometry);
    check_device_(m_device, m_last_error, "instance update");
  }
}

void EmbreeSceneManager::refresh_hit_data_(size_t i) {
  const EmbreeInstance& instance = m_instances[i];
  const EmbreeMesh& mesh = m_meshes[instance.mesh_id];
  InstanceHitData& d = m_hit_data[i];
  d.triangles = mesh.triangles.data();
  d.normals = mesh.normals.empty() ? nullptr : mesh.normals.data();
  instance_normal_matrix(instance.transform, d.normal_matrix);
  d.material_id = mesh.material_id;
  d.primitive_offset = m_instance_info[i].primitive_offset;
}

void EmbreeSceneManager::build_scene_() {
  m_built = false;
  release_scenes_();
  m_instance_info.clear();
  m_hit_data.clear();
  m_top = rtcNewScene(m_device);
  m_mesh_scenes.assign(m_meshes.size(), nullptr);
  for (size_t i = 0; i < m_meshes.size(); ++i) {
    const EmbreeMesh& mesh = m_meshes[i];
    RTCScene scene = rtcNewScene(m_device);
    m_mesh_scenes[i] = scene;
    RTCGeometry geometry = rtcNewGeometry(m_device, RTC_GEOMETRY_TYPE_TRIANGLE);
    // New geometry buffers are over-allocated by Embree for its 16-byte vertex loads.
    auto* vertices = static_cast<float3*>(
        rtcSetNewGeometryBuffer(geometry, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                sizeof(float3), mesh.vertices.size()));
    auto* indices = static_cast<int3*>(rtcSetNewGeometryBuffer(
        geometry, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, sizeof(int3), mesh.triangles.size()));
    if (vertices == nullptr || indices == nullptr) {
      rtcReleaseGeometry(geometry);
      check_device_(m_device, m_last_error, "mesh buffer allocation");
      throw std::bad_alloc();
    }
    std::copy(mesh.vertices.begin(), mesh.vertices.end(), vertices);
    std::copy(mesh.triangles.begin(), mesh.triangles.end(), indices);
    set_geometry_mask_all(geometry);
    rtcCommitGeometry(geometry);
    rtcAttachGeometry(scene, geometry);
    rtcReleaseGeometry(geometry);
    rtcCommitScene(scene);
    check_device_(m_device, m_last_error, "mesh build");
  }
  m_instance_info.reserve(m_instances.size());
  int64_t offset = 0;
  for (EmbreeInstance& instance : m_instances) {
    RTCGeometry geometry = rtcNewGeometry(m_device, RTC_GEOMETRY_TYPE_INSTANCE);
    rtcSetGeometryInstancedScene(geometry, m_mesh_scenes[instance.mesh_id]);
    float cm[16];
    to_column_major_(instance.transform, cm);
    rtcSetGeometryTransform(geometry, 0, RTC_FORMAT_FLOAT4X4_COLUMN_MAJOR, cm);
    set_geometry_mask_all(geometry);
    rtcCommitGeometry(geometry);
    instance.geometry_id = rtcAttachGeometry(m_top, geometry);
    rtcReleaseGeometry(geometry);
    const EmbreeMesh& mesh = m_meshes[instance.mesh_id];
    m_instance_info.push_back(
        InstanceInfo{instance.mesh_id, mesh.material_id, static_cast<int32_t>(offset)});
    offset += static_cast<int64_t>(mesh.triangles.size());
  }
  m_hit_data.resize(m_instances.size());
  for (size_t i = 0; i < m_instances.size(); ++i) refresh_hit_data_(i);
  rtcCommitScene(m_top);
  check_device_(m_device, m_last_error, "scene build");
  m_built = true;
}

void EmbreeSceneManager::compute_aabb_() {
  m_bounds = SceneBounds{};
  if (m_instances.empty()) return;
  float3 lo{1e30f, 1e30f, 1e30f}, hi{-1e30f, -1e30f, -1e30f};
  for (const EmbreeInstance& instance : m_instances) {
    const auto& [mlo, mhi] = m_mesh_boxes[instance.mesh_id];
    if (!(mlo.x <= mhi.x)) continue;  // no traceable vertex
    for (int corner = 0; corner < 8; ++corner) {
      const float3 c{(corner & 1) ? mhi.x : mlo.x, (corner & 2) ? mhi.y : mlo.y,
                     (corner & 4) ? mhi.z : mlo.z};
      const float3 w = transform_point(instance.transform, c);
      lo = min3(lo, w);
      hi = max3(hi, w);
    }
  }
  if (!(lo.x <= hi.x)) return;  // nothing traceable: the box stays zero
  m_bounds = SceneBounds{hi.z, lo.z, lo.x, hi.x, lo.y, hi.y};
}

void EmbreeSceneManager::build() {
  const ChangeGuard guard = begin_change_();
  build_scene_();
  compute_aabb_();
  ++m_build_revision;
}

void EmbreeSceneManager::refit_ias() {
  const ChangeGuard guard = begin_change_();
  if (!m_built || m_top == nullptr) {
    throw std::runtime_error("refit_ias: scene not built. Call build() first.");
  }
  rtcCommitScene(m_top);
  check_device_(m_device, m_last_error, "scene refit");
  compute_aabb_();
  ++m_build_revision;
}

void EmbreeSceneManager::build_reuse_gas() {
  const ChangeGuard guard = begin_change_();
  m_built = true;
}

void EmbreeSceneManager::set_populate_primitive_soa(bool enabled) {
  const ChangeGuard guard = begin_change_();
  m_populate_primitive_soa = enabled;
}

void EmbreeSceneManager::clear_for_reuse() {
  const ChangeGuard guard = begin_change_();
  m_description.clear_for_reuse();
  m_optical_media = {};
}

void EmbreeSceneManager::set_optical_turbid_media(
    const std::vector<float>& leaf_area_density, const std::vector<int32_t>& leaf_angle_types,
    const std::vector<int32_t>& orientations, const std::vector<float>& leaf_characteristic_lengths,
    const std::vector<int32_t>& material_medium_ids) {
  const ChangeGuard guard = begin_change_();
  m_optical_media = validate_optical_turbid_media(leaf_area_density, leaf_angle_types, orientations,
                                                  leaf_characteristic_lengths, material_medium_ids,
                                                  m_description.materials().size());
}

HitRecord EmbreeSceneManager::trace_ray(const float3& origin, const float3& direction, float t_min,
                                        float t_max) const {
  return trace_ray_(origin, direction, t_min, t_max, true);
}

HitRecord EmbreeSceneManager::trace_ray_geometric(const float3& origin, const float3& direction,
                                                  float t_min, float t_max) const {
  return trace_ray_(origin, direction, t_min, t_max, true, false);
}

bool EmbreeSceneManager::coherent_directions_(const float3* d, int n) {
  // Within about 8 degrees of the first ray: neighbouring camera rays, parallel sun rays.
  constexpr float kCos2 = 0.99f * 0.99f;
  const float l0 = dot(d[0], d[0]);
  for (int i = 1; i < n; ++i) {
    const float c = dot(d[i], d[0]);
    if (!(c > 0.0f) || !(c * c >= kCos2 * l0 * dot(d[i], d[i]))) return false;
  }
  return true;
}

HitRecord EmbreeSceneManager::trace_ray_(const float3& origin, const float3& direction, float t_min,
                                         float t_max, bool normals, bool shading) const {
  HitRecord rec;
  rec.t = t_max;
  TracedRay ray;
  if (m_top == nullptr || !prepare_ray_(origin, direction, t_min, t_max, ray)) return rec;
  if (m_query_log != nullptr) [[unlikely]]
    record_query_(*m_query_log, false, ray.origin, direction, ray.t_min, ray.t_max);
  RTCRayHit rh;
  init_ray_hit(rh, ray.origin, direction, ray.t_min, ray.t_max);
  intersect1(m_top, rh);
  if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) return rec;
  finish_hit_(origin, direction, ray.shift, rh.ray.tfar, rh.hit.instID[0], rh.hit.primID,
              float3{rh.hit.Ng_x, rh.hit.Ng_y, rh.hit.Ng_z}, rh.hit.u, rh.hit.v, normals, rec,
              shading);
  return rec;
}

void EmbreeSceneManager::finish_hit_(const float3& origin, const float3& direction, double shift,
                                     float tfar, uint32_t inst, uint32_t prim, const float3& ng_obj,
                                     float u, float v, bool normals, HitRecord& rec,
                                     bool shading) const {
  rec.hit = true;
  rec.t = shift == 0.0 ? tfar : static_cast<float>(shift + tfar);
  rec.position = origin + rec.t * direction;
  if (inst >= m_hit_data.size()) {
    // Cannot happen with the scenes built here; keep a sane record if it does.
    rec.geometric_normal = normalize(ng_obj);
    rec.normal = rec.geometric_normal;
    return;
  }
  const InstanceHitData& data = m_hit_data[inst];
  const float* m = data.normal_matrix;
  rec.material_id = data.material_id;
  rec.global_primitive_id = data.primitive_offset + static_cast<int32_t>(prim);
  rec.instance_id = static_cast<int32_t>(inst);
  rec.primitive_id = static_cast<int32_t>(prim);
  if (!normals) return;

  // Embree reports the object-space (P1 - P0) x (P2 - P0) of the instanced triangle; map it
  // by the instance's normal matrix.
  float3 ng = normalize(normal_to_world(m, ng_obj));
  float3 ns = ng;
  if (shading && data.normals != nullptr) {
    const int3 tri = data.triangles[prim];
    const float3 n_obj =
        (1.0f - u - v) * data.normals[tri.x] + u * data.normals[tri.y] + v * data.normals[tri.z];
    const float3 n_world = normalize(normal_to_world(m, n_obj));
    if (dot(n_world, n_world) > 0.0f) ns = n_world;
  }
  rec.is_back_face = dot(direction, ng) > 0.0f;
  if (rec.is_back_face) ng = -ng;
  if (dot(ns, ng) < 0.0f) ns = -ns;
  rec.geometric_normal = ng;
  rec.normal = ns;
}

void EmbreeSceneManager::trace_ray_packet(const float3* origins, const float3* directions,
                                          int count, float t_min, float t_max, HitRecord* hits,
                                          bool normals) const {
  alignas(64) RTCRayHit16 packet;
  alignas(64) int valid[kPacketWidth];
  double shift[kPacketWidth];
  bool any = false;
  for (int i = 0; i < kPacketWidth; ++i) {
    valid[i] = 0;
    set_packet_lane(packet, i, float3{}, float3{0.0f, 0.0f, 1.0f}, 0.0f, -1.0f);
    if (i >= count) continue;
    hits[i] = HitRecord{};
    hits[i].t = t_max;
    TracedRay ray;
    if (m_top == nullptr || !prepare_ray_(origins[i], directions[i], t_min, t_max, ray)) continue;
    set_packet_lane(packet, i, ray.origin, directions[i], ray.t_min, ray.t_max);
    shift[i] = ray.shift;
    valid[i] = -1;
    any = true;
  }
  if (!any) return;
  // The library's coherent-ray mode measured no faster on camera packets, and its occlusion
  // packets stalled with it on leafy scenes, so packets run in the default mode.
  intersect16(valid, m_top, packet, false);
  for (int i = 0; i < count; ++i) {
    if (valid[i] == 0 || packet.hit.geomID[i] == RTC_INVALID_GEOMETRY_ID) continue;
    finish_hit_(origins[i], directions[i], shift[i], packet.ray.tfar[i], packet.hit.instID[0][i],
                packet.hit.primID[i],
                float3{packet.hit.Ng_x[i], packet.hit.Ng_y[i], packet.hit.Ng_z[i]}, packet.hit.u[i],
                packet.hit.v[i], normals, hits[i]);
  }
}

void EmbreeSceneManager::trace_shadow_packet(const float3* origins, const float3* directions,
                                             int count, float t_max, bool* blocked) const {
  alignas(64) RTCRay16 packet;
  alignas(64) int valid[kPacketWidth];
  bool any = false;
  for (int i = 0; i < kPacketWidth; ++i) {
    valid[i] = 0;
    // Inactive lanes still carry a well-formed (empty) ray.
    set_packet_lane(packet, i, float3{}, float3{0.0f, 0.0f, 1.0f}, 0.0f, -1.0f);
    if (i >= count) continue;
    blocked[i] = false;
    TracedRay ray;
    if (m_top == nullptr ||
        !prepare_ray_(origins[i], directions[i], transport::kRayTMin, t_max, ray)) {
      continue;
    }
    set_packet_lane(packet, i, ray.origin, directions[i], ray.t_min, ray.t_max);
    valid[i] = -1;
    any = true;
  }
  if (!any) return;
  occluded16(valid, m_top, packet, false);
  for (int i = 0; i < count; ++i) blocked[i] = valid[i] != 0 && packet.tfar[i] < 0.0f;
}

bool EmbreeSceneManager::trace_shadow(const float3& origin, const float3& direction,
                                      float t_max) const {
  TracedRay traced;
  if (m_top == nullptr || !prepare_ray_(origin, direction, transport::kRayTMin, t_max, traced))
    return false;
  if (m_query_log != nullptr) [[unlikely]]
    record_query_(*m_query_log, true, traced.origin, direction, traced.t_min, traced.t_max);
  RTCRay ray;
  init_ray(ray, traced.origin, direction, traced.t_min, traced.t_max);
  return occluded1(m_top, ray);
}

std::vector<HitRecord> EmbreeSceneManager::trace_closest(
    const std::vector<backend::Ray>& rays) const {
  std::vector<HitRecord> hits(rays.size());
  trace_closest(rays, hits, 1);
  return hits;
}

void EmbreeSceneManager::trace_closest(std::span<const backend::Ray> rays,
                                       std::span<HitRecord> hits, int num_threads) const {
  if (!m_built || m_top == nullptr) {
    throw std::runtime_error("Embree: build the scene before tracing rays");
  }
  if (hits.size() != rays.size()) {
    throw std::invalid_argument("trace_closest: hit buffer size must equal the ray count");
  }
  // trace_ray already derives the global index from the instance lookup built with the
  // acceleration structure, so each ray is independent and chunks can run on any thread.
  constexpr size_t kChunk = 4096;
  parallel_for_chunks(rays.size(), resolve_thread_count(num_threads), kChunk,
                      [&](size_t begin, size_t end) {
                        for (size_t i = begin; i < end; ++i) {
                          const backend::Ray& r = rays[i];
                          hits[i] = trace_ray(r.origin, r.direction, r.t_min, r.t_max);
                        }
                      });
}

void EmbreeSceneManager::trace_closest(const RayBatchView& rays, const HitBatchView& out,
                                       int num_threads) const {
  if (!m_built || m_top == nullptr) {
    throw std::runtime_error("Embree: build the scene before tracing rays");
  }
  const bool normals =
      out.normal != nullptr || out.geometric_normal != nullptr || out.is_back_face != nullptr;
  // Chunks are multiples of the packet width, so the packets (and their results) are the same
  // for every thread count.
  constexpr size_t kChunk = 4096;
  static_assert(kChunk % kPacketWidth == 0);
  parallel_for_chunks(
      rays.count, resolve_thread_count(num_threads), kChunk, [&](size_t begin, size_t end) {
        float3 o[kPacketWidth];
        float3 d[kPacketWidth];
        HitRecord h[kPacketWidth];
        for (size_t first = begin; first < end; first += kPacketWidth) {
          const int n = static_cast<int>(std::min<size_t>(kPacketWidth, end - first));
          for (int i = 0; i < n; ++i) {
            const float* po = rays.origins + 3 * (first + i);
            const float* pd = rays.directions + 3 * (first + i);
            o[i] = float3{po[0], po[1], po[2]};
            d[i] = float3{pd[0], pd[1], pd[2]};
          }
          if (n > 1 && coherent_directions_(d, n)) {
            trace_ray_packet(o, d, n, rays.t_min, rays.t_max, h, normals);
          } else {
            for (int i = 0; i < n; ++i)
              h[i] = trace_ray_(o[i], d[i], rays.t_min, rays.t_max, normals);
          }
          for (int i = 0; i < n; ++i) {
            const size_t k = first + i;
            if (out.t != nullptr) out.t[k] = h[i].t;
            if (out.instance_id != nullptr) out.instance_id[k] = h[i].instance_id;
            if (out.primitive_id != nullptr) out.primitive_id[k] = h[i].primitive_id;
            if (out.global_primitive_id != nullptr) {
              out.global_primitive_id[k] = h[i].global_primitive_id;
            }
            if (out.hit != nullptr) out.hit[k] = h[i].hit;
            if (out.is_back_face != nullptr) out.is_back_face[k] = h[i].is_back_face;
            if (out.normal != nullptr)
              std::memcpy(out.normal + 3 * k, &h[i].normal, sizeof(float3));
            if (out.geometric_normal != nullptr) {
              std::memcpy(out.geometric_normal + 3 * k, &h[i].geometric_normal, sizeof(float3));
            }
            if (out.material_id != nullptr) out.material_id[k] = h[i].material_id;
          }
        }
      });
}

int64_t EmbreeSceneManager::total_triangles() const {
  int64_t total = 0;
  for (const EmbreeMesh& mesh : m_meshes) total += static_cast<int64_t>(mesh.triangles.size());
  return total;
}

std::vector<int> EmbreeSceneManager::instance_triangle_counts() const {
  std::vector<int> counts;
  counts.reserve(m_instances.size());
  for (const EmbreeInstance& instance : m_instances) {
    counts.push_back(static_cast<int>(m_meshes[instance.mesh_id].triangles.size()));
  }
  return counts;
}

std::vector<int> EmbreeSceneManager::instance_primitive_offsets() const {
  std::vector<int> offsets;
  offsets.reserve(m_instances.size() + 1);
  int offset = 0;
  offsets.push_back(0);
  for (const EmbreeInstance& instance : m_instances) {
    offset += static_cast<int>(m_meshes[instance.mesh_id].triangles.size());
    offsets.push_back(offset);
  }
  return offsets;
}

PrimitiveGeometry EmbreeSceneManager::primitive_geometry(int instance, int triangle) const {
  const float* m = m_instances[static_cast<size_t>(instance)].transform;
  const EmbreeMesh& mesh = m_meshes[m_instances[static_cast<size_t>(instance)].mesh_id];
  const int3 t = mesh.triangles[static_cast<size_t>(triangle)];
  PrimitiveGeometry g;
  g.vertex0 = transform_point(m, mesh.vertices[t.x]);
  g.vertex1 = transform_point(m, mesh.vertices[t.y]);
  g.vertex2 = transform_point(m, mesh.vertices[t.z]);
  const float3 c = cross(g.vertex1 - g.vertex0, g.vertex2 - g.vertex0);
  const float len = length(c);
  g.normal = len > 1e-20f ? c / len : float3{0.0f, 0.0f, 1.0f};
  g.area = 0.5f * len;
  g.material_id = mesh.material_id;
  g.instance_id = instance;
  g.primitive_id = triangle;
  return g;
}

std::vector<PrimitiveGeometry> EmbreeSceneManager::primitive_geometry() const {
  std::vector<PrimitiveGeometry> out;
  out.reserve(static_cast<size_t>(m_n_primitives));
  for (size_t i = 0; i < m_instances.size(); ++i) {
    const size_t n = m_meshes[m_instances[i].mesh_id].triangles.size();
    for (size_t j = 0; j < n; ++j) {
      out.push_back(primitive_geometry(static_cast<int>(i), static_cast<int>(j)));
    }
  }
  return out;
}

std::vector<float> EmbreeSceneManager::primitive_areas() const {
  std::vector<float> areas;
  areas.reserve(static_cast<size_t>(m_n_primitives));
  for (const PrimitiveGeometry& g : primitive_geometry()) areas.push_back(g.area);
  return areas;
}

std::vector<int32_t> EmbreeSceneManager::primitive_material_ids() const {
  std::vector<int32_t> ids;
  ids.reserve(static_cast<size_t>(m_n_primitives));
  for (const EmbreeInstance& instance : m_instances) {
    const EmbreeMesh& mesh = m_meshes[instance.mesh_id];
    ids.insert(ids.end(), mesh.triangles.size(), mesh.material_id);
  }
  return ids;
}

void EmbreeSceneManager::set_primitive_emissivities(std::vector<float> values) {
  const ChangeGuard guard = begin_change_();
  if (static_cast<int64_t>(values.size()) != m_n_primitives) {
    throw std::invalid_argument("Embree primitive emissivity count must equal n_primitives()");
  }
  m_attached.primitive.emissivity = std::move(values);
}

void EmbreeSceneManager::set_primitive_temperatures(std::vector<float> values) {
  const ChangeGuard guard = begin_change_();
  if (static_cast<int64_t>(values.size()) != m_n_primitives) {
    throw std::invalid_argument("Embree primitive temperature count must equal n_primitives()");
  }
  m_attached.primitive.temperature = std::move(values);
}

void EmbreeSceneManager::commit_joint_thermal_state(std::vector<float> temperatures,
                                                    std::vector<float> emissivities,
                                                    JointThermoPhysiologyState state) {
  const ChangeGuard guard = begin_change_();
  if (static_cast<int64_t>(temperatures.size()) != m_n_primitives) {
    throw std::invalid_argument("Embree primitive temperature count must equal n_primitives()");
  }
  if (static_cast<int64_t>(emissivities.size()) != m_n_primitives) {
    throw std::invalid_argument("Embree primitive emissivity count must equal n_primitives()");
  }
  m_attached.primitive.temperature = std::move(temperatures);
  m_attached.primitive.emissivity = std::move(emissivities);
  m_attached.joint = std::move(state);
}

void EmbreeSceneManager::set_primitive_sif_spectra(std::vector<float> values, int bands) {
  const ChangeGuard guard = begin_change_();
  if (bands < 1) throw std::invalid_argument("Embree SIF band count must be positive");
  if (static_cast<int64_t>(values.size()) != static_cast<int64_t>(bands) * m_n_primitives) {
    throw std::invalid_argument(
        "Embree primitive SIF spectrum size must equal bands * n_primitives()");
  }
  m_attached.primitive.sif = std::move(values);
  m_attached.n_sif_bands = bands;
}

void EmbreeSceneManager::clear_primitive_emissivities() {
  const ChangeGuard guard = begin_change_();
  m_attached.primitive.emissivity.clear();
}

void EmbreeSceneManager::clear_primitive_temperatures() {
  const ChangeGuard guard = begin_change_();
  m_attached.primitive.temperature.clear();
}

void EmbreeSceneManager::clear_instance_sif_spectra() {
  const ChangeGuard guard = begin_change_();
  m_attached.instance.sif.clear();
}

void EmbreeSceneManager::clear_instance_turbid_thermal_state() {
  const ChangeGuard guard = begin_change_();
  m_attached.instance.turbid_thermal = {};
}

void EmbreeSceneManager::clear_instance_sif_source_fields() {
  const ChangeGuard guard = begin_change_();
  m_attached.instance.sif_source = {};
}

void EmbreeSceneManager::clear_primitive_sif_spectra() {
  const ChangeGuard guard = begin_change_();
  m_attached.primitive.sif.clear();
  m_attached.n_sif_bands = 0;
}

void EmbreeSceneManager::set_instance_sif_spectra(std::vector<float> values, int bands) {
  const ChangeGuard guard = begin_change_();
  if (bands < 1) throw std::invalid_argument("Embree instance SIF band count must be positive");
  if (static_cast<int64_t>(values.size()) !=
      static_cast<int64_t>(bands) * static_cast<int64_t>(m_instances.size())) {
    throw std::invalid_argument(
        "Embree instance SIF spectrum size must equal bands * num_instances()");
  }
  m_attached.instance.sif = std::move(values);
  m_attached.n_sif_bands = bands;
}

void EmbreeSceneManager::set_instance_turbid_thermal_state(InstanceTurbidThermalState state) {
  const ChangeGuard guard = begin_change_();
  const size_t n = m_instances.size();
  if (state.temperature_sunlit.size() != n || state.temperature_shaded.size() != n ||
      state.sunlit_fraction.size() != n || state.emissivity.size() != n) {
    throw std::invalid_argument(
        "Embree instance turbid thermal state: every array length must equal num_instances()");
  }
  m_attached.instance.turbid_thermal = std::move(state);
}

void EmbreeSceneManager::set_instance_sif_source_fields(InstanceSifSourceFields f, int n_bands) {
  const ChangeGuard guard = begin_change_();
  if (n_bands < 1 || f.spatial_cell_stride < 1 || f.orientation_theta_bins < 1 ||
      f.orientation_phi_bins < 1) {
    throw std::invalid_argument("Embree instance SIF source fields: dimensions must be positive");
  }
  const int64_t n = static_cast<int64_t>(m_instances.size());
  const int64_t bands = n_bands, cells = f.spatial_cell_stride;
  const int64_t d12 = static_cast<int64_t>(f.orientation_theta_bins) * f.orientation_phi_bins;
  auto len = [](const auto& v) { return static_cast<int64_t>(v.size()); };
  if (len(f.spatial_spectra) != bands * n * cells ||
      len(f.orientation_spectra) != bands * n * d12 ||
      len(f.joint_spectra) != bands * n * cells * d12 ||
      len(f.direct_joint_spectra) != bands * n * cells * d12 || len(f.bounds_min) != 3 * n ||
      len(f.bounds_max) != 3 * n || len(f.grid_dims) != 3 * n) {
    throw std::invalid_argument("Embree instance SIF source fields: array length mismatch");
  }
  for (int64_t i = 0; i < n; ++i) {
    const int64_t gx = f.grid_dims[3 * i], gy = f.grid_dims[3 * i + 1], gz = f.grid_dims[3 * i + 2];
    if (gx < 1 || gy < 1 || gz < 1 || gx * gy * gz > cells) {
      throw std::invalid_argument("Embree instance SIF source fields: invalid instance grid");
    }
  }
  f.n_bands = n_bands;
  m_attached.instance.sif_source = std::move(f);
}

}  // namespace tesk::embree
