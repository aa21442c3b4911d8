// The result at the best end: every curve's fit, the estimates with their covariance, the
// derived quantities and the flags, each with its sentence.
#include <algorithm>
#include <charconv>
#include <cmath>

#include "fit/joint_engine.h"

namespace nlayer {

namespace fit {

namespace {

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
// Estimates within this (relative, in the solver's units where every parameter is about 1) of a
// bound stopped on it.
constexpr double kOnBound = 1e-6;

// Three significant digits (whole numbers up to 1e7 in full), for the flags' sentences.
std::string Brief(double value) {
  char buffer[32];
  const bool whole = std::fabs(value) >= 1000 && std::fabs(value) < 1e7;
  const auto end = whole ? std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 0).ptr
                         : std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 3).ptr;
  return std::string(buffer, end);
}

}  // namespace

// ---- the result at the best end ----
// Every curve's fit and the totals over them; returns the sum of the solver's squared residuals.
double JointEngine::CurveFits(const End& end, std::size_t degrees_of_freedom, FitResult& result) {
  const std::vector<Spectrum> full = FullAt(end.x.data());
  std::vector<double> solver_sums;
  Statistic(end, &solver_sums);

  double total_sum = 0, total_solver = 0, total_deviance = 0;
  result.statistic = options_.statistic;
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
    if (!(ends[e].statistic - end.statistic < options_.ambiguity_threshold)) continue;
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
             ", less than " + Brief(options_.ambiguity_threshold) + " (" + values +
             "): the data do not decide between them, and the errors of either describe only its own neighbourhood.");
    break;
  }
}

}  // namespace fit

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
