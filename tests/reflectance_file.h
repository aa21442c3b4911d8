// The one reader of "reflectance.dat" for the tests and the fuzz targets, which need it without
// GoogleTest: every line is checked against the layout independently of the writer, and the
// samples are read back in extended precision (a curve may lie wholly below the smallest double).
#pragma once

#include <locale.h>
#include <stdlib.h>

#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tests/output_layout.h"

namespace nlayer::testing {

struct ReflectanceSample {
  int time_ps;
  long double value;  // mm^-2 ps^-1
};

struct ReflectanceFile {
  std::vector<ReflectanceSample> samples;  // the lines up to the first that breaks the layout
  std::string error;                        // empty when every line keeps it
};

// The 23 characters that the layout prescribes for a positive whole number of picoseconds,
// built digit by digit rather than by a formatting library.
inline std::string TimeField(int time_ps) {
  const std::string digits = std::to_string(time_ps);
  std::string mantissa = digits.substr(0, 1) + "." + digits.substr(1);
  mantissa.resize(16, '0');
  const std::string exponent = std::to_string(digits.size() - 1);
  return " " + mantissa + "E+" + std::string(4 - exponent.size(), '0') + exponent;
}

// The value of a number field of the layout in extended precision, whatever the locale (the
// tests run some files under a German one). Subnormal values read as they are.
inline long double FieldValue(const std::string& field) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return strtold_l(field.c_str(), nullptr, c_locale);
}

// Reads the text of an output file: whole lines of the layout, times that are ascending
// multiples of 10 ps from 10 to 5120 written exactly so, values that are finite and whose
// sign field matches their sign.
inline ReflectanceFile ReadReflectanceFile(std::string_view text) {
  ReflectanceFile file;
  constexpr std::size_t kLine = kOutputLineLength;
  for (std::size_t at = 0; at < text.size(); at += kLine) {
    const std::string line(text.substr(at, kLine));
    const std::string where = "line " + std::to_string(file.samples.size() + 1) + " \"" + line + "\"";
    if (!IsOutputLine(line)) {
      file.error = text.size() - at < kLine ? "the file does not end in a whole line: " + where : "malformed " + where;
      return file;
    }
    const std::string time = line.substr(0, 23);
    const std::string value = line.substr(26, 23);
    const long double time_value = FieldValue(time);
    const long time_ps = time_value >= 10 && time_value <= 5120 ? std::lround(time_value) : 0;
    if (time_ps == 0 || time_value != static_cast<long double>(time_ps) || time_ps % 10 != 0 ||
        time != TimeField(static_cast<int>(time_ps))) {
      file.error = "bad time in " + where;
      return file;
    }
    if (!file.samples.empty() && time_ps <= file.samples.back().time_ps) {
      file.error = "times not ascending at " + where;
      return file;
    }
    const long double sample = FieldValue(value);
    if (!std::isfinite(sample)) {
      file.error = "value not finite in " + where;
      return file;
    }
    if ((value[0] == '-') != (sample < 0)) {
      file.error = "sign does not match the value in " + where;
      return file;
    }
    file.samples.push_back({static_cast<int>(time_ps), sample});
  }
  return file;
}

// What a successful run promises of its curve beyond the layout, or "" when it keeps it: at
// least one sample, a peak above 0 up to 5010 ps (where it is searched), and no sample more
// than six decades below it. The file rounds to 15 significant digits while the threshold was
// applied to the unrounded samples, so a sample right at it may read back a hair below.
inline std::string CompleteCurveProblem(const std::vector<ReflectanceSample>& samples) {
  constexpr long double kFifteenDigitRounding = 1e-14L;
  if (samples.empty()) return "a successful run wrote no line";
  long double peak = 0;
  for (const auto& s : samples) {
    if (s.time_ps <= 5010) peak = std::fmax(peak, std::fabs(s.value));
  }
  if (!(peak > 0)) return "no sample above 0 up to 5010 ps, where the peak is searched";
  for (const auto& s : samples) {
    if (std::fabs(s.value) * 1e6L < peak * (1 - kFifteenDigitRounding)) {
      return "the sample at " + std::to_string(s.time_ps) + " ps lies more than six decades below the peak";
    }
  }
  return "";
}

}  // namespace nlayer::testing
