// Effective reflection coefficient of a refractive-index-mismatched boundary of a diffusive
// medium.
//
// EffectiveReflection(n) takes the relative refractive index n = (index of the medium) /
// (index of the outside), n > 0, and returns Reff in [0, 1): the fraction of the diffuse light
// arriving at the boundary from inside that the boundary returns, from Fresnel's equations for
// unpolarised light averaged over the hemisphere with the fluence weight 2 sinθ cosθ (RPhi) and
// the current weight 3 sinθ cos²θ (RJ), Reff = (RPhi + RJ) / (2 - RPhi + RJ) (Haskell et al.,
// J. Opt. Soc. Am. A 11, 2727, 1994). The boundary factor of the diffusion model is
// A = (1 + Reff) / (1 - Reff).
//
// The averages are those of a fixed 480-point Gauss-Legendre rule over [0, θc], not the exact
// integrals: near the critical angle the integrands behave like a square root, so the result
// differs from the exact value from the ninth significant digit on (n = 1.4: 0.49347758209353
// against 0.4934775882). The model's results are defined by this rule.
//
// Pure and thread-safe. The argument is not checked; for every positive n the computation
// raises no floating-point fault. n = 1 gives 0 up to rounding far below 1e-20.
#pragma once

namespace nlayer {

long double EffectiveReflection(long double n);

}  // namespace nlayer
