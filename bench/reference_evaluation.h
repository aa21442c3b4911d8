// The straightforward evaluation of a run's frequency loop, kept beside the real one as the
// yardstick of its speed: every complex routine written out with the C library's long double
// functions, each called separately wherever a formula names it, nothing shared between
// evaluations or frequencies, one thread.
#pragma once

#include "core/layered_solution.h"

namespace nlayer::reference {

// The integrand at s for detector distance rho and the frequency terms in context.OmegaTerm,
// for `model`.
ComplexExt ReflectanceIntegrand(const DerivedModel& model, long double s, long double rho, FrequencyContext& context);

// The 960-point transform at rho, into context.ReflRe / ReflIm.
void RadialReflectance(const DerivedModel& model, long double rho, FrequencyContext& context);

// The 513 frequencies of a run of `model` at `rho`, one after the other; returns the sum of
// the real parts so that nothing can be optimised away.
long double FrequencyLoop(const DerivedModel& model, long double rho);

}  // namespace nlayer::reference
