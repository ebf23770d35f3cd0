#include "vulkan/leaf_sources.h"

#include <map>
#include <stdexcept>
#include <vector>

#include "embree/resident_leaf_sources.h"
#include "embree/transport_context.h"
#include "shaders/leaf_source_records.h"
#include "turbid/fields.h"

namespace tesk::vulkan {

static_assert(device::kResidentFieldBins == turbid::kFieldBins &&
              device::kResidentMaxDepth == static_cast<int>(turbid::kMaxFieldDepth));

namespace {

using embree::ResidentLeafSource;

// The resident sources flattened into the int and float tables of shaders/leaf_sources.glsl.
struct ResidentTables {
  std::vector<int32_t> ints;
  std::vector<float> floats;
};

ResidentTables pack_resident(const embree::ResidentLeafSources& resident,
                             device::LeafSourceParams& p) {
  const auto n_instances = static_cast<int32_t>(resident.instances.size());
  std::vector<int32_t> instances, part_owner, owner_root, cells, fields;
  std::vector<float> part_boxes, owner_boxes, values;
  std::map<const turbid::TurbidField*, int32_t> field_index, owner_base;
  for (const ResidentLeafSource& s : resident.instances) {
    using Kind = ResidentLeafSource::Kind;
    const int32_t kind = s.kind == Kind::Field          ? device::kResidentField
                         : s.kind == Kind::Observation  ? device::kResidentObservation
                         : s.kind == Kind::Incompatible ? device::kResidentIncompatible
                         : s.kind == Kind::Ambiguous    ? device::kResidentAmbiguous
                                                        : device::kResidentNone;
    int32_t field = -1;
    if (s.field != nullptr &&
        (kind == device::kResidentField || kind == device::kResidentObservation)) {
      const turbid::TurbidField& f = *s.field;
      const auto found = field_index.find(&f);
      if (found != field_index.end()) {
        field = found->second;
      } else {
        field = static_cast<int32_t>(fields.size() / device::kResidentFieldInts);
        field_index[&f] = field;
        const bool observation = kind == device::kResidentObservation;
        const int32_t nb = observation ? static_cast<int32_t>(f.spectral_wavelengths.size()) : 0;
        const auto first_cell = static_cast<int32_t>(cells.size() / device::kResidentCellInts);
        fields.insert(fields.end(), {kind, nb, static_cast<int32_t>(values.size()), first_cell});
        owner_base[&f] = static_cast<int32_t>(owner_root.size());
        for (size_t o = 0; o < f.owners.size(); ++o) {
          owner_root.push_back(first_cell + static_cast<int32_t>(f.owner_cell_offsets[o]));
          const turbid::TurbidFieldOwner& w = f.owners[o];
          owner_boxes.insert(owner_boxes.end(), w.bounds_min.begin(), w.bounds_min.end());
          owner_boxes.insert(owner_boxes.end(), w.bounds_max.begin(), w.bounds_max.end());
        }
        const auto global = [first_cell](int32_t c) { return c < 0 ? -1 : first_cell + c; };
        const bool spectral = !f.spectral_front.empty() && !f.spectral_back.empty();
        for (size_t c = 0; c < f.cells.size(); ++c) {
          const turbid::TurbidFieldCell& cell = f.cells[c];
          cells.push_back(static_cast<int32_t>(cell.depth));
          cells.push_back(global(cell.parent_index));
          for (const int32_t child : cell.children) cells.push_back(global(child));
          for (int bin = 0; bin < turbid::kFieldBins; ++bin) {
            const turbid::TurbidFieldBin& b = cell.bins[static_cast<size_t>(bin)];
            values.push_back(b.weight > 0.0 ? 1.0f : 0.0f);
            if (!observation) {
              const turbid::TurbidSourceSplit t = turbid::source_split(b);
              values.insert(values.end(),
                            {static_cast<float>(t.sunlit_fraction),
                             static_cast<float>(t.sunlit_mean), static_cast<float>(t.shaded_mean)});
              continue;
            }
            const size_t at =
                (c * turbid::kFieldBins + static_cast<size_t>(bin)) * static_cast<size_t>(nb);
            for (const std::vector<float>* face : {&f.spectral_front, &f.spectral_back}) {
              for (int32_t k = 0; k < nb; ++k) {
                values.push_back(spectral ? (*face)[at + static_cast<size_t>(k)] : 0.0f);
              }
            }
          }
        }
        if (!spectral && observation) fields[fields.size() - 3] = 0;  // no band can be served
      }
    }
    const auto first_part = static_cast<int32_t>(part_owner.size());
    for (const embree::ResidentSourcePart& part : s.parts) {
      part_owner.push_back(part.owner < 0 || field < 0 ? -1 : owner_base[s.field] + part.owner);
      part_boxes.insert(part_boxes.end(), {part.bounds_min.x, part.bounds_min.y, part.bounds_min.z,
                                           part.bounds_max.x, part.bounds_max.y, part.bounds_max.z,
                                           part.shift.x, part.shift.y, part.shift.z});
    }
    instances.insert(instances.end(),
                     {kind, first_part, static_cast<int32_t>(s.parts.size()), field});
  }
  ResidentTables t;
  t.ints = instances;
  p.resident_instances = n_instances;
  p.resident_parts_at = static_cast<int32_t>(t.ints.size());
  t.ints.insert(t.ints.end(), part_owner.begin(), part_owner.end());
  p.resident_owners_at = static_cast<int32_t>(t.ints.size());
  t.ints.insert(t.ints.end(), owner_root.begin(), owner_root.end());
  p.resident_cells_at = static_cast<int32_t>(t.ints.size());
  t.ints.insert(t.ints.end(), cells.begin(), cells.end());
  p.resident_fields_at = static_cast<int32_t>(t.ints.size());
  t.ints.insert(t.ints.end(), fields.begin(), fields.end());
  // Floats: parts at 0, owners, then the values (field value offsets move by the prefix).
  t.floats = part_boxes;
  p.resident_owner_boxes_at = static_cast<int32_t>(t.floats.size());
  t.floats.insert(t.floats.end(), owner_boxes.begin(), owner_boxes.end());
  const auto values_at = static_cast<int32_t>(t.floats.size());
  t.floats.insert(t.floats.end(), values.begin(), values.end());
  for (size_t k = 0; k < fields.size(); k += device::kResidentFieldInts) {
    t.ints[static_cast<size_t>(p.resident_fields_at) + k + 2] += values_at;
  }
  return t;
}

}  // namespace

void check_resident_lookups(const LeafSourceBuffers& buffers) {
  if (!buffers.has_resident) return;
  int32_t code = 0;
  buffers.resident_error.download(&code, sizeof(code));
  switch (code) {
    case 0:
      return;
    case device::kResidentFailAmbiguous:
      throw std::runtime_error(
          "A backend instance belongs to multiple resident Turbid observation domains");
    case device::kResidentFailIncompatible:
      throw std::runtime_error("Turbid collision has no compatible resident spectral source");
    case device::kResidentFailNoPart:
      throw std::runtime_error("Turbid spectral collision has no authoritative transport part");
    case device::kResidentFailNoOwner:
      throw std::runtime_error("Turbid spectral collision owner has no resident field owner");
    case device::kResidentFailUnavailable:
      throw std::runtime_error("Turbid resident spectral source is unavailable");
    case device::kResidentFailNoOrientation:
      throw std::runtime_error("Turbid spectral field has no populated orientation");
    default:
      throw std::runtime_error("Turbid field lookup has no populated spatial/orientation ancestor");
  }
}

LeafSourceBuffers upload_leaf_sources(VulkanSceneManager& scene) {
  const embree::EmbreeSceneManager& host = scene.host();
  const SceneDescription& d = host.description();
  const int nb = d.num_bands();
  device::LeafSourceParams p{};
  ResidentTables resident_tables;
  if (d.mode() != TransportMode::Optical) {
    const std::vector<float>& w = d.band_wavelengths();
    const embree::ResidentLeafSources resident = embree::resolve_resident_leaf_sources(
        host, d.mode() == TransportMode::Thermal, nb, w.data(), static_cast<int>(w.size()));
    if (!resident.instances.empty()) resident_tables = pack_resident(resident, p);
  }
  const embree::TransportContext c = embree::make_transport_context(host, 0, 0, 0);
  std::vector<float> thermal;
  const LeafThermalView& th = c.leaf_thermal;
  p.thermal_instances = th.n_instances;
  for (int32_t i = 0; i < th.n_instances; ++i) {
    thermal.insert(thermal.end(),
                   {th.t_sunlit[i], th.t_shaded[i], th.sunlit_fraction[i], th.emissivity[i]});
  }
  std::vector<float> sif;
  std::vector<int32_t> grid;
  const SifSourceFieldView& f = c.leaf_sif;
  if (f.joint != nullptr && f.n_instances > 0) {
    const size_t n = static_cast<size_t>(f.n_instances);
    const size_t bands = static_cast<size_t>(f.n_bands);
    const size_t cells = n * static_cast<size_t>(f.cell_stride);
    const size_t orient = static_cast<size_t>(f.theta_bins) * static_cast<size_t>(f.phi_bins);
    auto append = [&sif](const float* v, size_t count) {
      const int at = static_cast<int>(sif.size());
      sif.insert(sif.end(), v, v + count);
      return at;
    };
    append(f.spatial, cells * bands);
    p.sif_orientation_at = append(f.orientation, n * orient * bands);
    p.sif_joint_at = append(f.joint, cells * orient * bands);
    p.sif_bounds_min_at = append(f.bounds_min, 3 * n);
    p.sif_bounds_max_at = append(f.bounds_max, 3 * n);
    grid.assign(f.grid_dims, f.grid_dims + 3 * n);
    p.sif_instances = f.n_instances;
    p.sif_bands = f.n_bands;
    p.sif_cell_stride = f.cell_stride;
    p.sif_theta_bins = f.theta_bins;
    p.sif_phi_bins = f.phi_bins;
  }
  VulkanContext& ctx = scene.context();
  LeafSourceBuffers b;
  b.params = ctx.upload_buffer(&p, sizeof(p));
  b.thermal = ctx.upload_buffer(thermal.data(), thermal.size() * sizeof(float));
  b.sif = ctx.upload_buffer(sif.data(), sif.size() * sizeof(float));
  b.sif_grid = ctx.upload_buffer(grid.data(), grid.size() * sizeof(int32_t));
  b.resident_ints =
      ctx.upload_buffer(resident_tables.ints.data(), resident_tables.ints.size() * sizeof(int32_t));
  b.resident_floats = ctx.upload_buffer(resident_tables.floats.data(),
                                        resident_tables.floats.size() * sizeof(float));
  const int32_t no_failure = 0;
  b.resident_error = ctx.upload_buffer(&no_failure, sizeof(no_failure));
  b.has_resident = p.resident_instances > 0;
  return b;
}

}  // namespace tesk::vulkan
