// The fit's entry points over the joint engine (fit/joint_engine.h).
#include "nlayer/fit.h"

#include <utility>

#include "fit/joint_engine.h"

namespace nlayer {

FitResult Fit(const FitProblem& problem) {
  fit::JointEngine engine(problem, false);
  return engine.Run();
}

FitResult FitCurve(const FitRequest& request) {
  FitProblem problem;
  MeasuredCurve curve;
  curve.t_ps = request.t_ps;
  curve.counts = request.counts;
  curve.irf = request.irf;
  curve.irf_t_ps = request.irf_t_ps;
  curve.rho_mm = request.rho_mm;
  curve.shift_ps = request.shift_ps;
  // A fitted background, as always: its pull test (joint_fit_test) shows the estimate unbiased
  // once the bound at 0 is gone, and it keeps a background that differs from the pre-rise bins'.
  curve.background = request.background ? BackgroundMode::kFitted : BackgroundMode::kNone;
  curve.range = request.range;
  problem.curves.push_back(std::move(curve));
  problem.medium = request.medium;
  problem.free = request.free;
  problem.statistic = request.statistic;
  problem.options = request.options;
  problem.spectrum_tolerance = request.spectrum_tolerance;
  problem.max_iterations = request.max_iterations;
  // One start, as ever: a request has no seed, and the spread starts cost a fit each.
  problem.starts = 1;
  fit::JointEngine engine(problem, true);
  return engine.Run();
}

}  // namespace nlayer
