// Absorption and scattering at a wavelength from chromophore spectra and a scattering power law.
#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

#include "core/number_text.h"
#include "nlayer/errors.h"
#include "nlayer/fit.h"

namespace nlayer {

double Chromophore::AbsorptionPerUnit(double nm) const {
  const auto refuse = [&](const std::string& why) {
    throw InvalidRequest(ModelProblem{0, "wavelength", static_cast<long double>(nm),
                                      "the spectrum of " + name + " " + why});
  };
  if (wavelength_nm.empty() || wavelength_nm.size() != values.size()) {
    refuse("has " + std::to_string(wavelength_nm.size()) + " wavelengths and " + std::to_string(values.size()) +
           " values; it needs as many of each, at least one");
  }
  if (!std::isfinite(nm) || nm < wavelength_nm.front() || nm > wavelength_nm.back()) {
    refuse("covers " + NumberText(wavelength_nm.front()) + " ... " + NumberText(wavelength_nm.back()) +
           " nm, not " + NumberText(nm) + " nm");
  }
  // The first tabulated wavelength at or above nm; an exact match takes the table's value.
  const auto above = std::lower_bound(wavelength_nm.begin(), wavelength_nm.end(), nm);
  const std::size_t i = static_cast<std::size_t>(above - wavelength_nm.begin());
  double value = values[i];
  if (wavelength_nm[i] != nm) {
    const double w = (nm - wavelength_nm[i - 1]) / (wavelength_nm[i] - wavelength_nm[i - 1]);
    value = values[i - 1] + w * (values[i] - values[i - 1]);
  }
  // Decadic extinction in cm^-1/M and concentrations in µM: ln(10) eps C 1e-6 per cm, a tenth
  // of that per mm.
  return unit == ChromophoreUnit::kMolarExtinction ? std::numbers::ln10 * value * 1e-7 : value;
}

Medium SpectralModel::MediumAt(const Medium& geometry, double nm) const {
  if (layers.size() != geometry.layers.size()) {
    throw InvalidRequest(ModelProblem{0, "layers", static_cast<long double>(layers.size()),
                                      "the spectral model has " + std::to_string(layers.size()) +
                                          " layers and the medium " + std::to_string(geometry.layers.size())});
  }
  Medium medium = geometry;
  std::vector<double> per_unit(chromophores.size());
  for (std::size_t c = 0; c < chromophores.size(); ++c) per_unit[c] = chromophores[c].AbsorptionPerUnit(nm);
  for (std::size_t k = 0; k < layers.size(); ++k) {
    const SpectralLayer& layer = layers[k];
    if (layer.concentrations.size() != chromophores.size()) {
      throw InvalidRequest(ModelProblem{static_cast<int>(k + 1), "concentrations",
                                        static_cast<long double>(layer.concentrations.size()),
                                        "layer " + std::to_string(k + 1) + " has " +
                                            std::to_string(layer.concentrations.size()) +
                                            " concentrations for " + std::to_string(chromophores.size()) +
                                            " chromophores"});
    }
    double mua = 0;
    for (std::size_t c = 0; c < chromophores.size(); ++c) mua += per_unit[c] * layer.concentrations[c];
    medium.layers[k].mua = mua;
    medium.layers[k].musp = layer.a * std::pow(nm / reference_nm, -layer.b);
  }
  return medium;
}

}  // namespace nlayer
