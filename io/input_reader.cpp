#include "io/input_reader.h"

#include <array>

#include "core/fp_guard.h"

namespace nlayer {

namespace {

constexpr int kEndOfFileMark = 26;

bool IsBlankOrControl(int byte) { return byte >= 0 && byte <= 32; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 10^k for k = 0 .. 31 as extended numbers: exact up to 10^27 (5^27 still fits in the 64-bit
// significand), the nearest extended number above that.
constexpr std::array<long double, 32> kPowersOfTen = {
    1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,  1e7L,  1e8L,  1e9L,  1e10L,
    1e11L, 1e12L, 1e13L, 1e14L, 1e15L, 1e16L, 1e17L, 1e18L, 1e19L, 1e20L, 1e21L,
    1e22L, 1e23L, 1e24L, 1e25L, 1e26L, 1e27L, 1e28L, 1e29L, 1e30L, 1e31L};

// m scaled by 10^p: one multiplication or division for |p| < 32, which is what makes short
// decimals such as 1.4 read as the nearest extended number; larger |p| in steps of 10^31.
long double ScaleByPowerOfTen(long double m, long p) {
  while (p >= 32) {
    m *= kPowersOfTen[31];
    p -= 31;
  }
  while (p <= -32) {
    m /= kPowersOfTen[31];
    p += 31;
  }
  return p >= 0 ? m * kPowersOfTen[p] : m / kPowersOfTen[-p];
}

}  // namespace

bool ParseIntegerToken(std::string_view token, std::int32_t& value) {
  if (token.empty()) return false;
  std::size_t pos = 0;
  std::int64_t magnitude = 0;
  const std::int64_t kLimit = 0x80000000LL;  // |INT32_MIN|
  // Hexadecimal forms carry no sign.
  std::size_t hex_start = 0;
  if (token[0] == '$' || token[0] == 'x' || token[0] == 'X') {
    hex_start = 1;
  } else if (token.size() >= 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
    hex_start = 2;
  }
  if (hex_start != 0) {
    if (hex_start == token.size()) return false;
    for (pos = hex_start; pos < token.size(); ++pos) {
      const int digit = HexDigit(token[pos]);
      if (digit < 0) return false;
      magnitude = magnitude * 16 + digit;
      if (magnitude > 0x7FFFFFFFLL) return false;
    }
    value = static_cast<std::int32_t>(magnitude);
    return true;
  }
  bool negative = false;
  if (token[0] == '+' || token[0] == '-') {
    negative = token[0] == '-';
    pos = 1;
  }
  if (pos == token.size()) return false;
  for (; pos < token.size(); ++pos) {
    if (!IsDigit(token[pos])) return false;
    magnitude = magnitude * 10 + (token[pos] - '0');
    if (magnitude > kLimit) return false;
  }
  if (!negative && magnitude > 0x7FFFFFFFLL) return false;
  value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
  return true;
}

bool ParseRealToken(std::string_view token, long double& value) {
  std::size_t pos = 0;
  bool negative = false;
  if (pos < token.size() && (token[pos] == '+' || token[pos] == '-')) {
    negative = token[pos] == '-';
    ++pos;
  }
  long double m = 0.0L;
  int digits = 0;
  long fraction_digits = 0;
  for (; pos < token.size() && IsDigit(token[pos]); ++pos, ++digits) {
    m = 10.0L * m + static_cast<long double>(token[pos] - '0');
  }
  if (pos < token.size() && token[pos] == '.') {
    for (++pos; pos < token.size() && IsDigit(token[pos]); ++pos, ++digits, ++fraction_digits) {
      m = 10.0L * m + static_cast<long double>(token[pos] - '0');
    }
  }
  if (digits == 0) return false;
  long exponent = 0;
  if (pos < token.size() && (token[pos] == 'E' || token[pos] == 'e')) {
    ++pos;
    bool exponent_negative = false;
    if (pos < token.size() && (token[pos] == '+' || token[pos] == '-')) {
      exponent_negative = token[pos] == '-';
      ++pos;
    }
    if (pos == token.size()) return false;
    for (; pos < token.size(); ++pos) {
      if (!IsDigit(token[pos])) return false;
      // Far beyond the extended range either way; saturating keeps the arithmetic defined.
      if (exponent < 1000000) exponent = exponent * 10 + (token[pos] - '0');
    }
    if (exponent_negative) exponent = -exponent;
  }
  if (pos != token.size()) return false;
  long double scaled = ScaleByPowerOfTen(m, exponent - fraction_digits);
  value = negative ? -scaled : scaled;
  return true;
}

int InputReader::Next() {
  if (at_end_) return EOF;
  const int byte = file_.Get();
  if (byte == EOF || byte == kEndOfFileMark) {
    at_end_ = true;
    return EOF;
  }
  if (byte == '\n') ++newlines_;
  return byte;
}

void InputReader::PutBack(int byte) {
  if (byte == '\n') --newlines_;
  file_.Unget(byte);
}

bool InputReader::SkipToToken() {
  int byte;
  do {
    byte = Next();
    if (byte == EOF) return false;
  } while (IsBlankOrControl(byte));
  PutBack(byte);
  return true;
}

bool InputReader::StartValue() {
  token_length_ = 0;
  if (!SkipToToken()) {
    value_line_ = 0;
    return false;
  }
  value_line_ = newlines_ + 1;
  return true;
}

bool InputReader::ReadToken(std::size_t limit) {
  static_assert(kMaxIntegerToken <= kMaxRealToken, "both kinds of token share one buffer");
  token_length_ = 0;
  for (;;) {
    const int byte = Next();
    if (byte == EOF) return true;
    if (IsBlankOrControl(byte)) {
      PutBack(byte);
      return true;
    }
    if (token_length_ == limit) return false;
    token_[token_length_++] = static_cast<char>(byte);
  }
}

void InputReader::SkipRestOfLine() {
  for (int byte = Next(); byte != EOF && byte != '\n'; byte = Next()) {
  }
}

void InputReader::Refuse(RefusalKind kind, FaultKind fault) const {
  throw FileRefusal(kind, file_.Path(), value_line_, std::string(ValueToken()), fault);
}

std::int32_t InputReader::ReadInteger() {
  if (!StartValue()) return 0;
  if (!ReadToken(kMaxIntegerToken)) Refuse(RefusalKind::kTooLong);
  std::int32_t value = 0;
  if (!ParseIntegerToken(ValueToken(), value)) Refuse(RefusalKind::kInvalidNumber);
  SkipRestOfLine();
  return value;
}

RealToken ReadRealToken(std::string_view token) {
  RealToken read;
  if (token.size() > InputReader::kMaxRealToken) {
    read.refusal = InputReader::Refusal::kTooLong;
    return read;
  }
  bool parsed = false;
  read.fault = RunChecked([&] { parsed = ParseRealToken(token, read.value); });
  if (read.fault != FaultKind::kNone) {
    read.refusal = InputReader::Refusal::kOutOfRange;
  } else if (!parsed) {
    read.refusal = InputReader::Refusal::kNotANumber;
  }
  return read;
}

long double InputReader::ReadReal() {
  if (!StartValue()) return 0.0L;
  if (!ReadToken(kMaxRealToken)) Refuse(RefusalKind::kTooLong);
  const RealToken read = ReadRealToken(ValueToken());
  if (read.refusal == Refusal::kOutOfRange) Refuse(RefusalKind::kOutOfRange, read.fault);
  if (read.refusal != Refusal::kNone) Refuse(RefusalKind::kInvalidNumber);
  SkipRestOfLine();
  return read.value;
}

}  // namespace nlayer
