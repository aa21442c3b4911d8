// Curves on a period long enough not to fold.
//
// The inverse FFT returns the curve summed over its period: sample t holds R(t) + R(t + P) +
// R(t + 2P) + ... A slow curve (little absorption, a long distance) has not faded after the
// grid's period P = samples dt, and what it still carries there lands on its start. The library
// therefore computes each distance on the shortest period, the request's times a power of two,
// after which that part is below kFoldTarget of the curve's peak, and returns the requested
// samples of it.
#pragma once

#include <functional>
#include <span>
#include <vector>

#include "core/spectrum.h"
#include "nlayer/reflectance.h"

namespace nlayer {

// The folded part, relative to the peak, that a period is computed to stay below: nine digits of
// the peak, four decades below the limit at which a curve is refused.
inline constexpr long double kFoldTarget = 1e-9L;
// The longest period is this many samples: its spectrum and samples take about 100 MB for each
// distance, and at 10 ps it spans 42 microseconds.
inline constexpr int kMostPeriodSamples = 1 << 22;

// One distance's curve on the grid it was computed on.
struct PeriodicCurve {
  TimeGrid grid;                     // the request's dt; samples the request's times a power of two
  std::vector<long double> omegas;   // GridOmegas(grid)
  Spectrum spectrum;                 // this distance alone, at `omegas`
  std::vector<double> samples;       // every sample of the period, unscaled (SynthesizeSamples)
  long double peak = 0;              // the largest |sample|
  // A bound of what the period's end folds onto any sample, unscaled (FoldBound). Past its
  // peak a curve falls, so what it still holds after P is at most what the period's last
  // samples hold: R(P) + R(2P) + ... <= R(P - e) + R(2P - e) + ... = sample(P - e).
  long double fold = 0;
};

// Computes the spectrum of the distances `rhos` at the ascending angular frequencies `omegas`.
// A fault is returned in the spectrum (first_fault), not thrown.
using SpectrumSource = std::function<Spectrum(std::span<const long double> rhos, std::span<const long double> omegas)>;

// The curve of every distance, each on the shortest period from `grid`'s up, doubling, whose
// fold is within kFoldTarget of its peak or within the transform's rounding of a sample, or on
// kMostPeriodSamples samples where none within either is. A longer grid reuses every frequency
// of the shorter one (its even frequencies are the same numbers) and computes only the new ones;
// a distance's period and values depend on the other distances of the call only through the
// rule they share (PlanTransforms). Faults are thrown as SynthesizeSamples throws them.
std::vector<PeriodicCurve> CurvesOnLongEnoughPeriod(std::span<const long double> rhos, const TimeGrid& grid,
                                                   const SpectrumSource& compute);

// The fold bound of `samples` (a whole period, unscaled): the largest magnitude of the smoothed
// samples from 1/16 to 1/32 of the period before its end.
long double FoldBound(std::span<const double> samples);

}  // namespace nlayer
