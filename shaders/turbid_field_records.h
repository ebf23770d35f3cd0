// Push constants and buffer layouts of the turbid field shaders (field assembly, lookup and
// observation source), shared by the Vulkan host code and the GLSL sources (the subset of
// core/shared_language.h).
#ifndef TESK_TURBID_FIELD_RECORDS_H
#define TESK_TURBID_FIELD_RECORDS_H

#include "core/shared_language.h"

#ifdef __cplusplus
#include <type_traits>
namespace tesk::vulkan::device {
#endif

/// Orientation bins of a field cell (4 zenith x 8 azimuth).
TESK_SHARED_CONST int kFieldShaderBins = 32;

// Field assembly (turbid_field_assemble.spv): invocation k = cell * 32 + bin adds, in the key
// order of the samples, the terms of the cell's samples of that bin. Inputs: the key order of
// the pool samples, per cell the run [cell_begin, cell_end) of it, per pool sample its bin, leaf
// area (double) and kFieldSampleInputs floats; output kFieldTermCount doubles per (cell, bin).
struct TurbidFieldAssemblePush {
  int n_cells;
};
TESK_SHARED_CONST int kFieldSampleInputs = 8;  // p, source lit/shade, direct, sw tops/bottoms
TESK_SHARED_CONST int kFieldInputP = 0;
TESK_SHARED_CONST int kFieldInputLitSource = 1;
TESK_SHARED_CONST int kFieldInputShadeSource = 2;
TESK_SHARED_CONST int kFieldInputLitDirect = 3;
TESK_SHARED_CONST int kFieldInputLitTop = 4;
TESK_SHARED_CONST int kFieldInputLitBottom = 5;
TESK_SHARED_CONST int kFieldInputShadeTop = 6;
TESK_SHARED_CONST int kFieldInputShadeBottom = 7;
// Sums per (cell, bin), in the order of TurbidFieldTerms.
TESK_SHARED_CONST int kFieldTermCount = 7;

// Field lookup (turbid_field_lookup.spv): invocation q descends from its owner's root along its
// spatial key and climbs to the first cell whose orientation bin holds leaf area (root, key and
// bin per query from the host). Cells are kFieldCellInts ints (8 children, parent, depth); bins
// the assembly's kFieldTermCount doubles per (cell, bin): leaf area first, then the channels.
struct TurbidFieldLookupPush {
  int n_queries;
  int channel;  // 0 source, 1 direct, 2 diffuse
};
TESK_SHARED_CONST int kFieldCellInts = 10;
TESK_SHARED_CONST int kFieldCellParent = 8;
TESK_SHARED_CONST int kFieldCellDepth = 9;
TESK_SHARED_CONST int kFieldLookupOk = 0;
TESK_SHARED_CONST int kFieldLookupNoAncestor = 1;

// Observation source (turbid_observation_source.spv), two passes of one pipeline. Pass 0:
// invocation k = i * n_bands + b writes the leaf-area-weighted front and back radiance of pool
// sample i in band b (doubles, [sample][band][face]). Pass 1: invocation k = (cell * 32 + bin) *
// n_bands + b sums them over the cell's samples of that bin in key order and divides by the
// bin's leaf area (the first of its kFieldTermCount sums; 0 for an empty bin).
struct TurbidSourcePush {
  int pass;  // 0 or 1
  int sif;   // 1: exitance / pi per sample and band, 0: thermal emission per band
  int n_samples;
  int n_bands;
  int n_cells;
};

#ifdef __cplusplus
static_assert(sizeof(TurbidFieldAssemblePush) == 4 &&
              std::is_trivially_copyable_v<TurbidFieldAssemblePush>);
static_assert(sizeof(TurbidFieldLookupPush) == 8 &&
              std::is_trivially_copyable_v<TurbidFieldLookupPush>);
static_assert(sizeof(TurbidSourcePush) == 20 && std::is_trivially_copyable_v<TurbidSourcePush>);
}  // namespace tesk::vulkan::device
#endif

#endif  // TESK_TURBID_FIELD_RECORDS_H
