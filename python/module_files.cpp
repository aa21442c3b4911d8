// Reading model, curve and spectrum files and saving outputs, as the programs do.

#include "python/module_common.h"

namespace nlayer_python {

namespace {

// A name of a file to write as the system sees it: str (or os.PathLike) through os.fsencode, as
// open() takes it, so that names that are not UTF-8 reach the file they name.
std::filesystem::path OutputPath(const py::object& name) {
  const std::string bytes = py::module_::import("os").attr("fsencode")(name).cast<std::string>();
  if (bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return bytes;
}

// Runs a save without the GIL; its OutputFileError raised as the OSError of its error number
// (PermissionError, IsADirectoryError, ...), message and file name kept, so that Python callers
// catch it as they would open()'s.
template <class Save>
auto Saving(const py::object& name, Save save) {
  try {
    py::gil_scoped_release release;
    return save();
  } catch (const nlayer::OutputFileError& e) {
    py::object filename = py::module_::import("os").attr("fspath")(name);
    // No error number for a refusal of nlayer's own (a block device): a plain OSError.
    py::object number = e.error_number() != 0 ? py::object(py::int_(e.error_number())) : py::object(py::none());
    // OSError's constructor picks the subclass of the error number.
    py::object error = py::reinterpret_borrow<py::object>(PyExc_OSError)(number, e.what(), filename);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
  }
}

// The file's medium and rho, each problem raised where Python looks for it: OSError for a file
// that cannot be read, ValueError naming the line for a value that is not a model's.
// rho is None when it is not needed and the file gives none.
py::tuple ReadModel(const std::string& path, bool need_rho) {
  const nlayer::ModelFile file = ReadUserFile(path, [&] { return nlayer::ReadModelFile(path); });
  if (auto problem = nlayer::ValidateModelFile(file, need_rho)) {
    // The library's hint names nlayer-run's option; Python's way is the keyword.
    const std::string hint = " or with --rho";
    if (const auto at = problem->rfind(hint); at != std::string::npos && at + hint.size() == problem->size()) {
      problem->replace(at, hint.size(), ", or read with need_rho=False when the distance comes from elsewhere");
    }
    throw py::value_error(*problem);
  }
  if (!need_rho && file.rho_line == 0) return py::make_tuple(file.medium, py::none());
  return py::make_tuple(file.medium, LongDouble(file.rho_mm));
}

// A curve file's bins, each problem raised where Python looks for it, as read_model does.
py::tuple ReadCurve(const std::string& path) {
  const nlayer::CurveFile curve = ReadUserFile(path, [&] { return nlayer::ReadCurveFile(path); });
  return py::make_tuple(Array(curve.t_ps), Array(curve.counts));
}

// A spectrum file's wavelengths and values, by the same rules.
py::tuple ReadSpectrum(const std::string& path) {
  const nlayer::CurveFile spectrum =
      ReadUserFile(path, [&] { return nlayer::ReadCurveFile(path, nlayer::kSpectrumColumns); });
  return py::make_tuple(Array(spectrum.t_ps), Array(spectrum.counts));
}

}  // namespace

void RegisterFiles(py::module_& m) {
  m.def("read_model", &ReadModel, py::arg("path"), py::arg("need_rho") = true);
  // The programs' one way of saving a file, for what the Python package writes (tables, figures,
  // SNIRF files): links, owners, modes, pipes and devices kept as nlayer-run keeps them.
  m.def(
      "replace_file",
      [](const py::object& path, const py::bytes& content) {
        const std::filesystem::path name = OutputPath(path);
        const std::string_view bytes = content;
        Saving(path, [&] { nlayer::ReplaceFile(name, bytes); });
      },
      py::arg("path"), py::arg("content"));
  m.def(
      "check_output_path",
      [](const py::object& path) {
        const std::filesystem::path name = OutputPath(path);
        Saving(path, [&] { nlayer::CheckOutputPath(name); });
      },
      py::arg("path"));
  m.def(
      "same_file",
      [](const py::object& a, const py::object& b) {
        const std::filesystem::path first = OutputPath(a), second = OutputPath(b);
        py::gil_scoped_release release;
        return nlayer::SameFile(first, second);
      },
      py::arg("a"), py::arg("b"));
  m.def("read_curve", &ReadCurve, py::arg("path"));
  m.def("read_spectrum", &ReadSpectrum, py::arg("path"));
}

}  // namespace nlayer_python
