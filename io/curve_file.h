// A measured curve or an instrument response function (IRF) as a text file: one time bin per
// line, the bin's time in ps and its counts, as TCSPC software and spreadsheets export them.
//
// The rules, so that a file means one thing only:
//  - Lines end in LF (CR LF too: a CR counts as a blank). A UTF-8 byte order mark at the start
//    is skipped. "#" starts a comment that runs to the end of its line. Blank lines are skipped.
//  - A line of data holds two numbers, t_ps and counts, separated by a comma (blanks around it
//    allowed) or, in a line without a comma, by blanks or tabs.
//  - The first line that is not blank may be a header: it is one when it starts with a
//    character that cannot start a number (anything but a digit, "+", "-" or "."), e.g.
//    "t_ps,counts". Only the first such line; text later on is an error.
//  - Numbers: an optional sign, digits with an optional "." and fraction (or "." and digits),
//    an optional exponent ("1.5e3", "2E-2"); "." whatever the locale; no "inf" or "nan". A
//    value beyond the range of a double (above about 1.8e308, or so small it would read as 0)
//    is refused.
//  - Times rise strictly from line to line; counts are >= 0 (they need not be whole numbers).
//  - At least one line of data, at most kMaxCurveBins. A NUL byte anywhere makes the file not
//    text.
//
// Messages are English and name the file and line: `M.csv:7: "1,5" is not a number`.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "io/input_file_error.h"

namespace nlayer {

// What the two columns are called in messages; the rules are the same whatever they hold.
struct TwoColumns {
  const char* x = "t_ps";
  const char* x_unit = "ps";
  const char* y = "counts";
  const char* negative = "are negative";
  const char* rise = "times must rise from bin to bin";
  const char* row = "bin";
  const char* most = "a curve holds at most as many as a TCSPC histogram";
  const char* what = "curve";
  const char* file = "curve file";
};

// A spectrum of a substance by the same rules: wavelength (nm, rising) and a value (>= 0).
inline constexpr TwoColumns kSpectrumColumns{"wavelength_nm", "nm", "value", "is negative",
                                             "wavelengths must rise from line to line", "line",
                                             "a spectrum holds at most as many", "spectrum", "spectrum file"};

struct CurveFile {
  std::vector<double> t_ps;    // the bins' times, strictly rising
  std::vector<double> counts;  // >= 0 and finite, one per time
  std::vector<long> lines;     // the 1-based line of each bin
};

// Reads the text of a curve file by the rules above; `name` starts every message. A pure
// function of its arguments. Throws InputFileError.
CurveFile ParseCurve(std::string_view text, const std::string& name, const TwoColumns& columns = {});

// Reads the file at `path` (at most kMaxCurveFileBytes) and parses it; messages name the path
// as given. Throws InputFileError.
CurveFile ReadCurveFile(const std::filesystem::path& path, const TwoColumns& columns = {});

// The most bins a curve may have: the largest histogram of a TCSPC board. A file is refused at
// the line of the bin beyond, without reading on.
inline constexpr std::size_t kMaxCurveBins = 65536;
// Far more than any histogram of a TCSPC board (65536 bins of 40 characters need 2.6 MB); stops
// a file of endless comments or blank lines.
inline constexpr std::size_t kMaxCurveFileBytes = 64u << 20;

}  // namespace nlayer
