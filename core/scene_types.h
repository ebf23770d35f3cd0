#pragma once

#include <cstdint>
#include <type_traits>

#include "core/host_device.h"
#include "core/vec.h"

namespace tesk {

/// Kind of a material; selects the scattering model and the layout of its spectral block.
enum class MaterialType : int32_t {
  Diffuse = 0,              ///< Lambertian reflector: n_bands reflectances (thermal: emissivities).
  RPV = 1,                  ///< Rahman-Pinty-Verstraete reflector: rho0, k, Theta, rho_c per band.
  DiffuseTransmitting = 13  ///< Two-sided Lambertian leaf: front/back reflectance, transmittance.
};

/// Kind of the scene's single emitter; the CPU transport treats every kind as a directional sun.
enum class EmitterType : int32_t {
  Directional = 0  ///< A sun at infinity.
};

/// One material: its kind, where its spectral block starts and a few per-material scalars.
struct MaterialRecord {
  MaterialType type = MaterialType::Diffuse;  ///< Scattering model.
  int32_t spectral_offset = -1;  ///< Float index of the material's block in the spectral buffer.
  int32_t reserved0 = 0;         ///< Zero.
  /// Per-material scalars: [0] band-mean leaf reflectance, [1] band-mean leaf transmittance,
  /// [2] surface temperature (K), [3] sunlit temperature (K), [4] shaded temperature (K).
  float scalar_params[8] = {};
  int32_t reserved1[11] = {};  ///< Zero.
};
TESK_DEVICE_RECORD(MaterialRecord, 88);

/// The scene's sun.
struct EmitterRecord {
  EmitterType type = EmitterType::Directional;  ///< Stored and handed on unchanged.
  float3 direction{};                           ///< Unit vector from the scene towards the sun.
  float reserved0[3] = {};                      ///< Zero.
  int32_t spectral_offset = 0;  ///< Float index of the sun spectrum (irradiance normal to the sun).
  int32_t reserved1[12] = {};   ///< Zero.
};
TESK_DEVICE_RECORD(EmitterRecord, 80);

/// Sensor kinds stored in `SensorData::type`.
enum class SensorType : int32_t {
  Orthographic = 0,
  Perspective = 1,
  NonImaging = 2,
  Pushbroom = 3,
  Fisheye = 4
};

/// The sensor description, copied by value into a scene manager.
struct SensorData {
  SensorType type = SensorType::Orthographic;  ///< Kind of sensor.
  int32_t width = 0;                           ///< Image columns (along camera x).
  int32_t height = 0;                          ///< Image rows (along camera y).
  /// Camera-to-world 4x4 row-major matrix; columns 0..2 are the camera axes, column 3 the position.
  float camera_transform[16] = {};
  float fov = 0.0f;           ///< Full field of view (radians).
  float reserved0[3] = {};    ///< Zero.
  float ortho_w = 0.0f;       ///< Orthographic image width (scene units).
  float ortho_h = 0.0f;       ///< Orthographic image height; pushbroom along-track length.
  int32_t reserved1[7] = {};  ///< Zero.
  int32_t projection_type =
      0;  ///< Fisheye mapping: 0 equisolid, 1 equidistant, 2 orthographic, 3 stereographic.
  int32_t reserved2 = 0;  ///< Zero.
};
TESK_DEVICE_RECORD(SensorData, 136);

/// Transport mode derived from the thermal and SIF-only flags.
enum class TransportMode : uint8_t { Optical = 0, Thermal = 1, SifOnly = 2 };

namespace backend {

/// One ray of a batch query.
struct Ray {
  float3 origin{};        ///< World-space origin.
  float t_min = 1e-4f;    ///< Smallest accepted hit distance.
  float3 direction{};     ///< World-space direction (need not be unit; t is in its units).
  float t_max = 1e30f;    ///< Largest accepted hit distance.
  uint32_t reserved = 0;  ///< Not read by the CPU backend.
};
TESK_DEVICE_RECORD(Ray, 36);

/// What a backward optical render produces besides radiance.
struct OpticalProductRequest {
  bool standard_error = false;    ///< Per-pixel standard error of the mean.
  bool event_aov = false;         ///< Radiance split by the kind of the contributing event.
  bool scattering_order = false;  ///< Radiance split by scattering order.
  int32_t max_output_order = 0;   ///< Highest separately reported scattering order.
};
TESK_DEVICE_RECORD(OpticalProductRequest, 8);

}  // namespace backend

/// Scene bounding box, stored in the order the transport reads it.
struct SceneBounds {
  float max_z = 0.0f;  ///< Scene top (`max_height`).
  float min_z = 0.0f;  ///< Scene bottom (`min_height`).
  float min_x = 0.0f;
  float max_x = 0.0f;
  float min_y = 0.0f;
  float max_y = 0.0f;
};
TESK_DEVICE_RECORD(SceneBounds, 24);

/// Result of one closest-hit query. On a miss every field keeps its default except `t`,
/// which is the ray's t_max.
struct HitRecord {
  float t = 0.0f;                   ///< Hit distance in units of the ray direction.
  float3 position{};                ///< origin + t * direction (world).
  float3 normal{0.0f, 0.0f, 1.0f};  ///< Unit shading normal, same side as geometric_normal.
  float3 geometric_normal{0.0f, 0.0f, 1.0f};  ///< Unit geometric normal facing the ray.
  int32_t material_id = -1;                   ///< Material of the hit mesh.
  int32_t primitive_id = -1;                  ///< Triangle index within the mesh.
  int32_t global_primitive_id = -1;           ///< Global primitive index.
  int32_t instance_id = -1;                   ///< Instance index.
  bool hit = false;                           ///< Whether anything was hit.
  bool is_back_face = false;                  ///< The ray hit the side opposite (P1-P0)x(P2-P0).
};
TESK_DEVICE_RECORD(HitRecord, 60);

}  // namespace tesk
