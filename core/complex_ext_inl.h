// The definitions of complex_ext.h, included by it: inline, so that the layered solution's extended
// reals stay on the x87 stack across these small routines instead of passing through memory.
#pragma once

#include <cmath>

#include "core/ext_math.h"

namespace nlayer {
namespace cmp_internal {

// The sign function takes a double: the narrowing is what makes imaginary parts too small for a
// double count as zero.
inline long double SignOfDouble(double v) {
  if (v > 0.0) return 1.0L;
  if (v < 0.0) return -1.0L;
  return 0.0L;
}

}  // namespace cmp_internal

inline CHypTrig CHypTrigOf(long double x, long double y) {
  CHypTrig z;
  SinhCoshExt(x, z.sh, z.ch);
  SinCosExt(y, z.sn, z.cs);
  return z;
}

inline void CSinhFrom(const CHypTrig& z, long double& re, long double& im) {
  re = z.sh * z.cs;
  im = z.ch * z.sn;
}

inline void CCoshFrom(const CHypTrig& z, long double& re, long double& im) {
  re = z.ch * z.cs;
  im = z.sh * z.sn;
}

inline void CSinh(long double x, long double y, long double& re, long double& im) {
  CSinhFrom(CHypTrigOf(x, y), re, im);
}

inline void CCosh(long double x, long double y, long double& re, long double& im) {
  CCoshFrom(CHypTrigOf(x, y), re, im);
}

inline void CDiv(long double a, long double b, long double c, long double d, long double& re,
          long double& im) {
  const long double q = d * d + c * c;
  re = (a * c + b * d) / q;
  im = (b * c - a * d) / q;
}

inline void CDivScaled(long double a, long double b, long double c, long double d, long double& re,
                long double& im) {
  if (std::fabs(c) >= std::fabs(d)) {
    const long double r = d / c;
    const long double den = c + d * r;
    re = (a + b * r) / den;
    im = (b - a * r) / den;
  } else {
    const long double r = c / d;
    const long double den = c * r + d;
    re = (a * r + b) / den;
    im = (b * r - a) / den;
  }
}

inline void CMul(long double a, long double b, long double c, long double d, long double& re,
          long double& im) {
  re = a * c - b * d;
  im = a * d + c * b;
}

inline void CSqrt(long double x, long double y, long double& re, long double& im) {
  const long double m = std::sqrt(y * y + x * x);
  re = std::sqrt((m + x) / 2.0L);
  const long double sigma = cmp_internal::SignOfDouble(static_cast<double>(y));
  im = sigma * std::sqrt((m - x) / 2.0L);
}

inline void CSqrtStable(long double x, long double y, long double& re, long double& im) {
  if (!(x > 0)) {
    CSqrt(x, y, re, im);
    return;
  }
  // re as CSqrt forms it, bit for bit; the cancelling sqrt((m - x)/2) is not computed at all.
  // im = |y| / (2 re) = (|y| / (m + x)) re: the quotient is formed beside the root instead of
  // after it, which shortens the chain of dependent operations by a division.
  const long double sum = std::sqrt(y * y + x * x) + x;
  re = std::sqrt(sum / 2.0L);
  im = cmp_internal::SignOfDouble(static_cast<double>(y)) * ((std::fabs(y) / sum) * re);
}

inline void CExp(long double x, long double y, long double& re, long double& im) {
  const long double e = ExpExt(x);
  long double sn, cs;
  SinCosExt(y, sn, cs);
  re = e * cs;
  im = e * sn;
}

inline void CCoshSinhCombFrom(long double a_re, long double a_im, const CHypTrig& z, long double b_re,
                       long double b_im, long double& re, long double& im) {
  const long double ch = z.ch, sh = z.sh, c = z.cs, s = z.sn;
  re = (a_re * ch + b_re * sh) * c - (a_im * sh + b_im * ch) * s;
  im = (a_re * sh + b_re * ch) * s + (a_im * ch + b_im * sh) * c;
}

inline void CCoshSinhComb(long double a_re, long double a_im, long double z_re, long double z_im,
                   long double b_re, long double b_im, long double& re, long double& im) {
  CCoshSinhCombFrom(a_re, a_im, CHypTrigOf(z_re, z_im), b_re, b_im, re, im);
}

// The two product routines rest on
//   sinh u·cosh v = (sinh(u + v) + sinh(u − v))/2,  cosh u·sinh v = (sinh(u + v) − sinh(u − v))/2,
//   cosh u·cosh v = (cosh(u + v) + cosh(u − v))/2,  sinh u·sinh v = (cosh(u + v) − cosh(u − v))/2,
// so A·f(u)·g(v) + B·h(u)·k(v) collapses to P·F(u + v) + Q·F(u − v) with P = (A + B)/2 and
// Q = (A − B)/2: one pair of real hyperbolic functions for each of u + v and u − v instead of
// a complex product of three factors.

namespace cmp_internal {

// P·F(u + v) + Q·F(u − v) from the functions of w = u + v and d = u − v: F = sinh with
// `odd` = sh and `even` = ch, F = cosh with the two swapped.
inline void ProductFrom(long double a_re, long double a_im, const CHypTrig& w, const CHypTrig& d, long double b_re,
                        long double b_im, long double CHypTrig::*odd, long double CHypTrig::*even, long double& re,
                        long double& im) {
  const long double p = (a_re + b_re) / 2.0L;
  const long double q = (a_im + b_im) / 2.0L;
  const long double pd = (a_re - b_re) / 2.0L;
  const long double qd = (a_im - b_im) / 2.0L;
  re = p * (w.*odd) * w.cs + pd * (d.*odd) * d.cs - q * (w.*even) * w.sn - qd * (d.*even) * d.sn;
  im = p * (w.*even) * w.sn + pd * (d.*even) * d.sn + q * (w.*odd) * w.cs + qd * (d.*odd) * d.cs;
}

}  // namespace cmp_internal

inline void CSinhCoshProdFrom(long double a_re, long double a_im, const CHypTrig& w, const CHypTrig& d,
                       long double b_re, long double b_im, long double& re, long double& im) {
  cmp_internal::ProductFrom(a_re, a_im, w, d, b_re, b_im, &CHypTrig::sh, &CHypTrig::ch, re, im);
}

inline void CCoshCoshProdFrom(long double a_re, long double a_im, const CHypTrig& w, const CHypTrig& d,
                       long double b_re, long double b_im, long double& re, long double& im) {
  cmp_internal::ProductFrom(a_re, a_im, w, d, b_re, b_im, &CHypTrig::ch, &CHypTrig::sh, re, im);
}

inline void CSinhCoshProd(long double a_re, long double a_im, long double u_re, long double u_im,
                   long double v_re, long double v_im, long double b_re, long double b_im,
                   long double& re, long double& im) {
  CSinhCoshProdFrom(a_re, a_im, CHypTrigOf(u_re + v_re, u_im + v_im),
                    CHypTrigOf(u_re - v_re, u_im - v_im), b_re, b_im, re, im);
}

inline void CCoshCoshProd(long double a_re, long double a_im, long double u_re, long double u_im,
                   long double v_re, long double v_im, long double b_re, long double b_im,
                   long double& re, long double& im) {
  CCoshCoshProdFrom(a_re, a_im, CHypTrigOf(u_re + v_re, u_im + v_im),
                    CHypTrigOf(u_re - v_re, u_im - v_im), b_re, b_im, re, im);
}

}  // namespace nlayer
