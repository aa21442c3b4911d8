// The inverse Hankel transform of order zero at the detector distance: the frequency-domain
// reflectance R(rho, omega) = integral over s from 0 to 30 mus'(top) of the layered solution.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "core/gauss_weight.h"
#include "core/layered_solution.h"

namespace nlayer {

// The 960 points of the Gauss-Legendre rule mapped onto [lower, upper], in the order they are
// evaluated: node pairs from the middle of the interval outwards, c + d x before c - d x, and
// the weight of each pair.
struct HankelRule {
  long double c = 0;  // mid-point
  long double d = 0;  // half-width
  std::array<long double, 960> s{};
  std::array<long double, 480> w{};
};

// With `extended`, the nodes and weights of Abscissa960Ext/Weight960Ext, else those of the
// 15-digit tables.
HankelRule MapHankelRule(long double lower, long double upper, bool extended = false);

// The weighted sum over the rule's points of `value_at(p)` (a ComplexExt for point number p),
// each weighted value rounded to extended before it is added, the half-width applied once at
// the end. The order of the sum is part of the result.
template <class ValueAt>
ComplexExt SumHankelRule(const HankelRule& rule, ValueAt&& value_at) {
  long double re = 0.0L;
  long double im = 0.0L;
  for (int i = 0; i < 480; ++i) {
    const long double w = rule.w[i];
    const ComplexExt right = value_at(2 * i);
    re = re + right.re * w;
    im = im + right.im * w;
    const ComplexExt left = value_at(2 * i + 1);
    re = re + left.re * w;
    im = im + left.im * w;
  }
  return {rule.d * re, rule.d * im};
}

// The 960-point Gauss-Legendre approximation of the integral of the complex `integrand`
// (callable as ComplexExt(long double s)) over [lower, upper]. The end points are never
// evaluated.
template <class Integrand>
ComplexExt IntegrateHankel(long double lower, long double upper, Integrand&& integrand) {
  const HankelRule rule = MapHankelRule(lower, upper);
  return SumHankelRule(rule, [&](int p) { return integrand(rule.s[p]); });
}

// How the transform at a distance is integrated.
//
// One 960-point rule over [0, 30 mus'(top)], the window's rule, resolves J0(rho s) while
// rho mus' stays below about 100: some 4.8 rho mus' of its periods fall in the interval. Its
// nodes and weights are rounded to 15 digits, though, and at rho s of some thousands a node
// 1e-16 off moves a term's phase by 1e-13; the transform's terms cancel to a result kappa times
// smaller than their magnitudes, which turns that into errors of about 3e-15 kappa of the
// result. So the single rule serves where rho mus' <= kSingleRuleLimit and kappa <=
// kSingleRuleKappa (time-resolved values within 1e-6 where they are at least 1e-3 of the peak).
// Elsewhere the interval is extended to 40 mus', where the integrand's slowest decay,
// e^(-s z0), has fallen below 1e-17 of its start, and cut into panels of one rule each, no
// panel holding more than kPeriodsPerPanel periods of J0, with nodes and weights to the
// extended real's precision and J0 of the extended product rho s (glibc's j0l).
inline constexpr long double kSingleRuleLimit = 60.0L;
inline constexpr long double kSingleRuleKappa = 5e5L;
inline constexpr long double kPeriodsPerPanel = 300.0L;
// Beyond this rho mus'(top) the transform is refused: 43 panels, where even a medium without
// absorption has its result some 1e-12 of the terms.
inline constexpr long double kLongestRhoMusp = 2000.0L;

struct HankelPlan {
  long double upper = 0;  // 1/mm
  int panels = 1;
  // The rule to the extended real's precision and J0 of the extended product rho s.
  bool extended = false;
  // On the extended rule, J0 by the window's BesselFactor all the same: a distance the single
  // rule serves, on the panels of a longer companion. Its terms keep the single rule's error,
  // and its Bessel factors cost a tenth of the extended ones.
  bool window_bessel = false;

  bool operator==(const HankelPlan&) const = default;
  // Whether the plan forms J0 (and J1) of the extended product.
  bool ExtendedBessel() const { return extended && !window_bessel; }
};

// Whether two plans have the same points, so that the layered solution at them is shared.
bool SameNodes(const HankelPlan& a, const HankelPlan& b);

// The single rule for a top layer of `musp` (1/mm).
HankelPlan SingleRule(long double musp);
// The extended panels for a distance `rho` (mm) and a top layer of `musp`.
HankelPlan PanelRule(long double rho, long double musp);

// The rule of a distance and what its rounding leaves in the values.
struct TransformPlan {
  HankelPlan plan;
  long double cw = 0;         // R~(rho, 0) by the plan's rule, mm^-2
  long double magnitude = 0;  // the sum of the magnitudes of its terms, mm^-2
  // An estimate of what the rule leaves out beyond its upper limit U, mm^-2: the integrand
  // there, |s J0(rho s) R(s)| / (2 pi) with J0 by its envelope, decays like e^(-(s - U) z0) and
  // oscillates with period 2 pi / rho, so the tail is about its value at U over max(rho, z0)
  // (twice that is taken). Small next to the rounding unless the top layer's mua is a good part
  // of its mus' (the decay then ends before 30 mus').
  long double truncation = 0;
  bool measured = false;      // false where the evaluation at frequency 0 faulted

  // The estimated absolute error of R~(rho, f) at any frequency, mm^-2: each term carries a
  // relative error of about 3e-15 (single rule) or 1e-18 (extended panels), the terms'
  // magnitudes hardly change with the frequency (within 10 % up to 50 GHz), and the truncation
  // adds its bound.
  long double ValueError() const;
  // The rounding part alone, mm^-2. What the truncation leaves out hardly depends on the
  // frequency (the integrand beyond U is that of s >> |k|), and a frequency-independent error
  // transforms to t = 0, which no curve sample holds: curves carry the rounding only.
  long double RoundingError() const;
};

// Chooses the rule for `rho` (mm, at most kLongestRhoMusp / mus'(top)) in `model`, from
// rho mus'(top) and the cancellation kappa = magnitude / |cw| at frequency 0. Reentrant; its
// floating-point flags are its own (cleared and read inside).
TransformPlan PlanTransform(const DerivedModel& model, long double rho);

// The plans of `rhos` together. Where the single rule serves them all, each is its
// PlanTransform, the same bits. Where one of them needs the extended panels, all take the panels
// of the longest: the layered solution is then evaluated on one set of points, where a single
// rule beside the panels would add half again to a long distance's work. A distance the single
// rule would serve keeps the window's Bessel factor there (window_bessel), and its values differ
// from those it has alone by less than the rounding of either. A distance's plan takes its terms
// in its own order and its faults from its own evaluations.
std::vector<TransformPlan> PlanTransforms(const DerivedModel& model, std::span<const long double> rhos);

// Panel `panel` (from 0) of `plan`'s rule.
HankelRule PanelOf(const HankelPlan& plan, int panel);

// The Bessel factor of `plan`'s rule at `rho` and a point `s` of it: J0 of the extended product
// on the extended panels, else the window's BesselFactor.
long double RuleBesselFactor(const HankelPlan& plan, long double rho, long double s);

// J0 of the extended x (glibc's j0l).
long double ExtendedBesselJ0(long double x);

// What a run's transforms share across its frequencies on one panel of the rule (the whole
// rule on [0, 30 mus'(top)] in the usual case), everything the integrand needs of its points
// and layers that does not depend on the frequency, and the Bessel factors of every distance
// at every point.
struct RunTables {
  HankelRule rule;
  std::array<SpatialPoint, 960> points{};
  LayerTerms layers;
  std::vector<long double> j0;  // J0(rho s) of distance r at point p in j0[r * 960 + p]
  std::size_t distances = 0;
};

// Fills `tables` from `model` for the detector distances `rhos`, on the single rule over
// [0, 30 mus'(top)]. The arithmetic is that of the evaluations themselves, so a fault it raises
// is the one the first evaluation would raise.
void BuildRunTables(const DerivedModel& model, std::span<const long double> rhos, RunTables& tables);

// The same for panel `panel` (from 0) of `plan`.
void BuildRunTables(const DerivedModel& model, std::span<const long double> rhos, const HankelPlan& plan, int panel,
                    RunTables& tables);

// The same with each distance's own plan, `plans[r]` for `rhos[r]`, all of the same nodes: each
// distance's Bessel factors are those of its plan.
void BuildRunTables(const DerivedModel& model, std::span<const long double> rhos, std::span<const HankelPlan> plans,
                    int panel, RunTables& tables);

// Sets context.Refl[r] to the reflectance at the tables' distance r for the frequency terms in
// `context` (context.ReflRe and ReflIm to that of the first distance), integrating up to 30
// times the top layer's mus' with no test of convergence. The layered solution at each point
// is computed once and weighted for every distance; each distance's sum is formed in the same
// order as if it were alone, so its result does not depend on the others. Faults show up only
// in the floating-point flags, as in the integrand.
void RadialReflectance(const DerivedModel& model, const RunTables& tables, FrequencyContext& context);

// The same for one call at one distance: builds the tables for `rho` first.
void RadialReflectance(const DerivedModel& model, long double rho, FrequencyContext& context);

}  // namespace nlayer
