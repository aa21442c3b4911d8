// Computes the one-layer example through the installed library and compares every sample with
// the committed golden "reflectance.dat" of that model, to the digits it holds and the rounding
// the library states: consumer GOLDEN_FILE.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <nlayer/nlayer.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: consumer GOLDEN_FILE\n");
    return 2;
  }
  const nlayer::Medium medium{{{1.0L, 0.01L, 1.4L, 10.0L}}};
  const std::vector<double> rho_mm = {20.0};  // distances as most code holds them
  const nlayer::TimeCurves curves = nlayer::TimeResolved(medium, rho_mm);

  std::ifstream golden(argv[1]);
  double t = 0, r = 0;
  int compared = 0, differing = 0;
  while (golden >> t >> r) {
    const auto i = static_cast<std::size_t>(std::lround(t / 10.0)) - 1;
    const double computed = curves.Curve(0)[i];
    // The file holds 15 significant digits; the library's arithmetic rounds otherwise than the
    // window's, within the rounding it states.
    if (!(std::fabs(computed - r) <= 1e-12 * std::fabs(r) + curves.rounding[0])) {
      std::fprintf(stderr, "t = %g ps: library %.15e, golden %.15e\n", t, computed, r);
      ++differing;
    }
    ++compared;
  }
  std::printf("nlayer %s: %d samples compared, %d differ\n", nlayer::Version(), compared, differing);
  return compared > 400 && differing == 0 ? 0 : 1;
}
