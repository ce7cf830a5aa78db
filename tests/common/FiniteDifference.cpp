#include "common/FiniteDifference.h"

#include <Eigen/Eigenvalues>

namespace fd {

double SmallestEigenvalue(const Eigen::MatrixXd& symmetric) {
  return Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>(symmetric, Eigen::EigenvaluesOnly)
      .eigenvalues()
      .minCoeff();
}

}  // namespace fd
