#include "model/run_error.h"

#include <cerrno>

namespace nlayer {

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
      throw RunError("Datei nicht gefunden");
    case EACCES:
    case EPERM:
    case EROFS:
      throw RunError("Dateizugriff verweigert");
    case ENAMETOOLONG:
    case EILSEQ:
    case EINVAL:
      throw RunError("Ungültiger Dateiname");
    case EMFILE:
    case ENFILE:
      throw RunError("Zu viele geöffnete Dateien");
    default:
      throw RunError("E/A-Fehler " + std::to_string(err));
  }
}

void ThrowListIndexError(int index) {
  throw RunError("Listenindex überschreitet das Maximum (" + std::to_string(index) + ")");
}

}  // namespace nlayer
