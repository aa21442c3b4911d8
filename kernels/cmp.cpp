#include "kernels/cmp.h"

#include <cmath>

namespace nlayer {
namespace {

// The sign function takes a double: the narrowing is what makes imaginary parts too small for a
// double count as zero.
long double SignOfDouble(double v) {
  if (v > 0.0) return 1.0L;
  if (v < 0.0) return -1.0L;
  return 0.0L;
}

}  // namespace

void CSinh(long double x, long double y, long double& re, long double& im) {
  re = std::sinh(x) * std::cos(y);
  im = std::cosh(x) * std::sin(y);
}

void CCosh(long double x, long double y, long double& re, long double& im) {
  re = std::cosh(x) * std::cos(y);
  im = std::sinh(x) * std::sin(y);
}

void CDiv(long double a, long double b, long double c, long double d, long double& re,
          long double& im) {
  const long double q = d * d + c * c;
  re = (a * c + b * d) / q;
  im = (b * c - a * d) / q;
}

void CMul(long double a, long double b, long double c, long double d, long double& re,
          long double& im) {
  re = a * c - b * d;
  im = a * d + c * b;
}

void CSqrt(long double x, long double y, long double& re, long double& im) {
  if (y == 0.0L && x < 0.0L) {
    re = 0.0L;
    im = std::sqrt(-x);
    return;
  }
  const long double m = std::sqrt(y * y + x * x);
  re = std::sqrt((m + x) / 2.0L);
  const long double sigma = SignOfDouble(static_cast<double>(y));
  im = sigma * std::sqrt((m - x) / 2.0L);
}

void CExp(long double x, long double y, long double& re, long double& im) {
  const long double e = std::exp(x);
  re = e * std::cos(y);
  im = e * std::sin(y);
}

void CCoshSinhComb(long double a_re, long double a_im, long double z_re, long double z_im,
                   long double b_re, long double b_im, long double& re, long double& im) {
  const long double ch = std::cosh(z_re);
  const long double sh = std::sinh(z_re);
  const long double c = std::cos(z_im);
  const long double s = std::sin(z_im);
  re = (a_re * ch + b_re * sh) * c - (a_im * sh + b_im * ch) * s;
  im = (a_re * sh + b_re * ch) * s + (a_im * ch + b_im * sh) * c;
}

// The two product routines rest on
//   sinh u·cosh v = (sinh(u + v) + sinh(u − v))/2,  cosh u·sinh v = (sinh(u + v) − sinh(u − v))/2,
//   cosh u·cosh v = (cosh(u + v) + cosh(u − v))/2,  sinh u·sinh v = (cosh(u + v) − cosh(u − v))/2,
// so A·f(u)·g(v) + B·h(u)·k(v) collapses to P·F(u + v) + Q·F(u − v) with P = (A + B)/2 and
// Q = (A − B)/2: one pair of real hyperbolic functions for each of u + v and u − v instead of
// a complex product of three factors.

void CSinhCoshProd(long double a_re, long double a_im, long double u_re, long double u_im,
                   long double v_re, long double v_im, long double b_re, long double b_im,
                   long double& re, long double& im) {
  const long double p = (a_re + b_re) / 2.0L;
  const long double q = (a_im + b_im) / 2.0L;
  const long double pd = (a_re - b_re) / 2.0L;
  const long double qd = (a_im - b_im) / 2.0L;
  const long double w_re = u_re + v_re;
  const long double w_im = u_im + v_im;
  const long double d_re = u_re - v_re;
  const long double d_im = u_im - v_im;

  const long double sh_w = std::sinh(w_re);
  const long double ch_w = std::cosh(w_re);
  const long double c_w = std::cos(w_im);
  const long double s_w = std::sin(w_im);
  const long double sh_d = std::sinh(d_re);
  const long double ch_d = std::cosh(d_re);
  const long double c_d = std::cos(d_im);
  const long double s_d = std::sin(d_im);

  re = p * sh_w * c_w + pd * sh_d * c_d - q * ch_w * s_w - qd * ch_d * s_d;
  im = p * ch_w * s_w + pd * ch_d * s_d + q * sh_w * c_w + qd * sh_d * c_d;
}

void CCoshCoshProd(long double a_re, long double a_im, long double u_re, long double u_im,
                   long double v_re, long double v_im, long double b_re, long double b_im,
                   long double& re, long double& im) {
  const long double p = (a_re + b_re) / 2.0L;
  const long double q = (a_im + b_im) / 2.0L;
  const long double pd = (a_re - b_re) / 2.0L;
  const long double qd = (a_im - b_im) / 2.0L;
  const long double w_re = u_re + v_re;
  const long double w_im = u_im + v_im;
  const long double d_re = u_re - v_re;
  const long double d_im = u_im - v_im;

  const long double sh_w = std::sinh(w_re);
  const long double ch_w = std::cosh(w_re);
  const long double c_w = std::cos(w_im);
  const long double s_w = std::sin(w_im);
  const long double sh_d = std::sinh(d_re);
  const long double ch_d = std::cosh(d_re);
  const long double c_d = std::cos(d_im);
  const long double s_d = std::sin(d_im);

  re = p * ch_w * c_w + pd * ch_d * c_d - q * sh_w * s_w - qd * sh_d * s_d;
  im = p * sh_w * s_w + pd * sh_d * s_d + q * ch_w * c_w + qd * ch_d * c_d;
}

}  // namespace nlayer
