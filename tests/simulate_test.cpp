// Simulated measurements against a second route: the library's time-resolved curve convolved
// with the IRF by a direct sum in the time domain and delayed by whole bins, which shares
// nothing with the simulation's frequency-domain synthesis but the model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "nlayer/errors.h"
#include "nlayer/fit.h"
#include "nlayer/reflectance.h"

namespace nlayer {
namespace {

const Medium& TwoLayers() {
  static const Medium medium{{{1.0L, 0.01L, 1.4L, 8.0L}, {1.2L, 0.02L, 1.4L, 10.0L}}};
  return medium;
}

// An IRF of 30 ps standard deviation peaking at 200 ps, on `bins` bins of `dt` ps.
std::vector<double> GaussianIrf(int bins, double dt) {
  std::vector<double> irf(static_cast<std::size_t>(bins));
  for (int j = 0; j < bins; ++j) irf[static_cast<std::size_t>(j)] = std::exp(-0.5 * std::pow((j * dt - 200.0) / 30.0, 2));
  return irf;
}

TEST(SimulateCounts, FollowsTheDirectConvolutionWithPoissonNoise) {
  const Medium medium = TwoLayers();
  constexpr double kDt = 10;
  constexpr int kBins = 300;
  const std::vector<double> irf = GaussianIrf(kBins, kDt);

  // The expected curve: R at t = dt, 2 dt, ... (the library's curve, which does not fold), the
  // IRF normalised to unit area, a delay of 3 bins: bin i sees R((i - j - 3) dt). The second
  // medium's light outlasts twice the window by far, and must not land on its start.
  const Medium slow{{{1.0L, 0.002L, 1.4L, 1.0L}}};
  for (const auto& [model, rho] : {std::pair{medium, 25.0L}, std::pair{slow, 40.0L}}) {
  const TimeCurves curve = TimeResolved(model, {rho}, {kDt, 1024}, {.engine = Engine::kFast});
  const double area = std::accumulate(irf.begin(), irf.end(), 0.0);
  std::vector<double> direct(kBins, 0.0);
  for (int i = 0; i < kBins; ++i) {
    for (int j = 0; j + 3 < i; ++j) direct[i] += irf[j] / area * curve.Curve(0)[i - j - 4];
  }
  const double direct_sum = std::accumulate(direct.begin(), direct.end(), 0.0);

  // So many counts that the Poisson noise (sqrt of the mean) sits far below the means.
  constexpr double kTotal = 1e13;
  const std::vector<double> counts = SimulateCounts(model, rho, irf, kDt, kTotal, 3 * kDt, 0.0, 7);
  ASSERT_EQ(counts.size(), irf.size());
  const double peak = *std::max_element(direct.begin(), direct.end()) * kTotal / direct_sum;
  for (int i = 0; i < kBins; ++i) {
    const double mean = direct[i] * kTotal / direct_sum;
    EXPECT_NEAR(counts[i], mean, 6 * std::sqrt(std::max(mean, 1.0)) + 1e-7 * peak) << "bin " << i << ", rho " << rho;
    EXPECT_EQ(counts[i], std::floor(counts[i])) << "bin " << i;
  }
  }

  // The same seed gives the same counts, another seed others; a background alone gives Poisson
  // counts of its mean (and variance) in every bin.
  EXPECT_EQ(SimulateCounts(medium, 25.0L, irf, kDt, 1e5, 3 * kDt, 0.0, 7),
            SimulateCounts(medium, 25.0L, irf, kDt, 1e5, 3 * kDt, 0.0, 7));
  EXPECT_NE(SimulateCounts(medium, 25.0L, irf, kDt, 1e5, 3 * kDt, 0.0, 7),
            SimulateCounts(medium, 25.0L, irf, kDt, 1e5, 3 * kDt, 0.0, 8));
  const std::vector<double> background = SimulateCounts(medium, 25.0L, irf, kDt, 0.0, 3 * kDt, 2.0, 7);
  const double mean = std::accumulate(background.begin(), background.end(), 0.0) / kBins;
  double variance = 0;
  for (double c : background) variance += (c - mean) * (c - mean) / (kBins - 1);
  EXPECT_NEAR(mean, 2.0, 5 * std::sqrt(2.0 / kBins));
  EXPECT_NEAR(variance, 2.0, 5 * 2.0 * std::sqrt(2.0 / kBins));

  EXPECT_THROW(SimulateCounts(medium, 25.0L, std::vector<double>(kBins, 0.0), kDt, 1e5), InvalidRequest);
  EXPECT_THROW(SimulateCounts(medium, 25.0L, irf, 0.1, 1e5), InvalidRequest);
  EXPECT_THROW(SimulateCounts(medium, 25.0L, irf, kDt, -1.0), InvalidRequest);
}

// The noiseless curve: the direct convolution times the amplitude and the bins' width, whose
// counts add up to the amplitude times the continuous-wave reflectance once the window holds the
// light; a background adds to every bin.
TEST(ExpectedCounts, IsTheDirectConvolutionTimesTheAmplitude) {
  const Medium medium = TwoLayers();
  constexpr double kDt = 10;
  constexpr int kBins = 600;
  constexpr double kAmplitude = 3e9;
  const std::vector<double> irf = GaussianIrf(kBins, kDt);
  const TimeCurves curve = TimeResolved(medium, {25.0L}, {kDt, 2048}, {.engine = Engine::kFast});
  const double area = std::accumulate(irf.begin(), irf.end(), 0.0);
  std::vector<double> direct(kBins, 0.0);
  for (int i = 0; i < kBins; ++i) {
    for (int j = 0; j + 1 < i; ++j) direct[i] += irf[j] / area * curve.Curve(0)[i - j - 2] * kDt * kAmplitude;
  }
  const std::vector<double> expected = ExpectedCounts(medium, 25.0L, irf, kDt, kAmplitude, kDt, 0.5);
  ASSERT_EQ(expected.size(), irf.size());
  const double peak = *std::max_element(direct.begin(), direct.end());
  for (int i = 0; i < kBins; ++i) EXPECT_NEAR(expected[i] - 0.5, direct[i], 1e-6 * peak) << "bin " << i;
  const double light = std::accumulate(expected.begin(), expected.end(), -0.5 * kBins);
  EXPECT_NEAR(light / (kAmplitude * ContinuousWave(medium, std::vector<long double>{25.0L})[0]), 1.0, 1e-5);
  EXPECT_THROW(ExpectedCounts(medium, 25.0L, irf, kDt, -1.0), InvalidRequest);
}

// Beyond some 1e19 counts a bin's Poisson draw never ended. Such means are drawn from the normal
// distribution; two seeds' differences, divided by the square root of their sum, are then
// standard normal in every bin, and the counts add up to the total asked for.
TEST(SimulateCounts, HugeTotalsKeepTheirMeanAndVariance) {
  const Medium medium = TwoLayers();
  constexpr double kDt = 10;
  constexpr int kBins = 400;
  const std::vector<double> irf = GaussianIrf(kBins, kDt);
  // 1e300 counts: their noise lies far below a double's resolution, but they must come back.
  const std::vector<double> huge = SimulateCounts(medium, 25.0L, irf, kDt, 1e300, 0.0, 0.0, 1);
  EXPECT_NEAR(std::accumulate(huge.begin(), huge.end(), 0.0) / 1e300, 1.0, 1e-6);
  for (const double total : {1e15, 1e25}) {
    const std::vector<double> a = SimulateCounts(medium, 25.0L, irf, kDt, total, 0.0, 0.0, 1);
    const std::vector<double> b = SimulateCounts(medium, 25.0L, irf, kDt, total, 0.0, 0.0, 2);
    EXPECT_NEAR(std::accumulate(a.begin(), a.end(), 0.0) / total, 1.0, 1e-6) << total;
    double sum = 0, squares = 0;
    int n = 0;
    for (int i = 0; i < kBins; ++i) {
      // Bins whose mean is at least 1e4 times the Poisson skewness' reach, and both draws' the
      // same branch.
      if (!(a[i] + b[i] > 1e-5 * total && a[i] + b[i] > 1e10)) continue;
      const double z = (a[i] - b[i]) / std::sqrt(a[i] + b[i]);
      sum += z, squares += z * z, ++n;
    }
    ASSERT_GT(n, 100) << total;
    EXPECT_NEAR(sum / n, 0.0, 5 / std::sqrt(n)) << total;
    EXPECT_NEAR(squares / n, 1.0, 5 * std::sqrt(2.0 / n)) << total;
  }
  EXPECT_THROW(SimulateCounts(medium, 25.0L, irf, kDt, 1e308, 0.0, 1e308), InvalidRequest);
}

}  // namespace
}  // namespace nlayer
