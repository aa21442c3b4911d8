// The Jacobian a fit needs of the fast engine's spectrum: the spectrum with its derivatives by
// mua and mus' of every layer in one call (core/fast/fast_derivatives.h), against the 2p + 1
// fast spectra of central differences, for two and four layers (p = 4 and 8 parameters) at the
// frequencies of a fit (200 frequencies from 0 to 2 GHz) and two distances, on one thread.
//
//   build/bin/derivatives_bench
#include <benchmark/benchmark.h>

#include <vector>

#include "core/fast/fast_derivatives.h"
#include "core/fp_guard.h"
#include "nlayer/reflectance.h"

namespace nlayer {
namespace {

Medium Model(int layers) {
  if (layers == 2) return Medium{{{1.0L, 0.01L, 1.4L, 5.0L}, {2.0L, 0.03L, 1.4L, 15.0L}}};
  return Medium{{{1.9L, 0.018L, 1.4L, 3.0L}, {1.6L, 0.016L, 1.4L, 7.0L}, {0.25L, 0.004L, 1.4L, 2.0L},
                 {1.2L, 0.02L, 1.4L, 50.0L}}};
}

const std::vector<long double> kDistances = {15.0L, 30.0L};

std::vector<double> Frequencies() {
  std::vector<double> f(200);
  for (std::size_t k = 0; k < f.size(); ++k) f[k] = 1e7 * static_cast<double>(k);
  return f;
}

void BM_SpectrumAndDerivatives(benchmark::State& state) {
  const Medium medium = Model(static_cast<int>(state.range(0)));
  const std::vector<double> f = Frequencies();
  for (auto _ : state) {
    std::optional<FrequencyJacobian> jacobian = FrequencyDomainDerivatives(medium, kDistances, f, {.threads = 1});
    benchmark::DoNotOptimize(jacobian->derivatives.data());
  }
}
BENCHMARK(BM_SpectrumAndDerivatives)->ArgName("layers")->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

// The spectrum and one pair of spectra per parameter, as a fit's central differences take them.
void BM_CentralDifferences(benchmark::State& state) {
  const Medium medium = Model(static_cast<int>(state.range(0)));
  const std::vector<double> f = Frequencies();
  const ComputeOptions options{.threads = 1, .engine = Engine::kFast};
  for (auto _ : state) {
    FrequencySpectra center = FrequencyDomain(medium, kDistances, f, options);
    benchmark::DoNotOptimize(center.values.data());
    for (std::size_t j = 0; j < 2 * medium.layers.size(); ++j) {
      for (long double sign : {-1.0L, 1.0L}) {
        Medium moved = medium;
        long double& parameter = j % 2 == 0 ? moved.layers[j / 2].mua : moved.layers[j / 2].musp;
        parameter *= 1.0L + sign * 1e-4L;
        FrequencySpectra side = FrequencyDomain(moved, kDistances, f, options);
        benchmark::DoNotOptimize(side.values.data());
      }
    }
  }
}
BENCHMARK(BM_CentralDifferences)->ArgName("layers")->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace nlayer

int main(int argc, char** argv) {
  nlayer::AssertFloatingPointEnvironment();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
