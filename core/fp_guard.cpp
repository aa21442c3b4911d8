#include "core/fp_guard.h"

#include <cfenv>
#include <cfloat>
#include <stdexcept>


static_assert(LDBL_MANT_DIG == 64, "nlayer needs long double to be the 80-bit extended real (64-bit significand)");

namespace nlayer {

void ClearFpFlags() noexcept { std::feclearexcept(FE_ALL_EXCEPT); }

FaultKind PendingFault() noexcept {
  const int raised = std::fetestexcept(FE_DIVBYZERO | FE_OVERFLOW | FE_INVALID);
  if (raised & FE_DIVBYZERO) return FaultKind::kDivisionByZero;
  if (raised & FE_OVERFLOW) return FaultKind::kOverflow;
  if (raised & FE_INVALID) return FaultKind::kInvalidOperation;
  return FaultKind::kNone;
}

void AssertFloatingPointEnvironment() {
  if (std::fegetround() != FE_TONEAREST) {
    throw std::logic_error("nlayer: the floating-point rounding mode is not round-to-nearest");
  }
#if defined(__x86_64__) || defined(__i386__)
  unsigned short control = 0;
  __asm__ volatile("fnstcw %0" : "=m"(control));
  const unsigned precision = (control >> 8) & 3u;  // 3 selects the 64-bit significand
  if (precision != 3u) {
    throw std::logic_error("nlayer: x87 precision control is not set to 64 bits");
  }
#endif
}

}  // namespace nlayer
