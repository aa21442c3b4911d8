// What one call of the fast engine prepares before its frequency loop, shared by the spectrum
// (core/fast/fast_engine.h) and its derivatives (core/fast/fast_derivatives.h), so that both
// evaluate the same points with the same weights and decline the same requests.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "core/derived_model.h"
#include "core/fast/fast_kernel.h"
#include "core/hankel.h"
#include "core/layered_solution.h"
#include "core/spectrum.h"

namespace nlayer::fast {

// One row of the padded rule, aligned for the widest vector.
struct alignas(64) PaddedRow {
  double v[kPaddedPoints];
};

// One panel of the rule for one group of distances, ready for the kernel.
struct FastPanel {
  const DistanceGroup* group = nullptr;
  std::unique_ptr<RunTables> tables = std::make_unique<RunTables>();
  std::unique_ptr<PaddedRow> s2_hi = std::make_unique<PaddedRow>();
  std::unique_ptr<PaddedRow> s2_lo = std::make_unique<PaddedRow>();
  std::unique_ptr<PaddedRow> magnitude = std::make_unique<PaddedRow>();
  std::unique_ptr<PaddedRow> log_magnitude = std::make_unique<PaddedRow>();
  std::vector<PaddedRow> weights_hi, weights_lo;  // per distance of the group
  std::array<int, 960> order{};                    // the rule's point at each padded place
  KernelModel kernel;
};

// The plans of the distances, the panels of every group and the model rounded for the kernel.
// Holds pointers into itself: built in place, never moved.
struct FastSetup {
  std::size_t layers = 0;
  LayerTerms terms;
  std::vector<TransformPlan> plans;
  std::vector<DistanceGroup> groups;
  std::vector<FastPanel> panels;

  FastSetup() = default;
  FastSetup(const FastSetup&) = delete;
  FastSetup& operator=(const FastSetup&) = delete;
};

// Fills `setup` for `model` at `rhos` up to the highest of `omegas` (both non-empty); false
// where the double evaluation does not suit the request (see core/fast/fast_engine.h).
bool PrepareFast(const DerivedModel& model, std::span<const long double> rhos, std::span<const long double> omegas,
                 FastSetup& setup);

// omega n_j / (c D_j) of layer j, 1/mm^2.
long double OmegaTerm(long double omega, const DerivedModel& model, std::size_t j);

// A worker's scratch for FastFrequency.
struct FrequencyScratch {
  std::vector<double> omega_terms, omega_term_steps;
  PaddedRow re_hi, re_lo, im_hi, im_lo;
};

// The spectrum at one angular frequency into out[r] for every distance r of the request; false
// where a sum is not finite.
bool FastFrequency(const DerivedModel& model, const FastSetup& setup, long double omega, FrequencyScratch& scratch,
                   ComplexExt* out);

}  // namespace nlayer::fast
