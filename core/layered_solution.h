// The N-layered medium in the spatial-frequency domain (diffusion approximation), already
// multiplied by the kernel s J0(s rho) / (2 pi) of the inverse Hankel transform of order zero.
#pragma once

#include <vector>

#include "core/derived_model.h"

namespace nlayer {

// A complex extended value, real part first.
struct ComplexExt {
  long double re = 0;
  long double im = 0;
};

// The working values of one modulation frequency. The frequency loop owns one per worker, so
// frequencies can run side by side while the model is only read; nothing here is shared.
struct FrequencyContext {
  long double Omega = 0;               // angular modulation frequency, rad/s
  // Whether the decay constants take CSqrtStable instead of the window's CSqrt (SetFrequency).
  bool StableRoot = false;
  std::vector<long double> OmegaTerm;  // omega n / (c D) per layer, 1/mm^2
  long double ReflRe = 0;              // the transform's result at the first distance
  long double ReflIm = 0;
  std::vector<ComplexExt> Refl;        // the transform's result at every distance
  // Scratch of one evaluation, sized once per run so that no evaluation allocates.
  std::vector<long double> AlphaRe;
  std::vector<long double> AlphaIm;

  // Sizes the per-layer arrays for `layers` layers and the results for `distances` distances.
  void Resize(std::size_t layers, std::size_t distances = 1);
};

// The window's curves evaluate frequency 0 and multiples of this one (1e8/1.024 Hz), rad/s.
inline constexpr long double kWindowFirstOmega = 6.283185307179586477L * (1e8L / 1.024L);

// Omega and the per-layer frequency terms omega n / (c D) of `model` at angular frequency
// `omega` (rad/s), into `context`. Faults show up only in the flags.
//
// The window's root loses the decay constants' imaginary parts to cancellation where the
// modulation term is small next to s^2, and the transform's cancellation at long distances
// turned that into frequency-domain values wrong by percents of the continuous-wave value
// (rho mus' 215, 1 kHz), and by up to 1.3e-6 of it at 100 MHz (rho mus' 90), reported within
// their rounding. The library's form takes CSqrtStable at every frequency. The window's form
// (SolutionForm::kWindow) takes it below kWindowFirstOmega (StableRoot), where the window's
// curves have frequency 0 alone, and the window's root from there on, which keeps those curves
// as they always were, to the last digit.
void SetFrequency(long double omega, const DerivedModel& model, FrequencyContext& context);

// What the integrand needs of a spatial frequency s that does not depend on the modulation
// frequency: computed once per run for each of the 960 points of the transform.
// The Bessel factor J0(rho s) depends on the distance as well and is kept apart, so that the
// solution at a point serves every distance.
struct SpatialPoint {
  long double s = 0;       // 1/mm
  long double s2 = 0;      // s * s
  long double kernel = 0;  // s / (2 pi)
};

SpatialPoint MakeSpatialPoint(long double s);

// J0 of rho * s, with the product rounded to a double (ALGLIB's besselj0).
long double BesselFactor(long double s, long double rho);

// What the integrand needs of the layers that does not depend on the modulation frequency.
struct LayerTerms {
  std::vector<long double> MuaOverD;  // mua / D per layer, 1/mm^2
  std::vector<long double> Nu;        // Nu[k] = (n_k / n_(k-1))^2 for k >= 1; Nu[0] unused
  // The lengths of the scaled form's decaying exponentials, mm: 2 l_0 - z0 for the top layer,
  // 2 l_k between, 2 (l_(N-1) + zb) for the bottom (of a stack of two or more layers).
  std::vector<long double> DecayLength;
};

void ComputeLayerTerms(const DerivedModel& model, LayerTerms& terms);

// The layered solution at one point times the kernel s / (2 pi), without the Bessel factor,
// for `model` (at least one layer), the layer terms computed from it, and the frequency terms
// in `context.OmegaTerm`, in the model's form (model.Form). Tests nothing: a division by zero,
// an overflow beyond the extended range or an invalid operation shows up only in the
// floating-point flags, which the caller checks. In the window's form a stack thicker than some
// thousands of decay lengths overflows; the library's form scales the hyperbolic functions by
// their growth and computes any thickness, an infinite bottom layer included.
ComplexExt KernelTimesSolution(const DerivedModel& model, const SpatialPoint& point,
                               const LayerTerms& layers, FrequencyContext& context);

// The integrand of the transform: the Bessel factor `j0` times the value above.
inline ComplexExt ApplyBesselFactor(long double j0, const ComplexExt& value) {
  return {j0 * value.re, j0 * value.im};
}

// The integrand at spatial frequency s (1/mm, > 0) for detector distance rho (mm), with the
// frequency-independent terms computed on the spot.
ComplexExt ReflectanceIntegrand(const DerivedModel& model, long double s, long double rho,
                                FrequencyContext& context);

}  // namespace nlayer
