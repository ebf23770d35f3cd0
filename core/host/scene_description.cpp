#include "core/host/scene_description.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace tesk {

void SceneDescription::update_spectral_params(int offset, const std::vector<float>& values) {
  if (values.empty()) return;
  if (offset < 0 || static_cast<size_t>(offset) + values.size() > m_spectral.size()) {
    throw std::out_of_range("spectral parameter update is outside the spectral buffer");
  }
  std::copy(values.begin(), values.end(), m_spectral.begin() + offset);
}

const float* SceneDescription::spectral_block(int64_t offset, int64_t count) const {
  if (offset < 0 || count < 0) return nullptr;
  if (offset + count > static_cast<int64_t>(m_spectral.size())) return nullptr;
  return m_spectral.data() + offset;
}

int SceneDescription::add_material(MaterialType type, int spectral_offset,
                                   const std::vector<float>& scalar_params) {
  MaterialRecord record{};
  record.type = type;
  record.spectral_offset = spectral_offset;
  const size_t n = std::min<size_t>(scalar_params.size(), 8);
  std::copy_n(scalar_params.begin(), n, record.scalar_params);
  m_materials.push_back(record);
  return static_cast<int>(m_materials.size()) - 1;
}

namespace {

// The sun direction as a unit vector. Every workflow takes the stored direction as unit length
// (the backward renderer uses it as is, the forward one normalises again), so it is normalised
// once here. Computed in double so that tiny and huge finite vectors normalise as well.
float3 unit_sun_direction(float3 d) {
  const double x = d.x, y = d.y, z = d.z;
  const double len = std::sqrt(x * x + y * y + z * z);
  if (!std::isfinite(len) || !(len > 0.0)) {
    throw std::invalid_argument("sun direction must be a finite nonzero vector");
  }
  return float3{static_cast<float>(x / len), static_cast<float>(y / len),
                static_cast<float>(z / len)};
}

}  // namespace

void SceneDescription::update_emitter_direction(float3 direction) {
  m_emitter.direction = unit_sun_direction(direction);
}

void SceneDescription::set_emitter(EmitterType type, float3 direction, int spectral_offset) {
  const float3 unit = unit_sun_direction(direction);
  m_emitter = EmitterRecord{};
  m_emitter.type = type;
  m_emitter.direction = unit;
  m_emitter.spectral_offset = spectral_offset;
}

void SceneDescription::set_sky(int offset) {
  m_uniform_sky_offset = offset;
  m_directional_sky_offset = -1;
}

void SceneDescription::set_directional_sky(int offset) {
  m_directional_sky_offset = offset;
  m_hw_sky_offset = -1;
}

void SceneDescription::set_hw_sky(int offset, float3 sun_dir) {
  m_hw_sky_offset = offset;
  m_hw_sun_dir = sun_dir;
  m_uniform_sky_offset = -1;
}

void SceneDescription::set_thermal_mode(bool enabled, std::vector<float> band_wavelengths) {
  m_thermal = enabled;
  m_band_wavelengths = std::move(band_wavelengths);
  if (enabled) {
    if (m_mode != TransportMode::SifOnly) m_mode = TransportMode::Thermal;
  } else if (m_mode == TransportMode::Thermal) {
    m_mode = TransportMode::Optical;
  }
}

void SceneDescription::set_sif_only_mode(bool enabled) {
  m_sif_only = enabled;
  if (enabled) {
    m_mode = TransportMode::SifOnly;
  } else {
    m_mode = m_thermal ? TransportMode::Thermal : TransportMode::Optical;
  }
}

void SceneDescription::set_repetitive(int num_repetitions, float scene_x_size, float scene_y_size) {
  auto traceable = [](float size) {
    return std::isfinite(size) && std::fabs(size) <= kMaxSceneCoordinate;
  };
  if (!traceable(scene_x_size) || !traceable(scene_y_size)) {
    throw std::invalid_argument("scene_x_size and scene_y_size must be finite and at most 1e10");
  }
  m_num_repetitions = num_repetitions;
  m_scene_x_size = scene_x_size;
  m_scene_y_size = scene_y_size;
}

void SceneDescription::clear_for_reuse() {
  SceneDescription fresh;
  fresh.m_n_bands = 0;
  fresh.m_sensor = m_sensor;
  fresh.m_terrain_following = m_terrain_following;
  *this = std::move(fresh);
}

SensorData make_sensor(int type, int width, int height, float ortho_w, float ortho_h,
                       const float* camera_transform, size_t transform_len, float fov_degrees,
                       int projection_type) {
  SensorData s{};
  s.type = static_cast<SensorType>(type);  // unknown kinds are kept and make no rays
  s.width = width;
  s.height = height;
  s.ortho_w = ortho_w;
  s.ortho_h = ortho_h;
  const float pi = 3.1415927f;
  s.fov = fov_degrees * pi / 180.0f;
  s.projection_type = projection_type;
  if (camera_transform != nullptr) {
    std::memcpy(s.camera_transform, camera_transform,
                std::min<size_t>(transform_len, 16) * sizeof(float));
  }
  return s;
}

}  // namespace tesk
