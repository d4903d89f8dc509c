# The general engine against the fixed-size .C entry "mcar" on the bundled
# data (87 Minnesota counties, K = 3, intercept only): time per sweep,
# effective sample size per second over four chains, and how the engine's
# time and memory grow with the number of units.  See bench/README.md for
# what each figure means.
#
#   make bench                                     (from the repository root)
#   cd bench && R_LIBS=../build/lib Rscript bench_engine.R \
#     [--native ./bench_sweep] [--reps 5] [--log DIR]
#
# Chains run one after the other (future plan "sequential").  Every time is
# the median of --reps repetitions; the machine is shared, so expect a few
# per cent of noise.  The draws themselves do not change between
# repetitions (fixed seeds), so neither do the effective sample sizes.

suppressPackageStartupMessages({
  library(mcar)
  library(Matrix)
})

# ---- options ------------------------------------------------------------------

argv <- commandArgs(trailingOnly = TRUE)
opt <- function(name, default) {
  at <- match(name, argv)
  if (is.na(at) || at == length(argv)) default else argv[[at + 1L]]
}
script <- sub("^--file=", "", grep("^--file=", commandArgs(), value = TRUE)[1L])
script <- normalizePath(script)
root <- normalizePath(file.path(dirname(script), ".."))
REPS <- as.integer(opt("--reps", "5"))
NATIVE <- opt("--native", file.path(root, "bench", "bench_sweep"))
LOG_DIR <- opt("--log", file.path(root, "build", "bench"))
LONG_SWEEPS <- 20000L           # one long call, nothing kept
N_SAMPLE <- 4000L; BURNIN <- 2000L; CHAINS <- 4L; SEED <- 1L
MEM_N_SAMPLE <- 2000L; MEM_BURNIN <- 1000L

ns <- asNamespace("mcar")

now <- function() proc.time()[["elapsed"]]
seconds_of <- function(expr) {
  t0 <- now()
  force(expr)
  now() - t0
}
med <- function(x) stats::median(x)

vm_kb <- function(field) {
  line <- grep(paste0("^", field, ":"), readLines("/proc/self/status"),
               value = TRUE)
  as.numeric(sub("^[^0-9]*([0-9]+).*$", "\\1", line))
}

# ---- a synthetic planar map: rook grid, simulated counts with E ~ 20 -----------

grid_data <- function(rows, cols, K = 3L, seed = 20) {
  set.seed(seed)
  n <- rows * cols
  id <- function(r, c) (r - 1L) * cols + c
  ij <- rbind(
    cbind(id(rep(1:rows, each = cols - 1L), rep(1:(cols - 1L), rows)),
          id(rep(1:rows, each = cols - 1L), rep(2:cols, rows))),
    cbind(id(rep(1:(rows - 1L), each = cols), rep(1:cols, rows - 1L)),
          id(rep(2:rows, each = cols), rep(1:cols, rows - 1L))))
  W <- sparseMatrix(i = c(ij[, 1], ij[, 2]), j = c(ij[, 2], ij[, 1]),
                    x = 1, dims = c(n, n))
  x <- rep(seq_len(cols), rows) / cols
  y <- rep(seq_len(rows), each = cols) / rows
  s1 <- sin(2 * pi * x) * cos(2 * pi * y)
  s2 <- cos(3 * x + 2 * y)
  mu <- cbind(0.3 * s1, 0.2 * s1 + 0.2 * s2, 0.25 * s2 - 0.1 * s1) +
    matrix(rnorm(n * K, 0, 0.1), n, K)
  E <- matrix(stats::runif(n * K, 10, 30), n, K)
  Y <- matrix(stats::rpois(n * K, E * exp(mu)), n, K)
  colnames(Y) <- paste0("Y", 1:K)
  colnames(E) <- paste0("E", 1:K)
  list(Y = Y, E = E, W = W, n = n)
}

# Memory of one fit of the n = 3000 size, in a fresh R process so that its
# peak resident size is that of the fit alone.  With "map", only the
# checking and preparing of the map (sparse factorisations for the prior's
# log-determinant) is run, to tell how much of the peak is set-up.
if ("--memory-child" %in% argv) {
  future::plan("sequential")
  g <- grid_data(50, 60)
  gc()
  rss0 <- vm_kb("VmRSS")
  # Resets the peak resident size to the current one (Linux), so that
  # VmHWM afterwards is the peak during what follows.
  reset <- isTRUE(tryCatch({
    cat("5", file = "/proc/self/clear_refs")
    TRUE
  }, error = function(e) FALSE))
  if ("map" %in% argv) {
    t <- seconds_of(m <- ns$.prepare_map(ns$.check_map(g$W), quiet = TRUE))
    size <- as.numeric(utils::object.size(m))
    chain <- 0
  } else {
    t <- seconds_of(fit <- suppressWarnings(mcar_fit(
      g$Y, g$E, g$W, n_sample = MEM_N_SAMPLE, burnin = MEM_BURNIN,
      chains = 1, thin = 1, seed = 1, progress = FALSE)))
    size <- as.numeric(utils::object.size(fit))
    chain <- sum(fit$chain_seconds)
  }
  cat(sprintf("object_size=%.0f vmhwm_kb=%.0f vmrss0_kb=%.0f reset=%d seconds=%.3f chain_seconds=%.3f\n",
              size, vm_kb("VmHWM"), rss0, as.integer(reset), t, chain))
  quit(save = "no")
}

future::plan("sequential")
dir.create(LOG_DIR, recursive = TRUE, showWarnings = FALSE)
started <- now()
warnings_seen <- character()
quietly <- function(expr) withCallingHandlers(expr, warning = function(w) {
  warnings_seen <<- c(warnings_seen, conditionMessage(w))
  invokeRestart("muffleWarning")
})

sim <- minnesota_simulated()
W <- minnesota_adjacency()
Ycols <- c("Y1", "Y2", "Y3"); Ecols <- c("N1", "N2", "N3")
fit_bundled <- function() {
  quietly(mcar_fit(sim[, Ycols], sim[, Ecols], W, n_sample = N_SAMPLE,
                   burnin = BURNIN, chains = CHAINS, seed = SEED,
                   progress = FALSE))
}

# ---- the engine: one long .Call from a tuned state ----------------------------

# The engine's four inputs for chain 1 of a fit, continuing from its last
# state with its tuned scales (as mcar_fit would pass them).
engine_inputs <- function(fit) {
  list(data = ns$.engine_data(fit$counts, fit$expected, fit$X, fit$map,
                              fit$prior),
       state = ns$.engine_state(fit$last_state[[1]], fit$last_state[[1]]$rng),
       scales = ns$.engine_scales(fit$scales[[1]]))
}

engine_long_call <- function(inp, sweeps) {
  control <- list(sweeps = as.integer(sweeps), thin = as.integer(sweeps) + 1L,
                  offset = 0L, unit_thin = 1L, accumulate = FALSE)
  gc()
  seconds_of(.Call(ns$mcar_engine_run, inp$data, inp$state, inp$scales,
                   control))
}

# ---- the entry: .C with the console sunk to a file ----------------------------

ext <- system.file("extdata", package = "mcar")
eig <- scan(file.path(ext, "eigen.txt"), quiet = TRUE)
entry_wd <- file.path(tempdir(), "entry")
dir.create(entry_wd, showWarnings = FALSE)
invisible(file.copy(file.path(ext, c("neighbor1.txt", "neighbor2.txt")),
                    entry_wd, overwrite = TRUE))
console_file <- file.path(LOG_DIR, "entry-console.txt")

# Starting values as lists with beta (3), phi (87 x 3), lamda (6, packed
# upper triangle row by row), eta (3), theta (3).
entry_args <- function(start, scales, nstart, nend) {
  m <- nend - nstart
  z <- function(n) double(n)
  list(beta_f = z(3 * m), phi1_f = z(87 * m), phi2_f = z(87 * m),
       phi3_f = z(87 * m), alpha_f = z(6 * m), lamda_f = z(6 * m),
       Y10 = as.double(sim$Y1), N10 = as.double(sim$N1),
       Y20 = as.double(sim$Y2), N20 = as.double(sim$N2),
       Y30 = as.double(sim$Y3), N30 = as.double(sim$N3),
       beta0 = as.double(start$beta), phi10 = as.double(start$phi[, 1]),
       phi20 = as.double(start$phi[, 2]), phi30 = as.double(start$phi[, 3]),
       lamda0 = as.double(start$lamda), eta0 = as.double(start$eta),
       theta0 = as.double(start$theta), eigen10 = eig,
       nstart = as.integer(nstart), nend = as.integer(nend),
       count1 = integer(3), count2 = integer(87), count3 = integer(87),
       count4 = integer(87), count5 = integer(2), count6 = integer(2),
       betascale = scales$beta, phi1scale = scales$phi[, 1],
       phi2scale = scales$phi[, 2], phi3scale = scales$phi[, 3],
       lamscale1 = scales$lam1, lamscale2 = scales$lam2,
       etascale = scales$eta, thetascale = scales$theta,
       beta_m = z(3), phi1_m = z(87), phi2_m = z(87), phi3_m = z(87),
       alpha_m = z(6), lamda_m = z(6), p1_m = z(87), p2_m = z(87),
       p3_m = z(87), Dbar = 0, Dtheta = 0)
}

# One .C call as an R user must make it: in a directory holding the
# neighbour files, its three lines per sweep sunk to a file.  Returns the
# result and the seconds of the call.
run_entry <- function(args, seed) {
  old <- setwd(entry_wd)
  on.exit(setwd(old))
  set.seed(seed)
  gc()
  sink(console_file)
  t0 <- now()
  res <- tryCatch(do.call(.C, c(list("mcar"), args, list(PACKAGE = "mcar"))),
                  finally = sink())
  list(res = res, seconds = now() - t0)
}

entry_rates <- function(res) {
  m <- res$nend - res$nstart
  list(beta = res$count1 / m,
       phi = cbind(res$count2, res$count3, res$count4) / m,
       lam1 = res$count5[1] / m, lam2 = res$count5[2] / m,
       eta = res$count6[1] / m, theta = res$count6[2] / m)
}

# A pilot for the entry's proposal scales, engine-free: pieces of 1000
# sweeps from the same start, rates over the last 500, each scale moved by
# qnorm(target / 2) / qnorm(rate / 2) (within a factor 2), the one-
# coordinate steps (intercepts, effects) aiming at 0.44 and the three-
# coordinate blocks (loadings, eigenvalues, angles) at 0.3.
tune_entry <- function(start, rounds = 8L) {
  sc <- list(beta = rep(0.02, 3), phi = matrix(0.4, 87, 3),
             lam1 = rep(0.05, 3), lam2 = rep(0.05, 3), eta = rep(0.3, 3),
             theta = rep(0.3, 3))
  factor <- function(rate, target) {
    rate <- pmin(pmax(rate, 0.02), 0.98)
    pmin(pmax(stats::qnorm(target / 2) / stats::qnorm(rate / 2), 0.5), 2)
  }
  for (k in seq_len(rounds)) {
    r <- entry_rates(run_entry(entry_args(start, sc, 500L, 1000L),
                               seed = 1000L + k)$res)
    sc$beta <- sc$beta * factor(r$beta, 0.44)
    sc$phi <- sc$phi * factor(r$phi, 0.44)
    sc$lam1 <- sc$lam1 * factor(r$lam1, 0.3)
    sc$lam2 <- sc$lam2 * factor(r$lam2, 0.3)
    sc$eta <- sc$eta * factor(r$eta, 0.3)
    sc$theta <- sc$theta * factor(r$theta, 0.3)
  }
  sc
}

# Starting values of the entry from those of an engine chain.
entry_start <- function(init) {
  L <- init$Lambda
  list(beta = as.vector(init$beta), phi = init$phi,
       lamda = c(L[1, 1], L[1, 2], L[1, 3], L[2, 2], L[2, 3], L[3, 3]),
       eta = init$eta, theta = init$theta)
}

# ---- effective sample sizes -----------------------------------------------------

# Draws of one chain in a common form: matrices (kept sweeps x variables)
# for beta, Lambda, A and rr.
engine_chain <- function(d, n = 87L, K = 3L) {
  L <- function(r, c) d$Lambda[, sprintf("Lambda[%d,%d]", r, c)]
  phi <- function(c) d$phi[, (c - 1L) * n + seq_len(n)]
  rr <- do.call(cbind, lapply(seq_len(K), function(r) {
    mu <- matrix(d$beta[, r], nrow(d$beta), n)
    for (c in r:K) mu <- mu + L(r, c) * phi(c)
    exp(mu)
  }))
  list(beta = d$beta, Lambda = d$Lambda, A = d$A, rr = rr)
}

entry_chain <- function(res) {
  m <- res$nend - res$nstart
  ch <- function(name, k) matrix(res[[name]], nrow = m, ncol = k)
  b <- ch("beta_f", 3); l <- ch("lamda_f", 6)
  p1 <- ch("phi1_f", 87); p2 <- ch("phi2_f", 87); p3 <- ch("phi3_f", 87)
  rr1 <- exp(b[, 1] + l[, 1] * p1 + l[, 2] * p2 + l[, 3] * p3)
  rr2 <- exp(b[, 2] + l[, 4] * p2 + l[, 5] * p3)
  rr3 <- exp(b[, 3] + l[, 6] * p3)
  list(beta = b, Lambda = l, A = ch("alpha_f", 6), rr = cbind(rr1, rr2, rr3))
}

# Bulk ESS and R-hat of every variable over the chains, by group.
ess_by_group <- function(chains) {
  out <- list()
  for (g in names(chains[[1]])) {
    V <- ncol(chains[[1]][[g]])
    ess <- rhat <- numeric(V)
    for (j in seq_len(V)) {
      x <- vapply(chains, function(ch) ch[[g]][, j], numeric(nrow(chains[[1]][[g]])))
      ess[j] <- posterior::ess_bulk(x)
      rhat[j] <- posterior::rhat(x)
    }
    out[[g]] <- list(ess = ess, rhat = rhat)
  }
  out
}

min_ess <- function(e) {
  m <- vapply(e, function(g) min(g$ess), numeric(1))
  list(by_group = m, overall = min(m), which = names(m)[which.min(m)],
       rhat = max(vapply(e, function(g) max(g$rhat), numeric(1))))
}

# =================================================================================
# runs
# =================================================================================

cat(sprintf("running (%d interleaved repetitions of every timing) ...\n", REPS))

# A first fit, untimed: R's byte compiler does its work here, and it gives
# the starting values (the entry's chains start where the engine's do), the
# draws for the effective sample sizes and the tuned state for the long
# engine calls.
fit <- fit_bundled()
bundled_warnings <- warnings_seen
eng_ess <- min_ess(ess_by_group(lapply(fit$draws, engine_chain)))
eng_acc <- Reduce(`+`, lapply(fit$acceptance, function(a)
  c(beta = mean(a$beta), phi = mean(a$phi), Lambda = mean(a$lambda),
    eta = mean(a$eta), theta = mean(a$theta)))) / CHAINS
inp <- engine_inputs(fit)

starts <- lapply(fit$init, entry_start)
pilot_seconds <- seconds_of(esc <- tune_entry(starts[[1]]))
run_entry_chains <- function(sc = esc) lapply(seq_len(CHAINS), function(k)
  run_entry(entry_args(starts[[k]], sc, BURNIN, N_SAMPLE), seed = 100L + k))
entry_first <- run_entry_chains()
# For comparison, the untuned scales the entry's tests use.
fixed_scales <- list(beta = rep(0.03, 3), phi = matrix(0.3, 87, 3),
                     lam1 = rep(0.05, 3), lam2 = rep(0.05, 3),
                     eta = rep(0.2, 3), theta = rep(0.2, 3))
fixed_ess <- min_ess(ess_by_group(lapply(run_entry_chains(fixed_scales),
                                         function(r) entry_chain(r$res))))
ent_ess <- min_ess(ess_by_group(lapply(entry_first, function(r) entry_chain(r$res))))
ent_acc <- Reduce(`+`, lapply(entry_first, function(r) {
  a <- entry_rates(r$res)
  c(beta = mean(a$beta), phi = mean(a$phi), Lambda = (a$lam1 + a$lam2) / 2,
    eta = a$eta, theta = a$theta)
})) / CHAINS
long_args <- entry_args(starts[[1]], esc, LONG_SWEEPS - 1L, LONG_SWEEPS)

# The synthetic maps, each with a short tuning fit whose scales and state
# the timed calls continue from.
grids <- lapply(list(c(10L, 10L), c(50L, 60L)), function(rc) {
  g <- grid_data(rc[1], rc[2])
  f <- suppressWarnings(mcar_fit(g$Y, g$E, g$W, n_sample = 1000, burnin = 800,
                                 chains = 1, seed = 3, progress = FALSE))
  list(n = g$n, grid = sprintf("%dx%d", rc[1], rc[2]), inp = engine_inputs(f),
       sweeps = max(500L, as.integer(round(2e6 / g$n))))
})

# Timings, one repetition of each in turn.
times <- matrix(NA_real_, REPS, 9, dimnames = list(NULL, c(
  "fit_wall", "fit_chains", "entry_chains", "entry_fixed", "engine_long",
  "entry_long", "grid_small", "grid_large", "same")))
for (i in seq_len(REPS)) {
  gc()
  f <- fit_bundled()
  er <- run_entry_chains()
  times[i, "fit_wall"] <- f$seconds
  times[i, "fit_chains"] <- sum(f$chain_seconds)
  times[i, "entry_chains"] <- sum(vapply(er, `[[`, numeric(1), "seconds"))
  times[i, "same"] <- identical(f$draws, fit$draws) &&
    identical(lapply(er, `[[`, "res"), lapply(entry_first, `[[`, "res"))
  rm(f, er)
  times[i, "entry_fixed"] <- sum(vapply(run_entry_chains(fixed_scales), `[[`,
                                        numeric(1), "seconds"))
  times[i, "engine_long"] <- engine_long_call(inp, LONG_SWEEPS)
  times[i, "entry_long"] <- run_entry(long_args, 7L)$seconds
  times[i, "grid_small"] <- engine_long_call(grids[[1]]$inp, grids[[1]]$sweeps)
  times[i, "grid_large"] <- engine_long_call(grids[[2]]$inp, grids[[2]]$sweeps)
}
console_lines <- length(readLines(console_file))
scaling <- lapply(seq_along(grids), function(k) {
  g <- grids[[k]]
  list(n = g$n, grid = g$grid, sweeps = g$sweeps,
       us = med(times[, c("grid_small", "grid_large")[k]]) / g$sweeps * 1e6)
})
names(scaling) <- c("small", "large")

# -- the entry in the native benchmark (embedded R, console to a file) --
native_us <- NA_real_
native_log <- file.path(LOG_DIR, "bench_sweep.txt")
if (file.exists(NATIVE)) {
  out <- system2(NATIVE, c(root, "5000", as.character(REPS)), stdout = TRUE,
                 stderr = TRUE, env = paste0("R_HOME=", R.home()))
  writeLines(out, native_log)
  hit <- grep("neighbour sums over nonzero C", out, value = TRUE)
  if (length(hit)) native_us <- as.numeric(sub(".*:\\s*([0-9.]+) us.*", "\\1", hit))
  # Its console file is large and of no further use.
  tmp <- regmatches(out[1], regexpr("/tmp/mcar-bench-[A-Za-z0-9]+", out[1]))
  if (length(tmp)) unlink(tmp, recursive = TRUE)
}

# -- memory of an n = 3000 fit, in fresh R processes --
memory_child <- function(...) {
  out <- system2(file.path(R.home("bin"), "Rscript"),
                 c(shQuote(script), "--memory-child", ...), stdout = TRUE,
                 stderr = TRUE, env = paste0("R_LIBS=", Sys.getenv("R_LIBS")))
  hit <- grep("^object_size=", out, value = TRUE)
  if (!length(hit)) return(structure(list(), output = out))
  kv <- strsplit(strsplit(hit, " ")[[1]], "=")
  setNames(as.list(as.numeric(vapply(kv, `[`, "", 2))), vapply(kv, `[`, "", 1))
}
mem <- memory_child()
mem_map <- memory_child("map")

# =================================================================================
# the table
# =================================================================================

total <- now() - started
tm <- function(col) med(times[, col])
# Ratios within each repetition (both sides timed back to back), then their
# median and range.
per_rep <- function(a, b) {
  r <- times[, a] / times[, b]
  sprintf("%.2f (%.2f-%.2f)", med(r), min(r), max(r))
}
n_sweeps_fit <- CHAINS * N_SAMPLE
us_eng_long <- tm("engine_long") / LONG_SWEEPS * 1e6
us_ent_long <- tm("entry_long") / LONG_SWEEPS * 1e6
us_fit_wall <- tm("fit_wall") / n_sweeps_fit * 1e6
us_fit_chains <- tm("fit_chains") / n_sweeps_fit * 1e6
us_ent_fit <- tm("entry_chains") / n_sweeps_fit * 1e6
sec_eng <- tm("fit_chains")
sec_ent <- tm("entry_chains")
esps_eng <- eng_ess$overall / sec_eng
esps_ent <- ent_ess$overall / sec_ent

line <- function(...) cat(sprintf(...), "\n", sep = "")
rule <- function() cat(strrep("-", 88), "\n", sep = "")
row3 <- function(label, a, b, c = "")
  line("  %-46s %13s %13s %11s", label, a, b, c)
f1 <- function(x, d = 1) if (is.na(x)) "-" else formatC(x, format = "f", digits = d)
f0 <- function(x) if (is.na(x)) "-" else
  formatC(x, format = "f", digits = 0, big.mark = ",")
ratio <- function(a, b) if (is.na(a) || is.na(b)) "" else sprintf("%.2fx", a / b)
scales_text <- function(x, d = 3) paste(formatC(x, format = "f", digits = d),
                                        collapse = " ")

cat("\n")
rule()
line("mcar: the engine (.Call mcar_engine_run, mcar_fit) against the .C entry \"mcar\"")
line("bundled data: 87 Minnesota counties, K = 3, intercept only; future plan sequential")
line("%s on %s; every time is the median of %d", R.version.string,
     Sys.info()[["nodename"]], REPS)
line("repetitions, engine and entry timed back to back (2 shared cores: expect noise)")
rule()
row3("1. time per sweep (us)", "engine", "entry", "entry/eng.")
row3(sprintf("one long call of %d sweeps, nothing kept", LONG_SWEEPS),
     f1(us_eng_long), f1(us_ent_long), ratio(us_ent_long, us_eng_long))
row3("  engine: .Call mcar_engine_run from a tuned", "", "", "")
row3("  state; entry: .C, console sunk to a file", "", "", "")
row3(sprintf("as a user runs %d chains x %d sweeps", CHAINS, N_SAMPLE),
     f1(us_fit_chains), f1(us_ent_fit), ratio(us_ent_fit, us_fit_chains))
row3("  engine: mcar_fit's chains; entry: 4 x .C", "", "", "")
row3("  engine: the whole mcar_fit call", f1(us_fit_wall), "", "")
row3("native, embedded R, console to a file", "", f1(native_us, 1), "")
row3("  (bench_sweep, 5000 sweeps, all stored)", "", "", "")
row3("sweeps per second, long call", f0(1e6 / us_eng_long),
     f0(1e6 / us_ent_long), "")
rule()
row3(sprintf("2. efficiency, %d chains x (%d + %d kept)", CHAINS, BURNIN,
             N_SAMPLE - BURNIN), "engine", "entry", "eng./entry")
for (g in c("beta", "Lambda", "A", "rr")) {
  row3(sprintf("min bulk ESS, %s (%d variables)", g,
               switch(g, beta = 3L, Lambda = 6L, A = 6L, rr = 261L)),
       f0(eng_ess$by_group[[g]]), f0(ent_ess$by_group[[g]]),
       ratio(eng_ess$by_group[[g]], ent_ess$by_group[[g]]))
}
row3("min bulk ESS over all 276 (its group)",
     sprintf("%s %s", f0(eng_ess$overall), eng_ess$which),
     sprintf("%s %s", f0(ent_ess$overall), ent_ess$which),
     ratio(eng_ess$overall, ent_ess$overall))
row3("max R-hat over the same variables", f1(eng_ess$rhat, 3),
     f1(ent_ess$rhat, 3), "")
row3("sampling seconds (4 chains, burn-in incl.)", f1(sec_eng, 3),
     f1(sec_ent, 3), "")
row3("min bulk ESS per second", f0(esps_eng), f0(esps_ent),
     ratio(esps_eng, esps_ent))
for (g in c("beta", "Lambda", "A", "rr")) {
  row3(sprintf("  by group: %s", g), f0(eng_ess$by_group[[g]] / sec_eng),
       f0(ent_ess$by_group[[g]] / sec_ent),
       ratio(eng_ess$by_group[[g]] / sec_eng, ent_ess$by_group[[g]] / sec_ent))
}
row3("  engine: seconds of the whole mcar_fit call",
     f0(eng_ess$overall / tm("fit_wall")), "",
     ratio(eng_ess$overall / tm("fit_wall"), esps_ent))
row3("entry with the untuned scales of its tests:", "", "", "")
row3("  (beta 0.03, phi 0.3, lam 0.05, eta/theta 0.2)", "", "", "")
row3("  min bulk ESS over all 276 (its group)", "",
     sprintf("%s %s", f0(fixed_ess$overall), fixed_ess$which),
     ratio(eng_ess$overall, fixed_ess$overall))
row3("  min bulk ESS per second", "", f0(fixed_ess$overall / tm("entry_fixed")),
     ratio(esps_eng, fixed_ess$overall / tm("entry_fixed")))
row3("sweeps per second, sampling", f0(n_sweeps_fit / sec_eng),
     f0(n_sweeps_fit / sec_ent), "")
row3("acceptance, kept: beta / phi / Lambda",
     sprintf("%.2f/%.2f/%.2f", eng_acc[["beta"]], eng_acc[["phi"]],
             eng_acc[["Lambda"]]),
     sprintf("%.2f/%.2f/%.2f", ent_acc[["beta"]], ent_acc[["phi"]],
             ent_acc[["Lambda"]]), "")
row3("acceptance, kept: eta / theta",
     sprintf("%.2f/%.2f", eng_acc[["eta"]], eng_acc[["theta"]]),
     sprintf("%.2f/%.2f", ent_acc[["eta"]], ent_acc[["theta"]]), "")
line("  entry scales, from a pilot of 8 x 1000 sweeps (%.2f s, not in the seconds",
     pilot_seconds)
line("  above): betascale %s; phi scales median %.2f (%.2f-%.2f);",
     scales_text(esc$beta, 4), med(esc$phi), min(esc$phi), max(esc$phi))
line("  lamscale1 %s; lamscale2 %s;", scales_text(esc$lam1),
     scales_text(esc$lam2))
line("  etascale %s; thetascale %s", scales_text(esc$eta),
     scales_text(esc$theta))
rule()
row3("3. engine scaling (K = 3, p = 1, rook grid)",
     sprintf("n = %d", scaling$small$n), sprintf("n = %d", scaling$large$n),
     "ratio")
row3("grid; sweeps per timed call",
     sprintf("%s; %d", scaling$small$grid, scaling$small$sweeps),
     sprintf("%s; %d", scaling$large$grid, scaling$large$sweeps), "")
row3("time per sweep (us)", f1(scaling$small$us), f1(scaling$large$us),
     ratio(scaling$large$us, scaling$small$us))
row3("time per sweep per unit (us)", f1(scaling$small$us / scaling$small$n, 3),
     f1(scaling$large$us / scaling$large$n, 3),
     ratio(scaling$large$us / scaling$large$n,
           scaling$small$us / scaling$small$n))
row3("  bundled map, for comparison (n = 87)", f1(us_eng_long / 87, 3), "", "")
if (length(mem) && length(mem_map)) {
  line("  memory of an n = 3000 fit (mcar_fit, n_sample %d, burnin %d, 1 chain,",
       MEM_N_SAMPLE, MEM_BURNIN)
  line("  thin 1, W a sparse Matrix; in a fresh R process):")
  mline <- function(label, mb, note = "")
    line("    %-44s %8.1f MB%s", label, mb, note)
  mline("object.size(fit)", mem[["object_size"]] / 2^20)
  mline(sprintf("peak RSS %s (VmHWM)",
                if (mem[["reset"]] == 1) "during the fit" else "of the process"),
        mem[["vmhwm_kb"]] / 1024)
  mline("RSS before the fit (R, packages, data)", mem[["vmrss0_kb"]] / 1024)
  mline("peak RSS, the map's check alone", mem_map[["vmhwm_kb"]] / 1024,
        sprintf(" (%.1f s)", mem_map[["seconds"]]))
  line("    seconds: the whole fit %.1f, of which its chain %.1f",
       mem[["seconds"]], mem[["chain_seconds"]])
} else {
  line("  memory: a child R process failed:")
  cat(paste0("    ", c(attr(mem, "output"), attr(mem_map, "output"))), sep = "\n")
}
rule()
line("checks:")
line("  engine at most half the entry's time per sweep (long calls): %s;",
     if (us_ent_long / us_eng_long >= 2) "yes" else "NO")
line("    entry/engine per repetition: %s", per_rep("entry_long", "engine_long"))
line("    as a user runs 4 chains: %s", per_rep("entry_chains", "fit_chains"))
line("  engine min ESS/s at least 5x the entry's: %s (%.1fx)",
     if (esps_eng / esps_ent >= 5) "yes" else "NO", esps_eng / esps_ent)
line("  repeated fits and entry runs gave identical draws: %s",
     if (all(times[, "same"] == 1)) "yes" else "NO")
line("  entry console: %d lines in the last long call (3 per sweep), sunk to",
     console_lines)
line("    %s", console_file)
if (length(bundled_warnings)) {
  line("  warnings from the bundled fit:")
  for (w in unique(bundled_warnings)) cat(paste0("    ", strwrap(w, 80)), sep = "\n")
}
rule()
line("rerun: make bench            (root; installs into build/lib, builds bench_sweep)")
line("       make -C bench run REPS=%d   (against what build/lib holds)", REPS)
line("       cd bench && R_LIBS=../build/lib Rscript bench_engine.R --reps %d", REPS)
line("the entry alone, by block: make -C bench native  (this run's: %s)", native_log)
line("this benchmark took %.0f s", total)
rule()
