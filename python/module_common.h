// What the module's parts share: exact values, the exceptions' translation, the interruptible
// call, conversions and the chromophores both ways. Each part registers its area
// (RegisterModel, RegisterFiles, RegisterSpectra, RegisterFit, RegisterMonteCarlo),
// PYBIND11_MODULE calls them.
#pragma once

#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <stop_token>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "io/curve_file.h"
#include "io/problem_file.h"
#include "io/model_file.h"
#include "io/output_file.h"
#include "io/phase_lag.h"
#include "nlayer/fit.h"
#include "nlayer/nlayer.h"

namespace py = pybind11;

namespace nlayer_python {

extern PyObject* g_model_error;  // nlayer.ModelError, created at import
bool IsDouble(long double x);
std::string ValueText(long double x);
py::object PackValue(long double x);
long double ToExtended(const py::handle& value, const char* name);

[[noreturn]] void RaiseInvalid(const nlayer::InvalidRequest& e);
[[noreturn]] void RaiseModelError(const nlayer::ModelError& e);
extern thread_local std::optional<std::stop_source> t_pending_stop;

nlayer::ComputeOptions Options(unsigned threads, const std::string& engine);
std::vector<long double> Distances(const py::sequence& rho_mm);
std::string CheckedPath(const std::string& path);
py::object LongDouble(long double x);
nlayer::Medium MakeMedium(const py::iterable& layers);
std::string LayerRepr(const nlayer::Layer& l);
py::tuple PackLayer(const nlayer::Layer& l);
bool SameLayer(const nlayer::Layer& a, const nlayer::Layer& b);
bool SameMedium(const nlayer::Medium& a, const nlayer::Medium& b);
py::tuple PackMedium(const nlayer::Medium& m);
py::array_t<double> Array(const std::vector<double>& values);
py::tuple MomentsTuple(const nlayer::Moments& moments);
py::tuple PackChromophore(const nlayer::Chromophore& c);
nlayer::Chromophore UnpackChromophore(const py::handle& item);
std::vector<nlayer::Chromophore> UnpackChromophores(const py::handle& items);
nlayer::SpectralModel UnpackSpectral(const py::dict& s);

// Runs `work` (which must own everything it reads) on a thread of its own while the caller
// waits without the GIL, looking for signals every 0.1 s. On Ctrl-C the computation is asked to
// stop (the library reads the request before each frequency), its end awaited, and
// KeyboardInterrupt raised: nothing keeps running behind it.
template <class Result, class Work>
std::future<Result> Launch(Work work) {
  auto task = std::make_shared<std::packaged_task<Result()>>(std::move(work));
  std::future<Result> result = task->get_future();
  std::thread([task] { (*task)(); }).detach();
  return result;
}

// Waits for `result` without the GIL, asking `stopping()` (with the GIL) every 0.1 s whether to
// stop: then `stop` is requested and, where it can be, the end awaited. True when it stopped.
template <class Result, class Stopping>
bool AwaitWithoutGil(const std::future<Result>& result, std::stop_source& stop, Stopping stopping) {
  for (;;) {
    {
      py::gil_scoped_release release;
      if (result.wait_for(std::chrono::milliseconds(100)) == std::future_status::ready) return false;
    }
    if (stopping()) {
      if (stop.stop_possible()) {
        stop.request_stop();
        py::gil_scoped_release release;
        result.wait();
      }
      return true;
    }
  }
}

template <class Result, class Work>
Result RunInterruptible(Work work) {
  std::stop_source stop = t_pending_stop.value_or(std::stop_source(std::nostopstate));
  t_pending_stop.reset();
  std::future<Result> result = Launch<Result>(std::move(work));
  if (AwaitWithoutGil(result, stop, [] { return PyErr_CheckSignals() != 0; })) throw py::error_already_set();
  try {
    return result.get();
  } catch (const nlayer::InvalidRequest& e) {
    RaiseInvalid(e);
  } catch (const nlayer::ModelError& e) {
    RaiseModelError(e);
  } catch (const nlayer::Cancelled&) {
    // Stopped without Ctrl-C reaching this wait: reported as the interrupt it stands for.
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
  }
}

// A reader's InputFileError raised where Python looks for it: OSError for a file that cannot be
// read (with its errno), ValueError with the line for text that breaks the file's rules.
template <class Read>
auto ReadUserFile(const std::string& path, Read read) {
  CheckedPath(path);
  try {
    py::gil_scoped_release release;
    return read();
  } catch (const nlayer::InputFileError& e) {
    if (e.error_number() != 0) {
      PyErr_SetObject(PyExc_OSError, py::make_tuple(e.error_number(), e.what(), path).ptr());
      throw py::error_already_set();
    }
    py::object error = py::reinterpret_borrow<py::object>(PyExc_ValueError)(e.what());
    error.attr("line") = e.line();
    PyErr_SetObject(PyExc_ValueError, error.ptr());
    throw py::error_already_set();
  }
}

void RegisterModel(py::module_& m);
void RegisterFiles(py::module_& m);
void RegisterSpectra(py::module_& m);
void RegisterFit(py::module_& m);
void RegisterMonteCarlo(py::module_& m);

}  // namespace nlayer_python
