#include "core/host/scene_description.h"

#include <algorithm>
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

void SceneDescription::set_emitter(EmitterType type, float3 direction, int spectral_offset) {
  m_emitter = EmitterRecord{};
  m_emitter.type = type;
  m_emitter.direction = direction;
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
