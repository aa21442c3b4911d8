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

// What the Python side unpacks: (t_ps, R, R_error), photons, batches, (R, error), (T, error),
// unfinished, and the path record's arrays or None.
py::tuple Pack(const nlayer::MonteCarloCurves& c, bool record_paths) {
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
}

nlayer::MonteCarloOptions MakeOptions(std::uint64_t photons, unsigned batches, const std::vector<double>& g,
                                      double width_mm, std::uint64_t seed, bool record_paths, unsigned threads) {
  return nlayer::MonteCarloOptions{.photons = photons, .batches = batches, .g = g, .width_mm = width_mm,
                                   .seed = seed, .record_paths = record_paths, .threads = threads};
}

// A part of a run as plain arrays, which pickle: (first, count, weight, totals, paths or None).
py::tuple PackBatches(const nlayer::MonteCarloBatches& b) {
  const nlayer::PathRecord& p = b.paths;
  const auto n = static_cast<py::ssize_t>(p.size()), layers = static_cast<py::ssize_t>(p.layers);
  py::object paths = py::none();
  if (p.layers != 0) {
    paths = py::make_tuple(Shaped(p.rho_index, {n}), Shaped(p.time_bin, {n}), Shaped(p.batch, {n}),
                           Shaped(p.time_ps, {n}), Shaped(p.weight, {n}), Shaped(p.path_mm, {n, layers}));
  }
  return py::make_tuple(b.first, b.count, Array(b.weight), Array(b.totals), paths);
}

nlayer::MonteCarloBatches UnpackBatches(const py::handle& item) {
  const auto t = item.cast<py::tuple>();
  if (t.size() != 5) throw py::value_error("a part of a Monte Carlo run is a 5-tuple from monte_carlo_batches");
  nlayer::MonteCarloBatches b;
  b.first = t[0].cast<unsigned>();
  b.count = t[1].cast<unsigned>();
  b.weight = Vector(t[2].cast<py::array_t<double, py::array::c_style | py::array::forcecast>>());
  b.totals = Vector(t[3].cast<py::array_t<double, py::array::c_style | py::array::forcecast>>());
  if (!t[4].is_none()) {
    const auto p = t[4].cast<py::tuple>();
    using U = py::array_t<std::uint32_t, py::array::c_style | py::array::forcecast>;
    using D = py::array_t<double, py::array::c_style | py::array::forcecast>;
    const auto path = p[5].cast<D>();
    b.paths.layers = path.ndim() == 2 ? static_cast<std::size_t>(path.shape(1)) : 0;
    b.paths.rho_index = Vector(p[0].cast<U>());
    b.paths.time_bin = Vector(p[1].cast<U>());
    b.paths.batch = Vector(p[2].cast<U>());
    b.paths.time_ps = Vector(p[3].cast<D>());
    b.paths.weight = Vector(p[4].cast<D>());
    b.paths.path_mm = Vector(path);
  }
  return b;
}

}  // namespace

void RegisterMonteCarlo(py::module_& m) {
  m.def(
      "monte_carlo",
      [](const nlayer::Medium& medium, const std::vector<double>& rho_mm, double dt_ps, int samples,
         std::uint64_t photons, unsigned batches, const std::vector<double>& g, double width_mm, std::uint64_t seed,
         bool record_paths, unsigned threads) {
        const nlayer::MonteCarloCurves c =
            Simulate(medium, {rho_mm.begin(), rho_mm.end()}, nlayer::TimeGrid{dt_ps, samples},
                     MakeOptions(photons, batches, g, width_mm, seed, record_paths, threads));
        return Pack(c, record_paths);
      },
      py::arg("medium"), py::arg("rho_mm"), py::arg("dt_ps"), py::arg("samples"), py::arg("photons"),
      py::arg("batches"), py::arg("g"), py::arg("width_mm"), py::arg("seed"), py::arg("record_paths"),
      py::arg("threads"));

  // Batches first ... first + count - 1 of a run, without the GIL: what a Dask task or a local
  // chunk computes. `stop`, an Event or None, is looked at every 0.1 s; once it is set the
  // simulation stops within some hundred photons and the call returns None.
  m.def(
      "monte_carlo_batches",
      [](const nlayer::Medium& medium, const std::vector<double>& rho_mm, double dt_ps, int samples,
         std::uint64_t photons, unsigned batches, const std::vector<double>& g, double width_mm, std::uint64_t seed,
         bool record_paths, unsigned threads, unsigned first, unsigned count, const py::object& stop) -> py::object {
        std::stop_source source;
        nlayer::MonteCarloOptions options = MakeOptions(photons, batches, g, width_mm, seed, record_paths, threads);
        options.stop = source.get_token();
        const std::vector<long double> rho(rho_mm.begin(), rho_mm.end());
        const nlayer::TimeGrid grid{dt_ps, samples};
        std::future<nlayer::MonteCarloBatches> result =
            Launch<nlayer::MonteCarloBatches>([medium, rho, grid, options, first, count] {
              return nlayer::MonteCarloRunBatches(medium, rho, grid, options, first, count);
            });
        AwaitWithoutGil(result, source, [&] { return !stop.is_none() && stop.attr("is_set")().cast<bool>(); });
        try {
          return PackBatches(result.get());
        } catch (const nlayer::Cancelled&) {
          return py::none();
        } catch (const nlayer::InvalidRequest& e) {
          RaiseInvalid(e);
        }
      },
      py::arg("medium"), py::arg("rho_mm"), py::arg("dt_ps"), py::arg("samples"), py::arg("photons"),
      py::arg("batches"), py::arg("g"), py::arg("width_mm"), py::arg("seed"), py::arg("record_paths"),
      py::arg("threads"), py::arg("first"), py::arg("count"), py::arg("stop") = py::none());

  m.def(
      "monte_carlo_combine",
      [](const nlayer::Medium& medium, const std::vector<double>& rho_mm, double dt_ps, int samples,
         std::uint64_t photons, unsigned batches, const std::vector<double>& g, double width_mm, std::uint64_t seed,
         bool record_paths, const py::sequence& parts) {
        std::vector<nlayer::MonteCarloBatches> unpacked;
        for (const py::handle item : parts) unpacked.push_back(UnpackBatches(item));
        nlayer::MonteCarloCurves c;
        try {
          c = nlayer::MonteCarloCombine(medium, {rho_mm.begin(), rho_mm.end()}, nlayer::TimeGrid{dt_ps, samples},
                                        MakeOptions(photons, batches, g, width_mm, seed, record_paths, 1),
                                        std::move(unpacked));
        } catch (const nlayer::InvalidRequest& e) {
          RaiseInvalid(e);
        }
        return Pack(c, record_paths);
      },
      py::arg("medium"), py::arg("rho_mm"), py::arg("dt_ps"), py::arg("samples"), py::arg("photons"),
      py::arg("batches"), py::arg("g"), py::arg("width_mm"), py::arg("seed"), py::arg("record_paths"),
      py::arg("parts"));

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
