// A small, fully known model state for the model and sampler tests.
//
// The map is a ring of 87 units in which every unit neighbours the units one
// and nine places away on either side (four neighbours each, C symmetric with
// a zero diagonal, D = 4 I).  The neighbour files are written into a private
// temporary directory, which is the working directory while a fixture lives,
// so that read_data() builds the state exactly as the sampler does.  Counts,
// expected counts and fields come from a fixed std::mt19937 stream, never
// from R's generator.
#ifndef MCAR_TESTS_MODEL_FIXTURE_H
#define MCAR_TESTS_MODEL_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "mcar.h"

struct ModelInputs {
  std::vector<double> Y[3], N[3], phi[3], eig;
  double beta[3] = {0.1, -0.2, 0.05};
  double lamda[6] = {0.8, 0.3, -0.2, 0.6, 0.25, 0.5};
  double eta[3] = {0.6, 0.3, -0.2};
  double theta[3] = {0.3, -0.2, 0.4};
};

class ModelTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the ring map's neighbour files into dir_ (the working directory).
  void write_ring_files();
  // Allocates the state, reads the files and loads inputs_.
  void build_state();
  // Writes n numbers of text as the neighbour file name in dir_.
  void write_file(const char *name, const std::string &text);

  ModelInputs inputs_;
  std::string dir_, old_dir_;
};

// The neighbour matrices of the ring map, as written by write_ring_files.
double ring_c(int i, int j);

// -0.5 phi' Q phi + 0.5 log det Q of the MCAR prior with Q = I (x) D - A (x) C,
// computed densely from the current state (C, D, phi1..3) and the association
// vector a; the log-determinant by a Cholesky factorisation in R.
double mcar_log_prior(const double *a, bool with_log_det);
// The Poisson log-likelihood of all counts in the current state, with every
// term that depends on a parameter.
double poisson_log_lik();

#endif
