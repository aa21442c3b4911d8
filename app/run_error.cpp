#include "app/run_error.h"

namespace nlayer {

const char* FaultMessage(FaultKind fault) {
  switch (fault) {
    case FaultKind::kDivisionByZero:
      return "Gleitkommadivision durch Null";
    case FaultKind::kOverflow:
      return "Gleitkommaüberlauf";
    case FaultKind::kInvalidOperation:
      return "Ungültige Gleitkommaoperation";
    case FaultKind::kNone:
      break;
  }
  return "";
}

void ThrowFault(FaultKind fault) { throw RunError(FaultMessage(fault)); }

std::string UserMessage(std::string_view message) {
  std::string text(message);
  if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.')) {
    text += '.';
  }
  return text;
}

std::string RunMessage(const FileRefusal& refusal) {
  switch (refusal.kind()) {
    case RefusalKind::kFileNotFound:
      return "Datei nicht gefunden";
    case RefusalKind::kAccessDenied:
      return "Dateizugriff verweigert";
    case RefusalKind::kInvalidName:
      return "Ungültiger Dateiname";
    case RefusalKind::kTooManyOpenFiles:
      return "Zu viele geöffnete Dateien";
    case RefusalKind::kIoError:
      return "E/A-Fehler " + std::to_string(refusal.error_number());
    case RefusalKind::kOutOfRange:
      return FaultMessage(refusal.fault());
    case RefusalKind::kInvalidNumber:
    case RefusalKind::kTooLong:
    case RefusalKind::kNulByte:
    case RefusalKind::kFileTooLong:
      break;
  }
  return std::string(kInvalidNumericInput);
}

void ThrowRunError(const FileRefusal& refusal) { throw RunError(RunMessage(refusal)); }

void ThrowFileError(int err) { ThrowRunError(FileRefusal::OfErrorNumber(err)); }

void ThrowListIndexError(int index) {
  throw RunError("Listenindex überschreitet das Maximum (" + std::to_string(index) + ")");
}

}  // namespace nlayer
