// One run of the model, as a click on "Start!" performs it: read "input.dat", derive the
// diffusion parameters, compute 513 frequencies, transform to the time domain, write
// "reflectance.dat" and append the curve to the chart series number State.RunIndex.
#pragma once

#include <filesystem>
#include <string_view>

#include "app/chart_sink.h"

namespace nlayer {

struct RunOptions {
  std::filesystem::path input_path = "input.dat";
  std::filesystem::path output_path = "reflectance.dat";
  unsigned threads = 0;  // worker threads for the frequency loop; 0 means all hardware threads
  // Test knob, not a user option: only frequencies k < computed_frequencies are computed, the
  // others enter the transform as 0. Lets fuzzers run whole computations quickly.
  int computed_frequencies = 513;
};

// The whole run on `State`. Any failure ends the run where it happens and leaves as a RunError
// carrying the runtime's message; both files are closed whatever happens, and what was done
// before the failure stays done (RunIndex has advanced, "reflectance.dat" keeps what reached it).
void RunModel(ChartSink& chart, const RunOptions& options = {});

// The message of a run whose output file is its model file: the run touches neither.
inline constexpr std::string_view kOutputIsInput = "Ausgabedatei ist die Eingabedatei";

// The message of a run whose detector is too far for the transform to give the curve's
// digits (the transform's rounding would exceed 1e-5 of the peak); the run's error carries the
// English explanation with rho and the longest distance the medium allows.
inline constexpr std::string_view kDistanceTooFar = "Abstand zu groß für dieses Medium";

// The first half of a run: advances RunIndex, refuses an output file that is the model file,
// creates the output file empty, reads the model
// and derives DiffCoef, Z0, ATop, ABottom, Reff, ZbTop and ZbBottom. Leaves the output file
// open (closed by the second half, or by RunModel on failure).
void ReadModel(const RunOptions& options = {});

// The second half: the frequency loop, the inverse transform, the peak, and the kept samples
// written to the output file and appended to chart series State.RunIndex; closes the file.
void SynthesizeTimeDomain(ChartSink& chart, const RunOptions& options = {});

}  // namespace nlayer
