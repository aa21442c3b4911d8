// The first half of a run: the model from "input.dat" and the quantities derived from it.
#include <utility>
#include <vector>

#include "app/run.h"
#include "app/run_error.h"
#include "core/derived_model.h"
#include "io/input_reader.h"
#include "io/output_file.h"

namespace nlayer {

namespace {

std::vector<Layer> ReadLayers(InputReader& reader, std::int32_t count) {
  std::vector<Layer> layers;
  for (std::int32_t j = 0; j < count; ++j) {
    if (reader.AtEnd()) {
      // Every value still to come reads as 0, so the first missing layer has a zero
      // scattering coefficient and the run ends at its diffusion coefficient. Storing that
      // one layer is enough: a count far beyond the file allocates nothing more.
      layers.emplace_back();
      break;
    }
    Layer& layer = layers.emplace_back();
    layer.musp = reader.ReadReal();
    layer.mua = reader.ReadReal();
    layer.n = reader.ReadReal();
    layer.d = reader.ReadReal();
  }
  return layers;
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
  if (SameFile(options.input_path, options.output_path)) throw RunError(RunErrorKind::kOutputIsInput, std::string(kOutputIsInput));
  s.OutputFile.Create(options.output_path);
  s.InputFile.OpenRead(options.input_path);
  InputReader reader(s.InputFile);
  s.LayerCount = reader.ReadInteger();
  // A count of 0 leaves no top or bottom layer to derive the boundaries from.
  if (s.LayerCount <= 0) throw RunError(RunErrorKind::kRangeCheck, std::string(kRangeCheckError));
  const std::vector<Layer> layers = ReadLayers(reader, s.LayerCount);
  s.Rho = reader.ReadReal();
  s.InputFile.Close();
  // Derived afresh: what a fault leaves underived is 0, never a value of an earlier run.
  DerivedModel derived;
  derived.Form = SolutionForm::kWindow;
  const FaultKind fault = DeriveModel(layers, derived);
  s.Model = std::move(derived);
  s.OmegaTerm.resize(s.Model.DiffCoef.size());
  if (fault != FaultKind::kNone) ThrowFault(fault);
}

}  // namespace nlayer
