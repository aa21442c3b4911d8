#include "io/curve_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <system_error>

namespace nlayer {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// A token as a message quotes it; a long token is cut, since a message is one line for a person.
std::string Quoted(std::string_view token) {
  constexpr std::size_t kShown = 40;
  return QuotedToken(token.substr(0, kShown), token.size() > kShown);
}

// The number syntax of the file: [+-] (digits [. [digits]] | . digits) [(e|E) [+-] digits].
bool IsNumberSyntax(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < s.size() && IsDigit(s[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == s.size();
}

class Parser {
 public:
  explicit Parser(const std::string& name) : name_(name) {}

  [[noreturn]] void Fail(long line, const std::string& what) const {
    throw InputFileError(name_ + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + what, line, 0);
  }

  double Number(std::string_view token, long line, const char* what) const {
    if (!IsNumberSyntax(token)) Fail(line, Quoted(token) + " is not a number (" + what + ")");
    // from_chars takes no "+"; the syntax is already checked.
    if (token.front() == '+') token.remove_prefix(1);
    double value = 0;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (error == std::errc::result_out_of_range) {
      Fail(line, Quoted(token) + " is beyond the range of a double (" + what + ")");
    }
    if (error != std::errc() || end != token.data() + token.size()) {
      Fail(line, Quoted(token) + " is not a number (" + what + ")");
    }
    return value;
  }

  // The line's fields: split at commas when it has one, else at runs of blanks.
  std::vector<std::string_view> Fields(std::string_view content) const {
    std::vector<std::string_view> fields;
    if (content.find(',') != std::string_view::npos) {
      for (;;) {
        const std::size_t comma = content.find(',');
        fields.push_back(Trim(content.substr(0, comma)));
        if (comma == std::string_view::npos) break;
        content.remove_prefix(comma + 1);
      }
      return fields;
    }
    std::size_t i = 0;
    while (i < content.size()) {
      while (i < content.size() && IsBlank(content[i])) ++i;
      const std::size_t start = i;
      while (i < content.size() && !IsBlank(content[i])) ++i;
      if (i > start) fields.push_back(content.substr(start, i - start));
    }
    return fields;
  }

 private:
  const std::string& name_;
};

// The rules applied line by line, so that a file is refused at its first wrong line without
// the rest being read.
class LineReader {
 public:
  LineReader(const std::string& name, const TwoColumns& columns) : parser_(name), columns_(columns) {}

  void Add(std::string_view line) {
    ++line_number_;
    if (line_number_ == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    if (line.find('\0') != std::string_view::npos) {
      parser_.Fail(line_number_, std::string("a NUL byte; a ") + columns_.file + " is plain text");
    }
    line = Trim(line.substr(0, line.find('#')));
    if (line.empty()) return;
    const bool first = !seen_content_;
    seen_content_ = true;
    const char lead = line.front();
    if (first && !IsDigit(lead) && lead != '+' && lead != '-' && lead != '.') return;  // the header

    const std::vector<std::string_view> fields = parser_.Fields(line);
    if (fields.size() != 2) {
      parser_.Fail(line_number_, std::to_string(fields.size()) + (fields.size() == 1 ? " value" : " values") +
                                     " where a " + columns_.row + " has two, " + columns_.x + " and " + columns_.y);
    }
    const double t = parser_.Number(fields[0], line_number_, columns_.x);
    const double counts = parser_.Number(fields[1], line_number_, columns_.y);
    if (!(counts >= 0)) {
      parser_.Fail(line_number_, std::string(columns_.y) + " " + std::string(fields[1]) + " " + columns_.negative +
                                     "; " + columns_.y + " must be >= 0");
    }
    if (!curve_.t_ps.empty() && !(t > curve_.t_ps.back())) {
      char previous[32];
      char* previous_end = std::to_chars(previous, previous + sizeof previous, curve_.t_ps.back()).ptr;
      parser_.Fail(line_number_, std::string(columns_.x) + " " + std::string(fields[0]) + " does not rise above the " +
                                     std::string(previous, static_cast<std::size_t>(previous_end - previous)) + " " +
                                     columns_.x_unit + " of line " + std::to_string(curve_.lines.back()) + "; " +
                                     columns_.rise);
    }
    if (curve_.t_ps.size() == kMaxCurveBins) {
      parser_.Fail(line_number_, "more than " + std::to_string(kMaxCurveBins) + " " + columns_.row + "s; " +
                                     columns_.most);
    }
    curve_.t_ps.push_back(t);
    curve_.counts.push_back(counts);
    curve_.lines.push_back(line_number_);
  }

  CurveFile Finish() {
    if (curve_.t_ps.empty()) {
      parser_.Fail(0, std::string("no data: a ") + columns_.what + " needs lines of " + columns_.x + " and " + columns_.y);
    }
    return std::move(curve_);
  }

 private:
  const Parser parser_;
  const TwoColumns& columns_;
  CurveFile curve_;
  bool seen_content_ = false;
  long line_number_ = 0;
};

}  // namespace

CurveFile ParseCurve(std::string_view text, const std::string& name, const TwoColumns& columns) {
  LineReader reader(name, columns);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    reader.Add(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return reader.Finish();
}

CurveFile ReadCurveFile(const std::filesystem::path& path, const TwoColumns& columns) {
  const std::string name = path.string();
  auto fail = [&](int error) { throw InputFileError(name + ": " + std::strerror(error), 0, error); };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail(errno);
  // Closed however the reading ends.
  const std::unique_ptr<const int, void (*)(const int*)> closer(&fd, [](const int* f) { ::close(*f); });
  LineReader reader(name, columns);
  std::string pending;  // the line read so far
  std::size_t total = 0;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    if (got == 0) break;
    total += static_cast<std::size_t>(got);
    // Stops early on what cannot be a curve: a file without end, or one of endless comments.
    if (total > kMaxCurveFileBytes) {
      throw InputFileError(name + ": larger than " + std::to_string(kMaxCurveFileBytes >> 20) +
                               " MiB; that is no " + columns.what + " of " + columns.y,
                           0, 0);
    }
    std::string_view chunk(buffer, static_cast<std::size_t>(got));
    for (std::size_t end; (end = chunk.find('\n')) != std::string_view::npos;) {
      if (pending.empty()) {
        reader.Add(chunk.substr(0, end));
      } else {
        pending.append(chunk.substr(0, end));
        reader.Add(pending);
        pending.clear();
      }
      chunk.remove_prefix(end + 1);
    }
    pending.append(chunk);
  }
  if (!pending.empty()) reader.Add(pending);
  return reader.Finish();
}

}  // namespace nlayer
