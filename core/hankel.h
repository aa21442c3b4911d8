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
// evaluated: node pairs from the middle of the interval outwards, c + d x before c - d x.
struct HankelRule {
  long double c = 0;  // mid-point
  long double d = 0;  // half-width
  std::array<long double, 960> s{};
};

HankelRule MapHankelRule(long double lower, long double upper);

// The weighted sum over the rule's points of `value_at(p)` (a ComplexExt for point number p),
// each weighted value rounded to extended before it is added, the half-width applied once at
// the end. The order of the sum is part of the result.
template <class ValueAt>
ComplexExt SumHankelRule(const HankelRule& rule, ValueAt&& value_at) {
  long double re = 0.0L;
  long double im = 0.0L;
  for (int i = 0; i < 480; ++i) {
    const long double w = Weight960[i];
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

// What a run's transforms share across its frequencies: the rule on [0, 30 mus'(top)],
// everything the integrand needs of its points and layers that does not depend on the
// frequency, and the Bessel factors of every distance at every point.
struct RunTables {
  HankelRule rule;
  std::array<SpatialPoint, 960> points{};
  LayerTerms layers;
  std::vector<long double> j0;  // J0(rho s) of distance r at point p in j0[r * 960 + p]
  std::size_t distances = 0;
};

// Fills `tables` from `model` for the detector distances `rhos`. The arithmetic is that of the
// evaluations themselves, so a fault it raises is the one the first evaluation would raise.
void BuildRunTables(const DerivedModel& model, std::span<const long double> rhos, RunTables& tables);

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
