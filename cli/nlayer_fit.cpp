// nlayer-fit: fits the layers' optical properties to a measured curve, given the instrument
// response, or to every curve of a problem file at once (several distances and wavelengths,
// a spectral model), and prints the estimates with their standard errors.
//
// Exit status: 0 when the fit succeeded; 3 when it ran but is flagged (not converged, a
// parameter on a bound, poorly determined, ...: the report printed all the same, the flags'
// sentences on standard error); 1 when it could not be done (the reason on standard error);
// 2 for a bad command line.
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
#include "io/curve_file.h"
#include "io/model_file.h"
#include "io/number_list.h"
#include "io/output_file.h"
#include "io/problem_file.h"
#include "cli/command_line.h"
#include "nlayer/fit.h"
#if NLAYER_HAVE_PLOT
#include "plot/plot_module.h"
#endif

namespace {

using nlayer::cli::UsageError;

constexpr const char* kUsage =
    "Usage: nlayer-fit --measured PATH --irf PATH --model PATH --free LIST [OPTIONS]\n"
    "  or:  nlayer-fit PROBLEM.toml [--profile NAMES] [--json OUT] [--csv OUT] [--plot OUT.png] [OPTIONS]\n"
    "\n"
    "Fits the model's free parameters, an amplitude and a time shift to a measured curve; or,\n"
    "with a problem file, the free parameters of one layered medium (or of its spectral model)\n"
    "and an amplitude and shift per curve to every curve the file names at once.\n"
    "\n"
    "Prints NAME = VALUE +- STDERR for each free parameter, the amplitude (counts mm^2), the\n"
    "shift (ps) and the background (counts per bin), then chi2_reduced, the fit range and the\n"
    "number of forward evaluations of the model with the time taken; then the statistics, the\n"
    "solver's account, the correlations and the verdict with a sentence for each flag.\n"
    "\n"
    "Exit status: 0 success, 3 a fit that ran but is flagged, 1 one that could not be done,\n"
    "2 a bad command line.\n";

// "mua1=0.001:0.1,musp1=:5": a side left empty keeps its default. Returns what is wrong, or "".
std::string ParseBounds(std::string_view text, std::vector<nlayer::FitParameter>& bounds) {
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    const std::size_t equals = item.find('=');
    const std::size_t colon = item.find(':');
    if (equals == std::string_view::npos || colon == std::string_view::npos || colon < equals || equals == 0) {
      return "needs items NAME=LOWER:UPPER, not \"" + std::string(item) + "\"";
    }
    nlayer::FitParameter bound{std::string(item.substr(0, equals)), {}, {}, {}, {}};
    for (const auto& [value, side] : {std::pair{item.substr(equals + 1, colon - equals - 1), &bound.lower},
                                      std::pair{item.substr(colon + 1), &bound.upper}}) {
      if (value.empty()) continue;
      const nlayer::NumberList number = nlayer::ParseNumberList(value);
      if (!number.error.empty() || number.values.size() != 1) {
        return "\"" + std::string(value) + "\" in \"" + std::string(item) + "\" is not a number";
      }
      *side = static_cast<double>(number.values[0]);
    }
    bounds.push_back(bound);
  }
  return "";
}

std::string Digits(double value, int precision) { return nlayer::NumberText(value, precision); }

// The shortest text that reads back to the same double.
std::string Shortest(double value) { return nlayer::NumberText(static_cast<long double>(value)); }

std::string Table(const nlayer::MeasuredCurve& curve, const nlayer::FitResult& result) {
  std::string text = "t_ps,measured,model,residual,in_fit_range\n";
  for (std::size_t i = 0; i < curve.t_ps.size(); ++i) {
    const bool in_range = i >= result.first_bin && i <= result.last_bin;
    text += Shortest(curve.t_ps[i]) + "," + Shortest(curve.counts[i]) + "," + Shortest(result.model_counts[i]) +
            "," + Shortest(result.residuals[i]) + (in_range ? ",1\n" : ",0\n");
  }
  return text;
}

// "mua1=0.02,musp1=1.1". Returns what is wrong, or "".
std::string ParseStarts(std::string_view text, std::vector<std::pair<std::string, double>>& starts) {
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos || equals == 0) return "needs items NAME=VALUE, not \"" + std::string(item) + "\"";
    const nlayer::NumberList number = nlayer::ParseNumberList(item.substr(equals + 1));
    if (!number.error.empty() || number.values.size() != 1) {
      return "\"" + std::string(item.substr(equals + 1)) + "\" in \"" + std::string(item) + "\" is not a number";
    }
    starts.emplace_back(std::string(item.substr(0, equals)), static_cast<double>(number.values[0]));
  }
  return "";
}

// A joint fit's table: the curve's number, then the single fit's columns.
std::string Table(const nlayer::FitResult& result) {
  std::string text = "curve,t_ps,measured,model,residual,in_fit_range\n";
  for (std::size_t c = 0; c < result.curves.size(); ++c) {
    const nlayer::CurveFit& curve = result.curves[c];
    for (std::size_t i = 0; i < curve.t_ps.size(); ++i) {
      const bool in_range = i >= curve.first_bin && i <= curve.last_bin;
      text += std::to_string(c + 1) + "," + Shortest(curve.t_ps[i]) + "," + Shortest(curve.counts[i]) + "," +
              Shortest(curve.model_counts[i]) + "," + Shortest(curve.residuals[i]) + (in_range ? ",1\n" : ",0\n");
    }
  }
  return text;
}

// The names of --free, or nothing when one of them is empty.
std::optional<std::vector<std::string>> FreeNames(std::string_view text) {
  std::vector<std::string> names;
  for (std::size_t comma = 0; comma != std::string_view::npos; text.remove_prefix(comma + 1)) {
    comma = text.find(',');
    names.emplace_back(text.substr(0, comma));
    if (names.back().empty()) return std::nullopt;
    if (comma == std::string_view::npos) break;
  }
  return names;
}

// Everything the command line asks for.
struct Command {
  std::optional<std::filesystem::path> measured_path, irf_path, model_path, csv_path, plot_path, json_path;
  std::optional<nlayer::NumberList> rho;
  // One curve's fit: the curve (its bins, distance, range and calibrated shift), what is free, how.
  nlayer::MeasuredCurve curve;
  std::vector<nlayer::FitParameter> free;
  nlayer::FitOptions options;
  bool background = false;
  // A problem file's fit, and what the command line changes of it.
  std::optional<std::filesystem::path> problem_path;
  std::vector<std::string> profile;
  std::vector<nlayer::FitParameter> bounds;
  std::vector<std::pair<std::string, double>> starts;
  std::optional<nlayer::FitStatistic> statistic;
  std::optional<nlayer::Engine> engine;
  std::optional<unsigned> threads;
};

// Sets the start values and bounds the command line gives; returns what names no free parameter.
std::string ApplyStartsAndBounds(const std::vector<std::pair<std::string, double>>& starts,
                                 const std::vector<nlayer::FitParameter>& bounds,
                                 std::vector<nlayer::FitParameter>& free) {
  auto find = [&](const std::string& name) -> nlayer::FitParameter* {
    for (nlayer::FitParameter& p : free) {
      if (p.name == name && p.tied_to.empty()) return &p;
    }
    return nullptr;
  };
  for (const auto& [name, value] : starts) {
    nlayer::FitParameter* p = find(name);
    if (!p) return "--start names " + name + ", which is not a free parameter";
    p->start = value;
  }
  for (const nlayer::FitParameter& bound : bounds) {
    nlayer::FitParameter* p = find(bound.name);
    if (!p) return "--bounds names " + bound.name + ", which is not a free parameter";
    if (bound.lower) p->lower = bound.lower;
    if (bound.upper) p->upper = bound.upper;
  }
  return "";
}

// Reads the command line into `command`. Nothing when the command goes on; otherwise its exit
// status (--help, --version, or 2 for a bad command line, which starts no fit).
std::optional<int> ParseCommandLine(int argc, char** argv, Command& command) {
  using namespace nlayer::cli;
  auto& [measured_path, irf_path, model_path, csv_path, plot_path, json_path, rho, curve, free, options, background, problem_path, profile,
         bounds, starts, statistic_choice, engine_choice, threads_choice] = command;
  std::vector<std::string> free_names;
  auto path = [](std::optional<std::filesystem::path>& to) {
    return [&to](const std::string& text) { to = text; };
  };
  CLI::App app("", "nlayer-fit");
  Configure(app, kUsage);
  app.add_option_function<std::string>("problem", path(problem_path),
                                       "a problem file (TOML): the curves, the layers and what is free")
      ->option_text("PROBLEM.toml");
  app.add_option_function<std::string>("--measured", path(measured_path),
                                       "the measured curve: lines of t_ps and counts (comma or blank separated)")
      ->option_text("PATH");
  app.add_option_function<std::string>("--irf", path(irf_path), "the instrument response on the same bins")
      ->option_text("PATH");
  app.add_option_function<std::string>("--model", path(model_path),
                                       "the model file (\"input.dat\"): start values and everything not fitted")
      ->option_text("PATH");
  app.add_option_function<std::string>(
         "--free",
         [&](const std::string& text) {
           free_names = *FreeNames(text);
           if (std::erase(free_names, "background") > 0) background = true;
         },
         "the parameters to fit, comma-separated: mua<k>, musp<k> of layer k (1 the top), d<k> (not the bottom), background")
      ->option_text("LIST")
      ->check(Rule([](const std::string& text) {
        return FreeNames(text) ? std::string() : "needs names separated by commas, not \"" + text + "\"";
      }));
  app.add_option_function<std::string>(
         "--rho", [&](const std::string& text) { rho = Numbers(text); },
         "source-detector distance in mm (default: the model file's)")
      ->option_text("MM")
      ->check(DistanceListRule("one distance in mm", 1));
  // An option of two numbers, checked by its rules before it is stored.
  const auto into_pair = [](auto& first, auto& second) {
    return [&first, &second](const std::string& text) {
      const nlayer::NumberList pair = Numbers(text);
      first = static_cast<double>(pair.values[0]);
      second = static_cast<double>(pair.values[1]);
    };
  };
  app.add_option_function<std::string>("--range", into_pair(curve.range.rise_fraction, curve.range.fall_fraction),
                                       "the fit range from RISE of the peak before it to FALL of it after it "
                                       "(default 0.1,0.01)")
      ->option_text("RISE,FALL")
      ->check(NumberListRule("two fractions of the peak, RISE,FALL", 2, [](long double f) {
        return f > 0 && f <= 1 ? std::string() : "the fractions of the peak must lie above 0 and up to 1";
      }));
  app.add_option_function<std::string>("--window-ps", into_pair(curve.range.t_first_ps, curve.range.t_last_ps),
                                       "the fit range as times in ps instead")
      ->option_text("FIRST,LAST")
      ->check(NumberListRule("two times in ps, FIRST,LAST", 2))
      ->check(Rule([](const std::string& text) {
        const nlayer::NumberList window = Numbers(text);
        return window.values[0] < window.values[1] ? "" : "the first time must lie before the last";
      }));
  app.add_option_function<std::string>(
         "--bounds", [](const std::string&) {},
         "bounds of free parameters, e.g. mua1=0.001:0.1,musp1=:5 (defaults: mua 0:1, musp 0.01:20, d 0.1:200)")
      ->option_text("LIST")
      ->check(Rule([](const std::string& text) {
        std::vector<nlayer::FitParameter> scratch;
        return ParseBounds(text, scratch);
      }))
      // Every --bounds counts, not only the last.
      ->each([&](const std::string& text) { ParseBounds(text, bounds); });
  app.add_option_function<std::string>(
         "--start", [](const std::string&) {}, "start values of free parameters, e.g. mua1=0.02,musp1=1.1")
      ->option_text("LIST")
      ->check(Rule([](const std::string& text) {
        std::vector<std::pair<std::string, double>> scratch;
        return ParseStarts(text, scratch);
      }))
      ->each([&](const std::string& text) { ParseStarts(text, starts); });
  app.add_option_function<std::string>(
         "--profile", [](const std::string&) {},
         "profile-likelihood intervals of these free parameters (a problem file's fit); those whose "
         "error exceeds 20 % of the value get theirs unasked")
      ->option_text("NAMES")
      ->check(Rule([](const std::string& text) {
        return FreeNames(text) ? std::string() : "needs names separated by commas, not \"" + text + "\"";
      }))
      // Every --profile counts, not only the last.
      ->each([&](const std::string& text) {
        const std::optional<std::vector<std::string>> names = FreeNames(text);
        profile.insert(profile.end(), names->begin(), names->end());
      });
  app.add_flag("--background", background, "also fit a constant background per bin");
  std::string statistic, engine;
  app.add_option("--statistic", statistic,
                 "poisson (the Poisson likelihood, default) or chi2 (least squares, Poisson weights)")
      ->option_text("NAME")
      ->check(CLI::IsMember({"poisson", "chi2"}));
  app.add_option("--engine", engine, "fast (default: vectorised double precision, 8 digits) or exact (80-bit)")
      ->option_text("NAME")
      ->check(CLI::IsMember({"exact", "fast"}));
  app.add_option_function<std::string>(
         "--threads", [&](const std::string& text) { options.compute.threads = static_cast<unsigned>(*WholeNumber(text)); },
         "worker threads of the model, 1 to 1024 (default: all cores)")
      ->option_text("N")
      ->check(WholeNumberRule(1, 1024));
  app.add_option_function<std::string>(
         "--shift-ps", [&](const std::string& text) { curve.shift_ps = static_cast<double>(Numbers(text).values[0]); },
         "holds the shift at a calibrated value in ps instead of fitting it")
      ->option_text("PS")
      ->check(NumberListRule("one shift in ps", 1));
  app.add_option_function<std::string>("--csv", path(csv_path),
                                       "writes t_ps, measured, model, residual and in_fit_range per bin")
      ->option_text("PATH");
  app.add_option_function<std::string>("--json", path(json_path),
                                       "writes the report (estimates, covariance, flags) as JSON")
      ->option_text("PATH");
  CLI::Option* plot = app.add_option_function<std::string>(
      "--plot", path(plot_path), "draws log counts and the fit above, residuals below (.png or .svg)");
  plot->option_text("IMAGE");
#if NLAYER_HAVE_PLOT
  plot->check(ImageNameRule());
#endif

  return Parse(app, argc, argv, [&] {
    // A name given twice would keep one of its values and silently drop the other.
    auto refuse_repeat = [](const char* option, const auto& names) {
      for (std::size_t i = 0; i < names.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
          if (names[i] == names[j]) throw UsageError{std::string(option) + " names " + names[i] + " twice; name it once"};
        }
      }
    };
    std::vector<std::string> names;
    for (const auto& start : starts) names.push_back(start.first);
    refuse_repeat("--start", names);
    names.clear();
    for (const nlayer::FitParameter& bound : bounds) names.push_back(bound.name);
    refuse_repeat("--bounds", names);
    refuse_repeat("--profile", profile);
#if !NLAYER_HAVE_PLOT
    if (plot_path) throw UsageError{"--plot is not available: this nlayer-fit was built without Qt"};
#endif
    if (statistic == "chi2") options.statistic = nlayer::FitStatistic::kLeastSquares;
    if (statistic == "poisson") options.statistic = nlayer::FitStatistic::kPoissonLikelihood;
    if (engine == "exact") options.compute.engine = nlayer::Engine::kExact;
    if (engine == "fast") options.compute.engine = nlayer::Engine::kFast;
    if (!statistic.empty()) statistic_choice = options.statistic;
    if (!engine.empty()) engine_choice = options.compute.engine;
    if (app.count("--threads") > 0) threads_choice = options.compute.threads;
    if (problem_path) {
      // The problem file names the curves, the model and what is free; the options that say
      // the same for one curve would contradict it.
      for (const char* option : {"--measured", "--irf", "--model", "--free", "--rho", "--range", "--window-ps",
                                 "--shift-ps", "--background"}) {
        if (app.count(option) > 0) {
          throw UsageError{std::string(option) + " is for a fit of one curve; the problem file " +
                           problem_path->string() + " says it for each of its curves"};
        }
      }
      for (const auto& output : {csv_path, plot_path, json_path}) {
        if (output && nlayer::SameFile(*problem_path, *output)) {
          throw UsageError{"\"" + output->string() + "\" is the problem file; writing it would destroy it"};
        }
      }
      return;
    }
    if (!profile.empty()) throw UsageError{"--profile needs a problem file (nlayer-fit PROBLEM.toml --profile NAMES)"};
    if (!measured_path) throw UsageError{"name the measured curve with --measured"};
    if (!irf_path) throw UsageError{"name the instrument response with --irf"};
    if (!model_path) throw UsageError{"name the model file with --model"};
    if (free_names.empty() && !background) {
      // Amplitude and shift alone are a fit too, but asking for nothing is more likely a slip.
      throw UsageError{"name the parameters to fit with --free (e.g. --free mua1,musp1)"};
    }
    for (const auto& [output, option] :
         {std::pair{csv_path, "--csv"}, std::pair{plot_path, "--plot"}, std::pair{json_path, "--json"}}) {
      if (!output) continue;
      for (const auto& input : {measured_path, irf_path, model_path}) {
        if (nlayer::SameFile(*input, *output)) {
          throw UsageError{std::string(option) + " \"" + output->string() + "\" is the input \"" + input->string() +
                           "\"; writing it would destroy it"};
        }
      }
    }
    for (const std::string& name : free_names) free.push_back({name, {}, {}, {}, {}});
    if (const std::string unknown = ApplyStartsAndBounds(starts, bounds, free); !unknown.empty()) {
      throw UsageError{unknown + " (see --free)"};
    }
  });
}

}  // namespace

// The verdict: 0 for a fit to trust, 3 for one that ran but is flagged.
int Verdict(const nlayer::FitResult& result) {
  if (!result.success) {
    std::string why;
    for (const nlayer::FitFlag& flag : result.flags) why += " " + flag.sentence;
    std::fprintf(stderr, "nlayer-fit: the fit is not to be trusted:%s\n", why.c_str());
    return nlayer::cli::FlushReport("nlayer-fit", 3);
  }
  return nlayer::cli::FlushReport("nlayer-fit", 0);
}

// The fit of a problem file's curves.
int FitProblemFile(const Command& command) {
  nlayer::FitResult result;
  try {
    nlayer::AssertFloatingPointEnvironment();
    for (const auto* output : {&command.csv_path, &command.plot_path, &command.json_path}) {
      if (*output) nlayer::CheckOutputPath(**output);
    }
    nlayer::ProblemFile file = nlayer::ReadProblemFile(*command.problem_path);
    nlayer::FitProblem& problem = file.problem;
    nlayer::FitOptions& options = file.options;
    if (const std::string unknown = ApplyStartsAndBounds(command.starts, command.bounds, problem.free);
        !unknown.empty()) {
      std::fprintf(stderr, "nlayer-fit: %s of %s\n", unknown.c_str(), command.problem_path->string().c_str());
      return 1;
    }
    for (const std::string& name : command.profile) {
      if (std::find(options.profile.begin(), options.profile.end(), name) == options.profile.end()) {
        options.profile.push_back(name);
      }
    }
    if (command.statistic) options.statistic = *command.statistic;
    if (command.engine) options.compute.engine = *command.engine;
    if (command.threads) options.compute.threads = *command.threads;
    result = nlayer::Fit(problem, options);

    std::fputs(result.FullReport().c_str(), stdout);
    if (command.json_path) nlayer::ReplaceFile(*command.json_path, result.ToJson());
    if (command.csv_path) nlayer::ReplaceFile(*command.csv_path, Table(result));
#if NLAYER_HAVE_PLOT
    if (command.plot_path) {
      std::vector<nlayer::fit::FitPicture> pictures;
      for (const nlayer::CurveFit& curve : result.curves) {
        std::string title = curve.label + ": \u03c1 = " + Shortest(static_cast<double>(curve.rho_mm)) + " mm";
        if (curve.wavelength_nm) title += ", " + Shortest(*curve.wavelength_nm) + " nm";
        title += ", \u03c7\u00b2/bins = " + Digits(curve.chi2_reduced, 3);
        pictures.push_back({curve.t_ps, curve.counts, curve.model_counts, curve.residuals, curve.first_bin,
                            curve.last_bin, title});
      }
      nlayer::plot::WriteFitImages(pictures, *command.plot_path);
    }
#endif
  } catch (const nlayer::InputFileError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nlayer-fit: %s\n", e.what());
    return 1;
  }
  return Verdict(result);
}

int main(int argc, char** argv) {
  Command command;
  if (const std::optional<int> status = ParseCommandLine(argc, argv, command)) return *status;
  if (command.problem_path) return FitProblemFile(command);
  auto& [measured_path, irf_path, model_path, csv_path, plot_path, json_path, rho, curve, free, options, background, problem_path, profile,
         bounds, starts, statistic, engine, threads] = command;

  nlayer::FitResult result;
  try {
    nlayer::AssertFloatingPointEnvironment();
    // Checked before the fit, which may take a while, rather than after it.
    for (const auto* output : {&csv_path, &plot_path, &json_path}) {
      if (*output) nlayer::CheckOutputPath(**output);
    }
    const nlayer::ModelFile model = nlayer::ReadModelFile(*model_path);
    if (auto problem = nlayer::ValidateModelFile(model, !rho)) {
      std::fprintf(stderr, "%s\n", problem->c_str());
      return 1;
    }
    const nlayer::CurveFile measured = nlayer::ReadCurveFile(*measured_path);
    const nlayer::CurveFile irf = nlayer::ReadCurveFile(*irf_path);
    curve.t_ps = measured.t_ps;
    curve.counts = measured.counts;
    curve.irf_t_ps = irf.t_ps;
    curve.irf = irf.counts;
    curve.rho_mm = rho ? rho->values[0] : model.rho_mm;
    curve.background = background ? nlayer::BackgroundMode::kFitted : nlayer::BackgroundMode::kNone;
    result = nlayer::FitCurve(curve, model.medium, free, options);

    std::fputs(result.FullReport().c_str(), stdout);
    if (json_path) nlayer::ReplaceFile(*json_path, result.ToJson());

    if (csv_path) nlayer::ReplaceFile(*csv_path, Table(curve, result));
#if NLAYER_HAVE_PLOT
    if (plot_path) {
      nlayer::fit::FitPicture picture{curve.t_ps, curve.counts, result.model_counts, result.residuals,
                                      result.first_bin, result.last_bin, {}};
      for (const nlayer::FitEstimate& e : result.estimates) {
        if (e.name == "amplitude" || e.name == "shift_ps" || e.name == "background") continue;
        picture.title += e.name + " = " + Digits(e.value, 4) + " \u00b1 " + Digits(e.standard_error, 2) + ",  ";
      }
      picture.title += "\u03c7\u00b2 = " + Digits(result.chi2_reduced, 3);
      nlayer::plot::WriteFitImages({picture}, *plot_path);
    }
#endif
  } catch (const nlayer::InputFileError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nlayer-fit: %s\n", e.what());
    return 1;
  }
  return Verdict(result);
}
