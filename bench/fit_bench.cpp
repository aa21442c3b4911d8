// Fits of simulated measurements, each repetition a new noise draw: a homogeneous medium from one
// curve (mua, mus'), and a two-layer head from two distances at two wavelengths through the
// hemoglobin spectra (both layers' HbO, HbR and scattering amplitude: six parameters).
//
//   build/bin/fit_bench      20 repetitions of each; the median is the figure to quote
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "nlayer/fit.h"

namespace nlayer {
namespace {

constexpr double kBinPs = 10;
constexpr int kBins = 400;

// A Gaussian (sigma 35 ps at 300 ps) with an exponential tail of 60 ps, on the bins.
std::vector<double> Irf() {
  std::vector<double> irf(kBins);
  for (int i = 0; i < kBins; ++i) {
    const double t = i * kBinPs, z = (t - 300) / 35;
    irf[i] =
        std::exp(35.0 * 35.0 / (2 * 60.0 * 60.0) - (t - 300) / 60) * std::erfc((35.0 / 60.0 - z) / std::numbers::sqrt2);
  }
  return irf;
}

MeasuredCurve Measure(const Medium& truth, double rho, std::uint64_t seed, std::optional<double> nm = {}) {
  MeasuredCurve curve;
  curve.irf = Irf();
  for (int i = 0; i < kBins; ++i) curve.t_ps.push_back(i * kBinPs);
  curve.counts = SimulateCounts(truth, rho, curve.irf, kBinPs, 1e6, 37.0, 0.0, seed, {.engine = Engine::kFast});
  curve.rho_mm = rho;
  curve.wavelength_nm = nm;
  curve.label =
      std::to_string(static_cast<int>(rho)) + " mm" + (nm ? " " + std::to_string(static_cast<int>(*nm)) + " nm" : "");
  return curve;
}

// The starts a fit ran: with the default, the spread starts run only behind a mark of several minima.
int Starts(const FitResult& result) {
  int n = 0;
  for (const FitMinimum& m : result.minima) n += m.starts;
  return n;
}

std::uint64_t NextDraw() {
  static std::uint64_t draw = 0;
  return ++draw;
}

void BM_HomogeneousFit(benchmark::State& state) {
  const Medium truth{{{1.0L, 0.01L, 1.4L, 10.0L}}};
  for (auto _ : state) {
    state.PauseTiming();
    FitProblem problem;
    problem.curves = {Measure(truth, 30, NextDraw())};
    problem.medium = Medium{{{1.3L, 0.007L, 1.4L, 10.0L}}};
    problem.free = {{"mua1"}, {"musp1"}};
    FitOptions options;
    options.starts = static_cast<int>(state.range(0));
    state.ResumeTiming();
    const FitResult result = Fit(problem, options);
    state.counters["success"] = result.success ? 1 : 0;
    state.counters["starts"] = Starts(result);
  }
}

SpectralModel Head(double oxy1, double deoxy1, double oxy2, double deoxy2, double a1, double a2) {
  SpectralModel model;
  model.chromophores = HemoglobinSpectra();
  model.layers = {{{oxy1, deoxy1}, a1, 1.0}, {{oxy2, deoxy2}, a2, 1.0}};
  return model;
}

void BM_SpectralTwoLayerFit(benchmark::State& state) {
  const Medium geometry{{{1.0L, 0.01L, 1.4L, 12.0L}, {1.0L, 0.01L, 1.4L, 50.0L}}};
  const SpectralModel truth = Head(30, 15, 50, 25, 1.2, 1.0);
  for (auto _ : state) {
    state.PauseTiming();
    FitProblem problem;
    for (double nm : {760.0, 830.0}) {
      for (double rho : {15.0, 30.0})
        problem.curves.push_back(Measure(truth.MediumAt(geometry, nm), rho, NextDraw(), nm));
    }
    problem.medium = geometry;
    problem.spectral = Head(20, 20, 40, 40, 1.0, 1.0);
    for (const char* name : {"HbO1", "HbR1", "HbO2", "HbR2", "a1", "a2"})
      problem.free.push_back({name});
    FitOptions options;
    options.starts = static_cast<int>(state.range(0));
    state.ResumeTiming();
    const FitResult result = Fit(problem, options);
    state.counters["success"] = result.success ? 1 : 0;
    state.counters["starts"] = Starts(result);
  }
}

// One start, then the default (0): spread starts where the first end calls for them.
BENCHMARK(BM_HomogeneousFit)
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->Repetitions(20)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpectralTwoLayerFit)
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->Repetitions(20)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace nlayer

BENCHMARK_MAIN();
