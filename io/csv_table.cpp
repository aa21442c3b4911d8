#include "io/csv_table.h"

#include <charconv>
#include <complex>

#include "core/number_text.h"

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

std::string FrequencyTable(const FrequencySpectra& spectra) {
  std::string text = "f_hz,rho_mm,re,im,amplitude,phase_rad\n";
  for (std::size_t k = 0; k < spectra.f_hz.size(); ++k) {
    for (std::size_t r = 0; r < spectra.rho_mm.size(); ++r) {
      const std::complex<double> value = spectra.At(r, k);
      double lag = -std::arg(value);
      if (lag == 0) lag = 0;  // arg of a positive real with a negative zero part is -0
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
