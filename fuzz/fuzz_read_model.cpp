// The first half of a run on arbitrary bytes as "input.dat".
//
// Whatever the bytes, reading the model either succeeds with a complete, finite model or fails
// with one of the model's messages; only RunError may leave it. Either way the run has been
// counted and "reflectance.dat" has been re-created empty, and a success leaves the model file
// closed and the output open. The same bytes read a second time, now on the state the first
// reading left, must give the very same model: nothing of an earlier run may leak into a new
// one.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "app/model_state.h"
#include "app/run.h"
#include "io/run_error.h"

namespace nlayer::fuzz {
namespace {

// What a reading leaves: the message, or the model and the quantities derived from it.
struct Reading {
  std::string message;
  std::vector<long double> values;

  bool operator==(const Reading& other) const {
    if (message != other.message || values.size() != other.values.size()) return false;
    for (std::size_t i = 0; i < values.size(); ++i) {
      // Bit for bit: two NaNs would differ, and a NaN is a failure in its own right.
      if (!(values[i] == other.values[i]) || std::signbit(values[i]) != std::signbit(other.values[i])) return false;
    }
    return true;
  }
};

const char* const kValueNames[] = {"Z0", "ZbTop", "ZbBottom", "Reff", "ATop", "ABottom", "Rho"};

Reading ReadOnce() {
  Reading reading;
  const std::int32_t run_index = State.RunIndex;
  const std::string stale = "stale\r\n";
  WriteFile("reflectance.dat", reinterpret_cast<const std::uint8_t*>(stale.data()), stale.size());
  try {
    ReadModel();
  } catch (const RunError& e) {
    reading.message = e.what();
  }
  Require(State.RunIndex == run_index + 1, "the run was not counted");
  if (reading.message.empty()) {
    Require(!State.InputFile.IsOpen(), "the model file is still open after reading");
    Require(State.OutputFile.IsOpen(), "the output file is not open after reading");
  }
  State.InputFile.CloseQuietly();
  State.OutputFile.CloseQuietly();
  Require(ReadFile("reflectance.dat").empty(), "the output file was not emptied");
  if (!reading.message.empty()) {
    Require(IsModelFailureMessage(reading.message), "unexpected message \"" + reading.message + "\"");
    return reading;
  }

  const ModelState& s = State;
  const auto layers = static_cast<std::size_t>(s.LayerCount);
  Require(s.LayerCount >= 1, "a model of " + std::to_string(s.LayerCount) + " layers was accepted");
  for (const auto* array : {&s.Musp, &s.Mua, &s.RefrIndex, &s.Thickness, &s.DiffCoef, &s.OmegaTerm}) {
    Require(array->size() == layers, "a per-layer array has " + std::to_string(array->size()) + " elements for " +
                                         std::to_string(layers) + " layers");
  }
  const long double scalars[] = {s.Z0, s.ZbTop, s.ZbBottom, s.Reff, s.ATop, s.ABottom, s.Rho};
  for (std::size_t i = 0; i < std::size(scalars); ++i) {
    Require(std::isfinite(scalars[i]), std::string(kValueNames[i]) + " is not finite after a successful reading");
    reading.values.push_back(scalars[i]);
  }
  for (const auto* array : {&s.Musp, &s.Mua, &s.RefrIndex, &s.Thickness, &s.DiffCoef}) {
    for (long double value : *array) {
      Require(std::isfinite(value), "a per-layer value is not finite after a successful reading");
      reading.values.push_back(value);
    }
  }
  return reading;
}

}  // namespace
}  // namespace nlayer::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace nlayer::fuzz;
  WriteFile("input.dat", data, size);
  nlayer::State.RunIndex = -1;
  const Reading first = ReadOnce();
  const Reading second = ReadOnce();
  Require(second == first, "reading the same file twice gives two different outcomes (\"" + first.message +
                               "\", then \"" + second.message + "\")");
  return 0;
}
