// The rare paths of the elementary functions, kept out of the inline code of ext_math_inl.h.
#include "core/ext_math.h"

#include <cmath>

namespace nlayer::ext_math_internal {

// y·2^k for any k: one exact product while 2^k is a normal number, else two steps whose second
// product rounds once into the subnormal range or overflows to +inf, raising underflow or
// overflow as the C library's functions do at these edges.
long double ScaleFar(long double y, int k) {
  const int first = k / 2;
  return (y * Pow2(first)) * Pow2(k - first);
}

// e^x · 2^shift where |x| > kExpDirectBound, infinite or NaN.
long double ExpShiftedFar(long double x, int shift) {
  if (std::isnan(x)) return x + x;
  if (x > kExpReductionBound) return x * Opaque(LDBL_MAX);  // +inf, overflow unless x is +inf
  if (x < -kExpReductionBound) {
    if (std::isinf(x)) return 0.0L;
    return Opaque(LDBL_MIN) * LDBL_MIN;  // +0, underflow
  }
  return ExpShiftedInRange(x, shift);
}

void SinCosFar(long double x, long double& s, long double& c) {
  long double sin_x, cos_x;
  sincosl(x, &sin_x, &cos_x);
  s = sin_x;
  c = cos_x;
}

}  // namespace nlayer::ext_math_internal
