#include "core/complex_ext.h"
#include "core/ext_math.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>
#include <numbers>
#include <vector>

#include "core/fp_guard.h"
#include "tests/test_support.h"

namespace nlayer {
namespace {

using nlayer::testing::RelErr;
using StdComplex = std::complex<long double>;

constexpr long double kEps = std::numeric_limits<long double>::epsilon();
// A short chain of extended operations, each rounding by at most half a unit.
constexpr long double kFewUnits = 8 * kEps;
// Two independent implementations, each within a few units of the exact value.
constexpr long double kTwoImplementations = 16 * kEps;

constexpr long double kPi = std::numbers::pi_v<long double>;

struct Z {
  long double re;
  long double im;
};

Z Mul(Z a, Z b) {
  Z r;
  CMul(a.re, a.im, b.re, b.im, r.re, r.im);
  return r;
}
Z Add(Z a, Z b) { return {a.re + b.re, a.im + b.im}; }
Z Sinh(Z z) {
  Z r;
  CSinh(z.re, z.im, r.re, r.im);
  return r;
}
Z Cosh(Z z) {
  Z r;
  CCosh(z.re, z.im, r.re, r.im);
  return r;
}
Z Exp(Z z) {
  Z r;
  CExp(z.re, z.im, r.re, r.im);
  return r;
}
Z Sqrt(Z z) {
  Z r;
  CSqrt(z.re, z.im, r.re, r.im);
  return r;
}
long double Abs(Z z) { return std::hypot(z.re, z.im); }
Z FromStd(StdComplex c) { return {c.real(), c.imag()}; }

// Largest deviation of a part of `got` from `want`, in units of `scale` (a modulus or the size
// of the largest term), so parts that cancel to near zero are judged against the whole.
long double ScaledErr(Z got, Z want, long double scale) {
  return std::max(std::fabs(got.re - want.re), std::fabs(got.im - want.im)) / scale;
}

// Non-dyadic values, so sums and products really round.
const std::vector<Z> kOperands = {{1.3L, -0.7L},  {-2.9L, 4.1L},     {0.01L, 0.3L},
                                  {-7.7L, -0.02L}, {123.4L, 56.7L},  {-1e-5L, 3e-4L},
                                  {5.0L, 0.0L},    {0.0L, -2.5L}};

// ---------------------------------------------------------------------------------------------
// Multiplication and division

TEST(CmpMulDiv, WorkedExampleIsExact) {
  long double re = 0, im = 0;
  CMul(1, 2, 3, 4, re, im);
  EXPECT_EQ(re, -5.0L);
  EXPECT_EQ(im, 10.0L);
  CDiv(-5, 10, 3, 4, re, im);
  EXPECT_EQ(re, 1.0L);
  EXPECT_EQ(im, 2.0L);
  CMul(0, 1, 0, 1, re, im);  // i·i
  EXPECT_EQ(re, -1.0L);
  EXPECT_EQ(im, 0.0L);
}

TEST(CmpMulDiv, AgreeWithStdComplex) {
  for (Z a : kOperands) {
    for (Z b : kOperands) {
      const StdComplex sa(a.re, a.im), sb(b.re, b.im);
      const Z prod = Mul(a, b);
      EXPECT_LE(ScaledErr(prod, FromStd(sa * sb), Abs(a) * Abs(b)), kTwoImplementations)
          << a.re << "+" << a.im << "i times " << b.re << "+" << b.im << "i";
      Z quot;
      CDiv(a.re, a.im, b.re, b.im, quot.re, quot.im);
      EXPECT_LE(ScaledErr(quot, FromStd(sa / sb), Abs(a) / Abs(b)), kTwoImplementations)
          << a.re << "+" << a.im << "i over " << b.re << "+" << b.im << "i";
    }
  }
}

TEST(CmpMulDiv, DivisionUndoesMultiplication) {
  for (Z a : kOperands) {
    for (Z b : kOperands) {
      const Z prod = Mul(a, b);
      Z back, scaled;
      CDiv(prod.re, prod.im, b.re, b.im, back.re, back.im);
      EXPECT_LE(ScaledErr(back, a, Abs(a)), kFewUnits);
      CDivScaled(prod.re, prod.im, b.re, b.im, scaled.re, scaled.im);
      EXPECT_LE(ScaledErr(scaled, a, Abs(a)), kFewUnits);
    }
  }
}

// Smith's division needs no square of its divisor: operands near the ends of the extended
// range, scaled by powers of two (exact), divide as their unscaled selves do.
TEST(CmpMulDiv, ScaledDivisionReachesTheEndsOfTheRange) {
  long double re = 0, im = 0;
  CDivScaled(-5, 10, 3, 4, re, im);
  EXPECT_EQ(re, 1.0L);
  EXPECT_EQ(im, 2.0L);
  for (Z a : kOperands) {
    for (Z b : kOperands) {
      Z plain;
      CDivScaled(a.re, a.im, b.re, b.im, plain.re, plain.im);
      for (int e : {-16000, 16000}) {
        Z big;
        ASSERT_EQ(RunChecked([&] {
                    CDivScaled(std::ldexp(a.re, e), std::ldexp(a.im, e), std::ldexp(b.re, e), std::ldexp(b.im, e),
                               big.re, big.im);
                  }),
                  FaultKind::kNone);
        EXPECT_LE(ScaledErr(big, plain, Abs(plain)), kFewUnits) << e;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Square root

TEST(CmpSqrt, ReferenceValuesAreExact) {
  struct Case {
    Z arg, root;
  };
  const Case cases[] = {
      {{-3, 4}, {1, 2}}, {{-3, -4}, {1, -2}}, {{4, 0}, {2, 0}}, {{0, 0}, {0, 0}},
      {{0, 2}, {1, 1}},  {{0, -8}, {2, -2}},  {{5, 12}, {3, 2}},
  };
  for (const Case& c : cases) {
    const Z r = Sqrt(c.arg);
    EXPECT_EQ(r.re, c.root.re) << "sqrt(" << c.arg.re << "+" << c.arg.im << "i)";
    EXPECT_EQ(r.im, c.root.im) << "sqrt(" << c.arg.re << "+" << c.arg.im << "i)";
  }
}

TEST(CmpSqrt, ImaginaryPartLostInTheDoubleRoundingGivesZeroImaginaryPart) {
  // 1e-330 is a valid extended value but rounds to 0 as a double (the smallest double is
  // about 4.9e-324); 1e-320 survives as a subnormal double and keeps its sign.
  Z r = Sqrt({4, 1e-330L});
  EXPECT_EQ(r.re, 2.0L);
  EXPECT_EQ(r.im, 0.0L);
  r = Sqrt({4, -1e-330L});
  EXPECT_EQ(r.re, 2.0L);
  EXPECT_EQ(r.im, 0.0L);
  r = Sqrt({0, 1e-330L});
  EXPECT_EQ(r.im, 0.0L);
  EXPECT_GT(r.re, 0.0L);
  // Left of the origin the lost sign leaves nothing of the root: 0 + 0i, not 0 + 2i.
  r = Sqrt({-4, 1e-330L});
  EXPECT_EQ(r.re, 0.0L);
  EXPECT_EQ(r.im, 0.0L);

  // The sign of an imaginary part that does survive picks the root left of the origin.
  r = Sqrt({-4, 1e-320L});
  EXPECT_EQ(r.re, 0.0L);
  EXPECT_EQ(r.im, 2.0L);
  r = Sqrt({-4, -1e-320L});
  EXPECT_EQ(r.re, 0.0L);
  EXPECT_EQ(r.im, -2.0L);
}

// The formulas give 0 + 0i on the negative real axis (m + x and the sign both vanish), and
// that is what a layer with a negative mua must meet at zero modulation frequency.
TEST(CmpSqrt, NegativeRealAxisGivesWhatTheFormulasGive) {
  for (const Z z : {Z{-4, 0}, Z{-4, -0.0L}, Z{-2, 0}}) {
    const Z r = Sqrt(z);
    EXPECT_EQ(r.re, 0.0L);
    EXPECT_EQ(r.im, 0.0L);
  }
}

// Polar grid: every direction but the negative real axis, radii over many decades.
std::vector<Z> SqrtSweep() {
  std::vector<Z> zs;
  for (long double radius : {1e-9L, 0.37L, 1.0L, 61.0L, 2.5e7L}) {
    for (int k = -11; k <= 11; ++k) {
      const long double angle = k * kPi / 12;
      zs.push_back({radius * std::cos(angle), radius * std::sin(angle)});
    }
  }
  return zs;
}

TEST(CmpSqrt, SquareGivesBackTheArgumentInBothHalfPlanes) {
  for (Z z : SqrtSweep()) {
    const Z r = Sqrt(z);
    EXPECT_LE(ScaledErr(Mul(r, r), z, Abs(z)), kFewUnits) << z.re << "+" << z.im << "i";
    EXPECT_GE(r.re, 0.0L) << z.re << "+" << z.im << "i";
    if (z.im > 0) {
      EXPECT_GT(r.im, 0.0L) << z.re << "+" << z.im << "i";
    } else if (z.im < 0) {
      EXPECT_LT(r.im, 0.0L) << z.re << "+" << z.im << "i";
    }
  }
}

TEST(CmpSqrt, AgreesWithStdComplexOffTheNegativeAxis) {
  for (Z z : SqrtSweep()) {
    const Z want = FromStd(std::sqrt(StdComplex(z.re, z.im)));
    EXPECT_LE(ScaledErr(Sqrt(z), want, Abs(want)), kTwoImplementations)
        << z.re << "+" << z.im << "i";
  }
}

// The stable root holds each part to its own size, not the modulus, where y is tiny next to
// x > 0 (the layered solution at large spatial and low modulation frequencies), and equals
// the window's root wherever that has no cancellation to lose.
TEST(CmpSqrt, StableRootKeepsTheSmallerPartsRelativeAccuracy) {
  for (long double x : {0.147L, 4.0L, 2.16e4L}) {
    for (long double y : {3.2e-3L, -1e-9L, 1e-16L, 1e-300L}) {
      const StdComplex want = std::sqrt(StdComplex(x, y));
      Z r;
      CSqrtStable(x, y, r.re, r.im);
      EXPECT_LE(std::fabs(r.re - want.real()), kTwoImplementations * std::fabs(want.real())) << x << "+" << y << "i";
      EXPECT_LE(std::fabs(r.im - want.imag()), kTwoImplementations * std::fabs(want.imag())) << x << "+" << y << "i";
    }
  }
  // The window's root at y = 1e-16 next to x = 4 has no digit of the imaginary part left.
  EXPECT_GT(std::fabs(Sqrt({4, 1e-16L}).im - 2.5e-17L), 1e-3L * 2.5e-17L);
  for (Z z : SqrtSweep()) {
    Z r;
    CSqrtStable(z.re, z.im, r.re, r.im);
    const Z window = Sqrt(z);
    EXPECT_LE(ScaledErr(r, window, Abs(window)), kTwoImplementations) << z.re << "+" << z.im << "i";
  }
  Z r;
  CSqrtStable(-4, 1e-330L, r.re, r.im);  // left of the axis: the window's formulas, lost sign and all
  EXPECT_EQ(r.re, 0.0L);
  EXPECT_EQ(r.im, 0.0L);
}

// ---------------------------------------------------------------------------------------------
// Exponential, hyperbolic sine and cosine

// On the axes the complex routines reduce exactly to the real functions they are built on.
TEST(CmpExpSinhCosh, OnTheAxesOnePartIsExact) {
  for (long double y : {-17.3L, -1.0L, 0.0L, 0.25L, 2.0L, 40.5L}) {
    long double sn, cs;
    SinCosExt(y, sn, cs);
    Z r = Exp({0, y});
    EXPECT_EQ(r.re, cs);
    EXPECT_EQ(r.im, sn);
    r = Sinh({0, y});
    EXPECT_EQ(r.re, 0.0L);
    EXPECT_EQ(r.im, sn);
  }
  for (long double x : {-30.0L, -0.5L, 0.0L, 1.0L, 11.0L}) {
    long double sh, ch;
    SinhCoshExt(x, sh, ch);
    const Z r = Cosh({x, 0});
    EXPECT_EQ(r.re, ch);
    EXPECT_EQ(r.im, 0.0L);
  }
}

TEST(CmpExpSinhCosh, ClosedFormValues) {
  const long double ln2 = 0.693147180559945309417232121458176568L;
  const long double ln3 = 1.09861228866810969139524523692252570L;
  struct Case {
    const char* what;
    Z got, want;
  };
  const Case cases[] = {
      {"exp(ln 2 + i pi/2) = 2i", Exp({ln2, kPi / 2}), {0, 2}},
      {"exp(i pi) = -1", Exp({0, kPi}), {-1, 0}},
      {"exp(-ln 3) = 1/3", Exp({-ln3, 0}), {1.0L / 3, 0}},
      {"sinh(i pi/2) = i", Sinh({0, kPi / 2}), {0, 1}},
      {"sinh(ln 3) = 4/3", Sinh({ln3, 0}), {4.0L / 3, 0}},
      {"sinh(ln 2 + i pi) = -3/4", Sinh({ln2, kPi}), {-0.75L, 0}},
      {"cosh(i pi) = -1", Cosh({0, kPi}), {-1, 0}},
      {"cosh(ln 2) = 5/4", Cosh({ln2, 0}), {1.25L, 0}},
      {"cosh(ln 2 + i pi/2) = 3i/4", Cosh({ln2, kPi / 2}), {0, 0.75L}},
  };
  for (const Case& c : cases) {
    EXPECT_LE(ScaledErr(c.got, c.want, Abs(c.want)), kFewUnits) << c.what;
  }
}

TEST(CmpExpSinhCosh, AgreeWithStdComplex) {
  for (long double x : {-30.7L, -2.5L, -0.1L, 0.0L, 0.7L, 3.0L, 25.3L}) {
    for (long double y : {-20.1L, -1.2L, 0.0L, 0.4L, 2.0L, 15.9L}) {
      const StdComplex s(x, y);
      // Condition of exp, sin and cos at an argument: the last units of y move the result
      // by about |y| units.
      const long double tol = kTwoImplementations * (1 + std::fabs(y));
      const Z e = FromStd(std::exp(s)), sh = FromStd(std::sinh(s)), ch = FromStd(std::cosh(s));
      EXPECT_LE(ScaledErr(Exp({x, y}), e, Abs(e)), tol) << "exp " << x << "+" << y << "i";
      EXPECT_LE(ScaledErr(Sinh({x, y}), sh, Abs(sh) + Abs(ch)), tol)
          << "sinh " << x << "+" << y << "i";
      EXPECT_LE(ScaledErr(Cosh({x, y}), ch, Abs(ch)), tol) << "cosh " << x << "+" << y << "i";
    }
  }
}

TEST(CmpExpSinhCosh, ExpOfASumIsTheProductOfExps) {
  // Dyadic operands, so z1 + z2 is formed exactly.
  const Z zs[] = {{1.25L, 0.75L}, {-3.5L, 2.125L}, {0.0625L, -5.5L}, {9.0L, 0.5L}, {-12.0L, -1.0L}};
  for (Z a : zs) {
    for (Z b : zs) {
      const Z want = Exp(Add(a, b));
      EXPECT_LE(ScaledErr(Mul(Exp(a), Exp(b)), want, Abs(want)), kFewUnits);
    }
  }
}

TEST(CmpExpSinhCosh, CoshSquaredMinusSinhSquaredIsOne) {
  for (long double x : {-3.0L, -0.9L, 0.0L, 0.3L, 1.7L, 3.0L}) {
    for (long double y : {-2.2L, -0.4L, 0.0L, 1.1L, 3.0L}) {
      const Z c = Cosh({x, y}), s = Sinh({x, y});
      const Z c2 = Mul(c, c), s2 = Mul(s, s);
      const Z diff{c2.re - s2.re, c2.im - s2.im};
      // The two squares are each about cosh² x and cancel to 1.
      EXPECT_LE(ScaledErr(diff, {1, 0}, Abs(c2) + Abs(s2)), kFewUnits) << x << "+" << y << "i";
      // and cosh z + sinh z = e^z, which cancels for negative x
      EXPECT_LE(ScaledErr(Add(c, s), Exp({x, y}), Abs(c)), kFewUnits) << x << "+" << y << "i";
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Compound hyperbolic expressions

Z CoshSinhComb(Z a, Z z, Z b) {
  Z r;
  CCoshSinhComb(a.re, a.im, z.re, z.im, b.re, b.im, r.re, r.im);
  return r;
}

const Z kHyperbolicArgs[] = {{0.0L, 0.0L},  {0.37L, -1.9L}, {2.6L, 0.8L},
                             {-4.1L, 3.3L}, {23.7L, -4.2L}, {41.3L, 0.07L}};
const Z kMultipliers[] = {{1.0L, 0.0L}, {-0.6L, 2.3L}, {3.1e-3L, -7.9e-2L}, {250.0L, 0.5L}};

TEST(CmpCoshSinhComb, WithOneMultiplierZeroItIsASingleProduct) {
  for (Z z : kHyperbolicArgs) {
    // Rounding of z.im moves sin and cos by |z.im| units.
    const long double tol = kFewUnits * (1 + std::fabs(z.im));
    for (Z m : kMultipliers) {
      const Z with_cosh = Mul(m, Cosh(z));
      EXPECT_LE(ScaledErr(CoshSinhComb(m, z, {0, 0}), with_cosh, Abs(m) * Abs(Cosh(z))), tol);
      const Z with_sinh = Mul(m, Sinh(z));
      EXPECT_LE(ScaledErr(CoshSinhComb({0, 0}, z, m), with_sinh, Abs(m) * Abs(Cosh(z))), tol);
    }
  }
}

TEST(CmpCoshSinhComb, EqualMultipliersGiveAnExponentialAndOppositeOnesItsInverse) {
  for (Z z : kHyperbolicArgs) {
    const long double tol = kFewUnits * (1 + std::fabs(z.im));
    for (Z m : kMultipliers) {
      const long double scale = Abs(m) * Abs(Cosh(z));
      // A·cosh z + A·sinh z = A·e^z
      EXPECT_LE(ScaledErr(CoshSinhComb(m, z, m), Mul(m, Exp(z)), scale), tol);
      // A·cosh z − A·sinh z = A·e^−z, which cancels to almost nothing for large z.re
      EXPECT_LE(ScaledErr(CoshSinhComb(m, z, {-m.re, -m.im}), Mul(m, Exp({-z.re, -z.im})), scale),
                tol);
    }
  }
}

TEST(CmpCoshSinhComb, GeneralCaseIsTheSumOfBothProducts) {
  for (Z z : kHyperbolicArgs) {
    const long double tol = kFewUnits * (1 + std::fabs(z.im));
    for (Z a : kMultipliers) {
      for (Z b : kMultipliers) {
        const Z want = Add(Mul(a, Cosh(z)), Mul(b, Sinh(z)));
        const long double scale = (Abs(a) + Abs(b)) * Abs(Cosh(z));
        EXPECT_LE(ScaledErr(CoshSinhComb(a, z, b), want, scale), tol);
      }
    }
  }
}

Z SinhCoshProd(Z a, Z u, Z v, Z b) {
  Z r;
  CSinhCoshProd(a.re, a.im, u.re, u.im, v.re, v.im, b.re, b.im, r.re, r.im);
  return r;
}
Z CoshCoshProd(Z a, Z u, Z v, Z b) {
  Z r;
  CCoshCoshProd(a.re, a.im, u.re, u.im, v.re, v.im, b.re, b.im, r.re, r.im);
  return r;
}

// The routines take the hyperbolic functions of u ± v, formed in extended precision; an
// argument x rounded by half a unit moves exp and sin of it by about |x|/2 units. On top of that
// a few roundings in each of the two evaluation orders.
long double ProductTolerance(Z u, Z v) {
  const long double args = std::fabs(u.re + v.re) + std::fabs(u.im + v.im) +
                           std::fabs(u.re - v.re) + std::fabs(u.im - v.im);
  return kEps * (16 + args);
}

struct ProductCase {
  const char* what;
  Z a, u, v, b;
};

const ProductCase kProductCases[] = {
    {"moderate", {1.5L, -0.7L}, {2.3L, 0.4L}, {1.1L, -0.9L}, {-0.3L, 2.2L}},
    {"u.re < v.re", {0.8L, 0.1L}, {0.8L, 1.3L}, {3.7L, -0.2L}, {-1.9L, 0.45L}},
    {"u.re < 0 < v.re", {2.0L, 2.0L}, {-1.6L, 0.5L}, {0.9L, 0.3L}, {0.0L, -1.0L}},
    {"layer arguments of tens", {3.2e-2L, 1.1e-3L}, {27.3L, 3.1L}, {12.7L, 0.6L}, {-4.0L, 0.5L}},
    {"tens, u.re < v.re", {1.0L, -2.0L}, {5.5L, 0.01L}, {38.1L, 0.02L}, {7.0L, 3.0L}},
    {"tens, close arguments", {-0.45L, 0.9L}, {20.1L, 0.3L}, {20.6L, 0.7L}, {0.45L, -0.9000001L}},
    {"terms cancel", {1.0L, 0.5L}, {20.0L, 0.3L}, {20.5L, 0.7L}, {-1.0000000001L, -0.5L}},
    {"purely imaginary arguments", {0.3L, 1.7L}, {0.0L, 1.2L}, {0.0L, -2.9L}, {1.1L, 0.0L}},
    {"one argument zero", {1.0L, 1.0L}, {0.0L, 0.0L}, {3.3L, 0.2L}, {2.0L, -1.0L}},
};

TEST(CmpHyperbolicProducts, SinhCoshProdAgreesWithTheDirectProduct) {
  for (const ProductCase& c : kProductCases) {
    const Z t1 = Mul(Mul(c.a, Sinh(c.u)), Cosh(c.v));
    const Z t2 = Mul(Mul(c.b, Cosh(c.u)), Sinh(c.v));
    const long double largest = std::max(Abs(t1), Abs(t2));
    EXPECT_LE(ScaledErr(SinhCoshProd(c.a, c.u, c.v, c.b), Add(t1, t2), largest),
              ProductTolerance(c.u, c.v))
        << c.what;
  }
}

TEST(CmpHyperbolicProducts, CoshCoshProdAgreesWithTheDirectProduct) {
  for (const ProductCase& c : kProductCases) {
    const Z t1 = Mul(Mul(c.a, Cosh(c.u)), Cosh(c.v));
    const Z t2 = Mul(Mul(c.b, Sinh(c.u)), Sinh(c.v));
    const long double largest = std::max(Abs(t1), Abs(t2));
    EXPECT_LE(ScaledErr(CoshCoshProd(c.a, c.u, c.v, c.b), Add(t1, t2), largest),
              ProductTolerance(c.u, c.v))
        << c.what;
  }
}

// With B = ±A the addition theorems leave a single hyperbolic function of u ± v; for B = −A
// and large arguments the direct product would cancel almost completely, while the result
// must keep its full relative accuracy.
TEST(CmpHyperbolicProducts, EqualOrOppositeMultipliersLeaveOneFunctionOfSumOrDifference) {
  for (const ProductCase& c : kProductCases) {
    const Z a = c.a, minus_a{-a.re, -a.im};
    const Z sum = Add(c.u, c.v), diff{c.u.re - c.v.re, c.u.im - c.v.im};
    const long double tol = ProductTolerance(c.u, c.v);
    Z want = Mul(a, Sinh(sum));
    EXPECT_LE(ScaledErr(SinhCoshProd(a, c.u, c.v, a), want, Abs(a) * Abs(Cosh(sum))), tol)
        << c.what;
    want = Mul(a, Cosh(sum));
    EXPECT_LE(ScaledErr(CoshCoshProd(a, c.u, c.v, a), want, Abs(want)), tol) << c.what;
    want = Mul(a, Sinh(diff));
    EXPECT_LE(ScaledErr(SinhCoshProd(a, c.u, c.v, minus_a), want, Abs(a) * Abs(Cosh(diff))), tol)
        << c.what;
    want = Mul(a, Cosh(diff));
    EXPECT_LE(ScaledErr(CoshCoshProd(a, c.u, c.v, minus_a), want, Abs(want)), tol) << c.what;
  }
  // u = v and B = −A: sinh u·cosh u − cosh u·sinh u is exactly zero.
  const Z r = SinhCoshProd({1.7L, -0.2L}, {31.3L, 2.9L}, {31.3L, 2.9L}, {-1.7L, 0.2L});
  EXPECT_EQ(r.re, 0.0L);
  EXPECT_EQ(r.im, 0.0L);
}

// ---------------------------------------------------------------------------------------------
// Aliasing of arguments and output slots

// Calls `routine` once with separate output slots and then with the output slots placed on
// every pair of its own argument variables (and on one argument plus a separate variable); the
// results must be bit-identical.
template <std::size_t N, class Routine>
void ExpectAliasingHarmless(const char* name, Routine routine, std::array<long double, N> args) {
  std::array<long double, N + 1> vars{};
  std::copy(args.begin(), args.end(), vars.begin());
  long double want_re = 0, want_im = 0;
  routine(vars, want_re, want_im);
  for (std::size_t i = 0; i <= N; ++i) {
    for (std::size_t j = 0; j <= N; ++j) {
      if (i == j) continue;
      auto v = vars;
      routine(v, v[i], v[j]);
      EXPECT_EQ(v[i], want_re) << name << ": re into slot " << i << ", im into slot " << j;
      EXPECT_EQ(v[j], want_im) << name << ": re into slot " << i << ", im into slot " << j;
    }
  }
}

TEST(CmpAliasing, AnOutputSlotMayAlsoBeAnArgument) {
  ExpectAliasingHarmless<2>(
      "CSinh", [](auto& v, long double& re, long double& im) { CSinh(v[0], v[1], re, im); },
      {1.3L, -0.4L});
  ExpectAliasingHarmless<2>(
      "CCosh", [](auto& v, long double& re, long double& im) { CCosh(v[0], v[1], re, im); },
      {-2.1L, 0.9L});
  ExpectAliasingHarmless<2>(
      "CExp", [](auto& v, long double& re, long double& im) { CExp(v[0], v[1], re, im); },
      {0.6L, 2.4L});
  ExpectAliasingHarmless<2>(
      "CSqrt", [](auto& v, long double& re, long double& im) { CSqrt(v[0], v[1], re, im); },
      {-3.3L, 1.7L});
  ExpectAliasingHarmless<4>(
      "CMul",
      [](auto& v, long double& re, long double& im) { CMul(v[0], v[1], v[2], v[3], re, im); },
      {1.1L, -2.2L, 0.3L, 4.5L});
  ExpectAliasingHarmless<4>(
      "CDiv",
      [](auto& v, long double& re, long double& im) { CDiv(v[0], v[1], v[2], v[3], re, im); },
      {1.1L, -2.2L, 0.3L, 4.5L});
  ExpectAliasingHarmless<6>(
      "CCoshSinhComb",
      [](auto& v, long double& re, long double& im) {
        CCoshSinhComb(v[0], v[1], v[2], v[3], v[4], v[5], re, im);
      },
      {0.7L, -1.2L, 2.5L, 0.3L, -0.4L, 1.9L});
  ExpectAliasingHarmless<8>(
      "CSinhCoshProd",
      [](auto& v, long double& re, long double& im) {
        CSinhCoshProd(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], re, im);
      },
      {0.7L, -1.2L, 2.5L, 0.3L, 4.1L, -0.6L, -0.4L, 1.9L});
  ExpectAliasingHarmless<8>(
      "CCoshCoshProd",
      [](auto& v, long double& re, long double& im) {
        CCoshCoshProd(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], re, im);
      },
      {0.7L, -1.2L, 2.5L, 0.3L, 4.1L, -0.6L, -0.4L, 1.9L});
}

// ---------------------------------------------------------------------------------------------
// Floating-point faults: raised by the arithmetic, reported by the caller's checked step

// Values the optimiser cannot fold, so the faulting operations really execute.
volatile long double g_zero = 0.0L;
volatile long double g_one = 1.0L;

TEST(CmpFaults, ZeroDivisorIsReported) {
  long double re = 0, im = 0;
  // Both numerators carry a factor of the divisor's parts, so an exact 0 + 0i divisor makes
  // 0/0, an invalid operation, whatever the dividend.
  EXPECT_EQ(RunChecked([&] { CDiv(g_one, g_zero, g_zero, g_zero, re, im); }), FaultKind::kInvalidOperation);
  EXPECT_EQ(RunChecked([&] { CDiv(g_zero, g_zero, g_zero, g_zero, re, im); }), FaultKind::kInvalidOperation);
  EXPECT_EQ(RunChecked([&] { CDivScaled(g_one, g_zero, g_zero, g_zero, re, im); }), FaultKind::kInvalidOperation);
  // A divisor whose squares underflow to 0 while a·c does not divides a nonzero value by zero.
  const long double tiny = 1e-2500L * g_one;
  EXPECT_EQ(RunChecked([&] { CDiv(g_one, g_zero, tiny, g_zero, re, im); }), FaultKind::kDivisionByZero);
}

TEST(CmpFaults, ExponentialsBeyondTheExtendedRangeOverflow) {
  // e^x reaches the largest extended value at x = 11356.52; sinh and cosh, at half of e^|x|,
  // at 11357.22.
  const long double beyond = 11360.0L * g_one;
  const long double within = 11356.0L * g_one;
  long double re = 0, im = 0;
  EXPECT_EQ(RunChecked([&] { CExp(beyond, 0.5L, re, im); }), FaultKind::kOverflow);
  EXPECT_EQ(RunChecked([&] { CSinh(beyond, 0.5L, re, im); }), FaultKind::kOverflow);
  EXPECT_EQ(RunChecked([&] { CSinh(-beyond, 0.5L, re, im); }), FaultKind::kOverflow);
  EXPECT_EQ(RunChecked([&] { CCosh(beyond, 0.5L, re, im); }), FaultKind::kOverflow);
  EXPECT_EQ(RunChecked([&] { CCosh(-beyond, 0.5L, re, im); }), FaultKind::kOverflow);
  EXPECT_EQ(RunChecked([&] { CExp(within, 0.5L, re, im); }), FaultKind::kNone);
  EXPECT_TRUE(std::isfinite(re));
  EXPECT_EQ(RunChecked([&] { CCosh(-within, 0.5L, re, im); }), FaultKind::kNone);
  EXPECT_TRUE(std::isfinite(re));
}

TEST(CmpFaults, ExponentialOfAVeryNegativeArgumentUnderflowsSilentlyToZero) {
  long double re = 1, im = 1;
  EXPECT_EQ(RunChecked([&] { CExp(-20000.0L * g_one, 1.0L, re, im); }), FaultKind::kNone);
  EXPECT_EQ(re, 0.0L);
  EXPECT_EQ(im, 0.0L);
}

TEST(CmpFaults, SquaresBeyondTheExtendedRangeOverflow) {
  const long double big = 1e2500L * g_one;  // its square exceeds the range of about 1.19e4932
  long double re = 0, im = 0;
  EXPECT_EQ(RunChecked([&] { CSqrt(big, g_one, re, im); }), FaultKind::kOverflow);
  EXPECT_EQ(RunChecked([&] { CDiv(g_one, g_one, big, g_zero, re, im); }), FaultKind::kOverflow);
  EXPECT_EQ(RunChecked([&] { CDivScaled(g_one, g_one, big, g_zero, re, im); }), FaultKind::kNone);
}

TEST(CmpFaults, SignOfATinyImaginaryPartIsTakenWithoutAFault) {
  long double re = 0, im = 0;
  EXPECT_EQ(RunChecked([&] { CSqrt(4.0L * g_one, 1e-330L * g_one, re, im); }), FaultKind::kNone);
  EXPECT_EQ(im, 0.0L);
}

}  // namespace
}  // namespace nlayer
