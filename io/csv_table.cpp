#include "io/csv_table.h"

#include <charconv>
#include <complex>
#include <span>

#include "core/number_text.h"
#include "io/phase_lag.h"

namespace nlayer {

namespace {

void Append(std::string& text, double value) {
  char buffer[32];
  text.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

}  // namespace

std::string TimeTable(const TimeCurves& curves, const std::vector<std::string>& labels) {
  std::string text = "t_ps";
  for (const std::string& label : labels) text += ",R_" + label + "mm";
  text += '\n';
  for (std::size_t i = 0; i < curves.t_ps.size(); ++i) {
    Append(text, curves.t_ps[i]);
    for (std::size_t r = 0; r < curves.rho_mm.size(); ++r) {
      text += ',';
      Append(text, curves.Curve(r)[i]);
    }
    text += '\n';
  }
  return text;
}

std::string MonteCarloTable(const MonteCarloCurves& curves, const std::vector<std::string>& labels) {
  std::string text = "t_ps";
  for (const std::string& label : labels) text += ",R_" + label + "mm,SE_" + label + "mm";
  text += '\n';
  for (std::size_t i = 0; i < curves.t_ps.size(); ++i) {
    Append(text, curves.t_ps[i]);
    for (std::size_t r = 0; r < curves.rho_mm.size(); ++r) {
      text += ',';
      Append(text, curves.Curve(r)[i]);
      text += ',';
      Append(text, curves.StandardError(r)[i]);
    }
    text += '\n';
  }
  return text;
}

std::string FrequencyTable(const FrequencySpectra& spectra) {
  std::string text = "f_hz,rho_mm,re,im,amplitude,phase_rad\n";
  std::vector<std::vector<double>> lags;  // per distance, per frequency
  for (std::size_t r = 0; r < spectra.rho_mm.size(); ++r) {
    const std::size_t n = spectra.f_hz.size();
    lags.push_back(UnwrappedPhaseLag(std::span(spectra.values).subspan(r * n, n), spectra.f_hz));
  }
  for (std::size_t k = 0; k < spectra.f_hz.size(); ++k) {
    for (std::size_t r = 0; r < spectra.rho_mm.size(); ++r) {
      const std::complex<double> value = spectra.At(r, k);
      const double lag = lags[r][k];
      Append(text, spectra.f_hz[k]);
      text += ',' + NumberText(spectra.rho_mm[r]);
      for (double number : {value.real(), value.imag(), std::abs(value), lag}) {
        text += ',';
        Append(text, number);
      }
      text += '\n';
    }
  }
  return text;
}

}  // namespace nlayer
