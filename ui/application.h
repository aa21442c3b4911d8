// The application object of the window program, and the one place where a failed handler ends.
#pragma once

#include <QApplication>

#include <exception>
#include <memory>
#include <string>
#include <utility>

namespace nlayer::ui {

class TForm1;

// The title of the error box and the application's name.
inline constexpr char kApplicationTitle[] = "nlayer";

class Application final : public QApplication {
  Q_OBJECT

 public:
  // `argc` and `argv` must outlive the application, as for any QApplication.
  Application(int& argc, char** argv);
  ~Application() override;

  // Creates the main window Form1 from its stored layout; the application owns it and destroys
  // it before it ends itself.
  TForm1& CreateForm();

 private:
  std::unique_ptr<TForm1> form_;
};

// What a failure can say beyond its message, as a second base of its exception class: an
// English explanation (what was wrong, where, what to change) for the error box's
// "Show Details…".
class FailureDetails {
 public:
  explicit FailureDetails(std::string details) : details_(std::move(details)) {}
  virtual ~FailureDetails() = default;
  const std::string& details() const { return details_; }

 private:
  std::string details_;
};

// Shows `failure` in a modal critical message box captioned with the application's name: the
// text is the exception's message with the full stop rule of UserMessage, the only button OK.
// An exception that is also FailureDetails has them as the box's detailed text. Returns when the box
// has been dismissed.
void ShowFailure(const std::exception& failure);

// Calls `handler`, a callable taking no arguments. Every event handler of the program runs
// through here: an exception that leaves it is shown by ShowFailure and goes no further, so the
// window stays usable with whatever the handler had done before it failed. The exception is
// caught here, before it reaches Qt's event delivery: Qt does not support exceptions passing
// through it, and QtGui and QtWidgets are built without exception support, so their clean-ups
// (button state, event objects) would be skipped.
template <class Handler>
void CallHandler(Handler&& handler) {
  try {
    std::forward<Handler>(handler)();
  } catch (const std::exception& failure) {
    ShowFailure(failure);
  }
}

}  // namespace nlayer::ui
