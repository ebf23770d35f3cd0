#include "embree/scene_snapshot.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace tesk::embree {
namespace {

constexpr char kMagic[8] = {'T', 'E', 'S', 'K', 'S', 'N', 'P', '2'};
constexpr const char* kNotSnapshot = "not a scene snapshot (or one from another version)";

// Appends plain values and vectors of plain values as raw bytes (vectors with their length).
struct Writer {
  std::string out;

  void raw(const void* data, size_t bytes) {
    if (bytes > 0) out.append(static_cast<const char*>(data), bytes);
  }
  void operator()(bool v) { (*this)(static_cast<uint8_t>(v ? 1 : 0)); }
  template <typename T>
  requires std::is_trivially_copyable_v<T>
  void operator()(const T& v) { raw(&v, sizeof(T)); }
  template <typename T>
  void operator()(const std::vector<T>& v) {
    (*this)(static_cast<uint64_t>(v.size()));
    raw(v.data(), v.size() * sizeof(T));
  }
};

// Reads what Writer wrote; any read past the end or a length the rest cannot hold means the
// bytes are not a snapshot.
struct Reader {
  std::string_view in;
  size_t pos = 0;

  void raw(void* data, size_t bytes) {
    if (bytes == 0) return;  // an empty vector's data() may be null
    if (bytes > in.size() - pos) throw std::invalid_argument(kNotSnapshot);
    std::memcpy(data, in.data() + pos, bytes);
    pos += bytes;
  }
  void operator()(bool& v) {
    uint8_t b = 0;
    (*this)(b);
    if (b > 1) throw std::invalid_argument(kNotSnapshot);
    v = b == 1;
  }
  template <typename T>
  requires std::is_trivially_copyable_v<T>
  void operator()(T& v) { raw(&v, sizeof(T)); }
  template <typename T>
  void operator()(std::vector<T>& v) {
    uint64_t n = 0;
    (*this)(n);
    if (n > (in.size() - pos) / sizeof(T)) throw std::invalid_argument(kNotSnapshot);
    v.resize(n);
    raw(v.data(), n * sizeof(T));
  }
  template <typename T>
  T get() {
    T v{};
    (*this)(v);
    return v;
  }
};

bool finite(float3 v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

}  // namespace

std::string snapshot_scene(const EmbreeSceneManager& scene) {
  const auto domains = scene.turbid_domains();
  if (domains && !domains->domains.empty()) {
    throw std::invalid_argument(
        "a scene holding turbid domains cannot be snapshotted: build the domains again where "
        "the scene is restored");
  }
  Writer w;
  w.raw(kMagic, sizeof(kMagic));
  scene.description().for_each_field(w);

  w(static_cast<uint64_t>(scene.meshes().size()));
  for (const EmbreeMesh& m : scene.meshes()) {
    w(m.vertices);
    w(m.normals);
    w(m.triangles);
    w(m.material_id);
  }
  w(static_cast<uint64_t>(scene.instances().size()));
  for (const EmbreeInstance& inst : scene.instances()) {
    w(inst.mesh_id);
    w(inst.transform);
  }

  // The media as their inputs: validation derives the rest identically on restore.
  const OpticalMediaTable& media = scene.optical_media();
  std::vector<float> density, length;
  std::vector<int32_t> angle_type, orientation;
  for (const OpticalMediumRecord& r : media.media) {
    density.push_back(r.leaf_area_density);
    length.push_back(r.leaf_characteristic_length);
    angle_type.push_back(r.leaf_angle_type);
    orientation.push_back(r.orientation);
  }
  w(density);
  w(angle_type);
  w(orientation);
  w(length);
  w(media.material_medium_ids);

  const SceneAttachments& a = scene.attachments();
  w(a.primitive.emissivity);
  w(a.primitive.temperature);
  w(a.primitive.sif);
  w(a.instance.sif);
  w(a.n_sif_bands);
  const InstanceTurbidThermalState& thermal = a.instance.turbid_thermal;
  w(thermal.temperature_sunlit);
  w(thermal.temperature_shaded);
  w(thermal.sunlit_fraction);
  w(thermal.emissivity);
  const InstanceSifSourceFields& f = a.instance.sif_source;
  w(f.spatial_spectra);
  w(f.orientation_spectra);
  w(f.joint_spectra);
  w(f.direct_joint_spectra);
  w(f.bounds_min);
  w(f.bounds_max);
  w(f.grid_dims);
  w(f.spatial_cell_stride);
  w(f.orientation_theta_bins);
  w(f.orientation_phi_bins);
  const JointThermoPhysiologyState& joint = a.joint;
  w(joint.id);
  w(joint.stable_ids);
  w(joint.temperature);
  w(joint.temperature_sunlit);
  w(joint.temperature_shaded);

  w(scene.populate_primitive_soa());
  w(scene.is_built());
  return std::move(w.out);
}

void restore_scene(EmbreeSceneManager& scene, std::string_view bytes) {
  if (scene.num_meshes() > 0 || scene.num_instances() > 0 ||
      !scene.description().materials().empty()) {
    throw std::invalid_argument("a snapshot is restored into a new scene");
  }
  Reader r{bytes};
  char magic[sizeof(kMagic)] = {};
  r.raw(magic, sizeof(magic));
  if (std::memcmp(magic, kMagic, sizeof(kMagic)) != 0) throw std::invalid_argument(kNotSnapshot);

  SceneDescription description;
  description.for_each_field(r);
  if (!finite(description.emitter().direction) || !finite(description.hw_sun_direction())) {
    throw std::invalid_argument(kNotSnapshot);
  }
  // The mode follows from the two flags, whatever the bytes said.
  description.set_thermal_mode(description.thermal_enabled(), description.band_wavelengths());
  description.set_sif_only_mode(description.sif_only_enabled());

  const auto n_meshes = r.get<uint64_t>();
  for (uint64_t i = 0; i < n_meshes; ++i) {
    auto vertices = r.get<std::vector<float3>>();
    auto normals = r.get<std::vector<float3>>();
    auto triangles = r.get<std::vector<int3>>();
    const auto material = r.get<int32_t>();
    scene.add_mesh(std::move(vertices), std::move(normals), std::move(triangles), material);
  }
  const auto n_instances = r.get<uint64_t>();
  for (uint64_t i = 0; i < n_instances; ++i) {
    const auto mesh = r.get<int32_t>();
    float transform[12];
    r(transform);
    scene.add_instance(mesh, transform);
  }
  // Materials are counted by the media check, so the description goes in first.
  scene.change_description([&](SceneDescription& d) { d = std::move(description); });

  const auto density = r.get<std::vector<float>>();
  const auto angle_type = r.get<std::vector<int32_t>>();
  const auto orientation = r.get<std::vector<int32_t>>();
  const auto length = r.get<std::vector<float>>();
  const auto medium_ids = r.get<std::vector<int32_t>>();
  if (!density.empty() || !medium_ids.empty()) {
    scene.set_optical_turbid_media(density, angle_type, orientation, length, medium_ids);
  }

  auto emissivity = r.get<std::vector<float>>();
  auto temperature = r.get<std::vector<float>>();
  auto primitive_sif = r.get<std::vector<float>>();
  auto instance_sif = r.get<std::vector<float>>();
  const auto n_sif_bands = r.get<int32_t>();
  InstanceTurbidThermalState thermal;
  r(thermal.temperature_sunlit);
  r(thermal.temperature_shaded);
  r(thermal.sunlit_fraction);
  r(thermal.emissivity);
  InstanceSifSourceFields f;
  r(f.spatial_spectra);
  r(f.orientation_spectra);
  r(f.joint_spectra);
  r(f.direct_joint_spectra);
  r(f.bounds_min);
  r(f.bounds_max);
  r(f.grid_dims);
  r(f.spatial_cell_stride);
  r(f.orientation_theta_bins);
  r(f.orientation_phi_bins);
  JointThermoPhysiologyState joint;
  r(joint.id);
  r(joint.stable_ids);
  r(joint.temperature);
  r(joint.temperature_sunlit);
  r(joint.temperature_shaded);
  const bool populate = r.get<bool>();
  const bool built = r.get<bool>();
  if (r.pos != bytes.size()) throw std::invalid_argument(kNotSnapshot);

  // The joint state is installed only together with per-primitive tables; the tables it came
  // with are then replaced by the snapshot's own (which may have been cleared since).
  if (joint.id != 0) {
    const auto n = static_cast<size_t>(scene.n_primitives());
    scene.commit_joint_thermal_state(std::vector<float>(n), std::vector<float>(n),
                                     std::move(joint));
    scene.clear_primitive_temperatures();
    scene.clear_primitive_emissivities();
  }
  if (!emissivity.empty()) scene.set_primitive_emissivities(std::move(emissivity));
  if (!temperature.empty()) scene.set_primitive_temperatures(std::move(temperature));
  // Both SIF tables share one band count; the table set last fixed it, so it goes last here.
  auto set_primitive_sif = [&] {
    if (!primitive_sif.empty()) {
      const auto bands = static_cast<int>(static_cast<int64_t>(primitive_sif.size()) /
                                          std::max(scene.n_primitives(), 1));
      scene.set_primitive_sif_spectra(std::move(primitive_sif), bands);
    }
  };
  auto set_instance_sif = [&] {
    if (!instance_sif.empty()) {
      const auto bands = static_cast<int>(static_cast<int64_t>(instance_sif.size()) /
                                          std::max(scene.num_instances(), 1));
      scene.set_instance_sif_spectra(std::move(instance_sif), bands);
    }
  };
  const bool instance_last =
      !instance_sif.empty() && static_cast<int64_t>(instance_sif.size()) ==
                                   static_cast<int64_t>(n_sif_bands) * scene.num_instances();
  if (instance_last) {
    set_primitive_sif();
    set_instance_sif();
  } else {
    set_instance_sif();
    set_primitive_sif();
  }
  if (!thermal.temperature_sunlit.empty() || !thermal.temperature_shaded.empty() ||
      !thermal.sunlit_fraction.empty() || !thermal.emissivity.empty()) {
    scene.set_instance_turbid_thermal_state(std::move(thermal));
  }
  if (!f.spatial_spectra.empty() || !f.grid_dims.empty()) {
    const int64_t per_band =
        std::max<int64_t>(1, int64_t{scene.num_instances()} * std::max(f.spatial_cell_stride, 1));
    const auto bands = static_cast<int>(static_cast<int64_t>(f.spatial_spectra.size()) / per_band);
    scene.set_instance_sif_source_fields(std::move(f), bands);
  }
  scene.set_populate_primitive_soa(populate);
  if (built) scene.build();
}

}  // namespace tesk::embree
