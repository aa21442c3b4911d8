// nlayer-run: one run of the model without a window, as a click on "Start!" performs it.
//
// Exit status: 0 on success; 1 when the run fails (the message, as the window would show it,
// on standard error); 2 for a bad command line.
//
// Table mode (--rho, --dt, --samples, --fd, --csv) computes with the library instead of the
// window's run and writes a CSV table only; its messages are the library's, in English.
#include <cctype>
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
#include "nlayer/reflectance.h"
#include "app/run.h"
#include "app/run_error.h"
#include "app/run_explanation.h"
#include "io/csv_table.h"
#include "io/model_file.h"
#include "io/number_list.h"
#include "io/output_file.h"
#if NLAYER_HAVE_PLOT
#include "plot/chart_image.h"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: nlayer-run [--input PATH] [--output PATH] [--threads N] [--plot IMAGE]\n"
    "       nlayer-run --csv PATH [--input PATH] [--rho LIST] [--dt PS] [--samples N] [--fd LIST]\n"
    "                  [--threads N] [--plot IMAGE]\n"
    "Computes the time-resolved reflectance of the layered medium described in PATH\n"
    "(default \"input.dat\") and writes it to the output file (default \"reflectance.dat\").\n"
    "\n"
    "  --input PATH    the model: layer count, then mus' mua n d per layer, then rho\n"
    "  --output PATH   the curve: time in ps and reflectance in mm^-2 ps^-1 per line\n"
    "  --threads N     worker threads for the frequency loop (default: all cores)\n"
    "  --plot IMAGE    also draw the curve as the window's chart into IMAGE (.png or .svg)\n"
    "  --help          this text\n"
    "  --version       the program's version\n"
    "\n"
    "Table mode: computes with the library and writes only the CSV table PATH.\n"
    "  --csv PATH      the table (needed by the options below)\n"
    "  --rho LIST      source-detector distances in mm, comma-separated (default: the file's)\n"
    "  --dt PS         time step of the curves in ps (default 10)\n"
    "  --samples N     transform length, a power of two from 16 to 65536 (default 1024);\n"
    "                  the table holds t = dt ... N/2 dt\n"
    "  --fd LIST       frequencies in Hz, comma-separated: a table of the complex reflectance\n"
    "                  instead of curves (--fd 0: the continuous-wave reflectance)\n"
    "  --plot IMAGE    draws every distance's curve, up to 8 (not with --fd)\n"
    "  --engine NAME   exact (default: 80-bit, the window's numbers) or fast (double precision,\n"
    "                  vectorised, about 8 digits)\n"
    "\n"
    "Moments: nlayer-run --moments [--input PATH] [--rho LIST]\n"
    "  prints for each distance the total (continuous-wave) reflectance, the mean time of flight\n"
    "  and the variance of the curve, then per layer the mean partial pathlength (mpp) and the\n"
    "  sensitivity factors of the mean time (mtsf) and of the variance (vsf) to its mua.\n";

// Samples this far below a curve's peak are not drawn, as in the window's run: at the start
// of a curve they are noise of the finite spectrum.
constexpr double kPlotRange = 1e-6;
constexpr int kMaxPlottedCurves = 8;
// The library's highest frequency, checked here so that a bad --fd is a bad command line.
constexpr long double kHighestFrequencyHz = 1e12L;

struct UsageError {
  std::string message;
};

bool HasImageSuffix(const std::filesystem::path& path) {
  std::string suffix = path.extension().string();
  for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return suffix == ".png" || suffix == ".svg";
}

bool ParseThreads(std::string_view text, unsigned& threads) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), threads);
  return ec == std::errc() && end == text.data() + text.size() && threads >= 1 && threads <= 1024;
}

nlayer::NumberList ParseList(std::string_view option, std::string_view text, const char* what) {
  nlayer::NumberList list = nlayer::ParseNumberList(text);
  if (!list.error.empty()) {
    throw UsageError{std::string(option) + " needs " + what + ": " + list.error};
  }
  return list;
}

// What table mode was asked for; any of its options selects it.
struct TableRequest {
  std::optional<std::filesystem::path> csv;
  std::optional<nlayer::NumberList> rho;
  std::optional<nlayer::NumberList> fd;
  bool grid_given = false;
  nlayer::TimeGrid grid;

  bool engine_given = false;
  nlayer::Engine engine = nlayer::Engine::kExact;

  bool Selected() const { return csv || rho || fd || grid_given || engine_given; }
};

void CheckTableRequest(const TableRequest& table, bool output_given, bool plot_given) {
  if (!table.csv) throw UsageError{"--rho, --dt, --samples and --fd write a table: name its file with --csv"};
  if (output_given) throw UsageError{"--output names the curve file of a plain run; a table goes to --csv only"};
  if (table.fd && table.grid_given) throw UsageError{"--dt and --samples set the time grid of curves; --fd computes none"};
  if (table.fd && plot_given) throw UsageError{"--plot draws curves in time; it does not apply to --fd"};
  if (plot_given && table.rho && table.rho->values.size() > kMaxPlottedCurves) {
    throw UsageError{"--plot draws at most " + std::to_string(kMaxPlottedCurves) + " curves, not " +
                     std::to_string(table.rho->values.size())};
  }
  if (auto problem = table.grid.Validate()) {
    throw UsageError{(problem->field == "samples" ? "--samples: " : "--dt: ") + problem->message};
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
  nlayer::ui::WriteCurvesImage(named, path);
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
    const nlayer::TimeCurves curves = nlayer::TimeResolved(model.medium, rho, table.grid, compute);
    nlayer::ReplaceFile(*table.csv, nlayer::TimeTable(curves, labels));
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

// Standard output that cannot be written (a full disk, a closed pipe) fails the command: a
// report that did not arrive must not look like one that did.
int FlushReport() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "nlayer-run: cannot write to standard output: %s\n", std::strerror(errno));
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
  return FlushReport();
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

}  // namespace

int main(int argc, char** argv) {
  nlayer::RunOptions options;
  std::optional<std::filesystem::path> plot_path;
  TableRequest table;
  bool output_given = false;
  bool moments = false;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string_view arg = argv[i];
      auto value = [&]() -> std::string_view {
        if (i + 1 >= argc) throw UsageError{"option " + std::string(arg) + " needs a value"};
        return argv[++i];
      };
      if (arg == "--help" || arg == "-h") {
        std::fputs(kUsage, stdout);
        return FlushReport();
      } else if (arg == "--version") {
        std::printf("nlayer-run %s\n", nlayer::Version());
        return FlushReport();
      } else if (arg == "--moments") {
        moments = true;
      } else if (arg == "--engine") {
        const std::string_view name = value();
        if (name == "exact") {
          table.engine = nlayer::Engine::kExact;
        } else if (name == "fast") {
          table.engine = nlayer::Engine::kFast;
        } else {
          throw UsageError{"--engine is exact or fast, not \"" + std::string(name) + "\""};
        }
        table.engine_given = true;
      } else if (arg == "--input") {
        options.input_path = std::string(value());
      } else if (arg == "--output") {
        options.output_path = std::string(value());
        output_given = true;
      } else if (arg == "--threads") {
        const std::string_view text = value();
        if (!ParseThreads(text, options.threads)) {
          throw UsageError{"--threads needs a whole number from 1 to 1024, not \"" + std::string(text) + "\""};
        }
      } else if (arg == "--plot") {
        plot_path = std::string(value());
#if !NLAYER_HAVE_PLOT
        throw UsageError{"--plot is not available: this nlayer-run was built without Qt"};
#endif
        if (!HasImageSuffix(*plot_path)) {
          throw UsageError{"--plot needs a file name ending in .png or .svg, not \"" + plot_path->string() + "\""};
        }
      } else if (arg == "--csv") {
        table.csv = std::string(value());
      } else if (arg == "--rho") {
        table.rho = ParseList(arg, value(), "a comma-separated list of distances in mm");
        for (long double rho : table.rho->values) {
          if (auto problem = nlayer::ValidateDistance(rho)) throw UsageError{"--rho: " + problem->message};
        }
      } else if (arg == "--fd") {
        table.fd = ParseList(arg, value(), "a comma-separated list of frequencies in Hz");
        for (long double f : table.fd->values) {
          if (!(f >= 0 && f <= kHighestFrequencyHz)) {
            throw UsageError{"--fd: frequency " + nlayer::NumberText(f) + " Hz is outside 0 ... 1e12 Hz"};
          }
        }
      } else if (arg == "--dt") {
        const nlayer::NumberList dt = ParseList(arg, value(), "one time step in ps");
        if (dt.values.size() != 1) throw UsageError{"--dt needs one time step in ps, not a list"};
        table.grid.dt_ps = static_cast<double>(dt.values[0]);
        table.grid_given = true;
      } else if (arg == "--samples") {
        const std::string_view text = value();
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), table.grid.samples);
        if (ec != std::errc() || end != text.data() + text.size()) {
          throw UsageError{"--samples needs a whole number, not \"" + std::string(text) + "\""};
        }
        table.grid_given = true;
      } else {
        throw UsageError{"unknown argument \"" + std::string(arg) + "\" (see --help)"};
      }
    }
    if (moments) {
      if (table.csv || table.fd || table.grid_given || table.engine_given || output_given || plot_path) {
        throw UsageError{"--moments prints a report; it takes only --input, --rho and --threads"};
      }
    } else if (table.Selected()) {
      CheckTableRequest(table, output_given, plot_path.has_value());
    }
    CheckOutputsAreNotTheModel(options, table, plot_path, !moments && !table.Selected());
  } catch (const UsageError& e) {
    std::fprintf(stderr, "nlayer-run: %s\n", e.message.c_str());
    return 2;
  }

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
  }
  try {
    nlayer::AssertFloatingPointEnvironment();
    nlayer::RunSession session;  // a new session: this run uses series 0
    nlayer::MemoryChart chart;
    session.Run(chart, options);
#if NLAYER_HAVE_PLOT
    if (plot_path) nlayer::ui::WriteChartImage(chart, *plot_path);
#endif
  } catch (const nlayer::RunError& e) {
    std::fprintf(stderr, "%s\n", nlayer::UserMessage(e.what()).c_str());
    if (!e.explanation().empty()) {
      std::fprintf(stderr, "%s\n", e.explanation().c_str());
    } else if (auto explanation = nlayer::ExplainRunFailure(e.what(), reading, options)) {
      std::fprintf(stderr, "%s\n", explanation->c_str());
    }
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nlayer-run: %s\n", e.what());
    return 1;
  }
  return 0;
}
