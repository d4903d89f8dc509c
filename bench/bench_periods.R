# Fits over periods on synthetic maps (synthetic_map.R: irregular, two
# components and three islands), K = 3 outcomes, T = 10 periods, a
# covariate smooth over the map and drifting with the period, fields that
# persist from period to period (AR coefficients 0.9, 0.6, 0.3 around a
# smooth pattern).  Three measurements, each in a fresh R process:
#
#   sweep   set-up time and the time per sweep per cell (4 chains one after
#           another, 200 sweeps each) over T = 10 periods, against the same
#           map's first period alone (T = 1), on 1 and 2 threads a chain;
#   until   mcar_fit(until = TRUE) at the defaults: seconds of sampling to
#           bulk ESS >= 400 and R-hat <= 1.01 for every coefficient,
#           loading, entry of A, autoregressive coefficient and risk, the
#           sweeps it took, and the lowest bulk ESS per second of sampling;
#   memory  the peak resident size of a fit (1,000 sweeps, 4 chains) with
#           summary(), loo() and the maps of every period.
#
#   cd bench && R_LIBS=../build/lib Rscript bench_periods.R
#     [--what sweep,until,memory] [--sizes 1000,3000,10000]
#     [--seconds 1800]

here <- local({
  f <- sub("^--file=", "", grep("^--file=", commandArgs(FALSE), value = TRUE))
  if (length(f)) dirname(normalizePath(f)) else "."
})
source(file.path(here, "synthetic_map.R"))

# One row per unit and period: counts Y1..YK and expected E1..EK, the
# covariate x.
period_frame <- function(W, K = 3L, T = 10L, alpha = c(0.9, 0.6, 0.3),
                         seed = 1L) {
  set.seed(seed)
  xy <- attr(W, "coords")
  n <- nrow(W)
  base <- sapply(seq_len(K), function(k) 0.4 * sin(xy[, 1] / (8 + 4 * k) + k) *
                   cos(xy[, 2] / (10 + 3 * k)))
  out <- vector("list", T)
  f <- base + matrix(rnorm(n * K, 0, 0.15), n)
  for (t in seq_len(T)) {
    if (t > 1) {
      a <- rep(alpha, each = n)
      f <- a * f + (1 - a) * base + sqrt(1 - a^2) * matrix(rnorm(n * K, 0, 0.15), n)
    }
    x <- sin(xy[, 1] / 15 + t / 5) + cos(xy[, 2] / 20)
    E <- matrix(runif(n * K, 10, 40), n)
    Y <- matrix(rpois(n * K, E * exp(0.2 * x + f)), n)
    colnames(Y) <- paste0("Y", seq_len(K)); colnames(E) <- paste0("E", seq_len(K))
    out[[t]] <- data.frame(unit = rownames(W), period = 2000L + t, x = x, Y, E)
  }
  do.call(rbind, out)
}

if ("--child" %in% argv) {
  suppressPackageStartupMessages(library(mcar))
  future::plan("sequential")
  n <- as.integer(opt("--n", 1000))
  what <- opt("--what", "sweep")
  periods <- as.integer(opt("--periods", 10))
  threads <- as.integer(opt("--threads", 2))
  W <- synthetic_map(n)
  d <- period_frame(W)
  d <- d[d$period <= 2000L + periods, ]
  fit_args <- list(paste0("Y", 1:3), paste0("E", 1:3), W = W, data = d,
                   unit = "unit", time = "period", covariates = ~ x,
                   seed = 1, progress = FALSE, threads = threads)
  if (what == "sweep") {
    fit <- suppressWarnings(do.call(mcar_fit, c(fit_args, list(
      n_sample = 200, burnin = 100, keep = 10))))
    per_cell <- sum(fit$chain_seconds) / (4 * 200) / (n * periods * 3)
    cat(sprintf("RESULT setup=%.2f us_per_cell=%.4f ms_per_sweep=%.2f\n",
                fit$setup_seconds, 1e6 * per_cell,
                1e3 * sum(fit$chain_seconds) / (4 * 200)))
  } else if (what == "until") {
    until <- mcar_until(max_seconds = as.numeric(opt("--seconds", 1800)))
    fit <- suppressWarnings(do.call(mcar_fit, c(fit_args, list(until = until))))
    st <- fit$until$status
    sampling <- sum(fit$chain_seconds)
    cat(sprintf(paste("RESULT sampling=%.1f sweeps=%d met=%s ess=%.0f",
                      "ess_at=%s rhat=%.4f rhat_at=%s ess_per_s=%.2f",
                      "alpha=%s peak_mb=%.0f\n"),
                sampling, as.integer(fit$settings$n_sample), fit$until$met,
                st$ess, st$ess_name, st$rhat, st$rhat_name, st$ess / sampling,
                paste(sprintf("%.2f", summary(fit)$parameters[
                  paste0("alpha[", 1:3, "]"), "mean"]), collapse = "/"),
                peak_mb()))
  } else {
    # A unit square per unit at its grid position, for the maps.
    xy <- attr(W, "coords")
    squares <- sf::st_sf(unit = rownames(W), geometry = sf::st_sfc(lapply(
      seq_len(n), function(i) sf::st_polygon(list(cbind(
        xy[i, 1] + c(0, 1, 1, 0, 0), xy[i, 2] + c(0, 0, 1, 1, 0)))))))
    rownames(squares) <- rownames(W)
    fit <- suppressWarnings(do.call(mcar_fit, c(fit_args, list(
      n_sample = 1000, map = squares))))
    s <- summary(fit)
    l <- suppressWarnings(loo::loo(fit))
    grDevices::pdf(NULL)
    ok <- tryCatch({plot(fit, type = "map"); TRUE}, error = function(e) FALSE)
    grDevices::dev.off()
    cat(sprintf("RESULT peak_mb=%.0f object_mb=%.0f maps=%s\n", peak_mb(),
                as.numeric(utils::object.size(fit)) / 2^20, ok))
  }
  quit(save = "no")
}

sizes <- as.integer(strsplit(opt("--sizes", "1000,3000,10000"), ",")[[1]])
whats <- strsplit(opt("--what", "sweep,until,memory"), ",")[[1]]
child <- function(...) child_result(c(file.path(here, "bench_periods.R"),
                                      "--child", ...))
if ("sweep" %in% whats) {
  cat("\n| units | threads | set-up s (T = 10) | us per sweep per cell, T = 10 | T = 1 | ratio | ms per sweep, T = 10 |\n")
  cat("|---|---|---|---|---|---|---|\n")
  for (n in sizes) for (th in c(1L, 2L)) {
    a <- child("--n", n, "--what", "sweep", "--threads", th)
    b <- child("--n", n, "--what", "sweep", "--threads", th, "--periods", 1)
    if (is.null(a) || is.null(b)) { cat("|", n, "|", th, "| failed |\n"); next }
    cat(sprintf("| %d | %d | %s | %s | %s | %.2f | %s |\n", n, th, a[["setup"]],
                a[["us_per_cell"]], b[["us_per_cell"]],
                as.numeric(a[["us_per_cell"]]) / as.numeric(b[["us_per_cell"]]),
                a[["ms_per_sweep"]]))
  }
}
if ("until" %in% whats) {
  cat("\n| units | cells | sampling s | sweeps per chain | met | min bulk ESS | largest R-hat | min ESS per s | alpha | peak MB |\n")
  cat("|---|---|---|---|---|---|---|---|---|---|\n")
  for (n in sizes) {
    r <- child("--n", n, "--what", "until", "--seconds", opt("--seconds", 1800))
    if (is.null(r)) { cat("|", n, "| failed |\n"); next }
    cat(sprintf("| %d | %d | %s | %s | %s | %s (%s) | %s (%s) | %s | %s | %s |\n",
                n, n * 30L, r[["sampling"]], r[["sweeps"]], r[["met"]],
                r[["ess"]], r[["ess_at"]], r[["rhat"]], r[["rhat_at"]],
                r[["ess_per_s"]], r[["alpha"]], r[["peak_mb"]]))
  }
}
if ("memory" %in% whats) {
  cat("\n| units | cells | peak MB (fit, summary, loo, maps) | fit object MB | maps drawn |\n")
  cat("|---|---|---|---|---|\n")
  for (n in sizes) {
    r <- child("--n", n, "--what", "memory")
    if (is.null(r)) { cat("|", n, "| failed |\n"); next }
    cat(sprintf("| %d | %d | %s | %s | %s |\n", n, n * 30L, r[["peak_mb"]],
                r[["object_mb"]], r[["maps"]]))
  }
}
