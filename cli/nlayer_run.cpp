// nlayer-run: one run of the model without a window, as a click on "Start!" performs it.
//
// Exit status: 0 on success; 1 when the run fails (the message, as the window would show it,
// on standard error); 2 for a bad command line.
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/fp_guard.h"
#include "app/model_state.h"
#include "nlayer/reflectance.h"
#include "app/run.h"
#include "io/run_error.h"
#if NLAYER_HAVE_PLOT
#include "ui/chart_image.h"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: nlayer-run [--input PATH] [--output PATH] [--threads N] [--plot IMAGE]\n"
    "Computes the time-resolved reflectance of the layered medium described in PATH\n"
    "(default \"input.dat\") and writes it to the output file (default \"reflectance.dat\").\n"
    "\n"
    "  --input PATH    the model: layer count, then mus' mua n d per layer, then rho\n"
    "  --output PATH   the curve: time in ps and reflectance in mm^-2 ps^-1 per line\n"
    "  --threads N     worker threads for the frequency loop (default: all cores)\n"
    "  --plot IMAGE    also draw the curve as the window's chart into IMAGE (.png or .svg)\n"
    "  --help          this text\n"
    "  --version       the program's version\n";

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

}  // namespace

int main(int argc, char** argv) {
  nlayer::RunOptions options;
  std::optional<std::filesystem::path> plot_path;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string_view arg = argv[i];
      auto value = [&]() -> std::string_view {
        if (i + 1 >= argc) throw UsageError{"option " + std::string(arg) + " needs a value"};
        return argv[++i];
      };
      if (arg == "--help" || arg == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
      } else if (arg == "--version") {
        std::printf("nlayer-run %s\n", nlayer::Version());
        return 0;
      } else if (arg == "--input") {
        options.input_path = std::string(value());
      } else if (arg == "--output") {
        options.output_path = std::string(value());
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
      } else {
        throw UsageError{"unknown argument \"" + std::string(arg) + "\" (see --help)"};
      }
    }
  } catch (const UsageError& e) {
    std::fprintf(stderr, "nlayer-run: %s\n", e.message.c_str());
    return 2;
  }

  try {
    nlayer::AssertFloatingPointEnvironment();
    nlayer::State.RunIndex = -1;  // as the window's creation sets it: this run uses series 0
    nlayer::MemoryChart chart;
    nlayer::RunModel(chart, options);
#if NLAYER_HAVE_PLOT
    if (plot_path) nlayer::ui::WriteChartImage(chart, *plot_path);
#endif
  } catch (const nlayer::RunError& e) {
    std::fprintf(stderr, "%s\n", nlayer::UserMessage(e.what()).c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nlayer-run: %s\n", e.what());
    return 1;
  }
  return 0;
}
