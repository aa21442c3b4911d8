#include "app/model_state.h"

namespace nlayer {

ModelState State;

void StoreDerived(const DerivedModel& m, ModelState& s) {
  s.DiffCoef = m.DiffCoef;
  s.OmegaTerm.resize(m.DiffCoef.size());
  s.Reff = m.Reff;
  s.ATop = m.ATop;
  s.ABottom = m.ABottom;
  s.Z0 = m.Z0;
  s.ZbTop = m.ZbTop;
  s.ZbBottom = m.ZbBottom;
}

DerivedModel DerivedFromState(const ModelState& s) {
  DerivedModel m;
  m.Musp = s.Musp;
  m.Mua = s.Mua;
  m.RefrIndex = s.RefrIndex;
  m.Thickness = s.Thickness;
  m.DiffCoef = s.DiffCoef;
  m.Z0 = s.Z0;
  m.ZbTop = s.ZbTop;
  m.ZbBottom = s.ZbBottom;
  m.ATop = s.ATop;
  m.ABottom = s.ABottom;
  m.Reff = s.Reff;
  return m;
}

}  // namespace nlayer
