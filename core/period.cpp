#include "core/period.h"

#include <algorithm>
#include <cmath>

#include "core/synthesis.h"

namespace nlayer {

namespace {

// Distance r of a spectrum of several distances, as a spectrum of its own.
Spectrum DistanceOf(const Spectrum& all, std::size_t r) {
  Spectrum one = ZeroSpectrum(1, all.frequencies);
  for (std::size_t k = 0; k < all.frequencies; ++k) one.values[k] = all.At(k, r);
  one.first_fault = all.first_fault;
  one.fault = all.fault;
  if (r < all.plans.size()) one.plans = {all.plans[r]};
  return one;
}

// The spectrum on twice the period: the old frequencies at the even places, the new ones
// (`odd`, distance r of it) between them. A fault of either is kept at its new place.
Spectrum Interleaved(const Spectrum& old, const Spectrum& odd, std::size_t r) {
  Spectrum merged = ZeroSpectrum(1, 2 * old.frequencies - 1);
  for (std::size_t j = 0; j < old.frequencies; ++j) merged.values[2 * j] = old.values[j];
  for (std::size_t j = 0; j < odd.frequencies; ++j) merged.values[2 * j + 1] = odd.At(j, r);
  // A distance that shared a longer companion's panels may take its own rule for the new
  // frequencies; the curve is stated with the larger of the two roundings.
  merged.plans = old.plans;
  if (r < odd.plans.size() && !merged.plans.empty() &&
      odd.plans[r].RoundingError() > merged.plans.front().RoundingError()) {
    merged.plans = {odd.plans[r]};
  }
  const int from_old = old.first_fault >= 0 ? 2 * old.first_fault : -1;
  const int from_odd = odd.first_fault >= 0 ? 2 * odd.first_fault + 1 : -1;
  if (from_old >= 0 && (from_odd < 0 || from_old < from_odd)) {
    merged.first_fault = from_old;
    merged.fault = old.fault;
  } else if (from_odd >= 0) {
    merged.first_fault = from_odd;
    merged.fault = odd.fault;
  }
  return merged;
}

void Measure(PeriodicCurve& curve) {
  curve.peak = 0;
  for (double v : curve.samples) curve.peak = std::max(curve.peak, static_cast<long double>(std::fabs(v)));
  curve.fold = FoldBound(curve.samples);
}

// What the transform's rounding leaves in an unscaled sample: the sum of samples/2 + 1
// frequencies, each with the plan's rounding. A fold below it cannot be told from it.
long double SampleRounding(const PeriodicCurve& curve) {
  const TransformPlan& plan = curve.spectrum.plans.front();
  const long double rounding = plan.measured ? plan.RoundingError() * (curve.grid.samples / 2 + 1) : 0.0L;
  return std::isfinite(rounding) ? rounding : 0.0L;
}

bool FoldsTooMuch(const PeriodicCurve& curve) {
  return curve.fold > std::max(kFoldTarget * curve.peak, SampleRounding(curve)) &&
         curve.grid.samples < kMostPeriodSamples;
}

}  // namespace

long double FoldBound(std::span<const double> samples) {
  // A curve that rises within a few samples leaves the grid's band, and the inverse transform
  // rings before its start, at the period's end, with a sign that alternates from sample to
  // sample. The binomial filter (1 8 28 56 70 56 28 8 1) / 256 passes the smooth tail and takes
  // that ringing down by the eighth power of cos(pi f dt), and the window keeps clear of the
  // last 32nd of the period, where the ringing is strongest.
  static constexpr long double kBinomial[9] = {1, 8, 28, 56, 70, 56, 28, 8, 1};
  const std::size_t n = samples.size();
  const std::size_t first = n - std::max<std::size_t>(1, n / 16);
  const std::size_t end = std::max(first + 1, n - n / 32);
  long double bound = 0;
  for (std::size_t j = first; j < end; ++j) {
    long double smooth = 0;
    for (std::size_t q = 0; q < 9; ++q) smooth += kBinomial[q] * samples[(j + n + q - 4) % n];
    bound = std::max(bound, std::fabs(smooth / 256.0L));
  }
  return bound;
}

std::vector<PeriodicCurve> CurvesOnLongEnoughPeriod(std::span<const long double> rhos, const TimeGrid& grid,
                                                   const SpectrumSource& compute) {
  std::vector<PeriodicCurve> curves(rhos.size());
  {
    // The request's own grid first, all distances in one call and one synthesis, so that its
    // faults are met and named as they always were.
    const std::vector<long double> omegas = GridOmegas(grid);
    const Spectrum all = compute(rhos, omegas);
    std::vector<std::vector<double>> samples = SynthesizeSamples(all, omegas, grid.samples);
    for (std::size_t r = 0; r < rhos.size(); ++r) {
      PeriodicCurve& curve = curves[r];
      curve.grid = grid;
      curve.omegas = omegas;
      curve.spectrum = DistanceOf(all, r);
      curve.samples = std::move(samples[r]);
      Measure(curve);
    }
  }
  // The distances still folding have all doubled alike so far, so they share a grid.
  for (;;) {
    std::vector<std::size_t> longer;
    for (std::size_t r = 0; r < curves.size(); ++r) {
      if (FoldsTooMuch(curves[r])) longer.push_back(r);
    }
    if (longer.empty()) break;
    const TimeGrid doubled{grid.dt_ps, curves[longer.front()].grid.samples * 2};
    const std::vector<long double> omegas = GridOmegas(doubled);
    std::vector<long double> odd_omegas;
    for (std::size_t k = 1; k < omegas.size(); k += 2) odd_omegas.push_back(omegas[k]);
    std::vector<long double> odd_rhos;
    for (std::size_t r : longer) odd_rhos.push_back(rhos[r]);
    const Spectrum odd = compute(odd_rhos, odd_omegas);
    for (std::size_t i = 0; i < longer.size(); ++i) {
      PeriodicCurve& curve = curves[longer[i]];
      curve.grid = doubled;
      curve.omegas = omegas;
      curve.spectrum = Interleaved(curve.spectrum, odd, i);
      curve.samples = std::move(SynthesizeSamples(curve.spectrum, omegas, doubled.samples)[0]);
      Measure(curve);
    }
  }
  return curves;
}

}  // namespace nlayer
