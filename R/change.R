# Risks over periods: the periods of a fit named by value, and the change of
# each unit's risk from one period to another.

# The indices among the fit's periods of the values `time` (numbers, Dates,
# factor levels or their text), refused naming argument `arg` when one is
# not a period of the fit.  NULL gives every period.
.period_index <- function(fit, time, arg = "time") {
  T <- .n_periods(fit)
  if (is.null(fit$periods)) {
    if (is.null(time)) return(1L)
    .input_error(arg, "is for fits over several periods; this fit has one.")
  }
  if (is.null(time)) return(seq_len(T))
  if (!length(time) || anyNA(time)) {
    .input_error(arg, "must name periods of the fit (",
                 .quote_names(.period_text(fit$periods), 6L), ").")
  }
  t <- match(.period_text(time), .period_text(fit$periods))
  if (anyNA(t)) {
    .input_error(arg, "names period(s) the fit does not have: ",
                 .quote_names(unique(.period_text(time)[is.na(t)])),
                 "; its periods are ",
                 .quote_names(.period_text(fit$periods), 6L), ".")
  }
  t
}

# The number of map units of a fit (the units of one period).
.n_map_units <- function(fit) .n_units(fit) %/% .n_periods(fit)

#' Posterior change of the risks between two periods
#'
#' For a fit over several periods (see the `time` argument of
#' [mcar_fit()]), the posterior of the ratio
#' \eqn{rr_{i,r,to} / rr_{i,r,from}}{rr[i,r,to] / rr[i,r,from]} of every
#' map unit \eqn{i} and outcome \eqn{r}: the relative risk in period `to`
#' over that in period `from` (for binomial fits, the ratio of the
#' probabilities).
#'
#' @param fit An `"mcar_fit"` object over several periods.
#' @param from,to Periods of the fit, by value (such as `2005`, a Date, or
#'   a level of a factor of periods).
#' @param level Probability mass of the credible intervals.
#' @return A data frame with one row per map unit and outcome (units
#'   fastest) and columns `unit`, `outcome`, `from`, `to`, `mean`,
#'   `median`, `lower`, `upper` (the equal-tailed credible interval of the
#'   ratio) and `prob_increase`, the posterior probability that the ratio
#'   exceeds 1.
#' @examples
#' \donttest{
#' W <- minnesota_adjacency()
#' n <- nrow(W)
#' set.seed(1)
#' E <- array(20, c(n, 1, 3), list(rownames(W), "flu", 2001:2003))
#' Y <- array(rpois(length(E), E), dim(E), dimnames(E))
#' fit <- mcar_fit(Y, E, W, n_sample = 400, burnin = 200, chains = 1,
#'                 seed = 1)
#' head(risk_change(fit, from = 2001, to = 2003))
#' }
#' @export
risk_change <- function(fit, from, to, level = 0.95) {
  if (!inherits(fit, "mcar_fit")) {
    .input_error("fit", "must be an \"mcar_fit\" object.")
  }
  if (is.null(fit$periods)) {
    .input_error("fit", "has a single period; risk_change() compares the ",
                 "periods of a fit over several (mcar_fit(time = )).")
  }
  if (missing(from)) .input_error("from", "is missing: a period of the fit.")
  if (missing(to)) .input_error("to", "is missing: a period of the fit.")
  for (a in c("from", "to")) {
    v <- get(a)
    if (length(v) != 1L) .input_error(a, "must be one period of the fit.")
  }
  t0 <- .period_index(fit, from, "from")
  t1 <- .period_index(fit, to, "to")
  level <- .check_level(level)
  .say_stored(fit, "Risk changes")
  n <- .n_map_units(fit); N <- .n_units(fit); K <- .n_outcomes(fit)
  risk <- .rr_summary(fit)
  col <- function(t) rep((t - 1L) * n + seq_len(n), K) +
    rep(N * (seq_len(K) - 1L), each = n)
  ratio <- risk[, col(t1), drop = FALSE] / risk[, col(t0), drop = FALSE]
  a <- (1 - level) / 2
  q <- .col_quantiles(ratio, c(a, 1 - a), median = TRUE)
  data.frame(unit = rep(fit$map_units, K),
             outcome = rep(fit$outcomes, each = n),
             from = rep(fit$periods[t0], n * K),
             to = rep(fit$periods[t1], n * K),
             mean = colMeans(ratio), median = q[, 3L], lower = q[, 1L],
             upper = q[, 2L], prob_increase = colMeans(ratio > 1),
             row.names = NULL, stringsAsFactors = FALSE)
}
