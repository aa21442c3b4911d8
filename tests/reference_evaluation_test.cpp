// The evaluation a run uses against the straightforward one kept for the benchmarks: the same
// values to rounding, and the same faults at the same model inputs.
#include "bench/reference_evaluation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "core/fp_guard.h"
#include "core/hankel.h"
#include "core/layered_solution.h"
#include "tests/reference_stack.h"
#include "tests/test_support.h"

namespace nlayer {
namespace {

DerivedModel g_model;

// The straightforward evaluation is the window's form, its root included.
void SetModel(int n, FrequencyContext& context, long double omega_scale = 1.0L,
              SolutionForm form = SolutionForm::kWindow) {
  g_model = testing::MakeStack(testing::FirstLayers(n), context, omega_scale);
  g_model.Form = form;
}

// Both evaluations round differently (other elementary functions, shared sub-results), so
// they agree to a few dozen roundings of the largest term, not bit for bit.
constexpr long double kRoundings = 1e-16L;

TEST(ReferenceEvaluation, TheIntegrandAgreesOverTheWholeRangeOfTheTransform) {
  for (int n = 1; n <= 5; ++n) {
    for (long double omega_scale : {0.0L, 1.0L, 20.0L}) {
      FrequencyContext context;
      SetModel(n, context, omega_scale);
      for (long double s = 0.001L; s < 30.0L; s *= 1.37L) {
        const ComplexExt fast = ReflectanceIntegrand(g_model, s, 10.0L, context);
        const ComplexExt reference = reference::ReflectanceIntegrand(g_model, s, 10.0L, context);
        const long double scale = std::hypot(reference.re, reference.im);
        EXPECT_LE(std::fabs(fast.re - reference.re), kRoundings * scale) << "N " << n << " s " << (double)s;
        EXPECT_LE(std::fabs(fast.im - reference.im), kRoundings * scale) << "N " << n << " s " << (double)s;
      }
    }
  }
}

// The library's scaled form against the unscaled straightforward evaluation. At frequency 0
// both roots are the same bits, so the forms differ by rounding alone; the thick stacks are
// those the unscaled one still computes at every point (e^(30 x 150) is within its range).
TEST(ReferenceEvaluation, TheScaledFormAgreesAtFrequencyZeroAlsoForThickStacks) {
  for (int n = 1; n <= 5; ++n) {
    for (long double bottom : {0.0L, 60.0L, 150.0L}) {
      FrequencyContext context;
      SetModel(n, context, 0.0L, SolutionForm::kScaled);
      if (bottom > 0) g_model.Thickness.back() = bottom;
      for (long double s = 0.001L; s < 30.0L; s *= 1.37L) {
        ComplexExt scaled, reference;
        ASSERT_EQ(RunChecked([&] {
                    scaled = ReflectanceIntegrand(g_model, s, 10.0L, context);
                    reference = reference::ReflectanceIntegrand(g_model, s, 10.0L, context);
                  }),
                  FaultKind::kNone);
        EXPECT_LE(std::fabs(scaled.re - reference.re), kRoundings * std::fabs(reference.re))
            << "N " << n << " bottom " << (double)bottom << " s " << (double)s;
        EXPECT_EQ(scaled.im, 0.0L);
      }
    }
  }
}

TEST(ReferenceEvaluation, TheTransformAgrees) {
  for (int n : {1, 2, 4}) {
    FrequencyContext fast, reference;
    SetModel(n, fast);
    SetModel(n, reference);
    RadialReflectance(g_model, 10.0L, fast);
    reference::RadialReflectance(g_model, 10.0L, reference);
    const long double scale = std::hypot(reference.ReflRe, reference.ReflIm);
    EXPECT_LE(std::fabs(fast.ReflRe - reference.ReflRe), kRoundings * scale) << n;
    EXPECT_LE(std::fabs(fast.ReflIm - reference.ReflIm), kRoundings * scale) << n;
  }
}

// The thickness of the bottom layer at which a two-layer transform first overflows, found by
// bisection between a stack that computes and one that overflows.
template <class Transform>
long double OverflowEdge(Transform&& transform, long double omega_scale) {
  long double passes = 50, fails = 1000;
  auto faults = [&](long double thickness) {
    FrequencyContext context;
    SetModel(2, context, omega_scale);
    g_model.Thickness[1] = thickness;
    return RunChecked([&] { transform(context); }) != FaultKind::kNone;
  };
  EXPECT_FALSE(faults(passes));
  EXPECT_TRUE(faults(fails));
  for (int step = 0; step < 60; ++step) {
    const long double mid = (passes + fails) / 2;
    (faults(mid) ? fails : passes) = mid;
  }
  return fails;
}

TEST(ReferenceEvaluation, ATwoLayerStackOverflowsAtTheSameThickness) {
  for (long double omega_scale : {0.0L, 1.0L}) {
    const long double fast = OverflowEdge([](FrequencyContext& c) { RadialReflectance(g_model, 10.0L, c); }, omega_scale);
    const long double reference =
        OverflowEdge([](FrequencyContext& c) { reference::RadialReflectance(g_model, 10.0L, c); }, omega_scale);
    // The edge moves with the rounding of the exponent only: far less than a nanometre.
    EXPECT_LT(std::fabs(fast - reference), 1e-9L * reference) << (double)fast << " vs " << (double)reference;
    // And the fault is the same one.
    FrequencyContext context;
    SetModel(2, context, omega_scale);
    g_model.Thickness[1] = fast * 1.001L;
    EXPECT_EQ(RunChecked([&] { RadialReflectance(g_model, 10.0L, context); }),
              RunChecked([&] { reference::RadialReflectance(g_model, 10.0L, context); }));
  }
}

}  // namespace
}  // namespace nlayer
