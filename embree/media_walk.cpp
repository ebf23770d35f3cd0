#include "embree/media_walk.h"

namespace tesk::embree {

MediaWalk<EmbreeTracer> embree_media_walk(const EmbreeSceneManager& scene, bool shading) {
  MediaWalk<EmbreeTracer> w;
  w.tracer.scene = &scene;
  w.media = media_view(scene);
  w.tiles = tile_view(scene);
  w.bounds = scene.bounds();
  w.shading_normals = shading;
  return w;
}

MediaWalk<EmbreeTracer> embree_media_walk(const TransportContext& c) {
  MediaWalk<EmbreeTracer> w;
  w.tracer.scene = c.scene;
  w.media = c.media;
  w.tiles = c.tiles;
  w.bounds = c.scene->bounds();
  w.shading_normals = c.shading_normals;
  return w;
}

ActiveMediumSet active_optical_media(const EmbreeSceneManager& scene, float3 point,
                                     float3 direction) {
  return embree_media_walk(scene).containment(point, direction);
}

MediumTraceEvent media_step(const TransportContext& c, float3 origin, float3 direction,
                            const ActiveMediumSet& active, int crossings, Pcg32& stream) {
  return embree_media_walk(c).step(origin, direction, nullptr, active, crossings, stream);
}

MediumTraceEvent media_step(const TransportContext& c, float3 origin, float3 direction,
                            ProjectionIndex zenith, const ActiveMediumSet& active, int crossings,
                            Pcg32& stream) {
  return embree_media_walk(c).step(origin, direction, &zenith, active, crossings, stream);
}

MediumTraceEvent media_boundary_step(const TransportContext& c, float3 origin, float3 direction,
                                     int crossings) {
  return embree_media_walk(c).boundary_step(origin, direction, crossings);
}

MediumTraceEvent trace_media_step(const EmbreeSceneManager& scene, float3 origin, float3 direction,
                                  const ActiveMediumSet& active, int crossings, Pcg32& stream) {
  return embree_media_walk(scene).step(origin, direction, nullptr, active, crossings, stream);
}

float3 wrap_path(const TransportContext& c, const float3& o, const float3& d, const TileExit& exit,
                 PathMedia& path, int64_t& queries) {
  return embree_media_walk(c).wrap_path(o, d, exit, path, queries);
}

MediaTransmittance walk_transmittance(const TransportContext& c, float3 o, const float3& v,
                                      const ActiveMediumSet& start, int crossings,
                                      SourcePathInMedia* source, int64_t& queries,
                                      const ProjectionIndex* zenith, double opaque_depth) {
  return embree_media_walk(c).transmittance_walk(o, v, start, crossings, source, queries, zenith,
                                                 opaque_depth);
}

double media_transmittance(const TransportContext& c, const float3& o, const float3& v,
                           const ActiveMediumSet& start, int crossings, int64_t& queries,
                           const ProjectionIndex* zenith, double min_transmittance) {
  return embree_media_walk(c).transmittance(o, v, start, crossings, queries, zenith,
                                            min_transmittance);
}

FreePathSample sample_free_path(const OpticalMediaTable& table, const ActiveMediumSet& active,
                                float3 direction, float distance_sample, float selection_sample) {
  MediaView media;
  media.media = table.media.data();
  media.n_media = static_cast<int32_t>(table.media.size());
  return tesk::sample_free_path(media, active, direction, distance_sample, selection_sample);
}

}  // namespace tesk::embree
