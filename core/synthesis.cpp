#include "core/synthesis.h"

#include "core/real_fft.h"

namespace nlayer {

namespace {

constexpr long double kTwoPi = 6.283185307179586477L;
constexpr long double kFrequencyStepNumerator = 1e8L;  // 1e8 / 1.024 Hz = 97.65625 MHz
constexpr long double kFrequencyStepDivisor = 1.024L;  // for 1024 samples of 10 ps
constexpr long double kWindowSpanPs = 10240.0L;

}  // namespace

std::vector<long double> GridOmegas(const TimeGrid& grid) {
  // For the window's grid the span ratio is exactly 1, so the divisor is exactly 1.024.
  const long double span_ratio = (static_cast<long double>(grid.samples) * grid.dt_ps) / kWindowSpanPs;
  const long double divisor = kFrequencyStepDivisor * span_ratio;
  std::vector<long double> omegas(static_cast<std::size_t>(grid.samples / 2 + 1));
  for (std::size_t k = 0; k < omegas.size(); ++k) {
    omegas[k] = ((static_cast<long double>(k) * kTwoPi) * kFrequencyStepNumerator) / divisor;
  }
  return omegas;
}

double FrequencyHz(long double omega) { return static_cast<double>(omega / kTwoPi); }

void ThrowFrequencyFault(const Spectrum& spectrum, std::span<const long double> omegas) {
  const int k = spectrum.first_fault;
  throw ModelError(spectrum.fault, FaultStage::kFrequency, k, FrequencyHz(omegas[k]));
}

std::vector<std::vector<double>> SynthesizeSamples(const Spectrum& spectrum,
                                                   std::span<const long double> omegas, int samples) {
  const int half = samples / 2;
  std::vector<std::vector<double>> a(spectrum.distances, std::vector<double>(static_cast<std::size_t>(samples)));
  // Pack the half spectrum in frequency order, so a fault is met where a sequential run meets
  // it. Conjugating makes the inverse transform sum R(k) exp(+2 pi i j k / samples).
  for (int k = 0; k <= half; ++k) {
    if (k == spectrum.first_fault) ThrowFrequencyFault(spectrum, omegas);
    for (std::size_t r = 0; r < spectrum.distances; ++r) {
      const ComplexExt& v = spectrum.At(static_cast<std::size_t>(k), r);
      double* const out = a[r].data();
      const FaultKind fault = RunChecked([&] {
        if (k < half) {
          out[2 * k] = static_cast<double>(v.re);
          out[2 * k + 1] = static_cast<double>(-v.im);
        } else {
          out[1] = static_cast<double>(v.re);  // the Nyquist term overwrites -Im R(0)
        }
      });
      if (fault != FaultKind::kNone) throw ModelError(fault, FaultStage::kTransform, k, FrequencyHz(omegas[k]));
    }
  }
  for (auto& samples_of_distance : a) {
    const FaultKind fault = RunChecked([&] { RealFFT(samples_of_distance.data(), half, -1); });
    if (fault != FaultKind::kNone) throw ModelError(fault, FaultStage::kTransform, -1, 0.0);
  }
  return a;
}

long double ScaleSample(double a, const TimeGrid& grid) {
  return ((0.001L * static_cast<long double>(a)) * (2000.0L / static_cast<long double>(grid.dt_ps))) /
         static_cast<long double>(grid.samples);
}

}  // namespace nlayer
