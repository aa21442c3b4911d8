#include "io/csv_table.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <complex>
#include <span>
#include <stdexcept>
#include <system_error>

#include "core/number_text.h"
#include "io/phase_lag.h"

namespace nlayer {

namespace {

void Append(std::string& text, double value) {
  char buffer[32];
  text.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

[[noreturn]] void Fail(const std::filesystem::path& path, int err) {
  throw std::runtime_error("cannot write " + path.string() + ": " +
                           std::error_code(err, std::generic_category()).message());
}

// Creates a file of a name no one else uses, beside `path`; the permissions are those of any
// new file (the umask applies), which a private temporary name from mkstemp would not give.
int CreateBeside(const std::filesystem::path& path, std::filesystem::path& created) {
  static std::atomic<unsigned> counter{0};
  for (;;) {
    std::filesystem::path candidate = path;
    candidate.replace_filename("." + path.filename().string() + ".tmp-" + std::to_string(getpid()) + "-" +
                               std::to_string(counter++));
    const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) {
      created = std::move(candidate);
      return fd;
    }
  }
}

}  // namespace

std::string TimeTable(const TimeCurves& curves, const std::vector<std::string>& labels) {
  std::string text = "t_ps";
  for (const std::string& label : labels) text += ",R_" + label + "mm";
  text += '\n';
  for (std::size_t i = 0; i < curves.t_ps.size(); ++i) {
    Append(text, curves.t_ps[i]);
    for (std::size_t r = 0; r < curves.rho_mm.size(); ++r) {
      text += ',';
      Append(text, curves.Curve(r)[i]);
    }
    text += '\n';
  }
  return text;
}

std::string FrequencyTable(const FrequencySpectra& spectra) {
  std::string text = "f_hz,rho_mm,re,im,amplitude,phase_rad\n";
  std::vector<std::vector<double>> lags;  // per distance, per frequency
  for (std::size_t r = 0; r < spectra.rho_mm.size(); ++r) {
    const std::size_t n = spectra.f_hz.size();
    lags.push_back(UnwrappedPhaseLag(std::span(spectra.values).subspan(r * n, n), spectra.f_hz));
  }
  for (std::size_t k = 0; k < spectra.f_hz.size(); ++k) {
    for (std::size_t r = 0; r < spectra.rho_mm.size(); ++r) {
      const std::complex<double> value = spectra.At(r, k);
      const double lag = lags[r][k];
      Append(text, spectra.f_hz[k]);
      text += ',' + NumberText(spectra.rho_mm[r]);
      for (double number : {value.real(), value.imag(), std::abs(value), lag}) {
        text += ',';
        Append(text, number);
      }
      text += '\n';
    }
  }
  return text;
}

void ReplaceFile(const std::filesystem::path& path, std::string_view content) {
  std::filesystem::path temporary;
  const int fd = CreateBeside(path, temporary);
  if (fd < 0) Fail(path, errno);
  int err = 0;
  for (std::string_view rest = content; !rest.empty() && err == 0;) {
    const ssize_t written = write(fd, rest.data(), rest.size());
    if (written > 0) {
      rest.remove_prefix(static_cast<std::size_t>(written));
    } else if (written < 0 && errno != EINTR) {
      err = errno;
    } else if (written == 0) {
      err = EIO;
    }
  }
  // Space a file system only reserves lazily, and data a network file system only sends late,
  // fail at the latest here, before the old file is gone.
  if (err == 0 && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(temporary.c_str());
    Fail(path, err);
  }
}

}  // namespace nlayer
