#include "core/hankel.h"

#include <memory>

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

void BuildRunTables(const DerivedModel& model, std::span<const long double> rhos, RunTables& tables) {
  // Spatial frequencies beyond 30 mus' carry nothing a detector at a few millimetres sees.
  tables.rule = MapHankelRule(0.0L, 30.0L * model.Musp[0]);
  for (int p = 0; p < 960; ++p) tables.points[p] = MakeSpatialPoint(tables.rule.s[p]);
  tables.distances = rhos.size();
  tables.j0.resize(rhos.size() * 960);
  for (std::size_t r = 0; r < rhos.size(); ++r) {
    for (int p = 0; p < 960; ++p) tables.j0[r * 960 + p] = BesselFactor(tables.rule.s[p], rhos[r]);
  }
  ComputeLayerTerms(model, tables.layers);
}

namespace {

// Adds one point's weighted integrand to every distance's running sum, each weighted value
// rounded to extended before it is added.
inline void AccumulatePoint(const RunTables& tables, int p, const ComplexExt& value, long double w,
                            FrequencyContext& context) {
  const std::size_t distances = tables.distances;
  for (std::size_t r = 0; r < distances; ++r) {
    const ComplexExt v = ApplyBesselFactor(tables.j0[r * 960 + p], value);
    ComplexExt& sum = context.Refl[r];
    sum.re = sum.re + v.re * w;
    sum.im = sum.im + v.im * w;
  }
}

}  // namespace

void RadialReflectance(const DerivedModel& model, const RunTables& tables, FrequencyContext& context) {
  // The order of SumHankelRule, kept for every distance.
  for (std::size_t r = 0; r < tables.distances; ++r) context.Refl[r] = {0.0L, 0.0L};
  for (int i = 0; i < 480; ++i) {
    const long double w = Weight960[i];
    const ComplexExt right = KernelTimesSolution(model, tables.points[2 * i], tables.layers, context);
    AccumulatePoint(tables, 2 * i, right, w, context);
    const ComplexExt left = KernelTimesSolution(model, tables.points[2 * i + 1], tables.layers, context);
    AccumulatePoint(tables, 2 * i + 1, left, w, context);
  }
  for (std::size_t r = 0; r < tables.distances; ++r) {
    ComplexExt& sum = context.Refl[r];
    sum = {tables.rule.d * sum.re, tables.rule.d * sum.im};
  }
  if (tables.distances > 0) {
    context.ReflRe = context.Refl[0].re;
    context.ReflIm = context.Refl[0].im;
  }
}

void RadialReflectance(const DerivedModel& model, long double rho, FrequencyContext& context) {
  const auto tables = std::make_unique<RunTables>();
  BuildRunTables(model, std::span<const long double>(&rho, 1), *tables);
  context.Resize(model.DiffCoef.size(), 1);
  RadialReflectance(model, *tables, context);
}

}  // namespace nlayer
