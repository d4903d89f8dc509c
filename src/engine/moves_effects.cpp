// The effects moves: phi unit by unit, by random walks in unit order or by
// Newton proposals colour by colour of a colouring of the map (on the
// chain's threads, with draws that do not depend on their number).
#include "engine.h"
#include "numeric.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace mcar_engine {

// The conditional prior of effect c of unit i in period t given the rest:
// -d x^2 / 2 + as x up to a constant.  Without periods d = D_i and as =
// sum_b A[c,b] (C Phi)[i,b].  With periods, x enters the innovation of
// period t, x - a (a = alpha_c phi[i,c,t-1], 0 in the first period), and
// that of period t + 1, f - alpha_c x (f = phi[i,c,t+1]; none in the last
// period), each with the prior above: d = D_i (1 + alpha_c^2) and as =
// s_t + D_i a + alpha_c (D_i f - s_{t+1}), s_t = sum_b A[c,b] (C E_t)[i,b].
// ns holds the neighbour sums (C Phi_t)[i,b] of the unit, K per period.
inline void effect_prior(const double *A, const double *ns, const double *phi,
                         const double *alpha, double Di, int K, int nt, int N,
                         int n, int i, int c, int t, double *d, double *as) {
  double s = 0.0;
  for (int b = 0; b < K; b++) {
    const double e = t > 0 ? ns[K * t + b] - alpha[b] * ns[K * (t - 1) + b]
                           : ns[K * t + b];
    s += A[c + K * b] * e;
  }
  if (nt == 1) {
    *d = Di;
    *as = s;
    return;
  }
  const double ac = alpha[c];
  const double *f = phi + (size_t)N * c + i;
  if (t > 0)
    s += Di * ac * f[(size_t)n * (t - 1)];
  double dd = Di;
  if (t + 1 < nt) {
    double s1 = 0.0;
    for (int b = 0; b < K; b++)
      s1 += A[c + K * b] * (ns[K * (t + 1) + b] - alpha[b] * ns[K * t + b]);
    s += ac * (Di * f[(size_t)n * (t + 1)] - s1);
    dd = Di * (1.0 + ac * ac);
  }
  *d = dd;
  *as = s;
}

// The neighbour sums (C Phi_t)[i,b] of unit i, K per period (nt K values).
inline void unit_neighbour_sums(const Data &d, const double *phi, int N, int K,
                                int nt, int i, double *ns) {
  const int q0 = d.row_ptr[i], q1 = d.row_ptr[i + 1];
  for (int t = 0; t < nt; t++)
    for (int b = 0; b < K; b++) {
      const double *pb = phi + (size_t)N * b + (size_t)d.n * t;
      double v = 0.0;
      for (int q = q0; q < q1; q++)
        v += d.w[q] * pb[d.col[q]];
      ns[K * t + b] = v;
    }
}

// Effect c of row x at y: the likelihood change of the outcomes r <= c
// that load on it, and the change of its conditional prior (effect_prior).
double Sampler::ratio_phi(int x0, int c, double y) const {
  const double *phi = s_.phi.data();
  const int i = x0 % n_, t = x0 / n_;
  const double x = phi[x0 + N_ * c];
  double ll = 0.0;
  for (int r = 0; r <= c; r++) {
    const int at = x0 + N_ * r;
    const double lp = lp_[at] + s_.Lambda[r + K_ * c] * (y - x);
    ll += d_.Y[at] * (lp - lp_[at]) - (g(at, r, lp) - m_[at]);
  }
  std::vector<double> ns((size_t)nt_ * K_);
  unit_neighbour_sums(d_, phi, N_, K_, nt_, i, ns.data());
  double d, as;
  effect_prior(A_.data(), ns.data(), phi, nt_ > 1 ? s_.alpha.data() : nullptr, D_[i],
               K_, nt_, N_, n_, i, c, t, &d, &as);
  return ll - 0.5 * d * (y * y - x * x) + (y - x) * as;
}

// The effects unit by unit, each from a random walk (scale: its sd) or,
// with Data::newton, from a Newton proposal: with the slope s
// and curvature P of its log full conditional at the current value x, the
// Gaussian N(m, 1 / P), m = x + s / P, matches the conditional at x, and
// the proposal is the autoregressive step towards it
//
//   y = m + rho (x - m) + h z / sqrt(P),  rho = sqrt(1 - h^2),
//
// that leaves that Gaussian invariant, h the cell's scale: at h = 1 an
// independent draw from it, which the conditional accepts always where it
// is Gaussian; as h falls, a step of a share 1 - rho ~ h^2 / 2 of the way
// to m, whose acceptance tends to 1 however far the conditional is from
// Gaussian (where the full step overshoots: very large counts far from
// their mode).  A scale above 1 keeps the full step and widens the noise.
// The reverse proposal is formed from the slope and curvature at the
// proposed value, whose g(mu) the likelihood needs anyway; for the Poisson
// g' = g'' = g, so it costs no further exp.
//
// Where the likelihood's curvature at x is far below its value near the
// mode (a small count whose effect has been carried, by the moves that
// change the fields, into the tail where its prior alone bends the
// conditional), the step s / P overshoots the mode by many sds, and from
// any proposal the step back overshoots the other way: every proposal is
// rejected and the effect stays where it is, whatever h.  So in each sweep
// a coin of the unit's own stream gives half of the units a capped step:
// the mean moves at most NEWTON_REACH of the sds 1 / sqrt(P) (the reverse
// proposal capped alike), which from such a tail walks back uphill and
// near the mode of a Gaussian conditional hardly ever binds.  The choice
// of kernel does not depend on the state, so each unit's update leaves its
// conditional invariant either way.  The random walks go through
// the units in index order, the Newton proposals colour by colour (see
// phi_sweep).
void Sampler::update_phi(Xoshiro &rng, Counts &counts) {
  const bool nt = d_.newton;
  switch (d_.family) {
  case BINOMIAL:
    nt ? phi_sweep<BINOMIAL, true>(rng, counts) : phi_sweep<BINOMIAL, false>(rng, counts);
    break;
  case NEGBINOMIAL:
    nt ? phi_sweep<NEGBINOMIAL, true>(rng, counts)
       : phi_sweep<NEGBINOMIAL, false>(rng, counts);
    break;
  default:
    nt ? phi_sweep<POISSON, true>(rng, counts) : phi_sweep<POISSON, false>(rng, counts);
  }
  gram_valid_ = false;
}

// The units of one colour of the Newton sweep go to the threads in chunks
// of this many.
constexpr int UNIT_CHUNK = 64;

// Units whose Newton proposals are computed side by side.
constexpr int UNIT_LANES = 4;

// The largest move of a capped Newton step's mean, in sds 1 / sqrt(P) of
// the conditional's Gaussian approximation at the current value, and the
// share of the units that take a capped step in a sweep (update_phi).
constexpr double NEWTON_REACH = 2.0;
constexpr double CAPPED_SHARE = 0.5;

// The mean's move step s / P of a Newton proposal (ip = 1 / P, root =
// sqrt(ip)), capped to +-reach root (reach infinite: not capped), without
// branches: the coin that sets reach is as likely one way as the other.
inline double newton_shift(double step, double s, double ip, double root, double reach) {
  const double limit = reach * root;
  return std::min(std::max(step * s * ip, -limit), limit);
}

// Unit i's own stream in a Newton sweep: seeded from the sweep's key and i.
inline Xoshiro unit_stream(uint64_t key, int i) {
  Xoshiro own;
  own.seed(key + (uint64_t)i * (4 * 0x9e3779b97f4a7c15ULL));
  return own;
}

template <int FAMILY, bool NEWTON>
void Sampler::phi_sweep(Xoshiro &rng, Counts &counts) {
  int *acc = counts.phi.data();
  if (!NEWTON) {
    // Unit by unit in index order, on the chain's own stream.
    for (int i = 0; i < n_; i++)
      effects_of_unit<FAMILY>(i, rng, work_.data(), acc);
    return;
  }
  // Colour by colour: the units of one colour share no neighbour, so their
  // conditionals do not involve each other and they are updated together,
  // in chunks of UNIT_CHUNK on the pool's threads.  Unit i draws from a
  // stream of its own, seeded from one word of the chain's stream and i, so
  // every draw is the same whatever the number of threads.
  if (colour_ptr_.empty())
    colour_units();
  // The neighbour sums of UNIT_LANES units: on the stack with one period,
  // else in the chunk's scratch (colour_units).
  const int lane_scratch = UNIT_LANES * nt_ * K_;
  const uint64_t key = rng.next();
  const int colours = (int)colour_ptr_.size() - 1;
  const int *order = order_.data();
  const int *cp = colour_ptr_.data();
  ThreadPool &threads = pool();
  for (int c = 0; c < colours; c++) {
    const int first = cp[c], units = cp[c + 1] - cp[c];
    threads.run((units + UNIT_CHUNK - 1) / UNIT_CHUNK, [&](int chunk) {
      double stack[UNIT_LANES * MAX_K];
      double *ns = nt_ > 1 ? chunk_scratch_.data() + (size_t)chunk * lane_scratch : stack;
      const int begin = first + chunk * UNIT_CHUNK;
      const int end = first + std::min(units, (chunk + 1) * UNIT_CHUNK);
      // Four units at a time, their arithmetic interleaved (see
      // effects_of_units); the rest one by one.
      int q = begin;
      for (; q + UNIT_LANES <= end; q += UNIT_LANES)
        effects_of_units<FAMILY, UNIT_LANES>(order + q, key, ns, acc);
      for (; q < end; q++)
        effects_of_units<FAMILY, 1>(order + q, key, ns, acc);
    });
  }
}

// The K effects of unit i by random walks, one after the other, period by
// period (see update_phi); scratch holds (T + 2) K values, acc the
// acceptance counts per cell.
template <int FAMILY>
inline void Sampler::effects_of_unit(int i, Xoshiro &rng, double *scratch, int *acc) {
  const int N = N_, K = K_, nt = nt_;
  double *phi = s_.phi.data(), *lp = lp_.data(), *m = m_.data();
  const double *L = s_.Lambda.data(), *Y = d_.Y, *E = d_.E;
  const double *psi = FAMILY == NEGBINOMIAL ? s_.psi.data() : nullptr;
  const double *alpha = nt > 1 ? s_.alpha.data() : nullptr;
  double *ns = scratch;           // T K neighbour sums
  double *lp_new = ns + nt * K;   // K
  double *m_new = lp_new + K;     // K
  unit_neighbour_sums(d_, phi, N, K, nt, i, ns);
  // Period by period, the K effects of each in turn.
  for (int tc = 0; tc < nt * K; tc++) {
    const int t = tc / K, c = tc % K;
    const int row = i + n_ * t;
    const int ic = row + N * c;
    const double x = phi[ic];
    double d, as;
    effect_prior(A_.data(), ns, phi, alpha, D_[i], K, nt, N, n_, i, c, t, &d, &as);
    const double y = x + sc_.phi[ic] * rng.normal();
    const double dy = y - x;
    double lg = -0.5 * d * (y * y - x * x) + dy * as;
    for (int r = 0; r <= c; r++) {
      const int at = row + N * r;
      const double dl = L[r + K * c] * dy;
      lp_new[r] = lp[at] + dl;
      m_new[r] = cell_g(FAMILY, Y[at], E[at], psi ? psi[r] : 0.0, lp_new[r]);
      lg += Y[at] * dl - (m_new[r] - m[at]);
    }
    if (accept(rng, lg)) {
      phi[ic] = y;
      for (int r = 0; r <= c; r++) {
        const int at = row + N * r;
        lp[at] = lp_new[r];
        m[at] = m_new[r];
      }
      acc[ic]++;
    }
  }
}

// The Newton proposals (see update_phi) of the effects of the B units
// units[0..B) of one colour, each unit on its own stream, period by period
// and the K effects of each in turn, stage by stage across the units, so
// that the processor overlaps their chains of dependent operations (exp,
// division, the accept decision) that one unit alone leaves waiting on each
// other.  The units share no neighbour, and each unit's arithmetic and
// draws are those it would have alone.  ns holds B T K values.
template <int FAMILY, int B>
inline void Sampler::effects_of_units(const int *units, uint64_t key, double *ns, int *acc) {
  const int N = N_, K = K_, nt = nt_;
  double *__restrict phi = s_.phi.data();
  const double *__restrict L = s_.Lambda.data();
  const double *__restrict A = A_.data();
  const double *__restrict Y = d_.Y;
  const double *__restrict E = d_.E;
  const double *__restrict scale = sc_.phi;
  const double *__restrict psi = FAMILY == NEGBINOMIAL ? s_.psi.data() : nullptr;
  double *__restrict lp = lp_.data();
  double *__restrict m = m_.data();
  const double *__restrict alpha = nt > 1 ? s_.alpha.data() : nullptr;
  Xoshiro rng[B];
  double lp_new[B][MAX_K], m_new[B][MAX_K], reach[B];
  for (int b = 0; b < B; b++) {
    rng[b] = unit_stream(key, units[b]);
    reach[b] = rng[b].uniform() < CAPPED_SHARE ? NEWTON_REACH : INFINITY;
    unit_neighbour_sums(d_, phi, N, K, nt, units[b], ns + (size_t)b * nt * K);
  }
  for (int tc = 0; tc < nt * K; tc++) {
    const int t = tc / K, c = tc % K;
    int row[B];
    double x[B], d[B], as[B], h[B], step[B], sx[B], px[B], ipx[B], root[B], z[B], y[B];
    double lg[B], sy[B], py[B], ipy[B];
    bool ok[B];
    // The slope and curvature at x.
    for (int b = 0; b < B; b++) {
      const int i = units[b];
      row[b] = i + n_ * t;
      x[b] = phi[row[b] + N * c];
      effect_prior(A, ns + (size_t)b * nt * K, phi, alpha, D_[i], K, nt, N, n_, i, c, t,
                   &d[b], &as[b]);
      // The share `step` of the Newton step (1 - rho of update_phi, written
      // so as to keep its digits for small h).
      h[b] = scale[row[b] + N * c];
      step[b] = h[b] < 1.0 ? h[b] * h[b] / (1.0 + std::sqrt(1.0 - h[b] * h[b])) : 1.0;
      sx[b] = as[b] - d[b] * x[b];
      px[b] = d[b];
      for (int r = 0; r <= c; r++) {
        const int at = row[b] + N * r;
        const double l = L[r + K * c];
        double g1, g2;
        cell_slope(FAMILY, Y[at], E[at], psi ? psi[r] : 0.0, lp[at], m[at], &g1, &g2);
        sx[b] += l * (Y[at] - g1);
        px[b] += l * l * g2;
      }
    }
    for (int b = 0; b < B; b++) {
      ipx[b] = 1.0 / px[b];
      root[b] = std::sqrt(ipx[b]);
    }
    // The proposal.
    for (int b = 0; b < B; b++) {
      z[b] = rng[b].normal();
      y[b] = x[b] + newton_shift(step[b], sx[b], ipx[b], root[b], reach[b]) + h[b] * root[b] * z[b];
    }
    // The likelihood and the slope and curvature at y.
    for (int b = 0; b < B; b++) {
      const double dy = y[b] - x[b];
      lg[b] = -0.5 * d[b] * (y[b] * y[b] - x[b] * x[b]) + dy * as[b];
      sy[b] = as[b] - d[b] * y[b];
      py[b] = d[b];
      for (int r = 0; r <= c; r++) {
        const int at = row[b] + N * r;
        const double l = L[r + K * c];
        const double dl = l * dy;
        lp_new[b][r] = lp[at] + dl;
        double g1, g2;
        m_new[b][r] = cell_g_slope(FAMILY, Y[at], E[at], psi ? psi[r] : 0.0, lp_new[b][r],
                                   &g1, &g2);
        lg[b] += Y[at] * dl - (m_new[b][r] - m[at]);
        sy[b] += l * (Y[at] - g1);
        py[b] += l * l * g2;
      }
    }
    // + log q(x | y) - log q(y | x) = (z^2 - back^2) / 2 + log(py / px) / 2,
    // the reverse proposal N(y + step sy / py, h^2 / py), its step capped
    // alike.
    for (int b = 0; b < B; b++) {
      ipy[b] = 1.0 / py[b];
      const double bx =
          x[b] - y[b] - newton_shift(step[b], sy[b], ipy[b], std::sqrt(ipy[b]), reach[b]);
      const double back2 = bx * bx * py[b] / (h[b] * h[b]);
      lg[b] += 0.5 * (z[b] * z[b] - back2);
    }
    for (int b = 0; b < B; b++)
      ok[b] = newton_accept(rng[b], lg[b], py[b] * ipx[b], px[b] * ipy[b]);
    for (int b = 0; b < B; b++) {
      if (!ok[b])
        continue;
      phi[row[b] + N * c] = y[b];
      for (int r = 0; r <= c; r++) {
        const int at = row[b] + N * r;
        lp[at] = lp_new[b][r];
        m[at] = m_new[b][r];
      }
      acc[row[b] + N * c]++;
    }
  }
}

// ---- the colouring of the map -----------------------------------------------

// A greedy colouring of the map in unit order (each unit takes the
// smallest colour none of its earlier neighbours has), as the units listed
// colour by colour (order_) and where each colour starts (colour_ptr_).
void Sampler::colour_units() {
  std::vector<int> colour(n_, -1), used;
  int colours = 0;
  for (int i = 0; i < n_; i++) {
    used.assign(colours + 1, 0);
    for (int q = d_.row_ptr[i]; q < d_.row_ptr[i + 1]; q++)
      if (colour[d_.col[q]] >= 0)
        used[colour[d_.col[q]]] = 1;
    int c = 0;
    while (used[c])
      c++;
    colour[i] = c;
    colours = std::max(colours, c + 1);
  }
  colour_ptr_.assign(colours + 1, 0);
  for (int i = 0; i < n_; i++)
    colour_ptr_[colour[i] + 1]++;
  for (int c = 0; c < colours; c++)
    colour_ptr_[c + 1] += colour_ptr_[c];
  order_.resize(n_);
  std::vector<int> next(colour_ptr_.begin(), colour_ptr_.end() - 1);
  for (int i = 0; i < n_; i++)
    order_[next[colour[i]]++] = i;
  // With periods, scratch for the neighbour sums (T K values a unit,
  // UNIT_LANES units at a time) of every chunk of the widest colour.
  if (nt_ > 1) {
    int widest = 0;
    for (int c = 0; c < colours; c++)
      widest = std::max(widest, colour_ptr_[c + 1] - colour_ptr_[c]);
    chunk_scratch_.assign((size_t)((widest + UNIT_CHUNK - 1) / UNIT_CHUNK) * UNIT_LANES *
                              nt_ * K_,
                          0.0);
  }
}

std::vector<int> Sampler::colours() const {
  std::vector<int> colour(n_);
  for (int c = 0; c + 1 < (int)colour_ptr_.size(); c++)
    for (int q = colour_ptr_[c]; q < colour_ptr_[c + 1]; q++)
      colour[order_[q]] = c;
  return colour;
}

} // namespace mcar_engine
