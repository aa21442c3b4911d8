// Cost per call of the extended-precision elementary functions of core/ext_math.h against the
// C library's long double functions, on arguments like those of the layered solution: real
// parts of exponents in [0, 60] and [-60, 0], phases in [0, 600] and up to 3e4 radians.
//
//   ext_math_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
//
// Each iteration makes one call on the next of 1024 arguments drawn once, so the calls are
// independent of each other, as they are in the model, and the time is the throughput per call.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "core/ext_math.h"

namespace nlayer {
namespace {

constexpr std::size_t kArgumentCount = 1024;  // a power of 2: the index wraps with a mask

struct Interval {
  long double lo, hi;
};

// The argument intervals, selected by the benchmark's argument.
constexpr Interval kIntervals[] = {{0, 60}, {-60, 0}, {0, 600}, {0, 3e4L}};
constexpr int kPositiveExponents = 0;
constexpr int kNegativeExponents = 1;
constexpr int kPhases = 2;
constexpr int kLargePhases = 3;

std::vector<long double> Arguments(const benchmark::State& state) {
  const Interval interval = kIntervals[state.range(0)];
  std::mt19937_64 engine(12345);
  std::vector<long double> xs(kArgumentCount);
  for (long double& x : xs) {
    x = interval.lo + (interval.hi - interval.lo) * std::generate_canonical<long double, 64>(engine);
  }
  return xs;
}

void Label(benchmark::State& state) {
  const Interval interval = kIntervals[state.range(0)];
  state.SetLabel("x in [" + std::to_string(static_cast<double>(interval.lo)) + ", " +
                 std::to_string(static_cast<double>(interval.hi)) + "]");
}

// One call of `f` per iteration on the next argument.
template <class F>
void TimeCalls(benchmark::State& state, F f) {
  const std::vector<long double> xs = Arguments(state);
  std::size_t i = 0;
  for (auto _ : state) {
    f(xs[i]);
    i = (i + 1) & (kArgumentCount - 1);
  }
  Label(state);
}

void BM_ExpExt(benchmark::State& state) {
  TimeCalls(state, [](long double x) { benchmark::DoNotOptimize(ExpExt(x)); });
}
void BM_expl(benchmark::State& state) {
  TimeCalls(state, [](long double x) { benchmark::DoNotOptimize(expl(x)); });
}

void BM_Expm1Ext(benchmark::State& state) {
  TimeCalls(state, [](long double x) { benchmark::DoNotOptimize(Expm1Ext(x)); });
}
void BM_expm1l(benchmark::State& state) {
  TimeCalls(state, [](long double x) { benchmark::DoNotOptimize(expm1l(x)); });
}

void BM_SinhCoshExt(benchmark::State& state) {
  TimeCalls(state, [](long double x) {
    long double sh, ch;
    SinhCoshExt(x, sh, ch);
    benchmark::DoNotOptimize(sh);
    benchmark::DoNotOptimize(ch);
  });
}
void BM_sinhl_coshl(benchmark::State& state) {
  TimeCalls(state, [](long double x) {
    benchmark::DoNotOptimize(sinhl(x));
    benchmark::DoNotOptimize(coshl(x));
  });
}

void BM_SinCosExt(benchmark::State& state) {
  TimeCalls(state, [](long double x) {
    long double s, c;
    SinCosExt(x, s, c);
    benchmark::DoNotOptimize(s);
    benchmark::DoNotOptimize(c);
  });
}
void BM_sinl_cosl(benchmark::State& state) {
  TimeCalls(state, [](long double x) {
    benchmark::DoNotOptimize(sinl(x));
    benchmark::DoNotOptimize(cosl(x));
  });
}
void BM_sincosl(benchmark::State& state) {
  TimeCalls(state, [](long double x) {
    long double s, c;
    sincosl(x, &s, &c);
    benchmark::DoNotOptimize(s);
    benchmark::DoNotOptimize(c);
  });
}

// With --benchmark_repetitions=N the minimum over the repetitions is reported too: on a machine
// shared with other work it is the figure least disturbed by them.
double Minimum(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

#define NLAYER_EXP_BENCHMARK(f) \
  BENCHMARK(f)->Arg(kPositiveExponents)->Arg(kNegativeExponents)->ComputeStatistics("min", Minimum)
#define NLAYER_PHASE_BENCHMARK(f) \
  BENCHMARK(f)->Arg(kPhases)->Arg(kLargePhases)->ComputeStatistics("min", Minimum)

NLAYER_EXP_BENCHMARK(BM_ExpExt);
NLAYER_EXP_BENCHMARK(BM_expl);
NLAYER_EXP_BENCHMARK(BM_Expm1Ext);
NLAYER_EXP_BENCHMARK(BM_expm1l);
NLAYER_EXP_BENCHMARK(BM_SinhCoshExt);
NLAYER_EXP_BENCHMARK(BM_sinhl_coshl);
NLAYER_PHASE_BENCHMARK(BM_SinCosExt);
NLAYER_PHASE_BENCHMARK(BM_sinl_cosl);
NLAYER_PHASE_BENCHMARK(BM_sincosl);

}  // namespace
}  // namespace nlayer

BENCHMARK_MAIN();
