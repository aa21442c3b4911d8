// Helpers shared by the tests: one relative-error comparator, named tolerances and a
// temporary working directory.
#pragma once

#include <filesystem>
#include <string>

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

}  // namespace nlayer::testing
