// A Monte Carlo simulation of photon transport in the layered medium: the reference against
// which the diffusion model can be checked where it is weakest (short distances, early gates,
// low-scattering layers, thin layers between mismatched indices).
//
// The physics: weighted photon packets enter at the origin along the surface normal (a pencil
// beam) and lose the specular reflection of the top surface. In each layer they scatter with
// mus = mus' / (1 - g) by the Henyey-Greenstein phase function of the layer's anisotropy g
// and are absorbed with the layer's mua (their weight multiplied by the albedo at each
// scattering, Russian roulette below a weight of 1e-4). Every interface, the surface and, below
// a finite bottom layer, the bottom surface reflect or refract them by Fresnel's equations for
// unpolarised light, from the layers' indices and the outside index 1, as the diffusion model
// takes it. They travel at c / n of their layer, c = 0.299792458 mm/ps.
//
// The results are those of TimeResolved, on the same TimeGrid and in the same units: the weight
// leaving the surface per photon, per area of an annulus rho +- width/2 and per time bin
// t - dt/2 ... t + dt/2, in mm^-2 ps^-1. Photons still inside after the grid's last bin are
// dropped. The standard errors come from independent batches of photons. The diffusion model's
// source is a whole photon inside the medium; here the surface first reflects its specular
// part, ((n - 1) / (n + 1))^2 = 2.8 % for n = 1.4, and the curves lie that much lower.
//
// Random numbers come from a counter-based generator (Philox 4x64) keyed by (seed, batch) and
// counted by photon and draw, and batches are summed in their order: the same seed gives the
// same result, bit for bit, on any number of threads.
//
// White Monte Carlo: with `record_paths`, a run without absorption (every mua taken as 0) keeps
// each detected photon's time and path length in every layer, so that Reweight() gives the
// curves for any mua of the layers (the microscopic Beer-Lambert law) and their mean partial
// pathlengths, from the one run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stop_token>
#include <vector>

#include "nlayer/errors.h"
#include "nlayer/medium.h"
#include "nlayer/reflectance.h"

// What these headers declare is the library's interface: a shared libnlayer exports it, and
// hides its internals.
#pragma GCC visibility push(default)

namespace nlayer {

// The speed of light in vacuum, mm/ps.
inline constexpr double kLightSpeedMmPerPs = 0.299792458;

struct MonteCarloOptions {
  std::uint64_t photons = 1'000'000;  // launched in all, rounded up to a multiple of `batches`
  unsigned batches = 20;              // independent batches for the standard errors, >= 2
  // The anisotropy of each layer, in (-1, 1): none for 0.9 in every layer, one value for all,
  // or one per layer from the top.
  std::vector<double> g{};
  double width_mm = 1.0;  // width of each distance's annulus, > 0
  std::uint64_t seed = 1;
  // Without absorption, keeping each detected photon's path lengths for Reweight().
  bool record_paths = false;
  unsigned threads = 0;  // worker threads for the batches; 0: all cores
  // A request to stop, read every few hundred photons: the call then ends with Cancelled.
  std::stop_token stop{};
};

// The photons detected by a white run: photon i was scored at distance rho_index[i], time
// bin time_bin[i] (index into the curve), with weight[i] (the part that left the surface), and
// travelled path_mm[i * layers + k] in layer k; batch[i] is its batch.
struct PathRecord {
  std::size_t layers = 0;
  std::vector<std::uint32_t> rho_index;
  std::vector<std::uint32_t> time_bin;
  std::vector<std::uint32_t> batch;
  std::vector<double> time_ps;
  std::vector<double> weight;
  std::vector<double> path_mm;

  std::size_t size() const { return weight.size(); }
};

struct MonteCarloCurves {
  std::vector<double> t_ps;                 // as TimeCurves: dt ... samples/2 dt
  std::vector<long double> rho_mm;          // the distances, in the order asked for
  std::vector<double> reflectance;          // rho_mm.size() rows of t_ps.size() values, mm^-2 ps^-1
  std::vector<double> standard_error;       // of each value, from the batches
  double width_mm = 0;                      // of the annuli
  std::uint64_t photons = 0;                // launched
  unsigned batches = 0;
  // The weight per photon that left through the surface at any distance and time of the grid,
  // through the bottom surface (a finite stack only), and that was still inside when the
  // grid's time ran out, each with its standard error.
  double total_reflectance = 0, total_reflectance_error = 0;
  double total_transmittance = 0, total_transmittance_error = 0;
  double unfinished = 0;
  PathRecord paths;  // empty unless record_paths

  std::span<const double> Curve(std::size_t rho_index) const {
    return std::span<const double>(reflectance).subspan(rho_index * t_ps.size(), t_ps.size());
  }
  std::span<const double> StandardError(std::size_t rho_index) const {
    return std::span<const double>(standard_error).subspan(rho_index * t_ps.size(), t_ps.size());
  }
};

// Simulates `options.photons` photons in `medium` and scores them at each distance (> 0 mm) on
// `grid`. Throws InvalidRequest for an invalid medium, distance, grid or option.
MonteCarloCurves MonteCarlo(const Medium& medium, const std::vector<long double>& rho_mm,
                            const TimeGrid& grid = {}, const MonteCarloOptions& options = {});

// A run in parts, for batches spread over processes or machines: the raw weights of batches
// first ... first + count - 1 of the run that `options` describes, each computed as
// MonteCarlo() computes it. MonteCarloCombine() of parts that hold every batch once gives
// MonteCarlo()'s curves bit for bit, however the batches were split.
struct MonteCarloBatches {
  unsigned first = 0, count = 0;
  std::vector<double> weight;  // per batch, rho_mm.size() x bins of weight scored per annulus and bin
  std::vector<double> totals;  // per batch: reflected, transmitted, unfinished weight
  PathRecord paths;            // of a white run: the batches' detected photons in order
};

MonteCarloBatches MonteCarloRunBatches(const Medium& medium, const std::vector<long double>& rho_mm,
                                       const TimeGrid& grid, const MonteCarloOptions& options, unsigned first,
                                       unsigned count);

// Throws InvalidRequest unless the parts hold batches 0 ... options.batches - 1 once each, of
// the same medium, distances, grid and options.
MonteCarloCurves MonteCarloCombine(const Medium& medium, const std::vector<long double>& rho_mm,
                                   const TimeGrid& grid, const MonteCarloOptions& options,
                                   std::vector<MonteCarloBatches> parts);

// Curves re-weighted from a white run for absorption coefficients `mua` (one per layer, >= 0):
// each detected photon's weight times exp(-sum_k mua_k L_k).
struct ReweightedCurves {
  MonteCarloCurves curves;  // reflectance and standard errors; totals and paths left empty
  // Mean partial pathlength in each layer of the photons detected at each distance over the
  // whole grid, mm: rho_mm.size() rows of `layers` values (NaN where none was detected).
  std::vector<double> mean_partial_path_mm;
};

ReweightedCurves Reweight(const MonteCarloCurves& white, const std::vector<double>& mua);

}  // namespace nlayer

#pragma GCC visibility pop
