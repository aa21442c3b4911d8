// A comma-separated list of numbers as a command line gives it, e.g. "10,20,2.5".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nlayer {

struct NumberList {
  std::vector<std::string> items;   // each item as written, without the blanks around it
  std::vector<long double> values;  // the items' values, finite
  std::string error;                // empty when the whole text is a list; else what is wrong
};

// Splits `text` at every "," and reads each item by the model file's rules for a real (an
// optional sign, digits with an optional "." and fraction, an optional exponent; "." whatever
// the locale; at most 64 characters), so that a distance means the same on the command line as
// in the file. Blanks and tabs around an item are ignored. An empty text or item, an item that
// is not such a number, or a value beyond the extended range makes `error` say which item
// ("item 2 of \"10,,20\" is empty"); `items` and `values` then hold the items before it.
// A pure function of `text`: no locale, no state.
NumberList ParseNumberList(std::string_view text);

}  // namespace nlayer
