// Helpers shared by the tests: one relative-error comparator, named tolerances and a
// temporary working directory.
#pragma once

#include <complex>
#include <filesystem>
#include <string>

#include "nlayer/medium.h"
#include "tests/half_space.h"

namespace nlayer::testing {


// |a - b| / |b|, with defined behaviour at the edges: 0 when both are equal (including both
// zero or the same infinity), |a| when b is 0, and +infinity when either is NaN or only one is
// infinite.
long double RelErr(long double a, long double b);

// Number of significant decimal digits to which a agrees with b (capped at 20).
double CorrectDigits(long double a, long double b);

// A fresh empty directory that the test makes its working directory; the previous working
// directory is restored and the directory removed when the object goes out of scope.
class TempWorkDir {
 public:
  TempWorkDir();
  ~TempWorkDir();
  TempWorkDir(const TempWorkDir&) = delete;
  TempWorkDir& operator=(const TempWorkDir&) = delete;

  const std::filesystem::path& path() const { return dir_; }
  // Writes `content` byte for byte to `name` inside the directory.
  void Write(const std::string& name, const std::string& content) const;
  // The whole content of `name` inside the directory.
  std::string Read(const std::string& name) const;

 private:
  std::filesystem::path dir_;
  std::filesystem::path previous_;
};

// The whole content of the file at `path`, byte for byte; empty when it cannot be read.
std::string ReadWhole(const std::filesystem::path& path);

// A tmpfs of `size` (e.g. "16k") mounted at `mount_point` (created if missing) for as long as
// the object lives: a disk that fills up. Mounting needs root; where it fails, `error()` says
// why and the test should skip.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::filesystem::path& mount_point, const std::string& size);
  ~SmallFileSystem();
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  // Writes zeros into `name` until the file system is full.
  void Fill(const std::string& name) const;

 private:
  std::filesystem::path at_;
  bool mounted_ = false;
  std::string error_;
};

}  // namespace nlayer::testing
