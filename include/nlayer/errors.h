// The two ways a computation of the library fails: a request that makes no sense
// (InvalidRequest, thrown before anything is computed) and a floating-point fault of the
// model's arithmetic (ModelError); and a computation stopped on request (Cancelled). They carry
// data first; what() is an English sentence. Front ends put them into their own words (the
// window's German runtime messages, Python's exceptions).
//
// Every error of the library, FitInputError (nlayer/fit.h) among them, is an nlayer::Error, so
// that one clause catches them all, and also the standard exception it has always been.
#pragma once

#include <stdexcept>
#include <string>

#include "nlayer/medium.h"

// What these headers declare is the library's interface: a shared libnlayer exports it, and
// hides its internals.
#pragma GCC visibility push(default)

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

// The base of the library's errors. Not a std::exception itself: each error derives from the
// standard exception of its kind as well, which a catch of std::exception finds once.
class Error {
 public:
  virtual ~Error() = default;
  // The English sentence, as the standard exception's what() gives it.
  virtual const char* what() const noexcept = 0;
};

const char* FaultKindName(FaultKind kind);    // "division by zero", "overflow", "invalid operation" ("no fault")
const char* FaultStageName(FaultStage stage);  // "derivation", "frequency", "transform", "output"

class ModelError : public std::runtime_error, public Error {
 public:
  const char* what() const noexcept override { return std::runtime_error::what(); }
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
class Cancelled : public std::runtime_error, public Error {
 public:
  Cancelled() : std::runtime_error("the computation was cancelled") {}
  const char* what() const noexcept override { return std::runtime_error::what(); }
};

// A medium, distance, time grid or frequency that cannot be computed; problem() says which
// value and why.
class InvalidRequest : public std::invalid_argument, public Error {
 public:
  explicit InvalidRequest(ModelProblem problem);
  const char* what() const noexcept override { return std::invalid_argument::what(); }
  const ModelProblem& problem() const { return problem_; }

 private:
  ModelProblem problem_;
};

}  // namespace nlayer

#pragma GCC visibility pop
