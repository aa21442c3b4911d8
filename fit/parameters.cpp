// The free parameters: what their names say, their bounds, starts and columns, the model's
// values at a point of the solver, and the spread starts.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <random>

#include "fit/joint_engine.h"

namespace nlayer::fit {

namespace {

// The spread starts lie within this factor of the start values (within the bounds). Over 30
// draws of the two-layer head's bottom layer (joint_fit_test) factors of 4 and 2 found second
// minima alike (in 3 and 2 draws), 2 in some 15 % less time; 3 lies between.
constexpr double kSpread = 3;

}  // namespace

// The free parameters: each named, bounded and given its column of the solver's vector (a tied
// one its target's), then which groups each column changes, and the start media checked.
void JointEngine::ParseFree() {
  for (const FitParameter& p : problem_.free) {
    Physical entry = Named(p);
    if (!p.tied_to.empty()) {
      if (p.lower || p.upper || p.start) {
        Refuse("the free parameter " + p.name + " is tied to " + p.tied_to +
               " and takes its bounds and start; give them "
               "to " +
               p.tied_to);
      }
      entry.tied = true;
    } else {
      Bound(p, entry);
    }
    physical_.push_back(entry);
  }
  // Ties: the target's column and scale.
  for (std::size_t i = 0; i < problem_.free.size(); ++i) {
    Physical& entry = physical_[i];
    if (!entry.tied) continue;
    const std::string& target = problem_.free[i].tied_to;
    const auto t =
        std::find_if(physical_.begin(), physical_.end(), [&](const Physical& q) { return q.name == target; });
    if (t == physical_.end() || t->tied) {
      Refuse("the free parameter " + entry.name + " is tied to " + target +
             (t == physical_.end() ? ", which is not free" : ", which is tied itself"));
    }
    entry.column = t->column;
    entry.scale = t->scale;
    entry.start = t->start;
    entry.lower = t->lower;
    entry.upper = t->upper;
  }
  column_groups_.assign(columns_, std::vector<bool>(groups_.size(), false));
  for (const Physical& p : physical_) {
    for (std::size_t g = 0; g < groups_.size(); ++g) {
      if (p.slot < 0 || static_cast<std::size_t>(p.slot) == groups_[g].slot)
        column_groups_[static_cast<std::size_t>(p.column)][g] = true;
    }
  }
  capacity_ = groups_.size() * (2 * columns_ + 4);
  // The media at the start values must be computable.
  const Values start = ValuesAt(start_x_.data());
  for (std::size_t s = 0; s < slots_.size(); ++s) {
    if (auto p = MediumOf(start, s).Validate()) throw InvalidRequest(*p);
  }
  LengthenGrids(start);
}

// What a free parameter's name says: its kind, layer, wavelength or chromophore.
Physical JointEngine::Named(const FitParameter& p) const {
  const std::size_t layers = problem_.medium.layers.size();
  const bool spectral = problem_.spectral.has_value();
  const bool named_wavelengths = !spectral && slots_.size() > 1;
  const std::string help = spectral ? "name <chromophore><k>, a<k>, b<k> or d<k> (k = 1 for the top layer)"
                                    : std::string("name mua<k>, musp<k> (k = 1 for the top layer)") +
                                          (named_wavelengths ? " with @<nm> of one of the problem's wavelengths" : "") +
                                          (layers > 2 ? " or d<k> of a layer above the bottom one" : " or d1");
  const std::string& name = p.name;
  for (const Physical& earlier : physical_) {
    if (earlier.name == name) Refuse("the free parameter " + name + " is named twice");
  }
  if (name == "amplitude" || name == "shift_ps") {
    Refuse(name + " is always fitted; the free parameters to name are " +
           (spectral || named_wavelengths || layers > 2 ? "the model's (" + help.substr(5) + ")"
                                                        : std::string("mua<k>, musp<k> and d1")));
  }
  if (name == "background") {
    Refuse("the background is fitted when the curve asks for it (MeasuredCurve::background), not as a free "
           "parameter");
  }
  const auto unknown = [&] { Refuse("unknown free parameter \"" + name + "\": " + help); };
  const std::size_t at = name.find('@');
  const std::string base = name.substr(0, at);
  std::size_t split = base.size();
  while (split > 0 && base[split - 1] >= '0' && base[split - 1] <= '9') --split;
  const std::string prefix = base.substr(0, split), digits = base.substr(split);
  if (digits.empty() || digits.size() > 5 || digits[0] == '0') unknown();
  Physical entry{name, Kind::kMua};
  if (spectral) {
    if (at != std::string::npos) {
      Refuse("the free parameter " + name +
             " names a wavelength; with a spectral model every parameter holds at "
             "all wavelengths");
    }
    const auto& chromophores = problem_.spectral->chromophores;
    const auto c = std::find_if(chromophores.begin(), chromophores.end(),
                                [&](const Chromophore& ch) { return ch.name == prefix; });
    if (prefix == "a") {
      entry.kind = Kind::kScatteringA;
    } else if (prefix == "b") {
      entry.kind = Kind::kScatteringB;
      entry.positive = false;
    } else if (prefix == "d") {
      entry.kind = Kind::kThickness;
    } else if (c != chromophores.end()) {
      entry.kind = Kind::kConcentration;
      entry.chromophore = static_cast<std::size_t>(c - chromophores.begin());
    } else {
      unknown();
    }
  } else {
    if (prefix == "mua") {
      entry.kind = Kind::kMua;
    } else if (prefix == "musp") {
      entry.kind = Kind::kMusp;
    } else if (prefix == "d") {
      entry.kind = Kind::kThickness;
    } else {
      unknown();
    }
    if (at != std::string::npos) {
      const std::string text = name.substr(at + 1);
      double nm = kNaN;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), nm);
      if (error != std::errc() || end != text.data() + text.size() || entry.kind == Kind::kThickness) unknown();
      const auto slot =
          std::find_if(slots_.begin(), slots_.end(), [&](const auto& s) { return s && SameWavelength(*s, nm); });
      if (slot == slots_.end()) {
        Refuse("the free parameter " + name + " names " + text + " nm, where the problem has no medium");
      }
      entry.slot = static_cast<int>(slot - slots_.begin());
    } else if (entry.kind != Kind::kThickness) {
      if (named_wavelengths) {
        Refuse("the free parameter " + name + " names no wavelength: the problem holds media at several (" + name +
               "@<nm>)");
      }
      entry.slot = 0;
    }
  }
  const std::size_t k = std::stoul(digits);
  if (k > layers) {
    Refuse("the free parameter " + name + " names no layer: the model has " + std::to_string(layers) +
           (layers == 1 ? " layer" : " layers"));
  }
  entry.layer = k - 1;
  if (entry.kind == Kind::kThickness && k == layers) {
    if (layers == 1) Refuse("d1 is free, but a single layer is a half-space: its thickness does not matter");
    if (layers == 2) Refuse("only the top layer's thickness can be fitted (d1), not " + name);
    Refuse("only the thicknesses of layers above the bottom one can be fitted (d1 ... d" +
           std::to_string(layers - 1) + "), not " + name);
  }
  return entry;
}

// A free parameter's bounds (the defaults for its kind unless given), start and scale, and its
// column.
void JointEngine::Bound(const FitParameter& p, Physical& entry) {
  const std::string& name = p.name;
  double model_value = 0, lower = 0, upper = 0;
  const Layer& layer = entry.slot >= 0 ? base_.media[static_cast<std::size_t>(entry.slot)].layers[entry.layer]
                                       : base_.geometry.layers[entry.layer];
  switch (entry.kind) {
    case Kind::kMua:
      model_value = static_cast<double>(layer.mua), lower = 0, upper = 1;
      break;
    case Kind::kMusp:
      model_value = static_cast<double>(layer.musp), lower = 0.01, upper = 20;
      break;
    case Kind::kThickness:
      model_value = static_cast<double>(layer.d), lower = 0.1, upper = 200;
      break;
    case Kind::kConcentration: {
      model_value = problem_.spectral->layers[entry.layer].concentrations[entry.chromophore];
      const bool molar = problem_.spectral->chromophores[entry.chromophore].unit == ChromophoreUnit::kMolarExtinction;
      upper = molar ? 1e4 : 1.0;
      break;
    }
    case Kind::kScatteringA:
      model_value = problem_.spectral->layers[entry.layer].a, lower = 0.01, upper = 20;
      break;
    case Kind::kScatteringB:
      model_value = problem_.spectral->layers[entry.layer].b, lower = -1, upper = 5;
      break;
  }
  entry.lower = p.lower.value_or(lower);
  entry.upper = p.upper.value_or(upper);
  entry.start = p.start.value_or(model_value);
  if (entry.positive && entry.lower < 0)
    Refuse("the lower bound " + Text(entry.lower) + " of " + name + " is below 0");
  if (!std::isfinite(entry.lower) || !std::isfinite(entry.upper) || !(entry.lower < entry.upper)) {
    Refuse("the bounds of " + name + " (" + Text(entry.lower) + " ... " + Text(entry.upper) +
           ") must be finite and the lower below the upper");
  }
  if (!(entry.start >= entry.lower && entry.start <= entry.upper)) {
    Refuse("the start value " + Text(entry.start) + " of " + name + (p.start ? " (as given)" : " (from the model)") +
           " lies outside its bounds " + Text(entry.lower) + " ... " + Text(entry.upper));
  }
  entry.scale =
      entry.start > 0 ? entry.start : (entry.positive ? entry.upper / 100.0 : std::max(std::fabs(entry.start), 1.0));
  entry.column = static_cast<int>(columns_++);
  const double lower_x =
      entry.positive ? std::max(entry.lower, 2.0 * step_ * entry.scale) / entry.scale : entry.lower / entry.scale;
  lower_x_.push_back(lower_x);
  upper_x_.push_back(entry.upper / entry.scale);
  start_x_.push_back(std::max(entry.start / entry.scale, lower_x));
}

Values JointEngine::ValuesAt(const double* x) const {
  Values v = base_;
  for (const Physical& p : physical_) {
    const double value = x[p.column] * p.scale;
    const long double extended = static_cast<long double>(value);
    auto each_medium = [&](auto set) {
      for (std::size_t s = 0; s < v.media.size(); ++s) {
        if (p.slot < 0 || static_cast<std::size_t>(p.slot) == s) set(v.media[s].layers[p.layer]);
      }
    };
    switch (p.kind) {
      case Kind::kMua:
        each_medium([&](Layer& l) { l.mua = extended; });
        break;
      case Kind::kMusp:
        each_medium([&](Layer& l) { l.musp = extended; });
        break;
      case Kind::kThickness:
        v.geometry.layers[p.layer].d = extended;
        each_medium([&](Layer& l) { l.d = extended; });
        break;
      case Kind::kConcentration:
        v.spectral->layers[p.layer].concentrations[p.chromophore] = value;
        break;
      case Kind::kScatteringA:
        v.spectral->layers[p.layer].a = value;
        break;
      case Kind::kScatteringB:
        v.spectral->layers[p.layer].b = value;
        break;
    }
  }
  return v;
}

Medium JointEngine::MediumOf(const Values& values, std::size_t slot) const {
  if (values.spectral) return values.spectral->MediumAt(values.geometry, *slots_[slot]);
  return values.media[slot];
}

// The starts after the first, spread over the free parameters: per parameter the starts take a
// shuffled stratum each of its range, so that few starts cover it. The range is the bounds cut
// to a factor of 3 about the start value (1.5 either side of it for the scattering power): the
// default bounds span decades, where most curves would look nothing like the data and the solver
// would spend its iterations getting back.
std::vector<std::vector<double>> JointEngine::SpreadStarts(int starts) const {
  std::vector<std::vector<double>> out(static_cast<std::size_t>(starts), start_x_);
  if (starts < 2) return out;
  std::mt19937_64 random(options_.seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const int spread = starts - 1;
  for (std::size_t j = 0; j < columns_; ++j) {
    const Physical& p = *std::find_if(physical_.begin(), physical_.end(),
                                      [&](const Physical& q) { return !q.tied && q.column == static_cast<int>(j); });
    std::vector<int> strata(static_cast<std::size_t>(spread));
    for (int s = 0; s < spread; ++s) strata[static_cast<std::size_t>(s)] = s;
    std::shuffle(strata.begin(), strata.end(), random);
    const double lo_x = lower_x_[j], hi_x = upper_x_[j];
    for (int s = 0; s < spread; ++s) {
      const double u = (strata[static_cast<std::size_t>(s)] + uniform(random)) / spread;
      double value = 0;
      if (p.positive && p.start > 0) {
        const double lo = std::max(lo_x, start_x_[j] / kSpread), hi = std::min(hi_x, start_x_[j] * kSpread);
        value = lo * std::pow(hi / lo, u);
      } else {
        const double width = p.positive ? (hi_x - lo_x) / 4 : 1.5 / p.scale;
        const double lo = std::max(lo_x, start_x_[j] - width), hi = std::min(hi_x, start_x_[j] + width);
        value = lo + u * (hi - lo);
      }
      out[static_cast<std::size_t>(s + 1)][j] = value;
    }
  }
  return out;
}

}  // namespace nlayer::fit
