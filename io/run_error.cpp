#include "io/run_error.h"

#include <cerrno>

namespace nlayer {

const char* FaultMessage(FpFault fault) {
  switch (fault) {
    case FpFault::kDivByZero:
      return "Gleitkommadivision durch Null";
    case FpFault::kOverflow:
      return "Gleitkommaüberlauf";
    case FpFault::kInvalid:
      return "Ungültige Gleitkommaoperation";
    case FpFault::kNone:
      break;
  }
  return "";
}

const char* FaultMessage(FaultKind kind) {
  switch (kind) {
    case FaultKind::kDivisionByZero:
      return FaultMessage(FpFault::kDivByZero);
    case FaultKind::kOverflow:
      return FaultMessage(FpFault::kOverflow);
    case FaultKind::kInvalidOperation:
      break;
  }
  return FaultMessage(FpFault::kInvalid);
}

void ThrowFault(FpFault fault) { throw RunError(FaultMessage(fault)); }

std::string UserMessage(std::string_view message) {
  std::string text(message);
  if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.')) {
    text += '.';
  }
  return text;
}

void ThrowFileError(int err) {
  switch (err) {
    case ENOENT:
      throw FileError("Datei nicht gefunden", err);
    case EACCES:
    case EPERM:
    case EROFS:
      throw FileError("Dateizugriff verweigert", err);
    case ENAMETOOLONG:
    case EILSEQ:
    case EINVAL:
      throw FileError("Ungültiger Dateiname", err);
    case EMFILE:
    case ENFILE:
      throw FileError("Zu viele geöffnete Dateien", err);
    default:
      throw FileError("E/A-Fehler " + std::to_string(err), err);
  }
}

void ThrowListIndexError(int index) {
  throw RunError("Listenindex überschreitet das Maximum (" + std::to_string(index) + ")");
}

}  // namespace nlayer
