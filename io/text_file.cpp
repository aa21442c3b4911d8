#include "io/text_file.h"

#include <sys/stat.h>

#include <cerrno>

#include "io/run_error.h"

namespace nlayer {

namespace {
// The error number of a failed operation; some C library paths fail without setting errno,
// which must still not read as success.
int LastError() { return errno != 0 ? errno : EIO; }
}  // namespace

void TextFile::Create(const std::filesystem::path& path) {
  CloseQuietly();
  errno = 0;
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) ThrowFileError(LastError());
}

void TextFile::OpenRead(const std::filesystem::path& path) {
  CloseQuietly();
  errno = 0;
  file_ = std::fopen(path.c_str(), "rb");
  if (file_ == nullptr) ThrowFileError(LastError());
  struct stat info {};
  if (fstat(fileno(file_), &info) != 0) {
    const int err = LastError();
    CloseQuietly();
    ThrowFileError(err);
  }
  if (S_ISDIR(info.st_mode)) {
    CloseQuietly();
    ThrowFileError(EISDIR);
  }
}

void TextFile::Close() {
  if (file_ == nullptr) return;
  errno = 0;
  const bool failed = std::ferror(file_) != 0;
  const int err = errno;
  std::FILE* file = file_;
  file_ = nullptr;
  if (std::fclose(file) != 0 || failed) ThrowFileError(err != 0 ? err : LastError());
}

void TextFile::CloseQuietly() noexcept {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

int TextFile::Get() {
  errno = 0;
  const int byte = std::getc(file_);
  if (byte == EOF && std::ferror(file_)) ThrowFileError(LastError());
  return byte;
}

void TextFile::Unget(int byte) { std::ungetc(byte, file_); }

void TextFile::Write(std::string_view text) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() || std::ferror(file_)) {
    ThrowFileError(LastError());
  }
}

}  // namespace nlayer
