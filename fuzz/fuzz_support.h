// What the fuzz targets share: a private working directory, the model file written from the
// fuzzer's bytes, and the checks of a run's outcome. A broken invariant prints what broke and
// aborts, which libFuzzer reports as a crash together with the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/reflectance_file.h"

namespace nlayer::fuzz {

// Makes a fresh directory under $TMPDIR (or /tmp) the working directory of the process and
// removes it again at exit. Called once, from LLVMFuzzerInitialize.
void EnterScratchDirectory();

// Writes the bytes as the file `name` in the working directory, replacing it.
void WriteFile(const char* name, const std::uint8_t* data, std::size_t size);

// The whole content of `name` in the working directory ("" when it does not exist).
std::string ReadFile(const char* name);

[[noreturn]] void Fail(const std::string& what);

inline void Require(bool condition, const std::string& what) {
  if (!condition) Fail(what);
}

// True for the messages with which reading a model or computing it may fail: the input and
// floating-point errors. File errors cannot occur in the scratch directory.
bool IsModelFailureMessage(std::string_view message);

// Checks the lines of an output file: each one 49 characters and CR LF, two 23-character
// number fields three blanks apart, times ascending multiples of 10 ps from 10 to 5120, finite
// values. Returns the samples. With `complete` (a successful run) there must be at least one
// line and none may lie more than six decades below the peak up to 5010 ps.
std::vector<testing::ReflectanceSample> CheckOutputLines(const std::string& text, bool complete);

}  // namespace nlayer::fuzz
