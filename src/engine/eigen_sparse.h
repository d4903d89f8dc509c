// Eigen's sparse Cholesky, included as a system header: its vector types
// trip a harmless GCC warning (-Wignored-attributes) in every instantiation.
#ifndef MCAR_EIGEN_SPARSE_H
#define MCAR_EIGEN_SPARSE_H

#if defined(__GNUC__)
#pragma GCC system_header
#endif

#include <Eigen/OrderingMethods>
#include <Eigen/SparseCholesky>
#include <Eigen/SparseCore>

#endif
