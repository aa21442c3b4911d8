// Fits a noise-free curve of known absorption through the installed fitting library: the
// library's own one-layer curve on 10 ps bins, seen through an instrument response that is a
// single bin at t = 0, so that the measured counts are the curve times a known amplitude.
#include <cmath>
#include <cstdio>
#include <vector>

#include <nlayer/fit.h>
#include <nlayer/nlayer.h>

int main() {
  constexpr double kMua = 0.01, kAmplitude = 1e11, kBinPs = 10;
  const nlayer::Medium truth{{{1.0L, kMua, 1.4L, 10.0L}}};
  const nlayer::TimeCurves curves = nlayer::TimeResolved(truth, {20.0L});  // t = 10 ... 5120 ps

  nlayer::MeasuredCurve curve;
  for (std::size_t i = 0; i < 400; ++i) {
    curve.t_ps.push_back(kBinPs * static_cast<double>(i));
    // Before the light arrives the transform leaves rounding noise around zero; counts are >= 0.
    curve.counts.push_back(i == 0 ? 0.0 : std::fmax(0.0, kAmplitude * curves.Curve(0)[i - 1] * kBinPs));
    curve.irf.push_back(i == 0 ? 1.0 : 0.0);
  }
  curve.rho_mm = 20.0L;
  const nlayer::Medium start{{{1.0L, 0.02L, 1.4L, 10.0L}}};  // mua starts twice too high
  nlayer::FitOptions options;
  options.compute.threads = 2;

  const nlayer::FitResult result = nlayer::FitCurve(curve, start, {{"mua1"}}, options);
  const nlayer::FitEstimate* mua = result.Find("mua1");
  const nlayer::FitEstimate* amplitude = result.Find("amplitude");
  if (mua == nullptr || amplitude == nullptr) return 1;
  std::printf("nlayer %s fit: mua1 = %.7g (true %g), amplitude = %.7g (true %g), %s\n", nlayer::Version(),
              mua->value, kMua, amplitude->value, kAmplitude, result.message.c_str());
  // The fast engine's eight digits and a sub-bin shift leave far less than 1e-4 of either.
  const bool recovered = std::fabs(mua->value / kMua - 1) < 1e-4 && std::fabs(amplitude->value / kAmplitude - 1) < 1e-4;
  return result.success && recovered ? 0 : 1;
}
