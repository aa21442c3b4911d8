// A text file of a run: "input.dat" read byte by byte, or "reflectance.dat" written line by
// line. Every operation checks for an error and throws it as a FileRefusal (io/file_refusal.h)
// with the file's name, so a caller never tests a status. Closed on destruction, so a failed
// run never keeps a file open.
//
// Nothing written is left torn: a file being written is held with an exclusive advisory lock
// (flock) from its creation to its close, so two runs never mix their lines in one file, and
// a write that fails cuts the file back to the end of the last whole Write().
#pragma once

#include <cstdio>
#include <filesystem>
#include <string_view>
#include <vector>

namespace nlayer {

// The most a model file is read: a model is a few hundred bytes, and a stack of thousands of
// layers with a comment on every line stays far below. A reader still short of its last value
// by then has met a file without end (a pipe, a device) or no model, and stops.
inline constexpr long long kMaxModelFileBytes = 4LL << 20;

class TextFile {
 public:
  TextFile() = default;
  ~TextFile() { CloseQuietly(); }
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;

  // Creates the file empty for writing, truncating an existing one, and locks it. A file that
  // another run (or any program holding an flock on it) has locked is left untouched and
  // refused at once with EWOULDBLOCK (kIoError). Where the file system has no locks, it is not locked.
  void Create(const std::filesystem::path& path);
  // Opens an existing file for reading. A directory is refused with EISDIR.
  void OpenRead(const std::filesystem::path& path);
  // Flushes and closes; a write error that surfaces only now is reported. No-op when closed.
  void Close();
  // Closes without reporting anything: the clean-up of a run that has already failed.
  void CloseQuietly() noexcept;
  bool IsOpen() const { return file_ != nullptr; }
  const std::filesystem::path& Path() const { return path_; }

  // The next byte (1 .. 255) or EOF at the end of the file. A read error throws; so does a NUL
  // byte (kNulByte, with its line), which no text model file holds: UTF-16 text, binary files
  // and devices such as /dev/zero end at once instead of reading as numbers. So does a byte
  // beyond the first kMaxModelFileBytes (kFileTooLong).
  int Get();
  // Puts back the byte last returned by Get() (not EOF).
  void Unget(int byte);
  // The 1-based line Get() has come to ("\n" bytes taken, less those put back, plus one).
  long Line() const { return newlines_ + 1; }
  // Appends `text`; an error throws, after the file has been cut back to the end of the last
  // whole Write() (a regular file; a device or pipe keeps what reached it).
  void Write(std::string_view text);

 private:
  [[noreturn]] void FailWriting(int err);
  [[noreturn]] void Fail(int err) const;

  std::FILE* file_ = nullptr;
  std::filesystem::path path_;  // as given to Create or OpenRead, for the refusals
  bool writing_ = false;
  // Where each completed Write() ended, ascending: what reached the file may stop anywhere in
  // the stdio buffer, and is cut back to the last of these it holds whole.
  std::vector<long long> write_ends_;
  long long read_bytes_ = 0;  // bytes Get() returned, less those put back
  long newlines_ = 0;
};

}  // namespace nlayer
