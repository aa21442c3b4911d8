// One run of the model, as a click on "Start!" performs it: read "input.dat", derive the
// diffusion parameters, compute 513 frequencies, transform to the time domain, write
// "reflectance.dat" and append the curve to the chart series numbered by the session's run
// counter. The session is the window's (ui/main_window.h) or the headless command's; there is
// no state outside it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "app/chart_sink.h"
#include "app/model_state.h"

namespace nlayer {

struct RunOptions {
  std::filesystem::path input_path = "input.dat";
  std::filesystem::path output_path = "reflectance.dat";
  unsigned threads = 0;  // worker threads for the frequency loop; 0 means all hardware threads
  // Test knob, not a user option: only frequencies k < computed_frequencies are computed, the
  // others enter the transform as 0. Lets fuzzers run whole computations quickly.
  int computed_frequencies = 513;
};

// The message of a run whose output file is its model file: the run touches neither.
inline constexpr std::string_view kOutputIsInput = "Ausgabedatei ist die Eingabedatei";

// The message of a run whose detector is too far for the transform to give the curve's
// digits (the transform's rounding would exceed 1e-5 of the peak); the run's error carries the
// English explanation with rho and the longest distance the medium allows.
inline constexpr std::string_view kDistanceTooFar = "Abstand zu groß für dieses Medium";

// The runs of one window (or of one headless command): the run counter, which picks each
// run's chart series, the model and distance of the last run, and its two files. A new
// session's first run draws into series 0. Not shared between threads.
class RunSession {
 public:
  // The whole run. Any failure ends the run where it happens and leaves as a RunError
  // (app/run_error.h) carrying the runtime's message; both files are closed whatever happens,
  // and what was done before the failure stays done (RunIndex has advanced,
  // "reflectance.dat" keeps what reached it).
  void Run(ChartSink& chart, const RunOptions& options = {});

  // The first half of a run: advances RunIndex, refuses an output file that is the model
  // file, creates the output file empty, reads the model and derives its diffusion
  // coefficients, boundaries and source depth. Leaves the output file open (closed by the
  // second half, by Run on failure, or with the session).
  void ReadModel(const RunOptions& options = {});

  // The second half: the frequency loop, the inverse transform, the peak, and the kept
  // samples written to the output file and appended to chart series RunIndex; closes the file.
  void SynthesizeTimeDomain(ChartSink& chart, const RunOptions& options = {});

  const ModelState& State() const { return state_; }
  // What the last successful run's period folds onto the start of its curve, as a part of the
  // peak (a bound): the run keeps its 10240 ps, which a slow curve outlasts.
  long double FoldedPart() const { return folded_part_; }
  std::int32_t RunIndex() const { return state_.RunIndex; }
  long double Rho() const { return state_.Rho; }

  // Sets the run counter: -1 starts again with series 0, as the window's creation and its
  // "Clear chart" do.
  void SetRunIndex(std::int32_t index) { state_.RunIndex = index; }

  // Closes both files without reporting anything, as a failed run does.
  void CloseFiles() noexcept;

 private:
  void ReadInput(const RunOptions& options);
  void Synthesize(ChartSink& chart, const RunOptions& options);

  ModelState state_;
  long double folded_part_ = 0;
};

}  // namespace nlayer
