#include "core/spectrum.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "core/hankel.h"

namespace nlayer {

unsigned WorkerCount(unsigned requested) {
  if (requested != 0) return requested;
  return std::max(1u, std::thread::hardware_concurrency());
}

namespace {

// A fault found by the checked evaluation of a whole frequency is named by the ranked sticky
// flags, which can differ from the fault the steps meet first; the slow replay decides, and
// the ranked flag stands where the replay meets none (the two evaluations differ in the order
// of a few operations).
FpFault FirstFaultOf(FpFault ranked, const DerivedModel& model, std::span<const long double> rhos,
                     long double omega) {
  const FpFault located = LocateFirstFault(model, rhos, omega);
  return located != FpFault::kNone ? located : ranked;
}

}  // namespace

Spectrum ComputeSpectrum(const DerivedModel& model, std::span<const long double> rhos,
                         std::span<const long double> omegas, unsigned threads, int computed_limit) {
  Spectrum result;
  result.distances = rhos.size();
  result.frequencies = omegas.size();
  result.values.assign(rhos.size() * omegas.size(), ComplexExt{});
  if (omegas.empty() || rhos.empty()) return result;
  const int count = static_cast<int>(omegas.size());

  // What the frequencies share is computed once. Done in the loop, its arithmetic would first
  // run at the first frequency, so that is where a fault of it belongs.
  const auto tables = std::make_unique<RunTables>();
  {
    FrequencyContext first;
    first.Resize(model.DiffCoef.size(), rhos.size());
    const FpFault fault = RunChecked([&] {
      SetFrequency(omegas[0], model, first);
      BuildRunTables(model, rhos, *tables);
    });
    if (fault != FpFault::kNone) {
      result.first_fault = 0;
      result.fault = FirstFaultOf(fault, model, rhos, omegas[0]);
      return result;
    }
  }

  std::vector<FpFault> faults(omegas.size(), FpFault::kNone);
  std::atomic<int> next{0};
  std::atomic<int> stop_at{std::clamp(computed_limit, 0, count)};
  auto worker = [&] {
    FrequencyContext context;
    context.Resize(model.DiffCoef.size(), rhos.size());
    for (int k = next++; k < count && k < stop_at.load(); k = next++) {
      faults[k] = RunChecked([&] {
        SetFrequency(omegas[k], model, context);
        RadialReflectance(model, *tables, context);
      });
      std::copy(context.Refl.begin(), context.Refl.end(), result.values.begin() + static_cast<std::ptrdiff_t>(k * rhos.size()));
      if (faults[k] != FpFault::kNone) {
        int seen = stop_at.load();
        while (k < seen && !stop_at.compare_exchange_weak(seen, k)) {
        }
      }
    }
  };
  const unsigned workers = std::min<unsigned>(WorkerCount(threads), static_cast<unsigned>(count));
  if (workers <= 1) {
    worker();
  } else {
    std::vector<std::jthread> pool;
    for (unsigned t = 0; t < workers; ++t) pool.emplace_back(worker);
  }
  for (int k = 0; k < count; ++k) {
    if (faults[k] == FpFault::kNone) continue;
    result.first_fault = k;
    result.fault = FirstFaultOf(faults[k], model, rhos, omegas[k]);
    break;
  }
  return result;
}

}  // namespace nlayer
