// Fitting the layers' optical properties to a measured time-resolved curve.
//
// The data: a measured curve and the instrument response function (IRF), both as counts on
// the same uniform time bins. The model of the measured counts in bin i, centred at t_i:
//
//   m_i = amplitude * sum_j w_j R(t_i - t_j - shift) dt + background,   w = irf / sum(irf),
//
// the model's reflectance R (mm^-2 ps^-1) convolved with the IRF normalised to unit area, so
// that the model's counts add up to amplitude * R~(rho, 0) (+ the background): the amplitude is
// in counts mm^2. It is computed on a periodic grid of the bins' width (the library's time
// grid: a power of two of samples, at least twice the measured window and 10 ns), where the
// frequency domain makes the convolution and the shift exact: the model's spectrum at the
// grid's frequencies is multiplied by the IRF's discrete Fourier transform and by
// exp(-2 pi i f shift), then one inverse FFT gives every bin. The shift is continuous (any
// fraction of a bin). Above the frequency where the IRF and the model leave less than
// `spectrum_tolerance` of the curve's peak the spectrum is not computed; the fitted curve is
// checked against the whole spectrum at the end.
//
// The fit: Levenberg-Marquardt with bounds and the covariance at the optimum (Ceres Solver),
// over the bins of the fit range, with Poisson statistics: the Poisson likelihood (residuals
// whose squares are the Poisson deviance 2 (m - y + y ln(y / m)), default) or least squares
// weighted by the data's Poisson variance max(y, 1). Always free: the amplitude and the shift;
// optionally a constant background per bin; and any of mua and mus' of any layer and the top
// layer's thickness.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "nlayer/medium.h"
#include "nlayer/reflectance.h"

namespace nlayer {

// A fitted quantity: "mua<k>" or "musp<k>" (1/mm) of layer k (1 the top), "d1" (mm, the top
// layer's thickness), or the ones every fit has: "amplitude" (counts mm^2), "shift_ps" (ps,
// the delay of the measurement behind the IRF), "background" (counts per bin).
struct FitParameter {
  std::string name;
  // Bounds; the defaults are wide: mua 0 ... 1, mus' 0.01 ... 20 (1/mm), d1 0.1 ... 200 mm.
  std::optional<double> lower;
  std::optional<double> upper;
};

enum class FitStatistic {
  kPoissonLikelihood,  // maximum likelihood for Poisson counts; unbiased where counts are few
  kLeastSquares,       // chi^2 with the data's Poisson variances max(y, 1) as weights
};

// Which bins are compared. By default from the first bin on the rising edge that reaches
// `rise_fraction` of the peak to the last bin on the falling edge above `fall_fraction` of it
// (the peak and the levels counted above the background's start value when it is fitted).
// With t_first_ps and t_last_ps, the bins whose times lie within them instead.
struct FitRange {
  double rise_fraction = 0.1;
  double fall_fraction = 0.01;
  std::optional<double> t_first_ps;
  std::optional<double> t_last_ps;
};

struct FitRequest {
  std::vector<double> t_ps;    // the bins' centres, uniform
  std::vector<double> counts;  // the measured curve
  std::vector<double> irf;     // the instrument response on the same bins
  std::vector<double> irf_t_ps;  // the IRF's own times, checked against t_ps; empty: not given
  Medium medium;               // the start values and every value that is not free
  long double rho_mm = 0;
  std::vector<FitParameter> free;  // physical parameters only: mua<k>, musp<k>, d1
  bool background = false;
  FitRange range;
  FitStatistic statistic = FitStatistic::kPoissonLikelihood;
  // Threads and engine of the model's computations. The fast engine's 8 digits are far below
  // any counting noise and make a fit some 10 times faster than the exact engine.
  ComputeOptions options{.threads = 0, .engine = Engine::kFast};
  double spectrum_tolerance = 1e-8;  // relative to the model curve's peak; 0: the whole spectrum
  int max_iterations = 100;
};

struct FitEstimate {
  std::string name;
  double value = 0;
  double standard_error = 0;  // from the covariance at the optimum; NaN when it is singular
  double start = 0;
  double lower = 0, upper = 0;
};

struct FitResult {
  // The free physical parameters in the order asked for, then amplitude, shift_ps and (when
  // fitted) background.
  std::vector<FitEstimate> estimates;
  Medium medium;                   // the request's medium with the fitted values
  double chi2_reduced = 0;         // the sum of squared residuals over the degrees of freedom
  int degrees_of_freedom = 0;      // bins in the fit range minus fitted parameters
  std::vector<double> model_counts;  // every bin, from the whole spectrum
  // Every bin's residual of the fit's statistic, with the sign of y - m: the signed square
  // root of the bin's Poisson deviance (about (y - m) / sqrt(m)), or (y - m) / sqrt(max(y, 1)).
  // Their squares over the fit range add up to chi2_reduced * degrees_of_freedom.
  std::vector<double> residuals;
  std::size_t first_bin = 0, last_bin = 0;  // the fit range, inclusive
  int forward_evaluations = 0;  // spectra of the model computed (the expensive part)
  int iterations = 0;
  double seconds = 0;
  bool success = false;  // the solver converged and the covariance could be computed
  std::string message;   // how the solver ended, in English

  const FitEstimate* Find(const std::string& name) const {
    for (const FitEstimate& e : estimates) {
      if (e.name == name) return &e;
    }
    return nullptr;
  }
};

// Input that cannot be fitted, with an English sentence: bins that are not uniform or differ
// between curve and IRF, an IRF without counts, no counts in the fit range, a parameter that
// names no layer, bounds that exclude the start value, and the like. Nothing was computed.
class FitInputError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Fits the request. Throws FitInputError for input that cannot be fitted, InvalidRequest for a
// medium or distance the library refuses, and ModelError when the model faults at the start
// values (a fault at a trial point only makes the solver try a shorter step).
FitResult FitCurve(const FitRequest& request);

}  // namespace nlayer
