#include "nlayer/fit.h"

#include <ceres/ceres.h>
#include <ceres/covariance.h>
#include <ceres/dynamic_numeric_diff_cost_function.h>
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
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/number_text.h"
#include "fit/convolved_model.h"
#include "nlayer/errors.h"

namespace nlayer {

namespace {

using Spectrum = std::vector<std::complex<double>>;

// The finest bins the model can serve: the grid's highest frequency 1 / (2 dt) must stay within
// the library's 1e12 Hz.
constexpr double kFinestBinPs = 0.5;
constexpr int kMostSamples = 65536;
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
// Free physical parameters correlated beyond this are flagged as poorly determined. mua and mus'
// of a homogeneous medium fitted to a curve of 1e6 counts at 30 mm (the benchmark's cases) are
// correlated by 0.948 to 0.962 while each is known to 1 %; the bottom layer's mua and mus' of a
// two-layer head by 0.990 to 0.996, with mus' known to 20 to 35 %; adding d1 to them, 0.986 and
// 0.993 (mus' 5.6 +- 6.1, truth 1.1).
constexpr double kMostCorrelation = 0.98;

enum class Kind { kMua, kMusp, kThickness };

struct Physical {
  std::string name;
  Kind kind;
  std::size_t layer;  // 0 the top layer
  double start, lower, upper;
  double scale;  // the solver sees value / scale
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

// ---- the request checked ---------------------------------------------------------------

double CheckBins(const FitRequest& request) {
  const std::size_t n = request.counts.size();
  if (request.t_ps.size() != n) {
    Refuse("the measured curve has " + std::to_string(request.t_ps.size()) + " times but " + std::to_string(n) +
           " counts");
  }
  if (n < kFewestBins) {
    Refuse("the measured curve has " + std::to_string(n) + " bins; a fit needs at least " +
           std::to_string(kFewestBins));
  }
  if (request.irf.size() != n) {
    Refuse("the IRF has " + std::to_string(request.irf.size()) + " bins and the measured curve " + std::to_string(n) +
           "; both must be counted on the same bins");
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(request.t_ps[i])) Refuse("time " + std::to_string(i + 1) + " of the measured curve is not finite");
  }
  const double dt = (request.t_ps[n - 1] - request.t_ps[0]) / static_cast<double>(n - 1);
  if (!(dt > 0)) Refuse("the measured curve's times do not rise");
  for (std::size_t i = 0; i < n; ++i) {
    const double expected = request.t_ps[0] + static_cast<double>(i) * dt;
    if (std::fabs(request.t_ps[i] - expected) > kBinTolerance * dt) {
      Refuse("the measured curve's bins are not uniform: bin " + std::to_string(i + 1) + " is at " +
             Text(request.t_ps[i]) + " ps, where bins of " + Text(dt) + " ps from " + Text(request.t_ps[0]) +
             " ps put it at " + Text(expected) + " ps");
    }
  }
  if (!request.irf_t_ps.empty()) {
    if (request.irf_t_ps.size() != n) {
      Refuse("the IRF has " + std::to_string(request.irf_t_ps.size()) + " bins and the measured curve " +
             std::to_string(n) + "; both must be counted on the same bins");
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (!(std::fabs(request.irf_t_ps[i] - request.t_ps[i]) <= kBinTolerance * dt)) {
        Refuse("the IRF's bins do not match the measured curve's: bin " + std::to_string(i + 1) + " is at " +
               Text(request.irf_t_ps[i]) + " ps in the IRF and at " + Text(request.t_ps[i]) +
               " ps in the measured curve");
      }
    }
  }
  if (dt < kFinestBinPs) {
    Refuse("bins of " + Text(dt) + " ps are narrower than the model's finest, " + Text(kFinestBinPs) + " ps");
  }
  auto check_counts = [&](const std::vector<double>& counts, const char* what) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!(counts[i] >= 0) || !std::isfinite(counts[i])) {
        Refuse(std::string("the ") + what + "'s counts in bin " + std::to_string(i + 1) + " (t = " +
               Text(request.t_ps[i]) + " ps) are " + Text(counts[i]) + "; counts must be >= 0 and finite");
      }
    }
  };
  check_counts(request.counts, "measured curve");
  check_counts(request.irf, "IRF");
  double area = 0;
  for (double c : request.irf) area += c;
  if (!(area > 0)) Refuse("the IRF has no counts (its area is 0): it cannot be normalised");
  return dt;
}

int GridSamples(std::size_t bins, double dt) {
  const double needed = std::max({16.0, 2.0 * static_cast<double>(bins), std::ceil(kShortestPeriodPs / dt)});
  if (2.0 * static_cast<double>(bins) > kMostSamples) {
    Refuse("the measured curve has " + std::to_string(bins) + " bins; the model's grid holds at most " +
           std::to_string(kMostSamples / 2));
  }
  int samples = 16;
  while (samples < needed && samples < kMostSamples) samples *= 2;
  return samples;
}

std::vector<Physical> ParseFree(const FitRequest& request) {
  const std::size_t layers = request.medium.layers.size();
  std::vector<Physical> physical;
  for (const FitParameter& p : request.free) {
    const std::string& name = p.name;
    for (const Physical& earlier : physical) {
      if (earlier.name == name) Refuse("the free parameter " + name + " is named twice");
    }
    if (name == "amplitude" || name == "shift_ps") {
      Refuse(name + " is always fitted; the free parameters to name are mua<k>, musp<k> and d1");
    }
    if (name == "background") Refuse("the background is fitted when the request asks for it, not as a free parameter");
    Physical entry{name, Kind::kMua, 0, 0, 0, 0, 1};
    std::string digits;
    if (name.rfind("musp", 0) == 0) {
      entry.kind = Kind::kMusp;
      digits = name.substr(4);
    } else if (name.rfind("mua", 0) == 0) {
      entry.kind = Kind::kMua;
      digits = name.substr(3);
    } else if (name.rfind("d", 0) == 0) {
      entry.kind = Kind::kThickness;
      digits = name.substr(1);
    } else {
      Refuse("unknown free parameter \"" + name + "\": name mua<k>, musp<k> (k = 1 for the top layer) or d1");
    }
    const bool number = !digits.empty() && digits.size() < 6 && digits[0] != '0' &&
                        std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!number) Refuse("unknown free parameter \"" + name + "\": name mua<k>, musp<k> (k = 1 for the top layer) or d1");
    const std::size_t k = std::stoul(digits);
    if (k > layers) {
      Refuse("the free parameter " + name + " names no layer: the model has " + std::to_string(layers) +
             (layers == 1 ? " layer" : " layers"));
    }
    entry.layer = k - 1;
    const Layer& layer = request.medium.layers[entry.layer];
    switch (entry.kind) {
      case Kind::kMua:
        entry.start = static_cast<double>(layer.mua);
        entry.lower = p.lower.value_or(0.0);
        entry.upper = p.upper.value_or(1.0);
        if (entry.lower < 0) Refuse("the lower bound " + Text(entry.lower) + " of " + name + " is below 0");
        break;
      case Kind::kMusp:
        entry.start = static_cast<double>(layer.musp);
        entry.lower = p.lower.value_or(0.01);
        entry.upper = p.upper.value_or(20.0);
        if (entry.lower < 0) Refuse("the lower bound " + Text(entry.lower) + " of " + name + " is below 0");
        break;
      case Kind::kThickness:
        if (k != 1) Refuse("only the top layer's thickness can be fitted (d1), not " + name);
        if (layers < 2) Refuse("d1 is free, but a single layer is a half-space: its thickness does not matter");
        entry.start = static_cast<double>(layer.d);
        entry.lower = p.lower.value_or(0.1);
        entry.upper = p.upper.value_or(200.0);
        if (entry.lower < 0) Refuse("the lower bound " + Text(entry.lower) + " of d1 is below 0");
        break;
    }
    if (!std::isfinite(entry.lower) || !std::isfinite(entry.upper) || !(entry.lower < entry.upper)) {
      Refuse("the bounds of " + name + " (" + Text(entry.lower) + " ... " + Text(entry.upper) +
             ") must be finite and the lower below the upper");
    }
    if (entry.start < entry.lower || entry.start > entry.upper) {
      Refuse("the start value " + Text(entry.start) + " of " + name + " (from the model) lies outside its bounds " +
             Text(entry.lower) + " ... " + Text(entry.upper));
    }
    entry.scale = entry.start > 0 ? entry.start : entry.upper / 100.0;
    physical.push_back(entry);
  }
  return physical;
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

std::pair<std::size_t, std::size_t> ChooseRange(const FitRequest& request, double background) {
  const std::vector<double>& y = request.counts;
  const std::vector<double>& t = request.t_ps;
  const FitRange& range = request.range;
  std::size_t first = 0, last = 0;
  if (range.t_first_ps || range.t_last_ps) {
    const double from = range.t_first_ps.value_or(-std::numeric_limits<double>::infinity());
    const double to = range.t_last_ps.value_or(std::numeric_limits<double>::infinity());
    if (!(from < to)) Refuse("the fit range " + Text(from) + " ... " + Text(to) + " ps is empty");
    first = 0;
    while (first < t.size() && t[first] < from) ++first;
    last = t.size();
    while (last > 0 && t[last - 1] > to) --last;
    if (first >= last) {
      Refuse("the fit range " + Text(from) + " ... " + Text(to) + " ps holds no bin of the measured curve (" +
             Text(t.front()) + " ... " + Text(t.back()) + " ps)");
    }
    --last;
  } else {
    if (!(range.rise_fraction > 0 && range.rise_fraction <= 1 && range.fall_fraction > 0 && range.fall_fraction <= 1)) {
      Refuse("the fit range's fractions of the peak (" + Text(range.rise_fraction) + " on the rising edge, " +
             Text(range.fall_fraction) + " on the falling edge) must lie above 0 and up to 1");
    }
    const std::size_t peak = static_cast<std::size_t>(std::max_element(y.begin(), y.end()) - y.begin());
    const double height = y[peak] - background;
    if (!(height > 0)) Refuse("the measured curve has no counts above its background: there is nothing to fit");
    first = peak;
    while (first > 0 && y[first - 1] - background >= range.rise_fraction * height) --first;
    last = peak;
    while (last + 1 < y.size() && y[last + 1] - background >= range.fall_fraction * height) ++last;
  }
  double sum = 0;
  for (std::size_t i = first; i <= last; ++i) sum += y[i];
  if (!(sum > 0)) {
    Refuse("the measured curve has no counts in the fit range (" + Text(t[first]) + " ... " + Text(t[last]) + " ps)");
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

// ---- the model's spectra, computed once per set of physical values ----------------------

class Spectra {
 public:
  Spectra(const FitRequest& request, const std::vector<Physical>& physical, const fit::ConvolvedModel& model)
      : request_(request), physical_(physical), model_(model), capacity_(4 * physical.size() + 8) {}

  void UseFrequencies(int count) {
    if (count == static_cast<int>(frequencies_.size())) return;
    frequencies_ = model_.FrequenciesHz(count);
    entries_.clear();
  }
  int frequencies() const { return static_cast<int>(frequencies_.size()); }
  int evaluations() const { return evaluations_; }

  Medium MediumAt(const double* x) const {
    Medium medium = request_.medium;
    for (std::size_t p = 0; p < physical_.size(); ++p) {
      const long double value = static_cast<long double>(x[p] * physical_[p].scale);
      Layer& layer = medium.layers[physical_[p].layer];
      switch (physical_[p].kind) {
        case Kind::kMua: layer.mua = value; break;
        case Kind::kMusp: layer.musp = value; break;
        case Kind::kThickness: layer.d = value; break;
      }
    }
    return medium;
  }

  // The spectrum at the frequencies in use; throws what the library throws.
  const Spectrum& At(const double* x) {
    const std::vector<double> key(x, x + physical_.size());
    for (const auto& [k, s] : entries_) {
      if (k == key) return s;
    }
    Spectrum spectrum = Compute(x, frequencies_);
    if (entries_.size() >= capacity_) entries_.pop_front();
    entries_.emplace_back(key, std::move(spectrum));
    return entries_.back().second;
  }

  // The whole spectrum, k = 0 ... samples/2.
  Spectrum Full(const double* x) { return Compute(x, model_.FrequenciesHz(model_.samples() / 2 + 1)); }

 private:
  Spectrum Compute(const double* x, const std::vector<double>& f_hz) {
    ++evaluations_;
    const FrequencySpectra spectra = FrequencyDomain(MediumAt(x), {request_.rho_mm}, f_hz, request_.options);
    return spectra.values;
  }

  const FitRequest& request_;
  const std::vector<Physical>& physical_;
  const fit::ConvolvedModel& model_;
  std::size_t capacity_;
  std::vector<double> frequencies_;
  std::deque<std::pair<std::vector<double>, Spectrum>> entries_;
  int evaluations_ = 0;
};

// ---- the solver's view: scaled parameters, residuals over the fit range ------------------

// Nuisance parameters, as the solver sees them.
enum Nuisance { kAmplitude = 0, kShift = 1, kBackground = 2 };

struct Scales {
  double amplitude = 1;   // counts mm^2 per unit
  double shift = 1;       // ps per unit (the bin width)
  double background = 1;  // counts per unit
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

class Objective {
 public:
  Objective(const FitRequest& request, Spectra& spectra, const fit::ConvolvedModel& model, std::size_t first,
            std::size_t last, Scales scales)
      : request_(request), spectra_(spectra), model_(model), first_(first), last_(last), scales_(scales) {}

  std::size_t bins() const { return last_ - first_ + 1; }
  std::size_t physical() const { return physical_count_; }
  void set_physical(std::size_t n) { physical_count_ = n; }
  std::exception_ptr& unexpected() { return unexpected_; }

  // Model counts of every bin up to last_ + 1 (the window from bin 0), and optionally their
  // derivative with respect to the shift (in the solver's units).
  void Counts(const Spectrum& spectrum, const double* nuisance, std::vector<double>& counts,
              std::vector<double>* d_shift) const {
    const double amplitude = nuisance[kAmplitude] * scales_.amplitude;
    const double shift = nuisance[kShift] * scales_.shift;
    counts.assign(last_ + 1, 0.0);
    if (d_shift) d_shift->assign(last_ + 1, 0.0);
    model_.Counts(spectrum, amplitude, shift, counts, d_shift ? std::span<double>(*d_shift) : std::span<double>());
    const double background = request_.background ? nuisance[kBackground] * scales_.background : 0.0;
    for (double& c : counts) c += background;
    if (d_shift) {
      for (double& d : *d_shift) d *= scales_.shift;
    }
  }

  Residual ResidualOf(double y, double m) const {
    return request_.statistic == FitStatistic::kPoissonLikelihood ? PoissonResidual(y, m) : SquaresResidual(y, m);
  }

  Spectra& spectra() { return spectra_; }
  const FitRequest& request() const { return request_; }
  std::size_t first() const { return first_; }
  const Scales& scales() const { return scales_; }

 private:
  const FitRequest& request_;
  Spectra& spectra_;
  const fit::ConvolvedModel& model_;
  std::size_t first_, last_;
  Scales scales_;
  std::size_t physical_count_ = 0;
  std::exception_ptr unexpected_;
};

// The model counts over the fit range as a function of the physical parameters alone (the
// nuisance parameters held where `nuisance` points), for Ceres's numeric differentiation.
struct CountsOfPhysical {
  Objective* objective;
  const double* const* nuisance;

  bool operator()(double const* const* parameters, double* out) const {
    return Guarded(objective->unexpected(), [&] {
      const Spectrum& spectrum = objective->spectra().At(parameters[0]);
      std::vector<double> counts;
      objective->Counts(spectrum, *nuisance, counts, nullptr);
      std::copy(counts.begin() + static_cast<std::ptrdiff_t>(objective->first()), counts.end(), out);
    });
  }
};

// Residuals of the fit range. Parameter blocks: the physical parameters (when any are free),
// then the nuisance parameters. The physical block's Jacobian comes from central differences
// (Ceres's numeric differentiation of CountsOfPhysical, chained with the residuals' derivative
// with respect to the counts); the nuisance block's is analytic: the counts are linear in the
// amplitude and the background, and the shift's derivative is the spectrum times -2 pi i f.
class FitCost : public ceres::CostFunction {
 public:
  FitCost(Objective& objective, std::size_t nuisance_count, double relative_step)
      : objective_(objective), counts_functor_{&objective, &current_nuisance_} {
    set_num_residuals(static_cast<int>(objective.bins()));
    if (objective.physical() > 0) {
      mutable_parameter_block_sizes()->push_back(static_cast<int>(objective.physical()));
      ceres::NumericDiffOptions options;
      options.relative_step_size = relative_step;
      numeric_ = std::make_unique<ceres::DynamicNumericDiffCostFunction<CountsOfPhysical, ceres::CENTRAL>>(
          &counts_functor_, ceres::DO_NOT_TAKE_OWNERSHIP, options);
      numeric_->AddParameterBlock(static_cast<int>(objective.physical()));
      numeric_->SetNumResiduals(static_cast<int>(objective.bins()));
    }
    mutable_parameter_block_sizes()->push_back(static_cast<int>(nuisance_count));
  }

  bool Evaluate(double const* const* parameters, double* residuals, double** jacobians) const override {
    const bool has_physical = objective_.physical() > 0;
    const double* x = has_physical ? parameters[0] : nullptr;
    const double* nuisance = parameters[has_physical ? 1 : 0];
    const std::size_t bins = objective_.bins();
    const std::size_t first = objective_.first();
    const std::vector<double>& y = objective_.request().counts;
    const bool want_nuisance = jacobians != nullptr && jacobians[has_physical ? 1 : 0] != nullptr;
    const bool want_physical = jacobians != nullptr && has_physical && jacobians[0] != nullptr;

    std::vector<double> counts, d_shift;
    std::vector<double> dr_dm(bins);
    const bool ok = Guarded(objective_.unexpected(), [&] {
      const Spectrum& spectrum = objective_.spectra().At(x);
      objective_.Counts(spectrum, nuisance, counts, want_nuisance ? &d_shift : nullptr);
    });
    if (!ok) return false;
    for (std::size_t i = 0; i < bins; ++i) {
      const Residual r = objective_.ResidualOf(y[first + i], counts[first + i]);
      residuals[i] = r.r;
      dr_dm[i] = r.dr_dm;
    }
    if (want_nuisance) {
      const int columns = parameter_block_sizes().back();
      double* j = jacobians[has_physical ? 1 : 0];
      const double background = objective_.request().background
                                    ? nuisance[kBackground] * objective_.scales().background
                                    : 0.0;
      for (std::size_t i = 0; i < bins; ++i) {
        const double m = counts[first + i] - background;
        double* row = j + i * static_cast<std::size_t>(columns);
        row[kAmplitude] = dr_dm[i] * (nuisance[kAmplitude] != 0 ? m / nuisance[kAmplitude] : 0.0);
        row[kShift] = dr_dm[i] * d_shift[first + i];
        if (columns > kBackground) row[kBackground] = dr_dm[i] * objective_.scales().background;
      }
    }
    if (want_physical) {
      const std::size_t n = objective_.physical();
      std::vector<double> m(bins), dm(bins * n);
      double* dm_blocks[] = {dm.data()};
      current_nuisance_ = nuisance;
      if (!numeric_->Evaluate(&x, m.data(), dm_blocks)) return false;
      for (std::size_t i = 0; i < bins; ++i) {
        for (std::size_t p = 0; p < n; ++p) jacobians[0][i * n + p] = dr_dm[i] * dm[i * n + p];
      }
    }
    return true;
  }

 private:
  Objective& objective_;
  mutable const double* current_nuisance_ = nullptr;
  CountsOfPhysical counts_functor_;
  std::unique_ptr<ceres::DynamicNumericDiffCostFunction<CountsOfPhysical, ceres::CENTRAL>> numeric_;
};

// The Jacobian (columns in the solver's tangent space: a fixed shift has none) and the
// residuals at the solver's current point. The spectra are cached: no model is computed.
struct Linearised {
  Eigen::MatrixXd jacobian;
  Eigen::VectorXd residuals;
};

std::optional<Linearised> Linearise(ceres::Problem& problem) {
  ceres::CRSMatrix crs;
  std::vector<double> residuals;
  if (!problem.Evaluate(ceres::Problem::EvaluateOptions(), nullptr, &residuals, nullptr, &crs)) return std::nullopt;
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
  options.num_threads = 1;  // one residual block; the model's frequencies use the threads
  options.logging_type = ceres::SILENT;
  options.minimizer_progress_to_stdout = false;
  return options;
}

}  // namespace

FitResult FitCurve(const FitRequest& original) {
  const auto started = std::chrono::steady_clock::now();
  if (auto problem = original.medium.Validate()) throw InvalidRequest(*problem);
  if (auto problem = ValidateDistance(original.rho_mm)) throw InvalidRequest(*problem);
  const double dt = CheckBins(original);
  std::vector<Physical> physical = ParseFree(original);
  if (!(original.spectrum_tolerance >= 0 && original.spectrum_tolerance < 1)) {
    Refuse("the spectrum's tolerance " + Text(original.spectrum_tolerance) + " must lie in 0 ... 1");
  }
  if (original.max_iterations < 1) Refuse("the fit needs at least one iteration");
  if (original.shift_ps && !std::isfinite(*original.shift_ps)) {
    Refuse("the calibrated shift " + Text(*original.shift_ps) + " ps is not a finite number");
  }

  // A curve whose peak is below one count holds no counts but scaled data (a reflectance, a
  // normalised curve). Its statistic is tiny, and so is its gradient, which the solver then takes
  // for zero at the start values. Such data are divided by a power of two (exactly) to a peak in
  // (0.5, 1]: the chi2 weights stay max(y, 1) = 1 and the Poisson deviance, homogeneous in the
  // data and the model, is scaled as a whole, so the optimum is the same; the report undoes it.
  const double peak = *std::max_element(original.counts.begin(), original.counts.end());
  const double data_scale = peak > 0 && peak < 1 ? std::exp2(std::ceil(std::log2(peak))) : 1.0;
  const bool counts_data = data_scale == 1.0;
  FitRequest normalised;
  if (!counts_data) {
    normalised = original;
    for (double& c : normalised.counts) c /= data_scale;
  }
  const FitRequest& request = counts_data ? original : normalised;
  const bool poisson = request.statistic == FitStatistic::kPoissonLikelihood;
  // The statistic of the data as given is cost_factor times the solver's.
  const double cost_factor = poisson ? data_scale : data_scale * data_scale;

  const std::size_t bins = request.counts.size();
  const double background_start = request.background ? BackgroundEstimate(request.counts) : 0.0;
  const auto [first, last] = ChooseRange(request, background_start);
  const bool shift_fixed = request.shift_ps.has_value();
  const std::size_t nuisance_count = request.background ? 3 : 2;
  const std::size_t parameters = physical.size() + nuisance_count;
  const std::size_t fitted = parameters - (shift_fixed ? 1 : 0);
  const std::size_t fitted_bins = last - first + 1;
  if (fitted_bins <= fitted) {
    Refuse("the fit range holds " + std::to_string(fitted_bins) + " bins, too few for " + std::to_string(fitted) +
           " fitted parameters");
  }

  const int samples = GridSamples(bins, dt);
  const fit::ConvolvedModel model(request.irf, dt, samples);
  Spectra spectra(request, physical, model);

  // The physical parameters scaled to 1 at the start; the lower bounds kept two difference
  // steps inside the physical range, which a central difference would otherwise leave.
  const double step = request.options.engine == Engine::kFast ? kFastStep : kExactStep;
  std::vector<double> x(physical.size()), lower_x(physical.size());
  for (std::size_t p = 0; p < physical.size(); ++p) {
    lower_x[p] = std::max(physical[p].lower, 2.0 * step * physical[p].scale) / physical[p].scale;
    x[p] = std::max(physical[p].start / physical[p].scale, lower_x[p]);
  }

  // The start spectrum in full: it decides how many frequencies the fit needs, and the curve's
  // rise gives the shift and amplitude to start from.
  Spectrum full = spectra.Full(x.data());
  // A tenth of the tolerance at the start leaves room for curves sharper than the start's.
  int frequencies = request.spectrum_tolerance > 0 ? model.FrequenciesNeeded(full, request.spectrum_tolerance / 10)
                                                   : samples / 2 + 1;
  spectra.UseFrequencies(frequencies);

  std::vector<double> unit(bins);
  model.Counts(full, 1.0, 0.0, unit);
  const double shift_start = shift_fixed ? *request.shift_ps
                                         : HalfRise(request.t_ps, request.counts, background_start) -
                                               HalfRise(request.t_ps, unit, 0.0);
  model.Counts(full, 1.0, shift_start, unit);
  double measured_sum = 0, unit_sum = 0;
  for (std::size_t i = first; i <= last; ++i) {
    measured_sum += request.counts[i] - background_start;
    unit_sum += unit[i];
  }
  Scales scales;
  scales.amplitude = measured_sum > 0 && unit_sum > 0 ? measured_sum / unit_sum : 1.0;
  scales.shift = dt;
  scales.background = std::max(background_start, 1.0);
  std::vector<double> nuisance = {1.0, shift_start / dt};
  if (request.background) nuisance.push_back(background_start / scales.background);

  Objective objective(request, spectra, model, first, last, scales);
  objective.set_physical(physical.size());

  ceres::Problem::Options problem_options;
  problem_options.cost_function_ownership = ceres::DO_NOT_TAKE_OWNERSHIP;
  ceres::Problem problem(problem_options);
  FitCost cost(objective, nuisance_count, step);
  std::vector<double*> blocks;
  if (!physical.empty()) blocks.push_back(x.data());
  blocks.push_back(nuisance.data());
  problem.AddResidualBlock(&cost, nullptr, blocks);
  // Every parameter's bounds in the solver's units, in the order of the estimates.
  std::vector<double> lower_solver, upper_solver;
  for (std::size_t p = 0; p < physical.size(); ++p) {
    const int i = static_cast<int>(p);
    problem.SetParameterLowerBound(x.data(), i, lower_x[p]);
    problem.SetParameterUpperBound(x.data(), i, physical[p].upper / physical[p].scale);
    lower_solver.push_back(lower_x[p]);
    upper_solver.push_back(physical[p].upper / physical[p].scale);
  }
  problem.SetParameterLowerBound(nuisance.data(), kAmplitude, 1e-6);
  problem.SetParameterUpperBound(nuisance.data(), kAmplitude, 1e6);
  lower_solver.push_back(1e-6);
  upper_solver.push_back(1e6);
  const double shift_reach = static_cast<double>(samples) / 4.0;  // in bins
  if (shift_fixed) {
    problem.SetManifold(nuisance.data(), new ceres::SubsetManifold(static_cast<int>(nuisance_count), {kShift}));
  } else {
    problem.SetParameterLowerBound(nuisance.data(), kShift, nuisance[kShift] - shift_reach);
    problem.SetParameterUpperBound(nuisance.data(), kShift, nuisance[kShift] + shift_reach);
  }
  lower_solver.push_back(nuisance[kShift] - shift_reach);
  upper_solver.push_back(nuisance[kShift] + shift_reach);
  if (request.background) {
    problem.SetParameterLowerBound(nuisance.data(), kBackground, 0.0);
    lower_solver.push_back(0.0);
    upper_solver.push_back(std::numeric_limits<double>::infinity());
  }

  const ceres::Solver::Options options = SolverOptions(request.max_iterations);
  auto rethrow = [&] {
    if (objective.unexpected()) std::rethrow_exception(objective.unexpected());
  };

  // First the amplitude, shift and background alone, on the start spectrum: no new model
  // computations, and the physical parameters then start from a curve laid over the data.
  ceres::Solver::Summary summary;
  if (!physical.empty()) {
    problem.SetParameterBlockConstant(x.data());
    ceres::Solve(options, &problem, &summary);
    rethrow();
    problem.SetParameterBlockVariable(x.data());
  }

  FitResult result;
  bool covariance_ok = false;
  std::vector<double> covariance(parameters * parameters, std::numeric_limits<double>::quiet_NaN());
  // The frequencies left out are checked against the whole spectrum at the optimum; should the
  // optimum need more (a sharper curve than at the start), the fit goes on with them.
  for (int round = 0;; ++round) {
    ceres::Solve(options, &problem, &summary);
    rethrow();
    result.iterations += static_cast<int>(summary.iterations.size()) - 1;
    // Ceres counts the start (iteration 0) among its successful steps: counted here without it.
    for (std::size_t k = 1; k < summary.iterations.size(); ++k) {
      if (summary.iterations[k].step_is_successful) ++result.successful_steps;
    }
    full = spectra.Full(x.data());
    if (frequencies == samples / 2 + 1 || round == 2) break;
    if (model.TruncationBound(full, frequencies) <= request.spectrum_tolerance) break;
    frequencies = model.FrequenciesNeeded(full, request.spectrum_tolerance / 10);
    spectra.UseFrequencies(frequencies);
  }

  ceres::Covariance::Options covariance_options;
  covariance_options.algorithm_type = ceres::DENSE_SVD;
  covariance_options.num_threads = 1;
  ceres::Covariance estimator(covariance_options);
  std::vector<std::pair<const double*, const double*>> pairs;
  std::vector<const double*> order;
  if (!physical.empty()) order.push_back(x.data());
  order.push_back(nuisance.data());
  for (std::size_t a = 0; a < order.size(); ++a) {
    for (std::size_t b = a; b < order.size(); ++b) pairs.emplace_back(order[a], order[b]);
  }
  const std::optional<Linearised> at_optimum = Linearise(problem);
  rethrow();
  if (summary.IsSolutionUsable() && at_optimum && Determined(at_optimum->jacobian)) {
    covariance_ok = estimator.Compute(pairs, &problem) && estimator.GetCovarianceMatrix(order, covariance.data());
  }
  rethrow();

  // The fitted curve from the whole spectrum, every bin, and the residuals: in the solver's
  // units first, for the statistics, then in the data's.
  std::vector<double> solver_counts(bins, 0.0);
  {
    std::vector<double> window(bins);
    const double amplitude = nuisance[kAmplitude] * scales.amplitude;
    model.Counts(full, amplitude, nuisance[kShift] * dt, window);
    const double background = request.background ? nuisance[kBackground] * scales.background : 0.0;
    for (std::size_t i = 0; i < bins; ++i) solver_counts[i] = window[i] + background;
  }
  result.model_counts.resize(bins);
  result.residuals.resize(bins);
  const double residual_factor = std::sqrt(cost_factor);
  double sum = 0, solver_sum = 0, deviance = 0;
  for (std::size_t i = 0; i < bins; ++i) {
    const double r = objective.ResidualOf(request.counts[i], solver_counts[i]).r;
    result.model_counts[i] = counts_data ? solver_counts[i] : solver_counts[i] * data_scale;
    result.residuals[i] = counts_data ? r : r * residual_factor;
    if (i >= first && i <= last) {
      sum += result.residuals[i] * result.residuals[i];
      solver_sum += r * r;
      const double d = PoissonResidual(request.counts[i], solver_counts[i]).r;
      deviance += d * d;
    }
  }
  result.first_bin = first;
  result.last_bin = last;
  result.t_first_ps = request.t_ps[first];
  result.t_last_ps = request.t_ps[last];
  result.degrees_of_freedom = static_cast<int>(fitted_bins - fitted);
  result.chi2_reduced = sum / result.degrees_of_freedom;
  result.poisson_deviance = deviance * data_scale;
  result.statistic = request.statistic;
  result.forward_evaluations = spectra.evaluations();

  // The estimates in physical units, with their covariance. For data that are not counts under
  // chi2 every bin weighs 1, which says nothing of their variance: the residuals' scatter
  // stands in for it.
  const bool scatter_scaled = !counts_data && !poisson;
  const double variance_factor =
      scatter_scaled ? solver_sum / result.degrees_of_freedom : (counts_data ? 1.0 : 1.0 / cost_factor);
  result.medium = spectra.MediumAt(x.data());
  std::vector<double> unit_of(parameters), solver_value(parameters);
  auto add = [&](const std::string& name, double value, double scale, std::size_t index, double start, double lower,
                 double upper) {
    const double variance = covariance[index * parameters + index];
    const double error = covariance_ok && variance >= 0 ? scale * std::sqrt(variance * variance_factor)
                                                        : std::numeric_limits<double>::quiet_NaN();
    result.estimates.push_back({name, value * scale, error, start, lower, upper});
    unit_of[index] = scale;
    solver_value[index] = value;
  };
  for (std::size_t p = 0; p < physical.size(); ++p) {
    add(physical[p].name, x[p], physical[p].scale, p, physical[p].start, physical[p].lower, physical[p].upper);
  }
  const std::size_t base = physical.size();
  const double amplitude_unit = scales.amplitude * data_scale;
  add("amplitude", nuisance[kAmplitude], amplitude_unit, base + kAmplitude, amplitude_unit, 1e-6 * amplitude_unit,
      1e6 * amplitude_unit);
  add("shift_ps", nuisance[kShift], dt, base + kShift, shift_start, shift_start - shift_reach * dt,
      shift_start + shift_reach * dt);
  if (shift_fixed) {
    FitEstimate& shift = result.estimates.back();
    shift = {"shift_ps", *request.shift_ps, 0.0, *request.shift_ps, *request.shift_ps, *request.shift_ps, true};
  }
  if (request.background) {
    add("background", nuisance[kBackground], scales.background * data_scale, base + kBackground,
        background_start * data_scale, 0.0, std::numeric_limits<double>::infinity());
  }
  const std::size_t shift_index = base + kShift;
  result.covariance.assign(parameters * parameters, std::numeric_limits<double>::quiet_NaN());
  result.correlation = result.covariance;
  for (std::size_t a = 0; a < parameters; ++a) {
    for (std::size_t b = 0; b < parameters; ++b) {
      if (shift_fixed && (a == shift_index || b == shift_index)) {
        result.covariance[a * parameters + b] = 0;
        result.correlation[a * parameters + b] = 0;
        continue;
      }
      if (!covariance_ok) continue;
      result.covariance[a * parameters + b] =
          covariance[a * parameters + b] * variance_factor * unit_of[a] * unit_of[b];
      const double norm = std::sqrt(covariance[a * parameters + a] * covariance[b * parameters + b]);
      result.correlation[a * parameters + b] = a == b ? 1.0 : covariance[a * parameters + b] / norm;
    }
  }
  result.condition_number = at_optimum ? ConditionNumber(at_optimum->jacobian) : std::numeric_limits<double>::quiet_NaN();
  result.termination = ceres::TerminationTypeToString(summary.termination_type);

  // The flags, each with its sentence.
  auto flag = [&](FitFlagKind kind, std::vector<std::string> names, std::string sentence) {
    result.flags.push_back({kind, std::move(names), std::move(sentence)});
  };
  const auto name_of = [&](std::size_t index) { return result.estimates[index].name; };
  if (!counts_data && poisson) {
    flag(FitFlagKind::kNotCounts, {},
         "The measured curve's peak is " + Brief(peak) +
             ", less than one count: these are not counts as measured, and the Poisson statistic's standard "
             "errors and chi2 mean nothing for them; fit the counts as measured, or use the chi2 statistic.");
  }
  if (scatter_scaled) {
    result.notes.push_back("The measured curve's peak is " + Brief(peak) +
                           ", less than one count: the data are not counts, so every bin weighs the same and the "
                           "standard errors are scaled by the residuals' scatter, sqrt(chi2/nu).");
  }
  if (summary.termination_type != ceres::CONVERGENCE) {
    flag(FitFlagKind::kNotConverged, {}, "The solver did not converge: " + summary.message);
  }
  // Bounds: within 1e-6 of the bound in the solver's units, where every parameter is about 1.
  std::vector<Eigen::Index> off_bounds;
  for (std::size_t a = 0, column = 0; a < parameters; ++a) {
    if (shift_fixed && a == shift_index) continue;
    const double v = solver_value[a];
    auto near = [&](double bound) {
      return std::isfinite(bound) && std::fabs(v - bound) <= 1e-6 * std::max(std::fabs(bound), 1.0);
    };
    const bool at_lower = near(lower_solver[a]);
    const bool at_upper = near(upper_solver[a]);
    if (!at_lower && !at_upper) off_bounds.push_back(static_cast<Eigen::Index>(column));
    ++column;
    if (!at_lower && !at_upper) continue;
    const FitEstimate& e = result.estimates[a];
    std::string bound = Brief(at_lower ? e.lower : e.upper);
    if (a < base && at_lower && e.lower < lower_x[a] * physical[a].scale) {
      bound += " (" + Brief(lower_x[a] * physical[a].scale) + " in the fit, which keeps the model's differences above " +
               Brief(e.lower) + ")";
    }
    if (a == shift_index) bound += " ps, where the model's period ends";
    flag(FitFlagKind::kAtBound, {e.name},
         e.name + " stopped at its " + (at_lower ? "lower" : "upper") + " bound " + bound +
             ": the data pull it beyond, so it tells the bound rather than the data, and its error means little.");
  }
  if (summary.termination_type == ceres::CONVERGENCE && result.successful_steps == 0 && at_optimum &&
      GaussNewtonGain(*at_optimum, off_bounds) > 1e-4) {
    flag(FitFlagKind::kNotConverged, {},
         "The solver took no step from start values that are not optimal: the statistic's gradient there passed "
         "for zero only because the problem is badly scaled.");
  }
  if (!covariance_ok) {
    flag(FitFlagKind::kPoorlyDetermined, {},
         "The covariance at the optimum is singular: some parameter is not determined by the data.");
  } else {
    // Among the physical parameters only: the amplitude is tied to mus' by its definition
    // (counts times the continuous-wave reflectance) and the shift to the curve's rise, and
    // what those ties cost is already in the physical parameters' errors.
    for (std::size_t a = 0; a < base; ++a) {
      for (std::size_t b = a + 1; b < base; ++b) {
        const double rho = result.correlation[a * parameters + b];
        if (std::fabs(rho) > kMostCorrelation) {
          flag(FitFlagKind::kPoorlyDetermined, {name_of(a), name_of(b)},
               name_of(a) + " and " + name_of(b) + " are correlated by " + Brief(rho) +
                   ": the data determine a combination of them rather than each, and their errors are poorly "
                   "determined.");
        }
      }
    }
    if (!(result.condition_number <= 1e10)) {
      flag(FitFlagKind::kPoorlyDetermined, {},
           "The fit is ill-conditioned (condition number " + Brief(result.condition_number) +
               " of J'J, above 1e10): some combination of the parameters is poorly determined by the data.");
    }
  }
  std::vector<std::string> not_finite;
  std::string not_finite_list;
  for (const FitEstimate& e : result.estimates) {
    if (std::isfinite(e.value) && std::isfinite(e.standard_error)) continue;
    not_finite_list += (not_finite.empty() ? "" : ", ") + e.name + " = " + Brief(e.value) + " +- " +
                       Brief(e.standard_error);
    not_finite.push_back(e.name);
  }
  if (!not_finite.empty()) {
    flag(FitFlagKind::kNotFinite, not_finite,
         "Some estimates or standard errors are not finite numbers (" + not_finite_list + ").");
  }
  if (counts_data && !(result.chi2_reduced <= 4)) {
    flag(FitFlagKind::kModelMismatch, {},
         "chi2/nu = " + Brief(result.chi2_reduced) +
             " is far above 1: the model does not describe the data (a wrong model, IRF, distance or fit range), and "
             "the standard errors, which assume it does, are too small.");
  }
  {
    // The light enters with the IRF's peak, delayed by the shift: before the window opens, or
    // after the measured curve has peaked, the data hold no rise that could place it.
    const auto irf_peak = std::max_element(request.irf.begin(), request.irf.end()) - request.irf.begin();
    const auto curve_peak = std::max_element(request.counts.begin(), request.counts.end()) - request.counts.begin();
    const double shift = result.Find("shift_ps")->value;
    const double arrival = request.t_ps[static_cast<std::size_t>(irf_peak)] + shift;
    const double opens = request.t_ps.front(), peaks = request.t_ps[static_cast<std::size_t>(curve_peak)];
    if (!(arrival >= opens && arrival <= peaks)) {
      flag(FitFlagKind::kShiftOutside, {"shift_ps"},
           "The shift of " + Brief(shift) + " ps puts the IRF's peak at " + Brief(arrival) + " ps, " +
               (arrival < opens ? "before the measured window opens (" + Brief(opens) + " ps)"
                                : "after the measured curve's peak (" + Brief(peaks) + " ps)") +
               ": the data hold no rise of the curve that could fix it.");
    }
  }
  result.success = result.flags.empty();
  result.message = summary.message;
  for (const FitFlag& f : result.flags) result.message += " " + f.sentence;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return result;
}

const char* FitFlagName(FitFlagKind kind) {
  switch (kind) {
    case FitFlagKind::kNotConverged: return "not_converged";
    case FitFlagKind::kAtBound: return "at_bound";
    case FitFlagKind::kPoorlyDetermined: return "poorly_determined";
    case FitFlagKind::kNotFinite: return "not_finite";
    case FitFlagKind::kModelMismatch: return "model_mismatch";
    case FitFlagKind::kShiftOutside: return "shift_outside";
    case FitFlagKind::kNotCounts: return "not_counts";
  }
  return "unknown";
}

}  // namespace nlayer
