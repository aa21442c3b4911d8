// The window program: the model comes from "input.dat" in the working directory at every click on
// "Start!". Its only options are --help and --version, answered before Qt starts, so that they
// print and end like the command lines' do, without a display; Qt's own options (-platform,
// -style, ...) are left to QApplication.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "core/fp_guard.h"
#include "nlayer/reflectance.h"
#include "ui/application.h"
#include "ui/main_window.h"

namespace {

constexpr const char* kUsage =
    "Usage: nlayer [QT-OPTION...]\n"
    "  or:  nlayer --help | --version\n"
    "\n"
    "Opens the window. Each click on \"Start!\" reads the layered medium from \"input.dat\" in the\n"
    "working directory, computes its time-resolved reflectance, writes it to \"reflectance.dat\"\n"
    "and draws it. The chart's context menu edits the model, fits a measured curve and saves\n"
    "the chart. nlayer-run and nlayer-fit are the run and the fit on the command line.\n"
    "\n"
    "Options:\n"
    "  -h,--help                 print this help and exit\n"
    "  --version                 print the program's version and exit\n"
    "\n"
    "Qt's options, such as -platform NAME or -style NAME, are passed on to Qt.\n";

// 0 once the text is out, 1 when standard output cannot take it, as for the command lines: a
// help that did not arrive must not look like one that did.
int Print(const char* text) {
  if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "nlayer: cannot write to standard output: %s\n", std::strerror(errno));
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "-h" || argument == "--help") return Print(kUsage);
    if (argument == "--version") {
      const std::string line = std::string("nlayer ") + nlayer::Version() + "\n";
      return Print(line.c_str());
    }
  }
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
