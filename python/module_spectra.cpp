// Chromophore spectra, the media of a spectral model and simulated counts.

#include "python/module_common.h"

namespace nlayer_python {

void RegisterSpectra(py::module_& m) {
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
}

}  // namespace nlayer_python
