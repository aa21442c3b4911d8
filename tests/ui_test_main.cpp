// The main of the window tests: the program's own application object around GoogleTest.
#include <gtest/gtest.h>

#include <QtGlobal>

#include "ui/application.h"

int main(int argc, char** argv) {
  // Headless, and the same on every machine whatever display the session offers.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  nlayer::ui::Application application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
