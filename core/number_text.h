// Numbers in messages, the same in every locale.
#pragma once

#include <string>

namespace nlayer {

// The shortest text that reads back to `value`: as a double where the value is one (so that
// 0.01 passed from a double reads "0.01"), otherwise as an extended real. "." is the decimal
// separator whatever the locale.
std::string NumberText(long double value);

// `value` to `significant` digits in the shorter of fixed and scientific notation ("0.0099581",
// "1.77063e+12"), "." whatever the locale: the form of printed estimates.
std::string NumberText(double value, int significant);

}  // namespace nlayer
