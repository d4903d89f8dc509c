# Methods for "mcar_fit" objects: derived draws (relative risks, pointwise
# log-likelihood), draws in other formats, summaries, extractors, model
# comparison and the checks that a fit can be trusted.

.groups <- c("beta", "Lambda", "A", "eta", "theta", "phi", "rr", "log_lik",
             "deviance")
.reported <- c("beta", "Lambda", "A")

.n_units <- function(fit) length(fit$units)
.n_outcomes <- function(fit) length(fit$outcomes)

# Linear predictors mu[i,r] of one chain's draws: draws x (n K), column
# i + n (r - 1).
.lp_draws <- function(fit, d) {
  n <- .n_units(fit); K <- .n_outcomes(fit); p <- ncol(fit$X)
  S <- nrow(d$beta)
  L <- d$Lambda
  Lnames <- colnames(L)
  out <- matrix(0, S, n * K)
  for (r in seq_len(K)) {
    b <- d$beta[, (r - 1L) * p + seq_len(p), drop = FALSE]
    mu <- b %*% t(fit$X)
    for (c in r:K) {
      l <- L[, match(sprintf("Lambda[%d,%d]", r, c), Lnames)]
      mu <- mu + l * d$phi[, (c - 1L) * n + seq_len(n), drop = FALSE]
    }
    out[, (r - 1L) * n + seq_len(n)] <- mu
  }
  out
}

.cell_names <- function(name, n, K) {
  paste0(name, "[", rep(seq_len(n), K), ",", rep(seq_len(K), each = n), "]")
}

# Relative-risk draws of one chain.
.rr_draws <- function(fit, d) {
  x <- exp(.lp_draws(fit, d))
  colnames(x) <- .cell_names("rr", .n_units(fit), .n_outcomes(fit))
  x
}

# Pointwise Poisson log-likelihood of the observed counts, one chain.
.log_lik_draws <- function(fit, d) {
  y <- as.vector(fit$counts)
  e <- as.vector(fit$expected)
  obs <- which(!is.na(y))
  mu <- .lp_draws(fit, d)[, obs, drop = FALSE]
  lam <- sweep(exp(mu), 2L, e[obs], `*`)
  ll <- matrix(stats::dpois(rep(y[obs], each = nrow(lam)), lam, log = TRUE),
               nrow(lam))
  colnames(ll) <- .cell_names("log_lik", .n_units(fit),
                              .n_outcomes(fit))[obs]
  ll
}

.group_draws <- function(fit, d, group) {
  switch(group,
    rr = .rr_draws(fit, d),
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
  groups <- intersect(.groups, variables)
  single <- setdiff(variables, .groups)
  if (length(single)) {
    base <- sub("\\[.*$", "", single)
    bad <- setdiff(base, .groups)
    if (length(bad)) {
      .input_error("variables", "has unknown name(s): ",
                   paste(head(bad, 5L), collapse = ", "), ".")
    }
    groups <- union(groups, intersect(.groups, base))
  }
  per_chain <- lapply(fit$draws, function(d) {
    do.call(cbind, lapply(groups, function(g) .group_draws(fit, d, g)))
  })
  vars <- colnames(per_chain[[1L]])
  keep <- if (length(single)) {
    whole <- vars[sub("\\[.*$", "", vars) %in% intersect(variables, .groups)]
    unknown <- setdiff(single, vars)
    if (length(unknown)) {
      .input_error("variables", "has unknown parameter(s): ",
                   paste(head(unknown, 5L), collapse = ", "), ".")
    }
    vars[vars %in% c(whole, single)]
  } else vars
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

# One warning that lists what makes the fit untrustworthy, with a remedy.
.warn_untrustworthy <- function(fit) {
  problems <- character()
  tab <- .param_table(.draws_array(fit, .reported), 0.95)
  chains <- length(fit$draws)
  if (chains > 1L) {
    bad <- rownames(tab)[!is.na(tab$rhat) & tab$rhat > 1.05]
    if (length(bad)) {
      problems <- c(problems, sprintf(
        "R-hat above 1.05 for %s (largest %.3g)",
        paste(head(bad, 5L), collapse = ", "), max(tab$rhat, na.rm = TRUE)))
    }
  }
  low <- rownames(tab)[!is.na(tab$ess_bulk) & tab$ess_bulk < 100]
  if (length(low)) {
    problems <- c(problems, sprintf(
      "bulk ESS below 100 for %s (smallest %.0f)",
      paste(head(low, 5L), collapse = ", "), min(tab$ess_bulk, na.rm = TRUE)))
  }
  acc <- .acceptance_table(fit)
  odd <- acc[acc$mean < 0.05 | acc$mean > 0.95, , drop = FALSE]
  if (nrow(odd)) {
    problems <- c(problems, sprintf(
      "acceptance rate %s in block(s) %s",
      paste(sprintf("%.3f", odd$mean), collapse = ", "),
      paste(unique(paste0(odd$block, " (chain ", odd$chain, ")")),
            collapse = ", ")))
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

# DIC on the full Poisson scale (log Y! included), comparable across
# packages: Dbar the mean deviance, Dtheta the deviance at the posterior
# mean relative risks.
.dic <- function(fit) {
  dev <- unlist(lapply(fit$draws, function(d) d$deviance))
  rr <- colMeans(.rr_summary(fit))
  y <- as.vector(fit$counts); e <- as.vector(fit$expected)
  obs <- !is.na(y)
  dtheta <- -2 * sum(stats::dpois(y[obs], e[obs] * rr[obs], log = TRUE))
  dbar <- mean(dev)
  c(Dbar = dbar, Dtheta = dtheta, pD = dbar - dtheta, DIC = 2 * dbar - dtheta)
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
#' `print()` shows the run, posterior summaries of the coefficients,
#' loadings and association matrix, the DIC and the acceptance rates;
#' `summary()` adds bulk and tail effective sample sizes and the relative
#' risks.  `coef()` returns the posterior means as a named list (`beta`,
#' `Lambda`, `A`); `fitted()` the posterior mean expected counts (the
#' response scale; `type = "risk"` for relative risks); `predict()` those
#' with credible intervals, and for counts also predictive intervals;
#' `residuals()` response, Pearson or deviance residuals against the fitted
#' counts; `nobs()` the number of observed counts; `logLik()` the Poisson
#' log-likelihood at the posterior mean relative risks, with `pD` as its
#' degrees of freedom.
#'
#' @param x,object An `"mcar_fit"` object from [mcar_fit()].
#' @param digits Number of decimals shown.
#' @param level Probability mass of the credible intervals.
#' @param variables Parameters to summarise: group names (`"beta"`,
#'   `"Lambda"`, `"A"`, `"eta"`, `"theta"`, `"phi"`, `"rr"`, `"log_lik"`,
#'   `"deviance"`) and/or single names such as `"beta[1,2]"`.
#' @param type For `fitted()` and `predict()`: `"count"` or `"risk"`; for
#'   `residuals()`: `"response"`, `"pearson"` or `"deviance"`.
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
              counts = object$counts,
              n_keep = nrow(object$draws[[1L]]$beta))
  class(out) <- "summary.mcar_fit"
  out
}

#' @rdname mcar_fit-methods
#' @export
print.summary.mcar_fit <- function(x, digits = 3, ...) {
  .print_header(list(settings = x$settings, seed = x$seed, units = x$units,
                     outcomes = x$outcomes, covariates = x$covariates,
                     counts = x$counts,
                     draws = list(list(beta = matrix(0, x$n_keep, 1L)))))
  pct <- function(p) paste0(format(100 * p), "%")
  a <- (1 - x$level) / 2
  cat("\nPosterior summaries (", pct(x$level), " credible intervals):\n",
      sep = "")
  tab <- x$parameters
  names(tab)[names(tab) == "lower"] <- pct(a)
  names(tab)[names(tab) == "upper"] <- pct(1 - a)
  print(.fmt_table(tab, digits), quote = FALSE, right = TRUE)
  cat("\nRelative risks (posterior means over the ", length(x$units),
      " units):\n", sep = "")
  rr <- x$risk
  rtab <- do.call(rbind, lapply(x$outcomes, function(o) {
    r <- rr[rr$outcome == o, ]
    data.frame(min = min(r$mean), median = median(r$mean), max = max(r$mean),
               above = sum(r$lower > 1), below = sum(r$upper < 1))
  }))
  rownames(rtab) <- x$outcomes
  names(rtab)[4:5] <- c("interval > 1", "interval < 1")
  print(.fmt_table(rtab, digits), quote = FALSE, right = TRUE)
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
  list(beta = beta, Lambda = Lambda, A = A)
}

# Posterior summaries of relative risks or mean counts per cell.
.cell_summary <- function(object, type, level) {
  rr <- .rr_summary(object)
  if (type == "count") rr <- sweep(rr, 2L, as.vector(object$expected), `*`)
  a <- (1 - level) / 2
  list(draws = rr, mean = colMeans(rr),
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
  .as_cells(object, .cell_summary(object, type, 0.95)$mean)
}

# Quantiles of the posterior predictive distribution of a count, a mixture
# of Poisson distributions over the draws of its mean.
.predictive_quantiles <- function(lam, probs) {
  hi <- stats::qpois(max(probs), max(lam)) + 1
  y <- 0:hi
  cdf <- vapply(y, function(k) mean(stats::ppois(k, lam)), numeric(1))
  vapply(probs, function(pr) y[which(cdf >= pr)[1L]], numeric(1))
}

#' @rdname mcar_fit-methods
#' @export
predict.mcar_fit <- function(object, type = c("count", "risk"), level = 0.95,
                             ...) {
  type <- match.arg(type)
  level <- .check_level(level)
  s <- .cell_summary(object, type, level)
  n <- .n_units(object)
  out <- data.frame(unit = rep(object$units, .n_outcomes(object)),
                    outcome = rep(object$outcomes, each = n),
                    observed = as.vector(object$counts),
                    mean = s$mean, lower = s$lower, upper = s$upper,
                    row.names = NULL, stringsAsFactors = FALSE)
  if (type == "count") {
    a <- (1 - level) / 2
    q <- vapply(seq_len(ncol(s$draws)), function(j) {
      .predictive_quantiles(s$draws[, j], c(a, 1 - a))
    }, numeric(2))
    out$predict_lower <- q[1L, ]
    out$predict_upper <- q[2L, ]
  }
  out
}

#' @rdname mcar_fit-methods
#' @export
residuals.mcar_fit <- function(object, type = c("response", "pearson",
                                                "deviance"), ...) {
  type <- match.arg(type)
  mu <- fitted(object, type = "count")
  y <- object$counts
  r <- switch(type,
    response = y - mu,
    pearson = (y - mu) / sqrt(mu),
    deviance = sign(y - mu) *
      sqrt(2 * (ifelse(y > 0, y * log(y / mu), 0) - (y - mu))))
  r
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
#' @param object An `"mcar_fit"` object from [mcar_fit()].
#' @param threshold The relative risk whose exceedance probability is
#'   reported.
#' @param level Probability mass of the credible intervals.
#' @return A data frame with one row per unit and outcome (units vary
#'   fastest) and columns `unit`, `outcome`, `observed` (`NA` where the
#'   count is missing), `expected`, `smr` (observed / expected), `mean`,
#'   `sd`, `median`, `lower`, `upper` (the equal-tailed credible interval)
#'   and `prob_gt`, the posterior probability that the relative risk exceeds
#'   `threshold`.
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
  n <- .n_units(object)
  data.frame(unit = rep(object$units, .n_outcomes(object)),
             outcome = rep(object$outcomes, each = n),
             observed = as.vector(object$counts),
             expected = as.vector(object$expected),
             smr = as.vector(object$counts / object$expected),
             mean = s$mean, sd = apply(s$draws, 2L, sd),
             median = apply(s$draws, 2L, median),
             lower = s$lower, upper = s$upper,
             prob_gt = colMeans(s$draws > threshold),
             row.names = NULL, stringsAsFactors = FALSE)
}

# ---- model comparison -----------------------------------------------------

.log_lik_array <- function(x) {
  arr <- .draws_array(x, "log_lik")
  arr
}

#' Model comparison: LOO and WAIC
#'
#' Methods for the generics of \pkg{loo}: `loo(fit)` (Pareto-smoothed
#' importance-sampling leave-one-out cross-validation, with relative
#' efficiencies from the chains) and `waic(fit)`, both over the observed
#' counts (one point per unit and outcome).  `fit$dic` holds the DIC on the
#' same full Poisson scale.
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
  ll <- .log_lik_array(x)
  r_eff <- loo::relative_eff(exp(ll))
  loo::loo(ll, r_eff = r_eff, ...)
}

#' @rdname mcar_loo
#' @exportS3Method loo::waic
waic.mcar_fit <- function(x, ...) {
  loo::waic(.log_lik_array(x), ...)
}

# ---- other draw formats ---------------------------------------------------

#' Draws in coda and posterior formats
#'
#' `as.mcmc()` returns the kept draws as a \pkg{coda} `mcmc.list` (one `mcmc`
#' per chain); `as_draws()`, `as_draws_array()` and `as_draws_df()` return
#' them in \pkg{posterior}'s formats.  Variables are named `beta[j,r]`
#' (j = 1 the intercept, then the covariates; r the outcome),
#' `Lambda[r,c]` and `A[a,b]` (upper triangles), `eta[k]`, `theta[j]`,
#' `phi[i,c]`, `rr[i,r]` (relative risks), `log_lik[i,r]` (observed counts
#' only) and `deviance`.
#'
#' @param x An `"mcar_fit"` object from [mcar_fit()].
#' @param variables Groups of variables (`"beta"`, `"Lambda"`, `"A"`,
#'   `"eta"`, `"theta"`, `"phi"`, `"rr"`, `"log_lik"`, `"deviance"`) and/or
#'   single names; by default all of them.
#' @param ... Not used.
#' @return `as.mcmc()`: an `mcmc.list`; the others a `draws_array` or
#'   `draws_df`.
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
