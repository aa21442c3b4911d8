// The text files of a run hold only whole lines of one run: locked while written, cut back
// to the last whole write when a write fails.
#include "io/text_file.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/run_error.h"
#include "tests/test_support.h"

namespace nlayer {
namespace {

namespace fs = std::filesystem;
using testing::TempWorkDir;

// What `action` refused, in the words of the window's run.
std::string MessageOf(auto&& action) {
  try {
    action();
  } catch (const FileRefusal& e) {
    return RunMessage(e);
  }
  return "";
}

TEST(TextFile, AFileHeldByAnotherWriterIsRefusedAndKeepsItsContent) {
  TempWorkDir dir;
  dir.Write("out.dat", "the other run's line\r\n");
  const int held = ::open("out.dat", O_RDWR);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  TextFile file;
  try {
    file.Create("out.dat");
    ADD_FAILURE() << "a held file was created";
  } catch (const FileRefusal& e) {
    EXPECT_EQ(e.kind(), RefusalKind::kIoError);
    EXPECT_EQ(e.error_number(), EWOULDBLOCK);
    EXPECT_EQ(e.path(), "out.dat");
    EXPECT_EQ(RunMessage(e), "E/A-Fehler " + std::to_string(EWOULDBLOCK));
  }
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(dir.Read("out.dat"), "the other run's line\r\n");
  // Within one process too: a second writer of the same file waits for nobody.
  ::close(held);
  file.Create("out.dat");
  EXPECT_EQ(dir.Read("out.dat"), "");
  TextFile second;
  EXPECT_EQ(MessageOf([&] { second.Create("out.dat"); }), "E/A-Fehler " + std::to_string(EWOULDBLOCK));
  file.Write("a\r\n");
  file.Close();
  second.Create("out.dat");  // the lock went with the close
  second.Close();
}

// A file system of 16 kB that fills while lines of 51 bytes are written: the write error
// surfaces when stdio's buffer is flushed, somewhere in a line, and the file is cut back.
TEST(TextFile, AFullDiskLeavesOnlyWholeLines) {
  TempWorkDir dir;
  const fs::path mount_point = dir.path() / "small";
  const testing::SmallFileSystem small(mount_point, "16k");
  if (!small.mounted()) GTEST_SKIP() << small.error();
  dir.Write("small/filler", std::string(9000, 'x'));

  const std::string line = std::string(49, '7') + "\r\n";
  TextFile file;
  file.Create(mount_point / "out.dat");
  const std::string message = MessageOf([&] {
    for (int i = 0; i < 1000; ++i) file.Write(line);
    file.Close();
  });
  EXPECT_EQ(message, "E/A-Fehler " + std::to_string(ENOSPC));
  EXPECT_FALSE(file.IsOpen());
  const std::string written = dir.Read("small/out.dat");
  EXPECT_GT(written.size(), 0u);
  EXPECT_EQ(written.size() % line.size(), 0u) << written.size() << " bytes";
  EXPECT_EQ(written.find_first_not_of("7\r\n"), std::string::npos);
}

TEST(TextFile, ANulByteIsNoText) {
  TempWorkDir dir;
  dir.Write("in.dat", std::string("1\n1\0.4\n", 7));
  TextFile file;
  file.OpenRead("in.dat");
  EXPECT_EQ(file.Get(), '1');
  EXPECT_EQ(file.Get(), '\n');
  EXPECT_EQ(file.Get(), '1');
  try {
    file.Get();
    ADD_FAILURE() << "a NUL byte read as text";
  } catch (const FileRefusal& e) {
    EXPECT_EQ(e.kind(), RefusalKind::kNulByte);
    EXPECT_EQ(e.path(), "in.dat");
    EXPECT_EQ(e.line(), 2);
    EXPECT_EQ(e.error_number(), 0);
    EXPECT_EQ(RunMessage(e), kInvalidNumericInput);
  }
}

}  // namespace
}  // namespace nlayer
