#include "core/spectrum.h"

namespace nlayer {

FpFault LocateFirstFault(const DerivedModel&, std::span<const long double>, long double, bool) {
  return FpFault::kNone;  // TODO replay
}

}  // namespace nlayer
