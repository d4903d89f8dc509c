# Correlations between outcomes: the one the model implies and that of the
# fitted surfaces.

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
