# Proposal scales: the defaults, the checks of given ones, and their tuning
# during burn-in from the acceptance rates and the draws of each piece.

# The proposal scales a caller may give, one per block of moves (psi: the
# negative binomial sizes; ridge: each size jointly with its outcome's row of
# the loadings; both as steps of the dispersion 1 / sqrt(size); alpha: over
# periods, each autoregressive coefficient with its field, on its logit
# scale; rotation: each angle with the fields turned along, as theta around
# its circle); a fit's scales also hold the shapes of the coefficient and
# loading proposals (beta_shape, lambda_corr).
.scale_names <- c("beta", "phi", "lambda", "eta", "theta", "scale", "shear",
                  "rotation", "psi", "ridge", "alpha")

# Default scales.  The coefficient block of outcome r is proposed with the
# shape of (X' W_r X)^-1, W_r the curvature of the family's log-likelihood
# near the data; `beta` scales it.  The effects' Newton proposals have the
# conditional curvature's sd, which `phi` (1) multiplies (below 1 also
# shortening the step: see update_phi in src/engine/moves_effects.cpp).
.default_scales <- function(Y, X, E = NULL, family = "poisson",
                            alpha_free = FALSE) {
  n <- nrow(Y); K <- ncol(Y); p <- ncol(X)
  curv <- if (is.null(E)) ifelse(is.na(Y), 0, Y) + 0.5 else
    .curvature(Y, E, family)
  chol_shape <- array(0, c(p, p, K))
  for (r in seq_len(K)) {
    w <- ifelse(is.na(Y[, r]), 0, curv[, r])
    info <- crossprod(X * sqrt(w))
    chol_shape[, , r] <- t(chol(chol2inv(chol(info))))
  }
  phi <- matrix(1, n, K)
  lam <- matrix(0, K, K)
  lam[upper.tri(lam, diag = TRUE)] <- 0.05
  diag(lam) <- 0.1
  list(beta = rep(2.4 / sqrt(p), K), beta_shape = chol_shape,
       phi = unname(phi), lambda = lam, eta = rep(0.5, K),
       theta = rep(0.5, .n_angles(K)), scale = rep(0.1, K),
       shear = rep(0.1, .n_angles(K)), rotation = rep(0.5, .n_angles(K)),
       psi = if (.family_has_sizes(family)) rep(0.05, K) else numeric(),
       ridge = if (.family_has_sizes(family)) rep(0.05, K) else numeric(),
       lambda_corr = .identity_corr(K),
       alpha = if (alpha_free) rep(0.3, K) else numeric())
}

# Per row of the loadings, the Cholesky factor of its proposal's
# correlations: none to start with.
.identity_corr <- function(K) {
  array(rep(diag(K), K), c(K, K, K))
}

# Completes and checks one chain's proposal scales against the defaults.
.check_scale_one <- function(scales, default, arg) {
  if (is.null(scales)) return(default)
  if (!is.list(scales) || (length(scales) &&
                           (is.null(names(scales)) ||
                            any(!nzchar(names(scales)))))) {
    .input_error(arg, "must be a named list with elements among ",
                 paste(.scale_names, collapse = ", "), ".")
  }
  unknown <- setdiff(names(scales), c(.scale_names, "beta_shape",
                                      "lambda_corr"))
  if (length(unknown)) {
    .input_error(arg, "has unknown element(s) ",
                 paste(unknown, collapse = ", "), "; known are ",
                 paste(.scale_names, collapse = ", "), ".")
  }
  out <- default
  for (el in names(scales)) {
    x <- scales[[el]]
    a <- paste0(arg, "$", el)
    if (el %in% c("beta_shape", "lambda_corr")) {
      if (!identical(dim(x), dim(default[[el]])) || any(!is.finite(x))) {
        .input_error(a, "must be a finite array like that of a fit.")
      }
      out[[el]] <- x
      next
    }
    if (!length(x) && !length(default[[el]])) next  # none in this family
    if (!is.numeric(x) || !length(x) || any(!is.finite(x)) || any(x < 0)) {
      .input_error(a, "must be non-negative and finite.")
    }
    want <- default[[el]]
    if (el == "lambda") {
      x <- if (length(x) == 1L) x * (want > 0) else as.matrix(x)
      if (!identical(dim(x), dim(want))) {
        .input_error(a, "must be one number or a ", nrow(want), " x ",
                     ncol(want), " upper triangular matrix.")
      }
      x[lower.tri(x)] <- 0
    } else if (length(x) == 1L) {
      x <- array(x, dim(as.array(want)))
      if (is.null(dim(want))) x <- as.vector(x)
    } else if (length(x) != length(want)) {
      .input_error(a, "must be one number or ", length(want), " numbers.")
    }
    storage.mode(x) <- "double"
    if (is.matrix(want)) x <- matrix(x, nrow(want), ncol(want))
    # A scale of 0 would leave its parameters at their starting values for
    # good: the chain would sample a conditional, not the posterior.
    if (any(x == 0 & want > 0)) {
      .input_error(a, "must be positive: a scale of 0 never moves the ",
                   "parameters it belongs to from their starting values.")
    }
    out[[el]] <- x
  }
  out
}

# `scales` may be NULL, one list for every chain or a list of per-chain
# lists (such as the `scales` element of a fit).
.check_scales <- function(scales, default, chains) {
  if (is.null(scales)) return(rep(list(default), chains))
  if (!is.list(scales)) {
    .input_error("scales", "must be NULL, a named list of proposal scales ",
                 "or a list of such lists (one per chain).")
  }
  per_chain <- length(scales) > 0L &&
    all(vapply(scales, is.list, logical(1))) &&
    (is.null(names(scales)) || all(grepl("^chain[0-9]+$", names(scales))))
  if (per_chain) {
    if (length(scales) != chains) {
      .input_error("scales", "has ", length(scales), " per-chain lists for ",
                   chains, " chain(s).")
    }
    return(lapply(seq_len(chains), function(k) {
      .check_scale_one(scales[[k]], default, sprintf("scales[[%d]]", k))
    }))
  }
  rep(list(.check_scale_one(scales, default, "scales")), chains)
}

# ---- tuning ---------------------------------------------------------------

# Acceptance rates the tuning aims at: one-coordinate random walks and
# blocks of several coordinates.
.TARGET_SINGLE <- 0.44
.TARGET_NEWTON <- 0.5
.TARGET_BLOCK <- 0.3

# The smallest scale the tuning gives a Newton proposal of the effects: a
# step of 0.5% of the way to the Newton point, with noise a tenth of the
# conditional's sd.  Conditionals of counts in the tens of thousands accept
# it nearly always even a log risk of 1 away from their mode; an effect
# that still accepts too rarely is named by the convergence warning.
.NEWTON_MIN_SCALE <- 0.1

# New proposal scales from the acceptance counts of the k-th burn-in piece
# of `len` sweeps.  The first three pieces move each scale by
# qnorm(target / 2) / qnorm(rate / 2), bounded to a factor of 5 either way;
# later pieces take Robbins-Monro steps log(scale) += 3 (rate - target) /
# (k - 2)^0.7, which settle where the rate averages to its target.
.retune <- function(scales, counts, len, k, p, K) {
  adjust <- function(s, rate, target) {
    if (k <= 3L) {
      a <- pmin(pmax(rate, 0.01), 0.99)
      s * pmin(pmax(qnorm(target / 2) / qnorm(a / 2), 0.2), 5)
    } else {
      s * exp(3 * (rate - target) / (k - 2)^0.7)
    }
  }
  target_of <- function(dims) ifelse(dims > 1L, .TARGET_BLOCK, .TARGET_SINGLE)
  scales$beta <- adjust(scales$beta, as.vector(counts$beta) / len,
                        target_of(p))
  # A Newton proposal is best at its full size where the conditional is
  # close to Gaussian; it shrinks only where it is accepted too rarely,
  # taking a shorter step, which is accepted more often the shorter it is.
  # Below .NEWTON_MIN_SCALE it would hardly move the effect at all.
  scales$phi <- pmin(pmax(adjust(scales$phi, counts$phi / len, .TARGET_NEWTON),
                          .NEWTON_MIN_SCALE), 1)
  row_factor <- adjust(rep(1, K), as.vector(counts$lambda) / len,
                       target_of(K:1))
  scales$lambda <- scales$lambda * row_factor
  scales$eta <- adjust(scales$eta, as.vector(counts$eta) / len,
                       .TARGET_SINGLE)
  scales$scale <- adjust(scales$scale, as.vector(counts$scale) / len,
                         .TARGET_SINGLE)
  if (length(scales$psi)) {
    scales$psi <- adjust(scales$psi, as.vector(counts$psi) / len,
                         .TARGET_SINGLE)
  }
  if (length(scales$ridge)) {
    scales$ridge <- adjust(scales$ridge, as.vector(counts$ridge) / len,
                           .TARGET_SINGLE)
  }
  if (length(scales$alpha)) {
    scales$alpha <- adjust(scales$alpha, as.vector(counts$alpha) / len,
                           .TARGET_SINGLE)
  }
  if (length(scales$theta)) {
    scales$theta <- adjust(scales$theta, as.vector(counts$theta) / len,
                           .TARGET_SINGLE)
    scales$shear <- adjust(scales$shear, as.vector(counts$shear) / len,
                           .TARGET_SINGLE)
    if (length(counts$rotation)) {
      scales$rotation <- adjust(scales$rotation,
                                as.vector(counts$rotation) / len,
                                .TARGET_SINGLE)
    }
  }
  scales
}

# Loading proposals shaped like the burn-in draws: within each row the sds
# follow the draws' sds (the diagonal on the log scale), while the row's
# geometric mean sd, which the tuning sets, stays as it is; and the entries
# of a row move together with the correlations of its draws (`corr`, the
# Cholesky factors per row).  Returns list(lambda, corr).
.lambda_shape <- function(lambda, draws, K, corr = .identity_corr(K)) {
  if (is.null(draws) || nrow(draws) < 20L) {
    return(list(lambda = lambda, corr = corr))
  }
  L <- draws
  diag_cols <- vapply(seq_len(K), function(r) .packed_index(r, r, K), 1L)
  L[, diag_cols] <- log(L[, diag_cols])
  sds <- .unpack(apply(L, 2L, sd), K)
  for (r in seq_len(K)) {
    cols <- r:K
    old <- lambda[r, cols]
    new <- sds[r, cols]
    if (any(!is.finite(new)) || any(new <= 0)) next
    lambda[r, cols] <- new * exp(mean(log(old)) - mean(log(new)))
    if (length(cols) > 1L) {
      at <- vapply(cols, function(c) .packed_index(r, c, K), 1L)
      # Shrunk a little towards independence, so that a short burn-in
      # cannot make the factor singular.
      R <- 0.9 * stats::cor(L[, at]) + 0.1 * diag(length(cols))
      f <- tryCatch(t(chol(R)), error = function(e) NULL)
      if (!is.null(f) && all(is.finite(f))) {
        slice <- diag(K)
        slice[seq_along(cols), seq_along(cols)] <- f
        corr[, , r] <- slice
      }
    }
  }
  list(lambda = lambda, corr = corr)
}
