# Starting values: the data-based defaults, their dispersion over the chains,
# the checks of given ones, and each chain's start (its engine generator and
# starting values, both from the chain's own stream).

# The elements of a chain's starting values: the coefficients (p x K), the
# fields (n x K), the loadings, the eigenvalues and angles of the
# association matrix, the negative binomial sizes (none for the other
# families) and, over several periods, the fields' autoregressive
# coefficients (none with one period).
.init_names <- c("beta", "phi", "Lambda", "eta", "theta", "psi", "alpha")

# Data-based starting values: coefficients from a regression of each
# outcome on the covariates in its family (Poisson for the negative
# binomial), fields from the log standardised ratios (log odds for the
# binomial) smoothed once over the neighbours (period by period), diagonal
# loadings 0.5, distinct eigenvalues, angles 0, sizes 10, autoregressive
# coefficients 0.5 (or those the prior holds fixed).
.default_init <- function(Y, E, X, map, family = "poisson", periods = 1L,
                          alpha = NULL) {
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
  nbr <- .period_blocks(res, periods, function(r)
    as.matrix(map$C %*% r) / map$d)
  smooth <- (res + nbr) / 2
  smooth <- sweep(smooth, 2L, colMeans(smooth))
  list(beta = unname(beta), phi = unname(smooth / lam),
       Lambda = diag(lam, K),
       eta = if (K == 1L) 0.6 else seq(0.6, 0.3, length.out = K),
       theta = rep(0, .n_angles(K)),
       psi = if (.family_has_sizes(family)) rep(10, K) else numeric(),
       alpha = if (periods > 1L) {
         if (is.null(alpha)) rep(0.5, K) else rep_len(alpha, K)
       } else numeric())
}

# f applied to each period's block of rows of x (n T rows, the unit
# fastest), the results stacked in the same order.
.period_blocks <- function(x, periods, f) {
  if (periods == 1L) return(f(x))
  n <- nrow(x) %/% periods
  do.call(rbind, lapply(seq_len(periods), function(t)
    f(x[(t - 1L) * n + seq_len(n), , drop = FALSE])))
}

# Starting values dispersed around `init` (R's generator must be set to the
# chain's own stream); eta_range is the support of the eigenvalues.  The
# coefficients are dispersed on the scale of the covariates in X, centred
# and scaled as the sampler takes them: each linear predictor moves by
# about 0.1 per coefficient, whatever the units of the covariates.  With
# alpha_free, the autoregressive coefficients are drawn on (0.1, 0.9).
.disperse_init <- function(init, eta_range, X = NULL, alpha_free = FALSE) {
  K <- ncol(init$phi)
  out <- init
  jitter <- matrix(rnorm(length(init$beta), 0, 0.1), nrow(init$beta))
  if (!is.null(X) && ncol(X) > 1L) {
    j <- seq_len(ncol(X))[-1L]
    m <- colMeans(X[, j, drop = FALSE])
    s <- apply(X[, j, drop = FALSE], 2L, stats::sd)
    s[!is.finite(s) | s <= 0] <- 1
    slope <- jitter[j, , drop = FALSE] / s
    jitter[j, ] <- slope
    jitter[1L, ] <- jitter[1L, ] - colSums(slope * m)
  }
  out$beta <- init$beta + jitter
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
  if (alpha_free && length(init$alpha)) out$alpha <- runif(K, 0.1, 0.9)
  out
}

# Each chain's start from its own L'Ecuyer-CMRG stream of `seed`: the
# engine's generator, seeded from the stream, and the starting values, the
# data-based `plain` for the first chain and dispersed around them (on the
# scale of the covariates X) for the others, or those `init` gives (see .check_init()).  The caller's generator
# is left as it was.
.chain_starts <- function(seed, chains, plain, init, eta_range, X = NULL,
                          alpha_free = FALSE) {
  streams <- .chain_streams(seed, chains)
  seeded <- lapply(seq_len(chains), function(k) {
    restore <- .use_stream(streams[[k]])
    on.exit(restore())
    rng <- .engine_rng()
    init_k <- if (k == 1L) plain else
      .disperse_init(plain, eta_range, X, alpha_free)
    list(rng = rng, init = init_k)
  })
  list(rngs = lapply(seeded, `[[`, "rng"),
       inits = .check_init(init, lapply(seeded, `[[`, "init"), eta_range))
}

# `x` as doubles, when it is numeric, finite and of `len` elements.
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
  if (length(init$alpha)) {
    if (!length(default$alpha)) {
      .input_error(sub("alpha"), "is for fits over several periods; this ",
                   "fit has one.")
    }
    a <- .check_numeric(init$alpha, sub("alpha"), K)
    if (any(abs(a) >= 1)) .input_error(sub("alpha"), "must lie in (-1, 1).")
    out$alpha <- a
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
