// The stack of four layers whose integrand values are known to ten digits (s = 0.2/mm,
// rho = 10 mm, z0 = 1/1.01 mm, zb top 1 mm, zb bottom 1.5 mm), shared by the tests of the layered
// solution, the comparison with the straightforward evaluation and the benchmarks. A fifth
// layer lets deeper stacks be built; beyond five the stack repeats.
#pragma once

#include <cstddef>
#include <vector>

#include "core/derived_model.h"
#include "core/layered_solution.h"

namespace nlayer::testing {

struct StackLayer {
  long double mua, D, l, n, omega_term;  // 1/mm, mm, mm, -, 1/mm^2
};

inline constexpr StackLayer kReferenceLayers[] = {{0.01L, 1.0L / 3.0L, 3, 1.4L, 0.2L},
                                                  {0.02L, 0.25L, 2, 1.33L, 0.3L},
                                                  {0.005L, 0.4L, 4, 1.5L, 0.1L},
                                                  {0.03L, 0.3L, 20, 1.45L, 0.25L},
                                                  {0.012L, 0.3L, 7, 1.38L, 0.22L}};
inline constexpr std::size_t kReferenceLayerCount = sizeof(kReferenceLayers) / sizeof(kReferenceLayers[0]);

// The first `n` layers of the reference stack (repeated beyond five).
inline std::vector<StackLayer> FirstLayers(int n) {
  std::vector<StackLayer> layers;
  for (int k = 0; k < n; ++k) layers.push_back(kReferenceLayers[static_cast<std::size_t>(k) % kReferenceLayerCount]);
  return layers;
}

// `layers` as a derived model, with their frequency terms (times `omega_scale`) in `context`.
inline DerivedModel MakeStack(const std::vector<StackLayer>& layers, FrequencyContext& context,
                              long double omega_scale = 1.0L, long double z0 = 1.0L / 1.01L,
                              long double zb_top = 1.0L, long double zb_bottom = 1.5L) {
  DerivedModel m;
  context.Resize(layers.size());
  for (std::size_t k = 0; k < layers.size(); ++k) {
    m.Mua.push_back(layers[k].mua);
    m.DiffCoef.push_back(layers[k].D);
    m.Musp.push_back(1.0L / (3.0L * layers[k].D));
    m.Thickness.push_back(layers[k].l);
    m.RefrIndex.push_back(layers[k].n);
    context.OmegaTerm[k] = omega_scale * layers[k].omega_term;
  }
  m.Z0 = z0;
  m.ZbTop = zb_top;
  m.ZbBottom = zb_bottom;
  return m;
}

}  // namespace nlayer::testing
