// The two engines side by side: whole time-resolved curves of a one-layer and a four-layer
// model through the library, exact (80-bit) and fast (vectorised double), on one and two threads.
//
//   build/bin/engine_bench                 Google Benchmark of every combination
//   build/bin/engine_bench --ratio=N       N rounds of back-to-back exact and fast calls per
//                                          model and thread count; medians and the median ratio
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/fp_guard.h"
#include "nlayer/reflectance.h"

namespace nlayer {
namespace {

// The models of the whole-run benchmark (bench/run_bench.cpp): a half space seen at 20 mm and
// the four-layer stack seen at 10 mm.
Medium Model(int layers) {
  if (layers == 1) return Medium{{{1.0L, 0.01L, 1.4L, 10.0L}}};
  return Medium{{{1.0L, 0.01L, 1.4L, 3.0L},
                 {1.3333333333333333L, 0.02L, 1.33L, 2.0L},
                 {0.8333333333333333L, 0.005L, 1.5L, 4.0L},
                 {1.1111111111111111L, 0.03L, 1.45L, 20.0L}}};
}

std::vector<long double> Distance(int layers) { return {layers == 1 ? 20.0L : 10.0L}; }

Engine EngineOf(long index) { return index == 0 ? Engine::kExact : Engine::kFast; }

void BM_TimeResolved(benchmark::State& state) {
  const int layers = static_cast<int>(state.range(0));
  const Medium medium = Model(layers);
  const std::vector<long double> rhos = Distance(layers);
  const ComputeOptions options{.threads = static_cast<unsigned>(state.range(1)), .engine = EngineOf(state.range(2))};
  for (auto _ : state) {
    TimeCurves curves = TimeResolved(medium, rhos, TimeGrid{}, options);
    benchmark::DoNotOptimize(curves.reflectance.data());
  }
}
// Several workers are timed in wall-clock time: CPU time counts only the waiting caller.
BENCHMARK(BM_TimeResolved)
    ->ArgNames({"layers", "threads", "fast"})
    ->ArgsProduct({{1, 4}, {1, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

double Seconds(const Medium& medium, const std::vector<long double>& rhos, const ComputeOptions& options) {
  const auto start = std::chrono::steady_clock::now();
  TimeCurves curves = TimeResolved(medium, rhos, TimeGrid{}, options);
  benchmark::DoNotOptimize(curves.reflectance.data());
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Each round times the exact call and then the fast one back to back, so that a machine whose
// speed drifts still gives a fair ratio; the ratio quoted is the median of the rounds' ratios.
void ReportRatios(int rounds) {
  std::printf("%-8s %-8s %12s %12s %9s\n", "layers", "threads", "exact ms", "fast ms", "ratio");
  for (int layers : {1, 4}) {
    for (unsigned threads : {1u, 2u}) {
      const Medium medium = Model(layers);
      const std::vector<long double> rhos = Distance(layers);
      std::vector<double> exact, fast, ratio;
      Seconds(medium, rhos, {.threads = threads, .engine = Engine::kFast});  // warm-up
      for (int i = 0; i < rounds; ++i) {
        exact.push_back(Seconds(medium, rhos, {.threads = threads, .engine = Engine::kExact}));
        fast.push_back(Seconds(medium, rhos, {.threads = threads, .engine = Engine::kFast}));
        ratio.push_back(exact.back() / fast.back());
      }
      std::printf("%-8d %-8u %12.2f %12.3f %9.1f\n", layers, threads, 1e3 * Median(exact), 1e3 * Median(fast),
                  Median(ratio));
    }
  }
  std::printf("(medians of %d rounds of the whole default curve, 513 frequencies, one distance)\n", rounds);
}

}  // namespace
}  // namespace nlayer

int main(int argc, char** argv) {
  nlayer::AssertFloatingPointEnvironment();
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--ratio", 7) == 0) {
      nlayer::ReportRatios(argv[i][7] == '=' ? std::max(1, std::atoi(argv[i] + 8)) : 7);
      return 0;
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
