// The one error of the readers of files a user gives: the model file and the curve files.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace nlayer {

// A file that cannot be read (error_number() the operating system's errno, line() 0), or whose
// text breaks the reader's rules (error_number() 0, line() the 1-based offending line, or 0
// where the file as a whole is at fault). The message starts with the file's name as given.
class InputFileError : public std::runtime_error {
 public:
  InputFileError(const std::string& message, long line, int error_number)
      : std::runtime_error(message), line_(line), error_number_(error_number) {}
  long line() const { return line_; }
  int error_number() const { return error_number_; }

 private:
  long line_;
  int error_number_;
};

// `token` in double quotes for a message, every byte outside printable ASCII, and the quote and
// backslash, as \xNN, so that every message is plain ASCII; with `cut`, "..." marks that the
// token went on.
inline std::string QuotedToken(std::string_view token, bool cut = false) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text = "\"";
  for (char c : token) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > 32 && byte < 127 && c != '"' && c != '\\') {
      text += c;
    } else {
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 15];
    }
  }
  return text + (cut ? "...\"" : "\"");
}

}  // namespace nlayer
