# Effects of units with very large counts under the Newton proposals: a
# synthetic map (bench/synthetic_map.R, K = 3, a covariate) on which a dozen
# units have 300 times the expected counts of the others, fitted with 4
# chains at the defaults.  Reports the smallest acceptance rate of any
# effect in any chain (and of the hot units' effects), how many effects
# accept under 5% of their proposals in some chain, the hot units' risks'
# largest R-hat and smallest bulk ESS (over the stored draws), whether the
# fit warned, and the wall time (of the fit alone).  --all yes adds the
# largest R-hat and smallest bulk ESS over every unit's risks (slow).
#
#   cd bench && R_LIBS=../build/lib Rscript bench_hot.R [--n 3000] [--hot 12]
#     [--factor 300] [--sweeps 4000] [--chains 4] [--threads 1] [--seed 2]
#     [--all no]

here <- local({
  f <- sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE))
  if (length(f)) dirname(normalizePath(f)) else "."
})
source(file.path(here, "synthetic_map.R"))

suppressPackageStartupMessages(library(mcar))
future::plan("sequential")
n <- as.integer(opt("--n", 3000))
n_hot <- as.integer(opt("--hot", 12))
factor <- as.numeric(opt("--factor", 300))
sweeps <- as.integer(opt("--sweeps", 4000))
chains <- as.integer(opt("--chains", 4))
threads <- as.integer(opt("--threads", 1))
seed <- as.integer(opt("--seed", 2))

W <- synthetic_map(n)
# Hot units spread evenly over the map, none of them an island.
hot <- setdiff(round(seq(n / (2 * n_hot), n, length.out = n_hot)),
               attr(W, "islands"))
d <- bench_data(W, K = 3, hot = hot, factor = factor)
cat(sprintf("map: %d units, K = 3; %d hot units (expected counts x %g: %s)\n",
            n, length(hot), factor, paste(rownames(W)[hot], collapse = " ")))
cat(sprintf("hot units' counts: median %.0f, largest %.0f (others: median %.0f)\n",
            median(d$Y[hot, ]), max(d$Y[hot, ]), median(d$Y[-hot, ])))

warned <- character()
t0 <- proc.time()[["elapsed"]]
fit <- withCallingHandlers(
  mcar_fit(d$Y, d$E, W, covariates = cbind(x = d$x), n_sample = sweeps,
           chains = chains, seed = seed, progress = FALSE, threads = threads),
  warning = function(w) {
    warned <<- c(warned, conditionMessage(w))
    invokeRestart("muffleWarning")
  },
  message = function(m) invokeRestart("muffleMessage"))
seconds <- proc.time()[["elapsed"]] - t0

acc <- sapply(fit$acceptance, function(a) as.vector(a$phi)) # cells x chains
cell_min <- apply(acc, 1L, min)
K <- ncol(d$Y)
hot_cells <- as.vector(outer(hot, n * (seq_len(K) - 1L), `+`))
frozen <- which(cell_min < 0.05)
cat(sprintf("effects' acceptance, smallest over the chains: min %.3f (hot units %.3f), median %.3f\n",
            min(cell_min), min(cell_min[hot_cells]), median(cell_min)))
cat(sprintf("effects under 5%% in some chain: %d (of them hot units' %d)\n",
            length(frozen), sum(frozen %in% hot_cells)))
if (length(frozen)) {
  i <- (frozen - 1L) %% n + 1L
  r <- (frozen - 1L) %/% n + 1L
  cat("  ", paste(sprintf("%s/Y%d (%s)", rownames(W)[i], r,
                          apply(acc[frozen, , drop = FALSE], 1L, function(a)
                            paste(sprintf("%.3f", a), collapse = " "))),
                  collapse = "; "), "\n", sep = "")
}
sc <- sapply(fit$scales, function(s) as.vector(s$phi))
cat(sprintf("tuned Newton scales: min %.3g (hot units %.3g), median %.3g\n",
            min(sc), min(sc[hot_cells, ]), median(sc)))

vars <- sprintf("rr[%d,%d]", rep(hot, K), rep(seq_len(K), each = length(hot)))
arr <- posterior::as_draws_array(fit, variables = vars)
s <- posterior::summarise_draws(arr, "rhat", "ess_bulk")
cat(sprintf("hot units' risks (%d stored draws per chain): max R-hat %.3f, min bulk ESS %.0f\n",
            dim(arr)[1L], max(s$rhat), min(s$ess_bulk)))
if (identical(opt("--all", "no"), "yes")) {
  all_rr <- posterior::summarise_draws(
    posterior::as_draws_array(fit, variables = "rr"), "rhat", "ess_bulk")
  cat(sprintf("all risks: max R-hat %.3f, min bulk ESS %.0f\n",
              max(all_rr$rhat), min(all_rr$ess_bulk)))
}
cat(sprintf("warning: %s\n", if (length(warned))
  paste(warned, collapse = " | ") else "none"))
cat(sprintf("wall time: %.0f s (%d chains x %d sweeps, %d thread%s)\n", seconds,
            chains, sweeps, threads, if (threads == 1L) "" else "s"))
cat(sprintf(paste("RESULT n=%d hot=%d min_acc=%.3f min_acc_hot=%.3f",
                  "under5=%d rhat_hot=%.3f ess_hot=%.0f seconds=%.0f\n"),
            n, length(hot), min(cell_min), min(cell_min[hot_cells]),
            length(frozen), max(s$rhat), min(s$ess_bulk), seconds))
