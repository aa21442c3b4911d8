#include "model/hankel.h"

#include "model/model_state.h"

namespace nlayer {

void RadialReflectance(long double rho, FrequencyContext& context) {
  // Spatial frequencies beyond 30 mus' carry nothing a detector at a few millimetres sees.
  const long double upper = 30.0L * State.Musp[0];
  const ComplexExt r = IntegrateHankel(0.0L, upper, [&](long double s) {
    return ReflectanceIntegrand(s, rho, context);
  });
  context.ReflRe = r.re;
  context.ReflIm = r.im;
}

}  // namespace nlayer
