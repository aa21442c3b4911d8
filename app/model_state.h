// The state of one run session of the window: the model read from "input.dat" with the
// quantities derived from it, the run counter, the two files, and the working values the
// frequency loop leaves behind. A RunSession (app/run.h) owns it; each run overwrites what it
// uses and nothing resets it between runs but the session's own SetRunIndex.
#pragma once

#include <cstdint>
#include <vector>

#include "core/derived_model.h"
#include "io/text_file.h"

namespace nlayer {

struct ModelState {
  std::int32_t LayerCount = 0;  // number of layers N, the first value of "input.dat"
  std::int32_t RunIndex = -1;   // number of the current run from 0; selects the chart series
  std::int32_t FreqIndex = 0;   // index k of the modulation frequency, 0 .. 512

  TextFile InputFile;   // "input.dat", open only while the model is read
  TextFile OutputFile;  // "reflectance.dat", open from the start of a run to its end

  // The layers as read, index 0 the top layer, with the diffusion coefficients, boundaries and
  // source depth derived from them: what the library computes from, as it stands.
  DerivedModel Model;

  long double Rho = 0;       // source-detector distance, mm
  long double ReflRe = 0;    // frequency-domain reflectance at Rho for the current frequency
  long double ReflIm = 0;
  long double Omega = 0;     // current angular modulation frequency, rad/s
  long double PeakAbs = 0;   // largest magnitude among the time samples of the run
  std::vector<long double> OmegaTerm;  // omega n / (c D) per layer for the current frequency, 1/mm^2
};

}  // namespace nlayer
