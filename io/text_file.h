// A text file of a run: "input.dat" read byte by byte, or "reflectance.dat" written line by
// line. Every operation checks for an error and turns it into the run's RunError (see
// ThrowFileError), so a caller never tests a status. Closed on destruction, so a failed run
// never keeps a file open.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string_view>

namespace nlayer {

class TextFile {
 public:
  TextFile() = default;
  ~TextFile() { CloseQuietly(); }
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;

  // Creates the file empty for writing, truncating an existing one.
  void Create(const std::filesystem::path& path);
  // Opens an existing file for reading. A directory is refused with EISDIR.
  void OpenRead(const std::filesystem::path& path);
  // Flushes and closes; a write error that surfaces only now is reported. No-op when closed.
  void Close();
  // Closes without reporting anything: the clean-up of a run that has already failed.
  void CloseQuietly() noexcept;
  bool IsOpen() const { return file_ != nullptr; }

  // The next byte (0 .. 255) or EOF at the end of the file. A read error throws.
  int Get();
  // Puts back the byte last returned by Get() (not EOF).
  void Unget(int byte);
  // Appends `text`; an error throws.
  void Write(std::string_view text);

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace nlayer
