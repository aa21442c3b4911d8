// Saving a file as a whole: what stands at the name stays what it is (a link, a file of its
// owner and mode, a hard link, a pipe, a device), and nothing is left behind.
#include "io/output_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace nlayer {
namespace {

namespace fs = std::filesystem;
using testing::ReadWhole;
using testing::TempWorkDir;

struct stat Lstat(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info;
}

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string Message(const fs::path& path, std::string_view content) {
  try {
    ReplaceFile(path, content);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "written";
}

// What waits in a pipe opened without blocking.
std::string Drain(int fd) {
  std::string text(4096, '\0');
  const ssize_t got = ::read(fd, text.data(), text.size());
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return text;
}

TEST(ReplaceFile, KeepsLinksHardLinksOwnerAndMode) {
  TempWorkDir dir;
  dir.Write("real.dat", "old\n");
  ASSERT_EQ(::chmod("real.dat", 0640), 0);
  fs::create_symlink("real.dat", "link.dat");
  ReplaceFile("link.dat", "new\n");
  EXPECT_TRUE(S_ISLNK(Lstat("link.dat").st_mode));
  EXPECT_EQ(ReadWhole("real.dat"), "new\n");
  EXPECT_EQ(Lstat("real.dat").st_mode & 07777, 0640u);
  // A link to a file not yet there makes that file.
  fs::create_symlink("made.dat", "to_make.dat");
  ReplaceFile("to_make.dat", "made\n");
  EXPECT_TRUE(S_ISLNK(Lstat("to_make.dat").st_mode));
  EXPECT_EQ(ReadWhole("made.dat"), "made\n");

  // Both names of a hard link see the new bytes, longer and shorter than the old.
  dir.Write("a.dat", "old\n");
  fs::create_hard_link("a.dat", "b.dat");
  ReplaceFile("a.dat", "new and longer\n");
  EXPECT_EQ(ReadWhole("b.dat"), "new and longer\n");
  ReplaceFile("b.dat", "short\n");
  EXPECT_EQ(ReadWhole("a.dat"), "short\n");
  EXPECT_EQ(Lstat("a.dat").st_ino, Lstat("b.dat").st_ino);

  // A private file stays private, and another user's stays theirs.
  dir.Write("private.dat", "secret\n");
  ASSERT_EQ(::chmod("private.dat", 0600), 0);
  const bool root = ::geteuid() == 0;
  const uid_t owner = root ? 65534 : ::geteuid();
  const gid_t group = root ? 65534 : ::getegid();
  ASSERT_EQ(::chown("private.dat", owner, group), 0);
  ReplaceFile("private.dat", "still secret\n");
  const struct stat info = Lstat("private.dat");
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_uid, owner);
  EXPECT_EQ(info.st_gid, group);
  EXPECT_EQ(ReadWhole("private.dat"), "still secret\n");

  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"a.dat", "b.dat", "link.dat", "made.dat", "private.dat",
                                                         "real.dat", "to_make.dat"}));
}

TEST(ReplaceFile, WritesIntoPipesAndDevicesInsteadOfReplacingThem) {
  TempWorkDir dir;
  ASSERT_EQ(::mkfifo("pipe", 0644), 0);
  const int reader = ::open("pipe", O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(Message("pipe", "through the pipe\n"), "written");
  EXPECT_EQ(Drain(reader), "through the pipe\n");
  EXPECT_TRUE(S_ISFIFO(Lstat("pipe").st_mode));
  ::close(reader);

  // A descriptor's name under /proc leads to the pipe, not to a folder to put a file in.
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_NONBLOCK), 0);
  EXPECT_EQ(Message("/proc/self/fd/" + std::to_string(ends[1]), "via proc\n"), "written");
  EXPECT_EQ(Drain(ends[0]), "via proc\n");
  ::close(ends[0]);
  ::close(ends[1]);

  // Devices of our own, so that a faulty save cannot take the system's: /dev/null and /dev/full.
  fs::path null = "null", full = "full";
  if (::mknod("null", S_IFCHR | 0666, makedev(1, 3)) != 0 || ::mknod("full", S_IFCHR | 0666, makedev(1, 7)) != 0) {
    if (::geteuid() == 0) GTEST_SKIP() << "no device nodes can be made here";
    null = "/dev/null";  // a faulty save may not replace them without the superuser's rights
    full = "/dev/full";
  }
  EXPECT_EQ(Message(null, "gone\n"), "written");
  EXPECT_TRUE(S_ISCHR(Lstat(null).st_mode));
  EXPECT_EQ(Message(full, "x\n"), "cannot write " + full.string() + ": No space left on device");
  EXPECT_TRUE(S_ISCHR(Lstat(full).st_mode));
}

TEST(ReplaceFile, RemovesTheTemporaryFilesOfProcessesThatNoLongerRun) {
  TempWorkDir dir;
  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
  const std::string mine = std::to_string(::getpid());
  const std::string left = ".t.csv.tmp-" + std::to_string(gone) + "-0";  // its process has ended
  const std::string old = ".t.csv.tmp-" + mine + "-7";                  // a live pid, but two days old
  const std::string live = ".t.csv.tmp-" + mine + "-8";                 // a save going on
  const std::string other = ".u.csv.tmp-" + std::to_string(gone) + "-0";  // another file's
  for (const std::string& name : {left, old, live, other}) dir.Write(name, std::string(1000, 'x'));
  fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(48));
  ReplaceFile("t.csv", "table\n");
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{live, other, "t.csv"}));
}

// A save ended by a signal, as Ctrl+C or kill end it: the old file stays, the temporary goes.
// The child writes a large file so that it is still writing when the signal comes; should a
// save end first all the same, the next one is larger.
TEST(ReplaceFile, ASignalEndingTheProcessRemovesItsTemporaryFile) {
  TempWorkDir dir;
  dir.Write("t.dat", "old\n");
  // A job started in the background ignores SIGINT, and so does the save then.
  struct sigaction interrupt {};
  ASSERT_EQ(::sigaction(SIGINT, nullptr, &interrupt), 0);
  std::vector<int> signals = {SIGTERM};
  if (interrupt.sa_handler != SIG_IGN) signals.push_back(SIGINT);
  for (const int signal_number : signals) {
    SCOPED_TRACE(signal_number);
    bool interrupted = false;
    for (std::size_t size = std::size_t{128} << 20; size <= (std::size_t{2} << 30) && !interrupted; size *= 2) {
      const pid_t child = ::fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        const void* zeros = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (zeros == MAP_FAILED) ::_exit(3);
        try {
          ReplaceFile("t.dat", std::string_view(static_cast<const char*>(zeros), size));
        } catch (...) {
          ::_exit(4);
        }
        ::_exit(0);
      }
      const std::string prefix = ".t.dat.tmp-" + std::to_string(child) + "-";
      int status = 0;
      bool reaped = false;
      while (!reaped) {
        const std::vector<std::string> names = Names(dir.path());
        if (std::any_of(names.begin(), names.end(), [&](const std::string& n) { return n.rfind(prefix, 0) == 0; })) {
          ::kill(child, signal_number);
          break;
        }
        reaped = ::waitpid(child, &status, WNOHANG) == child;
        ::usleep(200);
      }
      if (!reaped) {
        ASSERT_EQ(::waitpid(child, &status, 0), child);
      }
      if (WIFEXITED(status)) {
        ASSERT_EQ(WEXITSTATUS(status), 0);
        dir.Write("t.dat", "old\n");  // the save was done before the signal
        continue;
      }
      interrupted = true;
      ASSERT_TRUE(WIFSIGNALED(status));
      EXPECT_EQ(WTERMSIG(status), signal_number);
      EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"t.dat"}));
      EXPECT_EQ(dir.Read("t.dat"), "old\n");
    }
    EXPECT_TRUE(interrupted) << "every save ended before its signal";
  }
}

TEST(CheckOutputPath, RefusesWhatTheSaveWouldRefuseAndTouchesNothing) {
  TempWorkDir dir;
  dir.Write("file.txt", "x");
  fs::create_directory("folder");
  fs::create_symlink("missing/t.csv", "dangling.csv");
  struct Case {
    fs::path path;
    std::string message;
  };
  std::vector<Case> refused = {
      {"/no/such/dir/t.csv", "cannot write /no/such/dir/t.csv: No such file or directory"},
      {"dangling.csv", "cannot write dangling.csv: No such file or directory"},
      {"folder", "cannot write folder: Is a directory"},
      {"file.txt/t.csv", "cannot write file.txt/t.csv: Not a directory"},
      {"", "cannot write \"\": the file name is empty"},
  };
  if (::geteuid() != 0) {
    fs::create_directory("closed");
    fs::permissions("closed", fs::perms::owner_read | fs::perms::owner_exec);
    dir.Write("readonly.csv", "keep");
    fs::permissions("readonly.csv", fs::perms::owner_read);
    refused.push_back({"closed/t.csv", "cannot write closed/t.csv: Permission denied"});
    refused.push_back({"readonly.csv", "cannot write readonly.csv: Permission denied"});
  }
  const std::vector<std::string> before = Names(dir.path());
  for (const Case& c : refused) {
    SCOPED_TRACE(c.path);
    try {
      CheckOutputPath(c.path);
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), c.message);
    }
    // The check and the save say the same.
    EXPECT_EQ(Message(c.path, "table\n"), c.message);
  }
  for (const char* fine : {"t.csv", "file.txt", "folder/t.csv"}) {
    EXPECT_NO_THROW(CheckOutputPath(fine)) << fine;
  }
  EXPECT_EQ(Names(dir.path()), before);
  EXPECT_TRUE(fs::is_empty("folder"));
  EXPECT_EQ(dir.Read("file.txt"), "x");
}

}  // namespace
}  // namespace nlayer
