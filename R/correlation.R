# Correlations between outcomes: the one the model implies and that of the
# fitted surfaces.

#' Correlation between outcomes
#'
#' How correlated two outcomes are across the map, with posterior means and
#' credible intervals.  The answer, `type = "surfaces"` (the default), is
#' the correlation over the units between the two outcomes' fitted
#' log-risk surfaces \eqn{\mu_{\cdot r}}{mu[,r]} (the covariates and the
#' spatial fields together), computed per draw: do the units where one
#' outcome is high tend to be those where the other is high?  It is what a
#' reader of two risk maps side by side sees.
#'
#' `type = "implied"` gives instead what the model says about the two
#' outcomes at one unit: the correlation of the spatial parts of their log
#' risks, \eqn{\Lambda \phi_i}{Lambda phi[i,]}, under the MCAR prior, which
#' gives the fields at unit i the covariance block i of \eqn{(I_K \otimes D
#' - A \otimes C)^{-1}}{(I_K x D - A x C)^-1}, averaged over the units.  It
#' leaves out the covariates and depends on the map and the association
#' matrix A as well as the loadings, so the two can differ much: outcomes
#' that share a covariate have correlated surfaces whatever their fields
#' do, and fields correlated at a unit can still make surfaces that agree
#' little over a map they barely vary on.  \eqn{\Lambda \Lambda'}{Lambda
#' Lambda'} alone is neither: it leaves out the spatial structure of the
#' fields.  On maps of more than 2,000 units the implied correlation uses
#' the trace of \eqn{(D - \eta C)^{-1}}{(D - eta C)^-1} estimated from sparse
#' Cholesky solves with 64 fixed random probes (the components' constant
#' directions exact) at 32 values of \eqn{\eta}{eta}, interpolated between
#' them: its error, about 0.01 or less on the correlations, is small beside
#' their posterior spread.  `type = "both"` gives the two.  Both are
#' correlations of the linear predictors mu, whatever the family: log
#' risks for Poisson and negative binomial fits, log odds for binomial
#' ones.
#'
#' With one outcome there is nothing to correlate: the model is then the
#' usual proper CAR, \eqn{\phi \sim N(0, (D - \alpha C)^{-1})}{phi ~ N(0,
#' (D - alpha C)^-1)} scaled by \eqn{\Lambda_{11}}{Lambda[1,1]}: `A[1,1]` is
#' the spatial dependence \eqn{\alpha}{alpha} (near 1 smooth, near 0
#' independent units) and `Lambda[1,1]` the standard deviation that scales
#' the field, \eqn{\tau^{-1/2}}{1/sqrt(tau)} for the CAR precision
#' \eqn{\tau}{tau}.
#'
#' @param object An `"mcar_fit"` object from [mcar_fit()].
#' @param level Probability mass of the credible intervals.
#' @param type `"surfaces"` (the default), `"implied"` or `"both"`.
#' @return A data frame with one row per pair of outcomes and kind of
#'   correlation: `outcome1`, `outcome2`, `type` (`"surfaces"` or
#'   `"implied"`), `mean`, `lower`, `upper`.
#' @examples
#' sim <- minnesota_simulated()
#' fit <- mcar_fit(sim[c("Y1", "Y2", "Y3")], sim[c("N1", "N2", "N3")],
#'                 minnesota_adjacency(), n_sample = 600, burnin = 300,
#'                 chains = 2, seed = 1)
#' outcome_correlation(fit)
#' outcome_correlation(fit, type = "both")
#' @export
outcome_correlation <- function(object, level = 0.95,
                                type = c("surfaces", "implied", "both")) {
  if (!inherits(object, "mcar_fit")) {
    .input_error("object", "must be an \"mcar_fit\" object.")
  }
  level <- .check_level(level)
  type <- match.arg(type)
  K <- .n_outcomes(object); n <- .n_units(object)
  if (K < 2L) {
    .input_error("object", "has one outcome: nothing to correlate (A[1,1] ",
                 "is its field's spatial dependence and Lambda[1,1] its ",
                 "scale; see ?outcome_correlation).")
  }
  pairs <- which(upper.tri(diag(K)), arr.ind = TRUE)
  pairs <- pairs[order(pairs[, 1L], pairs[, 2L]), , drop = FALSE]
  imp <- if (type != "surfaces") {
    .implied_correlation(object, pairs,
                         sparse = n > .DENSE_MAP_MAX)
  }
  surf <- if (type != "implied") {
    do.call(rbind, lapply(object$draws, function(d) {
      mu <- .lp_draws(object, d)
      t(apply(mu, 1L, function(m) stats::cor(matrix(m, n))[pairs]))
    }))
  }
  a <- (1 - level) / 2
  summarise <- function(x, type) {
    x <- matrix(x, ncol = nrow(pairs))
    q <- .col_quantiles(x, c(a, 1 - a))
    data.frame(outcome1 = object$outcomes[pairs[, 1L]],
               outcome2 = object$outcomes[pairs[, 2L]], type = type,
               mean = colMeans(x), lower = q[, 1L], upper = q[, 2L],
               stringsAsFactors = FALSE)
  }
  rbind(if (!is.null(surf)) summarise(surf, "surfaces"),
        if (!is.null(imp)) summarise(imp, "implied"))
}

# Up to this many units the map's part of the implied correlation comes
# from the map's eigenvectors (a dense n x n problem); above it, from
# sparse solves.
.DENSE_MAP_MAX <- 2000L

# The map's part of the implied correlation: the average over the units of
# the diagonal of (D - eta C)^-1, a function of eta.  With S = D^-1/2 C
# D^-1/2 = U diag(lambda) U' it is sum_j w_j / (1 - eta lambda_j), w_j =
# sum_i U[i,j]^2 / (n d_i).  `sparse = FALSE`: from every eigenpair.
# `sparse = TRUE`: on a grid of eta spanning `etas`, the constant direction
# of each component (lambda = 1) exactly and the rest by Hutchinson's
# estimator, z' (I - Q) (I - eta S)^-1 (I - Q) z over Rademacher probes z
# (scaled by D^-1/2; Q the projection on the constant directions), from one
# sparse Cholesky factorisation per grid point; the same probes at every
# eta, drawn from a fixed seed without touching the caller's generator, so
# that the estimate is smooth in eta and the same on every run; then
# interpolated in eta.  Returns a function of eta.
.map_trace <- function(object, etas, sparse) {
  n <- .n_units(object)
  C <- Matrix::sparseMatrix(i = object$map$col + 1L,
                            j = rep(seq_len(n), diff(object$map$row_ptr)),
                            x = object$map$w, dims = c(n, n))
  d <- object$map$d
  if (!sparse) {
    s <- 1 / sqrt(d)
    e <- eigen(as.matrix(C) * outer(s, s), symmetric = TRUE)
    w <- colSums(e$vectors^2 / d) / n
    lambda <- e$values
    return(function(eta) {
      vapply(eta, function(x) sum(w / (1 - x * lambda)), numeric(1))
    })
  }
  # Constant directions u_c = D^1/2 1_c / |D^1/2 1_c| of the linked
  # components; each adds n_c / sum_c d / (1 - eta) to the trace.
  linked <- setdiff(seq_len(n), object$map$islands)
  comp <- object$map$components
  groups <- split(linked, comp[linked])
  const <- sum(vapply(groups, function(g) length(g) / sum(d[g]),
                      numeric(1))) / n
  probes <- 64L
  restore <- .save_rng()
  on.exit(restore())
  set.seed(20240611L, kind = "Mersenne-Twister", normal.kind = "Inversion",
           sample.kind = "Rejection")
  z <- matrix(sample(c(-1, 1), n * probes, replace = TRUE), n)
  w <- z / sqrt(d)
  for (g in groups) {
    u <- sqrt(d[g]); u <- u / sqrt(sum(u^2))
    w[g, ] <- w[g, ] - outer(u, colSums(u * w[g, , drop = FALSE]))
  }
  # (I - eta S)^-1 w = D^1/2 (D - eta C)^-1 D^1/2 w.
  rhs <- w * sqrt(d)
  lo <- min(etas); hi <- max(etas)
  if (!(hi > lo)) { lo <- lo - 1e-3; hi <- hi + 1e-3 }
  grid <- (lo + hi) / 2 + (hi - lo) / 2 * cos(pi * (seq_len(32L) - 0.5) / 32L)
  grid <- sort(c(lo, grid, hi))
  D <- Matrix::Diagonal(n, d)
  fac <- NULL
  rest <- vapply(grid, function(eta) {
    M <- methods::as(D - eta * C, "CsparseMatrix")
    M <- Matrix::forceSymmetric(M)
    fac <<- if (is.null(fac)) Matrix::Cholesky(M, perm = TRUE, LDL = FALSE)
      else Matrix::update(fac, M)
    x <- as.matrix(Matrix::solve(fac, rhs)) * sqrt(d)
    sum(w * x) / (probes * n)
  }, numeric(1))
  # The rest is smooth in eta; the constant directions' pole at 1 is added
  # exactly.
  f <- stats::splinefun(grid, rest, method = "natural")
  function(eta) const / (1 - eta) + f(eta)
}

# Draws of the correlations between outcomes that the model implies,
# averaged over the units (see outcome_correlation()).  Block i of the
# prior covariance, averaged over the units, is V diag(t(eta_k)) V' for the
# eigenpairs (eta_k, V) of A, t the map's part (.map_trace()).
.implied_correlation <- function(object, pairs, sparse = FALSE) {
  K <- .n_outcomes(object)
  eig <- lapply(object$draws, function(d) {
    lapply(seq_len(nrow(d$A)), function(k) {
      A <- .unpack(d$A[k, ], K); A[lower.tri(A)] <- t(A)[lower.tri(A)]
      eigen(A, symmetric = TRUE)
    })
  })
  etas <- unlist(lapply(eig, function(e) lapply(e, `[[`, "values")))
  tr <- .map_trace(object, etas, sparse)
  imp <- do.call(rbind, lapply(seq_along(object$draws), function(ch) {
    d <- object$draws[[ch]]
    t(vapply(seq_len(nrow(d$A)), function(k) {
      ea <- eig[[ch]][[k]]
      L <- .unpack(d$Lambda[k, ], K)
      Sigma <- ea$vectors %*% (tr(ea$values) * t(ea$vectors))
      stats::cov2cor(L %*% Sigma %*% t(L))[pairs]
    }, numeric(nrow(pairs))))
  }))
  imp
}
