// The fast engine's derivatives against central differences of the exact engine, their values
// against the fast engine's spectrum, and a scaling law of the half space.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
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
      {"adult head",
       Medium{{{1.9L, 0.018L, 1.4L, 3.0L}, {1.6L, 0.016L, 1.4L, 7.0L}, {0.25L, 0.004L, 1.4L, 2.0L},
               {1.2L, 0.02L, 1.4L, 50.0L}}},
       {10, 30, 40}},
  };
}

long double& Parameter(Medium& medium, std::size_t j) {
  Layer& layer = medium.layers[j / 2];
  return j % 2 == 0 ? layer.mua : layer.musp;
}

// d values / d parameter j by the exact engine: the fourth-order central difference, steps of
// 1e-3 of the parameter (its truncation error is some 1e-12 of the derivative).
std::vector<std::complex<double>> ExactDerivative(const Medium& medium, const std::vector<long double>& rhos,
                                                  std::size_t j) {
  const long double h = 1e-4L * Parameter(const_cast<Medium&>(medium), j);
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
    const std::optional<FrequencyJacobian> jacobian = FrequencyDomainDerivatives(model.medium, model.rhos, kFrequencies);
    ASSERT_TRUE(jacobian.has_value());
    const std::size_t parameters = 2 * model.medium.layers.size();
    ASSERT_EQ(jacobian->parameters, parameters);
    std::vector<std::vector<std::complex<double>>> exact;
    for (std::size_t j = 0; j < parameters; ++j) exact.push_back(ExactDerivative(model.medium, model.rhos, j));
    double worst = 0;
    for (std::size_t r = 0; r < model.rhos.size(); ++r) {
      for (std::size_t k = 0; k < kFrequencies.size(); ++k) {
        double largest = 0;
        for (std::size_t j = 0; j < parameters; ++j) largest = std::max(largest, std::abs(exact[j][r * kFrequencies.size() + k]));
        for (std::size_t j = 0; j < parameters; ++j) {
          const double error = std::abs(jacobian->Derivative(j, r, k) - exact[j][r * kFrequencies.size() + k]) / largest;
          worst = std::max(worst, error);
          EXPECT_LT(error, 1e-6) << "parameter " << j << " rho " << static_cast<double>(model.rhos[r]) << " f "
                                 << kFrequencies[k];
        }
      }
    }
    std::printf("%-28s largest error %.2e of the largest derivative\n", model.name.c_str(), worst);
  }
}

}  // namespace
}  // namespace nlayer
