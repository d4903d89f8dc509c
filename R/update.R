# Continuing a fit: more sweeps of its chains from where they stopped, with
# no new burn-in (update()), and runs that go on until the chains agree
# (mcar_fit(until = )).

#' Continue the chains of a fit
#'
#' Runs every chain of a fit `sweeps` sweeps further from its last state
#' (generator, tuned proposal scales and running summaries included), with
#' no new burn-in, and returns the fit with the new draws added.  The result
#' is, to the bit, the fit that `mcar_fit()` with the same arguments, the
#' same seed and `n_sample` larger by `sweeps` (the same `burnin`) would
#' give, as long as the per-unit draws are stored at the same rate (give
#' `keep` to both, or stay within the memory budget).
#'
#' @param object An `"mcar_fit"`.
#' @param sweeps Further sweeps per chain (after thinning, `sweeps / thin`
#'   more draws are kept).
#' @param progress Whether to show a progress bar.
#' @param threads Threads per chain, as in [mcar_fit()]; by default the
#'   fit's own (its threads, and its chains side by side).  The draws do
#'   not depend on it.
#' @param ... Not used.
#' @return The continued fit.
#' @examples
#' sim <- minnesota_simulated()
#' fit <- mcar_fit(c("Y1", "Y2", "Y3"), c("N1", "N2", "N3"),
#'                 minnesota_adjacency(), data = sim, n_sample = 600,
#'                 burnin = 300, chains = 2, seed = 1)
#' fit <- update(fit, sweeps = 600)
#' fit
#' @importFrom stats update
#' @export
update.mcar_fit <- function(object, sweeps, progress = interactive(),
                            threads = NULL, ...) {
  if (missing(sweeps)) .input_error("sweeps", "is missing.")
  sweeps <- .check_count(sweeps, "sweeps", lower = 1,
                         upper = .Machine$integer.max - object$settings$n_sample)
  progress <- .check_flag(progress, "progress")
  cores <- if (is.null(threads)) .fit_cores(object) else
    list(threads = .check_count(threads, "threads", lower = 1, upper = 1024),
         side_by_side = 1L)
  out <- .continue_fit(object, sweeps, progress, cores)
  .warn_untrustworthy(out)
  .warn_bounds(out)
  out
}

# The fit run `sweeps` sweeps further, without the checks of its chains,
# on `cores` (as .resolve_threads() gives them); `defer_units` as in
# .extend_fit().
.continue_fit <- function(fit, sweeps, progress, cores, defer_units = FALSE) {
  started <- proc.time()[["elapsed"]]
  if (is.null(fit$last_state) || is.null(fit$summaries)) {
    .input_error("object", "holds no last state of its chains to continue ",
                 "from.")
  }
  dat <- .engine_data(fit$counts, .exposure(fit), fit$X, fit$map, fit$prior,
                      .family(fit), periods = .n_periods(fit))
  s <- fit$settings
  offset <- .thinning(s)$after
  chains <- as.integer(sub("^chain", "", names(fit$draws)))
  tasks <- lapply(seq_along(chains), function(k) {
    st <- fit$last_state[[k]]
    list(chain = chains[k], data = dat, init = st, rng = st$rng,
         scales = fit$scales[[k]], n_sample = s$n_sample + sweeps,
         burnin = s$burnin, thin = s$thin, unit_thin = s$unit_thin,
         tune = FALSE, verbose = FALSE, threads = cores$threads,
         resume = list(sweeps = sweeps, offset = offset,
                       summaries = fit$summaries[[k]]))
  })
  results <- .run_chains(tasks, progress = progress,
                         total = length(tasks) * sweeps,
                         side_by_side = cores$side_by_side)
  .extend_fit(fit, results, sweeps, started, defer_units)
}

# The threads per chain and the chains side by side a fit ran with (1 for
# what a fit did not record), and the threads of both together, which its
# post-processing uses.
.fit_cores <- function(fit) {
  one <- function(x) if (is.null(x)) 1L else as.integer(x)
  list(threads = one(fit$settings$threads),
       side_by_side = one(fit$settings$side_by_side))
}

.fit_threads <- function(fit) {
  cores <- .fit_cores(fit)
  cores$threads * cores$side_by_side
}

#' When a run may stop
#'
#' What `mcar_fit(until = )` aims at: every coefficient, loading, entry of
#' the association matrix, negative binomial size and risk with R-hat at most
#' `rhat` and bulk effective sample size at least `ess`, or a budget spent.
#'
#' The fit first runs `n_sample` sweeps per chain (1500 unless given),
#' `burnin` of them burn-in (500 when neither is given, else half),
#' and then continues its chains (as [update.mcar_fit()] does) in blocks
#' sized from how far the smallest ESS and the largest R-hat are from their
#' targets, until both targets are met or `max_sweeps` sweeps per chain or
#' `max_seconds` of sampling are spent.  The risks are judged over every
#' kept sweep, not only the stored draws (see `keep` in [mcar_fit()]): the
#' sampler keeps batch means of the log of every risk (the logit of every
#' probability) while the run goes on, and R-hat (split, over the halves of
#' each chain's batches) and the effective sample size (by batch means)
#' are computed from them.  The final fit equals the fit of its final
#' length run at once with the same seed and `burnin`, but for how many
#' per-unit draws it stores: as the run grows, the stored draws stay within
#' `keep` (or the memory budget), their spacing doubling, with a message,
#' before a block would take them past it.
#'
#' The run also stops, and says why, when the chains do not come together:
#' when a block that took the kept sweeps to 1.5 times or more left the
#' largest R-hat above 1.1 and hardly lower (its excess over 1 at 0.8
#' times or more of what it was), once if one chain alone differs from
#' the others (a chain in a poorer mode of the posterior, which it does not
#' leave), else twice in a row.  `fit$until$stalled` is then `TRUE`.
#'
#' @param ess Smallest bulk effective sample size.
#' @param rhat Largest R-hat.
#' @param max_sweeps Most sweeps per chain, burn-in included.
#' @param max_seconds Most seconds of sampling.
#' @return A list of class `"mcar_until"`.
#' @examples
#' mcar_until(ess = 400, rhat = 1.01, max_seconds = 600)
#' @export
mcar_until <- function(ess = 400, rhat = 1.01, max_sweeps = 1e6,
                       max_seconds = 3600) {
  num <- function(x, arg, lower) {
    if (!is.numeric(x) || length(x) != 1L || is.na(x) || x < lower) {
      .input_error(arg, "must be one number, at least ", lower, ".")
    }
    as.double(x)
  }
  structure(list(ess = num(ess, "ess", 1), rhat = num(rhat, "rhat", 1),
                 max_sweeps = num(max_sweeps, "max_sweeps", 1),
                 max_seconds = num(max_seconds, "max_seconds", 0)),
            class = "mcar_until")
}

# `until` as mcar_fit() takes it: NULL (a run of fixed length), TRUE (the
# defaults of mcar_until()), or an mcar_until().
.check_until <- function(until) {
  if (is.null(until) || isFALSE(until)) return(NULL)
  if (isTRUE(until)) return(mcar_until())
  if (!inherits(until, "mcar_until")) {
    .input_error("until", "must be NULL, TRUE or made by mcar_until().")
  }
  until
}

# Sweeps per chain of the first block of a run with `until` when
# `n_sample` is not given, and its burn-in when `burnin` is not given
# either.  Whether the chains have forgotten their start is then for the
# checks to judge: a start not yet forgotten keeps R-hat up and the run
# going, until the kept sweeps outweigh it.  The chains start from the
# data (see .default_init()) and their proposals' scales settle within a
# few hundred sweeps, so a longer burn-in mostly delays the first check:
# on the synthetic maps of 3,000 to 30,000 units, a burn-in of 500 rather
# than 1,000 took runs with `until` to their targets in 1 to 31% less time
# with one seed, and in 9% less on average over three seeds at 3,000
# units, one of which took longer (bench/README.md).
.UNTIL_FIRST <- 1500L
.UNTIL_BURNIN <- 500L

# Slots of the batch means that a run with `until` keeps of every cell's
# linear predictor (in its running summaries): 16 to 32 batches a chain.
.UNTIL_BATCHES <- 32L

# R-hat and ESS of every cell's linear predictor (the log of its risk, or
# the logit of its probability: their ranks are the risks' ranks) over
# every kept sweep of every chain, from the batch means the chains'
# running summaries carry: split R-hat of the first and second halves of
# the closed batches of each chain (the oldest batch left out when their
# number is odd), and ESS as the draws times the variance over draws
# (var+ of R-hat) over the variance of the batch means times the batch
# size.  A matrix with columns rhat and ess_bulk, one row per cell in the
# order of the draws' cells; NULL when some chain carries no batch means
# or fewer than 4 closed batches.
.batch_convergence <- function(summaries) {
  if (!length(summaries) ||
      any(vapply(summaries, function(s) is.null(s$batch), logical(1)))) {
    return(NULL)
  }
  b <- summaries[[1L]]$batch
  size <- b[[2L]]; closed <- as.integer(b[[4L]])
  same <- vapply(summaries, function(s) {
    isTRUE(all(s$batch[c(2L, 4L)] == b[c(2L, 4L)]))
  }, logical(1))
  half <- closed %/% 2L
  if (!all(same) || half < 2L) return(NULL)
  first <- closed - 2L * half + 1L
  halves <- list(first:(first + half - 1L), (first + half):closed)
  L <- half * size
  cells <- nrow(summaries[[1L]]$batch_sum)
  means <- vars <- matrix(0, cells, 2L * length(summaries))
  bm_var <- numeric(cells)
  j <- 0L
  for (s in summaries) {
    origin <- as.vector(s$origin)
    for (h in halves) {
      j <- j + 1L
      S <- rowSums(s$batch_sum[, h, drop = FALSE])
      Q <- rowSums(s$batch_sq[, h, drop = FALSE])
      means[, j] <- origin + S / L
      vars[, j] <- pmax(Q - S * S / L, 0) / (L - 1)
    }
    # The chain's batch means about their mean.
    a <- s$batch_sum[, first:closed, drop = FALSE] / size
    bm_var <- bm_var + matrixStats::rowVars(a)
  }
  W <- rowMeans(vars)
  B_over_L <- matrixStats::rowVars(means)
  var_plus <- (L - 1) / L * W + B_over_L
  rhat <- sqrt(var_plus / W)
  draws <- length(summaries) * 2 * L
  sigma2 <- size * bm_var / length(summaries)
  ess <- pmin(draws * var_plus / sigma2, draws * log10(draws))
  bad <- !is.finite(rhat) | W <= 0
  rhat[bad] <- NA_real_
  ess[bad | !is.finite(ess)] <- NA_real_
  cbind(rhat = rhat, ess_bulk = ess)
}

# Where a fit stands against `until`: the smallest bulk ESS and the largest
# R-hat over the monitored variables, with their names, and whether both
# targets are met.  The risks are judged over every kept sweep from the
# chains' batch means where they carry them (a run with `until`), else on
# their stored draws.
.until_status <- function(fit, until) {
  risk <- .risk_name(fit)
  by_batch <- .batch_convergence(fit$summaries)
  groups <- intersect(c(.reported, if (is.null(by_batch)) risk),
                      .fit_groups(fit))
  tab <- .convergence(.draws_array(fit, groups),
                      tails = FALSE)[, c("rhat", "ess_bulk"), drop = FALSE]
  if (!is.null(by_batch)) {
    rownames(by_batch) <- .group_names(fit, risk)
    tab <- rbind(tab, by_batch)
  }
  ess <- tab[, "ess_bulk"]; rh <- tab[, "rhat"]
  i <- if (all(is.na(ess))) NA_integer_ else which.min(ess)
  j <- if (all(is.na(rh))) NA_integer_ else which.max(rh)
  list(ess = if (is.na(i)) NA_real_ else ess[[i]],
       ess_name = if (is.na(i)) "" else rownames(tab)[i],
       rhat = if (is.na(j)) NA_real_ else rh[[j]],
       rhat_name = if (is.na(j)) "" else rownames(tab)[j],
       met = !is.na(i) && !is.na(j) && ess[[i]] >= until$ess &&
         rh[[j]] <= until$rhat)
}

# Continues `fit` in blocks until `until` is met, its budget is spent, or
# the chains stop coming together (.until_stalled()); reports where it
# stands after each block.  `elapsed` is the sampling time already spent.
.run_until <- function(fit, until, progress, cores, elapsed) {
  thin <- fit$settings$thin
  checks <- list()
  stalled <- NULL
  repeat {
    st <- .until_status(fit, until)
    s <- fit$settings
    after <- .thinning(s)$after
    checks[[length(checks) + 1L]] <- c(kept = after, rhat = st$rhat)
    line <- sprintf(paste0("after %s sweeps per chain: smallest bulk ESS ",
                           "%.0f (%s), largest R-hat %.3f (%s)"),
                    format(s$n_sample, big.mark = ","), st$ess, st$ess_name,
                    st$rhat, st$rhat_name)
    if (st$met) {
      message(line, ": converged.")
      break
    }
    stalled <- .until_stalled(fit, checks)
    if (!is.null(stalled)) {
      message(line, ": ", stalled)
      break
    }
    # ESS grows about in proportion to the draws, and R-hat - 1 falls about
    # in inverse proportion to them (the chains' means differ by sampling
    # error of order 1 / sqrt(draws) once they mix): aim a tenth past the
    # ESS target and a fifth past the R-hat target, within a quarter of the
    # kept sweeps so far and as many again (early on, R-hat falls faster
    # than that as the chains forget their start; a check costs little).
    f <- if (is.finite(st$ess) && st$ess > 0) 1.1 * until$ess / st$ess else 4
    if (is.finite(st$rhat) && st$rhat > until$rhat) {
      f <- max(f, if (until$rhat > 1) 1.2 * (st$rhat - 1) / (until$rhat - 1)
                  else 2)
    }
    more <- ceiling(after * min(1, max(0.25, f - 1)) / thin) * thin
    more <- min(more, until$max_sweeps - s$n_sample)
    left <- until$max_seconds - elapsed
    if (more < thin || left <= 0) {
      message(line, ": the budget is spent.")
      break
    }
    # Seconds of one sweep of every chain (the chains' shares of the time
    # add up to it).
    per_sweep <- sum(fit$chain_seconds) / s$n_sample
    if (is.finite(left) && per_sweep > 0) {
      more <- min(more, max(thin, floor(left / per_sweep / thin) * thin))
    }
    message(line, "; ", format(more, big.mark = ","), " more.")
    fit <- .unit_room(fit, more)
    t0 <- proc.time()[["elapsed"]]
    fit <- .continue_fit(fit, more, progress, cores, defer_units = TRUE)
    elapsed <- elapsed + proc.time()[["elapsed"]] - t0
  }
  fit <- .bind_unit_pieces(fit)
  # The batch means served the checks; the fit keeps where they stood.
  fit$summaries <- lapply(fit$summaries, function(s) {
    s[c("batch", "origin", "batch_sum", "batch_sq")] <- NULL
    s
  })
  fit$until <- c(unclass(until), list(met = st$met, status = st[c(
    "ess", "ess_name", "rhat", "rhat_name")], stalled = !is.null(stalled)))
  fit
}

# A run with `until` keeps its stored per-unit draws within what the fit
# was made to store (`keep`, or the memory budget): before a block that
# would take them past it, the spacing of the stored draws doubles (as
# often as needed) and the stored draws off the new spacing go.  The
# running summaries still see every kept sweep.
.unit_room <- function(fit, more) {
  s <- fit$settings
  cap <- s$unit_cap
  if (is.null(cap) || !is.finite(cap)) return(fit)
  kept <- .thinning(utils::modifyList(s, list(n_sample = s$n_sample + more)))$after
  f <- 1L
  while (kept %/% (s$unit_thin * f) > cap) f <- 2L * f
  if (f == 1L) return(fit)
  fit <- .bind_unit_pieces(fit)
  for (k in names(fit$draws)) {
    phi <- fit$draws[[k]]$phi
    fit$draws[[k]]$phi <- phi[seq_len(nrow(phi) %/% f) * f, , drop = FALSE]
  }
  fit$settings$unit_thin <- s$unit_thin * f
  fit$unit_rows <- .thinning(fit$settings, which = TRUE)$unit_rows
  message("Storing every ", .ordinal(fit$settings$unit_thin), " kept draw ",
          "of the unit-level values from here on, and thinning those stored ",
          "to match, to bound memory; posterior means, sds, P(RR > 1), DIC ",
          "and WAIC use every kept draw.")
  fit
}

# Whether the chains have stopped coming together, from the checks so far
# (kept sweeps per chain and largest R-hat at each): once the chains mix,
# R-hat - 1 falls about in inverse proportion to the draws, so a block
# that took the kept sweeps to 1.5 times or more and left the largest
# R-hat above 1.1 and its excess over 1 at 0.8 times or more of what it
# was says the chains sit apart.  One such block suffices when one chain
# alone differs (.chain_apart(): it sits in a poorer mode that more sweeps
# will not bring it out of); else it takes two in a row.  Returns the
# reason to stop, or NULL to go on.
.until_stalled <- function(fit, checks) {
  stall <- function(a, b) {
    b[["kept"]] >= 1.5 * a[["kept"]] && is.finite(a[["rhat"]]) &&
      is.finite(b[["rhat"]]) && a[["rhat"]] > 1.1 && b[["rhat"]] > 1.1 &&
      b[["rhat"]] - 1 >= 0.8 * (a[["rhat"]] - 1)
  }
  m <- length(checks)
  if (m < 2L || !stall(checks[[m - 1L]], checks[[m]])) return(NULL)
  twice <- m >= 3L && stall(checks[[m - 2L]], checks[[m - 1L]])
  arr <- .draws_array(fit, .reported)
  rh <- .convergence(arr, tails = FALSE)[, "rhat"]
  apart <- .chain_apart(fit, arr, names(rh)[!is.na(rh) & rh > 1.05])
  if (!nzchar(apart) && !twice) return(NULL)
  paste0("the chains do not come together (R-hat ",
         sprintf("%.3f after %s kept sweeps per chain, %.3f after %s)",
                 checks[[m]][["rhat"]],
                 format(checks[[m]][["kept"]], big.mark = ","),
                 checks[[m - 1L]][["rhat"]],
                 format(checks[[m - 1L]][["kept"]], big.mark = ",")),
         apart,
         "; more sweeps will not bring them together, so the run stops ",
         "here. Refit with another seed or more chains, and see the ",
         "warning that follows.")
}
