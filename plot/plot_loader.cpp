#include "plot/plot_module.h"

#include <dlfcn.h>

#include <stdexcept>
#include <system_error>

namespace nlayer::plot {
namespace {

const ModuleFunctions& Module() {
  // Opened once and never closed: Qt keeps threads and handlers of its own alive until exit.
  static const ModuleFunctions* const functions = [] {
    const std::filesystem::path path = ModulePath();
    const auto refuse = [&](const std::string& why) {
      return std::runtime_error("cannot draw pictures: the plotting module " + path.string() + " " + why);
    };
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
      throw refuse("is missing; reinstall nlayer, or build it with NLAYER_BUILD_PLOT on");
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = dlerror();
      throw refuse(std::string("cannot be loaded: ") + (why ? why : "unknown reason"));
    }
    using Entry = const ModuleFunctions* (*)();
    const auto entry = reinterpret_cast<Entry>(dlsym(handle, kModuleEntry));
    const ModuleFunctions* table = entry ? entry() : nullptr;
    if (table == nullptr || table->version != kModuleVersion) {
      throw refuse("is of another version of nlayer; reinstall nlayer");
    }
    return table;
  }();
  return *functions;
}

template <class F, class... Args>
void Call(F function, const Args&... args) {
  std::string error;
  if (!function(args..., error)) throw std::runtime_error(error);
}

}  // namespace

std::filesystem::path ModulePath() {
  std::error_code ec;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::filesystem::path folder = ec ? std::filesystem::path(".") : program.parent_path();
  return (folder / NLAYER_PLOT_MODULE_FROM_BIN).lexically_normal();
}

void WriteChartImage(const MemoryChart& chart, const std::filesystem::path& path) {
  Call(Module().write_chart, chart, path);
}

void WriteCurvesImage(const std::vector<ui::NamedCurve>& curves, const std::filesystem::path& path) {
  Call(Module().write_curves, curves, path);
}

void WriteFitImages(const std::vector<fit::FitPicture>& pictures, const std::filesystem::path& path) {
  Call(Module().write_fits, pictures, path);
}

}  // namespace nlayer::plot
