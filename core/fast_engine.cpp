#include "core/fast_engine.h"

namespace nlayer {

// Placeholder until the vectorised engine lands: every request goes to the exact engine.
std::optional<Spectrum> ComputeSpectrumFast(const DerivedModel&, std::span<const long double>,
                                            std::span<const long double>, unsigned) {
  return std::nullopt;
}

}  // namespace nlayer
