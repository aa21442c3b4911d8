// Whole runs on small fuzzed models: the bytes are "input.dat", limited to models of at most
// twelve layers, and only the first 8 frequencies are computed (the others enter the transform
// as 0), so that a run takes milliseconds. Each model runs on one thread and again on three,
// which must give the same bytes, the same message and the same frequency of a fault.
//
// A run either succeeds with a well-formed, finite curve whose chart points match the file
// line for line, or fails with one of the model's messages; only RunError may leave it, and
// both files are closed whatever happened. A failure leaves whole, well-formed lines at most
// (one in the output loop keeps the lines written before it).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/chart_sink.h"
#include "app/run.h"
#include "app/run_error.h"
#include "fuzz/fuzz_support.h"
#include "io/input_reader.h"
#include "io/text_file.h"

namespace nlayer::fuzz {
namespace {

constexpr std::int32_t kMaxLayers = 12;
constexpr int kComputedFrequencies = 8;

// The layer count the file starts with, or 0 when it does not start with a valid one (the run
// then fails at once, whatever the count).
std::int32_t LayerCountOfInput() {
  TextFile file;
  file.OpenRead("input.dat");
  InputReader reader(file);
  try {
    return reader.ReadInteger();
  } catch (const FileRefusal&) {
    return 0;
  }
}

void CheckChartAgainstFile(const MemoryChart& chart, const std::vector<testing::ReflectanceSample>& samples) {
  const MemoryChart::Points& points = chart.Series(0);
  Require(points.size() == samples.size(), std::to_string(points.size()) + " chart points for " +
                                               std::to_string(samples.size()) + " lines of output");
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto [x, y] = points[i];
    Require(x == samples[i].time_ps, "chart point " + std::to_string(i) + " is not at the time of its line");
    Require(std::isfinite(y), "chart point " + std::to_string(i) + " is not finite");
    // The file rounds to 15 digits, which moves log10 by less than 1e-15 / ln 10.
    Require(std::fabs(y - static_cast<double>(std::log10(std::fabs(samples[i].value)))) <= 1e-12,
            "chart point " + std::to_string(i) + " is not log10 of its line's value");
  }
  for (int other = 1; other < ChartSink::kSeriesCount; ++other) {
    Require(chart.Series(other).empty(), "a point went to series " + std::to_string(other));
  }
}

}  // namespace
}  // namespace nlayer::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace nlayer::fuzz;
  WriteFile("input.dat", data, size);
  // Counts beyond what the file holds fail while the model is read, which the model fuzzer
  // covers; larger models only make the runs slow.
  if (LayerCountOfInput() > kMaxLayers) return -1;

  struct Outcome {
    std::string message, output;
    int freq_index = 0;
  };
  auto run_on = [](unsigned threads) {
    nlayer::RunOptions options;
    options.threads = threads;
    options.computed_frequencies = kComputedFrequencies;
    nlayer::RunSession session;
    nlayer::MemoryChart chart;
    Outcome outcome;
    try {
      session.Run(chart, options);
    } catch (const nlayer::RunError& e) {
      outcome.message = e.what();
    }
    const nlayer::ModelState& s = session.State();
    Require(!s.InputFile.IsOpen(), "the model file is still open after the run");
    Require(!s.OutputFile.IsOpen(), "the output file is still open after the run");
    Require(s.RunIndex == 0, "the run did not use series 0");
    outcome.output = ReadFile("reflectance.dat");
    outcome.freq_index = s.FreqIndex;
    const bool succeeded = outcome.message.empty();
    Require(succeeded || IsModelFailureMessage(outcome.message), "unexpected message \"" + outcome.message + "\"");
    CheckChartAgainstFile(chart, CheckOutputLines(outcome.output, succeeded));
    return outcome;
  };
  const Outcome one = run_on(1);
  const Outcome three = run_on(3);
  Require(one.message == three.message, "one thread says \"" + one.message + "\", three \"" + three.message + "\"");
  Require(one.output == three.output, "one thread and three write different files");
  Require(one.freq_index == three.freq_index, "one thread and three stop at different frequencies");
  return 0;
}
