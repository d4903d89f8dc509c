# Model comparison: DIC, the log-likelihood at the posterior mean risks, LOO
# and WAIC.

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

#' @rdname mcar_fit-methods
#' @order 9
#' @export
logLik.mcar_fit <- function(object, ...) {
  dic <- object$dic
  structure(-dic[["Dtheta"]] / 2, df = dic[["pD"]], nobs = nobs(object),
            class = "logLik")
}

# The pointwise log-likelihood draws: stored draws x chains x observed
# cells, filled chain by chain.
.log_lik_array <- function(x) {
  out <- NULL
  for (k in seq_along(x$draws)) {
    ll <- .log_lik_draws(x, x$draws[[k]])
    if (is.null(out)) {
      out <- array(NA_real_, c(nrow(ll), length(x$draws), ncol(ll)),
                   dimnames = list(NULL, names(x$draws), colnames(ll)))
    }
    out[, k, ] <- ll
  }
  out
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
