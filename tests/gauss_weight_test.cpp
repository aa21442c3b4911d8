#include "core/gauss_weight.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "tests/test_support.h"

namespace nlayer {
namespace {

constexpr int kEntries = 480;

// Reference rows of the 960-point rule, entries numbered from 1, each given to 15 significant
// digits; the table must hold exactly the double nearest to each decimal.
struct TellingRow {
  int entry;
  double abscissa;
  double weight;
};
constexpr std::array<TellingRow, 9> kTellingRows = {{
    {1, 0.00163539345526055, 0.00327078399459785},
    {2, 0.00490616287026084, 0.00327074900358742},
    {3, 0.00817687979888587, 0.00327067902194090},
    {240, 0.705659711014824, 0.00231751971773181},
    {241, 0.707973452008993, 0.00230995814518109},
    {360, 0.923016544651930, 0.00125846840443753},
    {420, 0.980323803951247, 0.000645638868714697},
    {470, 0.999381781094436, 0.000114980441300439},
    {471, 0.999491415614668, 0.000104288403965488},
}};

TEST(GaussWeight, TellingRowsHoldTheNearestDoubleOfTheirDecimals) {
  for (const TellingRow& row : kTellingRows) {
    SCOPED_TRACE(row.entry);
    EXPECT_EQ(Abscissa960[row.entry - 1], row.abscissa);
    EXPECT_EQ(Weight960[row.entry - 1], row.weight);
  }
  EXPECT_EQ(Abscissa960[kEntries - 1], 0.999996865688491);
  // Only given to three digits; the smallest weight belongs to the node nearest 1.
  EXPECT_NEAR(Weight960[kEntries - 1], 8.04e-06, 0.005e-06);
}

TEST(GaussWeight, NodesRiseStrictlyInsideTheOpenUnitIntervalAndWeightsFallStrictly) {
  EXPECT_GT(Abscissa960[0], 0.0);
  EXPECT_LT(Abscissa960[kEntries - 1], 1.0);
  EXPECT_GT(Weight960[kEntries - 1], 0.0);
  for (int i = 1; i < kEntries; ++i) {
    SCOPED_TRACE(i);
    EXPECT_LT(Abscissa960[i - 1], Abscissa960[i]);
    EXPECT_GT(Weight960[i - 1], Weight960[i]);
  }
}

TEST(GaussWeight, ZerothAndSecondMomentsAreExact) {
  // The decimals are rounded to 15 digits in 480 independent directions; their sums stay
  // within a tenth of a unit of the 16th digit.
  constexpr long double kMomentTolerance = 1e-16L;
  long double weights = 0.0L;
  long double second_moment = 0.0L;
  for (int i = 0; i < kEntries; ++i) {
    const long double x = Abscissa960[i];
    weights += Weight960[i];
    second_moment += Weight960[i] * (x * x);
  }
  EXPECT_NEAR(weights, 1.0L, kMomentTolerance);
  EXPECT_NEAR(second_moment, 1.0L / 3.0L, kMomentTolerance);
}

TEST(GaussWeight, BothSignsIntegrateEveryEvenPowerUpToDegree1918) {
  // A Gauss rule of 960 points is exact through degree 1919; what remains is the rounding of
  // the tables. A weight carries at most 5e-15 relative rounding (half a unit of its 15th
  // digit), and x^(2m) magnifies a node's relative rounding 2m times. High powers are carried by
  // the nodes nearest 1, rounded by at most 5e-16 (15th digit) plus 1.1e-16 (to double).
  constexpr long double kWeightRounding = 5e-15L;
  constexpr long double kNodeRoundingNearOne = 6.1e-16L;
  std::array<long double, kEntries> power;  // x_i^(2m), built up one factor x_i^2 at a time
  power.fill(1.0L);
  for (int m = 0; m <= 959; ++m) {
    long double integral = 0.0L;
    for (int i = 0; i < kEntries; ++i) integral += Weight960[i] * power[i];
    integral *= 2.0L;
    const long double exact = 2.0L / (2 * m + 1);
    const long double tolerance = kWeightRounding + 2 * m * kNodeRoundingNearOne;
    EXPECT_LE(testing::RelErr(integral, exact), tolerance) << "x^" << 2 * m;
    for (int i = 0; i < kEntries; ++i) {
      const long double x = Abscissa960[i];
      power[i] *= x * x;
    }
  }
}

}  // namespace
}  // namespace nlayer
