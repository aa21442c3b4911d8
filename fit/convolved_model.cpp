#include "fit/convolved_model.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/period.h"
#include "core/real_fft.h"

namespace nlayer::fit {

namespace {

// RealFFT's forward transform uses exp(+2 pi i j k / N), the conjugate of the usual DFT of a
// real sequence, and its inverse expects that layout: the spectra here are kept in the usual
// convention and conjugated on the way in and out.
constexpr double kTwoPi = 2.0 * std::numbers::pi;

}  // namespace

ConvolvedModel::ConvolvedModel(std::span<const double> irf, double dt_ps, int samples)
    : samples_(samples), dt_ps_(dt_ps), irf_spectrum_(static_cast<std::size_t>(samples / 2 + 1)) {
  double area = 0;
  for (double c : irf) area += c;
  std::vector<double> data(static_cast<std::size_t>(samples), 0.0);
  for (std::size_t j = 0; j < irf.size(); ++j) data[j] = irf[j] / area;
  const int half = samples / 2;
  RealFFT(data.data(), half, +1);
  irf_spectrum_[0] = data[0];
  irf_spectrum_[static_cast<std::size_t>(half)] = data[1];
  for (int k = 1; k < half; ++k) {
    irf_spectrum_[static_cast<std::size_t>(k)] = {data[2 * k], -data[2 * k + 1]};
  }
}

std::vector<double> ConvolvedModel::FrequenciesHz(int count) const {
  std::vector<double> f(static_cast<std::size_t>(count));
  const double period_s = static_cast<double>(samples_) * dt_ps_ * 1e-12;
  for (int k = 0; k < count; ++k) f[static_cast<std::size_t>(k)] = k / period_s;
  return f;
}

void ConvolvedModel::Synthesize(std::span<const std::complex<double>> spectrum, double amplitude, double shift_ps,
                                bool derivative, std::span<double> out) const {
  const int half = samples_ / 2;
  const std::size_t count = std::min(spectrum.size(), irf_spectrum_.size());
  std::vector<double> data(static_cast<std::size_t>(samples_), 0.0);
  const double period_ps = static_cast<double>(samples_) * dt_ps_;
  for (std::size_t k = 0; k < count; ++k) {
    // Delay by the shift: exp(-2 pi i f shift); its derivative brings down -2 pi i f.
    const double phase = -kTwoPi * static_cast<double>(k) / period_ps * shift_ps;
    std::complex<double> y = amplitude * irf_spectrum_[k] * spectrum[k] * std::polar(1.0, phase);
    if (derivative) y *= std::complex<double>(0.0, -kTwoPi * static_cast<double>(k) / period_ps);
    if (k == 0) {
      data[0] = y.real();
    } else if (static_cast<int>(k) == half) {
      data[1] = y.real();
    } else {
      data[2 * k] = y.real();
      data[2 * k + 1] = -y.imag();
    }
  }
  RealFFT(data.data(), half, -1);
  // RealFFT's inverse is half * the exact one; the exact inverse of the DFT divides by samples.
  const double scale = 1.0 / static_cast<double>(half);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = data[i] * scale;
}

void ConvolvedModel::Counts(std::span<const std::complex<double>> spectrum, double amplitude, double shift_ps,
                            std::span<double> out, std::span<double> d_shift) const {
  Synthesize(spectrum, amplitude, shift_ps, false, out);
  if (!d_shift.empty()) Synthesize(spectrum, amplitude, shift_ps, true, d_shift);
}

double ConvolvedModel::TruncationBound(std::span<const std::complex<double>> full_spectrum, int count) const {
  std::vector<double> curve(static_cast<std::size_t>(samples_));
  Synthesize(full_spectrum, 1.0, 0.0, false, curve);
  const double peak = *std::max_element(curve.begin(), curve.end());
  double tail = 0;
  for (std::size_t k = static_cast<std::size_t>(count); k < irf_spectrum_.size() && k < full_spectrum.size(); ++k) {
    tail += std::abs(irf_spectrum_[k] * full_spectrum[k]);
  }
  return 2.0 * tail / static_cast<double>(samples_) / peak;
}

double ConvolvedModel::FoldPart(std::span<const std::complex<double>> full_spectrum) const {
  std::vector<double> curve(static_cast<std::size_t>(samples_));
  Synthesize(full_spectrum, 1.0, 0.0, false, curve);
  double peak = 0;
  for (double v : curve) peak = std::max(peak, std::fabs(v));
  return peak > 0 ? static_cast<double>(FoldBound(curve)) / peak : 0.0;
}

int ConvolvedModel::FrequenciesNeeded(std::span<const std::complex<double>> full_spectrum, double tolerance) const {
  const int all = static_cast<int>(std::min(full_spectrum.size(), irf_spectrum_.size()));
  std::vector<double> curve(static_cast<std::size_t>(samples_));
  Synthesize(full_spectrum, 1.0, 0.0, false, curve);
  const double peak = *std::max_element(curve.begin(), curve.end());
  const double allowed = tolerance * peak * static_cast<double>(samples_) / 2.0;
  double tail = 0;
  int count = all;
  while (count > 1) {
    const double term = std::abs(irf_spectrum_[static_cast<std::size_t>(count - 1)] *
                                 full_spectrum[static_cast<std::size_t>(count - 1)]);
    if (tail + term > allowed) break;
    tail += term;
    --count;
  }
  return count;
}

}  // namespace nlayer::fit
