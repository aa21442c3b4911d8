// The fast engine against the exact one, through the public API: whole curves over a set of
// models, the faults the exact engine reports, stacks of any thickness in both engines, and
// independence of the thread count and of the instruction set.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "core/derived_model.h"
#include "core/spectrum.h"
#include "nlayer/reflectance.h"

namespace nlayer {
namespace {

const ComputeOptions kExact{.engine = Engine::kExact};
const ComputeOptions kFast{.engine = Engine::kFast};

const std::vector<long double> kDistances = {5, 10, 20, 30, 40, 50};

struct NamedModel {
  std::string name;
  Medium medium;
  std::vector<long double> rhos = kDistances;
};

// Three models stop at 40 mm: at 50 mm the exact engine's own rounding reaches the tolerance.
// Against a binary128 evaluation of the same quadrature (same points, weights and Bessel
// factors) it is off by 2.1e-8 (half space, index 1.9), 9.8e-9 (two layers) and 9.9e-9 (adult
// head) within 1e-3 of the peak, mostly from the cancellation in its square root where the
// modulation term is small next to s^2; the fast engine by 3e-10, 3.2e-9 and 6e-10. For the
// other models the exact engine stays within 3e-10 there and serves as the oracle to 50 mm.
const std::vector<long double> kUpTo40 = {5, 10, 20, 30, 40};

// One to eight layers; matched and strongly mismatched indices; layers far thinner than the
// source depth, and stacks whose cosh(a d) outgrows the double range (30 mus' d above 709);
// scattering from 0.25 to 3 per mm.
std::vector<NamedModel> ModelSet() {
  return {
      {"half space", Medium{{{1.0L, 0.01L, 1.4L, 10.0L}}}},
      {"half space, index 1.9", Medium{{{2.5L, 0.005L, 1.9L, 10.0L}}}, kUpTo40},
      {"two layers", Medium{{{1.0L, 0.01L, 1.4L, 5.0L}, {2.0L, 0.03L, 1.4L, 15.0L}}}, kUpTo40},
      {"two layers, top 0.2 mm", Medium{{{1.5L, 0.005L, 1.4L, 0.2L}, {0.8L, 0.02L, 1.4L, 30.0L}}}},
      {"two layers, 120 mm", Medium{{{1.0L, 0.01L, 1.4L, 10.0L}, {1.2L, 0.015L, 1.4L, 110.0L}}}},
      {"three layers, mismatched",
       Medium{{{1.2L, 0.02L, 1.33L, 2.0L}, {0.8L, 0.005L, 1.5L, 4.0L}, {1.5L, 0.015L, 1.6L, 30.0L}}}},
      {"three layers, index 1.0 over 2.5",
       Medium{{{1.0L, 0.01L, 1.0L, 3.0L}, {1.0L, 0.01L, 2.5L, 3.0L}, {1.0L, 0.01L, 1.2L, 20.0L}}}},
      {"adult head",
       Medium{{{1.9L, 0.018L, 1.4L, 3.0L}, {1.6L, 0.016L, 1.4L, 7.0L}, {0.25L, 0.004L, 1.4L, 2.0L},
               {1.2L, 0.02L, 1.4L, 50.0L}}},
       kUpTo40},
      {"four layers, mismatched",
       Medium{{{1.0L, 0.01L, 1.4L, 3.0L}, {1.3333333333333333L, 0.02L, 1.33L, 2.0L},
               {0.8333333333333333L, 0.005L, 1.5L, 4.0L}, {1.1111111111111111L, 0.03L, 1.45L, 20.0L}}}},
      {"five layers, 0.1 mm to 20 mm",
       Medium{{{3.0L, 0.02L, 1.45L, 0.1L}, {1.0L, 0.002L, 1.35L, 0.5L}, {2.0L, 0.04L, 1.5L, 1.0L},
               {0.5L, 0.01L, 1.4L, 20.0L}, {1.0L, 0.01L, 1.4L, 15.0L}}}},
      {"eight layers",
       Medium{{{1.1L, 0.01L, 1.4L, 1.0L}, {0.9L, 0.02L, 1.37L, 2.0L}, {1.4L, 0.005L, 1.43L, 0.5L},
               {0.6L, 0.015L, 1.5L, 3.0L}, {2.0L, 0.03L, 1.33L, 1.5L}, {1.0L, 0.01L, 1.4L, 4.0L},
               {0.7L, 0.008L, 1.45L, 2.5L}, {1.3L, 0.02L, 1.38L, 25.0L}}}},
  };
}

// The worst relative difference of `fast` from `exact` among the samples of each curve within
// three and within six decades of that curve's peak.
struct Worst {
  double within_3 = 0;
  double within_6 = 0;
};

Worst Compare(const TimeCurves& exact, const TimeCurves& fast) {
  Worst worst;
  for (std::size_t r = 0; r < exact.rho_mm.size(); ++r) {
    const auto e = exact.Curve(r), f = fast.Curve(r);
    double peak = 0;
    for (double v : e) peak = std::max(peak, std::fabs(v));
    for (std::size_t i = 0; i < e.size(); ++i) {
      const double magnitude = std::fabs(e[i]);
      const double rel = std::fabs(f[i] - e[i]) / magnitude;
      if (magnitude >= 1e-3 * peak) worst.within_3 = std::max(worst.within_3, rel);
      if (magnitude >= 1e-6 * peak) worst.within_6 = std::max(worst.within_6, rel);
    }
  }
  return worst;
}

// The largest difference of two sets of curves relative to each curve's peak.
double LargestDifference(const TimeCurves& a, const TimeCurves& b) {
  double largest = 0;
  for (std::size_t r = 0; r < a.rho_mm.size(); ++r) {
    const auto x = a.Curve(r), y = b.Curve(r);
    double peak = 0;
    for (double v : x) peak = std::max(peak, std::fabs(v));
    for (std::size_t i = 0; i < x.size(); ++i) largest = std::max(largest, std::fabs(x[i] - y[i]) / peak);
  }
  return largest;
}

TEST(FastEngine, AgreesWithTheExactEngineOverTheModelSet) {
  Worst overall;
  for (const NamedModel& model : ModelSet()) {
    const TimeCurves exact = TimeResolved(model.medium, model.rhos, TimeGrid{}, kExact);
    const TimeCurves fast = TimeResolved(model.medium, model.rhos, TimeGrid{}, kFast);
    ASSERT_EQ(fast.t_ps, exact.t_ps);
    // Computed in doubles, not handed to the exact engine.
    EXPECT_NE(fast.reflectance, exact.reflectance) << model.name;
    const Worst worst = Compare(exact, fast);
    EXPECT_LE(worst.within_3, 1e-8) << model.name;
    EXPECT_LE(worst.within_6, 1e-5) << model.name;
    std::printf("%-34s within 1e-3 of the peak %.2e, within 1e-6 %.2e\n", model.name.c_str(), worst.within_3,
                worst.within_6);
    overall.within_3 = std::max(overall.within_3, worst.within_3);
    overall.within_6 = std::max(overall.within_6, worst.within_6);
  }
  std::printf("%-34s within 1e-3 of the peak %.2e, within 1e-6 %.2e\n", "worst", overall.within_3, overall.within_6);
}

// A stack with one layer split into two of the same material is the same medium. Splitting the
// top layer changes which of the fast engine's shortcuts its points take (l0 enters every bound),
// and a split lower layer makes t - s of the recursion vanish: the curves still agree.
TEST(FastEngine, ASplitLayerLeavesTheCurvesAsTheyWere) {
  const std::vector<long double> rhos = {10, 30, 50};
  const Layer top{1.2L, 0.012L, 1.4L, 3.0L}, middle{0.9L, 0.02L, 1.37L, 6.0L}, bottom{1.1L, 0.01L, 1.45L, 30.0L};
  const Medium whole{{top, middle, bottom}};
  const TimeCurves reference = TimeResolved(whole, rhos, TimeGrid{}, kFast);
  auto split = [](Layer layer, long double first) {
    Layer a = layer, b = layer;
    a.d = first;
    b.d = layer.d - first;
    return std::pair{a, b};
  };
  const auto [top_1, top_2] = split(top, 1.0L);
  const auto [middle_1, middle_2] = split(middle, 2.5L);
  for (const Medium& medium : {Medium{{top_1, top_2, middle, bottom}}, Medium{{top, middle_1, middle_2, bottom}}}) {
    const Worst worst = Compare(reference, TimeResolved(medium, rhos, TimeGrid{}, kFast));
    EXPECT_LE(worst.within_3, 1e-8) << medium.layers.size();
    EXPECT_LE(worst.within_6, 1e-5) << medium.layers.size();
    std::printf("split of layer %s: within 1e-3 of the peak %.2e, within 1e-6 %.2e\n",
                medium.layers[0].d == top.d ? "2" : "1", worst.within_3, worst.within_6);
  }
}

// Frequency-domain values and the continuous-wave reflectance come from the same spectrum.
TEST(FastEngine, FrequencyDomainAndContinuousWaveAgree) {
  const Medium head = ModelSet()[7].medium;
  const std::vector<long double> rhos = {10, 30};
  const std::vector<double> f_hz = {0.0, 1e8, 1e9, 1e11, 1e12};
  const FrequencySpectra exact = FrequencyDomain(head, rhos, f_hz, kExact);
  const FrequencySpectra fast = FrequencyDomain(head, rhos, f_hz, kFast);
  for (std::size_t r = 0; r < rhos.size(); ++r) {
    for (std::size_t k = 0; k < f_hz.size(); ++k) {
      EXPECT_LE(std::abs(fast.At(r, k) - exact.At(r, k)), 1e-12 * std::abs(exact.At(r, 0))) << r << " " << k;
    }
  }
  const std::vector<double> cw = ContinuousWave(head, rhos, kFast);
  for (std::size_t r = 0; r < rhos.size(); ++r) EXPECT_EQ(cw[r], fast.At(r, 0).real());
}

// What the exact engine reports as a fault comes out of the fast engine as the same fault.
TEST(FastEngine, ReportsTheFaultsOfTheExactEngine) {
  auto fault_of = [](const Medium& medium, const ComputeOptions& options) -> std::string {
    try {
      TimeResolved(medium, {20}, TimeGrid{}, options);
    } catch (const ModelError& e) {
      return std::string(FaultKindName(e.kind())) + " " + FaultStageName(e.stage()) + " " +
             std::to_string(e.frequency_index());
    }
    return "none";
  };
  // mua / D of the bottom layer beyond the extended range: the fast engine hands it over.
  const Medium huge_absorption{{{1.0L, 0.01L, 1.4L, 5.0L}, {1.0L, 1e4932L, 1.4L, 20.0L}}};
  EXPECT_EQ(fault_of(huge_absorption, kFast), "overflow frequency 0");
  EXPECT_EQ(fault_of(huge_absorption, kFast), fault_of(huge_absorption, kExact));
  try {
    FrequencyDomain(huge_absorption, {20}, {1e8, 0.0}, kFast);
    ADD_FAILURE() << "no fault";
  } catch (const ModelError& e) {
    EXPECT_EQ(e.kind(), FaultKind::kOverflow);
    EXPECT_EQ(e.frequency_hz(), 1e8);
  }
}

// The largest change, over the samples of a curve on `grid`, that the spectrum's change `delta`
// (at the grid's frequencies k / (samples dt), k = 0 ... samples/2) makes: the synthesis is
// linear, a_j = (Re R_0 + (-1)^j Re R_n) / 2 + sum Re(R_k e^(2 pi i j k / samples)), scaled by
// 2 / (samples dt).
double LargestSampleChange(const std::vector<std::complex<long double>>& delta, const TimeGrid& grid) {
  const int samples = grid.samples, half = samples / 2;
  std::vector<std::complex<long double>> roots;
  for (int m = 0; m < samples; ++m) roots.push_back(std::polar(1.0L, 6.283185307179586477L * m / samples));
  long double largest = 0;
  for (int j = 0; j < samples; ++j) {
    long double a = (delta[0].real() + (j % 2 == 0 ? 1 : -1) * delta[half].real()) / 2;
    for (int k = 1; k < half; ++k) a += (delta[k] * roots[static_cast<std::size_t>((j * k) % samples)]).real();
    largest = std::max(largest, std::fabs(a));
  }
  return static_cast<double>(largest * 2 / (samples * grid.dt_ps));
}

// The adult head with a brain of 100 mm, 1000 mm and without end. Light that goes 60 mm deep
// does not come back within the curve, so each is the head with a 60 mm brain to far below the
// rounding. The exact engine's 60 mm head is the window's form (unscaled hyperbolic functions,
// the window's root), which shares none of the scaled arithmetic; the fast engine's is its own
// 60 mm head, whose recursion still forms e^(-2 a d) of the brain. The spectra are compared at
// the default grid's frequencies, through the curve samples their difference makes.
TEST(FastEngine, ComputesABrainOfAnyThicknessInBothEngines) {
  const std::vector<long double> rhos = {10, 20, 30};
  auto head = [](long double brain) {
    return Medium{{{1.9L, 0.018L, 1.4L, 3.0L}, {1.6L, 0.016L, 1.4L, 7.0L}, {0.25L, 0.004L, 1.4L, 2.0L},
                   {1.2L, 0.02L, 1.4L, brain}}};
  };
  const TimeGrid grid;
  std::vector<double> f_hz;
  std::vector<long double> omegas;
  for (int k = 0; k <= grid.samples / 2; ++k) {
    f_hz.push_back(static_cast<double>(k) * 1e12 / (grid.samples * grid.dt_ps));
    omegas.push_back(6.283185307179586477L * static_cast<long double>(f_hz.back()));
  }
  DerivedModel window;
  window.Form = SolutionForm::kWindow;
  ASSERT_EQ(DeriveModel(head(60).layers, window), FaultKind::kNone);
  const Spectrum reference = ComputeSpectrum(window, rhos, omegas, 0);
  ASSERT_EQ(reference.first_fault, -1);
  const FrequencySpectra fast_reference = FrequencyDomain(head(60), rhos, f_hz, kFast);
  const TimeCurves curves = TimeResolved(head(60), rhos, grid, kExact);
  for (long double brain : {100.0L, 1000.0L, std::numeric_limits<long double>::infinity()}) {
    const FrequencySpectra exact = FrequencyDomain(head(brain), rhos, f_hz, kExact);
    const FrequencySpectra fast = FrequencyDomain(head(brain), rhos, f_hz, kFast);
    for (std::size_t r = 0; r < rhos.size(); ++r) {
      const auto curve = curves.Curve(r);
      const double peak = *std::max_element(curve.begin(), curve.end());
      std::vector<std::complex<long double>> exact_delta, fast_delta;
      for (std::size_t k = 0; k < f_hz.size(); ++k) {
        const ComplexExt& v = reference.At(k, r);
        const std::complex<double> d = fast.At(r, k) - fast_reference.At(r, k);
        exact_delta.emplace_back(exact.At(r, k).real() - v.re, exact.At(r, k).imag() - v.im);
        fast_delta.emplace_back(d.real(), d.imag());
      }
      const double exact_change = LargestSampleChange(exact_delta, grid) / peak;
      const double fast_change = LargestSampleChange(fast_delta, grid) / peak;
      std::printf("brain %-6g rho %2g: exact %.1e, fast %.1e of the peak\n", static_cast<double>(brain),
                  static_cast<double>(rhos[r]), exact_change, fast_change);
      EXPECT_LE(exact_change, 1e-12) << static_cast<double>(brain) << " " << static_cast<double>(rhos[r]);
      EXPECT_LE(fast_change, 1e-12) << static_cast<double>(brain) << " " << static_cast<double>(rhos[r]);
    }
  }
}

// The head's rules mixed: alone, the single rule (2.5 to 30 mm), two panels (35 and 40 mm),
// three at 60 mm; together, all on the 60 mm's panels, each within the rounding of both of what
// it is alone.
TEST(FastEngine, ResultsDoNotDependOnThreadsAndHardlyOnTheOtherDistances) {
  const Medium head = ModelSet()[7].medium;
  const std::vector<long double> rhos = {10, 40, 20, 60, 30, 35, 2.5};
  const TimeCurves one = TimeResolved(head, rhos, TimeGrid{}, {.threads = 1, .engine = Engine::kFast});
  const TimeCurves two = TimeResolved(head, rhos, TimeGrid{}, {.threads = 2, .engine = Engine::kFast});
  const TimeCurves five = TimeResolved(head, rhos, TimeGrid{}, {.threads = 5, .engine = Engine::kFast});
  EXPECT_EQ(one.reflectance, two.reflectance);
  EXPECT_EQ(one.reflectance, five.reflectance);
  for (std::size_t r = 0; r < rhos.size(); ++r) {
    const TimeCurves alone = TimeResolved(head, {rhos[r]}, TimeGrid{}, kFast);
    const auto a = alone.Curve(0), b = one.Curve(r);
    const double allowed = alone.rounding[0] + one.rounding[r];
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_LE(std::fabs(a[i] - b[i]), allowed) << rhos[r] << " " << i;
  }
}

// Every instruction set the library was built for, down to the portable emulation without
// fused multiply-add, gives the same curves to far below the accuracy bounds.
TEST(FastEngine, ResultsDoNotDependOnTheInstructionSet) {
  const Medium head = ModelSet()[7].medium;
  const std::vector<long double> rhos = {10, 30};
  const TimeCurves exact = TimeResolved(head, rhos, TimeGrid{}, kExact);
  const TimeCurves best = TimeResolved(head, rhos, TimeGrid{}, kFast);
  const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  ASSERT_GE(targets.size(), 2u);
  for (int64_t target : targets) {
    hwy::SetSupportedTargetsForTest(target);
    const TimeCurves forced = TimeResolved(head, rhos, TimeGrid{}, kFast);
    hwy::SetSupportedTargetsForTest(0);
    EXPECT_LE(LargestDifference(forced, best), 1e-13) << hwy::TargetName(target);
    const Worst worst = Compare(exact, forced);
    EXPECT_LE(worst.within_3, 1e-8) << hwy::TargetName(target);
    EXPECT_LE(worst.within_6, 1e-5) << hwy::TargetName(target);
  }
}

}  // namespace
}  // namespace nlayer
