// A model file ("input.dat") read for the library's users: the medium and the distance it
// describes, read by exactly the window's reading rules (io/input_reader.h), together with the
// line each value came from, so that every message can point at the line to change.
//
// Units: thicknesses and rho in mm, mus' and mua in 1/mm, n relative to the outside.
// Messages are English and start with the file's name as given, and its line where there is
// one: `input.dat:4: "1,4" is not a number`, `input.dat: No such file or directory`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "io/input_file_error.h"
#include "nlayer/medium.h"

namespace nlayer {

// The 1-based line of each value of a layer; 0 where the file ended before the value, which
// then reads as 0.
struct LayerLines {
  long musp = 0;
  long mua = 0;
  long n = 0;
  long d = 0;
};

struct ModelFile {
  std::filesystem::path path;     // as given to ReadModelFile; messages name it so
  std::int32_t layer_count = 0;   // as written; a count below 1 leaves `medium` without layers
  long layer_count_line = 0;
  // The layers from the top, with lines[i] the lines of layers[i]. A file that ends before its
  // last layer leaves the layers up to the first one it does not complete (its missing values
  // 0, which never validate), however large the count.
  Medium medium;
  std::vector<LayerLines> lines;
  long double rho_mm = 0;
  long rho_line = 0;  // 0: the file ends before rho
};

// Reads the model file at `path`. Reading does not judge the values: a negative mua or a
// missing rho are read as they stand, for ValidateModelFile. Throws InputFileError for a file
// that cannot be opened or read, a value that is not a number of its kind, is longer than the
// reading rules take or lies beyond the extended range, a NUL byte, or a file longer than
// kMaxModelFileBytes (io/text_file.h).
ModelFile ReadModelFile(const std::filesystem::path& path);

// The first problem of a model that was read, as one English line naming the file and the line
// of the offending value, e.g. `input.dat:7: mua of layer 2 is -0.01; it must be >= 0 and
// finite`; nothing when the medium (and with `need_rho` the distance) can be computed. The
// checks are the library's (Medium::Validate, ValidateDistance), in its order, after the count.
std::optional<std::string> ValidateModelFile(const ModelFile& file, bool need_rho);

}  // namespace nlayer
