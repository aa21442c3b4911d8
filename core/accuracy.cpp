#include "core/accuracy.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>

#include "core/number_text.h"

namespace nlayer {

namespace {

std::string ThreeDigits(long double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2Le", value);
  return text;
}

// The longest distance up to `rho` that `within` accepts, to 1/4096 of rho: the rounding grows
// with the distance, so the accepted distances end where it passes the limit.
long double LongestWithin(long double rho, const std::function<bool(long double)>& within) {
  long double accepted = 0, refused = rho;
  for (int i = 0; i < 12; ++i) {
    const long double middle = 0.5L * (accepted + refused);
    (within(middle) ? accepted : refused) = middle;
  }
  return accepted;
}

// Three significant digits, rounded down, without an exponent ("85.9", "2000", "0.123").
std::string DistanceText(long double rho) {
  if (!(rho > 0)) return "0";
  const int exponent = static_cast<int>(std::floor(std::log10(static_cast<double>(rho))));
  const int decimals = std::max(0, 2 - exponent);
  const double unit = std::pow(10.0, -decimals);
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, std::floor(static_cast<double>(rho) / unit) * unit);
  return text;
}

ModelProblem TooFar(long double rho, long double kappa, const std::string& what, long double longest) {
  return {0, "rho", rho,
          "rho = " + NumberText(rho) + " mm is too far for this medium: the transform's terms there are " +
              ThreeDigits(kappa) + " times its result, and their rounding would reach " + what +
              (longest > 0 ? "; this medium can be computed up to about " + DistanceText(longest) + " mm"
                           : "; at no distance of this medium does it keep within that")};
}

}  // namespace

ModelProblem RoundingProblem(long double rho, long double kappa, const std::string& what, long double relative,
                             long double limit, const std::function<bool(long double)>& within) {
  char limit_text[16];
  std::snprintf(limit_text, sizeof limit_text, "%.0Le", limit);
  const std::string reach = ThreeDigits(relative) + " of " + what + " (at most " + limit_text + ")";
  if (within) return TooFar(rho, kappa, reach, LongestWithin(rho, within));
  return {0, "rho", rho,
          "rho = " + NumberText(rho) + " mm is too far for this medium: the transform's terms there are " +
              ThreeDigits(kappa) + " times its result, and their rounding would reach " + reach +
              "; shorter distances keep more digits"};
}

long double CurveRounding(const TransformPlan& plan, const TimeGrid& grid) {
  const long double samples = static_cast<long double>(grid.samples);
  return plan.RoundingError() * (samples / 2.0L + 1.0L) * 2.0L / (samples * static_cast<long double>(grid.dt_ps));
}

std::optional<ModelProblem> DistanceBeyondTransform(const Medium& medium, long double rho) {
  const long double musp = medium.layers.front().musp;
  if (!(rho * musp > kLongestRhoMusp)) return std::nullopt;
  return ModelProblem{0, "rho", rho,
                      "rho = " + NumberText(rho) + " mm is beyond the transform's reach: rho times the top layer's musp (" +
                          NumberText(musp) + "/mm) may be at most " + NumberText(kLongestRhoMusp) + ", rho at most " +
                          DistanceText(kLongestRhoMusp / musp) + " mm"};
}

std::optional<ModelProblem> CurveAccuracyProblem(const DerivedModel& model, long double rho, const TransformPlan& plan,
                                                 long double peak, const TimeGrid& grid) {
  if (!plan.measured || !(peak > 0)) return std::nullopt;
  const long double rounding = CurveRounding(plan, grid);
  if (!(rounding > kCurveRoundingLimit * peak)) return std::nullopt;
  // Elsewhere the peak is taken to keep its ratio to the continuous-wave value: the curve's
  // width changes slowly with the distance next to the rounding.
  const long double width = std::fabs(plan.cw) / peak;
  const long double longest = LongestWithin(rho, [&](long double r) {
    const TransformPlan there = PlanTransform(model, r);
    return !there.measured || CurveRounding(there, grid) * width <= kCurveRoundingLimit * std::fabs(there.cw);
  });
  return TooFar(rho, plan.magnitude / std::fabs(plan.cw), ThreeDigits(rounding / peak) + " of the curve's peak (at most 1e-05)",
                longest);
}

std::optional<ModelProblem> FoldProblem(long double rho, long double fold, long double peak, const TimeGrid& grid) {
  if (!(fold > kCurveRoundingLimit * peak)) return std::nullopt;
  const long double period = static_cast<long double>(grid.samples) * static_cast<long double>(grid.dt_ps);
  return ModelProblem{0, "rho", rho,
                      "the curve at rho = " + NumberText(rho) + " mm has not faded after " + NumberText(period) +
                          " ps, the longest period memory allows at dt = " + NumberText(grid.dt_ps) +
                          " ps: what it still carries there would fold onto its start by " + ThreeDigits(fold / peak) +
                          " of its peak (at most 1e-05); a larger dt allows a longer period"};
}

namespace {

ModelProblem LeftOut(const DerivedModel& model, long double rho, const TransformPlan& plan, const std::string& how) {
  return ModelProblem{0, "rho", rho,
                      "at rho = " + NumberText(rho) + " mm the transform integrates up to " +
                          NumberText(plan.plan.upper) + "/mm (" + (plan.plan.extended ? "40" : "30") +
                          " times the top layer's musp of " + NumberText(model.Musp[0]) + "/mm), " + how +
                          ": the top layer's mua (" + NumberText(model.Mua[0]) +
                          "/mm) is not small next to its musp, outside the diffusion model's range; give musp "
                          "well above mua (tissue: some 10 to 1000 times)"};
}

}  // namespace

std::optional<ModelProblem> TruncationProblem(const DerivedModel& model, long double rho, const TransformPlan& plan) {
  if (!plan.measured) return std::nullopt;
  // e^-10: the rule's end lies where the integrand has decayed, so what is left out beyond it
  // is the integrand of s >> |k|, which hardly depends on the frequency.
  constexpr long double kLeastDecay = 10.0L;
  const long double decay = plan.plan.upper * model.Z0;
  if (plan.cw != 0 && decay >= kLeastDecay) return std::nullopt;
  return LeftOut(model, rho, plan,
                 "where its integrand, decaying like e^(-s z0), has fallen only to " + ThreeDigits(std::exp(-decay)) +
                     " of its start");
}

std::optional<ModelProblem> ValueAccuracyProblem(const DerivedModel& model, long double rho, const TransformPlan& plan) {
  if (auto problem = TruncationProblem(model, rho, plan)) return problem;
  if (!plan.measured) return std::nullopt;
  const long double cw = std::fabs(plan.cw);
  if (!(plan.ValueError() > kValueRoundingLimit * cw)) return std::nullopt;
  const long double left_out = plan.ValueError() - plan.RoundingError();
  if (left_out > plan.RoundingError()) {
    return LeftOut(model, rho, plan,
                   "and what lies beyond could reach " + ThreeDigits(left_out / cw) +
                       " of the continuous-wave value (at most 1e-06)");
  }
  const long double longest = LongestWithin(rho, [&](long double r) {
    const TransformPlan there = PlanTransform(model, r);
    return !there.measured || there.ValueError() <= kValueRoundingLimit * std::fabs(there.cw);
  });
  return TooFar(rho, plan.magnitude / cw,
                ThreeDigits(plan.ValueError() / cw) + " of the continuous-wave value (at most 1e-06)", longest);
}

}  // namespace nlayer
