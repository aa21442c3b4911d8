#include "io/problem_file.h"

#include <toml++/toml.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "core/number_text.h"
#include "io/curve_file.h"

namespace nlayer {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxProblemFileBytes = 1u << 20;

// A parameter as the file gives it.
struct Given {
  double value = 0;
  bool free = false;
  std::optional<double> lower, upper;
  std::string tie;
  long line = 0;
};

std::string Text(double value) { return NumberText(static_cast<long double>(value)); }

class Reader {
 public:
  Reader(std::string name, fs::path folder) : name_(std::move(name)), folder_(std::move(folder)) {}

  [[noreturn]] void Fail(long line, const std::string& what) const {
    throw InputFileError(name_ + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + what, line, 0);
  }
  [[noreturn]] void Fail(const toml::node& node, const std::string& what) const { Fail(Line(node), what); }
  static long Line(const toml::node& node) { return static_cast<long>(node.source().begin.line); }

  // Every key of `table` must be one of `allowed` (or pass `also`): a misspelt key would
  // otherwise be a value silently left at its default.
  template <class Also>
  void Keys(const toml::table& table, std::initializer_list<std::string_view> allowed, const std::string& where,
            Also also) const {
    for (const auto& [key, node] : table) {
      const std::string_view k = key.str();
      if (std::find(allowed.begin(), allowed.end(), k) != allowed.end() || also(k)) continue;
      std::string list;
      for (std::string_view a : allowed) list += (list.empty() ? "" : ", ") + std::string(a);
      Fail(node, where + "unknown key \"" + std::string(k) + "\"" + (list.empty() ? "" : " (known: " + list + ")"));
    }
  }
  void Keys(const toml::table& table, std::initializer_list<std::string_view> allowed, const std::string& where) const {
    Keys(table, allowed, where, [](std::string_view) { return false; });
  }

  double Number(const toml::node& node, const std::string& what, bool infinity_allowed = false) const {
    if (auto v = node.value<double>(); v && (node.is_floating_point() || node.is_integer())) {
      if (infinity_allowed && *v == std::numeric_limits<double>::infinity()) return *v;
      if (!std::isfinite(*v)) Fail(node, what + " is " + Text(*v) + "; it must be a finite number");
      return *v;
    }
    Fail(node, what + " must be a number");
  }
  std::string String(const toml::node& node, const std::string& what) const {
    if (auto v = node.value<std::string>(); v && node.is_string()) return *v;
    Fail(node, what + " must be a string in quotes");
  }
  int Integer(const toml::node& node, const std::string& what, long long least, long long most) const {
    // Asked for an integer, toml++ converts a float by a cast that overflows beyond the integer's
    // range: only an integer node is read as one.
    if (!node.is_integer()) Fail(node, what + " must be a whole number");
    const auto v = node.value<long long>();
    if (!v) Fail(node, what + " must be a whole number");
    if (*v < least || *v > most) {
      Fail(node, what + " is " + std::to_string(*v) + "; it must lie in " + std::to_string(least) + " ... " +
                     std::to_string(most));
    }
    return static_cast<int>(*v);
  }

  // A parameter: a number (fixed), { start, lower, upper } (free) or { tie } (tied).
  Given Parameter(const toml::node& node, const std::string& what) const {
    Given given;
    given.line = Line(node);
    if (!node.is_table()) {
      if (!node.is_number()) {
        Fail(node, what + " must be a number (fixed) or a table { start = ..., lower = ..., upper = ... } (free) or "
                          "{ tie = \"NAME\" }");
      }
      given.value = Number(node, what);
      return given;
    }
    const toml::table& table = *node.as_table();
    Keys(table, {"start", "lower", "upper", "tie"}, what + ": ");
    if (const toml::node* tie = table.get("tie")) {
      if (table.size() != 1) Fail(node, what + ": a tied parameter takes its value, start and bounds from the other");
      given.tie = String(*tie, what + "'s tie");
      return given;
    }
    const toml::node* start = table.get("start");
    if (!start) Fail(node, what + " is free (a table) but has no start value: add start = ...");
    given.free = true;
    given.value = Number(*start, what + "'s start");
    if (const toml::node* lower = table.get("lower")) given.lower = Number(*lower, what + "'s lower bound");
    if (const toml::node* upper = table.get("upper")) given.upper = Number(*upper, what + "'s upper bound");
    if (given.lower && given.upper && !(*given.lower < *given.upper)) {
      Fail(node, what + "'s bounds " + Text(*given.lower) + " ... " + Text(*given.upper) + " are empty");
    }
    if ((given.lower && given.value < *given.lower) || (given.upper && given.value > *given.upper)) {
      Fail(node, what + "'s start " + Text(given.value) + " lies outside its bounds");
    }
    return given;
  }

  fs::path Resolve(const toml::node& node, const std::string& what) const {
    const fs::path path = String(node, what);
    if (path.empty()) Fail(node, what + " is empty");
    return path.is_absolute() ? path : folder_ / path;
  }

  // A file the problem names: its reader's message comes first, then where it was named.
  template <class Read>
  auto Named(const toml::node& node, Read read) const {
    try {
      return read();
    } catch (const InputFileError& e) {
      throw InputFileError(std::string(e.what()) + " (named at " + name_ + ":" + std::to_string(Line(node)) + ")",
                           e.line(), e.error_number());
    }
  }

  const std::string& name() const { return name_; }

 private:
  std::string name_;
  fs::path folder_;
};

// The wavelength as parameter names and messages write it: 760, 852.5.
std::string Nm(double nm) { return Text(nm); }

std::optional<double> WavelengthKey(std::string_view key) {
  double value = 0;
  const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), value);
  if (error != std::errc() || end != key.data() + key.size() || !(value > 0)) return std::nullopt;
  return value;
}

struct Parameters {
  // Name to what the file gives, in the order met, and where in the problem its value goes.
  std::vector<std::pair<std::string, Given>> entries;
  std::vector<std::function<void(double)>> set;
  void Add(std::string name, Given given, std::function<void(double)> to) {
    entries.emplace_back(std::move(name), std::move(given));
    set.push_back(std::move(to));
  }
};

// Deeper nesting than any problem file needs is refused before parsing: the TOML parser builds
// and frees nested tables by recursion, and a header of some ten thousand dotted parts
// ([t.t.t...], a few tens of kilobytes) overflows the stack and kills the process.
constexpr int kMaxNesting = 64;

// The first line (from 1) where the keys and values nest deeper than kMaxNesting, or 0. Counts the parts of every table header and dotted key and the open arrays
// and inline tables around them; strings and comments are skipped, so their dots and brackets
// do not count.
long TooDeep(std::string_view text) {
  long line = 1;
  std::string open;     // the open '[' and '{' of values
  bool key = true;      // reading a key (line start, or after '{' or ',' in an inline table)
  bool header = false;  // reading a table header
  int dots = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') {
      ++line;
      header = false;
      dots = 0;
      key = open.empty();
      continue;
    }
    if (c == '#') {
      while (i + 1 < text.size() && text[i + 1] != '\n') ++i;
      continue;
    }
    if (c == '"' || c == '\'') {
      const bool multi = text.substr(i, 3) == std::string(3, c);
      const std::string_view end = multi ? std::string_view(c == '"' ? "\"\"\"" : "'''") : std::string_view(&text[i], 1);
      i += multi ? 3 : 1;
      while (i < text.size() && text.substr(i, end.size()) != end) {
        if (text[i] == '\n') {
          if (!multi) break;  // the parser reports the unterminated string
          ++line;
        }
        if (c == '"' && text[i] == '\\') ++i;
        ++i;
      }
      if (i < text.size() && text[i] == '\n') --i;  // the newline is counted above
      else i += end.size() - 1;
      continue;
    }
    if (key && open.empty() && !header && c == '[' ) {
      header = true;
      continue;
    }
    if (header) {
      if (c == '.') ++dots;
    } else if (key) {
      if (c == '.') ++dots;
      else if (c == '=') key = false, dots = 0;
      else if (c == '}' && !open.empty()) open.pop_back(), key = false;
    } else if (c == '[' || c == '{') {
      open.push_back(c);
      key = c == '{';
    } else if ((c == ']' || c == '}') && !open.empty()) {
      open.pop_back();
    } else if (c == ',' && !open.empty() && open.back() == '{') {
      key = true;
    }
    const int depth = static_cast<int>(open.size()) + dots + 1;
    if (depth > kMaxNesting) return line;
  }
  return 0;
}

// Where a layer's mua or mus' comes from without a spectral model: layer, field, wavelength (0
// for all) and parameter name.
struct Slot {
  std::size_t layer;
  std::string field;
  double nm;
  std::string name;
};

// One problem file, section by section. The curves come before the layers, since their
// wavelengths decide the layers' parameter names; the start media are checked last, once the
// ties are resolved. With `with_curves` false the model alone is read: [[curve]] is neither
// required nor read, and what depends on the curves' wavelengths is left to the caller.
class ProblemReader {
 public:
  ProblemReader(const std::string& name, const fs::path& folder, bool with_curves)
      : reader_(name, folder), with_curves_(with_curves) {}

  ProblemFile Read(std::string_view text) {
    const toml::table root = Parse(text);
    reader_.Keys(root, {"fit", "spectral", "layer", "curve"}, "");
    if (const toml::node* fit = root.get("fit")) ReadFit(*fit);
    if (const toml::node* spectral = root.get("spectral")) ReadSpectral(*spectral);
    if (with_curves_) ReadCurves(root.get("curve"));
    ReadLayers(root.get("layer"));
    ReadFreeAndTies();
    ShareGeometry();
    CheckStartMedia();
    return std::move(out_);
  }

 private:
  toml::table Parse(std::string_view text) const {
    if (const long line = TooDeep(text); line > 0) {
      reader_.Fail(line, "keys and values nest more than " + std::to_string(kMaxNesting) +
                             " levels deep here (table headers' parts, dotted keys, arrays and inline tables); "
                             "a problem file needs a few");
    }
    try {
      return toml::parse(text, reader_.name());
    } catch (const toml::parse_error& e) {
      reader_.Fail(static_cast<long>(e.source().begin.line), std::string(e.description()));
    }
  }

  void ReadFit(const toml::node& fit);
  void ReadSpectral(const toml::node& node);
  Chromophore ReadChromophore(const toml::node& item) const;
  void ReadCurves(const toml::node* node);
  void ReadCurve(const toml::node& item);
  void ReadLayers(const toml::node* node);
  void ReadSpectralLayer(std::size_t k, const toml::table& t, const std::string& where);
  void ReadMuaMusp(std::size_t k, const toml::table& t, const std::string& where, Layer& layer);
  void ReadFreeAndTies();
  void ShareGeometry();
  void CheckStartMedia() const;
  void CheckSpectralStart(std::size_t curve) const;

  const toml::node& Need(const toml::table& t, const char* key, const std::string& where) const {
    const toml::node* n = t.get(key);
    if (!n) reader_.Fail(t, where + "\"" + key + "\" is missing");
    return *n;
  }
  // A parameter's start value with its tie resolved, and as the file writes it.
  double StartOf(const std::string& name) const {
    const Given& given = *by_name_.at(name);
    return given.tie.empty() ? given.value : by_name_.at(given.tie)->value;
  }
  std::string Written(const std::string& name) const {
    const Given& given = *by_name_.at(name);
    return given.tie.empty() ? Text(given.value)
                             : "\"" + given.tie + "\" (tied; its start is " + Text(StartOf(name)) + ")";
  }

  const Reader reader_;
  const bool with_curves_;
  ProblemFile out_;
  FitProblem& problem_ = out_.problem;
  std::vector<std::string> profile_;
  std::vector<long> profile_lines_;
  std::set<double> wavelengths_;
  std::vector<long> wavelength_lines_;  // per curve: where its wavelength is given
  bool per_wavelength_ = false;         // media per wavelength, without a spectral model
  Parameters parameters_;
  std::vector<Slot> slots_;
  std::map<std::string, const Given*> by_name_;
};

void ProblemReader::ReadFit(const toml::node& fit) {
  const Reader& reader = reader_;
  FitOptions& options = out_.options;
  if (!fit.is_table()) reader.Fail(fit, "[fit] must be a table");
  const toml::table& t = *fit.as_table();
  reader.Keys(t, {"statistic", "engine", "starts", "seed", "max_iterations", "profile", "ambiguity_threshold",
                  "threads"},
              "[fit]: ");
  if (const toml::node* n = t.get("statistic")) {
    const std::string s = reader.String(*n, "statistic");
    if (s == "poisson") options.statistic = FitStatistic::kPoissonLikelihood;
    else if (s == "chi2") options.statistic = FitStatistic::kLeastSquares;
    else reader.Fail(*n, "statistic \"" + s + "\" is neither \"poisson\" nor \"chi2\"");
  }
  if (const toml::node* n = t.get("engine")) {
    const std::string s = reader.String(*n, "engine");
    if (s == "fast") options.compute.engine = Engine::kFast;
    else if (s == "exact") options.compute.engine = Engine::kExact;
    else reader.Fail(*n, "engine \"" + s + "\" is neither \"fast\" nor \"exact\"");
  }
  if (const toml::node* n = t.get("starts")) options.starts = reader.Integer(*n, "starts", 0, 1000);
  if (const toml::node* n = t.get("seed")) {
    options.seed = static_cast<std::uint64_t>(reader.Integer(*n, "seed", 0, 2147483647));
  }
  if (const toml::node* n = t.get("max_iterations")) {
    options.max_iterations = reader.Integer(*n, "max_iterations", 1, 100000);
  }
  if (const toml::node* n = t.get("threads")) {
    options.compute.threads = static_cast<unsigned>(reader.Integer(*n, "threads", 0, 1024));
  }
  if (const toml::node* n = t.get("ambiguity_threshold")) {
    options.ambiguity_threshold = reader.Number(*n, "ambiguity_threshold");
    if (!(options.ambiguity_threshold >= 0)) reader.Fail(*n, "ambiguity_threshold must be >= 0");
  }
  if (const toml::node* n = t.get("profile")) {
    const toml::array* names = n->as_array();
    if (!names) reader.Fail(*n, "profile must be a list of parameter names, e.g. [\"HbO2\"]");
    for (const toml::node& item : *names) {
      profile_.push_back(reader.String(item, "a name in profile"));
      profile_lines_.push_back(reader.Line(item));
    }
  }
}

void ProblemReader::ReadSpectral(const toml::node& node) {
  const Reader& reader = reader_;
  if (!node.is_table()) reader.Fail(node, "[spectral] must be a table");
  const toml::table& t = *node.as_table();
  reader.Keys(t, {"reference_nm", "chromophores", "chromophore"}, "[spectral]: ");
  SpectralModel model;
  if (const toml::node* n = t.get("reference_nm")) {
    model.reference_nm = reader.Number(*n, "reference_nm");
    if (!(model.reference_nm > 0)) reader.Fail(*n, "reference_nm must be > 0");
  }
  const std::vector<Chromophore> shipped = HemoglobinSpectra();
  if (const toml::node* n = t.get("chromophores")) {
    const toml::array* names = n->as_array();
    if (!names) reader.Fail(*n, "chromophores must be a list of names, e.g. [\"HbO\", \"HbR\"]");
    for (const toml::node& item : *names) {
      const std::string c = reader.String(item, "a chromophore's name");
      const auto found = std::find_if(shipped.begin(), shipped.end(), [&](const Chromophore& s) { return s.name == c; });
      if (found == shipped.end()) {
        reader.Fail(item, "no chromophore \"" + c + "\" is shipped (\"HbO\", \"HbR\"); give others as "
                          "[[spectral.chromophore]] with a file");
      }
      model.chromophores.push_back(*found);
    }
  }
  if (const toml::node* n = t.get("chromophore")) {
    const toml::array* list = n->as_array();
    if (!list) reader.Fail(*n, "chromophore must be written [[spectral.chromophore]]");
    for (const toml::node& item : *list) model.chromophores.push_back(ReadChromophore(item));
  }
  if (model.chromophores.empty()) {
    reader.Fail(node, "[spectral] names no chromophore: add chromophores = [\"HbO\", \"HbR\"]");
  }
  for (std::size_t i = 0; i < model.chromophores.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (model.chromophores[i].name == model.chromophores[j].name) {
        reader.Fail(node, "the chromophore \"" + model.chromophores[i].name + "\" is named twice");
      }
    }
  }
  problem_.spectral = std::move(model);
}

// A [[spectral.chromophore]]: its spectrum read from its file.
Chromophore ProblemReader::ReadChromophore(const toml::node& item) const {
  const Reader& reader = reader_;
  if (!item.is_table()) reader.Fail(item, "each [[spectral.chromophore]] must be a table");
  const toml::table& c = *item.as_table();
  reader.Keys(c, {"name", "file", "unit"}, "[[spectral.chromophore]]: ");
  const toml::node* cname = c.get("name");
  const toml::node* file = c.get("file");
  const toml::node* unit = c.get("unit");
  if (!cname || !file || !unit) reader.Fail(item, "a [[spectral.chromophore]] needs name, file and unit");
  Chromophore chromophore;
  chromophore.name = reader.String(*cname, "name");
  const bool word = !chromophore.name.empty() &&
                    std::all_of(chromophore.name.begin(), chromophore.name.end(),
                                [](char ch) { return std::isalpha(static_cast<unsigned char>(ch)) || ch == '_'; });
  if (!word) reader.Fail(*cname, "a chromophore's name is letters only (it is followed by the layer's number)");
  const std::string u = reader.String(*unit, "unit");
  if (u == "molar_extinction") chromophore.unit = ChromophoreUnit::kMolarExtinction;
  else if (u == "absorption") chromophore.unit = ChromophoreUnit::kAbsorption;
  else reader.Fail(*unit, "unit \"" + u + "\" is neither \"molar_extinction\" (cm^-1/M) nor \"absorption\" (1/mm)");
  const fs::path path = reader.Resolve(*file, "file");
  const CurveFile spectrum = reader.Named(*file, [&] { return ReadCurveFile(path, kSpectrumColumns); });
  chromophore.wavelength_nm = spectrum.t_ps;
  chromophore.values = spectrum.counts;
  chromophore.source = path.string();
  return chromophore;
}

void ProblemReader::ReadCurves(const toml::node* node) {
  if (!node || !node->is_array_of_tables() || node->as_array()->empty()) {
    reader_.Fail(node ? reader_.Line(*node) : 0, "the problem has no [[curve]]: name at least one");
  }
  for (const toml::node& item : *node->as_array()) ReadCurve(item);
  const bool without_wavelength = std::any_of(problem_.curves.begin(), problem_.curves.end(),
                                               [](const MeasuredCurve& c) { return !c.wavelength_nm; });
  if (problem_.spectral && without_wavelength) {
    reader_.Fail(*node, "with a [spectral] model every [[curve]] needs its wavelength");
  }
  if (wavelengths_.size() > 1 && without_wavelength) {
    reader_.Fail(*node, "some curves name a wavelength and some do not: name it for every curve");
  }
  per_wavelength_ = !problem_.spectral && wavelengths_.size() > 1;
}

void ProblemReader::ReadCurve(const toml::node& item) {
  const Reader& reader = reader_;
  const toml::table& c = *item.as_table();
  const std::string where = "curve " + std::to_string(problem_.curves.size() + 1) + ": ";
  reader.Keys(c, {"file", "irf", "rho", "wavelength", "label", "shift_ps", "background", "range"}, where);
  const toml::node* file = c.get("file");
  const toml::node* irf = c.get("irf");
  const toml::node* rho = c.get("rho");
  if (!file || !irf || !rho) reader.Fail(item, where + "a [[curve]] needs file, irf and rho");
  MeasuredCurve curve;
  const fs::path curve_path = reader.Resolve(*file, "file");
  const fs::path irf_path = reader.Resolve(*irf, "irf");
  const CurveFile measured = reader.Named(*file, [&] { return ReadCurveFile(curve_path); });
  const CurveFile response = reader.Named(*irf, [&] { return ReadCurveFile(irf_path); });
  curve.t_ps = measured.t_ps;
  curve.counts = measured.counts;
  curve.irf_t_ps = response.t_ps;
  curve.irf = response.counts;
  curve.rho_mm = reader.Number(*rho, "rho");
  if (!(curve.rho_mm > 0)) reader.Fail(*rho, where + "rho must be > 0 mm");
  curve.label = curve_path.filename().string();
  if (const toml::node* n = c.get("label")) curve.label = reader.String(*n, "label");
  if (const toml::node* n = c.get("wavelength")) {
    const double nm = reader.Number(*n, "wavelength");
    if (!(nm > 0)) reader.Fail(*n, where + "wavelength must be > 0 nm");
    curve.wavelength_nm = nm;
    wavelengths_.insert(nm);
    wavelength_lines_.push_back(reader.Line(*n));
  } else {
    wavelength_lines_.push_back(reader.Line(item));
  }
  if (const toml::node* n = c.get("shift_ps")) curve.shift_ps = reader.Number(*n, "shift_ps");
  if (const toml::node* n = c.get("background")) {
    const std::string b = reader.String(*n, "background");
    if (b == "none") curve.background = BackgroundMode::kNone;
    else if (b == "estimated") curve.background = BackgroundMode::kEstimated;
    else if (b == "fitted") curve.background = BackgroundMode::kFitted;
    else reader.Fail(*n, where + "background \"" + b + "\" is none of \"none\", \"estimated\", \"fitted\"");
  }
  if (const toml::node* n = c.get("range")) {
    if (!n->is_table()) reader.Fail(*n, where + "range must be a table, e.g. { rise = 0.1, fall = 0.01 }");
    const toml::table& r = *n->as_table();
    reader.Keys(r, {"rise", "fall", "from_ps", "to_ps"}, where + "range: ");
    if (const toml::node* v = r.get("rise")) curve.range.rise_fraction = reader.Number(*v, "rise");
    if (const toml::node* v = r.get("fall")) curve.range.fall_fraction = reader.Number(*v, "fall");
    if (const toml::node* v = r.get("from_ps")) curve.range.t_first_ps = reader.Number(*v, "from_ps");
    if (const toml::node* v = r.get("to_ps")) curve.range.t_last_ps = reader.Number(*v, "to_ps");
    // The fractions of the peak and the times each choose the whole range; one of them would
    // be silently ignored.
    if ((r.get("rise") || r.get("fall")) && (r.get("from_ps") || r.get("to_ps"))) {
      reader.Fail(*n, where + "range gives both fractions of the peak (rise, fall) and times (from_ps, to_ps); "
                             "give one or the other");
    }
  }
  out_.curve_files.push_back(curve_path);
  out_.irf_files.push_back(irf_path);
  problem_.curves.push_back(std::move(curve));
}

void ProblemReader::ReadLayers(const toml::node* node) {
  const Reader& reader = reader_;
  if (!node || !node->is_array_of_tables() || node->as_array()->empty()) {
    reader.Fail(node ? reader.Line(*node) : 0, "the problem has no [[layer]]: name the layers, top first");
  }
  const toml::array& layers = *node->as_array();
  if (per_wavelength_) {
    for (double nm : wavelengths_) problem_.media.push_back({nm, Medium{std::vector<Layer>(layers.size())}});
  }
  if (problem_.spectral) problem_.spectral->layers.resize(layers.size());
  for (std::size_t k = 0; k < layers.size(); ++k) {
    const toml::table& t = *layers[k].as_table();
    const std::string number = std::to_string(k + 1);
    const std::string where = "layer " + number + ": ";
    const bool bottom = k + 1 == layers.size();
    Layer layer;
    std::vector<std::string_view> allowed = {"n", "d", "name"};
    if (problem_.spectral) {
      allowed.push_back("a");
      allowed.push_back("b");
    } else {
      allowed.push_back("mua");
      allowed.push_back("musp");
    }
    reader.Keys(t, {}, where, [&](std::string_view key) {
      if (std::find(allowed.begin(), allowed.end(), key) != allowed.end()) return true;
      if (!problem_.spectral) return false;
      return std::any_of(problem_.spectral->chromophores.begin(), problem_.spectral->chromophores.end(),
                         [&](const Chromophore& c) { return c.name == key; });
    });
    layer.n = reader.Number(Need(t, "n", where), where + "n");
    if (!bottom) {
      const Given d = reader.Parameter(Need(t, "d", where), where + "d");
      layer.d = d.value;
      parameters_.Add("d" + number, d, [this, k](double v) { problem_.medium.layers[k].d = v; });
    } else if (layers.size() > 1) {
      // The bottom layer of a stack has a thickness of the model's own (its lower boundary), which
      // is not fitted.
      // A bottom layer without end is d = inf.
      const toml::node& d = Need(t, "d", where);
      if (d.is_table()) reader.Fail(d, where + "d of the bottom layer is not fitted: give it as a number");
      layer.d = reader.Number(d, where + "d", true);
    } else if (const toml::node* d = t.get("d")) {
      layer.d = reader.Number(*d, where + "d");
    }
    if (problem_.spectral) {
      ReadSpectralLayer(k, t, where);
      layer.musp = problem_.spectral->layers[k].a;  // placeholders of a valid medium; the fit takes them from the spectra
    } else {
      ReadMuaMusp(k, t, where, layer);
    }
    problem_.medium.layers.push_back(layer);
  }
}

// A layer's concentrations, a and b.
void ProblemReader::ReadSpectralLayer(std::size_t k, const toml::table& t, const std::string& where) {
  const Reader& reader = reader_;
  const std::string number = std::to_string(k + 1);
  SpectralLayer& s = problem_.spectral->layers[k];
  for (const Chromophore& c : problem_.spectral->chromophores) {
    const Given given = reader.Parameter(Need(t, c.name.c_str(), where), where + c.name);
    if (c.unit == ChromophoreUnit::kAbsorption && given.tie.empty()) {
      // A pure substance's share of the volume.
      const auto outside = [](std::optional<double> v) { return v && !(*v >= 0 && *v <= 1); };
      if (outside(given.value) || outside(given.lower) || outside(given.upper)) {
        reader.Fail(given.line, where + c.name + " is a volume fraction (its spectrum's unit is \"absorption\"): " +
                                    "its value and bounds must lie in 0 ... 1, not " +
                                    Text(outside(given.value) ? given.value
                                         : outside(given.lower) ? *given.lower
                                                                : *given.upper));
      }
    }
    const std::size_t at = s.concentrations.size();
    s.concentrations.push_back(given.value);
    parameters_.Add(c.name + number, given,
                    [this, k, at](double v) { problem_.spectral->layers[k].concentrations[at] = v; });
  }
  const Given a = reader.Parameter(Need(t, "a", where), where + "a");
  const Given b = reader.Parameter(Need(t, "b", where), where + "b");
  s.a = a.value;
  s.b = b.value;
  parameters_.Add("a" + number, a, [this, k](double v) { problem_.spectral->layers[k].a = v; });
  parameters_.Add("b" + number, b, [this, k](double v) { problem_.spectral->layers[k].b = v; });
}

// A layer's mua and mus' without a spectral model: one value, or one per wavelength of the curves.
void ProblemReader::ReadMuaMusp(std::size_t k, const toml::table& t, const std::string& where, Layer& layer) {
  const Reader& reader = reader_;
  const std::string number = std::to_string(k + 1);
  for (const char* field : {"mua", "musp"}) {
    const toml::node& node = Need(t, field, where);
    const std::string base = std::string(field) + number;
    // A table of wavelengths, or one value for all of them.
    const toml::table* table = node.as_table();
    const bool by_wavelength =
        table && !table->empty() && std::all_of(table->begin(), table->end(), [](const auto& entry) {
          return WavelengthKey(entry.first.str()).has_value();
        });
    std::map<double, Given> values;
    if (by_wavelength) {
      if (!with_curves_) {
        reader.Fail(node, where + field + " is given per wavelength; read without its curves, a model takes "
                              "one value per layer, or its spectra from [spectral]");
      }
      if (!per_wavelength_) {
        reader.Fail(node, where + field + " is given per wavelength, but the curves are at " +
                              (wavelengths_.empty() ? std::string("no wavelength") : "one wavelength"));
      }
      for (const auto& [key, value] : *table) {
        const double nm = *WavelengthKey(key.str());
        if (!wavelengths_.count(nm)) {
          reader.Fail(value, where + field + " at " + Nm(nm) + " nm: no curve is at that wavelength");
        }
        values[nm] = reader.Parameter(value, where + field + " at " + Nm(nm) + " nm");
      }
      for (double nm : wavelengths_) {
        if (!values.count(nm)) reader.Fail(node, where + field + " has no value at " + Nm(nm) + " nm");
      }
    } else {
      const Given given = reader.Parameter(node, where + field);
      if (per_wavelength_) {
        for (double nm : wavelengths_) values[nm] = given;
      } else {
        values[0] = given;
      }
    }
    const bool mua = std::string(field) == "mua";
    for (const auto& [nm, given] : values) {
      std::ptrdiff_t medium = -1;  // in problem.media; -1: problem.medium
      if (per_wavelength_) {
        auto& media = problem_.media;
        // A copy: clang before 16 cannot capture a structured binding.
        const double wavelength = nm;
        medium = std::find_if(media.begin(), media.end(),
                              [&](const WavelengthMedium& m) { return m.wavelength_nm == wavelength; }) -
                 media.begin();
      }
      Layer& target = medium < 0 ? layer : problem_.media[static_cast<std::size_t>(medium)].medium.layers[k];
      (mua ? target.mua : target.musp) = given.value;
      const std::string name = per_wavelength_ ? base + "@" + Nm(nm) : base;
      parameters_.Add(name, given, [this, k, medium, mua](double v) {
        Layer& l = medium < 0 ? problem_.medium.layers[k] : problem_.media[static_cast<std::size_t>(medium)].medium.layers[k];
        (mua ? l.mua : l.musp) = v;
      });
      slots_.push_back({k, field, nm, name});
    }
  }
}

// Free and tied parameters; a tie names a free parameter and takes its start. The model holds a
// tied parameter at its target's start, so that the model alone is the one the fit starts from;
// the fit itself sets it from the target.
void ProblemReader::ReadFreeAndTies() {
  const Reader& reader = reader_;
  for (const auto& [pname, given] : parameters_.entries) by_name_[pname] = &given;
  for (const auto& [pname, given] : parameters_.entries) {
    if (given.free) {
      problem_.free.push_back({pname, given.lower, given.upper, given.value, {}});
    } else if (!given.tie.empty()) {
      const auto target = by_name_.find(given.tie);
      if (target == by_name_.end()) {
        reader.Fail(given.line, pname + " is tied to \"" + given.tie + "\", which is no parameter of this problem");
      }
      if (!target->second->free) {
        reader.Fail(given.line, pname + " is tied to " + given.tie + ", which is not free: tie it to a free parameter");
      }
      problem_.free.push_back({pname, {}, {}, {}, given.tie});
    }
  }
  for (std::size_t i = 0; i < parameters_.entries.size(); ++i) {
    const Given& given = parameters_.entries[i].second;
    if (!given.tie.empty()) parameters_.set[i](by_name_.at(given.tie)->value);
  }
  for (std::size_t i = 0; i < profile_.size(); ++i) {
    const std::string& p = profile_[i];
    const auto found = by_name_.find(p);
    if (found == by_name_.end() || !found->second->free) {
      reader.Fail(profile_lines_[i], "profile names \"" + p + "\", which is not a free parameter of this problem");
    }
  }
  out_.options.profile = profile_;
}

// n and d of the per-wavelength media are the common ones; the medium of the curves without a
// wavelength is the first wavelength's, as a valid placeholder.
void ProblemReader::ShareGeometry() {
  std::vector<Layer>& layers = problem_.medium.layers;
  for (WavelengthMedium& m : problem_.media) {
    for (std::size_t k = 0; k < layers.size(); ++k) {
      m.medium.layers[k].n = layers[k].n;
      m.medium.layers[k].d = layers[k].d;
    }
  }
  if (per_wavelength_) {
    for (std::size_t k = 0; k < layers.size(); ++k) {
      layers[k].mua = problem_.media.front().medium.layers[k].mua;
      layers[k].musp = problem_.media.front().medium.layers[k].musp;
    }
  }
}

// The media at the start values, ties resolved, must be computable. A refusal names what the
// file gives and where, not only the mua or musp derived from it.
void ProblemReader::CheckStartMedia() const {
  if (problem_.spectral) {
    for (std::size_t i = 0; i < problem_.curves.size(); ++i) CheckSpectralStart(i);
    return;
  }
  for (const Slot& slot : slots_) {
    const double v = StartOf(slot.name);
    const bool mua = slot.field == "mua";
    if (mua ? (v >= 0 && std::isfinite(v)) : (v > 0 && std::isfinite(v))) continue;
    reader_.Fail(by_name_.at(slot.name)->line,
                 "layer " + std::to_string(slot.layer + 1) + ": " + slot.field +
                     (slot.nm > 0 ? " at " + Nm(slot.nm) + " nm" : std::string()) + " is " + Written(slot.name) +
                     (mua ? "; it must be >= 0 and finite (1/mm)" : "; it must be > 0 and finite (1/mm)"));
  }
}

// The spectral model's media at a curve's wavelength.
void ProblemReader::CheckSpectralStart(std::size_t curve) const {
  const Reader& reader = reader_;
  const SpectralModel& spectral = *problem_.spectral;
  const double nm = *problem_.curves[curve].wavelength_nm;
  std::vector<double> per_unit;
  for (const Chromophore& c : spectral.chromophores) {
    try {
      per_unit.push_back(c.AbsorptionPerUnit(nm));
    } catch (const InvalidRequest& e) {
      reader.Fail(wavelength_lines_[curve], "curve " + std::to_string(curve + 1) + ": wavelength " + Nm(nm) +
                                                " nm: " + e.problem().message);
    }
  }
  for (std::size_t k = 0; k < spectral.layers.size(); ++k) {
    const std::string number = std::to_string(k + 1);
    double mua = 0;
    std::string terms;
    long line = 0, negative_line = 0;  // of the first concentration, of the first negative one
    for (std::size_t c = 0; c < per_unit.size(); ++c) {
      const std::string name = spectral.chromophores[c].name + number;
      const double v = StartOf(name);
      mua += per_unit[c] * v;
      terms += (terms.empty() ? "" : ", ") + spectral.chromophores[c].name + " = " + Written(name);
      if (line == 0) line = by_name_.at(name)->line;
      if (negative_line == 0 && !(v >= 0)) negative_line = by_name_.at(name)->line;
    }
    if (negative_line != 0) line = negative_line;
    if (!(mua >= 0 && std::isfinite(mua))) {
      reader.Fail(line, "layer " + number + ": " + terms + " give mua = " + Text(mua) + "/mm at " + Nm(nm) +
                            " nm; it must be >= 0 and finite");
    }
    const double a = StartOf("a" + number), b = StartOf("b" + number);
    const double musp = a * std::pow(nm / spectral.reference_nm, -b);
    if (musp > 0 && std::isfinite(musp)) continue;
    const bool a_wrong = !(a > 0 && std::isfinite(a));
    reader.Fail(by_name_.at(a_wrong ? "a" + number : "b" + number)->line,
                "layer " + number + ": a = " + Written("a" + number) + " and b = " + Written("b" + number) +
                    " give musp = a (" + Nm(nm) + " / " + Text(spectral.reference_nm) + ")^-b = " + Text(musp) +
                    "/mm at " + Nm(nm) + " nm; it must be > 0 and finite" +
                    (a_wrong ? "" : " (b is a power: some 0.5 to 3 in tissue)"));
  }
}

std::string ReadProblemText(const fs::path& path) {
  const std::string name = path.string();
  std::ifstream in(path, std::ios::binary);
  if (!in) throw InputFileError(name + ": " + std::strerror(errno), 0, errno);
  std::string text;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxProblemFileBytes) {
      throw InputFileError(name + ": larger than 1 MiB; that is no problem file", 0, 0);
    }
  }
  if (in.bad()) throw InputFileError(name + ": cannot be read", 0, EIO);
  return text;
}

}  // namespace

ProblemFile ParseProblem(std::string_view text, const std::string& name, const fs::path& folder) {
  return ProblemReader(name, folder, true).Read(text);
}

ProblemFile ParseProblemModel(std::string_view text, const std::string& name, const fs::path& folder) {
  return ProblemReader(name, folder, false).Read(text);
}

ProblemFile ReadProblemFile(const fs::path& path) {
  return ParseProblem(ReadProblemText(path), path.string(), path.parent_path());
}

ProblemFile ReadProblemModel(const fs::path& path) {
  return ParseProblemModel(ReadProblemText(path), path.string(), path.parent_path());
}

}  // namespace nlayer
