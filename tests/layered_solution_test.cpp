#include "core/layered_solution.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#include "core/fp_guard.h"
#include "core/hankel.h"
#include "tests/reference_stack.h"
#include "tests/test_support.h"

namespace nlayer {
namespace {

using testing::RelErr;

using testing::FirstLayers;
using testing::kReferenceLayers;
using testing::StackLayer;

// The model the tests evaluate, set by SetModel.
DerivedModel g_model;

void SetModel(const std::vector<StackLayer>& layers, FrequencyContext& context, long double z0 = 1.0L / 1.01L,
              long double zb_top = 1.0L, long double zb_bottom = 1.5L) {
  g_model = testing::MakeStack(layers, context, 1.0L, z0, zb_top, zb_bottom);
}

// Half a unit of the tenth significant digit of a value of order 1e-3.
constexpr long double kTenDigitsAt1em3 = 0.5e-12L;

TEST(ReflectanceIntegrand, ReferenceValuesForOneToFourLayers) {
  const ComplexExt expected[] = {{3.183041239e-3L, -1.469518228e-3L},
                                 {3.232664799e-3L, -1.537470730e-3L},
                                 {3.219269574e-3L, -1.529208931e-3L},
                                 {3.218507422e-3L, -1.525324230e-3L}};
  for (int n = 1; n <= 4; ++n) {
    FrequencyContext context;
    SetModel(FirstLayers(n), context);
    ComplexExt value;
    ASSERT_EQ(RunChecked([&] { value = ReflectanceIntegrand(g_model, 0.2L, 10.0L, context); }), FaultKind::kNone);
    EXPECT_NEAR(static_cast<double>(value.re), static_cast<double>(expected[n - 1].re), kTenDigitsAt1em3)
        << "N = " << n;
    EXPECT_NEAR(static_cast<double>(value.im), static_cast<double>(expected[n - 1].im), kTenDigitsAt1em3)
        << "N = " << n;
  }
}

TEST(ReflectanceIntegrand, ZeroModulationFrequencyIsExactlyReal) {
  for (int n = 1; n <= 4; ++n) {
    auto layers = FirstLayers(n);
    for (auto& layer : layers) layer.omega_term = 0;
    FrequencyContext context;
    SetModel(layers, context);
    for (long double s : {1e-6L, 0.2L, 3.0L, 29.9L}) {
      const ComplexExt value = ReflectanceIntegrand(g_model, s, 10.0L, context);
      EXPECT_EQ(value.im, 0.0L) << "N = " << n << ", s = " << static_cast<double>(s);
    }
    if (n == 4) {
      EXPECT_NEAR(static_cast<double>(ReflectanceIntegrand(g_model, 0.2L, 10.0L, context).re), 4.377902697e-3,
                  kTenDigitsAt1em3);
    }
  }
}

TEST(ReflectanceIntegrand, OneLayerIgnoresThicknessIndexAndBottomBoundary) {
  FrequencyContext context;
  SetModel(FirstLayers(1), context);
  const ComplexExt reference = ReflectanceIntegrand(g_model, 0.7L, 10.0L, context);
  g_model.Thickness[0] = 1e6L;
  g_model.RefrIndex[0] = 0.0L;
  g_model.ZbBottom = -5.0L;
  const ComplexExt changed = ReflectanceIntegrand(g_model, 0.7L, 10.0L, context);
  EXPECT_EQ(changed.re, reference.re);
  EXPECT_EQ(changed.im, reference.im);
}

// Splitting a layer into two of the same material and the same total thickness must not change
// the medium, whichever path (two layers, the product start, the recursion) the stack takes.
TEST(ReflectanceIntegrand, SplittingALayerLeavesTheValueUnchanged) {
  constexpr long double kRoundingOfTheStack = 1e-15L;  // a few dozen roundings of order 1e-19
  const auto four = FirstLayers(4);
  FrequencyContext context;
  for (int n = 1; n <= 4; ++n) {
    // The bottom layer of a stack ends at its extrapolated boundary; a lone layer is a half
    // space, and splitting it would add a boundary.
    for (int split = 0; split < n && n > 1; ++split) {
      auto stack = FirstLayers(n);
      SetModel(stack, context);
      const ComplexExt whole = ReflectanceIntegrand(g_model, 0.3L, 10.0L, context);
      StackLayer upper = stack[split], lower = stack[split];
      upper.l = stack[split].l * 0.25L;
      lower.l = stack[split].l - upper.l;
      stack[split] = lower;
      stack.insert(stack.begin() + split, upper);
      SetModel(stack, context);
      const ComplexExt parts = ReflectanceIntegrand(g_model, 0.3L, 10.0L, context);
      EXPECT_LT(RelErr(parts.re, whole.re), kRoundingOfTheStack) << "N = " << n << ", split " << split;
      EXPECT_LT(RelErr(parts.im, whole.im), kRoundingOfTheStack) << "N = " << n << ", split " << split;
    }
  }
}

TEST(ReflectanceIntegrand, AThickSecondLayerOfTheSameMaterialApproachesOneLayer) {
  StackLayer top = kReferenceLayers[0];
  FrequencyContext context;
  SetModel({top}, context);
  const ComplexExt one = ReflectanceIntegrand(g_model, 0.2L, 10.0L, context);
  StackLayer below = top;
  below.l = 200;  // e^(-2 alpha (l + zb)) is far below the extended precision
  SetModel({top, below}, context);
  const ComplexExt two = ReflectanceIntegrand(g_model, 0.2L, 10.0L, context);
  EXPECT_LT(RelErr(two.re, one.re), 1e-17L);
  EXPECT_LT(RelErr(two.im, one.im), 1e-17L);
}

TEST(ReflectanceIntegrand, FaultsOfTheModelReachTheFlags) {
  FrequencyContext context;
  auto layers = FirstLayers(2);
  layers[1].l = 12000;  // alpha.re * l passes ln(max extended) = 11356.5
  SetModel(layers, context);
  g_model.Form = SolutionForm::kWindow;
  EXPECT_EQ(RunChecked([&] { ReflectanceIntegrand(g_model, 1.0L, 10.0L, context); }), FaultKind::kOverflow);

  layers = FirstLayers(3);
  layers[0].n = 0;  // an index ratio divides by it
  SetModel(layers, context);
  EXPECT_EQ(RunChecked([&] { ReflectanceIntegrand(g_model, 1.0L, 10.0L, context); }), FaultKind::kDivisionByZero);
}

// The library's form computes any bottom thickness: 12000 mm (where the window's form
// overflows) and a bottom without end equal the window's form at 200 mm, where the light that
// reaches the bottom, e^(-2 alpha 200) at s = 1, is far below the extended precision.
TEST(ReflectanceIntegrand, TheScaledFormComputesAnyBottomThickness) {
  for (int n : {2, 3, 5}) {
    for (long double omega_scale : {0.0L, 1.0L, 20.0L}) {
      FrequencyContext context;
      auto layers = FirstLayers(n);
      layers.back().l = 200;
      g_model = testing::MakeStack(layers, context, omega_scale);
      g_model.Form = SolutionForm::kWindow;
      const ComplexExt window = ReflectanceIntegrand(g_model, 1.0L, 10.0L, context);
      const long double scale = std::hypot(window.re, window.im);
      for (long double bottom : {12000.0L, std::numeric_limits<long double>::infinity()}) {
        g_model.Form = SolutionForm::kScaled;
        g_model.Thickness.back() = bottom;
        ComplexExt scaled;
        ASSERT_EQ(RunChecked([&] { scaled = ReflectanceIntegrand(g_model, 1.0L, 10.0L, context); }), FaultKind::kNone);
        // The forms differ by their roots and roundings, a few 1e-18 of the value here.
        EXPECT_LT(std::fabs(scaled.re - window.re), 1e-16L * scale) << n << " " << (double)bottom;
        EXPECT_LT(std::fabs(scaled.im - window.im), 1e-16L * scale) << n << " " << (double)bottom;
      }
    }
  }
}

// With one layer the transform has a closed form: for alpha = sqrt(s^2 + k^2),
// integral_0^inf s J0(s rho) exp(-alpha z) ds = z (1 + k r) exp(-k r) / r^3, r = sqrt(rho^2 + z^2),
// also for complex k. The rule stops at 30 mus', where the integrand has fallen by exp(-30 z0).
TEST(RadialReflectance, OneLayerAgreesWithTheClosedForm) {
  // The dropped tail: at most about (30 / z0) exp(-30 z0) J0 / (2 pi) with J0 <= 1/sqrt(30 rho).
  constexpr long double kTruncationTail = 2e-14L;
  using C = std::complex<long double>;
  for (long double omega_term : {0.0L, 0.2L, 3.0L}) {
    for (long double rho : {5.0L, 10.0L, 20.0L}) {
      auto layer = kReferenceLayers[0];
      layer.omega_term = omega_term;
      layer.mua = 0.01L;
      FrequencyContext context;
      SetModel({layer}, context, 1.0L / 1.01L, 0.0L);
      const long double z0 = g_model.Z0;
      const C k = std::sqrt(C(layer.mua / layer.D, omega_term));
      auto point_source = [&](long double z) {
        const long double r = std::sqrt(rho * rho + z * z);
        return z * (1.0L + k * r) * std::exp(-k * r) / (r * r * r);
      };
      const C expected = (point_source(z0) + point_source(z0)) / 2.0L / (2.0L * 3.14159265358979323846L);
      RadialReflectance(g_model, rho, context);
      const long double error = std::abs(C(context.ReflRe, context.ReflIm) - expected);
      EXPECT_LT(error, kTruncationTail) << "rho " << static_cast<double>(rho) << ", omega' "
                                        << static_cast<double>(omega_term);
    }
  }
}

TEST(RadialReflectance, DependsOnlyOnItsInputs) {
  FrequencyContext a, b;
  SetModel(FirstLayers(4), a);
  SetModel(FirstLayers(4), b);
  RadialReflectance(g_model, 10.0L, a);
  RadialReflectance(g_model, 10.0L, b);
  EXPECT_EQ(a.ReflRe, b.ReflRe);
  EXPECT_EQ(a.ReflIm, b.ReflIm);
  EXPECT_NE(a.ReflRe, 0.0L);
}

TEST(IntegrateHankel, ConstantsAndPolynomials) {
  const long double upper = 30.0L;
  const ComplexExt one = IntegrateHankel(0.0L, upper, [](long double) { return ComplexExt{1.0L, 0.0L}; });
  EXPECT_LT(RelErr(one.re, upper), 1e-16L);  // the weights add up to 1 within 1e-16
  EXPECT_EQ(one.im, 0.0L);

  const ComplexExt square =
      IntegrateHankel(0.0L, upper, [](long double s) { return ComplexExt{s * s, -2 * s}; });
  EXPECT_LT(RelErr(square.re, upper * upper * upper / 3.0L), 1e-15L);
  EXPECT_LT(RelErr(square.im, -upper * upper), 1e-15L);

  // Degree 1918 on [0, 2]: (s - 1)^1918 integrates to 2 / 1919. The nodes carry 15 digits, so
  // the steepest terms near the ends agree to a few digits less.
  const ComplexExt high = IntegrateHankel(0.0L, 2.0L, [](long double s) {
    return ComplexExt{std::pow(s - 1.0L, 1918), 0.0L};
  });
  EXPECT_LT(RelErr(high.re, 2.0L / 1919.0L), 1e-9L);
}

TEST(IntegrateHankel, EmptyAndReversedIntervals) {
  auto f = [](long double s) { return ComplexExt{std::exp(-s), std::sin(s)}; };
  const ComplexExt empty = IntegrateHankel(3.0L, 3.0L, f);
  EXPECT_EQ(empty.re, 0.0L);
  EXPECT_EQ(empty.im, 0.0L);
  const ComplexExt forward = IntegrateHankel(0.0L, 4.0L, f);
  const ComplexExt backward = IntegrateHankel(4.0L, 0.0L, f);
  EXPECT_LT(RelErr(backward.re, -forward.re), 1e-17L);
  EXPECT_LT(RelErr(backward.im, -forward.im), 1e-17L);
  EXPECT_LT(RelErr(forward.re, 1.0L - std::exp(-4.0L)), 1e-15L);
  EXPECT_LT(RelErr(forward.im, 1.0L - std::cos(4.0L)), 1e-15L);
}

TEST(IntegrateHankel, NeverEvaluatesTheEndsAndVisitsPairsFromTheMiddleOutwards) {
  std::vector<long double> points;
  IntegrateHankel(0.0L, 10.0L, [&](long double s) {
    points.push_back(s);
    return ComplexExt{};
  });
  ASSERT_EQ(points.size(), 960u);
  for (std::size_t i = 0; i + 2 < points.size(); i += 2) {
    EXPECT_GT(points[i], 5.0L);
    EXPECT_LT(points[i + 1], 5.0L);
    EXPECT_GT(points[i + 2], points[i]);
  }
  EXPECT_GT(points[959], 0.0L);
  EXPECT_LT(points[958], 10.0L);
}

}  // namespace
}  // namespace nlayer
