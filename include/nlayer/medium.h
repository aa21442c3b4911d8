// The layered medium a model is computed for, and the checks that it makes physical sense.
#pragma once

#include <optional>
#include <string>
#include <vector>

// What these headers declare is the library's interface: a shared libnlayer exports it, and
// hides its internals.
#pragma GCC visibility push(default)

namespace nlayer {

// One plane-parallel layer. Values are extended reals so that a model read from a file is
// computed from exactly the numbers the file holds; a double converts without loss.
struct Layer {
  long double musp = 0;  // reduced scattering coefficient mus', 1/mm, > 0
  long double mua = 0;   // absorption coefficient, 1/mm, >= 0
  long double n = 0;     // refractive index relative to the outside (index 1), > 0
  long double d = 0;     // thickness, mm, > 0 and finite, of the bottom layer only with N >= 2;
                         // the bottom layer's may be infinite (a layer without end)
};

// What is wrong with a model, as data first: which layer (1 for the top, 0 when the problem is
// not a layer's), which field ("musp", "mua", "n", "d", "rho", "layers"), the offending value,
// and a sentence that says it, e.g. "mua of layer 2 is -0.01; it must be >= 0".
struct ModelProblem {
  int layer = 0;
  std::string field;
  long double value = 0;
  std::string message;
};

// A stack of layers from the top (which holds source and detector) down to the bottom one.
struct Medium {
  std::vector<Layer> layers;

  // The first problem found, layer by layer from the top and within a layer in the order
  // musp, mua, n, d; nothing when the medium can be computed as a physical model. A single
  // layer is a half-space: its thickness is not checked. The bottom layer of a stack may be
  // infinitely thick (d = infinity).
  std::optional<ModelProblem> Validate() const;
};

// The problem of a source-detector distance: it must be finite and > 0 (mm).
std::optional<ModelProblem> ValidateDistance(long double rho_mm);

}  // namespace nlayer

#pragma GCC visibility pop
