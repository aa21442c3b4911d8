// Hostile model files and hostile working directories, end to end: nlayer-run is started in a
// fresh directory and must either produce a well-formed, finite curve or stop with exactly the
// runtime's message (and a line explaining it), leave "reflectance.dat" closed (and empty when the run failed before its
// first line) and touch no other entry of the directory. The same models also run in-process,
// where it can be seen that a run leaves neither file open, whatever happened.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/chart_sink.h"
#include "app/run.h"
#include "app/run_error.h"
#include "tests/reflectance_file.h"
#include "tests/run_command.h"
#include "tests/test_support.h"

namespace nlayer::testing {
namespace {

namespace fs = std::filesystem;

const fs::path kHostile = fs::path(NLAYER_TEST_DATA) / "hostile";
const fs::path kOneLayer = fs::path(NLAYER_EXAMPLES_DIR) / "one_layer" / "input.dat";
const fs::path kTwoLayer = fs::path(NLAYER_TEST_DATA) / "nlayer_run" / "two_layer.dat";
const fs::path kNoRho = fs::path(NLAYER_TEST_DATA) / "nlayer_run" / "no_rho.dat";

// What a failed run leaves in place of the previous output: the file is re-created empty
// before "input.dat" is read, so stale lines must never survive a failure.
const std::string kStaleOutput = " 4.30000000000000E+0002    1.00000000000000E-0008\r\n";

// ---------------------------------------------------------------------------------------------
// Running nlayer-run.

using Outcome = CommandOutcome;

void WriteWhole(const fs::path& path, std::string_view content) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr) << path;
  ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), file), content.size());
  ASSERT_EQ(std::fclose(file), 0);
}

// Runs nlayer-run with `args` in `workdir`; its standard streams are captured outside it, so
// that the directory holds only what the run itself made.
Outcome RunNlayerIn(const fs::path& workdir, const std::vector<std::string>& args) {
  return RunCommand(NLAYER_RUN_PATH, args, workdir);
}

// Standard error of nlayer-run by lines: first the warnings about a model without physical
// meaning, then, for a failed run, the message and the line that explains it.
struct ErrorLines {
  std::vector<std::string> warnings;
  std::vector<std::string> rest;
};

ErrorLines SplitErrorLines(const std::string& err) {
  ErrorLines lines;
  std::size_t start = 0;
  for (std::size_t end; (end = err.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = err.substr(start, end - start);
    (lines.rest.empty() && line.rfind("warning: ", 0) == 0 ? lines.warnings : lines.rest).push_back(line);
  }
  EXPECT_EQ(start, err.size()) << "standard error does not end with a line end";
  return lines;
}

// The message of a failed run, then an explanation that starts with the file it names.
void ExpectExplainedFailure(const std::string& err, const std::string& message, const std::string& explained) {
  const ErrorLines lines = SplitErrorLines(err);
  ASSERT_EQ(lines.rest.size(), 2u) << err;
  EXPECT_EQ(lines.rest[0], message);
  EXPECT_EQ(lines.rest[1].rfind(explained, 0), 0u) << lines.rest[1];
}

// ---------------------------------------------------------------------------------------------
// What the directory holds, to show that a run touched nothing but "reflectance.dat".

struct Entry {
  char type;  // 'f' file, 'd' directory, 'l' symbolic link, '?' other
  off_t size;
  std::int64_t mtime_ns;
  mode_t mode;
  std::string content;  // a file's bytes or a link's target
  bool operator==(const Entry&) const = default;
};

std::map<std::string, Entry> Snapshot(const fs::path& dir) {
  std::map<std::string, Entry> entries;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const fs::path path = it->path();
    const std::string name = fs::relative(path, dir).string();
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) continue;
    Entry entry{'?', info.st_size, info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec,
                info.st_mode, ""};
    if (S_ISREG(info.st_mode)) {
      entry.type = 'f';
      // Only the run's own output may change; its content is checked case by case.
      if (name == "reflectance.dat") continue;
      entry.content = ReadWhole(path);
    } else if (S_ISDIR(info.st_mode)) {
      entry.type = 'd';
    } else if (S_ISLNK(info.st_mode)) {
      entry.type = 'l';
      entry.content = fs::read_symlink(path).string();
    }
    entries[name] = entry;
  }
  return entries;
}

void ExpectSameEntries(const std::map<std::string, Entry>& before, const std::map<std::string, Entry>& after) {
  for (const auto& [name, entry] : before) {
    const auto found = after.find(name);
    if (found == after.end()) {
      ADD_FAILURE() << "the run removed \"" << name << "\"";
    } else if (!(found->second == entry)) {
      ADD_FAILURE() << "the run changed \"" << name << "\"";
    }
  }
  for (const auto& [name, entry] : after) {
    if (!before.contains(name)) ADD_FAILURE() << "the run made \"" << name << "\"";
  }
}

// ---------------------------------------------------------------------------------------------
// The layout of "reflectance.dat".

// Everything a successful run promises of its file: 1 to 512 lines of 49 characters and CR LF,
// two number fields, times that are ascending multiples of 10 ps up to 5120 ps, finite values,
// none more than six decades below the largest one up to 5010 ps.
void ExpectWellFormedFiniteCurve(const std::string& text) {
  const ReflectanceFile file = ReadReflectanceFile(text);
  ASSERT_EQ(file.error, "");
  ASSERT_GE(file.samples.size(), 1u);
  ASSERT_LE(file.samples.size(), 512u);
  EXPECT_EQ(CompleteCurveProblem(file.samples), "");
}

// The output of a plain model, computed once per test program.
const std::string& CurveOf(const fs::path& model) {
  static std::map<fs::path, std::string> curves;
  auto found = curves.find(model);
  if (found != curves.end()) return found->second;
  TempWorkDir dir;
  const Outcome run = RunNlayerIn(dir.path(), {"--input", model.string()});
  EXPECT_EQ(run.status, 0) << model << ": " << run.err;
  return curves[model] = dir.Read("reflectance.dat");
}

// ---------------------------------------------------------------------------------------------
// Hostile model files.

// Either a curve byte for byte identical to that of a plain model, or a well-formed curve of
// its own, or a failure with the message the user sees.
enum class Expected { kSameCurveAs, kOwnCurve, kFailure };

struct HostileModel {
  const char* name;     // a file of tests/data/hostile/, or the name of a generated model
  std::string content;  // a generated model; empty for a file
  Expected expected;
  fs::path reference;       // kSameCurveAs: the plain model
  const char* message;      // kFailure: the message as shown, with its full stop
  std::int32_t layer_count;  // the count the reader must have taken, 0 when not checked
  std::size_t warnings = 0;  // lines of nlayer-run's warnings before the run
  bool folds = false;        // the curve outlasts the run's period: one warning after the run
};

void PrintTo(const HostileModel& model, std::ostream* os) { *os << model.name; }

HostileModel SameCurve(const char* file, const fs::path& reference, std::int32_t layer_count = 0) {
  return {file, "", Expected::kSameCurveAs, reference, nullptr, layer_count};
}
HostileModel OwnCurve(const char* file) {
  return {file, "", Expected::kOwnCurve, {}, nullptr, 0};
}
HostileModel Failure(const char* file, const char* message, std::int32_t layer_count = 0) {
  return {file, "", Expected::kFailure, {}, message, layer_count};
}
// A model that reads, and may even compute, but means nothing physically: one warning.
HostileModel Warned(HostileModel model) {
  model.warnings = 1;
  return model;
}
// A curve that has not faded by the end of the run's 10240 ps: its warning follows the run.
HostileModel Folds(HostileModel model) {
  model.folds = true;
  return model;
}

constexpr const char* kInvalidInput = "Ungültige numerische Eingabe.";
constexpr const char* kDivisionByZero = "Gleitkommadivision durch Null.";
constexpr const char* kOverflow = "Gleitkommaüberlauf.";
constexpr const char* kRangeCheck = "Fehler bei Bereichsprüfung.";

// The one-layer example with its refractive-index line replaced by `line`.
std::string OneLayerWithIndexLine(const std::string& line) {
  std::string text = ReadWhole(kOneLayer);
  const std::size_t start = text.find("1.4 ");
  const std::size_t end = text.find('\n', start);
  return text.substr(0, start) + line + text.substr(end);
}

std::vector<HostileModel> HostileModels() {
  std::vector<HostileModel> models = {
      // Tokens that are not entirely a number.
      Failure("decimal_comma.dat", kInvalidInput),
      Failure("unit_attached.dat", kInvalidInput),
      Failure("semicolon_attached.dat", kInvalidInput),
      Failure("byte_order_mark.dat", kInvalidInput),
      Failure("nan_value.dat", kInvalidInput),
      Failure("inf_value.dat", kInvalidInput),
      Failure("exponent_without_digits.dat", kInvalidInput),
      Failure("lone_point.dat", kInvalidInput),
      Failure("lone_minus.dat", kInvalidInput),
      Failure("negative_hex_count.dat", kInvalidInput),
      Failure("hex_prefix_without_digits.dat", kInvalidInput),
      // Token lengths: refused rather than cut one character beyond the limit.
      Failure("real_token_65_chars.dat", kInvalidInput),
      SameCurve("real_token_64_chars.dat", kOneLayer),
      Failure("count_token_33_chars.dat", kInvalidInput),
      SameCurve("count_token_32_chars.dat", kOneLayer, 1),
      // Spellings that are numbers after all.
      SameCurve("plus_signs.dat", kTwoLayer, 2),
      SameCurve("hex_count_one.dat", kOneLayer, 1),
      Failure("hex_count_ff_short_file.dat", kDivisionByZero, 255),
      // Blanks, line ends and the end of the file.
      // No text model file holds a NUL byte: these end at the first one (the very first byte).
      Failure("control_bytes_as_blanks.dat", kInvalidInput),
      Failure("nul_bytes_between_values.dat", kInvalidInput),
      SameCurve("tab_before_comment.dat", kOneLayer, 1),
      SameCurve("crlf_line_ends.dat", kOneLayer, 1),
      // A CR alone ends no line: everything after the count is its comment.
      Failure("cr_line_ends.dat", kDivisionByZero, 1),
      // Code 26 ends the file where it stands: rho reads as 0.
      Warned(SameCurve("ctrl_z_ends_file.dat", kNoRho, 1)),
      Failure("empty.dat", kRangeCheck),
      Failure("blanks_only.dat", kRangeCheck),
      // The extended range.
      Failure("exponent_5000.dat", kOverflow),
      Warned(SameCurve("exponent_minus_5000.dat", kNoRho, 1)),
      // Layer counts.
      Failure("layer_count_zero.dat", kRangeCheck),
      Failure("layer_count_minus_one.dat", kRangeCheck),
      Failure("layer_count_2147483647_short_file.dat", kDivisionByZero, 2147483647),
      Failure("layer_count_100000_short_file.dat", kDivisionByZero, 100000),
      // Physical values the arithmetic cannot take.
      Failure("zero_musp_top.dat", kDivisionByZero, 1),
      Failure("zero_musp_bottom.dat", kDivisionByZero, 2),
      Warned(Failure("top_mua_cancels_musp.dat", kDivisionByZero, 1)),
      Failure("zero_index_top.dat", kDivisionByZero, 2),
      // The frequency terms divide by every layer's index, the bottom one's included.
      Failure("zero_index_bottom.dat", kDivisionByZero, 2),
      Failure("stack_400mm.dat", kOverflow, 2),
      // A single layer is a half-space: its thickness, even a negative or huge one, has no
      // effect at all.
      SameCurve("single_layer_400mm.dat", kOneLayer, 1),
      SameCurve("negative_thickness_single_layer.dat", kOneLayer, 1),
      // In a stack a negative thickness is computed with as written; the curve is
      // meaningless but finite.
      Warned(OwnCurve("negative_thickness_top.dat")),
      Folds(Warned(OwnCurve("negative_thickness_bottom.dat"))),
      Warned(SameCurve("rho_zero.dat", kNoRho, 1)),
      // The Bessel function J0 is even: a negative distance reads as its mirror image.
      Warned(SameCurve("rho_negative.dat", kOneLayer, 1)),
  };
  // 100,000 characters on one line: a comment after a value is ignored like any other, a
  // token of that length is refused.
  models.push_back({"long_comment_line", OneLayerWithIndexLine("1.4 " + std::string(99996, 'n')),
                    Expected::kSameCurveAs, kOneLayer, nullptr, 1});
  models.push_back({"long_token_line", OneLayerWithIndexLine("1." + std::string(99998, '4')),
                    Expected::kFailure, {}, kInvalidInput, 1});
  return models;
}

std::string TestName(const ::testing::TestParamInfo<HostileModel>& info) {
  std::string name = info.param.name;
  name = name.substr(0, name.find('.'));
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

class HostileModelTest : public ::testing::TestWithParam<HostileModel> {
 protected:
  // Writes the model as "input.dat" into `dir`.
  static void WriteModel(const TempWorkDir& dir) {
    const HostileModel& model = GetParam();
    if (!model.content.empty()) {
      dir.Write("input.dat", model.content);
      return;
    }
    ASSERT_TRUE(fs::is_regular_file(kHostile / model.name)) << kHostile / model.name;
    fs::copy_file(kHostile / model.name, dir.path() / "input.dat");
  }
};

TEST_P(HostileModelTest, GivesACurveOrTheExactMessageAndTouchesNothingElse) {
  const HostileModel& model = GetParam();
  TempWorkDir dir;
  ASSERT_NO_FATAL_FAILURE(WriteModel(dir));
  dir.Write("reflectance.dat", kStaleOutput);
  dir.Write("bystander.dat", "a file the run has no business with\n");
  const auto before = Snapshot(dir.path());

  const Outcome run = RunNlayerIn(dir.path(), {});

  EXPECT_EQ(run.signal, 0) << "killed by signal " << run.signal;
  EXPECT_EQ(run.out, "");
  ExpectSameEntries(before, Snapshot(dir.path()));
  ASSERT_TRUE(fs::is_regular_file(dir.path() / "reflectance.dat"));
  const std::string output = dir.Read("reflectance.dat");
  const ErrorLines lines = SplitErrorLines(run.err);
  EXPECT_EQ(lines.warnings.size(), model.warnings + (model.folds ? 1 : 0)) << run.err;
  for (std::size_t i = 0; i < lines.warnings.size(); ++i) {
    const char* start = i < model.warnings ? "warning: input.dat" : "warning: the curve has not faded";
    EXPECT_EQ(lines.warnings[i].rfind(start, 0), 0u) << lines.warnings[i];
  }
  if (model.expected == Expected::kFailure) {
    EXPECT_EQ(run.status, 1);
    ExpectExplainedFailure(run.err, model.message, "input.dat");
    EXPECT_EQ(output, "");
    return;
  }
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(lines.rest.empty()) << run.err;
  ExpectWellFormedFiniteCurve(output);
  if (model.expected == Expected::kSameCurveAs) {
    EXPECT_TRUE(output == CurveOf(model.reference)) << "differs from the curve of " << model.reference;
  }
}

TEST_P(HostileModelTest, InProcessRunEndsTheSameWayAndClosesBothFiles) {
  const HostileModel& model = GetParam();
  TempWorkDir dir;
  ASSERT_NO_FATAL_FAILURE(WriteModel(dir));
  dir.Write("reflectance.dat", kStaleOutput);
  RunSession session;
  MemoryChart chart;
  std::string message;
  try {
    session.Run(chart);
  } catch (const RunError& e) {
    message = UserMessage(e.what());
  }
  EXPECT_FALSE(session.State().InputFile.IsOpen());
  EXPECT_FALSE(session.State().OutputFile.IsOpen());
  if (model.layer_count != 0) {
    EXPECT_EQ(session.State().LayerCount, model.layer_count);
  }
  if (model.expected == Expected::kFailure) {
    EXPECT_EQ(message, model.message);
    EXPECT_EQ(dir.Read("reflectance.dat"), "");
    EXPECT_TRUE(chart.Series(0).empty());
  } else {
    EXPECT_EQ(message, "");
    const std::string output = dir.Read("reflectance.dat");
    ExpectWellFormedFiniteCurve(output);
    // One point per line of the file, each a finite logarithm.
    EXPECT_EQ(chart.Series(0).size() * 51, output.size());
    for (const auto& [x, y] : chart.Series(0)) EXPECT_TRUE(std::isfinite(y)) << "at " << x << " ps";
  }
}

INSTANTIATE_TEST_SUITE_P(HostileInput, HostileModelTest, ::testing::ValuesIn(HostileModels()), TestName);

// ---------------------------------------------------------------------------------------------
// Hostile working directories.

struct HostileDirectory {
  const char* name;
  // Prepares the directory (which already holds a valid "input.dat" and a stale
  // "reflectance.dat"); returns false when the case cannot be set up here.
  bool (*prepare)(const fs::path& dir);
  std::vector<std::string> args;
  const char* message;
  // What "reflectance.dat" holds afterwards: "" for empty, nullptr when it is not a file the
  // run may change (a directory, a file it may not write, or not the output at all).
  const char* output;
  bool binds_the_superuser;  // false: file permissions, which root overrides
  const char* explained;     // how the explanation after the message starts: the file at fault
};

void PrintTo(const HostileDirectory& d, std::ostream* os) { *os << d.name; }

bool InputIsADirectory(const fs::path& dir) {
  fs::remove(dir / "input.dat");
  fs::create_directory(dir / "input.dat");
  WriteWhole(dir / "input.dat" / "inside.dat", "1\n");
  return true;
}

bool InputIsADanglingLink(const fs::path& dir) {
  fs::remove(dir / "input.dat");
  fs::create_symlink("moved-away.dat", dir / "input.dat");
  return true;
}

bool InputIsUnreadable(const fs::path& dir) {
  fs::permissions(dir / "input.dat", fs::perms::none);
  return true;
}

bool OutputIsADirectory(const fs::path& dir) {
  fs::remove(dir / "reflectance.dat");
  fs::create_directory(dir / "reflectance.dat");
  WriteWhole(dir / "reflectance.dat" / "inside.dat", kStaleOutput);
  return true;
}

bool OutputIsReadOnly(const fs::path& dir) {
  fs::permissions(dir / "reflectance.dat", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  return true;
}

bool NothingMore(const fs::path&) { return true; }

std::vector<HostileDirectory> HostileDirectories() {
  return {
      {"input_is_a_directory", InputIsADirectory, {}, "E/A-Fehler 21.", "", true, "input.dat: Is a directory"},
      {"input_is_a_dangling_link", InputIsADanglingLink, {}, "Datei nicht gefunden.", "", true,
       "input.dat: No such file or directory"},
      {"input_is_unreadable", InputIsUnreadable, {}, "Dateizugriff verweigert.", "", false,
       "input.dat: Permission denied"},
      {"output_is_a_directory", OutputIsADirectory, {}, "E/A-Fehler 21.", nullptr, true,
       "reflectance.dat: Is a directory"},
      {"output_is_read_only", OutputIsReadOnly, {}, "Dateizugriff verweigert.", nullptr, false,
       "reflectance.dat: Permission denied"},
      // Every write to /dev/full fails with ENOSPC.
      {"output_device_is_full", NothingMore, {"--output", "/dev/full"}, "E/A-Fehler 28.", nullptr, true,
       "/dev/full: No space left on device"},
  };
}

class HostileDirectoryTest : public ::testing::TestWithParam<HostileDirectory> {};

TEST_P(HostileDirectoryTest, EndsWithTheMessageAndTouchesNothingElse) {
  const HostileDirectory& hostile = GetParam();
  if (!hostile.binds_the_superuser && geteuid() == 0) GTEST_SKIP() << "file permissions do not bind the superuser";
  TempWorkDir dir;
  fs::copy_file(kOneLayer, dir.path() / "input.dat");
  dir.Write("reflectance.dat", kStaleOutput);
  dir.Write("bystander.dat", "a file the run has no business with\n");
  ASSERT_TRUE(hostile.prepare(dir.path()));
  const auto before = Snapshot(dir.path());
  const std::string output_before = ReadWhole(dir.path() / "reflectance.dat");

  const Outcome run = RunNlayerIn(dir.path(), hostile.args);

  EXPECT_EQ(run.signal, 0) << "killed by signal " << run.signal;
  EXPECT_EQ(run.status, 1);
  ExpectExplainedFailure(run.err, hostile.message, hostile.explained);
  EXPECT_EQ(run.out, "");
  ExpectSameEntries(before, Snapshot(dir.path()));
  if (hostile.output != nullptr) {
    EXPECT_EQ(ReadWhole(dir.path() / "reflectance.dat"), hostile.output);
  } else {
    EXPECT_EQ(ReadWhole(dir.path() / "reflectance.dat"), output_before);
  }
}

INSTANTIATE_TEST_SUITE_P(HostileInput, HostileDirectoryTest, ::testing::ValuesIn(HostileDirectories()),
                         [](const ::testing::TestParamInfo<HostileDirectory>& info) { return info.param.name; });

// A working directory on a file system that fills up while the curve is written: the run
// stops with the system's error, and what reached the file is the start of the curve, in whole
// lines of 51 bytes.
TEST(HostileInput, AFileSystemThatFillsUpStopsTheRunWithErrorNumber28) {
  TempWorkDir dir;
  const fs::path mount_point = dir.path() / "small";
  // Two pages: one for "input.dat", one for the first 4096 bytes of the curve, which needs
  // about 26 kB.
  const SmallFileSystem small(mount_point, "8k");
  if (!small.mounted()) GTEST_SKIP() << small.error();
  fs::copy_file(kOneLayer, mount_point / "input.dat");
  const auto before = Snapshot(mount_point);

  const Outcome run = RunNlayerIn(mount_point, {});

  EXPECT_EQ(run.signal, 0) << "killed by signal " << run.signal;
  EXPECT_EQ(run.status, 1);
  ExpectExplainedFailure(run.err, "E/A-Fehler 28.", "reflectance.dat: No space left on device");
  ExpectSameEntries(before, Snapshot(mount_point));
  const std::string partial = ReadWhole(mount_point / "reflectance.dat");
  const std::string& full = CurveOf(kOneLayer);
  EXPECT_LT(partial.size(), full.size());
  EXPECT_TRUE(full.compare(0, partial.size(), partial) == 0) << "the file is not the start of the curve";
  EXPECT_EQ(partial.size() % kOutputLineLength, 0u) << "the file ends in a partial line";
}

}  // namespace
}  // namespace nlayer::testing
