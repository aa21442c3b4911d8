// Three distances and a 100 MHz amplitude and phase from the nlayer library.
#include <cmath>
#include <complex>
#include <cstdio>

#include <nlayer/nlayer.h>

int main() {
  const nlayer::Medium head{{
      {1.0, 0.01, 1.4, 5.0},   // scalp: mus' 1/mm, mua 1/mm, n, d mm
      {2.0, 0.03, 1.4, 15.0},  // below it
  }};
  try {
    const nlayer::TimeCurves curves = nlayer::TimeResolved(head, {10, 20, 30});
    for (std::size_t r = 0; r < curves.rho_mm.size(); ++r) {
      const auto curve = curves.Curve(r);
      std::size_t peak = 0;
      for (std::size_t i = 1; i < curve.size(); ++i) peak = curve[i] > curve[peak] ? i : peak;
      std::printf("rho %2.0Lf mm: peak %.4g /mm^2/ps at %.0f ps\n", curves.rho_mm[r], curve[peak], curves.t_ps[peak]);
    }
    const nlayer::FrequencySpectra fd = nlayer::FrequencyDomain(head, {30}, {100e6});
    const std::complex<double> r = fd.At(0, 0);
    std::printf("rho 30 mm, 100 MHz: amplitude %.4g /mm^2, phase lag %.4f rad\n", std::abs(r), -std::arg(r));
  } catch (const nlayer::InvalidRequest& e) {  // a value that makes no sense, named
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  } catch (const nlayer::ModelError& e) {  // a floating-point fault of the model
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
