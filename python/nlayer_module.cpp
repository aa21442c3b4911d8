// nlayer._nlayer: the library's types and computations for Python. The public functions with
// their argument handling live in the package nlayer; this module converts, releases the GIL
// and translates the library's exceptions. Each area registers itself from its own file
// (module_model.cpp, module_files.cpp, module_spectra.cpp, module_monte_carlo.cpp, and the fits
// here); what they share is in module_common.h.
#include "python/module_common.h"

namespace nlayer_python {
namespace {

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

template <class T>
py::object Optional(const std::optional<T>& value) {
  return value ? py::cast(*value) : py::none();
}

py::dict PackProblem(const nlayer::FitProblem& problem, const nlayer::FitOptions& options) {
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
  out["statistic"] = options.statistic == nlayer::FitStatistic::kLeastSquares ? "chi2" : "poisson";
  out["engine"] = options.compute.engine == nlayer::Engine::kExact ? "exact" : "fast";
  out["threads"] = options.compute.threads;
  out["spectrum_tolerance"] = options.spectrum_tolerance;
  out["max_iterations"] = options.max_iterations;
  out["starts"] = options.starts;
  out["ambiguity_threshold"] = options.ambiguity_threshold;
  out["seed"] = options.seed;
  out["profile"] = options.profile;
  return out;
}

template <class T>
std::optional<T> OptionalOf(const py::handle& value) {
  if (value.is_none()) return std::nullopt;
  return value.cast<T>();
}

// The problem and the options it is fitted with, as PackProblem gives them.
std::pair<nlayer::FitProblem, nlayer::FitOptions> UnpackProblem(const py::dict& setup) {
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
  nlayer::FitOptions options;
  options.statistic = Statistic(setup["statistic"].cast<std::string>());
  options.spectrum_tolerance = setup["spectrum_tolerance"].cast<double>();
  options.max_iterations = setup["max_iterations"].cast<int>();
  options.starts = setup["starts"].cast<int>();
  options.ambiguity_threshold = setup["ambiguity_threshold"].cast<double>();
  options.seed = setup["seed"].cast<std::uint64_t>();
  options.profile = setup["profile"].cast<std::vector<std::string>>();
  return {std::move(problem), std::move(options)};
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

}  // namespace

void RegisterFit(py::module_& m) {
  m.def(
      "fit",
      [](std::vector<double> t_ps, std::vector<double> counts, std::vector<double> irf, std::vector<double> irf_t_ps,
         const nlayer::Medium& medium, const py::object& rho_mm,
         const std::vector<std::tuple<std::string, std::optional<double>, std::optional<double>,
                                      std::optional<double>>>& free,
         bool background, const std::string& statistic, double rise_fraction, double fall_fraction,
         std::optional<double> t_first_ps, std::optional<double> t_last_ps, unsigned threads,
         const std::string& engine, double spectrum_tolerance, int max_iterations, std::optional<double> shift_ps) {
        nlayer::MeasuredCurve curve;
        curve.t_ps = std::move(t_ps);
        curve.counts = std::move(counts);
        curve.irf = std::move(irf);
        curve.irf_t_ps = std::move(irf_t_ps);
        curve.rho_mm = ToExtended(rho_mm, "rho");
        curve.background = background ? nlayer::BackgroundMode::kFitted : nlayer::BackgroundMode::kNone;
        curve.range = {rise_fraction, fall_fraction, t_first_ps, t_last_ps};
        curve.shift_ps = shift_ps;
        std::vector<nlayer::FitParameter> parameters;
        for (const auto& [name, lower, upper, start] : free) parameters.emplace_back(name, lower, upper, start);
        nlayer::FitOptions options;
        options.statistic = Statistic(statistic);
        options.compute = Options(threads, engine);
        options.spectrum_tolerance = spectrum_tolerance;
        options.max_iterations = max_iterations;
        const nlayer::FitResult result = RunInterruptible<nlayer::FitResult>(
            [curve = std::move(curve), medium, parameters = std::move(parameters), options = std::move(options)] {
              return nlayer::FitCurve(curve, medium, parameters, options);
            });
        return FitDict(result);
      },
      py::arg("t_ps"), py::arg("counts"), py::arg("irf"), py::arg("irf_t_ps"), py::arg("medium"), py::arg("rho_mm"),
      py::arg("free"), py::arg("background"), py::arg("statistic"), py::arg("rise_fraction"),
      py::arg("fall_fraction"), py::arg("t_first_ps"), py::arg("t_last_ps"), py::arg("threads"), py::arg("engine"),
      py::arg("spectrum_tolerance"), py::arg("max_iterations"), py::arg("shift_ps"));


  m.def("read_problem", [](const std::string& path) {
    const nlayer::ProblemFile file = ReadUserFile(path, [&] { return nlayer::ReadProblemFile(path); });
    return PackProblem(file.problem, file.options);
  });

  m.def("read_problem_model", [](const std::string& path) {
    const nlayer::ProblemFile file = ReadUserFile(path, [&] { return nlayer::ReadProblemModel(path); });
    return PackProblem(file.problem, file.options);
  });

  m.def(
      "fit_problem",
      [](const py::dict& setup, unsigned threads, const std::string& engine) {
        auto [problem, options] = UnpackProblem(setup);
        options.compute = Options(threads, engine);
        const nlayer::FitResult result = RunInterruptible<nlayer::FitResult>(
            [problem = std::move(problem), options = std::move(options)] { return nlayer::Fit(problem, options); });
        return FitDict(result);
      },
      py::arg("setup"), py::arg("threads"), py::arg("engine"));
}

}  // namespace nlayer_python

PYBIND11_MODULE(_nlayer, m) {
  m.doc() = "The compiled part of nlayer; use the package nlayer.";
  nlayer_python::RegisterModel(m);
  nlayer_python::RegisterFiles(m);
  nlayer_python::RegisterSpectra(m);
  nlayer_python::RegisterFit(m);
  nlayer_python::RegisterMonteCarlo(m);
  m.attr("__version__") = nlayer::Version();
}
