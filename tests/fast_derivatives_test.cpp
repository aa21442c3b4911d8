// The fast engine's derivatives against central differences of the exact engine, a stack of one
// material against the half space, the values against the fast engine's spectrum, and
// independence of threads and instruction sets.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "core/fast/fast_derivatives.h"
#include "nlayer/reflectance.h"

namespace nlayer {
namespace {

const std::vector<double> kFrequencies = {0.0, 1e8, 4e8, 1e9, 2e9};

struct NamedModel {
  std::string name;
  Medium medium;
  std::vector<long double> rhos;
};

std::vector<NamedModel> Models() {
  return {
      {"half space", Medium{{{1.0L, 0.01L, 1.4L, 10.0L}}}, {10, 25, 40}},
      {"two layers", Medium{{{1.0L, 0.01L, 1.4L, 5.0L}, {2.0L, 0.03L, 1.4L, 15.0L}}}, {10, 30}},
      {"three layers, mismatched",
       Medium{{{1.2L, 0.02L, 1.33L, 2.0L}, {0.8L, 0.005L, 1.5L, 4.0L}, {1.5L, 0.015L, 1.6L, 30.0L}}},
       {10, 20, 35}},
      {"two layers, top 1 mm", Medium{{{1.5L, 0.005L, 1.4L, 1.0L}, {0.8L, 0.02L, 1.4L, 30.0L}}}, {10, 30}},
      // cosh of 30 mus' d is about e^5600: the scaled recursion only.
      {"two layers, 185 mm", Medium{{{1.0L, 0.01L, 1.4L, 10.0L}, {1.0L, 0.012L, 1.4L, 175.0L}}}, {20}},
      {"adult head",
       Medium{{{1.9L, 0.018L, 1.4L, 3.0L}, {1.6L, 0.016L, 1.4L, 7.0L}, {0.25L, 0.004L, 1.4L, 2.0L},
               {1.2L, 0.02L, 1.4L, 50.0L}}},
       {10, 30, 40}},
  };
}

template <class M>
auto& Parameter(M& medium, std::size_t j) {
  auto& layer = medium.layers[j / 2];
  return j % 2 == 0 ? layer.mua : layer.musp;
}

// d values / d parameter j by the exact engine: the fourth-order central difference, steps of
// 1e-4 of the parameter. The rule's points move with mus' of the top layer, and J0(rho s) at its
// end turns with it over 2 pi / (30 rho) per mm^-1; longer steps would not resolve that. Shorter
// ones would see the rounding of the rule's J0 (of rho s rounded to a double) as the points move.
std::vector<std::complex<double>> ExactDerivative(const Medium& medium, const std::vector<long double>& rhos,
                                                  std::size_t j) {
  const long double h = 1e-4L * Parameter(medium, j);
  auto at = [&](long double steps) {
    Medium moved = medium;
    Parameter(moved, j) += steps * h;
    return FrequencyDomain(moved, rhos, kFrequencies, {.engine = Engine::kExact}).values;
  };
  const auto p1 = at(1), m1 = at(-1), p2 = at(2), m2 = at(-2);
  std::vector<std::complex<double>> d(p1.size());
  for (std::size_t i = 0; i < d.size(); ++i) {
    d[i] = (8.0 * (p1[i] - m1[i]) - (p2[i] - m2[i])) / (12.0 * static_cast<double>(h));
  }
  return d;
}

TEST(FastDerivatives, AgreeWithCentralDifferencesOfTheExactEngine) {
  for (const NamedModel& model : Models()) {
    SCOPED_TRACE(model.name);
    const std::optional<FrequencyJacobian> jacobian =
        FrequencyDomainDerivatives(model.medium, model.rhos, kFrequencies);
    ASSERT_TRUE(jacobian.has_value());
    const std::size_t parameters = 2 * model.medium.layers.size();
    ASSERT_EQ(jacobian->parameters, parameters);
    std::vector<std::vector<std::complex<double>>> exact;
    for (std::size_t j = 0; j < parameters; ++j) exact.push_back(ExactDerivative(model.medium, model.rhos, j));
    // Each derivative against the largest of its frequency, and against the largest of its own
    // over all distances and frequencies, which a deep layer's small ones would hide in the first.
    double worst = 0, worst_own = 0;
    const std::size_t count = model.rhos.size() * kFrequencies.size();
    for (std::size_t j = 0; j < parameters; ++j) {
      double own = 0;
      for (std::size_t i = 0; i < count; ++i) own = std::max(own, std::abs(exact[j][i]));
      for (std::size_t i = 0; i < count; ++i) {
        const std::size_t r = i / kFrequencies.size(), k = i % kFrequencies.size();
        double largest = 0;
        for (std::size_t q = 0; q < parameters; ++q) largest = std::max(largest, std::abs(exact[q][i]));
        const double error = std::abs(jacobian->Derivative(j, r, k) - exact[j][i]);
        worst = std::max(worst, error / largest);
        worst_own = std::max(worst_own, error / own);
        EXPECT_LT(error, 1e-6 * largest) << "parameter " << j << " rho " << static_cast<double>(model.rhos[r]) << " f "
                                          << kFrequencies[k];
        EXPECT_LT(error, 1e-8 * own) << "parameter " << j << " rho " << static_cast<double>(model.rhos[r]) << " f "
                                      << kFrequencies[k];
      }
    }
    std::printf("%-28s largest error %.2e of the frequency's largest derivative, %.2e of its own largest\n",
                model.name.c_str(), worst, worst_own);
  }
}

// A stack of layers of one material, the lowest thick enough for its bottom to be out of sight,
// is the half space: the derivatives of its layers add up to those of the half space.
TEST(FastDerivatives, LayersOfOneMaterialAddUpToTheHalfSpace) {
  const Layer material{1.2L, 0.02L, 1.4L, 0.0L};
  Layer top = material, middle = material, bottom = material;
  top.d = 2.0L;
  middle.d = 5.0L;
  bottom.d = 100.0L;
  const std::vector<long double> rhos = {10, 30};
  const auto half_space = FrequencyDomainDerivatives(Medium{{material}}, rhos, kFrequencies);
  const auto stack = FrequencyDomainDerivatives(Medium{{top, middle, bottom}}, rhos, kFrequencies);
  ASSERT_TRUE(half_space && stack);
  for (std::size_t r = 0; r < rhos.size(); ++r) {
    for (std::size_t k = 0; k < kFrequencies.size(); ++k) {
      const double scale =
          std::max(std::abs(half_space->Derivative(0, r, k)), std::abs(half_space->Derivative(1, r, k)));
      EXPECT_LE(std::abs(stack->spectra.At(r, k) - half_space->spectra.At(r, k)),
                1e-10 * std::abs(half_space->spectra.At(r, k)));
      for (std::size_t p = 0; p < 2; ++p) {
        std::complex<double> sum = 0;
        for (std::size_t layer = 0; layer < 3; ++layer) sum += stack->Derivative(2 * layer + p, r, k);
        EXPECT_LE(std::abs(sum - half_space->Derivative(p, r, k)), 1e-9 * scale) << r << " " << k << " " << p;
      }
    }
  }
}

// The values are the fast engine's, bit for bit, and each distance's values and derivatives are
// those it has alone within rounding, though together all take the 60 mm's three panels (alone,
// the single rule at 10 and 20 mm, two panels at 35 and 40 mm); neither the thread count nor
// the instruction set changes the derivatives beyond rounding.
TEST(FastDerivatives, ValuesAreTheFastEnginesAndThreadsChangeNothing) {
  const Medium head = Models()[5].medium;
  const std::vector<long double> rhos = {10, 40, 20};
  const auto one = FrequencyDomainDerivatives(head, rhos, kFrequencies, {.threads = 1});
  const auto three = FrequencyDomainDerivatives(head, rhos, kFrequencies, {.threads = 3});
  ASSERT_TRUE(one && three);
  EXPECT_EQ(one->spectra.values, FrequencyDomain(head, rhos, kFrequencies, {.engine = Engine::kFast}).values);
  EXPECT_EQ(one->spectra.values, three->spectra.values);
  EXPECT_EQ(one->derivatives, three->derivatives);
  const std::vector<long double> mixed = {10, 40, 20, 60, 35};
  const auto together = FrequencyDomainDerivatives(head, mixed, kFrequencies, {.threads = 2});
  ASSERT_TRUE(together);
  for (std::size_t r = 0; r < mixed.size(); ++r) {
    const auto alone = FrequencyDomainDerivatives(head, {mixed[r]}, kFrequencies, {.threads = 1});
    ASSERT_TRUE(alone);
    for (std::size_t k = 0; k < kFrequencies.size(); ++k) {
      EXPECT_LE(std::abs(alone->spectra.At(0, k) - together->spectra.At(r, k)),
                alone->spectra.rounding[0] + together->spectra.rounding[r]);
      double largest = 0, difference = 0;
      for (std::size_t j = 0; j < together->parameters; ++j) {
        largest = std::max(largest, std::abs(alone->Derivative(j, 0, k)));
        difference = std::max(difference, std::abs(alone->Derivative(j, 0, k) - together->Derivative(j, r, k)));
      }
      // The accuracy the derivatives keep against central differences of the exact engine.
      EXPECT_LE(difference, 5e-7 * largest) << mixed[r] << " " << k;
    }
  }
  for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    const auto forced = FrequencyDomainDerivatives(head, rhos, kFrequencies);
    hwy::SetSupportedTargetsForTest(0);
    ASSERT_TRUE(forced);
    // Each point's rounding differs, and the transform's cancellation (terms up to 1e6 times the
    // result at 40 mm) magnifies it.
    for (std::size_t r = 0; r < rhos.size(); ++r) {
      for (std::size_t k = 0; k < kFrequencies.size(); ++k) {
        double largest = 0, difference = 0;
        for (std::size_t j = 0; j < one->parameters; ++j) {
          largest = std::max(largest, std::abs(one->Derivative(j, r, k)));
          difference = std::max(difference, std::abs(forced->Derivative(j, r, k) - one->Derivative(j, r, k)));
        }
        EXPECT_LE(difference, 1e-8 * largest) << hwy::TargetName(target) << " " << r << " " << k;
      }
    }
  }
  // Where the fast engine hands the request to the exact one, so do the derivatives.
  const Medium absorbing{{{1.0L, 0.01L, 1.4L, 10.0L}, {1.0L, 1e45L, 1.4L, 20.0L}}};
  EXPECT_FALSE(FrequencyDomainDerivatives(absorbing, {10}, kFrequencies).has_value());
  // A bottom without end is no such request: light does not come back from 200 mm, so its
  // derivatives (the bottom's own among them) are those of a 200 mm bottom.
  const Medium deep{{{1.0L, 0.01L, 1.4L, 10.0L}, {1.0L, 0.01L, 1.4L, 200.0L}}};
  Medium without_end = deep;
  without_end.layers[1].d = std::numeric_limits<long double>::infinity();
  const auto finite = FrequencyDomainDerivatives(deep, {10}, kFrequencies);
  const auto endless = FrequencyDomainDerivatives(without_end, {10}, kFrequencies);
  ASSERT_TRUE(finite && endless);
  for (std::size_t k = 0; k < kFrequencies.size(); ++k) {
    double largest = 0;
    for (std::size_t j = 0; j < finite->parameters; ++j) largest = std::max(largest, std::abs(finite->Derivative(j, 0, k)));
    for (std::size_t j = 0; j < finite->parameters; ++j) {
      EXPECT_LE(std::abs(endless->Derivative(j, 0, k) - finite->Derivative(j, 0, k)), 1e-14 * largest) << j << " " << k;
    }
  }
}

}  // namespace
}  // namespace nlayer
