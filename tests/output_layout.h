// The layout of a line of "reflectance.dat", checked independently of the writer: shared by the
// tests and the fuzz targets, which need it without GoogleTest.
#pragma once

#include <cstddef>
#include <string_view>

namespace nlayer::testing {

// Two 23-character fields, three blanks between them, CR LF.
inline constexpr std::size_t kOutputLineLength = 23 + 3 + 23 + 2;

// [ -] [1-9] . 14 digits E [+-] 4 digits
inline bool IsNumberField(std::string_view field) {
  const auto digits = [&](std::size_t from, std::size_t count) {
    for (std::size_t i = from; i < from + count; ++i) {
      if (field[i] < '0' || field[i] > '9') return false;
    }
    return true;
  };
  return field.size() == 23 && (field[0] == ' ' || field[0] == '-') && field[1] >= '1' && field[1] <= '9' &&
         field[2] == '.' && digits(3, 14) && field[17] == 'E' && (field[18] == '+' || field[18] == '-') &&
         digits(19, 4);
}

// A whole line, its CR LF included.
inline bool IsOutputLine(std::string_view line) {
  return line.size() == kOutputLineLength && IsNumberField(line.substr(0, 23)) && line.substr(23, 3) == "   " &&
         IsNumberField(line.substr(26, 23)) && line.substr(49) == "\r\n";
}

}  // namespace nlayer::testing
