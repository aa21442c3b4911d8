// The residuals of the two statistics, and the fit linearised at a point: the Jacobian, the
// rank and condition that decide whether the data determine the parameters.
#pragma once

#include <ceres/ceres.h>

#include <Eigen/Core>

#include <optional>
#include <vector>

namespace nlayer::fit {

struct Residual {
  double r;      // with the sign of y - m
  double dr_dm;  // its derivative with respect to the model count
};

// The signed square root of a bin's Poisson deviance 2 (m - y + y ln(y / m)).
Residual PoissonResidual(double y, double m);
// (y - m) / sqrt(max(y, 1)).
Residual SquaresResidual(double y, double m);

// The Jacobian (columns in the solver's tangent space: a fixed shift has none) and the
// residuals at the solver's current point. The spectra are cached: no model is computed.
struct Linearised {
  Eigen::MatrixXd jacobian;
  Eigen::VectorXd residuals;
};

std::optional<Linearised> Linearise(ceres::Problem& problem, const std::vector<double*>& blocks);

// Whether the data determine every parameter: the Jacobian at the optimum has full rank, by the
// test Ceres's dense covariance applies (the reciprocal condition number of J'J above 1e-14),
// made here first because Ceres reports the failure on standard error, which a command line
// must keep for its own messages.
bool Determined(const Eigen::MatrixXd& jacobian);

// The condition number of J'J with J's columns scaled to unit length: how nearly some
// combination of the parameters leaves the curve unchanged, whatever the parameters' units.
double ConditionNumber(const Eigen::MatrixXd& jacobian);

// The fraction of the cost that a Gauss-Newton step in the given columns would remove: about 0
// at an optimum, whatever the scale of the data.
double GaussNewtonGain(const Linearised& at, const std::vector<Eigen::Index>& columns);

}  // namespace nlayer::fit
