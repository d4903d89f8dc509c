# Short runs of the general sampler under valgrind: fits of each family, on
# a map with islands and two components with the per-unit draws thinned,
# engine calls cut short by a time limit and by invalid inputs, each
# repeated, and on a larger map runs on two threads, whole and cut short.
#   R -d valgrind --vanilla -f tests/valgrind/engine.R
library(mcar)
ns <- asNamespace("mcar")
sim <- minnesota_simulated()
W <- minnesota_adjacency()
Y <- as.matrix(sim[c("Y1", "Y2", "Y3")])
E <- as.matrix(sim[c("N1", "N2", "N3")])
Y[c(3, 40), 2] <- NA
fit <- suppressWarnings(mcar_fit(Y, E, W, covariates = cbind(x = sim$phi1),
                                 n_sample = 40, burnin = 20, chains = 1,
                                 seed = 1, progress = FALSE))
stopifnot(inherits(fit, "mcar_fit"))

# Six outcomes on a 4 x 4 grid: scratch sized by the number of outcomes.
g <- expand.grid(x = 1:4, y = 1:4)
Wg <- outer(seq_len(16), seq_len(16), function(i, j)
  as.numeric(abs(g$x[i] - g$x[j]) + abs(g$y[i] - g$y[j]) == 1))
set.seed(2)
E6 <- matrix(runif(16 * 6, 5, 15), 16, 6)
Y6 <- matrix(rpois(16 * 6, E6), 16, 6)
fit6 <- suppressWarnings(mcar_fit(Y6, E6, Wg, n_sample = 30, burnin = 10,
                                  chains = 1, seed = 3, progress = FALSE))
stopifnot(inherits(fit6, "mcar_fit"))

# Binomial and negative binomial counts on the grid cut into two parts with
# an island, the fields stored for every 4th kept sweep.
Wc <- Wg
Wc[1:8, 9:16] <- 0; Wc[9:16, 1:8] <- 0
Wc[16, ] <- 0; Wc[, 16] <- 0
N6 <- matrix(20, 16, 2)
fitb <- suppressWarnings(suppressMessages(mcar_fit(
  pmin(Y6[, 1:2], 20), W = Wc, family = "binomial", trials = N6,
  n_sample = 40, burnin = 10, chains = 1, seed = 4, keep = 5,
  progress = FALSE)))
fitn <- suppressWarnings(suppressMessages(mcar_fit(
  Y6[, 1:2], E6[, 1:2], Wc, family = "negbinomial", n_sample = 40,
  burnin = 10, chains = 1, seed = 5, progress = FALSE)))
stopifnot(inherits(fitb, "mcar_fit"), inherits(fitn, "mcar_fit"),
          nrow(fitb$draws$chain1$phi) == 5L)
invisible(loo::waic(fitb)); invisible(summary(fitn))

mp <- ns$.prepare_map(ns$.check_map(W), quiet = TRUE)
X <- matrix(1, 87, 1)
dat <- ns$.engine_data(Y, E, X, mp, ns$.resolve_prior(mcar_prior(), 3, 1))
init <- ns$.default_init(Y, E, X, mp)
sc <- ns$.engine_scales(ns$.default_scales(Y, X, mp))
st <- ns$.engine_state(init, .Call(ns$mcar_engine_seed, c(1, 2)))
run <- function(sweeps, state = st, scales = sc) {
  .Call(ns$mcar_engine_run, dat, state, scales,
        list(sweeps = as.integer(sweeps), thin = as.integer(sweeps),
             offset = 0L, unit_thin = 1L, accumulate = TRUE))
}
for (k in 1:3) {
  r <- tryCatch({
    setTimeLimit(elapsed = 2, transient = TRUE)
    run(1e7)
  }, error = function(e) e)
  setTimeLimit()
  stopifnot(inherits(r, "error"), grepl("time limit", conditionMessage(r)))
}
bad <- st
bad$phi <- bad$phi[-1]
for (k in 1:3) stopifnot(inherits(try(run(5, bad), silent = TRUE), "try-error"))
bad_ld <- dat
bad_ld$logdet <- dat$logdet[, ncol(dat$logdet):1, drop = FALSE]
bad_ld$logdet[3, ] <- 0.5
for (k in 1:3) stopifnot(inherits(try(.Call(ns$mcar_engine_run, bad_ld, st, sc,
  list(sweeps = 5L, thin = 1L, offset = 0L, unit_thin = 1L,
       accumulate = FALSE)), silent = TRUE), "try-error"))
bad_sc <- sc
bad_sc$theta <- NULL
for (k in 1:3) stopifnot(inherits(try(run(5, scales = bad_sc), silent = TRUE),
                                  "try-error"))
# A map past the size where the sums over the map and the Newton sweeps of
# the effects run on the pool's threads: short runs on two threads, and calls
# cut short by a time limit with the workers running.
gb <- expand.grid(x = 1:40, y = 1:30)
nb <- nrow(gb)
Wb <- outer(seq_len(nb), seq_len(nb), function(i, j)
  as.numeric(abs(gb$x[i] - gb$x[j]) + abs(gb$y[i] - gb$y[j]) == 1))
set.seed(6)
Eb <- matrix(runif(nb * 2, 10, 30), nb)
Yb <- matrix(rpois(nb * 2, Eb), nb)
Xb <- matrix(1, nb, 1)
mpb <- ns$.prepare_map(ns$.check_map(Wb), quiet = TRUE)
datb <- ns$.engine_data(Yb, Eb, Xb, mpb, ns$.resolve_prior(mcar_prior(), 2, 1))
scb <- ns$.engine_scales(ns$.default_scales(Yb, Xb, mpb))
stb <- ns$.engine_state(ns$.default_init(Yb, Eb, Xb, mpb),
                        .Call(ns$mcar_engine_seed, c(1, 3)))
runb <- function(sweeps, threads, thin = 1) {
  .Call(ns$mcar_engine_run, datb, stb, scb,
        list(sweeps = as.integer(sweeps), thin = as.integer(thin), offset = 0L,
             unit_thin = 1L, accumulate = TRUE, threads = as.integer(threads)))
}
stopifnot(datb$newton == 1L, identical(runb(3, 2), runb(3, 1)))
for (k in 1:2) {
  r <- tryCatch({
    setTimeLimit(elapsed = 5, transient = TRUE)
    runb(1e7, 2, thin = 1e7)
  }, error = function(e) e)
  setTimeLimit()
  stopifnot(inherits(r, "error"), grepl("time limit", conditionMessage(r)))
}
cat("valgrind engine runs done\n")
