// A fit's result in words and as JSON.
#include <algorithm>
#include <charconv>
#include <cmath>
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

const char* ProfileEndName(ProfileEnd end) {
  switch (end) {
    case ProfileEnd::kFound:
      return "found";
    case ProfileEnd::kBound:
      return "bound";
    case ProfileEnd::kFlat:
      return "flat";
    case ProfileEnd::kFailed:
      return "failed";
  }
  return "unknown";
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
  std::size_t bins = last_bin - first_bin + 1;
  if (curves.size() > 1) {
    bins = 0;
    for (const CurveFit& c : curves) bins += static_cast<std::size_t>(c.bins);
  }
  text += "poisson_deviance = " + Digits(poisson_deviance, 6) + " (" + std::to_string(bins) +
          " bins, " + std::to_string(degrees_of_freedom) + " degrees of freedom)\n";
  text += "solver = " + termination + " after " + std::to_string(iterations) + " iterations (" +
          std::to_string(successful_steps) + " successful): " + message.substr(0, message.find('.') + 1) + "\n";
  text += "condition_number = " + Digits(condition_number, 3) + "\n";

  // The correlations of the physical parameters, lower triangle. Every curve's amplitude and
  // shift (and background) would add columns per curve, 330-character lines for a fit over two
  // distances and two wavelengths, and their correlations are not flagged; the JSON form keeps
  // the whole matrix.
  const std::size_t n = estimates.size();
  const auto per_curve = [](const std::string& name) {
    for (const char* base : {"amplitude", "shift_ps", "background"}) {
      const std::string b = base;
      if (name == b || name.rfind(b + "[", 0) == 0) return true;
    }
    return false;
  };
  std::size_t physical = 0;  // the physical parameters come first, the curves' after them
  while (physical < n && !per_curve(estimates[physical].name)) ++physical;
  std::size_t width = 7;
  for (std::size_t a = 0; a < physical; ++a) width = std::max(width, estimates[a].name.size() + 1);
  text += "correlation:\n" + std::string(width + 2, ' ');
  for (std::size_t a = 0; a < physical; ++a) text += Padded(estimates[a].name, width);
  text += "\n";
  for (std::size_t a = 0; a < physical && correlation.size() == n * n; ++a) {
    text += "  " + estimates[a].name + std::string(width - estimates[a].name.size(), ' ');
    for (std::size_t b = 0; b <= a; ++b) {
      char buffer[32];
      const double r = correlation[a * n + b];
      const auto end = std::to_chars(buffer, buffer + sizeof buffer, r, std::chars_format::fixed, 3).ptr;
      text += Padded(std::string(buffer, end), width);
    }
    text += "\n";
  }
  if (physical < n) text += "  (the curves' amplitudes and shifts: in the JSON form's correlation)\n";

  // A joint fit's own: its curves, the derived quantities, the minima of several starts and the
  // profile-likelihood intervals.
  if (curves.size() > 1) {
    std::size_t label_width = 5;
    for (const CurveFit& c : curves) label_width = std::max(label_width, c.label.size());
    text += "curves:\n  " + std::string(label_width - 5, ' ') + "label   rho_mm      nm  bins  chi2/nu  deviance\n";
    for (const CurveFit& c : curves) {
      text += "  " + Padded(c.label, label_width) + Padded(Digits(static_cast<double>(c.rho_mm), 6), 9) +
              Padded(c.wavelength_nm ? Digits(*c.wavelength_nm, 6) : std::string("-"), 8) +
              Padded(std::to_string(c.bins), 6) + Padded(Digits(c.chi2_reduced, 4), 9) +
              Padded(Digits(c.poisson_deviance, 6), 10) + "\n";
    }
  }
  for (const FitEstimate& e : derived) {
    text += "derived: " + e.name + " = " + Digits(e.value, 6) + " +- " + Digits(e.standard_error, 3) + "\n";
  }
  if (minima.size() > 1) {
    text += "minima (" + std::to_string(minima.size()) + " distinct; the lowest is the fit):\n";
    for (const FitMinimum& m : minima) {
      text += "  deviance " + Digits(m.deviance, 8) + " from " + std::to_string(m.starts) +
              (m.starts == 1 ? " start" : " starts") + (m.converged ? "" : ", not converged") + ":";
      for (std::size_t i = 0; i < m.values.size() && i < estimates.size(); ++i) {
        text += " " + estimates[i].name + " = " + Digits(m.values[i], 6);
      }
      text += "\n";
    }
  }
  for (const ProfileInterval& p : profiles) {
    text += "profile: " + p.name + " = " + Digits(p.value, 6) + ", interval " + Digits(p.lower, 6) + " ... " +
            Digits(p.upper, 6) + " (statistic + " + Digits(p.delta, 3) + ", " + std::to_string(p.points.size()) +
            " points";
    for (const bool lower : {true, false}) {
      const char* side = lower ? "lower" : "upper";
      switch (lower ? p.lower_end : p.upper_end) {
        case ProfileEnd::kFound:
          break;
        case ProfileEnd::kBound:
          text += std::string("; no ") + side + " end within the bound " + Digits(lower ? p.lower_bound : p.upper_bound, 6);
          break;
        case ProfileEnd::kFlat:
          text += std::string("; no ") + side + " end within 6 standard errors";
          break;
        case ProfileEnd::kFailed:
          text += std::string("; the model failed before the ") + side + " end";
          break;
      }
    }
    const FitEstimate* e = Find(p.name);
    if (p.by_default && e && p.value != 0) {
      text += "; computed unasked: the error, " + Digits(e->standard_error, 3) + ", is " +
              Digits(100 * e->standard_error / std::abs(p.value), 3) +
              " % of the value, and this interval tells better than +- the error what the data allow";
    }
    text += ")\n";
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
                                {"standard_error", e.standard_error},
                                {"stderr", e.standard_error},  // the name of earlier versions' files
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
  const auto medium_json = [](const Medium& medium) {
    json list = json::array();
    for (const Layer& l : medium.layers) {
      list.push_back({{"musp", static_cast<double>(l.musp)},
                      {"mua", static_cast<double>(l.mua)},
                      {"n", static_cast<double>(l.n)},
                      {"d", static_cast<double>(l.d)}});
    }
    return list;
  };
  out["media"] = json::array();
  for (const WavelengthMedium& m : media) {
    out["media"].push_back({{"wavelength_nm", m.wavelength_nm}, {"medium", medium_json(m.medium)}});
  }
  out["curves"] = json::array();
  for (const CurveFit& c : curves) {
    json curve = {{"label", c.label},
                  {"rho_mm", static_cast<double>(c.rho_mm)},
                  {"wavelength_nm", c.wavelength_nm ? json(*c.wavelength_nm) : json(nullptr)},
                  {"bins", c.bins},
                  {"first_bin", c.first_bin},
                  {"last_bin", c.last_bin},
                  {"t_first_ps", c.t_first_ps},
                  {"t_last_ps", c.t_last_ps},
                  {"chi2_reduced", c.chi2_reduced},
                  {"poisson_deviance", c.poisson_deviance},
                  {"background", c.background}};
    out["curves"].push_back(std::move(curve));
  }
  out["derived"] = json::array();
  for (const FitEstimate& e : derived) {
    out["derived"].push_back({{"name", e.name}, {"value", e.value}, {"standard_error", e.standard_error},
                                {"stderr", e.standard_error}});
  }
  out["minima"] = json::array();
  for (const FitMinimum& m : minima) {
    out["minima"].push_back(
        {{"deviance", m.deviance}, {"values", m.values}, {"starts", m.starts}, {"converged", m.converged}});
  }
  out["profiles"] = json::array();
  for (const ProfileInterval& p : profiles) {
    out["profiles"].push_back({{"name", p.name},
                               {"value", p.value},
                               {"lower", p.lower},
                               {"upper", p.upper},
                               {"delta", p.delta},
                               {"points", p.points},
                               {"deviance", p.deviance},
                               {"lower_end", ProfileEndName(p.lower_end)},
                               {"upper_end", ProfileEndName(p.upper_end)},
                               {"lower_bound", p.lower_bound},
                               {"upper_bound", p.upper_bound},
                               {"by_default", p.by_default}});
  }
  // NaN and infinity have no JSON number: dump() writes them as null.
  return out.dump(2) + "\n";
}

}  // namespace nlayer
