# Running the general sampler: its inputs (data, state, proposal scales),
# starting values, the tuning of the proposal scales during burn-in and one
# chain as a sequence of calls of the compiled engine, each continuing from
# the state (generator included) the last returned.

# ---- engine inputs --------------------------------------------------------

# The likelihood families and their codes in the engine.
.FAMILIES <- c(poisson = 0L, binomial = 1L, negbinomial = 2L)

# The data as the engine reads it.  E holds the expected counts, or the
# binomial trials.  A missing count enters as 0 with an E of 0, which takes
# it out of the likelihood exactly.  `map` is a prepared map
# (.prepare_map): its support of the eigenvalues and the interpolant of the
# prior's log-determinant.  A cell counts as raised in the running
# summaries when its relative risk exceeds 1, or for the binomial when its
# probability exceeds the outcome's overall proportion.
.engine_data <- function(Y, E, X, map, prior, family = "poisson") {
  miss <- is.na(Y)
  Y0 <- Y; Y0[miss] <- 0
  E0 <- E; E0[miss] <- 0
  dimnames(Y0) <- dimnames(E0) <- NULL
  ref <- if (family == "binomial") stats::qlogis(.overall_rate(Y, E)) else
    rep(0, ncol(Y))
  list(family = .FAMILIES[[family]], Y = Y0, E = E0, X = unname(X),
       row_ptr = map$row_ptr, col = map$col,
       w = map$w, logdet = map$logdet, eta_lo = map$eta_lo,
       eta_hi = map$eta_hi, beta_prec = prior$beta_prec,
       iw_df = prior$iw_df, iw_scale = prior$iw_scale,
       ref_lp = as.double(ref),
       psi_scale = if (is.null(prior$dispersion_scale)) 1 else
         as.double(prior$dispersion_scale),
       rounds = .given_mu_rounds(nrow(Y)),
       newton = as.integer(.newton_effects(nrow(Y))))
}

# Whether the effects are proposed by Newton steps on their conditionals
# (nearly independent draws, accepted almost always) rather than by random
# walks.  The Newton step costs about a quarter more per sweep; on maps of
# about a hundred units it gives 10 to 25% more effective draws, no more
# per second, while on maps of thousands of units the faster effects carry
# the loadings and eigenvalues with them (2 to 30 times the effective
# draws per second).
.NEWTON_UNITS <- 500L
.newton_effects <- function(n) n >= .NEWTON_UNITS

# Rounds per sweep of the moves that leave mu unchanged (the fields' scales
# and shears against the loadings, the eigenvalues, the angles).  They cost
# O(K^3) a round whatever the map, and on large maps, where the loadings and
# the eigenvalues are sharply determined given the fields and strongly
# correlated with each other, several rounds let them settle given mu.
.given_mu_rounds <- function(n) {
  as.integer(max(1L, min(30L, n %/% 100L)))
}

# Acceptance counts of the moves given mu per proposal, as of the others.
.per_proposal <- function(accept, rounds) {
  for (el in c("eta", "theta", "scale", "shear"))
    accept[[el]] <- accept[[el]] / rounds
  accept
}

# Per outcome, the observed counts over the expected counts (or trials).
.overall_rate <- function(Y, E) {
  vapply(seq_len(ncol(Y)), function(r) {
    ok <- !is.na(Y[, r])
    sum(Y[ok, r]) / sum(E[ok, r])
  }, numeric(1))
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

.n_angles <- function(K) (K * (K - 1L)) %/% 2L

# Packed upper triangle, row by row, as the engine returns Lambda and A.
.packed_names <- function(name, K) {
  ij <- which(upper.tri(diag(K), diag = TRUE), arr.ind = TRUE)
  ij <- ij[order(ij[, 1L], ij[, 2L]), , drop = FALSE]
  paste0(name, "[", ij[, 1L], ",", ij[, 2L], "]")
}

.unpack <- function(v, K) {
  M <- matrix(0, K, K)
  ij <- which(upper.tri(M, diag = TRUE), arr.ind = TRUE)
  ij <- ij[order(ij[, 1L], ij[, 2L]), , drop = FALSE]
  M[ij] <- v
  M
}

# A = P diag(eta) P', P the product of the plane rotations through
# theta * pi/2 over the pairs (a, b), a < b, in lexicographic order.
.association <- function(eta, theta) {
  K <- length(eta)
  P <- diag(K)
  j <- 0L
  for (a in seq_len(K - 1L)) for (b in (a + 1L):K) {
    j <- j + 1L
    G <- diag(K)
    cs <- cos(theta[j] * pi / 2); sn <- sin(theta[j] * pi / 2)
    G[a, a] <- G[b, b] <- cs
    G[a, b] <- sn
    G[b, a] <- -sn
    P <- P %*% G
  }
  P %*% (eta * t(P))
}

# ---- starting values ------------------------------------------------------

# Data-based starting values: coefficients from a regression of each
# outcome on the covariates in its family (Poisson for the negative
# binomial), fields from the log standardised ratios (log odds for the
# binomial) smoothed once over the neighbours, diagonal loadings 0.5,
# distinct eigenvalues, angles 0, sizes 10.
.default_init <- function(Y, E, X, map, family = "poisson") {
  n <- nrow(Y); K <- ncol(Y); p <- ncol(X)
  binom <- family == "binomial"
  beta <- matrix(0, p, K)
  for (r in seq_len(K)) {
    ok <- !is.na(Y[, r]) & E[, r] > 0
    b0 <- if (binom) stats::qlogis((sum(Y[ok, r]) + 0.5) / (sum(E[ok, r]) + 1))
      else log(sum(Y[ok, r]) / sum(E[ok, r]))
    fit <- if (p > 1L) tryCatch(suppressWarnings(
      if (binom) stats::glm.fit(X[ok, , drop = FALSE],
                                cbind(Y[ok, r], E[ok, r] - Y[ok, r]),
                                family = stats::binomial())
      else stats::glm.fit(X[ok, , drop = FALSE], Y[ok, r],
                          offset = log(E[ok, r]), family = stats::poisson())),
      error = function(e) NULL)
    beta[, r] <- if (!is.null(fit) && all(is.finite(fit$coefficients)))
      fit$coefficients else c(b0, rep(0, p - 1L))
  }
  lam <- 0.5
  mu0 <- X %*% beta
  res <- if (binom) stats::qlogis((Y + 0.5) / (E + 1)) - mu0 else
    log((Y + 0.5) / (E * exp(mu0) + 0.5))
  res[is.na(res)] <- 0
  nbr <- as.matrix(map$C %*% res) / map$d
  smooth <- (res + nbr) / 2
  smooth <- sweep(smooth, 2L, colMeans(smooth))
  list(beta = unname(beta), phi = unname(smooth / lam),
       Lambda = diag(lam, K),
       eta = if (K == 1L) 0.6 else seq(0.6, 0.3, length.out = K),
       theta = rep(0, .n_angles(K)),
       psi = if (family == "negbinomial") rep(10, K) else numeric())
}

# Starting values dispersed around `init` (R's generator must be set to the
# chain's own stream); eta_range is the support of the eigenvalues.
.disperse_init <- function(init, eta_range) {
  K <- ncol(init$phi)
  out <- init
  out$beta <- init$beta + matrix(rnorm(length(init$beta), 0, 0.1),
                                 nrow(init$beta))
  out$phi <- init$phi + matrix(rnorm(length(init$phi), 0, 0.2),
                               nrow(init$phi))
  d <- diag(init$Lambda) * exp(rnorm(K, 0, 0.3))
  L <- init$Lambda + (rnorm(K * K, 0, 0.1) * upper.tri(init$Lambda))
  diag(L) <- d
  out$Lambda <- L
  lo <- max(eta_range[1L], 0.1); hi <- min(eta_range[2L], 0.9)
  if (hi - lo < 0.1) {
    w <- diff(eta_range)
    lo <- eta_range[1L] + 0.25 * w; hi <- eta_range[1L] + 0.75 * w
  }
  out$eta <- runif(K, lo, hi)
  out$theta <- runif(.n_angles(K), -0.5, 0.5)
  if (length(init$psi)) out$psi <- init$psi * exp(rnorm(K, 0, 0.3))
  out
}

.init_names <- c("beta", "phi", "Lambda", "eta", "theta", "psi")

.check_numeric <- function(x, arg, len) {
  if (!is.numeric(x) || length(x) != len) {
    .input_error(arg, "must be numeric with ", len, " element(s), not ",
                 if (is.numeric(x)) length(x) else class(x)[1L], ".")
  }
  if (any(!is.finite(x))) .input_error(arg, "must be finite.")
  as.double(x)
}

# Completes and checks one chain's starting values against the defaults.
# eta_range: the support (eta_lo, eta_hi) of the eigenvalues on this map.
.check_init_one <- function(init, default, arg, eta_range) {
  if (is.null(init)) return(default)
  if (!is.list(init) || (length(init) && (is.null(names(init)) ||
                                          any(!nzchar(names(init)))))) {
    .input_error(arg, "must be a named list with elements among ",
                 paste(.init_names, collapse = ", "), ".")
  }
  # A fit's last_state also carries the linear predictor and the generator,
  # which a new run recomputes and reseeds.
  unknown <- setdiff(names(init), c(.init_names, "lp", "rng"))
  if (length(unknown)) {
    .input_error(arg, "has unknown element(s) ",
                 paste(unknown, collapse = ", "), "; known are ",
                 paste(.init_names, collapse = ", "), ".")
  }
  out <- default
  K <- ncol(default$phi); p <- nrow(default$beta); n <- nrow(default$phi)
  sub <- function(el) paste0(arg, "$", el)
  if (!is.null(init$beta)) {
    out$beta <- matrix(.check_numeric(init$beta, sub("beta"), p * K), p, K)
  }
  if (!is.null(init$phi)) {
    out$phi <- matrix(.check_numeric(as.matrix(init$phi), sub("phi"), n * K),
                      n, K)
  }
  if (!is.null(init$Lambda)) {
    L <- matrix(.check_numeric(init$Lambda, sub("Lambda"), K * K), K, K)
    if (any(L[lower.tri(L)] != 0)) {
      .input_error(sub("Lambda"), "must be upper triangular.")
    }
    if (any(diag(L) <= 0)) {
      .input_error(sub("Lambda"), "must have a positive diagonal.")
    }
    out$Lambda <- L
  }
  if (!is.null(init$eta)) {
    e <- .check_numeric(init$eta, sub("eta"), K)
    if (any(e <= eta_range[1L] | e >= eta_range[2L])) {
      .input_error(sub("eta"), "must lie in (", format(eta_range[1L], digits = 4),
                   ", ", format(eta_range[2L], digits = 4), ") on this map, not ",
                   paste(format(e), collapse = ", "), ".")
    }
    out$eta <- e
  }
  # A last_state of another family carries an empty psi.
  if (length(init$psi)) {
    if (!length(default$psi)) {
      .input_error(sub("psi"), "is the size of a negative binomial fit; ",
                   "this fit's family has none.")
    }
    ps <- .check_numeric(init$psi, sub("psi"), K)
    if (any(ps <= 0)) .input_error(sub("psi"), "must be positive.")
    out$psi <- ps
  }
  if (!is.null(init$theta)) {
    th <- .check_numeric(init$theta, sub("theta"), .n_angles(K))
    if (any(th <= -1 | th >= 1)) {
      .input_error(sub("theta"), "must lie in (-1, 1) (angles in units of ",
                   "pi/2).")
    }
    out$theta <- th
  }
  out
}

# `init` may be NULL, one list for every chain, a list of such lists (one per
# chain), or a function of the chain number returning such a list.
.check_init <- function(init, defaults, eta_range) {
  chains <- length(defaults)
  if (is.null(init)) return(defaults)
  if (is.function(init)) {
    return(lapply(seq_len(chains), function(k) {
      .check_init_one(init(k), defaults[[k]], sprintf("init(%d)", k),
                      eta_range)
    }))
  }
  if (!is.list(init)) {
    .input_error("init", "must be NULL, a list of starting values, a list ",
                 "of such lists (one per chain) or a function of the chain ",
                 "number.")
  }
  per_chain <- length(init) > 0L &&
    (is.null(names(init)) || all(grepl("^chain[0-9]+$", names(init)))) &&
    all(vapply(init, function(el) is.null(el) || is.list(el), logical(1)))
  if (per_chain) {
    if (length(init) != chains) {
      .input_error("init", "has ", length(init), " per-chain lists for ",
                   chains, " chain(s).")
    }
    return(lapply(seq_len(chains), function(k) {
      .check_init_one(init[[k]], defaults[[k]], sprintf("init[[%d]]", k),
                      eta_range)
    }))
  }
  lapply(seq_len(chains), function(k) .check_init_one(init, defaults[[k]],
                                                      "init", eta_range))
}

# ---- proposal scales ------------------------------------------------------

.scale_names <- c("beta", "phi", "lambda", "eta", "theta", "scale", "shear",
                  "psi")

# Default scales.  The coefficient block of outcome r is proposed with the
# shape of (X' W_r X)^-1, W_r the curvature of the family's log-likelihood
# near the data; `beta` scales it.  The effects' random walks start near
# 2.4 conditional sds; their Newton proposals (on large maps) have the
# conditional curvature's sd, which `phi` (1) multiplies.
.default_scales <- function(Y, X, map, E = NULL, family = "poisson") {
  n <- nrow(Y); K <- ncol(Y); p <- ncol(X)
  curv <- if (is.null(E)) ifelse(is.na(Y), 0, Y) + 0.5 else
    .curvature(Y, E, family)
  chol_shape <- array(0, c(p, p, K))
  for (r in seq_len(K)) {
    w <- ifelse(is.na(Y[, r]), 0, curv[, r])
    info <- crossprod(X * sqrt(w))
    chol_shape[, , r] <- t(chol(chol2inv(chol(info))))
  }
  phi <- if (.newton_effects(n)) matrix(1, n, K) else {
    # conditional precision of phi[i, c] at loadings 0.5: D_i + 0.25 times
    # the curvatures of the outcomes r <= c
    cum <- t(apply(curv, 1L, cumsum))
    if (K == 1L) cum <- matrix(cum, ncol = 1L)
    2.4 / sqrt(map$d + 0.25 * cum)
  }
  lam <- matrix(0, K, K)
  lam[upper.tri(lam, diag = TRUE)] <- 0.05
  diag(lam) <- 0.1
  list(beta = rep(2.4 / sqrt(p), K), beta_shape = chol_shape,
       phi = unname(phi), lambda = lam, eta = rep(0.5, K),
       theta = rep(0.5, .n_angles(K)), scale = rep(0.1, K),
       shear = rep(0.1, .n_angles(K)),
       psi = if (family == "negbinomial") rep(0.2, K) else numeric(),
       lambda_corr = .identity_corr(K))
}

# Per row of the loadings, the Cholesky factor of its proposal's
# correlations: none to start with.
.identity_corr <- function(K) {
  array(rep(diag(K), K), c(K, K, K))
}

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

.engine_scales <- function(s) {
  list(beta = as.double(s$beta), beta_chol = as.double(s$beta_shape),
       phi = as.double(s$phi), lambda = as.double(s$lambda),
       eta = as.double(s$eta), theta = as.double(s$theta),
       scale = as.double(s$scale), shear = as.double(s$shear),
       psi = as.double(s$psi),
       lambda_corr = as.double(if (is.null(s$lambda_corr))
         .identity_corr(length(s$eta)) else s$lambda_corr))
}

# `lp`, the linear predictor a chain carries, is part of a chain's state
# only when the state comes from the engine (a last_state); starting values
# leave it out and the engine computes it.
.engine_state <- function(init, rng) {
  list(beta = as.double(init$beta), phi = as.double(init$phi),
       Lambda = as.double(init$Lambda), eta = as.double(init$eta),
       theta = as.double(init$theta), psi = as.double(init$psi),
       lp = if (!is.null(init$lp)) as.double(init$lp), rng = rng,
       summaries = NULL)
}

# The engine's state back in the shapes of `init`.
.state_from_engine <- function(s, p, n, K) {
  list(beta = matrix(s$beta, p, K), phi = matrix(s$phi, n, K),
       Lambda = matrix(s$Lambda, K, K), eta = as.vector(s$eta),
       theta = as.vector(s$theta), psi = as.vector(s$psi),
       lp = matrix(s$lp, n, K), rng = s$rng)
}

# ---- random-number streams ------------------------------------------------

# Returns a function that puts R's generator back to its kinds and state
# at the time of this call.
.save_rng <- function() {
  genv <- globalenv()
  had <- exists(".Random.seed", envir = genv, inherits = FALSE)
  old_seed <- if (had) get(".Random.seed", envir = genv, inherits = FALSE)
  old_kind <- RNGkind()
  function() {
    RNGkind(old_kind[1L], old_kind[2L], old_kind[3L])
    if (had) {
      assign(".Random.seed", old_seed, envir = genv)
    } else if (exists(".Random.seed", envir = genv, inherits = FALSE)) {
      rm(".Random.seed", envir = genv)
    }
  }
}

# Sets R's generator to the L'Ecuyer-CMRG stream `seed` and returns a
# function that puts back the kinds and state found on entry.
.use_stream <- function(seed) {
  restore <- .save_rng()
  RNGkind("L'Ecuyer-CMRG", "Inversion", "Rejection")
  assign(".Random.seed", seed, envir = globalenv())
  restore
}

# One L'Ecuyer-CMRG stream per chain from a single seed; the caller's
# generator is left as it was.
.chain_streams <- function(seed, chains) {
  restore <- .save_rng()
  on.exit(restore())
  set.seed(seed, kind = "L'Ecuyer-CMRG", normal.kind = "Inversion",
           sample.kind = "Rejection")
  s <- get(".Random.seed", envir = globalenv())
  streams <- vector("list", chains)
  for (k in seq_len(chains)) {
    streams[[k]] <- s
    s <- parallel::nextRNGStream(s)
  }
  streams
}

# The engine's generator for a chain, seeded from the chain's stream.
.engine_rng <- function() {
  .Call(mcar_engine_seed, floor(runif(2L) * 4294967296))
}

# ---- tuning ---------------------------------------------------------------

# Acceptance rates the tuning aims at: one-coordinate random walks and
# blocks of several coordinates.
.TARGET_SINGLE <- 0.44
.TARGET_NEWTON <- 0.5
.TARGET_BLOCK <- 0.3

# Splits `total` sweeps into nearly equal pieces of at most `len`.
.split_sweeps <- function(total, len) {
  if (total <= 0) return(integer())
  n <- ceiling(total / len)
  base <- total %/% n
  r <- total %% n
  as.integer(c(rep(base + 1, r), rep(base, n - r)))
}

# The calls a chain is run in: burn-in in about twenty pieces (20 to 1000
# sweeps each), for tuning; the kept sweeps in about ten (at least 500, at
# most 10000), for progress reports.  The plan depends on the run's size
# only.
.segment_plan <- function(burnin, n_sample) {
  m <- n_sample - burnin
  b <- .split_sweeps(burnin, min(1000, max(20, ceiling(burnin / 20))))
  s <- .split_sweeps(m, min(10000, max(500, ceiling(m / 10))))
  data.frame(phase = c(rep("burnin", length(b)), rep("sample", length(s))),
             length = c(b, s), stringsAsFactors = FALSE)
}

# New proposal scales from the acceptance counts of the k-th burn-in piece
# of `len` sweeps.  The first three pieces move each scale by
# qnorm(target / 2) / qnorm(rate / 2), bounded to a factor of 5 either way;
# later pieces take Robbins-Monro steps log(scale) += 3 (rate - target) /
# (k - 2)^0.7, which settle where the rate averages to its target.
.retune <- function(scales, counts, len, k, p, K, newton = FALSE) {
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
  # close to Gaussian; it shrinks only where it is accepted too rarely.
  scales$phi <- if (newton) {
    pmin(1, adjust(scales$phi, counts$phi / len, .TARGET_NEWTON))
  } else {
    adjust(scales$phi, counts$phi / len, .TARGET_SINGLE)
  }
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
  if (length(scales$theta)) {
    scales$theta <- adjust(scales$theta, as.vector(counts$theta) / len,
                           .TARGET_SINGLE)
    scales$shear <- adjust(scales$shear, as.vector(counts$shear) / len,
                           .TARGET_SINGLE)
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

.packed_index <- function(a, b, K) {
  (a - 1L) * K - ((a - 1L) * (a - 2L)) %/% 2L + (b - a) + 1L
}

.add_counts <- function(a, b) {
  if (is.null(a)) return(b)
  Map(`+`, a, b)
}

# ---- one chain ------------------------------------------------------------

# Runs one chain as described by `task` (built by mcar_fit()).  `progress`,
# when not NULL, is called with the number of sweeps done after each call of
# the engine.  Returns the kept draws, acceptance rates, proposal scales,
# the tuning history, the final state and the chain's log lines.
.run_chain <- function(task, progress = NULL) {
  started <- proc.time()[["elapsed"]]
  dat <- task$data
  n <- nrow(dat$Y); K <- ncol(dat$Y); p <- ncol(dat$X)
  plan <- .segment_plan(task$burnin, task$n_sample)
  state <- .engine_state(task$init, task$rng)
  scales <- task$scales
  initial_scales <- scales
  counts <- NULL
  history <- list()
  pieces <- list()
  lines <- character()
  done <- 0L
  stored <- 0L
  burn_L <- NULL
  for (s in seq_len(nrow(plan))) {
    len <- plan$length[s]
    burn <- plan$phase[s] == "burnin"
    # Burn-in pieces keep about 50 draws, for the shape of the loading
    # proposals.
    # Kept pieces add every kept sweep into the running summaries and store
    # the fields of every unit_thin-th kept sweep.
    control <- list(sweeps = len,
                    thin = if (burn) max(1L, len %/% 50L) else
                      as.integer(task$thin),
                    offset = if (burn) 0L else stored,
                    unit_thin = if (burn) 1000000L else
                      as.integer(task$unit_thin),
                    accumulate = !burn,
                    threads = as.integer(if (is.null(task$threads)) 1L else
                      task$threads))
    run <- .Call(mcar_engine_run, dat, state, .engine_scales(scales), control)
    run$accept <- .per_proposal(run$accept, dat$rounds)
    summaries <- if (burn) state$summaries else run$summaries
    state <- run$state
    state["summaries"] <- list(summaries)
    rates <- lapply(run$accept, function(x) x / len)
    line <- sprintf(paste("chain %d: sweeps %d-%d of %d (%s): acceptance",
                          "beta %.2f, phi %.2f, Lambda %.2f, eta %.2f%s"),
                    task$chain, done + 1L, done + len, task$n_sample,
                    if (burn) "burn-in" else "kept", mean(rates$beta),
                    mean(rates$phi), mean(rates$lambda), mean(rates$eta),
                    if (length(rates$theta))
                      sprintf(", theta %.2f", mean(rates$theta)) else "")
    lines <- c(lines, line)
    if (isTRUE(task$verbose)) message(line)
    if (burn) {
      if (isTRUE(task$tune)) {
        k <- length(history) + 1L
        history[[k]] <- c(
          piece = k, sweeps = len, beta = mean(rates$beta),
          phi = mean(rates$phi), phi_min = min(rates$phi),
          phi_max = max(rates$phi), lambda = mean(rates$lambda),
          eta = mean(rates$eta), scale = mean(rates$scale),
          theta = if (length(rates$theta)) mean(rates$theta) else NA_real_,
          shear = if (length(rates$shear)) mean(rates$shear) else NA_real_)
        scales <- .retune(scales, run$accept, len, k, p, K,
                          newton = dat$newton == 1L)
        if (k >= 2L) burn_L <- rbind(burn_L, run$draws$Lambda)
        if (k >= 3L) {
          shaped <- .lambda_shape(scales$lambda, burn_L, K,
                                  if (is.null(scales$lambda_corr))
                                    .identity_corr(K) else scales$lambda_corr)
          scales$lambda <- shaped$lambda
          scales$lambda_corr <- shaped$corr
        }
      }
    } else {
      counts <- .add_counts(counts, run$accept)
      pieces[[length(pieces) + 1L]] <- run$draws
      stored <- stored + len
    }
    done <- done + len
    if (!is.null(progress)) progress(len)
  }
  draws <- lapply(setNames(nm = names(pieces[[1L]])), function(el) {
    do.call(rbind, lapply(pieces, `[[`, el))
  })
  m <- task$n_sample - task$burnin
  list(chain = task$chain,
       draws = draws,
       acceptance = lapply(counts, function(x) x / m),
       scales = scales,
       initial_scales = initial_scales,
       tuning = if (length(history))
         as.data.frame(do.call(rbind, history)),
       last_state = .state_from_engine(state, p, n, K),
       summaries = state$summaries,
       lines = lines,
       seconds = proc.time()[["elapsed"]] - started)
}
