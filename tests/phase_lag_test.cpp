// The phase lag of the frequency-domain table: continued past pi, in any order of the
// frequencies, and the same as a continuation over a dense grid, where neighbours differ by
// far less than pi and no choice of turns is in doubt.
#include "io/phase_lag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "io/csv_table.h"
#include "io/model_file.h"
#include "nlayer/nlayer.h"

namespace nlayer {
namespace {

constexpr double kPi = std::numbers::pi;

TEST(PhaseLagTest, HeadAtFortyMillimetresFollowsTheDenseContinuation) {
  const Medium head = ReadModelFile(std::string(NLAYER_EXAMPLES_DIR) + "/adult_head/input.dat").medium;
  // The dense route: steps of 5 MHz change the lag by some 0.03 rad; the wrapped differences
  // summed from f = 0 are the continuous lag.
  std::vector<double> dense_f;
  for (int i = 0; i <= 200; ++i) dense_f.push_back(5e6 * i);
  const FrequencySpectra dense = FrequencyDomain(head, {40.0L}, dense_f);
  std::vector<double> continued = {0.0};
  for (std::size_t k = 1; k < dense_f.size(); ++k) {
    continued.push_back(continued.back() - std::arg(dense.values[k] / dense.values[k - 1]));
  }

  // The table's frequencies, 100 ... 1000 MHz, asked for out of order.
  const std::vector<double> f = {5e8, 1e8, 1e9, 3e8, 2e8, 4e8, 7e8, 6e8, 9e8, 8e8};
  const FrequencySpectra spectra = FrequencyDomain(head, {40.0L}, f);
  const std::vector<double> lag = UnwrappedPhaseLag(spectra.values, f);
  std::vector<std::pair<double, double>> by_f;
  for (std::size_t k = 0; k < f.size(); ++k) {
    const auto dense_index = static_cast<std::size_t>(std::lround(f[k] / 5e6));
    EXPECT_NEAR(lag[k], continued[dense_index], 1e-9) << f[k] << " Hz";
    // A whole number of turns away from the principal value.
    const double turns = (lag[k] + std::arg(spectra.values[k])) / (2 * kPi);
    EXPECT_NEAR(turns, std::round(turns), 1e-12);
    by_f.emplace_back(f[k], lag[k]);
  }
  std::sort(by_f.begin(), by_f.end());
  for (std::size_t k = 1; k < by_f.size(); ++k) EXPECT_GT(by_f[k].second, by_f[k - 1].second);
  EXPECT_GT(lag[0], kPi) << "the lag at 500 MHz";
  EXPECT_LT(-std::arg(spectra.values[0]), 0) << "the principal value there has wrapped";

  // The table writes the same lags, distance by distance.
  const FrequencySpectra two = FrequencyDomain(head, {10.0L, 40.0L}, f);
  std::istringstream table(FrequencyTable(two));
  std::string line;
  std::getline(table, line);
  for (std::size_t k = 0; k < f.size(); ++k) {
    for (std::size_t r = 0; r < 2; ++r) {
      ASSERT_TRUE(std::getline(table, line));
      const double phase = std::stod(line.substr(line.rfind(',') + 1));
      if (r == 1) {
        EXPECT_EQ(phase, lag[k]);
      }
      EXPECT_GT(phase, 0);
    }
  }
}

TEST(PhaseLagTest, EdgeValues) {
  // f = 0 with a negative zero imaginary part, a NaN that the continuation steps over, and a
  // frequency given twice.
  const std::vector<std::complex<double>> values = {{1.0, -0.0}, {std::cos(3.0), -std::sin(3.0)},
                                                    {NAN, 0.0}, {std::cos(4.0), -std::sin(4.0)},
                                                    {std::cos(4.0), -std::sin(4.0)}};
  const std::vector<double> f = {0.0, 1.0, 1.5, 2.0, 2.0};
  const std::vector<double> lag = UnwrappedPhaseLag(values, f);
  EXPECT_FALSE(std::signbit(lag[0]));
  EXPECT_EQ(lag[0], 0.0);
  EXPECT_NEAR(lag[1], 3.0, 1e-15);
  EXPECT_TRUE(std::isnan(lag[2]));
  EXPECT_NEAR(lag[3], 4.0, 1e-15);
  EXPECT_EQ(lag[3], lag[4]);
  EXPECT_THROW(UnwrappedPhaseLag(values, std::vector<double>{0.0}), std::invalid_argument);
}

}  // namespace
}  // namespace nlayer
