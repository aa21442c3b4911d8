#include "io/model_file.h"

#include <string_view>
#include <system_error>

#include "io/input_reader.h"
#include "io/file_refusal.h"
#include "io/text_file.h"

namespace nlayer {

namespace {

std::string At(const ModelFile& file, long line) {
  return file.path.string() + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": ";
}

// The refusal of the reading rules in the reader's own words, naming the line to change.
[[noreturn]] void ThrowRefusal(const ModelFile& file, const FileRefusal& refusal, bool integer) {
  const long line = refusal.line();
  const std::string where = At(file, line);
  switch (refusal.kind()) {
    case RefusalKind::kTooLong: {
      const std::size_t limit = integer ? InputReader::kMaxIntegerToken : InputReader::kMaxRealToken;
      throw InputFileError(where + QuotedToken(refusal.token(), true) + " is longer than " + std::to_string(limit) +
                               " characters",
                           line, 0);
    }
    case RefusalKind::kOutOfRange:
      throw InputFileError(where + QuotedToken(refusal.token(), false) + " is beyond the extended range (about 1.19e4932)",
                           line, 0);
    case RefusalKind::kFileTooLong:
      throw InputFileError(At(file, 0) + "more than " + std::to_string(kMaxModelFileBytes >> 20) +
                               " MiB before the model's last value; a model file is a few lines of numbers",
                           0, 0);
    case RefusalKind::kNulByte:
      throw InputFileError(where + "a NUL byte; a model file is plain text", line, 0);
    case RefusalKind::kInvalidNumber:
      throw InputFileError(where + QuotedToken(refusal.token(), false) +
                               (integer ? " is not a layer count (a whole number)" : " is not a number"),
                           line, 0);
    case RefusalKind::kFileNotFound:
    case RefusalKind::kAccessDenied:
    case RefusalKind::kInvalidName:
    case RefusalKind::kTooManyOpenFiles:
    case RefusalKind::kIoError:
      break;
  }
  const int err = refusal.error_number();
  throw InputFileError(At(file, 0) + std::error_code(err, std::generic_category()).message(), 0, err);
}

long LineOf(const LayerLines& lines, const std::string& field) {
  if (field == "musp") return lines.musp;
  if (field == "mua") return lines.mua;
  if (field == "n") return lines.n;
  return lines.d;
}

}  // namespace

ModelFile ReadModelFile(const std::filesystem::path& path) {
  ModelFile model;
  model.path = path;
  TextFile file;
  InputReader reader(file);
  bool reading_count = true;
  try {
    file.OpenRead(path);
    model.layer_count = reader.ReadInteger();
    model.layer_count_line = reader.ValueLine();
    reading_count = false;
    // Without a count of at least one the reading rules give no place to the values that follow.
    if (model.layer_count <= 0) return model;
    for (std::int32_t j = 0; j < model.layer_count; ++j) {
      Layer layer;
      LayerLines lines;
      layer.musp = reader.ReadReal();
      lines.musp = reader.ValueLine();
      layer.mua = reader.ReadReal();
      lines.mua = reader.ValueLine();
      layer.n = reader.ReadReal();
      lines.n = reader.ValueLine();
      layer.d = reader.ReadReal();
      lines.d = reader.ValueLine();
      model.medium.layers.push_back(layer);
      model.lines.push_back(lines);
      // The file has ended: every further layer would be all zeros, so a count far beyond the
      // file allocates nothing more.
      if (lines.d == 0) break;
    }
    model.rho_mm = reader.ReadReal();
    model.rho_line = reader.ValueLine();
    file.Close();
  } catch (const FileRefusal& refusal) {
    ThrowRefusal(model, refusal, reading_count);
  }
  return model;
}

std::optional<std::string> ValidateModelFile(const ModelFile& file, bool need_rho) {
  if (file.layer_count <= 0) {
    if (file.layer_count_line == 0) return At(file, 0) + "the file is empty; it must start with the layer count";
    return At(file, file.layer_count_line) + "the layer count is " + std::to_string(file.layer_count) +
           "; it must be at least 1";
  }
  if (auto problem = file.medium.Validate()) {
    const std::size_t index = static_cast<std::size_t>(problem->layer - 1);
    const long line = problem->layer >= 1 && index < file.lines.size() ? LineOf(file.lines[index], problem->field)
                                                                        : file.layer_count_line;
    if (line == 0) {
      return At(file, 0) + problem->field + " of layer " + std::to_string(problem->layer) +
             " is missing (the file ends before it)";
    }
    return At(file, line) + problem->message;
  }
  if (need_rho) {
    if (file.rho_line == 0) {
      return At(file, 0) + "rho is missing (the file ends before it); give it on the last line or with --rho";
    }
    if (auto problem = ValidateDistance(file.rho_mm)) return At(file, file.rho_line) + problem->message;
  }
  return std::nullopt;
}

}  // namespace nlayer
