#include "nlayer/monte_carlo.h"

#include <Random123/philox.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>

#include "core/number_text.h"
#include "core/spectrum.h"

namespace nlayer {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Below this weight a photon plays Russian roulette: it survives with 1 / kRouletteGain of the
// time, its weight multiplied by kRouletteGain, so that the expected weight stays the same.
constexpr double kRouletteWeight = 1e-4;
constexpr double kRouletteGain = 10.0;
constexpr double kDefaultAnisotropy = 0.9;

struct LayerOptics {
  double mus = 0, mua = 0, mut = 0, albedo = 1;
  double n = 1, g = 0;
  double top = 0, bottom = kInfinity;  // depths of the layer's surfaces, mm
  double ps_per_mm = 0;                // n / c
};

struct Setup {
  std::vector<LayerOptics> layers;
  std::vector<double> rho;
  double half_width = 0;
  double dt = 0;
  std::size_t bins = 0;
  double t_max = 0;  // the end of the last bin: a photon still inside then can no longer count
  std::uint64_t seed = 0;
  std::uint64_t photons_per_batch = 0;
  bool white = false;
};

// Uniform deviates in (0, 1) from Philox 4x64-10, keyed by (seed, batch) and counted by
// (photon, block): a photon's numbers depend on nothing but those four integers.
class PhotonStream {
 public:
  PhotonStream(std::uint64_t seed, std::uint64_t batch) : key_{{seed, batch}} {}

  void Start(std::uint64_t photon) {
    counter_ = {{photon, 0, 0, 0}};
    used_ = 4;
  }

  double Uniform() {
    if (used_ == 4) {
      block_ = generator_(counter_, key_);
      ++counter_.v[1];
      used_ = 0;
    }
    // The top 53 bits, centred in their interval: never 0 (a logarithm is taken) nor 1.
    return (static_cast<double>(block_.v[used_++] >> 11) + 0.5) * 0x1p-53;
  }

 private:
  r123::Philox4x64 generator_;
  r123::Philox4x64::key_type key_;
  r123::Philox4x64::ctr_type counter_{};
  r123::Philox4x64::ctr_type block_{};
  int used_ = 4;
};

// Fresnel's reflectance of unpolarised light going from index n1 into n2 at the cosine cos_i
// of the angle of incidence; cos_t receives the cosine of the refracted ray. 1 beyond the
// critical angle.
double FresnelReflectance(double n1, double n2, double cos_i, double& cos_t) {
  if (n1 == n2) {
    cos_t = cos_i;
    return 0.0;
  }
  const double sin_i = std::sqrt(std::max(0.0, 1.0 - cos_i * cos_i));
  const double sin_t = n1 / n2 * sin_i;
  if (sin_t >= 1.0) {
    cos_t = 0.0;
    return 1.0;
  }
  cos_t = std::sqrt(1.0 - sin_t * sin_t);
  const double rs = (n1 * cos_i - n2 * cos_t) / (n1 * cos_i + n2 * cos_t);
  const double rp = (n1 * cos_t - n2 * cos_i) / (n1 * cos_t + n2 * cos_i);
  return 0.5 * (rs * rs + rp * rp);
}

// A new direction after a scattering by the Henyey-Greenstein phase function: the polar
// cosine by inversion of its distribution, the azimuth uniform, rotated into the frame of the
// old direction.
void Scatter(double g, PhotonStream& random, double& ux, double& uy, double& uz) {
  double cos_theta;
  if (g == 0.0) {
    cos_theta = 2.0 * random.Uniform() - 1.0;
  } else {
    const double f = (1.0 - g * g) / (1.0 - g + 2.0 * g * random.Uniform());
    cos_theta = std::clamp((1.0 + g * g - f * f) / (2.0 * g), -1.0, 1.0);
  }
  const double sin_theta = std::sqrt(1.0 - cos_theta * cos_theta);
  // The azimuth's cosine and sine from a point uniform in the unit disc, (a + ib)^2 / |a + ib|^2:
  // cheaper than a sincos, which took a quarter of the run.
  double a, b, r2;
  do {
    a = 2.0 * random.Uniform() - 1.0;
    b = 2.0 * random.Uniform() - 1.0;
    r2 = a * a + b * b;
  } while (r2 > 1.0 || r2 < 1e-12);
  const double inverse_r2 = 1.0 / r2;
  const double cos_phi = (a * a - b * b) * inverse_r2, sin_phi = 2.0 * a * b * inverse_r2;
  if (std::fabs(uz) > 0.99999) {
    ux = sin_theta * cos_phi;
    uy = sin_theta * sin_phi;
    uz = uz > 0.0 ? cos_theta : -cos_theta;
    return;
  }
  // The rotation keeps the length to rounding; its drift over a photon's life (some 1e-12) is
  // far below anything scored, and |uz| near 1 takes the branch above.
  const double w = std::sqrt(1.0 - uz * uz);
  const double f = sin_theta / w;
  const double nx = f * (ux * uz * cos_phi - uy * sin_phi) + ux * cos_theta;
  const double ny = f * (uy * uz * cos_phi + ux * sin_phi) + uy * cos_theta;
  uz = -sin_theta * cos_phi * w + uz * cos_theta;
  ux = nx;
  uy = ny;
}

// What one batch scores: weight per annulus and bin, the totals, and for a white run the
// detected photons.
struct Tally {
  std::vector<double> curve;
  double reflected = 0, transmitted = 0, unfinished = 0;
  PathRecord paths;
};

void Detect(const Setup& s, double x, double y, double t, double w, std::uint64_t batch, const std::vector<double>& path,
            Tally& tally) {
  tally.reflected += w;
  // Bin k holds t_k - dt/2 ... t_k + dt/2 with t_k = (k + 1) dt.
  const double position = std::floor(t / s.dt + 0.5) - 1.0;
  if (position < 0.0 || position >= static_cast<double>(s.bins)) return;
  const std::size_t bin = static_cast<std::size_t>(position);
  const double r = std::hypot(x, y);
  for (std::size_t i = 0; i < s.rho.size(); ++i) {
    if (r < s.rho[i] - s.half_width || r >= s.rho[i] + s.half_width) continue;
    tally.curve[i * s.bins + bin] += w;
    if (!s.white) continue;
    PathRecord& p = tally.paths;
    p.rho_index.push_back(static_cast<std::uint32_t>(i));
    p.time_bin.push_back(static_cast<std::uint32_t>(bin));
    p.batch.push_back(static_cast<std::uint32_t>(batch));
    p.time_ps.push_back(t);
    p.weight.push_back(w);
    p.path_mm.insert(p.path_mm.end(), path.begin(), path.end());
  }
}

// False when `stop` was requested, which is looked at every kStopCheckPhotons photons: a
// large batch takes seconds, and Ctrl-C should not wait for it.
constexpr std::uint64_t kStopCheckPhotons = 256;

bool RunBatch(const Setup& s, std::uint64_t batch, Tally& tally, const std::stop_token& stop) {
  const std::size_t layer_count = s.layers.size();
  tally.curve.assign(s.rho.size() * s.bins, 0.0);
  tally.paths.layers = s.white ? layer_count : 0;
  PhotonStream random(s.seed, batch);
  std::vector<double> path(layer_count, 0.0);
  double cos_t;
  const double entering = 1.0 - FresnelReflectance(1.0, s.layers[0].n, 1.0, cos_t);

  for (std::uint64_t photon = 0; photon < s.photons_per_batch; ++photon) {
    if (photon % kStopCheckPhotons == 0 && stop.stop_requested()) return false;
    random.Start(photon);
    double x = 0, y = 0, z = 0, ux = 0, uy = 0, uz = 1, t = 0, w = entering;
    double tau = 0;  // optical depth left of the current free path
    std::size_t k = 0;
    if (s.white) std::fill(path.begin(), path.end(), 0.0);
    for (;;) {
      if (tau <= 0.0) tau = -std::log(random.Uniform());
      const LayerOptics& layer = s.layers[k];
      const double free_path = tau / layer.mut;
      double to_boundary = kInfinity;
      if (uz > 0.0) {
        to_boundary = (layer.bottom - z) / uz;
      } else if (uz < 0.0) {
        to_boundary = (layer.top - z) / uz;
      }
      const bool crosses = to_boundary <= free_path;
      const double step = crosses ? to_boundary : free_path;
      const double arrival = t + step * layer.ps_per_mm;
      if (arrival > s.t_max) {
        tally.unfinished += w;
        break;
      }
      x += ux * step;
      y += uy * step;
      t = arrival;
      if (s.white) path[k] += step;
      if (!crosses) {
        z += uz * step;
        tau = 0.0;
        w *= layer.albedo;
        Scatter(layer.g, random, ux, uy, uz);
        if (w < kRouletteWeight) {
          if (random.Uniform() * kRouletteGain >= 1.0) break;
          w *= kRouletteGain;
        }
        continue;
      }
      tau -= to_boundary * layer.mut;
      const bool down = uz > 0.0;
      z = down ? layer.bottom : layer.top;
      const bool leaves = down ? k + 1 == layer_count : k == 0;
      const double n_next = leaves ? 1.0 : s.layers[down ? k + 1 : k - 1].n;
      double cos_refracted;
      const double reflectance = FresnelReflectance(layer.n, n_next, std::fabs(uz), cos_refracted);
      if (reflectance >= 1.0 || (reflectance > 0.0 && random.Uniform() < reflectance)) {
        uz = -uz;
        continue;
      }
      if (n_next != layer.n) {
        const double ratio = layer.n / n_next;
        ux *= ratio;
        uy *= ratio;
        uz = down ? cos_refracted : -cos_refracted;
      }
      if (leaves) {
        if (down) {
          tally.transmitted += w;
        } else {
          Detect(s, x, y, t, w, batch, path, tally);
        }
        break;
      }
      k = down ? k + 1 : k - 1;
    }
  }
  return true;
}

[[noreturn]] void Refuse(const std::string& field, long double value, const std::string& message, int layer = 0) {
  throw InvalidRequest(ModelProblem{layer, field, value, message});
}

Setup Prepare(const Medium& medium, const std::vector<long double>& rho_mm, const TimeGrid& grid,
              const MonteCarloOptions& options) {
  if (auto problem = medium.Validate()) throw InvalidRequest(*problem);
  if (auto problem = grid.Validate()) throw InvalidRequest(*problem);
  if (rho_mm.empty()) Refuse("rho", 0, "no distance was given");
  for (long double rho : rho_mm) {
    if (auto problem = ValidateDistance(rho)) throw InvalidRequest(*problem);
  }
  const std::size_t count = medium.layers.size();
  if (options.batches < 2) {
    Refuse("batches", options.batches, "batches is " + std::to_string(options.batches) +
                                           "; the standard errors need at least 2");
  }
  if (options.photons == 0) Refuse("photons", 0, "photons is 0; at least one photon per batch is needed");
  if (!(options.width_mm > 0.0) || !std::isfinite(options.width_mm)) {
    Refuse("width_mm", options.width_mm, "width_mm is " + NumberText(options.width_mm, 6) + "; it must be > 0 and finite");
  }
  if (!options.g.empty() && options.g.size() != 1 && options.g.size() != count) {
    Refuse("g", static_cast<long double>(options.g.size()),
           "g has " + std::to_string(options.g.size()) + " values for " + std::to_string(count) +
               " layers; give none, one for all or one per layer");
  }

  Setup s;
  double depth = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const Layer& source = medium.layers[i];
    LayerOptics layer;
    layer.g = options.g.empty() ? kDefaultAnisotropy : options.g[options.g.size() == 1 ? 0 : i];
    if (!(layer.g > -1.0 && layer.g < 1.0)) {
      Refuse("g", layer.g, "g of layer " + std::to_string(i + 1) + " is " + NumberText(layer.g, 6) +
                               "; it must lie between -1 and 1", static_cast<int>(i + 1));
    }
    layer.mus = static_cast<double>(source.musp) / (1.0 - layer.g);
    layer.mua = options.record_paths ? 0.0 : static_cast<double>(source.mua);
    layer.mut = layer.mus + layer.mua;
    layer.albedo = layer.mus / layer.mut;
    layer.n = static_cast<double>(source.n);
    layer.ps_per_mm = layer.n / kLightSpeedMmPerPs;
    layer.top = depth;
    // A single layer is a half-space; a stack's bottom layer may be infinite.
    const bool unbounded = i + 1 == count && (count == 1 || std::isinf(source.d));
    layer.bottom = unbounded ? kInfinity : depth + static_cast<double>(source.d);
    depth = layer.bottom;
    s.layers.push_back(layer);
  }
  for (long double rho : rho_mm) s.rho.push_back(static_cast<double>(rho));
  s.half_width = options.width_mm / 2.0;
  s.dt = grid.dt_ps;
  s.bins = static_cast<std::size_t>(grid.samples / 2);
  s.t_max = (static_cast<double>(s.bins) + 0.5) * s.dt;
  s.seed = options.seed;
  s.photons_per_batch = (options.photons + options.batches - 1) / options.batches;
  s.white = options.record_paths;
  return s;
}

double AnnulusArea(double rho, double half_width) {
  const double inner = std::max(0.0, rho - half_width), outer = rho + half_width;
  return std::numbers::pi * (outer * outer - inner * inner);
}

// Mean and standard error of the mean over the batches of values[b * stride + index].
void BatchStatistics(const std::vector<double>& values, std::size_t batches, std::size_t stride, std::size_t index,
                     double scale, double& mean, double& error) {
  const double b = static_cast<double>(batches);
  double sum = 0.0;
  for (std::size_t k = 0; k < batches; ++k) sum += values[k * stride + index] * scale;
  mean = sum / b;
  double squares = 0.0;
  for (std::size_t k = 0; k < batches; ++k) {
    const double d = values[k * stride + index] * scale - mean;
    squares += d * d;
  }
  error = std::sqrt(squares / (b * (b - 1.0)));
}

// Reflectance and standard errors of every annulus and bin from the batches' weights, `per_batch`
// holding rho.size() * bins values for each batch in turn.
void Normalise(const std::vector<double>& per_batch, std::size_t batches, const Setup& s,
               std::uint64_t photons_per_batch, MonteCarloCurves& out) {
  const std::size_t size = s.rho.size() * s.bins;
  out.reflectance.assign(size, 0.0);
  out.standard_error.assign(size, 0.0);
  for (std::size_t i = 0; i < s.rho.size(); ++i) {
    const double scale = 1.0 / (static_cast<double>(photons_per_batch) * AnnulusArea(s.rho[i], s.half_width) * s.dt);
    for (std::size_t k = 0; k < s.bins; ++k) {
      const std::size_t index = i * s.bins + k;
      BatchStatistics(per_batch, batches, size, index, scale, out.reflectance[index], out.standard_error[index]);
    }
  }
}

void FillAxes(const Setup& s, const std::vector<long double>& rho_mm, MonteCarloCurves& out) {
  out.t_ps.resize(s.bins);
  for (std::size_t k = 0; k < s.bins; ++k) out.t_ps[k] = static_cast<double>(k + 1) * s.dt;
  out.rho_mm = rho_mm;
  out.width_mm = 2.0 * s.half_width;
}

void Append(PathRecord& p, const PathRecord& q) {
  p.rho_index.insert(p.rho_index.end(), q.rho_index.begin(), q.rho_index.end());
  p.time_bin.insert(p.time_bin.end(), q.time_bin.begin(), q.time_bin.end());
  p.batch.insert(p.batch.end(), q.batch.begin(), q.batch.end());
  p.time_ps.insert(p.time_ps.end(), q.time_ps.begin(), q.time_ps.end());
  p.weight.insert(p.weight.end(), q.weight.begin(), q.weight.end());
  p.path_mm.insert(p.path_mm.end(), q.path_mm.begin(), q.path_mm.end());
}

}  // namespace

MonteCarloBatches MonteCarloRunBatches(const Medium& medium, const std::vector<long double>& rho_mm,
                                       const TimeGrid& grid, const MonteCarloOptions& options, unsigned first,
                                       unsigned count) {
  const Setup s = Prepare(medium, rho_mm, grid, options);
  if (count == 0 || first >= options.batches || count > options.batches - first) {
    Refuse("batches", first, "batches " + std::to_string(first) + " ... " + std::to_string(first + count) +
                                 " are not a non-empty range of the run's " + std::to_string(options.batches));
  }
  std::vector<Tally> tallies(count);
  std::atomic<unsigned> next{0};
  std::atomic<bool> cancelled{false};
  std::exception_ptr failure;
  std::mutex failure_mutex;
  auto work = [&] {
    try {
      for (unsigned b = next++; b < count; b = next++) {
        if (!RunBatch(s, first + b, tallies[b], options.stop)) {
          cancelled = true;
          next = count;
          return;
        }
      }
    } catch (...) {
      const std::lock_guard lock(failure_mutex);
      if (!failure) failure = std::current_exception();
      next = count;
    }
  };
  const unsigned workers = std::min(WorkerCount(options.threads), count);
  {
    std::vector<std::jthread> threads;
    for (unsigned i = 1; i < workers; ++i) threads.emplace_back(work);
    work();
  }
  if (failure) std::rethrow_exception(failure);
  if (cancelled) throw Cancelled();

  MonteCarloBatches out;
  out.first = first;
  out.count = count;
  out.paths.layers = s.white ? s.layers.size() : 0;
  for (Tally& tally : tallies) {
    out.weight.insert(out.weight.end(), tally.curve.begin(), tally.curve.end());
    out.totals.insert(out.totals.end(), {tally.reflected, tally.transmitted, tally.unfinished});
    if (s.white) Append(out.paths, tally.paths);
  }
  return out;
}

MonteCarloCurves MonteCarloCombine(const Medium& medium, const std::vector<long double>& rho_mm,
                                   const TimeGrid& grid, const MonteCarloOptions& options,
                                   std::vector<MonteCarloBatches> parts) {
  const Setup s = Prepare(medium, rho_mm, grid, options);
  const unsigned batches = options.batches;
  std::sort(parts.begin(), parts.end(),
            [](const MonteCarloBatches& a, const MonteCarloBatches& b) { return a.first < b.first; });
  const std::size_t size = s.rho.size() * s.bins;
  unsigned covered = 0;
  for (const MonteCarloBatches& part : parts) {
    const bool fits = part.first == covered && part.count > 0 && part.weight.size() == part.count * size &&
                      part.totals.size() == 3 * std::size_t{part.count} &&
                      part.paths.layers == (s.white ? s.layers.size() : 0);
    if (!fits) {
      Refuse("batches", part.first, "the batches from " + std::to_string(part.first) +
                                        " do not continue the run's batches 0 ... " + std::to_string(covered) +
                                        " for this medium, grid and options");
    }
    covered += part.count;
  }
  if (covered != batches) {
    Refuse("batches", covered, "the parts hold " + std::to_string(covered) + " of the run's " +
                                   std::to_string(batches) + " batches");
  }

  MonteCarloCurves out;
  FillAxes(s, rho_mm, out);
  out.photons = s.photons_per_batch * batches;
  out.batches = batches;
  std::vector<double> weight, totals;
  weight.reserve(size * batches);
  totals.reserve(3 * std::size_t{batches});
  for (const MonteCarloBatches& part : parts) {
    weight.insert(weight.end(), part.weight.begin(), part.weight.end());
    totals.insert(totals.end(), part.totals.begin(), part.totals.end());
  }
  Normalise(weight, batches, s, s.photons_per_batch, out);
  const double per_photon = 1.0 / static_cast<double>(s.photons_per_batch);
  BatchStatistics(totals, batches, 3, 0, per_photon, out.total_reflectance, out.total_reflectance_error);
  BatchStatistics(totals, batches, 3, 1, per_photon, out.total_transmittance, out.total_transmittance_error);
  double ignored;
  BatchStatistics(totals, batches, 3, 2, per_photon, out.unfinished, ignored);
  if (s.white) {
    out.paths.layers = s.layers.size();
    for (const MonteCarloBatches& part : parts) Append(out.paths, part.paths);
  }
  return out;
}

MonteCarloCurves MonteCarlo(const Medium& medium, const std::vector<long double>& rho_mm, const TimeGrid& grid,
                            const MonteCarloOptions& options) {
  std::vector<MonteCarloBatches> parts;
  parts.push_back(MonteCarloRunBatches(medium, rho_mm, grid, options, 0, options.batches));
  return MonteCarloCombine(medium, rho_mm, grid, options, std::move(parts));
}

ReweightedCurves Reweight(const MonteCarloCurves& white, const std::vector<double>& mua) {
  const PathRecord& p = white.paths;
  if (white.batches < 2 || white.t_ps.empty() || p.layers == 0) {
    Refuse("paths", 0, "the curves hold no path record; run MonteCarlo with record_paths");
  }
  const std::size_t layers = p.layers;
  if (layers != 0 && mua.size() != layers) {
    Refuse("mua", static_cast<long double>(mua.size()),
           "mua has " + std::to_string(mua.size()) + " values for " + std::to_string(layers) + " layers");
  }
  for (std::size_t k = 0; k < mua.size(); ++k) {
    if (!(mua[k] >= 0.0) || !std::isfinite(mua[k])) {
      Refuse("mua", mua[k], "mua of layer " + std::to_string(k + 1) + " is " + NumberText(mua[k], 6) +
                                "; it must be >= 0 and finite", static_cast<int>(k + 1));
    }
  }

  Setup s;
  for (long double rho : white.rho_mm) s.rho.push_back(static_cast<double>(rho));
  s.half_width = white.width_mm / 2.0;
  s.dt = white.t_ps[0];
  s.bins = white.t_ps.size();
  const std::uint64_t photons_per_batch = white.photons / white.batches;

  ReweightedCurves out;
  const std::size_t size = s.rho.size() * s.bins;
  std::vector<double> per_batch(white.batches * size, 0.0);
  std::vector<double> weight_sum(s.rho.size(), 0.0), path_sum(s.rho.size() * layers, 0.0);
  for (std::size_t i = 0; i < p.size(); ++i) {
    const double* path = p.path_mm.data() + i * layers;
    double optical = 0.0;
    for (std::size_t k = 0; k < layers; ++k) optical += mua[k] * path[k];
    const double w = p.weight[i] * std::exp(-optical);
    per_batch[p.batch[i] * size + p.rho_index[i] * s.bins + p.time_bin[i]] += w;
    weight_sum[p.rho_index[i]] += w;
    for (std::size_t k = 0; k < layers; ++k) path_sum[p.rho_index[i] * layers + k] += w * path[k];
  }
  FillAxes(s, white.rho_mm, out.curves);
  out.curves.photons = white.photons;
  out.curves.batches = white.batches;
  Normalise(per_batch, white.batches, s, photons_per_batch, out.curves);
  out.mean_partial_path_mm.resize(s.rho.size() * layers);
  for (std::size_t r = 0; r < s.rho.size(); ++r) {
    for (std::size_t k = 0; k < layers; ++k) {
      out.mean_partial_path_mm[r * layers + k] = weight_sum[r] > 0.0
                                                     ? path_sum[r * layers + k] / weight_sum[r]
                                                     : std::numeric_limits<double>::quiet_NaN();
    }
  }
  return out;
}

}  // namespace nlayer
