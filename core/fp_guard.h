// Floating-point faults of the model's own arithmetic, read from the sticky flags.
//
// The model relies on invalid operation, division by zero and overflow ending a run, while
// underflow, denormals and inexact results pass silently. Hardware traps are never enabled:
// Qt and other libraries raise flags legitimately. Instead each step of the model's arithmetic
// runs inside RunChecked(): the sticky flags are cleared before the step and read right after it,
// so flags raised by any other code never count.
#pragma once

#include <utility>

#include "nlayer/errors.h"

namespace nlayer {

void ClearFpFlags() noexcept;

// The fault raised since the last ClearFpFlags(); when several flags are up, division by zero
// wins over overflow and overflow over invalid, the order in which they cause one another.
FaultKind PendingFault() noexcept;

// Throws if the floating-point environment is not the one the model assumes: rounding to
// nearest and x87 precision control at 64 bits. Called once at program start.
void AssertFloatingPointEnvironment();

namespace detail {
// The step runs behind a call the optimiser cannot see into, so none of its arithmetic can be
// moved before the flags are cleared or after they are read. GCC's noipa also keeps it from
// deducing the call to be free of side effects; clang has no noipa, but a call that writes
// through its captures cannot be moved across the flag calls either.
#if defined(__clang__)
#define NLAYER_OPAQUE __attribute__((noinline))
#else
#define NLAYER_OPAQUE __attribute__((noipa))
#endif
template <class F>
NLAYER_OPAQUE void InvokeOpaque(F& step) {
  step();
}
#undef NLAYER_OPAQUE
}  // namespace detail

// Runs `step` (a callable taking no arguments and returning nothing; results leave through
// its captures) as one checked piece of arithmetic and returns the fault it raised.
template <class F>
[[nodiscard]] FaultKind RunChecked(F&& step) {
  ClearFpFlags();
  detail::InvokeOpaque(step);
  return PendingFault();
}

}  // namespace nlayer
