#include "core/real_fft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "tests/test_support.h"

namespace nlayer {
namespace {

using LongComplex = std::complex<long double>;

constexpr long double kPi = std::numbers::pi_v<long double>;
// Unit roundoff of a double.
constexpr double kU = 0x1p-53;

// The transform's doubles with a few guard doubles on either side that must come out untouched:
// an off-by-one in the element numbering reads or writes just outside the array.
class GuardedArray {
 public:
  explicit GuardedArray(const std::vector<double>& values)
      : storage_(values.size() + 2 * kGuards, kSentinel) {
    std::copy(values.begin(), values.end(), storage_.begin() + kGuards);
  }
  double* data() { return storage_.data() + kGuards; }
  std::vector<double> values() const {
    return std::vector<double>(storage_.begin() + kGuards, storage_.end() - kGuards);
  }
  bool GuardsIntact() const {
    for (std::size_t g = 0; g < kGuards; ++g) {
      if (storage_[g] != kSentinel || storage_[storage_.size() - 1 - g] != kSentinel) return false;
    }
    return true;
  }

 private:
  static constexpr std::size_t kGuards = 4;
  static constexpr double kSentinel = -7777.25;
  std::vector<double> storage_;
};

std::vector<double> ApplyComplexFFT(const std::vector<double>& values, int isign) {
  GuardedArray array(values);
  ComplexFFT(array.data(), static_cast<int>(values.size() / 2), isign);
  EXPECT_TRUE(array.GuardsIntact()) << "wrote outside the array";
  return array.values();
}

std::vector<double> ApplyRealFFT(const std::vector<double>& values, int isign) {
  GuardedArray array(values);
  RealFFT(array.data(), static_cast<int>(values.size() / 2), isign);
  EXPECT_TRUE(array.GuardsIntact()) << "wrote outside the array";
  return array.values();
}

std::vector<double> RandomValues(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<double> values(count);
  for (double& v : values) v = uniform(engine);
  return values;
}

// exp(i 2 pi q / period) with q reduced modulo the period first, so the argument of the
// extended sine and cosine stays small and exact.
LongComplex UnitRoot(std::int64_t q, std::int64_t period) {
  const long double angle = 2 * kPi * static_cast<long double>(q % period) / period;
  return {std::cos(angle), std::sin(angle)};
}

// Textbook O(N^2) transform in extended precision, X_k = sum_j x_j exp(isign 2 pi i j k / N),
// on interleaved complex points.
std::vector<long double> NaiveComplexDft(const std::vector<double>& x, int isign) {
  const std::int64_t points = static_cast<std::int64_t>(x.size() / 2);
  std::vector<long double> result(x.size());
  for (std::int64_t k = 0; k < points; ++k) {
    LongComplex sum = 0;
    for (std::int64_t j = 0; j < points; ++j) {
      const LongComplex root = UnitRoot(j * k, points);
      sum += LongComplex(x[2 * j], x[2 * j + 1]) * (isign > 0 ? root : std::conj(root));
    }
    result[2 * k] = sum.real();
    result[2 * k + 1] = sum.imag();
  }
  return result;
}

// F_k = sum_j x_j exp(+2 pi i j k / (2n)) of 2n real samples, packed as
// F_0, F_n, Re F_1, Im F_1, ..., Re F_{n-1}, Im F_{n-1}.
std::vector<long double> NaiveForwardReal(const std::vector<double>& x) {
  const std::int64_t samples = static_cast<std::int64_t>(x.size());
  const std::int64_t n = samples / 2;
  std::vector<LongComplex> f(n + 1);
  for (std::int64_t k = 0; k <= n; ++k) {
    for (std::int64_t j = 0; j < samples; ++j) {
      f[k] += static_cast<long double>(x[j]) * UnitRoot(j * k, samples);
    }
  }
  std::vector<long double> packed(samples);
  packed[0] = f[0].real();
  packed[1] = f[n].real();
  for (std::int64_t k = 1; k < n; ++k) {
    packed[2 * k] = f[k].real();
    packed[2 * k + 1] = f[k].imag();
  }
  return packed;
}

// y_j = (G_0 + (-1)^j G_n) / 2 + sum_{k=1}^{n-1} Re(G_k exp(-2 pi i j k / (2n))) from a packed
// half spectrum.
std::vector<long double> NaiveInverseReal(const std::vector<double>& g) {
  const std::int64_t samples = static_cast<std::int64_t>(g.size());
  const std::int64_t n = samples / 2;
  std::vector<long double> y(samples);
  for (std::int64_t j = 0; j < samples; ++j) {
    long double sum = 0.5L * (static_cast<long double>(g[0]) + (j % 2 == 0 ? g[1] : -g[1]));
    for (std::int64_t k = 1; k < n; ++k) {
      sum += (LongComplex(g[2 * k], g[2 * k + 1]) * std::conj(UnitRoot(j * k, samples))).real();
    }
    y[j] = sum;
  }
  return y;
}

// ||computed - exact||_2 / ||exact||_2.
double NormwiseError(const std::vector<double>& computed, const std::vector<long double>& exact) {
  long double error = 0;
  long double norm = 0;
  for (std::size_t i = 0; i < exact.size(); ++i) {
    error += (computed[i] - exact[i]) * (computed[i] - exact[i]);
    norm += exact[i] * exact[i];
  }
  return static_cast<double>(std::sqrt(error / norm));
}

// Radix-2 transforms are normwise stable: ||error|| / ||X|| <= c u log2 N, with c set by the
// butterfly arithmetic and by the accuracy of the twiddle factors (Higham, Accuracy and
// Stability of Numerical Algorithms, 2nd ed., Thm. 24.2). Over N = 1 .. 2048, with 4 to 200
// random data sets per size, the worst c measured was 1.5; 4 leaves room for another libm's sine.
constexpr double kNormwisePerStage = 4.0;

// Bound for a transform of `points` points (log2 stages, at least one rounding step).
double NormwiseBound(int points) {
  return kNormwisePerStage * kU * std::max(1.0, std::log2(points));
}

// Closed-form spectra are recovered elementwise: each output is a sum whose terms are at most
// `scale` in magnitude, so its error stays within a few roundings of that scale per stage.
// The worst measured was 1.3 u per stage (the cosine at n = 1024).
constexpr double kElementwisePerStage = 4.0;

double ElementwiseBound(int points, double scale) {
  return kElementwisePerStage * kU * std::max(1.0, std::log2(points)) * scale;
}

const std::vector<int> kLengths = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024};

TEST(ComplexFFT, SinglePointIsLeftUnchanged) {
  for (int isign : {+1, -1}) {
    const std::vector<double> point = {1.25, -3.5};
    EXPECT_EQ(ApplyComplexFFT(point, isign), point) << "isign " << isign;
  }
}

TEST(ComplexFFT, MatchesNaiveDftForBothSignsAndAllLengths) {
  for (int nn : kLengths) {
    for (int isign : {+1, -1}) {
      const std::vector<double> x = RandomValues(2 * static_cast<std::size_t>(nn), 1000 + nn);
      const std::vector<double> computed = ApplyComplexFFT(x, isign);
      const double error = NormwiseError(computed, NaiveComplexDft(x, isign));
      EXPECT_LE(error, NormwiseBound(nn)) << "nn " << nn << ", isign " << isign;
    }
  }
}

TEST(ComplexFFT, PlusThenMinusMultipliesByLength) {
  for (int nn : kLengths) {
    const std::vector<double> x = RandomValues(2 * static_cast<std::size_t>(nn), 2000 + nn);
    const std::vector<double> back = ApplyComplexFFT(ApplyComplexFFT(x, +1), -1);
    std::vector<long double> expected(x.begin(), x.end());
    for (long double& v : expected) v *= nn;
    // Two transforms, each within the normwise bound.
    EXPECT_LE(NormwiseError(back, expected), 2 * NormwiseBound(nn)) << "nn " << nn;
  }
}

TEST(RealFFT, AngleUsesItsOwnTwoPi) {
  // The value the time-domain curves are computed with, one bit above the correctly rounded
  // 2 pi / 1024 = 0.006135923151542565.
  EXPECT_EQ(RealFFTAngle(512), 0.006135923151542568);
  EXPECT_NE(RealFFTAngle(512), std::numbers::pi / 512);
  // Its constant is 5.6e-16 above 2 pi relatively, plus one rounding of the quotient.
  for (int n : kLengths) {
    EXPECT_LE(nlayer::testing::RelErr(RealFFTAngle(n), kPi / n), 7e-16L) << "n " << n;
  }
}

TEST(RealFFT, TwoSamplesGiveSumAndDifferenceAndBack) {
  // With n = 1 the transform is one addition and one subtraction (and halvings on the way
  // back), exact on small integers.
  const std::vector<double> spectrum = ApplyRealFFT({3.0, 5.0}, +1);
  EXPECT_EQ(spectrum, (std::vector<double>{8.0, -2.0}));
  EXPECT_EQ(ApplyRealFFT(spectrum, -1), (std::vector<double>{3.0, 5.0}));
}

TEST(RealFFT, ForwardOfConstantIsAllInTheZeroFrequency) {
  for (int n : kLengths) {
    const std::vector<double> y = ApplyRealFFT(std::vector<double>(2 * n, 1.0), +1);
    const double tolerance = ElementwiseBound(2 * n, 2 * n);
    EXPECT_NEAR(y[0], 2 * n, tolerance) << "n " << n;
    for (int e = 1; e < 2 * n; ++e) {
      EXPECT_NEAR(y[e], 0.0, tolerance) << "n " << n << ", element " << e;
    }
  }
}

TEST(RealFFT, InverseOfZeroFrequencyAndOfNyquistAreConstantAndAlternating) {
  for (int n : kLengths) {
    std::vector<double> zero_frequency(2 * n, 0.0);
    zero_frequency[0] = 1.0;
    std::vector<double> nyquist(2 * n, 0.0);
    nyquist[1] = 1.0;
    const std::vector<double> constant = ApplyRealFFT(zero_frequency, -1);
    const std::vector<double> alternating = ApplyRealFFT(nyquist, -1);
    const double tolerance = ElementwiseBound(2 * n, 1.0);
    for (int j = 0; j < 2 * n; ++j) {
      EXPECT_NEAR(constant[j], 0.5, tolerance) << "n " << n << ", j " << j;
      EXPECT_NEAR(alternating[j], j % 2 == 0 ? 0.5 : -0.5, tolerance) << "n " << n << ", j " << j;
    }
  }
}

TEST(RealFFT, InverseOfFirstFrequencyIsCosineOrSine) {
  for (int n : kLengths) {
    if (n < 2) continue;  // with n = 1 there is no frequency between 0 and Nyquist
    std::vector<double> real_one(2 * n, 0.0);
    real_one[2] = 1.0;
    std::vector<double> imaginary_one(2 * n, 0.0);
    imaginary_one[3] = 1.0;
    const std::vector<double> cosine = ApplyRealFFT(real_one, -1);
    const std::vector<double> sine = ApplyRealFFT(imaginary_one, -1);
    const double tolerance = ElementwiseBound(2 * n, 1.0);
    for (int j = 0; j < 2 * n; ++j) {
      EXPECT_NEAR(cosine[j], std::cos(kPi * j / n), tolerance) << "n " << n << ", j " << j;
      EXPECT_NEAR(sine[j], std::sin(kPi * j / n), tolerance) << "n " << n << ", j " << j;
    }
  }
}

TEST(RealFFT, EveryIsignOtherThanPlusOneSelectsTheInverse) {
  const std::vector<double> g = RandomValues(64, 3000);
  const std::vector<double> inverse = ApplyRealFFT(g, -1);
  for (int isign : {0, 2, -7}) EXPECT_EQ(ApplyRealFFT(g, isign), inverse) << "isign " << isign;
}

TEST(RealFFT, MatchesNaiveDftInBothDirections) {
  for (int n : kLengths) {
    const std::vector<double> x = RandomValues(2 * static_cast<std::size_t>(n), 4000 + n);
    const double forward_error = NormwiseError(ApplyRealFFT(x, +1), NaiveForwardReal(x));
    const double inverse_error = NormwiseError(ApplyRealFFT(x, -1), NaiveInverseReal(x));
    EXPECT_LE(forward_error, NormwiseBound(2 * n)) << "n " << n;
    EXPECT_LE(inverse_error, NormwiseBound(2 * n)) << "n " << n;
  }
}

TEST(RealFFT, InverseOfForwardIsNTimesTheSamples) {
  for (int n : kLengths) {
    const std::vector<double> x = RandomValues(2 * static_cast<std::size_t>(n), 5000 + n);
    const std::vector<double> back = ApplyRealFFT(ApplyRealFFT(x, +1), -1);
    std::vector<long double> expected(x.begin(), x.end());
    for (long double& v : expected) v *= n;
    EXPECT_LE(NormwiseError(back, expected), 2 * NormwiseBound(2 * n)) << "n " << n;
  }
}

// The application's call: 1024 samples from a packed half spectrum, n = 512, isign = -1.
// G_k = q^k for k < n and G_n = Re q^n is the spectrum of a damped oscillation; summed as a
// geometric series its inverse has the closed form
//   y_j = (1 + (-1)^j Re q^n) / 2 + Re((z - z^n) / (1 - z)),   z = q exp(-i pi j / n).
TEST(RealFFT, ApplicationInverseRecoversADampedOscillation) {
  constexpr int kN = 512;
  const LongComplex q = std::polar(0.985L, 0.05L);
  std::vector<double> packed(2 * kN);
  LongComplex power = 1;
  for (int k = 0; k < kN; ++k, power *= q) {
    packed[2 * k] = static_cast<double>(power.real());
    packed[2 * k + 1] = static_cast<double>(power.imag());
  }
  // G_n goes where the imaginary part of the zero frequency would be.
  packed[1] = static_cast<double>(power.real());
  const std::vector<double> y = ApplyRealFFT(packed, -1);
  // The terms sum in magnitude to at most 1 / (1 - |q|); rounding the coefficients to doubles
  // moves the exact sum by at most u times as much again.
  const double term_sum = 1.0 / (1.0 - 0.985);
  const double tolerance = ElementwiseBound(2 * kN, term_sum) + kU * term_sum;
  for (int j = 0; j < 2 * kN; ++j) {
    const LongComplex z = q * std::polar(1.0L, -kPi * j / kN);
    const LongComplex zn = (j % 2 == 0 ? 1.0L : -1.0L) * std::pow(q, kN);
    const long double expected = 0.5L * (1 + (j % 2 == 0 ? 1 : -1) * std::pow(q, kN).real()) +
                                 ((z - zn) / (1.0L - z)).real();
    EXPECT_NEAR(y[j], static_cast<double>(expected), tolerance) << "j " << j;
  }
}

TEST(RealFFT, ApplicationInverseOfUnitZeroFrequencyIsHalfEverywhere) {
  std::vector<double> packed(1024, 0.0);
  packed[0] = 1.0;
  GuardedArray array(packed);
  RealFFT(array.data(), 512, -1);
  EXPECT_TRUE(array.GuardsIntact());
  for (double y : array.values()) EXPECT_NEAR(y, 0.5, ElementwiseBound(1024, 1.0));
}

}  // namespace
}  // namespace nlayer
