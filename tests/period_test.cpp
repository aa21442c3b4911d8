// Curves that have not faded by the end of the requested grid's period: the library computes
// them on a longer one, so that nothing folds back onto their start.
#include "core/period.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "nlayer/reflectance.h"
#include "tests/half_space.h"

namespace nlayer {
namespace {

using testing::HalfSpaceTimeClosedForm;

// The diffusion model's curve against its closed form: the transforms' rounding at the longest
// distances here, with a margin. (Closer than 20 mm, the sharpest of these curves rise within a
// few samples and leave the 10 ps grid's band: its ringing, not the period, then limits them.)
constexpr double kAgreesWithClosedForm = 2e-6;
// The closed form folded onto the default period's start by more than this is a case the
// period alone would have got wrong.
constexpr double kVisibleFold = 1e-5;

struct Case {
  double musp, mua, rho;
};

std::vector<Case> HalfSpaceCases() {
  std::vector<Case> cases;
  for (double musp : {0.5, 1.0, 3.0}) {
    for (double mua : {0.005, 0.01, 0.05}) {
      for (double rho : {20.0, 30.0, 60.0, 120.0}) cases.push_back({musp, mua, rho});
    }
  }
  return cases;
}

// What the closed form still holds after the default period, at its first sample.
double ClosedFormFold(const Layer& layer, double rho, const TimeGrid& grid) {
  const double period = grid.samples * grid.dt_ps;
  double fold = 0;
  for (int m = 1; m < 1000; ++m) fold += HalfSpaceTimeClosedForm(layer, rho, grid.dt_ps + m * period);
  return fold;
}

TEST(LongEnoughPeriod, HalfSpacesOfEveryDecayAgreeWithTheClosedFormInBothEngines) {
  const TimeGrid grid;
  for (Engine engine : {Engine::kExact, Engine::kFast}) {
    int computed = 0, folding = 0;
    for (const Case& c : HalfSpaceCases()) {
      const Layer layer{c.musp, c.mua, 1.4, 1.0};
      TimeCurves curves;
      try {
        curves = TimeResolved(Medium{{layer}}, {c.rho}, grid, {.engine = engine});
      } catch (const InvalidRequest&) {
        continue;  // beyond the transform's reach: refused, as it should be
      }
      ++computed;
      double peak = 0, worst = 0;
      for (std::size_t i = 0; i < curves.t_ps.size(); ++i) {
        const double exact = HalfSpaceTimeClosedForm(layer, c.rho, curves.t_ps[i]);
        peak = std::max(peak, exact);
        worst = std::max(worst, std::fabs(curves.Curve(0)[i] - exact));
      }
      if (ClosedFormFold(layer, c.rho, grid) > kVisibleFold * peak) ++folding;
      EXPECT_LE(worst, kAgreesWithClosedForm * peak)
          << "mus' " << c.musp << " mua " << c.mua << " rho " << c.rho << " engine " << static_cast<int>(engine);
    }
    // The transform refuses only the longest distances in the most absorbing media.
    EXPECT_GE(computed, 26);
    // The cases include curves that the default period would have folded.
    EXPECT_GE(folding, 6);
  }
}

TEST(LongEnoughPeriod, StatedRoundingBoundsTheDifferenceToALongerGrid) {
  // A slow two-layer stack: the same samples requested on a grid four times as long differ only
  // by what each period folds and by each transform's rounding.
  const Medium medium{{{1.0, 0.004, 1.4, 8.0}, {0.8, 0.002, 1.4, 40.0}}};
  const std::vector<long double> rhos = {20, 40};
  const TimeCurves shorter = TimeResolved(medium, rhos, {10.0, 1024});
  const TimeCurves longer = TimeResolved(medium, rhos, {10.0, 4096});
  for (std::size_t r = 0; r < rhos.size(); ++r) {
    double peak = 0, worst = 0;
    for (std::size_t i = 0; i < shorter.t_ps.size(); ++i) {
      peak = std::max(peak, std::fabs(longer.Curve(r)[i]));
      worst = std::max(worst, std::fabs(shorter.Curve(r)[i] - longer.Curve(r)[i]));
    }
    EXPECT_LE(worst, shorter.rounding[r] + longer.rounding[r]) << "rho " << rhos[r];
    EXPECT_LE(worst, 1e-8 * peak) << "rho " << rhos[r];
  }
}

TEST(LongEnoughPeriod, ADistanceKeepsItsValuesWhateverSharesTheCall) {
  // The fast curve at 10 mm stays on the request's period while the slow one at 60 mm takes a
  // longer one; neither's bits depend on the other.
  const Medium medium{{{1.0, 0.01, 1.4, 5.0}, {1.0, 0.003, 1.4, 30.0}}};
  for (Engine engine : {Engine::kExact, Engine::kFast}) {
    const TimeCurves both = TimeResolved(medium, {10, 60}, {}, {.engine = engine});
    const TimeCurves near = TimeResolved(medium, {10}, {}, {.engine = engine});
    const TimeCurves far = TimeResolved(medium, {60}, {}, {.engine = engine});
    for (std::size_t i = 0; i < both.t_ps.size(); ++i) {
      ASSERT_EQ(both.Curve(0)[i], near.Curve(0)[i]);
      ASSERT_EQ(both.Curve(1)[i], far.Curve(0)[i]);
    }
    EXPECT_EQ(both.rounding[0], near.rounding[0]);
    EXPECT_EQ(both.rounding[1], far.rounding[0]);
  }
}

TEST(LongEnoughPeriod, TheFoldBoundHoldsForAFallingTail) {
  // Samples of a periodised exponential: the true fold at the start is the geometric tail.
  const int n = 256;
  const double decay = 0.05, period = n;
  std::vector<double> samples(n);
  for (int j = 0; j < n; ++j) samples[j] = std::exp(-decay * j) / (1 - std::exp(-decay * period));
  const double true_fold = std::exp(-decay * period) / (1 - std::exp(-decay * period));
  EXPECT_GE(FoldBound(samples), true_fold);
  EXPECT_LE(FoldBound(samples), true_fold * std::exp(decay * n / 16.0) * 1.01);
}

}  // namespace
}  // namespace nlayer
