// Moments of a reflectance curve (total, mean time of flight, variance) and how each depends on
// the absorption of every layer: the mean partial pathlengths and the sensitivity factors of
// the mean time and the variance, and the time-gated partial pathlengths.
//
// The model's moments come from the frequency domain at and near f = 0, where
// R~(omega) = M0 - i omega M1 - omega^2 M2 / 2 + ..., M_j = integral of t^j R(t) dt: no time
// window truncates them and no sampling aliases them. Derivatives with respect to mua are those
// of the model as it stands: the top layer's mua also moves the source depth 1 / (mua + mus').
#pragma once

#include <concepts>
#include <optional>
#include <span>
#include <vector>

#include "nlayer/reflectance.h"

// What these headers declare is the library's interface: a shared libnlayer exports it, and
// hides its internals.
#pragma GCC visibility push(default)

namespace nlayer {

struct Moments {
  double total = 0;         // M0: the continuous-wave reflectance, mm^-2 (or the counts of a curve)
  double mean_time_ps = 0;  // <t> = M1 / M0, ps
  double variance_ps2 = 0;  // <t^2> - <t>^2, ps^2
};

// The moments of the model's curve at every distance.
std::vector<Moments> ModelMoments(const Medium& medium, const std::vector<long double>& rho_mm,
                                  const ComputeOptions& options = {});
// The same for distances as doubles (see TimeResolved's).
template <class Double>
  requires std::same_as<Double, double>
std::vector<Moments> ModelMoments(const Medium& medium, const std::vector<Double>& rho_mm,
                                  const ComputeOptions& options = {}) {
  return ModelMoments(medium, ExtendedDistances(rho_mm), options);
}

// The moments of a measured distribution of times of flight: `counts` in bins centred at
// `t_ps` (any spacing). With `irf` (counts on the same bins), the instrument's mean time and
// variance are subtracted, as convolution adds them; `total` stays the curve's own. Throws
// InvalidRequest for arrays of different lengths, negative or non-finite counts, or a curve
// (or IRF) without counts.
Moments CurveMoments(std::span<const double> t_ps, std::span<const double> counts,
                     std::optional<std::span<const double>> irf = std::nullopt);

// Per layer (index 0 the top layer), at one distance.
struct Sensitivities {
  Moments moments;
  std::vector<double> mpp;   // mean partial pathlength -d ln M0 / d mua_k, mm
  std::vector<double> mtsf;  // mean time sensitivity d<t> / d mua_k, ps mm
  std::vector<double> vsf;   // variance sensitivity dV / d mua_k, ps^2 mm
  std::vector<double> t_ps;  // the time grid of `gated`
  // -d ln R(t) / d mua_k on the time grid, mm: layer k's row of t_ps.size() values. Where the
  // curve is practically 0 (its earliest samples) the values mean nothing.
  std::vector<double> gated;

  std::span<const double> Gated(std::size_t layer) const {
    return std::span<const double>(gated).subspan(layer * t_ps.size(), t_ps.size());
  }
};

// With `time_gated` false, `t_ps` and `gated` stay empty and no curve is computed: the moments'
// derivatives alone take some thousand evaluations per layer, the curves a whole run each.
Sensitivities Sensitivity(const Medium& medium, long double rho_mm, const TimeGrid& grid = {},
                          const ComputeOptions& options = {}, bool time_gated = true);

}  // namespace nlayer

#pragma GCC visibility pop
