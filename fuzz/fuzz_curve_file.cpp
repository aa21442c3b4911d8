// The reader of measured curves and IRFs (io/curve_file.h) on arbitrary text.
//
// Oracle: the rules written once more in another way. Lines are taken one by one; a number is
// whatever the C library's strtod reads in full from a token that starts with a digit, sign or
// point and holds no letter of "inf", "nan" or a hexadecimal number, and its range is judged
// from strtod's result and the token's digits. The reader must agree on whether the text is a
// curve, on the line of the first problem, and on every bin it reads.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "io/curve_file.h"

namespace {

struct Expected {
  std::vector<double> t_ps, counts;
  long bad_line = -1;  // -1: a curve; 0: no data; otherwise the first line with a problem
};

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Splits at commas when there is one (each piece stripped), else at runs of blanks.
std::vector<std::string> Split(const std::string& line) {
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
bool Number(const std::string& token, double& value) {
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

Expected Oracle(std::string text) {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nlayer::fuzz::Require;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const Expected expected = Oracle(text);
  try {
    const nlayer::CurveFile curve = nlayer::ParseCurve(text, "fuzz.csv");
    Require(expected.bad_line == -1, "a file with a problem in line " + std::to_string(expected.bad_line) +
                                         " was read as a curve");
    Require(curve.t_ps.size() == curve.counts.size() && curve.lines.size() == curve.t_ps.size(),
            "columns of different lengths");
    Require(curve.t_ps == expected.t_ps, "the times differ from the oracle's");
    Require(curve.counts == expected.counts, "the counts differ from the oracle's");
  } catch (const nlayer::InputFileError& e) {
    Require(expected.bad_line != -1, std::string("a curve was refused: ") + e.what());
    Require(e.line() == expected.bad_line, "the refusal names line " + std::to_string(e.line()) +
                                               ", the oracle line " + std::to_string(expected.bad_line) + ": " +
                                               e.what());
    Require(e.error_number() == 0, "a parse error with an errno");
    Require(std::string_view(e.what()).substr(0, 9) == "fuzz.csv:", "the message does not name the file");
  }
  return 0;
}
