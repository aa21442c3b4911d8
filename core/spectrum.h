// The frequency loop: the transform of the layered solution at every requested modulation
// frequency and detector distance, on a pool of worker threads.
#pragma once

#include <algorithm>
#include <span>
#include <stop_token>
#include <thread>
#include <vector>

#include "core/derived_model.h"
#include "core/hankel.h"
#include "core/layered_solution.h"
#include "nlayer/medium.h"

namespace nlayer {

struct Spectrum {
  std::size_t distances = 0;
  std::size_t frequencies = 0;
  // values[k * distances + r]: the reflectance at distance r for frequency k (frequency-major,
  // the order in which a run packs them). Frequencies from first_fault on are left at 0.
  std::vector<ComplexExt> values;
  // The lowest frequency whose evaluation faulted, or -1; a fault of what the frequencies
  // share (the rule, the Bessel factors, the layer terms) counts as one of frequency 0, where
  // it would first have been met.
  int first_fault = -1;
  FaultKind fault = FaultKind::kNone;  // the first fault of that frequency in evaluation order
  std::vector<TransformPlan> plans;  // per distance: its rule and what the rule's rounding leaves

  const ComplexExt& At(std::size_t k, std::size_t r) const { return values[k * distances + r]; }
};

// The checks every frequency-domain request of the public API makes, in their order and with
// their messages: the medium, the distances (also against the transform's reach) and the
// frequencies (0 ... 1e12 Hz). Returns the angular frequencies 2 pi f; throws InvalidRequest.
std::vector<long double> CheckedFrequencyRequest(const Medium& medium, const std::vector<long double>& rho_mm,
                                                 const std::vector<double>& f_hz);
// The checks of the medium and the distances alone.
void CheckRequest(const Medium& medium, const std::vector<long double>& rho_mm);
// The derived model of a checked medium; a fault of the derivation is thrown as ModelError.
DerivedModel DeriveChecked(const Medium& medium);

// A spectrum of `distances` x `frequencies` values, all 0, no fault.
Spectrum ZeroSpectrum(std::size_t distances, std::size_t frequencies);

// The distances of a request that share a plan of the transform, in the request's order, with
// their places in it.
struct DistanceGroup {
  std::vector<long double> rhos;
  std::vector<std::size_t> index;
  std::vector<HankelPlan> plans;  // each distance's own plan: its Bessel factors
  // The nodes, which every distance of the group shares.
  const HankelPlan& nodes() const { return plans.front(); }
};

// The plan of each distance (PlanTransforms), and the distances grouped by the nodes of their
// plans.
std::vector<TransformPlan> PlanDistances(const DerivedModel& model, std::span<const long double> rhos);
std::vector<DistanceGroup> GroupByPlan(std::span<const TransformPlan> plans, std::span<const long double> rhos);

// Computes `omegas` (angular frequencies, rad/s) at `rhos` (mm) for `model` on `threads`
// workers (0: all hardware threads). Each frequency is computed by the same code in the same
// order whichever worker takes it, so the result does not depend on the thread count. A
// frequency that faults stops the workers from starting any higher one. Only frequencies
// k < computed_limit are computed; the others stay 0 (a test knob for fuzzers).
// `stop` is read before each frequency: a request to stop ends the call with Cancelled.
Spectrum ComputeSpectrum(const DerivedModel& model, std::span<const long double> rhos,
                         std::span<const long double> omegas, unsigned threads,
                         int computed_limit = 1 << 30, std::stop_token stop = {});

// The first fault, in the order of the model's steps, that evaluating frequency `omega` at
// `rhos` meets, every operation checked on its own and what the frequencies share computed
// where its formulas first need it; kNone when it meets none. About a hundred times slower
// than the checked evaluation: used only to name the fault of a frequency that faulted. It
// replays the window's form; for the library's form it meets none, and the ranked flag stands.
FaultKind LocateFirstFault(const DerivedModel& model, std::span<const long double> rhos, long double omega);

unsigned WorkerCount(unsigned requested);

// Runs `worker` on as many threads as `requested` gives (WorkerCount) but no more than `tasks`,
// on the caller's own thread where that is one, and returns once all have ended.
template <class Worker>
void RunWorkers(unsigned requested, int tasks, Worker&& worker) {
  const unsigned workers = std::min<unsigned>(WorkerCount(requested), static_cast<unsigned>(std::max(tasks, 1)));
  if (workers <= 1) {
    worker();
    return;
  }
  std::vector<std::jthread> pool;
  for (unsigned t = 0; t < workers; ++t) pool.emplace_back(worker);
}

}  // namespace nlayer
