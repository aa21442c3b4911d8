#include "nlayer/errors.h"

#include <charconv>
#include <string>

namespace nlayer {

const char* FaultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kNone:
      return "no fault";
    case FaultKind::kDivisionByZero:
      return "division by zero";
    case FaultKind::kOverflow:
      return "overflow";
    case FaultKind::kInvalidOperation:
      break;
  }
  return "invalid operation";
}

const char* FaultStageName(FaultStage stage) {
  switch (stage) {
    case FaultStage::kDerivation:
      return "derivation";
    case FaultStage::kFrequency:
      return "frequency";
    case FaultStage::kTransform:
      return "transform";
    case FaultStage::kOutput:
      break;
  }
  return "output";
}

namespace {

// What usually leads to each fault, so that a reader knows what to change.
std::string Explanation(FaultKind kind, FaultStage stage) {
  switch (stage) {
    case FaultStage::kDerivation:
      switch (kind) {
        case FaultKind::kDivisionByZero:
          return "a mus' of 0 in some layer, or mua + mus' = 0 in the top layer, leaves a diffusion "
                 "coefficient or the source depth undefined";
        case FaultKind::kOverflow:
          return "a value beyond the extended range (about 1.19e4932) entered the diffusion parameters";
        case FaultKind::kInvalidOperation:
          return "an undefined operation such as 0/0 or infinity - infinity arose in the diffusion parameters";
        case FaultKind::kNone:
          break;
      }
      break;
    case FaultStage::kFrequency:
      switch (kind) {
        case FaultKind::kDivisionByZero:
          return "a refractive index of 0, or a divisor of the layered solution that vanished";
        case FaultKind::kOverflow:
          // The library's form scales the growth of the hyperbolic functions out: no thickness
          // overflows, so only parameters far outside physical values get here.
          return "a term of the layered solution passed the extended range (about 1.19e4932), which only "
                 "parameters far outside physical values reach, such as mua / D = 3 mua mus' of a layer; give "
                 "musp and mua in 1/mm, d and rho in mm";
        case FaultKind::kInvalidOperation:
          return "an undefined operation such as 0/0, infinity - infinity or the root of a negative number "
                 "(a negative mua, for instance) arose in the layered solution";
        case FaultKind::kNone:
          break;
      }
      break;
    case FaultStage::kTransform:
      return "the spectrum does not fit the range of the double-precision transform";
    case FaultStage::kOutput:
      return kind == FaultKind::kInvalidOperation
                 ? "every time sample is 0, so the curve has no peak to measure the samples against"
                 : "a time sample of exactly 0 cannot be compared with the peak";
  }
  return "";
}

const char* StagePhrase(FaultStage stage) {
  switch (stage) {
    case FaultStage::kDerivation:
      return "while deriving the diffusion parameters";
    case FaultStage::kFrequency:
      return "in the layered solution";
    case FaultStage::kTransform:
      return "in the inverse Fourier transform";
    case FaultStage::kOutput:
      break;
  }
  return "in the time samples";
}

std::string Describe(FaultKind kind, FaultStage stage, int frequency_index, double frequency_hz) {
  std::string text = std::string("floating-point ") + FaultKindName(kind) + " " + StagePhrase(stage);
  if (frequency_index >= 0) {
    char hz[32];
    const auto end = std::to_chars(hz, hz + sizeof hz, frequency_hz, std::chars_format::general, 6).ptr;
    text += " at frequency index " + std::to_string(frequency_index) + " (" + std::string(hz, end) + " Hz)";
  }
  return text + ": " + Explanation(kind, stage);
}

}  // namespace

ModelError::ModelError(FaultKind kind, FaultStage stage, int frequency_index, double frequency_hz)
    : std::runtime_error(Describe(kind, stage, frequency_index, frequency_hz)),
      kind_(kind),
      stage_(stage),
      frequency_index_(frequency_index),
      frequency_hz_(frequency_hz) {}

InvalidRequest::InvalidRequest(ModelProblem problem)
    : std::invalid_argument(problem.message), problem_(std::move(problem)) {}

}  // namespace nlayer
