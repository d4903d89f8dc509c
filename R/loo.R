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

# The pointwise log-likelihood draws: stored draws x observed cells, the
# chains one below the other, filled chain by chain (with its dim set to
# draws x chains x cells, the array loo reads).
.log_lik_matrix <- function(x) {
  out <- NULL
  for (k in seq_along(x$draws)) {
    ll <- .log_lik_chain(x, x$draws[[k]])
    S <- nrow(ll)
    if (is.null(out)) {
      out <- matrix(NA_real_, S * length(x$draws), ncol(ll),
                    dimnames = list(NULL, colnames(ll)))
    }
    out[(k - 1L) * S + seq_len(S), ] <- ll
  }
  out
}

# One chain's pointwise log-likelihood, .log_lik_draws(fit, d), in
# compiled code from the draws (the linear predictors and risks are not
# kept as matrices of draws x cells), on the fit's threads.
.log_lik_chain <- function(fit, d) {
  n <- .n_units(fit); K <- .n_outcomes(fit); p <- ncol(fit$X)
  y <- as.vector(fit$counts)
  if (length(y) != n * K) return(.log_lik_draws(fit, d))
  obs <- .observed_cells(fit)
  rows <- .stored_rows(fit, d)
  L <- d$Lambda[rows, , drop = FALSE]
  lambda_col <- matrix(0L, K, K)
  for (r in seq_len(K)) for (c in r:K) {
    lambda_col[r, c] <- match(sprintf("Lambda[%d,%d]", r, c), colnames(L))
  }
  fam <- .family(fit)
  ll <- .Call(mcar_log_lik_lp,
              match(fam, c("poisson", "binomial", "negbinomial")) - 1L,
              as.double(y[obs]), as.double(as.vector(.exposure(fit))[obs]),
              .as_double_matrix(d$beta[rows, , drop = FALSE]),
              .as_double_matrix(as.matrix(fit$X)), .as_double_matrix(L),
              lambda_col, .as_double_matrix(d$phi),
              if (.family_has_sizes(fam)) {
                .as_double_matrix(d$dispersion[rows, , drop = FALSE])
              }, as.integer(obs), .fit_threads(fit))
  colnames(ll) <- .cell_names("log_lik", n, K, .n_periods(fit))[obs]
  ll
}

.log_lik_array <- function(x) {
  ll <- .log_lik_matrix(x)
  array(ll, c(nrow(ll) / length(x$draws), length(x$draws), ncol(ll)),
        dimnames = list(NULL, names(x$draws), colnames(ll)))
}

# The relative efficiencies of the likelihoods of the observed counts, as
# loo::relative_eff() computes them from the chains (ll: .log_lik_matrix()),
# in compiled code; a likelihood constant over the draws is left to loo.
.relative_eff <- function(ll, chains) {
  r <- .Call(mcar_relative_eff, ll, as.integer(chains))
  odd <- which(is.na(r))
  if (length(odd)) {
    x <- exp(ll[, odd, drop = FALSE])
    r[odd] <- loo::relative_eff(array(x, c(nrow(x) / chains, chains,
                                           length(odd))))
  }
  r
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
#' @param ... `cores`: the threads of the importance sampling of the
#'   counts (by default the fit's `threads`); for `waic()`, passed to
#'   [loo::waic.array()].
#' @param save_psis,is_method As in [loo::loo.matrix()]: the default
#'   (Pareto-smoothed importance sampling, its weights not kept) runs in
#'   compiled code and returns the object `loo::loo.matrix()` returns (to
#'   rounding); the others go through `loo::loo.matrix()`.
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
loo.mcar_fit <- function(x, ..., save_psis = FALSE,
                         is_method = c("psis", "tis", "sis")) {
  is_method <- match.arg(is_method)
  .check_enough_draws(x, 2L, "LOO")
  .say_stored(x, "LOO")
  # The draws x counts matrix, chains one below the other, is the array loo
  # reads with its chains stacked.
  # The relative efficiencies name the points.
  ll <- .log_lik_matrix(x)
  r_eff <- stats::setNames(.relative_eff(ll, length(x$draws)), colnames(ll))
  dimnames(ll) <- NULL
  if (is_method == "psis" && !isTRUE(save_psis) &&
      (all(is.na(r_eff)) || !anyNA(r_eff))) {
    cores <- list(...)$cores
    threads <- if (is.null(cores)) .fit_threads(x) else
      .check_count(cores, "cores", 1, 1024)
    out <- .psis_loo(ll, r_eff, threads)
    if (!is.null(out)) return(out)
  }
  loo::loo.matrix(ll, r_eff = r_eff, save_psis = save_psis,
                  is_method = is_method, ...)
}

# PSIS-LOO of the draws x counts matrix ll in compiled code on `threads`
# threads: the object loo::loo.matrix(ll, r_eff = r_eff) returns, with its
# warnings; NULL when ll is not all finite (loo refuses it).
.psis_loo <- function(ll, r_eff, threads = 1L) {
  S <- nrow(ll)
  N <- ncol(ll)
  if (all(is.na(r_eff))) r_eff <- rep(1, N)
  tail_len <- ceiling(pmin(0.2 * S, 3 * sqrt(S / r_eff)))
  # The normal quantiles of the Monte Carlo error of each elpd_loo.
  zn <- stats::qnorm((seq_len(1000) - 3 / 8) / (1000 - 2 * 3 / 8 + 1))
  res <- .Call(mcar_psis_loo, ll, as.numeric(r_eff), as.integer(tail_len),
               zn, as.integer(threads))
  if (is.null(res)) return(NULL)
  if (any(tail_len < 5)) {
    bad <- which(tail_len < 5)
    warning("Not enough tail samples to fit the generalized Pareto ",
            "distribution in some or all columns of matrix of log ",
            "importance ratios. Skipping the following columns: ",
            paste(utils::head(bad, 10), collapse = ", "),
            if (length(bad) > 10) {
              paste0(", ... [", length(bad) - 10, " more not printed].\n")
            } else "\n", call. = FALSE, immediate. = TRUE)
  }
  for (i in seq_along(res$flat)) {
    warning("Can't fit generalized Pareto distribution because all tail ",
            "values are the same.", call. = FALSE)
  }
  pointwise <- res$pointwise
  dimnames(pointwise) <- list(names(r_eff), c(
    "elpd_loo", "mcse_elpd_loo", "p_loo", "looic", "influence_pareto_k"))
  k <- pointwise[, "influence_pareto_k"]
  names(k) <- NULL
  k_help <- "See help('pareto-k-diagnostic') for details.\n"
  if (any(k > 0.7)) {
    warning("Some Pareto k diagnostic values are too high. ", k_help,
            call. = FALSE)
  } else if (any(k > 0.5)) {
    warning("Some Pareto k diagnostic values are slightly high. ", k_help,
            call. = FALSE)
  }
  # loo's table of estimates and object.
  x <- pointwise[, c("elpd_loo", "p_loo", "looic"), drop = FALSE]
  estimates <- cbind(Estimate = matrixStats::colSums2(x),
                     SE = sqrt(nrow(x) * matrixStats::colVars(x)))
  rownames(estimates) <- colnames(x)
  out <- list(estimates = estimates, pointwise = pointwise,
              diagnostics = list(pareto_k = k,
                                 n_eff = stats::setNames(res$n_eff,
                                                         names(r_eff))),
              psis_object = NULL)
  old <- c("elpd_loo", "p_loo", "looic", "se_elpd_loo", "se_p_loo",
           "se_looic")
  out <- c(out, stats::setNames(as.list(estimates), old))
  structure(out, dims = c(S, N),
            class = c("psis_loo", "importance_sampling_loo", "loo"))
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
