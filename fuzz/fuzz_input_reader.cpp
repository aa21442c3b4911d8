// The reader of "input.dat" on arbitrary bytes.
//
// The bytes are written to a file and read as a layer count followed by reals until the end of
// the file or the first error. Every read is compared with a second, deliberately plain reading
// of the rules over the whole buffer: tokens are runs of bytes above 32, the first byte 26 ends
// the file, a token longer than 32 (count) or 64 (real) characters is refused, the rest of
// a token's line is a comment, and a NUL byte wherever the reader reads refuses the file. The token parsers are checked on the whole input and on every
// token against independent conversions: a grammar and std::from_chars for integers, a grammar
// and glibc's correctly rounded strtold for reals.
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/run_error.h"
#include "core/fp_guard.h"
#include "fuzz/fuzz_support.h"
#include "io/input_reader.h"
#include "io/text_file.h"

namespace nlayer::fuzz {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::string Printable(std::string_view bytes) {
  static const char* const kHex = "0123456789abcdef";
  std::string text;
  for (char c : bytes.substr(0, 200)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 32 && byte < 127 && c != '\\') {
      text += c;
    } else {
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 15];
    }
  }
  return bytes.size() > 200 ? text + "..." : text;
}

// An integer token: "$", "x", "X", "0x" or "0X" and hex digits, or an optional sign and decimal
// digits; its value within the 32-bit signed range.
bool ReferenceInteger(std::string_view token, std::int32_t& value) {
  std::size_t prefix = 0;
  if (!token.empty() && (token[0] == '$' || token[0] == 'x' || token[0] == 'X')) prefix = 1;
  if (token.size() >= 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) prefix = 2;
  std::string_view digits = token.substr(prefix);
  bool negative = false;
  if (prefix == 0 && !digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return false;
  for (char c : digits) {
    if (prefix != 0 ? !IsHexDigit(c) : !IsDigit(c)) return false;
  }
  while (digits.size() > 1 && digits[0] == '0') digits.remove_prefix(1);
  std::uint64_t magnitude = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, prefix != 0 ? 16 : 10);
  if (ec != std::errc() || end != digits.data() + digits.size()) return false;  // beyond 64 bits
  if (magnitude > (negative ? 0x80000000ULL : 0x7FFFFFFFULL)) return false;
  value = static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude));
  return true;
}

// The grammar of a real: optional sign, digits with an optional "." among or after them (at
// least one digit in all), optional "e" or "E" with an optional sign and at least one digit.
// Also returns the count of significant digits and the power of ten that scales them.
bool IsRealToken(std::string_view token, int& significant_digits, long& power) {
  std::size_t pos = 0;
  if (pos < token.size() && (token[pos] == '+' || token[pos] == '-')) ++pos;
  int digits = 0;
  significant_digits = 0;
  long fraction = 0;
  bool point = false;
  for (; pos < token.size(); ++pos) {
    if (IsDigit(token[pos])) {
      ++digits;
      if (significant_digits > 0 || token[pos] != '0') ++significant_digits;
      if (point) ++fraction;
    } else if (token[pos] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  long exponent = 0;
  if (pos < token.size() && (token[pos] == 'e' || token[pos] == 'E')) {
    ++pos;
    bool negative = false;
    if (pos < token.size() && (token[pos] == '+' || token[pos] == '-')) negative = token[pos++] == '-';
    if (pos == token.size()) return false;
    for (; pos < token.size(); ++pos) {
      if (!IsDigit(token[pos])) return false;
      if (exponent < 100000000) exponent = exponent * 10 + (token[pos] - '0');
    }
    if (negative) exponent = -exponent;
  }
  if (pos != token.size()) return false;
  power = exponent - fraction;
  return true;
}

void CheckIntegerParser(std::string_view token) {
  std::int32_t expected = 0;
  std::int32_t actual = 0;
  const bool expected_ok = ReferenceInteger(token, expected);
  const bool actual_ok = ParseIntegerToken(token, actual);
  Require(actual_ok == expected_ok, "ParseIntegerToken(\"" + Printable(token) + "\") " +
                                        (actual_ok ? "accepts" : "refuses") + " the token");
  Require(!actual_ok || actual == expected, "ParseIntegerToken(\"" + Printable(token) + "\") gives " +
                                                std::to_string(actual) + ", not " + std::to_string(expected));
}

// A few thousand units of the extended significand: the digit-by-digit forming and the steps of
// 10^31 round at most a few hundred times.
constexpr long double kLongTokenAgreement = 1e-16L;

void CheckRealParser(std::string_view token) {
  int significant_digits = 0;
  long power = 0;
  const bool expected_ok = IsRealToken(token, significant_digits, power);
  long double value = 0;
  bool actual_ok = false;
  const FaultKind fault = RunChecked([&] { actual_ok = ParseRealToken(token, value); });
  const std::string call = "ParseRealToken(\"" + Printable(token) + "\")";
  Require(actual_ok == expected_ok, call + (actual_ok ? " accepts" : " refuses") + " the token");
  if (!actual_ok) return;
  const std::string reference_text(token);
  const long double reference = std::strtold(reference_text.c_str(), nullptr);
  const long double near_max = LDBL_MAX * (1.0L - 1e-15L);
  Require(fault == FaultKind::kNone || fault == FaultKind::kOverflow, call + " raises " + FaultMessage(fault));
  if (fault == FaultKind::kOverflow) {
    Require(token.size() > InputReader::kMaxRealToken || std::fabs(reference) >= near_max,
            call + " overflows, strtold does not");
    return;
  }
  Require(std::isfinite(value), call + " gives a value that is not finite without a fault");
  // The values are promised only for the tokens the reader passes on: beyond 64 characters the
  // digit-by-digit forming rounds too often for the bounds below, and beyond some 4900 digits
  // it leaves the extended range.
  if (token.size() > InputReader::kMaxRealToken) return;
  Require(std::signbit(value) == std::signbit(reference), call + " has the wrong sign");
  if (std::isinf(reference)) {
    Require(std::fabs(value) >= near_max, call + " does not overflow, strtold does");
    return;
  }
  // Up to 19 significant digits and a power of ten within 27 are one correctly rounded
  // operation on two exact numbers, so they must match bit for bit.
  if (significant_digits <= 19 && power >= -27 && power <= 27) {
    Require(value == reference, call + " is not the nearest extended number");
    return;
  }
  if (reference == 0 || std::fabs(reference) < LDBL_MIN) return;  // subnormal: precision is lost anyway
  Require(std::fabs(value - reference) <= kLongTokenAgreement * std::fabs(reference),
          call + " is too far from strtold");
}

// The reading rules over the whole buffer at once.
class RulesReader {
 public:
  explicit RulesReader(std::string_view bytes) : bytes_(bytes.substr(0, bytes.find('\x1a'))) {}

  // The next token and what reading it gives: the value, or the message of the error.
  struct Read {
    std::string_view token;
    bool failed = false;
    std::string message;
    long double real = 0;
    std::int32_t integer = 0;
  };

  Read Next(bool integer) {
    Read read;
    const std::size_t limit = integer ? InputReader::kMaxIntegerToken : InputReader::kMaxRealToken;
    const std::size_t end = bytes_.size();
    if (at_end_) return read;  // the end of the file reads as 0
    // No text model file holds a NUL byte: meeting one, wherever the reader reads, refuses it.
    while (pos_ < end && IsBlank(bytes_[pos_])) {
      if (bytes_[pos_++] == '\0') return Failed(read, std::string(kInvalidNumericInput));
    }
    const std::size_t start = pos_;
    while (pos_ < end && !IsBlank(bytes_[pos_])) ++pos_;
    read.token = bytes_.substr(start, pos_ - start);
    if (read.token.empty()) {
      at_end_ = true;
      return read;
    }
    if (read.token.size() > limit) return Failed(read, std::string(kInvalidNumericInput));
    // The byte that ends the token is read too.
    if (pos_ < end && bytes_[pos_] == '\0') return Failed(read, std::string(kInvalidNumericInput));
    bool parsed = false;
    if (integer) {
      parsed = ParseIntegerToken(read.token, read.integer);
    } else {
      const FaultKind fault = RunChecked([&] { parsed = ParseRealToken(read.token, read.real); });
      if (fault != FaultKind::kNone) return Failed(read, FaultMessage(fault));
    }
    if (!parsed) return Failed(read, std::string(kInvalidNumericInput));
    // The rest of the line is a comment, read to its end.
    const std::size_t line_end = bytes_.find('\n', pos_);
    const std::string_view comment = bytes_.substr(pos_, line_end == std::string_view::npos ? std::string_view::npos : line_end - pos_);
    if (comment.find('\0') != std::string_view::npos) return Failed(read, std::string(kInvalidNumericInput));
    // The reader learns of the end only by meeting it.
    if (pos_ == end || line_end == std::string_view::npos) {
      pos_ = end;
      at_end_ = true;
    } else {
      pos_ = line_end + 1;
    }
    return read;
  }

  bool AtEnd() const { return at_end_; }

 private:
  static bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

  static Read Failed(Read read, const std::string& message) {
    read.failed = true;
    read.message = message;
    return read;
  }

  std::string_view bytes_;
  std::size_t pos_ = 0;
  bool at_end_ = false;
};

void CheckReaderAgainstRules(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  WriteFile("input.dat", data, size);
  TextFile file;
  file.OpenRead("input.dat");
  InputReader reader(file);
  RulesReader rules(bytes);
  // Every read but one at the end consumes at least one byte.
  for (std::size_t index = 0; index <= size + 1; ++index) {
    const bool integer = index == 0;
    const RulesReader::Read expected = rules.Next(integer);
    if (!integer && !expected.failed && !expected.token.empty()) CheckRealParser(expected.token);
    if (integer && !expected.token.empty()) CheckIntegerParser(expected.token);
    const std::string what = "read " + std::to_string(index) + " (token \"" + Printable(expected.token) + "\")";
    std::string message;
    long double value = 0;
    try {
      value = integer ? static_cast<long double>(reader.ReadInteger()) : reader.ReadReal();
    } catch (const FileRefusal& e) {
      message = RunMessage(e);
    }
    if (expected.failed || !message.empty()) {
      Require(message == expected.message,
              what + " fails with \"" + message + "\", the rules say \"" + expected.message + "\"");
      return;
    }
    const long double expected_value = integer ? static_cast<long double>(expected.integer) : expected.real;
    Require(value == expected_value && std::signbit(value) == std::signbit(expected_value), what + " gives another value");
    Require(reader.AtEnd() == rules.AtEnd(), what + ": the reader and the rules disagree on the end of the file");
    if (reader.AtEnd()) {
      // From here on every value reads as 0.
      Require(reader.ReadReal() == 0.0L && reader.ReadInteger() == 0, "a read after the end is not 0");
      return;
    }
  }
  Fail("the reader does not reach the end of a file of " + std::to_string(size) + " bytes");
}

}  // namespace
}  // namespace nlayer::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  nlayer::fuzz::CheckIntegerParser(bytes);
  nlayer::fuzz::CheckRealParser(bytes);
  nlayer::fuzz::CheckReaderAgainstRules(data, size);
  return 0;
}
