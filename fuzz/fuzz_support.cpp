#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "tests/reflectance_file.h"

namespace nlayer::fuzz {

namespace {

std::filesystem::path scratch;

void RemoveScratch() {
  std::error_code ec;
  std::filesystem::current_path("/", ec);
  std::filesystem::remove_all(scratch, ec);
}

}  // namespace

void EnterScratchDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/nlayer-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) Fail("cannot make a scratch directory from " + pattern);
  scratch = pattern;
  std::filesystem::current_path(scratch);
  std::atexit(RemoveScratch);
}

void WriteFile(const char* name, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(name, "wb");
  Require(file != nullptr, std::string("cannot create ") + name);
  Require(size == 0 || std::fwrite(data, 1, size, file) == size, std::string("cannot write ") + name);
  Require(std::fclose(file) == 0, std::string("cannot close ") + name);
}

std::string ReadFile(const char* name) {
  std::string text;
  std::FILE* file = std::fopen(name, "rb");
  if (file == nullptr) return text;
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  std::fclose(file);
  return text;
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "\n*** broken invariant: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

bool IsModelFailureMessage(std::string_view message) {
  for (std::string_view known : {"Ungültige numerische Eingabe", "Fehler bei Bereichsprüfung",
                                 "Gleitkommadivision durch Null", "Gleitkommaüberlauf",
                                 "Ungültige Gleitkommaoperation", "Abstand zu groß für dieses Medium"}) {
    if (message == known) return true;
  }
  return false;
}

std::vector<testing::ReflectanceSample> CheckOutputLines(const std::string& text, bool complete) {
  testing::ReflectanceFile file = testing::ReadReflectanceFile(text);
  Require(file.error.empty(), "output: " + file.error);
  if (complete) {
    const std::string problem = testing::CompleteCurveProblem(file.samples);
    Require(problem.empty(), problem);
  }
  return std::move(file.samples);
}

}  // namespace nlayer::fuzz

// Every target works in a scratch directory of its own, made before the first input.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  nlayer::fuzz::EnterScratchDirectory();
  return 0;
}
