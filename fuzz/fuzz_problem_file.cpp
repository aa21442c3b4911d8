// The problem-file reader (io/problem_file.h) on arbitrary text, with the curve, IRF and
// spectrum files the examples name present in its folder, so that whole problems are read.
//
// Oracle: what every refusal promises. The text is a problem, or an InputFileError whose
// message starts with the file's name and names a line within the file (or none, for what the
// file as a whole lacks); a refusal of a file it names carries where it was named. Nothing else
// may escape: no crash, no other exception, no hang (libFuzzer's -timeout), no unbounded
// allocation (its -rss_limit_mb).
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "io/problem_file.h"

namespace {

// The files the seeds name, written once into the scratch directory that fuzz_support's
// LLVMFuzzerInitialize made the working directory.
void WriteNamedFiles() {
  auto write = [](const char* name, std::string_view text) {
    nlayer::fuzz::WriteFile(name, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  };
  const std::string curve = "t_ps,counts\n0,1\n10,5\n20,3\n30,1\n";
  for (const char* name : {"a.csv", "b.csv", "m10_760.csv", "m10_850.csv", "m30_760.csv", "m30_850.csv"}) write(name, curve);
  for (const char* name : {"irf.csv", "irf_760.csv", "irf_850.csv"}) write(name, "0,0\n10,9\n20,1\n30,0\n");
  write("water.txt", "# nm  mua of water (1/mm)\n700 0.0006\n800 0.002\n900 0.007\n");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nlayer::fuzz::Require;
  static const bool written = (WriteNamedFiles(), true);
  (void)written;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const long lines = 1 + static_cast<long>(std::count(text.begin(), text.end(), '\n'));
  try {
    const nlayer::ProblemFile read = nlayer::ParseProblem(text, "fuzz.toml", std::filesystem::current_path());
    Require(!read.problem.curves.empty(), "a problem without curves was read");
  } catch (const nlayer::InputFileError& e) {
    const std::string message = e.what();
    const std::string::size_type named = message.find(" (named at fuzz.toml:");
    if (named != std::string::npos) return 0;  // a named file's own message, and where it was named
    Require(message.rfind("fuzz.toml", 0) == 0, "the message does not name the file: " + message);
    Require(e.line() >= 0 && e.line() <= lines,
            "the message names line " + std::to_string(e.line()) + " of " + std::to_string(lines) + ": " + message);
    if (e.line() > 0) {
      Require(message.rfind("fuzz.toml:" + std::to_string(e.line()) + ": ", 0) == 0,
              "the message does not start with file:line: " + message);
    }
  }
  return 0;
}
