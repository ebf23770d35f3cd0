#version 460
// One outer step of the joint thermo-physiology elements, one invocation per element: the
// element step of physiology/joint_branch.h (included as the CPU compiles it) at the element's
// absorbed longwave of the current transport, from its sunlit and shaded branch states.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_scalar_block_layout : require
#include "shaders/joint_records.h"

layout(local_size_x_id = 0) in;
layout(set = 0, binding = 1, scalar) readonly buffer Elements { JointElementInputs elements[]; };
layout(set = 0, binding = 2, scalar) readonly buffer Traits { LeafTraits traits[]; };
// Sunlit states of every element, then the shaded ones.
layout(set = 0, binding = 3, scalar) readonly buffer States { JointBranchState states[]; };
layout(set = 0, binding = 4, scalar) readonly buffer Longwave { float longwave[]; };
layout(set = 0, binding = 5, scalar) writeonly buffer ElementOut { float element_out[]; };
layout(push_constant, scalar) uniform Push { JointStepPush P; };

void output_field(int field, uint e, float v) {
  element_out[uint(field) * uint(P.n_elements) + e] = v;
}

void main() {
  const uint e = (gl_WorkGroupID.y * gl_NumWorkGroups.x + gl_WorkGroupID.x) * gl_WorkGroupSize.x +
                 gl_LocalInvocationID.x;
  if (e >= uint(P.n_elements)) return;
  const JointElementOutcome o =
      solve_joint_element(states[e], states[uint(P.n_elements) + e], elements[e], traits[e],
                          P.micro, P.air, longwave[e]);
  output_field(kJointOutSunlitTemperature, e, o.sunlit.temperature);
  output_field(kJointOutSunlitAn, e, o.sunlit.an);
  output_field(kJointOutSunlitGs, e, o.sunlit.gs);
  output_field(kJointOutShadedTemperature, e, o.shaded.temperature);
  output_field(kJointOutShadedAn, e, o.shaded.an);
  output_field(kJointOutShadedGs, e, o.shaded.gs);
  output_field(kJointOutChange, e, o.change);
  output_field(kJointOutResidual, e, o.residual);
  output_field(kJointOutPhysiologyChange, e, o.physiology_change);
  output_field(kJointOutConverged, e, o.converged ? 1.0f : 0.0f);
}
