// nlayer._nlayer's Monte Carlo functions: the simulation on a thread of its own, so that the
// GIL is free and Ctrl-C stops it between batches, and the re-weighting of a white run's path
// record.
#include "python/module_common.h"
#include "nlayer/monte_carlo.h"

namespace nlayer_python {
namespace {

template <class T>
py::array_t<T> Shaped(const std::vector<T>& values, std::vector<py::ssize_t> shape) {
  py::array_t<T> out(shape);
  if (!values.empty()) std::memcpy(out.mutable_data(), values.data(), values.size() * sizeof(T));
  return out;
}

template <class T>
std::vector<T> Vector(const py::array_t<T, py::array::c_style | py::array::forcecast>& a) {
  return std::vector<T>(a.data(), a.data() + a.size());
}

// The curves as (t_ps, R, R_error) with R and its errors of shape (distances, times).
py::tuple CurveArrays(const nlayer::MonteCarloCurves& c) {
  const auto rows = static_cast<py::ssize_t>(c.rho_mm.size()), columns = static_cast<py::ssize_t>(c.t_ps.size());
  return py::make_tuple(Shaped(c.t_ps, {columns}), Shaped(c.reflectance, {rows, columns}),
                        Shaped(c.standard_error, {rows, columns}));
}

nlayer::MonteCarloCurves Simulate(const nlayer::Medium& medium, const std::vector<long double>& rho,
                                  const nlayer::TimeGrid& grid, nlayer::MonteCarloOptions options) {
  // Ctrl-C stops the run after the batches under way: nothing keeps running behind it.
  t_pending_stop.emplace();
  options.stop = t_pending_stop->get_token();
  return RunInterruptible<nlayer::MonteCarloCurves>(
      [medium, rho, grid, options] { return nlayer::MonteCarlo(medium, rho, grid, options); });
}

}  // namespace

void RegisterMonteCarlo(py::module_& m) {
  m.def(
      "monte_carlo",
      [](const nlayer::Medium& medium, const std::vector<double>& rho_mm, double dt_ps, int samples,
         std::uint64_t photons, unsigned batches, const std::vector<double>& g, double width_mm, std::uint64_t seed,
         bool record_paths, unsigned threads) {
        const nlayer::MonteCarloOptions options{.photons = photons, .batches = batches, .g = g, .width_mm = width_mm,
                                                .seed = seed, .record_paths = record_paths, .threads = threads};
        const nlayer::MonteCarloCurves c =
            Simulate(medium, {rho_mm.begin(), rho_mm.end()}, nlayer::TimeGrid{dt_ps, samples}, options);
        const nlayer::PathRecord& p = c.paths;
        const auto n = static_cast<py::ssize_t>(p.size()), layers = static_cast<py::ssize_t>(p.layers);
        py::object paths = py::none();
        if (record_paths) {
          paths = py::make_tuple(Shaped(p.rho_index, {n}), Shaped(p.time_bin, {n}), Shaped(p.batch, {n}),
                                 Shaped(p.time_ps, {n}), Shaped(p.weight, {n}), Shaped(p.path_mm, {n, layers}));
        }
        return py::make_tuple(CurveArrays(c), c.photons, c.batches,
                              py::make_tuple(c.total_reflectance, c.total_reflectance_error),
                              py::make_tuple(c.total_transmittance, c.total_transmittance_error), c.unfinished, paths);
      },
      py::arg("medium"), py::arg("rho_mm"), py::arg("dt_ps"), py::arg("samples"), py::arg("photons"),
      py::arg("batches"), py::arg("g"), py::arg("width_mm"), py::arg("seed"), py::arg("record_paths"),
      py::arg("threads"));

  m.def(
      "monte_carlo_reweight",
      [](const std::vector<double>& t_ps, const std::vector<double>& rho_mm, double width_mm, std::uint64_t photons,
         unsigned batches, const py::array_t<std::uint32_t, py::array::c_style | py::array::forcecast>& rho_index,
         const py::array_t<std::uint32_t, py::array::c_style | py::array::forcecast>& time_bin,
         const py::array_t<std::uint32_t, py::array::c_style | py::array::forcecast>& batch,
         const py::array_t<double, py::array::c_style | py::array::forcecast>& time_ps,
         const py::array_t<double, py::array::c_style | py::array::forcecast>& weight,
         const py::array_t<double, py::array::c_style | py::array::forcecast>& path_mm, const std::vector<double>& mua) {
        nlayer::MonteCarloCurves white;
        white.t_ps = t_ps;
        white.rho_mm.assign(rho_mm.begin(), rho_mm.end());
        white.width_mm = width_mm;
        white.photons = photons;
        white.batches = batches;
        nlayer::PathRecord& p = white.paths;
        p.layers = path_mm.ndim() == 2 ? static_cast<std::size_t>(path_mm.shape(1)) : 0;
        p.rho_index = Vector(rho_index);
        p.time_bin = Vector(time_bin);
        p.batch = Vector(batch);
        p.time_ps = Vector(time_ps);
        p.weight = Vector(weight);
        p.path_mm = Vector(path_mm);
        const std::size_t n = p.weight.size();
        bool consistent = p.rho_index.size() == n && p.time_bin.size() == n && p.batch.size() == n &&
                          p.time_ps.size() == n && p.path_mm.size() == n * p.layers;
        for (std::size_t i = 0; consistent && i < n; ++i) {
          consistent = p.rho_index[i] < rho_mm.size() && p.time_bin[i] < t_ps.size() && p.batch[i] < batches;
        }
        if (!consistent) throw py::value_error("the path record does not belong to these curves");
        nlayer::ReweightedCurves re;
        try {
          re = nlayer::Reweight(white, mua);
        } catch (const nlayer::InvalidRequest& e) {
          RaiseInvalid(e);
        }
        return py::make_tuple(CurveArrays(re.curves),
                              Shaped(re.mean_partial_path_mm, {static_cast<py::ssize_t>(rho_mm.size()),
                                                              static_cast<py::ssize_t>(p.layers)}));
      },
      py::arg("t_ps"), py::arg("rho_mm"), py::arg("width_mm"), py::arg("photons"), py::arg("batches"),
      py::arg("rho_index"), py::arg("time_bin"), py::arg("batch"), py::arg("time_ps"), py::arg("weight"),
      py::arg("path_mm"), py::arg("mua"));
}

}  // namespace nlayer_python
