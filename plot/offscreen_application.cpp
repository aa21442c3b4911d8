#include "plot/offscreen_application.h"

#include <QApplication>

#include <clocale>
#include <cstdio>
#include <stdexcept>

namespace nlayer::plot {

namespace {

void OnlyCritical(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "%s\n", qPrintable(message));
}

}  // namespace

OffscreenApplication::OffscreenApplication(const std::string& program, const std::string& not_a_widget_application)
    : program_(program) {
  if (QCoreApplication* existing = QCoreApplication::instance()) {
    if (qobject_cast<QApplication*>(existing) == nullptr) throw std::runtime_error(not_a_widget_application);
    return;
  }
  argv_ = {program_.data(), platform_option_, platform_, nullptr};
  previous_handler_ = qInstallMessageHandler(&OnlyCritical);
  const std::string locale = std::setlocale(LC_ALL, nullptr);
  application_ = std::make_unique<QApplication>(argc_, argv_.data());
  std::setlocale(LC_ALL, locale.c_str());
}

OffscreenApplication::~OffscreenApplication() {
  if (!application_) return;
  application_.reset();
  qInstallMessageHandler(previous_handler_);
}

}  // namespace nlayer::plot
