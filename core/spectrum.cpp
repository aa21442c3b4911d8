#include "core/spectrum.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "core/accuracy.h"
#include "core/hankel.h"
#include "core/number_text.h"

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
FaultKind FirstFaultOf(FaultKind ranked, const DerivedModel& model, std::span<const long double> rhos,
                     long double omega) {
  const FaultKind located = LocateFirstFault(model, rhos, omega);
  return located != FaultKind::kNone ? located : ranked;
}

}  // namespace

Spectrum ZeroSpectrum(std::size_t distances, std::size_t frequencies) {
  Spectrum spectrum;
  spectrum.distances = distances;
  spectrum.frequencies = frequencies;
  spectrum.values.assign(distances * frequencies, ComplexExt{});
  return spectrum;
}

std::vector<TransformPlan> PlanDistances(const DerivedModel& model, std::span<const long double> rhos) {
  return PlanTransforms(model, rhos);
}

std::vector<DistanceGroup> GroupByPlan(std::span<const TransformPlan> plans, std::span<const long double> rhos) {
  std::vector<DistanceGroup> groups;
  for (std::size_t r = 0; r < rhos.size(); ++r) {
    const HankelPlan plan = plans[r].plan;
    auto same =
        std::find_if(groups.begin(), groups.end(), [&](const DistanceGroup& g) { return SameNodes(g.nodes(), plan); });
    if (same == groups.end()) same = groups.insert(groups.end(), DistanceGroup{});
    same->rhos.push_back(rhos[r]);
    same->index.push_back(r);
    same->plans.push_back(plan);
  }
  return groups;
}

namespace {

// The tables of every panel of every group of distances.
struct PanelTables {
  const DistanceGroup* group = nullptr;
  std::unique_ptr<RunTables> tables;
};

}  // namespace

Spectrum ComputeSpectrum(const DerivedModel& model, std::span<const long double> rhos,
                         std::span<const long double> omegas, unsigned threads, int computed_limit,
                         std::stop_token stop) {
  Spectrum result = ZeroSpectrum(rhos.size(), omegas.size());
  if (omegas.empty() || rhos.empty()) return result;
  const int count = static_cast<int>(omegas.size());

  // What the frequencies share is computed once. Done in the loop, its arithmetic would first
  // run at the first frequency, so that is where a fault of it belongs.
  // The plans evaluate frequency 0 under their own flags, so before the checked step.
  result.plans = PlanDistances(model, rhos);
  const std::vector<DistanceGroup> groups = GroupByPlan(result.plans, rhos);
  std::vector<PanelTables> panels;
  {
    FrequencyContext first;
    first.Resize(model.DiffCoef.size(), rhos.size());
    const FaultKind fault = RunChecked([&] {
      SetFrequency(omegas[0], model, first);
      for (const DistanceGroup& group : groups) {
        for (int p = 0; p < group.nodes().panels; ++p) {
          panels.push_back({&group, std::make_unique<RunTables>()});
          BuildRunTables(model, group.rhos, group.plans, p, *panels.back().tables);
        }
      }
    });
    if (fault != FaultKind::kNone) {
      result.first_fault = 0;
      result.fault = FirstFaultOf(fault, model, rhos, omegas[0]);
      return result;
    }
  }

  std::vector<FaultKind> faults(omegas.size(), FaultKind::kNone);
  std::atomic<int> next{0};
  std::atomic<int> stop_at{std::clamp(computed_limit, 0, count)};
  auto worker = [&] {
    FrequencyContext context;
    context.Resize(model.DiffCoef.size(), rhos.size());
    for (int k = next++; k < count && k < stop_at.load(); k = next++) {
      if (stop.stop_requested()) break;
      ComplexExt* const out = result.values.data() + static_cast<std::size_t>(k) * rhos.size();
      faults[k] = RunChecked([&] {
        SetFrequency(omegas[k], model, context);
        const DistanceGroup* group = nullptr;
        for (const PanelTables& panel : panels) {
          const bool first_panel = panel.group != group;
          group = panel.group;
          RadialReflectance(model, *panel.tables, context);
          // The panels' parts added in order, the first taken as it is: a single rule's result
          // is exactly its sum.
          for (std::size_t r = 0; r < group->rhos.size(); ++r) {
            ComplexExt& sum = out[group->index[r]];
            if (first_panel) {
              sum = context.Refl[r];
            } else {
              sum = {sum.re + context.Refl[r].re, sum.im + context.Refl[r].im};
            }
          }
        }
      });
      if (faults[k] != FaultKind::kNone) {
        int seen = stop_at.load();
        while (k < seen && !stop_at.compare_exchange_weak(seen, k)) {
        }
      }
    }
  };
  RunWorkers(threads, count, worker);
  if (stop.stop_requested()) throw Cancelled();
  for (int k = 0; k < count; ++k) {
    if (faults[k] == FaultKind::kNone) continue;
    result.first_fault = k;
    result.fault = FirstFaultOf(faults[k], model, rhos, omegas[k]);
    break;
  }
  return result;
}

void CheckRequest(const Medium& medium, const std::vector<long double>& rho_mm) {
  if (auto problem = medium.Validate()) throw InvalidRequest(*problem);
  if (rho_mm.empty()) throw InvalidRequest({0, "rho", 0, "no source-detector distance was given; give at least one"});
  for (long double rho : rho_mm) {
    if (auto problem = ValidateDistance(rho)) throw InvalidRequest(*problem);
    if (auto problem = DistanceBeyondTransform(medium, rho)) throw InvalidRequest(*problem);
  }
}

std::vector<long double> CheckedFrequencyRequest(const Medium& medium, const std::vector<long double>& rho_mm,
                                                 const std::vector<double>& f_hz) {
  constexpr long double kTwoPi = 6.283185307179586477L;
  constexpr double kHighestFrequencyHz = 1e12;
  CheckRequest(medium, rho_mm);
  std::vector<long double> omegas(f_hz.size());
  for (std::size_t k = 0; k < f_hz.size(); ++k) {
    const double f = f_hz[k];
    if (!(f >= 0) || !(f <= kHighestFrequencyHz)) {
      throw InvalidRequest({0, "f_hz", f, "frequency " + NumberText(f) + " Hz is outside 0 ... 1e12 Hz"});
    }
    omegas[k] = kTwoPi * static_cast<long double>(f);
  }
  return omegas;
}

DerivedModel DeriveChecked(const Medium& medium) {
  DerivedModel model;
  const FaultKind fault = DeriveModel(medium.layers, model);
  if (fault != FaultKind::kNone) throw ModelError(fault, FaultStage::kDerivation, -1, 0.0);
  return model;
}

}  // namespace nlayer
