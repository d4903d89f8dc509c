# Posterior summaries of the risks of every unit and outcome: relative risks,
# or the probabilities of a binomial fit against each outcome's overall
# proportion.

# Posterior summaries of risks (relative risks, or probabilities for the
# binomial) or mean counts per cell: means and sds over every kept draw,
# intervals (and with `median` medians) from the stored draws; gt1 the
# probability that the risk exceeds its reference (.risk_reference()).
# The risk draws are kept as `risk` (stored draws x cells); mean counts are
# risks times the exposure, so their quantiles are those of the risks
# scaled.
.cell_summary <- function(object, type, level, median = FALSE) {
  risk <- .rr_summary(object)
  ps <- .pooled_summaries(object)
  e <- if (type == "count") as.vector(.exposure(object)) else 1
  gt1 <- if (!is.null(ps)) ps$rr_gt1 else
    .col_exceed(risk, .risk_reference(object))
  a <- (1 - level) / 2
  q <- .col_quantiles(risk, c(a, 1 - a), median)
  list(risk = risk, exposure = as.vector(.exposure(object)),
       mean = if (!is.null(ps)) ps$rr_mean * e else colMeans(risk) * e,
       sd = if (!is.null(ps)) ps$rr_sd * e else .col_sd(risk) * e,
       gt1 = gt1, lower = q[, 1L] * e, upper = q[, 2L] * e,
       median = if (median) q[, 3L] * e)
}

# The share of each column of draws (draws x cells) above its cell's
# threshold, and the sd of each column, without a copy of the draws.
.col_exceed <- function(m, threshold) {
  threshold <- rep_len(threshold, ncol(m))
  vapply(seq_len(ncol(m)), function(j) mean(m[, j] > threshold[j]),
         numeric(1))
}
.col_sd <- function(m) {
  vapply(seq_len(ncol(m)), function(j) stats::sd(m[, j]), numeric(1))
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
#' @param time For fits over several periods: the periods whose rows are
#'   returned, by value (such as `c(2005, 2006)`); by default all.
#' @return A data frame with one row per unit and outcome (units vary
#'   fastest) and columns `unit`, `outcome`, `observed` (`NA` where the
#'   count is missing), `expected`, `smr` (observed / expected), `mean`,
#'   `sd`, `median`, `lower`, `upper` (the equal-tailed credible interval)
#'   and `prob_gt`, the posterior probability that the relative risk exceeds
#'   `threshold`.  For binomial fits `trials` and `proportion` (observed /
#'   trials) take the place of `expected` and `smr`; `mean` to `upper`
#'   summarise the probability; `overall` is the outcome's overall
#'   proportion and `ratio`, `ratio_lower`, `ratio_upper` the posterior
#'   mean and interval of the probability over it.  For fits over several
#'   periods there is a row per map unit, period and outcome (units
#'   fastest, then periods), `unit` is the map unit's name and a `period`
#'   column, after `unit`, holds the period.
#' @examples
#' sim <- minnesota_simulated()
#' fit <- mcar_fit(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
#'                 minnesota_adjacency(), n_sample = 600, burnin = 300,
#'                 chains = 2, seed = 1)
#' rr <- relative_risk(fit, threshold = 1.2)
#' subset(rr, outcome == "Y1" & prob_gt > 0.9)$unit
#' @export
relative_risk <- function(object, threshold = 1, level = 0.95,
                          time = NULL) {
  if (!inherits(object, "mcar_fit")) {
    .input_error("object", "must be an \"mcar_fit\" object.")
  }
  t_keep <- .period_index(object, time)
  if (!is.numeric(threshold) || length(threshold) != 1L ||
      !is.finite(threshold) || threshold <= 0) {
    .input_error("threshold", "must be one positive number.")
  }
  level <- .check_level(level)
  s <- .cell_summary(object, "risk", level, median = TRUE)
  binom <- .family(object) == "binomial"
  .say_stored(object, if (threshold == 1) "Intervals" else
    paste0("Intervals and P(", if (binom) "prob / overall" else "RR", " > ",
           format(threshold), ")"))
  n <- .n_units(object)
  ref <- .risk_reference(object)
  prob_gt <- if (threshold == 1) s$gt1 else
    .col_exceed(s$risk, threshold * ref)
  out <- data.frame(unit = rep(object$units, .n_outcomes(object)),
                    outcome = rep(object$outcomes, each = n),
                    observed = as.vector(object$counts),
                    row.names = NULL, stringsAsFactors = FALSE)
  if (binom) {
    N <- as.vector(object$trials)
    N[.unknown_exposure(object)] <- NA
    out$trials <- N
    out$proportion <- ifelse(N > 0, out$observed / N, NA_real_)
  } else {
    out$expected <- as.vector(object$expected)
    out$smr <- as.vector(object$counts / object$expected)
  }
  out$mean <- s$mean
  out$sd <- s$sd
  out$median <- s$median
  out$lower <- s$lower
  out$upper <- s$upper
  if (binom) {
    out$overall <- ref
    out$ratio <- s$mean / ref
    out$ratio_lower <- s$lower / ref
    out$ratio_upper <- s$upper / ref
  }
  out$prob_gt <- prob_gt
  if (is.null(object$periods)) return(out)
  # Over periods: map units and their periods, the chosen periods only.
  n <- .n_map_units(object); T <- .n_periods(object)
  t <- rep(rep(seq_len(T), each = n), .n_outcomes(object))
  out$unit <- rep(object$map_units, T * .n_outcomes(object))
  out <- data.frame(out["unit"], period = object$periods[t],
                    out[-1L], stringsAsFactors = FALSE)
  out <- out[t %in% t_keep, , drop = FALSE]
  rownames(out) <- NULL
  out
}
