// The fast engine's SIMD arithmetic, compiled once per instruction set by Highway's
// foreach_target and chosen at run time (see core/fast/fast_kernel.h).
//
// The layered solution is that of core/layered_solution.cpp (Kienle et al., Appl. Opt. 37,
// 779, 1998; Liemert and Kienle, J. Biomed. Opt. 15, 025003, 2010), with every hyperbolic
// function scaled by its growth: the extended engine multiplies cosh and sinh of the layers'
// arguments, which outgrow the double range from a total optical thickness of about 700 at
// the highest spatial frequency, while the solution depends only on their ratios. With
// E = exp(-2 w), 2 e^(-w) cosh w = 1 + E and 2 e^(-w) sinh w = 1 - E, so the recursion from
// the bottom carries (beta, gamma) times the product of the factors 2 e^(-w), and the top
// layer's correction
//   K S = (B - C) / (B cosh T + C sinh T) sinh(a0 (z0 + zb)) cosh(a0 zb) e^(-T),  T = a0 (l0 + zb)
// becomes, with q = e^(-2T) and E(x) = exp(-a0 x),
//   rho' E(2 l0) (1 + E(2 zb)) (E(-z0) - E(z0) E(2 zb)) / 2,  rho' = (B - C) / ((B + C) + (B - C) q),
// so that nothing grows beyond exp(a0 z0) (z0 < 2 zb always) and no exponential is formed
// whose size the result does not need.
//
// Precision. At large distances the transform is a sum whose terms cancel to 1e-8 of their
// size and less (at 50 mm the curve lies seven or eight decades below that at 5 mm), so an
// error of one ulp at every point leaves the result wrong in the eighth digit, whatever the
// order of the sum. What the terms are made of is therefore carried in double-double
// arithmetic (a double and the double nearest to its error; Dekker, Numer. Math. 18, 224, 1971)
// where it is large:
//  - the top layer's half-space term (E(z0) + E(z0 + 2 zb)) / 2, with the decay constants of the
//    top two layers refined by a Newton step, exponents carrying their rounding errors, and the
//    exponential and the phase factor from tables of 2^(j/64) and of sin, cos(2 pi j / 64) held
//    to 1e-19, with short Taylor polynomials on the remainders;
//  - B + C and B - C and the reflection (B - C) / ((B + C) + (B - C) q), refined by one Newton
//    step, and the factors of the top layer's correction, which rival the half-space term when
//    the top layer is thin.
// Differences of neighbouring layers (a_k D_k - nu a_(k+1) D_(k+1), beta - gamma) are formed
// without cancellation. The recursion through the lower layers runs in double, with Highway's
// exp and a sine and cosine from one reduction on the same table. The weighted sums carry every
// product's and sum's rounding error. Against a binary128 evaluation of the same quadrature the
// curves agree to a few 1e-9 within 1e-3 of the peak at 50 mm, closer than the extended engine.

// Compiled for AVX-512, AVX2 and the portable baseline only: SSE4 and SSSE3 machines take the
// baseline. Each target compiles the whole kernel again, and sanitizer builds pay minutes each.
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS (HWY_SSSE3 | HWY_SSE4)
#endif
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/fast/fast_kernel.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h

#include <hwy/highway.h>
#include <hwy/contrib/math/math-inl.h>

#include "core/fast/fast_kernel.h"

#if HWY_ONCE
#include <array>
#include <cmath>

#include "core/ext_math.h"
#endif

HWY_BEFORE_NAMESPACE();
namespace nlayer::fast {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<double>;
using V = hn::Vec<D>;
using DI = hn::RebindToSigned<D>;

// ---- Double arithmetic on complex vectors.

struct Cx {
  V re, im;
};

HWY_INLINE Cx Add(Cx a, Cx b) { return {hn::Add(a.re, b.re), hn::Add(a.im, b.im)}; }
HWY_INLINE Cx Sub(Cx a, Cx b) { return {hn::Sub(a.re, b.re), hn::Sub(a.im, b.im)}; }
HWY_INLINE Cx Scale(Cx a, V k) { return {hn::Mul(a.re, k), hn::Mul(a.im, k)}; }
HWY_INLINE Cx Mul(Cx a, Cx b) {
  return {hn::MulSub(a.re, b.re, hn::Mul(a.im, b.im)), hn::MulAdd(a.re, b.im, hn::Mul(a.im, b.re))};
}
// a times the conjugate of b.
HWY_INLINE Cx MulConj(Cx a, Cx b) {
  return {hn::MulAdd(a.re, b.re, hn::Mul(a.im, b.im)), hn::MulSub(a.im, b.re, hn::Mul(a.re, b.im))};
}
// a / b through one reciprocal of |b|^2 (half an ulp more than two quotients, one division less).
HWY_INLINE Cx Div(Cx a, Cx b) {
  const V inverse_norm = hn::Div(hn::Set(D(), 1.0), hn::MulAdd(b.re, b.re, hn::Mul(b.im, b.im)));
  return Scale(MulConj(a, b), inverse_norm);
}
HWY_INLINE Cx OnePlus(D d, Cx a) { return {hn::Add(hn::Set(d, 1.0), a.re), a.im}; }
HWY_INLINE Cx OneMinus(D d, Cx a) { return {hn::Sub(hn::Set(d, 1.0), a.re), hn::Neg(a.im)}; }

// The decay constant sqrt(x + iy) for x > 0, y >= 0. The imaginary part is y / (2 re), not
// sqrt((m - x) / 2): no cancellation when y is small next to x.
HWY_INLINE Cx DecayConstant(D d, V x, V y) {
  const V half = hn::Set(d, 0.5);
  const V m = hn::Sqrt(hn::MulAdd(x, x, hn::Mul(y, y)));
  const V re = hn::Sqrt(hn::Mul(hn::Add(m, x), half));
  return {re, hn::Div(hn::Mul(y, half), re)};
}

// Below e^-600 an exponential is negligible next to the O(1) terms it joins; clamping there
// keeps products of such terms out of the subnormal range and phases inside the range where
// the reductions below are exact. A clamped phase belongs to a factor of at most e^-600,
// because Im a <= Re a.
constexpr double kExponentFloor = -600.0;
constexpr double kExponentCeiling = 700.0;

HWY_INLINE V ClampPhase(D d, V angle) {
  const V limit = hn::Set(d, -kExponentFloor);
  return hn::Min(hn::Max(angle, hn::Neg(limit)), limit);
}

// The bound of the top layer's correction relative to the half-space term below which the
// correction is formed in double only (TopCorrection).
constexpr double kNegligibleCorrection = 0x1p-20;
constexpr double kNegligibleCorrectionDecay = 16.7;  // > ln(4 / kNegligibleCorrection) = 15.25
// Exponents beyond which a decay is left out (LowerRecursion, CorrectionInDouble):
// e^-44.5 < 2^-64, and 4 e^-46 < 2^-64.
constexpr double kVanishingDecay = 44.5;
constexpr double kVanishingDecayDD = 50.0;  // for the double-double terms
// Below e^-16.7 (6e-8), E(2 zb) is formed in double even where the point is not: its error of
// some 1e-14 (the rounding of an exponent of about 30 at most) is then below 1e-21 of the 1 it joins.
constexpr double kDoubleImageDecay = 16.7;
constexpr double kVanishingCorrectionDecay = 46.0;

// The size below which a point's term, relative to the largest term of the same sum before it,
// is formed in double only (EvaluateSolution).
constexpr double kNegligiblePoint = 0x1p-17;

HWY_INLINE V DecayModulus(D d, V exponent) { return hn::Exp(d, hn::Max(exponent, hn::Set(d, kExponentFloor))); }

// ---- Double-double arithmetic: hi + lo with |lo| at most a few ulp of |hi|.

struct DD {
  V hi, lo;
};
struct DDCx {
  DD re, im;
};

// The rounding error of the product p = a b: exact with a fused multiply-add, and by
// Veltkamp's split and Dekker's product on targets without one, so that every target keeps
// the precision.
HWY_INLINE V ProductError(V a, V b, V p) {
#if HWY_NATIVE_FMA
  return hn::MulSub(a, b, p);
#else
  const D d;
  const V splitter = hn::Set(d, 134217729.0);  // 2^27 + 1
  const V ta = hn::Mul(splitter, a);
  const V a_hi = hn::Sub(ta, hn::Sub(ta, a));
  const V a_lo = hn::Sub(a, a_hi);
  const V tb = hn::Mul(splitter, b);
  const V b_hi = hn::Sub(tb, hn::Sub(tb, b));
  const V b_lo = hn::Sub(b, b_hi);
  return hn::Add(hn::Add(hn::Add(hn::Sub(hn::Mul(a_hi, b_hi), p), hn::Mul(a_hi, b_lo)), hn::Mul(a_lo, b_hi)),
                 hn::Mul(a_lo, b_lo));
#endif
}

HWY_INLINE DD TwoProd(V a, V b) {
  const V p = hn::Mul(a, b);
  return {p, ProductError(a, b, p)};
}

// Knuth's two-sum: a + b = hi + lo exactly.
HWY_INLINE DD TwoSum(V a, V b) {
  const V s = hn::Add(a, b);
  const V bb = hn::Sub(s, a);
  return {s, hn::Add(hn::Sub(a, hn::Sub(s, bb)), hn::Sub(b, bb))};
}

// a + b = hi + lo exactly for |a| >= |b| (Dekker's fast two-sum): renormalises a pair.
HWY_INLINE DD FastTwoSum(V a, V b) {
  const V s = hn::Add(a, b);
  return {s, hn::Sub(b, hn::Sub(s, a))};
}

HWY_INLINE DD MulDD(DD a, DD b) {
  const DD p = TwoProd(a.hi, b.hi);
  return {p.hi, hn::MulAdd(a.hi, b.lo, hn::MulAdd(a.lo, b.hi, p.lo))};
}

HWY_INLINE DDCx MulDD(DDCx a, DDCx b) {
  const DD rr = TwoProd(a.re.hi, b.re.hi);
  const DD ii = TwoProd(a.im.hi, b.im.hi);
  const DD ri = TwoProd(a.re.hi, b.im.hi);
  const DD ir = TwoProd(a.im.hi, b.re.hi);
  const DD re = TwoSum(rr.hi, hn::Neg(ii.hi));
  const DD im = TwoSum(ri.hi, ir.hi);
  V re_lo = hn::Add(re.lo, hn::Sub(rr.lo, ii.lo));
  re_lo = hn::MulAdd(a.re.hi, b.re.lo, hn::MulAdd(a.re.lo, b.re.hi, re_lo));
  re_lo = hn::NegMulAdd(a.im.hi, b.im.lo, hn::NegMulAdd(a.im.lo, b.im.hi, re_lo));
  V im_lo = hn::Add(im.lo, hn::Add(ri.lo, ir.lo));
  im_lo = hn::MulAdd(a.re.hi, b.im.lo, hn::MulAdd(a.re.lo, b.im.hi, im_lo));
  im_lo = hn::MulAdd(a.im.hi, b.re.lo, hn::MulAdd(a.im.lo, b.re.hi, im_lo));
  return {{re.hi, re_lo}, {im.hi, im_lo}};
}

// Taylor coefficients 1/n!, written as the doubles nearest to them: with -frounding-math the
// compiler would not fold the quotients and would divide at run time.
constexpr double kInverse3Factorial = 0x1.5555555555555p-3;  // 1/6
constexpr double kInverse4Factorial = 0x1.5555555555555p-5;  // 1/24
constexpr double kInverse5Factorial = 0x1.1111111111111p-7;  // 1/120
constexpr double kInverse6Factorial = 0x1.6c16c16c16c17p-10;  // 1/720
constexpr double kInverse7Factorial = 0x1.a01a01a01a01ap-13;  // 1/5040
constexpr double kInverse8Factorial = 0x1.a01a01a01a01ap-16;  // 1/40320
constexpr double kInverse9Factorial = 0x1.71de3a556c734p-19;  // 1/362880
constexpr double kInverse10Factorial = 0x1.27e4fb7789f5cp-22;  // 1/3628800

// Cody-Waite constants: the high parts have so few bits that k times them is exact for every
// k the clamped arguments give (|k| < 2^17 for the exponential, < 2^13 for the phase), so the
// first step of each reduction is exact with or without a fused multiply-add.
constexpr double kSixtyFourOverLn2 = 0x1.71547652b82fep+6;
constexpr double kLn2Over64Hi = 0x1.62e42fefa0000p-7;
constexpr double kLn2Over64Lo = 0x1.cf79abc9e3b3ap-46;
constexpr double kSixtyFourOverTwoPi = 0x1.45f306dc9c883p+3;
constexpr double kTwoPiOver64Hi = 0x1.921fb54444000p-4;
constexpr double kTwoPiOver64Lo = -0x1.2e7b9676733afp-44;

// exp(t + t_lo) for t in [-600, 700] and |t_lo| tiny next to 1: 2^(k/64) from the table times
// exp(r), r = t - k ln2 / 64 (|r| <= ln2 / 128) as r_hi + r_lo, with
// exp(r) = 1 + r_hi + q + r_lo (1 + r_hi) and q the Taylor terms from r^2 to r^7 (what is left
// out is below 3e-20 of the result).
HWY_INLINE DD ExpDD(D d, V t, V t_lo, const double* HWY_RESTRICT table) {
  const DI di;
  const V k = hn::Round(hn::Mul(t, hn::Set(d, kSixtyFourOverLn2)));
  // The remainder, renormalised so that its low part is below half an ulp of the high part
  // and the terms of second order in it vanish.
  const DD r = TwoSum(hn::NegMulAdd(k, hn::Set(d, kLn2Over64Hi), t), hn::NegMulAdd(k, hn::Set(d, kLn2Over64Lo), t_lo));
  const V r_hi = r.hi;
  const V r_lo = r.lo;
  const auto ki = hn::ConvertTo(di, k);
  const auto j = hn::And(ki, hn::Set(di, 63));
  const auto e = hn::ShiftRight<6>(ki);
  const V scale = hn::BitCast(d, hn::ShiftLeft<52>(hn::Add(e, hn::Set(di, 1023))));
  const V t_hi = hn::GatherIndex(d, table, j);
  const V t_lo_table = hn::GatherIndex(d, table + 64, j);

  V q = hn::MulAdd(r_hi, hn::Set(d, kInverse7Factorial), hn::Set(d, kInverse6Factorial));
  q = hn::MulAdd(r_hi, q, hn::Set(d, kInverse5Factorial));
  q = hn::MulAdd(r_hi, q, hn::Set(d, kInverse4Factorial));
  q = hn::MulAdd(r_hi, q, hn::Set(d, kInverse3Factorial));
  q = hn::MulAdd(r_hi, q, hn::Set(d, 0.5));
  q = hn::Mul(hn::Mul(r_hi, r_hi), q);
  const V rest = hn::MulAdd(r_hi, r_lo, hn::Add(q, r_lo));  // exp(r) - 1 - r_hi
  const DD p = TwoProd(t_hi, r_hi);
  const DD s = TwoSum(t_hi, p.hi);
  const V lo = hn::MulAdd(t_hi, rest, hn::MulAdd(t_lo_table, r_hi, hn::Add(t_lo_table, hn::Add(s.lo, p.lo))));
  const DD normalised = FastTwoSum(s.hi, lo);
  return {hn::Mul(normalised.hi, scale), hn::Mul(normalised.lo, scale)};
}

// cos and sin of x + x_lo for |x| <= 600: the table's values at k 2 pi / 64 rotated by
// r = x - k 2 pi / 64 (|r| <= pi / 64) as r_hi + r_lo, with
// sin r = r_hi + s_c and cos r = 1 + c_c from Taylor terms up to r^9 and r^10.
struct CosSinDD {
  DD cos, sin;
};

HWY_INLINE CosSinDD CosSinOfDD(D d, V x, V x_lo, const double* HWY_RESTRICT table) {
  const DI di;
  const V k = hn::Round(hn::Mul(x, hn::Set(d, kSixtyFourOverTwoPi)));
  const DD r = TwoSum(hn::NegMulAdd(k, hn::Set(d, kTwoPiOver64Hi), x), hn::NegMulAdd(k, hn::Set(d, kTwoPiOver64Lo), x_lo));
  const V r_hi = r.hi;
  const V r_lo = r.lo;
  const auto j = hn::And(hn::ConvertTo(di, k), hn::Set(di, 63));
  const V sin_hi = hn::GatherIndex(d, table, j);
  const V sin_lo = hn::GatherIndex(d, table + 64, j);
  const V cos_hi = hn::GatherIndex(d, table + 128, j);
  const V cos_lo = hn::GatherIndex(d, table + 192, j);

  const V z = hn::Mul(r_hi, r_hi);
  V ps = hn::MulAdd(z, hn::Set(d, kInverse9Factorial), hn::Set(d, -kInverse7Factorial));
  ps = hn::MulAdd(z, ps, hn::Set(d, kInverse5Factorial));
  ps = hn::MulAdd(z, ps, hn::Set(d, -kInverse3Factorial));
  const V s_c = hn::MulAdd(hn::Mul(z, r_hi), ps, hn::NegMulAdd(hn::Mul(z, hn::Set(d, 0.5)), r_lo, r_lo));
  V pc = hn::MulAdd(z, hn::Set(d, -kInverse10Factorial), hn::Set(d, kInverse8Factorial));
  pc = hn::MulAdd(z, pc, hn::Set(d, -kInverse6Factorial));
  pc = hn::MulAdd(z, pc, hn::Set(d, kInverse4Factorial));
  pc = hn::MulAdd(z, pc, hn::Set(d, -0.5));
  const V c_c = hn::NegMulAdd(r_hi, r_lo, hn::Mul(z, pc));

  // sin x = S (1 + c_c) + C (r_hi + s_c),  cos x = C (1 + c_c) - S (r_hi + s_c).
  const DD cr = TwoProd(cos_hi, r_hi);
  const DD sr = TwoProd(sin_hi, r_hi);
  const DD sin_sum = TwoSum(sin_hi, cr.hi);
  const DD cos_sum = TwoSum(cos_hi, hn::Neg(sr.hi));
  V sin_rest = hn::Add(hn::Add(sin_sum.lo, cr.lo), sin_lo);
  sin_rest = hn::MulAdd(sin_hi, c_c, hn::MulAdd(cos_hi, s_c, hn::MulAdd(cos_lo, r_hi, sin_rest)));
  V cos_rest = hn::Add(hn::Sub(cos_sum.lo, sr.lo), cos_lo);
  cos_rest = hn::MulAdd(cos_hi, c_c, hn::NegMulAdd(sin_hi, s_c, hn::NegMulAdd(sin_lo, r_hi, cos_rest)));
  return {FastTwoSum(cos_sum.hi, cos_rest), FastTwoSum(sin_sum.hi, sin_rest)};
}

// exp(-i angle) in double: the table's leading parts rotated by the remainder, one reduction
// for both functions (about 1 ulp).
HWY_INLINE Cx Phase(D d, V angle, const double* HWY_RESTRICT table) {
  const DI di;
  const V x = ClampPhase(d, angle);
  const V k = hn::Round(hn::Mul(x, hn::Set(d, kSixtyFourOverTwoPi)));
  const V r = hn::NegMulAdd(k, hn::Set(d, kTwoPiOver64Lo), hn::NegMulAdd(k, hn::Set(d, kTwoPiOver64Hi), x));
  const auto j = hn::And(hn::ConvertTo(di, k), hn::Set(di, 63));
  const V sin_k = hn::GatherIndex(d, table, j);
  const V cos_k = hn::GatherIndex(d, table + 128, j);
  const V z = hn::Mul(r, r);
  V ps = hn::MulAdd(z, hn::Set(d, kInverse9Factorial), hn::Set(d, -kInverse7Factorial));
  ps = hn::MulAdd(z, ps, hn::Set(d, kInverse5Factorial));
  ps = hn::MulAdd(z, ps, hn::Set(d, -kInverse3Factorial));
  const V sin_r = hn::MulAdd(hn::Mul(z, r), ps, r);
  V pc = hn::MulAdd(z, hn::Set(d, -kInverse10Factorial), hn::Set(d, kInverse8Factorial));
  pc = hn::MulAdd(z, pc, hn::Set(d, -kInverse6Factorial));
  pc = hn::MulAdd(z, pc, hn::Set(d, kInverse4Factorial));
  pc = hn::MulAdd(z, pc, hn::Set(d, -0.5));
  const V cos_r_minus_1 = hn::Mul(z, pc);
  const V sin_x = hn::MulAdd(sin_k, cos_r_minus_1, hn::MulAdd(cos_k, sin_r, sin_k));
  const V cos_x = hn::MulAdd(cos_k, cos_r_minus_1, hn::NegMulAdd(sin_k, sin_r, cos_k));
  return {cos_x, hn::Neg(sin_x)};
}

// exp(-a len) for Re a >= 0 and len >= 0.
HWY_INLINE Cx ExpOfMinus(D d, Cx a, V len, const double* HWY_RESTRICT table) {
  return Scale(Phase(d, hn::Mul(a.im, len), table), DecayModulus(d, hn::Neg(hn::Mul(a.re, len))));
}

// ---- The top layer's decay constant and exponentials, with their rounding errors.

struct SplitCx {
  Cx hi, lo;
};

// sqrt(x + iy) for x > 0, y >= 0 (x and y given as hi + lo), refined by one Newton step on the
// residual (x + iy) - a^2. The residual is formed almost exactly: the products' errors are
// exact, x - a.re^2 is split exactly, and the remaining leading sums are exact by Sterbenz's
// lemma (x - a.re^2 is close to -a.im^2, and 2 a.re a.im to y).
// `a` is DecayConstant(x_hi, y_hi).
HWY_INLINE SplitCx RefineDecayConstant(D d, Cx a, V x_hi, V x_lo, V y_hi, V y_lo) {
  const DD p = TwoProd(a.re, a.re);
  const DD q = TwoProd(a.im, a.im);
  const DD u = TwoProd(a.re, a.im);
  const DD x_minus_p = TwoSum(x_hi, hn::Neg(p.hi));
  const V two = hn::Set(d, 2.0);
  const V res_re = hn::Add(hn::Add(x_minus_p.hi, q.hi), hn::Add(hn::Add(x_minus_p.lo, hn::Sub(x_lo, p.lo)), q.lo));
  const V res_im = hn::Add(hn::NegMulAdd(two, u.hi, y_hi), hn::NegMulAdd(two, u.lo, y_lo));
  // delta = residual / (2 a) = residual conj(a) / (2 |a|^2).
  const V scale = hn::Div(hn::Set(d, 0.5), hn::MulAdd(a.re, a.re, q.hi));
  return {a, Scale(MulConj({res_re, res_im}, a), scale)};
}

// The exponent a x of the split decay constant and a split length, as hi + lo per part.
struct SplitExponent {
  DD re, im;
};

HWY_INLINE SplitExponent ExponentOf(const SplitCx& a, V x_hi, V x_lo) {
  const DD re = TwoProd(a.hi.re, x_hi);
  const DD im = TwoProd(a.hi.im, x_hi);
  return {{re.hi, hn::MulAdd(a.lo.re, x_hi, hn::MulAdd(a.hi.re, x_lo, re.lo))},
          {im.hi, hn::MulAdd(a.lo.im, x_hi, hn::MulAdd(a.hi.im, x_lo, im.lo))}};
}

HWY_INLINE DD DecayModulusDD(D d, const DD& exponent_re, const KernelModel& m) {
  const V t = hn::Min(hn::Max(hn::Neg(exponent_re.hi), hn::Set(d, kExponentFloor)), hn::Set(d, kExponentCeiling));
  return ExpDD(d, t, hn::Neg(exponent_re.lo), m.exp2_table);
}

// exp(-a x) in double-double. Not inlined at its three calls, which keeps the compilation of
// the kernel short at no measurable cost.
HWY_NOINLINE DDCx ExpOfMinusDD(D d, const SplitExponent& x, const KernelModel& m) {
  const DD modulus = DecayModulusDD(d, x.re, m);
  const CosSinDD phase = CosSinOfDD(d, ClampPhase(d, x.im.hi), x.im.lo, m.sincos_table);
  // Renormalised, the high parts serve as the double values of the exponential.
  const DD re = MulDD(modulus, phase.cos);
  const DD im = MulDD(modulus, phase.sin);
  return {FastTwoSum(re.hi, re.lo), FastTwoSum(hn::Neg(im.hi), hn::Neg(im.lo))};
}

// The double nearest to a double-double.
HWY_INLINE Cx Hi(const DDCx& z) { return {hn::Add(z.re.hi, z.re.lo), hn::Add(z.im.hi, z.im.lo)}; }

// The split complex a (hi + lo) times the double k.
HWY_INLINE DDCx ScaleDD(const SplitCx& a, V k) {
  const DD re = TwoProd(a.hi.re, k);
  const DD im = TwoProd(a.hi.im, k);
  return {{re.hi, hn::MulAdd(a.lo.re, k, re.lo)}, {im.hi, hn::MulAdd(a.lo.im, k, im.lo)}};
}

HWY_INLINE DD AddDD(DD a, DD b) {
  const DD s = TwoSum(a.hi, b.hi);
  return FastTwoSum(s.hi, hn::Add(s.lo, hn::Add(a.lo, b.lo)));
}
HWY_INLINE DDCx AddDD(const DDCx& a, const DDCx& b) { return {AddDD(a.re, b.re), AddDD(a.im, b.im)}; }

// A double-double complex times a double complex.
HWY_INLINE DDCx MulDDCx(const DDCx& a, Cx b) {
  const DD rr = TwoProd(a.re.hi, b.re);
  const DD ii = TwoProd(a.im.hi, b.im);
  const DD ri = TwoProd(a.re.hi, b.im);
  const DD ir = TwoProd(a.im.hi, b.re);
  const DD re = TwoSum(rr.hi, hn::Neg(ii.hi));
  const DD im = TwoSum(ri.hi, ir.hi);
  const V re_lo = hn::NegMulAdd(a.im.lo, b.im, hn::MulAdd(a.re.lo, b.re, hn::Add(re.lo, hn::Sub(rr.lo, ii.lo))));
  const V im_lo = hn::MulAdd(a.im.lo, b.re, hn::MulAdd(a.re.lo, b.im, hn::Add(im.lo, hn::Add(ri.lo, ir.lo))));
  return {{re.hi, re_lo}, {im.hi, im_lo}};
}

HWY_INLINE V Norm(Cx a) { return hn::MulAdd(a.re, a.re, hn::Mul(a.im, a.im)); }

// a_k - a_(k+1) = (a_k^2 - a_(k+1)^2) / (a_k + a_(k+1)): s^2 drops out of the numerator.
HWY_INLINE Cx DecayStep(D d, const KernelModel& m, const double* HWY_RESTRICT omega_term_steps, int k, Cx a, Cx a_below) {
  return Div({hn::Set(d, m.mua_over_d_step[k]), hn::Set(d, omega_term_steps[k])}, Add(a, a_below));
}

// The top layer's decay constant, split, the point's s^2, and for the sizes of its term:
// |rule weight · s / (2 pi)| (`magnitude`) and the square of the size below which a term is
// negligible in the sum (`negligible_size`, see EvaluateSolution).
struct PointTerms {
  V s2_hi, s2_lo;
  SplitCx a0;
  V magnitude, negligible_size;
};

// x = s^2 + mua / D of layer k with the rounding error of the sum (the top layer's term split).
HWY_INLINE DD SquaredDecayReal(D d, const KernelModel& m, V s2_hi, V s2_lo, int k) {
  const Split mua_over_d = k == 0 ? m.top_mua_over_d : Split{m.mua_over_d[k], 0.0};
  const DD x = TwoSum(s2_hi, hn::Set(d, mua_over_d.hi));
  return {x.hi, hn::Add(x.lo, hn::Add(s2_lo, hn::Set(d, mua_over_d.lo)))};
}

// What the recursion from the bottom layer up to the second leaves for the top layer: (beta,
// gamma) ~ (sinh, cosh) scaled by the product of the factors 2 e^-w, and their difference.
struct LowerLayers {
  Cx beta, gamma, beta_minus_gamma;
};

// The recursion through the layers below the top, in double, given the second layer's decay
// constant a1.
HWY_INLINE LowerLayers LowerRecursion(D d, const KernelModel& m, const double* HWY_RESTRICT omega_terms,
                                      const double* HWY_RESTRICT omega_term_steps, V s2_hi, Cx a1) {
  const int bottom = m.layers - 1;
  auto decay_constant = [&](int k) {
    return k == 1 ? a1 : DecayConstant(d, hn::Add(s2_hi, hn::Set(d, m.mua_over_d[k])), hn::Set(d, omega_terms[k]));
  };
  // The bottom layer: (beta, gamma) ~ (sinh u, cosh u), u = a (l + zb), scaled by 2 e^-u, and
  // their difference, which the recursion carries on its own.
  // Where E = e^(-2 Re a (l + zb)) is below 2^-64 in every lane, 1 - E and 1 + E are 1 and their
  // difference, relative to them, below the rounding the recursion makes anyway: the exponential
  // is not formed. The same holds for the layers above, where the difference (t - s) E is below
  // 2^-60 of t + s.
  const V vanishing_decay = hn::Set(d, kVanishingDecay);
  Cx a_below = decay_constant(bottom);
  const V bottom_depth = hn::Set(d, m.twice_depth[bottom]);
  LowerLayers r{{hn::Set(d, 1.0), hn::Zero(d)}, {hn::Set(d, 1.0), hn::Zero(d)}, {hn::Zero(d), hn::Zero(d)}};
  if (!hn::AllTrue(d, hn::Ge(hn::Mul(a_below.re, bottom_depth), vanishing_decay))) {
    const Cx e_bottom = ExpOfMinus(d, a_below, bottom_depth, m.sincos_table);
    r = {OneMinus(d, e_bottom), OnePlus(d, e_bottom), Scale(e_bottom, hn::Set(d, -2.0))};
  }
  // Layer by layer up to the second: beta' = t cosh w + s sinh w, gamma' = s cosh w + t sinh w
  // with t = a_k D_k beta, s = nu_(k+1) a_(k+1) D_(k+1) gamma, scaled by 2 e^-w, so
  // beta' = (t + s) + (t - s) E and gamma' = (t + s) - (t - s) E. Where neighbouring layers are
  // alike, t - s cancels; it is formed as
  //   a_k D_k (beta - gamma) + (D_k (a_k - a_(k+1)) + a_(k+1) (D_k - nu_(k+1) D_(k+1))) gamma.
  for (int k = bottom - 1; k >= 1; --k) {
    const Cx a = decay_constant(k);
    const Cx upper = Scale(a, hn::Set(d, m.diff_coef[k]));
    const Cx sum = Add(Mul(upper, r.beta), Mul(Scale(a_below, hn::Set(d, m.nu_diff_coef[k + 1])), r.gamma));
    const Cx factor_step = Add(Scale(DecayStep(d, m, omega_term_steps, k, a, a_below), hn::Set(d, m.diff_coef[k])),
                               Scale(a_below, hn::Set(d, m.diff_coef_step[k])));
    const Cx t_minus_s = Add(Mul(upper, r.beta_minus_gamma), Mul(factor_step, r.gamma));
    const V depth = hn::Set(d, m.twice_depth[k]);
    // |t - s| <= 16 |t + s| and E below 2^-64.
    const auto vanishing = hn::And(hn::Ge(hn::Mul(a.re, depth), vanishing_decay),
                                   hn::Le(Norm(t_minus_s), hn::Mul(hn::Set(d, 256.0), Norm(sum))));
    if (hn::AllTrue(d, vanishing)) {
      r = {sum, sum, {hn::Zero(d), hn::Zero(d)}};
    } else {
      const Cx difference = Mul(t_minus_s, ExpOfMinus(d, a, depth, m.sincos_table));
      r = {Add(sum, difference), Sub(sum, difference), Add(difference, difference)};
    }
    a_below = a;
  }
  return r;
}

// The top layer's correction formed in double,
//   (B - C) / ((B + C) + (B - C) q) (1 + E(2 zb)) E(2 l0 - z0) (1 - E(z0)^2 E(2 zb)) / 2,
// with B + C = a0 D0 beta + nu1 a1 D1 gamma and B - C formed without cancellation; its
// relative error is a few ulp wherever the denominator cannot cancel, which `safe` marks:
// |B - C| |q| <= |B + C| / 2, q = E(2 l0) E(2 zb). `negligible` marks where the correction is
// below kNegligibleCorrection of the half-space term E(z0) (1 + E(2 zb)) / 2 it joins: their
// ratio is rho' E(2 l0 - 2 z0) (1 - E(2 z0 + 2 zb)), and |rho'| <= 2 |B - C| / |B + C| where safe.
struct DoubleCorrection {
  Cx value;
  hn::Mask<D> safe, negligible;
};

HWY_INLINE DoubleCorrection CorrectionInDouble(D d, const KernelModel& m, const double* HWY_RESTRICT omega_term_steps,
                                               Cx a0, Cx a1, const LowerLayers& lower, Cx e_z0, Cx e_2zb) {
  const Cx upper = Scale(a0, hn::Set(d, m.diff_coef[0]));
  const Cx below = Scale(a1, hn::Set(d, m.nu_diff_coef[1]));
  const Cx factor_step = Add(Scale(DecayStep(d, m, omega_term_steps, 0, a0, a1), hn::Set(d, m.diff_coef[0])),
                             Scale(a1, hn::Set(d, m.diff_coef_step[0])));
  const Cx b_plus_c = Add(Mul(upper, lower.beta), Mul(below, lower.gamma));
  const Cx b_minus_c = Add(Mul(upper, lower.beta_minus_gamma), Mul(factor_step, lower.gamma));
  const V plus_norm = Norm(b_plus_c);
  const V minus_norm = Norm(b_minus_c);
  const V twice_top_minus_twice_z0 = hn::Sub(hn::Set(d, m.twice_top_minus_z0.hi), hn::Set(d, m.z0.hi));
  const V top_decay = hn::Mul(a0.re, twice_top_minus_twice_z0);
  const auto reflection_bounded = hn::Le(minus_norm, plus_norm);  // |rho'| <= 2 where safe
  // Below 2^-62 of the half-space term in every lane (2 · 2 e^(-Re a0 (2 l0 - 2 z0)) with
  // |rho'| <= 2, and q below 2^-64 so that the denominator is safe): the correction is below the
  // rounding of the value it joins and is left out.
  const auto vanishing = hn::And(reflection_bounded, hn::Ge(top_decay, hn::Set(d, kVanishingCorrectionDecay)));
  if (hn::AllTrue(d, vanishing)) {
    const auto all = hn::Eq(top_decay, top_decay);  // every lane, as all of them passed
    return {{hn::Zero(d), hn::Zero(d)}, all, all};
  }
  const Cx e_2top_minus_z0 = ExpOfMinus(d, a0, hn::Set(d, m.twice_top_minus_z0.hi), m.sincos_table);
  const Cx e_z0_squared = Mul(e_z0, e_z0);
  const Cx q = Mul(Mul(e_2top_minus_z0, e_z0), e_2zb);
  const Cx reflection = Div(b_minus_c, Add(b_plus_c, Mul(b_minus_c, q)));
  const Cx images = OneMinus(d, Mul(e_z0_squared, e_2zb));
  const Cx factors = Mul(Mul(OnePlus(d, e_2zb), e_2top_minus_z0), images);
  const Cx value = Mul(factors, Scale(reflection, hn::Set(d, 0.5)));

  const auto safe = hn::Le(hn::Mul(hn::Mul(minus_norm, Norm(q)), hn::Set(d, 4.0)), plus_norm);
  // Negligible where |B - C| <= |B + C| (so |rho'| <= 2) and 2 · 2 e^(-Re a0 (2 l0 - 2 z0)) is
  // below kNegligibleCorrection, that is Re a0 (2 l0 - 2 z0) >= ln(4 / kNegligibleCorrection):
  // a bound without an exponential.
  const auto negligible = hn::And(reflection_bounded, hn::Ge(top_decay, hn::Set(d, kNegligibleCorrectionDecay)));
  return {value, safe, hn::And(safe, negligible)};
}

// The correction of the top layer by what lies below it, for a stack of at least two layers:
// in double where it is negligible next to the half-space term (below kNegligibleCorrection of
// it, so that its error is below 1e-20 of the point's value) or its term negligible in the sum,
// else in double-double. Deep in the rule, where s l0 is large, that is most points. Not
// inlined, as ExpOfMinusDD.
HWY_NOINLINE DDCx TopCorrection(D d, const KernelModel& m, const double* HWY_RESTRICT omega_terms,
                              const double* HWY_RESTRICT omega_term_steps, const PointTerms& pt,
                              const DDCx& e_z0, const DDCx& e_2zb, const DDCx& images_sum) {
  const Cx a0 = Add(pt.a0.hi, pt.a0.lo);
  // The second layer's decay constant, refined: it enters the top's reflection directly, and
  // the recursion and the short way take it rounded to double, which at large distances keeps
  // a few 1e-10 of the curve that its plain double value (an ulp or two off) would lose.
  const DD x1 = SquaredDecayReal(d, m, pt.s2_hi, pt.s2_lo, 1);
  const V omega_1 = hn::Set(d, omega_terms[1]);
  const SplitCx refined_a1 = RefineDecayConstant(d, DecayConstant(d, x1.hi, omega_1), x1.hi, x1.lo, omega_1, hn::Zero(d));
  const Cx a1 = Add(refined_a1.hi, refined_a1.lo);
  const LowerLayers lower = LowerRecursion(d, m, omega_terms, omega_term_steps, pt.s2_hi, a1);
  const DoubleCorrection quick = CorrectionInDouble(d, m, omega_term_steps, a0, a1, lower, Hi(e_z0), Hi(e_2zb));
  // The double correction serves also where its own term is negligible in the sum, whatever
  // its size next to the half-space term.
  const V size = hn::Mul(hn::Mul(pt.magnitude, pt.magnitude), Norm(quick.value));
  if (hn::AllTrue(d, hn::Or(quick.negligible, hn::And(quick.safe, hn::Le(size, pt.negligible_size))))) {
    return {{quick.value.re, hn::Zero(d)}, {quick.value.im, hn::Zero(d)}};
  }
  const Cx& beta = lower.beta;
  const Cx& gamma = lower.gamma;
  const Cx& beta_minus_gamma = lower.beta_minus_gamma;

  // B + C = a0 D0 beta + nu1 a1 D1 gamma and B - C, the same way, in double-double.
  const DDCx upper = ScaleDD(pt.a0, hn::Set(d, m.diff_coef[0]));
  const DDCx lower_factor = ScaleDD(refined_a1, hn::Set(d, m.nu_diff_coef[1]));
  const SplitCx step_a{DecayStep(d, m, omega_term_steps, 0, a0, a1), {hn::Zero(d), hn::Zero(d)}};
  const DDCx factor_step = AddDD(ScaleDD(step_a, hn::Set(d, m.diff_coef[0])), ScaleDD(refined_a1, hn::Set(d, m.diff_coef_step[0])));
  const DDCx b_plus_c = AddDD(MulDDCx(upper, beta), MulDDCx(lower_factor, gamma));
  const DDCx b_minus_c = AddDD(MulDDCx(upper, beta_minus_gamma), MulDDCx(factor_step, gamma));
  // E(2 l0 - z0), whose modulus exceeds 1 by up to exp(a0 z0) when the top layer is thinner than
  // z0 / 2, and from it E(2 l0) = E(2 l0 - z0) E(z0), which only q needs.
  const DDCx e_2top_minus_z0 =
      ExpOfMinusDD(d, ExponentOf(pt.a0, hn::Set(d, m.twice_top_minus_z0.hi), hn::Set(d, m.twice_top_minus_z0.lo)), m);
  const Cx q = Mul(Mul(Hi(e_2top_minus_z0), Hi(e_z0)), Hi(e_2zb));

  // The reflection rho' = (B - C) / den, den = (B + C) + (B - C) q, q = E(2 l0) E(2 zb), with one
  // Newton step on its residual (B - C) - rho' den in double-double.
  const DDCx den = AddDD(b_plus_c, MulDDCx(b_minus_c, q));
  const Cx reflection0 = Div(Hi(b_minus_c), Hi(den));
  const DDCx product = MulDDCx(den, reflection0);
  const Cx residual = Hi(AddDD(b_minus_c, DDCx{{hn::Neg(product.re.hi), hn::Neg(product.re.lo)},
                                               {hn::Neg(product.im.hi), hn::Neg(product.im.lo)}}));
  const Cx reflection = Add(reflection0, Div(residual, Hi(den)));

  // 1 - E(z0)^2 E(2 zb).
  const DDCx reflected = MulDD(MulDD(e_z0, e_z0), e_2zb);
  const DD images_re = TwoSum(hn::Set(d, 1.0), hn::Neg(reflected.re.hi));
  const DDCx images{{images_re.hi, hn::Sub(images_re.lo, reflected.re.lo)},
                    {hn::Neg(reflected.im.hi), hn::Neg(reflected.im.lo)}};
  const DDCx factors = MulDD(MulDD(images_sum, e_2top_minus_z0), images);
  const V half = hn::Set(d, 0.5);
  return MulDDCx(factors, Scale(reflection, half));
}

// The image's factor E(2 zb) in double, left out where it is below e^-vanishing in every lane.
HWY_INLINE Cx ImageFactor(D d, const KernelModel& m, Cx a0, double vanishing) {
  const V twice_zb = hn::Set(d, m.twice_zb.hi);
  if (hn::AllTrue(d, hn::Ge(hn::Mul(a0.re, twice_zb), hn::Set(d, vanishing)))) return {hn::Zero(d), hn::Zero(d)};
  return ExpOfMinus(d, a0, twice_zb, m.sincos_table);
}

// The whole value of a point in double: the half-space term and, below it, the correction
// (CorrectionInDouble), for points whose contribution to the transform is negligible; `safe`
// as there (all lanes set for one layer).
struct DoubleValue {
  Cx value;
  hn::Mask<D> safe;
};

HWY_INLINE DoubleValue ValueInDouble(D d, const KernelModel& m, const double* HWY_RESTRICT omega_terms,
                                     const double* HWY_RESTRICT omega_term_steps, V s2_hi, Cx a0) {
  const Cx e_z0 = ExpOfMinus(d, a0, hn::Set(d, m.z0.hi), m.sincos_table);
  const Cx e_2zb = ImageFactor(d, m, a0, kVanishingDecay);
  // Safe in every lane where a0 is a number (x == x is false only for NaN).
  DoubleValue r{Scale(Mul(OnePlus(d, e_2zb), e_z0), hn::Set(d, 0.5)), hn::Eq(a0.re, a0.re)};
  if (m.layers >= 2) {
    const Cx a1 = DecayConstant(d, hn::Add(s2_hi, hn::Set(d, m.mua_over_d[1])), hn::Set(d, omega_terms[1]));
    const LowerLayers lower = LowerRecursion(d, m, omega_terms, omega_term_steps, s2_hi, a1);
    const DoubleCorrection correction = CorrectionInDouble(d, m, omega_term_steps, a0, a1, lower, e_z0, e_2zb);
    r.value = Add(r.value, correction.value);
    r.safe = correction.safe;
  }
  return r;
}

void EvaluateSolution(const KernelModel& m, const double* HWY_RESTRICT omega_terms,
                      const double* HWY_RESTRICT omega_term_steps, Split top_omega_term, const PointValues& out) {
  const D d;
  const std::size_t lanes = hn::Lanes(d);
  const V half = hn::Set(d, 0.5);
  auto hi = [&](Split v) { return hn::Set(d, v.hi); };
  auto lo = [&](Split v) { return hn::Set(d, v.lo); };

  // The points come in increasing s. Where every lane's |magnitude · value| is below
  // kNegligiblePoint of the largest one of the points before, computed the long way, the value
  // is taken in double: its error, some 1e-14 of it at most (the rounding of exponents of up to
  // about 30), is then below 1e-19 of the largest term of the sum. Such points are first
  // screened by a cheap bound of their size, the decay over the shorter of the two depths the
  // value decays with (z0, and 2 l0 - z0 below a top layer); after a vector that the screen
  // passes but the value fails, a few vectors go the long way before the next try.
  const V negligible_squared = hn::Set(d, kNegligiblePoint * kNegligiblePoint);
  const V screen_depth = hn::Set(d, m.screen_depth);
  double largest_squared = 0;
  V log_reference = hn::Zero(d);  // ln(kNegligiblePoint · largest)
  std::size_t next_try = 0;
  for (std::size_t p = 0; p < 960; p += lanes) {
    // The top layer's decay constant in double; the long way refines it.
    const V s2 = hn::Load(d, m.s2_hi + p);
    const Cx a0 = DecayConstant(d, hn::Add(s2, hi(m.top_mua_over_d)), hi(top_omega_term));
    const V magnitude = hn::Load(d, m.magnitude + p);
    if (largest_squared > 0 && p >= next_try) {
      const V reference = hn::Mul(negligible_squared, hn::Set(d, largest_squared));
      // In logarithms: ln(4 magnitude) - Re a0 depth <= ln(kNegligiblePoint · largest).
      const V screen = hn::NegMulAdd(a0.re, screen_depth, hn::Load(d, m.log_magnitude + p));
      if (hn::AllTrue(d, hn::Le(screen, log_reference))) {
        const DoubleValue quick = ValueInDouble(d, m, omega_terms, omega_term_steps, s2, a0);
        const V size = hn::Mul(hn::Mul(magnitude, magnitude), Norm(quick.value));
        if (hn::AllTrue(d, hn::And(quick.safe, hn::Le(size, reference)))) {
          hn::Store(quick.value.re, d, out.re_hi + p);
          hn::Store(hn::Zero(d), d, out.re_lo + p);
          hn::Store(quick.value.im, d, out.im_hi + p);
          hn::Store(hn::Zero(d), d, out.im_lo + p);
          continue;
        }
        next_try = p + 4 * lanes;
      }
    }
    PointTerms pt;
    pt.magnitude = magnitude;
    pt.negligible_size = hn::Mul(negligible_squared, hn::Set(d, largest_squared));
    pt.s2_hi = s2;
    pt.s2_lo = hn::Load(d, m.s2_lo + p);
    const DD x0 = SquaredDecayReal(d, m, pt.s2_hi, pt.s2_lo, 0);
    pt.a0 = RefineDecayConstant(d, a0, x0.hi, x0.lo, hi(top_omega_term), lo(top_omega_term));

    // The half-space term of source and image, E(z0) (1 + E(2 zb)) / 2.
    const DDCx e_z0 = ExpOfMinusDD(d, ExponentOf(pt.a0, hi(m.z0), lo(m.z0)), m);
    // E(2 zb) joins a 1: in double (or left out, below e^-50 = 2e-22) where it is small enough.
    DDCx e_2zb;
    if (hn::AllTrue(d, hn::Ge(hn::Mul(pt.a0.hi.re, hi(m.twice_zb)), hn::Set(d, kDoubleImageDecay)))) {
      const Cx e = ImageFactor(d, m, pt.a0.hi, kVanishingDecayDD);
      e_2zb = {{e.re, hn::Zero(d)}, {e.im, hn::Zero(d)}};
    } else {
      e_2zb = ExpOfMinusDD(d, ExponentOf(pt.a0, hi(m.twice_zb), lo(m.twice_zb)), m);
    }
    const DD one_plus = TwoSum(hn::Set(d, 1.0), e_2zb.re.hi);
    const DDCx images_sum{{one_plus.hi, hn::Add(one_plus.lo, e_2zb.re.lo)}, e_2zb.im};
    DDCx value = MulDD(images_sum, e_z0);
    value = {{hn::Mul(value.re.hi, half), hn::Mul(value.re.lo, half)},
             {hn::Mul(value.im.hi, half), hn::Mul(value.im.lo, half)}};

    if (m.layers >= 2) {
      value = AddDD(value, TopCorrection(d, m, omega_terms, omega_term_steps, pt, e_z0, e_2zb, images_sum));
    }
    hn::Store(value.re.hi, d, out.re_hi + p);
    hn::Store(value.re.lo, d, out.re_lo + p);
    hn::Store(value.im.hi, d, out.im_hi + p);
    hn::Store(value.im.lo, d, out.im_lo + p);
    const V size = hn::Mul(hn::Mul(pt.magnitude, pt.magnitude), Norm(Cx{value.re.hi, value.im.hi}));
    const double vector_largest = hn::GetLane(hn::MaxOfLanes(d, size));
    if (vector_largest > largest_squared) {
      largest_squared = vector_largest;
      log_reference = hn::Set(d, 0.5 * std::log(kNegligiblePoint * kNegligiblePoint * largest_squared));
    }
  }
  // The padding repeats the last point.
  for (std::size_t p = 960; p < kPaddedPoints; ++p) {
    out.re_hi[p] = out.re_hi[959];
    out.re_lo[p] = out.re_lo[959];
    out.im_hi[p] = out.im_hi[959];
    out.im_lo[p] = out.im_lo[959];
  }
}

// sum + (w_hi + w_lo)(v_hi + v_lo), with the rounding errors of the leading product and of the
// sum added to `carry`.
HWY_INLINE void Accumulate(V w_hi, V w_lo, V v_hi, V v_lo, V& sum, V& carry) {
  const DD product = TwoProd(w_hi, v_hi);
  const DD next = TwoSum(sum, product.hi);
  carry = hn::Add(carry, hn::MulAdd(w_lo, v_hi, hn::MulAdd(w_hi, v_lo, hn::Add(next.lo, product.lo))));
  sum = next.hi;
}

void WeightedSums(const double* HWY_RESTRICT weights_hi, const double* HWY_RESTRICT weights_lo,
                  const PointValues& values, long double& sum_re, long double& sum_im) {
  const D d;
  const std::size_t lanes = hn::Lanes(d);
  V re_sum = hn::Zero(d), re_carry = hn::Zero(d), im_sum = hn::Zero(d), im_carry = hn::Zero(d);
  for (std::size_t p = 0; p < kPaddedPoints; p += lanes) {
    const V w_hi = hn::Load(d, weights_hi + p);
    const V w_lo = hn::Load(d, weights_lo + p);
    Accumulate(w_hi, w_lo, hn::Load(d, values.re_hi + p), hn::Load(d, values.re_lo + p), re_sum, re_carry);
    Accumulate(w_hi, w_lo, hn::Load(d, values.im_hi + p), hn::Load(d, values.im_lo + p), im_sum, im_carry);
  }
  // The lanes' sums and carries, added in extended precision.
  HWY_ALIGN double lane[4][HWY_LANES(double)];
  hn::Store(re_sum, d, lane[0]);
  hn::Store(re_carry, d, lane[1]);
  hn::Store(im_sum, d, lane[2]);
  hn::Store(im_carry, d, lane[3]);
  long double r = 0, i = 0;
  for (std::size_t l = 0; l < lanes; ++l) {
    r += static_cast<long double>(lane[0][l]) + static_cast<long double>(lane[1][l]);
    i += static_cast<long double>(lane[2][l]) + static_cast<long double>(lane[3][l]);
  }
  sum_re = r;
  sum_im = i;
}

// ---- Derivatives of the solution with respect to the layers' parameters, in reverse mode: the
// solution is formed in double as CorrectionInDouble forms it (without the shortcuts where a term
// vanishes), and the derivative of the value by each intermediate is carried back through the
// same steps. Every step is a holomorphic function of its complex inputs, so these derivatives
// are complex numbers, multiplied as such, and the real parameters enter only at the end,
// through the decay constants, the D_k, z0 and the zb. A point costs about three evaluations in
// double, whatever the number of layers; the 2N derivatives of forward mode would cost 2N.
// Double precision suffices here: the derivatives are asked for to 1e-6, not to the 1e-8 of
// weak curves that the values' double-double terms serve.

HWY_INLINE Cx Neg(Cx a) { return {hn::Neg(a.re), hn::Neg(a.im)}; }
// acc + a b.
HWY_INLINE Cx AddProduct(Cx acc, Cx a, Cx b) {
  return {hn::Add(acc.re, hn::MulSub(a.re, b.re, hn::Mul(a.im, b.im))),
          hn::Add(acc.im, hn::MulAdd(a.re, b.im, hn::Mul(a.im, b.re)))};
}

void EvaluateDerivatives(const KernelModel& m, const DerivativeModel& dm, const double* HWY_RESTRICT omega_terms,
                         double* HWY_RESTRICT out) {
  const D d;
  const std::size_t lanes = hn::Lanes(d);
  const int n = m.layers;
  const int bottom = n - 1;
  const double* const table = m.sincos_table;
  const Cx zero{hn::Zero(d), hn::Zero(d)};
  const V half = hn::Set(d, 0.5);
  const V z0 = hn::Set(d, m.z0.hi);
  const V twice_zb = hn::Set(d, m.twice_zb.hi);
  const V twice_top_minus_z0 = hn::Set(d, m.twice_top_minus_z0.hi);
  // exp(-a len), 0 where it is below 2^-64 in every lane: it then joins terms of order 1, or
  // multiplies a difference that does (the recursion), and the products of such decays, which
  // would leave the double range's normal numbers, are never formed.
  auto decay_of = [&](Cx a_k, double len) {
    if (hn::AllTrue(d, hn::Ge(hn::Mul(a_k.re, hn::Set(d, len)), hn::Set(d, kVanishingDecay)))) return zero;
    return ExpOfMinus(d, a_k, hn::Set(d, len), table);
  };
  auto store = [&](int block, std::size_t p, Cx v) {
    hn::Store(v.re, d, out + (2 * static_cast<std::size_t>(block)) * kPaddedPoints + p);
    hn::Store(v.im, d, out + (2 * static_cast<std::size_t>(block) + 1) * kPaddedPoints + p);
  };
  // What each layer's step passes on, kept for the way back: (beta, gamma) of layer k as the
  // recursion leaves it, its factor E = exp(-2 a_k l_k) and t, u, t - u of its step.
  Cx a[kMaxDerivativeLayers], beta[kMaxDerivativeLayers], gamma[kMaxDerivativeLayers];
  Cx decay[kMaxDerivativeLayers], t[kMaxDerivativeLayers], u[kMaxDerivativeLayers], t_minus_u[kMaxDerivativeLayers];
  // The derivatives of the value by a_k and, summed over the factors D_k and nu_k D_k of the
  // recursion, by each such factor times the factor: both scale as 1 / mus'_k.
  Cx bar_a[kMaxDerivativeLayers], bar_scaled[kMaxDerivativeLayers];

  for (std::size_t p = 0; p < kPaddedPoints; p += lanes) {
    const V s2 = hn::Load(d, m.s2_hi + p);
    for (int k = 0; k < n; ++k) {
      a[k] = DecayConstant(d, hn::Add(s2, hn::Set(d, m.mua_over_d[k])), hn::Set(d, omega_terms[k]));
      bar_a[k] = zero;
      bar_scaled[k] = zero;
    }
    // The half-space term E(z0) (1 + E(2 zb)) / 2.
    const Cx e_z0 = ExpOfMinus(d, a[0], z0, table);
    const Cx e_2zb = decay_of(a[0], m.twice_zb.hi);
    const Cx images_sum = OnePlus(d, e_2zb);
    Cx value = Scale(Mul(e_z0, images_sum), half);
    Cx bar_e_z0 = Scale(images_sum, half);
    Cx bar_e_2zb = Scale(e_z0, half);
    Cx bar_z0 = zero, bar_zb_top = zero, bar_zb_bottom = zero;

    if (n >= 2) {
      // The recursion from the bottom, as LowerRecursion, and the correction, as
      // CorrectionInDouble: rho' (1 + E(2 zb)) E(2 l0 - z0) (1 - E(z0)^2 E(2 zb)) / 2.
      decay[bottom] = decay_of(a[bottom], m.twice_depth[bottom]);
      beta[bottom] = OneMinus(d, decay[bottom]);
      gamma[bottom] = OnePlus(d, decay[bottom]);
      for (int k = bottom - 1; k >= 1; --k) {
        t[k] = Mul(Scale(a[k], hn::Set(d, m.diff_coef[k])), beta[k + 1]);
        u[k] = Mul(Scale(a[k + 1], hn::Set(d, m.nu_diff_coef[k + 1])), gamma[k + 1]);
        const Cx sum = Add(t[k], u[k]);
        t_minus_u[k] = Sub(t[k], u[k]);
        decay[k] = decay_of(a[k], m.twice_depth[k]);
        const Cx difference = Mul(t_minus_u[k], decay[k]);
        beta[k] = Add(sum, difference);
        gamma[k] = Sub(sum, difference);
      }
      const Cx b = Mul(Scale(a[0], hn::Set(d, m.diff_coef[0])), beta[1]);
      const Cx c = Mul(Scale(a[1], hn::Set(d, m.nu_diff_coef[1])), gamma[1]);
      const Cx plus = Add(b, c);
      const Cx minus = Sub(b, c);
      // The correction is left out where CorrectionInDouble leaves it out: below 2^-62 of the
      // half-space term in every lane (|rho'| <= 2 and E(2 l0 - 2 z0) at most e^-46). Its
      // derivatives are then as negligible next to those of the half-space term, about
      // (2 l0 - z0) / z0 times that ratio, and the products of its small factors, which would
      // leave the normal numbers, are never formed.
      const auto vanishing =
          hn::And(hn::Le(Norm(minus), Norm(plus)),
                  hn::Ge(hn::Mul(a[0].re, hn::Sub(twice_top_minus_z0, z0)), hn::Set(d, kVanishingCorrectionDecay)));
      if (!hn::AllTrue(d, vanishing)) {
        const Cx e_top = ExpOfMinus(d, a[0], twice_top_minus_z0, table);
        const Cx e_z0_2zb = Mul(e_z0, e_2zb);
        const Cx q = Mul(e_top, e_z0_2zb);
        const Cx den = Add(plus, Mul(minus, q));
        const Cx reflection = Div(minus, den);
        const Cx images = OneMinus(d, Mul(e_z0, e_z0_2zb));
        const Cx sum_top = Mul(images_sum, e_top);
        const Cx factors = Mul(sum_top, images);
        value = Add(value, Scale(Mul(reflection, factors), half));

        // Back through the correction.
        const Cx bar_reflection = Scale(factors, half);
        const Cx bar_factors = Scale(reflection, half);
        bar_e_2zb = AddProduct(bar_e_2zb, bar_factors, Mul(e_top, images));
        Cx bar_e_top = Mul(bar_factors, Mul(images_sum, images));
        const Cx bar_images = Mul(bar_factors, sum_top);
        bar_e_z0 = Sub(bar_e_z0, Mul(Add(e_z0_2zb, e_z0_2zb), bar_images));
        bar_e_2zb = Sub(bar_e_2zb, Mul(Mul(e_z0, e_z0), bar_images));
        const Cx bar_quotient = Div(bar_reflection, den);
        const Cx bar_den = Neg(Mul(bar_quotient, reflection));
        const Cx bar_minus = AddProduct(bar_quotient, bar_den, q);
        const Cx bar_q = Mul(bar_den, minus);
        bar_e_top = AddProduct(bar_e_top, bar_q, e_z0_2zb);
        bar_e_z0 = AddProduct(bar_e_z0, bar_q, Mul(e_top, e_2zb));
        bar_e_2zb = AddProduct(bar_e_2zb, bar_q, Mul(e_top, e_z0));
        const Cx bar_b = Add(bar_den, bar_minus);
        const Cx bar_c = Sub(bar_den, bar_minus);
        // b = D0 a0 beta_1, c = nu_1 D1 a1 gamma_1.
        bar_a[0] = Mul(Scale(beta[1], hn::Set(d, m.diff_coef[0])), bar_b);
        bar_scaled[0] = Mul(b, bar_b);
        Cx bar_beta = Mul(Scale(a[0], hn::Set(d, m.diff_coef[0])), bar_b);
        bar_a[1] = Mul(Scale(gamma[1], hn::Set(d, m.nu_diff_coef[1])), bar_c);
        bar_scaled[1] = Mul(c, bar_c);
        Cx bar_gamma = Mul(Scale(a[1], hn::Set(d, m.nu_diff_coef[1])), bar_c);
        // Back down the recursion.
        for (int k = 1; k < bottom; ++k) {
          const Cx bar_sum = Add(bar_beta, bar_gamma);
          const Cx bar_difference = Sub(bar_beta, bar_gamma);
          const Cx bar_t_minus_u = Mul(bar_difference, decay[k]);
          const Cx bar_decay = Mul(bar_difference, t_minus_u[k]);
          const Cx bar_t = Add(bar_sum, bar_t_minus_u);
          const Cx bar_u = Sub(bar_sum, bar_t_minus_u);
          // t = D_k a_k beta_(k+1), u = nu_(k+1) D_(k+1) a_(k+1) gamma_(k+1), E = exp(-2 l_k a_k).
          bar_a[k] = AddProduct(bar_a[k], Scale(beta[k + 1], hn::Set(d, m.diff_coef[k])), bar_t);
          bar_a[k] = AddProduct(bar_a[k], Scale(decay[k], hn::Set(d, -m.twice_depth[k])), bar_decay);
          bar_scaled[k] = AddProduct(bar_scaled[k], t[k], bar_t);
          bar_a[k + 1] = AddProduct(bar_a[k + 1], Scale(gamma[k + 1], hn::Set(d, m.nu_diff_coef[k + 1])), bar_u);
          bar_scaled[k + 1] = AddProduct(bar_scaled[k + 1], u[k], bar_u);
          bar_beta = Mul(Scale(a[k], hn::Set(d, m.diff_coef[k])), bar_t);
          bar_gamma = Mul(Scale(a[k + 1], hn::Set(d, m.nu_diff_coef[k + 1])), bar_u);
        }
        // beta = 1 - E, gamma = 1 + E, E = exp(-2 a (l + zb)) of the bottom layer.
        const Cx bar_bottom = Mul(Sub(bar_gamma, bar_beta), decay[bottom]);
        bar_a[bottom] = Sub(bar_a[bottom], Scale(bar_bottom, hn::Set(d, m.twice_depth[bottom])));
        bar_zb_bottom = Scale(Mul(a[bottom], bar_bottom), hn::Set(d, -2.0));
        // E(2 l0 - z0).
        const Cx e_top_term = Mul(e_top, bar_e_top);
        bar_a[0] = Sub(bar_a[0], Scale(e_top_term, twice_top_minus_z0));
        bar_z0 = Mul(a[0], e_top_term);
      }
    }
    // E(z0) and E(2 zb).
    const Cx e_z0_term = Mul(e_z0, bar_e_z0);
    const Cx e_2zb_term = Mul(e_2zb, bar_e_2zb);
    bar_a[0] = Sub(bar_a[0], Add(Scale(e_z0_term, z0), Scale(e_2zb_term, twice_zb)));
    bar_z0 = Sub(bar_z0, Mul(a[0], e_z0_term));
    bar_zb_top = Scale(Mul(a[0], e_2zb_term), hn::Set(d, -2.0));

    store(0, p, value);
    // a_k = sqrt(x_k + i y_k): d a_k = (dx_k + i dy_k) / (2 a_k). The derivative by s^2, the
    // sum of those by the x_k, serves the move of the rule's points.
    Cx by_s2 = zero;
    for (int k = 0; k < n; ++k) {
      const Cx g = Div(Scale(bar_a[k], half), a[k]);
      by_s2 = Add(by_s2, g);
      Cx by_mua = Scale(g, hn::Set(d, dm.x_per_mua[k]));
      const V inverse_musp = hn::Set(d, dm.inverse_musp[k]);
      Cx by_musp = Sub(Mul(g, Cx{hn::Set(d, dm.x_per_musp[k]), hn::Set(d, omega_terms[k] * dm.inverse_musp[k])}),
                       Scale(bar_scaled[k], inverse_musp));
      if (k == 0) {
        const Cx z0_term = Scale(bar_z0, hn::Set(d, dm.z0_per_coefficient));
        by_mua = Add(by_mua, z0_term);
        by_musp = Add(by_musp, Add(z0_term, Scale(bar_zb_top, hn::Set(d, dm.zb_top_per_musp))));
      }
      if (k == bottom && n >= 2) by_musp = Add(by_musp, Scale(bar_zb_bottom, hn::Set(d, dm.zb_bottom_per_musp)));
      store(1 + 2 * k, p, by_mua);
      store(2 + 2 * k, p, by_musp);
    }
    // 2 (value + s^2 d value / d s^2).
    const V twice_s2 = hn::Add(s2, s2);
    store(1 + 2 * n, p, Add(Add(value, value), Cx{hn::Mul(twice_s2, by_s2.re), hn::Mul(twice_s2, by_s2.im)}));
  }
}

void BlockSums(const double* HWY_RESTRICT weights, const double* HWY_RESTRICT rows, std::size_t blocks,
               double* HWY_RESTRICT sums) {
  const D d;
  const std::size_t lanes = hn::Lanes(d);
  for (std::size_t b = 0; b < 2 * blocks; ++b) {
    const double* const row = rows + b * kPaddedPoints;
    // Two chains of multiply-adds, so that one need not wait for the other.
    V even = hn::Zero(d), odd = hn::Zero(d);
    for (std::size_t p = 0; p < kPaddedPoints; p += 2 * lanes) {
      even = hn::MulAdd(hn::Load(d, weights + p), hn::Load(d, row + p), even);
      odd = hn::MulAdd(hn::Load(d, weights + p + lanes), hn::Load(d, row + p + lanes), odd);
    }
    sums[b] = hn::GetLane(hn::SumOfLanes(d, hn::Add(even, odd)));
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace nlayer::fast
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace nlayer::fast {

namespace {

void StoreSplit(long double v, double* hi, double* lo) {
  *hi = static_cast<double>(v);
  *lo = static_cast<double>(v - static_cast<long double>(*hi));
}

}  // namespace

const double* Exp2Table() {
  static const std::array<double, 128> table = [] {
    std::array<double, 128> t{};
    for (int j = 0; j < 64; ++j) StoreSplit(std::exp2(static_cast<long double>(j) / 64.0L), &t[j], &t[64 + j]);
    return t;
  }();
  return table.data();
}

const double* SinCosTable() {
  // sin and cos of m pi / 32 for m <= 8 (angles up to pi / 4, where the extended argument is
  // accurate to 1e-20), the other 56 entries by the exact symmetries of the quadrants.
  static const std::array<double, 256> table = [] {
    constexpr long double kPiOver32 = 0.0981747704246810387019576057274844651L;
    long double base_sin[9], base_cos[9];
    for (int m = 0; m <= 8; ++m) SinCosExt(static_cast<long double>(m) * kPiOver32, base_sin[m], base_cos[m]);
    std::array<double, 256> t{};
    for (int j = 0; j < 64; ++j) {
      const int r = j % 16;
      long double sn = r <= 8 ? base_sin[r] : base_cos[16 - r];
      long double cs = r <= 8 ? base_cos[r] : base_sin[16 - r];
      for (int quadrant = 0; quadrant < j / 16; ++quadrant) {  // add pi / 2
        const long double rotated_sin = cs;
        cs = -sn;
        sn = rotated_sin;
      }
      StoreSplit(sn, &t[j], &t[64 + j]);
      StoreSplit(cs, &t[128 + j], &t[192 + j]);
    }
    return t;
  }();
  return table.data();
}

HWY_EXPORT(EvaluateSolution);
HWY_EXPORT(WeightedSums);
HWY_EXPORT(EvaluateDerivatives);
HWY_EXPORT(BlockSums);

void EvaluateSolution(const KernelModel& model, const double* omega_terms, const double* omega_term_steps,
                      Split top_omega_term, const PointValues& out) {
  HWY_DYNAMIC_DISPATCH(EvaluateSolution)(model, omega_terms, omega_term_steps, top_omega_term, out);
}

void WeightedSums(const double* weights_hi, const double* weights_lo, const PointValues& values,
                  long double& sum_re, long double& sum_im) {
  HWY_DYNAMIC_DISPATCH(WeightedSums)(weights_hi, weights_lo, values, sum_re, sum_im);
}

void EvaluateDerivatives(const KernelModel& model, const DerivativeModel& derivative, const double* omega_terms,
                         double* out) {
  HWY_DYNAMIC_DISPATCH(EvaluateDerivatives)(model, derivative, omega_terms, out);
}

void BlockSums(const double* weights, const double* rows, std::size_t blocks, double* sums) {
  HWY_DYNAMIC_DISPATCH(BlockSums)(weights, rows, blocks, sums);
}

}  // namespace nlayer::fast
#endif  // HWY_ONCE
