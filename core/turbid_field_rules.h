// The rules of a turbid field that the CPU and the Vulkan shaders share, in the C++/GLSL subset
// of core/shared_language.h: the spatial key of a position in an owner's box, the octant of a
// key at one level of the tree, and what one leaf-area sample adds to the orientation bin of a
// cell. Only literals exact in single precision appear, so GLSL's float literals promote to the
// same doubles as the host's.
#ifndef TESK_CORE_TURBID_FIELD_RULES_H
#define TESK_CORE_TURBID_FIELD_RULES_H

#include "core/shared_language.h"

#ifdef __cplusplus
namespace tesk {
#define TESK_FIELD_PRECISE
#else
// Keeps the products and sums of the shaders unfused, as on the host.
#define TESK_FIELD_PRECISE precise
#endif

/// Bits of the spatial key per axis (and deepest level of a field tree).
TESK_SHARED_CONST int kTurbidFieldKeyBits = 10;

/// The 10-bit quantised coordinate of `p` on the axis [lo, hi]: u = (p - lo) / (hi - lo)
/// clamped to [0, 1) (0 when the extent is not positive or u is NaN), times 1024, floored.
TESK_SHARED_FN int turbid_field_quantize(double p, float lo, float hi) {
  const double extent = double(hi) - double(lo);
  double u = extent > 0.0 ? (p - double(lo)) / extent : 0.0;
  if (!(u > 0.0)) u = 0.0;  // also NaN
  if (u > 1.0) u = 1.0;
  // u * 1024 is exact (a power of two), so u < 1 floors to at most 1023.
  const int q = int(floor(u * 1024.0));
  return q > 1023 ? 1023 : q;
}

/// The 30-bit path of quantised coordinates (qx, qy, qz): level k (1..10), most significant
/// first, holds bit 10 - k of each axis as x | y << 1 | z << 2.
TESK_SHARED_FN int turbid_field_path(int qx, int qy, int qz) {
  int path = 0;
  for (int k = 1; k <= kTurbidFieldKeyBits; ++k) {
    const int bit = kTurbidFieldKeyBits - k;
    const int digit = ((qx >> bit) & 1) | (((qy >> bit) & 1) << 1) | (((qz >> bit) & 1) << 2);
    path = (path << 3) | digit;
  }
  return path;
}

/// The octant of `path` at level `level` (1..10).
TESK_SHARED_FN int turbid_field_digit(int path, int level) {
  return (path >> (3 * (kTurbidFieldKeyBits - level))) & 7;
}

/// What one sample adds to its orientation bin: its leaf area and the area-weighted channels
/// "source" (p s + (1 - p) h of the configured state field, s sunlit and h shaded), "direct"
/// (p times the sunlit direct shortwave) and "diffuse" (the rest of the absorbed shortwave),
/// and the "source" channel split by condition (w p, w p s, w (1 - p) h).
struct TurbidFieldTerms {
  double weight;
  double source;
  double direct;
  double diffuse;
  double sunlit_weight;
  double sunlit_sum;
  double shaded_sum;
};

/// The terms of a sample of leaf area `w` and sunlit probability `p`: `lit_source` and
/// `shade_source` the configured field of its sunlit and shaded records, `lit_direct` the
/// sunlit direct shortwave, `lit_top` + `lit_bottom` and `shade_top` + `shade_bottom` the
/// absorbed shortwave of both sides.
TESK_SHARED_FN TurbidFieldTerms turbid_field_terms(double w, float p, float lit_source,
                                                   float shade_source, float lit_direct,
                                                   float lit_top, float lit_bottom, float shade_top,
                                                   float shade_bottom) {
  const double pd = double(p);
  TESK_FIELD_PRECISE const double q = 1.0 - pd;
  TESK_FIELD_PRECISE const double lit = pd * double(lit_source);
  TESK_FIELD_PRECISE const double shade = q * double(shade_source);
  TESK_FIELD_PRECISE const double direct = pd * double(lit_direct);
  TESK_FIELD_PRECISE const double sw_lit = double(lit_top) + double(lit_bottom);
  TESK_FIELD_PRECISE const double sw_shade = double(shade_top) + double(shade_bottom);
  TESK_FIELD_PRECISE const double diffuse = pd * (sw_lit - double(lit_direct)) + q * sw_shade;
  TurbidFieldTerms t;
  t.weight = w;
  t.source = w * (lit + shade);
  t.direct = w * direct;
  t.diffuse = w * diffuse;
  t.sunlit_weight = w * pd;
  t.sunlit_sum = w * lit;
  t.shaded_sum = w * shade;
  return t;
}

#ifdef __cplusplus
}  // namespace tesk
#endif

#endif  // TESK_CORE_TURBID_FIELD_RULES_H
