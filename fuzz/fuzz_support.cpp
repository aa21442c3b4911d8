#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "tests/output_layout.h"

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
                                 "Ungültige Gleitkommaoperation"}) {
    if (message == known) return true;
  }
  return false;
}

std::size_t CheckOutputLines(const std::string& text, bool complete) {
  constexpr std::size_t kLine = testing::kOutputLineLength;
  Require(text.size() % kLine == 0, "output of " + std::to_string(text.size()) + " bytes is not whole lines");
  std::vector<std::pair<long, long double>> samples;
  for (std::size_t at = 0; at < text.size(); at += kLine) {
    const std::string line = text.substr(at, kLine);
    const std::string where = "output line " + std::to_string(samples.size() + 1) + " \"" + line + "\"";
    Require(testing::IsOutputLine(line), "malformed " + where);
    const double time = std::strtod(line.substr(0, 23).c_str(), nullptr);
    // Extended: a curve may lie wholly below the smallest double.
    const long double value = std::strtold(line.substr(26, 23).c_str(), nullptr);
    const long time_ps = std::lround(time);
    Require(std::isfinite(value), "value not finite in " + where);
    Require(time == static_cast<double>(time_ps) && time_ps % 10 == 0 && time_ps >= 10 && time_ps <= 5120,
            "bad time in " + where);
    Require(samples.empty() || time_ps > samples.back().first, "times not ascending at " + where);
    samples.emplace_back(time_ps, value);
  }
  if (!complete) return samples.size();
  Require(!samples.empty(), "a successful run wrote no line");
  long double peak = 0;
  for (const auto& [time_ps, value] : samples) {
    if (time_ps <= 5010) peak = std::fmax(peak, std::fabs(value));
  }
  Require(peak > 0, "no sample up to 5010 ps, where the peak is searched");
  // The file holds 15 significant digits of samples that passed the ratio test unrounded.
  for (const auto& [time_ps, value] : samples) {
    Require(std::fabs(value) * 1e6L >= peak * (1 - 1e-14L),
            "the sample at " + std::to_string(time_ps) + " ps lies more than six decades below the peak");
  }
  return samples.size();
}

}  // namespace nlayer::fuzz

// Every target works in a scratch directory of its own, made before the first input.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  nlayer::fuzz::EnterScratchDirectory();
  return 0;
}
