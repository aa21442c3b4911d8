#include "core/fresnel.h"

#include <gtest/gtest.h>

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

#include "core/fresnel_internal.h"
#include "core/fp_guard.h"
#include "tests/test_support.h"

namespace nlayer {
namespace {

using fresnel_internal::Abscissa480;
using fresnel_internal::ComputeBoundaryAverages;
using fresnel_internal::GaussLegendre480;
using fresnel_internal::Weight480;
using testing::RelErr;

constexpr int kEntries = 240;

// Expects `actual` to round to the decimal `reference` at the reference's own last digit:
// reference values are kept verbatim as text, and the number of digits given is the accuracy
// claimed for them.
void ExpectAgreesToTheDigitsGiven(long double actual, std::string_view reference) {
  long double value = 0.0L;
  std::from_chars(reference.data(), reference.data() + reference.size(), value);
  const auto decimals = static_cast<int>(reference.size() - reference.find('.') - 1);
  const long double half_unit_of_last_digit = 0.5L * std::pow(10.0L, -decimals);
  EXPECT_LE(RelErr(actual, value), half_unit_of_last_digit / value)
      << "reference " << reference << ", got " << static_cast<double>(actual);
}

// Reference values of the boundary coefficient for the fixed 480-point rule.
struct ReferenceCoefficient {
  long double n;
  std::string_view reff;
};
constexpr std::array<ReferenceCoefficient, 5> kReferenceCoefficients = {{
    {1.4L, "0.49347758209353"},
    {0.7L, "0.0680387074754"},
    {1.33L, "0.431068383634"},
    {1.5L, "0.567841616667"},
    {2.0L, "0.780802680463"},
}};

TEST(EffectiveReflection, ReferenceIndicesGiveTheirCoefficientsToTheDigitsGiven) {
  for (const ReferenceCoefficient& row : kReferenceCoefficients) {
    SCOPED_TRACE(static_cast<double>(row.n));
    ExpectAgreesToTheDigitsGiven(EffectiveReflection(row.n), row.reff);
  }
}

TEST(EffectiveReflection, IndexOnePointFourHasItsCriticalAngleAndBothAverages) {
  const fresnel_internal::BoundaryAverages a = ComputeBoundaryAverages(1.4L);
  // The reference angle is the shortest decimal of a double, so it pins down the extended
  // angle rounded to double. In extended precision sin θc = 1/n holds to the rounding of 1/n
  // and of the arcsine, a few units of the last place.
  constexpr long double kFewExtendedUlps = 3e-19L;
  EXPECT_EQ(static_cast<double>(a.critical_angle), 0.7956029534845354);
  EXPECT_LE(RelErr(std::sin(a.critical_angle), 1.0L / 1.4L), kFewExtendedUlps);
  ExpectAgreesToTheDigitsGiven(a.r_phi, "0.528985476868");
  ExpectAgreesToTheDigitsGiven(a.r_j, "0.388782818429");
  // The coefficient is formed from exactly these two averages.
  EXPECT_EQ(EffectiveReflection(1.4L), (a.r_phi + a.r_j) / (2.0L - a.r_phi + a.r_j));
}

TEST(EffectiveReflection, MatchedIndexReflectsNothing) {
  // At n = 1 the refracted ray continues undeflected, so every Fresnel term is a rounding error
  // squared and the added beyond-θc terms vanish with sin²(π/2) = 1 and cos³(π/2) ~ 1e-59.
  constexpr long double kRoundingResidue = 1e-20L;
  const fresnel_internal::BoundaryAverages a = ComputeBoundaryAverages(1.0L);
  EXPECT_LT(std::fabs(a.r_phi), kRoundingResidue);
  EXPECT_LT(std::fabs(a.r_j), kRoundingResidue);
  EXPECT_LT(std::fabs(EffectiveReflection(1.0L)), kRoundingResidue);
}

TEST(EffectiveReflection, BelowIndexOneTheRangeIsTheWholeQuarterCircle) {
  // Without total internal reflection θc is π/2, the same extended value that arcsin(1) gives
  // at n = 1, and the integrals cover the quarter circle with nothing added beyond it.
  const long double half_pi = ComputeBoundaryAverages(1.0L).critical_angle;
  EXPECT_EQ(ComputeBoundaryAverages(0.7L).critical_angle, half_pi);
  EXPECT_EQ(ComputeBoundaryAverages(0.5L).critical_angle, half_pi);
  EXPECT_LT(std::fabs(std::cos(half_pi)), 1e-19L);  // within one unit of the last place of π/2
}

TEST(EffectiveReflection, SweepRaisesNoFloatingPointFaultAndStaysAProbability) {
  // The model turns invalid operation, division by zero and overflow into run errors; every
  // positive index, the matched one included, must pass without any of them.
  for (int step = 0; step <= 250; ++step) {
    const long double n = 0.5L + step * 0.01L;
    long double reff = -1.0L;
    EXPECT_EQ(RunChecked([&] { reff = EffectiveReflection(n); }), FaultKind::kNone)
        << "n = " << static_cast<double>(n);
    EXPECT_GE(reff, 0.0L);
    EXPECT_LT(reff, 1.0L);
  }
  long double reff = -1.0L;
  EXPECT_EQ(RunChecked([&] { reff = EffectiveReflection(1.0L); }), FaultKind::kNone);
  EXPECT_LT(reff, 1e-20L);
}

TEST(EffectiveReflection, ReflectionGrowsWithTheMismatchOnEitherSideOfIndexOne) {
  long double previous = EffectiveReflection(1.0L);
  for (int step = 1; step <= 200; ++step) {
    const long double reff = EffectiveReflection(1.0L + step * 0.01L);
    EXPECT_GT(reff, previous) << "n = 1 + " << step * 0.01;
    previous = reff;
  }
  previous = EffectiveReflection(1.0L);
  for (int step = 1; step <= 50; ++step) {
    const long double reff = EffectiveReflection(1.0L - step * 0.01L);
    EXPECT_GT(reff, previous) << "n = 1 - " << step * 0.01;
    previous = reff;
  }
}

TEST(EffectiveReflection, ResultDependsOnlyOnTheIndex) {
  const long double first = EffectiveReflection(1.4L);
  EffectiveReflection(0.7L);
  EffectiveReflection(2.0L);
  EXPECT_EQ(EffectiveReflection(1.4L), first);
}

// Reference rows of the 480-point rule, i numbered from 1, each given to 15 significant digits;
// the table must hold exactly the extended real nearest to each decimal.
struct TellingRow {
  int i;
  long double abscissa;
  long double weight;
};
constexpr std::array<TellingRow, 9> kTellingRows = {{
    {1, 0.00326907945583724L, 0.00653813562070873L},
    {2, 0.0098070986223146L, 0.00653785613131012L},
    {3, 0.0163446985591744L, 0.00653729716446037L},
    {120, 0.7042110121981L, 0.00464203807698882L},
    {233, 0.99871596698965L, 0.000331153040461053L},
    {236, 0.99951725129028L, 0.000203019504362327L},
    {238, 0.999837827281408L, 0.000117552677581615L},
    {239, 0.999934011427531L, 0.0000748168530395841L},
    {240, 0.999987475819599L, 0.0000321410242466198L},
}};

TEST(GaussLegendre480, TellingRowsHoldTheNearestExtendedRealOfTheirDecimals) {
  for (const TellingRow& row : kTellingRows) {
    SCOPED_TRACE(row.i);
    EXPECT_EQ(Abscissa480[row.i - 1], row.abscissa);
    EXPECT_EQ(Weight480[row.i - 1], row.weight);
  }
}

TEST(GaussLegendre480, NodesRiseInsideTheOpenUnitIntervalAndWeightsSumToOne) {
  // 240 weights, each rounded by at most 5e-18: their sum lands within half a unit of the 16th
  // digit of 1.
  constexpr long double kWeightSumTolerance = 5e-16L;
  EXPECT_GT(Abscissa480[0], 0.0L);
  EXPECT_LT(Abscissa480[kEntries - 1], 1.0L);
  long double weights = 0.0L;
  for (int i = 0; i < kEntries; ++i) {
    if (i > 0) {
      EXPECT_LT(Abscissa480[i - 1], Abscissa480[i]) << i;
    }
    EXPECT_GT(Weight480[i], 0.0L) << i;
    weights += Weight480[i];
  }
  EXPECT_NEAR(weights, 1.0L, kWeightSumTolerance);
}

TEST(GaussLegendre480, IntegratesSmoothFunctionsToTheRoundingOfItsTables) {
  // For analytic integrands the rule converges far beyond 18 digits; what remains is the
  // 15-digit rounding of nodes and weights, which largely cancels over 480 points.
  constexpr long double kTableRounding = 1e-16L;
  const long double half_pi = std::asin(1.0L);
  EXPECT_LE(RelErr(GaussLegendre480([](long double t) { return std::sin(t) * std::cos(t); },
                                    0.0L, half_pi),
                   0.5L),
            kTableRounding);
  EXPECT_LE(RelErr(GaussLegendre480([](long double t) { return std::exp(t); }, 0.0L, 1.0L),
                   std::exp(1.0L) - 1.0L),
            kTableRounding);
  // An odd integrand over [-1, 1]: each node is paired with its mirror image, so the
  // contributions cancel exactly.
  EXPECT_EQ(GaussLegendre480([](long double x) { return x * x * x + x; }, -1.0L, 1.0L), 0.0L);
}

TEST(GaussLegendre480, IntegratesEveryEvenPowerUpToDegree958) {
  // Exact through degree 959 but for the table rounding: at most 5e-15 relative per weight,
  // and x^(2m) magnifies a node's relative rounding 2m times; high powers are carried by the
  // nodes nearest 1, rounded by at most 5e-16 (15th digit) plus 5e-20 (to extended).
  constexpr long double kWeightRounding = 5e-15L;
  constexpr long double kNodeRoundingNearOne = 5.1e-16L;
  for (int m = 0; m <= 479; ++m) {
    const long double integral = GaussLegendre480(
        [m](long double x) { return std::pow(x, static_cast<long double>(2 * m)); }, -1.0L, 1.0L);
    const long double exact = 2.0L / (2 * m + 1);
    EXPECT_LE(RelErr(integral, exact), kWeightRounding + 2 * m * kNodeRoundingNearOne)
        << "x^" << 2 * m;
  }
}

}  // namespace
}  // namespace nlayer
