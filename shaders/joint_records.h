// Push constants and output fields of joint_thermo_physiology.spv, shared by the Vulkan host code
// and the GLSL source (the subset of core/shared_language.h). The element coefficients and leaf
// traits travel as arrays of the records of physiology/joint_branch.h; the outputs field-major:
// field f of element e at f * n_elements + e.
#ifndef TESK_JOINT_RECORDS_H
#define TESK_JOINT_RECORDS_H

#include "physiology/joint_branch.h"

#ifdef __cplusplus
#include <type_traits>
namespace tesk::vulkan::device {
using physiology::JointAir;
using physiology::LeafMicroclimate;
#endif

// Scalars of one element-step dispatch.
struct JointStepPush {
  int n_elements;
  LeafMicroclimate micro;
  JointAir air;
};

TESK_SHARED_CONST int kJointOutSunlitTemperature = 0;
TESK_SHARED_CONST int kJointOutSunlitAn = 1;
TESK_SHARED_CONST int kJointOutSunlitGs = 2;
TESK_SHARED_CONST int kJointOutShadedTemperature = 3;
TESK_SHARED_CONST int kJointOutShadedAn = 4;
TESK_SHARED_CONST int kJointOutShadedGs = 5;
TESK_SHARED_CONST int kJointOutChange = 6;
TESK_SHARED_CONST int kJointOutResidual = 7;
TESK_SHARED_CONST int kJointOutPhysiologyChange = 8;
TESK_SHARED_CONST int kJointOutConverged = 9;  // 0 or 1
TESK_SHARED_CONST int kJointOutputFields = 10;

#ifdef __cplusplus
static_assert(std::is_trivially_copyable_v<JointStepPush>);
static_assert(sizeof(JointStepPush) == 32, "push layout: int, 4 floats, 3 floats");
static_assert(sizeof(physiology::JointElementInputs) == 13 * 4);
static_assert(sizeof(physiology::JointBranchState) == 3 * 4);
static_assert(sizeof(physiology::LeafTraits) == 6 * 4);
}  // namespace tesk::vulkan::device
#endif

#endif  // TESK_JOINT_RECORDS_H
