#include "ui/application.h"

#include <QMessageBox>
#include <QString>

#include "app/run_error.h"
#include "ui/main_window.h"

namespace nlayer::ui {

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
  // Only the name, not a display name: a display name would be appended to every window's
  // caption by the window system integration.
  setApplicationName(kApplicationTitle);
}

Application::~Application() {
  Form1 = nullptr;
  form_.reset();  // widgets must go while the application still exists
}

TForm1& Application::CreateForm() {
  form_ = std::make_unique<TForm1>();
  Form1 = form_.get();
  return *form_;
}

void ShowFailure(const std::exception& failure) {
  QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(),
                  QString::fromStdString(UserMessage(failure.what())), QMessageBox::Ok,
                  QApplication::activeWindow());
  if (const auto* detailed = dynamic_cast<const FailureDetails*>(&failure)) {
    if (!detailed->details().empty()) box.setDetailedText(QString::fromStdString(detailed->details()));
  }
  box.exec();
}

}  // namespace nlayer::ui
