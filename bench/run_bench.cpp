// Whole runs of the model, from reading "input.dat" to writing "reflectance.dat": the cost a
// user waits for, on one worker thread and on all of them.
//
// Each way of running the model is registered once with RegisterWholeRuns and is timed on the
// same model files, so further ways can be set beside RunSession::Run and compared case by case.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "bench/reference_evaluation.h"
#include "app/chart_sink.h"
#include "core/derived_model.h"
#include "core/fp_guard.h"
#include "app/run.h"
#include "app/run_error.h"

namespace nlayer {
namespace {

namespace fs = std::filesystem;

// 513 modulation frequencies times the 960 points of the Hankel quadrature.
constexpr double kEvaluationsPerRun = 513.0 * 960.0;

// Layer count first, then mus', mua, n, d per layer, then rho. A half space (one layer) seen
// at rho = 20 mm, whose time curve is known to seven digits; and the four-layer reference stack
// (mus' = 1 / (3 D) of each layer) seen at rho = 10 mm, whose integrand is known to ten digits.
const std::map<int, std::string> kModels = {
    {1, "1\n1\n0.01\n1.4\n10\n20\n"},
    {4,
     "4\n"
     "1\n0.01\n1.4\n3\n"
     "1.3333333333333333\n0.02\n1.33\n2\n"
     "0.8333333333333333\n0.005\n1.5\n4\n"
     "1.1111111111111111\n0.03\n1.45\n20\n"
     "10\n"}};

// A temporary directory made once for the process, with one subdirectory per model holding
// its "input.dat"; each run writes its "reflectance.dat" beside it. Removed on destruction.
class ModelFiles {
 public:
  ModelFiles() {
    std::string pattern = (fs::temp_directory_path() / "nlayer-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "cannot create " + pattern);
    }
    root_ = pattern;
    for (const auto& [layers, text] : kModels) {
      fs::create_directory(Directory(layers));
      std::ofstream input(Directory(layers) / "input.dat", std::ios::binary);
      input << text;
      if (!input.flush()) throw std::runtime_error("cannot write the model of " + std::to_string(layers) + " layers");
    }
  }
  ~ModelFiles() {
    std::error_code ignored;  // a benchmark that fails must not fail again at clean-up
    fs::remove_all(root_, ignored);
  }
  ModelFiles(const ModelFiles&) = delete;
  ModelFiles& operator=(const ModelFiles&) = delete;

  RunOptions Options(int layers, unsigned threads) const {
    RunOptions options;
    options.input_path = Directory(layers) / "input.dat";
    options.output_path = Directory(layers) / "reflectance.dat";
    options.threads = threads;
    return options;
  }

 private:
  fs::path Directory(int layers) const { return root_ / (std::to_string(layers) + "-layer"); }

  fs::path root_;
};

using RunFunction = std::function<void(ChartSink&, const RunOptions&)>;

// Times `run` on the model with state.range(0) layers and state.range(1) worker threads.
void TimeWholeRuns(benchmark::State& state, const ModelFiles& files, const RunFunction& run) {
  const RunOptions options = files.Options(static_cast<int>(state.range(0)), static_cast<unsigned>(state.range(1)));
  for (auto _ : state) {
    MemoryChart chart;
    try {
      run(chart, options);
    } catch (const RunError& e) {
      state.SkipWithError(e.what());
      break;
    }
    benchmark::DoNotOptimize(chart);
  }
  // The time of one integrand evaluation with the run's overhead spread over them all.
  state.counters["per_eval"] = benchmark::Counter(
      kEvaluationsPerRun, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Registers the whole runs of one way of running the model: one and four layers, each on one
// thread and on all hardware threads. Several workers are timed in wall-clock time, since CPU
// time counts only the thread that waits for them.
void RegisterWholeRuns(const std::string& name, const ModelFiles& files, RunFunction run) {
  const long all_threads = std::max(1u, std::thread::hardware_concurrency());
  auto time_runs = [&files, run = std::move(run)](benchmark::State& state) { TimeWholeRuns(state, files, run); };
  benchmark::RegisterBenchmark(name.c_str(), time_runs)
      ->ArgNames({"layers", "workers"})
      ->Args({1, 1})
      ->Args({4, 1})
      ->Unit(benchmark::kMillisecond);
  if (all_threads > 1) {
    benchmark::RegisterBenchmark(name.c_str(), time_runs)
        ->ArgNames({"layers", "workers"})
        ->Args({1, all_threads})
        ->Args({4, all_threads})
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
}

double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The speed of a run against the straightforward reference evaluation, measured in pairs on the
// same model (reference, one thread, all threads, and again) so that a machine whose speed
// drifts still gives fair ratios. The reference is its frequency loop alone, one thread, after
// reading the model; the real runs are whole runs, reading, transform and output included.
void ReportRatios(const ModelFiles& files, int repetitions) {
  const unsigned all_threads = std::max(1u, std::thread::hardware_concurrency());
  std::printf("%-9s %14s %14s %7s %14s %7s\n", "model", "reference ms", "1 thread ms", "ratio",
              (std::to_string(all_threads) + " threads ms").c_str(), "ratio");
  for (int layers : {1, 4}) {
    std::vector<double> reference, one, all, one_ratio, all_ratio;
    for (int r = 0; r < repetitions; ++r) {
      const RunOptions options = files.Options(layers, 1);
      RunSession session;
      session.ReadModel(options);
      session.CloseFiles();
      const DerivedModel& read = session.State().Model;
      std::vector<Layer> stack;
      for (std::size_t j = 0; j < read.Musp.size(); ++j) {
        stack.push_back({read.Musp[j], read.Mua[j], read.RefrIndex[j], read.Thickness[j]});
      }
      DerivedModel model;
      if (DeriveModel(stack, model) != FaultKind::kNone) std::abort();
      long double sink = 0;
      reference.push_back(Seconds([&] { sink = reference::FrequencyLoop(model, session.Rho()); }));
      benchmark::DoNotOptimize(sink);
      for (unsigned threads : {1u, all_threads}) {
        RunSession run;
        MemoryChart chart;
        const double t = Seconds([&] { run.Run(chart, files.Options(layers, threads)); });
        (threads == 1 ? one : all).push_back(t);
        (threads == 1 ? one_ratio : all_ratio).push_back(t / reference.back());
      }
    }
    std::printf("%-9s %14.1f %14.1f %7.3f %14.1f %7.3f\n", (std::to_string(layers) + " layer").c_str(),
                1e3 * Median(reference), 1e3 * Median(one), Median(one_ratio), 1e3 * Median(all), Median(all_ratio));
  }
  std::printf("(medians of %d pairs; a ratio is the run's time over the reference's in the same pair)\n",
              repetitions);
}

}  // namespace
}  // namespace nlayer

int main(int argc, char** argv) {
  // --ratios[=N]: the paired comparison with the reference evaluation instead of the benchmarks.
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--ratios", 8) == 0) {
      try {
        nlayer::AssertFloatingPointEnvironment();
        const nlayer::ModelFiles files;
        nlayer::ReportRatios(files, argv[i][8] == '=' ? std::max(1, std::atoi(argv[i] + 9)) : 5);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "run_bench: %s\n", e.what());
        return 1;
      }
      return 0;
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  try {
    // The timings mean something only in the environment the model is computed in.
    nlayer::AssertFloatingPointEnvironment();
    const nlayer::ModelFiles files;
    // A session per run: every run advances the run counter before it plots, and only series
    // 0 .. 7 exist, so one session would fail its ninth repetition.
    nlayer::RegisterWholeRuns("WholeRun", files, [](nlayer::ChartSink& chart, const nlayer::RunOptions& options) {
      nlayer::RunSession session;
      session.Run(chart, options);
    });
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "run_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
