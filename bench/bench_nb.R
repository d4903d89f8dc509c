# Negative binomial fits: how well the sizes and the loadings mix, against a
# Poisson fit of the same map, and whether the sizes are recovered.
#
#   cd bench && R_LIBS=../build/lib Rscript bench_nb.R [--sweeps 4000]
#     [--chains 4] [--lib DIR] [--recovery 10] [--recovery-sweeps 2000]
#     [--mixing yes] [--seed 1]
#
# Mixing: the 400-unit synthetic map (bench/synthetic_map.R), K = 2, smooth
# risk surfaces and a covariate, expected counts 10 to 40.  "negbinomial":
# counts drawn with sizes 4 and 10, fitted as negative binomial; "poisson":
# Poisson counts from the same surfaces, fitted as Poisson.  Each row is a
# fresh R process running 4 chains one after another (half burn-in); it
# reports the minimum bulk ESS per second over the sizes and the loadings
# (the loadings alone for the Poisson), and the largest R-hat among them.
# --lib DIR runs the rows against the package installed in DIR as well
# (another build, for a before / after comparison); --seed, the fits' seed.
#
# Recovery: --recovery N data sets simulated from the model itself on the
# same map (fields drawn from the MCAR prior, negative binomial counts with
# sizes 4 and 10), each fitted with 2 chains (with --lib, by both builds);
# counts how often each true size lies inside its 95% interval.

here <- local({
  f <- sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE))
  if (length(f)) dirname(normalizePath(f)) else "."
})
source(file.path(here, "synthetic_map.R"))

SIZES <- c(4, 10)

# Counts on the map from smooth surfaces: negative binomial with SIZES, or
# Poisson.
nb_data <- function(W, family, seed = 1L) {
  set.seed(seed)
  xy <- attr(W, "coords")
  n <- nrow(W)
  x <- sin(xy[, 1] / 15) + cos(xy[, 2] / 20)
  f <- cbind(0.4 * sin(xy[, 1] / 12 + 1) * cos(xy[, 2] / 13),
             0.3 * cos(xy[, 1] / 9) + 0.2 * sin(xy[, 2] / 7 + 2))
  mu <- 0.2 * x + f
  E <- matrix(runif(n * 2L, 10, 40), n)
  m <- E * exp(mu)
  Y <- if (family == "poisson") matrix(rpois(n * 2L, m), n) else
    matrix(rnbinom(n * 2L, size = rep(SIZES, each = n), mu = m), n)
  dimnames(Y) <- dimnames(E) <- list(rownames(W), c("Y1", "Y2"))
  list(Y = Y, E = E, x = x)
}

# Counts simulated from the model: fields from the MCAR prior of W with
# association A, loadings Lambda, negative binomial counts.
model_data <- function(W, seed) {
  set.seed(seed)
  n <- nrow(W); K <- 2L
  Wd <- as.matrix(W)
  d <- rowSums(Wd)
  d[d == 0] <- 1
  A <- diag(c(0.9, 0.6))
  Lambda <- matrix(c(0.4, 0, 0.15, 0.35), 2)
  Q <- kronecker(diag(K), diag(d)) - kronecker(A, Wd)
  phi <- matrix(backsolve(chol(Q), rnorm(n * K)), n, K)
  mu <- matrix(-0.1, n, K) + phi %*% t(Lambda)
  E <- matrix(runif(n * K, 10, 40), n, K)
  Y <- matrix(rnbinom(n * K, size = rep(SIZES, each = n), mu = E * exp(mu)),
              n, K)
  dimnames(Y) <- dimnames(E) <- list(rownames(W), c("Y1", "Y2"))
  list(Y = Y, E = E)
}

if ("--child" %in% argv) {
  load_mcar()
  W <- synthetic_map(400L)
  what <- opt("--data", "negbinomial")
  if (what == "recovery") {
    seed <- as.integer(opt("--seed", 1))
    sweeps <- as.integer(opt("--sweeps", 2000))
    d <- model_data(W, seed)
    fit <- suppressWarnings(suppressMessages(mcar_fit(
      d$Y, d$E, W, family = "negbinomial", n_sample = sweeps, chains = 2,
      seed = seed, progress = FALSE, threads = 1)))
    a <- posterior::as_draws_matrix(fit, variables = "dispersion")
    q <- apply(unclass(a), 2L, quantile, c(0.025, 0.975))
    cat(sprintf("RESULT seed=%d lo_a=%.4g hi_a=%.4g lo_b=%.4g hi_b=%.4g\n", seed,
                q[1, 1], q[2, 1], q[1, 2], q[2, 2]))
    quit(save = "no")
  }
  sweeps <- as.integer(opt("--sweeps", 4000))
  chains <- as.integer(opt("--chains", 4))
  d <- nb_data(W, what)
  t0 <- proc.time()[["elapsed"]]
  fit <- suppressWarnings(suppressMessages(mcar_fit(
    d$Y, d$E, W, covariates = cbind(x = d$x), family = what,
    n_sample = sweeps, chains = chains, seed = as.integer(opt("--seed", 1)),
    progress = FALSE,
    threads = 1)))
  seconds <- proc.time()[["elapsed"]] - t0
  groups <- c("Lambda", if (what == "negbinomial") "dispersion")
  a <- suppressMessages(posterior::as_draws_array(fit, variables = groups))
  s <- posterior::summarise_draws(a, "ess_bulk", "rhat")
  disp <- grepl("^dispersion", s$variable)
  cat(sprintf(paste("RESULT data=%s seconds=%.1f Lambda=%.0f dispersion=%s",
                    "rhat=%.3f\n"), what, seconds,
              min(s$ess_bulk[!disp]),
              if (any(disp)) sprintf("%.0f", min(s$ess_bulk[disp])) else "-",
              max(s$rhat)))
  quit(save = "no")
}

sweeps <- opt("--sweeps", "4000")
chains <- opt("--chains", "4")
lib <- opt("--lib", "")
seed <- opt("--seed", "1")
recovery <- as.integer(opt("--recovery", "10"))
rec_sweeps <- opt("--recovery-sweeps", "2000")
cat(sprintf("400 units, K = 2, sizes %s; %s chains x %s sweeps (half burn-in), sequential\n",
            paste(SIZES, collapse = " and "), chains, sweeps))
cat(sprintf("%-12s %-12s %8s %8s %10s %9s %7s\n", "package", "data",
            "seconds", "Lambda", "dispersion", "ESS/s", "R-hat"))
rows <- list(c("this", "negbinomial"), c("this", "poisson"))
if (nzchar(lib)) rows <- c(list(c(lib, "negbinomial")), rows)
if (opt("--mixing", "yes") != "yes") rows <- list()
for (row in rows) {
  v <- child_result(c(file.path(here, "bench_nb.R"), "--child", "--data",
                      row[2], "--sweeps", sweeps, "--chains", chains,
                      "--seed", seed,
                      if (row[1] != "this") c("--lib", row[1])))
  if (is.null(v)) {
    cat(sprintf("%-12s %-12s failed\n", basename(row[1]), row[2]))
    next
  }
  ess <- suppressWarnings(as.numeric(c(v[["Lambda"]], v[["dispersion"]])))
  cat(sprintf("%-12s %-12s %8s %8s %10s %9.2f %7s\n", basename(row[1]),
              row[2], v[["seconds"]], v[["Lambda"]], v[["dispersion"]],
              min(ess, na.rm = TRUE) / as.numeric(v[["seconds"]]),
              v[["rhat"]]))
}
if (recovery > 0) {
  for (pkg in c(if (nzchar(lib)) lib, "this")) {
    cat(sprintf("\nRecovery (%s): %d data sets from the model, 2 chains x %s sweeps each\n",
                basename(pkg), recovery, rec_sweeps))
    inside <- c(0, 0)
    for (set in seq_len(recovery)) {
      v <- child_result(c(file.path(here, "bench_nb.R"), "--child", "--data",
                          "recovery", "--seed", set, "--sweeps", rec_sweeps,
                          if (pkg != "this") c("--lib", pkg)))
      if (is.null(v)) {
        cat(sprintf("  seed %2d failed\n", set))
        next
      }
      q <- as.numeric(v[c("lo_a", "hi_a", "lo_b", "hi_b")])
      hit <- c(q[1] <= SIZES[1] && SIZES[1] <= q[2],
               q[3] <= SIZES[2] && SIZES[2] <= q[4])
      inside <- inside + hit
      cat(sprintf("  seed %2d  size 1: [%7.3g, %7.3g]%s  size 2: [%7.3g, %7.3g]%s\n",
                  set, q[1], q[2], if (hit[1]) "" else " *", q[3], q[4],
                  if (hit[2]) "" else " *"))
    }
    cat(sprintf("true size inside its 95%% interval: %d / %d (size %g), %d / %d (size %g)\n",
                inside[1], recovery, SIZES[1], inside[2], recovery, SIZES[2]))
  }
}
cat("\nrerun: cd bench && R_LIBS=../build/lib Rscript bench_nb.R --sweeps",
    sweeps, "--chains", chains, if (nzchar(lib)) c("--lib", lib),
    if (seed != "1") c("--seed", seed),
    "--recovery", recovery, "--recovery-sweeps", rec_sweeps, "\n")
