#include "core/fresnel.h"

#include <cmath>

#include "core/fresnel_internal.h"

namespace nlayer {
namespace fresnel_internal {
namespace {

// The extended real nearest π/2 (1.57079632679489661926, 2.5e-20 above π/2), which is also
// what asinl(1) returns, so n = 1 gives the same θc through either branch. Spelled in hex: the
// 20-digit decimal 1.5707963267948966192 rounds to the neighbour one unit below.
// Below the refractive index 1 there is no total internal reflection and the integrals run over
// the whole quarter circle.
constexpr long double kHalfPi = 0xc.90fdaa22168c235p-3L;

// Unpolarised Fresnel reflectance for the angle of incidence θ inside the medium, 0 < θ < θc.
// Every quadrature point lies strictly inside (0, θc), so n sinθ < 1 and cos φ > 0: the arcsine
// and both denominators are always defined.
long double FresnelReflectance(long double n, long double theta) {
  const long double phi = asinl(n * sinl(theta));  // Snell's law, outside index 1
  const long double cos_theta = cosl(theta);
  const long double cos_phi = cosl(phi);
  const long double r_p = (n * cos_phi - cos_theta) / (n * cos_phi + cos_theta);
  const long double r_s = (n * cos_theta - cos_phi) / (n * cos_theta + cos_phi);
  return r_p * r_p / 2.0L + r_s * r_s / 2.0L;
}

long double PhiIntegrand(long double n, long double theta) {
  return FresnelReflectance(n, theta) * (2.0L * sinl(theta) * cosl(theta));
}

long double JIntegrand(long double n, long double theta) {
  const long double cos_theta = cosl(theta);
  return FresnelReflectance(n, theta) * (3.0L * sinl(theta) * (cos_theta * cos_theta));
}

}  // namespace

BoundaryAverages ComputeBoundaryAverages(long double n) {
  BoundaryAverages averages;
  averages.critical_angle = n >= 1.0L ? asinl(1.0L / n) : kHalfPi;
  const long double theta_c = averages.critical_angle;

  // Beyond θc the reflectance is 1: the fluence weight integrates to 1 - sin²θc there and the
  // current weight to cos³θc. The grouping of these additions is kept as written: it decides
  // the last bits of the averages.
  const long double sin_c = sinl(theta_c);
  averages.r_phi =
      GaussLegendre480([n](long double t) { return PhiIntegrand(n, t); }, 0.0L, theta_c);
  averages.r_phi = (averages.r_phi + 1.0L) - sin_c * sin_c;

  const long double cos_c = cosl(theta_c);
  averages.r_j = GaussLegendre480([n](long double t) { return JIntegrand(n, t); }, 0.0L, theta_c);
  averages.r_j = cos_c * (cos_c * cos_c) + averages.r_j;
  return averages;
}

}  // namespace fresnel_internal

long double EffectiveReflection(long double n) {
  const fresnel_internal::BoundaryAverages a = fresnel_internal::ComputeBoundaryAverages(n);
  return (a.r_phi + a.r_j) / (2.0L - a.r_phi + a.r_j);
}

}  // namespace nlayer
