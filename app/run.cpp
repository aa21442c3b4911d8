#include "app/run.h"

namespace nlayer {

void RunSession::Run(ChartSink& chart, const RunOptions& options) {
  try {
    ReadModel(options);
    SynthesizeTimeDomain(chart, options);
  } catch (...) {
    // The run has no clean-up of its own; an open "reflectance.dat" would keep later runs
    // from re-creating it.
    CloseFiles();
    throw;
  }
}

void RunSession::CloseFiles() noexcept {
  state_.InputFile.CloseQuietly();
  state_.OutputFile.CloseQuietly();
}

}  // namespace nlayer
