#include "io/output_format.h"

#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace nlayer {

std::string FormatNumber(long double value) {
  // to_chars neither consults the locale nor depends on printf's exponent width.
  char digits[64];
  const auto [end, ec] =
      std::to_chars(digits, digits + sizeof digits, std::fabs(value), std::chars_format::scientific, 14);
  assert(ec == std::errc());
  // digits is "d.ddddddddddddddde[+-]x..." with at least two exponent digits.
  const std::string_view text(digits, static_cast<std::size_t>(end - digits));
  const std::size_t e = text.find('e');
  assert(e == 16);
  const std::string_view exponent_digits = text.substr(e + 2);
  std::string out;
  out.reserve(23);
  out += (value < 0) ? '-' : ' ';
  out.append(text.substr(0, e));
  out += 'E';
  out += text[e + 1];
  out.append(4 - exponent_digits.size(), '0');
  out.append(exponent_digits);
  assert(out.size() == 23);
  return out;
}

std::string FormatLine(long double time, long double reflectance) {
  return FormatNumber(time) + "   " + FormatNumber(reflectance) + "\r\n";
}

}  // namespace nlayer
