#include "io/phase_lag.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <stdexcept>

namespace nlayer {

std::vector<double> UnwrappedPhaseLag(std::span<const std::complex<double>> values, std::span<const double> f_hz) {
  if (values.size() != f_hz.size()) throw std::invalid_argument("one value per frequency is needed");
  std::vector<std::size_t> order(f_hz.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return f_hz[a] < f_hz[b]; });
  constexpr double kTurn = 2 * std::numbers::pi;
  std::vector<double> lag(values.size());
  double previous = 0;
  for (const std::size_t i : order) {
    const double principal = -std::arg(values[i]);
    if (std::isnan(principal)) {
      lag[i] = principal;
      continue;
    }
    // The whole turns only: within one turn of the previous lag the principal value stands as
    // it is, bit for bit.
    const double turns = std::nearbyint((previous - principal) / kTurn);
    double value = turns == 0 ? principal : principal + turns * kTurn;
    if (value == 0) value = 0;  // arg of a positive real with a negative zero part is -0
    lag[i] = previous = value;
  }
  return lag;
}

}  // namespace nlayer
