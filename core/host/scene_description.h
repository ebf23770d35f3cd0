#pragma once

#include <cstdint>
#include <vector>

#include "core/scene_types.h"

namespace tesk {

/// Largest scene coordinate magnitude (scene units) the CPU ray tracer handles: instance
/// translations, the world box of every instance and the periodic tile sizes must stay within
/// it. Rays are traced in single precision inside a box four times as large, which keeps every
/// ray the tracer sees, also in the object space of an instance, inside its float range.
inline constexpr float kMaxSceneCoordinate = 1e10f;

/// The scene description shared by every scene manager: materials, the spectral parameter
/// buffer, sun, skies, sensor, transport mode and periodic tiling. Setters validate only what
/// would break the transport (the sun direction, the tile sizes); offsets and kinds are the
/// caller's, and readers treat a block that does not fit in the buffer as absent, so no offset
/// can make the transport read outside the buffer.
class SceneDescription {
 public:
  /// Sets the number of spectral bands of the run.
  void set_num_bands(int n) { m_n_bands = n; }
  int num_bands() const { return m_n_bands; }

  /// Replaces the whole spectral buffer with a copy of `values`.
  void upload_spectral_params(std::vector<float> values) { m_spectral = std::move(values); }
  /// Overwrites elements offset .. offset + len - 1; an empty `values` changes nothing.
  /// Throws std::out_of_range when the range does not lie inside the buffer.
  void update_spectral_params(int offset, const std::vector<float>& values);
  const std::vector<float>& spectral_params() const { return m_spectral; }
  /// Pointer to `count` floats at `offset`, or nullptr when the offset is negative or the
  /// block does not fit inside the buffer.
  const float* spectral_block(int64_t offset, int64_t count) const;

  /// Appends a material; returns its index. The first min(len, 8) scalars are copied.
  int add_material(MaterialType type, int spectral_offset, const std::vector<float>& scalar_params);
  const std::vector<MaterialRecord>& materials() const { return m_materials; }

  /// Zeroes the emitter record and stores kind, the direction scaled to unit length and the
  /// spectrum offset. Throws std::invalid_argument "sun direction must be a finite nonzero
  /// vector" (nothing is stored then).
  void set_emitter(EmitterType type, float3 direction, int spectral_offset);
  /// Replaces the direction only, normalised and checked as in set_emitter.
  void update_emitter_direction(float3 direction);
  const EmitterRecord& emitter() const { return m_emitter; }

  void set_sensor(const SensorData& sensor) { m_sensor = sensor; }
  const SensorData& sensor() const { return m_sensor; }

  /// Uniform sky: stores its offset and clears the directional table.
  void set_sky(int offset);
  /// Directional sky table: stores its offset and clears the Hosek-Wilkie sky.
  void set_directional_sky(int offset);
  /// Hosek-Wilkie sky: stores its offset and sun direction and clears the uniform sky.
  void set_hw_sky(int offset, float3 sun_dir);
  int uniform_sky_offset() const { return m_uniform_sky_offset; }
  int directional_sky_offset() const { return m_directional_sky_offset; }
  int hw_sky_offset() const { return m_hw_sky_offset; }
  float3 hw_sun_direction() const { return m_hw_sun_dir; }

  /// Stores the thermal flag and the band wavelengths (nm) and derives the mode.
  void set_thermal_mode(bool enabled, std::vector<float> band_wavelengths);
  /// Stores the SIF-only flag and derives the mode.
  void set_sif_only_mode(bool enabled);
  bool thermal_enabled() const { return m_thermal; }
  bool sif_only_enabled() const { return m_sif_only; }
  TransportMode mode() const { return m_mode; }
  const std::vector<float>& band_wavelengths() const { return m_band_wavelengths; }

  /// Periodic tiling in x and y; active when `num_repetitions` > 0 and both sizes > 0.
  /// Throws std::invalid_argument "scene_x_size and scene_y_size must be finite and at most
  /// 1e10" for a size that is not finite or beyond kMaxSceneCoordinate (nothing is stored).
  void set_repetitive(int num_repetitions, float scene_x_size, float scene_y_size);
  int num_repetitions() const { return m_num_repetitions; }
  float scene_x_size() const { return m_scene_x_size; }
  float scene_y_size() const { return m_scene_y_size; }
  bool is_periodic() const {
    return m_num_repetitions > 0 && m_scene_x_size > 0.0f && m_scene_y_size > 0.0f;
  }

  void set_terrain_following(bool enabled) { m_terrain_following = enabled; }
  bool terrain_following() const { return m_terrain_following; }
  void set_measurement_plane(float height) { m_measurement_plane = height; }
  float measurement_plane() const { return m_measurement_plane; }

  /// Returns to the defaults with n_bands = 0, keeping the sensor and terrain following.
  void clear_for_reuse();

  /// Calls f(field) for every stored field in one fixed order (scene snapshots write and read
  /// the fields through it, so a field added here is carried by them too).
  template <typename F>
  void for_each_field(F&& f) {
    f(m_n_bands);
    f(m_spectral);
    f(m_materials);
    f(m_emitter);
    f(m_sensor);
    f(m_uniform_sky_offset);
    f(m_directional_sky_offset);
    f(m_hw_sky_offset);
    f(m_hw_sun_dir);
    f(m_thermal);
    f(m_sif_only);
    f(m_mode);
    f(m_band_wavelengths);
    f(m_num_repetitions);
    f(m_scene_x_size);
    f(m_scene_y_size);
    f(m_terrain_following);
    f(m_measurement_plane);
  }
  template <typename F>
  void for_each_field(F&& f) const {
    const_cast<SceneDescription*>(this)->for_each_field([&](const auto& field) { f(field); });
  }

 private:
  int m_n_bands = 1;
  std::vector<float> m_spectral;
  std::vector<MaterialRecord> m_materials;
  EmitterRecord m_emitter{};
  SensorData m_sensor{};
  int m_uniform_sky_offset = -1;
  int m_directional_sky_offset = -1;
  int m_hw_sky_offset = -1;
  float3 m_hw_sun_dir{0.0f, 0.0f, 1.0f};
  bool m_thermal = false;
  bool m_sif_only = false;
  TransportMode m_mode = TransportMode::Optical;
  std::vector<float> m_band_wavelengths;
  int m_num_repetitions = 0;
  float m_scene_x_size = 0.0f;
  float m_scene_y_size = 0.0f;
  bool m_terrain_following = false;
  float m_measurement_plane = 0.0f;
};

/// Builds a sensor record from host values: `fov_degrees` is stored in radians and the first
/// min(len, 16) transform entries are copied, the rest left zero.
SensorData make_sensor(int type, int width, int height, float ortho_w, float ortho_h,
                       const float* camera_transform, size_t transform_len, float fov_degrees,
                       int projection_type);

}  // namespace tesk
