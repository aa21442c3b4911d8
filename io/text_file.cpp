#include "io/text_file.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "io/file_refusal.h"

namespace nlayer {

namespace {
// The error number of a failed operation; some C library paths fail without setting errno,
// which must still not read as success.
int LastError() { return errno != 0 ? errno : EIO; }
}  // namespace

void TextFile::Fail(int err) const { throw FileRefusal::OfErrorNumber(err, path_); }

void TextFile::Create(const std::filesystem::path& path) {
  CloseQuietly();
  path_ = path;
  errno = 0;
  // Opened without truncation: a file that another run holds must not lose its lines to a
  // run that will be refused.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) Fail(LastError());
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    ::close(fd);
    Fail(EWOULDBLOCK);
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || (S_ISREG(info.st_mode) && ::ftruncate(fd, 0) != 0)) {
    const int err = LastError();
    ::close(fd);
    Fail(err);
  }
  file_ = ::fdopen(fd, "wb");
  if (file_ == nullptr) {
    const int err = LastError();
    ::close(fd);
    Fail(err);
  }
  writing_ = true;
  write_ends_.clear();
}

void TextFile::OpenRead(const std::filesystem::path& path) {
  CloseQuietly();
  path_ = path;
  errno = 0;
  file_ = std::fopen(path.c_str(), "rb");
  if (file_ == nullptr) Fail(LastError());
  writing_ = false;
  read_bytes_ = 0;
  newlines_ = 0;
  struct stat info {};
  if (fstat(fileno(file_), &info) != 0) {
    const int err = LastError();
    CloseQuietly();
    Fail(err);
  }
  if (S_ISDIR(info.st_mode)) {
    CloseQuietly();
    Fail(EISDIR);
  }
}

void TextFile::FailWriting(int err) {
  // What stdio still buffers would reach the file at the close; it is dropped, and the file
  // cut back to its last whole write, so that a failed run leaves only complete lines.
  __fpurge(file_);
  struct stat info {};
  const int fd = fileno(file_);
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    const auto after = std::upper_bound(write_ends_.begin(), write_ends_.end(), static_cast<long long>(info.st_size));
    const long long whole = after == write_ends_.begin() ? 0 : *(after - 1);
    if (whole < info.st_size && ::ftruncate(fd, whole) != 0) {
      // Nothing more can be done; the write error is the one to report.
    }
  }
  CloseQuietly();
  Fail(err);
}

void TextFile::Close() {
  if (file_ == nullptr) return;
  errno = 0;
  const bool failed = std::ferror(file_) != 0;
  int err = errno;
  if (writing_ && (failed || std::fflush(file_) != 0)) FailWriting(err != 0 ? err : LastError());
  std::FILE* file = file_;
  file_ = nullptr;
  errno = 0;
  // The lock goes with the descriptor.
  if (std::fclose(file) != 0 || failed) Fail(err != 0 ? err : LastError());
}

void TextFile::CloseQuietly() noexcept {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

int TextFile::Get() {
  errno = 0;
  const int byte = std::getc(file_);
  if (byte == EOF && std::ferror(file_)) Fail(LastError());
  if (byte == 0) throw FileRefusal(RefusalKind::kNulByte, path_, Line());
  if (byte != EOF && ++read_bytes_ > kMaxModelFileBytes) throw FileRefusal(RefusalKind::kFileTooLong, path_, 0);
  if (byte == '\n') ++newlines_;
  return byte;
}

void TextFile::Unget(int byte) {
  std::ungetc(byte, file_);
  --read_bytes_;
  if (byte == '\n') --newlines_;
}

void TextFile::Write(std::string_view text) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() || std::ferror(file_)) {
    FailWriting(LastError());
  }
  write_ends_.push_back((write_ends_.empty() ? 0 : write_ends_.back()) + static_cast<long long>(text.size()));
}

}  // namespace nlayer
