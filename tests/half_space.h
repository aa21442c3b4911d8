// The half-space's frequency-domain reflectance in closed form, the oracle of the tests and of
// the accuracy fuzzer: the Hankel transform of exp(-alpha z) / 2 for the source and its image,
// alpha = sqrt(s^2 + k^2), is
//   R~ = [z0 (1 + k r1) e^(-k r1) / r1^3 + z2 (1 + k r2) e^(-k r2) / r2^3] / (4 pi),
// r = sqrt(rho^2 + z^2), z2 = z0 + 2 zb, k^2 = (mua + i omega n / c) / D, in mm^-2.
#pragma once

#include <cmath>
#include <complex>
#include <numbers>

#include "core/derived_model.h"
#include "nlayer/medium.h"

namespace nlayer::testing {

inline std::complex<double> HalfSpaceClosedForm(const Layer& layer, double rho_mm, double f_hz) {
  using C = std::complex<double>;
  const double D = 1.0 / (3.0 * static_cast<double>(layer.musp));
  const double reff = static_cast<double>(BoundaryReflection(layer.n));
  const double zb = 2.0 * ((1.0 + reff) / (1.0 - reff)) * D;
  const double z0 = 1.0 / static_cast<double>(layer.mua + layer.musp);
  const double c = 2.99792458e11;  // mm/s
  const C k = std::sqrt(C(static_cast<double>(layer.mua), 2.0 * std::numbers::pi * f_hz * static_cast<double>(layer.n) / c) / D);
  auto source = [&](double z) {
    const double r = std::hypot(rho_mm, z);
    return z * (1.0 + k * r) * std::exp(-k * r) / (r * r * r);
  };
  return (source(z0) + source(z0 + 2.0 * zb)) / (4.0 * std::numbers::pi);
}

// The same half-space in the time domain, the transform of the above (each source term is
// -d/dz of the fluence's Green's function): R(rho, t) = (4 pi D v)^(-3/2) t^(-5/2)
// e^(-mua v t) [z0 e^(-r1^2 / (4 D v t)) + z2 e^(-r2^2 / (4 D v t))] / 2, v = c / n, in
// mm^-2 ps^-1 for t in ps.
inline double HalfSpaceTimeClosedForm(const Layer& layer, double rho_mm, double t_ps) {
  const double D = 1.0 / (3.0 * static_cast<double>(layer.musp));
  const double reff = static_cast<double>(BoundaryReflection(layer.n));
  const double zb = 2.0 * ((1.0 + reff) / (1.0 - reff)) * D;
  const double z0 = 1.0 / static_cast<double>(layer.mua + layer.musp);
  const double v = 2.99792458e-1 / static_cast<double>(layer.n);  // mm/ps
  const double spread = 4.0 * D * v * t_ps;
  auto source = [&](double z) { return z * std::exp(-(rho_mm * rho_mm + z * z) / spread); };
  return std::pow(std::numbers::pi * spread, -1.5) / t_ps * std::exp(-static_cast<double>(layer.mua) * v * t_ps) *
         (source(z0) + source(z0 + 2.0 * zb)) / 2.0;
}

}  // namespace nlayer::testing
