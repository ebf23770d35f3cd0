// Energy-balance throughput on a scene exported by bench/energy_balance.py: builds the scene
// manager from the scene and description files, takes each primitive's shortwave optics from
// its material (Diffuse: reflectance; DiffuseTransmitting: front and back reflectance and
// transmittance) and the sun and sky from the description, then runs the single-band and the
// multiband workflow once to warm up and once per requested thread count.
//
// File formats: bench/scene_file.h; the helper's own record is
//   energy_balance <n_samples> <max_depth>
// Usage: tesk_bench_energy_balance scene.bin description.txt <threads>...
// Output lines: "<single|multiband> threads=<t> seconds=<s> primitives_per_s=<x> rays=<n>
//   closest=<n> shadow=<n> mrays_per_s=<x>".

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "bench/scene_file.h"
#include "core/scene_types.h"
#include "embree/energy_balance.h"
#include "embree/scene_manager.h"

namespace {

using namespace tesk;

// Band-major [n_bands][n_primitives] optics of every primitive from its material.
struct Optics {
  std::vector<float> reflectance, back_reflectance, transmittance;
};

Optics material_optics(const embree::EmbreeSceneManager& scene) {
  const SceneDescription& d = scene.description();
  const int nb = d.num_bands();
  const std::vector<int32_t> ids = scene.primitive_material_ids();
  const size_t n = ids.size();
  Optics o;
  o.reflectance.assign(nb * n, 0.0f);
  o.back_reflectance.assign(nb * n, 0.0f);
  o.transmittance.assign(nb * n, 0.0f);
  const std::vector<float>& spectra = d.spectral_params();
  for (size_t p = 0; p < n; ++p) {
    const MaterialRecord& m = d.materials().at(ids[p]);
    const float* block = spectra.data() + m.spectral_offset;
    for (int b = 0; b < nb; ++b) {
      const size_t i = b * n + p;
      o.reflectance[i] = block[b];
      if (m.type == MaterialType::DiffuseTransmitting) {
        o.back_reflectance[i] = block[nb + b];
        o.transmittance[i] = block[2 * nb + b];
      } else {
        o.back_reflectance[i] = block[b];
      }
    }
  }
  return o;
}

void print(const char* kind, int threads, double seconds, int64_t n,
           const embree::EnergyBalanceRayCounts& rays) {
  const long long total = rays.closest + rays.shadow;
  std::printf(
      "%s threads=%d seconds=%.4f primitives_per_s=%.1f rays=%lld closest=%lld shadow=%lld "
      "mrays_per_s=%.4f\n",
      kind, threads, seconds, static_cast<double>(n) / seconds, total,
      static_cast<long long>(rays.closest), static_cast<long long>(rays.shadow),
      static_cast<double>(total) / seconds / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s scene.bin description.txt threads...\n", argv[0]);
    return 2;
  }
  embree::EmbreeSceneManager scene;
  int n_samples = 4, max_depth = 8;
  bench::load_scene(scene, argv[1], argv[2], [&](const std::string& key, std::istringstream& in) {
    if (key == "energy_balance") in >> n_samples >> max_depth;
  });
  const SceneDescription& d = scene.description();
  const int nb = d.num_bands();
  const std::vector<float>& spectra = d.spectral_params();
  const std::vector<float> sun(spectra.begin() + d.emitter().spectral_offset,
                               spectra.begin() + d.emitter().spectral_offset + nb);
  const std::vector<float> sky(spectra.begin() + d.uniform_sky_offset(),
                               spectra.begin() + d.uniform_sky_offset() + nb);
  const float3 s = d.emitter().direction;
  const Optics o = material_optics(scene);
  const int64_t n = scene.n_primitives();
  std::vector<float> albedo(o.reflectance.begin(), o.reflectance.begin() + n);

  auto single = [&](int threads) {
    return embree::render_energy_balance(scene, n_samples, max_depth, 0, &sun[0], &sky[0], 0.0f,
                                         s.x, s.y, s.z, true, albedo, {}, {}, {}, threads);
  };
  auto multiband = [&](int threads) {
    return embree::render_energy_balance_multiband(scene, nb, n_samples, max_depth, sun, sky, {}, s,
                                                   true, {}, o.reflectance, o.back_reflectance,
                                                   o.transmittance, threads);
  };
  single(0);  // warm-up: page in the acceleration structure
  for (int a = 3; a < argc; ++a) {
    const int threads = std::atoi(argv[a]);
    auto t0 = std::chrono::steady_clock::now();
    const embree::EnergyBalanceResult r = single(threads);
    print("single", r.threads,
          std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), n, r.rays);
    t0 = std::chrono::steady_clock::now();
    const embree::EnergyBalanceMultibandResult m = multiband(threads);
    print("multiband", m.threads,
          std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), n, m.rays);
  }
  return 0;
}
