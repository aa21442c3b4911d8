// The state of the window's run session: the model read from "input.dat", the quantities derived
// from it, the run counter, the two files, and the working values the frequency loop leaves
// behind. One instance, `State`, lives for the whole program at the application's edge; each
// run overwrites what it uses and nothing resets it between runs. The library computes from
// the DerivedModel value made of it, never from the state itself.
#pragma once

#include <cstdint>
#include <vector>

#include "core/derived_model.h"
#include "io/text_file.h"

namespace nlayer {

struct ModelState {
  std::int32_t LayerCount = 0;  // number of layers N, the first value of "input.dat"
  std::int32_t RunIndex = 0;    // number of the current run from 0; selects the chart series
  std::int32_t FreqIndex = 0;   // index k of the modulation frequency, 0 .. 512

  TextFile InputFile;   // "input.dat", open only while the model is read
  TextFile OutputFile;  // "reflectance.dat", open from the start of a run to its end

  long double Z0 = 0;        // depth of the isotropic source, mm
  long double ZbTop = 0;     // extrapolation length of the top surface, mm
  long double ZbBottom = 0;  // extrapolation length of the bottom surface, mm
  long double Reff = 0;      // effective reflection of the boundary last set up
  long double ATop = 0;      // boundary factor (1 + Reff) / (1 - Reff) of the top surface
  long double ABottom = 0;   // the same for the bottom surface
  long double Rho = 0;       // source-detector distance, mm
  long double ReflRe = 0;    // frequency-domain reflectance at Rho for the current frequency
  long double ReflIm = 0;
  long double Omega = 0;     // current angular modulation frequency, rad/s
  long double PeakAbs = 0;   // largest magnitude among the time samples of the run

  // Per layer, index 0 is the top layer.
  std::vector<long double> Musp;       // reduced scattering coefficient, 1/mm
  std::vector<long double> Mua;        // absorption coefficient, 1/mm
  std::vector<long double> RefrIndex;  // refractive index relative to the outside (index 1)
  std::vector<long double> Thickness;  // mm
  std::vector<long double> DiffCoef;   // diffusion coefficient 1 / (3 musp), mm
  std::vector<long double> OmegaTerm;  // omega n / (c D) for the current frequency, 1/mm^2
};

extern ModelState State;

// The derived model that the state's arrays and scalars describe, and the other way round: the
// derived quantities (D, boundaries, source depth) put into the state.
DerivedModel DerivedFromState(const ModelState& state);
void StoreDerived(const DerivedModel& model, ModelState& state);

}  // namespace nlayer
