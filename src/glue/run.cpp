// The .Call routines that run the general sampler: mcar_engine_run runs a
// number of sweeps from a given state and returns the kept draws, the final
// state (generator included) and the acceptance counts;
// mcar_engine_run_chains does the same for several chains of one data set,
// `workers` of them at a time on threads of their own, and returns the
// list of their results (each that of its chain run alone);
// mcar_engine_seed makes a generator state; mcar_rbind_draws stacks the
// kept draws of a chain's runs.  The element names of every list are those
// of contract.h.
//
//   .Call(mcar_engine_run, data, state, scales, control)
//   .Call(mcar_engine_run_chains, data, states, scales_list, controls,
//         workers)
//
// data:    list(family (0 Poisson, 1 binomial, 2 negative binomial),
//          Y, E (n T x K: expected counts, or binomial trials), X (n T x p),
//          row_ptr (n + 1), col (0-based),
//          w, logdet (the map's log-determinant interpolant, from
//          mcar_map_prepare), eta_lo, eta_hi, beta_prec (p x K), iw_df,
//          iw_scale (K x K), ref_lp (K: the linear predictor above which
//          a cell counts as raised), psi_scale (prior scale of 1 / sqrt(psi)),
//          rounds (of the moves given mu per sweep), newton (1: the
//          effects' Newton proposals; 0: random walks), periods (optional:
//          T, 1 when absent; Y, E and X then have n T rows, unit fastest
//          within period, n the map's units), alpha_fixed (optional: TRUE
//          keeps the autoregressive coefficients at state$alpha))
// state:   list(beta (p x K), phi (n T x K), Lambda (K x K), eta (K),
//          theta (K (K - 1) / 2), psi (K, negative binomial; else empty),
//          alpha (optional: K autoregressive coefficients in (-1, 1)
//          with periods, 0 when absent; else ignored),
//          lp (n T x K mu carried by the chain, or
//          NULL), rng (32 raw bytes), summaries (NULL or the running
//          summaries a previous call returned))
// scales:  list(beta (K), beta_chol (p x p x K), phi (n T x K),
//          lambda (K x K), eta (K), theta, scale (K), shear, rotation
//          (optional: K (K - 1) / 2, the sd of each angle's step around
//          its circle in its move with the fields turned along; absent or
//          empty for none),
//          psi and ridge (K each, or empty), alpha (optional: K, with periods: the
//          logit-scale sd of each autoregressive coefficient's move with
//          the innovations held; absent or empty for none),
//          lambda_corr (K x K x K: per row of the loadings, the
//          Cholesky factor of its proposal's correlations))
// control: list(sweeps, thin, offset, unit_thin, accumulate, threads
//          (optional, 1 when absent)): the run, as engine/chain.h's Control
//          reads them (which sweeps are kept, which store the fields, and
//          whether the kept sweeps are added into the running summaries).
//          threads: for the Newton sweeps of the effects and the sums over
//          the map (the draws do not depend on it).
//
// Storage is owned by C++ objects and R objects held by cpp11, so it is
// released whichever way the call ends, an interrupt included.

#include <cpp11.hpp>
#include <cpp11/declarations.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "calls.h"
#include "chain.h"
#include "contract.h"
#include "engine.h"
#include "sexp.h"

using namespace mcar_glue;
using mcar_engine::Data;
using mcar_engine::Xoshiro;

namespace {

namespace data = contract::data;
namespace state = contract::state;
namespace scales = contract::scales;
namespace control = contract::control;

// The data of a call, as every chain of it reads them: the engine's Data
// (pointers into the R objects) and the log-determinant interpolant it
// points to.
struct CallData {
  Data d;
  mcar_engine::LogDet logdet;
  CallData() = default;
  CallData(const CallData &) = delete;
  CallData &operator=(const CallData &) = delete;
};

void read_data(SEXP data_s, CallData &cd) {
  Data &d = cd.d;
  SEXP Ys = element(data_s, data::Y);
  SEXP Xs = element(data_s, data::X);
  if (!Rf_isMatrix(Ys) || !Rf_isMatrix(Xs))
    throw std::invalid_argument("engine input `Y` and `X` must be matrices");
  if (element(data_s, data::periods, true) != nullptr)
    d.T = int_scalar(data_s, data::periods);
  if (d.T < 1 || Rf_nrows(Ys) % d.T != 0)
    throw std::invalid_argument("engine input `periods` must be a positive "
                                "divisor of the rows of `Y`");
  const int N = Rf_nrows(Ys); // n T rows
  d.n = N / d.T;
  d.K = Rf_ncols(Ys);
  d.p = Rf_ncols(Xs);
  const int n = d.n, K = d.K, p = d.p;
  if (n < 1 || K < 1 || K > mcar_engine::MAX_K || p < 1 || Rf_nrows(Xs) != N)
    throw std::invalid_argument("engine input sizes do not agree");
  if (element(data_s, data::alpha_fixed, true) != nullptr)
    d.alpha_fixed = *LOGICAL(element(data_s, data::alpha_fixed)) != 0;
  d.Y = reals(data_s, data::Y, (R_xlen_t)N * K);
  d.E = reals(data_s, data::E, (R_xlen_t)N * K);
  d.X = reals(data_s, data::X, (R_xlen_t)N * p);
  d.row_ptr = ints(data_s, data::row_ptr, n + 1);
  const int nnz = d.row_ptr[n];
  if (d.row_ptr[0] != 0 || nnz < 0)
    throw std::invalid_argument("engine input `row_ptr` is malformed");
  for (int i = 0; i < n; i++)
    if (d.row_ptr[i + 1] < d.row_ptr[i])
      throw std::invalid_argument("engine input `row_ptr` is malformed");
  d.col = ints(data_s, data::col, nnz);
  for (int q = 0; q < nnz; q++)
    if (d.col[q] < 0 || d.col[q] >= n)
      throw std::invalid_argument("engine input `col` is out of range");
  d.w = reals(data_s, data::w, nnz);
  {
    SEXP ld = element(data_s, data::logdet);
    if (TYPEOF(ld) != REALSXP || !Rf_isMatrix(ld) ||
        Rf_nrows(ld) != mcar_engine::LogDet::ROWS ||
        !cd.logdet.load(REAL(ld), Rf_ncols(ld)))
      throw std::invalid_argument("engine input `logdet` is not an interpolant "
                                  "made by mcar_map_prepare");
  }
  d.logdet = &cd.logdet;
  d.eta_lo = real_scalar(data_s, data::eta_lo);
  d.eta_hi = real_scalar(data_s, data::eta_hi);
  d.beta_prec = reals(data_s, data::beta_prec, (R_xlen_t)p * K);
  d.iw_df = real_scalar(data_s, data::iw_df);
  d.iw_scale = reals(data_s, data::iw_scale, (R_xlen_t)K * K);
  d.family = int_scalar(data_s, data::family);
  if (d.family < 0 || d.family > 2)
    throw std::invalid_argument("engine input `family` must be 0, 1 or 2");
  d.ref_lp = reals(data_s, data::ref_lp, K);
  d.psi_scale = real_scalar(data_s, data::psi_scale);
  if (!(d.psi_scale > 0))
    throw std::invalid_argument("engine input `psi_scale` must be positive");
  d.rounds = int_scalar(data_s, data::rounds);
  if (d.rounds < 1)
    throw std::invalid_argument("engine input `rounds` must be at least 1");
  d.newton = int_scalar(data_s, data::newton) != 0;
}

// One chain's run within a call: what it reads (read on R's thread, which
// also allocates the R matrices its kept sweeps go to), the run itself
// (run(), which touches no R object and may go on another thread), and
// the result list (result(), on R's thread again).  The sampler holds
// references to the chain's data, state and scales, so a ChainRun stays
// where it was made.
class ChainRun {
public:
  ChainRun(const CallData &cd, SEXP state_s, SEXP scales_s, SEXP control_s);
  ChainRun(const ChainRun &) = delete;
  ChainRun &operator=(const ChainRun &) = delete;

  template <class Poll> void run(const Poll &poll) {
    mcar_engine::run_chain(*sampler_, rng_, *counts_, sm_, ctl_, out_, poll);
  }
  // Runs the chain, keeping the first exception it throws for error().
  template <class Poll> void run_caught(const Poll &poll) {
    try {
      run(poll);
    } catch (...) {
      error_ = std::current_exception();
    }
  }
  std::exception_ptr error() const { return error_; }
  cpp11::sexp result() const;

private:
  Data d_;
  mcar_engine::State s_;
  mcar_engine::Scales sc_;
  mcar_engine::Control ctl_;
  Xoshiro rng_;
  mcar_engine::Summaries sm_;
  cpp11::sexp beta_f_, phi_f_, lam_f_, A_f_, eta_f_, theta_f_, psi_f_, dev_f_,
      alpha_f_;
  mcar_engine::Draws out_;
  std::unique_ptr<mcar_engine::Sampler> sampler_;
  std::unique_ptr<mcar_engine::Counts> counts_;
  std::exception_ptr error_;
};

ChainRun::ChainRun(const CallData &cd, SEXP state_s, SEXP scales_s,
                   SEXP control_s)
    : d_(cd.d), sm_(cd.d.n * cd.d.T * cd.d.K) {
  Data &d = d_;
  const int N = d.n * d.T, K = d.K, p = d.p, nth = K * (K - 1) / 2;
  const int npsi = d.family == mcar_engine::NEGBINOMIAL ? K : 0;

  mcar_engine::State &s = s_;
  s.beta = copy(reals(state_s, state::beta, (R_xlen_t)p * K), (R_xlen_t)p * K);
  s.phi = copy(reals(state_s, state::phi, (R_xlen_t)N * K), (R_xlen_t)N * K);
  s.Lambda = copy(reals(state_s, state::Lambda, (R_xlen_t)K * K), (R_xlen_t)K * K);
  s.eta = copy(reals(state_s, state::eta, K), K);
  s.theta = copy(reals(state_s, state::theta, nth), nth);
  s.psi = copy(reals(state_s, state::psi, npsi), npsi);
  for (double v : s.psi)
    if (!(v > 0) || !std::isfinite(v))
      throw std::invalid_argument("engine input `psi` must be positive and finite");
  const int nalpha = d.T > 1 ? K : 0;
  if (nalpha > 0) {
    SEXP a_s = element(state_s, state::alpha, true);
    if (a_s != nullptr && Rf_xlength(a_s) > 0)
      s.alpha = copy(reals(state_s, state::alpha, K), K);
    else
      s.alpha.assign(K, 0.0);
    for (double v : s.alpha)
      if (!(v > -1.0 && v < 1.0) && !(d.alpha_fixed && std::fabs(v) == 1.0))
        throw std::invalid_argument("engine input `alpha` must lie in (-1, 1)");
  }
  {
    SEXP lp_s = element(state_s, state::lp);
    if (TYPEOF(lp_s) == REALSXP && Rf_xlength(lp_s) == (R_xlen_t)N * K)
      s.lp = copy(REAL(lp_s), (R_xlen_t)N * K);
    else if (lp_s != R_NilValue && Rf_xlength(lp_s) != 0)
      throw std::invalid_argument("engine input `lp` must be NULL or (n T) x K doubles");
  }
  SEXP rng_s = element(state_s, state::rng);
  if (TYPEOF(rng_s) != RAWSXP || Rf_xlength(rng_s) != Xoshiro::STATE_BYTES)
    throw std::invalid_argument("engine input `rng` must be 32 raw bytes");
  rng_.load(RAW(rng_s));
  if (!rng_.valid())
    throw std::invalid_argument("engine input `rng` is the all-zero state");

  mcar_engine::Scales &sc = sc_;
  sc.beta = reals(scales_s, scales::beta, K);
  sc.beta_chol = reals(scales_s, scales::beta_chol, (R_xlen_t)p * p * K);
  sc.phi = reals(scales_s, scales::phi, (R_xlen_t)N * K);
  sc.lambda = reals(scales_s, scales::lambda, (R_xlen_t)K * K);
  sc.eta = reals(scales_s, scales::eta, K);
  sc.theta = reals(scales_s, scales::theta, nth);
  sc.scale = reals(scales_s, scales::scale, K);
  sc.shear = reals(scales_s, scales::shear, nth);
  SEXP rot_s = element(scales_s, scales::rotation, true);
  if (nth > 0 && rot_s != nullptr && Rf_xlength(rot_s) > 0)
    sc.rotation = reals(scales_s, scales::rotation, nth);
  sc.psi = reals(scales_s, scales::psi, npsi);
  sc.ridge = reals(scales_s, scales::ridge, npsi);
  sc.lambda_corr = reals(scales_s, scales::lambda_corr, (R_xlen_t)K * K * K);
  if (nalpha > 0) {
    SEXP a_s = element(scales_s, scales::alpha, true);
    if (a_s != nullptr && Rf_xlength(a_s) > 0)
      sc.alpha = reals(scales_s, scales::alpha, K);
  }

  mcar_engine::Control &ctl = ctl_;
  ctl.sweeps = int_scalar(control_s, control::sweeps);
  ctl.thin = int_scalar(control_s, control::thin);
  ctl.offset = int_scalar(control_s, control::offset);
  ctl.unit_thin = int_scalar(control_s, control::unit_thin);
  ctl.accumulate = *LOGICAL(element(control_s, control::accumulate)) != 0;
  if (element(control_s, control::threads, true) != nullptr)
    d.threads = int_scalar(control_s, control::threads);
  int batches = 0;
  if (element(control_s, control::batches, true) != nullptr)
    batches = int_scalar(control_s, control::batches);
  if (batches < 0 || batches % 2 != 0)
    throw std::invalid_argument("engine control `batches` must be 0 or a positive even number");
  if (d.threads < 1)
    throw std::invalid_argument("engine control `threads` must be at least 1");
  if (!ctl.valid())
    throw std::invalid_argument("engine control values out of range");
  const int kept = ctl.kept_sweeps(), kept_units = ctl.kept_fields();

  const int cells = N * K;
  mcar_engine::Summaries &sm = sm_;
  if (ctl.accumulate) {
    SEXP prev = element(state_s, state::summaries);
    if (prev != R_NilValue) {
      namespace summaries = contract::summaries;
      sm.draws = real_scalar(prev, summaries::draws);
#define MCAR_READ_SUMMARY(name, presence)                                      \
  sm.name = copy(reals(prev, summaries::name, cells), cells);
      MCAR_SUMMARY_CELLS_LIST(MCAR_READ_SUMMARY)
#undef MCAR_READ_SUMMARY
      SEXP b_s = element(prev, summaries::batch, true);
      if (b_s != nullptr && b_s != R_NilValue) {
        const double *b = reals(prev, summaries::batch, 4);
        const int slots = (int)b[0];
        if (!(slots >= 2 && slots % 2 == 0 && b[1] >= 1 && b[2] >= 0 && b[2] < b[1] &&
              b[3] >= 0 && b[3] < slots))
          throw std::invalid_argument("engine input summaries `batch` out of range");
        sm.track_batches(slots);
        sm.batch_size = b[1];
        sm.batch_fill = b[2];
        sm.batch_count = b[3];
        sm.origin = copy(reals(prev, summaries::origin, cells), cells);
        sm.batch_sum = copy(reals(prev, summaries::batch_sum, (R_xlen_t)cells * slots),
                            (R_xlen_t)cells * slots);
        sm.batch_sq = copy(reals(prev, summaries::batch_sq, (R_xlen_t)cells * slots),
                           (R_xlen_t)cells * slots);
      }
    }
    if (batches > 0 && sm.batches == 0)
      sm.track_batches(batches);
  }

  const int npk = K * (K + 1) / 2;
  beta_f_ = new_matrix(kept, p * K);
  phi_f_ = new_matrix(kept_units, N * K);
  lam_f_ = new_matrix(kept, npk);
  A_f_ = new_matrix(kept, npk);
  eta_f_ = new_matrix(kept, K);
  theta_f_ = new_matrix(kept, nth);
  psi_f_ = new_matrix(kept, npsi);
  dev_f_ = new_matrix(kept, 1);
  alpha_f_ = new_matrix(kept, nalpha);
  out_.beta = REAL(beta_f_);
  out_.phi = REAL(phi_f_);
  out_.Lambda = REAL(lam_f_);
  out_.A = REAL(A_f_);
  out_.eta = REAL(eta_f_);
  out_.theta = REAL(theta_f_);
  out_.psi = REAL(psi_f_);
  out_.deviance = REAL(dev_f_);
  out_.alpha = REAL(alpha_f_);

  sampler_.reset(new mcar_engine::Sampler(d_, s_, sc_));
  counts_.reset(new mcar_engine::Counts(d_));
}

cpp11::sexp ChainRun::result() const {
  namespace result = contract::result;
  namespace draws = contract::draws;
  namespace accept = contract::accept;
  namespace summaries = contract::summaries;
  const Data &d = d_;
  const mcar_engine::State &s = s_;
  const mcar_engine::Counts &counts = *counts_;
  const mcar_engine::Summaries &sm = sm_;
  const int N = d.n * d.T, K = d.K, p = d.p, nth = K * (K - 1) / 2;
  const int npsi = d.family == mcar_engine::NEGBINOMIAL ? K : 0;
  const int nalpha = d.T > 1 ? K : 0;
  const int cells = N * K;
  cpp11::sexp rng_out = cpp11::safe[Rf_allocVector](RAWSXP, Xoshiro::STATE_BYTES);
  rng_.save(RAW(rng_out));
  cpp11::sexp draws_out = named_list(
      {{draws::beta, beta_f_}, {draws::phi, phi_f_}, {draws::Lambda, lam_f_},
       {draws::A, A_f_}, {draws::eta, eta_f_}, {draws::theta, theta_f_},
       {draws::psi, psi_f_}, {draws::deviance, dev_f_}, {draws::alpha, alpha_f_}});
  const double *lp = sampler_->linear_predictor();
  cpp11::sexp state_out = named_list(
      {{state::beta, reals_of(s.beta, p, K)}, {state::phi, reals_of(s.phi, N, K)},
       {state::Lambda, reals_of(s.Lambda, K, K)}, {state::eta, reals_of(s.eta, K, 1)},
       {state::theta, reals_of(s.theta, nth, 1)},
       {state::psi, reals_of(s.psi, npsi, 1)},
       {state::alpha, reals_of(s.alpha, nalpha, 1)},
       {state::lp, reals_of(std::vector<double>(lp, lp + cells), N, K)},
       {state::rng, rng_out}});
  cpp11::sexp accept_out = named_list(
      {{accept::beta, ints_of(counts.beta, K, 1)}, {accept::phi, ints_of(counts.phi, N, K)},
       {accept::lambda, ints_of(counts.lambda, K, 1)},
       {accept::eta, ints_of(counts.eta, K, 1)},
       {accept::theta, ints_of(counts.theta, nth, 1)},
       {accept::scale, ints_of(counts.scale, K, 1)},
       {accept::shear, ints_of(counts.shear, nth, 1)},
       // none without its scales (a fit from before the move): no rate of 0
       {accept::rotation,
        ints_of(counts.rotation, sc_.rotation ? (int)counts.rotation.size() : 0, 1)},
       {accept::psi, ints_of(counts.psi, npsi, 1)},
       {accept::ridge, ints_of(counts.ridge, npsi, 1)},
       {accept::alpha, ints_of(counts.alpha, (int)counts.alpha.size(), 1)}});
  cpp11::sexp summaries_out = R_NilValue;
  if (ctl_.accumulate) {
#define MCAR_WRITE_SUMMARY(name, presence) {summaries::name, reals_of(sm.name, N, K)},
    if (sm.batches > 0) {
      const std::vector<double> b = {(double)sm.batches, sm.batch_size, sm.batch_fill,
                                     sm.batch_count};
      summaries_out = named_list(
          {{summaries::draws, scalar(sm.draws)},
           MCAR_SUMMARY_CELLS_LIST(MCAR_WRITE_SUMMARY){summaries::batch, reals_of(b, 4, 1)},
           {summaries::origin, reals_of(sm.origin, N, K)},
           {summaries::batch_sum, reals_of(sm.batch_sum, cells, sm.batches)},
           {summaries::batch_sq, reals_of(sm.batch_sq, cells, sm.batches)}});
    } else {
      summaries_out = named_list({{summaries::draws, scalar(sm.draws)},
                                  MCAR_SUMMARY_CELLS_LIST(MCAR_WRITE_SUMMARY)});
    }
#undef MCAR_WRITE_SUMMARY
  }
  return named_list({{result::draws, draws_out}, {result::state, state_out},
                     {result::accept, accept_out}, {result::summaries, summaries_out}});
}

// Thrown by a chain's poll when the call is being left (an interrupt or
// another chain's error): the chain stops at its next poll.
struct Stopped {};

// Runs the chains, `workers` of them at a time on threads of their own
// while this thread (R's) sleeps, waking every 20 ms to look for an
// interrupt; with one worker, one after another on this thread.  Each chain
// draws from its own generator and its own sampler, so its draws are those
// it gives alone.  On an interrupt the running chains stop at their next
// poll and the interrupt goes on once they have; an error of a chain stops
// the others the same way and is rethrown here.
void run_chains(std::vector<std::unique_ptr<ChainRun>> &chains, int workers) {
  const int m = (int)chains.size();
  workers = std::max(1, std::min(workers, m));
  if (workers == 1) {
    for (auto &c : chains)
      c->run(&cpp11::check_user_interrupt);
    return;
  }
  std::atomic<int> next(0);
  std::atomic<bool> stop(false);
  std::mutex mutex;
  std::condition_variable done_cv;
  int running = workers;
  auto poll = [&stop]() {
    if (stop.load(std::memory_order_relaxed))
      throw Stopped();
  };
  auto work = [&]() {
    for (int k; (k = next.fetch_add(1)) < m;) {
      if (stop.load())
        break;
      chains[k]->run_caught(poll);
      if (chains[k]->error())
        stop.store(true);
    }
    std::lock_guard<std::mutex> lock(mutex);
    running--;
    done_cv.notify_one();
  };
  std::vector<std::thread> threads;
  try {
    for (int w = 0; w < workers; w++)
      threads.emplace_back(work);
  } catch (...) {
    stop.store(true);
    for (auto &t : threads)
      t.join();
    throw;
  }
  std::exception_ptr interrupted;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      if (done_cv.wait_for(lock, std::chrono::milliseconds(20),
                           [&] { return running == 0; }))
        break;
    }
    if (interrupted)
      continue;
    try {
      cpp11::check_user_interrupt();
    } catch (...) {
      interrupted = std::current_exception();
      stop.store(true);
    }
  }
  for (auto &t : threads)
    t.join();
  if (interrupted)
    std::rethrow_exception(interrupted);
  // The first chain's own error, not the stops it caused in the others.
  for (auto &c : chains) {
    if (!c->error())
      continue;
    try {
      std::rethrow_exception(c->error());
    } catch (const Stopped &) {
    }
  }
}

std::vector<std::unique_ptr<ChainRun>> chain_runs(const CallData &cd,
                                                  SEXP states_s, SEXP scales_s,
                                                  SEXP controls_s) {
  if (TYPEOF(states_s) != VECSXP || TYPEOF(scales_s) != VECSXP ||
      TYPEOF(controls_s) != VECSXP || Rf_xlength(scales_s) != Rf_xlength(states_s) ||
      Rf_xlength(controls_s) != Rf_xlength(states_s))
    throw std::invalid_argument("engine inputs `states`, `scales` and `controls` "
                                "must be lists of one length");
  std::vector<std::unique_ptr<ChainRun>> chains;
  for (R_xlen_t k = 0; k < Rf_xlength(states_s); k++)
    chains.emplace_back(new ChainRun(cd, VECTOR_ELT(states_s, k),
                                     VECTOR_ELT(scales_s, k),
                                     VECTOR_ELT(controls_s, k)));
  return chains;
}

} // namespace

extern "C" SEXP mcar_engine_run(SEXP data_s, SEXP state_s, SEXP scales_s,
                                SEXP control_s) {
  BEGIN_CPP11
  CallData cd;
  read_data(data_s, cd);
  ChainRun chain(cd, state_s, scales_s, control_s);
  chain.run(&cpp11::check_user_interrupt);
  return chain.result();
  END_CPP11
}

extern "C" SEXP mcar_engine_run_chains(SEXP data_s, SEXP states_s,
                                       SEXP scales_s, SEXP controls_s,
                                       SEXP workers_s) {
  BEGIN_CPP11
  if (TYPEOF(workers_s) != INTSXP || Rf_xlength(workers_s) != 1 ||
      INTEGER(workers_s)[0] < 1)
    throw std::invalid_argument("engine input `workers` must be one positive integer");
  CallData cd;
  read_data(data_s, cd);
  auto chains = chain_runs(cd, states_s, scales_s, controls_s);
  run_chains(chains, INTEGER(workers_s)[0]);
  const R_xlen_t m = (R_xlen_t)chains.size();
  cpp11::sexp out = cpp11::safe[Rf_allocVector](VECSXP, m);
  for (R_xlen_t k = 0; k < m; k++)
    SET_VECTOR_ELT(out, k, chains[k]->result());
  return out;
  END_CPP11
}

// A generator state from a seed (splitmix64 of it): 32 raw bytes.
extern "C" SEXP mcar_engine_seed(SEXP seed_s) {
  BEGIN_CPP11
  if (TYPEOF(seed_s) != REALSXP || Rf_xlength(seed_s) != 2)
    throw std::invalid_argument("seed must be two doubles in [0, 2^32)");
  const double hi = REAL(seed_s)[0], lo = REAL(seed_s)[1];
  if (!(hi >= 0 && hi < 4294967296.0 && lo >= 0 && lo < 4294967296.0))
    throw std::invalid_argument("seed must be two doubles in [0, 2^32)");
  Xoshiro rng;
  rng.seed(((uint64_t)hi << 32) | (uint64_t)lo);
  cpp11::sexp out = cpp11::safe[Rf_allocVector](RAWSXP, Xoshiro::STATE_BYTES);
  rng.save(RAW(out));
  return out;
  END_CPP11
}

// The double matrices of a list, all with the same number of columns,
// stacked by rows (the kept draws of the runs of a chain, one after
// another), with the dimnames given (NULL for none): rbind() without its
// per-element copying, which costs seconds on the per-unit draws of large
// maps.
//
//   .Call(mcar_rbind_draws, list(m1, m2, ...), dimnames)
extern "C" SEXP mcar_rbind_draws(SEXP mats, SEXP dimnames) {
  BEGIN_CPP11
  if (TYPEOF(mats) != VECSXP || Rf_xlength(mats) < 1)
    throw std::invalid_argument("`mats` must be a non-empty list of matrices");
  const R_xlen_t m = Rf_xlength(mats);
  int cols = -1;
  R_xlen_t rows = 0;
  for (R_xlen_t k = 0; k < m; k++) {
    SEXP x = VECTOR_ELT(mats, k);
    if (TYPEOF(x) != REALSXP || !Rf_isMatrix(x))
      throw std::invalid_argument("`mats` must hold double matrices");
    if (cols < 0)
      cols = Rf_ncols(x);
    if (Rf_ncols(x) != cols)
      throw std::invalid_argument("the matrices of `mats` differ in their columns");
    rows += Rf_nrows(x);
  }
  if (rows > INT_MAX)
    throw std::invalid_argument("the matrices of `mats` have too many rows");
  cpp11::sexp out = new_matrix((int)rows, cols);
  double *o = REAL(out);
  R_xlen_t at = 0;
  for (R_xlen_t k = 0; k < m; k++) {
    SEXP x = VECTOR_ELT(mats, k);
    const R_xlen_t r = Rf_nrows(x);
    const double *v = REAL(x);
    for (int j = 0; j < cols; j++)
      std::copy(v + r * j, v + r * (j + 1), o + rows * j + at);
    at += r;
  }
  if (dimnames != R_NilValue)
    Rf_setAttrib(out, R_DimNamesSymbol, dimnames);
  return out;
  END_CPP11
}
