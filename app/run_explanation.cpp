#include "app/run_explanation.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <system_error>

#include "core/derived_model.h"
#include "core/hankel.h"
#include "core/number_text.h"
#include "app/run_error.h"

namespace nlayer {

namespace {

// The extended range ends near e^11356; the layer recursion's final division squares what the
// layers multiply.
constexpr long double kExtendedExponent = 11356;
// The highest spatial frequency of the Hankel transform, in units of the top layer's musp.
constexpr long double kSpatialFrequencyPerMusp = 30;
// Values this far from 1 in a model make the curve 0 everywhere or overflow, whatever else
// the model holds.
constexpr long double kExtremeValue = 1e300L;
constexpr long double kExtremeDecades = 12;

std::string Where(const ModelFile& model, long line) {
  return model.path.string() + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": ";
}

std::string Text(long double value) { return NumberText(value); }

// One value of the model as the file holds it.
struct Value {
  int layer = 0;  // 1 for the top layer; 0 for rho
  const char* field = "";
  long double value = 0;
  long line = 0;  // 0: the file ends before it, and it reads as 0
};

Value LayerValue(const ModelFile& model, std::size_t index, const char* field) {
  const Layer& layer = model.medium.layers[index];
  const LayerLines& lines = model.lines[index];
  const std::string_view name = field;
  const int number = static_cast<int>(index) + 1;
  if (name == "musp") return {number, field, layer.musp, lines.musp};
  if (name == "mua") return {number, field, layer.mua, lines.mua};
  if (name == "n") return {number, field, layer.n, lines.n};
  return {number, field, layer.d, lines.d};
}

std::vector<Value> AllValues(const ModelFile& model) {
  std::vector<Value> values;
  for (std::size_t i = 0; i < model.medium.layers.size(); ++i) {
    for (const char* field : {"musp", "mua", "n", "d"}) values.push_back(LayerValue(model, i, field));
  }
  if (model.layer_count >= 1) values.push_back({0, "rho", model.rho_mm, model.rho_line});
  return values;
}

std::string Named(const Value& v) {
  return v.layer == 0 ? std::string(v.field) : std::string(v.field) + " of layer " + std::to_string(v.layer);
}

// The first value the file ends before, when the count promises more than the file holds.
std::optional<Value> FirstMissing(const ModelFile& model) {
  for (const Value& v : AllValues(model)) {
    if (v.line == 0 && v.layer != 0) return v;
  }
  if (static_cast<std::size_t>(model.layer_count) > model.medium.layers.size()) {
    return Value{static_cast<int>(model.medium.layers.size()) + 1, "musp", 0, 0};
  }
  return std::nullopt;
}

// The run computes with values the file does not hold: the count promises more layers than it
// describes. `consequence` says how that fails.
std::string EndsEarly(const ModelFile& model, const char* consequence) {
  std::string text = Where(model, model.layer_count_line) + "the layer count is " +
                     std::to_string(model.layer_count) + ", but the file ends before " +
                     Named(FirstMissing(model).value_or(Value{1, "musp", 0, 0}));
  // What the file meant as rho, say, has become a layer's value.
  const std::vector<Value> values = AllValues(model);
  const auto last = std::find_if(values.rbegin(), values.rend(), [](const Value& v) { return v.line != 0; });
  if (last != values.rend()) {
    text += " (its last value, " + Text(last->value) + " on line " + std::to_string(last->line) + ", is read as " +
            Named(*last) + ")";
  }
  return text + "; the values it lacks read as 0, and " + consequence +
         ". Give every layer its four values (musp, mua, n, d) and then rho, or make the count the number of "
         "layers the file describes";
}

// True when the run computes with values the file does not hold: a layer that the count
// promises is missing in part or whole.
bool EndsWithinLayers(const ModelFile& model) {
  if (static_cast<std::size_t>(model.layer_count) > model.medium.layers.size()) return true;
  for (const LayerLines& lines : model.lines) {
    if (lines.musp == 0 || lines.mua == 0 || lines.n == 0) return true;
  }
  return false;
}

std::optional<std::string> ExplainDivisionByZero(const ModelFile& model) {
  const std::size_t count = model.medium.layers.size();
  // In the order the run derives its parameters: every layer's D = 1/(3 musp), the boundary
  // reflections of the top and bottom index, the source depth 1/(mua + musp) of the top layer,
  // then the frequency terms of every layer's index.
  for (std::size_t i = 0; i < count; ++i) {
    const Value musp = LayerValue(model, i, "musp");
    if (musp.value != 0) continue;
    if (musp.line == 0) return EndsEarly(model, "a musp of 0 divides D = 1/(3 musp) by zero");
    return Where(model, musp.line) + Named(musp) +
           " is 0, and the diffusion coefficient D = 1/(3 musp) divides by it; give the layer a reduced "
           "scattering coefficient > 0 (1/mm)";
  }
  if (static_cast<std::size_t>(model.layer_count) > count) {
    return EndsEarly(model, "a musp of 0 divides D = 1/(3 musp) by zero");
  }
  if (count == 0) return std::nullopt;
  std::vector<std::size_t> index_order = {0, count - 1};
  for (std::size_t i = 1; i + 1 < count; ++i) index_order.push_back(i);
  for (std::size_t i : index_order) {
    const Value n = LayerValue(model, i, "n");
    if (n.value != 0) continue;
    if (n.line == 0) return EndsEarly(model, "an index n of 0 divides by zero");
    return Where(model, n.line) + Named(n) +
           " is 0, and the model divides by the refractive index; give the layer its index relative to the "
           "outside (> 0, e.g. 1.4)";
  }
  const Value mua = LayerValue(model, 0, "mua");
  const Value musp = LayerValue(model, 0, "musp");
  if (mua.value + musp.value == 0) {
    return Where(model, mua.line) + "mua of layer 1 is " + Text(mua.value) + " and cancels its musp of " +
           Text(musp.value) + " (line " + std::to_string(musp.line) +
           "), so the source depth 1/(mua + musp) divides by zero; mua must be >= 0";
  }
  return std::nullopt;
}

// The value farthest from 1 by orders of magnitude, if it is extreme enough to decide a run.
std::optional<Value> MostExtreme(const ModelFile& model, long double beyond) {
  std::optional<Value> extreme;
  long double decades = 0;
  for (const Value& v : AllValues(model)) {
    if (v.value == 0 || !std::isfinite(v.value)) continue;
    const long double d = std::fabs(std::log10(std::fabs(v.value)));
    if (d > decades) {
      decades = d;
      extreme = v;
    }
  }
  if (!extreme || (std::fabs(extreme->value) < beyond && std::fabs(extreme->value) > 1 / beyond)) return std::nullopt;
  return extreme;
}

std::string ThickStack(const ModelFile& model) {
  const auto& layers = model.medium.layers;
  const long double s = kSpatialFrequencyPerMusp * layers[0].musp;
  long double total = 0;
  std::string list;
  for (std::size_t i = 0; i < layers.size(); ++i) {
    total += layers[i].d;
    list += (i > 0 ? ", " : "") + Text(layers[i].d) + " mm";
    if (model.lines[i].d > 0) list += " (line " + std::to_string(model.lines[i].d) + ")";
  }
  // Two significant digits: the growth per layer is e^(s d) only approximately.
  const long double limit = kExtendedExponent / (2 * s);
  const long double scale = std::pow(10.0L, std::floor(std::log10(limit)) - 1);
  return Where(model, 0) + "the stack of " + std::to_string(layers.size()) + " layers is " + Text(total) +
         " mm thick in all (d = " + list + "); at the highest spatial frequency, 30 musp of layer 1 = " + Text(s) +
         "/mm, the layer recursion grows about as e^(" + Text(s) +
         "/mm x d) and passes the extended range (e^11356) beyond about " + Text(std::round(limit / scale) * scale) +
         " mm in all; make the layers thinner (light never reaches far below the detector's depth). Table mode "
         "(--csv), Python and the fits compute such a stack, any thickness and a bottom layer without end "
         "included";
}

std::optional<std::string> ExplainOverflow(const ModelFile& model) {
  if (auto extreme = MostExtreme(model, kExtremeValue)) {
    return Where(model, extreme->line) + Named(*extreme) + " is " + Text(extreme->value) +
           ", too large for the model's arithmetic; give musp and mua in 1/mm, d and rho in mm";
  }
  if (model.medium.layers.size() >= 2 && model.medium.layers[0].musp > 0) return ThickStack(model);
  return std::nullopt;
}

std::optional<std::string> ExplainInvalidOperation(const ModelFile& model) {
  const std::size_t count = model.medium.layers.size();
  for (std::size_t i = 0; i < count; ++i) {
    const Value n = LayerValue(model, i, "n");
    if (n.value < 0) {
      return Where(model, n.line) + Named(n) +
             " is " + Text(n.value) + "; a negative refractive index leads to an undefined operation; give the "
             "layer its index (> 0, e.g. 1.4)";
    }
    if (i == 0) continue;  // the top layer computes with a negative musp or mua, see ModelWarnings
    for (const char* field : {"musp", "mua"}) {
      const Value v = LayerValue(model, i, field);
      if (v.value < 0) {
        return Where(model, v.line) + Named(v) + " is " + Text(v.value) +
               "; a negative value below the top layer leads to an undefined operation (such as 0/0); it must "
               "be >= 0";
      }
    }
  }
  const long double decades = std::pow(10.0L, kExtremeDecades);
  if (auto extreme = MostExtreme(model, decades)) {
    return Where(model, extreme->line) + Named(*extreme) + " is " + Text(extreme->value) +
           ", so far from a tissue's value that the curve is 0 everywhere and its logarithm undefined; give "
           "musp and mua in 1/mm, d and rho in mm, n relative to the outside (e.g. 1.4)";
  }
  const std::vector<std::string> warnings = ModelWarnings(model);
  if (!warnings.empty()) return warnings.front() + " (the likely cause)";
  return std::nullopt;
}

std::string SystemReason(int err) { return std::error_code(err, std::generic_category()).message(); }

std::string ExplainInputFileError(const InputFileError& error, const RunOptions& options) {
  std::string text = error.what();
  switch (error.error_number()) {
    case ENOENT: {
      std::error_code ec;
      const std::filesystem::path full = std::filesystem::absolute(options.input_path, ec);
      return text + "; the run reads the model from " + (ec ? options.input_path : full).string() +
             ": create it there, or start in the folder that holds it";
    }
    case EACCES:
    case EPERM:
      return text + "; allow reading the file";
    case EISDIR:
      return text + "; a folder has the model file's name, and the model must be a file";
    default:
      return text;
  }
}

std::string ExplainOutputFileError(int err, const RunOptions& options) {
  const std::string text = options.output_path.string() + ": " + SystemReason(err);
  switch (err) {
    case EAGAIN:
      return text + "; another run is writing this file at the moment and holds it locked: wait for it to end, "
                    "or write elsewhere";
    case ENOSPC:
      return text + "; the disk is full: make room and run again (the file keeps the whole lines written before)";
    case EISDIR:
      return text + "; a folder has the output file's name: rename or remove it";
    case EACCES:
    case EPERM:
    case EROFS:
      return text + "; the file or its folder may not be written: allow writing, or write elsewhere";
    case ENOENT:
      return text + "; its folder does not exist";
    default:
      return text;
  }
}

// A hint for a value the reading rules refuse, after ReadModelFile's message.
std::string ExplainUnreadable(const InputFileError& error) {
  const std::string text = error.what();
  if (text.find("NUL byte") != std::string::npos) return text + ": save the model as ASCII or UTF-8, not UTF-16";
  if (text.find("before the model's last value") != std::string::npos) return text;
  if (text.find("is not a layer count") != std::string::npos) {
    return text + "; the first value of the file is the number of layers, such as 2";
  }
  if (text.find("is longer than") != std::string::npos) return text + "; shorten the value";
  if (text.find("beyond the extended range") != std::string::npos) {
    return text + "; give musp and mua in 1/mm, d and rho in mm";
  }
  return text + "; write each value alone at the start of its line, with \".\" as the decimal point (1.4, "
                "14e-1) and a blank before any comment";
}

}  // namespace

ModelReading ReadModelForExplanation(const std::filesystem::path& path) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(path, ec);
  if (!ec) {
    ModelReading special;
    if (std::filesystem::is_fifo(status)) special.special = "a pipe (FIFO)";
    if (std::filesystem::is_socket(status)) special.special = "a socket";
    if (std::filesystem::is_character_file(status)) special.special = "a character device";
    if (std::filesystem::is_block_file(status)) special.special = "a block device";
    if (!special.special.empty()) return special;
  }
  try {
    return {ReadModelFile(path), std::nullopt, {}};
  } catch (const InputFileError& e) {
    return {std::nullopt, e, {}};
  }
}

std::optional<std::string> ExplainRunFailure(const RunError& error, const ModelReading& reading,
                                             const RunOptions& options) {
  switch (error.kind()) {
    case RunErrorKind::kListIndex:
      return "the chart holds eight curves, one per run (a failed run uses up its series too); \"Clear chart\" in "
             "the chart's right-click menu empties it, and the next run draws into the first series again";
    case RunErrorKind::kOutputIsInput:
      return options.output_path.string() + " is the model file " + options.input_path.string() +
             " itself (also through a link); writing the curve there would destroy the model: name another output "
             "file";
    default:
      break;
  }
  if (!reading.special.empty()) {
    return options.input_path.string() + " is " + reading.special +
           ", not a file: the run read its bytes once, and they cannot be read again to name the value or line "
           "refused; save the model to a file and run on that to see them";
  }
  if (error.kind() == RunErrorKind::kFile) {
    if (reading.error && reading.error->error_number() != 0) return ExplainInputFileError(*reading.error, options);
    // The model reads: the failing file was the output, which a run opens first.
    if (reading.model) return ExplainOutputFileError(error.error_number(), options);
    return std::nullopt;
  }
  if (reading.error) {
    if (reading.error->error_number() != 0) return std::nullopt;  // the file changed since the run
    return ExplainUnreadable(*reading.error);
  }
  if (!reading.model) return std::nullopt;
  const ModelFile& model = *reading.model;
  if (error.kind() == RunErrorKind::kRangeCheck) {
    if (auto problem = ValidateModelFile(model, false)) {
      if (model.layer_count_line == 0) return *problem;
      return *problem + " (the first value of the file is the number of layers)";
    }
    return std::nullopt;
  }
  if (model.layer_count < 1 || error.kind() != RunErrorKind::kFault) return std::nullopt;
  switch (error.fault()) {
    case FaultKind::kDivisionByZero:
      return ExplainDivisionByZero(model);
    case FaultKind::kOverflow:
      return ExplainOverflow(model);
    case FaultKind::kInvalidOperation:
      return ExplainInvalidOperation(model);
    case FaultKind::kNone:
      break;
  }
  return std::nullopt;
}

std::vector<std::string> ModelWarnings(const ModelFile& model) {
  std::vector<std::string> warnings;
  if (model.layer_count < 1) return warnings;
  // A file that ends within its layers fails (a musp or n of 0), and the failure's explanation
  // says so; only the values it does hold are worth a warning then.
  const bool ends_within_layers = EndsWithinLayers(model);
  const std::size_t count = model.medium.layers.size();
  for (std::size_t i = 0; i < count; ++i) {
    for (const auto& [field, what] : {std::pair{"musp", "a negative scattering coefficient"},
                                      std::pair{"mua", "a negative absorption"},
                                      std::pair{"n", "a negative refractive index"}}) {
      const Value v = LayerValue(model, i, field);
      if (v.value < 0) {
        warnings.push_back(Where(model, v.line) + Named(v) + " is " + Text(v.value) + "; " + what +
                           " has no physical meaning");
      }
    }
    // A single layer is a half-space: its thickness does not enter the model.
    const Value d = LayerValue(model, i, "d");
    if (count >= 2 && d.value <= 0) {
      if (d.line != 0) {
        warnings.push_back(Where(model, d.line) + Named(d) + " is " + Text(d.value) +
                           "; a layer of zero or negative thickness has no physical meaning");
      } else if (!ends_within_layers) {
        warnings.push_back(Where(model, 0) + Named(d) +
                           " is missing (the file ends before it) and reads as 0; a layer of zero thickness has no "
                           "physical meaning");
      }
    }
  }
  if (model.rho_line == 0) {
    if (!ends_within_layers) {
      warnings.push_back(Where(model, 0) +
                         "rho is missing (the file ends before it) and reads as 0; a detector at the source has no "
                         "physical meaning");
    }
  } else if (model.rho_mm == 0) {
    warnings.push_back(Where(model, model.rho_line) + "rho is 0; a detector at the source has no physical meaning");
  } else if (model.rho_mm < 0) {
    warnings.push_back(Where(model, model.rho_line) + "rho is " + Text(model.rho_mm) +
                       "; a negative distance has no physical meaning (it computes as " + Text(-model.rho_mm) + ")");
  }
  return warnings;
}

// Where the window's 960-point rule would lose digits, the run takes the extended panels and
// its curve differs from what that rule gives (and earlier versions wrote); the user is told, though
// there is nothing to change.
std::vector<std::string> ModelNotes(const ModelFile& model) {
  if (model.layer_count < 1 || model.medium.Validate() || !(model.rho_mm > 0) || model.rho_line == 0) return {};
  DerivedModel derived;
  derived.Form = SolutionForm::kWindow;
  if (DeriveModel(model.medium.layers, derived) != FaultKind::kNone) return {};
  if (!(model.rho_mm * derived.Musp[0] <= kLongestRhoMusp)) return {};
  const TransformPlan plan = PlanTransform(derived, model.rho_mm);
  if (!plan.plan.extended) return {};
  const std::string panels = plan.plan.panels == 1 ? "one panel" : std::to_string(plan.plan.panels) + " panels";
  return {Where(model, model.rho_line) + "rho is " + Text(model.rho_mm) +
          " mm, where the 960-point rule over [0, 30 musp] loses digits; the curve is computed on " + panels +
          " of the extended-precision rule over [0, 40 musp] instead, which keeps the digits that rule "
          "loses (earlier versions used it here)"};
}


std::optional<std::string> FoldWarning(long double folded_part) {
  if (!(folded_part > 1e-5L)) return std::nullopt;
  char part[32];
  std::snprintf(part, sizeof part, "%.1Le", folded_part);
  return std::string("the curve has not faded by the end of the run's 10240 ps: up to ") + part +
         " of its peak folds back onto its first samples; nlayer-run --csv, Python and the fits compute it on a "
         "longer period";
}

}  // namespace nlayer
