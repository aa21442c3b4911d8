// The model's types and computations: Layer, Medium (exact values, pickling), the curves, moments,
// sensitivities and the phase lag.

#include "python/module_common.h"

namespace nlayer_python {

namespace {

static_assert(LDBL_MANT_DIG == 64, "the exact pickling of layers assumes the x87 extended format");

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

void RegisterModel(py::module_& m) {
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
}

}  // namespace nlayer_python
