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
// grid: a power of two of samples, at least twice the measured window and 10 ns, and longer
// where the start values' curve has not faded within it), where the
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
// weighted by the data's Poisson variance max(y, 1). Always free: the amplitude and the shift
// (unless a calibrated shift is given); optionally a constant background per bin; and any of mua
// and mus' of any layer and the top layer's thickness.
//
// The result says when not to trust it: a fit that did not converge, a parameter on a bound,
// parameters the data do not tell apart, errors that are not finite, a model that does not
// describe the data, a shift that puts the light outside the data, or data that are not counts
// under the Poisson statistic each raise a flag with a sentence, and any flag makes `success`
// false. FullReport() puts it all in words, ToJson() in a machine-readable form.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "nlayer/errors.h"
#include "nlayer/medium.h"
#include "nlayer/reflectance.h"

// The fit library's interface: a shared libnlayer_fit exports what this header declares.
#pragma GCC visibility push(default)

namespace nlayer {

// A fitted quantity: "mua<k>" or "musp<k>" (1/mm) of layer k (1 the top), "d1" (mm, the top
// layer's thickness), or the ones every fit has: "amplitude" (counts mm^2), "shift_ps" (ps,
// the delay of the measurement behind the IRF), "background" (counts per bin).
//
// In a joint fit (FitProblem below) the names are those of the problem's medium:
//  - without a spectral model: "mua<k>", "musp<k>" and "d<k>" (k below the bottom layer); when
//    the problem holds media at several wavelengths, mua and mus' carry the wavelength,
//    "mua2@760" (nm, as written in the problem), and d<k> is shared by all of them;
//  - with a spectral model: "<chromophore><k>" (e.g. "HbO2", µM for molar chromophores, a volume
//    fraction for pure absorbers), "a<k>" (mus' at the reference wavelength, 1/mm), "b<k>" (the
//    scattering power) and "d<k>".
// Every parameter not named among the free ones (or tied to one) keeps its model value.
struct FitParameter {
  // {"mua1"}: free within the default bounds from the model's value; {"mua1", 0, 0.1, 0.02}:
  // bounds and start; {"musp2", {}, {}, {}, "musp1"}: tied.
  FitParameter(std::string name = {}, std::optional<double> lower = {}, std::optional<double> upper = {},
               std::optional<double> start = {}, std::string tied_to = {})
      : name(std::move(name)), lower(lower), upper(upper), start(start), tied_to(std::move(tied_to)) {}

  std::string name;
  // Bounds; the defaults are wide: mua 0 ... 1, mus' 0.01 ... 20 (1/mm), d 0.1 ... 200 mm,
  // concentrations 0 ... 1e4 µM (0 ... 1 for a fraction), a 0.01 ... 20 1/mm, b -1 ... 5.
  std::optional<double> lower;
  std::optional<double> upper;
  // The start value; empty: the model's value.
  std::optional<double> start;
  // Names another free parameter whose value this one takes (e.g. musp2 tied to musp1: one
  // parameter for both layers). A tied parameter has no bounds or start of its own.
  std::string tied_to;
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

struct FitEstimate {
  std::string name;
  double value = 0;
  double standard_error = 0;  // from the covariance at the optimum; NaN when it is singular
  double start = 0;
  double lower = 0, upper = 0;
  bool fixed = false;  // held at `value` (a calibrated shift): standard error 0, not fitted
};

// Why a fit is not to be trusted. Each flag carries one English sentence that says why.
enum class FitFlagKind {
  kNotConverged,      // the solver did not end by convergence, or took no step from a start
                      // that is not optimal
  kAtBound,           // a parameter stopped on (within 1e-6 of) a bound
  kPoorlyDetermined,  // two free physical parameters correlated beyond 0.98, an ill-conditioned
                      // J'J (condition number above 1e10), a singular covariance, a standard
                      // error above half the value, or a profile that reaches a bound
  kNotFinite,         // an estimate or a standard error that is not a finite number
  kModelMismatch,     // chi^2 / nu above 4 for counts: the model does not describe the data
  kShiftOutside,      // the shift puts the IRF's light before the window or after the peak
  kNotCounts,         // the Poisson statistic on data whose peak is below one count
  kAmbiguous,         // distinct minima whose statistics differ by less than the threshold
};

// "not_converged", "at_bound", "poorly_determined", "not_finite", "model_mismatch",
// "shift_outside", "not_counts", "ambiguous": the names of the JSON form.
const char* FitFlagName(FitFlagKind kind);

struct FitFlag {
  FitFlagKind kind;
  std::vector<std::string> parameters;  // the parameters it concerns; empty: the fit as a whole
  std::string sentence;
};

// One curve of a joint fit at the optimum.
struct CurveFit {
  std::string label;
  long double rho_mm = 0;
  std::optional<double> wavelength_nm;
  std::vector<double> t_ps;          // the curve's bins
  std::vector<double> counts;        // as measured
  std::vector<double> model_counts;  // every bin, from the whole spectrum
  std::vector<double> residuals;     // as FitResult::residuals, of this curve
  std::size_t first_bin = 0, last_bin = 0;
  double t_first_ps = 0, t_last_ps = 0;
  double chi2_reduced = 0;      // this curve's sum of squared residuals over its bins in the range
                                // minus its own nuisance parameters (a share of nu, not a test)
  int bins = 0;                 // bins in the fit range
  double poisson_deviance = 0;  // over the fit range
  double background = 0;        // counts per bin, estimated or fitted (0 without)
};

struct WavelengthMedium {
  double wavelength_nm = 0;
  Medium medium;
};

// The end of one start of a multi-start fit.
struct FitMinimum {
  double deviance = 0;          // the statistic at the end (Poisson deviance or chi2)
  std::vector<double> values;   // the free physical parameters, in the order of `estimates`
  int starts = 0;               // how many starts ended here
  bool converged = false;
};

// How a side of a profile ended.
enum class ProfileEnd {
  kFound,   // the statistic rose by delta: the interval's end
  kBound,   // it had not at the parameter's bound (for a quantity > 0 at a lower bound of 0:
            // where the fit keeps it, two difference steps above 0)
  kFlat,    // it had not within the points tried (6 standard errors)
  kFailed,  // the model failed at a point before it had
};

// A profile-likelihood interval: where the statistic, minimised over every other parameter,
// rises by `delta` above the optimum (1 for 68.3 %).
struct ProfileInterval {
  std::string name;
  double value = 0;
  double lower = 0, upper = 0;  // NaN where the profile does not rise by delta (see the ends)
  double delta = 1;
  std::vector<double> points;    // the parameter's values at which the profile was computed
  std::vector<double> deviance;  // the profile there, above the optimum
  ProfileEnd lower_end = ProfileEnd::kFound, upper_end = ProfileEnd::kFound;
  double lower_bound = 0, upper_bound = 0;  // the parameter's bounds
  // Computed without being asked for, because the standard error exceeds 20 % of the value:
  // there the curvature at the optimum describes the statistic poorly, and the interval is the
  // better statement of what the data allow.
  bool by_default = false;
};

struct FitResult {
  // The free physical parameters in the order asked for, then amplitude, shift_ps and (when
  // fitted or estimated) background. A tied parameter is listed with its target's value, error
  // and covariance. With several curves the nuisance parameters follow curve by curve and carry
  // the curve's label (its number when it has none): "amplitude[a.dat]", "shift_ps[a.dat]",
  // "background[a.dat]". An estimated background is listed as fixed.
  std::vector<FitEstimate> estimates;
  Medium medium;                   // the problem's medium with the fitted values (with
                                   // wavelengths: the medium at the first of them, see `media`)
  double chi2_reduced = 0;         // the sum of squared residuals over the degrees of freedom
  int degrees_of_freedom = 0;      // bins in the fit range minus fitted parameters
  std::vector<double> model_counts;  // every bin, from the whole spectrum
  // Every bin's residual of the fit's statistic, with the sign of y - m: the signed square
  // root of the bin's Poisson deviance (about (y - m) / sqrt(m)), or (y - m) / sqrt(max(y, 1)).
  // Their squares over the fit range add up to chi2_reduced * degrees_of_freedom.
  std::vector<double> residuals;
  std::size_t first_bin = 0, last_bin = 0;  // the fit range, inclusive
  double t_first_ps = 0, t_last_ps = 0;     // their times
  int forward_evaluations = 0;  // spectra of the model computed (the expensive part)
  int iterations = 0;
  int successful_steps = 0;     // iterations that lowered the cost
  double seconds = 0;
  FitStatistic statistic = FitStatistic::kPoissonLikelihood;
  // The Poisson deviance 2 sum (m - y + y ln(y / m)) over the fit range, whatever the statistic.
  double poisson_deviance = 0;
  // The covariance (physical units) and correlation of the estimates, row-major, in the order of
  // `estimates`; NaN where the covariance could not be computed; 0 in the row and column of a
  // fixed shift. Not scaled by chi^2, except where the data are not counts under the chi2
  // statistic: every bin then weighs the same, and the scatter of the residuals stands in for
  // the unknown variance (see `notes`).
  std::vector<double> covariance;
  std::vector<double> correlation;
  // The condition number of J'J at the optimum with the Jacobian's columns scaled to unit length
  // (independent of the parameters' units); NaN where it could not be computed.
  double condition_number = 0;
  std::string termination;  // Ceres's: "CONVERGENCE", "NO_CONVERGENCE", "FAILURE", ...
  std::vector<FitFlag> flags;
  std::vector<std::string> notes;  // remarks that raise no flag
  // A joint fit's (FitProblem's) own: every curve's fit, the media fitted per wavelength, the
  // derived quantities, the minima the starts found and the profile-likelihood intervals asked
  // for. FitCurve fills `curves` with its one curve too. With several curves the top-level
  // model_counts, residuals, first_bin ... t_last_ps above are those of the first curve, and
  // chi2_reduced, degrees_of_freedom and poisson_deviance the totals over all curves.
  std::vector<CurveFit> curves;
  std::vector<WavelengthMedium> media;  // with wavelengths: the fitted medium at each
  std::vector<FitEstimate> derived;     // HbT<k> (µM) and StO2<k> (fraction) with propagated errors
  std::vector<FitMinimum> minima;       // distinct minima found, the lowest first
  std::vector<ProfileInterval> profiles;
  bool success = false;  // no flag: converged, determined, finite, described by the model
  std::string message;   // how the solver ended, then every flag's sentence, in English

  const FitEstimate* Find(const std::string& name) const {
    for (const FitEstimate& e : estimates) {
      if (e.name == name) return &e;
    }
    return nullptr;
  }

  // Everything above in words for a person (the estimates first, as nlayer-fit prints them,
  // then the statistics, the solver's account, the correlations, the flags and the verdict),
  // in the spirit of Ceres's Summary::FullReport.
  std::string FullReport() const;
  // The same as one JSON object (the per-bin arrays left out); NaN and infinity as null.
  std::string ToJson() const;
};

// ---- joint fits ----------------------------------------------------------------------------

// How a curve's constant background per bin is handled.
enum class BackgroundMode {
  kNone,       // no background
  kEstimated,  // the mean of the earlier half of the bins before the curve reaches 2 % of its
               // peak, held fixed
  kFitted,     // fitted as a free parameter, without bounds (a bound at 0 biases mua)
};

struct MeasuredCurve {
  std::string label;            // names the curve in the report (its file, say)
  std::vector<double> t_ps;     // the bins' centres, uniform
  std::vector<double> counts;
  std::vector<double> irf;      // on the same bins
  std::vector<double> irf_t_ps; // the IRF's own times, checked against t_ps; empty: not given
  long double rho_mm = 0;
  // The wavelength (nm); needed where the problem has a spectral model or media at several
  // wavelengths. Curves at the same wavelength share the medium's values at that wavelength.
  std::optional<double> wavelength_nm;
  std::optional<double> shift_ps;  // a calibrated shift held fixed; empty: fitted
  BackgroundMode background = BackgroundMode::kNone;
  FitRange range;
};

// A chromophore's spectrum, linearly interpolated between its wavelengths (rising, nm).
enum class ChromophoreUnit {
  kMolarExtinction,  // decadic molar extinction, cm^-1 / M; concentrations in µM:
                     // mua = ln(10) * epsilon * C * 1e-7 (1/mm)
  kAbsorption,       // the absorption coefficient of the pure substance, 1/mm; concentrations
                     // as volume fractions: mua = value * C
};

struct Chromophore {
  std::string name;  // "HbO", "HbR", "water", ...: the parameter names are <name><k>
  ChromophoreUnit unit = ChromophoreUnit::kMolarExtinction;
  std::vector<double> wavelength_nm;
  std::vector<double> values;
  std::string source;  // where the values come from, for the report
  // mua (1/mm) per unit of concentration at `nm`; throws InvalidRequest outside the table.
  double AbsorptionPerUnit(double nm) const;
};

// Oxy- and deoxyhemoglobin's molar extinction coefficients as compiled by S. Prahl (250 to
// 1000 nm in 2 nm steps), the data file shipped with the library; names "HbO" and "HbR".
std::vector<Chromophore> HemoglobinSpectra();

// Per layer: mua(lambda) = sum_c mua_c(lambda) C_c, mus'(lambda) = a (lambda / lambda0)^-b.
struct SpectralLayer {
  std::vector<double> concentrations;  // one per chromophore, in the chromophore's unit
  double a = 1;  // mus' at the reference wavelength, 1/mm
  double b = 1;  // scattering power
};

struct SpectralModel {
  std::vector<Chromophore> chromophores;
  double reference_nm = 800;
  std::vector<SpectralLayer> layers;  // as many as the medium's layers (top first)
  // The medium at `nm`: n and d from `geometry`, mua and mus' from the spectra.
  Medium MediumAt(const Medium& geometry, double nm) const;
};

// Reports how a long fit goes on; returning false cancels it (FitCurve and Fit then throw
// Cancelled). Called from the fitting thread after every forward evaluation.
struct FitProgress {
  int evaluations = 0;
  int start = 0, starts = 1;  // which of the starts runs (0-based)
  double best_deviance = 0;   // the lowest statistic so far
};

// What is fitted: the measured curves and the model with its free parameters.
struct FitProblem {
  std::vector<MeasuredCurve> curves;
  // The layers. Its n and d always; its mua and mus' are the start and fixed values for curves
  // without a wavelength (or all at one wavelength) when neither `media` nor `spectral` is set.
  Medium medium;
  // Without a spectral model: the mua and mus' at each wavelength the curves name (n and d from
  // `medium`).
  std::vector<WavelengthMedium> media;
  std::optional<SpectralModel> spectral;
  std::vector<FitParameter> free;  // see FitParameter for the names; tied ones listed here too
};

// How it is fitted, apart from what: the same problem can be fitted with another statistic,
// more starts or other threads without being copied, as Ceres keeps Solver::Options apart from
// its Problem. The engine and threads are here too: they decide how the model is computed, not
// which model, and the fast engine's 8 digits lie far below any counting noise.
struct FitOptions {
  FitStatistic statistic = FitStatistic::kPoissonLikelihood;
  int max_iterations = 100;
  // Local minima: the number of starts, the first from the start values and the others spread
  // within the bounds (0: chosen from the number of free parameters); minima whose statistic
  // differs from the lowest by less than `ambiguity_threshold` but whose values differ by more
  // than their standard errors flag the fit as ambiguous.
  // 0 gives 1 start for at most one free physical parameter (ties not counted); otherwise the
  // first start, then 3 spread starts only when its end shows a mark of several minima (not
  // converged, on a bound, a singular covariance, two parameters correlated beyond 0.98, a
  // standard error above profile_above_relative_error of its value, or counts with chi2/nu above
  // 2). FitCurve takes 0 as 1 start.
  // The spread starts lie log-uniformly within a factor of 3 of the start values (1.5 either side
  // for b, a quarter of the bounds' width about a start of 0), cut to the bounds; one that comes
  // within a standard error of a minimum found before stops there.
  int starts = 0;
  double ambiguity_threshold = 1.0;
  std::uint64_t seed = 1;  // of the spread starts
  // Parameters whose profile-likelihood intervals are computed (costly: a fit per point).
  std::vector<std::string> profile;
  // Free physical parameters whose standard error exceeds this fraction of their value get their
  // profile too, unasked (infinity: none). Well-determined fits cost nothing more.
  double profile_above_relative_error = 0.2;
  // Threads, engine and stop request of the model's computations. The fast engine makes a fit
  // some 10 times faster than the exact engine.
  ComputeOptions compute{.threads = 0, .engine = Engine::kFast};
  double spectrum_tolerance = 1e-8;  // relative to the model curve's peak; 0: the whole spectrum
  std::function<bool(const FitProgress&)> progress;
};

// Fits every curve of the problem at once. Throws FitInputError for input that cannot be fitted
// (naming the curve, by its label or number, of a problem in its data), InvalidRequest for a
// medium or distance the library refuses, and ModelError when the model faults at the start
// values (a fault at a trial point only makes the solver try a shorter step).
FitResult Fit(const FitProblem& problem, const FitOptions& options = {});

// Poisson counts of the model at `rho_mm` convolved with the IRF (counts on bins of width
// `dt_ps`, any scale), delayed by `shift_ps` (any fraction of a bin), scaled so that the
// expected counts of the model add up to `total_counts` over the IRF's bins, plus `background`
// expected counts per bin. The same seed gives the same counts.
std::vector<double> SimulateCounts(const Medium& medium, long double rho_mm, std::span<const double> irf,
                                   double dt_ps, double total_counts, double shift_ps = 0, double background = 0,
                                   std::uint64_t seed = 1, const ComputeOptions& options = {});

// The counts SimulateCounts draws from, before their scaling and noise: the model at `rho_mm`
// convolved with the IRF (normalised to unit area) on bins of `dt_ps`, delayed by `shift_ps`,
// times `amplitude` (counts mm^2, as a fit's amplitude: the counts add up to amplitude times the
// continuous-wave reflectance, less what falls outside the bins), plus `background` per bin.
// Simulations whose light changes between curves keep their ratios through the amplitude.
std::vector<double> ExpectedCounts(const Medium& medium, long double rho_mm, std::span<const double> irf,
                                   double dt_ps, double amplitude = 1, double shift_ps = 0, double background = 0,
                                   const ComputeOptions& options = {});

// Input that cannot be fitted, with an English sentence: bins that are not uniform or differ
// between curve and IRF, an IRF without counts, no counts in the fit range, a parameter that
// names no layer, bounds that exclude the start value, and the like. Nothing was computed.
class FitInputError : public std::invalid_argument, public Error {
 public:
  using std::invalid_argument::invalid_argument;
  const char* what() const noexcept override { return std::invalid_argument::what(); }
};

// Fits one curve: Fit of a problem of that curve alone, with one start unless options.starts
// asks for more. `free` holds physical parameters only: mua<k>, musp<k>, d1.
FitResult FitCurve(const MeasuredCurve& curve, const Medium& medium, const std::vector<FitParameter>& free,
                   const FitOptions& options = {});

}  // namespace nlayer

#pragma GCC visibility pop
