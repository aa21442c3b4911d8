#include "core/derived_model.h"

#include "core/fresnel.h"

namespace nlayer {

namespace {

// The stored reflection of the index 1.4: the value of the 480-point rule, rounded to 15 digits.
constexpr long double kStoredReflection = 0.493477582093524L;

}  // namespace

long double BoundaryReflection(long double index) {
  if (index == 1.4L || index == static_cast<long double>(1.4)) return kStoredReflection;
  return EffectiveReflection(index);
}

FaultKind DeriveModel(std::span<const Layer> layers, DerivedModel& m) {
  const std::size_t n = layers.size();
  m.Musp.resize(n), m.Mua.resize(n), m.RefrIndex.resize(n), m.Thickness.resize(n);
  m.DiffCoef.assign(n, 0.0L);
  for (std::size_t j = 0; j < n; ++j) {
    m.Musp[j] = layers[j].musp;
    m.Mua[j] = layers[j].mua;
    m.RefrIndex[j] = layers[j].n;
    m.Thickness[j] = layers[j].d;
  }
  // One checked step each, in the order of the derivation: the first that faults decides.
  FaultKind fault = FaultKind::kNone;
  auto step = [&fault](auto&& body) {
    if (fault == FaultKind::kNone) fault = RunChecked(body);
  };
  for (std::size_t j = 0; j < n; ++j) step([&] { m.DiffCoef[j] = 1.0L / (3.0L * m.Musp[j]); });
  const std::size_t bottom = n - 1;
  step([&] {
    m.Reff = BoundaryReflection(m.RefrIndex[0]);
    m.ATop = (m.Reff + 1.0L) / (1.0L - m.Reff);
  });
  step([&] {
    m.Reff = BoundaryReflection(m.RefrIndex[bottom]);
    m.ABottom = (m.Reff + 1.0L) / (1.0L - m.Reff);
  });
  step([&] { m.Z0 = 1.0L / (m.Mua[0] + m.Musp[0]); });
  step([&] { m.ZbTop = (2.0L * m.ATop) / (3.0L * m.Musp[0]); });
  step([&] { m.ZbBottom = (2.0L * m.ABottom) / (3.0L * m.Musp[bottom]); });
  return fault;
}

}  // namespace nlayer
