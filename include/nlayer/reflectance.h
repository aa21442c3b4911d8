// The diffuse reflectance of a layered medium: time-resolved curves R(rho, t), frequency-domain
// values R~(rho, f) and the continuous-wave reflectance, for several distances at once.
//
// The model: the diffusion equation for N plane-parallel layers with extrapolated boundaries
// (effective reflection from Fresnel's equations for the top and bottom layer's index), solved
// in closed form in the spatial-frequency domain (Kienle et al., Appl. Opt. 37, 779, 1998;
// Liemert and Kienle, J. Biomed. Opt. 15, 025003, 2010), inverted by a 960-point
// Gauss-Legendre rule of the Hankel transform over spatial frequencies up to 30 mus' of the
// top layer, in 80-bit extended precision. Where the detector is far enough for that rule to
// lose digits (rho mus' of the top layer above 60, or the transform's terms cancelling to less
// than 2e-6 of themselves), the interval is extended to 40 mus' and cut into panels of one
// rule each, with nodes and Bessel factors to the extended real's precision. Time-resolved
// curves come from one inverse real FFT of the spectrum at the grid's frequencies.
//
// Accuracy: each result carries `rounding`, the estimated bound of what the transform's
// rounding (and for curves the period's fold) leaves in its values. A distance where that would
// exceed 1e-5 of a curve's peak, or
// 1e-6 of the continuous-wave value in the frequency domain, is refused with InvalidRequest
// naming rho and the longest distance the medium can be computed at; so is rho mus' above 2000.
//
// Conventions: lengths in mm, coefficients in 1/mm, times in ps, frequencies in Hz;
// R(t) in mm^-2 ps^-1 and R~(f) = integral of R(t) exp(-2 pi i f t) dt in mm^-2, so the
// continuous-wave reflectance is R~(0) and the phase lag -arg R~(f) is >= 0 for f > 0.
//
// Every function validates its request first (InvalidRequest, nothing computed) and reports a
// floating-point fault of the model as ModelError. All are reentrant and keep no state: calls
// from several threads at once are safe. Results do not depend on the thread count, bit for
// bit. A distance's values are those it has alone, bit for bit, while the 960-point rule serves
// every distance of the call; where one needs the extended panels, all take them, and each
// value then differs from its value alone by less than the rounding stated for either.
#pragma once

#include <complex>
#include <concepts>
#include <cstddef>
#include <span>
#include <stop_token>
#include <vector>

#include "nlayer/errors.h"
#include "nlayer/medium.h"

// What these headers declare is the library's interface: a shared libnlayer exports it, and
// hides its internals.
#pragma GCC visibility push(default)

namespace nlayer {

// The time axis of a curve: `samples` points dt_ps apart, of which the first half is returned,
// t = dt, 2 dt, ..., samples/2 dt. The spectrum is computed at f_k = k / (P dt), k = 0 ... P/2,
// on the period P = samples, or 2, 4, ... times it where the curve has not faded by then: what
// the period's end folds back onto the curve's start stays below 1e-9 of its peak (or below the
// transform's rounding). The default reproduces the window's run where its curve fades within
// 10240 ps: 10 ps, 1024 samples, t up to 5120 ps, frequencies up to 50 GHz.
struct TimeGrid {
  double dt_ps = 10.0;  // at least 0.5 (the frequencies reach 1/(2 dt), at most 1e12 Hz) and finite
  int samples = 1024;   // a power of two from 16 to 65536

  std::optional<ModelProblem> Validate() const;
};

// Which arithmetic computes the model.
//  kExact: 80-bit extended precision throughout, the window's numbers to the last digit.
//  kFast:  the same physics and quadrature in vectorised double precision, for fits and sweeps
//          that need 8 digits rather than 18; a model whose double arithmetic would overflow or
//          turn invalid is computed by the exact engine instead, so faults are the exact ones.
enum class Engine { kExact, kFast };

struct ComputeOptions {
  unsigned threads = 0;  // worker threads for the modulation frequencies; 0: all cores
  Engine engine = Engine::kExact;
  // A request to stop, read before each modulation frequency: once it is made, the call ends
  // with Cancelled within the time of one frequency (milliseconds) and returns nothing.
  std::stop_token stop{};
};

// Curves of several distances on one time grid.
struct TimeCurves {
  std::vector<double> t_ps;          // samples/2 times, dt ... samples/2 dt
  std::vector<long double> rho_mm;   // the distances, in the order asked for
  std::vector<double> reflectance;   // rho_mm.size() rows of t_ps.size() values, mm^-2 ps^-1
  // Per distance, the estimated bound of the transform's rounding in each value plus what the
  // period folds back onto the curve, mm^-2 ps^-1 (NaN where no estimate could be formed).
  std::vector<double> rounding;

  std::span<const double> Curve(std::size_t rho_index) const {
    return std::span<const double>(reflectance).subspan(rho_index * t_ps.size(), t_ps.size());
  }
};

// The time-resolved reflectance at each distance (each > 0 mm). The whole curve is returned,
// with no cut below the peak; samples where the true reflectance is practically zero hold
// values of the order of 1e-13 of the peak, of either sign, from the finite spectrum.
TimeCurves TimeResolved(const Medium& medium, const std::vector<long double>& rho_mm,
                        const TimeGrid& grid = {}, const ComputeOptions& options = {});

// Frequency-domain values of several distances at several frequencies.
struct FrequencySpectra {
  std::vector<double> f_hz;
  std::vector<long double> rho_mm;
  std::vector<std::complex<double>> values;  // rho_mm.size() rows of f_hz.size() values, mm^-2
  // Per distance, the estimated bound of the transform's rounding in each value, mm^-2 (NaN
  // where no estimate could be formed).
  std::vector<double> rounding;

  std::complex<double> At(std::size_t rho_index, std::size_t f_index) const {
    return values[rho_index * f_hz.size() + f_index];
  }
};

// R~(rho, f) at every distance and frequency (each f >= 0 and finite, at most 1e12 Hz).
FrequencySpectra FrequencyDomain(const Medium& medium, const std::vector<long double>& rho_mm,
                                 const std::vector<double>& f_hz, const ComputeOptions& options = {});

// The continuous-wave reflectance R~(rho, 0), mm^-2, at every distance.
std::vector<double> ContinuousWave(const Medium& medium, const std::vector<long double>& rho_mm,
                                   const ComputeOptions& options = {});

// Distances as doubles (a std::vector<double>, what most code holds), each taken exactly as the
// extended real it is. Templates, so that a braced list such as {10, 30} still goes to the
// functions above without ambiguity.
inline std::vector<long double> ExtendedDistances(const std::vector<double>& rho_mm) {
  return {rho_mm.begin(), rho_mm.end()};
}
template <class Double>
  requires std::same_as<Double, double>
TimeCurves TimeResolved(const Medium& medium, const std::vector<Double>& rho_mm, const TimeGrid& grid = {},
                        const ComputeOptions& options = {}) {
  return TimeResolved(medium, ExtendedDistances(rho_mm), grid, options);
}
template <class Double>
  requires std::same_as<Double, double>
FrequencySpectra FrequencyDomain(const Medium& medium, const std::vector<Double>& rho_mm,
                                 const std::vector<double>& f_hz, const ComputeOptions& options = {}) {
  return FrequencyDomain(medium, ExtendedDistances(rho_mm), f_hz, options);
}
template <class Double>
  requires std::same_as<Double, double>
std::vector<double> ContinuousWave(const Medium& medium, const std::vector<Double>& rho_mm,
                                   const ComputeOptions& options = {}) {
  return ContinuousWave(medium, ExtendedDistances(rho_mm), options);
}

// The version of the library, "MAJOR.MINOR.PATCH" as the CMake project gives it (NLAYER_VERSION).
const char* Version();

}  // namespace nlayer

#pragma GCC visibility pop
