// The reader of measured curves and IRFs (io/curve_file.h) on arbitrary text.
//
// Oracle: the rules written once more in another way (fuzz/two_column_oracle.h). The reader
// must agree on whether the text is a curve, on the line of the first problem, and on every bin
// it reads.
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
    const nlayer::CurveFile curve = nlayer::ParseCurve(text, "fuzz.csv");
    Require(expected.bad_line == -1, "a file with a problem in line " + std::to_string(expected.bad_line) +
                                         " was read as a curve");
    Require(curve.t_ps.size() == curve.counts.size() && curve.lines.size() == curve.t_ps.size(),
            "columns of different lengths");
    Require(curve.t_ps == expected.t_ps, "the times differ from the oracle's");
    Require(curve.counts == expected.counts, "the counts differ from the oracle's");
  } catch (const nlayer::InputFileError& e) {
    Require(expected.bad_line != -1, std::string("a curve was refused: ") + e.what());
    Require(e.line() == expected.bad_line, "the refusal names line " + std::to_string(e.line()) +
                                               ", the oracle line " + std::to_string(expected.bad_line) + ": " +
                                               e.what());
    Require(e.error_number() == 0, "a parse error with an errno");
    Require(std::string_view(e.what()).substr(0, 9) == "fuzz.csv:", "the message does not name the file");
  }
  return 0;
}
