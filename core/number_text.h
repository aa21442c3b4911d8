// Numbers in messages, the same in every locale.
#pragma once

#include <string>

namespace nlayer {

// The shortest text that reads back to `value`: as a double where the value is one (so that
// 0.01 passed from a double reads "0.01"), otherwise as an extended real. "." is the decimal
// separator whatever the locale.
std::string NumberText(long double value);

}  // namespace nlayer
