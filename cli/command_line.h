// What nlayer-run and nlayer-fit share on their command lines, read by CLI11: --help and
// --version, the rules of the values both take, and the one way a command line ends the
// command: 0 after --help or --version (1 when standard output cannot take them), 2 with one
// line "<program>: <what is wrong>" on standard error for a bad command line.
#pragma once

#include <CLI/CLI.hpp>

#include <cctype>
#include <charconv>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "io/number_list.h"
#include "nlayer/medium.h"
#include "nlayer/reflectance.h"

namespace nlayer::cli {

// Standard output that cannot be written (a full disk, a closed pipe) fails the command: a
// report that did not arrive must not look like one that did.
inline int FlushReport(const std::string& program, int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: cannot write to standard output: %s\n", program.c_str(), std::strerror(errno));
    return 1;
  }
  return status;
}

// A bad command line that a program's own checks find once CLI11 has read the options: what
// the options mean together, or files that are the same.
using UsageError = CLI::ValidationError;

// The usage lines, one per way of calling the program, and what it does, in place of CLI11's
// "Usage: name [OPTIONS]": help2man makes the man page's synopsis and description of them. The
// options follow, without CLI11's footer, which the man page would put under the last group.
class UsageFormatter : public CLI::Formatter {
 public:
  explicit UsageFormatter(std::string usage) : usage_(std::move(usage) + "\n") { column_width(26); }
  std::string make_usage(const CLI::App*, std::string) const override { return usage_; }
  // One blank line before each group of options, where CLI11 puts two between groups.
  std::string make_group(std::string group, bool positional, std::vector<const CLI::Option*> options) const override {
    std::string text = group + ":\n";
    for (const CLI::Option* option : options) text += make_option(option, positional);
    return text;
  }

 private:
  std::string usage_;
};

// An app with the conventions of both programs: -h/--help, --version printing "<name>
// <version>", and an option given twice taking its last value.
inline void Configure(CLI::App& app, const char* usage) {
  app.formatter(std::make_shared<UsageFormatter>(usage));
  app.set_help_flag("-h,--help", "print this help and exit");
  app.set_version_flag("--version", app.get_name() + " " + nlayer::Version(), "print the program's version and exit");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

// CLI11's sentence, or the programs' own where CLI11's is less plain.
inline std::string Problem(const CLI::App& app, const CLI::ParseError& error) {
  const std::string what = error.what();
  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr && !app.remaining().empty()) {
    return "unknown argument \"" + app.remaining().front() + "\" (see --help)";
  }
  // "--threads: 1 required N missing": the option came last, without its value.
  const std::size_t colon = what.find(": ");
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr && what.ends_with(" missing") &&
      colon != std::string::npos) {
    return "option " + what.substr(0, colon) + " needs a value";
  }
  return what;
}

// Reads the command line into the options `app` was given, then lets `check` refuse what the
// options mean together (by throwing UsageError). Nothing when the command goes on;
// otherwise its exit status, with the help, the version or the problem written.
inline std::optional<int> Parse(CLI::App& app, int argc, char** argv, const std::function<void()>& check) {
  try {
    app.parse(argc, argv);
    check();
    return std::nullopt;
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
  } catch (const CLI::CallForVersion& version) {
    std::printf("%s\n", version.what());
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "%s: %s\n", app.get_name().c_str(), Problem(app, error).c_str());
    return 2;
  }
  return FlushReport(app.get_name(), 0);
}

// --- Rules of values, as CLI11 validators: each refusal names its option ("--rho: ...").

// A function of the value's text that returns what is wrong with it, or "".
inline CLI::Validator Rule(std::function<std::string(const std::string&)> problem) {
  return CLI::Validator([problem = std::move(problem)](std::string& text) { return problem(text); }, "");
}

// A whole number in decimal digits (CLI11's integers would read "010" as octal), or nothing.
inline std::optional<int> WholeNumber(const std::string& text) {
  int n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  return ec == std::errc() && end == text.data() + text.size() ? std::optional(n) : std::nullopt;
}

// A whole number from `lowest` to `highest`.
inline CLI::Validator WholeNumberRule(int lowest, int highest) {
  return Rule([lowest, highest](const std::string& text) -> std::string {
    const std::optional<int> n = WholeNumber(text);
    if (n && *n >= lowest && *n <= highest) return "";
    return "needs a whole number from " + std::to_string(lowest) + " to " + std::to_string(highest) + ", not \"" +
           text + "\"";
  });
}

// A comma-separated list of numbers by the model file's rules, of exactly `count` items
// unless 0, each passing `each` (what is wrong with it, or "").
inline CLI::Validator NumberListRule(std::string what, std::size_t count = 0,
                                     std::function<std::string(long double)> each = {}) {
  return Rule([what = std::move(what), count, each = std::move(each)](const std::string& text) -> std::string {
    const NumberList list = ParseNumberList(text);
    if (!list.error.empty()) return "needs " + what + ": " + list.error;
    if (count != 0 && list.values.size() != count) return "needs " + what + ", not \"" + text + "\"";
    for (long double value : list.values) {
      if (std::string problem = each ? each(value) : ""; !problem.empty()) return problem;
    }
    return "";
  });
}

// Distances in mm, each > 0 and finite.
inline CLI::Validator DistanceListRule(std::string what, std::size_t count = 0) {
  return NumberListRule(std::move(what), count, [](long double rho) {
    const auto problem = ValidateDistance(rho);
    return problem ? problem->message : std::string();
  });
}

// The picture's format comes from its name. A build without the image export refuses --plot
// in the program itself, with its own sentence.
inline CLI::Validator ImageNameRule() {
  return Rule([](const std::string& text) -> std::string {
    std::string suffix = std::filesystem::path(text).extension().string();
    for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (suffix == ".png" || suffix == ".svg") return "";
    return "needs a file name ending in .png or .svg, not \"" + text + "\"";
  });
}

// The value of a list option, read again after its rule passed: it cannot fail.
inline NumberList Numbers(const std::string& text) { return ParseNumberList(text); }

}  // namespace nlayer::cli
