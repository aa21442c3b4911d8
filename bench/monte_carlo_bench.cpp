// Photons per second per core of the Monte Carlo simulation, for the adult head of
// examples/adult_head at 30 mm on the default grid (5120 ps), one thread; and a white run,
// which follows every photon to the grid's end since nothing is absorbed. Rates are per
// processor second of the process: the count per core, whatever else runs on the machine.
//
//   build/bin/monte_carlo_bench
#include <benchmark/benchmark.h>

#include "bench/bench_media.h"
#include "nlayer/monte_carlo.h"

namespace nlayer {
namespace {

void BM_MonteCarloAdultHead(benchmark::State& state) {
  const Medium medium = AdultHead();
  MonteCarloOptions options{.photons = static_cast<std::uint64_t>(state.range(0)), .batches = 2,
                            .record_paths = state.range(1) != 0, .threads = 1};
  std::uint64_t photons = 0;
  for (auto _ : state) {
    MonteCarloCurves curves = MonteCarlo(medium, {30.0L}, TimeGrid{}, options);
    benchmark::DoNotOptimize(curves.reflectance.data());
    photons += curves.photons;
    ++options.seed;
  }
  state.counters["photons_per_s"] = benchmark::Counter(static_cast<double>(photons), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MonteCarloAdultHead)
    ->ArgNames({"photons", "white"})
    ->Args({2000, 0})
    ->Args({500, 1})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace
}  // namespace nlayer

BENCHMARK_MAIN();
