# Methods for "mcar_fit" objects: derived draws (relative risks, pointwise
# log-likelihood), draws in other formats, summaries, extractors, model
# comparison and the checks that a fit can be trusted.

# Every group a fit can hold, in the order the draws are given.  A fit
# holds those of its family: the risks are rr[i,r] (Poisson, negative
# binomial) or the probabilities prob[i,r] (binomial), and only negative
# binomial fits have the sizes dispersion[r].
.groups <- c("beta", "Lambda", "A", "eta", "theta", "dispersion", "phi", "rr",
             "prob", "log_lik", "deviance")
.reported <- c("beta", "Lambda", "A", "dispersion")

.fit_groups <- function(fit) {
  fam <- .family(fit)
  drop <- c(if (fam != "negbinomial") "dispersion",
            if (fam == "binomial") "rr" else "prob")
  setdiff(.groups, drop)
}

# The name of the per-cell risk of a fit: "prob" for the binomial, else "rr".
.risk_name <- function(fit) if (.family(fit) == "binomial") "prob" else "rr"

.n_units <- function(fit) length(fit$units)
.n_outcomes <- function(fit) length(fit$outcomes)

# Linear predictors mu[i,r] of one chain's draws that store the fields:
# draws x (n K), column i + n (r - 1).  On large maps only every
# fit$unit_rows-th kept draw stores them (see mcar_fit(keep =)).
.lp_draws <- function(fit, d) {
  n <- .n_units(fit); K <- .n_outcomes(fit); p <- ncol(fit$X)
  rows <- .stored_rows(fit, d)
  S <- length(rows)
  L <- d$Lambda[rows, , drop = FALSE]
  Lnames <- colnames(L)
  out <- matrix(0, S, n * K)
  for (r in seq_len(K)) {
    b <- d$beta[rows, (r - 1L) * p + seq_len(p), drop = FALSE]
    mu <- b %*% t(fit$X)
    for (c in r:K) {
      l <- L[, match(sprintf("Lambda[%d,%d]", r, c), Lnames)]
      mu <- mu + l * d$phi[, (c - 1L) * n + seq_len(n), drop = FALSE]
    }
    out[, (r - 1L) * n + seq_len(n)] <- mu
  }
  out
}

# The kept draws of a chain that store the per-unit draws.
.stored_rows <- function(fit, d) {
  all <- seq_len(nrow(d$beta))
  if (nrow(d$phi) == length(all)) all else fit$unit_rows[seq_len(nrow(d$phi))]
}

.unit_groups <- c("phi", "rr", "prob", "log_lik")

.cell_names <- function(name, n, K) {
  paste0(name, "[", rep(seq_len(n), K), ",", rep(seq_len(K), each = n), "]")
}

# The risk of a linear predictor: the relative risk exp(mu), or for the
# binomial the probability plogis(mu).
.risk <- function(fit, mu) {
  if (.family(fit) == "binomial") stats::plogis(mu) else exp(mu)
}

# Risk draws of one chain (relative risks rr[i,r], or probabilities
# prob[i,r] for the binomial), over its stored draws.
.rr_draws <- function(fit, d) {
  x <- .risk(fit, .lp_draws(fit, d))
  colnames(x) <- .cell_names(.risk_name(fit), .n_units(fit), .n_outcomes(fit))
  x
}

# The negative binomial sizes of a chain's stored draws, one column per cell
# (draws x n K).
.size_draws <- function(fit, d) {
  psi <- d$dispersion[.stored_rows(fit, d), , drop = FALSE]
  psi[, rep(seq_len(.n_outcomes(fit)), each = .n_units(fit)), drop = FALSE]
}

# Pointwise log-likelihood of the observed counts, one chain: Poisson,
# binomial (trials N) or negative binomial (each draw's own size).
.log_lik_draws <- function(fit, d) {
  y <- as.vector(fit$counts)
  obs <- which(!is.na(y))
  risk <- .rr_draws(fit, d)[, obs, drop = FALSE]
  S <- nrow(risk)
  ll <- .count_log_density(
    .family(fit), rep(y[obs], each = S),
    rep(as.vector(.exposure(fit))[obs], each = S), risk,
    if (.family(fit) == "negbinomial") .size_draws(fit, d)[, obs, drop = FALSE])
  ll <- matrix(ll, S)
  colnames(ll) <- .cell_names("log_lik", .n_units(fit),
                              .n_outcomes(fit))[obs]
  ll
}

.group_draws <- function(fit, d, group) {
  switch(group,
    rr = , prob = .rr_draws(fit, d),
    log_lik = .log_lik_draws(fit, d),
    d[[group]])
}

# Draws of the chosen groups for every chain: an array draws x chains x
# variables.
.draws_array <- function(fit, variables = .groups) {
  if (!is.character(variables) || !length(variables) || anyNA(variables)) {
    .input_error("variables", "must be a character vector of parameter or ",
                 "group names.")
  }
  have <- .fit_groups(fit)
  # The defaults name the groups of every family; a fit gives its own.
  if (identical(variables, .groups) || identical(variables, .reported)) {
    variables <- intersect(variables, have)
  }
  other <- intersect(setdiff(.groups, have), sub("\\[.*$", "", variables))
  if (length(other)) {
    why <- c(rr = "its probabilities are prob[i,r]",
             prob = "its relative risks are rr[i,r]",
             dispersion = "only negative binomial fits have sizes")[other]
    .input_error("variables", "names ", paste(other, collapse = ", "),
                 ", which a ", .family_label(.family(fit)), " fit does not ",
                 "have (", paste(why, collapse = "; "), ").")
  }
  groups <- intersect(have, variables)
  single <- setdiff(variables, have)
  if (length(single)) {
    base <- sub("\\[.*$", "", single)
    bad <- setdiff(base, have)
    if (length(bad)) {
      .input_error("variables", "has unknown name(s): ",
                   paste(head(bad, 5L), collapse = ", "), ".")
    }
    groups <- union(groups, intersect(have, base))
  }
  # With per-unit groups, the other groups follow the draws that store them.
  units <- any(groups %in% .unit_groups)
  per_chain <- lapply(fit$draws, function(d) {
    rows <- if (units) .stored_rows(fit, d) else seq_len(nrow(d$beta))
    do.call(cbind, lapply(groups, function(g) {
      x <- .group_draws(fit, d, g)
      if (g %in% .unit_groups) x else x[rows, , drop = FALSE]
    }))
  })
  vars <- colnames(per_chain[[1L]])
  unknown <- setdiff(single, vars)
  if (length(unknown)) {
    .input_error("variables", "has unknown parameter(s): ",
                 paste(head(unknown, 5L), collapse = ", "), ".")
  }
  # In the order asked: a group's variables where the group is named.
  base <- sub("\\[.*$", "", vars)
  keep <- unique(unlist(lapply(variables, function(v) {
    if (v %in% have) vars[base == v] else v
  })))
  if (!length(keep)) {
    .input_error("variables", "selects nothing in this fit (",
                 paste(variables, collapse = ", "), if (.n_outcomes(fit) == 1L &&
                   "theta" %in% variables) ": with one outcome there is no ",
                 "angle theta", ").")
  }
  S <- nrow(per_chain[[1L]])
  out <- array(NA_real_, c(S, length(per_chain), length(keep)),
               dimnames = list(NULL, names(fit$draws), keep))
  for (k in seq_along(per_chain)) out[, k, ] <- per_chain[[k]][, keep]
  out
}

# ---- diagnostics ----------------------------------------------------------

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
  if (length(problems)) {
    warning("the chains are not to be trusted yet: ",
            paste(problems, collapse = "; "),
            ". Run longer chains (larger `n_sample` and `burnin`), keep ",
            "`tune = TRUE`, or start from a previous fit's `last_state`.",
            call. = FALSE)
  }
  invisible(problems)
}

# ---- deviance, DIC and the log-likelihood ---------------------------------

.rr_summary <- function(fit) {
  per_chain <- lapply(fit$draws, function(d) .rr_draws(fit, d))
  do.call(rbind, per_chain)
}

# The running summaries of every cell over every kept draw of every chain,
# pooled: the number of draws, the mean, sd and P(> 1) of the relative
# risks, and the mean, variance and log mean exp of the pointwise
# log-likelihood (columns i + n (r - 1)).
.pooled_summaries <- function(fit) {
  sm <- Filter(Negate(is.null), fit$summaries)
  if (!length(sm)) return(NULL)
  S <- vapply(sm, function(x) as.double(x$draws), numeric(1))
  total <- sum(S)
  pool <- function(mean_el, m2_el) {
    means <- sapply(sm, function(x) as.vector(x[[mean_el]]))
    m2 <- sapply(sm, function(x) as.vector(x[[m2_el]]))
    means <- matrix(means, ncol = length(sm)); m2 <- matrix(m2, ncol = length(sm))
    mu <- as.vector(means %*% S) / total
    ss <- rowSums(m2) + as.vector(((means - mu)^2) %*% S)
    list(mean = mu, var = ss / max(total - 1, 1))
  }
  rr <- pool("rr_mean", "rr_m2")
  ll <- pool("ll_mean", "ll_m2")
  mx <- matrix(sapply(sm, function(x) as.vector(x$ll_max)), ncol = length(sm))
  sx <- matrix(sapply(sm, function(x) as.vector(x$ll_sum)), ncol = length(sm))
  top <- apply(mx, 1L, max)
  lse <- top + log(rowSums(sx * exp(mx - top)))
  gt1 <- rowSums(matrix(sapply(sm, function(x) as.vector(x$rr_gt1)),
                        ncol = length(sm)))
  list(draws = total, rr_mean = rr$mean, rr_sd = sqrt(rr$var),
       rr_gt1 = gt1 / total, ll_mean = ll$mean, ll_var = ll$var,
       lpd = lse - log(total))
}

# DIC on the full scale of the family (every constant included),
# comparable across packages: Dbar the mean deviance, Dtheta the deviance
# at the posterior mean relative risks (probabilities for the binomial;
# with the posterior mean sizes for the negative binomial), over every kept
# draw.
.dic <- function(fit) {
  dev <- unlist(lapply(fit$draws, function(d) d$deviance))
  ps <- .pooled_summaries(fit)
  rr <- if (!is.null(ps)) ps$rr_mean else colMeans(.rr_summary(fit))
  y <- as.vector(fit$counts)
  obs <- !is.na(y)
  dtheta <- -2 * sum(.log_density(fit, y[obs], rr[obs], obs))
  dbar <- mean(dev)
  c(Dbar = dbar, Dtheta = dtheta, pD = dbar - dtheta, DIC = 2 * dbar - dtheta)
}

.family <- function(fit) if (is.null(fit$family)) "poisson" else fit$family

.family_label <- function(family) {
  c(poisson = "Poisson", binomial = "binomial",
    negbinomial = "negative binomial")[[family]]
}

# The log-likelihood of counts y of the cells `cells` (a logical or index
# vector over the n K cells) at risks rr (probabilities for the binomial);
# for the negative binomial at the sizes `psi` (one per outcome), by
# default their posterior means.
.log_density <- function(fit, y, rr, cells, psi = NULL) {
  idx <- if (is.logical(cells)) which(cells) else cells
  size <- NULL
  if (.family(fit) == "negbinomial") {
    if (is.null(psi)) {
      psi <- colMeans(do.call(rbind, lapply(fit$draws, `[[`, "dispersion")))
    }
    size <- psi[(idx - 1L) %/% .n_units(fit) + 1L]
  }
  .count_log_density(.family(fit), y, as.vector(.exposure(fit))[idx], rr,
                     size)
}

# Log densities of counts y of a family at risks rr (probabilities for the
# binomial), e the expected counts (the trials for the binomial) and size
# the negative binomial sizes, all taken element by element.
.count_log_density <- function(family, y, e, rr, size = NULL) {
  switch(family,
    binomial = stats::dbinom(y, e, rr, log = TRUE),
    negbinomial = stats::dnbinom(y, size = size, mu = e * rr, log = TRUE),
    stats::dpois(y, e * rr, log = TRUE))
}

# The number of stored per-unit draws and of kept draws, over the chains.
.stored_draws <- function(fit) {
  c(stored = sum(vapply(fit$draws, function(d) nrow(d$phi), integer(1))),
    kept = sum(vapply(fit$draws, function(d) nrow(d$beta), integer(1))))
}

.say_stored <- function(fit, what) {
  n <- .stored_draws(fit)
  if (n[["stored"]] < n[["kept"]]) {
    message(what, ": from the ", n[["stored"]], " stored draws of the ",
            "unit-level values (of ", n[["kept"]], " kept draws); ",
            "`mcar_fit(keep = )` stores more.")
  }
  invisible(n)
}

# ---- print and summary ----------------------------------------------------

.fmt_table <- function(tab, digits) {
  out <- tab
  for (j in names(out)) {
    if (j %in% c("ess_bulk", "ess_tail")) {
      out[[j]] <- ifelse(is.na(tab[[j]]), "", formatC(round(tab[[j]]),
                                                      format = "d"))
    } else if (j == "rhat") {
      out[[j]] <- ifelse(is.na(tab[[j]]), "", formatC(tab[[j]], digits = 3,
                                                      format = "f"))
    } else if (is.integer(tab[[j]])) {
      out[[j]] <- as.character(tab[[j]])
    } else if (is.numeric(tab[[j]])) {
      out[[j]] <- formatC(tab[[j]], digits = digits, format = "f")
    }
  }
  out
}

.print_header <- function(x) {
  s <- x$settings
  n_keep <- nrow(x$draws[[1L]]$beta)
  cat("Multivariate CAR disease-mapping fit: ", length(x$outcomes),
      if (length(x$outcomes) == 1L) " outcome (" else " outcomes (",
      paste(x$outcomes, collapse = ", "), ") on ", length(x$units),
      " areal units", sep = "")
  nmiss <- sum(is.na(x$counts))
  if (nmiss) cat(",", nmiss, "missing count(s)")
  cat("\n")
  cat("Likelihood: ", switch(.family(x),
    binomial = "binomial, logit(prob[i,r]) = mu[i,r], with the given trials",
    negbinomial = paste("negative binomial, mean E[i,r] exp(mu[i,r]), size",
                        "dispersion[r] per outcome"),
    "Poisson, mean E[i,r] exp(mu[i,r])"), "\n", sep = "")
  if (length(x$covariates) > 1L) {
    cat("Covariates: ", paste(x$covariates[-1L], collapse = ", "), "\n",
        sep = "")
  }
  cat(s$chains, if (s$chains == 1L) " chain" else " chains", " x ", n_keep,
      " kept draws (n_sample = ", s$n_sample, ", burnin = ", s$burnin,
      ", thin = ", s$thin, "; seed = ", x$seed, ")\n", sep = "")
}

.print_dic <- function(dic) {
  cat(sprintf("DIC = %.1f, pD = %.1f (Dbar = %.1f, Dtheta = %.1f)\n",
              dic[["DIC"]], dic[["pD"]], dic[["Dbar"]], dic[["Dtheta"]]))
}

.print_acceptance <- function(x) {
  acc <- .acceptance_table(x)
  blocks <- unique(acc$block)
  parts <- vapply(blocks, function(b) {
    a <- acc[acc$block == b, ]
    lo <- min(a$min); hi <- max(a$max)
    if (isTRUE(all.equal(lo, hi))) sprintf("%s %.2f", b, lo) else
      sprintf("%s %.2f-%.2f", b, lo, hi)
  }, character(1))
  cat("Acceptance rates: ", paste(parts, collapse = ", "), "\n", sep = "")
}

.check_level <- function(level) {
  if (!is.numeric(level) || length(level) != 1L || !is.finite(level) ||
      level <= 0 || level >= 1) {
    .input_error("level", "must be a single number between 0 and 1.")
  }
  level
}

#' Methods for fitted MCAR models
#'
#' `print()` shows the run and its likelihood family, posterior summaries
#' of the coefficients, loadings, association matrix and (negative
#' binomial) sizes, the DIC and the acceptance rates; `summary()` adds bulk
#' and tail effective sample sizes and the relative risks (for binomial
#' fits the probabilities, against each outcome's overall proportion).
#' `coef()` returns the posterior means as a named list (`beta`, `Lambda`,
#' `A`, and `dispersion` for negative binomial fits); `fitted()` the
#' posterior mean expected counts (the response scale: E exp(mu), or N
#' plogis(mu) for the binomial; `type = "risk"` for relative risks or
#' probabilities); `predict()` those with credible intervals, and for
#' counts also predictive intervals; `predict()` also takes new covariate
#' values (`newdata`) and expected counts (`expected`; binomial fits: new
#' numbers of trials, `trials`) for the fitted units, for counterfactual
#' maps: the fields and coefficients are those of the fit.  Its predictive
#' intervals are quantiles of the mixture of the family's distributions
#' over the draws (Poisson, binomial, or negative binomial at each draw's
#' size), found by bisection.  `residuals()` response, Pearson or deviance
#' residuals of the family against the fitted counts (negative binomial:
#' at the posterior mean sizes); `nobs()` the number of observed counts;
#' `logLik()` the log-likelihood of the family at the posterior mean risks,
#' with `pD` as its degrees of freedom.
#'
#' @param x,object An `"mcar_fit"` object from [mcar_fit()].
#' @param digits Number of decimals shown.
#' @param level Probability mass of the credible intervals.
#' @param variables Parameters to summarise: group names (`"beta"`,
#'   `"Lambda"`, `"A"`, `"eta"`, `"theta"`, `"dispersion"`, `"phi"`, `"rr"`
#'   or `"prob"`, `"log_lik"`, `"deviance"`) and/or single names such as
#'   `"beta[1,2]"`.
#' @param type For `fitted()` and `predict()`: `"count"` or `"risk"`; for
#'   `residuals()`: `"response"`, `"pearson"` or `"deviance"`.
#' @param newdata For `predict()`: `NULL`, or new covariate values of the
#'   fitted units: a data frame holding the variables of the fit's
#'   covariate formula, or the columns of its covariate matrix (by name);
#'   one row per unit, matched to the units by name when its rows are named.
#' @param expected For `predict()`: `NULL` (the fit's expected counts) or
#'   new expected counts of the units, in the form `mcar_fit()` takes them
#'   (column names are looked up in `newdata`).
#' @param trials For `predict()` on a binomial fit: `NULL` (the fit's
#'   trials) or new numbers of trials of the units, whole numbers in the
#'   form `mcar_fit()` takes them.
#' @param ... Not used.
#' @return See the description; `predict()` returns a data frame with one
#'   row per unit and outcome.
#' @examples
#' sim <- minnesota_simulated()
#' fit <- mcar_fit(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
#'                 minnesota_adjacency(), n_sample = 600, burnin = 300,
#'                 chains = 2, seed = 1)
#' print(fit)
#' coef(fit)$Lambda
#' head(fitted(fit))
#' head(predict(fit))
#' head(residuals(fit, type = "pearson"))
#' nobs(fit)
#' logLik(fit)
#' @name mcar_fit-methods
#' @export
print.mcar_fit <- function(x, digits = 3, ...) {
  .print_header(x)
  tab <- .param_table(.draws_array(x, .reported), 0.95)
  names(tab)[names(tab) == "lower"] <- "2.5%"
  names(tab)[names(tab) == "upper"] <- "97.5%"
  print(.fmt_table(tab[c("mean", "sd", "2.5%", "97.5%", "rhat", "ess_bulk")],
                   digits), quote = FALSE, right = TRUE)
  .print_dic(x$dic)
  .print_acceptance(x)
  invisible(x)
}

#' @rdname mcar_fit-methods
#' @export
summary.mcar_fit <- function(object, level = 0.95, variables = .reported,
                             ...) {
  level <- .check_level(level)
  out <- list(parameters = .param_table(.draws_array(object, variables), level),
              risk = relative_risk(object, level = level),
              acceptance = .acceptance_table(object),
              dic = object$dic, level = level, settings = object$settings,
              seed = object$seed, units = object$units,
              outcomes = object$outcomes, covariates = object$covariates,
              counts = object$counts, family = .family(object),
              n_keep = nrow(object$draws[[1L]]$beta))
  class(out) <- "summary.mcar_fit"
  out
}

#' @rdname mcar_fit-methods
#' @export
print.summary.mcar_fit <- function(x, digits = 3, ...) {
  .print_header(list(settings = x$settings, seed = x$seed, units = x$units,
                     outcomes = x$outcomes, covariates = x$covariates,
                     counts = x$counts, family = x$family,
                     draws = list(list(beta = matrix(0, x$n_keep, 1L)))))
  pct <- function(p) paste0(format(100 * p), "%")
  a <- (1 - x$level) / 2
  cat("\nPosterior summaries (", pct(x$level), " credible intervals):\n",
      sep = "")
  tab <- x$parameters
  names(tab)[names(tab) == "lower"] <- pct(a)
  names(tab)[names(tab) == "upper"] <- pct(1 - a)
  print(.fmt_table(tab, digits), quote = FALSE, right = TRUE)
  writeLines(strwrap(paste0(
    "(rhat: potential scale reduction, near 1 when the chains agree; ",
    "ess_bulk, ess_tail: effective sample sizes of the centre and the ",
    "tails of each posterior)")))
  rr <- x$risk
  if (identical(x$family, "binomial")) {
    # Probabilities, against each outcome's overall proportion.
    cat("\nProbabilities (posterior means over the ", length(x$units),
        " units):\n", sep = "")
    rtab <- do.call(rbind, lapply(x$outcomes, function(o) {
      r <- rr[rr$outcome == o, ]
      data.frame(overall = r$overall[1L], min = min(r$mean),
                 median = median(r$mean), max = max(r$mean),
                 above = sum(r$lower > r$overall),
                 below = sum(r$upper < r$overall))
    }))
    rownames(rtab) <- x$outcomes
    names(rtab)[5:6] <- c("interval > overall", "interval < overall")
    for (j in 1:4) rtab[[j]] <- formatC(rtab[[j]], digits = digits,
                                        format = "g")
    print(.fmt_table(rtab, digits), quote = FALSE, right = TRUE)
    writeLines(strwrap(paste0(
      "(overall: the outcome's observed proportion, events over trials; ",
      "min, median, max: of the units' posterior mean probabilities; ",
      "interval > / < overall: the number of units whose ", pct(x$level),
      " credible interval lies wholly above / below the overall ",
      "proportion)")))
  } else {
    cat("\nRelative risks (posterior means over the ", length(x$units),
        " units):\n", sep = "")
    rtab <- do.call(rbind, lapply(x$outcomes, function(o) {
      r <- rr[rr$outcome == o, ]
      data.frame(min = min(r$mean), median = median(r$mean),
                 max = max(r$mean), above = sum(r$lower > 1),
                 below = sum(r$upper < 1))
    }))
    rownames(rtab) <- x$outcomes
    names(rtab)[4:5] <- c("interval > 1", "interval < 1")
    print(.fmt_table(rtab, digits), quote = FALSE, right = TRUE)
    writeLines(strwrap(paste0(
      "(min, median, max: of the units' posterior mean relative risks; ",
      "interval > 1 / < 1: the number of units whose ", pct(x$level),
      " credible interval lies wholly above / below 1)")))
  }
  cat("\n")
  .print_dic(x$dic)
  cat("\nAcceptance rates (kept sweeps):\n")
  acc <- x$acceptance
  acc[c("mean", "min", "max")] <- lapply(acc[c("mean", "min", "max")],
                                         formatC, digits = 3, format = "f")
  print(acc, row.names = FALSE, right = TRUE)
  invisible(x)
}

#' @rdname mcar_fit-methods
#' @export
coef.mcar_fit <- function(object, ...) {
  m <- apply(.draws_array(object, .reported), 3L, mean)
  K <- .n_outcomes(object); p <- ncol(object$X)
  beta <- matrix(m[grepl("^beta\\[", names(m))], p, K,
                 dimnames = list(object$covariates, object$outcomes))
  Lambda <- .unpack(m[grepl("^Lambda\\[", names(m))], K)
  A <- .unpack(m[grepl("^A\\[", names(m))], K)
  A[lower.tri(A)] <- t(A)[lower.tri(A)]
  dimnames(Lambda) <- list(object$outcomes, paste0("field", seq_len(K)))
  dimnames(A) <- list(paste0("field", seq_len(K)), paste0("field", seq_len(K)))
  out <- list(beta = beta, Lambda = Lambda, A = A)
  if (.family(object) == "negbinomial") {
    out$dispersion <- stats::setNames(unname(m[grepl("^dispersion\\[",
                                                     names(m))]),
                                      object$outcomes)
  }
  out
}

# What multiplies a cell's risk into its mean count: the expected counts, or
# the trials for the binomial.
.exposure <- function(object) {
  if (.family(object) == "binomial") object$trials else object$expected
}

# Each outcome's overall proportion, events over trials of the observed
# cells: the reference of a binomial fit's probabilities.
.overall_proportion <- function(object) {
  stats::setNames(.overall_rate(object$counts, object$trials),
                  object$outcomes)
}

# The risk each cell's is compared with: 1 for relative risks, the
# outcome's overall proportion for probabilities (one value per cell).
.risk_reference <- function(object) {
  if (.family(object) != "binomial") return(rep(1, length(object$counts)))
  rep(.overall_proportion(object), each = .n_units(object))
}

# Posterior summaries of risks (relative risks, or probabilities for the
# binomial) or mean counts per cell: means and sds over every kept draw,
# intervals from the stored draws; gt1 the probability that the risk
# exceeds its reference (.risk_reference()).
.cell_summary <- function(object, type, level) {
  rr <- .rr_summary(object)
  ps <- .pooled_summaries(object)
  e <- if (type == "count") as.vector(.exposure(object)) else 1
  gt1 <- if (!is.null(ps)) ps$rr_gt1 else
    colMeans(sweep(rr, 2L, .risk_reference(object), `>`))
  risk <- rr
  if (type == "count") rr <- sweep(rr, 2L, e, `*`)
  a <- (1 - level) / 2
  list(draws = rr, risk = risk, exposure = as.vector(.exposure(object)),
       mean = if (!is.null(ps)) ps$rr_mean * e else colMeans(rr),
       sd = if (!is.null(ps)) ps$rr_sd * e else apply(rr, 2L, sd),
       gt1 = gt1,
       lower = apply(rr, 2L, quantile, a, names = FALSE),
       upper = apply(rr, 2L, quantile, 1 - a, names = FALSE))
}

.as_cells <- function(object, v) {
  matrix(v, .n_units(object), dimnames = list(object$units, object$outcomes))
}

#' @rdname mcar_fit-methods
#' @export
fitted.mcar_fit <- function(object, type = c("count", "risk"), ...) {
  type <- match.arg(type)
  # Means need no draws: the sampler's running sums hold them.
  ps <- .pooled_summaries(object)
  m <- if (is.null(ps)) .cell_summary(object, type, 0.95)$mean else
    ps$rr_mean * if (type == "count") as.vector(.exposure(object)) else 1
  .as_cells(object, m)
}

# The prob-quantile of the posterior predictive distribution of each count,
# a mixture over the draws of the family's distributions (m: draws x
# cells): Poisson with means m; binomial with probabilities m and the trials
# `size` (one per cell); negative binomial with means m and the sizes `size`
# (draws x cells).  The quantile is the smallest k whose mixture
# distribution function reaches prob.  It lies between the smallest and the
# largest of the draws' own quantiles: for the Poisson and the binomial
# those at the smallest and largest mean; for the negative binomial, whose
# sizes vary with the draws too, between 0 and a bound found by doubling.
# It is found by bisection there, so the cost grows with the logarithm of
# the counts, not with the counts.
.predictive_quantiles <- function(m, prob, family = "poisson", size = NULL) {
  m <- as.matrix(m)
  S <- nrow(m)
  cdf <- function(k, act) {
    kk <- rep(k, each = S)
    colMeans(matrix(switch(family,
      binomial = stats::pbinom(kk, rep(size[act], each = S),
                               m[, act, drop = FALSE]),
      negbinomial = stats::pnbinom(kk, size = size[, act, drop = FALSE],
                                   mu = m[, act, drop = FALSE]),
      stats::ppois(kk, m[, act, drop = FALSE])), S))
  }
  if (family == "negbinomial") {
    lo <- rep(0, ncol(m))
    hi <- pmax(1, ceiling(apply(m, 2L, max)))
    act <- seq_along(hi)
    repeat {
      act <- act[cdf(hi[act], act) < prob]
      if (!length(act)) break
      hi[act] <- 2 * hi[act]
    }
  } else {
    q <- function(v) switch(family,
      binomial = stats::qbinom(prob, size, v),
      stats::qpois(prob, v))
    lo <- q(apply(m, 2L, min))
    hi <- q(apply(m, 2L, max))
  }
  while (length(act <- which(lo < hi))) {
    mid <- floor((lo[act] + hi[act]) / 2)
    reached <- cdf(mid, act) >= prob
    hi[act[reached]] <- mid[reached]
    lo[act[!reached]] <- mid[!reached] + 1
  }
  lo
}

#' @rdname mcar_fit-methods
#' @export
predict.mcar_fit <- function(object, newdata = NULL, type = c("count", "risk"),
                             level = 0.95, expected = NULL, trials = NULL,
                             ...) {
  type <- match.arg(type)
  level <- .check_level(level)
  s <- if (is.null(newdata) && is.null(expected) && is.null(trials)) {
    .cell_summary(object, type, level)
  } else {
    .new_cell_summary(object, newdata, expected, trials, type, level)
  }
  n <- .n_units(object)
  out <- data.frame(unit = rep(object$units, .n_outcomes(object)),
                    outcome = rep(object$outcomes, each = n),
                    observed = as.vector(object$counts),
                    mean = s$mean, lower = s$lower, upper = s$upper,
                    row.names = NULL, stringsAsFactors = FALSE)
  if (type == "count") {
    a <- (1 - level) / 2
    fam <- .family(object)
    m <- if (fam == "binomial") s$risk else s$draws
    size <- switch(fam, binomial = s$exposure,
                   negbinomial = .all_size_draws(object))
    out$predict_lower <- .predictive_quantiles(m, a, fam, size)
    out$predict_upper <- .predictive_quantiles(m, 1 - a, fam, size)
  }
  out
}

# The negative binomial sizes of every stored draw, per cell (draws x n K),
# in the order of .rr_summary().
.all_size_draws <- function(object) {
  do.call(rbind, lapply(object$draws, function(d) .size_draws(object, d)))
}

# The design matrix of the fitted units at new covariate values: `newdata`
# holds the covariates (the variables of the fit's formula, or the columns
# of its covariate matrix by name) for every unit, matched by name when its
# rows are named.
.new_design <- function(object, newdata) {
  if (is.null(newdata)) return(object$X)
  n <- .n_units(object)
  form <- object$covariate_formula
  if (ncol(object$X) == 1L) {
    .input_error("newdata", "is of no use: the fit has no covariates.")
  }
  if (inherits(form, "formula")) {
    if (!is.data.frame(newdata)) {
      .input_error("newdata", "must be a data frame holding the variables ",
                   "of the fit's covariate formula.")
    }
    tt <- stats::delete.response(stats::terms(form))
    mf <- tryCatch(stats::model.frame(tt, newdata, na.action = stats::na.pass,
                                      xlev = attr(form, "xlevels")),
                   error = function(e) {
                     .input_error("newdata", "cannot give the covariates: ",
                                  conditionMessage(e))
                   })
    X <- stats::model.matrix(tt, mf)
    if (!"(Intercept)" %in% colnames(X)) X <- cbind(`(Intercept)` = 1, X)
    rownames(X) <- .frame_row_names(newdata)
  } else {
    nd <- if (is.data.frame(newdata)) newdata else as.matrix(newdata)
    covs <- object$covariates[-1L]
    have <- colnames(nd)
    if (!is.null(have)) {
      if (!all(covs %in% have)) {
        .input_error("newdata", "must hold the covariates ",
                     paste(covs, collapse = ", "), "; it lacks ",
                     paste(setdiff(covs, have), collapse = ", "), ".")
      }
      nd <- nd[, covs, drop = FALSE]
    } else if (NCOL(nd) != length(covs)) {
      .input_error("newdata", "must hold the covariates ",
                   paste(covs, collapse = ", "), " (by name, or as many ",
                   "columns), not ", NCOL(nd), " column(s).")
    }
    rn <- if (is.data.frame(nd)) .frame_row_names(nd) else rownames(nd)
    nd <- as.matrix(nd)
    if (!is.numeric(nd)) .input_error("newdata", "must be numeric.")
    X <- cbind(1, unname(nd))
    colnames(X) <- object$covariates
    rownames(X) <- rn
  }
  if (!identical(colnames(X), object$covariates)) {
    .input_error("newdata", "gives the coefficients ",
                 paste(colnames(X), collapse = ", "), " instead of ",
                 paste(object$covariates, collapse = ", "), ".")
  }
  if (nrow(X) != n) {
    .input_error("newdata", "has ", nrow(X), " rows for the fit's ", n,
                 " units; it gives new covariate values of the fitted units.")
  }
  if (any(!is.finite(X))) {
    .input_error("newdata", "has missing or infinite covariate values.")
  }
  .rows_by_unit(object, X, "newdata")
}

# Rows of `x` put in the order of the fit's units when they are named.
.rows_by_unit <- function(object, x, arg) {
  nm <- .unit_names(rownames(x), arg)
  if (!is.null(nm) && !isFALSE(object$named_units)) {
    x <- x[.match_units(nm, object$units, arg, "the fit's units"), ,
           drop = FALSE]
  }
  x
}

# New expected counts of the units, or for a binomial fit new trials; NULL
# for the fit's own.
.new_exposure <- function(object, expected, trials, newdata) {
  binom <- .family(object) == "binomial"
  if (binom && !is.null(expected)) {
    .input_error("expected", "is not used by a binomial fit: give new ",
                 "numbers of trials as `trials`.")
  }
  if (!binom && !is.null(trials)) {
    .input_error("trials", "is only for binomial fits; this ",
                 .family_label(.family(object)), " fit takes new expected ",
                 "counts as `expected`.")
  }
  arg <- if (binom) "trials" else "expected"
  given <- if (binom) trials else expected
  own <- .exposure(object)
  if (is.null(given)) return(own)
  E <- .outcome_matrix(given, arg, newdata)
  if (!identical(dim(E), dim(own))) {
    .input_error(arg, "must be ", nrow(own), " x ", ncol(own),
                 " like the fit's, not ", nrow(E), " x ", ncol(E), ".")
  }
  if (anyNA(E) || any(!is.finite(E)) || any(E < 0)) {
    .input_error(arg, "must be non-negative and finite.")
  }
  if (binom && any(!.is_whole(E))) {
    .input_error(arg, "must be whole numbers of trials.")
  }
  E <- .rows_by_unit(object, E, arg)
  if (binom) round(E) else E
}

# As .cell_summary(), at new covariate values and expected counts (trials).
.new_cell_summary <- function(object, newdata, expected, trials, type, level) {
  X <- .new_design(object, newdata)
  E <- .new_exposure(object, expected, trials, newdata)
  at <- object
  at$X <- unname(X)
  risk <- do.call(rbind, lapply(object$draws, function(d) {
    .risk(object, .lp_draws(at, d))
  }))
  rr <- if (type == "count") sweep(risk, 2L, as.vector(E), `*`) else risk
  a <- (1 - level) / 2
  list(draws = rr, risk = risk, exposure = as.vector(E), mean = colMeans(rr),
       lower = apply(rr, 2L, quantile, a, names = FALSE),
       upper = apply(rr, 2L, quantile, 1 - a, names = FALSE))
}

#' @rdname mcar_fit-methods
#' @export
residuals.mcar_fit <- function(object, type = c("response", "pearson",
                                                "deviance"), ...) {
  type <- match.arg(type)
  mu <- fitted(object, type = "count")
  y <- object$counts
  fam <- .family(object)
  if (type == "response") return(y - mu)
  # The variance of a count at its fitted mean, and its deviance against
  # the saturated fit (for the negative binomial at the posterior mean
  # sizes; for the binomial at the fitted probability mu / N).
  psi <- if (fam == "negbinomial") {
    rep(coef(object)$dispersion, each = .n_units(object))
  }
  N <- object$trials
  if (type == "pearson") {
    v <- switch(fam, binomial = mu * (1 - mu / N),
                negbinomial = mu + mu^2 / psi, mu)
    return((y - mu) / sqrt(v))
  }
  ylogy <- function(a, b) ifelse(a > 0, a * log(a / b), 0)
  d <- switch(fam,
    binomial = ylogy(y, mu) + ylogy(N - y, N - mu),
    negbinomial = ylogy(y, mu) - ylogy(y + psi, mu + psi),
    ylogy(y, mu) - (y - mu))
  sign(y - mu) * sqrt(2 * pmax(d, 0))
}

#' @rdname mcar_fit-methods
#' @export
nobs.mcar_fit <- function(object, ...) sum(!is.na(object$counts))

#' @rdname mcar_fit-methods
#' @export
logLik.mcar_fit <- function(object, ...) {
  dic <- object$dic
  structure(-dic[["Dtheta"]] / 2, df = dic[["pD"]], nobs = nobs(object),
            class = "logLik")
}

#' Posterior relative risks per unit and outcome
#'
#' For Poisson and negative binomial fits, the relative risk
#' \eqn{\exp(\mu_{ir})}{exp(mu[i,r])} of every unit and outcome.  For
#' binomial fits, the probability \eqn{\mathrm{logit}^{-1}(\mu_{ir})}{
#' plogis(mu[i,r])} and its ratio to the outcome's overall proportion (its
#' events over its trials, observed cells only), which plays the part of the
#' relative risk: `threshold` is a ratio, and `prob_gt` the posterior
#' probability that the unit's probability exceeds `threshold` times the
#' overall proportion.
#'
#' @param object An `"mcar_fit"` object from [mcar_fit()].
#' @param threshold The relative risk (for binomial fits, the ratio to the
#'   overall proportion) whose exceedance probability is reported.
#' @param level Probability mass of the credible intervals.
#' @return A data frame with one row per unit and outcome (units vary
#'   fastest) and columns `unit`, `outcome`, `observed` (`NA` where the
#'   count is missing), `expected`, `smr` (observed / expected), `mean`,
#'   `sd`, `median`, `lower`, `upper` (the equal-tailed credible interval)
#'   and `prob_gt`, the posterior probability that the relative risk exceeds
#'   `threshold`.  For binomial fits `trials` and `proportion` (observed /
#'   trials) take the place of `expected` and `smr`; `mean` to `upper`
#'   summarise the probability; `overall` is the outcome's overall
#'   proportion and `ratio`, `ratio_lower`, `ratio_upper` the posterior
#'   mean and interval of the probability over it.
#' @examples
#' sim <- minnesota_simulated()
#' fit <- mcar_fit(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
#'                 minnesota_adjacency(), n_sample = 600, burnin = 300,
#'                 chains = 2, seed = 1)
#' rr <- relative_risk(fit, threshold = 1.2)
#' subset(rr, outcome == "Y1" & prob_gt > 0.9)$unit
#' @export
relative_risk <- function(object, threshold = 1, level = 0.95) {
  if (!inherits(object, "mcar_fit")) {
    .input_error("object", "must be an \"mcar_fit\" object.")
  }
  if (!is.numeric(threshold) || length(threshold) != 1L ||
      !is.finite(threshold) || threshold <= 0) {
    .input_error("threshold", "must be one positive number.")
  }
  level <- .check_level(level)
  s <- .cell_summary(object, "risk", level)
  binom <- .family(object) == "binomial"
  .say_stored(object, if (threshold == 1) "Intervals" else
    paste0("Intervals and P(", if (binom) "prob / overall" else "RR", " > ",
           format(threshold), ")"))
  n <- .n_units(object)
  ref <- .risk_reference(object)
  prob_gt <- if (threshold == 1) s$gt1 else
    colMeans(sweep(s$draws, 2L, threshold * ref, `>`))
  out <- data.frame(unit = rep(object$units, .n_outcomes(object)),
                    outcome = rep(object$outcomes, each = n),
                    observed = as.vector(object$counts),
                    row.names = NULL, stringsAsFactors = FALSE)
  if (binom) {
    N <- as.vector(object$trials)
    out$trials <- N
    out$proportion <- ifelse(N > 0, out$observed / N, NA_real_)
  } else {
    out$expected <- as.vector(object$expected)
    out$smr <- as.vector(object$counts / object$expected)
  }
  out$mean <- s$mean
  out$sd <- s$sd
  out$median <- apply(s$draws, 2L, median)
  out$lower <- s$lower
  out$upper <- s$upper
  if (binom) {
    out$overall <- ref
    out$ratio <- s$mean / ref
    out$ratio_lower <- s$lower / ref
    out$ratio_upper <- s$upper / ref
  }
  out$prob_gt <- prob_gt
  out
}

# ---- model comparison -----------------------------------------------------

# Refuses what needs more kept draws per chain than the fit has.
.check_enough_draws <- function(x, need, what, arg = "x") {
  n_keep <- nrow(x$draws[[1L]]$beta)
  if (n_keep < need) {
    .input_error(arg, "has ", n_keep, " kept draw", if (n_keep != 1L) "s",
                 " per chain; ", what, " needs at least ", need, ". Keep more ",
                 "(a larger `n_sample` or a smaller `thin`).")
  }
  invisible(n_keep)
}

.log_lik_array <- function(x) {
  arr <- .draws_array(x, "log_lik")
  arr
}

#' Model comparison: LOO and WAIC
#'
#' Methods for the generics of \pkg{loo}: `loo(fit)` (Pareto-smoothed
#' importance-sampling leave-one-out cross-validation, with relative
#' efficiencies from the chains) and `waic(fit)`, both over the observed
#' counts (one point per unit and outcome), with the log-likelihood of the
#' fit's family (every constant included; negative binomial at each draw's
#' own size).  `fit$dic` holds the DIC on the same full scale.
#'
#' @param x An `"mcar_fit"` object.
#' @param ... Passed to [loo::loo.array()] or [loo::waic.array()].
#' @return A `"loo"` or `"waic"` object.
#' @name mcar_loo
#' @examplesIf requireNamespace("loo", quietly = TRUE)
#' sim <- minnesota_simulated()
#' fit <- mcar_fit(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
#'                 minnesota_adjacency(), n_sample = 600, burnin = 300,
#'                 chains = 2, seed = 1)
#' loo::loo(fit)
#' loo::waic(fit)
#' @exportS3Method loo::loo
loo.mcar_fit <- function(x, ...) {
  .check_enough_draws(x, 2L, "LOO")
  .say_stored(x, "LOO")
  ll <- .log_lik_array(x)
  r_eff <- loo::relative_eff(exp(ll))
  loo::loo(ll, r_eff = r_eff, ...)
}

#' @rdname mcar_loo
#' @exportS3Method loo::waic
waic.mcar_fit <- function(x, ...) {
  .check_enough_draws(x, 2L, "WAIC")
  ps <- .pooled_summaries(x)
  if (is.null(ps)) return(loo::waic(.log_lik_array(x), ...))
  # From the sampler's running sums over every kept draw: the log mean
  # likelihood and the variance of the log-likelihood of each count.
  obs <- which(!is.na(as.vector(x$counts)))
  lpd <- ps$lpd[obs]
  p_waic <- ps$ll_var[obs]
  elpd_waic <- lpd - p_waic
  pointwise <- cbind(elpd_waic = elpd_waic, p_waic = p_waic,
                     waic = -2 * elpd_waic)
  rownames(pointwise) <- NULL
  if (any(p_waic > 0.4)) {
    warning(sum(p_waic > 0.4), " (", round(100 * mean(p_waic > 0.4), 1),
            "%) p_waic estimates greater than 0.4. We recommend trying loo ",
            "instead.", call. = FALSE)
  }
  N <- nrow(pointwise)
  est <- cbind(Estimate = colSums(pointwise),
               SE = sqrt(N * apply(pointwise, 2L, stats::var)))
  out <- list(estimates = est, pointwise = pointwise)
  old <- c("elpd_waic", "p_waic", "waic", "se_elpd_waic", "se_p_waic",
           "se_waic")
  out <- c(out, stats::setNames(as.list(est), old))
  structure(out, dims = c(ps$draws, N), class = c("waic", "loo"))
}

# ---- other draw formats ---------------------------------------------------

#' Draws in coda and posterior formats
#'
#' `as.mcmc()` returns the kept draws as a \pkg{coda} `mcmc.list` (one `mcmc`
#' per chain); `as_draws()`, `as_draws_array()`, `as_draws_df()`,
#' `as_draws_matrix()`, `as_draws_list()` and `as_draws_rvars()` return
#' them in \pkg{posterior}'s formats, variables in the order asked.  Variables are named `beta[j,r]`
#' (j = 1 the intercept, then the covariates; r the outcome),
#' `Lambda[r,c]` and `A[a,b]` (upper triangles), `eta[k]`, `theta[j]`,
#' `dispersion[r]` (the sizes of a negative binomial fit), `phi[i,c]`,
#' `rr[i,r]` (relative risks; binomial fits have the probabilities
#' `prob[i,r]` instead), `log_lik[i,r]` (observed counts only) and
#' `deviance`.
#'
#' @param x An `"mcar_fit"` object from [mcar_fit()].
#' @param variables Groups of variables (`"beta"`, `"Lambda"`, `"A"`,
#'   `"eta"`, `"theta"`, `"dispersion"`, `"phi"`, `"rr"` or `"prob"`,
#'   `"log_lik"`, `"deviance"`) and/or single names; by default all those of
#'   the fit.
#' @param ... Not used.
#' @return `as.mcmc()`: an `mcmc.list`; the others the \pkg{posterior}
#'   object of their name.
#' @examples
#' sim <- minnesota_simulated()
#' fit <- mcar_fit(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
#'                 minnesota_adjacency(), n_sample = 600, burnin = 300,
#'                 chains = 2, seed = 1)
#' m <- coda::as.mcmc(fit, variables = c("beta", "Lambda"))
#' coda::effectiveSize(m)
#' if (requireNamespace("posterior", quietly = TRUE)) {
#'   d <- posterior::as_draws_df(fit)
#'   posterior::summarise_draws(posterior::subset_draws(d, "beta"))
#' }
#' @export
as.mcmc.mcar_fit <- function(x, variables = .groups, ...) {
  arr <- .draws_array(x, variables)
  s <- x$settings
  coda::mcmc.list(lapply(seq_len(dim(arr)[2L]), function(k) {
    m <- matrix(arr[, k, ], nrow = dim(arr)[1L],
                dimnames = list(NULL, dimnames(arr)[[3L]]))
    coda::mcmc(m, start = s$burnin + s$thin, thin = s$thin)
  }))
}

#' @rdname as.mcmc.mcar_fit
#' @exportS3Method posterior::as_draws_array
as_draws_array.mcar_fit <- function(x, variables = .groups, ...) {
  arr <- .draws_array(x, variables)
  dimnames(arr)[[2L]] <- as.character(seq_len(dim(arr)[2L]))
  posterior::as_draws_array(arr)
}

#' @rdname as.mcmc.mcar_fit
#' @exportS3Method posterior::as_draws_df
as_draws_df.mcar_fit <- function(x, variables = .groups, ...) {
  posterior::as_draws_df(as_draws_array.mcar_fit(x, variables))
}

#' @rdname as.mcmc.mcar_fit
#' @exportS3Method posterior::as_draws
as_draws.mcar_fit <- function(x, variables = .groups, ...) {
  as_draws_array.mcar_fit(x, variables = variables, ...)
}

#' @importFrom coda as.mcmc
#' @export
coda::as.mcmc

#' @rdname as.mcmc.mcar_fit
#' @exportS3Method posterior::as_draws_matrix
as_draws_matrix.mcar_fit <- function(x, variables = .groups, ...) {
  posterior::as_draws_matrix(as_draws_array.mcar_fit(x, variables))
}

#' @rdname as.mcmc.mcar_fit
#' @exportS3Method posterior::as_draws_list
as_draws_list.mcar_fit <- function(x, variables = .groups, ...) {
  posterior::as_draws_list(as_draws_array.mcar_fit(x, variables))
}

#' @rdname as.mcmc.mcar_fit
#' @exportS3Method posterior::as_draws_rvars
as_draws_rvars.mcar_fit <- function(x, variables = .groups, ...) {
  posterior::as_draws_rvars(as_draws_array.mcar_fit(x, variables))
}

# ---- the extractors of other modelling packages ---------------------------

#' Intervals, covariances, draws and replicated data of a fit
#'
#' `confint()` gives equal-tailed posterior credible intervals,
#' `vcov()` the posterior covariance matrix of the chosen parameters (by
#' default the regression coefficients), `as.data.frame()` the kept draws
#' (one row per draw, with `.chain`, `.iteration` and `.draw`).
#' `posterior_predict()` draws replicated counts from the fit's family for
#' every unit and outcome, one set per kept draw of the parameters (draws x
#' cells, units
#' varying fastest), and `simulate()` `nsim` such sets as the columns of a
#' data frame.  `pp_check()` compares the observed counts with replicated
#' ones through \pkg{bayesplot}.
#'
#' @param object,x An `"mcar_fit"` object from [mcar_fit()].
#' @param parm,variables Parameters: group names (`"beta"`, `"Lambda"`,
#'   `"A"`, `"eta"`, `"theta"`, `"dispersion"`, `"phi"`, `"rr"` or `"prob"`,
#'   `"log_lik"`, `"deviance"`) and/or single names such as `"beta[2,1]"`.
#' @param level Probability mass of the intervals.
#' @param row.names,optional Not used.
#' @param nsim Number of replicated data sets.
#' @param seed `NULL` or a whole number seeding R's generator for the
#'   replicates (the caller's generator state is put back afterwards).
#' @param ndraws `NULL` for every kept draw, or the number of draws to use
#'   (taken evenly spaced).
#' @param fun For `pp_check()`: the name of a \pkg{bayesplot} `ppc_`
#'   function without its prefix, such as `"dens_overlay"`, `"bars"`,
#'   `"stat"` or `"intervals"`.
#' @param ... Passed on to the \pkg{bayesplot} function by `pp_check()`;
#'   otherwise not used.
#' @return `confint()`: a matrix with one row per parameter; `vcov()`: a
#'   square matrix; `as.data.frame()`: a data frame; `posterior_predict()`:
#'   a matrix of counts (draws x cells) named `y[i,r]`; `simulate()`: a data
#'   frame of `nsim` columns with one row per unit and outcome;
#'   `pp_check()`: a ggplot object.
#' @examples
#' sim <- minnesota_simulated()
#' fit <- mcar_fit(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
#'                 minnesota_adjacency(), n_sample = 600, burnin = 300,
#'                 chains = 2, seed = 1)
#' confint(fit, "beta")
#' vcov(fit)
#' head(as.data.frame(fit, variables = "Lambda"))
#' yrep <- posterior_predict(fit, ndraws = 100)
#' dim(yrep)
#' if (requireNamespace("bayesplot", quietly = TRUE)) {
#'   bayesplot::pp_check(fit, fun = "bars")
#' }
#' @name mcar_fit-extractors
#' @export
confint.mcar_fit <- function(object, parm = .reported, level = 0.95, ...) {
  level <- .check_level(level)
  arr <- .draws_array(object, parm)
  m <- matrix(arr, prod(dim(arr)[1:2]))
  a <- (1 - level) / 2
  out <- t(apply(m, 2L, quantile, c(a, 1 - a), names = FALSE))
  dimnames(out) <- list(dimnames(arr)[[3L]],
                        paste(format(100 * c(a, 1 - a), trim = TRUE), "%"))
  out
}

#' @rdname mcar_fit-extractors
#' @export
vcov.mcar_fit <- function(object, variables = "beta", ...) {
  arr <- .draws_array(object, variables)
  m <- matrix(arr, prod(dim(arr)[1:2]),
              dimnames = list(NULL, dimnames(arr)[[3L]]))
  stats::cov(m)
}

#' @rdname mcar_fit-extractors
#' @export
as.data.frame.mcar_fit <- function(x, row.names = NULL, optional = FALSE,
                                   variables = .groups, ...) {
  arr <- .draws_array(x, variables)
  S <- dim(arr)[1L]; chains <- dim(arr)[2L]
  out <- as.data.frame(matrix(arr, S * chains,
                              dimnames = list(NULL, dimnames(arr)[[3L]])),
                       optional = TRUE)
  out$.chain <- rep(seq_len(chains), each = S)
  out$.iteration <- rep(seq_len(S), chains)
  out$.draw <- seq_len(S * chains)
  out
}

# Evenly spaced kept draws (over all chains), ndraws of them.
.pick_draws <- function(total, ndraws) {
  if (is.null(ndraws)) return(seq_len(total))
  ndraws <- .check_count(ndraws, "ndraws", lower = 1, upper = total)
  unique(round(seq(1, total, length.out = ndraws)))
}

#' @rdname mcar_fit-extractors
#' @export
posterior_predict <- function(object, ...) UseMethod("posterior_predict")

#' @rdname mcar_fit-extractors
#' @export
posterior_predict.mcar_fit <- function(object, ndraws = NULL, seed = NULL,
                                       ...) {
  risk <- .rr_summary(object)
  keep <- .pick_draws(nrow(risk), ndraws)
  if (!is.null(seed)) {
    seed <- .check_seed(seed)
    restore <- .save_rng()
    on.exit(restore())
    set.seed(seed)
  }
  y <- .replicate_counts(object, risk, keep)
  colnames(y) <- .cell_names("y", .n_units(object), .n_outcomes(object))
  y
}

# Counts drawn from the family's distribution at the stored draws `keep`
# (rows of risk, the risk draws of .rr_summary()): draws x cells, or with
# `by_cell` cells x draws (drawn in that order).
.replicate_counts <- function(object, risk, keep, by_cell = FALSE) {
  risk <- risk[keep, , drop = FALSE]
  e <- matrix(as.vector(.exposure(object)), nrow(risk), ncol(risk),
              byrow = TRUE)
  size <- if (.family(object) == "negbinomial") {
    .all_size_draws(object)[keep, , drop = FALSE]
  }
  if (by_cell) {
    risk <- t(risk); e <- t(e)
    if (!is.null(size)) size <- t(size)
  }
  y <- switch(.family(object),
    binomial = stats::rbinom(length(risk), e, risk),
    negbinomial = stats::rnbinom(length(risk), size = size, mu = risk * e),
    stats::rpois(length(risk), risk * e))
  matrix(y, nrow(risk))
}

#' @rdname mcar_fit-extractors
#' @export
simulate.mcar_fit <- function(object, nsim = 1, seed = NULL, ...) {
  nsim <- .check_count(nsim, "nsim", lower = 1)
  risk <- .rr_summary(object)
  if (!is.null(seed)) {
    seed <- .check_seed(seed)
    restore <- .save_rng()
    on.exit(restore())
    set.seed(seed)
  }
  pick <- sample.int(nrow(risk), nsim, replace = TRUE)
  out <- as.data.frame(.replicate_counts(object, risk, pick, by_cell = TRUE))
  names(out) <- paste0("sim_", seq_len(nsim))
  rownames(out) <- paste0(rep(object$units, .n_outcomes(object)), ":",
                          rep(object$outcomes, each = .n_units(object)))
  out
}

#' @rdname mcar_fit-extractors
#' @exportS3Method bayesplot::pp_check
pp_check.mcar_fit <- function(object, fun = "dens_overlay", ndraws = 50,
                              ...) {
  if (!requireNamespace("bayesplot", quietly = TRUE)) {
    stop("package 'bayesplot' is needed for pp_check()", call. = FALSE)
  }
  ppc <- paste0("ppc_", fun)
  if (!is.character(fun) || length(fun) != 1L ||
      !exists(ppc, envir = asNamespace("bayesplot"), inherits = FALSE)) {
    .input_error("fun", "must name a bayesplot ppc_ function without its ",
                 "prefix, such as \"dens_overlay\" or \"bars\".")
  }
  obs <- which(!is.na(as.vector(object$counts)))
  yrep <- posterior_predict(object, ndraws = ndraws)[, obs, drop = FALSE]
  f <- get(ppc, envir = asNamespace("bayesplot"))
  f(as.vector(object$counts)[obs], yrep, ...)
}

# ---- correlation between outcomes -----------------------------------------

#' Correlation between outcomes
#'
#' Two correlations between each pair of outcomes, with posterior means and
#' credible intervals.  `"implied"`: the correlation of the spatial parts
#' of two outcomes' log risks, \eqn{\Lambda \phi_i}{Lambda phi[i,]}, that
#' the model implies at a unit, averaged over the units: the MCAR prior
#' gives the fields at unit i the covariance block i of \eqn{(I_K \otimes D
#' - A \otimes C)^{-1}}{(I_K x D - A x C)^-1}, which depends on the map and
#' the association matrix A as well as the loadings.  `"surfaces"`: the
#' correlation over the units between the two fitted log-risk surfaces (the
#' covariates included), per draw.  \eqn{\Lambda \Lambda'}{Lambda Lambda'}
#' alone is not the covariance of the outcomes: it leaves out the spatial
#' structure of the fields.  Both are correlations of the linear predictors
#' mu, whatever the family: log risks for Poisson and negative binomial
#' fits, log odds for binomial ones.
#'
#' @param object An `"mcar_fit"` object from [mcar_fit()].
#' @param level Probability mass of the credible intervals.
#' @return A data frame with one row per pair of outcomes and kind of
#'   correlation: `outcome1`, `outcome2`, `type` (`"implied"` or
#'   `"surfaces"`), `mean`, `lower`, `upper`.
#' @examples
#' sim <- minnesota_simulated()
#' fit <- mcar_fit(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
#'                 minnesota_adjacency(), n_sample = 600, burnin = 300,
#'                 chains = 2, seed = 1)
#' outcome_correlation(fit)
#' @export
outcome_correlation <- function(object, level = 0.95) {
  if (!inherits(object, "mcar_fit")) {
    .input_error("object", "must be an \"mcar_fit\" object.")
  }
  level <- .check_level(level)
  K <- .n_outcomes(object); n <- .n_units(object)
  if (K < 2L) .input_error("object", "has one outcome: nothing to correlate.")
  pairs <- which(upper.tri(diag(K)), arr.ind = TRUE)
  pairs <- pairs[order(pairs[, 1L], pairs[, 2L]), , drop = FALSE]
  # The map's part needs every eigenvector of the map: on maps larger than
  # .DENSE_MAP_MAX units, which it would not fit in memory, only the
  # correlation of the fitted surfaces is given.
  imp <- if (n <= .DENSE_MAP_MAX) .implied_correlation(object, pairs) else {
    message("The implied correlation needs the eigenvectors of the map, a ",
            "dense ", n, " x ", n, " matrix: given on maps of up to ",
            .DENSE_MAP_MAX, " units; the surfaces' correlation follows.")
    NULL
  }
  surf <- do.call(rbind, lapply(object$draws, function(d) {
    mu <- .lp_draws(object, d)
    t(apply(mu, 1L, function(m) stats::cor(matrix(m, n))[pairs]))
  }))
  a <- (1 - level) / 2
  summarise <- function(x, type) {
    x <- matrix(x, ncol = nrow(pairs))
    data.frame(outcome1 = object$outcomes[pairs[, 1L]],
               outcome2 = object$outcomes[pairs[, 2L]], type = type,
               mean = colMeans(x),
               lower = apply(x, 2L, quantile, a, names = FALSE),
               upper = apply(x, 2L, quantile, 1 - a, names = FALSE),
               stringsAsFactors = FALSE)
  }
  rbind(if (!is.null(imp)) summarise(imp, "implied"),
        summarise(surf, "surfaces"))
}

.DENSE_MAP_MAX <- 2000L

# Draws of the correlations between outcomes that the model implies,
# averaged over the units (see outcome_correlation()).
.implied_correlation <- function(object, pairs) {
  n <- .n_units(object); K <- .n_outcomes(object)
  # The map's part: with S = D^-1/2 C D^-1/2 = U diag(lambda) U', block i of
  # the prior covariance is sum_j U[i,j]^2 / d[i] (I - lambda_j A)^-1, so the
  # average over the units is sum_j w_j (I - lambda_j A)^-1.
  C <- Matrix::sparseMatrix(i = object$map$col + 1L,
                            j = rep(seq_len(n), diff(object$map$row_ptr)),
                            x = object$map$w, dims = c(n, n))
  s <- 1 / sqrt(object$map$d)
  e <- eigen(as.matrix(C) * outer(s, s), symmetric = TRUE)
  w <- colSums(e$vectors^2 / object$map$d) / n
  lambda <- e$values
  implied <- function(d, k) {
    A <- .unpack(d$A[k, ], K); A[lower.tri(A)] <- t(A)[lower.tri(A)]
    L <- .unpack(d$Lambda[k, ], K)
    ea <- eigen(A, symmetric = TRUE)
    v <- vapply(ea$values, function(eta) sum(w / (1 - eta * lambda)),
                numeric(1))
    Sigma <- ea$vectors %*% (v * t(ea$vectors))
    stats::cov2cor(L %*% Sigma %*% t(L))[pairs]
  }
  imp <- do.call(rbind, lapply(object$draws, function(d) {
    t(vapply(seq_len(nrow(d$A)), function(k) implied(d, k),
             numeric(nrow(pairs))))
  }))
  imp
}
