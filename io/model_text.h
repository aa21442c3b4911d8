// The text of a model file ("input.dat") written back after an edit: the file's own lines kept
// with their comments, only the values changed, so that a user's notes ("scalp", "skull", the
// source of a value) outlive a save. Pure functions of their arguments; the values are written
// as given, so a caller checks them by the reading rules first (io/input_reader.h).
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nlayer {

// One layer of an edited model: its values as they are to be written, in the file's order
// mus', mua, n, d, and the layer of the original file it was (0 the top), or none for a layer
// the edit added.
struct EditedLayer {
  std::optional<std::size_t> source;
  std::array<std::string, 4> values;
};

struct EditedModel {
  std::vector<EditedLayer> layers;  // from the top
  std::string rho;
};

// The model as a new file: the layer count, each layer's four values and rho, one per line,
// each followed by a comment naming it ("layer 2: mua (absorption) [1/mm]"), the comments in
// one column; "\n" line ends.
std::string FreshModelText(const EditedModel& model);

// `original`, a model file's text, with the values of `model`, line by line by the reading
// rules (one value per line, what follows a value on its line a comment):
//  - the layer count's and rho's lines, and every line of a layer kept from the original, stay
//    byte for byte where their value is unchanged; a changed value replaces the value's text
//    alone, its comment keeping its column where the new value leaves room;
//  - the lines of a layer the edit dropped go, together with the blank lines before them;
//  - a layer the edit added (or a value the original ended before) gets new lines, each with a
//    comment naming the layer and the value ("layer 5: mua (absorption) [1/mm]") in the column
//    of the file's first comment;
//  - the layers are written in the edit's order; blank lines before the count and all text
//    after rho (which no run reads) stay as they are; new lines end as the file's first line
//    does (CR LF or LF).
// The original's count is read by the reading rules; an original that holds no count at all is
// written as FreshModelText.
std::string RewriteModelText(std::string_view original, const EditedModel& model);

}  // namespace nlayer
