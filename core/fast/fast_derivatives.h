// The fast engine's spectrum together with its derivatives with respect to mua and mus' of every
// layer, for the Jacobians of fits: one call instead of the 2N + 1 spectra of central
// differences. Internal to the library (fit/ calls it); not part of the public API.
//
// The values are the fast engine's own (ComputeSpectrumFast, bit for bit). The derivatives are
// those of the same quadrature: the layered solution differentiated in reverse mode at the rule's
// points (core/fast/fast_kernel.h, EvaluateDerivatives) and summed with the rule's weights and
// Bessel factors, in double precision; and, for mus' of the top layer, what the move of the
// rule's points adds (they are multiples of it): the rule's sum of (s g)' / mus', g the
// integrand. Its integral is the integrand at the rule's end, some e^-30 of its start, yet where
// the derivative is small (long distances, high frequencies) it reaches 1e-4 of it, and central
// differences of either engine contain it.
//
// Accuracy, over the models of tests/fast_derivatives_test.cpp (1 to 4 layers, 10 to 40 mm,
// 0 to 2 GHz): within 5e-7 of the largest derivative at each frequency and 1e-9 of each
// derivative's own largest value of central differences of the exact engine. Where the spectrum
// at 40 mm and 2 GHz lies five decades below the continuous-wave value, the differences of the
// exact engine, not these derivatives, lose digits: the rule's J0 (of rho s rounded to a double)
// changes irregularly as the points move with mus', and the extended rounding of such a value
// divided by the step reaches 1e-4 of the derivative; central differences over the extended
// rule with J0 of the extended product, which have neither, agree to 2e-6 there.
//
// Nothing is returned where the fast engine declines the request (the caller then forms central
// differences of the exact engine), for stacks of more than fast::kMaxDerivativeLayers layers,
// and where a derivative comes out non-finite. Results do not depend on the thread count, bit
// for bit. On another instruction set the derivatives differ by up to 1e-9 of the largest at a
// frequency: the points' rounding in double, magnified by the transform's cancellation.
#pragma once

#include <complex>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

#include "core/derived_model.h"
#include "core/hankel.h"
#include "core/layered_solution.h"
#include "nlayer/medium.h"
#include "nlayer/reflectance.h"

namespace nlayer {

// Parameters are numbered mua_1, mus'_1, mua_2, mus'_2, ... from the top layer: parameter
// 2 k is mua and 2 k + 1 is mus' of layer k (0 the top).
struct SpectrumJacobian {
  std::size_t distances = 0;
  std::size_t frequencies = 0;
  std::size_t parameters = 0;  // twice the layers
  // values[r * frequencies + k]: the fast engine's spectrum at distance r and frequency k, mm^-2.
  std::vector<ComplexExt> values;
  // derivatives[(j * distances + r) * frequencies + k]: d values / d parameter j, mm^-1 (mm^-2
  // per 1/mm).
  std::vector<std::complex<double>> derivatives;
  std::vector<TransformPlan> plans;  // per distance, as in Spectrum

  const ComplexExt& Value(std::size_t r, std::size_t k) const { return values[r * frequencies + k]; }
  const std::complex<double>& Derivative(std::size_t j, std::size_t r, std::size_t k) const {
    return derivatives[(j * distances + r) * frequencies + k];
  }
};

// The spectrum of `model` at `rhos` (mm) and `omegas` (rad/s) with its derivatives, on `threads`
// workers (0: all), or nothing (see above). `stop` is read before each frequency; a request to
// stop ends the call with Cancelled.
std::optional<SpectrumJacobian> ComputeSpectrumDerivativesFast(const DerivedModel& model,
                                                               std::span<const long double> rhos,
                                                               std::span<const long double> omegas, unsigned threads,
                                                               std::stop_token stop = {});

// FrequencyDomain with Engine::kFast and the derivatives of its values: the same request, the
// same refusals (InvalidRequest, ModelError) and `spectra` as FrequencyDomain returns them, plus
// derivatives[(j * rho_mm.size() + r) * f_hz.size() + k] = d spectra.At(r, k) / d parameter j
// (numbered as above). Nothing where ComputeSpectrumDerivativesFast returns nothing; the caller
// then differentiates FrequencyDomain itself. `options.engine` is not read.
struct FrequencyJacobian {
  FrequencySpectra spectra;
  std::size_t parameters = 0;
  std::vector<std::complex<double>> derivatives;

  std::complex<double> Derivative(std::size_t j, std::size_t r, std::size_t k) const {
    return derivatives[(j * spectra.rho_mm.size() + r) * spectra.f_hz.size() + k];
  }
};

std::optional<FrequencyJacobian> FrequencyDomainDerivatives(const Medium& medium,
                                                            const std::vector<long double>& rho_mm,
                                                            const std::vector<double>& f_hz,
                                                            const ComputeOptions& options = {});

}  // namespace nlayer
