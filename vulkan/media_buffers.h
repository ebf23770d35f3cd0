#pragma once

#include "vulkan/context.h"
#include "vulkan/scene_manager.h"

namespace tesk::vulkan {

/// The device view of a scene's optical turbid media, read by shaders/media_walk.glsl at
/// bindings 15..18: the walker's parameters (media count, scene box, tiles), the medium records,
/// the material-to-medium map and each medium's leaf model (spectral offsets of its optics and
/// band means).
struct MediaBuffers {
  Buffer params;
  Buffer media;
  Buffer material_media;
  Buffer leaf_models;
};

/// Uploads the media of `scene` (placeholders and a zero media count for a scene without
/// media). With `periodic` false the walker ignores the scene's tiles (the LiDAR sees the scene
/// as placed).
MediaBuffers upload_media(VulkanSceneManager& scene, bool periodic = true);

}  // namespace tesk::vulkan
