#include "model/hankel.h"

#include <memory>

#include "model/model_state.h"

namespace nlayer {

HankelRule MapHankelRule(long double lower, long double upper) {
  HankelRule rule;
  rule.c = (upper + lower) * 0.5L;
  rule.d = (upper - lower) * 0.5L;
  for (int i = 0; i < 480; ++i) {
    const long double t = rule.d * static_cast<long double>(Abscissa960[i]);
    rule.s[2 * i] = rule.c + t;
    rule.s[2 * i + 1] = rule.c - t;
  }
  return rule;
}

void BuildRunTables(long double rho, RunTables& tables) {
  // Spatial frequencies beyond 30 mus' carry nothing a detector at a few millimetres sees.
  tables.rule = MapHankelRule(0.0L, 30.0L * State.Musp[0]);
  for (int p = 0; p < 960; ++p) tables.points[p] = MakeSpatialPoint(tables.rule.s[p], rho);
  ComputeLayerTerms(State, tables.layers);
}

void RadialReflectance(const RunTables& tables, FrequencyContext& context) {
  const ComplexExt r = SumHankelRule(tables.rule, [&](int p) {
    return ReflectanceIntegrandAt(tables.points[p], tables.layers, context);
  });
  context.ReflRe = r.re;
  context.ReflIm = r.im;
}

void RadialReflectance(long double rho, FrequencyContext& context) {
  const auto tables = std::make_unique<RunTables>();
  BuildRunTables(rho, *tables);
  RadialReflectance(*tables, context);
}

}  // namespace nlayer
