#include "bench/reference_evaluation.h"

#include <specialfunctions.h>

#include <cmath>

#include "core/gauss_weight.h"

namespace nlayer::reference {
namespace {

using std::cos;
using std::cosh;
using std::exp;
using std::sin;
using std::sinh;
using std::sqrt;

void CSinh(long double x, long double y, long double& re, long double& im) {
  re = sinh(x) * cos(y);
  im = cosh(x) * sin(y);
}

void CCosh(long double x, long double y, long double& re, long double& im) {
  re = cosh(x) * cos(y);
  im = sinh(x) * sin(y);
}

void CDiv(long double a, long double b, long double c, long double d, long double& re, long double& im) {
  const long double q = d * d + c * c;
  re = (a * c + b * d) / q;
  im = (b * c - a * d) / q;
}

void CMul(long double a, long double b, long double c, long double d, long double& re, long double& im) {
  re = a * c - b * d;
  im = a * d + c * b;
}

void CSqrt(long double x, long double y, long double& re, long double& im) {
  const long double m = sqrt(y * y + x * x);
  re = sqrt((m + x) / 2.0L);
  const double yd = static_cast<double>(y);
  const long double sigma = yd > 0 ? 1.0L : (yd < 0 ? -1.0L : 0.0L);
  im = sigma * sqrt((m - x) / 2.0L);
}

void CExp(long double x, long double y, long double& re, long double& im) {
  const long double e = exp(x);
  re = e * cos(y);
  im = e * sin(y);
}

void CCoshSinhComb(long double ar, long double ai, long double zr, long double zi, long double br, long double bi,
                   long double& re, long double& im) {
  const long double ch = cosh(zr), sh = sinh(zr), c = cos(zi), s = sin(zi);
  re = (ar * ch + br * sh) * c - (ai * sh + bi * ch) * s;
  im = (ar * sh + br * ch) * s + (ai * ch + bi * sh) * c;
}

void CSinhCoshProd(long double ar, long double ai, long double ur, long double ui, long double vr, long double vi,
                   long double br, long double bi, long double& re, long double& im) {
  const long double p = (ar + br) / 2, q = (ai + bi) / 2, pd = (ar - br) / 2, qd = (ai - bi) / 2;
  const long double wr = ur + vr, wi = ui + vi, dr = ur - vr, di = ui - vi;
  const long double shw = sinh(wr), chw = cosh(wr), cw = cos(wi), sw = sin(wi);
  const long double shd = sinh(dr), chd = cosh(dr), cd = cos(di), sd = sin(di);
  re = p * shw * cw + pd * shd * cd - q * chw * sw - qd * chd * sd;
  im = p * chw * sw + pd * chd * sd + q * shw * cw + qd * shd * cd;
}

void CCoshCoshProd(long double ar, long double ai, long double ur, long double ui, long double vr, long double vi,
                   long double br, long double bi, long double& re, long double& im) {
  const long double p = (ar + br) / 2, q = (ai + bi) / 2, pd = (ar - br) / 2, qd = (ai - bi) / 2;
  const long double wr = ur + vr, wi = ui + vi, dr = ur - vr, di = ui - vi;
  const long double shw = sinh(wr), chw = cosh(wr), cw = cos(wi), sw = sin(wi);
  const long double shd = sinh(dr), chd = cosh(dr), cd = cos(di), sd = sin(di);
  re = p * chw * cw + pd * chd * cd - q * shw * sw - qd * shd * sd;
  im = p * shw * sw + pd * shd * sd + q * chw * cw + qd * chd * cd;
}

long double Ratio2(long double lower, long double upper) { return (lower / upper) * (lower / upper); }

}  // namespace

ComplexExt ReflectanceIntegrand(const DerivedModel& m, long double s, long double rho, FrequencyContext& context) {
  const int n = m.LayerCount();
  const auto& D = m.DiffCoef;
  const auto& l = m.Thickness;
  const auto& idx = m.RefrIndex;
  long double* const ar = context.AlphaRe.data();
  long double* const ai = context.AlphaIm.data();
  for (int k = 0; k < n; ++k) CSqrt(s * s + m.Mua[k] / D[k], context.OmegaTerm[k], ar[k], ai[k]);
  long double e1r, e1i, e2r, e2i;
  CExp(-ar[0] * m.Z0, -ai[0] * m.Z0, e1r, e1i);
  const long double image = 2.0L * m.ZbTop + m.Z0;
  CExp(image * -ar[0], image * -ai[0], e2r, e2i);
  long double hr = (e1r + e2r) / 2.0L, hi = (e1i + e2i) / 2.0L;
  if (n >= 2) {
    long double br, bi, cr, ci;
    if (n == 2) {
      const long double depth = l[1] + m.ZbBottom;
      long double shr, shi, chr, chi;
      CSinh(depth * ar[1], depth * ai[1], shr, shi);
      CCosh(depth * ar[1], depth * ai[1], chr, chi);
      CMul(ar[0] * D[0], ai[0] * D[0], shr, shi, br, bi);
      CMul(Ratio2(idx[1], idx[0]) * (ar[1] * D[1]), Ratio2(idx[1], idx[0]) * (ai[1] * D[1]), chr, chi, cr, ci);
    } else {
      const int b = n - 1, a = n - 2;
      const long double nu = Ratio2(idx[b], idx[a]);
      const long double depth = l[b] + m.ZbBottom;
      long double beta_r, beta_i, gamma_r, gamma_i;
      CSinhCoshProd(ar[a] * D[a], ai[a] * D[a], depth * ar[b], depth * ai[b], ar[a] * l[a], ai[a] * l[a],
                    nu * (ar[b] * D[b]), nu * (ai[b] * D[b]), beta_r, beta_i);
      CCoshCoshProd(nu * (ar[b] * D[b]), nu * (ai[b] * D[b]), depth * ar[b], depth * ai[b], ar[a] * l[a],
                    ai[a] * l[a], ar[a] * D[a], ai[a] * D[a], gamma_r, gamma_i);
      for (int k = n - 3; k >= 1; --k) {
        const long double nk = Ratio2(idx[k + 1], idx[k]);
        long double tr, ti, ur, ui;
        CMul(ar[k] * D[k], ai[k] * D[k], beta_r, beta_i, tr, ti);
        CMul(nk * (ar[k + 1] * D[k + 1]), nk * (ai[k + 1] * D[k + 1]), gamma_r, gamma_i, ur, ui);
        CCoshSinhComb(tr, ti, ar[k] * l[k], ai[k] * l[k], ur, ui, beta_r, beta_i);
        CCoshSinhComb(ur, ui, ar[k] * l[k], ai[k] * l[k], tr, ti, gamma_r, gamma_i);
      }
      const long double nu2 = Ratio2(idx[1], idx[0]);
      CMul(ar[0] * D[0], ai[0] * D[0], beta_r, beta_i, br, bi);
      CMul(nu2 * (ar[1] * D[1]), nu2 * (ai[1] * D[1]), gamma_r, gamma_i, cr, ci);
    }
    const long double top = l[0] + m.ZbTop;
    long double qr, qi, kr, ki, sr, si, t1r, t1i, t2r, t2i;
    CCoshSinhComb(br, bi, top * ar[0], top * ai[0], cr, ci, qr, qi);
    CDiv(br - cr, bi - ci, qr, qi, kr, ki);
    CSinh((m.Z0 + m.ZbTop) * ar[0], (m.Z0 + m.ZbTop) * ai[0], t1r, t1i);
    CCosh(ar[0] * m.ZbTop, ai[0] * m.ZbTop, t2r, t2i);
    CMul(t1r, t1i, t2r, t2i, sr, si);
    CExp(-ar[0] * top, -ai[0] * top, t1r, t1i);
    CMul(sr, si, t1r, t1i, sr, si);
    long double fr, fi;
    CMul(kr, ki, sr, si, fr, fi);
    hr += fr;
    hi += fi;
  }
  const long double j0 = alglib::besselj0(static_cast<double>(rho * s));
  const long double kernel = 0.15915494309189533577L * s;
  return {j0 * (kernel * hr), j0 * (kernel * hi)};
}

void RadialReflectance(const DerivedModel& model, long double rho, FrequencyContext& context) {
  const long double upper = 30.0L * model.Musp[0];
  const long double c = upper * 0.5L, d = upper * 0.5L;
  long double re = 0, im = 0;
  for (int i = 0; i < 480; ++i) {
    const long double t = d * static_cast<long double>(Abscissa960[i]);
    const long double w = Weight960[i];
    ComplexExt v = reference::ReflectanceIntegrand(model, c + t, rho, context);
    re = re + v.re * w;
    im = im + v.im * w;
    v = reference::ReflectanceIntegrand(model, c - t, rho, context);
    re = re + v.re * w;
    im = im + v.im * w;
  }
  context.ReflRe = d * re;
  context.ReflIm = d * im;
}

long double FrequencyLoop(const DerivedModel& s, long double rho) {
  FrequencyContext context;
  context.Resize(s.DiffCoef.size());
  long double sum = 0;
  for (int k = 0; k < 513; ++k) {
    context.Omega = ((static_cast<long double>(k) * 6.283185307179586477L) * 1e8L) / 1.024L;
    for (std::size_t j = 0; j < s.DiffCoef.size(); ++j) {
      context.OmegaTerm[j] = context.Omega / ((s.DiffCoef[j] * 2.99792458e11L) / s.RefrIndex[j]);
    }
    RadialReflectance(s, rho, context);
    sum += context.ReflRe;
  }
  return sum;
}

}  // namespace nlayer::reference
