#include "io/file_refusal.h"

#include <cerrno>
#include <system_error>
#include <utility>

namespace nlayer {

namespace {

// Plain English for what() only: whoever shows a refusal to a user words it from its data.
std::string Describe(RefusalKind kind, int err, const std::filesystem::path& path, long line,
                     const std::string& token) {
  std::string text = path.string();
  if (line > 0) text += ":" + std::to_string(line);
  if (!text.empty()) text += ": ";
  if (IsFileOperation(kind)) return text + std::error_code(err, std::generic_category()).message();
  switch (kind) {
    case RefusalKind::kInvalidNumber:
      return text + "invalid numeric input \"" + token + "\"";
    case RefusalKind::kTooLong:
      return text + "value too long \"" + token + "...\"";
    case RefusalKind::kOutOfRange:
      return text + "value beyond the extended range \"" + token + "\"";
    case RefusalKind::kNulByte:
      return text + "a NUL byte";
    case RefusalKind::kFileTooLong:
      return text + "file too long";
    default:
      break;
  }
  return text;
}

}  // namespace

RefusalKind KindOfErrorNumber(int err) {
  switch (err) {
    case ENOENT:
      return RefusalKind::kFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return RefusalKind::kAccessDenied;
    case ENAMETOOLONG:
    case EILSEQ:
    case EINVAL:
      return RefusalKind::kInvalidName;
    case EMFILE:
    case ENFILE:
      return RefusalKind::kTooManyOpenFiles;
    default:
      return RefusalKind::kIoError;
  }
}

bool IsFileOperation(RefusalKind kind) {
  switch (kind) {
    case RefusalKind::kFileNotFound:
    case RefusalKind::kAccessDenied:
    case RefusalKind::kInvalidName:
    case RefusalKind::kTooManyOpenFiles:
    case RefusalKind::kIoError:
      return true;
    case RefusalKind::kInvalidNumber:
    case RefusalKind::kTooLong:
    case RefusalKind::kOutOfRange:
    case RefusalKind::kNulByte:
    case RefusalKind::kFileTooLong:
      break;
  }
  return false;
}

FileRefusal::FileRefusal(RefusalKind kind, int error_number, std::filesystem::path path, long line,
                         std::string token, FaultKind fault)
    : std::runtime_error(Describe(kind, error_number, path, line, token)),
      kind_(kind),
      error_number_(error_number),
      path_(std::move(path)),
      line_(line),
      token_(std::move(token)),
      fault_(fault) {}

FileRefusal::FileRefusal(RefusalKind kind, std::filesystem::path path, long line, std::string token, FaultKind fault)
    : FileRefusal(kind, 0, std::move(path), line, std::move(token), fault) {}

FileRefusal FileRefusal::OfErrorNumber(int err, std::filesystem::path path) {
  return FileRefusal(KindOfErrorNumber(err), err, std::move(path), 0, {}, FaultKind::kNone);
}

}  // namespace nlayer
