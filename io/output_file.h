// Writing a file that the user named as a whole: tables, pictures and model files. What stands
// at the name keeps what makes it that file: a symbolic link stays a link and its target is
// written, a file keeps its owner, group and permissions, a hard link keeps sharing its data
// with its other names, and a pipe, a terminal or a device receives the bytes instead of being
// replaced by a regular file.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace nlayer {

// What ReplaceFile and CheckOutputPath throw: the message, and the system's error number behind
// it (0 for a refusal of nlayer's own, e.g. a block device), which the Python module needs to
// raise the matching OSError (PermissionError, FileNotFoundError, ...).
class OutputFileError : public std::runtime_error {
 public:
  OutputFileError(const std::string& message, int error_number)
      : std::runtime_error(message), error_number_(error_number) {}
  int error_number() const { return error_number_; }

 private:
  int error_number_;
};

// True when both paths name one existing file (also through a symbolic or a hard link).
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// Writes `content` as the whole of the file at `path`. Messages are OutputFileError
// "cannot write <path>: <reason>", the reason usually the system's.
//
//  - A regular file (or a new one) is replaced all or nothing: the bytes go to a new file
//    ".NAME.tmp-<pid>-<n>" beside it (beside the link's target for a symbolic link), which
//    gets the old file's owner, group and permissions, is flushed to the disk and renamed over
//    the file only once complete; then the folder is flushed too. On failure the file is left
//    as it was and the new file removed, also when the process is ended by SIGINT, SIGTERM or
//    SIGHUP meanwhile. Temporary files of NAME that a process left behind when it was killed
//    (its pid no longer runs, or older than a day) are removed on the next save of NAME.
//  - A regular file whose identity a new file cannot take over is written in place: one with
//    more than one name (hard links), one whose owner or group this process cannot give to a
//    new file, one in a folder this process may not create files in, and the process's own
//    standard output (written through it, so that ">>" appends). Space for the new bytes is
//    reserved first, so that a full disk fails before the old bytes are touched.
//  - A pipe (FIFO) or a character device (a terminal, /dev/null) is written straight into;
//    /dev/full fails with "No space left on device". A block device or a folder is refused.
//  - A file that may not be written (its permissions) is refused as the system would refuse
//    opening it for writing: an existing read-only file is not replaced.
void ReplaceFile(const std::filesystem::path& path, std::string_view content);

// Checks, without creating or changing anything, that ReplaceFile(path, ...) can start: the
// name is not empty and no folder, an existing file may be written, a new one's folder exists
// and new files may be made in it. Throws std::runtime_error as ReplaceFile does, e.g.
// "cannot write /no/such/dir/t.csv: No such file or directory". For a check before long work:
// the disk may still fill up meanwhile.
void CheckOutputPath(const std::filesystem::path& path);

}  // namespace nlayer
