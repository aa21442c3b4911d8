// The innermost cost of a run: one evaluation of the layered solution, swept over the number
// of layers, and one 960-point Hankel inversion built on it.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <memory>

#include "bench/reference_evaluation.h"
#include "model/hankel.h"
#include "model/layered_solution.h"
#include "model/model_state.h"

namespace nlayer {
namespace {

struct Layer {
  long double mua, D, l, n, omega_term;  // 1/mm, mm, mm, -, 1/mm^2
};

// A stack whose values are known to ten digits, so the timed code is the code that is right.
// Deeper stacks repeat it: the cost depends on the layer count, not on the materials.
const Layer kReferenceLayers[] = {{0.01L, 1.0L / 3.0L, 3, 1.4L, 0.2L},
                                  {0.02L, 0.25L, 2, 1.33L, 0.3L},
                                  {0.005L, 0.4L, 4, 1.5L, 0.1L},
                                  {0.03L, 0.3L, 20, 1.45L, 0.25L}};
constexpr std::size_t kReferenceCount = sizeof(kReferenceLayers) / sizeof(kReferenceLayers[0]);

constexpr long double kSpatialFrequency = 0.2L;  // 1/mm
constexpr long double kRho = 10.0L;              // mm

// The integrand evaluations of one RadialReflectance call.
constexpr int kEvaluationsPerTransform = 960;

// Puts the first `layers` layers of the repeated reference stack into State and their
// frequency terms into `context`.
void SetReferenceModel(int layers, FrequencyContext& context) {
  ModelState& s = State;
  s.LayerCount = layers;
  s.Mua.clear(), s.DiffCoef.clear(), s.Thickness.clear(), s.RefrIndex.clear(), s.Musp.clear();
  context.Resize(static_cast<std::size_t>(layers));
  for (int k = 0; k < layers; ++k) {
    const Layer& layer = kReferenceLayers[static_cast<std::size_t>(k) % kReferenceCount];
    s.Mua.push_back(layer.mua);
    s.DiffCoef.push_back(layer.D);
    s.Musp.push_back(1.0L / (3.0L * layer.D));
    s.Thickness.push_back(layer.l);
    s.RefrIndex.push_back(layer.n);
    context.OmegaTerm[k] = layer.omega_term;
  }
  s.Z0 = 1.0L / 1.01L;
  s.ZbTop = 1.0L;
  s.ZbBottom = 1.5L;
}

// One evaluation of the layered solution, with the terms that do not depend on the modulation
// frequency computed beforehand, as a run computes them.
void BM_ReflectanceIntegrand(benchmark::State& state) {
  FrequencyContext context;
  SetReferenceModel(static_cast<int>(state.range(0)), context);
  const SpatialPoint point = MakeSpatialPoint(kSpatialFrequency, kRho);
  LayerTerms layers;
  ComputeLayerTerms(State, layers);
  for (auto _ : state) {
    ComplexExt value = ReflectanceIntegrandAt(point, layers, context);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_ReflectanceIntegrand)->ArgName("layers")->RangeMultiplier(2)->Range(1, 8);

// The same evaluation written out straightforwardly, the yardstick of the one above.
void BM_ReferenceIntegrand(benchmark::State& state) {
  FrequencyContext context;
  SetReferenceModel(static_cast<int>(state.range(0)), context);
  for (auto _ : state) {
    ComplexExt value = reference::ReflectanceIntegrand(kSpatialFrequency, kRho, context);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_ReferenceIntegrand)->ArgName("layers")->RangeMultiplier(2)->Range(1, 8);

// One Hankel transform: 960 evaluations and their weighted sum, on the tables a run builds once.
void BM_RadialReflectance(benchmark::State& state) {
  FrequencyContext context;
  SetReferenceModel(static_cast<int>(state.range(0)), context);
  const auto tables = std::make_unique<RunTables>();
  BuildRunTables(kRho, *tables);
  for (auto _ : state) {
    RadialReflectance(*tables, context);
    benchmark::DoNotOptimize(context.ReflRe);
    benchmark::DoNotOptimize(context.ReflIm);
  }
  // Comparable with the single evaluations above: what the quadrature adds per point.
  state.counters["per_eval"] = benchmark::Counter(
      kEvaluationsPerTransform, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RadialReflectance)->ArgName("layers")->Arg(1)->Arg(4)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace nlayer

BENCHMARK_MAIN();
