#include "nlayer/fit.h"

#include <ceres/ceres.h>
#include <ceres/manifold.h>

#include <Eigen/QR>
#include <Eigen/SVD>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <complex>
#include <deque>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/number_text.h"
#include "core/fast/fast_derivatives.h"
#include "core/period.h"
#include "fit/convolved_model.h"
#include "nlayer/errors.h"

namespace nlayer {

namespace {

using Spectrum = std::vector<std::complex<double>>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The finest bins the model can serve: the grid's highest frequency 1 / (2 dt) must stay within
// the library's 1e12 Hz.
constexpr double kFinestBinPs = 0.5;
constexpr int kMostSamples = 65536;
// A curve that has not faded within a grid of the bins' length gets a longer one, up to this.
constexpr int kMostFoldFreeSamples = 1 << 20;
// The grid's period is at least this long, so that light still arriving after the window
// (at low absorption it lasts nanoseconds) does not wrap round onto the rising edge.
constexpr double kShortestPeriodPs = 10000.0;
// Bin times may deviate this much (in bins) from a uniform grid: files print times rounded.
constexpr double kBinTolerance = 0.01;
constexpr std::size_t kFewestBins = 4;
// Central differences of the physical parameters, relative to their start values. The exact
// engine's curves carry rounding of about 1e-15 and the fast engine's about 1e-10, which the
// steps keep well below the differences' own error (step squared).
constexpr double kExactStep = 1e-6;
constexpr double kFastStep = 1e-4;
// The least model count a Poisson residual takes: where the model is 0 and the data are not,
// the deviance is infinite; a finite, huge one lets the solver step back.
constexpr double kLeastModelCount = 1e-10;
// Free physical parameters correlated beyond this are flagged as poorly determined. 0.95 would
// flag well-posed fits: mua and mus' of a homogeneous medium fitted to curves of 1e6 counts at
// 30 mm are correlated by 0.946 to 0.962 while each is known to 1 % and their pulls are those
// of a well-posed fit (mean +0.12 and +0.10, sd 0.91 and 0.98 over 60 draws with a fitted
// background, correlated by 0.953 to 0.954: joint_fit_statistics_test);
// the bottom layer's mua and mus' of a two-layer head are correlated by 0.990 to 0.996, with mus'
// known to 20 to 35 %; adding d1 to them, 0.986 and 0.993 (mus' 5.6 +- 6.1, truth 1.1).
constexpr double kMostCorrelation = 0.98;
// A free physical parameter whose standard error exceeds this fraction of its value is flagged
// as poorly determined, correlated or not: the data leave it all but open.
constexpr double kMostRelativeError = 0.5;
// J'J whose condition number (columns scaled to unit length) exceeds this leaves some
// combination of the parameters undetermined.
constexpr double kMostCondition = 1e10;
// The spread starts lie within this factor of the start values (within the bounds). Over 30
// draws of the two-layer head's bottom layer (joint_fit_test) factors of 4 and 2 found second
// minima alike (in 3 and 2 draws), 2 in some 15 % less time; 3 lies between.
constexpr double kSpread = 3;
// The solver's function and parameter tolerance of the starts after the first.
constexpr double kSpreadTolerance = 1e-6;
// Estimates within this (relative, in the solver's units where every parameter is about 1) of a
// bound stopped on it.
constexpr double kOnBound = 1e-6;

enum class Kind { kMua, kMusp, kThickness, kConcentration, kScatteringA, kScatteringB };

struct Physical {
  std::string name;
  Kind kind;
  std::size_t layer = 0;        // 0 the top layer
  int slot = -1;                // the wavelength whose mua or mus' it is; -1: every wavelength
  std::size_t chromophore = 0;  // of a concentration
  double start = 0, lower = 0, upper = 0;
  double scale = 1;   // the solver sees value / scale
  int column = 0;     // its column of the solver's vector (a tied parameter shares its target's)
  bool tied = false;  // takes the value of another free parameter
  bool positive = true;  // a quantity > 0 by nature: log-uniform starts, lower bound kept inside
};

std::string Text(double value) { return NumberText(value); }

// Three significant digits (whole numbers up to 1e7 in full), for the flags' sentences.
std::string Brief(double value) {
  char buffer[32];
  const bool whole = std::fabs(value) >= 1000 && std::fabs(value) < 1e7;
  const auto end = whole ? std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 0).ptr
                         : std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 3).ptr;
  return std::string(buffer, end);
}

[[noreturn]] void Refuse(const std::string& message) { throw FitInputError(message); }

// ---- a curve checked ---------------------------------------------------------------------

// `who` starts every sentence: empty for FitCurve's one curve, "curve \"a.dat\": " in a joint fit.
double CheckBins(const MeasuredCurve& curve, const std::string& who) {
  const auto refuse = [&](const std::string& sentence) { Refuse(who + sentence); };
  const std::size_t n = curve.counts.size();
  if (curve.t_ps.size() != n) {
    refuse("the measured curve has " + std::to_string(curve.t_ps.size()) + " times but " + std::to_string(n) +
           " counts");
  }
  if (n < kFewestBins) {
    refuse("the measured curve has " + std::to_string(n) + " bins; a fit needs at least " +
           std::to_string(kFewestBins));
  }
  if (curve.irf.size() != n) {
    refuse("the IRF has " + std::to_string(curve.irf.size()) + " bins and the measured curve " + std::to_string(n) +
           "; both must be counted on the same bins");
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(curve.t_ps[i])) refuse("time " + std::to_string(i + 1) + " of the measured curve is not finite");
  }
  const double dt = (curve.t_ps[n - 1] - curve.t_ps[0]) / static_cast<double>(n - 1);
  if (!(dt > 0)) refuse("the measured curve's times do not rise");
  for (std::size_t i = 0; i < n; ++i) {
    const double expected = curve.t_ps[0] + static_cast<double>(i) * dt;
    if (std::fabs(curve.t_ps[i] - expected) > kBinTolerance * dt) {
      refuse("the measured curve's bins are not uniform: bin " + std::to_string(i + 1) + " is at " +
             Text(curve.t_ps[i]) + " ps, where bins of " + Text(dt) + " ps from " + Text(curve.t_ps[0]) +
             " ps put it at " + Text(expected) + " ps");
    }
  }
  if (!curve.irf_t_ps.empty()) {
    if (curve.irf_t_ps.size() != n) {
      refuse("the IRF has " + std::to_string(curve.irf_t_ps.size()) + " bins and the measured curve " +
             std::to_string(n) + "; both must be counted on the same bins");
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (!(std::fabs(curve.irf_t_ps[i] - curve.t_ps[i]) <= kBinTolerance * dt)) {
        refuse("the IRF's bins do not match the measured curve's: bin " + std::to_string(i + 1) + " is at " +
               Text(curve.irf_t_ps[i]) + " ps in the IRF and at " + Text(curve.t_ps[i]) + " ps in the measured curve");
      }
    }
  }
  if (dt < kFinestBinPs) {
    refuse("bins of " + Text(dt) + " ps are narrower than the model's finest, " + Text(kFinestBinPs) + " ps");
  }
  auto check_counts = [&](const std::vector<double>& counts, const char* what) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!(counts[i] >= 0) || !std::isfinite(counts[i])) {
        refuse(std::string("the ") + what + "'s counts in bin " + std::to_string(i + 1) + " (t = " +
               Text(curve.t_ps[i]) + " ps) are " + Text(counts[i]) + "; counts must be >= 0 and finite");
      }
    }
  };
  check_counts(curve.counts, "measured curve");
  check_counts(curve.irf, "IRF");
  double area = 0;
  for (double c : curve.irf) area += c;
  if (!(area > 0)) refuse("the IRF has no counts (its area is 0): it cannot be normalised");
  if (curve.shift_ps && !std::isfinite(*curve.shift_ps)) {
    refuse("the calibrated shift " + Text(*curve.shift_ps) + " ps is not a finite number");
  }
  return dt;
}

int GridSamples(std::size_t bins, double dt, const std::string& who) {
  if (2.0 * static_cast<double>(bins) > kMostSamples) {
    Refuse(who + "the measured curve has " + std::to_string(bins) + " bins; the model's grid holds at most " +
           std::to_string(kMostSamples / 2));
  }
  const double needed = std::max({16.0, 2.0 * static_cast<double>(bins), std::ceil(kShortestPeriodPs / dt)});
  int samples = 16;
  while (samples < needed && samples < kMostSamples) samples *= 2;
  return samples;
}

// The first bins before the curve rises hold nothing but the background.
double BackgroundEstimate(const std::vector<double>& counts) {
  const double peak = *std::max_element(counts.begin(), counts.end());
  std::size_t rise = 0;
  while (rise < counts.size() && counts[rise] < 0.02 * peak) ++rise;
  constexpr std::size_t kMargin = 3, kFewest = 5;
  if (rise < kMargin + kFewest) return 0;
  double sum = 0;
  for (std::size_t i = 0; i + kMargin < rise; ++i) sum += counts[i];
  return sum / static_cast<double>(rise - kMargin);
}

// The background held fixed: the mean of the earlier half of the bins before the curve reaches
// 2 % of its peak. Their later half already holds the rise's first light (at 20 ps bins a mean
// over all of them, less three, raised mua's pulls by +0.35 at 0.1 counts per bin).
double PreRiseBackground(const std::vector<double>& counts) {
  const double peak = *std::max_element(counts.begin(), counts.end());
  std::size_t rise = 0;
  while (rise < counts.size() && counts[rise] < 0.02 * peak) ++rise;
  const std::size_t used = rise / 2;
  if (used == 0) return 0;
  double sum = 0;
  for (std::size_t i = 0; i < used; ++i) sum += counts[i];
  return sum / static_cast<double>(used);
}

std::pair<std::size_t, std::size_t> ChooseRange(const std::vector<double>& t, const std::vector<double>& y,
                                                const FitRange& range, double background, const std::string& who) {
  const auto refuse = [&](const std::string& sentence) { Refuse(who + sentence); };
  std::size_t first = 0, last = 0;
  if (range.t_first_ps || range.t_last_ps) {
    const double from = range.t_first_ps.value_or(-kInfinity);
    const double to = range.t_last_ps.value_or(kInfinity);
    if (!(from < to)) refuse("the fit range " + Text(from) + " ... " + Text(to) + " ps is empty");
    first = 0;
    while (first < t.size() && t[first] < from) ++first;
    last = t.size();
    while (last > 0 && t[last - 1] > to) --last;
    if (first >= last) {
      refuse("the fit range " + Text(from) + " ... " + Text(to) + " ps holds no bin of the measured curve (" +
             Text(t.front()) + " ... " + Text(t.back()) + " ps)");
    }
    --last;
  } else {
    if (!(range.rise_fraction > 0 && range.rise_fraction <= 1 && range.fall_fraction > 0 && range.fall_fraction <= 1)) {
      refuse("the fit range's fractions of the peak (" + Text(range.rise_fraction) + " on the rising edge, " +
             Text(range.fall_fraction) + " on the falling edge) must lie above 0 and up to 1");
    }
    const std::size_t peak = static_cast<std::size_t>(std::max_element(y.begin(), y.end()) - y.begin());
    const double height = y[peak] - background;
    if (!(height > 0)) refuse("the measured curve has no counts above its background: there is nothing to fit");
    first = peak;
    while (first > 0 && y[first - 1] - background >= range.rise_fraction * height) --first;
    last = peak;
    while (last + 1 < y.size() && y[last + 1] - background >= range.fall_fraction * height) ++last;
  }
  double sum = 0;
  for (std::size_t i = first; i <= last; ++i) sum += y[i];
  if (!(sum > 0)) {
    refuse("the measured curve has no counts in the fit range (" + Text(t[first]) + " ... " + Text(t[last]) + " ps)");
  }
  return {first, last};
}

// The time at which a curve first reaches half its peak, between bins by linear interpolation.
double HalfRise(const std::vector<double>& t, const std::vector<double>& y, double background) {
  const std::size_t peak = static_cast<std::size_t>(std::max_element(y.begin(), y.end()) - y.begin());
  const double half = background + 0.5 * (y[peak] - background);
  std::size_t i = peak;
  while (i > 0 && y[i - 1] >= half) --i;
  if (i == 0) return t[0];
  const double fraction = (half - y[i - 1]) / (y[i] - y[i - 1]);
  return t[i - 1] + fraction * (t[i] - t[i - 1]);
}

// ---- residuals -------------------------------------------------------------------------

struct Residual {
  double r;      // with the sign of y - m
  double dr_dm;  // its derivative with respect to the model count
};

Residual PoissonResidual(double y, double m) {
  m = std::max(m, kLeastModelCount);
  if (y == 0) {
    const double root = std::sqrt(2.0 * m);
    return {-root, -1.0 / root};
  }
  // Deviance 2 (m - y - y ln(m / y)) = 2 y (u - ln(1 + u)), u = (m - y) / y; near u = 0 the
  // difference would cancel, so there a series takes over.
  const double u = (m - y) / y;
  if (u == 0) return {0.0, -1.0 / std::sqrt(y)};
  double d = 0;
  if (std::fabs(u) < 1e-3) {
    d = 2.0 * y * u * u * (0.5 - u * (1.0 / 3.0 - u * (0.25 - u * 0.2)));
  } else {
    d = 2.0 * y * (u - std::log1p(u));
  }
  const double root = std::sqrt(d);
  const double sign = u > 0 ? -1.0 : 1.0;
  return {sign * root, sign * (u / (1.0 + u)) / root};
}

Residual SquaresResidual(double y, double m) {
  const double sigma = std::sqrt(std::max(y, 1.0));
  return {(y - m) / sigma, -1.0 / sigma};
}

// The Jacobian (columns in the solver's tangent space: a fixed shift has none) and the
// residuals at the solver's current point. The spectra are cached: no model is computed.
struct Linearised {
  Eigen::MatrixXd jacobian;
  Eigen::VectorXd residuals;
};

std::optional<Linearised> Linearise(ceres::Problem& problem, const std::vector<double*>& blocks) {
  ceres::CRSMatrix crs;
  std::vector<double> residuals;
  ceres::Problem::EvaluateOptions options;
  options.parameter_blocks = blocks;
  if (!problem.Evaluate(options, nullptr, &residuals, nullptr, &crs)) return std::nullopt;
  Linearised out{Eigen::MatrixXd::Zero(crs.num_rows, crs.num_cols),
                 Eigen::Map<Eigen::VectorXd>(residuals.data(), static_cast<Eigen::Index>(residuals.size()))};
  for (int row = 0; row < crs.num_rows; ++row) {
    for (int k = crs.rows[row]; k < crs.rows[row + 1]; ++k) out.jacobian(row, crs.cols[k]) = crs.values[k];
  }
  return out;
}

// Whether the data determine every parameter: the Jacobian at the optimum has full rank, by the
// test Ceres's dense covariance applies (the reciprocal condition number of J'J above 1e-14),
// made here first because Ceres reports the failure on standard error, which a command line
// must keep for its own messages.
bool Determined(const Eigen::MatrixXd& jacobian) {
  const Eigen::VectorXd singular = Eigen::JacobiSVD<Eigen::MatrixXd>(jacobian).singularValues();
  if (singular.size() == 0 || !(singular(0) > 0)) return false;
  const double ratio = singular(singular.size() - 1) / singular(0);
  constexpr double kMargin = 10;  // stays clear of Ceres's own threshold
  return ratio * ratio > kMargin * 1e-14;
}

// The condition number of J'J with J's columns scaled to unit length: how nearly some
// combination of the parameters leaves the curve unchanged, whatever the parameters' units.
double ConditionNumber(const Eigen::MatrixXd& jacobian) {
  if (jacobian.cols() == 0) return std::numeric_limits<double>::quiet_NaN();
  Eigen::MatrixXd scaled = jacobian;
  for (Eigen::Index c = 0; c < scaled.cols(); ++c) {
    const double norm = scaled.col(c).norm();
    if (!(norm > 0) || !std::isfinite(norm)) return std::numeric_limits<double>::infinity();
    scaled.col(c) /= norm;
  }
  const Eigen::VectorXd singular = Eigen::JacobiSVD<Eigen::MatrixXd>(scaled).singularValues();
  const double ratio = singular(0) / singular(singular.size() - 1);
  return ratio * ratio;
}

// The fraction of the cost that a Gauss-Newton step in the given columns would remove: about 0
// at an optimum, whatever the scale of the data.
double GaussNewtonGain(const Linearised& at, const std::vector<Eigen::Index>& columns) {
  const double cost = at.residuals.squaredNorm();
  if (columns.empty() || !(cost > 0) || !std::isfinite(cost)) return 0;
  Eigen::MatrixXd j(at.jacobian.rows(), static_cast<Eigen::Index>(columns.size()));
  for (std::size_t c = 0; c < columns.size(); ++c) j.col(static_cast<Eigen::Index>(c)) = at.jacobian.col(columns[c]);
  const Eigen::VectorXd step = j.colPivHouseholderQr().solve(at.residuals);
  return (j * step).squaredNorm() / cost;
}

ceres::Solver::Options SolverOptions(int max_iterations) {
  ceres::Solver::Options options;
  options.minimizer_type = ceres::TRUST_REGION;
  options.trust_region_strategy_type = ceres::LEVENBERG_MARQUARDT;
  options.linear_solver_type = ceres::DENSE_QR;
  options.max_num_iterations = max_iterations;
  // Far below the statistical errors: a change of 1e-7 in chi^2 / 2 per unit of it moves an
  // estimate by a small fraction of its standard error.
  options.function_tolerance = 1e-8;
  options.parameter_tolerance = 1e-8;
  options.gradient_tolerance = 1e-12;
  // With bounds, Ceres projects each step onto them and searches along it; interpolating the
  // search from costs alone spares a Jacobian (a model per parameter and side) per trial.
  options.line_search_interpolation_type = ceres::QUADRATIC;
  options.num_threads = 1;  // the model's frequencies use the threads
  options.logging_type = ceres::SILENT;
  options.minimizer_progress_to_stdout = false;
  return options;
}

// ---- the problem prepared --------------------------------------------------------------

// One curve as the engine sees it.
struct Curve {
  const MeasuredCurve* source = nullptr;
  std::string who;     // starts its input errors
  std::string label;   // names it in the report
  std::string suffix;  // of its nuisance parameters' names: "" for a single curve, "[label]" otherwise
  // A curve whose peak is below one count holds no counts but scaled data (a reflectance, a
  // normalised curve). Its statistic is tiny, and so is its gradient, which the solver then takes
  // for zero at the start values. Such data are divided by a power of two (exactly) to a peak in
  // (0.5, 1]: the chi2 weights stay max(y, 1) = 1 and the Poisson deviance, homogeneous in the
  // data and the model, is scaled as a whole, so the optimum is the same; the report undoes it.
  std::vector<double> counts;
  double data_scale = 1;
  double cost_factor = 1;  // the statistic of the data as given is cost_factor times the solver's
  double peak = 0;
  double dt = 0;
  int samples = 0;
  std::unique_ptr<fit::ConvolvedModel> model;
  std::size_t first = 0, last = 0;
  BackgroundMode background = BackgroundMode::kNone;
  double background_estimate = 0;  // per bin, in the solver's units
  bool shift_fixed = false;
  std::size_t slot = 0, group = 0, row = 0;
  std::size_t nuisance = 2;  // amplitude, shift and a fitted background
  // The solver's units of the nuisance parameters, set at the first start.
  double amplitude_unit = 1, background_unit = 1;
  double shift_start = 0;  // ps: the centre of the shift's bounds
  double shift_reach = 0;  // bins either side of it

  std::size_t bins() const { return last - first + 1; }
  std::size_t fitted_nuisance() const { return nuisance - (shift_fixed ? 1 : 0); }
};

// Curves at one wavelength on one grid: one library call computes all their distances.
struct Group {
  std::size_t slot = 0;
  double dt = 0;
  int samples = 0;
  std::vector<long double> rho;
  const fit::ConvolvedModel* model = nullptr;  // any of its curves': they share the frequencies
  int frequencies = 0;                         // in use during the solver's iterations
};

// The model's values that the free parameters set.
struct Values {
  Medium geometry;
  std::vector<Medium> media;  // per wavelength, without a spectral model
  std::optional<SpectralModel> spectral;
};

// Nuisance parameters, as the solver sees them.
enum Nuisance { kAmplitude = 0, kShift = 1, kBackground = 2 };

// Where one start of the solver ended.
struct End {
  std::vector<double> x;
  std::vector<std::vector<double>> nuisance;
  ceres::Solver::Summary summary;
  int iterations = 0, successful = 0;
  double statistic = kInfinity;  // in the data's units
  bool usable = false;
  int joined = -1;  // the earlier end whose minimum it reached and stopped at
};

// A minimum an earlier start found: where, and its standard errors (solver's units).
struct Known {
  std::size_t end;
  std::vector<double> x, error;
  double cost = 0;  // Ceres's, half the solver's statistic
};

// Stops a start once it has come within a standard error of a minimum an earlier start
// found: the valleys of a poorly determined pair take many short steps, which would only find
// that minimum again.
class JoinKnown : public ceres::IterationCallback {
 public:
  JoinKnown(const double* x, const std::vector<Known>& known, int& joined) : x_(x), known_(known), joined_(joined) {}
  ceres::CallbackReturnType operator()(const ceres::IterationSummary& summary) override {
    for (const Known& k : known_) {
      // Near in the statistic too (within 4), so that the nuisance parameters have found the
      // curves as well.
      bool near = summary.cost - k.cost <= 2.0;
      for (std::size_t j = 0; j < k.x.size() && near; ++j) {
        near = std::isfinite(k.error[j]) && std::fabs(x_[j] - k.x[j]) <= k.error[j];
      }
      if (near) {
        joined_ = static_cast<int>(k.end);
        return ceres::SOLVER_TERMINATE_SUCCESSFULLY;
      }
    }
    return ceres::SOLVER_CONTINUE;
  }

 private:
  const double* x_;
  const std::vector<Known>& known_;
  int& joined_;
};

// Runs a library computation inside a cost function: a fault of the model at a trial point
// only tells the solver that the point cannot be evaluated.
template <class Work>
bool Guarded(std::exception_ptr& unexpected, Work work) {
  try {
    work();
    return true;
  } catch (const ModelError&) {
    return false;
  } catch (const InvalidRequest&) {
    return false;
  } catch (...) {
    if (!unexpected) unexpected = std::current_exception();
    return false;
  }
}

class CurveCost;

class JointEngine {
 public:
  JointEngine(const FitProblem& problem, bool single);

  FitResult Run();

  // For the cost functions.
  const Curve& curve(std::size_t c) const { return curves_[c]; }
  std::size_t columns() const { return columns_; }
  std::exception_ptr& unexpected() { return unexpected_; }
  Residual ResidualOf(double y, double m) const {
    return problem_.statistic == FitStatistic::kPoissonLikelihood ? PoissonResidual(y, m) : SquaresResidual(y, m);
  }
  // The spectrum of a curve's distance at the frequencies in use; throws what the library throws.
  std::span<const std::complex<double>> RowAt(std::size_t c, const double* x) {
    const Curve& curve = curves_[c];
    const Spectrum& all = GroupAt(curve.group, x);
    const std::size_t f = static_cast<std::size_t>(groups_[curve.group].frequencies);
    return std::span<const std::complex<double>>(all).subspan(curve.row * f, f);
  }
  // The derivatives of that spectrum with respect to each column of x (empty: 0).
  std::vector<std::span<const std::complex<double>>> DerivativeRowsAt(std::size_t c, const double* x);
  // Model counts of bins 0 ... last of a curve, optionally with their derivative with respect to
  // the shift (solver's units), and the background they include.
  double Counts(std::size_t c, std::span<const std::complex<double>> spectrum, const double* nuisance,
                std::vector<double>& counts, std::vector<double>* d_shift) const;

 private:
  void PrepareSlots();
  void PrepareCurves();
  void ParseFree();
  Physical Named(const FitParameter& p) const;
  void Bound(const FitParameter& p, Physical& entry);
  Values ValuesAt(const double* x) const;
  Medium MediumOf(const Values& values, std::size_t slot) const;
  // Doubles each group's grid until the curves of the start values fade within its period.
  void LengthenGrids(const Values& start);
  const Spectrum& GroupAt(std::size_t g, const double* x);
  Spectrum Compute(std::size_t g, const Medium& medium, const std::vector<double>& f_hz);
  std::vector<Spectrum> FullAt(const double* x);
  void UseFrequencies(std::size_t g, int count);
  void AnalyticDerivatives(std::size_t g, const Values& values, const std::vector<double>& key,
                           std::vector<bool>& done);
  void Initialise(const std::vector<double>& x, std::vector<std::vector<double>>& nuisance, bool first);
  End Solve(std::vector<double> x, std::vector<std::vector<double>> nuisance, const std::vector<bool>& fixed,
            bool initialise, bool first, const std::vector<Known>* known = nullptr);
  double Statistic(const End& end, std::vector<double>* per_curve_solver = nullptr);
  struct Curvature {
    bool ok = false;
    Eigen::MatrixXd covariance;  // the tangent space's, solver units
    std::optional<Linearised> at;
  };
  Curvature CurvatureAt(End& end);
  ProfileInterval Profile(const End& end, const Physical& p, double sigma);
  std::vector<std::vector<double>> SpreadStarts(int starts) const;

  // What the starts found: every end, its curvature, the best one and one end per minimum.
  struct Search {
    std::vector<End> ends;
    std::vector<Curvature> curvatures;
    std::size_t best = 0;
    std::vector<std::size_t> representative;
    int iterations = 0, successful = 0;
  };
  // An estimate's column as the covariance and the flags see it.
  struct Column {
    int index;            // in the tangent space; -1: held fixed
    double unit;          // physical units per solver unit
    double value;         // in the solver's units
    double lower, upper;  // the solver's bounds
    bool tied;
  };
  std::size_t DegreesOfFreedom() const;
  bool AllCounts() const;
  double ErrorOf(const Search& search, std::size_t e, std::size_t j) const;
  std::vector<std::size_t> Differing(const Search& search, std::size_t a, std::size_t b) const;
  Search RunStarts();
  void GroupMinima(Search& search, FitResult& result) const;
  void Polish(Search& search, FitResult& result);
  std::vector<ProfileInterval> Profiles(const Search& search, std::size_t degrees_of_freedom);
  double CurveFits(const End& end, std::size_t degrees_of_freedom, FitResult& result);
  std::vector<Column> Estimates(const End& end, const Curvature& curvature, double total_solver,
                                FitResult& result) const;
  void Derived(const Values& fitted_values, FitResult& result) const;
  void FlagDataAndSolver(const End& end, const Curvature& curvature, const std::vector<Column>& columns,
                         FitResult& result) const;
  void FlagDetermination(const Curvature& curvature, const std::vector<Column>& columns, FitResult& result) const;
  void FlagValues(FitResult& result) const;
  void FlagAmbiguity(const Search& search, FitResult& result) const;
  void Rethrow() {
    if (unexpected_) std::rethrow_exception(unexpected_);
  }

  const FitProblem& problem_;
  bool single_;
  std::vector<std::optional<double>> slots_;  // the wavelengths (nm) of the model's media
  std::vector<Curve> curves_;
  std::vector<Group> groups_;
  std::vector<Physical> physical_;
  std::size_t columns_ = 0;
  std::vector<double> lower_x_, upper_x_, start_x_;
  std::vector<std::vector<bool>> column_groups_;  // which groups each column changes
  Values base_;
  double step_ = kFastStep;
  bool poisson_ = true;

  // Spectra at the frequencies in use, per group and point; derivatives per point.
  struct Entry {
    std::size_t group;
    std::vector<double> x;
    Spectrum spectrum;
  };
  std::deque<Entry> entries_;
  std::size_t capacity_ = 8;
  std::vector<double> derivative_x_;
  std::vector<std::vector<Spectrum>> derivatives_;  // [group][column]
  bool has_derivatives_ = false;

  int evaluations_ = 0;
  int start_ = 0, starts_ = 1;
  double best_statistic_ = 0;
  bool cancelled_ = false;
  std::exception_ptr unexpected_;
};

// Residuals of one curve's fit range. Parameter blocks: the physical parameters (when any are
// free), then the curve's nuisance parameters. The physical block's Jacobian comes from the
// derivatives of the spectrum (JointEngine::DerivativeRowsAt), which the counts follow linearly, chained
// with the residuals' derivative with respect to the counts; the nuisance block's is analytic:
// the counts are linear in the amplitude and the background, and the shift's derivative is the
// spectrum times -2 pi i f.
class CurveCost : public ceres::CostFunction {
 public:
  CurveCost(JointEngine& engine, std::size_t c) : engine_(engine), c_(c) {
    set_num_residuals(static_cast<int>(engine.curve(c).bins()));
    if (engine.columns() > 0) mutable_parameter_block_sizes()->push_back(static_cast<int>(engine.columns()));
    mutable_parameter_block_sizes()->push_back(static_cast<int>(engine.curve(c).nuisance));
  }

  bool Evaluate(double const* const* parameters, double* residuals, double** jacobians) const override {
    const Curve& curve = engine_.curve(c_);
    const bool has_physical = engine_.columns() > 0;
    const double* x = has_physical ? parameters[0] : nullptr;
    const double* nuisance = parameters[has_physical ? 1 : 0];
    const std::size_t bins = curve.bins();
    const std::size_t first = curve.first;
    const bool want_nuisance = jacobians != nullptr && jacobians[has_physical ? 1 : 0] != nullptr;
    const bool want_physical = jacobians != nullptr && has_physical && jacobians[0] != nullptr;

    std::vector<double> counts, d_shift, dm;
    std::vector<double> dr_dm(bins);
    double background = 0;
    std::vector<std::span<const std::complex<double>>> derivatives;
    const bool ok = Guarded(engine_.unexpected(), [&] {
      const auto spectrum = engine_.RowAt(c_, x);
      background = engine_.Counts(c_, spectrum, nuisance, counts, want_nuisance ? &d_shift : nullptr);
      if (want_physical) derivatives = engine_.DerivativeRowsAt(c_, x);
    });
    if (!ok) return false;
    for (std::size_t i = 0; i < bins; ++i) {
      const Residual r = engine_.ResidualOf(curve.counts[first + i], counts[first + i]);
      residuals[i] = r.r;
      dr_dm[i] = r.dr_dm;
    }
    if (want_nuisance) {
      const int columns = static_cast<int>(curve.nuisance);
      double* j = jacobians[has_physical ? 1 : 0];
      for (std::size_t i = 0; i < bins; ++i) {
        const double m = counts[first + i] - background;
        double* row = j + i * static_cast<std::size_t>(columns);
        row[kAmplitude] = dr_dm[i] * (nuisance[kAmplitude] != 0 ? m / nuisance[kAmplitude] : 0.0);
        row[kShift] = dr_dm[i] * d_shift[first + i];
        if (columns > kBackground) row[kBackground] = dr_dm[i] * curve.background_unit;
      }
    }
    if (want_physical) {
      const std::size_t n = engine_.columns();
      const double amplitude = nuisance[kAmplitude] * curve.amplitude_unit;
      const double shift = nuisance[kShift] * curve.dt;
      dm.resize(curve.last + 1);
      for (std::size_t p = 0; p < n; ++p) {
        if (derivatives[p].empty()) {
          for (std::size_t i = 0; i < bins; ++i) jacobians[0][i * n + p] = 0;
          continue;
        }
        curve.model->Counts(derivatives[p], amplitude, shift, dm);
        for (std::size_t i = 0; i < bins; ++i) jacobians[0][i * n + p] = dr_dm[i] * dm[first + i];
      }
    }
    return true;
  }

 private:
  JointEngine& engine_;
  std::size_t c_;
};

// ---- preparation -------------------------------------------------------------------------

std::string CurveWho(const MeasuredCurve& curve, std::size_t index) {
  return curve.label.empty() ? "curve " + std::to_string(index + 1) + ": " : "curve \"" + curve.label + "\": ";
}

bool SameWavelength(double a, double b) { return std::fabs(a - b) <= 1e-9 * std::max(1.0, std::fabs(a)); }

JointEngine::JointEngine(const FitProblem& problem, bool single) : problem_(problem), single_(single) {
  if (problem.curves.empty()) Refuse("the problem has no curve to fit");
  {
    // The layers' number, n and d; mua and musp are checked at the start values below, once
    // ties have given the tied parameters theirs (the medium holds 0 for them).
    Medium geometry = problem.medium;
    for (Layer& layer : geometry.layers) {
      layer.mua = 0;
      layer.musp = 1;
    }
    if (auto p = geometry.Validate()) throw InvalidRequest(*p);
  }
  if (!(problem.spectrum_tolerance >= 0 && problem.spectrum_tolerance < 1)) {
    Refuse("the spectrum's tolerance " + Text(problem.spectrum_tolerance) + " must lie in 0 ... 1");
  }
  if (problem.max_iterations < 1) Refuse("the fit needs at least one iteration");
  if (problem.starts < 0) Refuse("the number of starts " + std::to_string(problem.starts) + " is below 0");
  if (!(problem.ambiguity_threshold >= 0)) {
    Refuse("the ambiguity threshold " + Text(problem.ambiguity_threshold) + " must be >= 0");
  }
  poisson_ = problem.statistic == FitStatistic::kPoissonLikelihood;
  step_ = problem.options.engine == Engine::kFast ? kFastStep : kExactStep;
  PrepareSlots();
  PrepareCurves();
  ParseFree();
}

void JointEngine::PrepareSlots() {
  const Medium& geometry = problem_.medium;
  base_.geometry = geometry;
  if (problem_.spectral) {
    const SpectralModel& model = *problem_.spectral;
    if (model.layers.size() != geometry.layers.size()) {
      Refuse("the spectral model has " + std::to_string(model.layers.size()) + " layers and the medium " +
             std::to_string(geometry.layers.size()));
    }
    for (std::size_t k = 0; k < model.layers.size(); ++k) {
      if (model.layers[k].concentrations.size() != model.chromophores.size()) {
        Refuse("layer " + std::to_string(k + 1) + " of the spectral model has " +
               std::to_string(model.layers[k].concentrations.size()) + " concentrations for " +
               std::to_string(model.chromophores.size()) + " chromophores");
      }
    }
    if (!(model.reference_nm > 0) || !std::isfinite(model.reference_nm)) {
      Refuse("the spectral model's reference wavelength " + Text(model.reference_nm) + " nm must be > 0");
    }
    base_.spectral = model;
    for (std::size_t c = 0; c < problem_.curves.size(); ++c) {
      const auto& nm = problem_.curves[c].wavelength_nm;
      if (!nm) Refuse(CurveWho(problem_.curves[c], c) + "the curve has no wavelength; a spectral model needs one");
      if (!(*nm > 0) || !std::isfinite(*nm)) {
        Refuse(CurveWho(problem_.curves[c], c) + "the wavelength " + Text(*nm) + " nm must be > 0");
      }
      if (std::none_of(slots_.begin(), slots_.end(), [&](const auto& s) { return SameWavelength(*s, *nm); })) {
        slots_.push_back(*nm);
      }
    }
    return;
  }
  if (!problem_.media.empty()) {
    for (const WavelengthMedium& m : problem_.media) {
      if (!(m.wavelength_nm > 0) || !std::isfinite(m.wavelength_nm)) {
        Refuse("a medium's wavelength " + Text(m.wavelength_nm) + " nm must be > 0");
      }
      const auto same = [&](const auto& s) { return SameWavelength(*s, m.wavelength_nm); };
      if (std::any_of(slots_.begin(), slots_.end(), same)) {
        Refuse("the problem holds two media at " + Text(m.wavelength_nm) + " nm");
      }
      if (m.medium.layers.size() != geometry.layers.size()) {
        Refuse("the medium at " + Text(m.wavelength_nm) + " nm has " + std::to_string(m.medium.layers.size()) +
               " layers and the problem's " + std::to_string(geometry.layers.size()));
      }
      Medium medium = geometry;
      for (std::size_t k = 0; k < medium.layers.size(); ++k) {
        medium.layers[k].mua = m.medium.layers[k].mua;
        medium.layers[k].musp = m.medium.layers[k].musp;
      }
      slots_.push_back(m.wavelength_nm);
      base_.media.push_back(std::move(medium));
    }
    return;
  }
  std::optional<double> only;
  for (std::size_t c = 0; c < problem_.curves.size(); ++c) {
    const auto& nm = problem_.curves[c].wavelength_nm;
    if (!nm) continue;
    if (only && !SameWavelength(*only, *nm)) {
      Refuse("the curves lie at " + Text(*only) + " and " + Text(*nm) +
             " nm: curves at several wavelengths need a medium at each or a spectral model");
    }
    only = nm;
  }
  slots_.push_back(only);
  base_.media.push_back(geometry);
}

void JointEngine::PrepareCurves() {
  const std::size_t count = problem_.curves.size();
  curves_.resize(count);
  for (std::size_t c = 0; c < count; ++c) {
    const MeasuredCurve& source = problem_.curves[c];
    Curve& curve = curves_[c];
    curve.source = &source;
    curve.who = single_ ? "" : CurveWho(source, c);
    curve.label = source.label.empty() ? std::to_string(c + 1) : source.label;
    curve.suffix = count == 1 ? "" : "[" + curve.label + "]";
    for (std::size_t b = 0; b < c; ++b) {
      if (curves_[b].label == curve.label) {
        Refuse(curve.who + "two curves are labelled \"" + curve.label + "\"; the report names each by its label");
      }
    }
    // The slot of its wavelength.
    if (problem_.spectral || slots_.size() > 1 || !problem_.media.empty()) {
      if (!source.wavelength_nm) {
        if (slots_.size() > 1) {
          Refuse(curve.who + "the curve has no wavelength, and the problem's media lie at several");
        }
        curve.slot = 0;
      } else {
        const auto at = std::find_if(slots_.begin(), slots_.end(),
                                     [&](const auto& s) { return SameWavelength(*s, *source.wavelength_nm); });
        if (at == slots_.end()) {
          std::string list;
          for (const auto& s : slots_) list += (list.empty() ? "" : ", ") + Text(*s);
          Refuse(curve.who + "the curve lies at " + Text(*source.wavelength_nm) +
                 " nm, where the problem has no medium (media at " + list + " nm)");
        }
        curve.slot = static_cast<std::size_t>(at - slots_.begin());
      }
    }
    if (auto p = ValidateDistance(source.rho_mm)) throw InvalidRequest(*p);
    curve.dt = CheckBins(source, curve.who);
    curve.samples = GridSamples(source.counts.size(), curve.dt, curve.who);

    curve.peak = *std::max_element(source.counts.begin(), source.counts.end());
    curve.data_scale = curve.peak > 0 && curve.peak < 1 ? std::exp2(std::ceil(std::log2(curve.peak))) : 1.0;
    curve.cost_factor = poisson_ ? curve.data_scale : curve.data_scale * curve.data_scale;
    curve.counts = source.counts;
    if (curve.data_scale != 1.0) {
      for (double& y : curve.counts) y /= curve.data_scale;
    }
    curve.background = source.background;
    switch (curve.background) {
      case BackgroundMode::kNone:
        curve.background_estimate = 0;
        break;
      case BackgroundMode::kEstimated:
        curve.background_estimate = PreRiseBackground(curve.counts);
        break;
      case BackgroundMode::kFitted:
        curve.background_estimate = BackgroundEstimate(curve.counts);
        break;
    }
    std::tie(curve.first, curve.last) =
        ChooseRange(source.t_ps, curve.counts, source.range, curve.background_estimate, curve.who);
    curve.shift_fixed = source.shift_ps.has_value();
    curve.nuisance = curve.background == BackgroundMode::kFitted ? 3 : 2;
    curve.model = std::make_unique<fit::ConvolvedModel>(source.irf, curve.dt, curve.samples);

    // Its group: the same wavelength and frequencies.
    std::size_t g = 0;
    while (g < groups_.size() && !(groups_[g].slot == curve.slot && groups_[g].samples == curve.samples &&
                                   std::fabs(groups_[g].dt - curve.dt) <= 1e-12 * curve.dt)) {
      ++g;
    }
    if (g == groups_.size()) groups_.push_back({curve.slot, curve.dt, curve.samples, {}, curve.model.get(), 0});
    Group& group = groups_[g];
    curve.group = g;
    const auto same = std::find(group.rho.begin(), group.rho.end(), source.rho_mm);
    curve.row = static_cast<std::size_t>(same - group.rho.begin());
    if (same == group.rho.end()) group.rho.push_back(source.rho_mm);
  }
}

// The free parameters: each named, bounded and given its column of the solver's vector (a tied
// one its target's), then which groups each column changes, and the start media checked.
void JointEngine::ParseFree() {
  for (const FitParameter& p : problem_.free) {
    Physical entry = Named(p);
    if (!p.tied_to.empty()) {
      if (p.lower || p.upper || p.start) {
        Refuse("the free parameter " + p.name + " is tied to " + p.tied_to +
               " and takes its bounds and start; give them "
               "to " +
               p.tied_to);
      }
      entry.tied = true;
    } else {
      Bound(p, entry);
    }
    physical_.push_back(entry);
  }
  // Ties: the target's column and scale.
  for (std::size_t i = 0; i < problem_.free.size(); ++i) {
    Physical& entry = physical_[i];
    if (!entry.tied) continue;
    const std::string& target = problem_.free[i].tied_to;
    const auto t =
        std::find_if(physical_.begin(), physical_.end(), [&](const Physical& q) { return q.name == target; });
    if (t == physical_.end() || t->tied) {
      Refuse("the free parameter " + entry.name + " is tied to " + target +
             (t == physical_.end() ? ", which is not free" : ", which is tied itself"));
    }
    entry.column = t->column;
    entry.scale = t->scale;
    entry.start = t->start;
    entry.lower = t->lower;
    entry.upper = t->upper;
  }
  column_groups_.assign(columns_, std::vector<bool>(groups_.size(), false));
  for (const Physical& p : physical_) {
    for (std::size_t g = 0; g < groups_.size(); ++g) {
      if (p.slot < 0 || static_cast<std::size_t>(p.slot) == groups_[g].slot)
        column_groups_[static_cast<std::size_t>(p.column)][g] = true;
    }
  }
  capacity_ = groups_.size() * (2 * columns_ + 4);
  // The media at the start values must be computable.
  const Values start = ValuesAt(start_x_.data());
  for (std::size_t s = 0; s < slots_.size(); ++s) {
    if (auto p = MediumOf(start, s).Validate()) throw InvalidRequest(*p);
  }
  LengthenGrids(start);
}

// What a free parameter's name says: its kind, layer, wavelength or chromophore.
Physical JointEngine::Named(const FitParameter& p) const {
  const std::size_t layers = problem_.medium.layers.size();
  const bool spectral = problem_.spectral.has_value();
  const bool named_wavelengths = !spectral && slots_.size() > 1;
  const std::string help = spectral ? "name <chromophore><k>, a<k>, b<k> or d<k> (k = 1 for the top layer)"
                                    : std::string("name mua<k>, musp<k> (k = 1 for the top layer)") +
                                          (named_wavelengths ? " with @<nm> of one of the problem's wavelengths" : "") +
                                          (layers > 2 ? " or d<k> of a layer above the bottom one" : " or d1");
  const std::string& name = p.name;
  for (const Physical& earlier : physical_) {
    if (earlier.name == name) Refuse("the free parameter " + name + " is named twice");
  }
  if (name == "amplitude" || name == "shift_ps") {
    Refuse(name + " is always fitted; the free parameters to name are " +
           (spectral || named_wavelengths || layers > 2 ? "the model's (" + help.substr(5) + ")"
                                                        : std::string("mua<k>, musp<k> and d1")));
  }
  if (name == "background") {
    Refuse(std::string("the background is fitted when the ") + (single_ ? "request" : "curve") +
           " asks for it, not as a free parameter");
  }
  const auto unknown = [&] { Refuse("unknown free parameter \"" + name + "\": " + help); };
  const std::size_t at = name.find('@');
  const std::string base = name.substr(0, at);
  std::size_t split = base.size();
  while (split > 0 && base[split - 1] >= '0' && base[split - 1] <= '9') --split;
  const std::string prefix = base.substr(0, split), digits = base.substr(split);
  if (digits.empty() || digits.size() > 5 || digits[0] == '0') unknown();
  Physical entry{name, Kind::kMua};
  if (spectral) {
    if (at != std::string::npos) {
      Refuse("the free parameter " + name +
             " names a wavelength; with a spectral model every parameter holds at "
             "all wavelengths");
    }
    const auto& chromophores = problem_.spectral->chromophores;
    const auto c = std::find_if(chromophores.begin(), chromophores.end(),
                                [&](const Chromophore& ch) { return ch.name == prefix; });
    if (prefix == "a") {
      entry.kind = Kind::kScatteringA;
    } else if (prefix == "b") {
      entry.kind = Kind::kScatteringB;
      entry.positive = false;
    } else if (prefix == "d") {
      entry.kind = Kind::kThickness;
    } else if (c != chromophores.end()) {
      entry.kind = Kind::kConcentration;
      entry.chromophore = static_cast<std::size_t>(c - chromophores.begin());
    } else {
      unknown();
    }
  } else {
    if (prefix == "mua") {
      entry.kind = Kind::kMua;
    } else if (prefix == "musp") {
      entry.kind = Kind::kMusp;
    } else if (prefix == "d") {
      entry.kind = Kind::kThickness;
    } else {
      unknown();
    }
    if (at != std::string::npos) {
      const std::string text = name.substr(at + 1);
      double nm = kNaN;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), nm);
      if (error != std::errc() || end != text.data() + text.size() || entry.kind == Kind::kThickness) unknown();
      const auto slot =
          std::find_if(slots_.begin(), slots_.end(), [&](const auto& s) { return s && SameWavelength(*s, nm); });
      if (slot == slots_.end()) {
        Refuse("the free parameter " + name + " names " + text + " nm, where the problem has no medium");
      }
      entry.slot = static_cast<int>(slot - slots_.begin());
    } else if (entry.kind != Kind::kThickness) {
      if (named_wavelengths) {
        Refuse("the free parameter " + name + " names no wavelength: the problem holds media at several (" + name +
               "@<nm>)");
      }
      entry.slot = 0;
    }
  }
  const std::size_t k = std::stoul(digits);
  if (k > layers) {
    Refuse("the free parameter " + name + " names no layer: the model has " + std::to_string(layers) +
           (layers == 1 ? " layer" : " layers"));
  }
  entry.layer = k - 1;
  if (entry.kind == Kind::kThickness && k == layers) {
    if (layers == 1) Refuse("d1 is free, but a single layer is a half-space: its thickness does not matter");
    if (layers == 2) Refuse("only the top layer's thickness can be fitted (d1), not " + name);
    Refuse("only the thicknesses of layers above the bottom one can be fitted (d1 ... d" +
           std::to_string(layers - 1) + "), not " + name);
  }
  return entry;
}

// A free parameter's bounds (the defaults for its kind unless given), start and scale, and its
// column.
void JointEngine::Bound(const FitParameter& p, Physical& entry) {
  const std::string& name = p.name;
  double model_value = 0, lower = 0, upper = 0;
  const Layer& layer = entry.slot >= 0 ? base_.media[static_cast<std::size_t>(entry.slot)].layers[entry.layer]
                                       : base_.geometry.layers[entry.layer];
  switch (entry.kind) {
    case Kind::kMua:
      model_value = static_cast<double>(layer.mua), lower = 0, upper = 1;
      break;
    case Kind::kMusp:
      model_value = static_cast<double>(layer.musp), lower = 0.01, upper = 20;
      break;
    case Kind::kThickness:
      model_value = static_cast<double>(layer.d), lower = 0.1, upper = 200;
      break;
    case Kind::kConcentration: {
      model_value = problem_.spectral->layers[entry.layer].concentrations[entry.chromophore];
      const bool molar = problem_.spectral->chromophores[entry.chromophore].unit == ChromophoreUnit::kMolarExtinction;
      upper = molar ? 1e4 : 1.0;
      break;
    }
    case Kind::kScatteringA:
      model_value = problem_.spectral->layers[entry.layer].a, lower = 0.01, upper = 20;
      break;
    case Kind::kScatteringB:
      model_value = problem_.spectral->layers[entry.layer].b, lower = -1, upper = 5;
      break;
  }
  entry.lower = p.lower.value_or(lower);
  entry.upper = p.upper.value_or(upper);
  entry.start = p.start.value_or(model_value);
  if (entry.positive && entry.lower < 0)
    Refuse("the lower bound " + Text(entry.lower) + " of " + name + " is below 0");
  if (!std::isfinite(entry.lower) || !std::isfinite(entry.upper) || !(entry.lower < entry.upper)) {
    Refuse("the bounds of " + name + " (" + Text(entry.lower) + " ... " + Text(entry.upper) +
           ") must be finite and the lower below the upper");
  }
  if (!(entry.start >= entry.lower && entry.start <= entry.upper)) {
    Refuse("the start value " + Text(entry.start) + " of " + name + (p.start ? " (as given)" : " (from the model)") +
           " lies outside its bounds " + Text(entry.lower) + " ... " + Text(entry.upper));
  }
  entry.scale =
      entry.start > 0 ? entry.start : (entry.positive ? entry.upper / 100.0 : std::max(std::fabs(entry.start), 1.0));
  entry.column = static_cast<int>(columns_++);
  const double lower_x =
      entry.positive ? std::max(entry.lower, 2.0 * step_ * entry.scale) / entry.scale : entry.lower / entry.scale;
  lower_x_.push_back(lower_x);
  upper_x_.push_back(entry.upper / entry.scale);
  start_x_.push_back(std::max(entry.start / entry.scale, lower_x));
}

void JointEngine::LengthenGrids(const Values& start) {
  for (std::size_t g = 0; g < groups_.size(); ++g) {
    Group& group = groups_[g];
    const Medium medium = MediumOf(start, group.slot);
    while (group.samples < kMostFoldFreeSamples) {
      const FrequencySpectra spectra =
          FrequencyDomain(medium, group.rho, group.model->FrequenciesHz(group.samples / 2 + 1), problem_.options);
      double fold = 0;
      for (const Curve& curve : curves_) {
        if (curve.group != g) continue;
        const std::size_t all = spectra.f_hz.size();
        fold = std::max(fold, curve.model->FoldPart(std::span(spectra.values).subspan(curve.row * all, all)));
      }
      if (!(fold > static_cast<double>(kFoldTarget))) break;
      group.samples *= 2;
      for (Curve& curve : curves_) {
        if (curve.group != g) continue;
        curve.samples = group.samples;
        curve.model = std::make_unique<fit::ConvolvedModel>(curve.source->irf, curve.dt, curve.samples);
        group.model = curve.model.get();
      }
    }
  }
}

Values JointEngine::ValuesAt(const double* x) const {
  Values v = base_;
  for (const Physical& p : physical_) {
    const double value = x[p.column] * p.scale;
    const long double extended = static_cast<long double>(value);
    auto each_medium = [&](auto set) {
      for (std::size_t s = 0; s < v.media.size(); ++s) {
        if (p.slot < 0 || static_cast<std::size_t>(p.slot) == s) set(v.media[s].layers[p.layer]);
      }
    };
    switch (p.kind) {
      case Kind::kMua:
        each_medium([&](Layer& l) { l.mua = extended; });
        break;
      case Kind::kMusp:
        each_medium([&](Layer& l) { l.musp = extended; });
        break;
      case Kind::kThickness:
        v.geometry.layers[p.layer].d = extended;
        each_medium([&](Layer& l) { l.d = extended; });
        break;
      case Kind::kConcentration:
        v.spectral->layers[p.layer].concentrations[p.chromophore] = value;
        break;
      case Kind::kScatteringA:
        v.spectral->layers[p.layer].a = value;
        break;
      case Kind::kScatteringB:
        v.spectral->layers[p.layer].b = value;
        break;
    }
  }
  return v;
}

Medium JointEngine::MediumOf(const Values& values, std::size_t slot) const {
  if (values.spectral) return values.spectral->MediumAt(values.geometry, *slots_[slot]);
  return values.media[slot];
}

// ---- the model's spectra -----------------------------------------------------------------

Spectrum JointEngine::Compute(std::size_t g, const Medium& medium, const std::vector<double>& f_hz) {
  if (cancelled_ || problem_.options.stop.stop_requested()) {
    cancelled_ = true;
    throw Cancelled();
  }
  FrequencySpectra spectra = FrequencyDomain(medium, groups_[g].rho, f_hz, problem_.options);
  ++evaluations_;
  if (problem_.progress && !problem_.progress(FitProgress{evaluations_, start_, starts_, best_statistic_})) {
    cancelled_ = true;
    throw Cancelled();
  }
  return std::move(spectra.values);
}

const Spectrum& JointEngine::GroupAt(std::size_t g, const double* x) {
  const std::vector<double> key(x, x + columns_);
  for (const Entry& e : entries_) {
    if (e.group == g && e.x == key) return e.spectrum;
  }
  const Group& group = groups_[g];
  Spectrum spectrum = Compute(g, MediumOf(ValuesAt(x), group.slot), group.model->FrequenciesHz(group.frequencies));
  if (entries_.size() >= capacity_) entries_.pop_front();
  entries_.push_back({g, key, std::move(spectrum)});
  return entries_.back().spectrum;
}

std::vector<Spectrum> JointEngine::FullAt(const double* x) {
  const Values values = ValuesAt(x);
  std::vector<Spectrum> full(groups_.size());
  for (std::size_t g = 0; g < groups_.size(); ++g) {
    full[g] =
        Compute(g, MediumOf(values, groups_[g].slot), groups_[g].model->FrequenciesHz(groups_[g].samples / 2 + 1));
  }
  return full;
}

void JointEngine::UseFrequencies(std::size_t g, int count) {
  if (groups_[g].frequencies == count) return;
  groups_[g].frequencies = count;
  std::erase_if(entries_, [&](const Entry& e) { return e.group == g; });
  has_derivatives_ = false;
}

// The spectra's derivatives with respect to the columns of x: this is the one place they come
// from. With the fast engine the library differentiates the model itself, one call per group
// for the derivatives with respect to every layer's mua and mus', which the spectral model's
// parameters follow by the chain rule. Thicknesses, and models the fast engine declines, take
// central differences of the spectra, relative to the parameters' values (the solver's units,
// about 1). Every group's spectrum at a point is one library call for all its distances, and a
// column that does not touch a wavelength costs nothing there.
std::vector<std::span<const std::complex<double>>> JointEngine::DerivativeRowsAt(std::size_t c, const double* x) {
  const std::vector<double> key(x, x + columns_);
  if (!has_derivatives_ || derivative_x_ != key) {
    has_derivatives_ = false;
    derivatives_.assign(groups_.size(), std::vector<Spectrum>(columns_));
    const Values values = ValuesAt(x);
    for (std::size_t g = 0; g < groups_.size(); ++g) {
      std::vector<bool> done(columns_, false);
      if (problem_.options.engine == Engine::kFast) AnalyticDerivatives(g, values, key, done);
      for (std::size_t j = 0; j < columns_; ++j) {
        if (done[j] || !column_groups_[j][g]) continue;
        const double h = key[j] != 0 ? step_ * std::fabs(key[j]) : step_;
        std::vector<double> ahead = key, behind = key;
        ahead[j] += h;
        behind[j] -= h;
        const Spectrum plus = GroupAt(g, ahead.data());
        const Spectrum& minus = GroupAt(g, behind.data());
        Spectrum& d = derivatives_[g][j];
        d.resize(plus.size());
        for (std::size_t k = 0; k < plus.size(); ++k) d[k] = (plus[k] - minus[k]) / (2.0 * h);
      }
    }
    derivative_x_ = key;
    has_derivatives_ = true;
  }
  const Curve& curve = curves_[c];
  const std::size_t f = static_cast<std::size_t>(groups_[curve.group].frequencies);
  std::vector<std::span<const std::complex<double>>> rows(columns_);
  for (std::size_t j = 0; j < columns_; ++j) {
    const Spectrum& d = derivatives_[curve.group][j];
    if (!d.empty()) rows[j] = std::span<const std::complex<double>>(d).subspan(curve.row * f, f);
  }
  return rows;
}

void JointEngine::AnalyticDerivatives(std::size_t g, const Values& values, const std::vector<double>& key,
                                      std::vector<bool>& done) {
  // The columns whose every parameter at this wavelength is an absorption or scattering one.
  std::vector<bool> analytic(columns_, true);
  bool any = false;
  for (const Physical& p : physical_) {
    const std::size_t j = static_cast<std::size_t>(p.column);
    if (!column_groups_[j][g]) continue;
    if (p.kind == Kind::kThickness) analytic[j] = false;
  }
  for (std::size_t j = 0; j < columns_; ++j) any = any || (analytic[j] && column_groups_[j][g]);
  if (!any) return;
  if (cancelled_ || problem_.options.stop.stop_requested()) {
    cancelled_ = true;
    throw Cancelled();
  }
  const Group& group = groups_[g];
  const Medium medium = MediumOf(values, group.slot);
  std::optional<FrequencyJacobian> jacobian =
      FrequencyDomainDerivatives(medium, group.rho, group.model->FrequenciesHz(group.frequencies), problem_.options);
  ++evaluations_;
  if (problem_.progress && !problem_.progress(FitProgress{evaluations_, start_, starts_, best_statistic_})) {
    cancelled_ = true;
    throw Cancelled();
  }
  if (!jacobian) return;
  const std::size_t size = jacobian->spectra.values.size();
  const std::size_t per_parameter = size;  // distances times frequencies
  // d spectrum / d column: the sum over the column's parameters of their chain factors.
  for (const Physical& p : physical_) {
    const std::size_t j = static_cast<std::size_t>(p.column);
    const bool here = p.slot < 0 || static_cast<std::size_t>(p.slot) == group.slot;
    if (!analytic[j] || !here) continue;
    std::size_t parameter = 2 * p.layer + (p.kind == Kind::kMua || p.kind == Kind::kConcentration ? 0 : 1);
    double factor = p.scale;
    if (values.spectral) {
      const double nm = *slots_[group.slot];
      const SpectralLayer& layer = values.spectral->layers[p.layer];
      const double power = std::pow(nm / values.spectral->reference_nm, -layer.b);
      switch (p.kind) {
        case Kind::kConcentration: factor *= values.spectral->chromophores[p.chromophore].AbsorptionPerUnit(nm); break;
        case Kind::kScatteringA: factor *= power; break;
        case Kind::kScatteringB: factor *= -layer.a * power * std::log(nm / values.spectral->reference_nm); break;
        default: break;
      }
    }
    Spectrum& d = derivatives_[g][j];
    if (d.empty()) d.assign(size, 0.0);
    const std::complex<double>* source = jacobian->derivatives.data() + parameter * per_parameter;
    for (std::size_t k = 0; k < size; ++k) d[k] += factor * source[k];
  }
  for (std::size_t j = 0; j < columns_; ++j) done[j] = analytic[j] && column_groups_[j][g];
  // The spectrum itself, the fast engine's bit for bit, spares the residuals' call.
  if (std::none_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.group == g && e.x == key; })) {
    if (entries_.size() >= capacity_) entries_.pop_front();
    entries_.push_back({g, key, std::move(jacobian->spectra.values)});
  }
}

double JointEngine::Counts(std::size_t c, std::span<const std::complex<double>> spectrum, const double* nuisance,
                           std::vector<double>& counts, std::vector<double>* d_shift) const {
  const Curve& curve = curves_[c];
  const double amplitude = nuisance[kAmplitude] * curve.amplitude_unit;
  const double shift = nuisance[kShift] * curve.dt;
  counts.assign(curve.last + 1, 0.0);
  if (d_shift) d_shift->assign(curve.last + 1, 0.0);
  curve.model->Counts(spectrum, amplitude, shift, counts, d_shift ? std::span<double>(*d_shift) : std::span<double>());
  double background = 0;
  if (curve.background == BackgroundMode::kFitted) background = nuisance[kBackground] * curve.background_unit;
  if (curve.background == BackgroundMode::kEstimated) background = curve.background_estimate;
  for (double& m : counts) m += background;
  if (d_shift) {
    for (double& d : *d_shift) d *= curve.dt;
  }
  return background;
}

// ---- one start of the solver -------------------------------------------------------------

// The spectra at x in full decide how many frequencies the fit needs, and each curve's rise gives
// the shift and amplitude to start from.
void JointEngine::Initialise(const std::vector<double>& x, std::vector<std::vector<double>>& nuisance, bool first) {
  const std::vector<Spectrum> full = FullAt(x.data());
  std::vector<int> needed(groups_.size(), 1);
  for (std::size_t c = 0; c < curves_.size(); ++c) {
    const Curve& curve = curves_[c];
    const Group& group = groups_[curve.group];
    const std::size_t all = static_cast<std::size_t>(group.samples / 2 + 1);
    const std::span<const std::complex<double>> row =
        std::span<const std::complex<double>>(full[curve.group]).subspan(curve.row * all, all);
    // A tenth of the tolerance at the start leaves room for curves sharper than the start's.
    const int count = problem_.spectrum_tolerance > 0
                          ? curve.model->FrequenciesNeeded(row, problem_.spectrum_tolerance / 10)
                          : static_cast<int>(all);
    needed[curve.group] = std::max(needed[curve.group], count);
  }
  // Later starts keep what earlier ones needed: the statistics of all ends are then computed alike.
  for (std::size_t g = 0; g < groups_.size(); ++g)
    UseFrequencies(g, first ? needed[g] : std::max(needed[g], groups_[g].frequencies));

  nuisance.resize(curves_.size());
  for (std::size_t c = 0; c < curves_.size(); ++c) {
    Curve& curve = curves_[c];
    const Group& group = groups_[curve.group];
    const std::size_t all = static_cast<std::size_t>(group.samples / 2 + 1);
    const auto row = std::span<const std::complex<double>>(full[curve.group]).subspan(curve.row * all, all);
    const std::size_t bins = curve.counts.size();
    std::vector<double> unit(bins);
    curve.model->Counts(row, 1.0, 0.0, unit);
    const double shift = curve.shift_fixed ? *curve.source->shift_ps
                                           : HalfRise(curve.source->t_ps, curve.counts, curve.background_estimate) -
                                                 HalfRise(curve.source->t_ps, unit, 0.0);
    curve.model->Counts(row, 1.0, shift, unit);
    double measured_sum = 0, unit_sum = 0;
    for (std::size_t i = curve.first; i <= curve.last; ++i) {
      measured_sum += curve.counts[i] - curve.background_estimate;
      unit_sum += unit[i];
    }
    const double amplitude = measured_sum > 0 && unit_sum > 0 ? measured_sum / unit_sum : 1.0;
    if (first) {
      curve.amplitude_unit = amplitude;
      curve.background_unit = std::max(curve.background_estimate, 1.0);
      curve.shift_start = shift;
      curve.shift_reach = static_cast<double>(curve.samples) / 4.0;
    }
    nuisance[c] = {amplitude / curve.amplitude_unit, shift / curve.dt};
    if (curve.background == BackgroundMode::kFitted) {
      nuisance[c].push_back(curve.background_estimate / curve.background_unit);
    }
  }
}

// The solver's problem over x and the curves' nuisance parameters, with their bounds; `fixed`
// columns of x held where they are.
struct Built {
  std::vector<std::unique_ptr<CurveCost>> costs;
  std::unique_ptr<ceres::Problem> problem;
  std::vector<double*> blocks;  // x (when any column), then each curve's nuisance
};

End JointEngine::Solve(std::vector<double> x, std::vector<std::vector<double>> nuisance, const std::vector<bool>& fixed,
                       bool initialise, bool first, const std::vector<Known>* known) {
  if (initialise) Initialise(x, nuisance, first);
  End end;
  end.x = std::move(x);
  end.nuisance = std::move(nuisance);

  Built built;
  ceres::Problem::Options problem_options;
  problem_options.cost_function_ownership = ceres::DO_NOT_TAKE_OWNERSHIP;
  built.problem = std::make_unique<ceres::Problem>(problem_options);
  ceres::Problem& problem = *built.problem;
  const bool has_x = columns_ > 0;
  for (std::size_t c = 0; c < curves_.size(); ++c) {
    built.costs.push_back(std::make_unique<CurveCost>(*this, c));
    std::vector<double*> blocks;
    if (has_x) blocks.push_back(end.x.data());
    blocks.push_back(end.nuisance[c].data());
    problem.AddResidualBlock(built.costs.back().get(), nullptr, blocks);
  }
  std::vector<int> held;
  for (std::size_t j = 0; j < columns_; ++j) {
    if (!fixed.empty() && fixed[j]) {
      held.push_back(static_cast<int>(j));
      continue;
    }
    problem.SetParameterLowerBound(end.x.data(), static_cast<int>(j), lower_x_[j]);
    problem.SetParameterUpperBound(end.x.data(), static_cast<int>(j), upper_x_[j]);
  }
  const bool all_held = has_x && held.size() == columns_;
  if (all_held) {
    problem.SetParameterBlockConstant(end.x.data());
  } else if (!held.empty()) {
    problem.SetManifold(end.x.data(), new ceres::SubsetManifold(static_cast<int>(columns_), held));
  }
  for (std::size_t c = 0; c < curves_.size(); ++c) {
    const Curve& curve = curves_[c];
    double* n = end.nuisance[c].data();
    problem.SetParameterLowerBound(n, kAmplitude, 1e-6);
    problem.SetParameterUpperBound(n, kAmplitude, 1e6);
    if (curve.shift_fixed) {
      problem.SetManifold(n, new ceres::SubsetManifold(static_cast<int>(curve.nuisance), {kShift}));
    } else {
      const double centre = curve.shift_start / curve.dt;
      problem.SetParameterLowerBound(n, kShift, centre - curve.shift_reach);
      problem.SetParameterUpperBound(n, kShift, centre + curve.shift_reach);
    }
    // A fitted background has no bounds: a bound at 0 cuts off the estimates of a small
    // background below it and biases mua upwards (by 1 % at 0.1 counts per bin), and the Poisson
    // residuals' least model count keeps a negative one from running away.
  }

  ceres::Solver::Options options = SolverOptions(problem_.max_iterations);
  // First the nuisance parameters alone, on the start spectra: no new model computations, and
  // the physical parameters then start from curves laid over the data.
  if (has_x && !all_held && initialise) {
    problem.SetParameterBlockConstant(end.x.data());
    ceres::Solve(options, &problem, &end.summary);
    Rethrow();
    problem.SetParameterBlockVariable(end.x.data());
  }
  // The frequencies left out are checked against the whole spectrum at the optimum; should the
  // optimum need more (a sharper curve than at the start), the fit goes on with them.
  const std::vector<Known> none;
  JoinKnown join(end.x.data(), known ? *known : none, end.joined);
  if (known && !known->empty() && has_x) {
    // A spread start only has to find its minimum's valley: should it be the lowest, it is
    // polished to the full tolerance afterwards.
    options.function_tolerance = kSpreadTolerance;
    options.parameter_tolerance = kSpreadTolerance;
    options.update_state_every_iteration = true;
    options.callbacks.push_back(&join);
  }
  for (int round = 0;; ++round) {
    ceres::Solve(options, &problem, &end.summary);
    Rethrow();
    end.iterations += static_cast<int>(end.summary.iterations.size()) - 1;
    // Ceres counts the start (iteration 0) among its successful steps: counted here without it.
    for (std::size_t k = 1; k < end.summary.iterations.size(); ++k) {
      if (end.summary.iterations[k].step_is_successful) ++end.successful;
    }
    if (round == 2 || end.joined >= 0) break;
    bool more = false;
    std::vector<int> wanted(groups_.size(), 0);
    std::vector<Spectrum> full;
    for (std::size_t c = 0; c < curves_.size(); ++c) {
      const Curve& curve = curves_[c];
      const Group& group = groups_[curve.group];
      const int all = group.samples / 2 + 1;
      if (group.frequencies == all) continue;
      if (full.empty()) full = FullAt(end.x.data());
      const auto row = std::span<const std::complex<double>>(full[curve.group])
                           .subspan(curve.row * static_cast<std::size_t>(all), static_cast<std::size_t>(all));
      if (curve.model->TruncationBound(row, group.frequencies) <= problem_.spectrum_tolerance) continue;
      more = true;
      wanted[curve.group] = std::max({wanted[curve.group], group.frequencies,
                                      curve.model->FrequenciesNeeded(row, problem_.spectrum_tolerance / 10)});
    }
    if (!more) break;
    for (std::size_t g = 0; g < groups_.size(); ++g) {
      if (wanted[g] > 0) UseFrequencies(g, wanted[g]);
    }
  }
  end.usable = end.summary.IsSolutionUsable();
  end.statistic = Statistic(end);
  return end;
}

// The statistic at an end in the data's units (Poisson deviance or chi2), from the cached spectra;
// optionally every curve's sum of squared solver residuals.
double JointEngine::Statistic(const End& end, std::vector<double>* per_curve_solver) {
  double total = 0;
  if (per_curve_solver) per_curve_solver->assign(curves_.size(), 0.0);
  std::vector<double> counts;
  for (std::size_t c = 0; c < curves_.size(); ++c) {
    const Curve& curve = curves_[c];
    const auto row = RowAt(c, end.x.data());
    Counts(c, row, end.nuisance[c].data(), counts, nullptr);
    double sum = 0;
    for (std::size_t i = curve.first; i <= curve.last; ++i) {
      const double r = ResidualOf(curve.counts[i], counts[i]).r;
      sum += r * r;
    }
    if (per_curve_solver) (*per_curve_solver)[c] = sum;
    total += sum * curve.cost_factor;
  }
  return total;
}

JointEngine::Curvature JointEngine::CurvatureAt(End& end) {
  Curvature out;
  ceres::Problem::Options problem_options;
  problem_options.cost_function_ownership = ceres::DO_NOT_TAKE_OWNERSHIP;
  ceres::Problem problem(problem_options);
  std::vector<std::unique_ptr<CurveCost>> costs;
  std::vector<double*> order;
  if (columns_ > 0) order.push_back(end.x.data());
  for (std::size_t c = 0; c < curves_.size(); ++c) {
    costs.push_back(std::make_unique<CurveCost>(*this, c));
    std::vector<double*> blocks;
    if (columns_ > 0) blocks.push_back(end.x.data());
    blocks.push_back(end.nuisance[c].data());
    order.push_back(end.nuisance[c].data());
    problem.AddResidualBlock(costs.back().get(), nullptr, blocks);
    if (curves_[c].shift_fixed) {
      problem.SetManifold(end.nuisance[c].data(),
                          new ceres::SubsetManifold(static_cast<int>(curves_[c].nuisance), {kShift}));
    }
  }
  out.at = Linearise(problem, order);
  Rethrow();
  if (!end.usable || !out.at || !Determined(out.at->jacobian)) return out;
  // (J'J)^-1 from J's singular values, as Ceres's dense covariance computes it.
  const Eigen::JacobiSVD<Eigen::MatrixXd> svd(out.at->jacobian, Eigen::ComputeThinV);
  const Eigen::VectorXd inverse = svd.singularValues().array().square().inverse();
  out.covariance = svd.matrixV() * inverse.asDiagonal() * svd.matrixV().transpose();
  out.ok = out.covariance.allFinite();
  return out;
}

// The profile of one parameter: held at 0.75 ... 6 standard errors either side of the optimum
// (cut to its bounds) with every other parameter refitted from the previous point, until the
// statistic rises by delta; the end interpolated in the root of the rise, which is nearly linear
// in the parameter about the optimum. Each point costs a fit.
ProfileInterval JointEngine::Profile(const End& end, const Physical& p, double sigma) {
  const std::size_t j = static_cast<std::size_t>(p.column);
  ProfileInterval profile;
  profile.name = p.name;
  profile.value = end.x[j] * p.scale;
  profile.lower = profile.upper = kNaN;
  profile.lower_bound = p.lower;
  profile.upper_bound = p.upper;
  if (!(sigma > 0) || !std::isfinite(sigma)) sigma = 0.1 * std::max(std::fabs(end.x[j]), 1e-3);
  std::vector<bool> fixed(columns_, false);
  fixed[j] = true;
  std::vector<std::pair<double, double>> points;  // (x, rise)
  for (const int side : {-1, +1}) {
    End warm = end;
    double below_x = end.x[j], below_rise = 0;
    ProfileEnd ending = ProfileEnd::kFlat;
    for (const double k : {0.75, 1.25, 2.0, 3.5, 6.0}) {
      double at = end.x[j] + side * k * sigma;
      const double limit = side < 0 ? lower_x_[j] : upper_x_[j];
      const bool clipped = side < 0 ? at <= limit : at >= limit;
      if (clipped) at = limit;
      std::vector<double> x = warm.x;
      x[j] = at;
      End point;
      try {
        point = Solve(x, warm.nuisance, fixed, false, false);
      } catch (const ModelError&) {
        ending = ProfileEnd::kFailed;
        break;
      } catch (const InvalidRequest&) {
        ending = ProfileEnd::kFailed;
        break;
      }
      const double rise = point.statistic - end.statistic;
      points.emplace_back(at, rise);
      if (rise >= profile.delta) {
        const double a = std::sqrt(std::max(below_rise, 0.0)), b = std::sqrt(rise);
        const double crossing = below_x + (at - below_x) * (std::sqrt(profile.delta) - a) / (b - a);
        (side < 0 ? profile.lower : profile.upper) = crossing * p.scale;
        ending = ProfileEnd::kFound;
        break;
      }
      below_x = at;
      below_rise = rise;
      warm = std::move(point);
      if (clipped) {
        ending = ProfileEnd::kBound;
        break;
      }
    }
    (side < 0 ? profile.lower_end : profile.upper_end) = ending;
  }
  std::sort(points.begin(), points.end());
  for (const auto& [x, rise] : points) {
    profile.points.push_back(x * p.scale);
    profile.deviance.push_back(rise);
  }
  return profile;
}

// The starts after the first, spread over the free parameters: per parameter the starts take a
// shuffled stratum each of its range, so that few starts cover it. The range is the bounds cut
// to a factor of 3 about the start value (1.5 either side of it for the scattering power): the
// default bounds span decades, where most curves would look nothing like the data and the solver
// would spend its iterations getting back.
std::vector<std::vector<double>> JointEngine::SpreadStarts(int starts) const {
  std::vector<std::vector<double>> out(static_cast<std::size_t>(starts), start_x_);
  if (starts < 2) return out;
  std::mt19937_64 random(problem_.seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const int spread = starts - 1;
  for (std::size_t j = 0; j < columns_; ++j) {
    const Physical& p = *std::find_if(physical_.begin(), physical_.end(),
                                      [&](const Physical& q) { return !q.tied && q.column == static_cast<int>(j); });
    std::vector<int> strata(static_cast<std::size_t>(spread));
    for (int s = 0; s < spread; ++s) strata[static_cast<std::size_t>(s)] = s;
    std::shuffle(strata.begin(), strata.end(), random);
    const double lo_x = lower_x_[j], hi_x = upper_x_[j];
    for (int s = 0; s < spread; ++s) {
      const double u = (strata[static_cast<std::size_t>(s)] + uniform(random)) / spread;
      double value = 0;
      if (p.positive && p.start > 0) {
        const double lo = std::max(lo_x, start_x_[j] / kSpread), hi = std::min(hi_x, start_x_[j] * kSpread);
        value = lo * std::pow(hi / lo, u);
      } else {
        const double width = p.positive ? (hi_x - lo_x) / 4 : 1.5 / p.scale;
        const double lo = std::max(lo_x, start_x_[j] - width), hi = std::min(hi_x, start_x_[j] + width);
        value = lo + u * (hi - lo);
      }
      out[static_cast<std::size_t>(s + 1)][j] = value;
    }
  }
  return out;
}

// The starts, the minima they found, the best polished, the profiles, then the result at the
// best end: the curves' fits, the estimates with their covariance, the derived quantities and
// the flags.
FitResult JointEngine::Run() {
  const auto started = std::chrono::steady_clock::now();
  FitResult result;
  const std::size_t degrees_of_freedom = DegreesOfFreedom();
  Search search = RunStarts();
  GroupMinima(search, result);
  Polish(search, result);
  const End& end = search.ends[search.best];
  start_ = static_cast<int>(search.best);
  const Curvature& curvature = search.curvatures[search.best];
  std::vector<ProfileInterval> profiles = Profiles(search, degrees_of_freedom);

  const double solver_sum = CurveFits(end, degrees_of_freedom, result);
  const std::vector<Column> columns = Estimates(end, curvature, solver_sum, result);
  result.forward_evaluations = evaluations_;
  result.iterations = search.iterations;
  result.successful_steps = search.successful;
  result.profiles = std::move(profiles);
  Derived(ValuesAt(end.x.data()), result);

  FlagDataAndSolver(end, curvature, columns, result);
  FlagDetermination(curvature, columns, result);
  FlagValues(result);
  FlagAmbiguity(search, result);
  result.success = result.flags.empty();
  result.message = end.summary.message;
  for (const FitFlag& f : result.flags) result.message += " " + f.sentence;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return result;
}

// The bins of the fit ranges less the fitted parameters; refuses too few.
std::size_t JointEngine::DegreesOfFreedom() const {
  std::size_t fitted_bins = 0, fitted = columns_;
  for (const Curve& curve : curves_) {
    fitted_bins += curve.bins();
    fitted += curve.fitted_nuisance();
  }
  if (fitted_bins <= fitted) {
    Refuse(std::string(curves_.size() == 1 ? "the fit range holds " : "the fit ranges hold ") +
           std::to_string(fitted_bins) + " bins, too few for " + std::to_string(fitted) + " fitted parameters");
  }
  return fitted_bins - fitted;
}

bool JointEngine::AllCounts() const {
  return std::all_of(curves_.begin(), curves_.end(), [](const Curve& curve) { return curve.data_scale == 1.0; });
}

// An end's standard error of column j (solver's units); NaN without a covariance.
double JointEngine::ErrorOf(const Search& search, std::size_t e, std::size_t j) const {
  const Curvature& k = search.curvatures[e];
  return k.ok ? std::sqrt(std::max(k.covariance(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(j)), 0.0))
              : kNaN;
}

// The columns in which two ends differ by more than their standard errors; none: one minimum.
std::vector<std::size_t> JointEngine::Differing(const Search& search, std::size_t a, std::size_t b) const {
  const std::vector<End>& ends = search.ends;
  std::vector<std::size_t> columns;
  for (std::size_t j = 0; j < columns_; ++j) {
    double sigma = std::max(std::isfinite(ErrorOf(search, a, j)) ? ErrorOf(search, a, j) : 0.0,
                            std::isfinite(ErrorOf(search, b, j)) ? ErrorOf(search, b, j) : 0.0);
    if (!(sigma > 0)) sigma = 1e-3 * std::max(1.0, std::fabs(ends[a].x[j]));
    if (std::fabs(ends[a].x[j] - ends[b].x[j]) > sigma) columns.push_back(j);
  }
  return columns;
}

// Every start, the first from the start values; the best end is the lowest usable one that
// joined no other.
JointEngine::Search JointEngine::RunStarts() {
  starts_ = problem_.starts > 0 ? problem_.starts : (columns_ <= 1 ? 1 : 4);
  const std::vector<std::vector<double>> start_points = SpreadStarts(starts_);
  Search search;
  std::vector<End>& ends = search.ends;
  std::vector<Curvature>& curvatures = search.curvatures;
  std::vector<Known> known;
  for (int s = 0; s < starts_; ++s) {
    start_ = s;
    try {
      End end = Solve(start_points[static_cast<std::size_t>(s)], {}, {}, true, s == 0, &known);
      search.iterations += end.iterations;
      search.successful += end.successful;
      if (ends.empty() || end.statistic < best_statistic_) best_statistic_ = end.statistic;
      ends.push_back(std::move(end));
      curvatures.push_back(ends.back().joined < 0 ? CurvatureAt(ends.back()) : Curvature{});
      if (ends.back().joined < 0 && curvatures.back().ok) {
        Known k{ends.size() - 1, ends.back().x, {}, ends.back().summary.final_cost};
        for (std::size_t j = 0; j < columns_; ++j) {
          k.error.push_back(
              std::sqrt(curvatures.back().covariance(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(j))));
        }
        known.push_back(std::move(k));
      }
    } catch (const ModelError&) {
      if (s == 0) throw;  // at the start values: the problem's own
    } catch (const InvalidRequest&) {
      if (s == 0) throw;
    }
  }
  std::size_t& best = search.best;
  for (std::size_t e = 1; e < ends.size(); ++e) {
    const bool better =
        ends[e].usable && ends[e].joined < 0 && (!ends[best].usable || ends[e].statistic < ends[best].statistic);
    if (better) best = e;
  }
  return search;
}

// Ends that lie within their standard errors of each other are one minimum.
void JointEngine::GroupMinima(Search& search, FitResult& result) const {
  const std::vector<End>& ends = search.ends;
  const std::size_t best = search.best;
  std::vector<std::size_t>& representative = search.representative;
  std::vector<std::size_t> order(ends.size());
  for (std::size_t e = 0; e < ends.size(); ++e) order[e] = e;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (a == best || b == best) return a == best && b != best;
    return ends[a].statistic < ends[b].statistic;
  });
  for (std::size_t e : order) {
    if (!ends[e].usable) continue;
    bool joined = false;
    for (std::size_t m = 0; m < representative.size() && !joined; ++m) {
      if (Differing(search, representative[m], e).empty()) {
        ++result.minima[m].starts;
        joined = true;
      }
    }
    if (joined) continue;
    representative.push_back(e);
    FitMinimum minimum;
    minimum.deviance = ends[e].statistic;
    for (const Physical& p : physical_)
      minimum.values.push_back(ends[e].x[static_cast<std::size_t>(p.column)] * p.scale);
    minimum.starts = 1;
    minimum.converged = ends[e].summary.termination_type == ceres::CONVERGENCE;
    result.minima.push_back(std::move(minimum));
  }
}

void JointEngine::Polish(Search& search, FitResult& result) {
  std::vector<End>& ends = search.ends;
  std::vector<Curvature>& curvatures = search.curvatures;
  const std::size_t best = search.best;
  if (best > 0 && ends[best].usable) {
    // The lowest minimum came from a spread start, solved to a looser tolerance.
    start_ = static_cast<int>(best);
    End polished = Solve(ends[best].x, ends[best].nuisance, {}, false, false);
    polished.iterations += ends[best].iterations;
    polished.successful += ends[best].successful;
    search.iterations += polished.iterations - ends[best].iterations;
    search.successful += polished.successful - ends[best].successful;
    ends[best] = std::move(polished);
    curvatures[best] = CurvatureAt(ends[best]);
    result.minima.front().deviance = ends[best].statistic;
    for (std::size_t i = 0; i < physical_.size(); ++i) {
      result.minima.front().values[i] =
          ends[best].x[static_cast<std::size_t>(physical_[i].column)] * physical_[i].scale;
    }
    result.minima.front().converged = ends[best].summary.termination_type == ceres::CONVERGENCE;
  }
}

// ---- the profiles ----
std::vector<ProfileInterval> JointEngine::Profiles(const Search& search, std::size_t degrees_of_freedom) {
  const std::size_t best = search.best;
  const End& end = search.ends[best];
  const Curvature& curvature = search.curvatures[best];
  // Those asked for, then those of parameters whose standard error exceeds the problem's fraction
  // of their value: the curvature at the optimum describes such a statistic poorly (a2 of the
  // spectral fit of 2 distances x 2 wavelengths with a and b2 free: +- 0.18, where its profile
  // rose by 1 at 0.13 below and 0.20 above the optimum), and the interval tells it better.
  std::vector<ProfileInterval> profiles;
  for (const std::string& name : problem_.profile) {
    const auto p = std::find_if(physical_.begin(), physical_.end(), [&](const Physical& q) { return q.name == name; });
    if (p == physical_.end() || p->tied) {
      Refuse("the profile of " + name + " is asked for, but " + name +
             (p == physical_.end() ? " is not free" : " is tied"));
    }
  }
  for (const std::string& name : problem_.profile) {
    const auto p = std::find_if(physical_.begin(), physical_.end(), [&](const Physical& q) { return q.name == name; });
    profiles.push_back(Profile(end, *p, ErrorOf(search, best, static_cast<std::size_t>(p->column))));
  }
  // Not where the errors mean little in any case, which other flags say: data that are not counts
  // (a rise of 1 in their statistic means nothing), a model that does not describe the data
  // (chi2/nu above 4), a solver that did not converge.
  bool counts = true;
  for (const Curve& curve : curves_) counts = counts && curve.data_scale == 1.0;
  const bool sound = curvature.ok && counts && end.summary.termination_type == ceres::CONVERGENCE &&
                     end.statistic <= 4.0 * static_cast<double>(degrees_of_freedom);
  if (sound && problem_.profile_above_relative_error < kInfinity) {
    for (const Physical& p : physical_) {
      if (p.tied) continue;
      if (std::any_of(profiles.begin(), profiles.end(), [&](const ProfileInterval& q) { return q.name == p.name; })) {
        continue;
      }
      const std::size_t j = static_cast<std::size_t>(p.column);
      if (!(ErrorOf(search, best, j) > problem_.profile_above_relative_error * std::fabs(end.x[j]))) continue;
      profiles.push_back(Profile(end, p, ErrorOf(search, best, j)));
      profiles.back().by_default = true;
    }
  }
  return profiles;
}

// ---- the result at the best end ----
// Every curve's fit and the totals over them; returns the sum of the solver's squared residuals.
double JointEngine::CurveFits(const End& end, std::size_t degrees_of_freedom, FitResult& result) {
  const std::vector<Spectrum> full = FullAt(end.x.data());
  std::vector<double> solver_sums;
  Statistic(end, &solver_sums);

  double total_sum = 0, total_solver = 0, total_deviance = 0;
  result.statistic = problem_.statistic;
  for (std::size_t c = 0; c < curves_.size(); ++c) {
    const Curve& curve = curves_[c];
    const Group& group = groups_[curve.group];
    const std::size_t all = static_cast<std::size_t>(group.samples / 2 + 1);
    const auto row = std::span<const std::complex<double>>(full[curve.group]).subspan(curve.row * all, all);
    const std::size_t bins = curve.counts.size();
    std::vector<double> window(bins);
    const double* n = end.nuisance[c].data();
    curve.model->Counts(row, n[kAmplitude] * curve.amplitude_unit, n[kShift] * curve.dt, window);
    double background = 0;
    if (curve.background == BackgroundMode::kFitted) background = n[kBackground] * curve.background_unit;
    if (curve.background == BackgroundMode::kEstimated) background = curve.background_estimate;
    const bool counts_data = curve.data_scale == 1.0;
    const double residual_factor = std::sqrt(curve.cost_factor);
    CurveFit out;
    out.label = curve.label;
    out.rho_mm = curve.source->rho_mm;
    out.wavelength_nm = curve.source->wavelength_nm;
    out.t_ps = curve.source->t_ps;
    out.counts = curve.source->counts;
    out.model_counts.resize(bins);
    out.residuals.resize(bins);
    double sum = 0, solver_sum = 0, deviance = 0;
    for (std::size_t i = 0; i < bins; ++i) {
      const double m = window[i] + background;
      const double r = ResidualOf(curve.counts[i], m).r;
      out.model_counts[i] = counts_data ? m : m * curve.data_scale;
      out.residuals[i] = counts_data ? r : r * residual_factor;
      if (i >= curve.first && i <= curve.last) {
        sum += out.residuals[i] * out.residuals[i];
        solver_sum += r * r;
        const double d = PoissonResidual(curve.counts[i], m).r;
        deviance += d * d;
      }
    }
    out.first_bin = curve.first;
    out.last_bin = curve.last;
    out.t_first_ps = curve.source->t_ps[curve.first];
    out.t_last_ps = curve.source->t_ps[curve.last];
    out.bins = static_cast<int>(curve.bins());
    out.chi2_reduced = sum / static_cast<double>(curve.bins() - curve.fitted_nuisance());
    out.poisson_deviance = deviance * curve.data_scale;
    out.background = background * curve.data_scale;
    total_sum += sum;
    total_solver += solver_sum;
    total_deviance += out.poisson_deviance;
    result.curves.push_back(std::move(out));
  }
  const CurveFit& lead = result.curves.front();
  result.model_counts = lead.model_counts;
  result.residuals = lead.residuals;
  result.first_bin = lead.first_bin;
  result.last_bin = lead.last_bin;
  result.t_first_ps = lead.t_first_ps;
  result.t_last_ps = lead.t_last_ps;
  result.degrees_of_freedom = static_cast<int>(degrees_of_freedom);
  result.chi2_reduced = total_sum / result.degrees_of_freedom;
  result.poisson_deviance = total_deviance;
  return total_solver;
}

// ---- the estimates and their covariance ----
std::vector<JointEngine::Column> JointEngine::Estimates(const End& end, const Curvature& curvature,
                                                           double total_solver, FitResult& result) const {
  // For data that are not counts under chi2 every bin weighs 1, which says nothing of their
  // variance: the residuals' scatter stands in for it.
  const bool all_counts = AllCounts();
  const bool scatter_scaled = !all_counts && !poisson_;
  const double variance_factor = scatter_scaled ? total_solver / result.degrees_of_freedom
                                                : (all_counts ? 1.0 : 1.0 / curves_.front().cost_factor);
  const Values fitted_values = ValuesAt(end.x.data());
  result.medium = MediumOf(fitted_values, 0);
  if (slots_.size() > 1 || slots_.front()) {
    for (std::size_t s = 0; s < slots_.size(); ++s) {
      if (slots_[s]) result.media.push_back({*slots_[s], MediumOf(fitted_values, s)});
    }
  }
  std::vector<Column> columns;
  for (const Physical& p : physical_) {
    const std::size_t j = static_cast<std::size_t>(p.column);
    result.estimates.push_back({p.name, end.x[j] * p.scale, kNaN, p.start, p.lower, p.upper, false});
    columns.push_back({p.column, p.scale, end.x[j], lower_x_[j], upper_x_[j], p.tied});
  }
  int tangent = static_cast<int>(columns_);
  for (std::size_t c = 0; c < curves_.size(); ++c) {
    const Curve& curve = curves_[c];
    const double* n = end.nuisance[c].data();
    const double amplitude_unit = curve.amplitude_unit * curve.data_scale;
    result.estimates.push_back({"amplitude" + curve.suffix, n[kAmplitude] * amplitude_unit, kNaN, amplitude_unit,
                                1e-6 * amplitude_unit, 1e6 * amplitude_unit, false});
    columns.push_back({tangent++, amplitude_unit, n[kAmplitude], 1e-6, 1e6, false});
    const double reach = curve.shift_reach * curve.dt;
    if (curve.shift_fixed) {
      const double shift = *curve.source->shift_ps;
      result.estimates.push_back({"shift_ps" + curve.suffix, shift, 0.0, shift, shift, shift, true});
      columns.push_back({-1, curve.dt, n[kShift], kNaN, kNaN, false});
    } else {
      result.estimates.push_back({"shift_ps" + curve.suffix, n[kShift] * curve.dt, kNaN, curve.shift_start,
                                  curve.shift_start - reach, curve.shift_start + reach, false});
      const double centre = curve.shift_start / curve.dt;
      columns.push_back(
          {tangent++, curve.dt, n[kShift], centre - curve.shift_reach, centre + curve.shift_reach, false});
    }
    const double background_unit = curve.background_unit * curve.data_scale;
    if (curve.background == BackgroundMode::kFitted) {
      result.estimates.push_back({"background" + curve.suffix, n[kBackground] * background_unit, kNaN,
                                  curve.background_estimate * curve.data_scale, -kInfinity, kInfinity, false});
      columns.push_back({tangent++, background_unit, n[kBackground], -kInfinity, kInfinity, false});
    } else if (curve.background == BackgroundMode::kEstimated) {
      const double value = curve.background_estimate * curve.data_scale;
      result.estimates.push_back({"background" + curve.suffix, value, 0.0, value, value, value, true});
      columns.push_back({-1, background_unit, 0.0, kNaN, kNaN, false});
    }
  }
  const std::size_t parameters = result.estimates.size();
  result.covariance.assign(parameters * parameters, kNaN);
  result.correlation = result.covariance;
  for (std::size_t a = 0; a < parameters; ++a) {
    for (std::size_t b = 0; b < parameters; ++b) {
      const int ca = columns[a].index, cb = columns[b].index;
      if (ca < 0 || cb < 0) {
        result.covariance[a * parameters + b] = 0;
        result.correlation[a * parameters + b] = 0;
        continue;
      }
      if (!curvature.ok) continue;
      const double cov = curvature.covariance(ca, cb);
      result.covariance[a * parameters + b] = cov * variance_factor * columns[a].unit * columns[b].unit;
      result.correlation[a * parameters + b] =
          ca == cb ? 1.0 : cov / std::sqrt(curvature.covariance(ca, ca) * curvature.covariance(cb, cb));
    }
    if (columns[a].index >= 0) {
      const double variance = curvature.ok ? curvature.covariance(columns[a].index, columns[a].index) : kNaN;
      result.estimates[a].standard_error =
          curvature.ok && variance >= 0 ? columns[a].unit * std::sqrt(variance * variance_factor) : kNaN;
    }
  }
  result.condition_number = curvature.at ? ConditionNumber(curvature.at->jacobian) : kNaN;
  result.termination = ceres::TerminationTypeToString(end.summary.termination_type);
  return columns;
}

// ---- derived quantities ----
void JointEngine::Derived(const Values& fitted_values, FitResult& result) const {
  const std::size_t parameters = result.estimates.size();
  // ---- derived quantities ----
  if (!problem_.spectral) return;
  {
    const auto& chromophores = problem_.spectral->chromophores;
    const auto index_of = [&](const char* name) -> int {
      for (std::size_t c = 0; c < chromophores.size(); ++c) {
        if (chromophores[c].name == name) return static_cast<int>(c);
      }
      return -1;
    };
    const int oxy = index_of("HbO"), deoxy = index_of("HbR");
    for (std::size_t k = 0; oxy >= 0 && deoxy >= 0 && k < problem_.medium.layers.size(); ++k) {
      const std::string layer = std::to_string(k + 1);
      const FitEstimate* o = result.Find("HbO" + layer);
      const FitEstimate* r = result.Find("HbR" + layer);
      if (!o && !r) continue;
      const double vo = fitted_values.spectral->layers[k].concentrations[static_cast<std::size_t>(oxy)];
      const double vr = fitted_values.spectral->layers[k].concentrations[static_cast<std::size_t>(deoxy)];
      const auto at = [&](const FitEstimate* e) {
        return e ? static_cast<std::size_t>(e - result.estimates.data()) : parameters;
      };
      const std::size_t io = at(o), ir = at(r);
      const auto cov = [&](std::size_t a, std::size_t b) {
        return a < parameters && b < parameters ? result.covariance[a * parameters + b] : 0.0;
      };
      // Propagated through the covariance: HbT's gradient is (1, 1), StO2's (HbR, -HbO) / HbT^2.
      const double total = vo + vr;
      const double total_variance = cov(io, io) + cov(ir, ir) + 2 * cov(io, ir);
      const double go = vr / (total * total), gr = -vo / (total * total);
      const double saturation_variance = go * go * cov(io, io) + gr * gr * cov(ir, ir) + 2 * go * gr * cov(io, ir);
      const auto root = [](double v) { return v >= 0 ? std::sqrt(v) : kNaN; };
      result.derived.push_back({"HbT" + layer, total, root(total_variance), 0, 0, 0, false});
      result.derived.push_back({"StO2" + layer, vo / total, root(saturation_variance), 0, 0, 0, false});
    }
  }
}

// ---- the flags, each with its sentence ----
// Data that are not counts, a solver that did not converge or took no step, bounds reached.
void JointEngine::FlagDataAndSolver(const End& end, const Curvature& curvature, const std::vector<Column>& columns,
                                    FitResult& result) const {
  const std::size_t parameters = result.estimates.size();
  const auto flag = [&](FitFlagKind kind, std::vector<std::string> names, std::string sentence) {
    result.flags.push_back({kind, std::move(names), std::move(sentence)});
  };
  const auto whose = [&](const Curve& curve) {
    return curves_.size() == 1 ? std::string("The measured curve") : "Curve \"" + curve.label + "\"";
  };
  for (const Curve& curve : curves_) {
    if (curve.data_scale != 1.0 && poisson_) {
      flag(FitFlagKind::kNotCounts, {},
           whose(curve) + "'s peak is " + Brief(curve.peak) +
               ", less than one count: these are not counts as measured, and the Poisson statistic's standard "
               "errors and chi2 mean nothing for them; fit the counts as measured, or use the chi2 statistic.");
    }
    if (curve.data_scale != 1.0 && !poisson_) {
      result.notes.push_back(whose(curve) + "'s peak is " + Brief(curve.peak) +
                             ", less than one count: the data are not counts, so every bin weighs the same and the "
                             "standard errors are scaled by the residuals' scatter, sqrt(chi2/nu).");
    }
  }
  if (end.summary.termination_type != ceres::CONVERGENCE) {
    flag(FitFlagKind::kNotConverged, {}, "The solver did not converge: " + end.summary.message);
  }
  std::vector<Eigen::Index> off_bounds;
  for (std::size_t a = 0; a < parameters; ++a) {
    const Column& column = columns[a];
    if (column.index < 0 || column.tied) continue;
    const double v = column.value;
    auto near = [&](double bound) {
      return std::isfinite(bound) && std::fabs(v - bound) <= kOnBound * std::max(std::fabs(bound), 1.0);
    };
    const bool at_lower = near(column.lower), at_upper = near(column.upper);
    if (!at_lower && !at_upper) {
      off_bounds.push_back(column.index);
      continue;
    }
    const FitEstimate& e = result.estimates[a];
    std::string bound = Brief(at_lower ? e.lower : e.upper);
    if (a < physical_.size() && at_lower && e.lower < column.lower * column.unit) {
      bound += " (" + Brief(column.lower * column.unit) + " in the fit, which keeps the model's differences above " +
               Brief(e.lower) + ")";
    }
    if (e.name.rfind("shift_ps", 0) == 0) bound += " ps, where the model's period ends";
    flag(FitFlagKind::kAtBound, {e.name},
         e.name + " stopped at its " + (at_lower ? "lower" : "upper") + " bound " + bound +
             ": the data pull it beyond, so it tells the bound rather than the data, and its error means little.");
  }
  if (end.summary.termination_type == ceres::CONVERGENCE && end.successful == 0 && curvature.at &&
      GaussNewtonGain(*curvature.at, off_bounds) > 1e-4) {
    flag(FitFlagKind::kNotConverged, {},
         "The solver took no step from start values that are not optimal: the statistic's gradient there passed "
         "for zero only because the problem is badly scaled.");
  }
}

// A singular covariance, correlated pairs, an ill-conditioned J'J, loose parameters.
void JointEngine::FlagDetermination(const Curvature& curvature, const std::vector<Column>& columns,
                                    FitResult& result) const {
  const auto flag = [&](FitFlagKind kind, std::vector<std::string> names, std::string sentence) {
    result.flags.push_back({kind, std::move(names), std::move(sentence)});
  };
  const std::size_t parameters = result.estimates.size();
  const auto name_of = [&](std::size_t index) { return result.estimates[index].name; };
  if (!curvature.ok) {
    flag(FitFlagKind::kPoorlyDetermined, {},
         "The covariance at the optimum is singular: some parameter is not determined by the data.");
  } else {
    // Among the physical parameters only: the amplitude is tied to mus' by its definition
    // (counts times the continuous-wave reflectance) and the shift to the curve's rise, and
    // what those ties cost is already in the physical parameters' errors.
    for (std::size_t a = 0; a < physical_.size(); ++a) {
      for (std::size_t b = a + 1; b < physical_.size(); ++b) {
        if (columns[a].index == columns[b].index) continue;  // a tie
        const double rho = result.correlation[a * parameters + b];
        if (std::fabs(rho) > kMostCorrelation) {
          flag(FitFlagKind::kPoorlyDetermined, {name_of(a), name_of(b)},
               name_of(a) + " and " + name_of(b) + " are correlated by " + Brief(rho) +
                   ": the data determine a combination of them rather than each, and their errors are poorly "
                   "determined.");
        }
      }
    }
    if (!(result.condition_number <= kMostCondition)) {
      flag(FitFlagKind::kPoorlyDetermined, {},
           "The fit is ill-conditioned (condition number " + Brief(result.condition_number) +
               " of J'J, above 1e10): some combination of the parameters is poorly determined by the data.");
    }
  }
  // A parameter the data leave loose on its own, whatever its correlations: an error above half
  // its value (in the spectral fit of 2 distances x 2 wavelengths with b2 free, b2 +- 130 % while
  // no pair was correlated beyond 0.96), or a profile that does not rise by delta before a bound
  // or within the points tried. Not for data that are not counts under the Poisson statistic:
  // their errors are those of a curve with less than one count, and the remedy is the counts.
  bool not_counts = false;
  for (const Curve& curve : curves_) not_counts = not_counts || (poisson_ && curve.data_scale != 1.0);
  for (std::size_t a = 0; a < physical_.size() && !not_counts; ++a) {
    const Physical& p = physical_[a];
    if (p.tied) continue;
    const FitEstimate& e = result.estimates[a];
    std::vector<std::string> reasons;
    const auto profile = std::find_if(result.profiles.begin(), result.profiles.end(),
                                      [&](const ProfileInterval& q) { return q.name == p.name; });
    if (std::fabs(e.standard_error) > kMostRelativeError * std::fabs(e.value)) {
      std::string reason = "its standard error " + Brief(e.standard_error) + " is " +
                           (e.value != 0 ? Brief(100 * e.standard_error / std::fabs(e.value)) + " % of its value " +
                                               Brief(e.value)
                                         : std::string("larger than its value 0"));
      if (profile != result.profiles.end() && std::isfinite(profile->lower) && std::isfinite(profile->upper)) {
        reason += " (its profile interval " + Brief(profile->lower) + " ... " + Brief(profile->upper) + ")";
      }
      reasons.push_back(reason);
    }
    if (profile != result.profiles.end()) {
      for (const int side : {-1, +1}) {
        const ProfileEnd ending = side < 0 ? profile->lower_end : profile->upper_end;
        const std::string way = side < 0 ? "lower" : "upper";
        const std::string below = "the statistic rising by " + Brief(profile->delta);
        if (ending == ProfileEnd::kBound) {
          reasons.push_back("its profile reaches its " + way + " bound " +
                            Brief(side < 0 ? profile->lower_bound : profile->upper_bound) + " without " + below);
        } else if (ending == ProfileEnd::kFlat) {
          reasons.push_back("its profile stays within " + Brief(profile->delta) + " of the optimum out to " +
                            Brief(profile->points[side < 0 ? 0 : profile->points.size() - 1]) + ", 6 standard errors " +
                            (side < 0 ? "below" : "above") + " it");
        }
      }
    }
    if (reasons.empty()) continue;
    std::string why;
    for (std::size_t r = 0; r < reasons.size(); ++r) {
      why += (r == 0 ? "" : r + 1 == reasons.size() ? " and " : ", ") + reasons[r];
    }
    const char* more = p.kind == Kind::kScatteringB     ? "Curves at more wavelengths or distances"
                       : p.kind == Kind::kConcentration ? "Curves at more distances or wavelengths"
                                                        : "Curves at more distances";
    flag(FitFlagKind::kPoorlyDetermined, {p.name},
         p.name + " is poorly determined by the data: " + why + ". " + more +
             ", a value held fixed where it is known from elsewhere, or a prior on it would determine it.");
  }
}

// Values that are not finite, a model that does not describe the data, a shift outside them.
void JointEngine::FlagValues(FitResult& result) const {
  const auto flag = [&](FitFlagKind kind, std::vector<std::string> names, std::string sentence) {
    result.flags.push_back({kind, std::move(names), std::move(sentence)});
  };
  const bool all_counts = AllCounts();
  std::vector<std::string> not_finite;
  std::string not_finite_list;
  for (const FitEstimate& e : result.estimates) {
    if (std::isfinite(e.value) && std::isfinite(e.standard_error)) continue;
    not_finite_list +=
        (not_finite.empty() ? "" : ", ") + e.name + " = " + Brief(e.value) + " +- " + Brief(e.standard_error);
    not_finite.push_back(e.name);
  }
  if (!not_finite.empty()) {
    flag(FitFlagKind::kNotFinite, not_finite,
         "Some estimates or standard errors are not finite numbers (" + not_finite_list + ").");
  }
  if (all_counts && !(result.chi2_reduced <= 4)) {
    flag(FitFlagKind::kModelMismatch, {},
         "chi2/nu = " + Brief(result.chi2_reduced) +
             " is far above 1: the model does not describe the data (a wrong model, IRF, distance or fit range), and "
             "the standard errors, which assume it does, are too small.");
  } else if (curves_.size() > 1) {
    for (std::size_t c = 0; c < curves_.size(); ++c) {
      if (curves_[c].data_scale != 1.0 || result.curves[c].chi2_reduced <= 4) continue;
      flag(FitFlagKind::kModelMismatch, {},
           "Curve \"" + curves_[c].label + "\" has chi2/nu = " + Brief(result.curves[c].chi2_reduced) +
               ", far above 1: the model does not describe it (a wrong IRF, distance, wavelength or fit range).");
    }
  }
  for (std::size_t c = 0; c < curves_.size(); ++c) {
    // The light enters with the IRF's peak, delayed by the shift: before the window opens, or
    // after the measured curve has peaked, the data hold no rise that could place it.
    const MeasuredCurve& source = *curves_[c].source;
    const auto irf_peak = std::max_element(source.irf.begin(), source.irf.end()) - source.irf.begin();
    const auto curve_peak = std::max_element(source.counts.begin(), source.counts.end()) - source.counts.begin();
    const std::string name = "shift_ps" + curves_[c].suffix;
    const double shift = result.Find(name)->value;
    const double arrival = source.t_ps[static_cast<std::size_t>(irf_peak)] + shift;
    const double opens = source.t_ps.front(), peaks = source.t_ps[static_cast<std::size_t>(curve_peak)];
    if (!(arrival >= opens && arrival <= peaks)) {
      flag(FitFlagKind::kShiftOutside, {name},
           "The shift of " + Brief(shift) + " ps puts the IRF's peak at " + Brief(arrival) + " ps, " +
               (arrival < opens ? "before the measured window opens (" + Brief(opens) + " ps)"
                                : "after the measured curve's peak (" + Brief(peaks) + " ps)") +
               (curves_.size() > 1 ? " of curve \"" + curves_[c].label + "\"" : std::string()) +
               ": the data hold no rise of the curve that could fix it.");
    }
  }
}

void JointEngine::FlagAmbiguity(const Search& search, FitResult& result) const {
  const auto flag = [&](FitFlagKind kind, std::vector<std::string> names, std::string sentence) {
    result.flags.push_back({kind, std::move(names), std::move(sentence)});
  };
  const std::vector<End>& ends = search.ends;
  const std::size_t best = search.best;
  const End& end = ends[best];
  const std::vector<std::size_t>& representative = search.representative;
  // Distinct minima the statistic hardly tells apart: the lowest is a guess among them.
  for (std::size_t m = 1; m < representative.size(); ++m) {
    const std::size_t e = representative[m];
    if (!(ends[e].statistic - end.statistic < problem_.ambiguity_threshold)) continue;
    const std::vector<std::size_t> differ = Differing(search, best, e);
    std::vector<std::string> names;
    std::string values;
    for (const Physical& p : physical_) {
      const std::size_t j = static_cast<std::size_t>(p.column);
      if (p.tied || std::find(differ.begin(), differ.end(), j) == differ.end()) continue;
      names.push_back(p.name);
      values += (values.empty() ? "" : ", ") + p.name + " = " + Brief(end.x[j] * p.scale) + " or " +
                Brief(ends[e].x[j] * p.scale);
    }
    flag(FitFlagKind::kAmbiguous, names,
         "The starts found distinct minima whose statistics differ by " + Brief(ends[e].statistic - end.statistic) +
             ", less than " + Brief(problem_.ambiguity_threshold) + " (" + values +
             "): the data do not decide between them, and the errors of either describe only its own neighbourhood.");
    break;
  }
}

}  // namespace

FitResult Fit(const FitProblem& problem) {
  JointEngine engine(problem, false);
  return engine.Run();
}

FitResult FitCurve(const FitRequest& request) {
  FitProblem problem;
  MeasuredCurve curve;
  curve.t_ps = request.t_ps;
  curve.counts = request.counts;
  curve.irf = request.irf;
  curve.irf_t_ps = request.irf_t_ps;
  curve.rho_mm = request.rho_mm;
  curve.shift_ps = request.shift_ps;
  // A fitted background, as always: its pull test (joint_fit_test) shows the estimate unbiased
  // once the bound at 0 is gone, and it keeps a background that differs from the pre-rise bins'.
  curve.background = request.background ? BackgroundMode::kFitted : BackgroundMode::kNone;
  curve.range = request.range;
  problem.curves.push_back(std::move(curve));
  problem.medium = request.medium;
  problem.free = request.free;
  problem.statistic = request.statistic;
  problem.options = request.options;
  problem.spectrum_tolerance = request.spectrum_tolerance;
  problem.max_iterations = request.max_iterations;
  // One start, as ever: a request has no seed, and the spread starts cost a fit each.
  problem.starts = 1;
  JointEngine engine(problem, true);
  return engine.Run();
}

const char* FitFlagName(FitFlagKind kind) {
  switch (kind) {
    case FitFlagKind::kNotConverged:
      return "not_converged";
    case FitFlagKind::kAtBound:
      return "at_bound";
    case FitFlagKind::kPoorlyDetermined:
      return "poorly_determined";
    case FitFlagKind::kNotFinite:
      return "not_finite";
    case FitFlagKind::kModelMismatch:
      return "model_mismatch";
    case FitFlagKind::kShiftOutside:
      return "shift_outside";
    case FitFlagKind::kNotCounts:
      return "not_counts";
    case FitFlagKind::kAmbiguous:
      return "ambiguous";
  }
  return "unknown";
}

}  // namespace nlayer
