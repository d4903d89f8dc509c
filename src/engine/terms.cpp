// The model's terms that the moves share: the association matrix, the
// linear predictor from the state, the neighbour sums and Gram matrices of
// the fields, the log-determinant and prior terms, and the running
// summaries and deviance of the current state.  See engine.h for the model
// and the layout of the arrays.
#include "engine.h"
#include "numeric.h"
#include "parallel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace mcar_engine {

namespace {

const double HALF_PI = 1.5707963267948966;

} // namespace

// P from the cosines and sines of the angles (units of pi/2 already
// applied), the rotations applied in the order of the angles.
static void eigenvectors_from(double *P, const double *cs, const double *sn, int K) {
  std::fill(P, P + K * K, 0.0);
  for (int i = 0; i < K; i++)
    P[i + K * i] = 1.0;
  int j = 0;
  for (int a = 0; a < K; a++)
    for (int b = a + 1; b < K; b++, j++) {
      const double c = cs[j], s = sn[j];
      for (int i = 0; i < K; i++) {
        const double pa = P[i + K * a], pb = P[i + K * b];
        P[i + K * a] = pa * c - pb * s;
        P[i + K * b] = pa * s + pb * c;
      }
    }
}

void eigenvectors(double *P, const double *theta, int K) {
  const int nth = K * (K - 1) / 2;
  SmallSquare css(K), sns(K); // K^2 >= nth
  double *cs = css.data(), *sn = sns.data();
  for (int j = 0; j < nth; j++) {
    cs[j] = std::cos(theta[j] * HALF_PI);
    sn[j] = std::sin(theta[j] * HALF_PI);
  }
  eigenvectors_from(P, cs, sn, K);
}

const double *Rotations::at(const double *theta) {
  const int nth = (int)cos_.size();
  bool changed = !valid_;
  for (int j = 0; j < nth; j++)
    if (!valid_ || std::memcmp(&theta[j], &theta_[j], sizeof(double)) != 0) {
      theta_[j] = theta[j];
      cos_[j] = std::cos(theta[j] * HALF_PI);
      sin_[j] = std::sin(theta[j] * HALF_PI);
      changed = true;
    }
  if (changed)
    eigenvectors_from(P_.data(), cos_.data(), sin_.data(), K_);
  valid_ = true;
  return P_.data();
}

void turn_angle(double *theta, int j, double step, int K) {
  int a = 0, b = 1;
  for (int k = 0; k < j; k++)
    if (++b == K) {
      a++;
      b = a + 1;
    }
  double t = theta[j] + step;
  int turns = 0;
  for (; t > 1.0; t -= 2.0)
    turns++;
  for (; t <= -1.0; t += 2.0)
    turns++;
  theta[j] = t;
  if (turns % 2 == 0)
    return;
  int k = j + 1, c = a, d = b;
  for (;; k++) {
    if (++d == K) {
      c++;
      d = c + 1;
    }
    if (d >= K)
      break;
    if ((c == a || c == b) != (d == a || d == b))
      theta[k] = -theta[k];
  }
}

void spectral(double *A, const double *P, const double *eta, int K) {
  for (int a = 0; a < K; a++)
    for (int b = a; b < K; b++) {
      double s = 0.0;
      for (int k = 0; k < K; k++)
        s += P[a + K * k] * eta[k] * P[b + K * k];
      A[a + K * b] = s;
      A[b + K * a] = s;
    }
}

void association(double *A, const double *theta, const double *eta, int K) {
  SmallSquare P(K);
  double *Pm = P.data();
  eigenvectors(Pm, theta, K);
  spectral(A, Pm, eta, K);
}

void Sampler::association_at(double *A, const double *theta, const double *eta) const {
  spectral(A, rotations_.at(theta), eta, K_);
}

// ---- the linear predictor and the grams -------------------------------------

// mu = X beta + Phi Lambda', summed term by term in index order.
void Sampler::linear_predictor_from_state(double *lp) const {
  for (int r = 0; r < K_; r++) {
    const double *beta = s_.beta.data() + p_ * r;
    for (int i = 0; i < N_; i++) {
      double xb = 0.0;
      for (int j = 0; j < p_; j++)
        xb += d_.X[i + N_ * j] * beta[j];
      lp[i + N_ * r] = xb + field_part(s_.Lambda.data(), s_.phi.data(), N_, K_, i, r);
    }
  }
}

// out = C u (n each), on the chain's threads past SUM_BLOCK units.
void Sampler::neighbour_sums(const double *u, double *out) const {
  const double *__restrict w = d_.w;
  const int *__restrict col = d_.col;
  const int *__restrict row_ptr = d_.row_ptr;
  parallel_for(n_, pool(), [&](int i) {
    double t = 0.0;
    for (int q = row_ptr[i]; q < row_ptr[i + 1]; q++)
      t += w[q] * u[col[q]];
    out[i] = t;
  });
}

// G = Phi' C Phi and H = Phi' D Phi (with periods, see
// refresh_gram_periods).  The neighbour sums S = C Phi go to scratch first,
// so that every sum is accumulated in a register.
void Sampler::refresh_gram() {
  if (nt_ > 1) {
    refresh_gram_periods();
    return;
  }
  const int n = n_, K = K_;
  const double *__restrict phi = s_.phi.data();
  double *__restrict S = work_.data();
  ThreadPool &threads = pool();
  for (int b = 0; b < K; b++)
    neighbour_sums(phi + n * b, S + n * b);
  for (int a = 0; a < K; a++)
    for (int b = a; b < K; b++) {
      const double *pa = phi + n * a, *pb = phi + n * b, *sb = S + n * b;
      double gh[2];
      blocked_sums<2>(n, threads, gh, [&](int i, double *t) {
        t[0] += pa[i] * sb[i];
        t[1] += D_[i] * (pa[i] * pb[i]);
      });
      G_[a + K * b] = G_[b + K * a] = gh[0];
      H_[a + K * b] = H_[b + K * a] = gh[1];
    }
  gram_valid_ = true;
}

// The grams of F = [E, L Phi] (2 K x 2 K, see gs_): G = F' (I_T x C) F and
// H = F' (I_T x D) F, E[x,c] = phi[x,c] - alpha_c phi[x - n,c] the
// innovations (phi[x,c] in the first period) and L Phi the fields one
// period back (0 in the first).  One pass over the units, each through its
// periods, its neighbour sums C F formed on the way; the sums over blocks
// of SUM_BLOCK units are added in block order, the same to the bit on any
// number of threads.
void Sampler::refresh_gram_periods() {
  const int n = n_, N = N_, K = K_, M = gs_, nt = nt_;
  const int P = M * (M + 1) / 2; // packed upper triangle
  const double *phi = s_.phi.data();
  const double *al = s_.alpha.data();
  const double *w = d_.w;
  const int *col = d_.col, *row_ptr = d_.row_ptr;
  const int blocks = (n + SUM_BLOCK - 1) / SUM_BLOCK;
  std::vector<double> part((size_t)blocks * 2 * P, 0.0);
  auto body = [&](int blk) {
    double *g = &part[(size_t)blk * 2 * P], *h = g + P;
    double f[2 * MAX_K], cf[2 * MAX_K], ns[MAX_K], prev[MAX_K];
    const int end = std::min(n, (blk + 1) * SUM_BLOCK);
    for (int i = blk * SUM_BLOCK; i < end; i++) {
      const double Di = D_[i];
      for (int t = 0; t < nt; t++) {
        const int x = i + n * t;
        for (int b = 0; b < K; b++) {
          const double *pb = phi + (size_t)N * b + (size_t)n * t;
          double v = 0.0;
          for (int q = row_ptr[i]; q < row_ptr[i + 1]; q++)
            v += w[q] * pb[col[q]];
          ns[b] = v;
        }
        for (int b = 0; b < K; b++) {
          const double cur = phi[x + (size_t)N * b];
          const double lag = t > 0 ? phi[x - n + (size_t)N * b] : 0.0;
          const double clag = t > 0 ? prev[b] : 0.0;
          f[b] = t > 0 ? cur - al[b] * lag : cur;
          f[K + b] = lag;
          cf[b] = t > 0 ? ns[b] - al[b] * clag : ns[b];
          cf[K + b] = clag;
        }
        int k = 0;
        for (int a = 0; a < M; a++)
          for (int c = a; c < M; c++, k++) {
            g[k] += f[a] * cf[c];
            h[k] += Di * (f[a] * f[c]);
          }
        std::copy(ns, ns + K, prev);
      }
    }
  };
  if (blocks <= 1)
    body(0);
  else
    pool().run(blocks, body);
  std::vector<double> gh(2 * P, 0.0);
  for (int blk = 0; blk < blocks; blk++)
    for (int k = 0; k < 2 * P; k++)
      gh[k] += part[(size_t)blk * 2 * P + k];
  int k = 0;
  for (int a = 0; a < M; a++)
    for (int c = a; c < M; c++, k++) {
      G_[a + M * c] = G_[c + M * a] = gh[k];
      H_[a + M * c] = H_[c + M * a] = gh[P + k];
    }
  gram_valid_ = true;
}

// ---- prior terms ------------------------------------------------------------

// sum_i log(1 - eta_k lambda_i) = log|D - eta_k C| - log|D|, from the map's
// interpolant (within about 1e-9 of the sparse factorisation).
double Sampler::log_det_term(double eta_k) const { return (*d_.logdet)(eta_k); }

// sum_ab A[a,b] G[a,b] - sum_ab A_[a,b] G[a,b], summed as one difference.
double Sampler::quad_change(const double *A) const {
  double s = 0.0;
  for (int b = 0; b < K_; b++)
    for (int a = 0; a < K_; a++)
      s += (A[a + K_ * b] - A_[a + K_ * b]) * G_[a + gs_ * b];
  return s;
}

// The inverse-Wishart prior of Lambda Lambda' with its Jacobian.
// M = L^-1 for L upper triangular (K x K), column by column.
static void upper_inverse(const double *L, double *M, int K) {
  for (int c = 0; c < K; c++) {
    M[c + K * c] = 1.0 / L[c + K * c];
    for (int r = c - 1; r >= 0; r--) {
      double t = 0.0;
      for (int k = r + 1; k <= c; k++)
        t += L[r + K * k] * M[k + K * c];
      M[r + K * c] = -t / L[r + K * r];
    }
  }
}

double Sampler::lambda_log_prior(const double *L) const {
  const int K = K_;
  double logdiag = 0.0, weighted = 0.0;
  for (int r = 0; r < K; r++) {
    const double l = std::log(L[r + K * r]);
    logdiag += l;
    weighted += (r + 1) * l;
  }
  SmallSquare Ms(K);
  double *M = Ms.data();
  upper_inverse(L, M, K);
  // tr(S (L L')^-1) = tr(M' ... ) = sum_{a} (M S M')[a,a]
  double tr = 0.0;
  for (int a = 0; a < K; a++)
    for (int b = a; b < K; b++)
      for (int c = a; c < K; c++)
        tr += M[a + K * b] * d_.iw_scale[b + K * c] * M[a + K * c];
  return -(d_.iw_df + K + 1) * logdiag - 0.5 * tr + weighted;
}

const std::vector<double> &Sampler::loadings_Q() const {
  const int K = K_;
  LoadingsPrior &lp = loadings_prior_;
  const size_t bytes = sizeof(double) * K * K;
  if (lp.valid && std::memcmp(lp.at.data(), s_.Lambda.data(), bytes) == 0)
    return lp.Q;
  lp.at.assign(s_.Lambda.begin(), s_.Lambda.end());
  lp.value_valid = false;
  SmallSquare Ms(K), SMs(K);
  double *M = Ms.data(), *SM = SMs.data();
  upper_inverse(s_.Lambda.data(), M, K);
  // SM = S M' (K x K), then Q = M SM.
  for (int b = 0; b < K; b++)
    for (int k = 0; k < K; k++) {
      double t = 0.0;
      for (int l = b; l < K; l++)
        t += d_.iw_scale[k + K * l] * M[b + K * l];
      SM[k + K * b] = t;
    }
  lp.Q.assign(K * K, 0.0);
  for (int a = 0; a < K; a++)
    for (int b = 0; b < K; b++) {
      double t = 0.0;
      for (int k = a; k < K; k++)
        t += M[a + K * k] * SM[k + K * b];
      lp.Q[a + K * b] = t;
    }
  lp.valid = true;
  return lp.Q;
}

double Sampler::loadings_prior_value() const {
  loadings_Q();
  LoadingsPrior &lp = loadings_prior_;
  if (!lp.value_valid) {
    lp.value = lambda_log_prior(s_.Lambda.data());
    lp.value_valid = true;
  }
  return lp.value;
}

void Sampler::loadings_Q_transform(int a, int b, double t) {
  LoadingsPrior &lp = loadings_prior_;
  if (!lp.valid)
    return;
  // A field's scale or a pair's shear takes M = Lambda^-1 to T' M for the
  // T of the fields' transformation, so Q to T' Q T.
  congruence_step(lp.Q.data(), K_, a, b, t);
  lp.at.assign(s_.Lambda.begin(), s_.Lambda.end());
  lp.value_valid = false;
}

// ---- summaries of the current state -----------------------------------------

// Welford's updates of the risk and the log-likelihood of every cell, the
// running log-sum-exp of the log-likelihood, and the batch sums of mu (see
// Summaries).
double Sampler::accumulate(Summaries &sm) const {
  sm.draws += 1.0;
  const double inv = 1.0 / sm.draws;
  const double *__restrict lp = lp_.data();
  const double *__restrict m = m_.data();
  const double *__restrict E = d_.E;
  const double *__restrict Y = d_.Y;
  const double *__restrict llc = ll_const_.data();
  const int fam = d_.family;
  const double *__restrict ref = ref_cell_.data();
  // Batch means: the slot of the current batch, and whether this sweep is
  // the first tracked one (it sets the origins).
  const size_t cells = (size_t)N_ * K_;
  const bool batch = sm.batches > 0;
  const bool first = batch && sm.batch_count == 0 && sm.batch_fill == 0 && sm.batch_size == 1;
  double *bsum = batch ? sm.batch_sum.data() + cells * (size_t)sm.batch_count : nullptr;
  double *bsq = batch ? sm.batch_sq.data() + cells * (size_t)sm.batch_count : nullptr;
  double *origin = batch ? sm.origin.data() : nullptr;
  const double total = blocked_sum(N_ * K_, pool(), [&](int x) {
    if (batch) {
      if (first)
        origin[x] = lp[x];
      const double v = lp[x] - origin[x];
      bsum[x] += v;
      bsq[x] += v * v;
    }
    // For the Poisson the cached E exp(mu) spares an exp.
    const double rr = fam == POISSON && E[x] > 0 ? m[x] / E[x] : cell_risk(fam, lp[x]);
    const double dr = rr - sm.rr_mean[x];
    sm.rr_mean[x] += dr * inv;
    sm.rr_m2[x] += dr * (rr - sm.rr_mean[x]);
    if (lp[x] > ref[x])
      sm.rr_gt1[x] += 1.0;
    // A missing count enters with E = 0 and Y = 0: its term is 0.
    const double ll = E[x] > 0 ? Y[x] * lp[x] - m[x] + llc[x] : 0.0;
    const double dl = ll - sm.ll_mean[x];
    sm.ll_mean[x] += dl * inv;
    sm.ll_m2[x] += dl * (ll - sm.ll_mean[x]);
    if (ll > sm.ll_max[x]) {
      sm.ll_sum[x] = sm.ll_sum[x] * std::exp(sm.ll_max[x] - ll) + 1.0;
      sm.ll_max[x] = ll;
    } else {
      sm.ll_sum[x] += std::exp(ll - sm.ll_max[x]);
    }
    return E[x] > 0 ? ll : 0.0;
  });
  if (batch)
    sm.close_batch();
  return total;
}

double Sampler::deviance() const {
  double s = 0.0;
  for (int x = 0; x < N_ * K_; x++)
    if (d_.E[x] > 0)
      s += d_.Y[x] * lp_[x] - m_[x] + ll_const_[x];
  return -2.0 * s;
}

} // namespace mcar_engine
