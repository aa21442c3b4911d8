// Helpers shared by the tests: one relative-error comparator, named tolerances and a
// temporary working directory.
#pragma once

#include <complex>
#include <filesystem>
#include <string>

#include "nlayer/medium.h"

namespace nlayer::testing {

// The half-space's frequency-domain reflectance in closed form (the Hankel transform of
// exp(-alpha z) / 2 for the source and its image, alpha = sqrt(s^2 + k^2)):
// R~ = [z0 (1 + k r1) e^(-k r1) / r1^3 + z2 (1 + k r2) e^(-k r2) / r2^3] / (4 pi),
// r = sqrt(rho^2 + z^2), z2 = z0 + 2 zb, k^2 = (mua + i omega n / c) / D, in mm^-2.
std::complex<double> HalfSpaceClosedForm(const Layer& layer, double rho_mm, double f_hz);

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
