// The joint fit's engine: the problem prepared (curves on their grids, groups of curves that
// share a model computation, the free parameters and their columns), the model's spectra
// cached per point, one start of the solver, the starts, and the result at the best end.
// fit/parameters.cpp names and bounds the free parameters; fit/fit_result.cpp makes the result.
#pragma once

#include <ceres/ceres.h>

#include <Eigen/Core>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/number_text.h"
#include "fit/convolved_model.h"
#include "fit/residuals.h"
#include "nlayer/fit.h"

namespace nlayer::fit {

using Spectrum = std::vector<std::complex<double>>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Central differences of the physical parameters, relative to their start values. The exact
// engine's curves carry rounding of about 1e-15 and the fast engine's about 1e-10, which the
// steps keep well below the differences' own error (step squared).
constexpr double kExactStep = 1e-6;
constexpr double kFastStep = 1e-4;

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

inline std::string Text(double value) { return NumberText(value); }

[[noreturn]] inline void Refuse(const std::string& message) { throw FitInputError(message); }

inline bool SameWavelength(double a, double b) { return std::fabs(a - b) <= 1e-9 * std::max(1.0, std::fabs(a)); }

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

class CurveCost;

class JointEngine {
 public:
  JointEngine(const FitProblem& problem, const FitOptions& options, bool single);

  FitResult Run();

  // For the cost functions.
  const Curve& curve(std::size_t c) const { return curves_[c]; }
  std::size_t columns() const { return columns_; }
  std::exception_ptr& unexpected() { return unexpected_; }
  Residual ResidualOf(double y, double m) const {
    return options_.statistic == FitStatistic::kPoissonLikelihood ? PoissonResidual(y, m) : SquaresResidual(y, m);
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
  bool OneMinimumLikely(const End& end, const Curvature& curvature) const;
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
  const FitOptions& options_;
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

}  // namespace nlayer::fit
