// The fast engine: the layered solution, the 960-point Hankel rule on [0, 30 mus'] and the
// frequency loop of the exact engine, in double precision and vectorised over the points of
// the rule, for fits and sweeps that need about 8 digits.
#pragma once

#include <optional>
#include <span>

#include "core/derived_model.h"
#include "core/spectrum.h"

namespace nlayer {

// The spectrum of `model` at `rhos` (mm) and `omegas` (rad/s) on `threads` workers (0: all),
// its values rounded from double. Nothing when the double arithmetic met a fault or a
// non-finite value anywhere (the double range is smaller than the extended one): the caller
// then computes the exact spectrum, which either succeeds or names the fault. Reentrant;
// results do not depend on the thread count.
std::optional<Spectrum> ComputeSpectrumFast(const DerivedModel& model, std::span<const long double> rhos,
                                            std::span<const long double> omegas, unsigned threads);

}  // namespace nlayer
