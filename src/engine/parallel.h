// Loops over the units of the map on the chain's threads, and the sums
// over them that are the same, to the bit, on any number of threads (the
// draws of a seed do not depend on the thread count).
#ifndef MCAR_PARALLEL_H
#define MCAR_PARALLEL_H

// engine.h first: its floating-point pragma covers what follows.
#include "engine.h"

#include <algorithm>
#include <vector>

namespace mcar_engine {

// Loops over the cells of the map run on the chain's threads only past
// this many indices, in blocks of this many for the sums.
constexpr int SUM_BLOCK = 1024;

// body(i) for i in [0, n) (each i writing only its own outputs): past
// SUM_BLOCK indices in chunks of SUM_BLOCK consecutive ones on the pool's
// threads, a plain loop otherwise, which keeps the small maps clear of the
// pool.
template <class Body> void parallel_for(int n, ThreadPool &pool, const Body &body) {
  if (pool.threads() > 1 && n > SUM_BLOCK) {
    pool.run((n + SUM_BLOCK - 1) / SUM_BLOCK, [&](int c) {
      const int end = std::min(n, (c + 1) * SUM_BLOCK);
      for (int i = c * SUM_BLOCK; i < end; i++)
        body(i);
    });
    return;
  }
  for (int i = 0; i < n; i++)
    body(i);
}

// The M sums over i in [0, n) of the terms that term(i, t) adds into
// t[0..M-1], each as the ordered sum of its sums over blocks of SUM_BLOCK
// consecutive indices, the blocks on the pool's threads: the same values,
// to the bit, on any number of threads, and for n <= SUM_BLOCK the plain
// sums in index order.  term may also write per-index outputs (each i its
// own).
template <int M, class Term>
void blocked_sums(int n, ThreadPool &pool, double *out, const Term &term) {
  const int blocks = (n + SUM_BLOCK - 1) / SUM_BLOCK;
  std::fill(out, out + M, 0.0);
  if (blocks <= 1) {
    for (int i = 0; i < n; i++)
      term(i, out);
    return;
  }
  std::vector<double> part((size_t)blocks * M, 0.0);
  pool.run(blocks, [&](int b) {
    const int end = std::min(n, (b + 1) * SUM_BLOCK);
    for (int i = b * SUM_BLOCK; i < end; i++)
      term(i, &part[(size_t)b * M]);
  });
  for (int b = 0; b < blocks; b++)
    for (int k = 0; k < M; k++)
      out[k] += part[(size_t)b * M + k];
}

// The same for one sum, of the values term(i) returns.
template <class Term> double blocked_sum(int n, ThreadPool &pool, const Term &term) {
  double total;
  blocked_sums<1>(n, pool, &total, [&](int i, double *t) { t[0] += term(i); });
  return total;
}

} // namespace mcar_engine

#endif
