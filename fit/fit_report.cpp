// A fit's result in words and as JSON.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

#include "core/number_text.h"
#include "nlayer/fit.h"

namespace nlayer {

namespace {

std::string Digits(double value, int precision) { return nlayer::NumberText(value, precision); }

// The shortest text that reads back to the same double.
std::string Shortest(double value) { return nlayer::NumberText(static_cast<long double>(value)); }

std::string Padded(std::string text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

const char* StatisticName(FitStatistic statistic) {
  return statistic == FitStatistic::kPoissonLikelihood ? "poisson" : "chi2";
}

}  // namespace

std::string FitResult::FullReport() const {
  std::string text;
  // The lines nlayer-fit has always printed, which scripts read.
  for (const FitEstimate& e : estimates) {
    text += e.name + " = " + Digits(e.value, 6) + " +- " + Digits(e.standard_error, 3) + (e.fixed ? " (fixed)\n" : "\n");
  }
  text += "chi2_reduced = " + Digits(chi2_reduced, 4) + "\n";
  text += "fit_range_ps = " + Shortest(t_first_ps) + " ... " + Shortest(t_last_ps) + " (" +
          std::to_string(degrees_of_freedom) + " degrees of freedom)\n";
  text += "forward_evaluations = " + std::to_string(forward_evaluations) + " (" + std::to_string(iterations) +
          " iterations, " + Digits(seconds, 3) + " s)\n";

  text += "\nstatistic = " + std::string(StatisticName(statistic)) + "\n";
  text += "poisson_deviance = " + Digits(poisson_deviance, 6) + " (" + std::to_string(last_bin - first_bin + 1) +
          " bins, " + std::to_string(degrees_of_freedom) + " degrees of freedom)\n";
  text += "solver = " + termination + " after " + std::to_string(iterations) + " iterations (" +
          std::to_string(successful_steps) + " successful): " + message.substr(0, message.find('.') + 1) + "\n";
  text += "condition_number = " + Digits(condition_number, 3) + "\n";

  // The correlations, lower triangle.
  const std::size_t n = estimates.size();
  std::size_t width = 7;
  for (const FitEstimate& e : estimates) width = std::max(width, e.name.size() + 1);
  text += "correlation:\n" + std::string(width + 2, ' ');
  for (const FitEstimate& e : estimates) text += Padded(e.name, width);
  text += "\n";
  for (std::size_t a = 0; a < n && correlation.size() == n * n; ++a) {
    text += "  " + estimates[a].name + std::string(width - estimates[a].name.size(), ' ');
    for (std::size_t b = 0; b <= a; ++b) {
      char buffer[32];
      const double r = correlation[a * n + b];
      const auto end = std::to_chars(buffer, buffer + sizeof buffer, r, std::chars_format::fixed, 3).ptr;
      text += Padded(std::string(buffer, end), width);
    }
    text += "\n";
  }

  for (const std::string& note : notes) text += "note: " + note + "\n";
  if (success) {
    text += "verdict: success (no flag)\n";
  } else {
    text += "verdict: NOT to be trusted (" + std::to_string(flags.size()) + (flags.size() == 1 ? " flag)\n" : " flags)\n");
    for (const FitFlag& f : flags) text += "  " + std::string(FitFlagName(f.kind)) + ": " + f.sentence + "\n";
  }
  return text;
}

std::string FitResult::ToJson() const {
  using nlohmann::json;
  const std::size_t n = estimates.size();
  json out;
  out["success"] = success;
  out["message"] = message;
  out["flags"] = json::array();
  for (const FitFlag& f : flags) {
    out["flags"].push_back({{"kind", FitFlagName(f.kind)}, {"parameters", f.parameters}, {"sentence", f.sentence}});
  }
  out["notes"] = notes;
  out["estimates"] = json::array();
  for (const FitEstimate& e : estimates) {
    out["estimates"].push_back({{"name", e.name},
                                {"value", e.value},
                                {"stderr", e.standard_error},
                                {"start", e.start},
                                {"lower", e.lower},
                                {"upper", e.upper},
                                {"fixed", e.fixed}});
  }
  auto matrix = [&](const std::vector<double>& values) {
    json rows = json::array();
    for (std::size_t a = 0; a < n && values.size() == n * n; ++a) {
      rows.push_back(std::vector<double>(values.begin() + static_cast<std::ptrdiff_t>(a * n),
                                         values.begin() + static_cast<std::ptrdiff_t>((a + 1) * n)));
    }
    return rows;
  };
  out["covariance"] = matrix(covariance);
  out["correlation"] = matrix(correlation);
  out["statistic"] = StatisticName(statistic);
  out["chi2_reduced"] = chi2_reduced;
  out["degrees_of_freedom"] = degrees_of_freedom;
  out["poisson_deviance"] = poisson_deviance;
  out["condition_number"] = condition_number;
  out["fit_range"] = {{"first_bin", first_bin}, {"last_bin", last_bin}, {"t_first_ps", t_first_ps},
                      {"t_last_ps", t_last_ps}};
  out["termination"] = termination;
  out["iterations"] = iterations;
  out["successful_steps"] = successful_steps;
  out["forward_evaluations"] = forward_evaluations;
  out["seconds"] = seconds;
  json layers = json::array();
  for (const Layer& l : medium.layers) {
    layers.push_back({{"musp", static_cast<double>(l.musp)},
                      {"mua", static_cast<double>(l.mua)},
                      {"n", static_cast<double>(l.n)},
                      {"d", static_cast<double>(l.d)}});
  }
  out["medium"] = layers;
  // NaN and infinity have no JSON number: dump() writes them as null.
  return out.dump(2) + "\n";
}

}  // namespace nlayer
