// From a spectrum to time samples: the half spectrum of each distance packed as the input of
// one inverse real FFT, and the frequencies of a time grid.
#pragma once

#include <vector>

#include "core/spectrum.h"
#include "nlayer/reflectance.h"

namespace nlayer {

// The angular frequencies 2 pi k / (samples dt), k = 0 ... samples/2, in rad/s, formed as
// ((k 2 pi) 1e8) / (1.024 (samples dt / 10240 ps)) so that the window's grid gives exactly the
// frequencies of its run.
std::vector<long double> GridOmegas(const TimeGrid& grid);

// The frequency in Hz of angular frequency `omega`.
double FrequencyHz(long double omega);

// Throws the ModelError of a fault at frequency `k` (stage kFrequency, or kDerivation for
// what the frequencies share at k = 0 is reported as frequency 0 as well).
[[noreturn]] void ThrowFrequencyFault(const Spectrum& spectrum, std::span<const long double> omegas);

// The unscaled samples of every distance: a[j] = (Re R(0) + (-1)^j Re R(n)) / 2
// + sum_{k=1}^{n-1} Re(R(k) exp(+2 pi i j k / samples)), j = 0 ... samples-1, with n = samples/2
// and the spectrum's frequencies those of GridOmegas. Frequencies are packed in ascending
// order, each rounded to a double in a checked step; a fault of the spectrum at frequency k is
// thrown (ModelError, kFrequency) once the frequencies below k are packed, a fault of the
// packing or of the transform as ModelError, kTransform.
std::vector<std::vector<double>> SynthesizeSamples(const Spectrum& spectrum,
                                                   std::span<const long double> omegas, int samples);

// The factor 2 delta f = 2 / (samples dt) in 1/ps that turns a sample into mm^-2 ps^-1, applied
// as ((0.001 a) (2000 / dt)) / samples in extended precision.
long double ScaleSample(double a, const TimeGrid& grid);

}  // namespace nlayer
