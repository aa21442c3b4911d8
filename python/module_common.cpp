// Definitions of module_common.h.
#include "python/module_common.h"

namespace nlayer_python {

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

py::array_t<double> Array(const std::vector<double>& values) {
  py::array_t<double> array(static_cast<py::ssize_t>(values.size()));
  std::memcpy(array.mutable_data(), values.data(), values.size() * sizeof(double));
  return array;
}

py::tuple MomentsTuple(const nlayer::Moments& moments) {
  return py::make_tuple(moments.total, moments.mean_time_ps, moments.variance_ps2);
}

py::tuple PackChromophore(const nlayer::Chromophore& c) {
  return py::make_tuple(c.name, c.unit == nlayer::ChromophoreUnit::kMolarExtinction ? "molar_extinction" : "absorption",
                        Array(c.wavelength_nm), Array(c.values), c.source);
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

}  // namespace nlayer_python
