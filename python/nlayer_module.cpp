// nlayer._nlayer: the library's types and computations for Python. The public functions with
// their argument handling live in nlayer/__init__.py; this module converts, releases the GIL
// and translates the library's exceptions.
#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <stop_token>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "io/curve_file.h"
#include "io/problem_file.h"
#include "io/model_file.h"
#include "io/output_file.h"
#include "io/phase_lag.h"
#include "nlayer/fit.h"
#include "nlayer/nlayer.h"

namespace py = pybind11;

namespace {

static_assert(LDBL_MANT_DIG == 64, "the exact pickling of layers assumes the x87 extended format");

PyObject* g_model_error = nullptr;  // nlayer.ModelError, created at import

// ---- long double values in Python -------------------------------------------------------

bool IsDouble(long double x) { return std::isnan(x) || static_cast<long double>(static_cast<double>(x)) == x; }

// The shortest text that reads back to x: as a Python float where x is a double (0.01 passed
// from Python reads "0.01"), otherwise as an extended real (0.01 read from a file, which is
// not the double 0.01, also reads "0.01").
std::string ValueText(long double x) {
  if (IsDouble(x)) return py::repr(py::float_(static_cast<double>(x)));
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, x).ptr;
  return std::string(text, end);
}

// A value as a hashable key: a float where that is exact, otherwise (significand, exponent)
// with x = significand * 2**exponent.
py::object PackValue(long double x) {
  if (IsDouble(x)) return py::float_(static_cast<double>(x));
  int exponent = 0;
  const long double fraction = std::frexp(x, &exponent);
  const long double significand = std::ldexp(fraction, LDBL_MANT_DIG);  // an integer, |s| < 2^64
  const unsigned long long magnitude = static_cast<unsigned long long>(std::fabs(significand));
  py::object s = py::int_(magnitude);
  if (significand < 0) s = -s;
  return py::make_tuple(s, exponent - LDBL_MANT_DIG);
}

// A layer value from Python: a float or int as the double it is; a decimal.Decimal as the
// extended real nearest to its digits, exactly as a model file reads them; a numpy.longdouble
// as it stands.
long double ToExtended(const py::handle& value, const char* name) {
  static const py::handle decimal = py::object(py::module_::import("decimal").attr("Decimal")).release();
  static const py::handle longdouble = py::object(py::module_::import("numpy").attr("longdouble")).release();
  if (py::isinstance<py::bool_>(value) || py::isinstance<py::str>(value)) {
    throw py::type_error(std::string(name) + " must be a number, not " +
                         std::string(py::str(py::type::handle_of(value).attr("__name__"))));
  }
  if (py::isinstance(value, decimal)) {
    const std::string text = py::str(value);
    long double x = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), x);
    if (error != std::errc() || end != text.data() + text.size()) {
      throw py::value_error(std::string(name) + " is " + text + ", beyond the extended range");
    }
    return x;
  }
  if (py::isinstance(value, longdouble) && py::cast<int>(value.attr("itemsize")) == sizeof(long double)) {
    const std::string bytes = py::cast<py::bytes>(value.attr("tobytes")());
    long double x = 0;
    std::memcpy(&x, bytes.data(), sizeof x);
    return x;
  }
  const double x = PyFloat_AsDouble(value.ptr());
  if (x == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return x;
}

// ---- exceptions -------------------------------------------------------------------------

[[noreturn]] void RaiseInvalid(const nlayer::InvalidRequest& e) {
  const nlayer::ModelProblem& p = e.problem();
  py::object error = py::reinterpret_borrow<py::object>(PyExc_ValueError)(p.message);
  error.attr("layer") = p.layer > 0 ? py::object(py::int_(p.layer)) : py::object(py::none());
  error.attr("field") = p.field;
  error.attr("value") = static_cast<double>(p.value);
  PyErr_SetObject(PyExc_ValueError, error.ptr());
  throw py::error_already_set();
}

[[noreturn]] void RaiseModelError(const nlayer::ModelError& e) {
  py::object error = py::reinterpret_borrow<py::object>(g_model_error)(e.what());
  error.attr("kind") = nlayer::FaultKindName(e.kind());
  error.attr("stage") = nlayer::FaultStageName(e.stage());
  const bool has_frequency = e.frequency_index() >= 0;
  error.attr("frequency_index") = has_frequency ? py::object(py::int_(e.frequency_index())) : py::object(py::none());
  error.attr("frequency_hz") = has_frequency ? py::object(py::float_(e.frequency_hz())) : py::object(py::none());
  PyErr_SetObject(g_model_error, error.ptr());
  throw py::error_already_set();
}

// The stop request of the call being prepared on this Python thread: Options() makes it and
// puts its token into the library's options, RunInterruptible() takes it and makes the request
// on Ctrl-C. Each call prepares its options and runs them before the next, so one slot serves.
thread_local std::optional<std::stop_source> t_pending_stop;

// Runs `work` (which must own everything it reads) on a thread of its own while the caller
// waits without the GIL, looking for signals every 0.1 s. On Ctrl-C the computation is asked to
// stop (the library reads the request before each frequency), its end awaited, and
// KeyboardInterrupt raised: nothing keeps running behind it.
template <class Result, class Work>
Result RunInterruptible(Work work) {
  std::stop_source stop = t_pending_stop.value_or(std::stop_source(std::nostopstate));
  t_pending_stop.reset();
  auto task = std::make_shared<std::packaged_task<Result()>>(std::move(work));
  std::future<Result> result = task->get_future();
  std::thread([task] { (*task)(); }).detach();
  for (;;) {
    bool ready = false;
    {
      py::gil_scoped_release release;
      ready = result.wait_for(std::chrono::milliseconds(100)) == std::future_status::ready;
    }
    if (ready) break;
    if (PyErr_CheckSignals() != 0) {
      if (stop.stop_possible()) {
        stop.request_stop();
        py::gil_scoped_release release;
        result.wait();
      }
      throw py::error_already_set();
    }
  }
  try {
    return result.get();
  } catch (const nlayer::InvalidRequest& e) {
    RaiseInvalid(e);
  } catch (const nlayer::ModelError& e) {
    RaiseModelError(e);
  } catch (const nlayer::Cancelled&) {
    // Stopped without Ctrl-C reaching this wait: reported as the interrupt it stands for.
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
  }
}

// ---- conversions ------------------------------------------------------------------------

nlayer::ComputeOptions Options(unsigned threads, const std::string& engine) {
  if (engine != "exact" && engine != "fast") {
    throw py::value_error("engine is '" + engine + "'; it must be 'exact' or 'fast'");
  }
  t_pending_stop.emplace();
  return {threads, engine == "fast" ? nlayer::Engine::kFast : nlayer::Engine::kExact, t_pending_stop->get_token()};
}

// Distances as the library takes them, extended reals: a float as it is, a decimal.Decimal
// (such as a model file's digits) as the extended real nearest to it.
std::vector<long double> Distances(const py::sequence& rho_mm) {
  std::vector<long double> rho;
  for (const py::handle item : rho_mm) rho.push_back(ToExtended(item, "rho"));
  return rho;
}

// A path for the readers: a NUL would end the name early in the system's calls, so it is
// refused as open() refuses it.
std::string CheckedPath(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return path;
}

// An extended real as numpy.longdouble, which keeps every bit (a float would round it).
py::object LongDouble(long double x) {
  py::array_t<long double> one(1);
  one.mutable_data()[0] = x;
  return one.attr("__getitem__")(0);
}

nlayer::Medium MakeMedium(const py::iterable& layers) {
  nlayer::Medium medium;
  int number = 0;
  for (const py::handle item : layers) {
    ++number;
    if (py::isinstance<nlayer::Layer>(item)) {
      medium.layers.push_back(item.cast<nlayer::Layer>());
    } else if (py::isinstance<py::tuple>(item) && (py::len(item) == 3 || py::len(item) == 4)) {
      const auto values = item.cast<py::tuple>();
      medium.layers.push_back({ToExtended(values[0], "musp"), ToExtended(values[1], "mua"), ToExtended(values[2], "n"),
                               values.size() == 4 ? ToExtended(values[3], "d") : 0.0L});
    } else {
      throw py::type_error("layer " + std::to_string(number) + " is a " +
                           std::string(py::str(py::type::handle_of(item).attr("__name__"))) +
                           ", not an nlayer.Layer or a tuple (musp, mua, n, d)");
    }
  }
  if (auto problem = medium.Validate()) RaiseInvalid(nlayer::InvalidRequest(*problem));
  return medium;
}

std::string LayerRepr(const nlayer::Layer& l) {
  return "Layer(musp=" + ValueText(l.musp) + ", mua=" + ValueText(l.mua) + ", n=" + ValueText(l.n) +
         ", d=" + ValueText(l.d) + ")";
}

py::tuple PackLayer(const nlayer::Layer& l) {
  return py::make_tuple(PackValue(l.musp), PackValue(l.mua), PackValue(l.n), PackValue(l.d));
}

bool SameLayer(const nlayer::Layer& a, const nlayer::Layer& b) {
  return a.musp == b.musp && a.mua == b.mua && a.n == b.n && a.d == b.d;
}

bool SameMedium(const nlayer::Medium& a, const nlayer::Medium& b) {
  if (a.layers.size() != b.layers.size()) return false;
  for (std::size_t i = 0; i < a.layers.size(); ++i) {
    if (!SameLayer(a.layers[i], b.layers[i])) return false;
  }
  return true;
}

py::tuple PackMedium(const nlayer::Medium& m) {
  py::list layers;
  for (const nlayer::Layer& l : m.layers) layers.append(PackLayer(l));
  return py::tuple(layers);
}

// A reader's InputFileError raised where Python looks for it: OSError for a file that cannot be
// read (with its errno), ValueError with the line for text that breaks the file's rules.
template <class Read>
auto ReadUserFile(const std::string& path, Read read) {
  CheckedPath(path);
  try {
    py::gil_scoped_release release;
    return read();
  } catch (const nlayer::InputFileError& e) {
    if (e.error_number() != 0) {
      PyErr_SetObject(PyExc_OSError, py::make_tuple(e.error_number(), e.what(), path).ptr());
      throw py::error_already_set();
    }
    py::object error = py::reinterpret_borrow<py::object>(PyExc_ValueError)(e.what());
    error.attr("line") = e.line();
    PyErr_SetObject(PyExc_ValueError, error.ptr());
    throw py::error_already_set();
  }
}

// A name of a file to write as the system sees it: str (or os.PathLike) through os.fsencode, as
// open() takes it, so that names that are not UTF-8 reach the file they name.
std::filesystem::path OutputPath(const py::object& name) {
  const std::string bytes = py::module_::import("os").attr("fsencode")(name).cast<std::string>();
  if (bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return bytes;
}

// Runs a save without the GIL; its OutputFileError raised as the OSError of its error number
// (PermissionError, IsADirectoryError, ...), message and file name kept, so that Python callers
// catch it as they would open()'s.
template <class Save>
auto Saving(const py::object& name, Save save) {
  try {
    py::gil_scoped_release release;
    return save();
  } catch (const nlayer::OutputFileError& e) {
    py::object filename = py::module_::import("os").attr("fspath")(name);
    // No error number for a refusal of nlayer's own (a block device): a plain OSError.
    py::object number = e.error_number() != 0 ? py::object(py::int_(e.error_number())) : py::object(py::none());
    // OSError's constructor picks the subclass of the error number.
    py::object error = py::reinterpret_borrow<py::object>(PyExc_OSError)(number, e.what(), filename);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
  }
}

// The file's medium and rho, each problem raised where Python looks for it: OSError for a file
// that cannot be read, ValueError naming the line for a value that is not a model's.
// rho is None when it is not needed and the file gives none.
py::tuple ReadModel(const std::string& path, bool need_rho) {
  const nlayer::ModelFile file = ReadUserFile(path, [&] { return nlayer::ReadModelFile(path); });
  if (auto problem = nlayer::ValidateModelFile(file, need_rho)) {
    // The library's hint names nlayer-run's option; Python's way is the keyword.
    const std::string hint = " or with --rho";
    if (const auto at = problem->rfind(hint); at != std::string::npos && at + hint.size() == problem->size()) {
      problem->replace(at, hint.size(), ", or read with need_rho=False when the distance comes from elsewhere");
    }
    throw py::value_error(*problem);
  }
  if (!need_rho && file.rho_line == 0) return py::make_tuple(file.medium, py::none());
  return py::make_tuple(file.medium, LongDouble(file.rho_mm));
}

py::array_t<double> Array(const std::vector<double>& values) {
  py::array_t<double> array(static_cast<py::ssize_t>(values.size()));
  std::memcpy(array.mutable_data(), values.data(), values.size() * sizeof(double));
  return array;
}

py::tuple MomentsTuple(const nlayer::Moments& moments) {
  return py::make_tuple(moments.total, moments.mean_time_ps, moments.variance_ps2);
}

// A curve file's bins, each problem raised where Python looks for it, as read_model does.
py::tuple ReadCurve(const std::string& path) {
  const nlayer::CurveFile curve = ReadUserFile(path, [&] { return nlayer::ReadCurveFile(path); });
  return py::make_tuple(Array(curve.t_ps), Array(curve.counts));
}

// A spectrum file's wavelengths and values, by the same rules.
py::tuple ReadSpectrum(const std::string& path) {
  const nlayer::CurveFile spectrum =
      ReadUserFile(path, [&] { return nlayer::ReadCurveFile(path, nlayer::kSpectrumColumns); });
  return py::make_tuple(Array(spectrum.t_ps), Array(spectrum.counts));
}

nlayer::FitStatistic Statistic(const std::string& name) {
  if (name == "poisson") return nlayer::FitStatistic::kPoissonLikelihood;
  if (name == "chi2") return nlayer::FitStatistic::kLeastSquares;
  throw py::value_error("statistic is '" + name + "'; it must be 'poisson' or 'chi2'");
}

// ---- joint fits: the problem as plain Python values, both ways ----------------------------

const char* BackgroundName(nlayer::BackgroundMode mode) {
  switch (mode) {
    case nlayer::BackgroundMode::kNone: return "none";
    case nlayer::BackgroundMode::kEstimated: return "estimated";
    case nlayer::BackgroundMode::kFitted: return "fitted";
  }
  return "none";
}

nlayer::BackgroundMode Background(const std::string& name) {
  if (name == "none") return nlayer::BackgroundMode::kNone;
  if (name == "estimated") return nlayer::BackgroundMode::kEstimated;
  if (name == "fitted") return nlayer::BackgroundMode::kFitted;
  throw py::value_error("background is '" + name + "'; it must be 'none', 'estimated' or 'fitted'");
}

py::tuple PackChromophore(const nlayer::Chromophore& c) {
  return py::make_tuple(c.name, c.unit == nlayer::ChromophoreUnit::kMolarExtinction ? "molar_extinction" : "absorption",
                        Array(c.wavelength_nm), Array(c.values), c.source);
}

template <class T>
py::object Optional(const std::optional<T>& value) {
  return value ? py::cast(*value) : py::none();
}

py::dict PackProblem(const nlayer::FitProblem& problem) {
  py::list curves, media, free;
  for (const nlayer::MeasuredCurve& c : problem.curves) {
    py::dict curve;
    curve["label"] = c.label;
    curve["t_ps"] = Array(c.t_ps);
    curve["counts"] = Array(c.counts);
    curve["irf"] = Array(c.irf);
    curve["irf_t_ps"] = Array(c.irf_t_ps);
    curve["rho"] = static_cast<double>(c.rho_mm);
    curve["wavelength"] = Optional(c.wavelength_nm);
    curve["shift_ps"] = Optional(c.shift_ps);
    curve["background"] = BackgroundName(c.background);
    curve["fit_range"] = py::make_tuple(c.range.rise_fraction, c.range.fall_fraction);
    curve["window_ps"] = c.range.t_first_ps || c.range.t_last_ps
                             ? py::object(py::make_tuple(Optional(c.range.t_first_ps), Optional(c.range.t_last_ps)))
                             : py::object(py::none());
    curves.append(curve);
  }
  for (const nlayer::WavelengthMedium& m : problem.media) media.append(py::make_tuple(m.wavelength_nm, m.medium));
  for (const nlayer::FitParameter& f : problem.free) {
    free.append(py::make_tuple(f.name, Optional(f.lower), Optional(f.upper), Optional(f.start), f.tied_to));
  }
  py::dict out;
  out["curves"] = curves;
  out["medium"] = problem.medium;
  out["media"] = media;
  out["free"] = free;
  if (problem.spectral) {
    py::list chromophores, layers;
    for (const nlayer::Chromophore& c : problem.spectral->chromophores) chromophores.append(PackChromophore(c));
    for (const nlayer::SpectralLayer& l : problem.spectral->layers) {
      layers.append(py::make_tuple(l.concentrations, l.a, l.b));
    }
    py::dict spectral;
    spectral["chromophores"] = chromophores;
    spectral["reference_nm"] = problem.spectral->reference_nm;
    spectral["layers"] = layers;
    out["spectral"] = spectral;
  } else {
    out["spectral"] = py::none();
  }
  out["statistic"] = problem.statistic == nlayer::FitStatistic::kLeastSquares ? "chi2" : "poisson";
  out["engine"] = problem.options.engine == nlayer::Engine::kExact ? "exact" : "fast";
  out["threads"] = problem.options.threads;
  out["spectrum_tolerance"] = problem.spectrum_tolerance;
  out["max_iterations"] = problem.max_iterations;
  out["starts"] = problem.starts;
  out["ambiguity_threshold"] = problem.ambiguity_threshold;
  out["seed"] = problem.seed;
  out["profile"] = problem.profile;
  return out;
}

template <class T>
std::optional<T> OptionalOf(const py::handle& value) {
  if (value.is_none()) return std::nullopt;
  return value.cast<T>();
}

nlayer::Chromophore UnpackChromophore(const py::handle& item) {
  const py::tuple c = item.cast<py::tuple>();
  const std::string unit = c[1].cast<std::string>();
  if (unit != "molar_extinction" && unit != "absorption") {
    throw py::value_error("a chromophore's unit is '" + unit + "'; it must be 'molar_extinction' or 'absorption'");
  }
  return {c[0].cast<std::string>(),
          unit == "absorption" ? nlayer::ChromophoreUnit::kAbsorption : nlayer::ChromophoreUnit::kMolarExtinction,
          c[2].cast<std::vector<double>>(), c[3].cast<std::vector<double>>(), c[4].cast<std::string>()};
}

std::vector<nlayer::Chromophore> UnpackChromophores(const py::handle& items) {
  std::vector<nlayer::Chromophore> chromophores;
  for (const py::handle item : items.cast<py::list>()) chromophores.push_back(UnpackChromophore(item));
  return chromophores;
}

// {"chromophores": [as PackChromophore], "layers": [(concentrations, a, b)], "reference_nm"}
nlayer::SpectralModel UnpackSpectral(const py::dict& s) {
  nlayer::SpectralModel model;
  model.reference_nm = s["reference_nm"].cast<double>();
  model.chromophores = UnpackChromophores(s["chromophores"]);
  for (const py::handle item : s["layers"].cast<py::list>()) {
    const py::tuple l = item.cast<py::tuple>();
    model.layers.push_back({l[0].cast<std::vector<double>>(), l[1].cast<double>(), l[2].cast<double>()});
  }
  return model;
}

nlayer::FitProblem UnpackProblem(const py::dict& setup) {
  nlayer::FitProblem problem;
  for (const py::handle item : setup["curves"].cast<py::list>()) {
    const py::dict c = item.cast<py::dict>();
    nlayer::MeasuredCurve curve;
    curve.label = c["label"].cast<std::string>();
    curve.t_ps = c["t_ps"].cast<std::vector<double>>();
    curve.counts = c["counts"].cast<std::vector<double>>();
    curve.irf = c["irf"].cast<std::vector<double>>();
    curve.irf_t_ps = c["irf_t_ps"].cast<std::vector<double>>();
    curve.rho_mm = ToExtended(c["rho"], "rho");
    curve.wavelength_nm = OptionalOf<double>(c["wavelength"]);
    curve.shift_ps = OptionalOf<double>(c["shift_ps"]);
    curve.background = Background(c["background"].cast<std::string>());
    const py::tuple range = c["fit_range"].cast<py::tuple>();
    curve.range.rise_fraction = range[0].cast<double>();
    curve.range.fall_fraction = range[1].cast<double>();
    if (!c["window_ps"].is_none()) {
      const py::tuple window = c["window_ps"].cast<py::tuple>();
      curve.range.t_first_ps = OptionalOf<double>(window[0]);
      curve.range.t_last_ps = OptionalOf<double>(window[1]);
    }
    problem.curves.push_back(std::move(curve));
  }
  problem.medium = setup["medium"].cast<nlayer::Medium>();
  for (const py::handle item : setup["media"].cast<py::list>()) {
    const py::tuple m = item.cast<py::tuple>();
    problem.media.push_back({m[0].cast<double>(), m[1].cast<nlayer::Medium>()});
  }
  for (const py::handle item : setup["free"].cast<py::list>()) {
    const py::tuple f = item.cast<py::tuple>();
    problem.free.push_back({f[0].cast<std::string>(), OptionalOf<double>(f[1]), OptionalOf<double>(f[2]),
                            OptionalOf<double>(f[3]), f[4].cast<std::string>()});
  }
  if (!setup["spectral"].is_none()) problem.spectral = UnpackSpectral(setup["spectral"].cast<py::dict>());
  problem.statistic = Statistic(setup["statistic"].cast<std::string>());
  problem.spectrum_tolerance = setup["spectrum_tolerance"].cast<double>();
  problem.max_iterations = setup["max_iterations"].cast<int>();
  problem.starts = setup["starts"].cast<int>();
  problem.ambiguity_threshold = setup["ambiguity_threshold"].cast<double>();
  problem.seed = setup["seed"].cast<std::uint64_t>();
  problem.profile = setup["profile"].cast<std::vector<std::string>>();
  return problem;
}

py::list EstimateList(const std::vector<nlayer::FitEstimate>& estimates) {
  py::list out;
  for (const nlayer::FitEstimate& e : estimates) out.append(py::make_tuple(e.name, e.value, e.standard_error));
  return out;
}

// The result as a dict for nlayer.FitResult.
py::dict FitDict(const nlayer::FitResult& result) {
  py::dict values, errors, starts, bounds;
  for (const nlayer::FitEstimate& e : result.estimates) {
    values[e.name.c_str()] = e.value;
    errors[e.name.c_str()] = e.standard_error;
    starts[e.name.c_str()] = e.start;
    bounds[e.name.c_str()] = py::make_tuple(e.lower, e.upper);
  }
  py::dict out;
  out["values"] = values;
  out["standard_error"] = errors;
  out["start"] = starts;
  out["bounds"] = bounds;
  out["medium"] = result.medium;
  out["chi2_reduced"] = result.chi2_reduced;
  out["degrees_of_freedom"] = result.degrees_of_freedom;
  out["model_counts"] = Array(result.model_counts);
  out["residuals"] = Array(result.residuals);
  out["first_bin"] = result.first_bin;
  out["last_bin"] = result.last_bin;
  out["evaluations"] = result.forward_evaluations;
  out["iterations"] = result.iterations;
  out["seconds"] = result.seconds;
  out["success"] = result.success;
  out["message"] = result.message;
  py::list names, fixed, flags;
  for (const nlayer::FitEstimate& e : result.estimates) {
    names.append(e.name);
    if (e.fixed) fixed.append(e.name);
  }
  for (const nlayer::FitFlag& f : result.flags) {
    py::dict flag;
    flag["kind"] = nlayer::FitFlagName(f.kind);
    flag["parameters"] = f.parameters;
    flag["sentence"] = f.sentence;
    flags.append(flag);
  }
  const auto n = static_cast<py::ssize_t>(result.estimates.size());
  auto matrix = [n](const std::vector<double>& values) {
    py::array_t<double> out({n, n});
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
  };
  out["names"] = names;
  out["fixed"] = fixed;
  out["covariance"] = matrix(result.covariance);
  out["correlation"] = matrix(result.correlation);
  out["flags"] = flags;
  out["notes"] = result.notes;
  out["poisson_deviance"] = result.poisson_deviance;
  out["condition_number"] = result.condition_number;
  out["termination"] = result.termination;
  out["successful_steps"] = result.successful_steps;
  py::list curves, media, minima, profiles;
  for (const nlayer::CurveFit& c : result.curves) {
    py::dict curve;
    curve["label"] = c.label;
    curve["rho"] = static_cast<double>(c.rho_mm);
    curve["wavelength"] = Optional(c.wavelength_nm);
    curve["t_ps"] = Array(c.t_ps);
    curve["measured"] = Array(c.counts);
    curve["model_counts"] = Array(c.model_counts);
    curve["residuals"] = Array(c.residuals);
    curve["first_bin"] = c.first_bin;
    curve["last_bin"] = c.last_bin;
    curve["chi2_reduced"] = c.chi2_reduced;
    curve["bins"] = c.bins;
    curve["poisson_deviance"] = c.poisson_deviance;
    curve["background"] = c.background;
    curves.append(curve);
  }
  for (const nlayer::WavelengthMedium& m : result.media) media.append(py::make_tuple(m.wavelength_nm, m.medium));
  for (const nlayer::FitMinimum& m : result.minima) {
    minima.append(py::make_tuple(m.deviance, Array(m.values), m.starts, m.converged));
  }
  for (const nlayer::ProfileInterval& p : result.profiles) {
    profiles.append(py::make_tuple(p.name, p.value, p.lower, p.upper, p.delta, Array(p.points), Array(p.deviance)));
  }
  out["curves"] = curves;
  out["media"] = media;
  out["derived"] = EstimateList(result.derived);
  out["minima"] = minima;
  out["profiles"] = profiles;
  out["report"] = result.FullReport();
  out["json"] = result.ToJson();
  return out;
}

// A layer's values as the constructor takes them back exactly: floats where they are doubles,
// numpy.longdouble otherwise. Pickles (every protocol) and copies go through __reduce__ with
// these; the class's own __new__ then builds the object.
py::tuple PickledLayer(const nlayer::Layer& l) {
  auto value = [](long double x) { return IsDouble(x) ? py::object(py::float_(static_cast<double>(x))) : LongDouble(x); };
  return py::make_tuple(value(l.musp), value(l.mua), value(l.n), value(l.d));
}

// pybind11's __new__ alone leaves the C++ value unconstructed, and the attributes of such an
// object (Layer.__new__(Layer)) would read uninitialised memory. So __new__ constructs, with
// the arguments of the class's __init__, and __init__ does nothing: no object of the class
// exists without its values.
void ConstructInNew(const py::object& cls) {
  py::object base_new = cls.attr("__new__");
  py::object base_init = cls.attr("__init__");
  cls.attr("__new__") = py::staticmethod(py::cpp_function(
      [base_new, base_init](const py::object& type, const py::args& args, const py::kwargs& kwargs) {
        py::object self = base_new(type);
        base_init(self, *args, **kwargs);
        return self;
      },
      py::name("__new__")));
  cls.attr("__init__") = py::cpp_function([](const py::object&, const py::args&, const py::kwargs&) {},
                                          py::name("__init__"), py::is_method(cls));
}

// The 1-based number of a layer of `medium`, as the error messages and the fit's names count.
std::size_t LayerIndex(const nlayer::Medium& medium, const py::object& layer) {
  if (py::isinstance<py::bool_>(layer) || !PyIndex_Check(layer.ptr())) {
    throw py::type_error("layer must be an integer (1 is the top layer), not " +
                         std::string(py::str(py::type::handle_of(layer).attr("__name__"))));
  }
  const Py_ssize_t number = PyNumber_AsSsize_t(layer.ptr(), nullptr);
  if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
  const auto count = static_cast<Py_ssize_t>(medium.layers.size());
  if (number < 1 || number > count) {
    throw py::value_error("layer is " + std::to_string(number) + "; the layers are numbered from 1 (the top) to " +
                          std::to_string(count));
  }
  return static_cast<std::size_t>(number - 1);
}

}  // namespace

PYBIND11_MODULE(_nlayer, m) {
  m.doc() = "The compiled part of nlayer; use the package nlayer.";

  g_model_error = PyErr_NewExceptionWithDoc(
      "nlayer.ModelError",
      "A floating-point fault of the model's arithmetic ended the computation.\n\n"
      "str(error) explains in English what usually causes it. Attributes: kind ('division by\n"
      "zero', 'overflow', 'invalid operation'), stage ('derivation', 'frequency', 'transform',\n"
      "'output'), frequency_index and frequency_hz (the modulation frequency where it happened,\n"
      "None where the stage has none).",
      PyExc_ArithmeticError, nullptr);
  if (g_model_error == nullptr) throw py::error_already_set();
  m.attr("ModelError") = py::reinterpret_borrow<py::object>(g_model_error);

  py::class_<nlayer::Layer>(m, "Layer", R"doc(One plane-parallel layer of a Medium; immutable.

Layer(musp, mua, n, d=0.0)

musp  reduced scattering coefficient mus' (1/mm), > 0
mua   absorption coefficient (1/mm), >= 0
n     refractive index relative to the outside (index 1), > 0
d     thickness (mm), > 0; not used for a single layer, which is a half-space

The values are checked when the layer becomes part of a Medium. The library keeps them as
80-bit extended reals: a float converts exactly; a decimal.Decimal becomes the extended real
nearest to its digits, as a model file's "1.9" does (the float 1.9 is another number, and the
Hankel transform at large distances amplifies such differences to some 1e-11 of the curve);
a numpy.longdouble is taken as it is. The attributes return the nearest float; the repr
shows each value's shortest digits.)doc")
      .def(py::init([](const py::object& musp, const py::object& mua, const py::object& n, const py::object& d) {
             return nlayer::Layer{ToExtended(musp, "musp"), ToExtended(mua, "mua"), ToExtended(n, "n"),
                                  ToExtended(d, "d")};
           }),
           py::arg("musp"), py::arg("mua"), py::arg("n"), py::arg("d") = 0.0)
      .def_property_readonly("musp", [](const nlayer::Layer& l) { return static_cast<double>(l.musp); },
                             "reduced scattering coefficient mus' (1/mm)")
      .def_property_readonly("mua", [](const nlayer::Layer& l) { return static_cast<double>(l.mua); },
                             "absorption coefficient (1/mm)")
      .def_property_readonly("n", [](const nlayer::Layer& l) { return static_cast<double>(l.n); },
                             "refractive index")
      .def_property_readonly("d", [](const nlayer::Layer& l) { return static_cast<double>(l.d); },
                             "thickness (mm)")
      .def("__repr__", &LayerRepr)
      .def("__eq__", [](const nlayer::Layer& a, const py::object& b) -> py::object {
        if (!py::isinstance<nlayer::Layer>(b)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return py::bool_(SameLayer(a, b.cast<nlayer::Layer>()));
      })
      .def("__hash__", [](const nlayer::Layer& l) { return py::hash(PackLayer(l)); })
      // Every pickle protocol, 0 and 1 included, goes through __reduce__: a function of the
      // module and the packed values.
      .def("__reduce__", [](const py::object& self) {
        return py::make_tuple(py::type::of(self), PickledLayer(self.cast<const nlayer::Layer&>()));
      });

  py::class_<nlayer::Medium>(m, "Medium", R"doc(A stack of layers from the top (source and detector) to the bottom; immutable.

Medium(layers)

layers  a sequence of Layer or of tuples (musp, mua, n, d), the top layer first

Raises ValueError, naming the layer and the field, when the stack is not a physical model
(e.g. "mua of layer 2 is -0.01; it must be >= 0"); the error's attributes layer, field and
value say the same as data. A Medium pickles exactly (for Dask) and compares by value.)doc")
      .def(py::init(&MakeMedium), py::arg("layers"))
      .def_property_readonly(
          "layers", [](const nlayer::Medium& medium) { return medium.layers; }, "the layers, top first (a list)")
      .def("__len__", [](const nlayer::Medium& medium) { return medium.layers.size(); })
      .def("__repr__",
           [](const nlayer::Medium& medium) {
             std::string text = "Medium([";
             for (std::size_t i = 0; i < medium.layers.size(); ++i) {
               text += (i ? ", " : "") + LayerRepr(medium.layers[i]);
             }
             return text + "])";
           })
      .def("__eq__", [](const nlayer::Medium& a, const py::object& b) -> py::object {
        if (!py::isinstance<nlayer::Medium>(b)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return py::bool_(SameMedium(a, b.cast<const nlayer::Medium&>()));
      })
      .def("__hash__", [](const nlayer::Medium& medium) { return py::hash(PackMedium(medium)); })
      .def("__reduce__", [](const py::object& self) {
        py::list layers;
        for (const nlayer::Layer& l : self.cast<const nlayer::Medium&>().layers) layers.append(PickledLayer(l));
        return py::make_tuple(py::type::of(self), py::make_tuple(layers));
      })
      .def(
          "replace",
          [](const nlayer::Medium& medium, const py::object& layer, const py::object& musp, const py::object& mua,
             const py::object& n, const py::object& d) {
            nlayer::Medium changed = medium;
            nlayer::Layer& l = changed.layers[LayerIndex(medium, layer)];
            if (!musp.is_none()) l.musp = ToExtended(musp, "musp");
            if (!mua.is_none()) l.mua = ToExtended(mua, "mua");
            if (!n.is_none()) l.n = ToExtended(n, "n");
            if (!d.is_none()) l.d = ToExtended(d, "d");
            if (auto problem = changed.Validate()) RaiseInvalid(nlayer::InvalidRequest(*problem));
            return changed;
          },
          py::arg("layer"), py::kw_only(), py::arg("musp") = py::none(), py::arg("mua") = py::none(),
          py::arg("n") = py::none(), py::arg("d") = py::none(),
          R"doc(A new Medium with the values given changed in one layer; the others are kept exactly.

layer  the layer's number, 1 for the top, as error messages and fit parameters count
musp, mua, n, d  the new values (as for Layer); those not given stay as they are

>>> deeper = medium.replace(4, mua=0.025)          # the fourth layer from the top)doc");

  ConstructInNew(m.attr("Layer"));
  ConstructInNew(m.attr("Medium"));

  m.def(
      "time_resolved",
      [](const nlayer::Medium& medium, const py::sequence& rho_mm, double dt_ps, int samples,
         unsigned threads, const std::string& engine) {
        const nlayer::TimeGrid grid{dt_ps, samples};
        nlayer::TimeCurves curves = RunInterruptible<nlayer::TimeCurves>(
            [medium, rho = Distances(rho_mm), grid, options = Options(threads, engine)] {
              return nlayer::TimeResolved(medium, rho, grid, options);
            });
        const auto rows = static_cast<py::ssize_t>(curves.rho_mm.size());
        const auto columns = static_cast<py::ssize_t>(curves.t_ps.size());
        py::array_t<double> t_ps(columns);
        std::memcpy(t_ps.mutable_data(), curves.t_ps.data(), curves.t_ps.size() * sizeof(double));
        py::array_t<double> reflectance({rows, columns});
        std::memcpy(reflectance.mutable_data(), curves.reflectance.data(), curves.reflectance.size() * sizeof(double));
        return py::make_tuple(t_ps, reflectance);
      },
      py::arg("medium"), py::arg("rho_mm"), py::arg("dt_ps"), py::arg("samples"), py::arg("threads"),
      py::arg("engine"));

  m.def(
      "frequency_domain",
      [](const nlayer::Medium& medium, const py::sequence& rho_mm, const std::vector<double>& f_hz,
         unsigned threads, const std::string& engine) {
        nlayer::FrequencySpectra spectra = RunInterruptible<nlayer::FrequencySpectra>(
            [medium, rho = Distances(rho_mm), f_hz, options = Options(threads, engine)] {
              return nlayer::FrequencyDomain(medium, rho, f_hz, options);
            });
        py::array_t<std::complex<double>> values(
            {static_cast<py::ssize_t>(spectra.rho_mm.size()), static_cast<py::ssize_t>(f_hz.size())});
        std::memcpy(values.mutable_data(), spectra.values.data(), spectra.values.size() * sizeof(std::complex<double>));
        return values;
      },
      py::arg("medium"), py::arg("rho_mm"), py::arg("f_hz"), py::arg("threads"), py::arg("engine"));

  m.def(
      "continuous_wave",
      [](const nlayer::Medium& medium, const py::sequence& rho_mm, unsigned threads, const std::string& engine) {
        std::vector<double> cw = RunInterruptible<std::vector<double>>(
            [medium, rho = Distances(rho_mm), options = Options(threads, engine)] {
              return nlayer::ContinuousWave(medium, rho, options);
            });
        return py::array_t<double>(static_cast<py::ssize_t>(cw.size()), cw.data());
      },
      py::arg("medium"), py::arg("rho_mm"), py::arg("threads"), py::arg("engine"));

  // Shown and pickled as nlayer.Layer and nlayer.Medium, the names users know.
  for (const char* name : {"Layer", "Medium"}) m.attr(name).attr("__module__") = "nlayer";

  m.def("read_model", &ReadModel, py::arg("path"), py::arg("need_rho") = true);
  // The programs' one way of saving a file, for what the Python package writes (tables, figures,
  // SNIRF files): links, owners, modes, pipes and devices kept as nlayer-run keeps them.
  m.def(
      "replace_file",
      [](const py::object& path, const py::bytes& content) {
        const std::filesystem::path name = OutputPath(path);
        const std::string_view bytes = content;
        Saving(path, [&] { nlayer::ReplaceFile(name, bytes); });
      },
      py::arg("path"), py::arg("content"));
  m.def(
      "check_output_path",
      [](const py::object& path) {
        const std::filesystem::path name = OutputPath(path);
        Saving(path, [&] { nlayer::CheckOutputPath(name); });
      },
      py::arg("path"));
  m.def(
      "same_file",
      [](const py::object& a, const py::object& b) {
        const std::filesystem::path first = OutputPath(a), second = OutputPath(b);
        py::gil_scoped_release release;
        return nlayer::SameFile(first, second);
      },
      py::arg("a"), py::arg("b"));
  m.def("read_curve", &ReadCurve, py::arg("path"));
  m.def("read_spectrum", &ReadSpectrum, py::arg("path"));

  m.def(
      "moments",
      [](const nlayer::Medium& medium, const py::sequence& rho_mm, unsigned threads, const std::string& engine) {
        const std::vector<nlayer::Moments> moments = RunInterruptible<std::vector<nlayer::Moments>>(
            [medium, rho = Distances(rho_mm), options = Options(threads, engine)] {
              return nlayer::ModelMoments(medium, rho, options);
            });
        py::list out;
        for (const nlayer::Moments& each : moments) out.append(MomentsTuple(each));
        return out;
      },
      py::arg("medium"), py::arg("rho_mm"), py::arg("threads"), py::arg("engine"));

  m.def(
      "curve_moments",
      [](const std::vector<double>& t_ps, const std::vector<double>& counts,
         const std::optional<std::vector<double>>& irf) {
        try {
          if (!irf) return MomentsTuple(nlayer::CurveMoments(t_ps, counts));
          return MomentsTuple(nlayer::CurveMoments(t_ps, counts, std::span<const double>(*irf)));
        } catch (const nlayer::InvalidRequest& e) {
          RaiseInvalid(e);
        }
      },
      py::arg("t_ps"), py::arg("counts"), py::arg("irf"));

  m.def(
      "sensitivity",
      [](const nlayer::Medium& medium, const py::object& rho_mm, double dt_ps, int samples, unsigned threads,
         const std::string& engine) {
        const nlayer::TimeGrid grid{dt_ps, samples};
        const nlayer::Sensitivities s = RunInterruptible<nlayer::Sensitivities>(
            [medium, rho = ToExtended(rho_mm, "rho"), grid, options = Options(threads, engine)] {
              return nlayer::Sensitivity(medium, rho, grid, options);
            });
        const auto layers = static_cast<py::ssize_t>(s.mpp.size());
        const auto times = static_cast<py::ssize_t>(s.t_ps.size());
        py::array_t<double> gated({layers, times});
        std::memcpy(gated.mutable_data(), s.gated.data(), s.gated.size() * sizeof(double));
        return py::make_tuple(MomentsTuple(s.moments), Array(s.mpp), Array(s.mtsf), Array(s.vsf), Array(s.t_ps),
                              gated);
      },
      py::arg("medium"), py::arg("rho_mm"), py::arg("dt_ps"), py::arg("samples"), py::arg("threads"),
      py::arg("engine"));

  m.def(
      "fit",
      [](std::vector<double> t_ps, std::vector<double> counts, std::vector<double> irf, std::vector<double> irf_t_ps,
         const nlayer::Medium& medium, const py::object& rho_mm,
         const std::vector<std::tuple<std::string, std::optional<double>, std::optional<double>,
                                      std::optional<double>>>& free,
         bool background, const std::string& statistic, double rise_fraction, double fall_fraction,
         std::optional<double> t_first_ps, std::optional<double> t_last_ps, unsigned threads,
         const std::string& engine, double spectrum_tolerance, int max_iterations, std::optional<double> shift_ps) {
        nlayer::FitRequest request;
        request.t_ps = std::move(t_ps);
        request.counts = std::move(counts);
        request.irf = std::move(irf);
        request.irf_t_ps = std::move(irf_t_ps);
        request.medium = medium;
        request.rho_mm = ToExtended(rho_mm, "rho");
        for (const auto& [name, lower, upper, start] : free) request.free.push_back({name, lower, upper, start, {}});
        request.background = background;
        request.statistic = Statistic(statistic);
        request.range = {rise_fraction, fall_fraction, t_first_ps, t_last_ps};
        request.options = Options(threads, engine);
        request.spectrum_tolerance = spectrum_tolerance;
        request.max_iterations = max_iterations;
        request.shift_ps = shift_ps;
        const nlayer::FitResult result =
            RunInterruptible<nlayer::FitResult>([request = std::move(request)] { return nlayer::FitCurve(request); });
        return FitDict(result);
      },
      py::arg("t_ps"), py::arg("counts"), py::arg("irf"), py::arg("irf_t_ps"), py::arg("medium"), py::arg("rho_mm"),
      py::arg("free"), py::arg("background"), py::arg("statistic"), py::arg("rise_fraction"),
      py::arg("fall_fraction"), py::arg("t_first_ps"), py::arg("t_last_ps"), py::arg("threads"), py::arg("engine"),
      py::arg("spectrum_tolerance"), py::arg("max_iterations"), py::arg("shift_ps"));

  m.def(
      "simulate_counts",
      [](const nlayer::Medium& medium, const py::object& rho_mm, std::vector<double> irf, double dt_ps,
         double total_counts, double shift_ps, double background, std::uint64_t seed, unsigned threads,
         const std::string& engine) {
        const std::vector<double> counts = RunInterruptible<std::vector<double>>(
            [=, rho = ToExtended(rho_mm, "rho"), irf = std::move(irf), options = Options(threads, engine)] {
              return nlayer::SimulateCounts(medium, rho, irf, dt_ps, total_counts, shift_ps, background, seed, options);
            });
        return Array(counts);
      },
      py::arg("medium"), py::arg("rho_mm"), py::arg("irf"), py::arg("dt_ps"), py::arg("total_counts"),
      py::arg("shift_ps"), py::arg("background"), py::arg("seed"), py::arg("threads"), py::arg("engine"));

  m.def(
      "expected_counts",
      [](const nlayer::Medium& medium, const py::sequence& rho_mm, std::vector<double> irf, double dt_ps,
         double amplitude, double shift_ps, double background, unsigned threads, const std::string& engine) {
        const std::vector<long double> distances = Distances(rho_mm);
        const auto bins = static_cast<py::ssize_t>(irf.size());
        const std::vector<std::vector<double>> rows = RunInterruptible<std::vector<std::vector<double>>>(
            [=, irf = std::move(irf), options = Options(threads, engine)] {
              std::vector<std::vector<double>> out;
              for (const long double rho : distances) {
                out.push_back(nlayer::ExpectedCounts(medium, rho, irf, dt_ps, amplitude, shift_ps, background, options));
              }
              return out;
            });
        py::array_t<double> counts({static_cast<py::ssize_t>(rows.size()), bins});
        for (std::size_t r = 0; r < rows.size(); ++r) {
          std::copy(rows[r].begin(), rows[r].end(), counts.mutable_data() + r * static_cast<std::size_t>(bins));
        }
        return counts;
      },
      py::arg("medium"), py::arg("rho_mm"), py::arg("irf"), py::arg("dt_ps"), py::arg("amplitude"),
      py::arg("shift_ps"), py::arg("background"), py::arg("threads"), py::arg("engine"));

  m.def(
      "absorption_per_unit",
      [](const py::list& chromophores, const std::vector<double>& wavelengths_nm) {
        const std::vector<nlayer::Chromophore> spectra = UnpackChromophores(chromophores);
        py::array_t<double> out({static_cast<py::ssize_t>(wavelengths_nm.size()), static_cast<py::ssize_t>(spectra.size())});
        double* row = out.mutable_data();
        try {
          for (const double nm : wavelengths_nm) {
            for (const nlayer::Chromophore& c : spectra) *row++ = c.AbsorptionPerUnit(nm);
          }
        } catch (const nlayer::InvalidRequest& e) {
          RaiseInvalid(e);
        }
        return out;
      },
      py::arg("chromophores"), py::arg("wavelengths_nm"));

  m.def(
      "medium_at",
      [](const py::dict& spectral, const nlayer::Medium& geometry, const std::vector<double>& wavelengths_nm) {
        const nlayer::SpectralModel model = UnpackSpectral(spectral);
        std::vector<nlayer::Medium> media;
        try {
          for (const double nm : wavelengths_nm) {
            media.push_back(model.MediumAt(geometry, nm));
            if (auto problem = media.back().Validate()) throw nlayer::InvalidRequest(*problem);
          }
        } catch (const nlayer::InvalidRequest& e) {
          RaiseInvalid(e);
        }
        return media;
      },
      py::arg("spectral"), py::arg("geometry"), py::arg("wavelengths_nm"));

  m.def("hemoglobin", [] {
    py::list out;
    for (const nlayer::Chromophore& c : nlayer::HemoglobinSpectra()) out.append(PackChromophore(c));
    return out;
  });

  m.def("read_problem", [](const std::string& path) {
    const nlayer::ProblemFile file = ReadUserFile(path, [&] { return nlayer::ReadProblemFile(path); });
    return PackProblem(file.problem);
  });

  m.def("read_problem_model", [](const std::string& path) {
    const nlayer::ProblemFile file = ReadUserFile(path, [&] { return nlayer::ReadProblemModel(path); });
    return PackProblem(file.problem);
  });

  m.def(
      "fit_problem",
      [](const py::dict& setup, unsigned threads, const std::string& engine) {
        nlayer::FitProblem problem = UnpackProblem(setup);
        problem.options = Options(threads, engine);
        const nlayer::FitResult result =
            RunInterruptible<nlayer::FitResult>([problem = std::move(problem)] { return nlayer::Fit(problem); });
        return FitDict(result);
      },
      py::arg("setup"), py::arg("threads"), py::arg("engine"));

  m.def(
      "unwrapped_phase_lag",
      [](const py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>& values,
         const std::vector<double>& f_hz) {
        if (values.ndim() != 2 || static_cast<std::size_t>(values.shape(1)) != f_hz.size()) {
          throw py::value_error("the values must be an array (distances, len(f_hz))");
        }
        const auto rows = static_cast<std::size_t>(values.shape(0)), columns = f_hz.size();
        py::array_t<double> lag({values.shape(0), values.shape(1)});
        for (std::size_t r = 0; r < rows; ++r) {
          const std::vector<double> row =
              nlayer::UnwrappedPhaseLag(std::span(values.data() + r * columns, columns), f_hz);
          std::copy(row.begin(), row.end(), lag.mutable_data() + r * columns);
        }
        return lag;
      },
      py::arg("values"), py::arg("f_hz"));

  m.attr("__version__") = nlayer::Version();
}
