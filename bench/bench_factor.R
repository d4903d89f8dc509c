# What a block update of the fields would cost: the sparse Cholesky
# factorisation of the fields' conditional precision, I_K (x) D - A (x) C
# plus a diagonal standing in for the likelihood's curvature, on the
# synthetic maps (K = 3), by CHOLMOD through Matrix (supernodal, the fill
# reducing ordering computed once and reused, as a sampler would).  One
# factorisation and one solve per proposal is the least such a move needs;
# compare with the time per sweep of bench_maps.R.  Each size is timed for
# the joint precision of the K = 3 fields and for one field's alone (K = 1,
# what a block update of one field given the others needs).
#
#   cd bench && Rscript bench_factor.R [--sizes 3000,10000,30000] [--reps 10]

here <- local({
  f <- sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE))
  if (length(f)) dirname(normalizePath(f)) else "."
})
source(file.path(here, "synthetic_map.R"))
suppressPackageStartupMessages(library(Matrix))
argv <- commandArgs(trailingOnly = TRUE)
sizes <- as.integer(strsplit(option_value(argv, "--sizes", "3000,10000,30000"),
                             ",")[[1]])
reps <- as.integer(option_value(argv, "--reps", "10"))

A3 <- matrix(c(0.985, 0.006, -0.004, 0.006, 0.98, 0.005, -0.004, 0.005, 0.986), 3)
cat(sprintf("%8s %3s %8s %12s %10s %10s\n", "units", "K", "nK", "nnz(L)",
            "factor ms", "solve ms"))
for (n in sizes) {
  C <- methods::as(synthetic_map(n), "CsparseMatrix")
  d <- rowSums(C)
  d[d == 0] <- 1
  for (K in c(1L, 3L)) {
    A <- A3[seq_len(K), seq_len(K), drop = FALSE]
    Q <- kronecker(diag(K), Diagonal(x = d)) - kronecker(A, C) +
      Diagonal(K * n, x = 2)
    Q <- methods::as(forceSymmetric(Q), "CsparseMatrix")
    f <- Cholesky(Q, super = TRUE, LDL = FALSE)
    t0 <- proc.time()[["elapsed"]]
    for (k in seq_len(reps)) f <- update(f, Q)
    factor_ms <- 1000 * (proc.time()[["elapsed"]] - t0) / reps
    b <- stats::rnorm(K * n)
    t0 <- proc.time()[["elapsed"]]
    for (k in seq_len(reps)) x <- solve(f, b, system = "A")
    solve_ms <- 1000 * (proc.time()[["elapsed"]] - t0) / reps
    cat(sprintf("%8d %3d %8d %12d %10.1f %10.1f\n", n, K, K * n,
                length(methods::as(f, "sparseMatrix")@x), factor_ms, solve_ms))
  }
}
