# Fitted values, predictions (also at new covariate values and expected
# counts), residuals, and counts replicated from the posterior predictive
# distribution.

# Values per cell as a units x outcomes matrix.
.as_cells <- function(object, v) {
  matrix(v, .n_units(object), dimnames = list(object$units, object$outcomes))
}

#' @rdname mcar_fit-methods
#' @order 5
#' @export
fitted.mcar_fit <- function(object, type = c("count", "risk"), ...) {
  type <- .match_choice(type, c("count", "risk"), "type")
  # Means need no draws: the sampler's running sums hold them.
  ps <- .pooled_summaries(object)
  m <- if (is.null(ps)) .cell_summary(object, type, 0.95)$mean else
    ps$rr_mean * if (type == "count") as.vector(.exposure(object)) else 1
  if (type == "count") m[.unknown_exposure(object)] <- NA
  .as_cells(object, m)
}

# The prob-quantile of the posterior predictive distribution of each count,
# a mixture over the draws of the family's distributions (m: draws x
# cells): Poisson with means m; binomial with probabilities m and the trials
# `size` (one per cell); negative binomial with means m and the sizes `size`
# (draws x cells).  The quantile is the smallest k whose mixture
# distribution function F reaches prob.  Each evaluation of F costs one
# distribution function per draw and cell, so as few are made as can be:
# the search starts at the quantile of a negative binomial (or, when the
# mixture is underdispersed, normal) distribution with the mixture's mean
# and variance, which is mostly within a count or two of the answer, and
# gallops away from it in doubling steps until F crosses prob, then bisects.
# Where F(k) reaches prob, F(k - 1) = F(k) - P(k) comes with it from the
# mixture's probability of k (for the Poisson from its logarithm
# k log m - m - log k!), so that a good guess is confirmed by one
# distribution function per draw, not two.
# For the Poisson and the binomial the quantile also lies between the
# draws' own quantiles at the smallest and the largest mean, which bound the
# search; the cost grows with the logarithm of the guess's error, not with
# the counts.
.predictive_quantiles <- function(m, prob, family = "poisson", size = NULL) {
  m <- as.matrix(m)
  S <- nrow(m); cells <- ncol(m)
  # Cells x draws, so that a value per cell recycles down the columns.
  mt <- t(m)
  st <- if (family == "negbinomial") t(size)
  rows <- function(x, act) {
    if (length(act) == cells) x else x[act, , drop = FALSE]
  }
  cdf <- function(k, act) {
    sz <- switch(family, binomial = size[act], negbinomial = rows(st, act))
    rowMeans(matrix(.count_cdf(family, k, rows(mt, act), sz), length(act)))
  }
  pmf <- function(k, act) {
    x <- rows(mt, act)
    p <- switch(family,
      poisson = {
        p <- exp(k * log(x) - x - lgamma(k + 1))
        p[is.nan(p)] <- 0   # an infinite mean puts no mass on k
        p
      },
      binomial = stats::dbinom(k, size[act], x),
      negbinomial = stats::dnbinom(k, size = rows(st, act), mu = x))
    rowMeans(matrix(p, length(act)))
  }
  # The mixture's mean and variance, and the starting guess.
  mean_m <- rowMeans(mt)
  var_m <- rowSums((mt - mean_m)^2) / max(S - 1, 1)
  mu <- switch(family, binomial = size * mean_m, mean_m)
  v <- switch(family,
    binomial = size * mean_m * (1 - mean_m) + size * (size - 1) * var_m,
    negbinomial = rowMeans(mt + mt^2 / st) + var_m,
    mean_m + var_m)
  over <- is.finite(v) & v > mu & mu > 0
  guess <- round(stats::qnorm(prob, mu, sqrt(pmax(v, 0))))
  guess[over] <- stats::qnbinom(prob, size = mu[over]^2 / (v[over] - mu[over]),
                                mu = mu[over])
  if (family == "negbinomial") {
    lo <- rep(0, cells); hi <- rep(Inf, cells)
  } else {
    q <- function(v) .count_quantile(family, prob, v, size)
    lo <- q(matrixStats::colMins(m))
    hi <- q(matrixStats::colMaxs(m))
  }
  guess[!is.finite(guess)] <- lo[!is.finite(guess)]
  guess <- pmax(guess, 0)
  # Galloping: dir is -1 while the probes move down, +1 while they move
  # up, 0 once F has been seen on both sides (bisection).
  dir <- rep(NA_real_, cells); step <- rep(1, cells)
  while (length(act <- which(lo < hi))) {
    d <- dir[act]
    x <- ifelse(is.na(d), guess[act],
         ifelse(d < 0, hi[act] - step[act],
         ifelse(d > 0, lo[act] - 1 + step[act],
                floor((lo[act] + hi[act]) / 2))))
    x <- pmin(pmax(x, lo[act]), hi[act] - 1)
    F <- cdf(x, act)
    reached <- F >= prob
    hi[act[reached]] <- x[reached]
    lo[act[!reached]] <- x[!reached] + 1
    # Where F(x) reaches prob, whether F(x - 1) does too.
    up <- which(reached & x > lo[act])
    if (length(up)) {
      below <- F[up] - pmf(x[up], act[up]) >= prob
      hi[act[up[below]]] <- x[up[below]] - 1
      lo[act[up[!below]]] <- x[up[!below]]
    }
    # Keep galloping while F stays on the same side, doubling the step.
    way <- ifelse(reached, -1, 1)
    same <- !is.na(d) & d == way
    step[act] <- ifelse(same, 2 * step[act], 1)
    dir[act] <- ifelse(is.na(d) | same, way, 0)
  }
  lo
}

# The most draws whose mixture gives the predictive intervals: beyond a
# thousand, more draws move a quantile of the mixture by far less than a
# count and cost a distribution function per draw and cell.
.PREDICT_DRAWS <- 1000L

#' @rdname mcar_fit-methods
#' @order 6
#' @export
predict.mcar_fit <- function(object, newdata = NULL, type = c("count", "risk"),
                             level = 0.95, expected = NULL, trials = NULL,
                             ...) {
  # Forecasts of a fit over periods (R/forecast.R).
  if (!is.null(list(...)$horizon)) {
    return(.forecast(object, newdata = newdata, level = level, ...))
  }
  type <- .match_choice(type, c("count", "risk"), "type")
  level <- .check_level(level)
  s <- if (is.null(newdata) && is.null(expected) && is.null(trials)) {
    .cell_summary(object, type, level)
  } else {
    .new_cell_summary(object, newdata, expected, trials, type, level)
  }
  .say_stored(object, "Intervals")
  n <- .n_units(object)
  out <- data.frame(unit = rep(object$units, .n_outcomes(object)),
                    outcome = rep(object$outcomes, each = n),
                    observed = as.vector(object$counts),
                    mean = s$mean, lower = s$lower, upper = s$upper,
                    row.names = NULL, stringsAsFactors = FALSE)
  if (type == "count") {
    a <- (1 - level) / 2
    fam <- .family(object)
    # The mixture over at most .PREDICT_DRAWS evenly spaced stored draws.
    keep <- .pick_draws(nrow(s$risk), min(nrow(s$risk), .PREDICT_DRAWS))
    m <- s$risk[keep, , drop = FALSE]
    if (fam != "binomial") m <- m * rep(s$exposure, each = nrow(m))
    size <- switch(fam, binomial = s$exposure,
                   negbinomial = .all_size_draws(object)[keep, , drop = FALSE])
    out$predict_lower <- .predictive_quantiles(m, a, fam, size)
    out$predict_upper <- .predictive_quantiles(m, 1 - a, fam, size)
    # Cells with neither count nor trials: no count to predict, unless new
    # trials are given.
    if (is.null(trials)) {
      unknown <- .unknown_exposure(object)
      out[unknown, c("mean", "lower", "upper", "predict_lower",
                     "predict_upper")] <- NA
    }
  }
  out
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
  arg <- .exposure_arg(.family(object))
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
  q <- .col_quantiles(rr, c(a, 1 - a))
  list(draws = rr, risk = risk, exposure = as.vector(E), mean = colMeans(rr),
       lower = q[, 1L], upper = q[, 2L])
}

#' @rdname mcar_fit-methods
#' @order 7
#' @export
residuals.mcar_fit <- function(object, type = c("response", "pearson",
                                                "deviance"), ...) {
  type <- .match_choice(type, c("response", "pearson", "deviance"), "type")
  mu <- fitted(object, type = "count")
  y <- object$counts
  fam <- .family(object)
  if (type == "response") return(y - mu)
  # The variance of a count at its fitted mean, and its deviance against
  # the saturated fit (for the negative binomial at the posterior mean
  # sizes; for the binomial at the fitted probability mu / N).
  size <- switch(fam, binomial = object$trials,
                 negbinomial = rep(coef(object)$dispersion,
                                   each = .n_units(object)))
  if (type == "pearson") {
    return((y - mu) / sqrt(.count_variance(fam, mu, size)))
  }
  d <- .count_deviance(fam, y, mu, size)
  sign(y - mu) * sqrt(2 * pmax(d, 0))
}

# Evenly spaced kept draws (over all chains), ndraws of them.
.pick_draws <- function(total, ndraws) {
  if (is.null(ndraws)) return(seq_len(total))
  ndraws <- .check_count(ndraws, "ndraws", lower = 1, upper = total)
  unique(round(seq(1, total, length.out = ndraws)))
}

#' @rdname mcar_fit-extractors
#' @order 4
#' @export
posterior_predict <- function(object, ...) UseMethod("posterior_predict")

#' @rdname mcar_fit-extractors
#' @order 5
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
  colnames(y) <- .cell_names("y", .n_units(object), .n_outcomes(object),
                             .n_periods(object))
  y
}

# Counts drawn from the family's distribution at the stored draws `keep`
# (rows of risk, the risk draws of .rr_summary()): draws x cells, or with
# `by_cell` cells x draws (drawn in that order).
.replicate_counts <- function(object, risk, keep, by_cell = FALSE) {
  risk <- risk[keep, , drop = FALSE]
  e <- matrix(as.vector(.exposure(object)), nrow(risk), ncol(risk),
              byrow = TRUE)
  size <- if (.family_has_sizes(.family(object))) {
    .all_size_draws(object)[keep, , drop = FALSE]
  }
  if (by_cell) {
    risk <- t(risk); e <- t(e)
    if (!is.null(size)) size <- t(size)
  }
  y <- matrix(.count_random(.family(object), length(risk), e, risk, size),
              nrow(risk))
  unknown <- .unknown_exposure(object)
  if (any(unknown)) {
    if (by_cell) y[unknown, ] <- NA else y[, unknown] <- NA
  }
  y
}

#' @rdname mcar_fit-extractors
#' @order 6
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
#' @order 7
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
  # The default asks for no more draws than the fit stores.
  if (missing(ndraws)) ndraws <- min(ndraws, .stored_draws(object)[["stored"]])
  obs <- which(!is.na(as.vector(object$counts)))
  yrep <- posterior_predict(object, ndraws = ndraws)[, obs, drop = FALSE]
  f <- get(ppc, envir = asNamespace("bayesplot"))
  f(as.vector(object$counts)[obs], yrep, ...)
}
