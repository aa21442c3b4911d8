// The inverse Hankel transform of order zero at the detector distance: the frequency-domain
// reflectance R(rho, omega) = integral over s from 0 to 30 mus'(top) of the layered solution.
#pragma once

#include "kernels/gauss_weight.h"
#include "model/layered_solution.h"

namespace nlayer {

// The 960-point Gauss-Legendre approximation of the integral of the complex `integrand`
// (callable as ComplexExt(long double s)) over [lower, upper]. The order of evaluation is part
// of the result: node pairs from the middle of the interval outwards, c + d x before c - d x,
// each weighted value rounded to extended before it is added, the half-width d applied once
// at the end. The end points are never evaluated.
template <class Integrand>
ComplexExt IntegrateHankel(long double lower, long double upper, Integrand&& integrand) {
  const long double c = (upper + lower) * 0.5L;
  const long double d = (upper - lower) * 0.5L;
  long double re = 0.0L;
  long double im = 0.0L;
  for (int i = 0; i < 480; ++i) {
    const long double w = Weight960[i];
    const long double t = d * static_cast<long double>(Abscissa960[i]);
    const ComplexExt right = integrand(c + t);
    re = re + right.re * w;
    im = im + right.im * w;
    const ComplexExt left = integrand(c - t);
    re = re + left.re * w;
    im = im + left.im * w;
  }
  return {d * re, d * im};
}

// Sets context.ReflRe and context.ReflIm to the reflectance at `rho` (mm) for the frequency
// terms in `context`, integrating up to 30 times the top layer's mus' (State.Musp[0]) with no
// test of convergence. Faults show up only in the floating-point flags, as in the integrand.
void RadialReflectance(long double rho, FrequencyContext& context);

}  // namespace nlayer
