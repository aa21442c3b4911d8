#include "io/number_list.h"

#include <cmath>

#include "core/fp_guard.h"
#include "io/input_reader.h"

namespace nlayer {

namespace {

std::string_view Trimmed(std::string_view item) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!item.empty() && blank(item.front())) item.remove_prefix(1);
  while (!item.empty() && blank(item.back())) item.remove_suffix(1);
  return item;
}

}  // namespace

NumberList ParseNumberList(std::string_view text) {
  NumberList list;
  if (Trimmed(text).empty()) {
    list.error = "the list is empty";
    return list;
  }
  std::size_t number = 1;
  for (std::size_t start = 0;; ++number) {
    const std::size_t comma = text.find(',', start);
    const std::string_view item = Trimmed(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
    const std::string whole = "\"" + std::string(text) + "\"";
    if (item.empty()) {
      list.error = "item " + std::to_string(number) + " of " + whole + " is empty";
      return list;
    }
    // A list of one item is named as a whole, a longer one by the item's number and text.
    const bool alone = number == 1 && comma == std::string_view::npos;
    const std::string where =
        alone ? whole : "item " + std::to_string(number) + " (\"" + std::string(item) + "\") of " + whole;
    if (item.size() > InputReader::kMaxRealToken) {
      list.error = where + " is longer than " + std::to_string(InputReader::kMaxRealToken) + " characters";
      return list;
    }
    long double value = 0;
    bool parsed = false;
    const FaultKind fault = RunChecked([&] { parsed = ParseRealToken(item, value); });
    if (!parsed) {
      list.error = where + " is not a number";
      return list;
    }
    if (fault != FaultKind::kNone || !std::isfinite(value)) {
      list.error = where + " is beyond the extended range";
      return list;
    }
    list.items.emplace_back(item);
    list.values.push_back(value);
    if (comma == std::string_view::npos) return list;
    start = comma + 1;
  }
}

}  // namespace nlayer
