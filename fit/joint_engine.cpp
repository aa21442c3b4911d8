#include "fit/joint_engine.h"

#include <ceres/manifold.h>

#include <Eigen/SVD>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "core/fast/fast_derivatives.h"
#include "core/period.h"
#include "fit/curve_checks.h"
#include "nlayer/errors.h"

namespace nlayer::fit {

namespace {

// A curve that has not faded within a grid of the bins' length gets a longer one, up to this.
constexpr int kMostFoldFreeSamples = 1 << 20;
// The solver's function and parameter tolerance of the starts after the first.
constexpr double kSpreadTolerance = 1e-6;
// Above these, the first start's end calls for the spread starts (JointEngine::OneMinimumLikely).
constexpr double kLeastValleyCorrelation = 0.98;
constexpr double kMostOneMinimumChi2 = 2.0;

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

std::string CurveWho(const MeasuredCurve& curve, std::size_t index) {
  return curve.label.empty() ? "curve " + std::to_string(index + 1) + ": " : "curve \"" + curve.label + "\": ";
}

}  // namespace

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

JointEngine::JointEngine(const FitProblem& problem, const FitOptions& options, bool single)
    : problem_(problem), options_(options), single_(single) {
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
  if (!(options.spectrum_tolerance >= 0 && options.spectrum_tolerance < 1)) {
    Refuse("the spectrum's tolerance " + Text(options.spectrum_tolerance) + " must lie in 0 ... 1");
  }
  if (options.max_iterations < 1) Refuse("the fit needs at least one iteration");
  if (options.starts < 0) Refuse("the number of starts " + std::to_string(options.starts) + " is below 0");
  if (!(options.ambiguity_threshold >= 0)) {
    Refuse("the ambiguity threshold " + Text(options.ambiguity_threshold) + " must be >= 0");
  }
  poisson_ = options.statistic == FitStatistic::kPoissonLikelihood;
  step_ = options.compute.engine == Engine::kFast ? kFastStep : kExactStep;
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

void JointEngine::LengthenGrids(const Values& start) {
  for (std::size_t g = 0; g < groups_.size(); ++g) {
    Group& group = groups_[g];
    const Medium medium = MediumOf(start, group.slot);
    while (group.samples < kMostFoldFreeSamples) {
      const FrequencySpectra spectra =
          FrequencyDomain(medium, group.rho, group.model->FrequenciesHz(group.samples / 2 + 1), options_.compute);
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

// ---- the model's spectra -----------------------------------------------------------------

Spectrum JointEngine::Compute(std::size_t g, const Medium& medium, const std::vector<double>& f_hz) {
  if (cancelled_ || options_.compute.stop.stop_requested()) {
    cancelled_ = true;
    throw Cancelled();
  }
  FrequencySpectra spectra = FrequencyDomain(medium, groups_[g].rho, f_hz, options_.compute);
  ++evaluations_;
  if (options_.progress && !options_.progress(FitProgress{evaluations_, start_, starts_, best_statistic_})) {
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
      if (options_.compute.engine == Engine::kFast) AnalyticDerivatives(g, values, key, done);
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
  if (cancelled_ || options_.compute.stop.stop_requested()) {
    cancelled_ = true;
    throw Cancelled();
  }
  const Group& group = groups_[g];
  const Medium medium = MediumOf(values, group.slot);
  std::optional<FrequencyJacobian> jacobian =
      FrequencyDomainDerivatives(medium, group.rho, group.model->FrequenciesHz(group.frequencies), options_.compute);
  ++evaluations_;
  if (options_.progress && !options_.progress(FitProgress{evaluations_, start_, starts_, best_statistic_})) {
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
    const int count = options_.spectrum_tolerance > 0
                          ? curve.model->FrequenciesNeeded(row, options_.spectrum_tolerance / 10)
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

  ceres::Solver::Options options = SolverOptions(options_.max_iterations);
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
      if (curve.model->TruncationBound(row, group.frequencies) <= options_.spectrum_tolerance) continue;
      more = true;
      wanted[curve.group] = std::max({wanted[curve.group], group.frequencies,
                                      curve.model->FrequenciesNeeded(row, options_.spectrum_tolerance / 10)});
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
  const bool chosen = options_.starts <= 0;
  starts_ = options_.starts > 0 ? options_.starts : (columns_ <= 1 ? 1 : 4);
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
    // Each spread start costs as much as the first; where the first end shows none of the marks
    // of a statistic with several minima, they would only find it again.
    if (s == 0 && chosen && starts_ > 1 && OneMinimumLikely(ends[0], curvatures[0])) {
      starts_ = 1;
      break;
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

// Whether an end shows none of the marks that spread starts have found other minima behind: a
// solver stopped short or on a bound, a covariance that is singular, a valley along which two
// parameters trade off (correlated beyond kLeastValleyCorrelation: the two-layer bottom's mua and
// mus' from one curve, where draws have two minima, are correlated by 0.994 to 0.999; a
// homogeneous medium's by 0.95, with one minimum), a parameter its curvature describes poorly
// (error beyond the fraction that gets a profile), or counts the model does not describe.
bool JointEngine::OneMinimumLikely(const End& end, const Curvature& curvature) const {
  if (!end.usable || end.joined >= 0 || end.summary.termination_type != ceres::CONVERGENCE || !curvature.ok) {
    return false;
  }
  for (std::size_t j = 0; j < columns_; ++j) {
    const double v = end.x[j];
    for (const double bound : {lower_x_[j], upper_x_[j]}) {
      if (std::isfinite(bound) && std::fabs(v - bound) <= 1e-6 * std::max(std::fabs(bound), 1.0)) return false;
    }
  }
  const Eigen::MatrixXd& k = curvature.covariance;
  for (std::size_t a = 0; a < columns_; ++a) {
    const auto ia = static_cast<Eigen::Index>(a);
    const double sigma = std::sqrt(std::max(k(ia, ia), 0.0));
    if (!(sigma <= options_.profile_above_relative_error * std::fabs(end.x[a])) &&
        options_.profile_above_relative_error < kInfinity) {
      return false;
    }
    for (std::size_t b = a + 1; b < columns_; ++b) {
      const auto ib = static_cast<Eigen::Index>(b);
      const double rho = k(ia, ib) / std::sqrt(k(ia, ia) * k(ib, ib));
      if (!(std::fabs(rho) <= kLeastValleyCorrelation)) return false;
    }
  }
  if (AllCounts() && !(end.statistic <= kMostOneMinimumChi2 * static_cast<double>(DegreesOfFreedom()))) return false;
  return true;
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
  for (const std::string& name : options_.profile) {
    const auto p = std::find_if(physical_.begin(), physical_.end(), [&](const Physical& q) { return q.name == name; });
    if (p == physical_.end() || p->tied) {
      Refuse("the profile of " + name + " is asked for, but " + name +
             (p == physical_.end() ? " is not free" : " is tied"));
    }
  }
  for (const std::string& name : options_.profile) {
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
  if (sound && options_.profile_above_relative_error < kInfinity) {
    for (const Physical& p : physical_) {
      if (p.tied) continue;
      if (std::any_of(profiles.begin(), profiles.end(), [&](const ProfileInterval& q) { return q.name == p.name; })) {
        continue;
      }
      const std::size_t j = static_cast<std::size_t>(p.column);
      if (!(ErrorOf(search, best, j) > options_.profile_above_relative_error * std::fabs(end.x[j]))) continue;
      profiles.push_back(Profile(end, p, ErrorOf(search, best, j)));
      profiles.back().by_default = true;
    }
  }
  return profiles;
}

}  // namespace nlayer::fit
