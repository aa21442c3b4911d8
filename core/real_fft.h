// In-place radix-2 fast Fourier transforms on arrays of doubles.
//
// The time-domain curve of a run comes from one inverse RealFFT of 1024 samples (n = 512).
// Both routines work in place, allocate nothing and keep no table of twiddle factors: each
// stage produces its twiddles by a trigonometric recurrence from two sines.
//
// Layout. The array is plain zero-based C storage. Complex point j is interleaved as
// data[2j] (real part), data[2j + 1] (imaginary part).
//
// Precision. Every working quantity (angle, recurrence constants, twiddle factor, butterfly
// temporaries, half-spectrum pairs and their factors) is a double, and every expression is
// evaluated in double, sines included; an evaluation in extended precision would differ in the
// last bits of the results.
//
// Neither routine checks its arguments; the limits below are the caller's to respect.
// Both are reentrant.
#pragma once

namespace nlayer {

// Replaces the nn complex points x_0 .. x_{nn-1} held in data[0 .. 2nn-1] by
//   X_k = sum_{j=0}^{nn-1} x_j exp(isign * 2 pi i j k / nn),   k = 0 .. nn-1,
// in natural order. No normalisation: transforming with +1 and then with -1 multiplies the
// data by nn.
// nn: a power of two (for other values the result is not a Fourier transform); nn <= 1
//     leaves the data unchanged.
// isign: +1 or -1; must not be 0.
void ComplexFFT(double* data, int nn, int isign);

// Transform of 2n real samples through one complex transform of n points.
// n: a power of two, n >= 1, half the number of real samples; data holds 2n doubles.
//
// isign == +1, forward: the real samples x_0 .. x_{2n-1} in data[0 .. 2n-1] become the packed
// half spectrum of
//   F_k = sum_{j=0}^{2n-1} x_j exp(+2 pi i j k / (2n)),   k = 0 .. n:
//   data[0]                   F_0 (real)
//   data[1]                   F_n, the Nyquist component (real)
//   data[2k], data[2k + 1]    real and imaginary part of F_k, k = 1 .. n-1.
//
// Any other isign, inverse: a packed half spectrum G in the same layout becomes the samples
//   y_j = (G_0 + (-1)^j G_n) / 2 + sum_{k=1}^{n-1} Re(G_k exp(-2 pi i j k / (2n))),
// j = 0 .. 2n-1. This is n times the exact inverse: inverse(forward(x)) = n x. Any further
// scaling is the caller's.
void RealFFT(double* data, int n, int isign);

// The angle step 2 pi / (2n) of RealFFT's half-spectrum recombination, as the routine forms
// it. It uses 6.28318530717959 for 2 pi, 3.5e-15 above the true value; for n = 512 this gives
// the double 0.006135923151542568 rather than the correctly rounded 0.006135923151542565.
double RealFFTAngle(int n);

}  // namespace nlayer
