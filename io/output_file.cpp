#include "io/output_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>

namespace nlayer {

namespace {

using std::filesystem::path;

// A temporary file this old is a leftover whatever its pid says: the pid may have been reused.
constexpr std::time_t kStaleAfterSeconds = 24 * 60 * 60;

std::string Message(const path& name, const std::string& reason) {
  return "cannot write " + (name.empty() ? std::string("\"\"") : name.string()) + ": " + reason;
}

[[noreturn]] void Fail(const path& name, const std::string& reason) { throw OutputFileError(Message(name, reason), 0); }

[[noreturn]] void FailWithError(const path& name, int err) {
  throw OutputFileError(Message(name, std::error_code(err, std::generic_category()).message()), err);
}

bool SameInode(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Writes all of `content` at the descriptor's position; 0 or the error number.
int WriteAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t written = ::write(fd, content.data(), content.size());
    if (written > 0) {
      content.remove_prefix(static_cast<std::size_t>(written));
    } else if (written == 0) {
      return EIO;
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

path FolderOf(const path& file) { return file.parent_path().empty() ? path(".") : file.parent_path(); }

// ---- Temporary files that a signal ending the process removes ----------------------------------
//
// The handler may only use async-signal-safe calls: it reads fixed slots that a save fills
// before it creates its file and empties after the rename, and unlinks what they name.

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slots' states");

constexpr int kSlotCount = 16;
enum SlotState : int { kFree = 0, kFilling = 1, kRegistered = 2 };
struct TemporarySlot {
  std::atomic<int> state{kFree};
  char path[PATH_MAX];
};
TemporarySlot g_slots[kSlotCount];

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kEndingSignalCount = sizeof kEndingSignals / sizeof kEndingSignals[0];
struct sigaction g_previous_actions[kEndingSignalCount];

void RemoveTemporariesAndEnd(int signal_number, siginfo_t* info, void* context) {
  int index = 0;
  while (index + 1 < kEndingSignalCount && kEndingSignals[index] != signal_number) ++index;
  const struct sigaction& previous = g_previous_actions[index];
  // A program that handles the signal itself lives on, and its save ends (and cleans up) as usual.
  if ((previous.sa_flags & SA_SIGINFO) != 0) {
    previous.sa_sigaction(signal_number, info, context);
    return;
  }
  if (previous.sa_handler != SIG_DFL) {
    previous.sa_handler(signal_number);
    return;
  }
  const int saved_errno = errno;
  for (TemporarySlot& slot : g_slots) {
    if (slot.state.load() == kRegistered) ::unlink(slot.path);
  }
  // The default action ends the process as soon as this handler returns and unblocks it.
  ::sigaction(signal_number, &previous, nullptr);
  ::raise(signal_number);
  errno = saved_errno;
}

void InstallSignalCleanup() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int i = 0; i < kEndingSignalCount; ++i) {
      struct sigaction previous {};
      if (::sigaction(kEndingSignals[i], nullptr, &previous) != 0) continue;
      // An ignored signal ends nothing (nohup, a background job): it stays ignored.
      if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN) continue;
      g_previous_actions[i] = previous;
      struct sigaction action {};
      action.sa_sigaction = RemoveTemporariesAndEnd;
      action.sa_flags = SA_SIGINFO | SA_RESTART;
      sigemptyset(&action.sa_mask);
      for (int s : kEndingSignals) sigaddset(&action.sa_mask, s);
      ::sigaction(kEndingSignals[i], &action, nullptr);
    }
  });
}

// A new file ".NAME.tmp-<pid>-<n>" beside `target`, removed again unless Renamed().
class TemporaryFile {
 public:
  TemporaryFile(const path& target, mode_t mode) {
    static std::atomic<unsigned> counter{0};
    for (;;) {
      path_ = target;
      path_.replace_filename("." + target.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-" +
                             std::to_string(counter++));
      // Registered before it exists: a signal between the creation and the registration would
      // leave it behind.
      Register();
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      if (fd_ >= 0) return;
      error_ = errno;
      Unregister();
      if (error_ != EEXIST) return;
    }
  }
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (created() && !renamed_) ::unlink(path_.c_str());
    Unregister();
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  bool created() const { return error_ == 0; }
  int error() const { return error_; }
  int fd() const { return fd_; }
  const path& name() const { return path_; }
  // Closes the descriptor; 0 or the error number.
  int Close() {
    const int result = ::close(fd_) == 0 ? 0 : errno;
    fd_ = -1;
    return result;
  }
  void Renamed() { renamed_ = true; }

 private:
  void Register() {
    std::error_code ec;
    const std::string full = std::filesystem::absolute(path_, ec).native();
    if (ec || full.size() >= PATH_MAX) return;
    for (int i = 0; i < kSlotCount; ++i) {
      int expected = kFree;
      if (g_slots[i].state.compare_exchange_strong(expected, kFilling)) {
        std::memcpy(g_slots[i].path, full.c_str(), full.size() + 1);
        g_slots[i].state.store(kRegistered);
        slot_ = i;
        return;
      }
    }
  }
  void Unregister() {
    if (slot_ >= 0) g_slots[slot_].state.store(kFree);
    slot_ = -1;
  }

  path path_;
  int fd_ = -1;
  int error_ = 0;
  int slot_ = -1;
  bool renamed_ = false;
};

// Removes ".NAME.tmp-<pid>-<n>" files beside `target` that a killed process left: its pid no
// longer runs, or the file is older than a day. A live process's file (a save going on at this
// moment) stays.
void RemoveStaleTemporaries(const path& target) {
  const std::string prefix = "." + target.filename().string() + ".tmp-";
  DIR* folder = ::opendir(FolderOf(target).c_str());
  if (folder == nullptr) return;
  const int folder_fd = ::dirfd(folder);
  const std::time_t now = std::time(nullptr);
  while (const dirent* entry = ::readdir(folder)) {
    const std::string_view name = entry->d_name;
    if (name.substr(0, prefix.size()) != prefix) continue;
    // "<pid>-<n>", digits only.
    const std::string_view rest = name.substr(prefix.size());
    const std::size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash + 1 == rest.size() || dash > 9 ||
        rest.find_first_not_of("0123456789-") != std::string_view::npos || rest.find('-', dash + 1) != std::string_view::npos) {
      continue;
    }
    const pid_t pid = static_cast<pid_t>(std::stol(std::string(rest.substr(0, dash))));
    struct stat info {};
    if (::fstatat(folder_fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) continue;
    const bool gone = pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
    if (gone || info.st_mtime < now - kStaleAfterSeconds) ::unlinkat(folder_fd, entry->d_name, 0);
  }
  ::closedir(folder);
}

// ---- Where the bytes go ---------------------------------------------------------------------------

// The name a chain of symbolic links leads to, as open() follows it; the last one may lead to
// nothing yet (the file to create). 0 or the error number in `err`.
path FollowLinks(path name, int& err) {
  err = 0;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(name.c_str(), &info) != 0) {
      if (errno != ENOENT) err = errno;
      return name;
    }
    if (!S_ISLNK(info.st_mode)) return name;
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(name.c_str(), target.data(), target.size());
    if (length < 0) {
      err = errno;
      return name;
    }
    target.resize(static_cast<std::size_t>(length));
    name = path(target).is_absolute() ? path(target) : name.parent_path() / target;
  }
  err = ELOOP;
  return name;
}

enum class Way {
  kCreate,          // nothing there yet: a new file, renamed into place
  kReplace,         // a regular file of one name: a new file with its owner and mode, renamed over it
  kInPlace,         // a regular file a new file cannot stand in for: truncated and written
  kStream,          // a pipe or character device: written into
  kStandardOutput,  // the process's own standard output: written through it
};

struct Plan {
  Way way = Way::kCreate;
  path target;  // the name the bytes go to: for kCreate and kReplace with every link followed
  struct stat info {};
};

Plan PlanWrite(const path& name) {
  if (name.empty()) Fail(name, "the file name is empty");
  Plan plan;
  int err = 0;
  if (::stat(name.c_str(), &plan.info) != 0) {
    if (errno != ENOENT) FailWithError(name, errno);
    plan.target = FollowLinks(name, err);
    if (err != 0) FailWithError(name, err);
    // "folder/": open() would refuse to create a file by that name.
    if (!plan.target.has_filename()) FailWithError(name, EISDIR);
    plan.way = Way::kCreate;
    return plan;
  }
  const mode_t type = plan.info.st_mode & S_IFMT;
  if (type == S_IFDIR) FailWithError(name, EISDIR);
  if (type == S_IFBLK) Fail(name, "a block device (a disk or partition) is not overwritten");
  if (::faccessat(AT_FDCWD, name.c_str(), W_OK, AT_EACCESS) != 0) FailWithError(name, errno);
  struct stat out {};
  if (::fstat(STDOUT_FILENO, &out) == 0 && SameInode(out, plan.info)) {
    plan.way = Way::kStandardOutput;
    return plan;
  }
  if (type != S_IFREG) {
    plan.way = Way::kStream;
    plan.target = name;
    return plan;
  }
  plan.target = FollowLinks(name, err);
  struct stat followed {};
  // /proc/self/fd/N and the like lead to their file without a name that leads there too.
  if (err != 0 || ::stat(plan.target.c_str(), &followed) != 0 || !SameInode(followed, plan.info)) {
    plan.way = Way::kInPlace;
    plan.target = name;
    return plan;
  }
  plan.way = plan.info.st_nlink > 1 ? Way::kInPlace : Way::kReplace;
  return plan;
}

void SyncFolder(const path& file) {
  const int fd = ::open(FolderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  // The new content is in place whatever this says; only its surviving a power cut is at stake,
  // and some file systems cannot sync a folder at all.
  ::fsync(fd);
  ::close(fd);
}

// Writes into the file as it stands, keeping its inode (and with it every name, the owner and
// the mode).
void WriteInPlace(const path& name, const Plan& plan, std::string_view content) {
  const int fd = ::open(plan.target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) FailWithError(name, errno);
  int err = 0;
  struct stat info {};
  if (::fstat(fd, &info) != 0) err = errno;
  // The space first, so that a full disk fails before any old byte is overwritten. File systems
  // without fallocate go on and may fail while writing.
  if (err == 0 && static_cast<long long>(content.size()) > static_cast<long long>(info.st_size) &&
      ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(content.size())) != 0 && errno != EOPNOTSUPP &&
      errno != ENOSYS) {
    err = errno;
  }
  if (err == 0) err = WriteAll(fd, content);
  if (err == 0 && ::ftruncate(fd, static_cast<off_t>(content.size())) != 0) err = errno;
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) FailWithError(name, err);
}

void WriteStream(const path& name, std::string_view content) {
  const int fd = ::open(name.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) FailWithError(name, errno);
  int err = WriteAll(fd, content);
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) FailWithError(name, err);
}

void WriteStandardOutput(const path& name, const Plan& plan, std::string_view content) {
  // What the program printed before comes first.
  if (std::fflush(stdout) != 0) FailWithError(name, errno != 0 ? errno : EIO);
  int err = WriteAll(STDOUT_FILENO, content);
  if (err == 0 && S_ISREG(plan.info.st_mode) && ::fsync(STDOUT_FILENO) != 0) err = errno;
  if (err != 0) FailWithError(name, err);
}

// The new file renamed over the target. False, with nothing changed, where the new file cannot
// take the old one's place: its folder admits no new file, or its owner or mode cannot be given.
bool ReplaceByRename(const path& name, const Plan& plan, std::string_view content) {
  InstallSignalCleanup();
  RemoveStaleTemporaries(plan.target);
  const bool existing = plan.way == Way::kReplace;
  // Private until it has the old file's owner and mode; a new file gets those of any new file.
  TemporaryFile temporary(plan.target, existing ? 0600 : 0666);
  if (!temporary.created()) {
    if (existing && (temporary.error() == EACCES || temporary.error() == EPERM)) return false;
    FailWithError(name, temporary.error());
  }
  if (existing) {
    struct stat mine {};
    if (::fstat(temporary.fd(), &mine) != 0) FailWithError(name, errno);
    // As root any owner can be given; otherwise only one's own and a group one belongs to.
    if ((mine.st_uid != plan.info.st_uid || mine.st_gid != plan.info.st_gid) &&
        ::fchown(temporary.fd(), plan.info.st_uid, plan.info.st_gid) != 0) {
      return false;
    }
    // After fchown, which clears set-user-ID and set-group-ID bits.
    if (::fchmod(temporary.fd(), plan.info.st_mode & 07777) != 0) return false;
  }
  int err = WriteAll(temporary.fd(), content);
  // Space a file system only reserves lazily, and data a network file system only sends late,
  // fail at the latest here, before the old file is gone.
  if (err == 0 && ::fsync(temporary.fd()) != 0) err = errno;
  const int close_err = temporary.Close();
  if (err == 0) err = close_err;
  if (err == 0 && ::rename(temporary.name().c_str(), plan.target.c_str()) != 0) err = errno;
  if (err != 0) FailWithError(name, err);
  temporary.Renamed();
  SyncFolder(plan.target);
  return true;
}

}  // namespace

bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code error;
  const bool same = std::filesystem::equivalent(a, b, error);
  return !error && same;
}

void ReplaceFile(const std::filesystem::path& path, std::string_view content) {
  const Plan plan = PlanWrite(path);
  switch (plan.way) {
    case Way::kStream:
      WriteStream(path, content);
      return;
    case Way::kStandardOutput:
      WriteStandardOutput(path, plan, content);
      return;
    case Way::kInPlace:
      WriteInPlace(path, plan, content);
      return;
    case Way::kCreate:
    case Way::kReplace:
      break;
  }
  if (!ReplaceByRename(path, plan, content)) WriteInPlace(path, plan, content);
}

void CheckOutputPath(const std::filesystem::path& path) {
  const Plan plan = PlanWrite(path);
  if (plan.way != Way::kCreate) return;
  const std::filesystem::path folder = FolderOf(plan.target);
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0) FailWithError(path, errno);
  if (!S_ISDIR(info.st_mode)) FailWithError(path, ENOTDIR);
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) FailWithError(path, errno);
}

}  // namespace nlayer
