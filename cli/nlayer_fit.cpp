// nlayer-fit: fits the layers' optical properties to a measured curve, given the instrument
// response, and prints the estimates with their standard errors.
//
// Exit status: 0 when the fit succeeded; 3 when it ran but is flagged (not converged, a
// parameter on a bound, poorly determined, ...: the report printed all the same, the flags'
// sentences on standard error); 1 when it could not be done (the reason on standard error);
// 2 for a bad command line.
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
#include "io/curve_file.h"
#include "io/model_file.h"
#include "io/number_list.h"
#include "io/output_file.h"
#include "nlayer/fit.h"
#if NLAYER_HAVE_PLOT
#include "plot/fit_plot.h"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: nlayer-fit --measured PATH --irf PATH --model PATH --free LIST [--rho MM]\n"
    "                  [--range RISE,FALL | --window-ps FIRST,LAST] [--bounds LIST] [--background]\n"
    "                  [--statistic poisson|chi2] [--engine exact|fast] [--threads N]\n"
    "                  [--shift-ps PS] [--csv PATH] [--plot IMAGE] [--json PATH]\n"
    "Fits the model's free parameters, an amplitude and a time shift to a measured curve.\n"
    "\n"
    "  --measured PATH   the measured curve: lines of t_ps and counts (comma or blank separated)\n"
    "  --irf PATH        the instrument response on the same bins\n"
    "  --model PATH      the model file (\"input.dat\"): start values and everything not fitted\n"
    "  --free LIST       the parameters to fit, comma-separated: mua<k> and musp<k> of layer k\n"
    "                    (1 the top), d1 (the top layer's thickness)\n"
    "  --rho MM          source-detector distance in mm (default: the model file's)\n"
    "  --range RISE,FALL the fit range from RISE of the peak on the rising edge to FALL of it on\n"
    "                    the falling edge (default 0.1,0.01)\n"
    "  --window-ps A,B   the fit range as times in ps instead\n"
    "  --bounds LIST     bounds of free parameters, e.g. mua1=0.001:0.1,musp1=0.2:5\n"
    "                    (defaults: mua 0:1, musp 0.01:20 in 1/mm, d1 0.1:200 mm)\n"
    "  --background      also fit a constant background per bin\n"
    "  --statistic NAME  poisson (the Poisson likelihood, default) or chi2 (least squares\n"
    "                    weighted by the counts' Poisson variance)\n"
    "  --engine NAME     fast (default: vectorised double precision, 8 digits) or exact (80-bit)\n"
    "  --threads N       worker threads of the model (default: all cores)\n"
    "  --shift-ps PS     holds the shift at a calibrated value in ps instead of fitting it\n"
    "  --csv PATH        writes t_ps, measured, model, residual and in_fit_range per bin\n"
    "  --plot IMAGE      draws log counts and the fit above, residuals below (.png or .svg)\n"
    "  --json PATH       writes the report (estimates, covariance, flags) as JSON\n"
    "  --help, --version\n"
    "\n"
    "Prints NAME = VALUE +- STDERR for each free parameter, the amplitude (counts mm^2), the\n"
    "shift (ps) and the background (counts per bin), then chi2_reduced, the fit range and the\n"
    "number of forward evaluations of the model with the time taken; then the statistics, the\n"
    "solver's account, the correlations and the verdict with a sentence for each flag.\n"
    "Exit status: 0 success, 3 a fit that ran but is flagged, 1 one that could not be done,\n"
    "2 a bad command line.\n";

struct UsageError {
  std::string message;
};

nlayer::NumberList ParseList(std::string_view option, std::string_view text, const char* what, std::size_t count) {
  nlayer::NumberList list = nlayer::ParseNumberList(text);
  if (!list.error.empty()) throw UsageError{std::string(option) + " needs " + what + ": " + list.error};
  if (count != 0 && list.values.size() != count) {
    throw UsageError{std::string(option) + " needs " + what + ", not \"" + std::string(text) + "\""};
  }
  return list;
}

// "mua1=0.001:0.1,musp1=:5": a side left empty keeps its default.
void ParseBounds(std::string_view text, std::vector<nlayer::FitParameter>& bounds) {
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    const std::size_t equals = item.find('=');
    const std::size_t colon = item.find(':');
    if (equals == std::string_view::npos || colon == std::string_view::npos || colon < equals || equals == 0) {
      throw UsageError{"--bounds needs items NAME=LOWER:UPPER, not \"" + std::string(item) + "\""};
    }
    nlayer::FitParameter bound{std::string(item.substr(0, equals)), {}, {}};
    auto side = [&](std::string_view value, std::optional<double>& out) {
      if (value.empty()) return;
      const nlayer::NumberList number = nlayer::ParseNumberList(value);
      if (!number.error.empty() || number.values.size() != 1) {
        throw UsageError{"--bounds: \"" + std::string(value) + "\" in \"" + std::string(item) + "\" is not a number"};
      }
      out = static_cast<double>(number.values[0]);
    };
    side(item.substr(equals + 1, colon - equals - 1), bound.lower);
    side(item.substr(colon + 1), bound.upper);
    bounds.push_back(bound);
  }
}

bool HasImageSuffix(const std::filesystem::path& path) {
  std::string suffix = path.extension().string();
  for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return suffix == ".png" || suffix == ".svg";
}

std::string Digits(double value, int precision) {
  char buffer[64];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, precision).ptr;
  return std::string(buffer, end);
}

std::string Shortest(double value) {
  char buffer[64];
  return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

std::string Table(const nlayer::FitRequest& request, const nlayer::FitResult& result) {
  std::string text = "t_ps,measured,model,residual,in_fit_range\n";
  for (std::size_t i = 0; i < request.t_ps.size(); ++i) {
    const bool in_range = i >= result.first_bin && i <= result.last_bin;
    text += Shortest(request.t_ps[i]) + "," + Shortest(request.counts[i]) + "," + Shortest(result.model_counts[i]) +
            "," + Shortest(result.residuals[i]) + (in_range ? ",1\n" : ",0\n");
  }
  return text;
}

// Standard output that cannot be written fails the command: a report that did not arrive must
// not look like one that did.
int Flush(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "nlayer-fit: cannot write to standard output: %s\n", std::strerror(errno));
    return 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::filesystem::path> measured_path, irf_path, model_path, csv_path, plot_path, json_path;
  std::optional<nlayer::NumberList> free_list, rho;
  std::vector<nlayer::FitParameter> bounds;
  nlayer::FitRequest request;
  std::vector<std::string> free_names;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string_view arg = argv[i];
      auto value = [&]() -> std::string_view {
        if (i + 1 >= argc) throw UsageError{"option " + std::string(arg) + " needs a value"};
        return argv[++i];
      };
      if (arg == "--help" || arg == "-h") {
        std::fputs(kUsage, stdout);
        return Flush(0);
      } else if (arg == "--version") {
        std::printf("nlayer-fit %s\n", nlayer::Version());
        return Flush(0);
      } else if (arg == "--measured") {
        measured_path = std::string(value());
      } else if (arg == "--irf") {
        irf_path = std::string(value());
      } else if (arg == "--model") {
        model_path = std::string(value());
      } else if (arg == "--free") {
        std::string_view text = value();
        free_names.clear();
        while (true) {
          const std::size_t comma = text.find(',');
          std::string name(text.substr(0, comma));
          if (name.empty()) throw UsageError{"--free needs names separated by commas, not \"" + std::string(argv[i]) + "\""};
          if (name == "background") {
            request.background = true;
          } else {
            free_names.push_back(name);
          }
          if (comma == std::string_view::npos) break;
          text.remove_prefix(comma + 1);
        }
      } else if (arg == "--rho") {
        rho = ParseList(arg, value(), "one distance in mm", 1);
        if (auto problem = nlayer::ValidateDistance(rho->values[0])) throw UsageError{"--rho: " + problem->message};
      } else if (arg == "--range") {
        const nlayer::NumberList range = ParseList(arg, value(), "two fractions of the peak, RISE,FALL", 2);
        request.range.rise_fraction = static_cast<double>(range.values[0]);
        request.range.fall_fraction = static_cast<double>(range.values[1]);
        for (double f : {request.range.rise_fraction, request.range.fall_fraction}) {
          if (!(f > 0 && f <= 1)) throw UsageError{"--range: the fractions of the peak must lie above 0 and up to 1"};
        }
      } else if (arg == "--window-ps") {
        const nlayer::NumberList window = ParseList(arg, value(), "two times in ps, FIRST,LAST", 2);
        request.range.t_first_ps = static_cast<double>(window.values[0]);
        request.range.t_last_ps = static_cast<double>(window.values[1]);
        if (!(*request.range.t_first_ps < *request.range.t_last_ps)) {
          throw UsageError{"--window-ps: the first time must lie before the last"};
        }
      } else if (arg == "--bounds") {
        ParseBounds(value(), bounds);
      } else if (arg == "--background") {
        request.background = true;
      } else if (arg == "--statistic") {
        const std::string_view name = value();
        if (name == "poisson") {
          request.statistic = nlayer::FitStatistic::kPoissonLikelihood;
        } else if (name == "chi2") {
          request.statistic = nlayer::FitStatistic::kLeastSquares;
        } else {
          throw UsageError{"--statistic is poisson or chi2, not \"" + std::string(name) + "\""};
        }
      } else if (arg == "--engine") {
        const std::string_view name = value();
        if (name == "exact") {
          request.options.engine = nlayer::Engine::kExact;
        } else if (name == "fast") {
          request.options.engine = nlayer::Engine::kFast;
        } else {
          throw UsageError{"--engine is exact or fast, not \"" + std::string(name) + "\""};
        }
      } else if (arg == "--threads") {
        const std::string_view text = value();
        unsigned threads = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), threads);
        if (ec != std::errc() || end != text.data() + text.size() || threads < 1 || threads > 1024) {
          throw UsageError{"--threads needs a whole number from 1 to 1024, not \"" + std::string(text) + "\""};
        }
        request.options.threads = threads;
      } else if (arg == "--shift-ps") {
        request.shift_ps = static_cast<double>(ParseList(arg, value(), "one shift in ps", 1).values[0]);
      } else if (arg == "--json") {
        json_path = std::string(value());
      } else if (arg == "--csv") {
        csv_path = std::string(value());
      } else if (arg == "--plot") {
        plot_path = std::string(value());
#if !NLAYER_HAVE_PLOT
        throw UsageError{"--plot is not available: this nlayer-fit was built without Qt"};
#endif
        if (!HasImageSuffix(*plot_path)) {
          throw UsageError{"--plot needs a file name ending in .png or .svg, not \"" + plot_path->string() + "\""};
        }
      } else {
        throw UsageError{"unknown argument \"" + std::string(arg) + "\" (see --help)"};
      }
    }
    if (!measured_path) throw UsageError{"name the measured curve with --measured"};
    if (!irf_path) throw UsageError{"name the instrument response with --irf"};
    if (!model_path) throw UsageError{"name the model file with --model"};
    if (free_names.empty() && !request.background) {
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
    for (const std::string& name : free_names) request.free.push_back({name, {}, {}});
    for (const nlayer::FitParameter& bound : bounds) {
      bool found = false;
      for (nlayer::FitParameter& p : request.free) {
        if (p.name == bound.name) {
          if (bound.lower) p.lower = bound.lower;
          if (bound.upper) p.upper = bound.upper;
          found = true;
        }
      }
      if (!found) throw UsageError{"--bounds names " + bound.name + ", which is not free (see --free)"};
    }
  } catch (const UsageError& e) {
    std::fprintf(stderr, "nlayer-fit: %s\n", e.message.c_str());
    return 2;
  }

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
    request.t_ps = measured.t_ps;
    request.counts = measured.counts;
    request.irf_t_ps = irf.t_ps;
    request.irf = irf.counts;
    request.medium = model.medium;
    request.rho_mm = rho ? rho->values[0] : model.rho_mm;
    result = nlayer::FitCurve(request);

    std::fputs(result.FullReport().c_str(), stdout);

    if (csv_path) nlayer::ReplaceFile(*csv_path, Table(request, result));
    if (json_path) nlayer::ReplaceFile(*json_path, result.ToJson());
#if NLAYER_HAVE_PLOT
    if (plot_path) {
      nlayer::fit::FitPicture picture{request.t_ps, request.counts, result.model_counts, result.residuals,
                                      result.first_bin, result.last_bin, {}};
      for (const nlayer::FitEstimate& e : result.estimates) {
        if (e.name == "amplitude" || e.name == "shift_ps" || e.name == "background") continue;
        picture.title += e.name + " = " + Digits(e.value, 4) + " \u00b1 " + Digits(e.standard_error, 2) + ",  ";
      }
      picture.title += "\u03c7\u00b2 = " + Digits(result.chi2_reduced, 3);
      nlayer::fit::WriteFitImage(picture, *plot_path);
    }
#endif
  } catch (const nlayer::InputFileError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nlayer-fit: %s\n", e.what());
    return 1;
  }
  if (!result.success) {
    std::string why;
    for (const nlayer::FitFlag& flag : result.flags) why += " " + flag.sentence;
    std::fprintf(stderr, "nlayer-fit: the fit is not to be trusted:%s\n", why.c_str());
    return Flush(3);
  }
  return Flush(0);
}
