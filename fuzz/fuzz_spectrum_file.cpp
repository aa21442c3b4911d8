// The reader of spectrum files (a chromophore's spectrum that a problem file names) on arbitrary
// text. It reads by the curves' rules under other names, so the curves' oracle
// (fuzz/two_column_oracle.h) judges it: the same verdict, line and values.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "fuzz/two_column_oracle.h"
#include "io/curve_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nlayer::fuzz::Require;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const nlayer::fuzz::Expected expected = nlayer::fuzz::Oracle(text);
  try {
    const nlayer::CurveFile curve = nlayer::ParseCurve(text, "fuzz.txt", nlayer::kSpectrumColumns);
    Require(expected.bad_line == -1, "a spectrum with a problem in line " + std::to_string(expected.bad_line) +
                                         " was read as a curve");
    Require(curve.t_ps.size() == curve.counts.size() && curve.lines.size() == curve.t_ps.size(),
            "columns of different lengths");
    Require(curve.t_ps == expected.t_ps, "the wavelengths differ from the oracle's");
    Require(curve.counts == expected.counts, "the values differ from the oracle's");
  } catch (const nlayer::InputFileError& e) {
    Require(expected.bad_line != -1, std::string("a spectrum was refused: ") + e.what());
    Require(e.line() == expected.bad_line, "the refusal names line " + std::to_string(e.line()) +
                                               ", the oracle line " + std::to_string(expected.bad_line) + ": " +
                                               e.what());
    Require(e.error_number() == 0, "a parse error with an errno");
    Require(std::string_view(e.what()).substr(0, 9) == "fuzz.txt:", "the message does not name the file");
  }
  return 0;
}
