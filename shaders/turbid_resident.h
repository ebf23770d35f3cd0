// Device layouts of the committed Turbid domains and states that a Vulkan scene keeps resident,
// shared by the host code that uploads them and the shaders that read them.
#ifndef TESK_TURBID_RESIDENT_H
#define TESK_TURBID_RESIDENT_H

#include "shaders/device_records.h"

#ifdef __cplusplus
namespace tesk::vulkan::device {
#endif

// One accepted leaf-area sample of a resident domain; a domain's buffer holds its samples in
// pool order (owners in component order, each owner's samples in candidate order).
struct TurbidResidentSample {
  float position[3];  // world position
  float normal[3];    // unit leaf normal
  float weight;       // leaf area represented (m2)
  uint owner;         // owner index in component order
  uint id_low;        // stable sample id, low 32 bits (candidate index)
  uint id_high;       // stable sample id, high 32 bits (owner tag)
};
TESK_SHARED_RECORD(TurbidResidentSample, 40)

TESK_SHARED_CONST int kTurbidResidentStateFields = 14;

// One sample of a resident state: the sunlit probability and the sunlit and shaded leaf records
// (fields in the state's order, absorbed_sw_top first), converged flags in bit 0 (sunlit) and
// bit 1 (shaded); a state's buffer holds its samples in pool order.
struct TurbidResidentStateSample {
  float p_sun;
  float sunlit[kTurbidResidentStateFields];
  float shaded[kTurbidResidentStateFields];
  uint converged;
};
TESK_SHARED_RECORD(TurbidResidentStateSample, 120)

#ifdef __cplusplus
}  // namespace tesk::vulkan::device
#endif

#endif  // TESK_TURBID_RESIDENT_H
