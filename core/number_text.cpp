#include "core/number_text.h"

#include <charconv>

namespace nlayer {

std::string NumberText(long double value) {
  char text[64];
  const double as_double = static_cast<double>(value);
  const auto end = static_cast<long double>(as_double) == value ? std::to_chars(text, text + sizeof text, as_double).ptr
                                                                 : std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

std::string NumberText(double value, int significant) {
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::general, significant).ptr;
  return std::string(text, end);
}

}  // namespace nlayer
