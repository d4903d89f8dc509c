#include "model_fixture.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <unistd.h>

#include "mcar.h"

double ring_c(int i, int j) {
  int d = std::abs(i - j);
  d = std::min(d, NREGION - d);
  return (d == 1 || d == 9) ? 1.0 : 0.0;
}

void ModelTest::write_file(const char *name, const std::string &text) {
  std::ofstream out(dir_ + "/" + name);
  out << text;
}

void ModelTest::write_ring_files() {
  std::ostringstream d, c;
  d.precision(17);
  c.precision(17);
  for (int i = 0; i < NREGION; i++) {
    for (int j = 0; j < NREGION; j++) {
      d << (i == j ? 4.0 : 0.0) << (j + 1 < NREGION ? " " : "\n");
      c << ring_c(i, j) << (j + 1 < NREGION ? " " : "\n");
    }
  }
  write_file("neighbor1.txt", d.str());
  write_file("neighbor2.txt", c.str());
}

void ModelTest::SetUp() {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  old_dir_ = cwd;
  char tmpl[] = "/tmp/mcar-model-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  write_ring_files();

  std::mt19937 gen(20240611);
  std::normal_distribution<double> normal(0.0, 0.5);
  std::uniform_real_distribution<double> size(5.0, 60.0);
  for (int r = 0; r < 3; r++) {
    inputs_.Y[r].resize(NREGION);
    inputs_.N[r].resize(NREGION);
    inputs_.phi[r].resize(NREGION);
  }
  for (int i = 0; i < NREGION; i++)
    for (int r = 0; r < 3; r++) {
      inputs_.phi[r][i] = normal(gen);
      inputs_.N[r][i] = size(gen);
      std::poisson_distribution<int> pois(inputs_.N[r][i] *
                                          std::exp(inputs_.phi[r][i] * 0.5));
      inputs_.Y[r][i] = pois(gen);
    }
  // Eigenvalues of D^-1/2 C D^-1/2 = C / 4 for the ring map.
  inputs_.eig.resize(NREGION);
  for (int k = 0; k < NREGION; k++)
    inputs_.eig[k] = (2 * std::cos(2 * M_PI * k / NREGION) +
                      2 * std::cos(2 * M_PI * 9 * k / NREGION)) / 4;
}

void ModelTest::TearDown() {
  mcar_detail::release_state();
  mcar_detail::set_sparse_neighbours(true);
  if (chdir(old_dir_.c_str()) != 0)
    ADD_FAILURE() << "cannot return to " << old_dir_;
  std::string cmd = "rm -rf '" + dir_ + "'";
  if (std::system(cmd.c_str()) != 0)
    ADD_FAILURE() << "cannot remove " << dir_;
}

void ModelTest::build_state() {
  global_memory();
  ASSERT_TRUE(r_toplevel([] { read_data(); })) << console_err();
  ModelInputs &in = inputs_;
  start_vals(in.Y[0].data(), in.Y[1].data(), in.Y[2].data(), in.N[0].data(),
             in.N[1].data(), in.N[2].data(), in.beta, in.phi[0].data(),
             in.phi[1].data(), in.phi[2].data(), in.lamda, in.eta, in.theta,
             in.eig.data());
}

double mcar_log_prior(const double *a, bool with_log_det) {
  const int n = 3 * NREGION;
  const double A[3][3] = {{a[0], a[1], a[2]}, {a[1], a[3], a[4]},
                          {a[2], a[4], a[5]}};
  double *fields[3] = {phi1, phi2, phi3};
  std::vector<double> Q((size_t)n * n);
  for (int p = 0; p < 3; p++)
    for (int q = 0; q < 3; q++)
      for (int i = 0; i < NREGION; i++)
        for (int j = 0; j < NREGION; j++)
          Q[(size_t)(p * NREGION + i) * n + q * NREGION + j] =
              (p == q && i == j ? D[i][i] : 0.0) - A[p][q] * C[i][j];
  double quad = 0.0;
  for (int p = 0; p < 3; p++)
    for (int i = 0; i < NREGION; i++)
      for (int q = 0; q < 3; q++)
        for (int j = 0; j < NREGION; j++)
          quad += fields[p][i] *
                  Q[(size_t)(p * NREGION + i) * n + q * NREGION + j] *
                  fields[q][j];
  double logdet = 0.0;
  if (with_log_det) {
    r_assign_vector(".mcar_Q", Q.data(), n * n);
    logdet = r_eval_real("determinant(matrix(.mcar_Q, 261), logarithm = TRUE)"
                         "$modulus[[1]]");
  }
  return -0.5 * quad + 0.5 * logdet;
}

double poisson_log_lik() {
  const double L[3][3] = {{lamda1, lamda2, lamda3},
                          {0.0, lamda4, lamda5},
                          {0.0, 0.0, lamda6}};
  const double beta[3] = {gbeta1, gbeta2, gbeta3};
  double *Y[3] = {Y1, Y2, Y3}, *N[3] = {N1, N2, N3};
  double *fields[3] = {phi1, phi2, phi3};
  double ll = 0.0;
  for (int i = 0; i < NREGION; i++)
    for (int r = 0; r < 3; r++) {
      double lin = beta[r];
      for (int c = 0; c < 3; c++)
        lin += L[r][c] * fields[c][i];
      ll += Y[r][i] * (std::log(N[r][i]) + lin) - N[r][i] * std::exp(lin);
    }
  return ll;
}
