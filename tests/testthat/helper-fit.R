# Shared data for the fitting tests: the bundled simulated data set on the
# bundled map.

fit_data <- function() {
  sim <- minnesota_simulated()
  list(sim = sim,
       Y = as.matrix(sim[c("Y1", "Y2", "Y3")]),
       N = as.matrix(sim[c("N1", "N2", "N3")]),
       W = minnesota_adjacency())
}

# A small, quiet fit of the bundled data.
small_fit <- function(..., n_sample = 300, burnin = 100, seed = 11,
                      progress = FALSE) {
  d <- fit_data()
  mcar_fit(d$Y, d$N, d$W, n_sample = n_sample, burnin = burnin, seed = seed,
           progress = progress, ...)
}

# A path through the 87 units: connected, every unit has a neighbour, and
# bipartite, so D^-1/2 W D^-1/2 has the eigenvalue -1.
path_adjacency <- function() {
  W <- matrix(0, 87, 87)
  for (i in 1:86) W[i, i + 1] <- W[i + 1, i] <- 1
  W
}

# Files under R's session temporary directory and the working directory,
# to see that nothing was written.
file_snapshot <- function() {
  sort(c(list.files(tempdir(), recursive = TRUE, all.files = TRUE,
                    include.dirs = TRUE, full.names = TRUE),
         list.files(getwd(), recursive = TRUE, all.files = TRUE,
                    include.dirs = TRUE, full.names = TRUE)))
}

# Everything a chain leaves behind or changes in the R session.
session_state <- function() {
  list(wd = getwd(), sinks = sink.number(),
       chain_dirs = list.files(tempdir(), pattern = "^mcar-chain-"),
       seed = if (exists(".Random.seed", globalenv()))
         get(".Random.seed", globalenv()),
       kind = RNGkind())
}

# A task for the internal chain runner, as mcar_fit() builds it.
chain_task <- function(n_sample = 200, burnin = 50, tune = FALSE, seed = 3,
                       init = NULL, scales = NULL, thin = 1) {
  ns <- asNamespace("mcar")
  d <- fit_data()
  map <- ns$.check_map(d$W)
  if (is.null(init)) init <- ns$.default_init(d$Y, d$N, map$C)
  if (is.null(scales)) scales <- ns$.default_scales()
  list(chain = 1L, Y = d$Y, N = d$N, D = map$D, C = map$C, eigen = map$eigen,
       init = init, scales = scales, seed = ns$.chain_streams(seed, 1L)[[1L]],
       n_sample = n_sample, burnin = burnin, thin = thin, tune = tune,
       verbose = FALSE, capture = FALSE)
}

# One call of the compiled sampler from `state` with R's generator set to
# `seed`, in a fresh directory holding the map files.
single_call <- function(task, nstart, nend, state = task$init,
                        seed = task$seed) {
  ns <- asNamespace("mcar")
  dir <- tempfile("mcar-test-")
  dir.create(dir)
  ns$.write_neighbour_files(dir, task$D, task$C)
  old <- setwd(dir)
  restore <- ns$.use_stream(seed)
  on.exit({
    restore()
    setwd(old)
    unlink(dir, recursive = TRUE)
  })
  ns$.quietly(function() {
    ns$.native_run(task$Y, task$N, state, task$eigen, nstart, nend,
                   task$scales)
  })
}
