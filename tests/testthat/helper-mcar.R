# Shared maps, data and shortcuts for the tests of the R layer.

# Seeds R's generator for the rest of the calling function, with fixed kinds
# so that the data do not depend on the caller's generator settings.
local_test_seed <- function(seed, envir = parent.frame()) {
  withr::local_seed(seed, .local_envir = envir,
                    .rng_kind = "Mersenne-Twister",
                    .rng_normal_kind = "Inversion",
                    .rng_sample_kind = "Rejection")
}

# Rook adjacency of an nr x nc grid; units are numbered down the columns.
grid_adjacency <- function(nr, nc = nr, names = NULL) {
  n <- nr * nc
  W <- matrix(0, n, n)
  id <- function(r, c) (c - 1L) * nr + r
  for (r in seq_len(nr)) for (c in seq_len(nc)) {
    if (r < nr) W[id(r, c), id(r + 1L, c)] <- W[id(r + 1L, c), id(r, c)] <- 1
    if (c < nc) W[id(r, c), id(r, c + 1L)] <- W[id(r, c + 1L), id(r, c)] <- 1
  }
  if (!is.null(names)) dimnames(W) <- list(names, names)
  W
}

# The association matrix P diag(eta) P' of K eigenvalues and K (K - 1) / 2
# angles: P the product, over the pairs a < b in lexicographic order
# (1,2), (1,3), ..., (K-1,K), of the plane rotations G of the pair through
# theta * pi / 2, each multiplied on the right, with G[a,a] = G[b,b] = cos,
# G[a,b] = sin and G[b,a] = -sin.
association_by_hand <- function(eta, theta = numeric()) {
  eta <- unname(eta); theta <- unname(theta)
  K <- length(eta)
  stopifnot(length(theta) == K * (K - 1) / 2)
  P <- diag(K)
  j <- 0
  for (a in seq_len(K - 1)) for (b in seq(a + 1, length.out = K - a)) {
    j <- j + 1
    cs <- cos(theta[j] * pi / 2); sn <- sin(theta[j] * pi / 2)
    G <- diag(K)
    G[c(a, b), c(a, b)] <- matrix(c(cs, -sn, sn, cs), 2L, 2L)
    P <- P %*% G
  }
  P %*% diag(eta, K) %*% t(P)
}

# Counts simulated from the model on the map W: the fields drawn exactly from
# their MCAR prior (precision I_K x D - A x C), the linear predictor
# X beta + Phi Lambda', Poisson counts around E exp(mu).
simulate_mcar <- function(W, beta, Lambda, A, X, E_range = c(10, 40),
                          seed = 1) {
  local_test_seed(seed)
  n <- nrow(W); K <- ncol(Lambda)
  d <- rowSums(W)
  d[d == 0] <- 1  # an island's field is N(0, I) a priori
  Q <- kronecker(diag(K), diag(d)) - kronecker(A, W)
  phi <- matrix(backsolve(chol(Q), rnorm(n * K)), n, K)
  mu <- X %*% beta + phi %*% t(Lambda)
  E <- matrix(runif(n * K, E_range[1L], E_range[2L]), n, K)
  Y <- matrix(rpois(n * K, E * exp(mu)), n, K)
  list(Y = Y, E = E, X = X, phi = phi, mu = mu, A = A)
}

# A small two-outcome data set with one covariate on a 5 x 5 grid.
toy_data <- function(seed = 1, nr = 5, K = 2) {
  local_test_seed(seed)
  W <- grid_adjacency(nr)
  n <- nrow(W)
  x <- round(rnorm(n), 3)
  beta <- rbind(rep(0.1, K), rep(0.3, K))
  Lambda <- diag(0.5, K)
  Lambda[upper.tri(Lambda)] <- 0.2
  sim <- simulate_mcar(W, beta, Lambda, diag(0.6, K), cbind(1, x),
                       seed = seed + 100)
  list(Y = sim$Y, E = sim$E, W = W, x = x)
}

# Warnings that short runs are bound to give: ours about untrustworthy
# chains and about eigenvalues of A against a bound of their prior (a few
# dozen draws of a smooth map), and posterior's about capping the ESS of a
# few draws.  The bound warning has its own tests with mcar_fit() itself.
short_run_warning <- function(w) {
  grepl("not to be trusted|ESS has been capped|presses against its (upper|lower) bound",
        conditionMessage(w))
}

# mcar_fit() without a progress bar and with the short-run warnings muffled:
# for runs whose point is not statistical.
fit_quietly <- function(..., progress = FALSE) {
  withCallingHandlers(
    mcar_fit(..., progress = progress),
    warning = function(w) {
      if (short_run_warning(w)) invokeRestart("muffleWarning")
    })
}

# Fits shared by several files, made once per test run.
.fit_cache <- new.env(parent = emptyenv())
cached_fit <- function(key, make) {
  if (is.null(.fit_cache[[key]])) .fit_cache[[key]] <- make()
  .fit_cache[[key]]
}

# The toy data fitted with two chains and two missing counts.
toy_fit <- function() {
  cached_fit("toy", function() {
    d <- toy_data()
    Y <- d$Y
    Y[c(3, 32)] <- NA
    fit_quietly(Y, d$E, d$W, covariates = cbind(x = d$x), n_sample = 300,
                burnin = 100, chains = 2, seed = 7)
  })
}

# Expects `expr` to fail with an "mcar_input_error" about argument `arg`
# whose message starts with the argument's name (and matches `pattern`).
expect_input_error <- function(expr, arg, pattern = NULL) {
  err <- tryCatch({
    force(expr)
    NULL
  }, mcar_input_error = function(e) e)
  if (is.null(err)) {
    fail(sprintf("no mcar_input_error about `%s`", arg))
    return(invisible(NULL))
  }
  expect_identical(err$argument, arg)
  expect_true(startsWith(conditionMessage(err), paste0("`", arg, "` ")),
              label = conditionMessage(err))
  if (!is.null(pattern)) expect_match(conditionMessage(err), pattern)
  invisible(err)
}

# Threads of this R process (from /proc/self/task), and their number once
# it is `expected`, or after 2 s: a joined thread can stay listed for a
# moment.
threads_now <- function() length(list.files("/proc/self/task"))
settled_threads <- function(expected) {
  for (i in 1:200) {
    if (threads_now() == expected) break
    Sys.sleep(0.01)
  }
  threads_now()
}

# The compiled engine's inputs for data on map W, as mcar_fit() builds them,
# with the engine's generator seeded from `seed`.
engine_inputs <- function(Y, E, X, W, seed = 1) {
  ns <- asNamespace("mcar")
  mp <- ns$.prepare_map(ns$.check_map(W), quiet = TRUE)
  prior <- ns$.resolve_prior(mcar_prior(), ncol(Y), ncol(X))
  rng <- .Call(ns$mcar_engine_seed, c(0, seed))
  list(data = ns$.engine_data(Y, E, X, mp, prior),
       init = ns$.default_init(Y, E, X, mp),
       state = ns$.engine_state(ns$.default_init(Y, E, X, mp), rng),
       scales = ns$.engine_scales(ns$.default_scales(Y, X)),
       map = mp)
}

engine_run <- function(data, state, scales, sweeps, thin = 1L, offset = 0L,
                       unit_thin = 1L, accumulate = FALSE) {
  .Call(asNamespace("mcar")$mcar_engine_run, data, state, scales,
        list(sweeps = as.integer(sweeps), thin = as.integer(thin),
             offset = as.integer(offset), unit_thin = as.integer(unit_thin),
             accumulate = accumulate))
}

# Linear predictors of every kept draw from beta, phi and Lambda, written
# out independently of the package: draws (chain by chain) x (n K).
mu_by_hand <- function(fit) {
  n <- length(fit$units); K <- length(fit$outcomes); p <- ncol(fit$X)
  do.call(rbind, lapply(fit$draws, function(d) {
    t(vapply(seq_len(nrow(d$beta)), function(s) {
      B <- matrix(d$beta[s, ], p, K)
      Phi <- matrix(d$phi[s, ], n, K)
      L <- matrix(0, K, K)
      for (r in seq_len(K)) for (c in r:K) {
        L[r, c] <- d$Lambda[s, sprintf("Lambda[%d,%d]", r, c)]
      }
      as.vector(fit$X %*% B + Phi %*% t(L))
    }, numeric(n * K)))
  }))
}

# ---- the arguments of a short fit ------------------------------------------

# mcar_fit()'s arguments for the toy data, a short run of one chain.
base_args <- function() {
  d <- toy_data()
  list(counts = d$Y, expected = d$E, W = d$W, n_sample = 20, burnin = 10,
       chains = 1, seed = 1, progress = FALSE)
}

with_arg <- function(args, ...) {
  mods <- list(...)
  for (n in names(mods)) args[n] <- list(mods[[n]])
  args
}

refuse <- function(args, arg, pattern = NULL) {
  expect_input_error(do.call(mcar_fit, args), arg, pattern)
}

tiny_fit <- function(args) do.call(fit_quietly, args[names(args) != "progress"])

# ---- the engine and the chain runner ---------------------------------------

# The elements of what the engine returns: the groups of draws, the state
# and the acceptance counts.
draw_names <- c("beta", "phi", "Lambda", "A", "eta", "theta", "psi",
                "deviance", "alpha")
state_names <- c("beta", "phi", "Lambda", "eta", "theta", "psi", "alpha", "lp",
                 "rng")
accept_names <- c("beta", "phi", "lambda", "eta", "theta", "scale", "shear",
                  "rotation", "psi", "ridge", "alpha")

# Two outcomes, one covariate and two missing counts on the 5 x 5 grid.
engine_case <- function(seed = 5) {
  d <- toy_data()
  Y <- d$Y
  Y[c(4, 30)] <- NA
  c(engine_inputs(Y, d$E, cbind(1, d$x), d$W, seed = seed), list(Y = Y))
}

# A task for the chain runner, as mcar_fit() builds it.
chain_task <- function(n_sample, burnin, tune, thin = 1L, seed = 5) {
  d <- toy_data()
  ns <- asNamespace("mcar")
  X <- cbind(1, d$x)
  mp <- ns$.prepare_map(ns$.check_map(d$W), quiet = TRUE)
  prior <- ns$.resolve_prior(mcar_prior(), 2L, 2L)
  list(chain = 1L, data = ns$.engine_data(d$Y, d$E, X, mp, prior),
       init = ns$.default_init(d$Y, d$E, X, mp),
       rng = .Call(ns$mcar_engine_seed, c(0, seed)),
       scales = ns$.default_scales(d$Y, X), n_sample = n_sample,
       burnin = burnin, thin = thin, unit_thin = 1L, tune = tune,
       verbose = FALSE)
}

# ---- fits seen through their draws -----------------------------------------

# Names of the draws of a fit with n units, K outcomes, p coefficients and
# the observed cells `obs` (logical, n x K).
expected_names <- function(n, K, p, obs, covariates = c("(Intercept)", "x"),
                           outcomes = paste0("outcome", seq_len(K))) {
  cell <- function(name, a, b) {
    sprintf("%s[%d,%d]", name, rep(seq_len(a), b), rep(seq_len(b), each = a))
  }
  upper <- function(name) {
    ij <- which(upper.tri(diag(K), diag = TRUE), arr.ind = TRUE)
    ij <- ij[order(ij[, 1], ij[, 2]), , drop = FALSE]
    sprintf("%s[%d,%d]", name, ij[, 1], ij[, 2])
  }
  beta <- sprintf("beta[%s,%s]", rep(covariates[seq_len(p)], K),
                  rep(outcomes, each = p))
  c(beta, upper("Lambda"), upper("A"),
    sprintf("eta[%d]", seq_len(K)),
    if (K > 1) sprintf("theta[%d]", seq_len(K * (K - 1) / 2)),
    cell("phi", n, K), cell("rr", n, K), cell("log_lik", n, K)[as.vector(obs)],
    "deviance")
}

# Relative risks of every kept draw, from beta, phi and Lambda: draws x (n K).
rr_by_hand <- function(fit) exp(mu_by_hand(fit))

# All kept draws as a plain matrix, draws (chain by chain) x variables.
draws_matrix <- function(fit, variables = NULL) {
  a <- if (is.null(variables)) posterior::as_draws_array(fit) else
    posterior::as_draws_array(fit, variables = variables)
  matrix(unclass(a), prod(dim(a)[1:2]), dimnames = list(NULL, dimnames(a)[[3]]))
}

# Posterior caps the ESS of very short chains with a warning of its own.
without_capped_ess <- function(expr) {
  withCallingHandlers(expr, warning = function(w) {
    if (grepl("ESS has been capped", conditionMessage(w))) {
      invokeRestart("muffleWarning")
    }
  })
}

# Toy data of each family on a 5 x 5 grid, two outcomes, one covariate;
# two missing counts, one of them with its trials given.
family_data <- function(family, seed = 3) {
  d <- toy_data(seed)
  local_test_seed(seed + 50)
  mu <- log(d$Y + 0.5) - log(d$E)  # any reasonable surface
  out <- list(W = d$W, x = d$x)
  if (family == "binomial") {
    N <- matrix(round(runif(50, 10, 60)), 25, 2)
    Y <- matrix(rbinom(50, N, plogis(mu - 1.5)), 25, 2)
    Y[c(3, 32)] <- NA
    N[3] <- NA
    out$Y <- Y; out$N <- N
  } else {
    Y <- matrix(rnbinom(50, size = 5, mu = d$E * exp(mu)), 25, 2)
    Y[c(3, 32)] <- NA
    out$Y <- Y; out$E <- d$E
  }
  out
}

binomial_fit <- function() {
  cached_fit("binomial", function() {
    d <- family_data("binomial")
    fit_quietly(d$Y, W = d$W, covariates = cbind(x = d$x),
                family = "binomial", trials = d$N, n_sample = 300,
                burnin = 100, chains = 2, seed = 7)
  })
}

negbin_fit <- function() {
  cached_fit("negbin", function() {
    d <- family_data("negbinomial")
    fit_quietly(d$Y, d$E, d$W, covariates = cbind(x = d$x),
                family = "negbinomial", n_sample = 300, burnin = 100,
                chains = 2, seed = 7)
  })
}
