// The innermost cost of a run: one evaluation of the layered solution, swept over the number
// of layers, and one 960-point Hankel inversion built on it.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <memory>
#include <span>

#include "bench/reference_evaluation.h"
#include "core/hankel.h"
#include "core/layered_solution.h"
#include "tests/reference_stack.h"

namespace nlayer {
namespace {

constexpr long double kSpatialFrequency = 0.2L;  // 1/mm
constexpr long double kRho = 10.0L;              // mm

// The integrand evaluations of one RadialReflectance call.
constexpr int kEvaluationsPerTransform = 960;

// The first `layers` layers of the repeated reference stack (the stack whose values are known
// to ten digits, so the timed code is the code that is right), with their frequency terms in
// `context`. The cost depends on the layer count, not on the materials.
DerivedModel ReferenceModel(int layers, FrequencyContext& context) {
  return testing::MakeStack(testing::FirstLayers(layers), context);
}

// One evaluation of the layered solution, with the terms that do not depend on the modulation
// frequency computed beforehand, as a run computes them: the library's form, and with
// `window` the window's (unscaled hyperbolic functions).
void TimeIntegrand(benchmark::State& state, bool window) {
  FrequencyContext context;
  DerivedModel model = ReferenceModel(static_cast<int>(state.range(0)), context);
  if (window) model.Form = SolutionForm::kWindow;
  const SpatialPoint point = MakeSpatialPoint(kSpatialFrequency);
  const long double j0 = BesselFactor(kSpatialFrequency, kRho);
  LayerTerms layers;
  ComputeLayerTerms(model, layers);
  for (auto _ : state) {
    ComplexExt value = ApplyBesselFactor(j0, KernelTimesSolution(model, point, layers, context));
    benchmark::DoNotOptimize(value);
  }
}
void BM_ReflectanceIntegrand(benchmark::State& state) { TimeIntegrand(state, false); }
void BM_WindowIntegrand(benchmark::State& state) { TimeIntegrand(state, true); }
BENCHMARK(BM_ReflectanceIntegrand)->ArgName("layers")->RangeMultiplier(2)->Range(1, 8);
BENCHMARK(BM_WindowIntegrand)->ArgName("layers")->RangeMultiplier(2)->Range(1, 8);

// The same evaluation written out straightforwardly, the yardstick of the one above.
void BM_ReferenceIntegrand(benchmark::State& state) {
  FrequencyContext context;
  const DerivedModel model = ReferenceModel(static_cast<int>(state.range(0)), context);
  for (auto _ : state) {
    ComplexExt value = reference::ReflectanceIntegrand(model, kSpatialFrequency, kRho, context);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_ReferenceIntegrand)->ArgName("layers")->RangeMultiplier(2)->Range(1, 8);

// One Hankel transform: 960 evaluations and their weighted sum, on the tables a run builds once.
void TimeTransform(benchmark::State& state, bool window) {
  FrequencyContext context;
  DerivedModel model = ReferenceModel(static_cast<int>(state.range(0)), context);
  if (window) model.Form = SolutionForm::kWindow;
  const auto tables = std::make_unique<RunTables>();
  BuildRunTables(model, std::span<const long double>(&kRho, 1), *tables);
  for (auto _ : state) {
    RadialReflectance(model, *tables, context);
    benchmark::DoNotOptimize(context.ReflRe);
    benchmark::DoNotOptimize(context.ReflIm);
  }
  // Comparable with the single evaluations above: what the quadrature adds per point.
  state.counters["per_eval"] = benchmark::Counter(
      kEvaluationsPerTransform, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
void BM_RadialReflectance(benchmark::State& state) { TimeTransform(state, false); }
void BM_WindowRadialReflectance(benchmark::State& state) { TimeTransform(state, true); }
BENCHMARK(BM_RadialReflectance)->ArgName("layers")->Arg(1)->Arg(4)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WindowRadialReflectance)->ArgName("layers")->Arg(1)->Arg(4)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace nlayer

BENCHMARK_MAIN();
