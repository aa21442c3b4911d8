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

RunError RunError::OfFault(FaultKind fault) {
  RunError error(RunErrorKind::kFault, FaultMessage(fault));
  error.fault_ = fault;
  return error;
}

RunError RunError::OfFile(int error_number, const std::string& message) {
  RunError error(RunErrorKind::kFile, message);
  error.error_number_ = error_number;
  return error;
}

void ThrowFault(FaultKind fault) { throw RunError::OfFault(fault); }

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

void ThrowRunError(const FileRefusal& refusal) {
  switch (refusal.kind()) {
    case RefusalKind::kFileNotFound:
    case RefusalKind::kAccessDenied:
    case RefusalKind::kInvalidName:
    case RefusalKind::kTooManyOpenFiles:
    case RefusalKind::kIoError:
      throw RunError::OfFile(refusal.error_number(), RunMessage(refusal));
    case RefusalKind::kOutOfRange:
      throw RunError::OfFault(refusal.fault());
    case RefusalKind::kInvalidNumber:
    case RefusalKind::kTooLong:
    case RefusalKind::kNulByte:
    case RefusalKind::kFileTooLong:
      break;
  }
  throw RunError(RunErrorKind::kInvalidInput, RunMessage(refusal));
}

void ThrowFileError(int err) { ThrowRunError(FileRefusal::OfErrorNumber(err)); }

void ThrowListIndexError(int index) {
  throw RunError(RunErrorKind::kListIndex, "Listenindex überschreitet das Maximum (" + std::to_string(index) + ")");
}

}  // namespace nlayer
