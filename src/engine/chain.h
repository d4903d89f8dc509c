// The chain: a run of sweeps of one sampler, with the kept sweeps (thinning)
// written out, the fields of some of them (unit thinning), and every kept
// sweep added into the running summaries.
#ifndef MCAR_CHAIN_H
#define MCAR_CHAIN_H

#include "engine.h"

#include <functional>

namespace mcar_engine {

// What one run does.  Sweep s of the run (1-based) is kept when offset + s
// is a multiple of thin, so that runs which follow one another (each with
// the sweeps of the earlier ones as its offset) thin as one chain; the
// kept sweep numbered (offset + s) / thin stores the fields too when that
// number is a multiple of unit_thin.  With accumulate, the kept sweeps are
// added into the running summaries.
struct Control {
  int sweeps = 0, thin = 1, offset = 0, unit_thin = 1;
  bool accumulate = false;

  // sweeps and offset non-negative, thin and unit_thin positive with a
  // product that fits an int.
  bool valid() const {
    return sweeps >= 0 && thin >= 1 && offset >= 0 && unit_thin >= 1 &&
           (long long)thin * unit_thin <= 2147483647LL;
  }
  bool kept(int s) const { return (offset + s) % thin == 0; }
  // For a kept sweep s: whether it stores the fields.
  bool fields_kept(int s) const { return ((offset + s) / thin) % unit_thin == 0; }
  // The kept sweeps of the run, and those of them that store the fields.
  int kept_sweeps() const { return (offset + sweeps) / thin - offset / thin; }
  int kept_fields() const {
    const int every = thin * unit_thin;
    return (offset + sweeps) / every - offset / every;
  }
};

// Where a run writes its kept sweeps: column-major matrices with one row a
// kept sweep (Control::kept_sweeps() rows; phi: Control::kept_fields()
// rows), in order.  Columns: beta p K (beta[j,r] at j + p r), phi N K
// (phi[x,r] at x + N r, N = n T rows), Lambda and A the upper triangle packed row by row
// (packed_index, K (K + 1) / 2 columns), eta K, theta K (K - 1) / 2, psi K
// for the negative binomial (else none), alpha K with periods (else none),
// deviance 1.
struct Draws {
  double *beta = nullptr, *phi = nullptr, *Lambda = nullptr, *A = nullptr;
  double *eta = nullptr, *theta = nullptr, *psi = nullptr, *deviance = nullptr;
  double *alpha = nullptr;
};

// Runs control.sweeps sweeps of the sampler from its current state, writes
// the kept sweeps into out and, with control.accumulate, adds them into
// summaries (whose pass gives the deviance on its way).  poll, when not
// null, is called about every 2e5 unit updates, to look for an interrupt;
// it may throw.
void run_chain(Sampler &sampler, Xoshiro &rng, Counts &counts,
               Summaries &summaries, const Control &control, const Draws &out,
               const std::function<void()> &poll = {});

} // namespace mcar_engine

#endif
