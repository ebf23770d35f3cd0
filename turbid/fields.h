#pragma once

// Turbid fields: the values of a resident state turned into something that can be looked up at
// any point and leaf orientation inside a medium. Each owner gets an adaptive spatial tree whose
// cells hold leaf-area-weighted channel sums in 4 zenith x 8 azimuth orientation bins; a cell
// above the leaf sample cap is split into its populated octants, down to depth 10.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tesk::turbid {

struct TurbidDomainStorage;
struct TurbidStateToken;
struct OwnedTurbidState;
struct TurbidSamplePool;

/// Orientation bins of a field: 4 zenith rows of 8 azimuth columns.
inline constexpr int kFieldZenithBins = 4, kFieldAzimuthBins = 8;
inline constexpr int kFieldBins = kFieldZenithBins * kFieldAzimuthBins;
/// Deepest level of a field tree (10 bits of spatial key per axis).
inline constexpr uint32_t kMaxFieldDepth = 10;

/// Channels of a field, in the order lookups name them: "source" (the configured state field,
/// p-weighted over sunlit and shaded), "direct" (absorbed direct-sun shortwave, p times the
/// sunlit value) and "diffuse" (the rest of the absorbed shortwave).
inline constexpr int kFieldChannels = 3;

/// Leaf-area-weighted sums of one orientation bin.
struct TurbidFieldBin {
  double weight = 0.0;                       ///< Leaf area (m2).
  std::array<double, kFieldChannels> sum{};  ///< Leaf area times channel value.
  /// The "source" channel split by condition: sum of w p (sunlit leaf area), of w p s and of
  /// w (1 - p) h, s and h the sunlit and shaded values of the state field.
  double sunlit_weight = 0.0, sunlit_sum = 0.0, shaded_sum = 0.0;
};

/// The "source" channel of a bin split by condition, as the state aggregation splits it: the
/// sunlit fraction P = sum w p / sum w, the sunlit mean sum w p s / sum w p (0 when P = 0) and
/// the shaded mean sum w (1 - p) h / sum w (1 - p) (0 when P = 1).
struct TurbidSourceSplit {
  double sunlit_fraction = 0.0, sunlit_mean = 0.0, shaded_mean = 0.0;
};
TurbidSourceSplit source_split(const TurbidFieldBin& bin);

/// One cell of an owner's tree.
struct TurbidFieldCell {
  uint64_t morton_code = 0;   ///< Path (3 bits a level) << (36 - 3 depth) | depth.
  int32_t parent_index = -1;  ///< Parent cell, -1 for a root.
  uint32_t depth = 0;         ///< 0 for the root.
  uint32_t sample_count = 0;  ///< Samples inside.
  std::array<int32_t, 8> children{-1, -1, -1, -1, -1, -1, -1, -1};  ///< By octant, -1: none.
  std::array<TurbidFieldBin, kFieldBins> bins{};
};

/// Address of a resident field.
struct TurbidFieldToken {
  uint64_t field_id = 0, domain_id = 0, field_revision = 0, state_id = 0;
};

/// One owner of a field: its identity, spatial bounds and authoritative geometry.
struct TurbidFieldOwner {
  uint64_t owner_id = 0, instance_id = 0, component_id = 0, medium_id = 0;
  std::array<float, 3> bounds_min{}, bounds_max{};  ///< Box the spatial keys span.
  std::vector<double> authoritative;                ///< World triangles, 9 doubles each.
  std::vector<std::pair<uint64_t, std::array<float, 3>>> aliases;  ///< Alias medium, shift.
};

/// A resident field.
struct TurbidField {
  TurbidFieldToken token;
  std::string source_field;  ///< State field of the "source" channel.
  uint32_t max_samples_per_leaf_cell = 64;
  uint64_t buffer_generation_id = 0;
  std::vector<TurbidFieldOwner> owners;      ///< Pool owner order.
  std::vector<uint64_t> owner_cell_offsets;  ///< owners + 1.
  std::vector<TurbidFieldCell> cells;
  uint64_t resident_bytes = 0;
  /// Observation source for passive sensors (empty: none): band centres (nm) and per cell,
  /// orientation bin and band the leaf-area-weighted mean radiance (W m-2 sr-1 nm-1) that the
  /// front (+normal) and back faces of the bin's leaves emit, laid out [cell][bin][band].
  std::vector<float> spectral_wavelengths;
  std::vector<float> spectral_front, spectral_back;
  uint64_t source_field_id = 0;  ///< Field the observation source was built from.
  uint64_t source_field_revision = 0;
};

/// Resident fields of a scene, by field id.
using TurbidFieldTable = std::map<uint64_t, std::shared_ptr<const TurbidField>>;

/// Bytes one cell costs against a field's memory budget.
uint64_t field_cell_bytes();

/// Orientation bin of a normal by the rule of core/sif_orientation.h (flipped into the upper
/// hemisphere; a vertical normal has azimuth bin 0), applied to the normal scaled to unit
/// length in double precision (field_unit_normal); std::invalid_argument "Turbid field lookup
/// normal is zero" for a zero normal.
int orientation_bin(double nx, double ny, double nz);

/// The single-precision unit normal the orientation rule bins: (nx, ny, nz) divided by its
/// length in double precision, so that tiny normals do not underflow. A zero normal gives 0s.
std::array<float, 3> field_unit_normal(double nx, double ny, double nz);

/// Where the samples of a field sit in its tree. Each owner's samples sorted by spatial key
/// (then pool index) fill every cell of the owner's tree with one contiguous run.
struct TurbidFieldLayout {
  std::vector<uint64_t> order;                 ///< Pool sample indices in key order.
  std::vector<uint64_t> cell_begin, cell_end;  ///< Per cell, its samples order[begin, end).
  std::vector<int32_t> leaf_of;                ///< Per pool sample, its leaf cell.
  std::vector<int32_t> bin;                    ///< Per pool sample, its orientation bin.
};

/// The layout of `pool`'s samples in `field`'s tree (the field must have been built on it).
TurbidFieldLayout field_layout(const TurbidField& field, const TurbidSamplePool& pool);

/// What the bins of a field are assembled from: the pool and state it is built on, the state
/// field of the "source" channel and the samples' layout.
struct TurbidFieldAssembly {
  const TurbidSamplePool& pool;
  const OwnedTurbidState& state;
  int source = 0;  ///< Index of the configured state field.
  TurbidFieldLayout layout;
};

/// Fills the orientation bins of `field` (cells laid out, bins empty) with the terms of
/// core/turbid_field_rules.h of every sample in its leaf cell and every ancestor.
using TurbidFieldAccumulator = std::function<void(const TurbidFieldAssembly&, TurbidField&)>;

/// The host's accumulation: samples in pool order, sums in double.
void accumulate_field_bins(const TurbidFieldAssembly& assembly, TurbidField& field);

/// Configuration of a build.
struct TurbidFieldConfig {
  uint32_t orientation_theta_bins = 4, orientation_phi_bins = 8;
  uint32_t max_samples_per_leaf_cell = 0;  ///< 0: the domain's sampling configuration.
  std::string source_field = "emitted_longwave";
  uint64_t replace_field_id = 0;  ///< Rebuild of this resident field (revision + 1); 0: new.
};

/// Builds a field from a resident state (not committed): checks, owners, the tree under the
/// budget, then `accumulate` fills the bins. Throws std::invalid_argument, std::runtime_error or
/// std::overflow_error with the build messages (all before `accumulate` runs, except the final
/// budget and the revision).
TurbidField build_field(const TurbidDomainStorage& storage, const TurbidStateToken& state,
                        const TurbidFieldConfig& config, int64_t memory_budget,
                        const TurbidFieldAccumulator& accumulate = accumulate_field_bins);

/// The field a token names; std::runtime_error "Stale TurbidField token belongs to another
/// scene/domain/state. No fallback was performed." when it is not resident or its state is gone.
const TurbidField& resolve_field(const TurbidDomainStorage& storage, const TurbidFieldToken& token);

/// Optional owner selection of a lookup (all three arrays or none).
struct TurbidFieldSelector {
  const uint64_t* owner_ids = nullptr;
  const uint64_t* medium_ids = nullptr;
  const uint64_t* resolved_alias_medium_ids = nullptr;
};

/// Result of a lookup: per query the value, the depth reached along the position's key and the
/// depth of the cell whose orientation bin gave the value.
struct TurbidFieldLookup {
  std::vector<float> values;
  std::vector<int32_t> matched_depth, fallback_depth;
};

/// The channel a lookup `kind` reads: 0 "source", 1 "direct", 2 "diffuse"; std::invalid_argument
/// "unknown Turbid field source kind: <kind>" otherwise.
int field_channel(const std::string& kind);

/// Checks `n` queries: finite positions and normals, then non-zero normals (std::invalid_argument
/// with the lookup messages, over all queries in that order).
void check_field_queries(const float* positions, const float* normals, size_t n);

/// The owner of query `q` (position xyz at `position`), with or without a selector, and in `p`
/// the position in the owner's authoritative frame (less the selected alias's periodic shift).
/// Throws std::invalid_argument with the owner-choice messages.
size_t lookup_owner(const TurbidField& field, const float* position, size_t q,
                    const TurbidFieldSelector* selector, double p[3]);

/// Looks up `n` queries (positions and normals xyz) in a field for `kind` ("source", "direct",
/// "diffuse"). Throws with the lookup messages.
TurbidFieldLookup lookup_field(const TurbidField& field, const std::string& kind,
                               const float* positions, const float* normals, size_t n,
                               const TurbidFieldSelector* selector);

/// `source_field` of the observation sources (their channels keep the base field's values).
inline constexpr const char* kThermalSourceKind = "thermal_observation";
inline constexpr const char* kSifSourceKind = "sif_observation";

/// The inputs of an observation source: `kind` (kThermalSourceKind or kSifSourceKind), band
/// centres (nm) and the front and back face data, per band the emissivity for a thermal source,
/// per sample and band ([samples][bands]) the exitance for a SIF source.
struct TurbidSourceInputs {
  const char* kind = kThermalSourceKind;
  const std::vector<float>& wavelengths;
  const std::vector<float>& front;
  const std::vector<float>& back;
};

/// Fills `source.spectral_front` and `spectral_back` (sized [cell][bin][band], zero) with the
/// leaf-area mean face radiance of every populated bin of `base`'s cells; `assembly` holds the
/// base field's pool, state and layout.
using TurbidSourceAccumulator = std::function<void(
    const TurbidFieldAssembly& assembly, const TurbidSourceInputs& inputs, TurbidField& source)>;

/// The host's accumulation of an observation source (samples in pool order, sums in double).
void accumulate_source_bins(const TurbidFieldAssembly& assembly, const TurbidSourceInputs& inputs,
                            TurbidField& source);

/// Builds the thermal observation source of resident field `token` (not committed): a new field
/// with the same cells whose bins hold, per band of `wavelengths_nm`, the leaf radiance
/// eps * (p B(T_sunlit) + (1 - p) B(T_shaded)) averaged over the bin's samples with their leaf
/// area, from the leaf temperatures and p_sun of the field's state. Averaging the radiance, not
/// the temperature, keeps the mean of B right (B is convex in T). `emissivity_front` and
/// `emissivity_back` hold one value per band. With `memory_budget` > 0 the source's resident
/// bytes (the base field's plus the radiance tables) must fit it, checked before anything is
/// allocated. Throws std::invalid_argument ("Turbid field memory budget must be positive" for a
/// negative budget, "Turbid field final resident bytes exceed its hard budget"), std::bad_alloc
/// (MemoryError) when the tables exceed physical memory, or the field token rule of
/// resolve_field.
TurbidField build_thermal_source(
    const TurbidDomainStorage& storage, const TurbidFieldToken& token,
    const std::vector<float>& wavelengths_nm, const std::vector<float>& emissivity_front,
    const std::vector<float>& emissivity_back, int64_t memory_budget = 0,
    const TurbidSourceAccumulator& accumulate = accumulate_source_bins);

/// Builds the fluorescence observation source of resident field `token` (not committed): per bin
/// and band the leaf-area-weighted mean of the given per-sample exitance spectra (W m-2 nm-1,
/// [samples][bands] in the domain's pool order, front and back face) divided by pi, the radiance
/// of a Lambertian emitting face. Budget and failures as build_thermal_source.
TurbidField build_sif_source(const TurbidDomainStorage& storage, const TurbidFieldToken& token,
                             const std::vector<float>& wavelengths_nm,
                             const std::vector<float>& exitance_front,
                             const std::vector<float>& exitance_back, int64_t memory_budget = 0,
                             const TurbidSourceAccumulator& accumulate = accumulate_source_bins);

/// The deepest cell of owner `owner`'s tree along the spatial key of `p` (xyz, the owner's
/// authoritative frame). No checks: the owner index must be valid.
int32_t owner_leaf_cell(const TurbidField& field, size_t owner, const double p[3]);

/// The cell that answers a lookup during transport of owner `owner` at `p` (the owner's frame)
/// for a leaf in orientation bin `bin`: from the deepest cell along p's key upward, the first
/// whose bin holds leaf area. There is no fallback to other orientations: throws
/// std::runtime_error "Turbid field lookup has no populated spatial/orientation ancestor" when
/// the owner holds no leaf area at all, and "Turbid spectral field has no populated
/// orientation" when it holds none of that orientation. Allocates nothing.
int32_t transport_lookup_cell(const TurbidField& field, size_t owner, const double p[3], int bin);

/// Radiance (W m-2 sr-1 nm-1) of band `band` emitted by the face (`back` or front) of the leaves
/// of owner `owner` at `p` in orientation bin `bin` of an observation source, from the cell of
/// transport_lookup_cell (whose failures it throws).
double owner_spectral_radiance(const TurbidField& field, size_t owner, const double p[3], int bin,
                               int band, bool back);

}  // namespace tesk::turbid
