# The compiled engine's .Call interface.  mcar_engine_run(data, state,
# scales, control) runs control$sweeps sweeps of one chain and returns its
# kept draws, the state to continue from, the acceptance counts and the
# running summaries; mcar_engine_seed() makes the engine's generator.  The
# four lists the engine reads are built here, and what it returns is read
# here: elsewhere the package uses the R-side starting values, proposal
# scales and draws.  The negative binomial sizes, psi in the engine's state
# and scales (and in `init`), are the draws dispersion[r].

# What the engine and this package must agree on, as the engine states it:
# the element names of every list that crosses .Call (with attributes
# "optional" and "nullable"), the families' codes by name, and the most
# outcomes (max_k).  Read once per session.
.contract <- function() {
  if (is.null(.contract_cache$value)) {
    .contract_cache$value <- .Call(mcar_engine_contract)
  }
  .contract_cache$value
}
.contract_cache <- new.env(parent = emptyenv())

# The data as the engine reads it.  E holds the expected counts, or the
# binomial trials.  A missing count enters as 0 with an E of 0, which takes
# it out of the likelihood exactly.  `map` is a prepared map
# (.prepare_map): its support of the eigenvalues and the interpolant of the
# prior's log-determinant.  A cell counts as raised in the running
# summaries when its relative risk exceeds 1, or for the binomial when its
# probability exceeds the outcome's overall proportion.
# With several periods the rows of Y, E and X are the n T unit-periods, the
# unit fastest, and the autoregressive coefficients are held where the
# prior fixes them.
.engine_data <- function(Y, E, X, map, prior, family = "poisson",
                         periods = 1L) {
  miss <- is.na(Y)
  Y0 <- Y; Y0[miss] <- 0
  E0 <- E; E0[miss] <- 0
  dimnames(Y0) <- dimnames(E0) <- NULL
  ref <- .reference_lp(Y, E, family)
  out <- list(family = .family_code(family), Y = Y0, E = E0, X = unname(X),
       row_ptr = map$row_ptr, col = map$col,
       w = map$w, logdet = map$logdet, eta_lo = map$eta_lo,
       eta_hi = map$eta_hi, beta_prec = prior$beta_prec,
       iw_df = prior$iw_df, iw_scale = prior$iw_scale,
       ref_lp = as.double(ref),
       psi_scale = if (is.null(prior$dispersion_scale)) 1 else
         as.double(prior$dispersion_scale),
       rounds = .given_mu_rounds(nrow(Y), periods),
       newton = 1L)
  if (periods > 1L) {
    out$periods <- as.integer(periods)
    out$alpha_fixed <- !is.null(prior$alpha)
  }
  out
}

# The effects are proposed by Newton steps on their conditionals (nearly
# independent draws, accepted almost always; newton = 1 above), colour by
# colour of the map.  The engine's random walks in unit order (newton = 0)
# serve its own tests: on every map measured, from 87 units up, the Newton
# proposals give more effective draws per second (1.1 to 1.8 times on the
# bundled data and North Carolina, 2 to 30 times on maps of thousands of
# units), the faster effects carrying the loadings and eigenvalues along.

# Rounds per sweep of the moves that leave mu unchanged (the fields' scales
# and shears against the loadings, the eigenvalues, the angles).  They cost
# O(K^3) a round whatever the map, and where the loadings and the
# eigenvalues are sharply determined given the fields and correlated with
# each other, several rounds let them settle given mu: one per 50 units, at
# least 4 (on maps of about a hundred units 4 rounds double the least
# effective draws per second of one; 8 do no better) and at most 30.  On a
# map of 400 units 8 rounds give a third more effective draws per second
# of the loadings than 4, with either family; at 1,000 units 20 as many as
# 10.  Over periods, one per 100 of the n unit-periods: on the bundled
# influenza counts (140 districts, 8 years) twice as many rounds made the
# runs to the `until` targets longer, not shorter.
.given_mu_rounds <- function(n, periods = 1L) {
  per <- if (periods > 1L) 100L else 50L
  as.integer(max(4L, min(30L, n %/% per)))
}

# The proposal scales as the engine reads them: the shapes of the
# coefficient blocks as beta_chol, and without loading correlations the
# identity.
.engine_scales <- function(s) {
  list(beta = as.double(s$beta), beta_chol = as.double(s$beta_shape),
       phi = as.double(s$phi), lambda = as.double(s$lambda),
       eta = as.double(s$eta), theta = as.double(s$theta),
       scale = as.double(s$scale), shear = as.double(s$shear),
       rotation = as.double(s$rotation),
       psi = as.double(s$psi),
       ridge = as.double(if (is.null(s$ridge)) rep(0, length(s$psi)) else
         s$ridge),
       lambda_corr = as.double(if (is.null(s$lambda_corr))
         .identity_corr(length(s$eta)) else s$lambda_corr),
       alpha = as.double(s$alpha))
}

# A chain's state from starting values (or a last_state) and the engine's
# generator.  `lp`, the linear predictor a chain carries, is part of a
# chain's state only when the state comes from the engine (a last_state);
# starting values leave it out and the engine computes it.  A chain starts
# without running summaries.
.engine_state <- function(init, rng) {
  list(beta = as.double(init$beta), phi = as.double(init$phi),
       Lambda = as.double(init$Lambda), eta = as.double(init$eta),
       theta = as.double(init$theta), psi = as.double(init$psi),
       alpha = as.double(init$alpha),
       lp = if (!is.null(init$lp)) as.double(init$lp), rng = rng,
       summaries = NULL)
}

# The control of one call of `sweeps` sweeps: the j-th is kept when
# offset + j is a multiple of `thin` (`offset`: the sweeps of the phase
# before the call), as kept draw (offset + j) / thin, which stores the
# per-unit draws too when it is a multiple of `unit_thin` (see
# .thinning()); with `accumulate`, every kept sweep adds into the running
# summaries, and with `batches` (an even number of slots) the summaries
# start keeping batch means of every cell's linear predictor (see
# .batch_convergence()).  The effects of large maps are updated on
# `threads` threads.
.engine_control <- function(sweeps, thin, offset, unit_thin, accumulate,
                            threads = 1L, batches = 0L) {
  list(sweeps = as.integer(sweeps), thin = as.integer(thin),
       offset = as.integer(offset), unit_thin = as.integer(unit_thin),
       accumulate = accumulate, threads = as.integer(threads),
       batches = as.integer(batches))
}

# The engine's generator for a chain, seeded from the chain's stream.
.engine_rng <- function() {
  .Call(mcar_engine_seed, floor(runif(2L) * 4294967296))
}

# One call of the engine, continuing the chain from `state`.  Returns the
# kept draws (one matrix per group, as the engine names them), the state to
# continue from, which carries the running summaries (this call's when it
# accumulates them, else those it was given), and the acceptance counts,
# those of the moves given mu per proposal.
.engine_call <- function(data, state, scales, control) {
  .engine_result(.Call(mcar_engine_run, data, state, scales, control),
                 state, control, data$rounds)
}

# The same call for several chains from their `states` with their
# `scales`, one `control` for all, `workers` chains at a time on threads of
# their own: a list of what .engine_call() returns, one per chain, each the
# same as its chain's call alone.
.engine_calls <- function(data, states, scales, control, workers = 1L) {
  if (length(states) == 1L) {
    return(list(.engine_call(data, states[[1L]], scales[[1L]], control)))
  }
  runs <- .Call(mcar_engine_run_chains, data, states, scales,
                rep(list(control), length(states)), as.integer(workers))
  Map(.engine_result, runs, states,
      MoreArgs = list(control = control, rounds = data$rounds))
}

.engine_result <- function(run, state, control, rounds) {
  carried <- run$state
  carried["summaries"] <- list(if (control$accumulate) run$summaries else
    state$summaries)
  list(draws = run$draws, state = carried,
       accept = .per_proposal(run$accept, rounds))
}

# The numbers of units, outcomes and coefficients of the engine's data.
.engine_dims <- function(data) {
  list(n = nrow(data$Y), K = ncol(data$Y), p = ncol(data$X))
}

# Acceptance counts of the moves given mu per proposal, as of the others;
# a sweep turns the fields along one of the angles, drawn at random, so
# each angle's rotation counts are per sweeps / angles.
.per_proposal <- function(accept, rounds) {
  for (el in c("eta", "theta", "scale", "shear"))
    accept[[el]] <- accept[[el]] / rounds
  accept$rotation <- accept$rotation * length(accept$rotation)
  accept
}

# The engine's state back in the shapes of `init`, and the running
# summaries it carries.
.state_from_engine <- function(s, p, n, K) {
  list(beta = matrix(s$beta, p, K), phi = matrix(s$phi, n, K),
       Lambda = matrix(s$Lambda, K, K), eta = as.vector(s$eta),
       theta = as.vector(s$theta), psi = as.vector(s$psi),
       alpha = as.vector(s$alpha), lp = matrix(s$lp, n, K), rng = s$rng)
}

.carried_summaries <- function(s) s$summaries

# The names of the columns of each group of draws: cells [i,r] with i
# varying fastest (over periods [i,r,t], see .cell_names()), packed upper
# triangles row by row.
.draw_names <- function(n, K, p, periods = 1L) {
  idx <- function(name, a, b) paste0(name, "[", rep(seq_len(a), b), ",",
                                     rep(seq_len(b), each = a), "]")
  list(beta = idx("beta", p, K), phi = .cell_names("phi", n, K, periods),
       Lambda = .packed_names("Lambda", K), A = .packed_names("A", K),
       eta = paste0("eta[", seq_len(K), "]"),
       theta = if (K > 1L) paste0("theta[", seq_len(.n_angles(K)), "]")
       else character(),
       dispersion = paste0("dispersion[", seq_len(K), "]"),
       alpha = paste0("alpha[", seq_len(K), "]"),
       deviance = "deviance")
}

# The kept draws of a chain as the engine returns them, with their columns
# named.  The engine's sizes psi are the draws dispersion[r] of a negative
# binomial fit; the other families have none.
.fit_draws <- function(d, n, K, p, periods = 1L) {
  if (ncol(d$psi)) names(d)[names(d) == "psi"] <- "dispersion" else
    d$psi <- NULL
  if (!ncol(d$alpha)) d$alpha <- NULL
  # The eigenvalues of A in decreasing order: which of the sampler's
  # eigenvalues is the largest can change along a chain and between
  # chains, so only the ordered values are identified.
  # One ordering of every draw's values by draw, then by decreasing value.
  e <- d$eta
  if (ncol(e) > 1L && nrow(e)) {
    d$eta[] <- matrix(e[order(row(e), -e)], nrow(e), byrow = TRUE)
  }
  nm <- .draw_names(n, K, p, periods)
  for (el in names(d)) colnames(d[[el]]) <- nm[[el]]
  d
}

# ---- packed upper triangles -----------------------------------------------

# The number of angles (and of pairs of outcomes) of K outcomes.
.n_angles <- function(K) (K * (K - 1L)) %/% 2L

# Packed upper triangle, row by row, as the engine returns Lambda and A.
.packed_names <- function(name, K) {
  ij <- which(upper.tri(diag(K), diag = TRUE), arr.ind = TRUE)
  ij <- ij[order(ij[, 1L], ij[, 2L]), , drop = FALSE]
  paste0(name, "[", ij[, 1L], ",", ij[, 2L], "]")
}

# The position of [a,b] (a <= b) in a packed upper triangle of K x K.
.packed_index <- function(a, b, K) {
  (a - 1L) * K - ((a - 1L) * (a - 2L)) %/% 2L + (b - a) + 1L
}

# The K x K upper triangular matrix of a packed upper triangle.
.unpack <- function(v, K) {
  M <- matrix(0, K, K)
  ij <- which(upper.tri(M, diag = TRUE), arr.ind = TRUE)
  ij <- ij[order(ij[, 1L], ij[, 2L]), , drop = FALSE]
  M[ij] <- v
  M
}
