// The first half of a run: the model from "input.dat" and the quantities derived from it.
#include "kernels/fresnel.h"
#include "model/fp_guard.h"
#include "model/input_reader.h"
#include "model/model_state.h"
#include "model/run.h"
#include "model/run_error.h"

namespace nlayer {

namespace {

// The boundary reflection of an index of exactly 1.4 (the extended number nearest 1.4) is
// stored rather than computed: the value of the 480-point rule, rounded to 15 digits.
constexpr long double kIndexWithStoredReflection = 1.4L;
constexpr long double kStoredReflection = 0.493477582093524L;

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

long double BoundaryReflection(long double index) {
  return index == kIndexWithStoredReflection ? kStoredReflection : EffectiveReflection(index);
}

void DeriveParameters(ModelState& s) {
  const std::size_t layers = s.Musp.size();
  s.DiffCoef.resize(layers);
  s.OmegaTerm.resize(layers);
  for (std::size_t j = 0; j < layers; ++j) {
    Checked([&] { s.DiffCoef[j] = 1.0L / (3.0L * s.Musp[j]); });
  }
  const std::size_t bottom = layers - 1;
  Checked([&] {
    s.Reff = BoundaryReflection(s.RefrIndex[0]);
    s.ATop = (s.Reff + 1.0L) / (1.0L - s.Reff);
  });
  Checked([&] {
    s.Reff = BoundaryReflection(s.RefrIndex[bottom]);
    s.ABottom = (s.Reff + 1.0L) / (1.0L - s.Reff);
  });
  Checked([&] { s.Z0 = 1.0L / (s.Mua[0] + s.Musp[0]); });
  Checked([&] { s.ZbTop = (2.0L * s.ATop) / (3.0L * s.Musp[0]); });
  Checked([&] { s.ZbBottom = (2.0L * s.ABottom) / (3.0L * s.Musp[bottom]); });
}

}  // namespace

void ReadModel(const RunOptions& options) {
  ModelState& s = State;
  ++s.RunIndex;  // before anything can fail: a failed run still uses up its chart series
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
