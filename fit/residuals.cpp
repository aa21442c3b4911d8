#include "fit/residuals.h"

#include <Eigen/QR>
#include <Eigen/SVD>

#include <algorithm>
#include <cmath>
#include <limits>

namespace nlayer::fit {

namespace {

// The least model count a Poisson residual takes: where the model is 0 and the data are not,
// the deviance is infinite; a finite, huge one lets the solver step back.
constexpr double kLeastModelCount = 1e-10;

}  // namespace

Residual PoissonResidual(double y, double m) {
  m = std::max(m, kLeastModelCount);
  if (y == 0) {
    const double root = std::sqrt(2.0 * m);
    return {-root, -1.0 / root};
  }
  // Deviance 2 (m - y - y ln(m / y)) = 2 y (u - ln(1 + u)), u = (m - y) / y; near u = 0 the
  // difference would cancel, so there a series takes over.
  const double u = (m - y) / y;
  if (u == 0) return {0.0, -1.0 / std::sqrt(y)};
  double d = 0;
  if (std::fabs(u) < 1e-3) {
    d = 2.0 * y * u * u * (0.5 - u * (1.0 / 3.0 - u * (0.25 - u * 0.2)));
  } else {
    d = 2.0 * y * (u - std::log1p(u));
  }
  const double root = std::sqrt(d);
  const double sign = u > 0 ? -1.0 : 1.0;
  return {sign * root, sign * (u / (1.0 + u)) / root};
}

Residual SquaresResidual(double y, double m) {
  const double sigma = std::sqrt(std::max(y, 1.0));
  return {(y - m) / sigma, -1.0 / sigma};
}

std::optional<Linearised> Linearise(ceres::Problem& problem, const std::vector<double*>& blocks) {
  ceres::CRSMatrix crs;
  std::vector<double> residuals;
  ceres::Problem::EvaluateOptions options;
  options.parameter_blocks = blocks;
  if (!problem.Evaluate(options, nullptr, &residuals, nullptr, &crs)) return std::nullopt;
  Linearised out{Eigen::MatrixXd::Zero(crs.num_rows, crs.num_cols),
                 Eigen::Map<Eigen::VectorXd>(residuals.data(), static_cast<Eigen::Index>(residuals.size()))};
  for (int row = 0; row < crs.num_rows; ++row) {
    for (int k = crs.rows[row]; k < crs.rows[row + 1]; ++k) out.jacobian(row, crs.cols[k]) = crs.values[k];
  }
  return out;
}

bool Determined(const Eigen::MatrixXd& jacobian) {
  const Eigen::VectorXd singular = Eigen::JacobiSVD<Eigen::MatrixXd>(jacobian).singularValues();
  if (singular.size() == 0 || !(singular(0) > 0)) return false;
  const double ratio = singular(singular.size() - 1) / singular(0);
  constexpr double kMargin = 10;  // stays clear of Ceres's own threshold
  return ratio * ratio > kMargin * 1e-14;
}

double ConditionNumber(const Eigen::MatrixXd& jacobian) {
  if (jacobian.cols() == 0) return std::numeric_limits<double>::quiet_NaN();
  Eigen::MatrixXd scaled = jacobian;
  for (Eigen::Index c = 0; c < scaled.cols(); ++c) {
    const double norm = scaled.col(c).norm();
    if (!(norm > 0) || !std::isfinite(norm)) return std::numeric_limits<double>::infinity();
    scaled.col(c) /= norm;
  }
  const Eigen::VectorXd singular = Eigen::JacobiSVD<Eigen::MatrixXd>(scaled).singularValues();
  const double ratio = singular(0) / singular(singular.size() - 1);
  return ratio * ratio;
}

double GaussNewtonGain(const Linearised& at, const std::vector<Eigen::Index>& columns) {
  const double cost = at.residuals.squaredNorm();
  if (columns.empty() || !(cost > 0) || !std::isfinite(cost)) return 0;
  Eigen::MatrixXd j(at.jacobian.rows(), static_cast<Eigen::Index>(columns.size()));
  for (std::size_t c = 0; c < columns.size(); ++c) j.col(static_cast<Eigen::Index>(c)) = at.jacobian.col(columns[c]);
  const Eigen::VectorXd step = j.colPivHouseholderQr().solve(at.residuals);
  return (j * step).squaredNorm() / cost;
}

}  // namespace nlayer::fit
