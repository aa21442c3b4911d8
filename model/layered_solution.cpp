#include "model/layered_solution.h"

#include <specialfunctions.h>

#include "kernels/cmp.h"
#include "model/model_state.h"

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

void FrequencyContext::Resize(std::size_t layers) {
  OmegaTerm.resize(layers);
  AlphaRe.resize(layers);
  AlphaIm.resize(layers);
}

ComplexExt ReflectanceIntegrand(long double s, long double rho, FrequencyContext& context) {
  const ModelState& m = State;
  const int n = m.LayerCount;
  long double* const ar = context.AlphaRe.data();
  long double* const ai = context.AlphaIm.data();
  const auto& D = m.DiffCoef;
  const auto& l = m.Thickness;
  const auto& idx = m.RefrIndex;

  // Decay constants alpha_k = sqrt(s^2 + mua/D + i omega'), real part >= s.
  for (int k = 0; k < n; ++k) {
    CSqrt(s * s + m.Mua[k] / D[k], context.OmegaTerm[k], ar[k], ai[k]);
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
    const long double nu2 = SquaredIndexRatio(idx[1], idx[0]);
    if (n == 2) {
      const long double depth = l[1] + m.ZbBottom;
      long double shr, shi, chr, chi;
      CSinh(depth * ar[1], depth * ai[1], shr, shi);
      CCosh(depth * ar[1], depth * ai[1], chr, chi);
      CMul(ar[0] * D[0], ai[0] * D[0], shr, shi, br, bi);
      CMul(nu2 * (ar[1] * D[1]), nu2 * (ai[1] * D[1]), chr, chi, cr, ci);
    } else {
      // First step up from the bottom through the sum-and-difference products.
      const int bottom = n - 1;
      const int above = n - 2;
      const long double nu_bottom = SquaredIndexRatio(idx[bottom], idx[above]);
      const long double depth = l[bottom] + m.ZbBottom;
      const long double ur = depth * ar[bottom], ui = depth * ai[bottom];
      const long double vr = ar[above] * l[above], vi = ai[above] * l[above];
      const long double pr = ar[above] * D[above], pi = ai[above] * D[above];
      const long double qr = nu_bottom * (ar[bottom] * D[bottom]);
      const long double qi = nu_bottom * (ai[bottom] * D[bottom]);
      long double beta_r, beta_i, gamma_r, gamma_i;
      CSinhCoshProd(pr, pi, ur, ui, vr, vi, qr, qi, beta_r, beta_i);
      CCoshCoshProd(qr, qi, ur, ui, vr, vi, pr, pi, gamma_r, gamma_i);
      // Then layer by layer up to the second one.
      for (int k = n - 3; k >= 1; --k) {
        const long double nu = SquaredIndexRatio(idx[k + 1], idx[k]);
        const long double wr = ar[k] * l[k], wi = ai[k] * l[k];
        long double tr, ti, sr, si;
        CMul(ar[k] * D[k], ai[k] * D[k], beta_r, beta_i, tr, ti);
        CMul(nu * (ar[k + 1] * D[k + 1]), nu * (ai[k + 1] * D[k + 1]), gamma_r, gamma_i, sr, si);
        CCoshSinhComb(tr, ti, wr, wi, sr, si, beta_r, beta_i);
        CCoshSinhComb(sr, si, wr, wi, tr, ti, gamma_r, gamma_i);
      }
      CMul(ar[0] * D[0], ai[0] * D[0], beta_r, beta_i, br, bi);
      CMul(nu2 * (ar[1] * D[1]), nu2 * (ai[1] * D[1]), gamma_r, gamma_i, cr, ci);
    }

    // Correction of the top layer by what lies below it.
    const long double top = l[0] + m.ZbTop;
    long double qr, qi, kr, ki, sr, si, t1r, t1i, t2r, t2i;
    CCoshSinhComb(br, bi, top * ar[0], top * ai[0], cr, ci, qr, qi);
    CDiv(br - cr, bi - ci, qr, qi, kr, ki);
    const long double source = m.Z0 + m.ZbTop;
    CSinh(source * ar[0], source * ai[0], t1r, t1i);
    CCosh(ar[0] * m.ZbTop, ai[0] * m.ZbTop, t2r, t2i);
    CMul(t1r, t1i, t2r, t2i, sr, si);
    CExp(-ar[0] * top, -ai[0] * top, t1r, t1i);
    CMul(sr, si, t1r, t1i, sr, si);
    long double fr, fi;
    CMul(kr, ki, sr, si, fr, fi);
    hr = hr + fr;
    hi = hi + fi;
  }

  const long double j0 = alglib::besselj0(static_cast<double>(rho * s));
  const long double kernel = kInverseTwoPi * s;
  return {j0 * (kernel * hr), j0 * (kernel * hi)};
}

}  // namespace nlayer
