// A fit problem as a TOML file: the measured curves with their IRFs, distances and
// wavelengths, the layers with each parameter fixed, free (start and bounds) or tied, and
// optionally a spectral model. docs/fitting.md describes the format with a complete example;
// in short:
//
//   [fit]                     # optional: statistic, engine, starts, seed, max_iterations, profile
//   [spectral]                # optional: reference_nm, chromophores = ["HbO", "HbR"]
//   [[spectral.chromophore]]  # a further chromophore: name, file (two columns), unit
//   [[layer]]                 # top first: n, d (a number for the bottom layer of a stack,
//                             # which is not fitted; a half-space needs none), and either mua and musp
//                             # (a number, or one per wavelength: mua = { 760 = 0.02, ... })
//                             # or, with [spectral], one concentration per chromophore, a and b
//   [[curve]]                 # file, irf, rho, and optionally wavelength, label, shift_ps,
//                             # background ("none", "estimated", "fitted"), range
//
// A parameter's value is either a number (held fixed), or a table: { start = 0.02, lower = 0,
// upper = 0.1 } (free; lower and upper optional, start defaulting to nothing but required) or
// { tie = "musp1" } (the same value as that free parameter).
//
// Files named in it are read relative to the problem file's folder. Messages are English and
// name the file and line: `head.toml:14: layer 2: "mua" must be a number or a table`.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "io/input_file_error.h"
#include "nlayer/fit.h"

namespace nlayer {

struct ProblemFile {
  FitProblem problem;
  FitOptions options;  // from [fit]
  std::vector<std::filesystem::path> curve_files;  // per curve, as resolved
  std::vector<std::filesystem::path> irf_files;
};

// Parses `text`; `name` starts every message and `folder` resolves the files it names. Reads
// the curve, IRF and spectrum files. Throws InputFileError.
ProblemFile ParseProblem(std::string_view text, const std::string& name, const std::filesystem::path& folder);

// Reads the file at `path` (at most 1 MiB) and parses it. Throws InputFileError.
ProblemFile ReadProblemFile(const std::filesystem::path& path);

// The model alone, for computing it rather than fitting it: [fit], [spectral] and [[layer]] are
// read and checked as above, [[curve]] may be present but is not read (no curve file is opened),
// and the result has no curves. Values per wavelength are refused, since there are no curves to
// give the wavelengths; a model's spectra come from [spectral]. Whether the spectra cover the
// wavelengths the model is computed at, and give a valid medium there, is the caller's to check
// (SpectralModel::MediumAt, Medium::Validate). Throws InputFileError.
ProblemFile ParseProblemModel(std::string_view text, const std::string& name, const std::filesystem::path& folder);
ProblemFile ReadProblemModel(const std::filesystem::path& path);

}  // namespace nlayer
