#include "nlayer/moments.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <string>

#include "core/accuracy.h"
#include "core/derived_model.h"
#include "core/gauss_weight.h"
#include "core/hankel.h"
#include "core/number_text.h"
#include "core/period.h"
#include "core/spectrum.h"
#include "core/synthesis.h"

namespace nlayer {

namespace {

// The raw moments M0 (mm^-2), M1 (mm^-2 s) and M2 (mm^-2 s^2) of one distance.
struct Raw {
  long double m0 = 0, m1 = 0, m2 = 0;

  Moments InPicoseconds() const {
    const long double mean = m1 / m0;
    return {static_cast<double>(m0), static_cast<double>(mean * 1e12L),
            static_cast<double>((m2 / m0 - mean * mean) * 1e24L)};
  }
};

// The first step probes the time scale; 2 pi MHz is far below the bandwidth of any curve that
// lasts less than some tens of nanoseconds.
constexpr long double kProbeOmega = 6.283185307179586477e6L;
// The step then taken (see the stencil below): sigma <t> = 0.05 where the central stencil
// serves, 0.01 where the one-sided one must.
constexpr long double kCentralOmegaTimesMeanTime = 5e-2L;
constexpr long double kOneSidedOmegaTimesMeanTime = 1e-2L;

DerivedModel Derived(const Medium& medium) {
  DerivedModel model;
  const FaultKind fault = DeriveModel(medium.layers, model);
  if (fault != FaultKind::kNone) throw ModelError(fault, FaultStage::kDerivation, -1, 0.0);
  return model;
}

Spectrum SpectrumAt(const DerivedModel& model, const std::vector<long double>& rhos,
                    const std::vector<long double>& omegas, unsigned threads, std::stop_token stop = {}) {
  Spectrum spectrum = ComputeSpectrum(model, rhos, omegas, threads, 1 << 30, stop);
  if (spectrum.first_fault >= 0) ThrowFrequencyFault(spectrum, omegas);
  return spectrum;
}

constexpr long double kSpeedOfLight = 2.99792458e11L;  // mm/s

// The moments come from the Laplace transform L(sigma) = integral of R(t) e^(-sigma t) dt
// = M0 - sigma M1 + sigma^2 M2 / 2 - ..., the model's R~ at the imaginary frequency -i sigma.
// There the frequency term i omega n / (c D) of each layer becomes sigma n / (c D), a real
// addition to mua / D: L(sigma) is the continuous-wave reflectance of the model with each
// layer's mua raised by sigma n / c and the source depth left where it is. This keeps the
// decay constants real; at small real frequencies the complex root would lose the imaginary
// part's digits to cancellation (m - x with m = |x + iy|), and with them the moments'.
//
// The transform sums terms of both signs (the Bessel factor oscillates), so its result carries
// the rounding of terms much larger than itself; L(sigma) - L(0), a small part of it, would lose
// that many digits more, and so would the difference of two models. So every difference, in
// sigma and between models, is formed point by point and only the differences are summed.
//
// The stencil in sigma has seven points, h apart: central (-3h ... 3h, errors of order h^6) where
// every layer absorbs enough that mua - 3 sigma n / c stays above a tenth of mua, one-sided
// (0 ... 6h, errors of order h^5) where some layer hardly absorbs. The step balances what the
// stencil leaves against the rounding of the layered solution, whose (B - C) / Q cancels to
// about 1e-13 for thick layers, and the transform's own rounding, which grows with the distance
// as the terms cancel (core/accuracy.h), both divided by (sigma t)^2 in the second derivative:
// sigma <t> = 0.05 leaves 0.05^6 = 1.6e-8 of truncation in the central stencil and keeps the
// variance's sensitivities of a top layer with mua 0.05/mm within 1e-4 at 40 mm, where 0.01 was
// off by 0.19 (against central differences of the variance in mua).
constexpr int kStencilPoints = 7;

// Whether every layer absorbs enough for the central stencil of step h.
bool CentralStencilServes(const DerivedModel& model, long double h) {
  for (std::size_t k = 0; k < model.Mua.size(); ++k) {
    if (!(model.Mua[k] - 3.0L * h * model.RefrIndex[k] / kSpeedOfLight > 0.1L * model.Mua[k])) return false;
  }
  return true;
}

struct StencilSums {
  long double m0 = 0;                  // L(0) of the first model
  long double f[5][kStencilPoints]{};  // L of model m at sigma_j minus L(0) of the first model
  // The sums of the magnitudes of the terms of m0 and of each f[m][j], for their rounding.
  long double m0_magnitude = 0;
  long double f_magnitude[5][kStencilPoints]{};
  long double h = 0;
  bool central = true;
  int origin() const { return central ? kStencilPoints / 2 : 0; }
  long double Sigma(int j) const { return h * static_cast<long double>(j - origin()); }
};

// The weights of the first and second derivative at 0 on the points x[0 .. n-1] (Fornberg,
// Math. Comp. 51, 699, 1988).
void DerivativeWeights(const long double* x, int n, long double* first, long double* second) {
  long double c[kStencilPoints][3] = {};
  c[0][0] = 1.0L;
  long double c1 = 1.0L;
  for (int i = 1; i < n; ++i) {
    long double c2 = 1.0L;
    for (int j = 0; j < i; ++j) {
      const long double c3 = x[i] - x[j];
      c2 *= c3;
      for (int k = std::min(i, 2); k >= 0; --k) {
        if (j == i - 1) {
          c[i][k] = c1 * ((k > 0 ? k * c[i - 1][k - 1] : 0.0L) - x[i - 1] * c[i - 1][k]) / c2;
        }
      }
      for (int k = std::min(i, 2); k >= 0; --k) c[j][k] = (x[i] * c[j][k] - (k > 0 ? k * c[j][k - 1] : 0.0L)) / c3;
    }
    c1 = c2;
  }
  for (int i = 0; i < n; ++i) first[i] = c[i][1], second[i] = c[i][2];
}

StencilSums PointSums(const std::vector<DerivedModel>& models, long double rho, long double h, const HankelPlan& plan) {
  const DerivedModel& base = models[0];
  const std::size_t layers = base.Mua.size();
  StencilSums sums;
  sums.h = h;
  sums.central = CentralStencilServes(base, h);
  const int origin = sums.origin();
  const std::size_t count = models.size();
  const auto tables = std::make_unique<RunTables>();
  std::vector<std::array<LayerTerms, kStencilPoints>> shifted(count);
  FrequencyContext context;
  // Each panel's sums, scaled by its half-width and added to the whole; a single rule's sums
  // are the whole.
  StencilSums panel_sums;
  const FaultKind fault = RunChecked([&] {
    context.Resize(layers, 1);
    SetFrequency(0.0L, base, context);
    for (std::size_t m = 0; m < count; ++m) {
      for (int j = 0; j < kStencilPoints; ++j) {
        DerivedModel absorbing = models[m];
        for (std::size_t k = 0; k < layers; ++k) absorbing.Mua[k] += sums.Sigma(j) * absorbing.RefrIndex[k] / kSpeedOfLight;
        ComputeLayerTerms(absorbing, shifted[m][static_cast<std::size_t>(j)]);
      }
    }
    auto add_point = [&](int p, long double w) {
      const long double j0 = tables->j0[static_cast<std::size_t>(p)];
      const long double v0 = KernelTimesSolution(base, tables->points[p], shifted[0][origin], context).re;
      panel_sums.m0 = panel_sums.m0 + (j0 * v0) * w;
      panel_sums.m0_magnitude += std::fabs(j0 * v0 * w);
      for (std::size_t m = 0; m < count; ++m) {
        for (int j = 0; j < kStencilPoints; ++j) {
          if (m == 0 && j == origin) continue;
          const long double v = KernelTimesSolution(models[m], tables->points[p], shifted[m][j], context).re;
          panel_sums.f[m][j] = panel_sums.f[m][j] + (j0 * (v - v0)) * w;
          panel_sums.f_magnitude[m][j] += std::fabs(j0 * (v - v0) * w);
        }
      }
    };
    for (int panel = 0; panel < plan.panels; ++panel) {
      BuildRunTables(base, std::span<const long double>(&rho, 1), plan, panel, *tables);
      panel_sums = StencilSums{};
      for (int i = 0; i < 480; ++i) {
        add_point(2 * i, tables->rule.w[i]);
        add_point(2 * i + 1, tables->rule.w[i]);
      }
      const long double d = tables->rule.d;
      sums.m0 = panel == 0 ? d * panel_sums.m0 : sums.m0 + d * panel_sums.m0;
      sums.m0_magnitude += std::fabs(d) * panel_sums.m0_magnitude;
      for (std::size_t m = 0; m < 5; ++m) {
        for (int j = 0; j < kStencilPoints; ++j) {
          const long double part = d * panel_sums.f[m][j];
          sums.f[m][j] = panel == 0 ? part : sums.f[m][j] + part;
          sums.f_magnitude[m][j] += std::fabs(d) * panel_sums.f_magnitude[m][j];
        }
      }
    }
  });
  if (fault != FaultKind::kNone) {
    // The spectrum's own evaluation names the fault where it has one; the shifted absorption
    // can fault where the model does not, which is reported as what it is.
    for (const DerivedModel& m : models) SpectrumAt(m, {rho}, {0.0L}, 1);
    throw ModelError(fault, FaultStage::kFrequency, 0, 0.0);
  }
  return sums;
}

// M1 = -L'(0) and M2 = L''(0) from g[j] = L(sigma_j) - L(0) by the stencil of `sums`.
void Stencil(const StencilSums& sums, const long double* g, long double& m1, long double& m2) {
  long double x[kStencilPoints], first[kStencilPoints], second[kStencilPoints];
  for (int j = 0; j < kStencilPoints; ++j) x[j] = sums.Sigma(j);
  DerivativeWeights(x, kStencilPoints, first, second);
  long double d1 = 0, d2 = 0;
  for (int j = 0; j < kStencilPoints; ++j) d1 += first[j] * g[j], d2 += second[j] * g[j];
  m1 = -d1;
  m2 = d2;
}

// What errors e[j] of g[j] leave in M1 and M2 through the stencil of `sums`, at most.
void StencilError(const StencilSums& sums, const long double* e, long double& e1, long double& e2) {
  long double x[kStencilPoints], first[kStencilPoints], second[kStencilPoints];
  for (int j = 0; j < kStencilPoints; ++j) x[j] = sums.Sigma(j);
  DerivativeWeights(x, kStencilPoints, first, second);
  e1 = 0, e2 = 0;
  for (int j = 0; j < kStencilPoints; ++j) e1 += std::fabs(first[j]) * e[j], e2 += std::fabs(second[j]) * e[j];
}

// The relative rounding of one term of the transform: each term of every sum, the differences
// between points of the stencil too, carries about this part of its magnitude.
long double TermRounding(const TransformPlan& plan) {
  return plan.measured && plan.magnitude > 0 ? plan.RoundingError() / plan.magnitude : 0.0L;
}

// The moments of model m of the sums.
Raw MomentsOf(const StencilSums& sums, int m) {
  const int o = sums.origin();
  long double g[kStencilPoints];
  for (int j = 0; j < kStencilPoints; ++j) g[j] = sums.f[m][j] - sums.f[m][o];
  Raw raw;
  raw.m0 = sums.m0 + sums.f[m][o];
  Stencil(sums, g, raw.m1, raw.m2);
  return raw;
}

// The estimated absolute errors of the raw moments of model m of the sums: the rounding of
// their terms (the transform's at frequency 0 and its truncation for M0), through the stencil.
Raw ErrorsOf(const StencilSums& sums, int m, const TransformPlan& plan) {
  const long double term = TermRounding(plan);
  const int o = sums.origin();
  long double e[kStencilPoints];
  for (int j = 0; j < kStencilPoints; ++j) {
    e[j] = term * (sums.f_magnitude[m][j] + sums.f_magnitude[m][o]);
  }
  Raw error;
  error.m0 = plan.ValueError() + term * sums.f_magnitude[m][o];
  StencilError(sums, e, error.m1, error.m2);
  return error;
}

Raw RawMomentsAt(const DerivedModel& model, long double rho, long double h, const HankelPlan& plan) {
  return MomentsOf(PointSums({model}, rho, h, plan), 0);
}

// The relative errors of the total, the mean time and the variance from those of the raw
// moments, at most. A value that is not positive is as wrong as can be.
Raw RelativeErrors(const Raw& raw, const Raw& error) {
  const long double m0 = std::fabs(raw.m0);
  const long double mean = raw.m1 / raw.m0;
  const long double variance = raw.m2 / raw.m0 - mean * mean;
  const long double mean_error = error.m1 / m0 + std::fabs(raw.m1) * error.m0 / (m0 * m0);
  const long double variance_error =
      error.m2 / m0 + std::fabs(raw.m2) * error.m0 / (m0 * m0) + 2.0L * std::fabs(mean) * mean_error;
  Raw relative{error.m0 / m0, mean_error / std::fabs(mean), variance_error / std::fabs(variance)};
  auto at_least_whole = [](long double value, long double& r) {
    if (!(value > 0) && !(r >= 1)) r = 1;
  };
  at_least_whole(raw.m0, relative.m0);
  at_least_whole(mean, relative.m1);
  at_least_whole(variance, relative.m2);
  return relative;
}

// The moments of one distance with what is needed to check them and to differentiate them.
struct CheckedMoments {
  TransformPlan plan;
  long double h = 0;
  Raw raw;
  Raw relative;  // the relative errors of total, mean time and variance

  bool Within() const {
    return relative.m0 <= kValueRoundingLimit && relative.m1 <= kValueRoundingLimit &&
           relative.m2 <= kVarianceRoundingLimit;
  }
};

long double StepAt(const DerivedModel& model, long double rho, const HankelPlan& plan);

CheckedMoments MomentsAt(const DerivedModel& model, long double rho) {
  CheckedMoments checked;
  // The rule is chosen once per distance; every stencil sum of it takes the same.
  checked.plan = PlanTransform(model, rho);
  checked.h = StepAt(model, rho, checked.plan.plan);
  const StencilSums sums = PointSums({model}, rho, checked.h, checked.plan.plan);
  checked.raw = MomentsOf(sums, 0);
  checked.relative = RelativeErrors(checked.raw, ErrorsOf(sums, 0, checked.plan));
  return checked;
}

// Whether the moments at `rho` are within their limits; a distance whose evaluation faults is not.
bool MomentsWithin(const DerivedModel& model, long double rho) {
  try {
    return MomentsAt(model, rho).Within();
  } catch (const ModelError&) {
    return false;
  }
}

long double Kappa(const TransformPlan& plan) { return plan.magnitude / std::fabs(plan.cw); }

// Refuses moments whose estimated rounding exceeds their limits, naming the longest distance
// whose moments keep within them.
void CheckMoments(const DerivedModel& model, long double rho, const CheckedMoments& checked) {
  if (auto problem = TruncationProblem(model, rho, checked.plan)) throw InvalidRequest(*problem);
  if (checked.Within()) return;
  const auto within = [&](long double r) { return MomentsWithin(model, r); };
  const Raw& e = checked.relative;
  const bool total = !(e.m0 <= kValueRoundingLimit), mean = !(e.m1 <= kValueRoundingLimit);
  throw InvalidRequest(RoundingProblem(rho, Kappa(checked.plan),
                                       total  ? "the moments' total"
                                       : mean ? "the mean time of flight"
                                              : "the variance of the time of flight",
                                       total ? e.m0 : mean ? e.m1 : e.m2,
                                       total || mean ? kValueRoundingLimit : kVarianceRoundingLimit, within));
}

// The step for a distance, from a first estimate of its mean time.
long double StepAt(const DerivedModel& model, long double rho, const HankelPlan& plan) {
  const Raw raw = RawMomentsAt(model, rho, kProbeOmega, plan);
  const long double mean = raw.m1 / raw.m0;
  if (!(std::isfinite(mean) && mean > 0)) return kProbeOmega;
  const long double central = kCentralOmegaTimesMeanTime / mean;
  return CentralStencilServes(model, central) ? central : kOneSidedOmegaTimesMeanTime / mean;
}

void ValidateRequest(const Medium& medium, const std::vector<long double>& rhos) {
  if (auto problem = medium.Validate()) throw InvalidRequest(*problem);
  if (rhos.empty()) throw InvalidRequest({0, "rho", 0, "no source-detector distance was given; give at least one"});
  for (long double rho : rhos) {
    if (auto problem = ValidateDistance(rho)) throw InvalidRequest(*problem);
    if (auto problem = DistanceBeyondTransform(medium, rho)) throw InvalidRequest(*problem);
  }
}

// The increment of mua for the time-gated pathlengths: small enough that what the curve's
// second-order difference leaves, (delta L)^2 / 3 with pathlengths L up to about 1000 mm, stays
// below 1e-6, large enough that the rounding of the layered solution divided by delta L stays
// far below.
constexpr long double kDeltaMua = 1e-6L;
// The moments' fourth-order stencil in mua takes the increment 3e-3 / L for the pathlength
// L = <t> c / n of the curve (about 1e-5/mm at 250 mm): it leaves (3e-3 L'/L)^4 for the longer
// pathlengths L' of the tail, below 1e-8 even where little absorption makes L' some times L,
// and divides the transform's rounding by about ten times less than 1e-6/mm did, which the
// variance's second difference in sigma needs at long distances.
constexpr long double kMomentsMuaTimesPathlength = 3e-3L;

long double MomentsDeltaMua(const DerivedModel& model, long double sigma_step) {
  // sigma_step <t> is one of the two stencil constants, which gives <t> back.
  long double largest_index = 0;
  for (long double n : model.RefrIndex) largest_index = std::max(largest_index, n);
  const long double omega_times_mean =
      CentralStencilServes(model, sigma_step) ? kCentralOmegaTimesMeanTime : kOneSidedOmegaTimesMeanTime;
  const long double pathlength = omega_times_mean / sigma_step * kSpeedOfLight / largest_index;
  return std::isfinite(pathlength) && pathlength > 0 ? kMomentsMuaTimesPathlength / pathlength : kDeltaMua;
}
// Models at mua + j delta, j = 0 ... 4, for the moments' derivatives (one-sided: mua may be 0).
constexpr int kMuaPoints = 5;

// The derivative at 0 from values at 0, delta and 2 delta, to second order.
long double Derivative(long double f0, long double f1, long double f2) {
  return (4.0L * f1 - f2 - 3.0L * f0) / (2.0L * kDeltaMua);
}

Medium WithMuaIncreased(const Medium& medium, std::size_t layer, int steps, long double delta) {
  Medium changed = medium;
  changed.layers[layer].mua += steps * delta;
  return changed;
}

}  // namespace

// A few thousand evaluations per distance: the options' threads are not worth starting.
std::vector<Moments> ModelMoments(const Medium& medium, const std::vector<long double>& rho_mm,
                                  [[maybe_unused]] const ComputeOptions& options) {
  ValidateRequest(medium, rho_mm);
  const DerivedModel model = Derived(medium);
  std::vector<Moments> moments;
  for (long double rho : rho_mm) {
    const CheckedMoments checked = MomentsAt(model, rho);
    CheckMoments(model, rho, checked);
    moments.push_back(checked.raw.InPicoseconds());
  }
  return moments;
}

Moments CurveMoments(std::span<const double> t_ps, std::span<const double> counts,
                     std::optional<std::span<const double>> irf) {
  // The mean and variance of one distribution, (sum n, mean, variance) in extended precision.
  // Two passes about a shifted origin: the raw sums <t^2> - <t>^2 cancel every digit when the
  // times lie far from 0 against their spread (times of 1e12 ps 10 ps apart give a negative
  // variance), and the extended range keeps every product of two doubles finite.
  struct Distribution {
    long double total = 0, mean = 0, variance = 0;
  };
  auto distribution_of = [&](std::span<const double> c, const char* what) {
    if (c.size() != t_ps.size()) {
      throw InvalidRequest({0, what, static_cast<long double>(c.size()),
                            std::string(what) + " has " + std::to_string(c.size()) + " values for " +
                                std::to_string(t_ps.size()) + " times"});
    }
    for (std::size_t i = 0; i < c.size(); ++i) {
      if (!(c[i] >= 0) || !std::isfinite(c[i]) || !std::isfinite(t_ps[i])) {
        throw InvalidRequest({0, what, c[i], std::string(what) + " at " + NumberText(t_ps[i]) + " ps is " +
                                                 NumberText(c[i]) + "; counts must be >= 0 and finite"});
      }
    }
    Distribution d;
    long double origin = 0, shifted = 0;
    bool have_origin = false;
    for (std::size_t i = 0; i < c.size(); ++i) {
      if (c[i] == 0) continue;
      if (!have_origin) origin = t_ps[i], have_origin = true;
      d.total += c[i];
      shifted += c[i] * (static_cast<long double>(t_ps[i]) - origin);
    }
    if (!(d.total > 0)) throw InvalidRequest({0, what, 0, std::string(what) + " holds no counts"});
    d.mean = origin + shifted / d.total;
    long double spread = 0;
    for (std::size_t i = 0; i < c.size(); ++i) {
      const long double deviation = static_cast<long double>(t_ps[i]) - d.mean;
      spread += c[i] * deviation * deviation;
    }
    d.variance = spread / d.total;
    return d;
  };
  const Distribution curve = distribution_of(counts, "counts");
  long double mean = curve.mean, variance = curve.variance;
  if (irf) {
    const Distribution instrument = distribution_of(*irf, "irf");
    mean -= instrument.mean;
    variance -= instrument.variance;
  }
  // What the double of the result cannot hold is refused rather than returned as inf.
  auto fits = [](long double exact, const char* name, const char* unit) {
    if (!std::isfinite(static_cast<double>(exact))) {
      throw InvalidRequest({0, "counts", exact,
                            std::string("the curve's ") + name + " is " + NumberText(exact) + unit +
                                ", beyond the range of a double; give the times or counts in a larger unit"});
    }
    return static_cast<double>(exact);
  };
  return {fits(curve.total, "total", ""), fits(mean, "mean time", " ps"), fits(variance, "variance", " ps^2")};
}

Sensitivities Sensitivity(const Medium& medium, long double rho_mm, const TimeGrid& grid, const ComputeOptions& options,
                          bool time_gated) {
  if (auto problem = grid.Validate()) throw InvalidRequest(*problem);
  const std::vector<long double> rhos = {rho_mm};
  ValidateRequest(medium, rhos);
  const DerivedModel base_model = Derived(medium);
  // One step for every perturbed model, so that the differences see the same expansion.
  const CheckedMoments checked = MomentsAt(base_model, rho_mm);
  CheckMoments(base_model, rho_mm, checked);
  const HankelPlan plan = checked.plan.plan;
  const long double h = checked.h;
  const long double moments_delta = MomentsDeltaMua(base_model, h);
  // The curves on the period the base curve fades within (core/period.h), the derivatives' too.
  PeriodicCurve periodic;
  if (time_gated) {
    periodic = std::move(CurvesOnLongEnoughPeriod(rhos, grid, [&](std::span<const long double> r,
                                                                  std::span<const long double> o) {
      return ComputeSpectrum(base_model, r, o, options.threads, 1 << 30, options.stop);
    })[0]);
  }
  const std::vector<long double>& omegas = periodic.omegas;
  auto spectrum_of = [&](const Medium& m) { return SpectrumAt(Derived(m), rhos, omegas, options.threads, options.stop); };
  const Raw& base_raw = checked.raw;
  const long double term = TermRounding(checked.plan);
  // The estimated absolute errors of each layer's values and the sums of their magnitudes over
  // the layers: a deep layer's small share is judged against the whole medium's, not its own.
  std::vector<long double> mpp_error, mtsf_error, vsf_error;
  long double mpp_scale = 0, mtsf_scale = 0, vsf_scale = 0;

  Sensitivities result;
  result.moments = base_raw.InPicoseconds();
  const std::size_t samples = time_gated ? static_cast<std::size_t>(grid.samples / 2) : 0;
  for (std::size_t i = 0; i < samples; ++i) result.t_ps.push_back(static_cast<double>(i + 1) * grid.dt_ps);
  const Spectrum& base = periodic.spectrum;
  const std::vector<double>& curve = periodic.samples;

  const std::size_t layers = medium.layers.size();
  result.gated.resize(layers * samples);
  const long double m0 = base_raw.m0, mean = base_raw.m1 / base_raw.m0;
  for (std::size_t k = 0; k < layers; ++k) {
    if (options.stop.stop_requested()) throw Cancelled();
    std::vector<Medium> changed;
    std::vector<DerivedModel> models = {base_model};
    for (int j = 1; j < kMuaPoints; ++j) {
      changed.push_back(WithMuaIncreased(medium, k, j, kDeltaMua));
      models.push_back(Derived(WithMuaIncreased(medium, k, j, moments_delta)));
    }
    // The derivatives of the raw moments, every difference formed point by point.
    const StencilSums sums = PointSums(models, rho_mm, h, plan);
    long double offsets[kMuaPoints], weights[kMuaPoints], unused[kMuaPoints];
    for (int m = 0; m < kMuaPoints; ++m) offsets[m] = moments_delta * static_cast<long double>(m);
    DerivativeWeights(offsets, kMuaPoints, weights, unused);
    const int o = sums.origin();
    long double g[kStencilPoints] = {};
    long double dm0 = 0;
    for (int m = 0; m < kMuaPoints; ++m) {
      dm0 += weights[m] * sums.f[m][o];
      for (int j = 0; j < kStencilPoints; ++j) g[j] += weights[m] * (sums.f[m][j] - sums.f[m][o]);
    }
    long double dm1, dm2;
    Stencil(sums, g, dm1, dm2);
    const long double dmean = dm1 / m0 - base_raw.m1 * dm0 / (m0 * m0);
    const long double dvariance = dm2 / m0 - base_raw.m2 * dm0 / (m0 * m0) - 2.0L * mean * dmean;
    {
      // The same differences of the terms' rounding, each difference at most the sum of its
      // parts' errors; the base moments' own errors enter through their products.
      long double e[kStencilPoints] = {};
      long double e_dm0 = 0;
      for (int m = 0; m < kMuaPoints; ++m) {
        e_dm0 += std::fabs(weights[m]) * term * sums.f_magnitude[m][o];
        for (int j = 0; j < kStencilPoints; ++j) {
          e[j] += std::fabs(weights[m]) * term * (sums.f_magnitude[m][j] + sums.f_magnitude[m][o]);
        }
      }
      long double e_dm1, e_dm2;
      StencilError(sums, e, e_dm1, e_dm2);
      const long double rel0 = checked.relative.m0;
      const long double m0 = std::fabs(base_raw.m0);
      const long double e_mpp = e_dm0 / m0 + std::fabs(dm0 / m0) * rel0;
      const long double e_mean = checked.relative.m1 * std::fabs(mean);
      const long double e_dmean = e_dm1 / m0 + std::fabs(dm1 / m0) * rel0 + std::fabs(base_raw.m1 / m0) * (e_mpp + std::fabs(dm0 / m0) * rel0) +
                                  e_mean * std::fabs(dm0 / m0);
      const long double e_dvariance = e_dm2 / m0 + std::fabs(dm2 / m0) * rel0 +
                                      std::fabs(base_raw.m2 / m0) * (e_mpp + 2.0L * std::fabs(dm0 / m0) * rel0) +
                                      2.0L * (std::fabs(mean) * e_dmean + e_mean * std::fabs(dmean));
      mpp_error.push_back(e_mpp), mtsf_error.push_back(e_dmean), vsf_error.push_back(e_dvariance);
      mpp_scale += std::fabs(dm0 / m0), mtsf_scale += std::fabs(dmean), vsf_scale += std::fabs(dvariance);
    }
    result.mpp.push_back(static_cast<double>(-dm0 / m0));
    result.mtsf.push_back(static_cast<double>(dmean * 1e12L));
    result.vsf.push_back(static_cast<double>(dvariance * 1e24L));
    if (!time_gated) continue;
    const Spectrum once = spectrum_of(changed[0]);
    const Spectrum twice = spectrum_of(changed[1]);
    // The derivative of the curve is the transform of the derivative of the spectrum, formed in
    // extended precision before the double transform: differences of two transformed curves
    // would lose their last digits, and with them the small pathlengths of deep layers.
    Spectrum slope = base;
    for (std::size_t j = 0; j < slope.values.size(); ++j) {
      const ComplexExt &f0 = base.values[j], &f1 = once.values[j], &f2 = twice.values[j];
      slope.values[j] = {Derivative(f0.re, f1.re, f2.re), Derivative(f0.im, f1.im, f2.im)};
    }
    const std::vector<double> curve_slope = SynthesizeSamples(slope, omegas, periodic.grid.samples)[0];
    for (std::size_t i = 0; i < samples; ++i) {
      result.gated[k * samples + i] =
          static_cast<double>(-ScaleSample(curve_slope[i + 1], grid) / ScaleSample(curve[i + 1], grid));
    }
  }
  // The mean partial pathlengths keep the total's limit. The mean time's and the variance's
  // sensitivities are differences of second and third order: they are held to the accuracy the
  // library has stated for them against differences of the curves' moments, 1e-4 and 1e-3
  // (docs/engines.md). Their estimate is the transform's rounding carried through the stencils;
  // against the half-space's closed forms it ran up to 2.3 times below the actual error of the
  // variance's sensitivity at 50 mm (mus' 3/mm), so a returned value may miss by that factor. No
  // longest distance is named: finding it would take a dozen runs of every layer's stencils.
  for (std::size_t k = 0; k < layers; ++k) {
    const long double errors[3] = {mpp_error[k] / mpp_scale, mtsf_error[k] / mtsf_scale, vsf_error[k] / vsf_scale};
    const long double limits[3] = {kValueRoundingLimit, 1e-4L, 1e-3L};
    const char* names[3] = {"the mean partial pathlengths", "the mean time's sensitivities", "the variance's sensitivities"};
    for (int q = 0; q < 3; ++q) {
      if (errors[q] <= limits[q]) continue;
      throw InvalidRequest(RoundingProblem(rho_mm, Kappa(checked.plan), names[q], errors[q], limits[q], nullptr));
    }
  }
  return result;
}

}  // namespace nlayer
