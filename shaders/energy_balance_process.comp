#version 460
// One relaxation step of the energy-balance process, one invocation per active surface element:
// the Newton solve of physiology/surface_balance.h (included as the CPU compiles it) at the
// element's current absorbed radiation, then T <- damping T_solved + (1 - damping) T.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_scalar_block_layout : require
#include "physiology/surface_balance.h"
#include "shaders/physiology_records.h"

layout(local_size_x_id = 0) in;
layout(set = 0, binding = 1, scalar) readonly buffer ElementIn { float element_in[]; };
layout(set = 0, binding = 2, scalar) readonly buffer ActiveFlags { int active_flags[]; };
layout(set = 0, binding = 3, scalar) writeonly buffer ElementOut { float element_out[]; };
layout(push_constant, scalar) uniform Push { SurfaceBalancePush P; };

float input_field(int field, uint e) { return element_in[uint(field) * uint(P.n_elements) + e]; }
void output_field(int field, uint e, float v) {
  element_out[uint(field) * uint(P.n_elements) + e] = v;
}

void main() {
  const uint e = (gl_WorkGroupID.y * gl_NumWorkGroups.x + gl_WorkGroupID.x) * gl_WorkGroupSize.x +
                 gl_LocalInvocationID.x;
  if (e >= uint(P.n_elements)) return;
  const float t = input_field(kSurfaceTemperature, e);
  if (active_flags[e] == 0) {
    output_field(kSurfaceOutTemperature, e, t);
    output_field(kSurfaceOutChange, e, 0.0f);
    return;
  }
  const SurfaceBalanceInputs inputs = SurfaceBalanceInputs(
      input_field(kSurfaceAbsorbed, e), input_field(kSurfaceEmissivity, e),
      input_field(kSurfaceSidedness, e), input_field(kSurfaceSensibleDerivative, e),
      input_field(kSurfaceLatentCoefficient, e), input_field(kSurfaceGroundHeat, e),
      P.air_temperature, P.vapor_pressure);
  const SurfaceBalanceSolution s = solve_surface_balance(t, inputs, P.newton_max_iterations,
                                                         P.newton_tolerance, P.max_step);
  const float t_new = P.damping * s.temperature + (1.0f - P.damping) * t;
  output_field(kSurfaceOutTemperature, e, t_new);
  output_field(kSurfaceOutChange, e, abs(t_new - t));
  output_field(kSurfaceOutNetRadiation, e, s.net_radiation);
  output_field(kSurfaceOutSensibleHeat, e, s.sensible_heat);
  output_field(kSurfaceOutLatentHeat, e, s.latent_heat);
  output_field(kSurfaceOutEmitted, e, s.emitted_longwave);
  output_field(kSurfaceOutConverged, e, s.converged ? 1.0f : 0.0f);
}
