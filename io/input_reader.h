// The reading rules of "input.dat": one value per line, blanks and control characters skipped
// across lines, anything after the value on its line ignored (a comment), the end of the file
// reading as 0. A value the rules refuse throws a FileRefusal (io/file_refusal.h) naming the
// line and the token.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/fp_guard.h"
#include "io/file_refusal.h"
#include "io/text_file.h"

namespace nlayer {

class InputReader {
 public:
  // The longest token taken for an integer and for a real. A longer token is refused (kTooLong)
  // rather than cut, which would silently change its value.
  static constexpr std::size_t kMaxIntegerToken = 32;
  static constexpr std::size_t kMaxRealToken = 64;

  explicit InputReader(TextFile& file) : file_(file) {}

  // A layer count: an optional sign and decimal digits, or without a sign a hexadecimal
  // integer introduced by "$", "x", "X", "0x" or "0X", within the 32-bit signed range.
  // 0 at the end of the file. Anything else is refused (kInvalidNumber, kTooLong).
  std::int32_t ReadInteger();

  // A real: optional sign, decimal digits, optional "." and fraction, optional exponent after
  // "E" or "e"; "." is the decimal separator whatever the locale. 0 at the end of the file.
  // Formed in extended precision digit by digit, then scaled by one power of ten, so that
  // numbers of up to 19 digits with |exponent| <= 27 read as the nearest extended number.
  // A value beyond the extended range is refused (kOutOfRange, with the fault it raised).
  long double ReadReal();

  // True once the end of the file has been met: every further value reads as 0.
  bool AtEnd() const { return at_end_; }

  // Where the value last read came from, so that messages can point at it: the 1-based line
  // on which its token starts (lines end at "\n" only), or 0 when the file ended before it and
  // it read as 0. After a failed read, the line of the offending token.
  long ValueLine() const { return value_line_; }

  // The 1-based line the reader has come to.
  long CurrentLine() const { return newlines_ + 1; }

  // What the reading rules say of a single token (ReadRealToken).
  enum class Refusal { kNone, kNotANumber, kTooLong, kOutOfRange };

 private:
  int Next();  // the next byte, or EOF (code 26 also ends the file)
  void PutBack(int byte);  // undoes Next() for a byte it returned
  // Prepares a read: skips to the next token and notes its line; false at the end of the file.
  bool StartValue();
  // The token read, cut at the length limit when it is too long.
  std::string_view ValueToken() const { return std::string_view(token_.data(), token_length_); }
  [[noreturn]] void Refuse(RefusalKind kind, FaultKind fault = FaultKind::kNone) const;
  // Skips blanks and control characters; false at the end of the file.
  bool SkipToToken();
  // Reads the token that starts here into token_; false when it is longer than `limit`.
  bool ReadToken(std::size_t limit);
  void SkipRestOfLine();

  TextFile& file_;
  bool at_end_ = false;
  long newlines_ = 0;  // "\n" bytes taken so far (less any put back)
  long value_line_ = 0;
  std::array<char, kMaxRealToken> token_{};
  std::size_t token_length_ = 0;
};

// The value of a whole integer or real token, exposed for the tests and fuzzers: false when
// the token is not entirely a number of that kind.
bool ParseIntegerToken(std::string_view token, std::int32_t& value);
bool ParseRealToken(std::string_view token, long double& value);

// A real token judged by every rule ReadReal applies to it: its length, its syntax and its
// range. ReadReal reads through this, and whatever writes a model file checks its values with
// it, so that nothing is written that a run would refuse.
struct RealToken {
  InputReader::Refusal refusal = InputReader::Refusal::kNone;
  FaultKind fault = FaultKind::kNone;  // what put it out of range (kOutOfRange)
  long double value = 0;           // with kNone
};
RealToken ReadRealToken(std::string_view token);

}  // namespace nlayer
