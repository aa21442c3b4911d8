// The rules of the two-column text files (io/curve_file.h: curves, IRFs, spectra) written once
// more in another way, as the fuzz targets' oracle. Lines are taken one by one; a number is
// whatever the C library's strtod reads in full from a token that starts with a digit, sign or
// point and holds no letter of "inf", "nan" or a hexadecimal number, and its range is judged
// from strtod's result and the token's digits.
#pragma once

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace nlayer::fuzz {

struct Expected {
  std::vector<double> t_ps, counts;
  long bad_line = -1;  // -1: a curve; 0: no data; otherwise the first line with a problem
};

inline bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Splits at commas when there is one (each piece stripped), else at runs of blanks.
inline std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  if (line.find(',') != std::string::npos) {
    std::string field;
    for (std::size_t i = 0; i <= line.size(); ++i) {
      if (i == line.size() || line[i] == ',') {
        std::size_t a = 0, b = field.size();
        while (a < b && Blank(field[a])) ++a;
        while (b > a && Blank(field[b - 1])) --b;
        fields.push_back(field.substr(a, b - a));
        field.clear();
      } else {
        field += line[i];
      }
    }
    return fields;
  }
  std::string field;
  for (char c : line + ' ') {
    if (Blank(c)) {
      if (!field.empty()) fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  return fields;
}

// A finite double for a token the file allows, else nothing.
inline bool Number(const std::string& token, double& value) {
  if (token.empty()) return false;
  const char first = token[0];
  if (!((first >= '0' && first <= '9') || first == '+' || first == '-' || first == '.')) return false;
  if (token.find_first_of("xXiInNpP") != std::string::npos) return false;
  char* end = nullptr;
  value = std::strtod(token.c_str(), &end);
  if (end != token.c_str() + token.size()) return false;
  if (std::isinf(value)) return false;
  if (value == 0) {
    // A mantissa with a digit other than 0 that reads as 0 has underflowed.
    for (char c : token) {
      if (c == 'e' || c == 'E') break;
      if (c >= '1' && c <= '9') return false;
    }
  }
  return true;
}

inline Expected Oracle(std::string text) {
  Expected expected;
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  bool content_seen = false;
  for (std::size_t n = 0; n < lines.size(); ++n) {
    const long number = static_cast<long>(n + 1);
    std::string line = lines[n];
    if (line.find('\0') != std::string::npos) return {{}, {}, number};
    line = line.substr(0, line.find('#'));
    std::size_t a = 0;
    while (a < line.size() && Blank(line[a])) ++a;
    if (a == line.size()) continue;
    const bool first = !content_seen;
    content_seen = true;
    const char lead = line[a];
    if (first && !((lead >= '0' && lead <= '9') || lead == '+' || lead == '-' || lead == '.')) continue;
    const std::vector<std::string> fields = Split(line);
    double t = 0, counts = 0;
    if (fields.size() != 2 || !Number(fields[0], t) || !Number(fields[1], counts) || counts < 0 ||
        (!expected.t_ps.empty() && t <= expected.t_ps.back())) {
      return {{}, {}, number};
    }
    expected.t_ps.push_back(t);
    expected.counts.push_back(counts);
  }
  if (expected.t_ps.empty()) expected.bad_line = 0;
  return expected;
}

}  // namespace nlayer::fuzz
