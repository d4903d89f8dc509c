# Running one chain: a private working directory with the neighbour files,
# the chain's own random-number stream, burn-in with proposal tuning and the
# stored sweeps, each as a sequence of calls to the compiled sampler that
# continue one another.

# Acceptance rates the tuning aims at: single-coordinate random walks and
# three-coordinate blocks.
.TARGET_SINGLE <- 0.35
.TARGET_BLOCK <- 0.27

# Splits `total` sweeps into nearly equal pieces of at most `len`.
.split_sweeps <- function(total, len) {
  if (total <= 0) return(integer())
  n <- ceiling(total / len)
  base <- total %/% n
  r <- total %% n
  as.integer(c(rep(base + 1, r), rep(base, n - r)))
}

# The calls a chain is run in: burn-in in pieces of about a twentieth (at
# least 20, at most 1000 sweeps), stored sweeps in pieces of about a
# twentieth (at least 50, at most 10000).  The plan depends on the run's
# size only, never on progress reporting or console output.
.segment_plan <- function(burnin, n_sample) {
  m <- n_sample - burnin
  b <- .split_sweeps(burnin, min(1000, max(20, ceiling(burnin / 20))))
  s <- .split_sweeps(m, min(10000, max(50, ceiling(m / 20))))
  data.frame(phase = c(rep("burnin", length(b)), rep("sample", length(s))),
             length = c(b, s), stringsAsFactors = FALSE)
}

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

# Runs `fun` with the sampler's console output sent to `file` (NULL: thrown
# away); the sink stack is restored however `fun` ends.
.quietly <- function(fun, file = NULL) {
  con <- file(if (is.null(file)) nullfile() else file, open = "wt")
  depth <- sink.number()
  sink(con)
  on.exit({
    while (sink.number() > depth) sink()
    close(con)
  })
  fun()
}

# The sampler numbers the sweeps of every call from 1; number them along the
# chain instead.
.renumber_sweeps <- function(lines, offset) {
  hit <- grepl("^GIBBS: [0-9]+$", lines)
  if (any(hit)) {
    k <- as.integer(sub("^GIBBS: ", "", lines[hit]))
    lines[hit] <- paste0("GIBBS: ", k + offset)
  }
  lines
}

# New proposal scales from the acceptance rates of one burn-in piece, the
# `k`-th.  The first three pieces move each scale by qnorm(target / 2) /
# qnorm(rate / 2) (the factor that would hit the target for a Gaussian
# target density), bounded to a factor of 5 either way, to get near the
# target fast from wherever the scales started.  After that a Robbins-Monro
# step, log(scale) += 3 (rate - target) / (k - 2)^0.7, settles the scale
# where the acceptance rate averages to the target, however much it varies
# from piece to piece with the state of the chain.
.retune <- function(scales, counts, len, k) {
  adjust <- function(s, rate, target) {
    if (k <= 3L) {
      a <- pmin(pmax(rate, 0.01), 0.99)
      s * pmin(pmax(qnorm(target / 2) / qnorm(a / 2), 0.2), 5)
    } else {
      s * exp(3 * (rate - target) / (k - 2)^0.7)
    }
  }
  scales$gbeta <- adjust(scales$gbeta, counts$gbeta / len, .TARGET_SINGLE)
  scales$phi <- adjust(scales$phi, counts$phi / len, .TARGET_SINGLE)
  for (b in c("lamda_diag", "lamda_off", "eta", "theta")) {
    scales[[b]] <- adjust(scales[[b]], counts[[b]] / len, .TARGET_BLOCK)
  }
  scales
}

.rates <- function(counts, len) {
  lapply(counts, function(x) x / len)
}

.add_counts <- function(a, b) {
  if (is.null(a)) return(b)
  Map(`+`, a, b)
}

# Runs one chain as described by `task` (built by mcar_fit()).  `progress`,
# when not NULL, is called with the number of sweeps done after each call of
# the sampler.  Returns the kept draws, acceptance rates, proposal scales,
# tuning history, the final state and, when asked for, the sampler's
# console lines.
.run_chain <- function(task, progress = NULL) {
  started <- proc.time()[["elapsed"]]
  dir <- tempfile("mcar-chain-")
  if (!dir.create(dir)) {
    stop("cannot create a working directory for the sampler: ", dir,
         call. = FALSE)
  }
  owd <- setwd(dir)
  on.exit({
    setwd(owd)
    unlink(dir, recursive = TRUE)
  })
  restore_rng <- .use_stream(task$seed)
  on.exit(restore_rng(), add = TRUE)
  .write_neighbour_files(dir, task$D, task$C)

  plan <- .segment_plan(task$burnin, task$n_sample)
  m <- task$n_sample - task$burnin
  thin <- task$thin
  n_keep <- m %/% thin
  nr <- .NREGION
  draws <- list(gbeta = matrix(NA_real_, n_keep, 3L),
                lamda = matrix(NA_real_, n_keep, 6L),
                alpha = matrix(NA_real_, n_keep, 6L),
                phi = array(NA_real_, c(n_keep, nr, 3L)))
  keep_lines <- isTRUE(task$capture) || isTRUE(task$verbose)
  lines <- if (isTRUE(task$capture)) vector("list", nrow(plan))
  out_file <- if (keep_lines) file.path(dir, "sampler-output.txt")

  state <- task$init
  scales <- task$scales
  initial_scales <- scales
  counts <- NULL
  history <- NULL
  done <- 0L          # sweeps run so far
  stored <- 0L        # stored sweeps so far
  n_tuned <- 0L
  burnin_end <- NULL

  for (s in seq_len(nrow(plan))) {
    len <- plan$length[s]
    start_rep <- list(eta = state$eta, theta = state$theta)
    seed_before <- get(".Random.seed", envir = globalenv())
    run <- .quietly(function() {
      .native_run(task$Y, task$N, state, task$eigen, 0L, len, scales)
    }, out_file)
    if (keep_lines) {
      seg_lines <- .renumber_sweeps(readLines(out_file), done)
      if (isTRUE(task$verbose)) cat(seg_lines, sep = "\n")
      if (isTRUE(task$capture)) lines[[s]] <- seg_lines
    }

    # The state at the end of this call starts the next one.
    state <- list(gbeta = run$gbeta[len, ],
                  phi = matrix(run$phi[len, , ], nr, 3L),
                  lamda = run$lamda[len, ],
                  eta = NULL, theta = NULL)
    rep <- .track_association(
      run$alpha, start_rep, scales,
      seeds = list(before = seed_before,
                   after = get(".Random.seed", envir = globalenv())))
    state$eta <- rep$eta
    state$theta <- rep$theta

    if (plan$phase[s] == "burnin") {
      if (isTRUE(task$tune)) {
        n_tuned <- n_tuned + 1L
        rates <- .rates(run$counts, len)
        history[[n_tuned]] <- data.frame(
          piece = n_tuned, sweeps = len,
          gbeta = mean(rates$gbeta), phi = mean(rates$phi),
          phi_min = min(rates$phi), phi_max = max(rates$phi),
          lamda_diag = rates$lamda_diag, lamda_off = rates$lamda_off,
          eta = rates$eta, theta = rates$theta)
        scales <- .retune(scales, run$counts, len, n_tuned)
      }
    } else {
      counts <- .add_counts(counts, run$counts)
      g <- stored + seq_len(len)
      take <- which(g %% thin == 0L)
      if (length(take)) {
        rows <- g[take] %/% thin
        draws$gbeta[rows, ] <- run$gbeta[take, , drop = FALSE]
        draws$lamda[rows, ] <- run$lamda[take, , drop = FALSE]
        draws$alpha[rows, ] <- run$alpha[take, , drop = FALSE]
        draws$phi[rows, , ] <- run$phi[take, , , drop = FALSE]
      }
      stored <- stored + len
    }
    done <- done + len
    if (s < nrow(plan) && plan$phase[s] == "burnin" &&
        plan$phase[s + 1L] == "sample") {
      # Where the stored sweeps start from: state, scales and generator.
      burnin_end <- list(state = state, scales = scales,
                         seed = get(".Random.seed", envir = globalenv()))
    }
    if (!is.null(progress)) progress(len)
  }

  list(chain = task$chain,
       draws = draws,
       acceptance = .rates(counts, m),
       scales = scales,
       initial_scales = initial_scales,
       tuning = if (length(history)) do.call(rbind, history),
       last_state = state,
       checkpoints = list(burnin_end = burnin_end,
                          end_seed = get(".Random.seed", envir = globalenv())),
       lines = if (isTRUE(task$capture)) unlist(lines, use.names = FALSE),
       seconds = proc.time()[["elapsed"]] - started)
}
