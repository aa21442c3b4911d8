// The first half of a run: the model from "input.dat" and the quantities derived from it.
#include <vector>

#include "app/run.h"
#include "app/run_error.h"
#include "core/derived_model.h"
#include "io/input_reader.h"
#include "io/output_file.h"

namespace nlayer {

namespace {

void ReadLayers(InputReader& reader, ModelState& s) {
  DerivedModel& m = s.Model;
  for (auto* layer_array : {&m.Musp, &m.Mua, &m.RefrIndex, &m.Thickness}) layer_array->clear();
  for (std::int32_t j = 0; j < s.LayerCount; ++j) {
    if (reader.AtEnd()) {
      // Every value still to come reads as 0, so the first missing layer has a zero
      // scattering coefficient and the run ends at its diffusion coefficient. Storing that
      // one layer is enough: a count far beyond the file allocates nothing more.
      for (auto* layer_array : {&m.Musp, &m.Mua, &m.RefrIndex, &m.Thickness}) layer_array->push_back(0.0L);
      break;
    }
    m.Musp.push_back(reader.ReadReal());
    m.Mua.push_back(reader.ReadReal());
    m.RefrIndex.push_back(reader.ReadReal());
    m.Thickness.push_back(reader.ReadReal());
  }
}

void DeriveParameters(ModelState& s) {
  const DerivedModel& read = s.Model;
  std::vector<Layer> layers(read.Musp.size());
  for (std::size_t j = 0; j < layers.size(); ++j) {
    layers[j] = {read.Musp[j], read.Mua[j], read.RefrIndex[j], read.Thickness[j]};
  }
  DerivedModel derived;
  const FpFault fault = DeriveModel(layers, derived);
  // What was derived before a fault stays in the state, as a run that ends there leaves it.
  s.Model = std::move(derived);
  s.OmegaTerm.resize(s.Model.DiffCoef.size());
  if (fault != FpFault::kNone) ThrowFault(fault);
}

}  // namespace

void RunSession::ReadModel(const RunOptions& options) {
  try {
    ReadInput(options);
  } catch (const FileRefusal& refusal) {
    ThrowRunError(refusal);
  }
}

void RunSession::ReadInput(const RunOptions& options) {
  ModelState& s = state_;
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
