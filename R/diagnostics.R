# Whether a fit can be trusted: R-hat and effective sizes, acceptance rates,
# the warning that lists what makes the chains untrustworthy, and the warning
# about eigenvalues piling against a bound of their prior.

# Posterior summaries and diagnostics of each variable of `arr` (draws x
# chains x variables), with intervals of probability mass `level`.
.param_table <- function(arr, level) {
  a <- (1 - level) / 2
  v <- dimnames(arr)[[3L]]
  # The draws of each variable are a column of the array read as (draws x
  # chains) x variables: no copy of it as a matrix.
  rows <- prod(dim(arr)[1:2])
  d <- .convergence(arr)
  q <- .type7_quantiles(arr, rows, c(a, 0.5, 1 - a))
  out <- data.frame(mean = colMeans(arr, dims = 2L),
                    sd = matrixStats::colSds(arr, dim. = c(rows, length(v)),
                                             useNames = FALSE),
                    lower = q[, 1L], median = q[, 2L], upper = q[, 3L],
                    rhat = d[, "rhat"], ess_bulk = d[, "ess_bulk"],
                    ess_tail = d[, "ess_tail"])
  rownames(out) <- v
  out
}

# Quantiles (type 7) of each column of x (`rows` rows; an array read as
# rows x the rest): one row per column, one column per prob, computed as
# matrixStats::colQuantiles() computes them, with the order statistics
# selected in compiled code.
.type7_quantiles <- function(x, rows, probs) {
  if (rows < 1L || anyNA(x)) {
    return(matrixStats::colQuantiles(matrix(x, rows), probs = probs,
                                     type = 7, drop = FALSE))
  }
  idx <- 1 + (rows - 1) * probs
  lo <- floor(idx); hi <- ceiling(idx)
  pos <- sort.int(unique(c(lo, hi)))
  v <- .col_order_stats(x, rows, pos)
  q <- t(v[match(lo, pos), , drop = FALSE])
  adj <- which(idx > lo)
  if (length(adj)) {
    w <- (idx - lo)[adj]
    q_lo <- v[match(lo[adj], pos), , drop = FALSE]
    q_hi <- v[match(hi[adj], pos), , drop = FALSE]
    q[, adj] <- t((1 - w) * q_lo + w * q_hi)
  }
  q
}

# R-hat and bulk and tail ESS of every variable of `arr` (draws x chains x
# variables), rank-normalised and split as posterior::rhat(),
# posterior::ess_bulk() and ess_tail() compute them, in compiled code: a
# matrix with columns rhat, ess_bulk and ess_tail, NA for a variable that
# is constant or not finite.  `tails = FALSE` leaves ess_tail NA, at a third
# of the cost.
.convergence <- function(arr, tails = TRUE) {
  if (!is.double(arr)) storage.mode(arr) <- "double"
  out <- .Call(mcar_convergence, arr, tails)
  dimnames(out) <- list(dimnames(arr)[[3L]], c("rhat", "ess_bulk",
                                               "ess_tail"))
  out
}

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

# The effects that accept fewer than `below` of their proposals in some
# chain: such an effect hardly moves from where it stands, whatever its
# block does on average, and R-hat over the reported parameters need not
# see it.  A clause naming the `show` worst by unit and outcome with their
# rates in the chains concerned, and counting the rest; none when all do.
.stuck_effects <- function(fit, below = 0.05, show = 3L) {
  rates <- lapply(fit$acceptance, function(a) as.vector(a$phi))
  if (!length(rates) || !length(rates[[1L]])) return(character())
  rates <- matrix(unlist(rates), ncol = length(rates))  # cells x chains
  worst <- apply(rates, 1L, min)
  cells <- which(worst < below)
  if (!length(cells)) return(character())
  cells <- cells[order(worst[cells], cells)]
  n <- length(fit$units)
  # The chains' own numbers, which a lost chain leaves out of the indices.
  label <- sub("^chain", "", names(fit$acceptance))
  if (length(label) != ncol(rates)) label <- as.character(seq_len(ncol(rates)))
  named <- vapply(head(cells, show), function(x) {
    low <- which(rates[x, ] < below)
    sprintf("effects of unit '%s', outcome %s: acceptance %s",
            fit$units[(x - 1L) %% n + 1L], fit$outcomes[(x - 1L) %/% n + 1L],
            paste(sprintf("%.2g in chain %s", rates[x, low], label[low]),
                  collapse = ", "))
  }, character(1))
  rest <- length(cells) - length(named)
  paste0(paste(named, collapse = "; "),
         if (rest > 0L) sprintf("; and %d more effect%s under %g in some chain",
                                rest, if (rest == 1L) "" else "s", below))
}

# When R-hat flags `bad` (names of reported parameters in `arr`, their
# draws x chains x variables) and one chain alone is to blame (the others
# agree without it: R-hat of at most 1.05 for all of them), a clause naming
# that chain and how far its mean deviance lies from theirs: a chain
# settled in a poorer mode fits worse.  "" otherwise: with fewer than three
# chains, where no one chain can be told apart, and when the gap lies
# within twice the deviance's sd within the chains.
.chain_apart <- function(fit, arr, bad) {
  chains <- dim(arr)[2L]
  if (chains < 3L || dim(arr)[1L] < 4L) return("")
  agree <- vapply(seq_len(chains), function(k) {
    rh <- vapply(bad, function(v) {
      .convergence(arr[, -k, v, drop = FALSE], tails = FALSE)[1L, "rhat"]
    }, numeric(1))
    all(!is.na(rh) & rh <= 1.05)
  }, logical(1))
  if (sum(agree) != 1L) return("")
  k <- which(agree)
  dev <- vapply(fit$draws, function(d) mean(d$deviance), numeric(1))
  gap <- dev[k] - mean(dev[-k])
  # A gap within the draws' own spread of the deviance says nothing.
  spread <- sqrt(mean(vapply(fit$draws, function(d) stats::var(d$deviance),
                             numeric(1))))
  if (!is.finite(gap) || !is.finite(spread) || abs(gap) <= 2 * spread) {
    return("")
  }
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
  # proposal of the effects is meant to be.
  upper <- ifelse(acc$block == "phi", 1, 0.95)
  odd <- acc[acc$mean < 0.05 | acc$mean > upper, , drop = FALSE]
  if (nrow(odd)) {
    problems <- c(problems, sprintf(
      "acceptance rate %s in block(s) %s",
      paste(sprintf("%.3f", odd$mean), collapse = ", "),
      paste(unique(paste0(odd$block, " (chain ", odd$chain, ")")),
            collapse = ", ")))
  }
  problems <- c(problems, .stuck_effects(fit))
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

# Warns when the posterior of the largest eigenvalue of the association
# matrix presses against the upper bound of its prior, or the smallest
# against the lower: more than a quarter of the draws within 1% of the
# support's width from the bound, and more there than in the next 1%, so
# that the density rises into the bound.  The eigenvalues' labels are not
# identified; the ordered ones are (the draws hold them so).
.warn_bounds <- function(fit) {
  eta <- do.call(rbind, lapply(fit$draws, `[[`, "eta"))
  lo <- fit$map$eta_lo; hi <- fit$map$eta_hi
  if (is.null(eta) || !nrow(eta) || is.null(lo) || is.null(hi)) {
    return(invisible(character()))
  }
  w <- 0.01 * (hi - lo)
  presses <- function(dist) mean(dist < w) > 0.25 &&
    mean(dist < w) > mean(dist >= w & dist < 2 * w)
  largest <- eta[, 1L]; smallest <- eta[, ncol(eta)]
  msgs <- character()
  what <- if (ncol(eta) == 1L) "The eigenvalue" else "The largest eigenvalue"
  if (presses(hi - largest)) {
    advice <- if (hi < 0.999) {
      paste0("The fit is usable as it is. Raising mcar_prior(eta_upper = ) ",
             "towards 0.999 lets the fields be smoother, at the cost of ",
             "slower mixing; compare the two fits with loo().")
    } else {
      "The fields are as smooth as the model allows them to be."
    }
    msgs <- c(msgs, sprintf(paste0(
      "%s of the association matrix A presses against its upper bound %s ",
      "(median %.4f): the data favour fields smoother than the prior ",
      "allows. %s"), what, format(hi), stats::median(largest), advice))
  }
  if (presses(smallest - lo)) {
    msgs <- c(msgs, sprintf(paste0(
      "%s of the association matrix A presses against its lower bound %s ",
      "(median %.4f), which the map's smallest eigenvalue sets: the ",
      "fields are rougher than the prior allows, and no setting moves that ",
      "bound."), if (ncol(eta) == 1L) "The eigenvalue" else
        "The smallest eigenvalue", format(lo, digits = 4),
      stats::median(smallest)))
  }
  if (length(msgs)) warning(paste(msgs, collapse = "\n"), call. = FALSE)
  invisible(msgs)
}
