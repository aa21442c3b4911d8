// The first half of a run on arbitrary bytes as "input.dat".
//
// Whatever the bytes, reading the model either succeeds with a complete, finite model or fails
// with one of the model's messages; only RunError may leave it. Either way the run has been
// counted and "reflectance.dat" has been re-created empty, and a success leaves the model file
// closed and the output open. The same bytes read a second time, in the same session on the
// state the first reading left, must give the very same model: nothing of an earlier run may
// leak into a new one.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "app/run.h"
#include "app/run_error.h"
#include "fuzz/fuzz_support.h"

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

Reading ReadOnce(RunSession& session) {
  Reading reading;
  const ModelState& s = session.State();
  const std::int32_t run_index = s.RunIndex;
  const std::string stale = "stale\r\n";
  WriteFile("reflectance.dat", reinterpret_cast<const std::uint8_t*>(stale.data()), stale.size());
  try {
    session.ReadModel();
  } catch (const RunError& e) {
    reading.message = e.what();
  }
  Require(s.RunIndex == run_index + 1, "the run was not counted");
  if (reading.message.empty()) {
    Require(!s.InputFile.IsOpen(), "the model file is still open after reading");
    Require(s.OutputFile.IsOpen(), "the output file is not open after reading");
  }
  session.CloseFiles();
  Require(ReadFile("reflectance.dat").empty(), "the output file was not emptied");
  if (!reading.message.empty()) {
    Require(IsModelFailureMessage(reading.message), "unexpected message \"" + reading.message + "\"");
    return reading;
  }

  const DerivedModel& m = s.Model;
  const auto layers = static_cast<std::size_t>(s.LayerCount);
  Require(s.LayerCount >= 1, "a model of " + std::to_string(s.LayerCount) + " layers was accepted");
  for (const auto* array : {&m.Musp, &m.Mua, &m.RefrIndex, &m.Thickness, &m.DiffCoef, &s.OmegaTerm}) {
    Require(array->size() == layers, "a per-layer array has " + std::to_string(array->size()) + " elements for " +
                                         std::to_string(layers) + " layers");
  }
  const long double scalars[] = {m.Z0, m.ZbTop, m.ZbBottom, m.Reff, m.ATop, m.ABottom, s.Rho};
  for (std::size_t i = 0; i < std::size(scalars); ++i) {
    Require(std::isfinite(scalars[i]), std::string(kValueNames[i]) + " is not finite after a successful reading");
    reading.values.push_back(scalars[i]);
  }
  for (const auto* array : {&m.Musp, &m.Mua, &m.RefrIndex, &m.Thickness, &m.DiffCoef}) {
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
  nlayer::RunSession session;
  const Reading first = ReadOnce(session);
  const Reading second = ReadOnce(session);
  Require(second == first, "reading the same file twice gives two different outcomes (\"" + first.message +
                               "\", then \"" + second.message + "\")");
  return 0;
}
