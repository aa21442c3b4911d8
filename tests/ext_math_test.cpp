#include "core/ext_math.h"

#include <gtest/gtest.h>
#include <quadmath.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/fp_guard.h"
#include "app/run_error.h"

namespace nlayer {
namespace {

using namespace ext_math_internal;

// Stated accuracy of each function, in ulps of the exact result.
constexpr double kExpBound = 1.0;      // one rounding after a table-driven exponential
constexpr double kExpm1Bound = 3.0;    // a few roundings of a sum that may cancel by half
constexpr double kSinhCoshBound = 3.0; // a few roundings on top of one exponential
constexpr double kSinCosBound = 1.0;   // one rounding after an exact reduction and table lookup

constexpr long double kInf = std::numeric_limits<long double>::infinity();
constexpr long double kNaN = std::numeric_limits<long double>::quiet_NaN();

// ---------------------------------------------------------------------------------------------
// Error in ulps against binary128, whose 113 bits make its own error (under 2^-110 relative in
// libquadmath) invisible at the scale of an extended-real ulp (2^-64 to 2^-63 relative).

// Spacing of extended reals at |exact|: 2^(e - 63) in [2^e, 2^(e+1)), and the subnormal spacing
// 2^-16445 below LDBL_MIN.
__float128 ExtendedUlpAt(__float128 exact) {
  const __float128 magnitude = fabsq(exact);
  if (magnitude < static_cast<__float128>(LDBL_MIN)) return ldexpq(1.0Q, -16445);
  return ldexpq(1.0Q, ilogbq(magnitude) - 63);
}

// |got - exact| in ulps of the extended reals at `exact`; 0 for equal infinities, infinite for a
// NaN or a lone infinity.
double UlpError(long double got, __float128 exact) {
  if (std::isnan(got) || isnanq(exact)) return std::numeric_limits<double>::infinity();
  if (std::isinf(got) || isinfq(exact)) {
    return static_cast<__float128>(got) == exact ? 0.0 : std::numeric_limits<double>::infinity();
  }
  return static_cast<double>(fabsq(static_cast<__float128>(got) - exact) / ExtendedUlpAt(exact));
}

// The largest error of ours and of the C library's function over one sweep.
struct SweepErrors {
  double ours = 0;
  double library = 0;
  long double worst_argument = 0;  // where ours is worst
};

void Accumulate(SweepErrors& errors, long double x, double ours, double library) {
  if (ours > errors.ours) errors.ours = ours, errors.worst_argument = x;
  errors.library = std::max(errors.library, library);
}

// Prints the maxima so they can be quoted, records them in the test's XML report, and checks the
// stated bound; where the C library itself exceeds the bound on a sweep, ours may not exceed it.
void ReportAndCheck(const std::string& name, const SweepErrors& errors, double bound,
                    std::size_t count) {
  std::printf("[ ulp      ] %-34s ours %6.3f  libm %8.3f  (%zu arguments, bound %.0f)\n",
              name.c_str(), errors.ours, errors.library, count, bound);
  ::testing::Test::RecordProperty(name + ".ours", std::to_string(errors.ours));
  ::testing::Test::RecordProperty(name + ".libm", std::to_string(errors.library));
  EXPECT_LE(errors.ours, std::max(bound, errors.library))
      << name << ": worst argument " << static_cast<double>(errors.worst_argument) << " ("
      << std::hexfloat << errors.worst_argument << ")";
}

// ---------------------------------------------------------------------------------------------
// Arguments.

// A generator seeded from the sweep's own parameters, so that each sweep draws the same
// arguments whichever tests run before it, and the quoted maxima can be reproduced.
std::mt19937_64 EngineFor(long double lo, long double hi, int n) {
  const auto bits = [](long double v) { return std::hash<long double>{}(v); };
  return std::mt19937_64(0x9E3779B97F4A7C15u ^ (bits(lo) * 31 + bits(hi) * 17 +
                                                static_cast<std::size_t>(n)));
}

// n arguments uniform in [lo, hi].
std::vector<long double> Uniform(long double lo, long double hi, int n) {
  std::mt19937_64 engine = EngineFor(lo, hi, n);
  std::vector<long double> xs;
  for (int i = 0; i < n; ++i) {
    const long double u = std::generate_canonical<long double, 64>(engine);
    xs.push_back(lo + (hi - lo) * u);
  }
  return xs;
}

// n arguments with magnitudes spread evenly in log2 between 2^lo_exp and 2^hi_exp, both signs.
std::vector<long double> LogUniform(int lo_exp, int hi_exp, int n) {
  std::vector<long double> xs;
  for (long double e : Uniform(lo_exp, hi_exp, n)) {
    const long double x = std::exp2(e);
    xs.push_back((xs.size() % 2 == 0) ? x : -x);
  }
  return xs;
}

// Both signs of each argument.
std::vector<long double> BothSigns(std::vector<long double> xs) {
  const std::size_t n = xs.size();
  for (std::size_t i = 0; i < n; ++i) xs.push_back(-xs[i]);
  return xs;
}

// The smallest subnormals, tiny normals and a few round small values, both signs.
std::vector<long double> TinyArguments() {
  std::vector<long double> xs = {LDBL_TRUE_MIN, 2 * LDBL_TRUE_MIN, 12345 * LDBL_TRUE_MIN,
                                 LDBL_MIN / 3, LDBL_MIN, 1e-4000L, 1e-1000L, 1e-300L, 1e-30L,
                                 1e-20L, 1e-10L, 1e-5L};
  for (long double x : LogUniform(-16440, -20, 2000)) xs.push_back(x);
  return BothSigns(xs);
}

// Points where the nearest m to x·128/ln2, and with it the table index, changes: (m + 1/2)·ln2/128
// and its neighbours.
std::vector<long double> ExpTableBoundaries(int m_lo, int m_hi) {
  std::vector<long double> xs;
  for (int m = m_lo; m <= m_hi; ++m) {
    const auto x = static_cast<long double>((m + 0.5Q) * M_LN2q / kExpTableSize);
    xs.push_back(x);
    xs.push_back(std::nextafter(x, kInf));
    xs.push_back(std::nextafter(x, -kInf));
  }
  return xs;
}

using LongFn = std::function<long double(long double)>;
using QuadFn = std::function<__float128(__float128)>;

SweepErrors MeasureSweep(const std::vector<long double>& xs, const LongFn& ours,
                         const LongFn& library, const QuadFn& exact) {
  SweepErrors errors;
  for (long double x : xs) {
    const __float128 y = exact(static_cast<__float128>(x));
    Accumulate(errors, x, UlpError(ours(x), y), UlpError(library(x), y));
  }
  return errors;
}

void CheckSweep(const std::string& name, const std::vector<long double>& xs, const LongFn& ours,
                const LongFn& library, const QuadFn& exact, double bound) {
  ReportAndCheck(name, MeasureSweep(xs, ours, library, exact), bound, xs.size());
}

// The fault the model would see from one call.
FaultKind FaultOf(const std::function<void()>& call) { return RunChecked([&] { call(); }); }

void ExpectNoFaultOver(const std::vector<long double>& xs, const LongFn& f, const char* name) {
  int faults = 0;
  for (long double x : xs) {
    if (FaultOf([&] { f(x); }) != FaultKind::kNone && ++faults <= 5) {
      ADD_FAILURE() << name << "(" << std::hexfloat << x << ") raised "
                    << FaultMessage(FaultOf([&] { f(x); }));
    }
  }
  EXPECT_EQ(faults, 0) << name;
}

// ---------------------------------------------------------------------------------------------
// The generated constants.

TEST(ExtMathTables, ExpTableHoldsTwoToTheJOver128ToBeyond110Bits) {
  EXPECT_EQ(kExp2Table[0].hi, 1.0L);
  EXPECT_EQ(kExp2Table[0].lo, 0.0L);
  for (int j = 0; j < kExpTableSize; ++j) {
    const __float128 exact = exp2q(static_cast<__float128>(j) / kExpTableSize);
    const __float128 sum = static_cast<__float128>(kExp2Table[j].hi) + kExp2Table[j].lo;
    EXPECT_LE(fabsq(sum - exact), ldexpq(exact, -110)) << "j = " << j;
    // The high part is the nearest extended real, so the low part is at most half its ulp.
    EXPECT_LE(std::fabs(kExp2Table[j].lo), std::ldexp(1.0L, -64)) << "j = " << j;
  }
}

void ExpectNodesHold(const OddEvenNode* table, int size, __float128 (*odd)(__float128),
                     __float128 (*even)(__float128)) {
  for (int i = 0; i < size; ++i) {
    const __float128 node = static_cast<__float128>(i) / kNodesPerUnit;
    const OddEvenNode& e = table[i];
    EXPECT_LE(fabsq(static_cast<__float128>(e.hi[0]) + e.lo[0] - odd(node)),
              ldexpq(fabsq(odd(node)), -111))
        << "i = " << i;
    EXPECT_LE(fabsq(static_cast<__float128>(e.hi[1]) + e.lo[1] - even(node)),
              ldexpq(fabsq(even(node)), -111))
        << "i = " << i;
  }
}

TEST(ExtMathTables, SinCosTableHoldsSinAndCosAtMultiplesOfOneSixtyFourth) {
  ExpectNodesHold(kSinCosTable, kSinCosTableSize, sinq, cosq);
  // The last node must reach past pi/4, the largest reduced argument.
  EXPECT_GT((kSinCosTableSize - 0.5L) / kNodesPerUnit, 0.7854L);
}

TEST(ExtMathTables, SinhCoshTableHoldsSinhAndCoshAtMultiplesOfOneSixtyFourth) {
  ExpectNodesHold(kSinhCoshTable, kSinhCoshTableSize, sinhq, coshq);
  EXPECT_EQ(kSinhCoshTableSize - 1, kNodesPerUnit);  // the last node is 1
}

// Number of significant bits of an extended real (0 for zero).
int SignificantBits(long double v) {
  if (v == 0) return 0;
  std::uint64_t significand;
  std::memcpy(&significand, &v, sizeof significand);
  return 64 - __builtin_ctzll(significand);
}

TEST(ExtMathTables, CodyWaitePiecesAreShortEnoughAndSumToTheConstants) {
  // k·piece exact for |k| < 2^22 (ln2/128) and |k| < 2^20 (pi/2).
  EXPECT_LE(SignificantBits(kLn2OverNHi), 42);
  EXPECT_LE(SignificantBits(kHalfPi1), 44);
  EXPECT_LE(SignificantBits(kHalfPi2), 44);
  EXPECT_LE(SignificantBits(kHalfPi3), 44);
  // 42 + 53 bits: an error below 2^-103, so m·error < 2^-81 for every |m| < 2^22.
  const __float128 ln2_over_n = static_cast<__float128>(kLn2OverNHi) + kLn2OverNLo;
  EXPECT_LE(fabsq(ln2_over_n - M_LN2q / kExpTableSize), ldexpq(1.0Q, -103));
  EXPECT_GT(fabsq(ln2_over_n - M_LN2q / kExpTableSize), 0.0Q);  // the test can see the error
  // binary128 holds pi/2 to 2^-113 only; the pieces go further (about 2^-185), so they can be
  // checked only to binary128 precision here (the generator checks its own series likewise).
  const __float128 half_pi = static_cast<__float128>(kHalfPi1) + kHalfPi2 + kHalfPi3 + kHalfPi4;
  EXPECT_LE(fabsq(half_pi - M_PI_2q), ldexpq(1.0Q, -112));
  EXPECT_EQ(kTwoOverPi, static_cast<double>(2 / M_PIq));
  EXPECT_EQ(kNOverLn2, static_cast<double>(kExpTableSize / M_LN2q));
}

// The reductions round one value to an integer twice: on the x87 stack for their floating-point
// steps, and by FISTP for the table index and the quadrant. The two must be the same integer,
// ties to even included, or a result would take the wrong table entry.
TEST(ExtMathReduction, BothRoundingsToAnIntegerAgreeWithRint) {
  int checked = 0;
  for (long double base : {0.0L, 1.0L, 2.0L, 3.0L, 127.0L, 128.0L, 1e6L, 0x1p40L, 0x1p61L}) {
    for (long double fraction : {0.0L, 0.25L, 0.5L, 0.75L}) {
      for (long double sign : {1.0L, -1.0L}) {
        const long double v = sign * (base + fraction);
        for (long double x : {v, std::nextafter(v, kInf), std::nextafter(v, -kInf)}) {
          const long double expected = rintl(x);
          EXPECT_EQ(NearestIntegerValue(x), expected) << static_cast<double>(x);
          EXPECT_EQ(static_cast<long double>(NearestInteger(x)), expected) << static_cast<double>(x);
          ++checked;
        }
      }
    }
  }
  EXPECT_EQ(checked, 9 * 4 * 2 * 3);
}

// ---------------------------------------------------------------------------------------------
// ExpExt

const LongFn kOursExp = [](long double x) { return ExpExt(x); };
const LongFn kLibExp = [](long double x) { return expl(x); };
const QuadFn kExactExp = [](__float128 x) { return expq(x); };

TEST(ExpExt, WithinOneUlpOverTheSweeps) {
  CheckSweep("exp tiny", TinyArguments(), kOursExp, kLibExp, kExactExp, kExpBound);
  CheckSweep("exp [-1, 1]", Uniform(-1, 1, 20000), kOursExp, kLibExp, kExactExp, kExpBound);
  CheckSweep("exp [-60, 60]", Uniform(-60, 60, 40000), kOursExp, kLibExp, kExactExp, kExpBound);
  CheckSweep("exp table boundaries", ExpTableBoundaries(-3000, 3000), kOursExp, kLibExp,
             kExactExp, kExpBound);
  CheckSweep("exp [-11350, 11356.5]", Uniform(-11350, 11356.5L, 20000), kOursExp, kLibExp,
             kExactExp, kExpBound);
  CheckSweep("exp near overflow", Uniform(11340, 11356.5234L, 5000), kOursExp, kLibExp,
             kExactExp, kExpBound);
  CheckSweep("exp around +-11350 (inner bound)", BothSigns(Uniform(11349, 11351, 2000)), kOursExp,
             kLibExp, kExactExp, kExpBound);
  CheckSweep("exp subnormal results", Uniform(-11399, -11350, 5000), kOursExp, kLibExp,
             kExactExp, kExpBound);
}

TEST(ExpExt, IntegersGiveTheirPowersOfE) {
  EXPECT_EQ(ExpExt(0.0L), 1.0L);
  EXPECT_EQ(ExpExt(-0.0L), 1.0L);
  for (int n = -50; n <= 50; ++n) {
    EXPECT_LE(UlpError(ExpExt(n), expq(n)), kExpBound) << "n = " << n;
  }
}

TEST(ExpExt, OverflowsExactlyAboveLnOfLargestExtended) {
  // ln(LDBL_MAX) = 11356.52340629414394...
  EXPECT_EQ(FaultOf([] { ExpExt(11356.0L); }), FaultKind::kNone);
  EXPECT_EQ(FaultOf([] { ExpExt(11356.5234L); }), FaultKind::kNone);
  EXPECT_TRUE(std::isfinite(ExpExt(11356.5234L)));
  for (long double x : {11356.5235L, 11357.0L, 11400.0L, 11500.0L, 11501.0L, 1e6L, LDBL_MAX}) {
    EXPECT_EQ(FaultOf([x] { ExpExt(x); }), FaultKind::kOverflow) << static_cast<double>(x);
    EXPECT_EQ(ExpExt(x), kInf) << static_cast<double>(x);
  }
  // The last argument below the limit stays finite, as in expl.
  const auto last = static_cast<long double>(logq(static_cast<__float128>(LDBL_MAX)));
  EXPECT_EQ(std::isfinite(ExpExt(last)), std::isfinite(expl(last)));
  EXPECT_EQ(FaultOf([last] { ExpExt(std::nextafter(last, kInf)); }), FaultKind::kOverflow);
}

TEST(ExpExt, VeryNegativeArgumentsUnderflowWithoutFault) {
  for (long double x : {-11390.0L, -11398.0L, -11399.5L, -11400.0L, -11500.0L, -11501.0L, -1e6L,
                        -LDBL_MAX}) {
    EXPECT_EQ(FaultOf([x] { ExpExt(x); }), FaultKind::kNone) << static_cast<double>(x);
    EXPECT_GE(ExpExt(x), 0.0L);
    EXPECT_LE(UlpError(ExpExt(x), expq(x)), kExpBound) << static_cast<double>(x);
  }
  EXPECT_EQ(ExpExt(-1e6L), 0.0L);
}

TEST(ExpExt, InfinitiesAndNaN) {
  EXPECT_EQ(ExpExt(kInf), kInf);
  EXPECT_EQ(ExpExt(-kInf), 0.0L);
  EXPECT_EQ(FaultOf([] { ExpExt(kInf); }), FaultKind::kNone);
  EXPECT_EQ(FaultOf([] { ExpExt(-kInf); }), FaultKind::kNone);
  EXPECT_TRUE(std::isnan(ExpExt(kNaN)));
  EXPECT_EQ(FaultOf([] { ExpExt(kNaN); }), FaultKind::kNone);
}

TEST(ExpExt, RaisesNoFaultInRange) {
  ExpectNoFaultOver(Uniform(-12000, 11356.5L, 20000), kOursExp, "ExpExt");
  ExpectNoFaultOver(TinyArguments(), kOursExp, "ExpExt");
}

// ---------------------------------------------------------------------------------------------
// Expm1Ext

const LongFn kOursExpm1 = [](long double x) { return Expm1Ext(x); };
const LongFn kLibExpm1 = [](long double x) { return expm1l(x); };
const QuadFn kExactExpm1 = [](__float128 x) { return expm1q(x); };

TEST(Expm1Ext, WithinThreeUlpOverTheSweeps) {
  CheckSweep("expm1 tiny", TinyArguments(), kOursExpm1, kLibExpm1, kExactExpm1, kExpm1Bound);
  CheckSweep("expm1 |x| in [2^-20, 2]", LogUniform(-20, 1, 40000), kOursExpm1, kLibExpm1,
             kExactExpm1, kExpm1Bound);
  CheckSweep("expm1 [-1, 1]", Uniform(-1, 1, 20000), kOursExpm1, kLibExpm1, kExactExpm1,
             kExpm1Bound);
  CheckSweep("expm1 [-60, 60]", Uniform(-60, 60, 40000), kOursExpm1, kLibExpm1, kExactExpm1,
             kExpm1Bound);
  CheckSweep("expm1 table boundaries", ExpTableBoundaries(-9000, 9000), kOursExpm1, kLibExpm1,
             kExactExpm1, kExpm1Bound);
  CheckSweep("expm1 [-11500, 11356.5]", Uniform(-11500, 11356.5L, 20000), kOursExpm1, kLibExpm1,
             kExactExpm1, kExpm1Bound);
}

TEST(Expm1Ext, EdgesAndFlags) {
  EXPECT_EQ(Expm1Ext(0.0L), 0.0L);
  EXPECT_TRUE(std::signbit(Expm1Ext(-0.0L)));
  EXPECT_EQ(Expm1Ext(LDBL_TRUE_MIN), LDBL_TRUE_MIN);
  EXPECT_EQ(Expm1Ext(-LDBL_TRUE_MIN), -LDBL_TRUE_MIN);
  EXPECT_EQ(Expm1Ext(-1e6L), -1.0L);
  EXPECT_EQ(Expm1Ext(-kInf), -1.0L);
  EXPECT_EQ(Expm1Ext(kInf), kInf);
  EXPECT_TRUE(std::isnan(Expm1Ext(kNaN)));
  EXPECT_EQ(FaultOf([] { Expm1Ext(11356.5234L); }), FaultKind::kNone);
  EXPECT_EQ(FaultOf([] { Expm1Ext(11356.5235L); }), FaultKind::kOverflow);
  EXPECT_EQ(FaultOf([] { Expm1Ext(-1e6L); }), FaultKind::kNone);
  ExpectNoFaultOver(Uniform(-12000, 11356.5L, 20000), kOursExpm1, "Expm1Ext");
  ExpectNoFaultOver(TinyArguments(), kOursExpm1, "Expm1Ext");
}

// ---------------------------------------------------------------------------------------------
// SinhCoshExt

const LongFn kOursSinh = [](long double x) {
  long double sh, ch;
  SinhCoshExt(x, sh, ch);
  return sh;
};
const LongFn kOursCosh = [](long double x) {
  long double sh, ch;
  SinhCoshExt(x, sh, ch);
  return ch;
};
const LongFn kLibSinh = [](long double x) { return sinhl(x); };
const LongFn kLibCosh = [](long double x) { return coshl(x); };
const QuadFn kExactSinh = [](__float128 x) { return sinhq(x); };
const QuadFn kExactCosh = [](__float128 x) { return coshq(x); };

// ln(2·LDBL_MAX) = 11357.21655347472...: sinh and cosh overflow beyond it. (2·LDBL_MAX itself
// overflows binary128 too, which has the same exponent range.)
const long double kSinhCoshLimit =
    static_cast<long double>(logq(static_cast<__float128>(LDBL_MAX)) + M_LN2q);

struct Sweep {
  std::string name;
  std::vector<long double> xs;
};

// Tiny to large arguments, with the switch from expm1 to the exponential pair at |x| = 1.
std::vector<Sweep> SinhCoshSweeps() {
  return {{"tiny", TinyArguments()},
          {"|x| in [2^-30, 1]", BothSigns(LogUniform(-30, 0, 20000))},
          {"around 1", BothSigns(Uniform(0.99L, 1.01L, 5000))},
          {"[-1.5, 1.5]", Uniform(-1.5L, 1.5L, 20000)},
          {"[-60, 60]", Uniform(-60, 60, 40000)},
          {"around 24", BothSigns(Uniform(23, 25, 5000))},
          {"60 to overflow", BothSigns(Uniform(60, std::nextafter(kSinhCoshLimit, 0.0L), 20000))}};
}

TEST(SinhCoshExt, WithinThreeUlpOverTheSweeps) {
  for (const Sweep& sweep : SinhCoshSweeps()) {
    CheckSweep("sinh " + sweep.name, sweep.xs, kOursSinh, kLibSinh, kExactSinh, kSinhCoshBound);
    CheckSweep("cosh " + sweep.name, sweep.xs, kOursCosh, kLibCosh, kExactCosh, kSinhCoshBound);
  }
}

TEST(SinhCoshExt, OverflowsWhereSinhlAndCoshlDo) {
  // Finite up to ln(2·LDBL_MAX): sinh and cosh of 11357 are about 0.805·LDBL_MAX.
  const long double below = std::nextafter(kSinhCoshLimit, 0.0L);
  const long double above = std::nextafter(kSinhCoshLimit, kInf);
  for (long double x : {11356.0L, 11356.6L, 11357.0L, 11357.2L, below, above, 11357.3L, 11358.0L,
                        11500.0L, 11501.0L, 1e6L}) {
    for (long double signed_x : {x, -x}) {
      long double sh, ch;
      const FaultKind ours = FaultOf([&] { SinhCoshExt(signed_x, sh, ch); });
      const FaultKind sinh_library = FaultOf([&] { sinhl(signed_x); });
      const FaultKind cosh_library = FaultOf([&] { coshl(signed_x); });
      EXPECT_EQ(sinh_library, cosh_library);
      EXPECT_EQ(ours, sinh_library) << static_cast<double>(signed_x);
      EXPECT_EQ(ours == FaultKind::kOverflow, std::fabs(signed_x) > kSinhCoshLimit);
      if (ours == FaultKind::kNone) {
        EXPECT_LE(UlpError(sh, sinhq(signed_x)), kSinhCoshBound) << static_cast<double>(signed_x);
        EXPECT_LE(UlpError(ch, coshq(signed_x)), kSinhCoshBound) << static_cast<double>(signed_x);
      } else {
        EXPECT_EQ(sh, std::copysign(kInf, signed_x));
        EXPECT_EQ(ch, kInf);
      }
    }
  }
}

TEST(SinhCoshExt, ZerosInfinitiesAndNaN) {
  long double sh, ch;
  SinhCoshExt(-0.0L, sh, ch);
  EXPECT_EQ(sh, 0.0L);
  EXPECT_TRUE(std::signbit(sh));
  EXPECT_EQ(ch, 1.0L);
  SinhCoshExt(-kInf, sh, ch);
  EXPECT_EQ(sh, -kInf);
  EXPECT_EQ(ch, kInf);
  EXPECT_EQ(FaultOf([&] { SinhCoshExt(kNaN, sh, ch); }), FaultKind::kNone);
  EXPECT_TRUE(std::isnan(sh));
  EXPECT_TRUE(std::isnan(ch));
}

TEST(SinhCoshExt, RaisesNoFaultInRange) {
  ExpectNoFaultOver(BothSigns(Uniform(0, std::nextafter(kSinhCoshLimit, 0.0L), 20000)), kOursSinh,
                    "SinhCoshExt");
  ExpectNoFaultOver(TinyArguments(), kOursSinh, "SinhCoshExt");
}

// ---------------------------------------------------------------------------------------------
// SinCosExt

const LongFn kOursSin = [](long double x) {
  long double s, c;
  SinCosExt(x, s, c);
  return s;
};
const LongFn kOursCos = [](long double x) {
  long double s, c;
  SinCosExt(x, s, c);
  return c;
};
const LongFn kLibSin = [](long double x) { return sinl(x); };
const LongFn kLibCos = [](long double x) { return cosl(x); };
const QuadFn kExactSin = [](__float128 x) { return sinq(x); };
const QuadFn kExactCos = [](__float128 x) { return cosq(x); };

// The extended reals nearest to k·pi/2 and their neighbours a few ulps away: here the reduced
// argument is only as large as the rounding of x, and sin or cos is that small.
std::vector<long double> NearMultiplesOfHalfPi(long double x_max, int n) {
  std::vector<long double> xs;
  const auto k_max = static_cast<std::int64_t>(x_max / 1.5707963267948966L);
  std::uniform_int_distribution<std::int64_t> pick(-k_max, k_max);
  std::mt19937_64 engine = EngineFor(-x_max, x_max, n);
  for (int i = 0; i < n; ++i) {
    const std::int64_t k = i < 200 ? i - 100 : pick(engine);
    const auto x = static_cast<long double>(k * M_PI_2q);
    xs.push_back(x);
    long double up = x, down = x;
    for (int step = 0; step < 3; ++step) {
      up = std::nextafter(up, kInf);
      down = std::nextafter(down, -kInf);
      xs.push_back(up);
      xs.push_back(down);
    }
    // A little further off: r of 1e-10 and of 1e-3 relative to pi/2.
    xs.push_back(static_cast<long double>(k * M_PI_2q + 1e-10Q));
    xs.push_back(static_cast<long double>(k * M_PI_2q - 1e-3Q));
  }
  return xs;
}

// Where the table node or the branch to the plain series changes, r = (i ± 1/2)/64, and where
// the reduction starts (the quarter periods k·pi/2 ± pi/4, around 50 ulp either side).
std::vector<long double> SinCosNodeBoundaries() {
  std::vector<long double> xs;
  for (int k = -2; k <= 2; ++k) {
    for (int sign : {-1, 1}) {
      long double x = static_cast<long double>(k * M_PI_2q + sign * M_PI_4q);
      for (int step = 0; step < 50; ++step) x = std::nextafter(x, -kInf);
      for (int step = 0; step < 100; ++step, x = std::nextafter(x, kInf)) xs.push_back(x);
    }
  }
  for (int k = -3; k <= 3; ++k) {
    for (int i = 0; i <= 51; ++i) {
      for (int sign : {-1, 1}) {
        const auto x = static_cast<long double>(k * M_PI_2q + sign * (i + 0.5Q) / 64);
        xs.push_back(x);
        xs.push_back(std::nextafter(x, kInf));
        xs.push_back(std::nextafter(x, -kInf));
      }
    }
  }
  return xs;
}

void CheckSinCosSweep(const std::string& name, const std::vector<long double>& xs) {
  CheckSweep("sin " + name, xs, kOursSin, kLibSin, kExactSin, kSinCosBound);
  CheckSweep("cos " + name, xs, kOursCos, kLibCos, kExactCos, kSinCosBound);
}

TEST(SinCosExt, WithinOneUlpOverTheSweeps) {
  CheckSinCosSweep("tiny", TinyArguments());
  CheckSinCosSweep("[-pi, pi]", Uniform(-3.1416L, 3.1416L, 20000));
  CheckSinCosSweep("node boundaries", SinCosNodeBoundaries());
  CheckSinCosSweep("[0, 600]", Uniform(0, 600, 40000));
  CheckSinCosSweep("[-1e4, 1e4]", Uniform(-1e4L, 1e4L, 20000));
  CheckSinCosSweep("[1e4, 1e5]", BothSigns(Uniform(1e4L, 1e5L, 10000)));
  CheckSinCosSweep("[1e5, bound]", BothSigns(Uniform(1e5L, kSinCosReductionBound, 5000)));
  CheckSinCosSweep("near k pi/2, |x| < 100", NearMultiplesOfHalfPi(100, 300));
  CheckSinCosSweep("near k pi/2, |x| < 1e5", NearMultiplesOfHalfPi(1e5L, 3000));
  CheckSinCosSweep("near k pi/2, |x| < bound", NearMultiplesOfHalfPi(kSinCosReductionBound, 1000));
}

TEST(SinCosExt, BeyondTheReductionBoundGivesSincosl) {
  for (long double x : {std::nextafter(kSinCosReductionBound, kInf), 1e7L, -3e9L, 1e20L, LDBL_MAX,
                        -LDBL_MAX}) {
    long double s, c, s_library, c_library;
    SinCosExt(x, s, c);
    sincosl(x, &s_library, &c_library);
    EXPECT_EQ(s, s_library) << static_cast<double>(x);
    EXPECT_EQ(c, c_library) << static_cast<double>(x);
  }
}

TEST(SinCosExt, ZerosAndNaN) {
  long double s, c;
  SinCosExt(-0.0L, s, c);
  EXPECT_EQ(s, 0.0L);
  EXPECT_TRUE(std::signbit(s));
  EXPECT_EQ(c, 1.0L);
  SinCosExt(LDBL_TRUE_MIN, s, c);
  EXPECT_EQ(s, LDBL_TRUE_MIN);
  EXPECT_EQ(c, 1.0L);
  EXPECT_EQ(FaultOf([&] { SinCosExt(kNaN, s, c); }), FaultKind::kNone);
  EXPECT_TRUE(std::isnan(s));
  EXPECT_TRUE(std::isnan(c));
}

TEST(SinCosExt, RaisesNoFaultForFiniteArguments) {
  ExpectNoFaultOver(Uniform(-2e6L, 2e6L, 20000), kOursSin, "SinCosExt");
  ExpectNoFaultOver(TinyArguments(), kOursSin, "SinCosExt");
  ExpectNoFaultOver(NearMultiplesOfHalfPi(1e5L, 1000), kOursSin, "SinCosExt");
}

}  // namespace
}  // namespace nlayer
