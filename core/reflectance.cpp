#include "nlayer/reflectance.h"

#include <algorithm>
#include <cmath>

#include "core/accuracy.h"
#include "core/derived_model.h"
#include "core/fast/fast_engine.h"
#include "core/number_text.h"
#include "core/period.h"
#include "core/spectrum.h"
#include "core/synthesis.h"

namespace nlayer {

namespace {

Spectrum ComputeAt(const DerivedModel& model, const std::vector<long double>& rho_mm, const std::vector<long double>& omegas,
                   const ComputeOptions& options) {
  if (options.engine == Engine::kFast) {
    // A spectrum the double arithmetic could not compute cleanly comes from the exact engine,
    // which also names the fault if there is one.
    if (std::optional<Spectrum> fast = ComputeSpectrumFast(model, rho_mm, omegas, options.threads, options.stop)) {
      return *fast;
    }
  }
  return ComputeSpectrum(model, rho_mm, omegas, options.threads, 1 << 30, options.stop);
}

}  // namespace

std::optional<ModelProblem> TimeGrid::Validate() const {
  if (!(dt_ps > 0) || !std::isfinite(dt_ps)) {
    return ModelProblem{0, "dt_ps", dt_ps, "dt_ps is " + NumberText(dt_ps) + "; it must be > 0 and finite (ps)"};
  }
  // The grid's frequencies reach 1 / (2 dt): the same limit as any frequency of the model.
  if (dt_ps < 0.5) {
    return ModelProblem{0, "dt_ps", dt_ps,
                        "dt_ps is " + NumberText(dt_ps) +
                            "; the curve's frequencies reach 1/(2 dt), at most 1e12 Hz, so dt must be >= 0.5 ps"};
  }
  if (samples < 16 || samples > 65536 || (samples & (samples - 1)) != 0) {
    return ModelProblem{0, "samples", static_cast<long double>(samples),
                        "samples is " + std::to_string(samples) + "; it must be a power of two from 16 to 65536"};
  }
  return std::nullopt;
}

TimeCurves TimeResolved(const Medium& medium, const std::vector<long double>& rho_mm, const TimeGrid& grid,
                        const ComputeOptions& options) {
  if (auto problem = grid.Validate()) throw InvalidRequest(*problem);
  CheckRequest(medium, rho_mm);
  const DerivedModel model = DeriveChecked(medium);
  const std::vector<PeriodicCurve> periodic =
      CurvesOnLongEnoughPeriod(rho_mm, grid, [&](std::span<const long double> rhos, std::span<const long double> omegas) {
        return ComputeAt(model, {rhos.begin(), rhos.end()}, {omegas.begin(), omegas.end()}, options);
      });

  TimeCurves curves;
  const std::size_t half = static_cast<std::size_t>(grid.samples / 2);
  curves.rho_mm = rho_mm;
  curves.t_ps.resize(half);
  for (std::size_t i = 0; i < half; ++i) curves.t_ps[i] = static_cast<double>(i + 1) * grid.dt_ps;
  curves.reflectance.resize(rho_mm.size() * half);
  for (std::size_t r = 0; r < rho_mm.size(); ++r) {
    double* const out = curves.reflectance.data() + r * half;
    const PeriodicCurve& curve = periodic[r];
    const FaultKind fault = RunChecked([&] {
      for (std::size_t i = 0; i < half; ++i) out[i] = static_cast<double>(ScaleSample(curve.samples[i + 1], curve.grid));
    });
    if (fault != FaultKind::kNone) throw ModelError(fault, FaultStage::kOutput, -1, 0.0);
  }
  // A curve whose rounding or fold would show is refused, not returned.
  curves.rounding.resize(rho_mm.size());
  for (std::size_t r = 0; r < rho_mm.size(); ++r) {
    // The peak of the whole period: a window that ends before the light arrives holds nothing
    // but rounding, which is then small next to the curve, not next to the window.
    const PeriodicCurve& curve = periodic[r];
    long double peak = ScaleSample(static_cast<double>(curve.peak), curve.grid);
    for (double v : curves.Curve(r)) peak = std::max(peak, static_cast<long double>(std::fabs(v)));
    const TransformPlan& plan = curve.spectrum.plans.front();
    if (auto problem = TruncationProblem(model, rho_mm[r], plan)) throw InvalidRequest(*problem);
    if (auto problem = CurveAccuracyProblem(model, rho_mm[r], plan, peak, curve.grid)) throw InvalidRequest(*problem);
    const long double fold = ScaleSample(static_cast<double>(curve.fold), curve.grid);
    if (auto problem = FoldProblem(rho_mm[r], fold, peak, curve.grid)) throw InvalidRequest(*problem);
    curves.rounding[r] = plan.measured ? static_cast<double>(CurveRounding(plan, curve.grid) + fold) : std::nan("");
  }
  return curves;
}

FrequencySpectra FrequencyDomain(const Medium& medium, const std::vector<long double>& rho_mm,
                                 const std::vector<double>& f_hz, const ComputeOptions& options) {
  const std::vector<long double> omegas = CheckedFrequencyRequest(medium, rho_mm, f_hz);
  FrequencySpectra spectra;
  spectra.f_hz = f_hz;
  spectra.rho_mm = rho_mm;
  if (f_hz.empty()) return spectra;
  const DerivedModel model = DeriveChecked(medium);
  const Spectrum spectrum = ComputeAt(model, rho_mm, omegas, options);
  if (spectrum.first_fault >= 0) {
    const int k = spectrum.first_fault;
    throw ModelError(spectrum.fault, FaultStage::kFrequency, k, f_hz[static_cast<std::size_t>(k)]);
  }
  spectra.rounding.resize(rho_mm.size());
  for (std::size_t r = 0; r < rho_mm.size(); ++r) {
    const TransformPlan& plan = spectrum.plans[r];
    if (auto problem = ValueAccuracyProblem(model, rho_mm[r], plan)) throw InvalidRequest(*problem);
    spectra.rounding[r] = plan.measured ? static_cast<double>(plan.ValueError()) : std::nan("");
  }
  spectra.values.resize(rho_mm.size() * f_hz.size());
  for (std::size_t r = 0; r < rho_mm.size(); ++r) {
    for (std::size_t k = 0; k < f_hz.size(); ++k) {
      const ComplexExt& v = spectrum.At(k, r);
      spectra.values[r * f_hz.size() + k] = {static_cast<double>(v.re), static_cast<double>(v.im)};
    }
  }
  return spectra;
}

std::vector<double> ContinuousWave(const Medium& medium, const std::vector<long double>& rho_mm,
                                   const ComputeOptions& options) {
  const FrequencySpectra spectra = FrequencyDomain(medium, rho_mm, {0.0}, options);
  std::vector<double> cw(rho_mm.size());
  for (std::size_t r = 0; r < rho_mm.size(); ++r) cw[r] = spectra.At(r, 0).real();
  return cw;
}

const char* Version() { return NLAYER_VERSION; }

}  // namespace nlayer
