// The fast engine: the layered solution, the 960-point Hankel rule on [0, 30 mus'] and the
// frequency loop of the exact engine, in double precision and vectorised over the points of
// the rule (core/fast/fast_kernel.h), for fits and sweeps that need about 8 digits.
//
// What holds:
//  - Accuracy. The same points, weights and Bessel factors as the exact engine; the solution is
//    the same, with its hyperbolic functions scaled by their growth (no thickness overflows,
//    an infinite bottom layer included), and double-double arithmetic where the transform's
//    cancellation would otherwise amplify rounding (see core/fast/fast_kernel.cpp). Time-resolved
//    curves agree with the exact engine's to 1e-8 where R >= 1e-3 of the peak and to 1e-5 where
//    R >= 1e-6 of the peak over the models of tests/fast_engine_test.cpp (1 to 8 layers, 5 to
//    50 mm); where the exact engine's own rounding reaches that size (weak signals at 50 mm),
//    the fast engine is the closer of the two to a binary128 evaluation.
//  - Faults. A request the double evaluation does not suit returns nothing, and the caller
//    computes it with the exact engine, which succeeds or names the fault: parameters far
//    outside physical ranges (layer boundaries whose factors would carry the recursion near
//    the double range's ends among them) and any non-finite sum.
//  - Threads and instruction sets. Results do not depend on the thread count, bit for bit, nor
//    on which other distances share the call. On another instruction set (AVX2, or the
//    portable scalar code on a machine without AVX2) they differ by about 1e-14 of the peak
//    (fused and unfused multiply-adds, vector widths), far inside the accuracy above.
#pragma once

#include <optional>
#include <span>
#include <stop_token>

#include "core/derived_model.h"
#include "core/spectrum.h"

namespace nlayer {

// The spectrum of `model` at `rhos` (mm) and `omegas` (rad/s) on `threads` workers (0: all),
// or nothing when the double evaluation does not suit the request (see above): the caller then
// computes the exact spectrum. Reentrant; allocates once per call, nothing per frequency.
std::optional<Spectrum> ComputeSpectrumFast(const DerivedModel& model, std::span<const long double> rhos,
                                            std::span<const long double> omegas, unsigned threads,
                                            std::stop_token stop = {});

}  // namespace nlayer
