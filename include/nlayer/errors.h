// The two ways a computation of the library fails: a request that makes no sense
// (InvalidRequest, thrown before anything is computed) and a floating-point fault of the
// model's arithmetic (ModelError). Both carry data first; what() is an English sentence.
// Front ends put them into their own words (the window's German runtime messages, Python's
// exceptions).
#pragma once

#include <stdexcept>
#include <string>

#include "nlayer/medium.h"

namespace nlayer {

// The kind of floating-point fault that ended a computation. The model's arithmetic has no
// tests of its own: an operation that divides by zero, overflows the extended range or is
// undefined (0/0, inf - inf) ends the computation where it first happens. kNone is what a step
// of the arithmetic that raised nothing reports (inside the library); a ModelError never
// carries it.
enum class FaultKind { kNone, kDivisionByZero, kOverflow, kInvalidOperation };

// Where in the computation the fault happened.
enum class FaultStage {
  kDerivation,  // the diffusion parameters of the layers (D, z0, boundaries)
  kFrequency,   // the layered solution and its Hankel transform at one modulation frequency
  kTransform,   // packing the spectrum and the inverse Fourier transform
  kOutput,      // the peak, the dynamic-range test and the scaling of the samples
};

const char* FaultKindName(FaultKind kind);    // "division by zero", "overflow", "invalid operation" ("no fault")
const char* FaultStageName(FaultStage stage);  // "derivation", "frequency", "transform", "output"

class ModelError : public std::runtime_error {
 public:
  // `frequency_index` is the index of the modulation frequency in the request (0 for the
  // first), or -1 where the stage has none; `frequency_hz` its frequency.
  ModelError(FaultKind kind, FaultStage stage, int frequency_index, double frequency_hz);

  FaultKind kind() const { return kind_; }
  FaultStage stage() const { return stage_; }
  int frequency_index() const { return frequency_index_; }
  double frequency_hz() const { return frequency_hz_; }

 private:
  FaultKind kind_;
  FaultStage stage_;
  int frequency_index_;
  double frequency_hz_;
};

// A computation stopped at the request of its ComputeOptions::stop.
class Cancelled : public std::runtime_error {
 public:
  Cancelled() : std::runtime_error("the computation was cancelled") {}
};

// A medium, distance, time grid or frequency that cannot be computed; problem() says which
// value and why.
class InvalidRequest : public std::invalid_argument {
 public:
  explicit InvalidRequest(ModelProblem problem);
  const ModelProblem& problem() const { return problem_; }

 private:
  ModelProblem problem_;
};

}  // namespace nlayer
