# Whether a fit can be trusted: R-hat and effective sizes, acceptance rates,
# the warning that lists what makes the chains untrustworthy, and the warning
# about eigenvalues piling against a bound of their prior.

# R-hat and effective sizes of one variable (x: draws x chains).  Short
# runs make posterior cap its ESS estimates with a warning; the fit's own
# convergence warning already speaks for them.
.diagnostics <- function(x) {
  withCallingHandlers(
    c(rhat = posterior::rhat(x), ess_bulk = posterior::ess_bulk(x),
      ess_tail = posterior::ess_tail(x)),
    warning = function(w) {
      if (grepl("capped", conditionMessage(w))) invokeRestart("muffleWarning")
    })
}

# Posterior summaries and diagnostics of each variable of `arr` (draws x
# chains x variables), with intervals of probability mass `level`.
.param_table <- function(arr, level) {
  a <- (1 - level) / 2
  rows <- lapply(dimnames(arr)[[3L]], function(v) {
    x <- matrix(arr[, , v], ncol = dim(arr)[2L])
    all <- as.vector(x)
    d <- if (nrow(x) >= 4L && stats::sd(all) > 0) .diagnostics(x) else
      c(rhat = NA_real_, ess_bulk = NA_real_, ess_tail = NA_real_)
    data.frame(mean = mean(all), sd = sd(all),
               lower = quantile(all, a, names = FALSE),
               median = median(all),
               upper = quantile(all, 1 - a, names = FALSE),
               rhat = d[["rhat"]], ess_bulk = d[["ess_bulk"]],
               ess_tail = d[["ess_tail"]])
  })
  out <- do.call(rbind, rows)
  rownames(out) <- dimnames(arr)[[3L]]
  out
}

# Acceptance rates per chain and block: their mean, smallest and largest
# over the block's proposals.
.acceptance_table <- function(fit) {
  rows <- list()
  for (k in seq_along(fit$acceptance)) {
    acc <- fit$acceptance[[k]]
    for (b in names(acc)) {
      v <- as.vector(acc[[b]])
      if (!length(v)) next
      rows[[length(rows) + 1L]] <- data.frame(
        chain = k, block = b, mean = mean(v), min = min(v), max = max(v),
        stringsAsFactors = FALSE)
    }
  }
  do.call(rbind, rows)
}

# When R-hat flags `bad` (names of reported parameters in `arr`, their
# draws x chains x variables) and one chain alone is to blame (the others
# agree without it: R-hat of at most 1.05 for all of them), a clause naming
# that chain and how far its mean deviance lies from theirs: a chain
# settled in a poorer mode fits worse.  "" otherwise, and with fewer than
# three chains, where no one chain can be told apart.
.chain_apart <- function(fit, arr, bad) {
  chains <- dim(arr)[2L]
  if (chains < 3L || dim(arr)[1L] < 4L) return("")
  agree <- vapply(seq_len(chains), function(k) {
    rh <- vapply(bad, function(v) {
      x <- matrix(arr[, -k, v], ncol = chains - 1L)
      if (stats::sd(as.vector(x)) > 0) posterior::rhat(x) else NA_real_
    }, numeric(1))
    all(!is.na(rh) & rh <= 1.05)
  }, logical(1))
  if (sum(agree) != 1L) return("")
  k <- which(agree)
  dev <- vapply(fit$draws, function(d) mean(d$deviance), numeric(1))
  gap <- dev[k] - mean(dev[-k])
  # The chain's own number, which a lost chain leaves out of the indices.
  label <- sub("^chain", "", names(fit$draws)[k])
  sprintf(paste0("; chain %s alone differs (the others agree without it), ",
                 "its mean deviance %.1f %s theirs"),
          if (length(label) && nzchar(label)) label else k, abs(gap),
          if (gap >= 0) "above" else "below")
}

# One warning that lists what makes the fit untrustworthy, with a remedy.
.warn_untrustworthy <- function(fit) {
  problems <- character()
  arr <- .draws_array(fit, .reported)
  tab <- .param_table(arr, 0.95)
  chains <- length(fit$draws)
  if (chains > 1L) {
    bad <- rownames(tab)[!is.na(tab$rhat) & tab$rhat > 1.05]
    if (length(bad)) {
      problems <- c(problems, paste0(sprintf(
        "R-hat above 1.05 for %s (largest %.3g)",
        paste(head(bad, 5L), collapse = ", "), max(tab$rhat, na.rm = TRUE)),
        .chain_apart(fit, arr, bad)))
    }
  }
  low <- rownames(tab)[!is.na(tab$ess_bulk) & tab$ess_bulk < 100]
  if (length(low)) {
    problems <- c(problems, sprintf(
      "bulk ESS below 100 for %s (smallest %.0f)",
      paste(head(low, 5L), collapse = ", "), min(tab$ess_bulk, na.rm = TRUE)))
  }
  acc <- .acceptance_table(fit)
  # A random walk accepted almost always moves too little; a Newton
  # proposal of the effects (large maps) is meant to be.
  upper <- ifelse(acc$block == "phi" & .newton_effects(length(fit$units)),
                  1, 0.95)
  odd <- acc[acc$mean < 0.05 | acc$mean > upper, , drop = FALSE]
  if (nrow(odd)) {
    problems <- c(problems, sprintf(
      "acceptance rate %s in block(s) %s",
      paste(sprintf("%.3f", odd$mean), collapse = ", "),
      paste(unique(paste0(odd$block, " (chain ", odd$chain, ")")),
            collapse = ", ")))
  }
  n_keep <- nrow(fit$draws[[1L]]$beta)
  if (n_keep < 4L) {
    problems <- c(problems, sprintf(
      "only %d kept draw%s per chain, too few to estimate R-hat or ESS",
      n_keep, if (n_keep == 1L) "" else "s"))
  }
  dev <- unlist(lapply(fit$draws, function(d) d$deviance))
  if (any(!is.finite(dev))) {
    problems <- c(problems, "non-finite deviance in some draws")
  }
  stuck <- which(vapply(fit$draws, function(d) !any(is.finite(d$deviance)),
                        logical(1)))
  if (length(stuck)) {
    warning(sprintf(paste0(
      "%s never left an impossible state: the deviance is not finite at ",
      "any kept draw (the counts have probability 0 there), so %s no ",
      "draws of the posterior. Start %s elsewhere (`init`), or put the ",
      "covariates on a moderate scale."),
      paste(names(fit$draws)[stuck], collapse = ", "),
      if (length(stuck) > 1L) "they give" else "it gives",
      if (length(stuck) > 1L) "them" else "it"), call. = FALSE)
  }
  if (length(problems)) {
    warning("the chains are not to be trusted yet: ",
            paste(problems, collapse = "; "),
            ". Run longer chains (larger `n_sample` and `burnin`), keep ",
            "`tune = TRUE`, or start from a previous fit's `last_state`.",
            call. = FALSE)
  }
  invisible(problems)
}

# Warns when the posterior of an eigenvalue of the association matrix piles
# against a bound of its prior: more than a quarter of its draws within 1%
# of the support's width from the bound.  Against the upper bound the
# fields are smoother than the prior lets them be.
.warn_bounds <- function(fit) {
  eta <- do.call(rbind, lapply(fit$draws, `[[`, "eta"))
  lo <- fit$map$eta_lo; hi <- fit$map$eta_hi
  if (is.null(eta) || !nrow(eta) || is.null(lo) || is.null(hi)) {
    return(invisible(character()))
  }
  near <- 0.01 * (hi - lo)
  msgs <- character()
  for (k in seq_len(ncol(eta))) {
    x <- eta[, k]
    if (mean(x > hi - near) > 0.25) {
      msgs <- c(msgs, sprintf(paste0(
        "eta[%d] piles against its upper bound %s (median %.4f): the ",
        "fields are smoother than the prior allows; consider ",
        "mcar_prior(eta_upper = ) closer to 1."), k, format(hi), median(x)))
    } else if (mean(x < lo + near) > 0.25) {
      msgs <- c(msgs, sprintf(paste0(
        "eta[%d] piles against its lower bound %s (median %.4f), set by the ",
        "map's smallest eigenvalue: the fields are rougher than the ",
        "prior allows."), k, format(lo, digits = 4), median(x)))
    }
  }
  if (length(msgs)) warning(paste(msgs, collapse = "\n"), call. = FALSE)
  invisible(msgs)
}
