// Why a text file of a run (io/text_file.h) or the reading rules of a model (io/input_reader.h)
// refused to go on: a kind with the data that tells where, and no user text. Each caller words
// it for its own users: the window's run in the messages it has always shown (app/run_error.h),
// the model file reader in English lines that name the file and the line (io/model_file.h).
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

#include "core/fp_guard.h"

namespace nlayer {

enum class RefusalKind {
  // A file operation failed; error_number() is the operating system's errno.
  kFileNotFound,      // ENOENT
  kAccessDenied,      // EACCES, EPERM, EROFS
  kInvalidName,       // ENAMETOOLONG, EILSEQ, EINVAL
  kTooManyOpenFiles,  // EMFILE, ENFILE
  kIoError,           // any other error number (a full disk, a held lock, a folder, ...)
  // The text breaks the reading rules.
  kInvalidNumber,  // the token is not a number of the kind asked for
  kTooLong,        // the token is longer than the reader takes; token() is cut at the limit
  kOutOfRange,     // a real beyond the extended range; fault() is what the parsing raised
  kNulByte,        // a NUL byte, which no text model file holds
  kFileTooLong,    // more than kMaxModelFileBytes read before the model's last value
};

// The kind of a failed file operation with error number `err`.
RefusalKind KindOfErrorNumber(int err);
// True for the kinds of a failed file operation, which carry an error number.
bool IsFileOperation(RefusalKind kind);

class FileRefusal : public std::runtime_error {
 public:
  // A failed file operation on `path` (empty where not known) with error number `err`.
  static FileRefusal OfErrorNumber(int err, std::filesystem::path path = {});
  // A refusal of the text: `line` the 1-based line of the offending token or byte (0 for the
  // file as a whole), `token` the offending token.
  FileRefusal(RefusalKind kind, std::filesystem::path path, long line, std::string token = {},
              FaultKind fault = FaultKind::kNone);

  RefusalKind kind() const { return kind_; }
  int error_number() const { return error_number_; }  // 0 for refusals of the text
  const std::filesystem::path& path() const { return path_; }
  long line() const { return line_; }
  const std::string& token() const { return token_; }
  FaultKind fault() const { return fault_; }

 private:
  FileRefusal(RefusalKind kind, int error_number, std::filesystem::path path, long line, std::string token,
              FaultKind fault);

  RefusalKind kind_;
  int error_number_;
  std::filesystem::path path_;
  long line_;
  std::string token_;
  FaultKind fault_;
};

}  // namespace nlayer
