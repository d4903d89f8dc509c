# The compiled sampler and what the R side needs to drive it in pieces.
#
# One .C("mcar") call is one run of the sampler: it reads the neighbour files
# "neighbor1.txt" (D) and "neighbor2.txt" (C) from the working directory,
# starts from the values it is given, runs `nend` sweeps of which the last
# `nend - nstart` are stored, and draws from R's generator (loaded at the
# start of the call and saved at its end).  The chain is Markov, so a run can
# be continued by a later call started from the last stored state.  That
# state is (gbeta, phi, lamda, eta, theta); the calls return every piece of
# it except the eigenvalues eta and angles theta of the association matrix,
# of which only the packed matrix alpha = P(theta) diag(eta) P(theta)' comes
# back.  .track_association() recovers (eta, theta) from the alpha chain.

# Writes D and C where the sampler looks for them.
.write_neighbour_files <- function(dir, D, C) {
  fmt <- function(M) {
    apply(M, 1L, function(row) paste(formatC(row, digits = 17, format = "g"),
                                     collapse = " "))
  }
  writeLines(fmt(D), file.path(dir, "neighbor1.txt"))
  writeLines(fmt(C), file.path(dir, "neighbor2.txt"))
  invisible(dir)
}

# One call of the compiled sampler, run in the current working directory.
# `state` holds gbeta (3), phi (87 x 3), lamda (6), eta (3), theta (3);
# `scales` as from .check_scale_one().  Returns the chains and the change
# counters as R objects, together with the sampler's own summaries.
.native_run <- function(Y, N, state, eigen, nstart, nend, scales) {
  m <- nend - nstart
  nr <- .NREGION
  out <- .C("mcar",
    beta_f = double(3L * m),
    phi1_f = double(nr * m),
    phi2_f = double(nr * m),
    phi3_f = double(nr * m),
    alpha_f = double(6L * m),
    lamda_f = double(6L * m),
    Y10 = as.double(Y[, 1L]), N10 = as.double(N[, 1L]),
    Y20 = as.double(Y[, 2L]), N20 = as.double(N[, 2L]),
    Y30 = as.double(Y[, 3L]), N30 = as.double(N[, 3L]),
    beta0 = as.double(state$gbeta),
    phi10 = as.double(state$phi[, 1L]),
    phi20 = as.double(state$phi[, 2L]),
    phi30 = as.double(state$phi[, 3L]),
    lamda0 = as.double(state$lamda),
    eta0 = as.double(state$eta),
    theta0 = as.double(state$theta),
    eigen10 = as.double(eigen),
    nstart = as.integer(nstart), nend = as.integer(nend),
    count1 = integer(3L), count2 = integer(nr), count3 = integer(nr),
    count4 = integer(nr), count5 = integer(2L), count6 = integer(2L),
    betascale = as.double(scales$gbeta),
    phi1scale = as.double(scales$phi[, 1L]),
    phi2scale = as.double(scales$phi[, 2L]),
    phi3scale = as.double(scales$phi[, 3L]),
    lamscale1 = as.double(scales$lamda_diag),
    lamscale2 = as.double(scales$lamda_off),
    etascale = as.double(scales$eta),
    thetascale = as.double(scales$theta),
    beta_m = double(3L), phi1_m = double(nr), phi2_m = double(nr),
    phi3_m = double(nr), alpha_m = double(6L), lamda_m = double(6L),
    p1_m = double(nr), p2_m = double(nr), p3_m = double(nr),
    Dbar = double(1L), Dtheta = double(1L),
    PACKAGE = "mcar"
  )
  phi <- array(c(out$phi1_f, out$phi2_f, out$phi3_f), c(m, nr, 3L))
  list(
    m = m,
    gbeta = matrix(out$beta_f, m, 3L),
    phi = phi,
    lamda = matrix(out$lamda_f, m, 6L),
    alpha = matrix(out$alpha_f, m, 6L),
    counts = list(gbeta = out$count1,
                  phi = cbind(out$count2, out$count3, out$count4),
                  lamda_diag = out$count5[1L], lamda_off = out$count5[2L],
                  eta = out$count6[1L], theta = out$count6[2L]),
    native = list(beta_m = out$beta_m,
                  phi_m = cbind(out$phi1_m, out$phi2_m, out$phi3_m),
                  alpha_m = out$alpha_m, lamda_m = out$lamda_m,
                  p_m = cbind(out$p1_m, out$p2_m, out$p3_m),
                  Dbar = out$Dbar, Dtheta = out$Dtheta)
  )
}

# ---- association matrix ---------------------------------------------------

# P = P1 P2 P3, the plane rotations through theta * pi/2 used by the sampler
# (P1 in the plane of axes 1-2, P2 of 1-3, P3 of 2-3), multiplied out.
.rotation <- function(theta) {
  a <- theta * (pi / 2)
  c0 <- cos(a[1L]); s0 <- sin(a[1L])
  c1 <- cos(a[2L]); s1 <- sin(a[2L])
  c2 <- cos(a[3L]); s2 <- sin(a[3L])
  matrix(c(c0 * c1, -s0 * c1, -s1,
           c2 * s0 - s2 * c0 * s1, c2 * c0 + s2 * s0 * s1, -s2 * c1,
           s2 * s0 + c2 * c0 * s1, s2 * c0 - c2 * s0 * s1, c2 * c1),
         3L, 3L)
}

.alpha_matrix <- function(alpha) {
  matrix(alpha[c(1L, 2L, 3L, 2L, 4L, 5L, 3L, 5L, 6L)], 3L, 3L)
}

.alpha_vector <- function(A) A[c(1L, 4L, 7L, 5L, 8L, 9L)]

#' @noRd
.association <- function(eta, theta) {
  P <- .rotation(theta)
  (P %*% (eta * t(P)))[c(1L, 4L, 7L, 5L, 8L, 9L)]
}

.perms3 <- rbind(c(1L, 2L, 3L), c(1L, 3L, 2L), c(2L, 1L, 3L),
                 c(2L, 3L, 1L), c(3L, 1L, 2L), c(3L, 2L, 1L))

# The representation (eta, theta) of a matrix whose eigen-decomposition is
# `e`, with its eigenvalues taken in the order `p`.  The eigenvector signs
# are fixed by the range of the angles: P[1, 1], P[3, 3] > 0 and det P = 1.
.rep_from_eigen <- function(e, p) {
  Q <- e$vectors[, p, drop = FALSE]
  if (Q[1L, 1L] < 0) Q[, 1L] <- -Q[, 1L]
  if (Q[3L, 3L] < 0) Q[, 3L] <- -Q[, 3L]
  # det Q = q1 . (q2 x q3)
  d <- Q[1L, 1L] * (Q[2L, 2L] * Q[3L, 3L] - Q[3L, 2L] * Q[2L, 3L]) -
    Q[2L, 1L] * (Q[1L, 2L] * Q[3L, 3L] - Q[3L, 2L] * Q[1L, 3L]) +
    Q[3L, 1L] * (Q[1L, 2L] * Q[2L, 3L] - Q[2L, 2L] * Q[1L, 3L])
  if (d < 0) Q[, 2L] <- -Q[, 2L]
  theta <- c(atan2(-Q[2L, 1L], Q[1L, 1L]),
             atan2(-Q[3L, 1L], sqrt(Q[1L, 1L]^2 + Q[2L, 1L]^2)),
             atan2(-Q[3L, 2L], Q[3L, 3L])) / (pi / 2)
  eta <- e$values[p]
  # Rounding must not carry a value onto the edge of its range.
  if (any(eta <= .ETA_LOWER + 1e-12 | eta >= .ETA_UPPER - 1e-12)) {
    eta <- pmin(pmax(eta, .ETA_LOWER + 1e-12), .ETA_UPPER - 1e-12)
  }
  if (any(abs(theta) >= 1 - 1e-12)) {
    theta <- pmin(pmax(theta, -1 + 1e-12), 1 - 1e-12)
  }
  list(eta = eta, theta = theta)
}

.logit_eta <- function(x) log((x - .ETA_LOWER) / (.ETA_UPPER - x))
.logit_theta <- function(x) log((x + 1) / (1 - x))

# The representation after one sweep that changed the association matrix to
# `alpha`, from the representation `rep` before it.  A sweep moves the
# eigenvalues (angles kept) and then the angles (eigenvalues kept), each
# move accepted or not:
#   - angles kept: P(theta)' A P(theta) is diagonal and holds the new
#     eigenvalues in their slots;
#   - eigenvalues kept: they are found again among those of A, which fixes
#     the slot of each eigenvector;
#   - both moved: of the six representations, the one most probable as one
#     step of each random walk (proposal scales `scales`).
.step_association <- function(alpha, rep, scales, tol = 1e-9) {
  A <- .alpha_matrix(alpha)
  P <- .rotation(rep$theta)
  M <- crossprod(P, A %*% P)
  if (max(abs(M[upper.tri(M)])) < tol) {
    return(list(eta = diag(M), theta = rep$theta))
  }
  e <- eigen(A, symmetric = TRUE)
  hit <- abs(outer(rep$eta, e$values, `-`)) < tol
  if (all(rowSums(hit) == 1L) && all(colSums(hit) == 1L)) {
    slot <- max.col(hit, ties.method = "first")
    r <- .rep_from_eigen(e, slot)
    r$eta <- rep$eta
    return(r)
  }
  cands <- lapply(seq_len(nrow(.perms3)), function(i) {
    .rep_from_eigen(e, .perms3[i, ])
  })
  step_ll <- vapply(cands, function(r) {
    -sum(((.logit_eta(r$eta) - .logit_eta(rep$eta)) / scales$eta)^2) -
      sum(((.logit_theta(r$theta) - .logit_theta(rep$theta)) /
             scales$theta)^2)
  }, numeric(1))
  cands[[which.max(step_ll)]]
}

# ---- following eta and theta through a call -----------------------------
#
# Each sweep of the sampler draws a fixed number of uniforms from R's
# generator, whatever it accepts: a Metropolis step takes one uniform for its
# decision and then one normal per proposed coordinate, and with the
# "Inversion" normal kind each normal takes two uniforms.  Per sweep: the 3
# intercepts (3 x 3), the 261 spatial effects (261 x 3), then four blocks of
# three coordinates (4 x 7) -- the diagonal loadings, the off-diagonal
# loadings, the eigenvalues and the angles: 820 uniforms.  Replaying the
# generator from the state a call started from gives the normals of every
# eigenvalue and angle proposal, hence the proposals themselves; which of
# them were accepted shows in the stored alpha.  This recovers eta and theta
# exactly as the sampler held them.

.BIG <- 134217728                # 2^27, as in R's inversion normals
.SWEEP_UNIFORMS <- 820L
.ETA_NORMALS <- 807L + c(1L, 3L, 5L)     # first uniform of each normal
.THETA_NORMALS <- 814L + c(1L, 3L, 5L)

# The normals of the eigenvalue and angle proposals of `len` sweeps run from
# generator state `seed_before`; NULL unless replaying `len` sweeps ends in
# `seed_after`, the state the call left.  R's generator is left as found.
.replay_proposals <- function(seed_before, seed_after, len, chunk = 2000L) {
  genv <- globalenv()
  current <- get0(".Random.seed", envir = genv, inherits = FALSE)
  on.exit(assign(".Random.seed", current, envir = genv))
  assign(".Random.seed", seed_before, envir = genv)
  z_eta <- z_theta <- matrix(0, 3L, len)
  done <- 0L
  while (done < len) {
    n <- min(chunk, len - done)
    u <- matrix(stats::runif(.SWEEP_UNIFORMS * n), .SWEEP_UNIFORMS)
    normal <- function(at) {
      qnorm((floor(.BIG * u[at, ]) + u[at + 1L, ]) / .BIG)
    }
    cols <- done + seq_len(n)
    for (k in 1:3) {
      z_eta[k, cols] <- normal(.ETA_NORMALS[k])
      z_theta[k, cols] <- normal(.THETA_NORMALS[k])
    }
    done <- done + n
  }
  if (!identical(get(".Random.seed", envir = genv), seed_after)) return(NULL)
  list(eta = z_eta, theta = z_theta)
}

# The sampler's random walk on log((x + lo) / (hi - x)), in its arithmetic.
.bounded_step <- function(x, z, scale, lo, hi) {
  logit_y <- log((x + lo) / (hi - x)) + scale * z
  (hi * exp(logit_y) - lo) / (exp(logit_y) + 1)
}

# Follows the representation (eta, theta) of the association matrix along
# the alpha chain of one call of the sampler, all of whose sweeps were
# stored, from the representation `rep0` the call started from, and returns
# the representation at its last sweep.  With the generator states before
# and after the call (`seeds`), the proposals are replayed and the result is
# what the sampler held, to the last bit, so that a further call started
# from it continues the chain exactly as one longer call would have.
# Without them, or should the replay not fit, each sweep's representation
# is worked out from the eigen-decomposition of alpha (.step_association),
# which gives the same matrices but may settle on another of its equivalent
# representations.
.track_association <- function(alpha_chain, rep0, scales, seeds = NULL) {
  m <- nrow(alpha_chain)
  z <- if (!is.null(seeds)) {
    .replay_proposals(seeds$before, seeds$after, m)
  }
  rep <- rep0
  prev <- .association(rep0$eta, rep0$theta)
  for (i in seq_len(m)) {
    a <- alpha_chain[i, ]
    unchanged <- if (i == 1L) max(abs(a - prev)) <= 1e-12 else
      identical(a, alpha_chain[i - 1L, ])
    if (!is.null(z)) {
      eta_p <- .bounded_step(rep$eta, z$eta[, i], scales$eta, -.ETA_LOWER,
                             .ETA_UPPER)
      theta_p <- .bounded_step(rep$theta, z$theta[, i], scales$theta, 1, 1)
      if (unchanged) next
      found <- FALSE
      for (cand in list(list(eta = eta_p, theta = rep$theta),
                        list(eta = rep$eta, theta = theta_p),
                        list(eta = eta_p, theta = theta_p))) {
        if (max(abs(.association(cand$eta, cand$theta) - a)) <= 1e-10) {
          rep <- cand
          found <- TRUE
          break
        }
      }
      if (found) next
      z <- NULL          # the replay does not fit; work from alpha alone
    }
    if (!unchanged) rep <- .step_association(a, rep, scales)
  }
  err <- max(abs(.association(rep$eta, rep$theta) - alpha_chain[m, ]))
  if (!is.finite(err) || err > 1e-9) {
    stop("internal error: could not recover the association eigenvalues ",
         "and angles from the sampler's output (mismatch ", format(err), ")",
         call. = FALSE)
  }
  rep
}
