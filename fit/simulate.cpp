#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/number_text.h"
#include "core/period.h"
#include "fit/convolved_model.h"
#include "nlayer/errors.h"
#include "nlayer/fit.h"

namespace nlayer {

namespace {

// The grid of the simulated curve: as the fit's, a power of two of at least twice the bins and
// 10 ns, so that light still arriving after the window does not wrap round onto its start.
constexpr int kMostSimulationSamples = 1 << 20;
// Above this mean a bin's count is drawn from the normal distribution of the same mean and
// variance: the Poisson distribution's skewness, 1/sqrt(mean), is 3e-5 there, far below what any
// fit can see, while std::poisson_distribution's rejection loop slows with the mean and never
// ends beyond the range of its integer (a total of 1e25 counts spun forever).
constexpr double kNormalAbove = 1e9;

int SimulationSamples(std::size_t bins, double dt_ps) {
  const double needed = std::max({16.0, 2.0 * static_cast<double>(bins), std::ceil(10000.0 / dt_ps)});
  int samples = 16;
  while (samples < needed && samples < kMostSimulationSamples) samples *= 2;
  return samples;
}

[[noreturn]] void Refuse(const std::string& field, double value, const std::string& sentence) {
  throw InvalidRequest(ModelProblem{0, field, static_cast<long double>(value), sentence});
}

// The counts drawn from the model's curve `expected` (amplitude 1) over the IRF's bins.
std::vector<double> Drawn(std::vector<double> expected, long double rho_mm, double total_counts, double background,
                          std::uint64_t seed) {
  double sum = 0;
  for (double& e : expected) {
    e = std::max(e, 0.0);  // the synthesis's rounding leaves tiny negative values before the rise
    sum += e;
  }
  if (!(sum > 0)) Refuse("rho", static_cast<double>(rho_mm), "the model leaves no light in the IRF's bins at this distance and shift");
  const double scale = total_counts / sum;

  std::mt19937_64 generator(seed);
  std::vector<double> counts(expected.size());
  for (std::size_t i = 0; i < counts.size(); ++i) {
    const double mean = expected[i] * scale + background;
    if (mean <= 0) continue;
    if (!std::isfinite(mean)) {
      Refuse("total_counts", total_counts, "total counts of " + NumberText(total_counts) + " with a background of " +
                                               NumberText(background) + " per bin exceed the range of a double");
    }
    if (mean > kNormalAbove) {
      std::normal_distribution<double> draw(mean, std::sqrt(mean));
      counts[i] = std::max(0.0, std::round(draw(generator)));
      continue;
    }
    std::poisson_distribution<long long> draw(mean);
    counts[i] = static_cast<double>(draw(generator));
  }
  return counts;
}

// Refuses what no simulation can take. `scale` and `scale_name` are the total counts or the
// amplitude, checked in the same place for either.
void CheckSimulation(const Medium& medium, long double rho_mm, std::span<const double> irf, double dt_ps,
                     double scale, const char* scale_name, double shift_ps, double background) {
  if (auto problem = medium.Validate()) throw InvalidRequest(*problem);
  if (auto problem = ValidateDistance(rho_mm)) throw InvalidRequest(*problem);
  if (irf.empty()) Refuse("irf", 0, "the IRF has no bins");
  double area = 0;
  for (std::size_t i = 0; i < irf.size(); ++i) {
    if (!(irf[i] >= 0) || !std::isfinite(irf[i])) {
      Refuse("irf", irf[i], "the IRF's bin " + std::to_string(i + 1) + " holds " + NumberText(irf[i]) +
                        "; counts must be >= 0 and finite");
    }
    area += irf[i];
  }
  if (!(area > 0)) Refuse("irf", area, "the IRF has no counts (its area is 0)");
  if (!(dt_ps >= 0.5) || !std::isfinite(dt_ps)) {
    Refuse("dt_ps", dt_ps, "bins of " + NumberText(dt_ps) + " ps: they must be at least 0.5 ps wide and finite");
  }
  if (!(scale >= 0) || !std::isfinite(scale)) {
    const std::string name = scale_name;
    Refuse(name, scale, (name == "total_counts" ? "total counts of " : "an amplitude of ") + NumberText(scale) +
                            ": " + (name == "total_counts" ? "they" : "it") + " must be >= 0 and finite");
  }
  if (!(background >= 0) || !std::isfinite(background)) {
    Refuse("background", background, "a background of " + NumberText(background) + " counts per bin: it must be >= 0 and finite");
  }
  if (!std::isfinite(shift_ps)) Refuse("shift_ps", shift_ps, "the shift " + NumberText(shift_ps) + " ps is not finite");

  if (irf.size() > static_cast<std::size_t>(kMostSimulationSamples / 2)) {
    Refuse("irf", static_cast<double>(irf.size()),
           "the IRF has " + std::to_string(irf.size()) + " bins; the simulation's grid holds at most " +
               std::to_string(kMostSimulationSamples / 2));
  }
}

// The model convolved with the IRF on its bins, times `amplitude`, of checked input.
std::vector<double> ConvolvedCounts(const Medium& medium, long double rho_mm, std::span<const double> irf,
                                    double dt_ps, double amplitude, double shift_ps, const ComputeOptions& options) {
  // The period doubles until the curve has faded within it: what it still carries at the
  // period's end would otherwise land on its start.
  int samples = SimulationSamples(irf.size(), dt_ps);
  for (;;) {
    const fit::ConvolvedModel model(irf, dt_ps, samples);
    const FrequencySpectra spectrum =
        FrequencyDomain(medium, {rho_mm}, model.FrequenciesHz(samples / 2 + 1), options);
    if (model.FoldPart(spectrum.values) > static_cast<double>(kFoldTarget) && samples < kMostSimulationSamples) {
      samples *= 2;
      continue;
    }
    std::vector<double> counts(irf.size());
    model.Counts(spectrum.values, amplitude, shift_ps, counts);
    return counts;
  }
}

}  // namespace

std::vector<double> SimulateCounts(const Medium& medium, long double rho_mm, std::span<const double> irf, double dt_ps,
                                   double total_counts, double shift_ps, double background, std::uint64_t seed,
                                   const ComputeOptions& options) {
  CheckSimulation(medium, rho_mm, irf, dt_ps, total_counts, "total_counts", shift_ps, background);
  return Drawn(ConvolvedCounts(medium, rho_mm, irf, dt_ps, 1.0, shift_ps, options), rho_mm, total_counts, background,
               seed);
}

std::vector<double> ExpectedCounts(const Medium& medium, long double rho_mm, std::span<const double> irf, double dt_ps,
                                   double amplitude, double shift_ps, double background, const ComputeOptions& options) {
  CheckSimulation(medium, rho_mm, irf, dt_ps, amplitude, "amplitude", shift_ps, background);
  std::vector<double> counts = ConvolvedCounts(medium, rho_mm, irf, dt_ps, amplitude, shift_ps, options);
  // The synthesis's rounding leaves tiny negative values before the rise.
  for (double& c : counts) c = std::max(c, 0.0) + background;
  return counts;
}

}  // namespace nlayer
