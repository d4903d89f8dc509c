// The chain: a run of sweeps with thinning, stored fields and running
// summaries.  See chain.h.
#include "engine.h"
#include "chain.h"

#include <algorithm>
#include <cstddef>

namespace mcar_engine {

void run_chain(Sampler &sampler, Xoshiro &rng, Counts &counts,
               Summaries &summaries, const Control &control, const Draws &out,
               const std::function<void()> &poll) {
  const Data &d = sampler.data();
  const State &s = sampler.state();
  const int n = d.n * d.T, K = d.K, p = d.p, nth = K * (K - 1) / 2;
  const int npsi = d.family == NEGBINOMIAL ? K : 0;
  const int nalpha = d.T > 1 ? K : 0;
  const int cells = n * K, npk = K * (K + 1) / 2;
  const int kept = control.kept_sweeps(), kept_units = control.kept_fields();
  // Look for an interrupt about every 2e5 unit updates.
  const long long per_check = std::max(1LL, 200000LL / ((long long)n * K));
  int row = 0, unit_row = 0;
  for (int sweep = 1; sweep <= control.sweeps; sweep++) {
    if (poll && sweep % per_check == 0)
      poll();
    sampler.sweep(rng, counts);
    if (!control.kept(sweep))
      continue;
    auto put = [&](double *m, const double *v, int len) {
      for (int k = 0; k < len; k++)
        m[row + (std::ptrdiff_t)kept * k] = v[k];
    };
    put(out.beta, s.beta.data(), p * K);
    if (control.fields_kept(sweep)) {
      for (int k = 0; k < cells; k++)
        out.phi[unit_row + (std::ptrdiff_t)kept_units * k] = s.phi[k];
      unit_row++;
    }
    // The summaries' pass gives the deviance on its way.
    const double dev =
        control.accumulate ? -2.0 * sampler.accumulate(summaries) : sampler.deviance();
    double packed_L[MAX_K * (MAX_K + 1) / 2], packed_A[MAX_K * (MAX_K + 1) / 2];
    const double *A = sampler.association_matrix();
    for (int a = 0; a < K; a++)
      for (int b = a; b < K; b++) {
        const int at = packed_index(a, b, K);
        packed_L[at] = s.Lambda[a + K * b];
        packed_A[at] = A[a + K * b];
      }
    put(out.Lambda, packed_L, npk);
    put(out.A, packed_A, npk);
    put(out.eta, s.eta.data(), K);
    put(out.theta, s.theta.data(), nth);
    put(out.psi, s.psi.data(), npsi);
    put(out.alpha, s.alpha.data(), nalpha);
    put(out.deviance, &dev, 1);
    row++;
  }
}

} // namespace mcar_engine
