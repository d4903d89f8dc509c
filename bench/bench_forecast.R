# The cost of forecasts of fits over periods, predict(fit, horizon = h):
# per stored draw, K sparse Cholesky factorisations of D - eta_k C (the
# symbolic analysis shared by every draw) and the draws of the innovations
# of h periods.  A short fit of K = 2 outcomes over 3 periods on each
# synthetic map, then the forecast of 1 and of 4 periods; the time per
# stored draw is the median of `--reps` forecasts over the number of draws.
#
#   cd bench && R_LIBS=../build/lib Rscript bench_forecast.R \
#     [--sizes 1000,5000] [--draws 200] [--reps 3]

here <- local({
  f <- sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE))
  if (length(f)) dirname(normalizePath(f)) else "."
})
source(file.path(here, "synthetic_map.R"))
suppressPackageStartupMessages(library(mcar))
future::plan("sequential")
argv <- commandArgs(trailingOnly = TRUE)
sizes <- as.integer(strsplit(option_value(argv, "--sizes", "1000,5000"),
                             ",")[[1]])
draws <- as.integer(option_value(argv, "--draws", "200"))
reps <- as.integer(option_value(argv, "--reps", "3"))

cat(sprintf("%8s %6s %8s %14s\n", "units", "draws", "horizon",
            "ms per draw"))
for (n in sizes) {
  W <- synthetic_map(n)
  set.seed(1)
  T <- 3L; K <- 2L
  E <- array(runif(n * K * T, 5, 25), c(n, K, T),
             list(rownames(W), c("a", "b"), 2001:(2000 + T)))
  Y <- array(rpois(length(E), E), dim(E), dimnames(E))
  fit <- suppressWarnings(suppressMessages(
    mcar_fit(Y, E, W, n_sample = 2L * draws, chains = 1, seed = 1,
             progress = FALSE)))
  S <- nrow(fit$draws$chain1$phi)
  for (h in c(1L, 4L)) {
    t <- vapply(seq_len(reps), function(r) {
      set.seed(r)
      system.time(suppressMessages(predict(fit, horizon = h)))[["elapsed"]]
    }, numeric(1))
    cat(sprintf("%8d %6d %8d %14.2f\n", n, S, h, 1000 * median(t) / S))
  }
}
