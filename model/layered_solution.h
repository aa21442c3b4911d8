// The N-layered medium in the spatial-frequency domain (diffusion approximation), already
// multiplied by the kernel s J0(s rho) / (2 pi) of the inverse Hankel transform of order zero.
#pragma once

#include <vector>

namespace nlayer {

struct ModelState;

// A complex extended value, real part first.
struct ComplexExt {
  long double re = 0;
  long double im = 0;
};

// The working values of one modulation frequency. The frequency loop owns one per worker, so
// frequencies can run side by side while State holds only the model; nothing here is shared.
struct FrequencyContext {
  long double Omega = 0;               // angular modulation frequency, rad/s
  std::vector<long double> OmegaTerm;  // omega n / (c D) per layer, 1/mm^2
  long double ReflRe = 0;              // the transform's result at rho for this frequency
  long double ReflIm = 0;
  // Scratch of one evaluation, sized once per run so that no evaluation allocates.
  std::vector<long double> AlphaRe;
  std::vector<long double> AlphaIm;

  // Sizes the per-layer arrays for `layers` layers.
  void Resize(std::size_t layers);
};

// What the integrand needs of a spatial frequency s that does not depend on the modulation
// frequency: computed once per run for each of the 960 points of the transform.
struct SpatialPoint {
  long double s = 0;       // 1/mm
  long double s2 = 0;      // s * s
  long double kernel = 0;  // s / (2 pi)
  long double j0 = 0;      // J0 of rho * s rounded to a double
};

SpatialPoint MakeSpatialPoint(long double s, long double rho);

// What the integrand needs of the layers that does not depend on the modulation frequency.
struct LayerTerms {
  std::vector<long double> MuaOverD;  // mua / D per layer, 1/mm^2
  std::vector<long double> Nu;        // Nu[k] = (n_k / n_(k-1))^2 for k >= 1; Nu[0] unused
};

void ComputeLayerTerms(const ModelState& state, LayerTerms& terms);

// The integrand at one point for the model in State (LayerCount >= 1, every per-layer array
// with LayerCount entries), the layer terms computed from it, and the frequency terms in
// `context.OmegaTerm`. Tests nothing: a division by zero, an overflow beyond the extended range
// (a stack thicker than some thousands of decay lengths) or an invalid operation shows up only
// in the floating-point flags, which the caller checks.
ComplexExt ReflectanceIntegrandAt(const SpatialPoint& point, const LayerTerms& layers,
                                  FrequencyContext& context);

// The same at spatial frequency s (1/mm, > 0) for detector distance rho (mm), with the
// frequency-independent terms computed on the spot.
ComplexExt ReflectanceIntegrand(long double s, long double rho, FrequencyContext& context);

}  // namespace nlayer
