// Simulated measurements and their joint fits, shared by the joint fit's tests: curves of 1e6
// counts on 20 ps bins through SimulateCounts, a two-layer head's spectral model, pull statistics.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "nlayer/errors.h"
#include "nlayer/fit.h"

namespace nlayer::joint_test {

constexpr double kBinPs = 20;
constexpr int kBins = 200;

// A Gaussian (sigma 35 ps at 300 ps) followed by an exponential tail of 60 ps, on the bins.
inline std::vector<double> Irf() {
  std::vector<double> irf(kBins);
  for (int i = 0; i < kBins; ++i) {
    const double t = i * kBinPs, z = (t - 300) / 35;
    irf[i] =
        std::exp(35.0 * 35.0 / (2 * 60.0 * 60.0) - (t - 300) / 60) * std::erfc((35.0 / 60.0 - z) / std::numbers::sqrt2);
  }
  return irf;
}

inline MeasuredCurve Measure(const Medium& truth, double rho, std::uint64_t seed, double background = 0,
                             std::optional<double> nm = {}, double total = 1e6) {
  MeasuredCurve curve;
  curve.label = "rho" + std::to_string(static_cast<int>(rho)) + (nm ? "@" + std::to_string(static_cast<int>(*nm)) : "");
  curve.irf = Irf();
  for (int i = 0; i < kBins; ++i) curve.t_ps.push_back(i * kBinPs);
  curve.counts =
      SimulateCounts(truth, rho, curve.irf, kBinPs, total, 37.0, background, seed, {.engine = Engine::kFast});
  curve.rho_mm = rho;
  curve.wavelength_nm = nm;
  return curve;
}

inline std::vector<FitParameter> Free(std::initializer_list<const char*> names) {
  std::vector<FitParameter> free;
  for (const char* name : names) free.push_back({name, {}, {}, {}, {}});
  return free;
}

inline bool Has(const FitResult& result, FitFlagKind kind) {
  return std::any_of(result.flags.begin(), result.flags.end(), [&](const FitFlag& f) { return f.kind == kind; });
}

// Mean and standard deviation of pulls (estimate - truth) / standard error.
struct Pulls {
  std::vector<double> values;
  void Add(const FitResult& result, const std::string& name, double truth) {
    const FitEstimate* e = result.Find(name);
    values.push_back((e->value - truth) / e->standard_error);
  }
  double Mean() const {
    double s = 0;
    for (double v : values) s += v;
    return s / static_cast<double>(values.size());
  }
  double Sd() const {
    const double m = Mean();
    double s = 0;
    for (double v : values) s += (v - m) * (v - m);
    return std::sqrt(s / static_cast<double>(values.size() - 1));
  }
  void Expect(const char* what) const {
    std::printf("pulls of %s over %zu draws: mean %+.3f, sd %.3f\n", what, values.size(), Mean(), Sd());
    EXPECT_LT(std::fabs(Mean()), 0.3) << what;
    EXPECT_GT(Sd(), 0.8) << what;
    EXPECT_LT(Sd(), 1.25) << what;
  }
};

// The spectral model of a two-layer head: hemoglobin in both layers, a scattering power law.
inline SpectralModel Head(double oxy1, double deoxy1, double oxy2, double deoxy2) {
  SpectralModel model;
  model.chromophores = HemoglobinSpectra();
  model.reference_nm = 800;
  model.layers = {{{oxy1, deoxy1}, 1.2, 1.0}, {{oxy2, deoxy2}, 1.0, 1.0}};
  return model;
}

inline const Medium kGeometry{{{1.0L, 0.01L, 1.4L, 12.0L}, {1.0L, 0.01L, 1.4L, 50.0L}}};

inline FitProblem SpectralProblem(std::uint64_t seed) {
  const SpectralModel truth = Head(30, 15, 50, 25);
  FitProblem problem;
  for (double nm : {760.0, 830.0}) {
    for (double rho : {15.0, 30.0})
      problem.curves.push_back(Measure(truth.MediumAt(kGeometry, nm), rho, seed++, 0, nm));
  }
  problem.medium = kGeometry;
  problem.spectral = Head(20, 20, 40, 40);
  problem.free = Free({"HbO1", "HbR1", "HbO2", "HbR2"});
  return problem;
}

// The same with the bottom layer's scattering power b2 freed too (truth 1): two wavelengths
// leave it known to about +- 1.2.
inline FitProblem ScatteringPowerProblem(std::uint64_t seed) {
  FitProblem problem = SpectralProblem(seed);
  problem.free.push_back({"b2", {}, {}, {}, {}});
  return problem;
}

}  // namespace nlayer::joint_test
