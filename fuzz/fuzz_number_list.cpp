// The comma-separated number lists of the command line (--rho, --fd, --dt) on arbitrary text.
//
// Oracle: the list is the items between the commas, each read by itself as a real of the
// model file (ParseRealToken, an independent entry to the reading rules), blanks and tabs
// around it ignored. The parser must agree on where it fails and on every value before that,
// and a list it accepts must read back from its own items.
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/fp_guard.h"
#include "fuzz/fuzz_support.h"
#include "io/input_reader.h"
#include "io/number_list.h"

namespace nlayer::fuzz {
namespace {

std::string_view Trimmed(std::string_view item) {
  while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
  while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
  return item;
}

}  // namespace
}  // namespace nlayer::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace nlayer::fuzz;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const nlayer::NumberList list = nlayer::ParseNumberList(text);
  Require(list.items.size() == list.values.size(), "items and values differ in number");

  // The oracle, item by item.
  std::size_t good = 0;
  bool failed = text.empty();
  for (std::size_t start = 0; !failed && start <= text.size();) {
    const std::size_t comma = text.find(',', start);
    const std::string_view item = Trimmed(text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    long double value = 0;
    bool parsed = false;
    const nlayer::FaultKind fault = nlayer::RunChecked([&] {
      parsed = !item.empty() && item.size() <= nlayer::InputReader::kMaxRealToken && nlayer::ParseRealToken(item, value);
    });
    if (!parsed || fault != nlayer::FaultKind::kNone || !std::isfinite(value)) {
      failed = true;
      break;
    }
    Require(good < list.values.size() && list.items[good] == item,
            "item " + std::to_string(good + 1) + " was not taken as \"" + std::string(item) + "\"");
    Require(list.values[good] == value, "item " + std::to_string(good + 1) + " has another value");
    ++good;
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  Require(failed == !list.error.empty(), failed ? "a list that is not one was accepted" : "a list was refused: " + list.error);
  Require(list.values.size() == good, "the parser kept items beyond the first bad one");
  if (!failed) {
    std::string again;
    for (std::size_t i = 0; i < list.items.size(); ++i) again += (i ? "," : "") + list.items[i];
    const nlayer::NumberList reread = nlayer::ParseNumberList(again);
    Require(reread.error.empty() && reread.values == list.values, "a list does not read back from its items");
  }
  return 0;
}
