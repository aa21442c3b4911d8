#include "app/run.h"

#include "app/model_state.h"

namespace nlayer {

void RunModel(ChartSink& chart, const RunOptions& options) {
  try {
    ReadModel(options);
    SynthesizeTimeDomain(chart, options);
  } catch (...) {
    // The run has no clean-up of its own; an open "reflectance.dat" would keep later runs
    // from re-creating it.
    State.InputFile.CloseQuietly();
    State.OutputFile.CloseQuietly();
    throw;
  }
}

}  // namespace nlayer
