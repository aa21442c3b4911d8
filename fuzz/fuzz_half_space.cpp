// The accuracy of the transform at any distance: the bytes choose a half-space (mus' 0.1 to
// 5/mm, mua 0 to 0.1/mm, index 1 to 1.6), a distance from 0.5 to 500 mm and a frequency, 0 or
// from 1 kHz to 2 GHz, for which a closed form exists (tests/half_space.h). The library must either refuse the
// distance (InvalidRequest naming rho) or give the frequency-domain value within the rounding it
// states plus 1e-6 of the continuous-wave value, which covers what the window's rule leaves out
// beyond 30 mus'. Both engines are held to it. Before the transform took panels at long
// distances, values at rho mus' beyond about 125 were off by many orders and reported as success;
// before the exact engine took the stable complex root below the window's first frequency,
// imaginary parts at kHz to tens of MHz were (4 % of the continuous-wave value at mus' 4.9,
// rho 44 mm, 1 kHz).
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "nlayer/reflectance.h"
#include "tests/half_space.h"

namespace {

// A value in [low, high] from the next 4 bytes (0 once the bytes run out), spread
// logarithmically where `logarithmic`.
double Take(const std::uint8_t*& data, std::size_t& size, double low, double high, bool logarithmic) {
  std::uint32_t raw = 0;
  const std::size_t n = size < 4 ? size : 4;
  std::memcpy(&raw, data, n);
  data += n;
  size -= n;
  const double u = static_cast<double>(raw) / 4294967295.0;
  return logarithmic ? low * std::pow(high / low, u) : low + (high - low) * u;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nlayer::fuzz::Require;
  const double musp = Take(data, size, 0.1, 5.0, true);
  const double mua = Take(data, size, 0.0, 0.1, false);
  const double n = Take(data, size, 1.0, 1.6, false);
  const double rho = Take(data, size, 0.5, 500.0, true);
  const double u = Take(data, size, 0.0, 1.0, false);
  const double f_hz = u < 0.05 ? 0.0 : 1e3 * std::pow(2e6, (u - 0.05) / 0.95);
  const nlayer::Medium half_space{{{musp, mua, n, 10.0}}};
  for (nlayer::Engine engine : {nlayer::Engine::kExact, nlayer::Engine::kFast}) {
    nlayer::FrequencySpectra spectra;
    try {
      spectra = nlayer::FrequencyDomain(half_space, {rho}, {0.0, f_hz}, {.threads = 1, .engine = engine});
    } catch (const nlayer::InvalidRequest& e) {
      Require(e.problem().field == "rho", std::string("refused for another reason: ") + e.what());
      continue;
    }
    const std::complex<double> cw = nlayer::testing::HalfSpaceClosedForm(half_space.layers[0], rho, 0.0);
    const double allowed = 2.0 * spectra.rounding[0] + 1e-6 * std::abs(cw);
    for (std::size_t k = 0; k < 2; ++k) {
      const std::complex<double> expected = nlayer::testing::HalfSpaceClosedForm(half_space.layers[0], rho, spectra.f_hz[k]);
      const double error = std::abs(spectra.At(0, k) - expected);
      Require(error <= allowed, "mus' " + std::to_string(musp) + " mua " + std::to_string(mua) + " n " + std::to_string(n) +
                                    " rho " + std::to_string(rho) + " f " + std::to_string(spectra.f_hz[k]) + ": off by " +
                                    std::to_string(error / std::abs(cw)) + " of the CW value, allowed " +
                                    std::to_string(allowed / std::abs(cw)));
    }
  }
  return 0;
}
