// The evaluation a run uses against the straightforward one kept for the benchmarks: the same
// values to rounding, and the same faults at the same model inputs.
#include "bench/reference_evaluation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "model/fp_guard.h"
#include "model/hankel.h"
#include "model/layered_solution.h"
#include "model/model_state.h"
#include "tests/test_support.h"

namespace nlayer {
namespace {

struct Layer {
  long double mua, D, l, n, omega_term;
};

const Layer kLayers[] = {{0.01L, 1.0L / 3.0L, 3, 1.4L, 0.2L},
                         {0.02L, 0.25L, 2, 1.33L, 0.3L},
                         {0.005L, 0.4L, 4, 1.5L, 0.1L},
                         {0.03L, 0.3L, 20, 1.45L, 0.25L},
                         {0.012L, 0.3L, 7, 1.38L, 0.22L}};

void SetModel(int n, FrequencyContext& context, long double omega_scale = 1.0L) {
  ModelState& s = State;
  s.LayerCount = n;
  s.Mua.clear(), s.DiffCoef.clear(), s.Thickness.clear(), s.RefrIndex.clear(), s.Musp.clear();
  context.Resize(n);
  for (int k = 0; k < n; ++k) {
    s.Mua.push_back(kLayers[k].mua);
    s.DiffCoef.push_back(kLayers[k].D);
    s.Musp.push_back(1.0L / (3.0L * kLayers[k].D));
    s.Thickness.push_back(kLayers[k].l);
    s.RefrIndex.push_back(kLayers[k].n);
    context.OmegaTerm[k] = omega_scale * kLayers[k].omega_term;
  }
  s.Z0 = 1.0L / 1.01L;
  s.ZbTop = 1.0L;
  s.ZbBottom = 1.5L;
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
        const ComplexExt fast = ReflectanceIntegrand(s, 10.0L, context);
        const ComplexExt reference = reference::ReflectanceIntegrand(s, 10.0L, context);
        const long double scale = std::hypot(reference.re, reference.im);
        EXPECT_LE(std::fabs(fast.re - reference.re), kRoundings * scale) << "N " << n << " s " << (double)s;
        EXPECT_LE(std::fabs(fast.im - reference.im), kRoundings * scale) << "N " << n << " s " << (double)s;
      }
    }
  }
}

TEST(ReferenceEvaluation, TheTransformAgrees) {
  for (int n : {1, 2, 4}) {
    FrequencyContext fast, reference;
    SetModel(n, fast);
    SetModel(n, reference);
    RadialReflectance(10.0L, fast);
    reference::RadialReflectance(10.0L, reference);
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
    State.Thickness[1] = thickness;
    return RunChecked([&] { transform(context); }) != FpFault::kNone;
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
    const long double fast = OverflowEdge([](FrequencyContext& c) { RadialReflectance(10.0L, c); }, omega_scale);
    const long double reference =
        OverflowEdge([](FrequencyContext& c) { reference::RadialReflectance(10.0L, c); }, omega_scale);
    // The edge moves with the rounding of the exponent only: far less than a nanometre.
    EXPECT_LT(std::fabs(fast - reference), 1e-9L * reference) << (double)fast << " vs " << (double)reference;
    // And the fault is the same one.
    FrequencyContext context;
    SetModel(2, context, omega_scale);
    State.Thickness[1] = fast * 1.001L;
    EXPECT_EQ(RunChecked([&] { RadialReflectance(10.0L, context); }),
              RunChecked([&] { reference::RadialReflectance(10.0L, context); }));
  }
}

}  // namespace
}  // namespace nlayer
