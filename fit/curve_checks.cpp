#include "fit/curve_checks.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fit/joint_engine.h"

namespace nlayer::fit {

namespace {

// The finest bins the model can serve: the grid's highest frequency 1 / (2 dt) must stay within
// the library's 1e12 Hz.
constexpr double kFinestBinPs = 0.5;
constexpr int kMostSamples = 65536;
// The grid's period is at least this long, so that light still arriving after the window
// (at low absorption it lasts nanoseconds) does not wrap round onto the rising edge.
constexpr double kShortestPeriodPs = 10000.0;
// Bin times may deviate this much (in bins) from a uniform grid: files print times rounded.
constexpr double kBinTolerance = 0.01;
constexpr std::size_t kFewestBins = 4;

}  // namespace

double CheckBins(const MeasuredCurve& curve, const std::string& who) {
  const auto refuse = [&](const std::string& sentence) { Refuse(who + sentence); };
  const std::size_t n = curve.counts.size();
  if (curve.t_ps.size() != n) {
    refuse("the measured curve has " + std::to_string(curve.t_ps.size()) + " times but " + std::to_string(n) +
           " counts");
  }
  if (n < kFewestBins) {
    refuse("the measured curve has " + std::to_string(n) + " bins; a fit needs at least " +
           std::to_string(kFewestBins));
  }
  if (curve.irf.size() != n) {
    refuse("the IRF has " + std::to_string(curve.irf.size()) + " bins and the measured curve " + std::to_string(n) +
           "; both must be counted on the same bins");
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(curve.t_ps[i])) refuse("time " + std::to_string(i + 1) + " of the measured curve is not finite");
  }
  const double dt = (curve.t_ps[n - 1] - curve.t_ps[0]) / static_cast<double>(n - 1);
  if (!(dt > 0)) refuse("the measured curve's times do not rise");
  for (std::size_t i = 0; i < n; ++i) {
    const double expected = curve.t_ps[0] + static_cast<double>(i) * dt;
    if (std::fabs(curve.t_ps[i] - expected) > kBinTolerance * dt) {
      refuse("the measured curve's bins are not uniform: bin " + std::to_string(i + 1) + " is at " +
             Text(curve.t_ps[i]) + " ps, where bins of " + Text(dt) + " ps from " + Text(curve.t_ps[0]) +
             " ps put it at " + Text(expected) + " ps");
    }
  }
  if (!curve.irf_t_ps.empty()) {
    if (curve.irf_t_ps.size() != n) {
      refuse("the IRF has " + std::to_string(curve.irf_t_ps.size()) + " bins and the measured curve " +
             std::to_string(n) + "; both must be counted on the same bins");
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (!(std::fabs(curve.irf_t_ps[i] - curve.t_ps[i]) <= kBinTolerance * dt)) {
        refuse("the IRF's bins do not match the measured curve's: bin " + std::to_string(i + 1) + " is at " +
               Text(curve.irf_t_ps[i]) + " ps in the IRF and at " + Text(curve.t_ps[i]) + " ps in the measured curve");
      }
    }
  }
  if (dt < kFinestBinPs) {
    refuse("bins of " + Text(dt) + " ps are narrower than the model's finest, " + Text(kFinestBinPs) + " ps");
  }
  auto check_counts = [&](const std::vector<double>& counts, const char* what) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!(counts[i] >= 0) || !std::isfinite(counts[i])) {
        refuse(std::string("the ") + what + "'s counts in bin " + std::to_string(i + 1) + " (t = " +
               Text(curve.t_ps[i]) + " ps) are " + Text(counts[i]) + "; counts must be >= 0 and finite");
      }
    }
  };
  check_counts(curve.counts, "measured curve");
  check_counts(curve.irf, "IRF");
  double area = 0;
  for (double c : curve.irf) area += c;
  if (!(area > 0)) refuse("the IRF has no counts (its area is 0): it cannot be normalised");
  if (curve.shift_ps && !std::isfinite(*curve.shift_ps)) {
    refuse("the calibrated shift " + Text(*curve.shift_ps) + " ps is not a finite number");
  }
  return dt;
}

int GridSamples(std::size_t bins, double dt, const std::string& who) {
  if (2.0 * static_cast<double>(bins) > kMostSamples) {
    Refuse(who + "the measured curve has " + std::to_string(bins) + " bins; the model's grid holds at most " +
           std::to_string(kMostSamples / 2));
  }
  const double needed = std::max({16.0, 2.0 * static_cast<double>(bins), std::ceil(kShortestPeriodPs / dt)});
  int samples = 16;
  while (samples < needed && samples < kMostSamples) samples *= 2;
  return samples;
}

double BackgroundEstimate(const std::vector<double>& counts) {
  const double peak = *std::max_element(counts.begin(), counts.end());
  std::size_t rise = 0;
  while (rise < counts.size() && counts[rise] < 0.02 * peak) ++rise;
  constexpr std::size_t kMargin = 3, kFewest = 5;
  if (rise < kMargin + kFewest) return 0;
  double sum = 0;
  for (std::size_t i = 0; i + kMargin < rise; ++i) sum += counts[i];
  return sum / static_cast<double>(rise - kMargin);
}

double PreRiseBackground(const std::vector<double>& counts) {
  const double peak = *std::max_element(counts.begin(), counts.end());
  std::size_t rise = 0;
  while (rise < counts.size() && counts[rise] < 0.02 * peak) ++rise;
  const std::size_t used = rise / 2;
  if (used == 0) return 0;
  double sum = 0;
  for (std::size_t i = 0; i < used; ++i) sum += counts[i];
  return sum / static_cast<double>(used);
}

std::pair<std::size_t, std::size_t> ChooseRange(const std::vector<double>& t, const std::vector<double>& y,
                                                const FitRange& range, double background, const std::string& who) {
  const auto refuse = [&](const std::string& sentence) { Refuse(who + sentence); };
  std::size_t first = 0, last = 0;
  if (range.t_first_ps || range.t_last_ps) {
    const double from = range.t_first_ps.value_or(-kInfinity);
    const double to = range.t_last_ps.value_or(kInfinity);
    if (!(from < to)) refuse("the fit range " + Text(from) + " ... " + Text(to) + " ps is empty");
    first = 0;
    while (first < t.size() && t[first] < from) ++first;
    last = t.size();
    while (last > 0 && t[last - 1] > to) --last;
    if (first >= last) {
      refuse("the fit range " + Text(from) + " ... " + Text(to) + " ps holds no bin of the measured curve (" +
             Text(t.front()) + " ... " + Text(t.back()) + " ps)");
    }
    --last;
  } else {
    if (!(range.rise_fraction > 0 && range.rise_fraction <= 1 && range.fall_fraction > 0 && range.fall_fraction <= 1)) {
      refuse("the fit range's fractions of the peak (" + Text(range.rise_fraction) + " on the rising edge, " +
             Text(range.fall_fraction) + " on the falling edge) must lie above 0 and up to 1");
    }
    const std::size_t peak = static_cast<std::size_t>(std::max_element(y.begin(), y.end()) - y.begin());
    const double height = y[peak] - background;
    if (!(height > 0)) refuse("the measured curve has no counts above its background: there is nothing to fit");
    first = peak;
    while (first > 0 && y[first - 1] - background >= range.rise_fraction * height) --first;
    last = peak;
    while (last + 1 < y.size() && y[last + 1] - background >= range.fall_fraction * height) ++last;
  }
  double sum = 0;
  for (std::size_t i = first; i <= last; ++i) sum += y[i];
  if (!(sum > 0)) {
    refuse("the measured curve has no counts in the fit range (" + Text(t[first]) + " ... " + Text(t[last]) + " ps)");
  }
  return {first, last};
}

double HalfRise(const std::vector<double>& t, const std::vector<double>& y, double background) {
  const std::size_t peak = static_cast<std::size_t>(std::max_element(y.begin(), y.end()) - y.begin());
  const double half = background + 0.5 * (y[peak] - background);
  std::size_t i = peak;
  while (i > 0 && y[i - 1] >= half) --i;
  if (i == 0) return t[0];
  const double fraction = (half - y[i - 1]) / (y[i] - y[i - 1]);
  return t[i - 1] + fraction * (t[i] - t[i - 1]);
}

}  // namespace nlayer::fit
