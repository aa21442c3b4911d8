#include "nlayer/medium.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "core/number_text.h"

namespace nlayer {

namespace {

ModelProblem Problem(int layer, const char* field, long double value, const char* rule) {
  std::string where = layer > 0 ? std::string(field) + " of layer " + std::to_string(layer) : std::string(field);
  return {layer, field, value, where + " is " + NumberText(value) + "; it must be " + rule};
}

}  // namespace

std::optional<ModelProblem> Medium::Validate() const {
  if (layers.empty()) return ModelProblem{0, "layers", 0, "the medium has no layers; it needs at least one"};
  const int count = static_cast<int>(layers.size());
  for (int i = 0; i < count; ++i) {
    const Layer& l = layers[static_cast<std::size_t>(i)];
    const int number = i + 1;
    if (!(l.musp > 0) || !std::isfinite(l.musp)) return Problem(number, "musp", l.musp, "> 0 and finite");
    if (!(l.mua >= 0) || !std::isfinite(l.mua)) return Problem(number, "mua", l.mua, ">= 0 and finite");
    if (!(l.n > 0) || !std::isfinite(l.n)) return Problem(number, "n", l.n, "> 0 and finite");
    // A single layer is a half-space: its thickness never enters the model. The bottom layer of
    // a stack may reach down without end (d = inf); the message keeps the words every refusal
    // of a file has always had.
    const bool without_end = number == count && l.d == std::numeric_limits<long double>::infinity();
    if (count >= 2 && (!(l.d > 0) || (!std::isfinite(l.d) && !without_end))) {
      return Problem(number, "d", l.d, "> 0 and finite");
    }
  }
  return std::nullopt;
}

std::optional<ModelProblem> ValidateDistance(long double rho_mm) {
  if (!(rho_mm > 0) || !std::isfinite(rho_mm)) return Problem(0, "rho", rho_mm, "> 0 and finite (mm)");
  return std::nullopt;
}

}  // namespace nlayer
