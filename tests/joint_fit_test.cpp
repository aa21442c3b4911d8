// Joint fits of simulated measurements whose truth is known: several distances and wavelengths at
// once, a spectral model, ties, starts, profiles, and the statistics of many noise draws (pulls,
// coverage), printed for the record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "nlayer/errors.h"
#include "nlayer/fit.h"

namespace nlayer {
namespace {

constexpr double kBinPs = 20;
constexpr int kBins = 200;

// A Gaussian (sigma 35 ps at 300 ps) followed by an exponential tail of 60 ps, on the bins.
std::vector<double> Irf() {
  std::vector<double> irf(kBins);
  for (int i = 0; i < kBins; ++i) {
    const double t = i * kBinPs, z = (t - 300) / 35;
    irf[i] = std::exp(35.0 * 35.0 / (2 * 60.0 * 60.0) - (t - 300) / 60) * std::erfc((35.0 / 60.0 - z) / std::numbers::sqrt2);
  }
  return irf;
}

MeasuredCurve Measure(const Medium& truth, double rho, std::uint64_t seed, double background = 0,
                      std::optional<double> nm = {}, double total = 1e6) {
  MeasuredCurve curve;
  curve.label = "rho" + std::to_string(static_cast<int>(rho)) + (nm ? "@" + std::to_string(static_cast<int>(*nm)) : "");
  curve.irf = Irf();
  for (int i = 0; i < kBins; ++i) curve.t_ps.push_back(i * kBinPs);
  curve.counts = SimulateCounts(truth, rho, curve.irf, kBinPs, total, 37.0, background, seed, {.engine = Engine::kFast});
  curve.rho_mm = rho;
  curve.wavelength_nm = nm;
  return curve;
}

std::vector<FitParameter> Free(std::initializer_list<const char*> names) {
  std::vector<FitParameter> free;
  for (const char* name : names) free.push_back({name, {}, {}, {}, {}});
  return free;
}

bool Has(const FitResult& result, FitFlagKind kind) {
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
SpectralModel Head(double oxy1, double deoxy1, double oxy2, double deoxy2) {
  SpectralModel model;
  model.chromophores = HemoglobinSpectra();
  model.reference_nm = 800;
  model.layers = {{{oxy1, deoxy1}, 1.2, 1.0}, {{oxy2, deoxy2}, 1.0, 1.0}};
  return model;
}

const Medium kGeometry{{{1.0L, 0.01L, 1.4L, 12.0L}, {1.0L, 0.01L, 1.4L, 50.0L}}};

FitProblem SpectralProblem(std::uint64_t seed) {
  const SpectralModel truth = Head(30, 15, 50, 25);
  FitProblem problem;
  for (double nm : {760.0, 830.0}) {
    for (double rho : {15.0, 30.0}) problem.curves.push_back(Measure(truth.MediumAt(kGeometry, nm), rho, seed++, 0, nm));
  }
  problem.medium = kGeometry;
  problem.spectral = Head(20, 20, 40, 40);
  problem.free = Free({"HbO1", "HbR1", "HbO2", "HbR2"});
  return problem;
}

// The spectra by hand: Prahl's table at 760 nm (HbO 586, HbR 1548.52 cm^-1/M) and between rows.
TEST(JointFit, SpectralModelGivesTheMediumAtAWavelength) {
  const SpectralModel model = Head(50, 25, 40, 10);
  const Medium at = model.MediumAt(kGeometry, 760);
  EXPECT_NEAR(static_cast<double>(at.layers[0].mua), std::numbers::ln10 * (586 * 50 + 1548.52 * 25) * 1e-7, 1e-12);
  EXPECT_NEAR(static_cast<double>(at.layers[0].musp), 1.2 * 800.0 / 760.0, 1e-12);
  EXPECT_EQ(at.layers[1].d, kGeometry.layers[1].d);
  const Chromophore& oxy = model.chromophores[0];
  EXPECT_NEAR(oxy.AbsorptionPerUnit(761), (oxy.AbsorptionPerUnit(760) + oxy.AbsorptionPerUnit(762)) / 2, 1e-15);
  const Chromophore water{"water", ChromophoreUnit::kAbsorption, {700, 800}, {0.0006, 0.002}, ""};
  EXPECT_NEAR(water.AbsorptionPerUnit(775), 0.00165, 1e-15);
  EXPECT_THROW(water.AbsorptionPerUnit(900), InvalidRequest);
}

// Two distances at two wavelengths, every concentration free: the bottom layer's hemoglobin
// within 10 %, the derived total and saturation with their propagated errors; a distance more
// at a wavelength costs no more model evaluations; the progress sees each, and can stop the fit.
TEST(JointFit, RecoversTheBottomLayersHemoglobinFromTwoDistancesAndWavelengths) {
  FitProblem problem = SpectralProblem(11);
  problem.starts = 1;
  problem.profile = {"HbO2"};
  int seen = 0;
  problem.progress = [&](const FitProgress& p) {
    seen = p.evaluations;
    return true;
  };
  const FitResult result = Fit(problem);
  std::printf("%s", result.FullReport().c_str());
  EXPECT_TRUE(result.success) << result.message;
  EXPECT_NEAR(result.Find("HbO2")->value, 50, 5);
  EXPECT_NEAR(result.Find("HbR2")->value, 25, 2.5);
  ASSERT_EQ(result.curves.size(), 4u);
  ASSERT_EQ(result.media.size(), 2u);
  EXPECT_EQ(seen, result.forward_evaluations);
  // HbT2 and StO2 against the estimates and covariance by hand.
  ASSERT_EQ(result.derived.size(), 4u);
  const std::size_t n = result.estimates.size(), o = 2, r = 3;
  const double vo = result.estimates[o].value, vr = result.estimates[r].value;
  const FitEstimate& total = result.derived[2];
  EXPECT_EQ(total.name, "HbT2");
  EXPECT_NEAR(total.value, vo + vr, 1e-9);
  EXPECT_NEAR(total.standard_error,
              std::sqrt(result.covariance[o * n + o] + result.covariance[r * n + r] + 2 * result.covariance[o * n + r]),
              1e-9);
  EXPECT_NEAR(result.derived[3].value, 50.0 / 75.0, 3 * result.derived[3].standard_error);
  // The profile's interval about HbO2 is close to +- its standard error where the fit is well posed.
  ASSERT_EQ(result.profiles.size(), 1u);
  const ProfileInterval& profile = result.profiles[0];
  const double se = result.Find("HbO2")->standard_error;
  EXPECT_NEAR(profile.upper - profile.value, se, 0.2 * se);
  EXPECT_NEAR(profile.value - profile.lower, se, 0.2 * se);

  problem.profile.clear();
  problem.progress = [](const FitProgress& p) { return p.evaluations < 5; };
  EXPECT_THROW(Fit(problem), Cancelled);
}

}  // namespace
}  // namespace nlayer

namespace nlayer {
namespace {

// A homogeneous medium at 30 mm with a small background (0.1 counts per bin), fitted or
// estimated from the bins before the rise: the errors are calibrated (pulls), neither way biases
// mua, and no flag fires on these well-posed fits, although mua and mus' are correlated by
// about 0.95.
TEST(JointFitStatistics, PullsOfAHomogeneousFitWithASmallBackground) {
  const Medium truth{{{1.0L, 0.01L, 1.4L, 10.0L}}};
  for (const BackgroundMode mode : {BackgroundMode::kFitted, BackgroundMode::kEstimated}) {
    const char* how = mode == BackgroundMode::kFitted ? "fitted" : "estimated";
    Pulls mua, musp;
    double least = 1, most = 0;
    int flagged = 0;
    for (std::uint64_t draw = 0; draw < 30; ++draw) {
      FitProblem problem;
      problem.curves = {Measure(truth, 30, 1000 + draw, 0.1)};
      problem.curves[0].background = mode;
      problem.medium = Medium{{{1.3L, 0.007L, 1.4L, 10.0L}}};
      problem.free = Free({"mua1", "musp1"});
      problem.starts = 1;
      const FitResult result = Fit(problem);
      flagged += result.success ? 0 : 1;
      if (!result.success) std::printf("draw %d: %s\n", static_cast<int>(draw), result.message.c_str());
      mua.Add(result, "mua1", 0.01);
      musp.Add(result, "musp1", 1.0);
      const double rho = std::fabs(result.correlation[1]);
      least = std::min(least, rho);
      most = std::max(most, rho);
    }
    std::printf("background %s: mua1-musp1 correlation over the draws %.3f ... %.3f\n", how, least, most);
    mua.Expect(how);
    musp.Expect(how);
    EXPECT_LT(std::fabs(mua.Mean()), 0.2) << how;
    EXPECT_EQ(flagged, 0) << how;
  }
}

}  // namespace
}  // namespace nlayer
