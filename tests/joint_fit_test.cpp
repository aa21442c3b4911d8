// Joint fits of simulated measurements whose truth is known: several distances and wavelengths at
// once, a spectral model, media per wavelength, ties, profiles, flags, evaluations and progress.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "joint_fit_support.h"
#include "nlayer/errors.h"
#include "nlayer/fit.h"

namespace nlayer::joint_test {
namespace {

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
  FitOptions options;
  FitProblem problem = SpectralProblem(11);
  options.starts = 1;
  options.profile = {"HbO2"};
  int seen = 0;
  options.progress = [&](const FitProgress& p) {
    seen = p.evaluations;
    return true;
  };
  const FitResult result = Fit(problem, options);
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

  options.profile.clear();
  options.progress = [](const FitProgress& p) { return p.evaluations < 5; };
  EXPECT_THROW(Fit(problem, options), Cancelled);
}

// A two-layer medium whose layers are the same is the half-space (its bottom, 75 mm deep, is out
// of the light's reach at 30 mm): tying the bottom layer's values to the top's fits the
// homogeneous medium's two parameters, with its estimates.
TEST(JointFit, TiesFitOneValueForBothLayers) {
  FitOptions options;
  const Medium truth{{{1.0L, 0.01L, 1.4L, 10.0L}}};
  FitProblem homogeneous;
  homogeneous.curves = {Measure(truth, 30, 7)};
  homogeneous.medium = Medium{{{1.3L, 0.007L, 1.4L, 10.0L}}};
  homogeneous.free = Free({"mua1", "musp1"});
  options.starts = 1;
  const FitResult one = Fit(homogeneous, options);
  ASSERT_TRUE(one.success) << one.message;

  FitProblem tied = homogeneous;
  // The tied layer holds no values of its own, as a problem file's does.
  tied.medium = Medium{{{1.3L, 0.007L, 1.4L, 15.0L}, {0.0L, 0.0L, 1.4L, 60.0L}}};
  tied.free = Free({"mua1", "musp1", "mua2", "musp2"});
  tied.free[2].tied_to = "mua1";
  tied.free[3].tied_to = "musp1";
  const FitResult two = Fit(tied, options);
  EXPECT_TRUE(two.success) << two.message;
  EXPECT_EQ(two.degrees_of_freedom, one.degrees_of_freedom);
  EXPECT_EQ(two.Find("mua2")->value, two.Find("mua1")->value);
  EXPECT_EQ(two.Find("musp2")->standard_error, two.Find("musp1")->standard_error);
  EXPECT_EQ(two.medium.layers[1].musp, two.medium.layers[0].musp);
  for (const char* name : {"mua1", "musp1"}) {
    EXPECT_NEAR(two.Find(name)->value, one.Find(name)->value, 0.01 * one.Find(name)->standard_error) << name;
    EXPECT_NEAR(two.Find(name)->standard_error, one.Find(name)->standard_error, 0.01 * one.Find(name)->standard_error);
  }

  tied.free[3].tied_to = "d1";
  EXPECT_THROW(Fit(tied, options), FitInputError);
}

// Distances at one wavelength share one library call per point: three curves cost about the
// evaluations of one per iteration, not three times them.
TEST(JointFit, ADistanceMoreCostsNoEvaluation) {
  FitOptions options;
  const Medium truth{{{1.0L, 0.01L, 1.4L, 10.0L}}};
  FitProblem problem;
  problem.medium = Medium{{{1.3L, 0.007L, 1.4L, 10.0L}}};
  problem.free = Free({"mua1", "musp1"});
  options.starts = 1;
  problem.curves = {Measure(truth, 25, 21)};
  const FitResult one = Fit(problem, options);
  problem.curves = {Measure(truth, 15, 22), Measure(truth, 25, 21), Measure(truth, 35, 23)};
  const FitResult three = Fit(problem, options);
  EXPECT_TRUE(three.success) << three.message;
  const double per_one = one.forward_evaluations / (one.iterations + 2.0);
  const double per_three = three.forward_evaluations / (three.iterations + 2.0);
  std::printf("evaluations per iteration: one distance %.2f, three %.2f\n", per_one, per_three);
  EXPECT_LT(per_three, 1.5 * per_one);
  EXPECT_NEAR(three.Find("mua1")->value, 0.01, 3 * three.Find("mua1")->standard_error);
  EXPECT_LT(three.Find("mua1")->standard_error, one.Find("mua1")->standard_error);
}

// A bound the data push against and two chromophores with the same spectrum each raise their
// flag; input errors name the curve and the value.
TEST(JointFit, FlagsABoundAndADegeneracyAndNamesWhatItRefuses) {
  FitOptions options;
  FitProblem bounded = SpectralProblem(31);
  options.starts = 1;
  bounded.free[3].upper = 20;  // HbR2, truth 25
  bounded.free[3].start = 10;
  options.max_iterations = 15;  // on the bound the steps get short
  FitResult result = Fit(bounded, options);
  std::printf("bounded: %d evaluations, %d iterations, %.2f s\n", result.forward_evaluations, result.iterations,
              result.seconds);
  EXPECT_FALSE(result.success);
  ASSERT_TRUE(Has(result, FitFlagKind::kAtBound)) << result.message;
  EXPECT_NE(result.message.find("HbR2 stopped at its upper bound 20"), std::string::npos) << result.message;

  FitProblem twins = SpectralProblem(31);
  options.starts = 1;
  Chromophore copy = twins.spectral->chromophores[0];
  copy.name = "HbX";
  twins.spectral->chromophores.push_back(copy);
  for (SpectralLayer& layer : twins.spectral->layers) layer.concentrations.push_back(5);
  twins.free = Free({"HbO2", "HbR2", "HbX2"});
  options.max_iterations = 10;  // it gets nowhere
  result = Fit(twins, options);
  std::printf("twins: %d evaluations, %d iterations, %.2f s\n", result.forward_evaluations, result.iterations,
              result.seconds);
  EXPECT_FALSE(result.success);
  EXPECT_TRUE(Has(result, FitFlagKind::kPoorlyDetermined)) << result.message;

  FitProblem spoiled = SpectralProblem(31);
  spoiled.curves[2].t_ps[4] = 85;
  try {
    Fit(spoiled);
    ADD_FAILURE() << "spoiled bins accepted";
  } catch (const FitInputError& e) {
    EXPECT_NE(std::string(e.what()).find("curve \"rho15@830\": the measured curve's bins are not uniform: bin 5"),
              std::string::npos)
        << e.what();
  }
  FitProblem unknown = SpectralProblem(31);
  unknown.free = Free({"HbO2", "mua2"});
  EXPECT_THROW(Fit(unknown), FitInputError);
  FitProblem media;
  media.curves = {SpectralProblem(31).curves[0]};
  media.medium = kGeometry;
  media.media = {{760, kGeometry}, {830, kGeometry}};
  media.free = Free({"mua2@800"});
  try {
    Fit(media);
    ADD_FAILURE() << "a wavelength without medium accepted";
  } catch (const FitInputError& e) {
    EXPECT_NE(std::string(e.what()).find("mua2@800 names 800 nm, where the problem has no medium"), std::string::npos)
        << e.what();
  }
}

// Two wavelengths hardly determine the bottom layer's scattering power: freed in the spectral
// fit it comes out +- 1.2 (truth 1) while no two parameters are correlated beyond 0.96, which
// earlier passed as success. Now it is flagged by name with what would determine it, and its
// profile, computed unasked, agrees with the curvature's error (a nearly quadratic profile). Held
// at its value, the same data give a fit without flag whose cost has no profile in it. A profile
// that reaches a bound before the statistic rises by 1 flags its parameter even when its error
// is small.
TEST(JointFit, FlagsWhatTheDataLeaveOpen) {
  FitOptions options;
  FitProblem problem = ScatteringPowerProblem(100);
  options.starts = 1;
  const FitResult loose = Fit(problem, options);
  std::printf("b2 free: %d evaluations, %.2f s\n%s", loose.forward_evaluations, loose.seconds,
              loose.FullReport().c_str());
  const FitEstimate& b2 = *loose.Find("b2");
  ASSERT_GT(b2.standard_error, 0.5 * std::fabs(b2.value));
  EXPECT_NEAR(b2.value, 1.0, 2 * b2.standard_error);
  const std::size_t n = loose.estimates.size();
  for (std::size_t a = 0; a < problem.free.size(); ++a) {
    for (std::size_t b = 0; b < a; ++b) EXPECT_LT(std::fabs(loose.correlation[a * n + b]), 0.98);
  }
  EXPECT_FALSE(loose.success);
  ASSERT_EQ(loose.flags.size(), 1u) << loose.message;
  EXPECT_EQ(loose.flags[0].kind, FitFlagKind::kPoorlyDetermined);
  EXPECT_EQ(loose.flags[0].parameters, std::vector<std::string>{"b2"});
  for (const char* words : {"b2 is poorly determined", "more wavelengths or distances", "held fixed", "a prior"}) {
    EXPECT_NE(loose.flags[0].sentence.find(words), std::string::npos) << words;
  }
  ASSERT_EQ(loose.profiles.size(), 1u);
  const ProfileInterval& profile = loose.profiles[0];
  EXPECT_EQ(profile.name, "b2");
  EXPECT_TRUE(profile.by_default);
  EXPECT_NEAR(profile.upper - profile.value, b2.standard_error, 0.2 * b2.standard_error);
  EXPECT_NEAR(profile.value - profile.lower, b2.standard_error, 0.2 * b2.standard_error);
  EXPECT_NE(loose.FullReport().find("profile: b2 = "), std::string::npos);
  EXPECT_NE(loose.ToJson().find("\"by_default\": true"), std::string::npos);

  FitProblem held = SpectralProblem(100);
  options.starts = 1;
  const FitResult tight = Fit(held, options);
  EXPECT_TRUE(tight.success) << tight.message;
  EXPECT_TRUE(tight.profiles.empty());
  options.profile_above_relative_error = std::numeric_limits<double>::infinity();
  EXPECT_EQ(Fit(held, options).forward_evaluations, tight.forward_evaluations);

  // HbO2 is known to 2 %; a lower bound half an error below it leaves the optimum where it was,
  // but its profile cannot rise by 1 before the bound.
  const FitEstimate& oxy = *tight.Find("HbO2");
  held.free[2].lower = oxy.value - 0.5 * oxy.standard_error;
  held.free[2].start = oxy.value;
  options.profile = {"HbO2"};
  const FitResult bounded = Fit(held, options);
  std::printf("%s", bounded.FullReport().c_str());
  EXPECT_NEAR(bounded.Find("HbO2")->value, oxy.value, 0.05 * oxy.standard_error);
  ASSERT_EQ(bounded.profiles.size(), 1u);
  EXPECT_EQ(bounded.profiles[0].lower_end, ProfileEnd::kBound);
  EXPECT_EQ(bounded.profiles[0].upper_end, ProfileEnd::kFound);
  ASSERT_EQ(bounded.flags.size(), 1u) << bounded.message;
  EXPECT_EQ(bounded.flags[0].parameters, std::vector<std::string>{"HbO2"});
  EXPECT_NE(bounded.flags[0].sentence.find("reaches its lower bound"), std::string::npos) << bounded.message;
}

// Media at two wavelengths: mua per wavelength, one mus' for both (tied), from a curve at each.
TEST(JointFit, MediaPerWavelengthShareATiedScattering) {
  FitOptions options;
  const Medium at760{{{1.0L, 0.008L, 1.4L, 10.0L}}}, at830{{{1.0L, 0.012L, 1.4L, 10.0L}}};
  FitProblem problem;
  problem.curves = {Measure(at760, 30, 41, 0, 760.0), Measure(at830, 30, 42, 0, 830.0)};
  problem.medium = Medium{{{1.3L, 0.01L, 1.4L, 10.0L}}};
  problem.media = {{760, problem.medium}, {830, problem.medium}};
  problem.free = Free({"mua1@760", "mua1@830", "musp1@760", "musp1@830"});
  problem.free[3].tied_to = "musp1@760";
  options.starts = 1;
  const FitResult result = Fit(problem, options);
  EXPECT_TRUE(result.success) << result.message;
  ASSERT_EQ(result.media.size(), 2u);
  for (const auto& [name, truth] : {std::pair{"mua1@760", 0.008}, {"mua1@830", 0.012}, {"musp1@760", 1.0}}) {
    const FitEstimate& e = *result.Find(name);
    EXPECT_NEAR(e.value, truth, 3 * e.standard_error) << name;
  }
  EXPECT_EQ(result.media[1].medium.layers[0].musp, result.media[0].medium.layers[0].musp);
  EXPECT_EQ(static_cast<double>(result.media[1].medium.layers[0].mua), result.Find("mua1@830")->value);
  EXPECT_NE(result.FullReport().find("curves:"), std::string::npos);
  EXPECT_NE(result.ToJson().find("\"media\""), std::string::npos);
}

}  // namespace
}  // namespace nlayer::joint_test
