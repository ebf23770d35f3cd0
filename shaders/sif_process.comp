#version 460
// SIF finalization, one invocation per element: the element's fluorescence yield (its own, its
// material's, or 0 without a material) and its absorbed top and bottom spectra at the selected
// excitation bands.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_scalar_block_layout : require
#include "shaders/physiology_records.h"

layout(local_size_x_id = 0) in;
layout(set = 0, binding = 1, scalar) readonly buffer Top { float absorbed_top[]; };
layout(set = 0, binding = 2, scalar) readonly buffer Bottom { float absorbed_bottom[]; };
layout(set = 0, binding = 3, scalar) readonly buffer MaterialIds { int material_ids[]; };
layout(set = 0, binding = 4, scalar) readonly buffer MaterialPhiF { float material_phi_f[]; };
layout(set = 0, binding = 5, scalar) readonly buffer Selected { int selected[]; };
layout(set = 0, binding = 6, scalar) readonly buffer ElementPhiF { float element_phi_f[]; };
layout(set = 0, binding = 7, scalar) writeonly buffer PhiF { float phi_f[]; };
layout(set = 0, binding = 8, scalar) writeonly buffer TopSelected { float top_selected[]; };
layout(set = 0, binding = 9, scalar) writeonly buffer BottomSelected { float bottom_selected[]; };
layout(push_constant, scalar) uniform Push { SifProcessPush P; };

void main() {
  const uint e = (gl_WorkGroupID.y * gl_NumWorkGroups.x + gl_WorkGroupID.x) * gl_WorkGroupSize.x +
                 gl_LocalInvocationID.x;
  if (e >= uint(P.n_elements)) return;
  const int m = material_ids[e];
  phi_f[e] = P.has_element_phi_f != 0 ? element_phi_f[e] : (m >= 0 ? material_phi_f[m] : 0.0f);
  const uint nb = uint(P.n_bands);
  const uint nsel = uint(P.n_selected);
  for (uint j = 0u; j < nsel; ++j) {
    const uint k = uint(selected[j]);
    top_selected[e * nsel + j] = absorbed_top[e * nb + k];
    bottom_selected[e * nsel + j] = absorbed_bottom[e * nb + k];
  }
}
