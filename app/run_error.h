// The one way the window's run fails: an exception that carries the message a user sees, the
// runtime's German words, made here from the library's faults and the readers' refusals.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "core/fp_guard.h"
#include "io/file_refusal.h"

namespace nlayer {

// What ended a run, so that its explanation need not be recovered from the German words.
enum class RunErrorKind {
  kFile,             // a file operation failed; error_number() is the system's errno
  kFault,            // an arithmetic fault; fault() says which
  kInvalidInput,     // the model's text holds no number where one is due
  kRangeCheck,       // a layer count below 1
  kListIndex,        // the chart's eight series are used up
  kOutputIsInput,    // the output file is the model file
  kDistanceTooFar,   // the transform cannot reach the detector; explanation() says why
};

// A run ended early. `what()` is the runtime's German message as it stands, without the full
// stop that the window adds (see UserMessage).
class RunError : public std::runtime_error {
 public:
  RunError(RunErrorKind kind, const std::string& message, std::string explanation = {})
      : std::runtime_error(message), kind_(kind), explanation_(std::move(explanation)) {}
  RunErrorKind kind() const { return kind_; }
  // The English explanation where the run itself knows it (what the model file cannot tell),
  // or empty.
  const std::string& explanation() const { return explanation_; }
  int error_number() const { return error_number_; }  // kFile only, else 0
  FaultKind fault() const { return fault_; }           // kFault only, else kNone

  static RunError OfFault(FaultKind fault);
  static RunError OfFile(int error_number, const std::string& message);

 private:
  RunErrorKind kind_;
  std::string explanation_;
  int error_number_ = 0;
  FaultKind fault_ = FaultKind::kNone;
};

// The text shown for a failed run: the message, with a full stop appended when its last
// character sorts after "." in the character code (a letter or a digit gets one, a closing
// parenthesis does not). Both the window and the headless command show failures through this.
std::string UserMessage(std::string_view message);

// The runtime's message for a refusal of a run's file: for a failed file operation "Datei
// nicht gefunden", "Dateizugriff verweigert", "Ungültiger Dateiname", "Zu viele geöffnete
// Dateien", otherwise "E/A-Fehler <errno>"; for a value beyond the extended range the message
// of its fault; for everything else the text breaks, "Ungültige numerische Eingabe" (also for
// a NUL byte and for a file too long to be a model, which hold no model either).
std::string RunMessage(const FileRefusal& refusal);

// Throws the run's error for `refusal`, with RunMessage.
[[noreturn]] void ThrowRunError(const FileRefusal& refusal);

// ThrowRunError for a failed file operation with the operating system's error number `err`.
[[noreturn]] void ThrowFileError(int err);

// The message of a chart series number outside 0..7.
[[noreturn]] void ThrowListIndexError(int index);

// The runtime's message for a fault: "Gleitkommadivision durch Null", "Gleitkommaüberlauf",
// "Ungültige Gleitkommaoperation" (empty for kNone).
const char* FaultMessage(FaultKind kind);

[[noreturn]] void ThrowFault(FaultKind fault);

// Runs `step` as one checked piece of arithmetic (RunChecked); a fault becomes the run's
// RunError at once.
template <class F>
void Checked(F&& step) {
  if (FaultKind fault = RunChecked(std::forward<F>(step)); fault != FaultKind::kNone) ThrowFault(fault);
}

inline constexpr std::string_view kInvalidNumericInput = "Ungültige numerische Eingabe";
inline constexpr std::string_view kRangeCheckError = "Fehler bei Bereichsprüfung";

}  // namespace nlayer
