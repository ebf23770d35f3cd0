#version 460
// SIF source assembly: invocation k = i * n_bands + b adds band b of the source samples of
// instance i, in sample order, into double sums of the spatial, orientation, joint and direct
// joint fields; the band-0 invocation also counts the samples of each bin. Each bin-band sum is
// written by one invocation, in the CPU's order, so the sums equal the CPU's. Cells and
// orientation bins come from physiology/sif_binning.h, the CPU's own code.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_scalar_block_layout : require
#extension GL_EXT_shader_explicit_arithmetic_types_float64 : require
#include "physiology/sif_binning.h"
#include "shaders/physiology_records.h"

layout(local_size_x_id = 0) in;
layout(set = 0, binding = 1, scalar) readonly buffer Positions { float positions[]; };
layout(set = 0, binding = 2, scalar) readonly buffer Normals { float normals[]; };
layout(set = 0, binding = 3, scalar) readonly buffer Order { int order[]; };
layout(set = 0, binding = 4, scalar) readonly buffer Offsets { int offsets[]; };
layout(set = 0, binding = 5, scalar) readonly buffer GridDims { int grid_dims[]; };
layout(set = 0, binding = 6, scalar) readonly buffer BoundsMin { float bounds_min[]; };
layout(set = 0, binding = 7, scalar) readonly buffer BoundsMax { float bounds_max[]; };
layout(set = 0, binding = 8, scalar) readonly buffer Source { float source[]; };
layout(set = 0, binding = 9, scalar) readonly buffer DirectSource { float direct_source[]; };
layout(set = 0, binding = 10, scalar) buffer Spatial { double spatial[]; };
layout(set = 0, binding = 11, scalar) buffer Orientation { double orientation[]; };
layout(set = 0, binding = 12, scalar) buffer Joint { double joint[]; };
layout(set = 0, binding = 13, scalar) buffer DirectJoint { double direct_joint[]; };
layout(set = 0, binding = 14, scalar) buffer SpatialCounts { int spatial_counts[]; };
layout(set = 0, binding = 15, scalar) buffer OrientationCounts { int orientation_counts[]; };
layout(set = 0, binding = 16, scalar) buffer JointCounts { int joint_counts[]; };
layout(push_constant, scalar) uniform Push { SifAssemblyPush P; };

void main() {
  const uint k = (gl_WorkGroupID.y * gl_NumWorkGroups.x + gl_WorkGroupID.x) * gl_WorkGroupSize.x +
                 gl_LocalInvocationID.x;
  if (k >= uint(P.n_instances) * uint(P.n_bands)) return;
  const uint i = k / uint(P.n_bands);
  const uint b = k % uint(P.n_bands);
  const uint nb = uint(P.n_bands);
  const uint ns = uint(P.n_samples);
  const uint n_orient = uint(P.theta_bins) * uint(P.phi_bins);
  const uint stride = uint(P.cell_stride);
  for (int q = offsets[i]; q < offsets[i + 1u]; ++q) {
    const uint s = uint(order[q]);
    const float lx = bounds_min[3u * i];
    const float ly = bounds_min[3u * i + 1u];
    const float lz = bounds_min[3u * i + 2u];
    const int c = sif_cell(positions[3u * s] - lx, positions[3u * s + 1u] - ly,
                           positions[3u * s + 2u] - lz, bounds_max[3u * i] - lx,
                           bounds_max[3u * i + 1u] - ly, bounds_max[3u * i + 2u] - lz,
                           grid_dims[3u * i], grid_dims[3u * i + 1u], grid_dims[3u * i + 2u]);
    const int o = sif_orientation_bin(normals[3u * s], normals[3u * s + 1u], normals[3u * s + 2u],
                                      P.theta_bins, P.phi_bins);
    if (c < 0 || uint(c) >= stride || o < 0) continue;
    const uint cell = i * stride + uint(c);
    const uint obin = i * n_orient + uint(o);
    const uint jbin = cell * n_orient + uint(o);
    if (b == 0u) {
      spatial_counts[cell] += 1;
      orientation_counts[obin] += 1;
      joint_counts[jbin] += 1;
    }
    const double v = double(source[b * ns + s]);
    const double d = double(direct_source[b * ns + s]);
    spatial[cell * nb + b] += v;
    orientation[obin * nb + b] += v;
    joint[jbin * nb + b] += v;
    direct_joint[jbin * nb + b] += d;
  }
}
