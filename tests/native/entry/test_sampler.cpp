// The sampler entry against a plain sweep written from the exported updates
// with dense neighbour sums: every chain value, counter, mean and deviance
// must agree to the last bit.  Also the neighbour files' failure paths.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <R.h>
#include <Rinternals.h>
#include <Rmath.h>

#include "harness.h"
#include "mcar.h"
#include "mcar_main.h"
#include "model_fixture.h"

namespace {

struct Scales {
  double beta[3] = {0.05, 0.04, 0.06};
  std::vector<double> phi[3];
  double lam1[3] = {0.05, 0.04, 0.06}, lam2[3] = {0.05, 0.06, 0.04};
  double eta[3] = {0.3, 0.2, 0.25}, theta[3] = {0.2, 0.3, 0.25};
  Scales() {
    for (int f = 0; f < 3; f++) {
      phi[f].resize(NREGION);
      for (int j = 0; j < NREGION; j++)
        phi[f][j] = 0.2 + 0.01 * ((j * (f + 3)) % 17);
    }
  }
};

// Everything one call of mcar writes.
struct Outputs {
  int m;
  std::vector<double> beta_f, phi_f[3], alpha_f, lamda_f;
  std::vector<int> count[6];
  std::vector<double> beta_m, phi_m[3], alpha_m, lamda_m, p_m[3];
  double Dbar = 0, Dtheta = 0;
  explicit Outputs(int m_) : m(m_) {
    beta_f.assign(3 * m, -1);
    for (auto &p : phi_f)
      p.assign((size_t)NREGION * m, -1);
    alpha_f.assign(6 * m, -1);
    lamda_f.assign(6 * m, -1);
    const int lens[6] = {3, NREGION, NREGION, NREGION, 2, 2};
    for (int c = 0; c < 6; c++)
      count[c].assign(lens[c], 0);
    beta_m.assign(3, 0);
    for (auto &p : phi_m)
      p.assign(NREGION, 0);
    alpha_m.assign(6, 0);
    lamda_m.assign(6, 0);
    for (auto &p : p_m)
      p.assign(NREGION, 0);
  }
};

void call_mcar(ModelInputs &in, Scales &s, int nstart, int nend, Outputs &o) {
  mcar(o.beta_f.data(), o.phi_f[0].data(), o.phi_f[1].data(),
       o.phi_f[2].data(), o.alpha_f.data(), o.lamda_f.data(), in.Y[0].data(),
       in.N[0].data(), in.Y[1].data(), in.N[1].data(), in.Y[2].data(),
       in.N[2].data(), in.beta, in.phi[0].data(), in.phi[1].data(),
       in.phi[2].data(), in.lamda, in.eta, in.theta, in.eig.data(), &nstart,
       &nend, o.count[0].data(), o.count[1].data(), o.count[2].data(),
       o.count[3].data(), o.count[4].data(), o.count[5].data(), s.beta,
       s.phi[0].data(), s.phi[1].data(), s.phi[2].data(), s.lam1, s.lam2,
       s.eta, s.theta, o.beta_m.data(), o.phi_m[0].data(), o.phi_m[1].data(),
       o.phi_m[2].data(), o.alpha_m.data(), o.lamda_m.data(),
       o.p_m[0].data(), o.p_m[1].data(), o.p_m[2].data(), &o.Dbar,
       &o.Dtheta);
}

bool moved(double a, double b) { return std::fabs(a - b) > 1e-5; }

// The sweep as plainly as it can be written, on the exported updates.
void reference_run(ModelInputs &in, Scales &s, int nstart, int nend, Outputs &o,
                   std::string &lines) {
  const int m = nend - nstart;
  global_memory();
  read_data();
  start_vals(in.Y[0].data(), in.Y[1].data(), in.Y[2].data(), in.N[0].data(),
             in.N[1].data(), in.N[2].data(), in.beta, in.phi[0].data(),
             in.phi[1].data(), in.phi[2].data(), in.lamda, in.eta, in.theta,
             in.eig.data());
  mcar_detail::set_sparse_neighbours(false);
  RngScope rng;
  double sumlnF = 0;
  char buf[512];
  for (int i = 0; i < nend; i++) {
    const bool st = i >= nstart;
    const int r = i - nstart;
    snprintf(buf, sizeof buf, "GIBBS: %d\n", i + 1);
    lines += buf;
    double *beta[3] = {&gbeta1, &gbeta2, &gbeta3};
    double (*bstep[3])(double, double) = {metroplis_beta1, metroplis_beta2,
                                          metroplis_beta3};
    for (int b = 0; b < 3; b++) {
      double nv = bstep[b](*beta[b], s.beta[b]);
      if (st && moved(*beta[b], nv))
        o.count[0][b]++;
      *beta[b] = nv;
      if (st)
        o.beta_f[b * m + r] = nv;
    }
    double *fields[3] = {phi1, phi2, phi3};
    double (*fstep[3])(int, double, double) = {metroplis_phi1, metroplis_phi2,
                                               metroplis_phi3};
    for (int f = 0; f < 3; f++)
      for (int j = 0; j < NREGION; j++) {
        double nv = fstep[f](j, fields[f][j], s.phi[f][j]);
        if (st && moved(fields[f][j], nv))
          o.count[1 + f][j]++;
        fields[f][j] = nv;
        if (st)
          o.phi_f[f][m * j + r] = nv;
      }
    double *ls[6] = {&lamda1, &lamda2, &lamda3, &lamda4, &lamda5, &lamda6};
    double prev[6], cur[6];
    for (int block = 0; block < 2; block++) {
      for (int k = 0; k < 6; k++)
        prev[k] = *ls[k];
      (block == 0 ? metroplis_lamda1 : metroplis_lamda2)(
          cur, prev, block == 0 ? s.lam1 : s.lam2);
      if (st && moved(prev[block], cur[block]))
        o.count[4][block]++;
      for (int k = 0; k < 6; k++)
        *ls[k] = cur[k];
    }
    if (st)
      for (int k = 0; k < 6; k++)
        o.lamda_f[k * m + r] = *ls[k];
    snprintf(buf, sizeof buf, "%lf, %lf, %lf, %lf, %lf, %lf\n", lamda1, lamda2,
             lamda3, lamda4, lamda5, lamda6);
    lines += buf;
    double p3[3], c3[3];
    for (int block = 0; block < 2; block++) {
      double *state = block == 0 ? eta : theta;
      for (int k = 0; k < 3; k++)
        p3[k] = state[k];
      (block == 0 ? metroplis_alpha1 : metroplis_alpha2)(
          c3, p3, block == 0 ? s.eta : s.theta);
      if (st && moved(p3[0], c3[0]))
        o.count[5][block]++;
      for (int k = 0; k < 3; k++)
        state[k] = c3[k];
    }
    if (st)
      for (int k = 0; k < 6; k++)
        o.alpha_f[k * m + r] = alpha[k];
    snprintf(buf, sizeof buf, "alpha=%lf, %lf, %lf,%lf, %lf, %lf \n", alpha[0],
             alpha[1], alpha[2], alpha[3], alpha[4], alpha[5]);
    lines += buf;
    if (st)
      sumlnF += density();
  }
  o.Dbar = sumlnF / m;
  for (int b = 0; b < 3; b++) {
    for (int r = 0; r < m; r++)
      o.beta_m[b] += o.beta_f[b * m + r];
    o.beta_m[b] /= m;
  }
  for (int j = 0; j < NREGION; j++)
    for (int f = 0; f < 3; f++) {
      for (int r = 0; r < m; r++)
        o.phi_m[f][j] += o.phi_f[f][m * j + r];
      o.phi_m[f][j] /= m;
    }
  for (int k = 0; k < 6; k++) {
    for (int r = 0; r < m; r++) {
      o.alpha_m[k] += o.alpha_f[k * m + r];
      o.lamda_m[k] += o.lamda_f[k * m + r];
    }
    o.alpha_m[k] /= m;
    o.lamda_m[k] /= m;
  }
  const double *L = o.lamda_f.data(), *B = o.beta_f.data();
  for (int j = 0; j < NREGION; j++) {
    for (int r = 0; r < m; r++) {
      int x = m * j + r;
      double a = o.phi_f[0][x], b = o.phi_f[1][x], c = o.phi_f[2][x];
      o.p_m[0][j] += exp(L[r] * a + B[r] + L[m + r] * b + L[2 * m + r] * c);
      o.p_m[1][j] += exp(L[3 * m + r] * b + B[m + r] + L[4 * m + r] * c);
      o.p_m[2][j] += exp(L[5 * m + r] * c + B[2 * m + r]);
    }
    for (int f = 0; f < 3; f++)
      o.p_m[f][j] /= m;
  }
  o.Dtheta = dtheta_fun(o.p_m[0].data(), o.p_m[1].data(), o.p_m[2].data());
  mcar_detail::release_state();
  mcar_detail::set_sparse_neighbours(true);
}

template <typename T>
void expect_identical(const std::vector<T> &a, const std::vector<T> &b,
                      const char *what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  size_t bad = 0;
  for (size_t i = 0; i < a.size(); i++)
    if (std::memcmp(&a[i], &b[i], sizeof(T)) != 0 && bad++ < 3)
      ADD_FAILURE() << what << "[" << i << "]: " << a[i] << " vs " << b[i];
  EXPECT_EQ(bad, 0u) << what;
}

void expect_identical_runs(const Outputs &a, const Outputs &b) {
  expect_identical(a.beta_f, b.beta_f, "beta_f");
  for (int f = 0; f < 3; f++) {
    expect_identical(a.phi_f[f], b.phi_f[f], "phi_f");
    expect_identical(a.phi_m[f], b.phi_m[f], "phi_m");
    expect_identical(a.p_m[f], b.p_m[f], "p_m");
  }
  expect_identical(a.alpha_f, b.alpha_f, "alpha_f");
  expect_identical(a.lamda_f, b.lamda_f, "lamda_f");
  for (int c = 0; c < 6; c++)
    expect_identical(a.count[c], b.count[c], "counters");
  expect_identical(a.beta_m, b.beta_m, "beta_m");
  expect_identical(a.alpha_m, b.alpha_m, "alpha_m");
  expect_identical(a.lamda_m, b.lamda_m, "lamda_m");
  EXPECT_EQ(a.Dbar, b.Dbar);
  EXPECT_EQ(a.Dtheta, b.Dtheta);
}

std::vector<double> random_seed_state() {
  return r_eval_reals(".Random.seed");
}

} // namespace

class SamplerTest : public ModelTest {};

TEST_F(SamplerTest, EntryMatchesThePlainSweepBitForBit) {
  Scales s;
  const int nstart = 15, nend = 60;
  Outputs fast(nend - nstart), plain(nend - nstart);
  r_set_seed(2024);
  console_clear();
  call_mcar(inputs_, s, nstart, nend, fast);
  std::string printed = console_out();
  std::vector<double> seed_after_fast = random_seed_state();

  r_set_seed(2024);
  std::string lines;
  reference_run(inputs_, s, nstart, nend, plain, lines);
  expect_identical_runs(fast, plain);
  // Same printed lines, three per sweep, and the generator left where the
  // plain sweep leaves it.
  EXPECT_EQ(printed, lines);
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 3 * nend);
  EXPECT_EQ(random_seed_state(), seed_after_fast);
  EXPECT_EQ(console_err(), "");
  // Something moved in every block, so the comparison covers both branches.
  for (int c = 0; c < 6; c++) {
    int total = 0;
    for (int v : fast.count[c])
      total += v;
    EXPECT_GT(total, 0) << "counter " << c + 1;
    EXPECT_LT(total, (int)fast.count[c].size() * (nend - nstart));
  }
  // Nothing of the model state is left allocated.
  EXPECT_EQ(Y1, nullptr);
  EXPECT_EQ(phi3, nullptr);
  EXPECT_EQ(alpha, nullptr);
  EXPECT_EQ(C, nullptr);
}

TEST_F(SamplerTest, AccumulatorsAddIntoTheirIncomingValues) {
  Scales s;
  Outputs a(1), b(1);
  for (int c = 0; c < 6; c++)
    for (int &v : b.count[c])
      v = 7;
  b.beta_m = {3, 3, 3};
  b.p_m[1].assign(NREGION, 2.0);
  r_set_seed(5);
  call_mcar(inputs_, s, 9, 10, a);
  r_set_seed(5);
  call_mcar(inputs_, s, 9, 10, b);
  EXPECT_EQ(b.count[0][1], a.count[0][1] + 7);
  EXPECT_EQ(b.count[3][80], a.count[3][80] + 7);
  EXPECT_DOUBLE_EQ(b.beta_m[0], 3 + a.beta_m[0]);
  EXPECT_DOUBLE_EQ(b.p_m[1][4], 2 + a.p_m[1][4]);
  // One stored sweep: every mean is that sweep's value, and the deviance at
  // the mean relative risks is the mean deviance.
  EXPECT_EQ(a.beta_m[2], a.beta_f[2]);
  EXPECT_EQ(a.lamda_m[4], a.lamda_f[4]);
  EXPECT_EQ(a.phi_m[1][30], a.phi_f[1][30]);
  EXPECT_NEAR(a.Dtheta, a.Dbar, 1e-9 * std::fabs(a.Dbar));
}

TEST_F(SamplerTest, SparseAndDenseNeighbourSumsAgreeBitForBit) {
  build_state();
  ASSERT_TRUE(mcar_detail::neighbour_index_valid());
  std::mt19937 gen(99);
  std::normal_distribution<double> normal(0.0, 0.8);
  double z[6];
  for (int trial = 0; trial < 20; trial++) {
    for (int i = 0; i < NREGION; i++) {
      phi1[i] = normal(gen);
      phi2[i] = normal(gen);
      phi3[i] = normal(gen);
    }
    for (double &v : z)
      v = normal(gen);
    for (int k = 0; k < 6; k++)
      alpha[k] = normal(gen);
    double e[3] = {0.3 * normal(gen), 0.3 * normal(gen), 0.3 * normal(gen)};
    std::vector<double> sparse, dense;
    for (int pass = 0; pass < 2; pass++) {
      mcar_detail::set_sparse_neighbours(pass == 0);
      std::vector<double> &out = pass == 0 ? sparse : dense;
      out.push_back(target_alpha1(e, z));
      out.push_back(target_alpha2(z));
      for (int k = 0; k < NREGION; k++) {
        double x = phi1[k] + 0.1;
        out.push_back(target_phi1(x, k));
        out.push_back(target_phi2(x, k));
        out.push_back(target_phi3(x, k));
      }
    }
    expect_identical(sparse, dense, "targets");
  }
}

TEST_F(SamplerTest, MissingNeighbourFileIsAnErrorThatLeavesNothingBehind) {
  Scales s;
  ASSERT_EQ(std::remove((dir_ + "/neighbor2.txt").c_str()), 0);
  Outputs o(5);
  r_set_seed(3);
  std::vector<double> seed_before = random_seed_state();
  console_clear();
  bool ok = r_toplevel([&] { call_mcar(inputs_, s, 0, 5, o); });
  EXPECT_FALSE(ok);
  std::string err = console_err();
  EXPECT_NE(err.find("neighbor2.txt"), std::string::npos) << err;
  EXPECT_NE(err.find(dir_), std::string::npos) << err;
  EXPECT_EQ(random_seed_state(), seed_before);
  EXPECT_EQ(console_out(), "");
  EXPECT_EQ(o.beta_f[0], -1.0);
  EXPECT_EQ(o.count[0][0], 0);
  EXPECT_EQ(Y1, nullptr);
  EXPECT_EQ(D, nullptr);
  EXPECT_EQ(C, nullptr);
  EXPECT_EQ(eigen1, nullptr);
  // The same through read_data itself.
  global_memory();
  console_clear();
  EXPECT_FALSE(r_toplevel([] { read_data(); }));
  EXPECT_NE(console_err().find("neighbor2.txt"), std::string::npos);
  EXPECT_EQ(phi1, nullptr);
}

TEST_F(SamplerTest, ShortNeighbourFileFillsWhatItHasAndWarns) {
  // Layout does not matter: all numbers on one line give the same matrix.
  std::ifstream in(dir_ + "/neighbor2.txt");
  std::stringstream all;
  all << in.rdbuf();
  std::string one_line = all.str();
  std::replace(one_line.begin(), one_line.end(), '\n', ' ');
  write_file("neighbor2.txt", one_line);
  // neighbor1.txt: 88 numbers, so D[1][0] is the 88th and the rest stay 0.
  std::string head;
  for (int k = 1; k <= 88; k++)
    head += std::to_string(k) + (k % 10 ? "\t" : "\n");
  write_file("neighbor1.txt", head);

  r_eval("options(warn = 1)");
  global_memory();
  console_clear();
  ASSERT_TRUE(r_toplevel([] { read_data(); }));
  EXPECT_EQ(D[0][86], 87.0);
  EXPECT_EQ(D[1][0], 88.0);
  EXPECT_EQ(D[1][1], 0.0);
  EXPECT_EQ(D[86][86], 0.0);
  for (int i = 0; i < NREGION; i++)
    for (int j = 0; j < NREGION; j++)
      ASSERT_EQ(C[i][j], ring_c(i, j));
  std::string err = console_err();
  EXPECT_NE(err.find("neighbor1.txt"), std::string::npos) << err;
  EXPECT_NE(err.find("88 of 7569"), std::string::npos) << err;
  EXPECT_EQ(err.find("neighbor2.txt"), std::string::npos) << err;
  mcar_detail::release_state();

  // A character that stops the conversion: everything after it stays 0.
  write_file("neighbor1.txt", "4, 0 0 0\n");
  global_memory();
  console_clear();
  ASSERT_TRUE(r_toplevel([] { read_data(); }));
  EXPECT_EQ(D[0][0], 4.0);
  EXPECT_EQ(D[0][1], 0.0);
  EXPECT_NE(console_err().find("1 of 7569"), std::string::npos);
  r_eval("options(warn = 0)");
}
