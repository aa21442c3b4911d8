// nlayer-run: one run of the model without a window, as a click on "Start!" performs it.
//
// Exit status: 0 on success; 1 when the run fails (the message, as the window would show it,
// on standard error); 2 for a bad command line.
//
// Table mode (--rho, --dt, --samples, --fd, --csv) computes with the library instead of the
// window's run and writes a CSV table only; its messages are the library's, in English.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/fp_guard.h"
#include "core/number_text.h"
#include "nlayer/moments.h"
#include "nlayer/monte_carlo.h"
#include "nlayer/reflectance.h"
#include "app/run.h"
#include "app/run_error.h"
#include "app/run_explanation.h"
#include "io/csv_table.h"
#include "io/model_file.h"
#include "io/number_list.h"
#include "io/output_file.h"
#include "cli/command_line.h"
#if NLAYER_HAVE_PLOT
#include "plot/plot_module.h"
#endif

namespace {

using nlayer::cli::UsageError;

// One line per way of calling it, the others starting with "or:", as help2man reads a synopsis.
constexpr const char* kUsage =
    "Usage: nlayer-run [--input PATH] [--output PATH] [--threads N] [--plot IMAGE]\n"
    "  or:  nlayer-run --csv PATH [--input PATH] [--rho LIST] [--dt PS] [--samples N] [--fd LIST] [--engine NAME] "
    "[--threads N] [--plot IMAGE]\n"
    "  or:  nlayer-run --csv PATH --engine mc [--photons N] [--seed S] [--width MM] [--input PATH] [--rho LIST] "
    "[--dt PS] [--samples N] [--threads N] [--plot IMAGE]\n"
    "  or:  nlayer-run --moments [--input PATH] [--rho LIST] [--threads N]\n"
    "\n"
    "Computes the time-resolved reflectance of the layered medium described in PATH\n"
    "(default \"input.dat\") and writes it to the output file (default \"reflectance.dat\").\n"
    "\n"
    "Table mode (any of its options) computes with the library and writes only the CSV table\n"
    "named by --csv: a column of the curve per distance at t = dt ... N/2 dt, or with --fd a row\n"
    "of the complex reflectance per frequency and distance. With --engine mc the curves come from\n"
    "a Monte Carlo simulation of the photons (Henyey-Greenstein g = 0.9 in every layer), each\n"
    "column followed by its standard error.\n"
    "\n"
    "With --moments it prints for each distance the total (continuous-wave) reflectance, the mean\n"
    "time of flight and the variance of the curve, then per layer the mean partial pathlength (mpp)\n"
    "and the sensitivity factors of the mean time (mtsf) and of the variance (vsf) to its mua.\n"
    "\n"
    "Exit status: 0 on success, 1 when the run fails, 2 for a bad command line.\n";

// Samples this far below a curve's peak are not drawn, as in the window's run: at the start
// of a curve they are noise of the finite spectrum.
constexpr double kPlotRange = 1e-6;
constexpr int kMaxPlottedCurves = 8;
// The library's highest frequency, checked here so that a bad --fd is a bad command line.
constexpr long double kHighestFrequencyHz = 1e12L;

// What table mode was asked for; any of its options selects it.
struct TableRequest {
  std::optional<std::filesystem::path> csv;
  std::optional<nlayer::NumberList> rho;
  std::optional<nlayer::NumberList> fd;
  bool grid_given = false;
  nlayer::TimeGrid grid;

  bool engine_given = false;
  nlayer::Engine engine = nlayer::Engine::kExact;

  // --engine mc: the Monte Carlo simulation instead of the diffusion model.
  bool monte_carlo = false;
  bool monte_carlo_given = false;  // --photons, --seed or --width, which need it
  nlayer::MonteCarloOptions mc;

  bool Selected() const { return csv || rho || fd || grid_given || engine_given || monte_carlo_given; }
};

void CheckTableRequest(const TableRequest& table, bool output_given, bool plot_given) {
  if (!table.csv) throw UsageError{"--rho, --dt, --samples and --fd write a table: name its file with --csv"};
  if (output_given) throw UsageError{"--output names the curve file of a plain run; a table goes to --csv only"};
  if (table.fd && table.grid_given) throw UsageError{"--dt and --samples set the time grid of curves; --fd computes none"};
  if (table.fd && plot_given) throw UsageError{"--plot draws curves in time; it does not apply to --fd"};
  if (table.monte_carlo_given && !table.monte_carlo) {
    throw UsageError{"--photons, --seed and --width set the Monte Carlo simulation: add --engine mc"};
  }
  if (table.monte_carlo && table.fd) throw UsageError{"--engine mc simulates curves in time; it does not apply to --fd"};
  if (plot_given && table.rho && table.rho->values.size() > kMaxPlottedCurves) {
    throw UsageError{"--plot draws at most " + std::to_string(kMaxPlottedCurves) + " curves, not " +
                     std::to_string(table.rho->values.size())};
  }
}

#if NLAYER_HAVE_PLOT
void PlotCurves(const nlayer::TimeCurves& curves, const std::vector<std::string>& labels,
                const std::filesystem::path& path) {
  std::vector<nlayer::ui::NamedCurve> named;
  for (std::size_t r = 0; r < curves.rho_mm.size(); ++r) {
    const auto curve = curves.Curve(r);
    double peak = 0;
    for (double value : curve) peak = std::fmax(peak, std::fabs(value));
    nlayer::ui::NamedCurve& drawn = named.emplace_back();
    drawn.name = "\u03c1 = " + labels[r] + " mm";
    for (std::size_t i = 0; i < curve.size(); ++i) {
      if (std::fabs(curve[i]) >= peak * kPlotRange && curve[i] != 0) {
        drawn.points.emplace_back(curves.t_ps[i], std::log10(std::fabs(curve[i])));
      }
    }
  }
  nlayer::plot::WriteCurvesImage(named, path);
}
#endif

// The model file read and validated by the library's rules, and the distances to compute: the
// --rho list as written, or the file's rho. Nothing, with the message printed, for a model the
// library refuses; a file that cannot be read throws InputFileError.
struct ModelAndDistances {
  nlayer::ModelFile model;
  std::vector<long double> rho;
  std::vector<std::string> labels;  // each distance as written, for headers and legends
};

std::optional<ModelAndDistances> ReadRequest(const TableRequest& table, const nlayer::RunOptions& options) {
  ModelAndDistances request{nlayer::ReadModelFile(options.input_path), {}, {}};
  if (auto problem = nlayer::ValidateModelFile(request.model, !table.rho)) {
    std::fprintf(stderr, "%s\n", problem->c_str());
    return std::nullopt;
  }
  request.rho = {request.model.rho_mm};
  request.labels = {nlayer::NumberText(request.model.rho_mm)};
  if (table.rho) {
    request.rho = table.rho->values;
    request.labels = table.rho->items;
  }
  return request;
}

// Table mode: the model file read and validated by the library's rules, the table computed by
// the library and written all at once. Returns the exit status.
int RunTable(const TableRequest& table, const nlayer::RunOptions& options,
             const std::optional<std::filesystem::path>& plot_path) {
  try {
    nlayer::AssertFloatingPointEnvironment();
    const std::optional<ModelAndDistances> request = ReadRequest(table, options);
    if (!request) return 1;
    const nlayer::ModelFile& model = request->model;
    const std::vector<long double>& rho = request->rho;
    const std::vector<std::string>& labels = request->labels;
    const nlayer::ComputeOptions compute{.threads = options.threads, .engine = table.engine};
    if (table.fd) {
      std::vector<double> f_hz;
      for (long double f : table.fd->values) f_hz.push_back(static_cast<double>(f));
      nlayer::ReplaceFile(*table.csv, nlayer::FrequencyTable(nlayer::FrequencyDomain(model.medium, rho, f_hz, compute)));
      return 0;
    }
    nlayer::TimeCurves curves;
    if (table.monte_carlo) {
      nlayer::MonteCarloOptions mc = table.mc;
      mc.threads = options.threads;
      const nlayer::MonteCarloCurves simulated = nlayer::MonteCarlo(model.medium, rho, table.grid, mc);
      nlayer::ReplaceFile(*table.csv, nlayer::MonteCarloTable(simulated, labels));
      curves.t_ps = simulated.t_ps;
      curves.rho_mm = simulated.rho_mm;
      curves.reflectance = simulated.reflectance;
    } else {
      curves = nlayer::TimeResolved(model.medium, rho, table.grid, compute);
      nlayer::ReplaceFile(*table.csv, nlayer::TimeTable(curves, labels));
    }
#if NLAYER_HAVE_PLOT
    if (plot_path) PlotCurves(curves, labels, *plot_path);
#else
    (void)plot_path;
#endif
  } catch (const nlayer::InputFileError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nlayer-run: %s\n", e.what());
    return 1;
  }
  return 0;
}

// --moments: the moments and their sensitivities for each distance, one "name = value unit"
// per line, the values in the shortest form that reads back to the same double.
int RunMoments(const TableRequest& table, const nlayer::RunOptions& options) {
  try {
    nlayer::AssertFloatingPointEnvironment();
    const std::optional<ModelAndDistances> request = ReadRequest(table, options);
    if (!request) return 1;
    const nlayer::ModelFile& model = request->model;
    const std::vector<long double>& rho = request->rho;
    const std::vector<std::string>& labels = request->labels;
    auto text = [](double value) { return nlayer::NumberText(value); };
    for (std::size_t r = 0; r < rho.size(); ++r) {
      const nlayer::Sensitivities s = nlayer::Sensitivity(model.medium, rho[r], {}, {.threads = options.threads}, false);
      if (rho.size() > 1) std::printf("%srho = %s mm\n", r > 0 ? "\n" : "", labels[r].c_str());
      std::printf("total = %s mm^-2\n", text(s.moments.total).c_str());
      std::printf("mean_time = %s ps\n", text(s.moments.mean_time_ps).c_str());
      std::printf("variance = %s ps^2\n", text(s.moments.variance_ps2).c_str());
      for (std::size_t k = 0; k < s.mpp.size(); ++k) {
        std::printf("layer %zu: mpp = %s mm, mtsf = %s ps mm, vsf = %s ps^2 mm\n", k + 1, text(s.mpp[k]).c_str(),
                    text(s.mtsf[k]).c_str(), text(s.vsf[k]).c_str());
      }
    }
  } catch (const nlayer::InputFileError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nlayer-run: %s\n", e.what());
    return 1;
  }
  return nlayer::cli::FlushReport("nlayer-run", 0);
}

// Files the command would write must not be the model it reads (also through a link): a
// plain run would truncate it before reading, a table or picture would replace it.
void CheckOutputsAreNotTheModel(const nlayer::RunOptions& options, const TableRequest& table,
                                const std::optional<std::filesystem::path>& plot_path, bool plain_run) {
  auto check = [&](const std::filesystem::path& output, const char* option) {
    if (nlayer::SameFile(options.input_path, output)) {
      throw UsageError{std::string(option) + " \"" + output.string() + "\" is the model file \"" +
                       options.input_path.string() + "\" itself; writing it would destroy the model"};
    }
  };
  if (plain_run) check(options.output_path, "--output");
  if (table.csv) check(*table.csv, "--csv");
  if (plot_path) check(*plot_path, "--plot");
}

// Everything the command line asks for.
struct Command {
  nlayer::RunOptions options;
  std::optional<std::filesystem::path> plot_path;
  TableRequest table;
  bool output_given = false;
  bool moments = false;
};

// Reads the command line into `command`. Nothing when the command goes on; otherwise its exit
// status (--help, --version, or 2 for a bad command line, which starts no run).
std::optional<int> ParseCommandLine(int argc, char** argv, Command& command) {
  using namespace nlayer::cli;
  nlayer::RunOptions& options = command.options;
  TableRequest& table = command.table;
  CLI::App app("", "nlayer-run");
  Configure(app, kUsage);
  app.add_option("--input", options.input_path,
                 "the model: layer count, then mus' mua n d per layer, then rho (default input.dat)")
      ->option_text("PATH");
  CLI::Option* output = app.add_option("--output", options.output_path,
                                       "the curve: time in ps and R in mm^-2 ps^-1 per line (default reflectance.dat)");
  output->option_text("PATH");
  app.add_option_function<std::string>(
         "--threads", [&](const std::string& text) { options.threads = static_cast<unsigned>(*WholeNumber(text)); },
         "worker threads for the frequencies, 1 to 1024 (default: all cores)")
      ->option_text("N")
      ->check(WholeNumberRule(1, 1024));
  CLI::Option* plot = app.add_option_function<std::string>(
      "--plot", [&](const std::string& path) { command.plot_path = path; },
      "also draw the curve(s) into IMAGE, .png or .svg (in table mode up to 8 distances, not with --fd)");
  plot->option_text("IMAGE");
#if NLAYER_HAVE_PLOT
  plot->check(ImageNameRule());
#endif

  const std::string table_mode = "Table mode";
  app.add_option_function<std::string>(
         "--csv", [&](const std::string& path) { table.csv = path; }, "the CSV table, needed by the options below")
      ->option_text("PATH")
      ->group(table_mode);
  app.add_option_function<std::string>(
         "--rho", [&](const std::string& text) { table.rho = Numbers(text); },
         "source-detector distances in mm, comma-separated (default: the model file's; also for --moments)")
      ->option_text("LIST")
      ->check(DistanceListRule("a comma-separated list of distances in mm"))
      ->group(table_mode);
  CLI::Option* dt = app.add_option_function<std::string>(
      "--dt", [&](const std::string& text) { table.grid.dt_ps = static_cast<double>(Numbers(text).values[0]); },
      "time step of the curves in ps (default 10)");
  dt->option_text("PS")
      ->check(NumberListRule("one time step in ps", 1, [](long double dt_ps) {
        const auto problem = nlayer::TimeGrid{.dt_ps = static_cast<double>(dt_ps)}.Validate();
        return problem ? problem->message : std::string();
      }))
      ->group(table_mode);
  CLI::Option* samples = app.add_option_function<std::string>(
      "--samples", [&](const std::string& text) { table.grid.samples = *WholeNumber(text); },
      "transform length, a power of two from 16 to 65536 (default 1024)");
  samples->option_text("N")
      ->check(Rule([](const std::string& text) -> std::string {
        const std::optional<int> n = WholeNumber(text);
        if (!n) return "needs a whole number, not \"" + text + "\"";
        const auto problem = nlayer::TimeGrid{.samples = *n}.Validate();
        return problem ? problem->message : std::string();
      }))
      ->group(table_mode);
  app.add_option_function<std::string>(
         "--fd", [&](const std::string& text) { table.fd = Numbers(text); },
         "frequencies in Hz, comma-separated: the complex reflectance instead of curves (0: continuous wave)")
      ->option_text("LIST")
      ->check(NumberListRule("a comma-separated list of frequencies in Hz", 0,
                             [](long double f) {
                               if (f >= 0 && f <= kHighestFrequencyHz) return std::string();
                               return "frequency " + nlayer::NumberText(f) + " Hz is outside 0 ... 1e12 Hz";
                             }))
      ->group(table_mode);
  std::string engine;
  CLI::Option* engine_option =
      app.add_option("--engine", engine,
                     "exact (default: 80-bit, the window's numbers), fast (double, about 8 digits) or mc (Monte Carlo)");
  engine_option->option_text("NAME")->check(CLI::IsMember({"exact", "fast", "mc"}))->group(table_mode);
  CLI::Option* photons = app.add_option_function<std::string>(
      "--photons", [&](const std::string& text) { table.mc.photons = std::stoull(text); },
      "with --engine mc: photons launched, 20 to 1e12 (default 1e6)");
  photons->option_text("N")
      ->check(Rule([](const std::string& text) -> std::string {
        unsigned long long n = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
        if (error != std::errc() || end != text.data() + text.size() || n < 20 || n > 1'000'000'000'000ULL) {
          return "needs a whole number of photons from 20 to 1e12, not \"" + text + "\"";
        }
        return {};
      }))
      ->group(table_mode);
  CLI::Option* seed = app.add_option_function<std::string>(
      "--seed", [&](const std::string& text) { table.mc.seed = std::stoull(text); },
      "with --engine mc: the random numbers' seed, 0 to 2^64 - 1 (default 1): the same seed, the same table");
  seed->option_text("S")
      ->check(Rule([](const std::string& text) -> std::string {
        unsigned long long n = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
        if (error != std::errc() || end != text.data() + text.size()) {
          return "needs a whole number from 0 to 18446744073709551615, not \"" + text + "\"";
        }
        return {};
      }))
      ->group(table_mode);
  CLI::Option* width = app.add_option_function<std::string>(
      "--width", [&](const std::string& text) { table.mc.width_mm = static_cast<double>(Numbers(text).values[0]); },
      "with --engine mc: width in mm of each distance's detecting annulus (default 1)");
  width->option_text("MM")
      ->check(NumberListRule("one width in mm", 1, [](long double w) {
        return w > 0 && w <= 1000 ? std::string() : "width " + nlayer::NumberText(w) + " mm is outside (0, 1000]";
      }))
      ->group(table_mode);

  app.add_flag("--moments", command.moments,
               "print the moments of the curve and their sensitivities to each layer's mua, per distance")
      ->group("Moments");

  return Parse(app, argc, argv, [&] {
#if !NLAYER_HAVE_PLOT
    if (command.plot_path) throw UsageError{"--plot is not available: this nlayer-run was built without Qt"};
#endif
    command.output_given = output->count() > 0;
    table.grid_given = dt->count() > 0 || samples->count() > 0;
    table.engine_given = engine_option->count() > 0;
    if (engine == "fast") table.engine = nlayer::Engine::kFast;
    table.monte_carlo = engine == "mc";
    table.monte_carlo_given = photons->count() > 0 || seed->count() > 0 || width->count() > 0;
    if (command.moments) {
      if (table.csv || table.fd || table.grid_given || table.engine_given || table.monte_carlo_given ||
          command.output_given || command.plot_path) {
        throw UsageError{"--moments prints a report; it takes only --input, --rho and --threads"};
      }
    } else if (table.Selected()) {
      CheckTableRequest(table, command.output_given, command.plot_path.has_value());
    }
    CheckOutputsAreNotTheModel(options, table, command.plot_path, !command.moments && !table.Selected());
  });
}

}  // namespace

int main(int argc, char** argv) {
  Command command;
  if (const std::optional<int> status = ParseCommandLine(argc, argv, command)) return *status;
  const nlayer::RunOptions& options = command.options;
  const std::optional<std::filesystem::path>& plot_path = command.plot_path;
  const TableRequest& table = command.table;
  const bool moments = command.moments;

  // What is written after the computation is checked before it: a name that cannot be written
  // must not cost the run. (The plain run's --output is opened first thing, as the window does.)
  try {
    for (const auto* output : {&table.csv, &plot_path}) {
      if (*output) nlayer::CheckOutputPath(**output);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nlayer-run: %s\n", e.what());
    return 1;
  }

  if (moments) return RunMoments(table, options);
  if (table.Selected()) return RunTable(table, options, plot_path);

  // The model read apart from the run: warnings before it, and the explanation of a failure.
  const nlayer::ModelReading reading = nlayer::ReadModelForExplanation(options.input_path);
  if (reading.model) {
    for (const std::string& warning : nlayer::ModelWarnings(*reading.model)) {
      std::fprintf(stderr, "warning: %s\n", warning.c_str());
    }
    for (const std::string& note : nlayer::ModelNotes(*reading.model)) std::fprintf(stderr, "note: %s\n", note.c_str());
  }
  try {
    nlayer::AssertFloatingPointEnvironment();
    nlayer::RunSession session;  // a new session: this run uses series 0
    nlayer::MemoryChart chart;
    session.Run(chart, options);
    if (auto fold = nlayer::FoldWarning(session.FoldedPart())) std::fprintf(stderr, "warning: %s\n", fold->c_str());
#if NLAYER_HAVE_PLOT
    if (plot_path) nlayer::plot::WriteChartImage(chart, *plot_path);
#endif
  } catch (const nlayer::RunError& e) {
    std::fprintf(stderr, "%s\n", nlayer::UserMessage(e.what()).c_str());
    if (!e.explanation().empty()) {
      std::fprintf(stderr, "%s\n", e.explanation().c_str());
    } else if (auto explanation = nlayer::ExplainRunFailure(e, reading, options)) {
      std::fprintf(stderr, "%s\n", explanation->c_str());
    }
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nlayer-run: %s\n", e.what());
    return 1;
  }
  return 0;
}
