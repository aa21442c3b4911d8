// The library's model-file reader (ReadModelFile) on arbitrary bytes, against the window's own
// reading of the same file (ReadModel): both follow one set of reading rules, so where the
// window reads a model the library must read the same numbers, and where the window refuses
// the file as input the library must refuse it too, naming a line within the file.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "app/run.h"
#include "app/run_error.h"
#include "fuzz/fuzz_support.h"
#include "io/model_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace nlayer::fuzz;
  WriteFile("input.dat", data, size);
  const long lines = 1 + static_cast<long>(std::count(data, data + size, '\n'));

  std::string window_message;
  nlayer::RunSession session;
  try {
    session.ReadModel();
  } catch (const nlayer::RunError& e) {
    window_message = e.what();
  }
  session.CloseFiles();

  std::string library_message;
  nlayer::ModelFile file;
  try {
    file = nlayer::ReadModelFile("input.dat");
  } catch (const nlayer::InputFileError& e) {
    library_message = e.what();
    Require(library_message.rfind("input.dat", 0) == 0, "the message does not name the file: " + library_message);
    Require(e.line() >= 0 && e.line() <= lines, "the message names line " + std::to_string(e.line()) + " of " +
                                                    std::to_string(lines));
  }

  // The window's input errors: a value that is not a number, or one beyond the extended range.
  const bool window_input_error = window_message == nlayer::kInvalidNumericInput || window_message == "Gleitkommaüberlauf";
  if (window_message == nlayer::kInvalidNumericInput) {
    Require(!library_message.empty(), "the window refuses the file as input, the library reads it");
  }
  if (!library_message.empty()) {
    Require(window_input_error, "the library refuses a file the window reads (\"" + window_message + "\"): " +
                                    library_message);
    return 0;
  }
  if (!window_message.empty()) return 0;  // a fault of the window's derivation: nothing to compare
  const nlayer::ModelState& s = session.State();
  const nlayer::DerivedModel& m = s.Model;
  Require(file.layer_count == s.LayerCount, "the layer counts differ");
  Require(file.medium.layers.size() == m.Musp.size(), "the numbers of layers read differ");
  for (std::size_t k = 0; k < m.Musp.size(); ++k) {
    const nlayer::Layer& l = file.medium.layers[k];
    Require(l.musp == m.Musp[k] && l.mua == m.Mua[k] && l.n == m.RefrIndex[k] && l.d == m.Thickness[k],
            "layer " + std::to_string(k + 1) + " reads differently");
    const nlayer::LayerLines& at = file.lines[k];
    for (long line : {at.musp, at.mua, at.n, at.d}) Require(line >= 0 && line <= lines, "a value's line lies outside the file");
  }
  Require(file.rho_mm == s.Rho, "rho reads differently");
  return 0;
}
