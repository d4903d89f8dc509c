// Time per sweep of the sampler on the bundled Minnesota map and simulated
// data, with R's console going to a file, and where the time goes by block.
//
//   make -C bench run            (or `make bench` from the repository root)
//   make -C bench instructions   instructions per sweep, counted by callgrind
//
// Runs inside an embedded R so that the allocator, console and generator are
// R's own.  Each figure is the median of several repetitions.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#define R_NO_REMAP
#include <R.h>
#include <Rinternals.h>
#include <R_ext/Parse.h>
#include <Rembedded.h>
#include <Rinterface.h>

#include "matrix.h"
#include "mcar.h"
#include "mcar_main.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Data {
  std::vector<double> Y[3], N[3], eig;
};

Data load(const std::string &ext) {
  Data d;
  std::ifstream csv(ext + "/simulated.csv");
  std::string line;
  std::getline(csv, line); // header: county,Y1,N1,Y2,N2,Y3,N3,...
  while (std::getline(csv, line)) {
    // The county name is quoted and holds a comma: skip to the closing quote.
    size_t pos = line.find('"', 1);
    pos = line.find(',', pos);
    double v[6];
    for (int k = 0; k < 6; k++) {
      size_t next = line.find(',', pos + 1);
      v[k] = std::atof(line.substr(pos + 1, next - pos - 1).c_str());
      pos = next;
    }
    for (int r = 0; r < 3; r++) {
      d.Y[r].push_back(v[2 * r]);
      d.N[r].push_back(v[2 * r + 1]);
    }
  }
  std::ifstream e(ext + "/eigen.txt");
  double x;
  while (e >> x)
    d.eig.push_back(x);
  if (d.Y[0].size() != NREGION || d.eig.size() != NREGION) {
    std::fprintf(stderr, "cannot read the bundled data under %s\n", ext.c_str());
    std::exit(1);
  }
  return d;
}

void set_seed(int seed) {
  char code[64];
  std::snprintf(code, sizeof code, "set.seed(%d)", seed);
  ParseStatus status;
  SEXP s = PROTECT(R_ParseVector(Rf_mkString(code), -1, &status, R_NilValue));
  int err = 0;
  R_tryEval(VECTOR_ELT(s, 0), R_GlobalEnv, &err);
  UNPROTECT(1);
}

struct Start {
  double beta[3] = {0, 0, 0};
  double lamda[6] = {1, 0, 0, 1, 0, 1};
  double eta[3] = {0.5, 0.5, 0.5};
  double theta[3] = {0, 0, 0};
  std::vector<double> zero = std::vector<double>(NREGION, 0.0);
  double betascale[3] = {0.05, 0.05, 0.05};
  std::vector<double> phiscale = std::vector<double>(NREGION, 0.3);
  double lamscale1[3] = {0.05, 0.05, 0.05}, lamscale2[3] = {0.05, 0.05, 0.05};
  double etascale[3] = {0.1, 0.1, 0.1}, thetascale[3] = {0.1, 0.1, 0.1};
};

// Whole runs of the .C entry: microseconds per sweep.
double time_mcar(Data &d, int nend) {
  Start s;
  int nstart = 0, m = nend;
  std::vector<double> beta_f(3 * m), phi_f[3], alpha_f(6 * m), lamda_f(6 * m);
  for (auto &p : phi_f)
    p.assign((size_t)NREGION * m, 0.0);
  std::vector<int> c1(3), c2(NREGION), c3(NREGION), c4(NREGION), c5(2), c6(2);
  std::vector<double> bm(3), pm1(NREGION), pm2(NREGION), pm3(NREGION), am(6),
      lm(6), p1(NREGION), p2(NREGION), p3(NREGION);
  double Dbar = 0, Dtheta = 0;
  set_seed(1);
  auto t0 = Clock::now();
  mcar(beta_f.data(), phi_f[0].data(), phi_f[1].data(), phi_f[2].data(),
       alpha_f.data(), lamda_f.data(), d.Y[0].data(), d.N[0].data(),
       d.Y[1].data(), d.N[1].data(), d.Y[2].data(), d.N[2].data(), s.beta,
       s.zero.data(), s.zero.data(), s.zero.data(), s.lamda, s.eta, s.theta,
       d.eig.data(), &nstart, &nend, c1.data(), c2.data(), c3.data(),
       c4.data(), c5.data(), c6.data(), s.betascale, s.phiscale.data(),
       s.phiscale.data(), s.phiscale.data(), s.lamscale1, s.lamscale2,
       s.etascale, s.thetascale, bm.data(), pm1.data(), pm2.data(),
       pm3.data(), am.data(), lm.data(), p1.data(), p2.data(), p3.data(),
       &Dbar, &Dtheta);
  auto t1 = Clock::now();
  return std::chrono::duration<double, std::micro>(t1 - t0).count() / nend;
}

// The sweep of the driver, block by block, with a clock around each block.
enum { INTERCEPTS, FIELD1, FIELD2, FIELD3, LOADINGS, EIGEN, ANGLES, DEVIANCE,
       CONSOLE, NBLOCK };
const char *block_names[NBLOCK] = {"intercepts", "field phi1", "field phi2",
                                   "field phi3", "loadings (2 blocks)",
                                   "eigenvalues", "angles", "deviance",
                                   "console lines"};

void time_blocks(Data &d, int nsweep, double *per_block) {
  Start s;
  global_memory();
  read_data();
  start_vals(d.Y[0].data(), d.Y[1].data(), d.Y[2].data(), d.N[0].data(),
             d.N[1].data(), d.N[2].data(), s.beta, s.zero.data(),
             s.zero.data(), s.zero.data(), s.lamda, s.eta, s.theta,
             d.eig.data());
  set_seed(1);
  GetRNGstate();
  double acc[NBLOCK] = {0};
  double lp[6], lc[6], ep[3], ec[3], tp[3], tc[3];
  double sink = 0;
  double (*fstep[3])(int, double, double) = {metroplis_phi1, metroplis_phi2,
                                             metroplis_phi3};
  double *fields[3] = {phi1, phi2, phi3};
  for (int i = 0; i < nsweep; i++) {
    auto t0 = Clock::now();
    Rprintf("GIBBS: %d\n", i + 1);
    auto t1 = Clock::now();
    acc[CONSOLE] += std::chrono::duration<double>(t1 - t0).count();
    gbeta1 = metroplis_beta1(gbeta1, s.betascale[0]);
    gbeta2 = metroplis_beta2(gbeta2, s.betascale[1]);
    gbeta3 = metroplis_beta3(gbeta3, s.betascale[2]);
    auto t2 = Clock::now();
    acc[INTERCEPTS] += std::chrono::duration<double>(t2 - t1).count();
    for (int f = 0; f < 3; f++) {
      auto ta = Clock::now();
      for (int j = 0; j < NREGION; j++)
        fields[f][j] = fstep[f](j, fields[f][j], s.phiscale[j]);
      acc[FIELD1 + f] += std::chrono::duration<double>(Clock::now() - ta).count();
    }
    auto t3 = Clock::now();
    double *ls[6] = {&lamda1, &lamda2, &lamda3, &lamda4, &lamda5, &lamda6};
    for (int k = 0; k < 6; k++) lp[k] = *ls[k];
    metroplis_lamda1(lc, lp, s.lamscale1);
    for (int k = 0; k < 6; k++) *ls[k] = lc[k];
    for (int k = 0; k < 6; k++) lp[k] = *ls[k];
    metroplis_lamda2(lc, lp, s.lamscale2);
    for (int k = 0; k < 6; k++) *ls[k] = lc[k];
    auto t4 = Clock::now();
    acc[LOADINGS] += std::chrono::duration<double>(t4 - t3).count();
    Rprintf("%lf, %lf, %lf, %lf, %lf, %lf\n", lamda1, lamda2, lamda3, lamda4,
            lamda5, lamda6);
    auto t5 = Clock::now();
    acc[CONSOLE] += std::chrono::duration<double>(t5 - t4).count();
    for (int k = 0; k < 3; k++) ep[k] = eta[k];
    metroplis_alpha1(ec, ep, s.etascale);
    for (int k = 0; k < 3; k++) eta[k] = ec[k];
    auto t6 = Clock::now();
    acc[EIGEN] += std::chrono::duration<double>(t6 - t5).count();
    for (int k = 0; k < 3; k++) tp[k] = theta[k];
    metroplis_alpha2(tc, tp, s.thetascale);
    for (int k = 0; k < 3; k++) theta[k] = tc[k];
    auto t7 = Clock::now();
    acc[ANGLES] += std::chrono::duration<double>(t7 - t6).count();
    Rprintf("alpha=%lf, %lf, %lf,%lf, %lf, %lf \n", alpha[0], alpha[1],
            alpha[2], alpha[3], alpha[4], alpha[5]);
    auto t8 = Clock::now();
    acc[CONSOLE] += std::chrono::duration<double>(t8 - t7).count();
    sink += density();
    acc[DEVIANCE] += std::chrono::duration<double>(Clock::now() - t8).count();
  }
  PutRNGstate();
  mcar_detail::release_state();
  for (int b = 0; b < NBLOCK; b++)
    per_block[b] = acc[b] / nsweep * 1e6;
  if (sink == 12345.678) std::puts("");
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
  std::string root = argc > 1 ? argv[1] : "..";
  int nsweep = argc > 2 ? std::atoi(argv[2]) : 5000;
  int reps = argc > 3 ? std::atoi(argv[3]) : 5;
  if (!std::getenv("R_HOME"))
    setenv("R_HOME", "/usr/lib/R", 1);
  char *rargv[] = {(char *)"R", (char *)"--vanilla", (char *)"--silent",
                   (char *)"--no-echo"};
  Rf_initEmbeddedR(4, rargv);

  Data d = load(root + "/inst/extdata");
  char dir[] = "/tmp/mcar-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  for (const char *f : {"neighbor1.txt", "neighbor2.txt"}) {
    std::ifstream in(root + "/inst/extdata/" + f, std::ios::binary);
    std::ofstream out(std::string(dir) + "/" + f, std::ios::binary);
    out << in.rdbuf();
  }
  if (chdir(dir) != 0) return 1;
  std::string log = std::string(dir) + "/console.log";
  R_Outputfile = std::fopen(log.c_str(), "w");

  if (argc > 4 && std::string(argv[4]) == "entry") {
    // One run of the entry alone, for instruction counts under callgrind.
    std::printf("one run of %d sweeps: %.2f us per sweep\n", nsweep,
                time_mcar(d, nsweep));
    std::fclose(R_Outputfile);
    R_Outputfile = stdout;
    Rf_endEmbeddedR(0);
    return 0;
  }
  std::printf("bundled map, %d sweeps per run, median of %d runs; console "
              "to %s\n\n", nsweep, reps, log.c_str());
  for (int sparse = 1; sparse >= 0; sparse--) {
    mcar_detail::set_sparse_neighbours(sparse);
    std::vector<double> t;
    for (int r = 0; r < reps; r++)
      t.push_back(time_mcar(d, nsweep));
    std::printf("mcar, %-38s %8.2f us per sweep\n",
                sparse ? "neighbour sums over nonzero C:" :
                         "dense neighbour sums (for comparison):",
                median(t));
  }
  mcar_detail::set_sparse_neighbours(true);

  std::vector<double> blocks[NBLOCK];
  for (int r = 0; r < reps; r++) {
    double pb[NBLOCK];
    time_blocks(d, nsweep, pb);
    for (int b = 0; b < NBLOCK; b++) blocks[b].push_back(pb[b]);
  }
  std::printf("\nwhere a sweep's time goes (us per sweep, medians):\n");
  double total = 0;
  for (int b = 0; b < NBLOCK; b++) {
    double v = median(blocks[b]);
    total += v;
    std::printf("  %-22s %8.2f\n", block_names[b], v);
  }
  std::printf("  %-22s %8.2f\n", "sum", total);
  std::fclose(R_Outputfile);
  R_Outputfile = stdout;
  Rf_endEmbeddedR(0);
  return 0;
}
