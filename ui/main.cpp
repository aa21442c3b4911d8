// The window program: no options, no arguments of its own; the model comes from "input.dat" in
// the working directory at every click on "Start!".
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "core/fp_guard.h"
#include "ui/application.h"
#include "ui/main_window.h"

int main(int argc, char* argv[]) {
  try {
    nlayer::AssertFloatingPointEnvironment();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return EXIT_FAILURE;
  }
  nlayer::ui::Application application(argc, argv);
  application.CreateForm().show();
  return application.exec();  // until the main window is closed; the application then deletes it
}
