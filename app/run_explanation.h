// What a failed run or an odd model means in plain English, for the window's error box details
// and for nlayer-run: the runtime's German message names the kind of failure only, the model file
// read with the line of every value (io/model_file.h) tells where it comes from.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/run.h"
#include "app/run_error.h"
#include "io/model_file.h"

namespace nlayer {

// The model file as a reader apart from the run saw it: the model, or why it could not be read.
// Neither is set for a path that exists but is no regular file (a pipe, a device), which only
// the run may read: a second reader would take its bytes.
struct ModelReading {
  std::optional<ModelFile> model;
  std::optional<InputFileError> error;
  std::string special;  // what such a path is ("a pipe (FIFO)", "a character device", ...), else empty
};

// ReadModelFile without throwing, as ModelReading describes.
ModelReading ReadModelForExplanation(const std::filesystem::path& path);

// One English line on the failed run that ended with `error`: what was wrong, where (file, line, value) and what to change, e.g.
// `input.dat:6: musp of layer 2 is 0, and the diffusion coefficient D = 1/(3 musp) divides by
// it; give the layer a reduced scattering coefficient > 0 (1/mm)`. `reading` is the model file
// the run read (options.input_path), `options` names the files of the run. Nothing when the
// cause cannot be told from these. A pure function: it reads no file.
std::optional<std::string> ExplainRunFailure(const RunError& error, const ModelReading& reading,
                                             const RunOptions& options);

// The warnings of a model that the reading rules accept and that may even compute, but that has
// no physical meaning: a negative musp, mua or n, a thickness <= 0 in a stack of two or more
// layers (a single layer is a half-space), rho <= 0 or missing. One English line each, without a
// "warning: " prefix, layer by layer from the top, e.g. `input.dat:7: mua of layer 2 is -0.01; a
// negative absorption has no physical meaning`. A pure function.
std::vector<std::string> ModelWarnings(const ModelFile& model);

// What a run of a sound model is told about how it computes, with nothing for the user to change:
// at a distance where the window's 960-point rule loses digits, that the curve is computed on
// panels of the extended-precision rule instead (and so differs from earlier versions'). One
// English line each, without a prefix. Not warnings: the window keeps them out of its red note.
std::vector<std::string> ModelNotes(const ModelFile& model);

// The warning of a run whose curve had not faded by the end of its 10240 ps period, where what
// folds back onto the curve's start (`folded_part` of its peak, RunSession::FoldedPart) exceeds
// 1e-5 of the peak; nothing below that.
std::optional<std::string> FoldWarning(long double folded_part);

}  // namespace nlayer
