#include "tests/test_support.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

#include "core/fp_guard.h"

namespace nlayer::testing {

long double RelErr(long double a, long double b) {
  if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<long double>::infinity();
  if (a == b) return 0.0L;
  if (std::isinf(a) || std::isinf(b)) return std::numeric_limits<long double>::infinity();
  if (b == 0.0L) return std::fabs(a);
  return std::fabs((a - b) / b);
}

double CorrectDigits(long double a, long double b) {
  const long double e = RelErr(a, b);
  if (e == 0.0L) return 20.0;
  return std::fmin(20.0, static_cast<double>(-std::log10(e)));
}

TempWorkDir::TempWorkDir() : previous_(std::filesystem::current_path()) {
  std::string pattern = (std::filesystem::temp_directory_path() / "nlayer-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  std::filesystem::current_path(dir_);
}

TempWorkDir::~TempWorkDir() {
  std::error_code ec;
  std::filesystem::current_path(previous_, ec);
  // Tests may leave read-only files or directories behind; make them removable first.
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ec);
  for (auto& entry : std::filesystem::recursive_directory_iterator(dir_, ec)) {
    if (!entry.is_symlink()) {
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::remove_all(dir_, ec);
}

void TempWorkDir::Write(const std::string& name, const std::string& content) const {
  std::ofstream out(dir_ / name, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string TempWorkDir::Read(const std::string& name) const {
  std::ifstream in(dir_ / name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

namespace {
// Every test binary starts in the environment the program asserts at its own start.
class FloatingPointEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { AssertFloatingPointEnvironment(); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new FloatingPointEnvironment);
}  // namespace

std::string ReadWhole(const std::filesystem::path& path) {
  std::string text;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return text;
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  std::fclose(file);
  return text;
}

SmallFileSystem::SmallFileSystem(const std::filesystem::path& mount_point, const std::string& size) : at_(mount_point) {
  std::filesystem::create_directories(at_);
  if (::mount("nlayer-test", at_.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0) {
    mounted_ = true;
  } else {
    error_ = std::string("cannot mount a small file system here: ") + std::strerror(errno);
  }
}

SmallFileSystem::~SmallFileSystem() {
  if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
}

void SmallFileSystem::Fill(const std::string& name) const {
  std::FILE* file = std::fopen((at_ / name).c_str(), "wb");
  if (file == nullptr) return;
  const std::string block(4096, '\0');
  while (std::fwrite(block.data(), 1, block.size(), file) == block.size() && std::fflush(file) == 0) {
  }
  std::fclose(file);
}

}  // namespace nlayer::testing
