// The definitions of ext_math.h, included by it: inline, so that the hot loop of the layered
// solution keeps its extended reals on the x87 stack instead of passing every argument and
// result through memory. Only the rare paths (huge arguments, results outside the normal range)
// are out of line, in ext_math.cpp.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

static_assert(LDBL_MANT_DIG == 64 && LDBL_MAX_EXP == 16384,
              "ext_math works on the x87 80-bit extended real");

namespace nlayer {
namespace ext_math_internal {

// Out of line: y·2^k where 2^k is not a normal number; e^x·2^shift for |x| beyond the direct
// range, infinite or NaN; sin and cos beyond kSinCosReductionBound.
long double ScaleFar(long double y, int k);
long double ExpShiftedFar(long double x, int shift);
void SinCosFar(long double x, long double& s, long double& c);

using namespace ext_math_internal;

// The nearest integer to v (|v| < 2^63), by the x87 FISTP, which rounds in the current mode,
// to nearest in the model's environment. The compiler would call lrintl for this unless errno
// handling were disabled for the whole library.
inline std::int64_t NearestInteger(long double v) {
  std::int64_t n;
  __asm__("fistpll %0" : "=m"(n) : "t"(v) : "st");
  return n;
}

// The same nearest integer as an extended real, computed without leaving the x87 stack: adding
// 1.5·2^63 leaves a sum whose last bit is the units digit, so the sum is rounded to an integer
// (to nearest, ties to even, as FISTP rounds), and subtracting the constant again is exact.
// Reductions use it for their floating-point chain, which then does not wait for the store and
// reload of NearestInteger; the integer itself is needed only for table indices and exponents.
// |v| < 2^62.
inline long double NearestIntegerValue(long double v) {
  constexpr double kRoundingShift = 0x1.8p63;
  return (v + kRoundingShift) - kRoundingShift;
}

inline constexpr int kExponentBias = 16383;
inline constexpr int kMinNormalExponent = 1 - kExponentBias;  // -16382
inline constexpr int kMaxExponent = kExponentBias;            // 16383

// 2^k for kMinNormalExponent <= k <= kMaxExponent, built from its bit pattern (exact, raises
// nothing). Within the range of doubles it is built as a double: one 8-byte store that the load
// can take straight from the store buffer, where the two stores of an extended real's 10 bytes
// make the load wait for both to retire.
inline long double Pow2(int k) {
  if (k >= -1022 && k <= 1023) [[likely]] {
    const std::uint64_t bits = static_cast<std::uint64_t>(k + 1023) << 52;
    double scale;
    std::memcpy(&scale, &bits, sizeof scale);
    return scale;
  }
  unsigned char bytes[sizeof(long double)] = {};
  const std::uint64_t significand = 0x8000000000000000u;
  const auto sign_exponent = static_cast<std::uint16_t>(k + kExponentBias);
  std::memcpy(bytes, &significand, 8);
  std::memcpy(bytes + 8, &sign_exponent, 2);
  long double value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}


inline long double Scale(long double y, int k) {
  if (k >= kMinNormalExponent && k <= kMaxExponent) [[likely]] {
    return y * Pow2(k);
  }
  return ScaleFar(y, k);
}

// A value the optimiser cannot see through, so that products meant to overflow or underflow
// happen at run time.
inline long double Opaque(long double v) {
  __asm__ volatile("" : "+m"(v));
  return v;
}

// ---------------------------------------------------------------------------------------------
// Exponential: Tang (1989), "Table-driven implementation of the exponential function in IEEE
// floating-point arithmetic", with N = 128:
//   x = (128·k + j)·ln2/128 + r,  |r| <= ln2/256 (plus a rounding),  0 <= j < 128,
//   e^x = 2^k · 2^(j/128) · e^r,  2^(j/128) = T_hi + T_lo from the table.
// ln2/128 is split Cody-Waite style (Cody and Waite 1980): the leading piece has 42 bits, so
// m·kLn2OverNHi is exact for |m| < 2^22, and x - m·kLn2OverNHi is exact too (x and the product
// are within a factor 2 of each other unless m = 0). The rounding left in r is below 2^-72 in
// absolute terms, a 1/256 ulp effect.

// Arguments up to this size keep 2^k and 2^(k-1) normal (|k| <= 16375), so that ExpExt,
// Expm1Ext and SinhCoshExt scale their results with one exact product.
inline constexpr long double kExpDirectBound = 11350.0L;
// Beyond this size the exponential overflows or is below half the smallest subnormal; below it
// |m| < 2^22 holds for the exact Cody-Waite product.
inline constexpr long double kExpReductionBound = 11500.0L;

struct ExpReduction {
  int k;            // power of 2
  const HiLo* t;    // 2^(j/128)
  long double p;    // e^r - 1
};

// e^r - 1 on |r| <= ln2/256 by its Taylor polynomial to r^7: the first omitted term is below
// 2^-74.8·|r|, so p is accurate relative to itself, which Expm1Ext needs where p is the result.
// The coefficients are doubles: their rounding (2^-54 relative) changes p by less than 2^-73·|r|.
// The inner sum is grouped in pairs (Estrin) to shorten the chain of dependent x87 operations.
inline long double ExpM1Kernel(long double r) {
  const double* c = kExpm1Taylor;
  const long double r2 = r * r;
  const long double q =
      (c[0] + c[1] * r) + r2 * ((c[2] + c[3] * r) + r2 * (c[4] + c[5] * r));
  return r + r2 * q;
}

// x = (128·k + j)·ln2/128 + r, |x| <= kExpReductionBound.
struct Ln2Reduction {
  int k, j;
  long double r;
};

inline Ln2Reduction ReduceLn2(long double x) {
  const long double scaled = x * kNOverLn2;
  const std::int64_t m = NearestInteger(scaled);
  const long double mf = NearestIntegerValue(scaled);
  const long double r = (x - mf * kLn2OverNHi) - mf * kLn2OverNLo;
  // Arithmetic shift: k = floor(m/128), j = m - 128k in [0, 128).
  return {static_cast<int>(m >> kExpTableBits), static_cast<int>(m & (kExpTableSize - 1)), r};
}

inline ExpReduction ReduceExp(long double x) {
  const Ln2Reduction red = ReduceLn2(x);
  return {red.k, &kExp2Table[red.j], ExpM1Kernel(red.r)};
}

// 2^(j/128)·e^r = T_hi + (T_lo + T_hi·p): the only rounding that matters is that of the final
// sum, the rest is 2^-8 of an ulp.
inline long double ExpSignificand(const ExpReduction& red) {
  return red.t->hi + (red.t->lo + red.t->hi * red.p);
}

// e^x · 2^shift for |x| <= kExpReductionBound, shift in {0, -1}, for results anywhere from
// overflow to below the subnormal range.
inline long double ExpShiftedInRange(long double x, int shift) {
  const ExpReduction red = ReduceExp(x);
  return Scale(ExpSignificand(red), red.k + shift);
}


// sinh a and cosh a for 1 <= a <= kExpDirectBound from one reduction a = (128k + j)·ln2/128 + r:
//   e^a/2  = 2^(k-1)·2^(j/128)·e^r,
//   e^-a/2 = 2^(-k-1)·2^(-j/128)·e^-r = 2^(-k-2)·2^((128-j)/128)·e^-r  (j > 0),
// so both come from the same table, and e^±r - 1 = ±r + r²·(even(r²) ± r·odd(r²)) share the
// two halves of one polynomial. The sum and difference are formed relative to 2^(k-1), where
// e^-a/2 is M = 2^(-2k-[j>0])·2^((128-j)/128)·e^-r, small next to T_hi:
//   sinh a, cosh a = 2^(k-1)·(T_hi + ((T_lo + T_hi·p) ∓ M)),
// so each result carries a single rounding of a sum with at most a factor coth(1) = 1.31 of
// cancellation, and no division. Once 2k exceeds the exponent range, M (below 2^-16000 of the
// result) is formed at the smallest normal exponent instead, which changes nothing and keeps it
// out of the subnormal range.
struct SinhCosh {
  long double sinh, cosh;
};

inline SinhCosh SinhCoshFromExponentials(long double a) {
  const auto [k, j, r] = ReduceLn2(a);
  const int j_minus = (kExpTableSize - j) & (kExpTableSize - 1);
  const double* c = kExpm1Taylor;
  const long double r2 = r * r;
  const long double even = c[0] + r2 * (c[2] + r2 * c[4]);
  const long double odd_r = r * (c[1] + r2 * (c[3] + r2 * c[5]));
  const long double p_plus = r + r2 * (even + odd_r);
  const long double p_minus = r2 * (even - odd_r) - r;
  const HiLo& t_plus = kExp2Table[j];
  const HiLo& t_minus = kExp2Table[j_minus];
  const int minus_exponent = std::max(-2 * k - (j != 0 ? 1 : 0), kMinNormalExponent);
  const long double minus =
      (t_minus.hi + (t_minus.lo + t_minus.hi * p_minus)) * Pow2(minus_exponent);
  const long double plus_tail = t_plus.lo + t_plus.hi * p_plus;
  const long double scale = Pow2(k - 1);
  return {(t_plus.hi + (plus_tail - minus)) * scale, (t_plus.hi + (plus_tail + minus)) * scale};
}

// ---------------------------------------------------------------------------------------------
// Sine and cosine.
//
// Reduction: x = k·pi/2 + r with k = round(x·2/pi), Cody-Waite with pi/2 in four pieces; the
// first three have 44 bits, so k·piece is exact for |k| < 2^20, and x - k·kHalfPi1 is exact
// (Sterbenz). The remaining pieces are subtracted with error-free sums (Knuth's TwoSum), and the
// reduced argument is kept as r_hi + r_lo: pi/2 is carried to about 2^-185, so even an r near
// 2^-100 keeps its full precision.
//
// Kernels, for |r| <= pi/4 plus a rounding: with i = round(64·r), c = i/64 and z = r - c,
//   sin(q·pi/2 + c + z) = A + (A·(cos z - 1) + B·sin z),
//   cos(q·pi/2 + c + z) = B + (B·(cos z - 1) - A·sin z),
// where A = sin(q·pi/2 + c) and B = cos(q·pi/2 + c) are ±sin|c| and ±cos|c| from the table
// as hi + lo, q = k mod 4 (Tang's table-driven method applied to sin and cos, after Gal's
// accurate tables). |z| <= 1/128 needs only Taylor terms to z^7. For |i| < 4 the correction
// could cancel up to half of sin c and cost an ulp, so there c = 0 (A, B are 0 and ±1) and
// the Taylor series of sin z and cos z - 1 go further, to |z| < 3.5/64.
//
// Quadrant and sign only pick table entries and factors ±1, with no branch (for arguments like
// the model's they are unpredictable): with A = σ_A·A', B = σ_B·B' for the unsigned table
// values A', B' and ρ = σ_A·σ_B,
//   sin = σ_A·(A' + (A'·(cos z - 1) + B'·ρ·sin z)),  cos = σ_B·(B' + (B'·(cos z - 1) - A'·ρ·sin z)).

inline constexpr int kFirstTableNode = 4;

struct RotationSigns {
  double rho, sin, cos;  // ρ, σ_A, σ_B
};

// Indexed by 2q + (c < 0). A takes sin|c| for even q and cos|c| for odd q, B the other one.
inline constexpr RotationSigns kRotationSigns[8] = {
    {+1, +1, +1}, {-1, -1, +1},  // q = 0: A = sin c,   B = cos c
    {-1, +1, -1}, {+1, +1, +1},  // q = 1: A = cos c,   B = -sin c
    {+1, -1, -1}, {-1, +1, -1},  // q = 2: A = -sin c,  B = -cos c
    {-1, -1, +1}, {+1, -1, -1},  // q = 3: A = -cos c,  B = sin c
};

// a + b = s + e exactly, given that the exponent of a is at least that of b or that a + b is
// exact (Dekker 1971, Fast2Sum).
inline void FastTwoSum(long double a, long double b, long double& s, long double& e) {
  s = a + b;
  e = b - (s - a);
}

struct Reduced {
  long double hi, lo;  // r = hi + lo, |lo| <= ulp(hi)/2
  int quadrant;        // k mod 4
};

// a + b = s + e exactly for any a, b (Knuth 1969, TwoSum).
inline void TwoSum(long double a, long double b, long double& s, long double& e) {
  s = a + b;
  const long double bb = s - a;
  e = (a - (s - bb)) + (b - bb);
}

// |x| <= kSinCosReductionBound, so |k| < 2^20.
// The first sum may use Fast2Sum whatever the sizes of its terms: for k != 0, a is a multiple
// of 2^-87 (of ulp(x) >= 2^-64 and of the last bit 2^-43 of kHalfPi1), so are b = k·kHalfPi2
// (last bit 2^-87) and the rounded sum s, and |s - a| and |b| are below 2^-23; multiples of
// 2^-87 that small fit in 64 bits, so s - a and b - (s - a) are exact. The second sum has no
// such guarantee and takes Knuth's TwoSum.
inline Reduced ReduceHalfPi(long double x) {
  const long double scaled = x * kTwoOverPi;
  // k = 0, where the steps below give x + 0 exactly: common in the model, whose arguments are
  // depths times decay constants of a few per millimetre at most.
  if (std::fabs(scaled) <= 0.5L) return {x, 0.0L, 0};
  const int quadrant = static_cast<int>(NearestInteger(scaled) & 3);
  const long double k = NearestIntegerValue(scaled);
  const long double a = x - k * kHalfPi1;
  long double s, e, t, f;
  FastTwoSum(a, -(k * kHalfPi2), s, e);
  TwoSum(s, -(k * kHalfPi3), t, f);
  const long double tail = (e + f) - k * kHalfPi4;
  const long double hi = t + tail;
  const long double lo = tail - (hi - t);
  return {hi, lo, quadrant};
}

// The kernels on a small offset z from a table node serve the circular and the hyperbolic
// functions alike: with w = z² for sin and cos, and w = -z² for sinh and cosh (sinh z = -i·sin iz,
// cosh z = cos iz), the odd function is z + z·w·P(w) and the even one minus 1 is w·Q(w), with P
// and Q the Taylor series of sin and cos (kSinTaylor, kCosTaylor).
struct OddEvenOfOffset {
  long double odd;      // sin(z + lo) or sinh z
  long double even_m1;  // cos(z + lo) - 1 or cosh z - 1
};

// |z| < 3.5/64 plus a rounding: Taylor to z^11 and z^10, the first omitted terms below 2^-80
// relative. sin(z + lo) = sin z + lo·cos z with cos z = 1 to within 2^-11, a negligible part
// of lo; likewise cos(z + lo) = cos z - lo·z (hyperbolic callers pass lo = 0). Only the z^3
// coefficient needs more than a double (its rounding would cost 2^-65 relative): it is the
// double pair kSinTaylor[0] + kSinTaylor3Lo, which loads faster than an extended real.
inline OddEvenOfOffset SmallOffsetKernels(long double z, long double w, long double lo) {
  const double* sc = kSinTaylor;
  const double* cc = kCosTaylor;
  const long double w2 = w * w;
  const long double s3 = static_cast<long double>(sc[0]) + kSinTaylor3Lo;
  const long double p = (s3 + w * sc[1]) + w2 * ((sc[2] + w * sc[3]) + w2 * sc[4]);
  const long double q = (cc[0] + w * cc[1]) + w2 * ((cc[2] + w * cc[3]) + w2 * cc[4]);
  return {z + (lo + (z * w) * p), w * q - z * lo};
}

// |z| <= 1/128 plus a rounding: the terms omitted from the odd and the even function are below
// 2^-81 and 2^-71 absolute, and the rounding of the coefficients to doubles costs below 2^-77:
// at most 1/16 ulp of results that are at least sin(3.5/64) (sin, sinh) or cos(pi/4) (cos,
// cosh).
inline OddEvenOfOffset TableOffsetKernels(long double z, long double w, long double lo) {
  const double* sc = kSinTaylor;
  const double* cc = kCosTaylor;
  return {z + (lo + (z * w) * (sc[0] + w * (sc[1] + w * sc[2]))),
          w * (cc[0] + w * (cc[1] + w * cc[2])) - z * lo};
}

}  // namespace ext_math_internal

[[gnu::always_inline]] inline long double ExpExt(long double x) {
  using namespace ext_math_internal;
  if (!std::islessequal(std::fabs(x), kExpDirectBound)) [[unlikely]] {
    return ExpShiftedFar(x, 0);
  }
  const ExpReduction red = ReduceExp(x);
  return ExpSignificand(red) * Pow2(red.k);
}

// Tang (1992), "Table-driven implementation of the expm1 function": with the reduction of ExpExt,
//   e^x - 1 = 2^k·((T_hi - 2^-k) + (T_lo + T_hi·p)).
// For -1 <= k <= 63, T_hi - 2^-k is exact (T_hi in [1, 2) has 64 bits down to 2^-63, and the
// difference needs no more), so the result carries one rounding of a sum without harmful
// cancellation; for m = 0 it is p itself, accurate relative to x near 0. For k < -1, e^x < 1/2
// and e^x - 1 is in (-1, -1/2): subtracting 1 from the exponential loses nothing. For k > 63 the
// 1 is below half an ulp of e^x.
inline long double Expm1Ext(long double x) {
  using namespace ext_math_internal;
  if (!std::islessequal(std::fabs(x), kExpDirectBound)) [[unlikely]] {
    if (std::isless(x, 0.0L)) return Opaque(LDBL_MIN) - 1.0L;  // -1, inexact (also for -inf)
    return ExpShiftedFar(x, 0) - 1.0L;
  }
  // e^x - 1 rounds to x here; returning it keeps the sign of -0 and raises no underflow.
  if (std::fabs(x) < 0x1p-65L) return x;
  const ExpReduction red = ReduceExp(x);
  const long double correction = red.t->lo + red.t->hi * red.p;
  if (red.k >= -1 && red.k <= 63) {
    return ((red.t->hi - Pow2(-red.k)) + correction) * Pow2(red.k);
  }
  return (red.t->hi + correction) * Pow2(red.k) - 1.0L;
}

// sinh and cosh of a = |x|:
//  - a < 1: the method of SinCosExt without its reduction: with i = round(64·a), c = i/64 and
//    z = a - c (exact), sinh a = S + (S·(cosh z - 1) + C·sinh z) and
//    cosh a = C + (C·(cosh z - 1) + S·sinh z), S = sinh c and C = cosh c from the table; all
//    terms but C·sinh z are positive, and that one is at most 1/8 of S from i = 4 on, so the
//    result carries about one rounding. For i < 4, c = 0 and the series go to |z| < 3.5/64.
//  - 1 <= a <= 11350: sinh a = e^a/2 - e^-a/2 and cosh a = e^a/2 + e^-a/2 with both halves from
//    one reduction (SinhCoshFromExponentials);
//  - beyond: e^a/2 formed as 2^(k-1)·2^(j/128)·e^r, so that it overflows only past
//    ln(2·LDBL_MAX), where the true results do.
[[gnu::always_inline]] inline void SinhCoshExt(long double x, long double& sh, long double& ch) {
  using namespace ext_math_internal;
  constexpr long double kTableBelow = 1.0L;
  const long double a = std::fabs(x);
  long double sinh_a, cosh_a;
  // Quiet comparisons: a NaN argument reaches ExpShiftedFar and comes back without flags.
  if (std::isless(a, kTableBelow)) {
    const long double scaled = a * kNodesPerUnit;
    const auto i = static_cast<int>(NearestInteger(scaled));
    OddEvenOfOffset k;
    int node_index;
    if (i < kFirstTableNode) {
      k = SmallOffsetKernels(a, -(a * a), 0.0L);
      node_index = 0;
    } else {
      const long double z = a - NearestIntegerValue(scaled) * (1.0L / kNodesPerUnit);
      k = TableOffsetKernels(z, -(z * z), 0.0L);
      node_index = i;
    }
    const OddEvenNode& node = kSinhCoshTable[node_index];
    const long double s = node.hi[0];
    const long double c = node.hi[1];
    sinh_a = s + (node.lo[0] + (c * k.odd + s * k.even_m1));
    cosh_a = c + (node.lo[1] + (c * k.even_m1 + s * k.odd));
  } else if (std::islessequal(a, kExpDirectBound)) {
    const SinhCosh both = SinhCoshFromExponentials(a);
    sinh_a = both.sinh;
    cosh_a = both.cosh;
  } else {
    sinh_a = ExpShiftedFar(a, -1);
    cosh_a = sinh_a;
  }
  sh = std::copysign(sinh_a, x);
  ch = cosh_a;
}

[[gnu::always_inline]] inline void SinCosExt(long double x, long double& s, long double& c) {
  using namespace ext_math_internal;
  if (!std::islessequal(std::fabs(x), kSinCosReductionBound)) [[unlikely]] {
    SinCosFar(x, s, c);
    return;
  }
  if (x == 0) {  // keeps the sign of a zero
    s = x;
    c = 1.0L;
    return;
  }
  const Reduced r = ReduceHalfPi(x);
  const long double scaled = r.hi * kNodesPerUnit;
  const auto i = static_cast<int>(NearestInteger(scaled));
  const int abs_i = i < 0 ? -i : i;
  OddEvenOfOffset k;
  int node_index;
  if (abs_i < kFirstTableNode) {
    k = SmallOffsetKernels(r.hi, r.hi * r.hi, r.lo);
    node_index = 0;
  } else {
    // Exact: r.hi is within 1/8 of i/64 (Sterbenz).
    const long double z = r.hi - NearestIntegerValue(scaled) * (1.0L / kNodesPerUnit);
    k = TableOffsetKernels(z, z * z, r.lo);
    node_index = abs_i;
  }
  const OddEvenNode& node = kSinCosTable[node_index];
  const int odd = r.quadrant & 1;
  const RotationSigns& sign = kRotationSigns[2 * r.quadrant + (i < 0 ? 1 : 0)];
  const long double a = node.hi[odd];
  const long double b = node.hi[odd ^ 1];
  const long double sin_z = sign.rho * k.odd;
  s = sign.sin * (a + (node.lo[odd] + (b * sin_z + a * k.even_m1)));
  c = sign.cos * (b + (node.lo[odd ^ 1] + (b * k.even_m1 - a * sin_z)));
}

}  // namespace nlayer
