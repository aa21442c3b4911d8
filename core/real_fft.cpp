#include "core/real_fft.h"

#include <cmath>
#include <utility>

namespace nlayer {
namespace {

// The bit reversal and the pairing of frequencies k and n - k are stated on element numbers
// counted from 1; this view lets the code keep that numbering (element e is data[e - 1])
// without forming a pointer before the start of the array.
class OneBased {
 public:
  explicit OneBased(double* data) : data_(data) {}
  double& operator[](int element) const { return data_[element - 1]; }

 private:
  double* data_;
};

// -2 sin^2(theta/2), the recurrence's cos(theta) - 1 taken from the half-angle sine: formed as
// cos(theta) - 1 it would lose most of its digits to cancellation at the small angles of the
// late stages.
double RecurrenceAlpha(double theta) {
  const double half_sine = std::sin(0.5 * theta);
  return half_sine * half_sine * -2.0;
}

// w <- w exp(i theta), with alpha = cos(theta) - 1 and beta = sin(theta). Adding the small
// increment to w last, rather than multiplying by cos(theta) directly, is what keeps the
// twiddle factors accurate over a long run of steps (Press et al., Numerical Recipes, 5.5).
// The operand order is part of the result.
void AdvanceTwiddle(double& w_re, double& w_im, double alpha, double beta) {
  const double u = w_re;
  w_re = (u * alpha - w_im * beta) + u;
  w_im = (w_im * alpha + u * beta) + w_im;
}

// Puts complex point p at the position of point bitreverse(p). j runs through the bit-reversed
// counterpart of i in element numbers; each pair is exchanged once, when j > i.
void BitReversePermute(OneBased a, int nn) {
  const int doubles = 2 * nn;
  int j = 1;
  for (int i = 1; i < doubles; i += 2) {
    if (j > i) {
      std::swap(a[j], a[i]);
      std::swap(a[j + 1], a[i + 1]);
    }
    int m = doubles / 2;
    while (m >= 2 && j > m) {
      j -= m;
      m /= 2;
    }
    j += m;
  }
}

// Danielson-Lanczos: combines pairs of transforms of span/2 points into transforms of span
// points, doubling span (counted in doubles) until it covers the whole array.
void Butterflies(OneBased a, int nn, int isign) {
  // 2 pi to the 64-bit significand of an extended real.
  constexpr long double kTwoPi = 6.283185307179586477L;
  const int doubles = 2 * nn;
  int span = 2;
  while (doubles > span) {
    const int step = 2 * span;
    // The divisor is plus or minus a power of two, so this quotient rounds to the same double
    // whether it is formed in extended precision or from 2 pi rounded to double first.
    const double theta = static_cast<double>(kTwoPi / (isign * span));
    const double alpha = RecurrenceAlpha(theta);
    const double beta = std::sin(theta);
    double w_re = 1.0;
    double w_im = 0.0;
    for (int m = 1; m < span; m += 2) {
      for (int i = m; i <= doubles; i += step) {
        const int j = i + span;
        const double t_re = w_re * a[j] - w_im * a[j + 1];
        const double t_im = w_re * a[j + 1] + w_im * a[j];
        a[j] = a[i] - t_re;
        a[j + 1] = a[i + 1] - t_im;
        a[i] = a[i] + t_re;
        a[i + 1] = a[i + 1] + t_im;
      }
      AdvanceTwiddle(w_re, w_im, alpha, beta);
    }
    span = step;
  }
}

}  // namespace

void ComplexFFT(double* data, int nn, int isign) {
  const OneBased a(data);
  BitReversePermute(a, nn);
  Butterflies(a, nn, isign);
}

double RealFFTAngle(int n) {
  // 6.28318530717959 stands for 2 pi here, not the full-precision constant of ComplexFFT. The
  // time-domain curves have always been computed with this angle, and for n = 512 the two
  // constants give thetas one bit apart; keeping it keeps those curves bit for bit.
  return 6.28318530717959 / (n * 2.0);
}

void RealFFT(double* data, int n, int isign) {
  const OneBased a(data);
  const bool forward = isign == 1;
  const double c1 = 0.5;
  double c2 = 0.5;
  double theta = RealFFTAngle(n);
  if (forward) {
    c2 = -0.5;
    ComplexFFT(data, n, +1);
  } else {
    theta = -theta;
  }
  const double alpha = RecurrenceAlpha(theta);
  const double beta = std::sin(theta);
  double w_re = 1.0 + alpha;  // w starts at exp(i theta), the twiddle of frequency 1
  double w_im = beta;

  // Splits (forward) or joins (inverse) the spectra of the even and the odd samples, frequency
  // k = i - 1 together with n - k. The middle frequency n/2 is its own partner and needs no
  // work, so the loop stops short of it.
  for (int i = 2; i <= n / 2; ++i) {
    const int i1 = 2 * i - 1;
    const int i2 = i1 + 1;
    const int i3 = 2 * n + 3 - i2;
    const int i4 = i3 + 1;
    const double h1_re = c1 * (a[i1] + a[i3]);
    const double h1_im = c1 * (a[i2] - a[i4]);
    const double h2_re = -c2 * (a[i2] + a[i4]);
    const double h2_im = c2 * (a[i1] - a[i3]);
    a[i1] = (h1_re + w_re * h2_re) - w_im * h2_im;
    a[i2] = (h1_im + w_re * h2_im) + w_im * h2_re;
    a[i3] = (h1_re - w_re * h2_re) + w_im * h2_im;
    a[i4] = (w_re * h2_im - h1_im) + w_im * h2_re;
    AdvanceTwiddle(w_re, w_im, alpha, beta);
  }

  // Frequencies 0 and n are both real and share the first complex point.
  const double h = a[1];
  if (forward) {
    a[1] = h + a[2];
    a[2] = h - a[2];
  } else {
    a[1] = c1 * (h + a[2]);
    a[2] = c1 * (h - a[2]);
    ComplexFFT(data, n, -1);
  }
}

}  // namespace nlayer
