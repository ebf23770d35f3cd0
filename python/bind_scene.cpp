#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>

#include "core/host/parallel.h"
#include "embree/media_walk.h"
#include "embree/scene_manager.h"
#include "embree/scene_snapshot.h"
#include "python/bindings.h"
#include "python/frame.h"

namespace tesk::python {
namespace {

using embree::EmbreeSceneManager;

// One row-major 3x4 transform from any 12-element array (flat or 3x4).
std::vector<float> transform12(const carray<float>& a, const char* name) {
  if (a.size() != 12) {
    throw py::value_error(std::string(name) + " must have 12 float32 values (row-major 3x4)");
  }
  return to_vector(a);
}

// Instance transforms as [N, 12] (or [N, 3, 4]) rows.
size_t transform_rows(const carray<float>& a, const char* name) {
  const bool flat_rows = a.ndim() == 2 && a.shape(1) == 12;
  const bool matrices = a.ndim() == 3 && a.shape(1) == 3 && a.shape(2) == 4;
  if (!flat_rows && !matrices) {
    throw py::value_error(std::string(name) + " must have float32 shape [N, 12]");
  }
  return static_cast<size_t>(a.shape(0));
}

py::dict sensor_config(const EmbreeSceneManager& scene) {
  const SensorData& s = scene.description().sensor();
  py::dict d;
  d["type"] = static_cast<int32_t>(s.type);
  d["width"] = s.width;
  d["height"] = s.height;
  d["ortho_width"] = s.ortho_w;
  d["ortho_height"] = s.ortho_h;
  d["fov"] = s.fov;
  d["projection_type"] = s.projection_type;
  d["camera_to_world"] = to_numpy(s.camera_transform, {4, 4});
  return d;
}

py::dict primitive_geometry_dict(const EmbreeSceneManager& scene) {
  const std::vector<embree::PrimitiveGeometry> prims = scene.primitive_geometry();
  const auto n = static_cast<py::ssize_t>(prims.size());
  py::array_t<float> vertices({n, py::ssize_t{3}, py::ssize_t{3}});
  py::array_t<float> normals({n, py::ssize_t{3}});
  py::array_t<float> areas(n);
  py::array_t<int32_t> material_ids(n), instance_ids(n), primitive_ids(n);
  float* v = vertices.mutable_data();
  float* nn = normals.mutable_data();
  for (py::ssize_t i = 0; i < n; ++i) {
    const embree::PrimitiveGeometry& g = prims[i];
    std::memcpy(v + 9 * i, &g.vertex0, sizeof(float3));
    std::memcpy(v + 9 * i + 3, &g.vertex1, sizeof(float3));
    std::memcpy(v + 9 * i + 6, &g.vertex2, sizeof(float3));
    std::memcpy(nn + 3 * i, &g.normal, sizeof(float3));
    areas.mutable_data()[i] = g.area;
    material_ids.mutable_data()[i] = g.material_id;
    instance_ids.mutable_data()[i] = g.instance_id;
    primitive_ids.mutable_data()[i] = g.primitive_id;
  }
  py::dict d;
  d["vertices"] = vertices;
  d["normals"] = normals;
  d["areas"] = areas;
  d["material_ids"] = material_ids;
  d["instance_ids"] = instance_ids;
  d["primitive_ids"] = primitive_ids;
  return d;
}

// The columns trace_closest can return, in the order of its result dictionary.
constexpr const char* kTraceOutputs[] = {
    "t",      "instance_id",      "primitive_id", "global_primitive_id", "hit", "is_back_face",
    "normal", "geometric_normal", "material_id"};
constexpr int kTraceOutputCount = 9;

// Which columns `outputs` asks for (None: all). Throws ValueError for an unknown name.
std::array<bool, kTraceOutputCount> trace_outputs(const py::object& outputs) {
  std::array<bool, kTraceOutputCount> want{};
  if (outputs.is_none()) {
    want.fill(true);
    return want;
  }
  if (py::isinstance<py::str>(outputs)) {
    throw py::value_error("outputs must be a sequence of column names");
  }
  for (const py::handle item : py::iter(outputs)) {
    const std::string name = py::cast<std::string>(py::str(item));
    const auto* found = std::find_if(std::begin(kTraceOutputs), std::end(kTraceOutputs),
                                     [&](const char* k) { return name == k; });
    if (found == std::end(kTraceOutputs) || !py::isinstance<py::str>(item)) {
      throw py::value_error("unknown trace_closest output '" + name + "'");
    }
    want[found - std::begin(kTraceOutputs)] = true;
  }
  return want;
}

py::dict trace_closest(const EmbreeSceneManager& scene, const carray<float>& origins,
                       const carray<float>& directions, float t_min, float t_max, int num_threads,
                       const py::object& outputs) {
  if (origins.ndim() != 2 || origins.shape(1) != 3) {
    throw py::value_error("origins must have float32 shape [N, 3]");
  }
  if (directions.ndim() != 2 || directions.shape(1) != 3) {
    throw py::value_error("directions must have float32 shape [N, 3]");
  }
  if (origins.shape(0) != directions.shape(0)) {
    throw py::value_error("origins and directions must have the same number of rays");
  }
  const std::array<bool, kTraceOutputCount> want = trace_outputs(outputs);
  if (!scene.is_built()) throw std::runtime_error("Embree: build the scene before tracing rays");
  // Registered until the results are built: a build() from another thread meanwhile is refused.
  const embree::SceneUse use = scene.acquire_use();
  const py::ssize_t n = origins.shape(0);
  // Only the requested columns are allocated and written.
  auto column = [&](int k, auto element, bool vector) {
    using T = decltype(element);
    if (!want[k]) return py::array_t<T>();
    return vector ? py::array_t<T>({n, py::ssize_t{3}}) : py::array_t<T>(n);
  };
  auto t = column(0, float{}, false);
  auto instance_id = column(1, int32_t{}, false);
  auto primitive_id = column(2, int32_t{}, false);
  auto global_primitive_id = column(3, int32_t{}, false);
  auto hit = column(4, bool{}, false);
  auto is_back_face = column(5, bool{}, false);
  auto normal = column(6, float{}, true);
  auto geometric_normal = column(7, float{}, true);
  auto material_id = column(8, int32_t{}, false);
  auto data = [&](int k, auto& a) { return want[k] ? a.mutable_data() : nullptr; };
  embree::RayBatchView rays{origins.data(), directions.data(), static_cast<size_t>(n), t_min,
                            t_max};
  embree::HitBatchView out{data(0, t),
                           data(1, instance_id),
                           data(2, primitive_id),
                           data(3, global_primitive_id),
                           data(4, hit),
                           data(5, is_back_face),
                           data(6, normal),
                           data(7, geometric_normal),
                           data(8, material_id)};
  {
    // The arrays are owned by this frame; the traversal touches no Python object.
    py::gil_scoped_release release;
    scene.trace_closest(rays, out, num_threads);
  }
  const py::object columns[kTraceOutputCount] = {
      t,      instance_id,      primitive_id, global_primitive_id, hit, is_back_face,
      normal, geometric_normal, material_id};
  py::dict d;
  for (int k = 0; k < kTraceOutputCount; ++k) {
    if (want[k]) d[kTraceOutputs[k]] = columns[k];
  }
  return d;
}

std::vector<float> float_vector(const carray<float>& a) {
  return to_vector(a);
}

const OpticalMediumRecord& medium_at(const EmbreeSceneManager& s, int medium_id) {
  const auto& media = s.optical_media().media;
  if (medium_id < 0 || static_cast<size_t>(medium_id) >= media.size()) {
    throw py::index_error("optical turbid medium id " + std::to_string(medium_id) +
                          " is outside [0, " + std::to_string(media.size()) + ")");
  }
  return media[medium_id];
}

py::dict optical_turbid_medium(const EmbreeSceneManager& s, int medium_id) {
  const OpticalMediumRecord& m = medium_at(s, medium_id);
  py::dict d;
  d["leaf_area_density"] = m.leaf_area_density;
  d["leaf_characteristic_length"] = m.leaf_characteristic_length;
  d["leaf_angle_type"] = m.leaf_angle_type;
  d["orientation"] = m.orientation;
  d["boundary_material"] = m.boundary_material;
  d["g_function"] = to_numpy(m.G, {kProjectionAngles});
  return d;
}

py::dict sample_combined_free_path(const EmbreeSceneManager& s, const carray<int32_t>& ids,
                                   const carray<float>& direction, float distance_sample,
                                   float selection_sample) {
  const float3 w = float3_value(direction, "direction");
  ActiveMediumSet active;
  embree::FreePathSample sample;
  if (ids.size() <= kMaxActiveMedia) {  // more media than a point can be inside: no free path
    active.count = static_cast<int32_t>(ids.size());
    for (int32_t i = 0; i < active.count; ++i) active.medium_ids[i] = ids.data()[i];
    sample =
        embree::sample_free_path(s.optical_media(), active, w, distance_sample, selection_sample);
  }
  py::dict d;
  d["extinction"] = sample.extinction;
  d["distance"] = sample.distance;
  d["entry"] = sample.entry;
  d["medium_id"] = sample.entry >= 0 ? active.medium_ids[sample.entry] : -1;
  return d;
}

float conditional_hotspot_transmittance(const EmbreeSceneManager& s, int medium_id,
                                        float optical_depth, float initial_distance,
                                        float observation_distance, const carray<float>& source,
                                        const carray<float>& observation) {
  if (source.size() != 3 || observation.size() != 3) {
    throw py::value_error("source and observation directions need 3 values");
  }
  const OpticalMediumRecord& m = medium_at(s, medium_id);
  return hotspot_transmittance(
      m, optical_depth, initial_distance, observation_distance,
      float3{source.data()[0], source.data()[1], source.data()[2]},
      float3{observation.data()[0], observation.data()[1], observation.data()[2]});
}

// The module's __version__ string.
py::object m_version() {
  return py::module_::import("tesk_gpu").attr("__version__");
}

}  // namespace

HitColumns::HitColumns(py::ssize_t n)
    : t(n),
      normal({n, py::ssize_t{3}}),
      geometric_normal({n, py::ssize_t{3}}),
      instance_id(n),
      primitive_id(n),
      global_primitive_id(n),
      material_id(n),
      hit(n),
      is_back_face(n) {}

embree::HitBatchView HitColumns::view() {
  return {t.mutable_data(),
          instance_id.mutable_data(),
          primitive_id.mutable_data(),
          global_primitive_id.mutable_data(),
          hit.mutable_data(),
          is_back_face.mutable_data(),
          normal.mutable_data(),
          geometric_normal.mutable_data(),
          material_id.mutable_data()};
}

py::dict HitColumns::dict() const {
  py::dict d;
  d["t"] = t;
  d["instance_id"] = instance_id;
  d["primitive_id"] = primitive_id;
  d["global_primitive_id"] = global_primitive_id;
  d["hit"] = hit;
  d["is_back_face"] = is_back_face;
  d["normal"] = normal;
  d["geometric_normal"] = geometric_normal;
  d["material_id"] = material_id;
  return d;
}

void bind_scene(py::module_& m) {
  m.attr("HAS_EMBREE") = true;
  m.def(
      "show_config",
      [] {
        const py::object print = py::module_::import("builtins").attr("print");
        print("tesk_gpu", m_version());
        const bool vulkan = py::hasattr(py::module_::import("tesk_gpu"), "HAS_VULKAN");
#if defined(TESK_HAS_CUDA)
        const char* optix = "yes (CUDA)";
#else
        const char* optix = "no";
#endif
        print(std::string("  backends: embree (CPU); vulkan: ") + (vulkan ? "yes" : "no") +
              "; optix: " + optix);
        print("  embree:", embree::embree_version());
        print("  threads:", resolve_thread_count(0), "(hardware concurrency; num_threads=0)");
        print("  devices: cpu");
      },
      "Prints the build's backends (HAS_EMBREE; HAS_VULKAN and HAS_OPTIX exist only when built), "
      "the Embree version, the\n"
      "worker thread count that num_threads=0 resolves to, and the devices. Returns None.");

  py::class_<EmbreeSceneManager> cls(m, "EmbreeSceneManager",
                                     py::release_gil_before_calling_cpp_dtor(),
                                     "CPU scene: meshes, instances, materials, spectra, sun, sky "
                                     "and sensor, built into a two-level Embree structure.");
  cls.def(py::init<>());
  // Pickling carries a snapshot: everything workflows read, rebuilt (and built, when the
  // original was) in the receiving process, so a scene can be sent to worker processes.
  cls.def(py::pickle(
      [](const EmbreeSceneManager& s) {
        const embree::SceneUse use = s.acquire_use();  // no change while it is read
        return py::make_tuple(py::bytes(embree::snapshot_scene(s)));
      },
      [](const py::tuple& state) {
        if (state.size() != 1 || !py::isinstance<py::bytes>(state[0])) {
          throw py::value_error("not a scene snapshot (or one from another version)");
        }
        auto scene = std::make_unique<EmbreeSceneManager>();
        const std::string bytes = state[0].cast<std::string>();
        embree::restore_scene(*scene, bytes);
        return scene;
      }));

  // ---- geometry --------------------------------------------------------------------------------
  cls.def(
      "add_mesh",
      [](EmbreeSceneManager& s, const carray<float>& vertices, const carray<float>& normals,
         const py::object& indices, int material_id) {
        auto v = float3_rows(vertices, "vertices", true);  // emptiness is the scene's check
        auto n = float3_rows(normals, "normals", true);
        auto t = int3_rows(indices, "indices");
        return s.add_mesh(std::move(v), std::move(n), std::move(t), material_id);
      },
      py::arg("vertices"), py::arg("normals"), py::arg("indices"), py::arg("material_id") = 0,
      "Add a mesh from float32 [n, 3] vertices, [n, 3] or empty normals and int32 [m, 3] "
      "counter-clockwise triangles. Returns the mesh id.");
  cls.def(
      "add_instance",
      [](EmbreeSceneManager& s, int mesh_id, float x, float y, float z, float scale) {
        return s.add_instance(mesh_id, x, y, z, scale);
      },
      py::arg("mesh_id"), py::arg("x"), py::arg("y"), py::arg("z"), py::arg("scale") = 1.0f,
      "Place a mesh translated by (x, y, z) and uniformly scaled. Returns the instance id. "
      "ValueError for a scale or position the tracer cannot take (README: coordinates).");
  cls.def(
      "add_instance_xform",
      [](EmbreeSceneManager& s, int mesh_id, const carray<float>& xform) {
        const std::vector<float> m12 = transform12(xform, "xform");
        return s.add_instance(mesh_id, m12.data());
      },
      py::arg("mesh_id"), py::arg("xform"),
      "Place a mesh with a row-major 3x4 object-to-world transform (12 floats). Returns the "
      "instance id. ValueError for a non-finite, singular or nearly singular transform or one "
      "that places the mesh beyond +-1e10.");
  cls.def(
      "add_instances_xform",
      [](EmbreeSceneManager& s, int mesh_id, const carray<float>& xforms) {
        const size_t n = transform_rows(xforms, "xforms");
        return s.add_instances_xform(mesh_id, xforms.data(), n);
      },
      py::arg("mesh_id"), py::arg("xforms"),
      "Batch-add N instances of one mesh from a (N, 12) row-major float32 array. Returns the "
      "index of the FIRST added instance.");
  cls.def(
      "update_instance_transform",
      [](EmbreeSceneManager& s, int id, const carray<float>& xform) {
        const std::vector<float> m12 = transform12(xform, "xform");
        s.update_instance_transform(id, m12.data());
      },
      py::arg("id"), py::arg("xform"),
      "Replace an instance's 3x4 transform; call refit_ias() before the next trace.");
  cls.def("refit_ias", &EmbreeSceneManager::refit_ias,
          "Recommit the top-level structure after transform updates (scene must be built).");
  cls.def("refit_instances", &EmbreeSceneManager::refit_ias, "Alias of refit_ias().");

  // ---- description -----------------------------------------------------------------------------
  cls.def(
      "set_num_bands",
      [](EmbreeSceneManager& s, int n) {
        s.change_description([&](SceneDescription& d) { d.set_num_bands(n); });
      },
      py::arg("n_bands"), "Set the number of spectral bands of the run.");
  cls.def(
      "add_material",
      [](EmbreeSceneManager& s, int type, int offset, const std::vector<float>& scalar_params) {
        int id = -1;
        s.change_description([&](SceneDescription& d) {
          id = d.add_material(static_cast<MaterialType>(type), offset, scalar_params);
        });
        return id;
      },
      py::arg("type"), py::arg("offset"), py::arg("scalar_params") = std::vector<float>{},
      "Add a material (0 Diffuse, 1 RPV, 13 DiffuseTransmitting) whose spectral block starts "
      "at `offset`; the first 8 scalar_params are kept. Returns the material id.");
  cls.def(
      "upload_spectral_params",
      [](EmbreeSceneManager& s, const carray<float>& params) {
        std::vector<float> values = float_vector(params);
        s.change_description(
            [&](SceneDescription& d) { d.upload_spectral_params(std::move(values)); });
      },
      py::arg("params"), "Replace the whole spectral parameter buffer (flattened, C order).");
  cls.def(
      "set_optical_turbid_media",
      [](EmbreeSceneManager& s, const carray<float>& lad, const carray<int32_t>& types,
         const carray<int32_t>& orientations, const carray<float>& lengths,
         const carray<int32_t>& material_medium_ids) {
        s.set_optical_turbid_media(to_vector(lad), to_vector(types), to_vector(orientations),
                                   to_vector(lengths), to_vector(material_medium_ids));
      },
      py::arg("leaf_area_density"), py::arg("leaf_angle_types"), py::arg("orientations"),
      py::arg("leaf_characteristic_lengths"), py::arg("material_medium_ids"),
      "Declare volumetric leaf media: per medium the leaf area density (m2/m3), leaf angle "
      "type (0 spherical, 1 planophile, 2 erectophile, 3 plagiophile, 4 extremophile, 5 "
      "uniform), boundary orientation (+1 normals point out, -1 in) and leaf size (m); per "
      "material the medium it bounds (-1: none). Replaces the previous media when valid.");
  cls.def(
      "num_optical_turbid_media",
      [](const EmbreeSceneManager& s) { return s.optical_media().media.size(); },
      "Number of leaf media given with set_optical_turbid_media.");
  cls.def(
      "material_medium_ids",
      [](const EmbreeSceneManager& s) { return s.optical_media().material_medium_ids; },
      "Medium id of every material (-1: the material bounds no medium).");
  cls.def("optical_turbid_medium", &optical_turbid_medium, py::arg("medium_id"),
          "The validated record of one medium, with its projection function G at view zenith "
          "angles 0..90 degrees.");
  cls.def("sample_combined_free_path", &sample_combined_free_path, py::arg("active_medium_ids"),
          py::arg("direction"), py::arg("distance_sample"), py::arg("selection_sample"),
          "Free path through the given media along a direction for uniform samples: combined "
          "extinction, distance and the chosen entry (probability proportional to extinction).");
  cls.def("conditional_hotspot_transmittance", &conditional_hotspot_transmittance,
          py::arg("medium_id"), py::arg("optical_depth"), py::arg("initial_medium_distance"),
          py::arg("observation_distance"), py::arg("source_direction"),
          py::arg("observation_direction"),
          "Transmittance towards the source from a point inside a medium reached by the "
          "observation path through the same leaves (the hotspot correction).");
  cls.def("geometry_build_revision", &EmbreeSceneManager::build_revision,
          "Counter incremented by every build() and refit_ias().");
  cls.def(
      "set_emitter",
      [](EmbreeSceneManager& s, int type, const carray<float>& direction, int spectral_offset) {
        const float3 sun = float3_value(direction, "direction");
        s.change_description([&](SceneDescription& d) {
          d.set_emitter(static_cast<EmitterType>(type), sun, spectral_offset);
        });
      },
      py::arg("type"), py::arg("direction"), py::arg("spectral_offset"),
      "Set the sun: kind, direction towards the sun (stored normalised; a zero or non-finite "
      "vector raises ValueError) and the offset of its irradiance spectrum (per band, on a "
      "plane normal to the sun).");
  cls.def(
      "update_emitter_direction",
      [](EmbreeSceneManager& s, const carray<float>& direction) {
        const float3 sun = float3_value(direction, "direction");
        s.change_description([&](SceneDescription& d) { d.update_emitter_direction(sun); });
      },
      py::arg("direction"), "Replace the sun direction only (normalised as in set_emitter).");
  cls.def(
      "set_sensor",
      [](EmbreeSceneManager& s, int type, int width, int height, float ortho_w, float ortho_h,
         const carray<float>& cam_xform, float fov, int projection_type, bool terrain_following) {
        const SensorData sensor =
            make_sensor(type, width, height, ortho_w, ortho_h, cam_xform.data(),
                        static_cast<size_t>(cam_xform.size()), fov, projection_type);
        s.change_description([&](SceneDescription& d) {
          d.set_sensor(sensor);
          d.set_terrain_following(terrain_following);
        });
      },
      py::arg("type"), py::arg("width"), py::arg("height"), py::arg("ortho_w"), py::arg("ortho_h"),
      py::arg("cam_xform"), py::arg("fov") = 60.0f, py::arg("projection_type") = 0,
      py::arg("terrain_following") = false,
      "Set the sensor: type (0 ortho, 1 perspective, 2 non-imaging, 3 pushbroom, 4 fisheye), "
      "image size, orthographic extent, camera-to-world 4x4 row-major matrix (first 16 values "
      "used), full field of view in degrees and the fisheye mapping.");
  cls.def(
      "set_sky",
      [](EmbreeSceneManager& s, int offset) {
        s.change_description([&](SceneDescription& d) { d.set_sky(offset); });
      },
      py::arg("spectral_offset"), "Uniform sky: n_bands radiances at the offset.");
  cls.def(
      "set_directional_sky",
      [](EmbreeSceneManager& s, int offset) {
        s.change_description([&](SceneDescription& d) { d.set_directional_sky(offset); });
      },
      py::arg("spectral_offset"), "Directional sky table [n_bands][16][32] at the offset.");
  cls.def(
      "set_hw_sky",
      [](EmbreeSceneManager& s, int offset, float x, float y, float z) {
        s.change_description([&](SceneDescription& d) { d.set_hw_sky(offset, float3{x, y, z}); });
      },
      py::arg("spectral_offset"), py::arg("sun_x"), py::arg("sun_y"), py::arg("sun_z"),
      "Hosek-Wilkie sky: 10 coefficients per band at the offset and its sun direction.");
  cls.def(
      "set_repetitive",
      [](EmbreeSceneManager& s, int n, float x_size, float y_size) {
        s.change_description([&](SceneDescription& d) { d.set_repetitive(n, x_size, y_size); });
      },
      py::arg("num_repetitions"), py::arg("scene_x_size"), py::arg("scene_y_size"),
      "Make the scene one tile [0, x] x [0, y] of a periodic pattern; paths may cross tile "
      "borders at most num_repetitions times. Sizes must be finite and at most 1e10.");
  cls.def(
      "set_thermal_mode",
      [](EmbreeSceneManager& s, bool enabled, const std::vector<float>& wavelengths) {
        s.change_description(
            [&](SceneDescription& d) { d.set_thermal_mode(enabled, wavelengths); });
      },
      py::arg("enabled"), py::arg("wavelengths"),
      "Enable thermal emission with one band wavelength (nm) per band.");
  cls.def(
      "thermal_mode", [](const EmbreeSceneManager& s) { return s.description().thermal_enabled(); },
      "Whether thermal mode is enabled.");
  cls.def(
      "band_wavelengths",
      [](const EmbreeSceneManager& s) { return s.description().band_wavelengths(); },
      "Band wavelengths (nm) given with set_thermal_mode.");

  // ---- build and queries -----------------------------------------------------------------------
  // Bench aid, outside the public surface: records the first `capacity` single-ray queries that
  // `run()` makes on this scene and returns them as (occlusion [n] int32, rays [n, 8] float32:
  // origin, direction, t_min, t_max), for a raw reference to trace the same rays.
  cls.def(
      "_record_queries",
      [](EmbreeSceneManager& self, int64_t capacity, const py::object& run) {
        if (capacity < 0) throw py::value_error("capacity must be non-negative");
        embree::QueryLog log;
        log.queries.resize(static_cast<size_t>(capacity));
        self.set_query_log(&log);
        try {
          run();
        } catch (...) {
          self.set_query_log(nullptr);
          throw;
        }
        self.set_query_log(nullptr);
        const auto n = static_cast<py::ssize_t>(log.size());
        py::array_t<int32_t> kind(n);
        py::array_t<float> rays({n, py::ssize_t{8}});
        auto k = kind.mutable_unchecked<1>();
        auto r = rays.mutable_unchecked<2>();
        for (py::ssize_t i = 0; i < n; ++i) {
          const embree::RecordedQuery& q = log.queries[static_cast<size_t>(i)];
          k(i) = q.occlusion;
          const float v[8] = {q.origin[0],    q.origin[1],    q.origin[2], q.direction[0],
                              q.direction[1], q.direction[2], q.t_min,     q.t_max};
          for (int c = 0; c < 8; ++c) r(i, c) = v[c];
        }
        return py::make_tuple(kind, rays);
      },
      py::arg("capacity"), py::arg("run"));
  cls.def("build", &EmbreeSceneManager::build, "Build the acceleration structures.");
  cls.def("clear_for_reuse", &EmbreeSceneManager::clear_for_reuse,
          "Clear materials, spectra, skies, emitter and modes; keep geometry and sensor.");
  cls.def("build_reuse_geometry", &EmbreeSceneManager::build_reuse_gas,
          "Mark the scene built, reusing the existing acceleration structures.");
  cls.def("build_reuse_gas", &EmbreeSceneManager::build_reuse_gas,
          "Mark the scene built, reusing the existing acceleration structures.");
  cls.def("is_built", &EmbreeSceneManager::is_built,
          "Whether build() has run since the last change to the geometry.");
  cls.def(
      "has_meshes", [](const EmbreeSceneManager& s) { return s.num_meshes() > 0; },
      "Whether any mesh was added.");
  cls.def(
      "has_gpu_meshes", [](const EmbreeSceneManager&) { return false; },
      "Always False: the CPU scene holds no device meshes.");
  cls.def("num_instances", &EmbreeSceneManager::num_instances, "Number of placed instances.");
  cls.def("total_triangles", &EmbreeSceneManager::total_triangles,
          "Total triangle count across all instances (after build).");
  cls.def("n_primitives", &EmbreeSceneManager::n_primitives,
          "Number of global primitives (each instance counts its mesh's triangles).");
  cls.def(
      "max_height", [](const EmbreeSceneManager& s) { return s.bounds().max_z; },
      "Highest z of the built scene (scene units); 0 with no instances.");
  cls.def(
      "min_height", [](const EmbreeSceneManager& s) { return s.bounds().min_z; },
      "Lowest z of the built scene (scene units); 0 with no instances.");
  cls.def(
      "aabb",
      [](const EmbreeSceneManager& s) {
        const embree::SceneBounds& b = s.bounds();
        return py::make_tuple(py::make_tuple(b.min_x, b.min_y, b.min_z),
                              py::make_tuple(b.max_x, b.max_y, b.max_z));
      },
      "Scene bounding box ((xmin, ymin, zmin), (xmax, ymax, zmax)); zeros with no instances.");
  cls.def(
      "set_measurement_plane",
      [](EmbreeSceneManager& s, float h) {
        s.change_description([&](SceneDescription& d) { d.set_measurement_plane(h); });
      },
      py::arg("height"),
      "Height (scene units) of the reference plane of BRF and flux runs (the top of the "
      "canopy layer the sensors look at).");
  cls.def("instance_triangle_counts", &EmbreeSceneManager::instance_triangle_counts,
          "Triangles of every instance, in instance order.");
  cls.def("get_instance_primitive_offsets", &EmbreeSceneManager::instance_primitive_offsets,
          "Global index of each instance's first primitive, followed by n_primitives().");
  cls.def("is_populate_primitive_soa", &EmbreeSceneManager::populate_primitive_soa,
          "Whether build() fills the per-primitive tables (see set_populate_primitive_soa).");
  cls.def("set_populate_primitive_soa", &EmbreeSceneManager::set_populate_primitive_soa,
          py::arg("enabled"),
          "Enable per-primitive SoA + per-instance lookup tables for the next build(). Required "
          "by EB / SIF / RRT-based paths.");
  cls.def(
      "get_primitive_mat_ids",
      [](const EmbreeSceneManager& s) { return to_numpy(s.primitive_material_ids()); },
      "Material id of every global primitive, int32 [n_primitives].");
  cls.def(
      "get_primitive_areas",
      [](const EmbreeSceneManager& s) { return to_numpy(s.primitive_areas()); },
      "World-space area (scene units squared) of every global primitive, float32 "
      "[n_primitives].");
  cls.def(
      "get_primitive_normals",
      [](const EmbreeSceneManager& s) {
        const auto prims = s.primitive_geometry();
        py::array_t<float> out({static_cast<py::ssize_t>(prims.size()), py::ssize_t{3}});
        for (size_t i = 0; i < prims.size(); ++i) {
          std::memcpy(out.mutable_data() + 3 * i, &prims[i].normal, sizeof(float3));
        }
        return out;
      },
      "Unit world-space normal of every global primitive, [n_primitives, 3].");
  cls.def("primitive_geometry", &primitive_geometry_dict,
          "World-space triangles of every global primitive: vertices [n, 3, 3], normals, "
          "areas, material_ids, instance_ids, primitive_ids.");

  // ---- attached data ---------------------------------------------------------------------------
  cls.def(
      "set_primitive_emissivities",
      [](EmbreeSceneManager& s, const carray<float>& v) {
        s.set_primitive_emissivities(float_vector(v));
      },
      py::arg("emissivities"),
      "Per-primitive emissivities (0..1), float32 [n_primitives]; they replace the materials' "
      "emissivities in thermal runs.");
  cls.def(
      "get_primitive_emissivities",
      [](const EmbreeSceneManager& s) { return to_numpy(s.primitive_emissivities()); },
      "The stored per-primitive emissivities (empty when none are set).");
  cls.def("clear_primitive_emissivities", &EmbreeSceneManager::clear_primitive_emissivities,
          "Forget the per-primitive emissivities.");
  cls.def(
      "set_primitive_temperatures",
      [](EmbreeSceneManager& s, const carray<float>& v) {
        s.set_primitive_temperatures(float_vector(v));
      },
      py::arg("temperatures"),
      "Upload per-primitive temperatures (K). Length must equal n_primitives(). Closesthit "
      "thermal mode reads these in preference to mat.params[2..4] when set.");
  cls.def("clear_primitive_temperatures", &EmbreeSceneManager::clear_primitive_temperatures,
          "Forget the per-primitive temperatures.");
  cls.def(
      "get_primitive_temperatures",
      [](const EmbreeSceneManager& s) { return to_numpy(s.primitive_temperatures()); },
      "The stored per-primitive temperatures in K (empty when none are set).");
  cls.def(
      "set_primitive_sif_spectra",
      [](EmbreeSceneManager& s, const carray<float>& v, int bands) {
        s.set_primitive_sif_spectra(float_vector(v), bands);
      },
      py::arg("spectra"), py::arg("n_sif_bands"),
      "Per-primitive SIF emission, band-major [n_sif_bands][n_primitives].");
  cls.def("clear_primitive_sif_spectra", &EmbreeSceneManager::clear_primitive_sif_spectra,
          "Forget the per-primitive SIF spectra (the SIF band count returns to 0).");
  cls.def(
      "set_instance_turbid_thermal_state",
      [](EmbreeSceneManager& s, const carray<float>& sunlit, const carray<float>& shaded,
         const carray<float>& fraction, const carray<float>& emissivity) {
        s.set_instance_turbid_thermal_state({float_vector(sunlit), float_vector(shaded),
                                             float_vector(fraction), float_vector(emissivity)});
      },
      py::arg("temperature_sunlit"), py::arg("temperature_shaded"), py::arg("sunlit_fraction"),
      py::arg("emissivity"),
      "Thermal state of the leaves inside each instance's media: sunlit and shaded leaf "
      "temperatures (K), sunlit fraction (0..1) and leaf emissivity, float32 [num_instances] "
      "each. Thermal renders make those leaves emit emissivity * (f B(T_sunlit) + (1 - f) "
      "B(T_shaded)) unless a resident energy-balance temperature field covers the instance.");
  cls.def("clear_instance_turbid_thermal_state",
          &EmbreeSceneManager::clear_instance_turbid_thermal_state,
          "Forget the per-instance turbid thermal state.");
  cls.def(
      "get_instance_turbid_thermal_state",
      [](const EmbreeSceneManager& s) {
        const embree::InstanceTurbidThermalState& t = s.instance_turbid_thermal_state();
        py::dict d;
        d["temperature_sunlit"] = to_numpy(t.temperature_sunlit);
        d["temperature_shaded"] = to_numpy(t.temperature_shaded);
        d["sunlit_fraction"] = to_numpy(t.sunlit_fraction);
        d["emissivity"] = to_numpy(t.emissivity);
        return d;
      },
      "The stored per-instance turbid thermal state as a dictionary of float32 [num_instances] "
      "arrays (empty arrays when none is set).");
  cls.def(
      "set_instance_sif_spectra",
      [](EmbreeSceneManager& s, const carray<float>& v, int bands) {
        s.set_instance_sif_spectra(float_vector(v), bands);
      },
      py::arg("spectra"), py::arg("n_sif_bands"),
      "Per-instance SIF emission, band-major [n_sif_bands][num_instances].");
  cls.def("clear_instance_sif_spectra", &EmbreeSceneManager::clear_instance_sif_spectra,
          "Forget the per-instance SIF spectra.");
  cls.def(
      "set_instance_sif_source_fields",
      [](EmbreeSceneManager& s, const carray<float>& spatial, const carray<float>& orientation,
         const carray<float>& joint, const carray<float>& direct_joint,
         const carray<float>& bounds_min, const carray<float>& bounds_max,
         const carray<int32_t>& grid_dims, int n_sif_bands, int spatial_cell_stride, int theta_bins,
         int phi_bins) {
        embree::InstanceSifSourceFields f;
        f.spatial_spectra = float_vector(spatial);
        f.orientation_spectra = float_vector(orientation);
        f.joint_spectra = float_vector(joint);
        f.direct_joint_spectra = float_vector(direct_joint);
        f.bounds_min = float_vector(bounds_min);
        f.bounds_max = float_vector(bounds_max);
        f.grid_dims = to_vector(grid_dims);
        f.spatial_cell_stride = spatial_cell_stride;
        f.orientation_theta_bins = theta_bins;
        f.orientation_phi_bins = phi_bins;
        s.set_instance_sif_source_fields(std::move(f), n_sif_bands);
      },
      py::arg("spatial_spectra"), py::arg("orientation_spectra"), py::arg("joint_spectra"),
      py::arg("direct_joint_spectra"), py::arg("bounds_min"), py::arg("bounds_max"),
      py::arg("grid_dims"), py::arg("n_sif_bands"), py::arg("spatial_cell_stride"),
      py::arg("orientation_theta_bins"), py::arg("orientation_phi_bins"),
      "SIF source fields of the leaves inside instances, as assembled from per-sample sources:\n"
      "spatial_spectra [n_instances * spatial_cell_stride * n_sif_bands] over each instance's\n"
      "grid of grid_dims cells between bounds_min and bounds_max (3 values per instance),\n"
      "orientation_spectra over theta x phi bins of the leaf normal, joint_spectra and\n"
      "direct_joint_spectra [n_instances * spatial_cell_stride * n_orient * n_sif_bands] with\n"
      "index ((i * stride + c) * n_orient + o) * n_sif_bands + b.\n"
      "SIF-only renders with n_sif_bands scene bands read them as per-bin mean exitance per unit\n"
      "leaf area (divide assembled sums by their counts) and make the leaves inside the\n"
      "instance's media emit exitance / pi.");
  cls.def("clear_instance_sif_source_fields", &EmbreeSceneManager::clear_instance_sif_source_fields,
          "Forget the per-instance SIF source fields.");
  cls.def(
      "set_sif_only_mode",
      [](EmbreeSceneManager& s, bool enabled) {
        s.change_description([&](SceneDescription& d) { d.set_sif_only_mode(enabled); });
      },
      py::arg("enabled"),
      "Enable/disable SIF-only mode. When true the backward kernel returns pure SIF emission "
      "and suppresses optical reflectance (BSDF/NEE/sky).");
  cls.def(
      "repetitive_config",
      [](const EmbreeSceneManager& s) {
        const SceneDescription& d = s.description();
        return py::make_tuple(d.num_repetitions(), d.scene_x_size(), d.scene_y_size());
      },
      "(num_repetitions, scene_x_size, scene_y_size).");
  cls.def("sensor_config", &sensor_config,
          "The stored sensor: type, width, height, ortho_width, ortho_height, fov (radians), "
          "projection_type and camera_to_world (4x4).");
  cls.def("trace_closest", &trace_closest, py::arg("origins"), py::arg("directions"),
          py::arg("t_min") = 1e-4f, py::arg("t_max") = 1e30f, py::arg("num_threads") = 0,
          py::arg("outputs") = py::none(),
          "Closest hits of N rays (float32 [N, 3] origins and directions) in ray order. Runs "
          "without the interpreter lock on num_threads workers (0: all cores); results do not "
          "depend on the thread count. `outputs` (a sequence of column names; None: all) "
          "limits the result to those columns and skips the work of the others (the normals "
          "are computed only when normal, geometric_normal or is_back_face is asked for). "
          "Groups of 16 consecutive rays whose directions lie close together (camera rays of "
          "neighbouring pixels) are traced as one packet.");
}

}  // namespace tesk::python
