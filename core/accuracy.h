// What the rounding of the Hankel transform leaves in the library's results at a distance, and
// the distances beyond which results are refused rather than returned wrong.
//
// The transform sums terms of both signs whose magnitudes exceed the result by a factor kappa
// that grows about like e^(mu_eff rho) (core/hankel.h); each term carries a relative rounding of
// 1e-18 (extended panels) to 1e-14 (the single rule), so every value R~(rho, f) carries an
// absolute error of about that times the terms' magnitude, and a curve, the sum of its
// frequencies, that error over dt at every sample.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "core/derived_model.h"
#include "core/hankel.h"
#include "nlayer/medium.h"
#include "nlayer/reflectance.h"

namespace nlayer {

// A curve is refused where its estimated rounding exceeds this part of its peak: values down to
// 1e-3 of the peak then keep two digits or more.
inline constexpr long double kCurveRoundingLimit = 1e-5L;
// Frequency-domain and continuous-wave values are refused where the estimated rounding exceeds
// this part of the continuous-wave value.
inline constexpr long double kValueRoundingLimit = 1e-6L;

// The estimated bound of the rounding of each sample of a curve on `grid`, mm^-2 ps^-1: the
// inverse transform adds samples/2 + 1 frequencies, each of error plan.RoundingError(), with the
// weight 2 / (samples dt).
long double CurveRounding(const TransformPlan& plan, const TimeGrid& grid);

// A distance so far that the transform cannot resolve J0 there (rho mus'(top) beyond
// kLongestRhoMusp), or nothing.
std::optional<ModelProblem> DistanceBeyondTransform(const Medium& medium, long double rho);

// The problem of a curve at `rho` computed with `plan` whose rounding exceeds kCurveRoundingLimit
// of its `peak` (mm^-2 ps^-1), naming the longest distance within the limit; nothing where the
// curve is within it or the plan has no estimate.
std::optional<ModelProblem> CurveAccuracyProblem(const DerivedModel& model, long double rho, const TransformPlan& plan,
                                                 long double peak, const TimeGrid& grid);

// The problem of a curve at `rho` that has not faded by the end of the longest period computed
// (`grid`): what that period folds onto its start, `fold` (mm^-2 ps^-1), exceeds
// kCurveRoundingLimit of its `peak`; nothing where it is within.
std::optional<ModelProblem> FoldProblem(long double rho, long double fold, long double peak, const TimeGrid& grid);

// Moments (total, mean time) are refused where the estimated rounding exceeds kValueRoundingLimit
// of them, like the continuous-wave value they are derived from. The variance is the second
// derivative of the Laplace transform: its stencil divides the transform's rounding by (h <t>)^2,
// some 400 times more than the mean time's, so it is held to kCurveRoundingLimit instead (five
// digits, more than any measured variance has).
inline constexpr long double kVarianceRoundingLimit = kCurveRoundingLimit;

// The problem of a result at `rho` whose estimated rounding is `relative` of `what` (more than
// `limit`), where the transform's terms are `kappa` times its result; `within(r)` says whether a
// distance r up to rho keeps the result within its limit, to name the longest (none is named
// without it).
ModelProblem RoundingProblem(long double rho, long double kappa, const std::string& what, long double relative,
                             long double limit, const std::function<bool(long double)>& within);

// The same for frequency-domain values and kValueRoundingLimit (after TruncationProblem).
std::optional<ModelProblem> ValueAccuracyProblem(const DerivedModel& model, long double rho, const TransformPlan& plan);

// The problem of a distance where the rule's interval, 30 or 40 mus' of the top layer, ends
// before the integrand has decayed to e^-10 of its start (it decays like e^(-s z0), z0 =
// 1 / (mua + mus'), so where mus' < mua / 2), or where the rule's value is 0. What the rule
// leaves out there is the curve itself, not a constant; mua so large next to mus' lies outside
// the diffusion model's range. Nothing where the plan has no estimate.
std::optional<ModelProblem> TruncationProblem(const DerivedModel& model, long double rho, const TransformPlan& plan);

}  // namespace nlayer
