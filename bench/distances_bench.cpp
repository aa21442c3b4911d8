// The library's time-resolved curves for several detector distances at once: the layered
// solution is shared between the distances, so four of them should cost little more than one.
//
//   build/bin/distances_bench                 Google Benchmark, 1, 2, 4 and 8 distances
//   build/bin/distances_bench --ratio=N       N pairs of one- and four-distance calls, medians
//                                             and the median of the per-pair ratios; then, in
//                                             both engines, N rounds of the adult head at
//                                             10, 20, 30 and 40 mm against 40 mm alone (two
//                                             panels of the extended rule) and 10 mm alone,
//                                             curves and continuous-wave values; processor
//                                             time of the process throughout
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "core/fp_guard.h"
#include "bench/bench_media.h"
#include "nlayer/reflectance.h"

namespace nlayer {
namespace {

// The four-layer stack of the whole-run benchmark (mus' = 1 / (3 D) of each layer).
Medium FourLayers() {
  return Medium{{{1.0L, 0.01L, 1.4L, 3.0L},
                 {1.3333333333333333L, 0.02L, 1.33L, 2.0L},
                 {0.8333333333333333L, 0.005L, 1.5L, 4.0L},
                 {1.1111111111111111L, 0.03L, 1.45L, 20.0L}}};
}

std::vector<long double> Distances(int count) {
  std::vector<long double> rhos;
  for (int i = 0; i < count; ++i) rhos.push_back(10.0L + 5.0L * i);
  return rhos;
}

void BM_TimeResolved(benchmark::State& state) {
  const Medium medium = FourLayers();
  const std::vector<long double> rhos = Distances(static_cast<int>(state.range(0)));
  const ComputeOptions options{.threads = static_cast<unsigned>(state.range(1))};
  for (auto _ : state) {
    TimeCurves curves = TimeResolved(medium, rhos, TimeGrid{}, options);
    benchmark::DoNotOptimize(curves.reflectance.data());
  }
}
BENCHMARK(BM_TimeResolved)
    ->ArgNames({"distances", "threads"})
    ->Args({1, 1})
    ->Args({2, 1})
    ->Args({4, 1})
    ->Args({8, 1})
    ->Unit(benchmark::kMillisecond);

void BM_HeadTimeResolved(benchmark::State& state) {
  const Medium medium = AdultHead();
  const std::vector<long double> rhos =
      state.range(0) == 1 ? std::vector<long double>{40.0L} : std::vector<long double>{10.0L, 20.0L, 30.0L, 40.0L};
  const ComputeOptions options{.threads = 1, .engine = state.range(1) ? Engine::kFast : Engine::kExact};
  for (auto _ : state) {
    TimeCurves curves = TimeResolved(medium, rhos, TimeGrid{}, options);
    benchmark::DoNotOptimize(curves.reflectance.data());
  }
}
BENCHMARK(BM_HeadTimeResolved)
    ->ArgNames({"distances", "fast"})
    ->Args({1, 0})
    ->Args({4, 0})
    ->Args({1, 1})
    ->Args({4, 1})
    ->Unit(benchmark::kMillisecond);

// The process's processor time: the calls run on one thread, and on a machine shared with other
// work the time it waits for a core would swamp the differences measured.
double ProcessorSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double Seconds(const Medium& medium, const std::vector<long double>& rhos, Engine engine = Engine::kExact) {
  const double start = ProcessorSeconds();
  TimeCurves curves = TimeResolved(medium, rhos, TimeGrid{}, ComputeOptions{.threads = 1, .engine = engine});
  benchmark::DoNotOptimize(curves.reflectance.data());
  return ProcessorSeconds() - start;
}

double Seconds(int distances) { return Seconds(FourLayers(), Distances(distances)); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Pairs taken back to back, so that a machine whose speed drifts still gives a fair ratio.
void ReportRatio(int pairs) {
  std::vector<double> one, four, ratio;
  for (int i = 0; i < pairs; ++i) {
    one.push_back(Seconds(1));
    four.push_back(Seconds(4));
    ratio.push_back(four.back() / one.back());
  }
  std::printf("four-layer model, one thread, %d pairs: 1 distance %.1f ms, 4 distances %.1f ms, ratio %.3f\n",
              pairs, 1e3 * Median(one), 1e3 * Median(four), Median(ratio));
}

// Rounds of 10 mm alone, 40 mm alone and the four distances, back to back; the ratios are the
// medians of each round's own. `curves`: time-resolved curves, else continuous-wave values,
// where the choice of each distance's rule at frequency 0 is most of the cost.
void ReportHeadRatio(int rounds, Engine engine, bool curves) {
  const Medium head = AdultHead();
  auto seconds = [&](const std::vector<long double>& rhos) {
    if (curves) return Seconds(head, rhos, engine);
    const double start = ProcessorSeconds();
    std::vector<double> cw = ContinuousWave(head, rhos, ComputeOptions{.threads = 1, .engine = engine});
    benchmark::DoNotOptimize(cw.data());
    return ProcessorSeconds() - start;
  };
  std::vector<double> shortest, longest, four, to_longest, to_shortest;
  for (int i = 0; i < rounds; ++i) {
    shortest.push_back(seconds({10.0L}));
    longest.push_back(seconds({40.0L}));
    four.push_back(seconds({10.0L, 20.0L, 30.0L, 40.0L}));
    to_longest.push_back(four.back() / longest.back());
    to_shortest.push_back(four.back() / shortest.back());
  }
  std::printf(
      "adult head, %s, %s engine, one thread, %d rounds: 10 mm %.2f ms, 40 mm %.2f ms, 10-40 mm %.2f ms, "
      "ratio to 40 mm %.3f, to 10 mm %.3f\n",
      curves ? "curves" : "continuous wave", engine == Engine::kFast ? "fast" : "exact", rounds,
      1e3 * Median(shortest), 1e3 * Median(longest), 1e3 * Median(four), Median(to_longest), Median(to_shortest));
}

}  // namespace
}  // namespace nlayer

int main(int argc, char** argv) {
  nlayer::AssertFloatingPointEnvironment();
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--ratio", 7) == 0) {
      const int rounds = argv[i][7] == '=' ? std::max(1, std::atoi(argv[i] + 8)) : 7;
      nlayer::ReportRatio(rounds);
      for (bool curves : {true, false}) {
        nlayer::ReportHeadRatio(rounds, nlayer::Engine::kExact, curves);
        nlayer::ReportHeadRatio(rounds, nlayer::Engine::kFast, curves);
      }
      return 0;
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
