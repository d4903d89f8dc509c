# The likelihood families in one place: their names, the engine's codes and
# the labels of messages, and what differs between them on the R side: the
# risk of a cell (a relative risk, or a probability for the binomial), what
# multiplies it into a mean count, the distribution of a count, and the
# curvature of its log-likelihood that shapes the proposals.

# One row per family (the families the engine knows, by the names its
# contract gives them: see .contract()): its label in messages, the
# name of the per-cell risk in the draws (rr[i,r], or prob[i,r]), the
# argument holding what multiplies a risk into a mean count, whether the
# family has a size per outcome (drawn as dispersion[r]), and the
# likelihood as print() states it.
.FAMILY_TABLE <- data.frame(
  label = c("Poisson", "binomial", "negative binomial"),
  risk = c("rr", "prob", "rr"),
  exposure = c("expected", "trials", "expected"),
  sizes = c(FALSE, FALSE, TRUE),
  likelihood = c(
    "Poisson, mean E[i,r] exp(mu[i,r])",
    "binomial, logit(prob[i,r]) = mu[i,r], with the given trials",
    "negative binomial, mean E[i,r] exp(mu[i,r]), size dispersion[r] per outcome"),
  row.names = c("poisson", "binomial", "negbinomial"),
  stringsAsFactors = FALSE)

# The likelihood family, one for every outcome.
.check_family <- function(family) {
  .match_choice(family, rownames(.FAMILY_TABLE), "family")
}

.family <- function(fit) if (is.null(fit$family)) "poisson" else fit$family

.family_code <- function(family) .contract()$families[[family]]
.family_label <- function(family) .FAMILY_TABLE[family, "label"]
.family_likelihood <- function(family) .FAMILY_TABLE[family, "likelihood"]
.family_has_sizes <- function(family) .FAMILY_TABLE[family, "sizes"]

# The name of the per-cell risk of a fit: "prob" for the binomial, else "rr".
.risk_name <- function(fit) .FAMILY_TABLE[.family(fit), "risk"]

# The risk of a linear predictor: the relative risk exp(mu), or for the
# binomial the probability plogis(mu).
.risk <- function(fit, mu) {
  if (.family(fit) == "binomial") stats::plogis(mu) else exp(mu)
}

# The argument that holds what multiplies a cell's risk into its mean count
# ("expected", or "trials" for the binomial), and its values in a fit.
.exposure_arg <- function(family) .FAMILY_TABLE[family, "exposure"]
.exposure <- function(object) object[[.exposure_arg(.family(object))]]

# Per outcome, the observed counts over the expected counts (or trials).
.overall_rate <- function(Y, E) {
  vapply(seq_len(ncol(Y)), function(r) {
    ok <- !is.na(Y[, r])
    sum(Y[ok, r]) / sum(E[ok, r])
  }, numeric(1))
}

# The cells (as a vector, units fastest) whose exposure is unknown: those of
# a binomial fit whose count and trials were both missing.  They enter the
# sampler with 0 trials, but their counts cannot be predicted.
.unknown_exposure <- function(object) {
  u <- attr(object$trials, "unknown")
  if (.family(object) != "binomial" || is.null(u)) {
    return(logical(length(object$counts)))
  }
  as.vector(u)
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

# The same reference on the scale of the linear predictor, per outcome:
# the sampler counts a cell as raised when its linear predictor exceeds it.
.reference_lp <- function(Y, E, family) {
  if (family == "binomial") stats::qlogis(.overall_rate(Y, E)) else
    rep(0, ncol(Y))
}

# The curvature of each count's log-likelihood in its linear predictor near
# the data, for the shapes and sizes of the proposals.
.curvature <- function(Y, E, family, psi = 10) {
  y <- Y; y[is.na(y)] <- 0
  switch(family,
    binomial = {
      p <- (y + 0.5) / (E + 1)
      ifelse(is.na(Y), 0, E * p * (1 - p)) + 0.05
    },
    negbinomial = (y + 0.5) * psi / (y + 0.5 + psi),
    y + 0.5)
}

# ---- the distribution of a count ------------------------------------------

# Log densities of counts y of a family at risks rr (probabilities for the
# binomial), e the expected counts (the trials for the binomial) and size
# the negative binomial sizes, all taken element by element.
.count_log_density <- function(family, y, e, rr, size = NULL) {
  switch(family,
    binomial = stats::dbinom(y, e, rr, log = TRUE),
    negbinomial = stats::dnbinom(y, size = size, mu = e * rr, log = TRUE),
    stats::dpois(y, e * rr, log = TRUE))
}

# n counts drawn at risks rr, with e and size as in .count_log_density().
.count_random <- function(family, n, e, rr, size = NULL) {
  switch(family,
    binomial = stats::rbinom(n, e, rr),
    negbinomial = stats::rnbinom(n, size = size, mu = rr * e),
    stats::rpois(n, rr * e))
}

# The distribution function and the quantiles of counts, element by element:
# Poisson with mean m, binomial with probability m and `size` trials,
# negative binomial with mean m and size `size`.
.count_cdf <- function(family, k, m, size = NULL) {
  switch(family,
    binomial = stats::pbinom(k, size, m),
    negbinomial = stats::pnbinom(k, size = size, mu = m),
    stats::ppois(k, m))
}

.count_quantile <- function(family, p, m, size = NULL) {
  switch(family,
    binomial = stats::qbinom(p, size, m),
    negbinomial = stats::qnbinom(p, size = size, mu = m),
    stats::qpois(p, m))
}

# The variance of a count of mean mu, and half its deviance against the
# saturated fit; `size` the trials (binomial) or the size (negative
# binomial).
.count_variance <- function(family, mu, size = NULL) {
  switch(family, binomial = mu * (1 - mu / size),
         negbinomial = mu + mu^2 / size, mu)
}

.count_deviance <- function(family, y, mu, size = NULL) {
  ylogy <- function(a, b) ifelse(a > 0, a * log(a / b), 0)
  switch(family,
    binomial = ylogy(y, mu) + ylogy(size - y, size - mu),
    negbinomial = ylogy(y, mu) - ylogy(y + size, mu + size),
    ylogy(y, mu) - (y - mu))
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
