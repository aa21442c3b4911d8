#include "core/layered_solution.h"

#include <specialfunctions.h>

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
}

ComplexExt KernelTimesSolution(const DerivedModel& m, const SpatialPoint& point,
                               const LayerTerms& layers, FrequencyContext& context) {
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
