#include "io/model_text.h"

#include <algorithm>
#include <cstdint>

#include "io/input_reader.h"

namespace nlayer {

namespace {

constexpr std::size_t kFields = 4;
const char* const kFieldComments[kFields] = {"mus' (reduced scattering) [1/mm]", "mua (absorption) [1/mm]",
                                             "n (refractive index)", "d (thickness) [mm]"};
const char* const kRhoComment = "rho (source-detector distance) [mm]";
// Where a file has no comment to line up with: the blanks between a value and its comment.
constexpr std::size_t kCommentGap = 3;

bool IsBlankOrControl(unsigned char byte) { return byte <= 32; }
constexpr char kEndOfFileMark = 26;

std::string LayerComment(std::size_t layer, std::size_t field) {
  return "layer " + std::to_string(layer + 1) + ": " + kFieldComments[field];
}

// A value's line as the reading rules see it: [chunk_begin, end) holds the blank lines before
// it and the line itself with its line end; the value's token is [token_begin, token_end).
struct ValueLine {
  std::size_t chunk_begin = 0;
  std::size_t line_begin = 0;
  std::size_t token_begin = 0;
  std::size_t token_end = 0;
  std::size_t end = 0;
};

// The first `limit` value lines of `text`, fewer where the text ends before.
std::vector<ValueLine> ValueLines(std::string_view text, std::size_t limit) {
  std::size_t stop = text.find(kEndOfFileMark);
  if (stop == std::string_view::npos) stop = text.size();
  std::vector<ValueLine> lines;
  std::size_t at = 0;
  while (lines.size() < limit) {
    ValueLine line;
    line.chunk_begin = at;
    while (at < stop && IsBlankOrControl(static_cast<unsigned char>(text[at]))) ++at;
    if (at >= stop) break;
    const std::size_t newline = text.rfind('\n', at);
    line.line_begin = newline == std::string_view::npos || newline < line.chunk_begin ? line.chunk_begin : newline + 1;
    line.token_begin = at;
    while (at < stop && !IsBlankOrControl(static_cast<unsigned char>(text[at]))) ++at;
    line.token_end = at;
    const std::size_t end = text.find('\n', at);
    at = end == std::string_view::npos ? text.size() : end + 1;
    line.end = at;
    lines.push_back(line);
  }
  return lines;
}

class Writer {
 public:
  Writer(std::string_view original, std::string eol, std::size_t comment_column)
      : original_(original), eol_(std::move(eol)), comment_column_(comment_column) {}

  // The original's value line with `value` in place of its token.
  void Kept(const ValueLine& line, const std::string& value) {
    EndLine();
    const std::string_view token = original_.substr(line.token_begin, line.token_end - line.token_begin);
    std::string_view rest = original_.substr(line.token_end, line.end - line.token_end);
    text_.append(original_.substr(line.chunk_begin, line.token_begin - line.chunk_begin));
    text_ += value;
    if (value != token) {
      // Blanks up to a comment shrink or grow so that the comment stays in its column.
      const std::size_t blanks = rest.find_first_not_of(' ');
      const bool comment = blanks != std::string_view::npos && blanks > 0 && rest[blanks] != '\r' && rest[blanks] != '\n';
      if (comment) {
        const std::size_t column_end = token.size() + blanks;
        text_.append(column_end > value.size() + 1 ? column_end - value.size() : 1, ' ');
        rest.remove_prefix(blanks);
      }
    }
    text_.append(rest);
  }

  void Fresh(const std::string& value, const std::string& comment) {
    EndLine();
    text_ += value;
    text_.append(comment_column_ >= value.size() + 1 ? comment_column_ - value.size() : kCommentGap, ' ');
    text_ += comment + eol_;
  }

  void Verbatim(std::string_view part) { text_.append(part); }

  std::string Take() { return std::move(text_); }

 private:
  // A kept last line without its line end gets one before anything follows it.
  void EndLine() {
    if (!text_.empty() && text_.back() != '\n') text_ += eol_;
  }

  std::string_view original_;
  std::string eol_;
  std::size_t comment_column_;
  std::string text_;
};

}  // namespace

std::string FreshModelText(const EditedModel& model) {
  std::vector<std::pair<std::string, std::string>> lines;  // value, comment
  lines.emplace_back(std::to_string(model.layers.size()), "layers");
  for (std::size_t r = 0; r < model.layers.size(); ++r) {
    for (std::size_t c = 0; c < kFields; ++c) lines.emplace_back(model.layers[r].values[c], LayerComment(r, c));
  }
  lines.emplace_back(model.rho, kRhoComment);
  std::size_t width = 0;
  for (const auto& line : lines) width = std::max(width, line.first.size());
  std::string text;
  for (const auto& [value, comment] : lines) {
    // The blanks after the value make the rest of the line a comment.
    text += value + std::string(width + kCommentGap - value.size(), ' ') + comment + '\n';
  }
  return text;
}

std::string RewriteModelText(std::string_view original, const EditedModel& model) {
  const std::vector<ValueLine> head = ValueLines(original, 1);
  std::int32_t count = 0;
  if (head.empty() ||
      !ParseIntegerToken(original.substr(head[0].token_begin, head[0].token_end - head[0].token_begin), count)) {
    return FreshModelText(model);
  }
  const std::size_t layers = count > 0 ? static_cast<std::size_t>(count) : 0;
  const std::vector<ValueLine> lines = ValueLines(original, 2 + kFields * layers);

  const ValueLine& first = lines[0];
  const std::size_t first_end = original.find('\n', first.token_begin);
  const std::string eol = first_end != std::string_view::npos && first_end > 0 && original[first_end - 1] == '\r'
                              ? "\r\n"
                              : "\n";
  // The column of the count's comment, where new lines put theirs.
  std::size_t column = 0;
  const std::size_t comment = original.find_first_not_of(" \t", first.token_end);
  if (comment != std::string_view::npos && comment < first.end && original[comment] != '\r' && original[comment] != '\n') {
    column = comment - first.line_begin;
  }
  Writer writer(original, eol, column);

  writer.Kept(first, std::to_string(model.layers.size()));
  for (std::size_t r = 0; r < model.layers.size(); ++r) {
    const EditedLayer& layer = model.layers[r];
    for (std::size_t c = 0; c < kFields; ++c) {
      const std::size_t index = layer.source ? 1 + kFields * *layer.source + c : 0;
      if (layer.source && *layer.source < layers && index < lines.size()) {
        writer.Kept(lines[index], layer.values[c]);
      } else {
        writer.Fresh(layer.values[c], LayerComment(r, c));
      }
    }
  }
  const std::size_t rho_index = 1 + kFields * layers;
  if (rho_index < lines.size()) {
    writer.Kept(lines[rho_index], model.rho);
    writer.Verbatim(original.substr(lines[rho_index].end));
  } else {
    writer.Fresh(model.rho, kRhoComment);
  }
  return writer.Take();
}

}  // namespace nlayer
