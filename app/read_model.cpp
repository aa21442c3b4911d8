// The first half of a run: the model from "input.dat" and the quantities derived from it.
#include <vector>

#include "core/derived_model.h"
#include "io/input_reader.h"
#include "io/output_file.h"
#include "app/model_state.h"
#include "app/run.h"
#include "io/run_error.h"

namespace nlayer {

namespace {

void ReadLayers(InputReader& reader, ModelState& s) {
  for (auto* layer_array : {&s.Musp, &s.Mua, &s.RefrIndex, &s.Thickness}) layer_array->clear();
  for (std::int32_t j = 0; j < s.LayerCount; ++j) {
    if (reader.AtEnd()) {
      // Every value still to come reads as 0, so the first missing layer has a zero
      // scattering coefficient and the run ends at its diffusion coefficient. Storing that
      // one layer is enough: a count far beyond the file allocates nothing more.
      for (auto* layer_array : {&s.Musp, &s.Mua, &s.RefrIndex, &s.Thickness}) layer_array->push_back(0.0L);
      break;
    }
    s.Musp.push_back(reader.ReadReal());
    s.Mua.push_back(reader.ReadReal());
    s.RefrIndex.push_back(reader.ReadReal());
    s.Thickness.push_back(reader.ReadReal());
  }
}

void DeriveParameters(ModelState& s) {
  std::vector<Layer> layers(s.Musp.size());
  for (std::size_t j = 0; j < layers.size(); ++j) {
    layers[j] = {s.Musp[j], s.Mua[j], s.RefrIndex[j], s.Thickness[j]};
  }
  DerivedModel derived;
  const FpFault fault = DeriveModel(layers, derived);
  // What was derived before a fault stays in the state, as a run that ends there leaves it.
  StoreDerived(derived, s);
  if (fault != FpFault::kNone) ThrowFault(fault);
}

}  // namespace

void ReadModel(const RunOptions& options) {
  ModelState& s = State;
  ++s.RunIndex;  // before anything can fail: a failed run still uses up its chart series
  // Creating the output would truncate the model it is about to read (also through a
  // symbolic or a hard link).
  if (SameFile(options.input_path, options.output_path)) throw RunError(std::string(kOutputIsInput));
  s.OutputFile.Create(options.output_path);
  s.InputFile.OpenRead(options.input_path);
  InputReader reader(s.InputFile);
  s.LayerCount = reader.ReadInteger();
  // A count of 0 leaves no top or bottom layer to derive the boundaries from.
  if (s.LayerCount <= 0) throw RunError(std::string(kRangeCheckError));
  ReadLayers(reader, s);
  s.Rho = reader.ReadReal();
  s.InputFile.Close();
  DeriveParameters(s);
}

}  // namespace nlayer
