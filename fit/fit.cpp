// The fit's entry points over the joint engine (fit/joint_engine.h).
#include "nlayer/fit.h"

#include <utility>

#include "fit/joint_engine.h"

namespace nlayer {

FitResult Fit(const FitProblem& problem, const FitOptions& options) {
  fit::JointEngine engine(problem, options, false);
  return engine.Run();
}

FitResult FitCurve(const MeasuredCurve& curve, const Medium& medium, const std::vector<FitParameter>& free,
                   const FitOptions& options) {
  FitProblem problem;
  problem.curves.push_back(curve);
  problem.medium = medium;
  problem.free = free;
  // One start unless more are asked for: the spread starts cost a fit each, and a single curve's
  // fit is the quick look of the window and of scripts.
  FitOptions one = options;
  if (one.starts == 0) one.starts = 1;
  fit::JointEngine engine(problem, one, true);
  return engine.Run();
}

}  // namespace nlayer
