#include "core/layered_solution.h"

#include <specialfunctions.h>

#include <cmath>

#include "core/complex_ext.h"
#include "core/ext_math.h"

namespace nlayer {

namespace {

constexpr long double kInverseTwoPi = 0.15915494309189533577L;

// The squared ratio of a lower layer's index to that of the layer above it: the ratio is
// formed once and multiplied by itself.
long double SquaredIndexRatio(long double lower, long double upper) {
  const long double ratio = lower / upper;
  return ratio * ratio;
}

}  // namespace

constexpr long double kSpeedOfLight = 2.99792458e11L;  // mm/s

void FrequencyContext::Resize(std::size_t layers, std::size_t distances) {
  OmegaTerm.resize(layers);
  AlphaRe.resize(layers);
  AlphaIm.resize(layers);
  Refl.resize(distances);
}

void SetFrequency(long double omega, const DerivedModel& model, FrequencyContext& context) {
  context.Omega = omega;
  context.StableRoot = omega < kWindowFirstOmega;
  for (std::size_t j = 0; j < model.DiffCoef.size(); ++j) {
    context.OmegaTerm[j] = omega / ((model.DiffCoef[j] * kSpeedOfLight) / model.RefrIndex[j]);
  }
}

SpatialPoint MakeSpatialPoint(long double s) { return {s, s * s, kInverseTwoPi * s}; }

long double BesselFactor(long double s, long double rho) {
  return alglib::besselj0(static_cast<double>(rho * s));
}

void ComputeLayerTerms(const DerivedModel& state, LayerTerms& terms) {
  const std::size_t n = state.Mua.size();
  terms.MuaOverD.resize(n);
  terms.Nu.assign(n, 0.0L);
  for (std::size_t k = 0; k < n; ++k) terms.MuaOverD[k] = state.Mua[k] / state.DiffCoef[k];
  for (std::size_t k = 1; k < n; ++k) terms.Nu[k] = SquaredIndexRatio(state.RefrIndex[k], state.RefrIndex[k - 1]);
  // Formed once per run rather than at each of the rule's points; doubling is exact, so the
  // lengths are the very numbers the points would form.
  terms.DecayLength.assign(n, 0.0L);
  for (std::size_t k = 0; k < n; ++k) terms.DecayLength[k] = 2.0L * state.Thickness[k];
  if (n >= 2) {
    terms.DecayLength[0] = 2.0L * state.Thickness[0] - state.Z0;
    terms.DecayLength[n - 1] = 2.0L * (state.Thickness[n - 1] + state.ZbBottom);
  }
}

namespace {

// Beyond this exponent e^-x is 0 in the extended range (ExpExt(-11400) = 0), so the factor is
// not formed: that keeps the phase of an infinite layer, infinity times an imaginary part that
// may be 0, out of the arithmetic.
constexpr long double kVanishingExponent = 11400.0L;

// exp(-alpha x) for the decay constant alpha = re + i im and a length x (mm, possibly infinite).
inline void DecayFactor(long double re, long double im, long double x, long double& out_re, long double& out_im) {
  const long double exponent = re * x;
  if (exponent > kVanishingExponent) {
    out_re = 0.0L;
    out_im = 0.0L;
    return;
  }
  CExp(-exponent, -(im * x), out_re, out_im);
}

// Each step of the recursion multiplies the pair (beta, gamma) by about |a_k D_k| + |nu a_(k+1)
// D_(k+1)|, some 20 at the rule's upper end; over thousands of layers that alone would leave the
// extended range. Only the pair's ratio matters, so where it strays far from 1 it is brought back
// by a power of two, which is exact.
inline void KeepInRange(long double& br, long double& bi, long double& gr, long double& gi) {
  const long double size = std::fabs(br) + std::fabs(bi) + std::fabs(gr) + std::fabs(gi);
  if (!(size > 0x1p-4096L && size < 0x1p4096L) && size > 0 && std::isfinite(size)) {
    const int e = std::ilogb(size);
    br = std::scalbn(br, -e);
    bi = std::scalbn(bi, -e);
    gr = std::scalbn(gr, -e);
    gi = std::scalbn(gi, -e);
  }
}

// The library's form (SolutionForm::kScaled). With E(x) = exp(-alpha_1 x) of the top layer and
// the recursion's pair scaled by 2 e^(-w) at each layer (w its argument), 2 e^(-w) cosh w = 1 + e^(-2w)
// and 2 e^(-w) sinh w = 1 - e^(-2w), so that
//   beta' = (t + s) + (t - s) e^(-2w),  gamma' = (t + s) - (t - s) e^(-2w)
// for t = a_k D_k beta, s = nu_(k+1) a_(k+1) D_(k+1) gamma, starting from (1 - e^(-2u), 1 + e^(-2u))
// at the bottom, and the top layer's correction (B - C) / Q sinh(a (z0 + zb)) cosh(a zb) e^(-T)
// becomes
//   rho' (1 + E(2 zb)) E(2 l - z0) (1 - E(z0)^2 E(2 zb)) / 2,  rho' = (B - C) / ((B + C) + (B - C) q)
// with q = E(2 l + 2 zb). Nothing grows beyond E(-z0) (when the top layer is thinner than z0 / 2),
// every other exponential decays, and the quotient is formed without squaring its divisor.
ComplexExt ScaledKernelTimesSolution(const DerivedModel& m, const SpatialPoint& point, const LayerTerms& layers,
                                     FrequencyContext& context) {
  const int n = m.LayerCount();
  long double* const ar = context.AlphaRe.data();
  long double* const ai = context.AlphaIm.data();
  const long double* const D = m.DiffCoef.data();
  const long double* const nu = layers.Nu.data();

  for (int k = 0; k < n; ++k) CSqrtStable(point.s2 + layers.MuaOverD[k], context.OmegaTerm[k], ar[k], ai[k]);

  // The half-space term (E(z0) + E(z0 + 2 zb)) / 2: the source and its image. Below a stack
  // the correction needs E(2 zb) itself, and the image's term is formed from it.
  long double ezr, ezi, eir, eii;
  CExp(-ar[0] * m.Z0, -ai[0] * m.Z0, ezr, ezi);
  if (n == 1) {
    const long double image_depth = 2.0L * m.ZbTop + m.Z0;
    CExp(image_depth * -ar[0], image_depth * -ai[0], eir, eii);
    return {point.kernel * ((ezr + eir) / 2.0L), point.kernel * ((ezi + eii) / 2.0L)};
  }
  long double ebr, ebi;
  const long double twice_zb = 2.0L * m.ZbTop;
  CExp(twice_zb * -ar[0], twice_zb * -ai[0], ebr, ebi);
  CMul(ezr, ezi, ebr, ebi, eir, eii);
  long double hr = (ezr + eir) / 2.0L;
  long double hi = (ezi + eii) / 2.0L;

  // The recursion from the bottom up to the second layer.
  const int bottom = n - 1;
  long double er, ei;
  DecayFactor(ar[bottom], ai[bottom], layers.DecayLength[bottom], er, ei);
  long double beta_r = 1.0L - er, beta_i = -ei;
  long double gamma_r = 1.0L + er, gamma_i = ei;
  for (int k = n - 2; k >= 1; --k) {
    long double tr, ti, sr, si, dr, di;
    CMul(ar[k] * D[k], ai[k] * D[k], beta_r, beta_i, tr, ti);
    CMul(nu[k + 1] * (ar[k + 1] * D[k + 1]), nu[k + 1] * (ai[k + 1] * D[k + 1]), gamma_r, gamma_i, sr, si);
    DecayFactor(ar[k], ai[k], layers.DecayLength[k], er, ei);
    CMul(tr - sr, ti - si, er, ei, dr, di);
    const long double pr = tr + sr, pi = ti + si;
    beta_r = pr + dr;
    beta_i = pi + di;
    gamma_r = pr - dr;
    gamma_i = pi - di;
    KeepInRange(beta_r, beta_i, gamma_r, gamma_i);
  }
  long double br, bi, cr, ci;
  CMul(ar[0] * D[0], ai[0] * D[0], beta_r, beta_i, br, bi);
  CMul(nu[1] * (ar[1] * D[1]), nu[1] * (ai[1] * D[1]), gamma_r, gamma_i, cr, ci);

  // The top layer's reflection rho' with q = E(2 l - z0) E(z0 + 2 zb).
  long double etr, eti, qr, qi;
  DecayFactor(ar[0], ai[0], layers.DecayLength[0], etr, eti);
  CMul(etr, eti, eir, eii, qr, qi);
  const long double mr = br - cr, mi = bi - ci;
  long double dr, di, rr, ri;
  CMul(mr, mi, qr, qi, dr, di);
  CDivScaled(mr, mi, (br + cr) + dr, (bi + ci) + di, rr, ri);
  // rho' (1 + E(2 zb)) E(2 l - z0) (1 - E(z0) E(z0 + 2 zb)) / 2.
  long double wr, wi, fr, fi;
  CMul(ezr, ezi, eir, eii, wr, wi);
  CMul(1.0L + ebr, ebi, etr, eti, fr, fi);
  CMul(fr, fi, 1.0L - wr, -wi, fr, fi);
  CMul(fr, fi, rr, ri, fr, fi);
  hr = hr + fr / 2.0L;
  hi = hi + fi / 2.0L;

  return {point.kernel * hr, point.kernel * hi};
}

}  // namespace

ComplexExt KernelTimesSolution(const DerivedModel& m, const SpatialPoint& point,
                               const LayerTerms& layers, FrequencyContext& context) {
  if (m.Form == SolutionForm::kScaled) return ScaledKernelTimesSolution(m, point, layers, context);
  const int n = m.LayerCount();
  long double* const ar = context.AlphaRe.data();
  long double* const ai = context.AlphaIm.data();
  const long double* const D = m.DiffCoef.data();
  const long double* const l = m.Thickness.data();
  const long double* const nu = layers.Nu.data();

  // Decay constants alpha_k = sqrt(s^2 + mua/D + i omega'), real part >= s.
  if (context.StableRoot) {
    for (int k = 0; k < n; ++k) CSqrtStable(point.s2 + layers.MuaOverD[k], context.OmegaTerm[k], ar[k], ai[k]);
  } else {
    for (int k = 0; k < n; ++k) CSqrt(point.s2 + layers.MuaOverD[k], context.OmegaTerm[k], ar[k], ai[k]);
  }

  // Half-space term of the top layer: the source and its image above the extrapolated
  // boundary, the two exponentials added.
  long double e1r, e1i, e2r, e2i;
  CExp(-ar[0] * m.Z0, -ai[0] * m.Z0, e1r, e1i);
  const long double image_depth = 2.0L * m.ZbTop + m.Z0;
  CExp(image_depth * -ar[0], image_depth * -ai[0], e2r, e2i);
  long double hr = (e1r + e2r) / 2.0L;
  long double hi = (e1i + e2i) / 2.0L;

  if (n >= 2) {
    long double br, bi, cr, ci;  // B and C: the layers below the first, folded into two numbers
    if (n == 2) {
      const long double depth = l[1] + m.ZbBottom;
      const CHypTrig u = CHypTrigOf(depth * ar[1], depth * ai[1]);
      long double shr, shi, chr, chi;
      CSinhFrom(u, shr, shi);
      CCoshFrom(u, chr, chi);
      CMul(ar[0] * D[0], ai[0] * D[0], shr, shi, br, bi);
      CMul(nu[1] * (ar[1] * D[1]), nu[1] * (ai[1] * D[1]), chr, chi, cr, ci);
    } else {
      // First step up from the bottom through the sum-and-difference products, which share
      // the functions of u + v and u - v.
      const int bottom = n - 1;
      const int above = n - 2;
      const long double depth = l[bottom] + m.ZbBottom;
      const long double ur = depth * ar[bottom], ui = depth * ai[bottom];
      const long double vr = ar[above] * l[above], vi = ai[above] * l[above];
      const long double pr = ar[above] * D[above], pi = ai[above] * D[above];
      const long double qr = nu[bottom] * (ar[bottom] * D[bottom]);
      const long double qi = nu[bottom] * (ai[bottom] * D[bottom]);
      const CHypTrig sum = CHypTrigOf(ur + vr, ui + vi);
      const CHypTrig difference = CHypTrigOf(ur - vr, ui - vi);
      long double beta_r, beta_i, gamma_r, gamma_i;
      CSinhCoshProdFrom(pr, pi, sum, difference, qr, qi, beta_r, beta_i);
      CCoshCoshProdFrom(qr, qi, sum, difference, pr, pi, gamma_r, gamma_i);
      // Then layer by layer up to the second one.
      for (int k = n - 3; k >= 1; --k) {
        const CHypTrig w = CHypTrigOf(ar[k] * l[k], ai[k] * l[k]);
        long double tr, ti, sr, si;
        CMul(ar[k] * D[k], ai[k] * D[k], beta_r, beta_i, tr, ti);
        CMul(nu[k + 1] * (ar[k + 1] * D[k + 1]), nu[k + 1] * (ai[k + 1] * D[k + 1]), gamma_r, gamma_i, sr, si);
        CCoshSinhCombFrom(tr, ti, w, sr, si, beta_r, beta_i);
        CCoshSinhCombFrom(sr, si, w, tr, ti, gamma_r, gamma_i);
      }
      CMul(ar[0] * D[0], ai[0] * D[0], beta_r, beta_i, br, bi);
      CMul(nu[1] * (ar[1] * D[1]), nu[1] * (ai[1] * D[1]), gamma_r, gamma_i, cr, ci);
    }

    // Correction of the top layer by what lies below it.
    const long double top = l[0] + m.ZbTop;
    const CHypTrig top_arg = CHypTrigOf(top * ar[0], top * ai[0]);
    long double qr, qi, kr, ki, sr, si, t1r, t1i, t2r, t2i;
    CCoshSinhCombFrom(br, bi, top_arg, cr, ci, qr, qi);
    CDiv(br - cr, bi - ci, qr, qi, kr, ki);
    const long double source = m.Z0 + m.ZbTop;
    CSinhFrom(CHypTrigOf(source * ar[0], source * ai[0]), t1r, t1i);
    CCoshFrom(CHypTrigOf(ar[0] * m.ZbTop, ai[0] * m.ZbTop), t2r, t2i);
    CMul(t1r, t1i, t2r, t2i, sr, si);
    // exp(-alpha_1 (l_1 + zb)): the sine and cosine of its imaginary part are those of Q's
    // argument, with the sine's sign turned.
    const long double decay = ExpExt(-ar[0] * top);
    CMul(sr, si, decay * top_arg.cs, decay * -top_arg.sn, sr, si);
    long double fr, fi;
    CMul(kr, ki, sr, si, fr, fi);
    hr = hr + fr;
    hi = hi + fi;
  }

  return {point.kernel * hr, point.kernel * hi};
}

ComplexExt ReflectanceIntegrand(const DerivedModel& model, long double s, long double rho,
                                FrequencyContext& context) {
  LayerTerms layers;
  ComputeLayerTerms(model, layers);
  return ApplyBesselFactor(BesselFactor(s, rho), KernelTimesSolution(model, MakeSpatialPoint(s), layers, context));
}

}  // namespace nlayer
