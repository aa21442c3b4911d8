// The model file as the library's users read it: the line of every value, the values the
// window's run reads from the same bytes, and the English messages that point at a line.
#include "io/model_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/run.h"
#include "app/run_error.h"
#include "io/text_file.h"
#include "tests/test_support.h"

namespace nlayer {
namespace {

using testing::TempWorkDir;
namespace fs = std::filesystem;

ModelFile Read(const TempWorkDir& dir, const std::string& content) {
  dir.Write("m.dat", content);
  return ReadModelFile("m.dat");
}

std::string ReadError(const TempWorkDir& dir, const std::string& content) {
  try {
    Read(dir, content);
  } catch (const InputFileError& e) {
    return e.what();
  }
  return "(read)";
}

std::string Problem(const TempWorkDir& dir, const std::string& content, bool need_rho = true) {
  return ValidateModelFile(Read(dir, content), need_rho).value_or("(valid)");
}

TEST(ReadModelFile, EveryValueKnowsItsLineAcrossBlankLinesCommentsAndLineEnds) {
  TempWorkDir dir;
  // Lines counted by hand: only "\n" ends a line, so the CR alone on line 9 hides "7" in the
  // comment of "2", and the layer's other values follow on lines 10 to 12.
  const ModelFile m = Read(dir,
                           "\n"                    // 1
                           "2   layers\n"          // 2
                           "  \t\n"                // 3
                           "1 top mus'\r\n"        // 4
                           "0.01\n"                // 5
                           "\n"                    // 6
                           "\t1.4 n\n"             // 7
                           "5\n"                   // 8
                           "2\r7 mus' 2\n"         // 9
                           "0.03 0.04 0.05\n"      // 10
                           "1.4\n"                 // 11
                           "15\n"                  // 12
                           "\n\n"                  // 13, 14
                           "20");                  // 15, no line end
  EXPECT_EQ(m.layer_count, 2);
  EXPECT_EQ(m.layer_count_line, 2);
  ASSERT_EQ(m.medium.layers.size(), 2u);
  ASSERT_EQ(m.lines.size(), 2u);
  const LayerLines top = m.lines[0], bottom = m.lines[1];
  EXPECT_EQ(std::vector<long>({top.musp, top.mua, top.n, top.d}), std::vector<long>({4, 5, 7, 8}));
  EXPECT_EQ(std::vector<long>({bottom.musp, bottom.mua, bottom.n, bottom.d}), std::vector<long>({9, 10, 11, 12}));
  EXPECT_EQ(m.rho_line, 15);
  EXPECT_EQ(m.medium.layers[0].n, 1.4L);
  EXPECT_EQ(m.medium.layers[1].musp, 2.0L);
  EXPECT_EQ(m.medium.layers[1].mua, 0.03L);
  EXPECT_EQ(m.rho_mm, 20.0L);
  EXPECT_EQ(ValidateModelFile(m, true), std::nullopt);
}

TEST(ReadModelFile, ValuesAfterTheEndOfTheFileReadAsZeroOnLineZero) {
  TempWorkDir dir;
  ModelFile m = Read(dir, "2\n1\n0.01\n1.4\n5\n2\n");
  ASSERT_EQ(m.lines.size(), 2u);
  EXPECT_EQ(m.lines[1].musp, 6);
  EXPECT_EQ(std::vector<long>({m.lines[1].mua, m.lines[1].n, m.lines[1].d, m.rho_line}), std::vector<long>(4, 0));
  EXPECT_EQ(m.medium.layers[1].n, 0.0L);
  // Code 26 ends the file where it stands, however much follows.
  m = Read(dir, "1\n1\n0.01\n\x1a" "1.4\n10\n20\n");
  EXPECT_EQ(m.lines[0].mua, 3);
  EXPECT_EQ(m.lines[0].n, 0);
  EXPECT_EQ(m.rho_line, 0);
  // A count far beyond the file stops at the first layer it does not hold.
  m = Read(dir, "2147483647\n1\n0.01\n1.4\n5\n");
  EXPECT_EQ(m.layer_count, 2147483647);
  EXPECT_EQ(m.medium.layers.size(), 2u);
  EXPECT_EQ(ValidateModelFile(m, true), "m.dat: musp of layer 2 is missing (the file ends before it)");
}

TEST(ValidateModelFile, NamesTheFileTheLineAndTheLibrarysReason) {
  TempWorkDir dir;
  const std::string two = "2\n1\n0.01\n1.4\n5\n2\n";  // the bottom layer's values follow
  EXPECT_EQ(Problem(dir, two + "-0.01\n1.4\n15\n20\n"), "m.dat:7: mua of layer 2 is -0.01; it must be >= 0 and finite");
  EXPECT_EQ(Problem(dir, two + "0.03\n1.4\n0\n20\n"), "m.dat:9: d of layer 2 is 0; it must be > 0 and finite");
  EXPECT_EQ(Problem(dir, "1\n0\n0.01\n1.4\n10\n20\n"), "m.dat:2: musp of layer 1 is 0; it must be > 0 and finite");
  EXPECT_EQ(Problem(dir, "1\n1\n0.01\n\n0\n10\n20\n"), "m.dat:5: n of layer 1 is 0; it must be > 0 and finite");
  EXPECT_EQ(Problem(dir, "1\n1\n0.01\n1.4\n0\n20\n"), "(valid)") << "a half-space has no thickness";
  EXPECT_EQ(Problem(dir, "1\n1\n0.01\n1.4\n10\n-5\n"), "m.dat:6: rho is -5; it must be > 0 and finite (mm)");
  EXPECT_EQ(Problem(dir, "1\n1\n0.01\n1.4\n10\n0\n"), "m.dat:6: rho is 0; it must be > 0 and finite (mm)");
  EXPECT_EQ(Problem(dir, "1\n1\n0.01\n1.4\n10\n"),
            "m.dat: rho is missing (the file ends before it); give it on the last line or with --rho");
  EXPECT_EQ(Problem(dir, "1\n1\n0.01\n1.4\n10\n", false), "(valid)");
  EXPECT_EQ(Problem(dir, "\n0\n"), "m.dat:2: the layer count is 0; it must be at least 1");
  EXPECT_EQ(Problem(dir, "-3\n1\n"), "m.dat:1: the layer count is -3; it must be at least 1");
  EXPECT_EQ(Problem(dir, " \n"), "m.dat: the file is empty; it must start with the layer count");
}

TEST(ReadModelFile, RefusesWhatTheReadingRulesRefuseWithTheLineAndTheToken) {
  TempWorkDir dir;
  EXPECT_EQ(ReadError(dir, "1\n1\n0.01\n1,4\n"), "m.dat:4: \"1,4\" is not a number");
  EXPECT_EQ(ReadError(dir, "\n1.5 layers\n"), "m.dat:2: \"1.5\" is not a layer count (a whole number)");
  EXPECT_EQ(ReadError(dir, "\xef\xbb\xbf" "1\n"), "m.dat:1: \"\\xef\\xbb\\xbf1\" is not a layer count (a whole number)");
  EXPECT_EQ(ReadError(dir, std::string("1\n1\n0.01 mua") + '\0' + "\n"), "m.dat:3: a NUL byte; a model file is plain text");
  EXPECT_EQ(ReadError(dir, "1\n1e5000\n"), "m.dat:2: \"1e5000\" is beyond the extended range (about 1.19e4932)");
  EXPECT_EQ(ReadError(dir, "1\n" + std::string(65, '1') + "\n"),
            "m.dat:2: \"" + std::string(64, '1') + "...\" is longer than 64 characters");
  try {
    ReadModelFile("absent.dat");
    ADD_FAILURE() << "read a file that does not exist";
  } catch (const InputFileError& e) {
    EXPECT_EQ(std::string(e.what()), "absent.dat: No such file or directory");
    EXPECT_EQ(e.error_number(), ENOENT);
    EXPECT_EQ(e.line(), 0);
  }
  fs::create_directory(dir.path() / "folder.dat");
  EXPECT_THROW(ReadModelFile("folder.dat"), InputFileError);
}

// The window's run on input.dat in the working directory: its message, empty when it read;
// what it read is left in `session`.
std::string WindowReadError(RunSession& session) {
  std::string error;
  try {
    session.ReadModel();
  } catch (const RunError& e) {
    error = e.what();
  }
  session.CloseFiles();
  return error;
}

std::string WindowReadError() {
  RunSession session;
  return WindowReadError(session);
}

TEST(ReadModelFile, AFileThatDoesNotEndItsModelWithinTheCapIsRefusedByBothReaders) {
  TempWorkDir dir;
  const std::string refused = "more than 4 MiB before the model's last value; a model file is a few lines of numbers";
  // The count, then blank lines beyond the cap: the first layer never comes.
  dir.Write("input.dat", "1\n" + std::string(kMaxModelFileBytes, '\n'));
  try {
    ReadModelFile("input.dat");
    ADD_FAILURE() << "read past the cap";
  } catch (const InputFileError& e) {
    EXPECT_EQ(std::string(e.what()), "input.dat: " + refused);
    EXPECT_EQ(e.error_number(), 0);
  }
  // The window's run says what it says of any file that holds no model.
  EXPECT_EQ(WindowReadError(), kInvalidNumericInput);
  // What follows the last value is never read, however long.
  dir.Write("input.dat", "1\n1\n0.01\n1.4\n10\n20\n" + std::string(kMaxModelFileBytes, '#'));
  EXPECT_EQ(ReadModelFile("input.dat").rho_mm, 20);
  EXPECT_EQ(WindowReadError(), "");
  // A stack of 2000 layers with a comment on each value stays within it.
  std::string stack = "2000\n";
  for (int i = 0; i < 2000; ++i) stack += "1.25      mus' (reduced scattering) [1/mm] of layer " + std::to_string(i + 1) +
                                          "\n0.0125    mua\n1.4       n\n0.5       d [mm]\n";
  dir.Write("input.dat", stack + "30\n");
  EXPECT_EQ(ReadModelFile("input.dat").medium.layers.size(), 2000u);

  // A pipe of values without end: a layer count of 2e9, then "1" after "1".
  ASSERT_EQ(::mkfifo("endless.dat", 0600), 0);
  ::signal(SIGPIPE, SIG_IGN);
  std::thread writer([] {
    const int fd = ::open("endless.dat", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    if (::write(fd, "2000000000\n", 11) != 11) return (void)::close(fd);
    std::string ones;
    while (ones.size() < (64u << 10)) ones += "1\n";
    // Bounded, so that a reader without a cap ends too, having read four times the cap.
    for (std::size_t sent = 0; sent < std::size_t{16} << 20; sent += ones.size()) {
      if (::write(fd, ones.data(), ones.size()) < 0) break;
    }
    ::close(fd);
  });
  try {
    ReadModelFile("endless.dat");
    ADD_FAILURE() << "read a pipe to its end";
  } catch (const InputFileError& e) {
    EXPECT_EQ(std::string(e.what()), "endless.dat: " + refused);
  }
  writer.join();
}

// A second route to the same numbers: the window's run reads the hostile and test models of
// the suite; wherever it gets past reading, the library's reader must hold the same values,
// and wherever the library's reader refuses a file, so must the window's.
TEST(ReadModelFile, ReadsWhatTheWindowsRunReadsFromEveryModelOfTheSuite) {
  int compared = 0;
  for (const char* folder : {"hostile", "nlayer_run"}) {
    for (const auto& entry : fs::directory_iterator(fs::path(NLAYER_TEST_DATA) / folder)) {
      SCOPED_TRACE(entry.path().string());
      std::string mine_error;
      ModelFile mine;
      try {
        mine = ReadModelFile(entry.path());
      } catch (const InputFileError& e) {
        mine_error = e.what();
      }
      TempWorkDir dir;
      fs::copy_file(entry.path(), dir.path() / "input.dat");
      RunSession session;
      const std::string window_error = WindowReadError(session);
      const ModelState& window = session.State();
      const bool window_refused_a_value = window_error == kInvalidNumericInput || window_error == "Gleitkommaüberlauf";
      if (!mine_error.empty()) {
        EXPECT_TRUE(window_refused_a_value) << mine_error << " / " << window_error;
        continue;
      }
      EXPECT_EQ(mine.layer_count, window.LayerCount);
      if (mine.layer_count <= 0) continue;
      EXPECT_FALSE(window_refused_a_value) << window_error;
      ASSERT_LE(mine.medium.layers.size(), window.Model.Musp.size());
      for (std::size_t i = 0; i < mine.medium.layers.size(); ++i) {
        const Layer& l = mine.medium.layers[i];
        EXPECT_EQ(l.musp, window.Model.Musp[i]);
        EXPECT_EQ(l.mua, window.Model.Mua[i]);
        EXPECT_EQ(l.n, window.Model.RefrIndex[i]);
        EXPECT_EQ(l.d, window.Model.Thickness[i]);
      }
      EXPECT_EQ(mine.rho_mm, window.Rho);
      ++compared;
    }
  }
  EXPECT_GT(compared, 30);
}

}  // namespace
}  // namespace nlayer
