// The number format of "reflectance.dat".
#pragma once

#include <string>

namespace nlayer {

// `value` in 23 characters: a sign position (blank for zero and positive values, "-" for
// negative ones), one digit, ".", 14 digits, "E", the exponent's sign and 4 exponent digits;
// rounded to 15 significant digits. Independent of the C and C++ locales: the decimal point is
// always ".". `value` must be finite.
std::string FormatNumber(long double value);

// One line of "reflectance.dat": time and reflectance separated by three blanks, ended by CR LF.
std::string FormatLine(long double time, long double reflectance);

}  // namespace nlayer
