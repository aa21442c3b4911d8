// The QApplication that drawing into a file needs, for programs that have none: the headless
// commands and tests. The window's own application object is used as it is.
#pragma once

#include <QtGlobal>

#include <array>
#include <memory>
#include <string>

QT_BEGIN_NAMESPACE
class QApplication;
QT_END_NAMESPACE

namespace nlayer::plot {

// A QApplication on the "offscreen" platform for as long as the object lives, unless the
// process already has one, which is then used. While its own application lives, only Qt's
// critical messages reach standard error: the offscreen platform's notes (no XDG_RUNTIME_DIR,
// no size hints) mean nothing to someone who asked for a picture. The C locale is left as it
// was (QApplication sets it from the environment).
class OffscreenApplication {
 public:
  // `program` is the application's name (its argv[0]). Throws std::runtime_error with
  // `not_a_widget_application` when the process's application is a QCoreApplication without
  // widgets, which charts cannot draw in.
  OffscreenApplication(const std::string& program, const std::string& not_a_widget_application);
  ~OffscreenApplication();
  OffscreenApplication(const OffscreenApplication&) = delete;
  OffscreenApplication& operator=(const OffscreenApplication&) = delete;

 private:
  QtMessageHandler previous_handler_ = nullptr;
  // QApplication keeps references to its arguments and removes those it has read.
  std::string program_;
  char platform_option_[10] = "-platform";
  char platform_[10] = "offscreen";
  int argc_ = 3;
  std::array<char*, 4> argv_{};
  std::unique_ptr<QApplication> application_;
};

}  // namespace nlayer::plot
