// Records and constants shared by the Vulkan host code and the GLSL compute shaders. The file is
// written in the subset both languages accept (structs of 32-bit scalars, `const` scalars), so
// the host and the shaders read one definition; the shaders use the scalar block layout, in
// which these structs are packed exactly as the C++ compiler packs them.
#ifndef TESK_DEVICE_RECORDS_H
#define TESK_DEVICE_RECORDS_H

#ifdef __cplusplus
#include <cstdint>
#include <type_traits>
namespace tesk::vulkan::device {
using uint = uint32_t;
#define TESK_SHARED_CONST inline constexpr
// Used without a trailing semicolon: GLSL refuses an empty declaration.
#define TESK_SHARED_RECORD(T, bytes)                         \
  static_assert(sizeof(T) == (bytes), #T " layout changed"); \
  static_assert(std::is_trivially_copyable_v<T>, #T " must be copyable");
#else
#define TESK_SHARED_CONST const
#define TESK_SHARED_RECORD(T, bytes)
#endif

// Workgroup width of every one-dimensional compute shader.
TESK_SHARED_CONST uint kWorkgroupSize = 64u;

// Largest workgroup count of one dispatch dimension (the minimum every device supports).
TESK_SHARED_CONST uint kMaxGroupsPerRow = 65535u;

// Sentinel of "no index" in the id fields of a hit.
TESK_SHARED_CONST int kNoId = -1;

// ---- transport constants: the shaders' copies of core/transport_constants.h and the core
// scattering and illumination constants (the host checks each against its CPU original) ----
TESK_SHARED_CONST float kPi = 3.14159265f;
TESK_SHARED_CONST float kInvPi = 0.31830987f;
TESK_SHARED_CONST float kTwoPi = 6.2831855f;
TESK_SHARED_CONST float kSolarDiskSolidAngle = 6.794e-05f;
TESK_SHARED_CONST float kSunViewCosine = 0.999989f;
TESK_SHARED_CONST float kRayTMin = 1e-4f;
TESK_SHARED_CONST float kRayTMax = 1e30f;
TESK_SHARED_CONST float kFarDistance = 1e16f;
TESK_SHARED_CONST float kMinScatterPdf = 1e-8f;
TESK_SHARED_CONST double kMinThroughput = 1e-6;
TESK_SHARED_CONST double kMinPhotonWeight = 1e-8;
TESK_SHARED_CONST double kMaxSurvival = 0.95;
TESK_SHARED_CONST float kParallelEpsilon = 1e-8f;
TESK_SHARED_CONST float kTileWallMin = 1e-4f;
TESK_SHARED_CONST float kTileEntryInset = 1e-3f;
TESK_SHARED_CONST float kTerrainBackoff = 1e5f;
TESK_SHARED_CONST float kFaceSampleOffset = 1e-4f;
TESK_SHARED_CONST float kStefanBoltzmann = 5.6703744e-8f;
TESK_SHARED_CONST float kDefaultEmissivity = 0.97f;
TESK_SHARED_CONST int kMaxPhotonSteps = 1048576;
// Random-stream keys of the workflows (StreamKey).
TESK_SHARED_CONST uint kStreamBackwardPixel = 1u;
TESK_SHARED_CONST uint kStreamEnergyBalance = 3u;
TESK_SHARED_CONST uint kStreamMicrowaveRay = 6u;

// One placed mesh as the shaders see it.
struct InstanceRecord {
  int mesh_id;             // instanced mesh
  int material_id;         // material of that mesh
  int primitive_offset;    // global index of the instance's first triangle
  int triangle_offset;     // first triangle of the mesh in the concatenated index buffer
  int vertex_offset;       // first vertex of the mesh in the concatenated vertex buffers
  int has_normals;         // 1 when the mesh has vertex normals
  float normal_matrix[9];  // maps object normals to world (core/instance_normals.h)
};
TESK_SHARED_RECORD(InstanceRecord, 60)

// One ray of a batch query.
struct TraceRay {
  float origin[3];     // world origin
  float t_min;         // smallest accepted hit distance
  float direction[3];  // direction (t is in its units)
  float t_max;         // largest accepted hit distance
};
TESK_SHARED_RECORD(TraceRay, 32)

// The closest hit of one ray; on a miss every field keeps its default except t = t_max.
struct TraceHit {
  float t;                    // hit distance
  int instance_id;            // instance index or -1
  int primitive_id;           // triangle within the mesh or -1
  int global_primitive_id;    // global primitive index or -1
  int material_id;            // material of the hit mesh or -1
  uint hit;                   // 1 when something was hit
  uint is_back_face;          // 1 when the ray met the side opposite (P1-P0)x(P2-P0)
  float normal[3];            // unit shading normal on the side of geometric_normal
  float geometric_normal[3];  // unit geometric normal facing the ray
};
TESK_SHARED_RECORD(TraceHit, 52)

// Push constants of the batch query.
struct TracePush {
  uint count;  // number of rays
};
TESK_SHARED_RECORD(TracePush, 4)

// Most bands one backward path carries on the device (per-band state lives in registers).
TESK_SHARED_CONST int kMaxDeviceBands = 32;
// Event slots of the event split: sun scattered, turbid medium, outside (sky, sun seen),
// emission.
TESK_SHARED_CONST int kEventSlots = 4;
TESK_SHARED_CONST int kEventSunScattered = 0;
TESK_SHARED_CONST int kEventOutside = 2;
TESK_SHARED_CONST int kEventEmission = 3;
// Transport modes (as the scene description derives them).
TESK_SHARED_CONST int kModeOptical = 0;
TESK_SHARED_CONST int kModeThermal = 1;
TESK_SHARED_CONST int kModeSifOnly = 2;

// A material exactly as the scene description stores it (MaterialRecord).
struct DeviceMaterial {
  int type;                // 0 Diffuse, 1 RPV, 13 DiffuseTransmitting; others absorb
  int spectral_offset;     // float index of the material's block
  int reserved0;           // zero
  float scalar_params[8];  // [0] mean leaf reflectance, [1] transmittance, [2..4] temperatures
  int reserved1[11];       // zero
};
TESK_SHARED_RECORD(DeviceMaterial, 88)

// Everything a backward render reads besides the buffers.
struct BackwardParams {
  int width;              // image columns
  int height;             // image rows
  int n_bands;            // bands carried by every path (1..kMaxDeviceBands)
  int spp;                // sample passes
  int max_depth;          // surface interactions after which a path ends
  int rr_depth;           // interactions before Russian roulette starts
  int mode;               // kModeOptical, kModeThermal or kModeSifOnly
  int n_materials;        // entries of the material buffer
  int n_primitives;       // global primitive count
  int spectral_size;      // floats in the spectral buffer
  int n_wavelengths;      // band wavelengths given (thermal mode)
  int has_temperatures;   // 1: per-primitive temperatures override the material's
  int has_sif;            // 1: per-primitive SIF spectra [n_bands][n_primitives]
  int sun_offset;         // float index of the sun spectrum, -1 when absent or not fitting
  float sun_dir[3];       // unit vector toward the sun (zero when unset)
  int sky_uniform;        // uniform sky offset or -1
  int sky_directional;    // directional sky table offset or -1
  int sky_hw;             // Hosek-Wilkie sky offset or -1
  float hw_sun[3];        // sun direction of the Hosek-Wilkie model
  int sensor_type;        // SensorType value
  int projection_type;    // fisheye mapping
  float fov;              // full field of view (radians)
  float ortho_w;          // orthographic width
  float ortho_h;          // orthographic height; pushbroom along-track length
  float camera[16];       // camera-to-world 4x4 row-major
  int want_events;        // 1: event split requested
  int want_orders;        // 1: scattering-order split requested
  int order_slots;        // max_output_order + 2 when requested
  int terrain_following;  // 1: orthographic camera rays start above the terrain below them
  int periodic;           // 1: the scene is one tile of a periodic pattern
  int num_repetitions;    // tile walls one ray may cross
  float tile_x;           // tile size along x
  float tile_y;           // tile size along y
  float z_top;            // scene top: nothing lies above it
  float entry_margin;     // height above the top from which camera rays enter a periodic scene
  int pass_begin;         // first sample pass of this dispatch (0 clears the sums)
  int pass_end;           // one past its last pass
};
TESK_SHARED_RECORD(BackwardParams, 224)

// Tally slots of the forward flux, in the order of the flux result.
TESK_SHARED_CONST int kFluxDown = 0;
TESK_SHARED_CONST int kFluxUp = 1;
TESK_SHARED_CONST int kFluxDownDirect = 2;
TESK_SHARED_CONST int kFluxDownDiffuse = 3;
TESK_SHARED_CONST int kFluxSlots = 4;

// Everything a forward flux run reads besides the buffers. Tallies are 64-bit fixed-point sums
// (energy times `scale`), so that photons running at once add exactly and in any order.
struct FluxParams {
  int nx;                   // grid cells along x
  int ny;                   // grid cells along y
  int n_bands;              // bands (1..kMaxDeviceBands)
  int max_bounces;          // recorded surface hits per photon, 0: all
  int max_depth;            // scattering events after which a photon ends
  int rr_depth;             // scattering events before Russian roulette starts
  int decompose;            // 1: sun/sky split of downwelling
  int periodic;             // 1: the scene is one tile of a periodic pattern
  int num_repetitions;      // tile walls one photon may cross
  int has_sky;              // 1: some sky model is set
  int n_materials;          // entries of the material buffer
  int spectral_size;        // floats in the spectral buffer
  int sun_offset;           // float index of the sun spectrum, -1 when absent or not fitting
  int sky_uniform;          // uniform sky offset or -1
  int sky_directional;      // directional sky table offset or -1
  int sky_hw;               // Hosek-Wilkie sky offset or -1
  float hw_sun[3];          // sun direction of the Hosek-Wilkie model
  float sun_dir[3];         // unit vector toward the sun (zero when unset)
  float prob_sun;           // probability that a photon is a sun photon
  float extent_x;           // grid extent Lx
  float extent_y;           // grid extent Ly
  float tile_x;             // tile size along x
  float tile_y;             // tile size along y
  float z_top;              // scene top
  float measurement_plane;  // height under which periodic photons start
  float box_min[3];         // scene bounding box
  float box_max[3];
  uint first_photon_lo;  // index of the first photon of this dispatch (low and high 32 bits)
  uint first_photon_hi;
  uint count;  // photons in this dispatch
  // Forward radiation field runs (field = 1), and flux runs of media scenes for the offsets;
  // tally offsets count 64-bit entries.
  int field;             // 1: absorbed-radiation field instead of the flux grids
  int n_layers;          // layers of the field grid
  int n_views;           // view directions of the BRF estimate
  int per_leaf;          // 1: absorption per primitive
  int terrain_instance;  // instance whose absorption counts as terrain, -1: none
  int n_primitives;      // global primitives
  uint grid_offset;      // [n_layers][ny][nx][n_bands]
  uint leaf_offset;      // [n_primitives][n_bands]
  uint terrain_offset;   // [n_bands]
  uint brf_offset;       // [n_views][n_bands]
  uint albedo_offset;    // [n_bands]
  float cell_x;          // cell size along x
  float cell_y;          // cell size along y
  // Scenes with optical turbid media only (both run kinds).
  uint grid_direct_offset;   // absorbed grid, sun photons
  uint grid_diffuse_offset;  // absorbed grid, sky photons
  uint escaped_offset;       // [n_bands] energy leaving the scene
  uint incident_offset;      // [n_bands] energy emitted
  int reserved;              // zero (keeps the doubles 8-byte aligned)
  double power;              // P0 = Lx Ly / num_photons
  double scale;              // fixed-point units per unit of energy
};
TESK_SHARED_RECORD(FluxParams, 240)

// One global primitive in world space, as the energy balance samples it.
struct DevicePrimitive {
  float v0[3];      // first vertex
  float v1[3];      // second vertex
  float v2[3];      // third vertex
  float normal[3];  // unit normal along (v1-v0)x(v2-v0)
};
TESK_SHARED_RECORD(DevicePrimitive, 48)

// Everything a single-band energy balance reads besides the buffers.
struct EnergyBalanceParams {
  int n_primitives;     // global primitives
  int n_samples;        // sample rays per face
  int longwave;         // 1: longwave band, 0: shortwave
  int two_sided;        // 1: bottom faces too
  int n_albedos;        // entries of the albedo buffer (0 or n_primitives)
  int n_temperatures;   // entries of the temperature overrides
  int n_emissivities;   // entries of the emissivity overrides
  int n_materials;      // entries of the material buffer
  int periodic;         // 1: the scene is one tile of a periodic pattern
  int num_repetitions;  // tile walls one ray may cross
  float e_sun;          // sun irradiance normal to the sun
  float sky_sw;         // isotropic shortwave sky radiance
  float sky_lw;         // isotropic longwave sky radiance
  float sun[3];         // unit vector toward the sun
  float tile_x;         // tile size along x
  float tile_y;         // tile size along y
  float z_top;          // scene top
  // Multiband runs only:
  int multiband;             // 1: all bands at once with multi-bounce paths
  int n_bands;               // bands of the run (1..kMaxDeviceBands)
  int max_depth;             // surface interactions of a sample path
  int has_sun;               // 1: per-band sun irradiance given
  int sky_from_array;        // 1: isotropic sky radiance per band from its buffer
  int scene_n_bands;         // band count of the scene's own sky blocks
  int spectral_size;         // floats in the spectral buffer (the scene's, then the call's table)
  int sky_uniform;           // sky lookups: uniform offset or -1
  int sky_directional;       // directional table offset or -1
  int sky_hw;                // Hosek-Wilkie offset or -1
  float hw_sun[3];           // sun of the Hosek-Wilkie model
  int has_albedo;            // 1: sw_albedos given
  int has_reflectance;       // 1: front reflectance given (split optics)
  int has_back_reflectance;  // 1: back reflectance given (split optics)
  int has_transmittance;     // 1: transmittance given (split optics)
};
TESK_SHARED_RECORD(EnergyBalanceParams, 144)

// ---- LiDAR ----------------------------------------------------------------------------------

// Floats of one direct-mode record: hit x, y, z, intensity, range, 1 when the pulse returned.
TESK_SHARED_CONST int kLidarDirectFields = 6;
// Cosine below which a surface returns nothing (core/transport_constants.h kMinReturnCosine).
TESK_SHARED_CONST float kMinReturnCosine = 1e-6f;

// One dispatch of LiDAR pulses: the range gate, the instrument and the scene's material table.
struct LidarParams {
  int first_pulse;       // index of the dispatch's first pulse in the pulse buffers
  int n_pulses;          // pulses of the dispatch (one invocation each)
  int n_samples;         // footprint samples per pulse (waveform mode)
  int direct;            // 1: first return of the central ray only
  int n_bins;            // range bins per waveform
  int n_wavelengths;     // wavelengths per bin
  int n_bands;           // scene bands (the back block of a two-sided leaf lies one count on)
  int n_materials;       // entries of the material buffer
  int spectral_size;     // floats in the spectral buffer
  float min_range;       // start of the range gate
  float max_range;       // end of the range gate
  float bin_width;       // range bin width
  float tan_half_angle;  // tangent of the beam divergence half angle
  float pulse_energy;    // emitted energy per pulse
  float sensor_area;     // receiver aperture area
  int reserved;          // zero
};
TESK_SHARED_RECORD(LidarParams, 64)

// ---- microwave wavefront ----------------------------------------------------------------------

// Microwave classes of a scene material (first column of the material map).
TESK_SHARED_CONST int kMicrowaveAbsorber = 0;
TESK_SHARED_CONST int kMicrowaveSoil = 1;
TESK_SHARED_CONST int kMicrowaveVegetation = 2;
TESK_SHARED_CONST int kMicrowaveTrunk = 3;
// Soil whose reflection is specular with the smooth-surface reflectivities.
TESK_SHARED_CONST int kMicrowaveSmoothSoil = 4;
// Columns of the tables: soil and trunk rows per cosine, vegetation rows per class index.
TESK_SHARED_CONST int kMicrowaveSurfaceColumns = 4;      // T_B,H, T_B,V, Gamma_H, Gamma_V
TESK_SHARED_CONST int kMicrowaveBackscatterColumns = 4;  // sigma_HH, sigma_HV, sigma_VH, sigma_VV
TESK_SHARED_CONST int kMicrowaveTrunkActiveColumns = 8;  // direct, then double-bounce sigmas
TESK_SHARED_CONST int kMicrowaveVegetationColumns = 3;   // nadir optical depth, albedo, T (K)
// Brightness temperature of the cosmic background seen through the atmosphere (K).
TESK_SHARED_CONST float kCosmicBackground = 2.725f;
// Smallest cosine used in a table lookup or a slant path.
TESK_SHARED_CONST float kMicrowaveMinCosine = 1e-3f;
// Entries of a vegetation phase-matrix cell (4 x 4, row-major, Stokes order I_H, I_V, U, V).
TESK_SHARED_CONST int kMicrowaveMuellerEntries = 16;

// One dispatch of microwave lines of sight.
struct MicrowaveParams {
  int first_ray;          // index of the dispatch's first ray in the ray buffer
  int n_rays;             // rays of the dispatch (one invocation each)
  int active_mode;        // 1: backscatter, 0: brightness temperature
  int max_depth;          // surface interactions of one line of sight
  int table_size;         // cosine entries per table row set (at least 2)
  int n_map;              // scene materials covered by the material map
  int soil_count;         // soil classes
  int vegetation_count;   // vegetation classes
  int trunk_count;        // trunk classes
  float air_temperature;  // air and atmosphere temperature (K)
  float atmosphere_tau;   // zenith optical depth of the atmosphere
  int lut_cosines;        // cosine cells of the vegetation phase tables (0: no tables)
  int lut_azimuths;       // relative azimuth cells of the vegetation phase tables
  int smooth_soil;        // 1: smooth_soil_table is present
  int dihedral_ground;    // 1: dihedral_ground_table is present
  int reserved1;          // zero
};
TESK_SHARED_RECORD(MicrowaveParams, 64)

// ---- optical turbid media (the backward variant backwardOpticalTurbid) -------------------------

TESK_SHARED_CONST int kEventTurbidMedium = 1;
TESK_SHARED_CONST int kMaxActiveMedia = 8;
TESK_SHARED_CONST int kMaxContainmentInstances = 128;
TESK_SHARED_CONST int kMaxWalkSteps = 4096;
TESK_SHARED_CONST int kMaxPathSteps = 4096;
TESK_SHARED_CONST float kBoundaryStep = 2e-4f;
TESK_SHARED_CONST double kOpaqueOpticalDepth = 60.0;
TESK_SHARED_CONST float kWallBoundaryTolerance = 5e-4f;

// The media of a scene as the walker reads them besides the records.
struct MediaParams {
  int n_media;         // medium records
  int n_material_ids;  // entries of the material-to-medium map
  float box_min[3];    // scene bounds: a point outside lies in no medium
  float box_max[3];
  int periodic;         // 1: paths and sun walks wrap across the tile walls
  int num_repetitions;  // tile walls one path or walk may cross
  float tile_x;         // tile size along x
  float tile_y;         // tile size along y
  float z_top;          // scene top: a walk above it going up meets nothing
  int reserved[3];      // zero
};
TESK_SHARED_RECORD(MediaParams, 64)

// One medium: the CPU's OpticalMediumRecord, field for field.
struct DeviceMedium {
  float leaf_area_density;           // one-sided leaf area per volume
  float leaf_characteristic_length;  // leaf size (hotspot width)
  int leaf_angle_type;               // inclination distribution
  int orientation;                   // +1: boundary normals point out of the medium
  int boundary_material;             // material of the boundary
  float G[91];                       // projection function at view zenith 0..90 degrees
};
TESK_SHARED_RECORD(DeviceMedium, 384)

// The leaf model of one medium: spectral offsets of its optics (-1: black) and band means.
struct DeviceLeafModel {
  int leaf_angle_type;  // inclination distribution
  int front;            // offset of the front reflectances, or -1
  int back;             // offset of the back reflectances, or -1
  int transmittance;    // offset of the transmittances, or -1
  float rho_front;      // band-mean front reflectance
  float tau_front;      // band-mean transmittance (front side hit)
  float rho_back;       // band-mean back reflectance
  float tau_back;       // band-mean transmittance (back side hit)
};
TESK_SHARED_RECORD(DeviceLeafModel, 32)

// ---- the leaf reverse ray tracer (media records above) ----------------------------------------
TESK_SHARED_CONST int kProjectionAngles = 91;
TESK_SHARED_CONST double kMinSunTransmittance = 1e-6;
TESK_SHARED_CONST float kTurbidDefaultEmissivity = 0.98f;
TESK_SHARED_CONST uint kStreamLeafSample = 4u;

// Everything a leaf reverse ray tracing run reads besides the buffers and the media
// (MediaParams).
struct TurbidLeafRRTDeviceParams {
  int n_samples;             // leaf-area samples
  int n_bands;               // bands of the run (1..kMaxDeviceBands)
  int rays_per_sample;       // hemisphere rays per sample and side
  int max_depth;             // scattering events per ray at most
  int thermal;               // 1: longwave, surfaces and leaves emit and reflect 1 - e
  int has_sun;               // 1: per-band sun irradiance given
  int has_sky_diffuse;       // 1: per-band isotropic sky radiance given
  int has_reflectance;       // 1: per-medium upper-side leaf reflectance given
  int has_back_reflectance;  // 1: per-medium lower-side leaf reflectance given
  int has_transmittance;     // 1: per-medium leaf transmittance given
  int n_materials;           // entries of the material buffer
  int spectral_size;         // floats in the spectral buffer (the scene's, then the sky table)
  int sky_directional;       // offset of the call's directional sky table, or -1
  float sun[3];              // unit vector toward the sun
  uint seed_lo;              // seed mixed into every sample's stream (low and high 32 bits)
  uint seed_hi;
};
TESK_SHARED_RECORD(TurbidLeafRRTDeviceParams, 72)

// Push constants of one leaf RRT dispatch: the range of samples it runs.
struct TurbidLeafRRTPush {
  uint first_sample;  // first sample of the dispatch
  uint count;         // samples in the dispatch
};
TESK_SHARED_RECORD(TurbidLeafRRTPush, 8)

#ifdef __cplusplus
}  // namespace tesk::vulkan::device
#endif
#endif
