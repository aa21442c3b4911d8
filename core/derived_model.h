// The diffusion parameters derived from a medium: a value computed once per model and passed
// down the frequency loop, so that the numerics hold no state of their own.
#pragma once

#include <span>
#include <vector>

#include "core/fp_guard.h"
#include "nlayer/medium.h"

namespace nlayer {

// Which arithmetic evaluates the layered solution (core/layered_solution.h).
//  - kScaled, the library's: the decay constants from the stable root at every frequency, and
//    the hyperbolic functions with their exponential growth factored out, so that no thickness
//    overflows (an infinite bottom layer included).
//  - kWindow, the window's run (and plain nlayer-run): the window's root from its first
//    frequency on and the unscaled hyperbolic functions, whose overflow on a too-thick stack is
//    the run's specified refusal. Its curves are those the window always wrote, to the last bit.
enum class SolutionForm { kScaled, kWindow };

struct DerivedModel {
  // Per layer, index 0 is the top layer.
  std::vector<long double> Musp;       // reduced scattering coefficient, 1/mm
  std::vector<long double> Mua;        // absorption coefficient, 1/mm
  std::vector<long double> RefrIndex;  // refractive index relative to the outside
  std::vector<long double> Thickness;  // mm
  std::vector<long double> DiffCoef;   // diffusion coefficient 1 / (3 musp), mm

  long double Z0 = 0;        // depth of the isotropic source 1 / (mua + musp) of the top layer, mm
  long double ZbTop = 0;     // extrapolation length 2 A / (3 musp) of the top surface, mm
  long double ZbBottom = 0;  // the same for the bottom surface, mm
  long double ATop = 0;      // boundary factor (1 + Reff) / (1 - Reff) of the top surface
  long double ABottom = 0;   // the same for the bottom surface
  long double Reff = 0;      // effective reflection of the boundary set up last (the bottom one)
  // Not derived: the caller chooses it, DeriveModel leaves it as it is.
  SolutionForm Form = SolutionForm::kScaled;

  int LayerCount() const { return static_cast<int>(Musp.size()); }
};

// The effective reflection of a boundary with relative index `index`. The index 1.4, the usual
// one of tissue, has its value stored (that of the 480-point rule, to 15 digits) rather than
// computed; the double nearest 1.4, as a caller of the library passes it, is the same index.
long double BoundaryReflection(long double index);

// Derives the parameters of at least one layer in the model's order of steps, each a checked
// step: on the first fault, returns it and leaves `model` with what was derived before it.
// Nothing is validated: the window's run derives whatever the file holds.
[[nodiscard]] FaultKind DeriveModel(std::span<const Layer> layers, DerivedModel& model);

}  // namespace nlayer
