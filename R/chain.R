# One chain: which sweeps are kept and which of them store the per-unit
# draws, the pieces the chain is run in, and the chain itself as a sequence
# of calls of the compiled engine, each continuing from the state (generator
# included) that the last returned.

# Which sweeps of a chain are kept, and which kept draws store the per-unit
# draws (fields, risks, log-likelihoods).  The burn-in is the first `burnin`
# of the n_sample sweeps.  Of the sweeps after it, the j-th is kept when j
# is a multiple of thin, as kept draw k = j / thin, and kept draw k stores
# the per-unit draws when k is a multiple of unit_thin.  The engine applies
# this rule to each call from the call's offset (.segment_plan()).  `run`
# holds n_sample, burnin, thin and unit_thin (none: 1), as a run's size or a
# fit's settings do.  Returns the numbers of sweeps after the burn-in
# (`after`), of kept draws and of those that store the per-unit draws;
# with `which`, also the sweep of each kept draw (`sweeps`) and the kept
# draws that store the per-unit draws (`unit_rows`).
.thinning <- function(run, which = FALSE) {
  unit_thin <- if (is.null(run$unit_thin)) 1L else run$unit_thin
  after <- run$n_sample - run$burnin
  kept <- after %/% run$thin
  stored <- kept %/% unit_thin
  out <- list(after = after, kept = kept, stored = stored)
  if (which) {
    out$sweeps <- run$burnin + run$thin * seq_len(kept)
    out$unit_rows <- unit_thin * seq_len(stored)
  }
  out
}

# Splits `total` sweeps into nearly equal pieces of at most `len`.
.split_sweeps <- function(total, len) {
  if (total <= 0) return(integer())
  n <- ceiling(total / len)
  base <- total %/% n
  r <- total %% n
  as.integer(c(rep(base + 1, r), rep(base, n - r)))
}

# The calls a chain is run in: burn-in in about twenty pieces (20 to 1000
# sweeps each), for tuning; the sweeps after it in about ten (at least 500,
# at most 10000), for progress reports.  The plan depends on the run's size
# only.  Each piece carries the thinning of its call (.engine_control()).
# A burn-in piece keeps about 50 of its sweeps, for the shape of the
# loading proposals, and stores no per-unit draws.  The pieces after it
# follow .thinning(): their sweeps are counted on from `offset`, the sweeps
# after the burn-in before the piece.
.segment_plan <- function(burnin, n_sample, thin = 1L, unit_thin = 1L) {
  m <- .thinning(list(n_sample = n_sample, burnin = burnin, thin = thin))$after
  b <- .split_sweeps(burnin, min(1000, max(20, ceiling(burnin / 20))))
  s <- .split_sweeps(m, min(10000, max(500, ceiling(m / 10))))
  data.frame(phase = c(rep("burnin", length(b)), rep("sample", length(s))),
             length = c(b, s),
             thin = c(pmax(1L, b %/% 50L), rep(as.integer(thin), length(s))),
             offset = c(rep(0L, length(b)), cumsum(c(0L, s))[seq_along(s)]),
             unit_thin = c(rep(1000000L, length(b)),
                           rep(as.integer(unit_thin), length(s))),
             stringsAsFactors = FALSE)
}

# The calls that continue a chain by `sweeps` sweeps after the `offset`
# sweeps it has run since its burn-in, split as .segment_plan() splits the
# sweeps after a burn-in.  The thinning rule counts on from `offset`, so the
# chain continued is, to the bit, the chain run that much longer at once.
.resume_plan <- function(sweeps, offset, thin = 1L, unit_thin = 1L) {
  s <- .split_sweeps(sweeps, min(10000, max(500, ceiling(sweeps / 10))))
  data.frame(phase = rep("sample", length(s)), length = s,
             thin = rep(as.integer(thin), length(s)),
             offset = offset + cumsum(c(0L, s))[seq_along(s)],
             unit_thin = rep(as.integer(unit_thin), length(s)),
             stringsAsFactors = FALSE)
}

# How many values of per-unit draws (fields, risks, log-likelihoods) a fit
# stores by default, over all chains: about 200 MB for each of the three.
.UNIT_BUDGET <- 2.5e7

# Every unit_thin-th kept draw of a chain stores the per-unit draws: all of
# them when they fit `keep` (per chain) or, by default, the budget; evenly
# thinned to it otherwise, with a message.  The running summaries see every
# kept draw whatever is stored.  A run that will go on (`until`) keeps its
# spacing as it grows; `expect` kept draws per chain (when more than the
# first block's) size that spacing for the budget.
.unit_thinning <- function(keep, size, cells, expect = 0) {
  m <- .thinning(size)$kept
  # The stored draws per chain allowed (what a run with `until` keeps them
  # within as it grows).
  if (is.null(keep)) {
    cap <- max(10, floor(.UNIT_BUDGET / (as.double(cells) * size$chains)))
    want <- max(1, floor(cap * m / max(m, expect)))
  } else {
    if (!is.numeric(keep) || length(keep) != 1L || is.na(keep) || keep < 1 ||
        (is.finite(keep) && !.is_whole(keep))) {
      .input_error("keep", "must be NULL (a memory budget), Inf (every ",
                   "draw) or a whole number of draws per chain, at least 1.")
    }
    cap <- want <- keep
  }
  unit_thin <- if (want >= m) 1L else as.integer(ceiling(m / want))
  stored <- .thinning(c(size, unit_thin = unit_thin))$stored
  if (as.double(stored) * cells >= .Machine$integer.max) {
    .input_error(if (is.null(keep)) "n_sample" else "keep", "stores ", stored,
                 " draws per chain of ", cells, " unit-level values: too ",
                 "many; set a smaller `keep`.")
  }
  if (unit_thin > 1L) {
    message("Storing ", stored, " of the ", m, " kept draws per chain of the ",
            format(cells, big.mark = ","), " unit-level values (fields, ",
            "risks, log-likelihoods), every ", .ordinal(unit_thin),
            if (is.null(keep)) ", to bound memory" else if (stored < keep)
              paste0(" (evenly spaced draws: the nearest spacing to `keep = ",
                     keep, "`)"),
            "; posterior means, sds, P(RR > 1), DIC and WAIC use all ",
            m, ". Set `keep` to store more.")
  }
  structure(unit_thin, cap = cap)
}

# What each chain is run from (see .run_chain()): its number, the engine's
# data, the chain's starting values, generator and proposal scales, and the
# run's settings (`batches`: slots of the batch means of the linear
# predictors, 0 for none).
.chain_tasks <- function(data, inits, rngs, scales, size, tune, verbose,
                         threads, batches = 0L) {
  lapply(seq_len(size$chains), function(k) {
    list(chain = k, data = data, init = inits[[k]], rng = rngs[[k]],
         scales = scales[[k]], n_sample = size$n_sample,
         burnin = size$burnin, thin = size$thin,
         unit_thin = size$unit_thin, tune = tune, verbose = verbose,
         threads = threads, batches = batches)
  })
}

# Acceptance counts of two calls added block by block.
.add_counts <- function(a, b) {
  if (is.null(a)) return(b)
  Map(`+`, a, b)
}

# Runs one chain as described by `task` (.chain_tasks()).  `progress`,
# when not NULL, is called with the number of sweeps done after each call of
# the engine.  Returns the kept draws, acceptance rates, proposal scales,
# the tuning history, the final state and the chain's log lines.
.run_chain <- function(task, progress = NULL) {
  .run_chain_group(list(task), progress)[[1L]]
}

# Runs the chains of `tasks` (.chain_tasks(): one data set, one length and
# one plan of pieces), piece by piece: each call of the engine runs the
# piece of every chain, `workers` chains at a time on threads of their own
# (one after another when 1), and the pieces of the burn-in retune each
# chain's proposal scales in between.  A chain's draws do not depend on
# the chains beside it nor on `workers`.  `progress`, when not NULL, is
# called with the sweeps done after each call.  Returns what .run_chain()
# returns for each task; each chain's `seconds` is its share of the time.
.run_chain_group <- function(tasks, progress = NULL, workers = 1L) {
  started <- proc.time()[["elapsed"]]
  task <- tasks[[1L]]
  dat <- task$data
  resume <- task$resume
  plan <- if (is.null(resume)) {
    .segment_plan(task$burnin, task$n_sample, task$thin, task$unit_thin)
  } else {
    .resume_plan(resume$sweeps, resume$offset, task$thin, task$unit_thin)
  }
  threads <- if (is.null(task$threads)) 1L else task$threads
  batches <- if (is.null(task$batches)) 0L else task$batches
  chains <- lapply(tasks, function(t) {
    state <- .engine_state(t$init, t$rng)
    if (!is.null(t$resume)) state["summaries"] <- list(t$resume$summaries)
    list(task = t, state = state, scales = t$scales, counts = NULL,
         history = list(), pieces = list(), lines = character(),
         burn_L = NULL)
  })
  done <- 0L
  for (s in seq_len(nrow(plan))) {
    len <- plan$length[s]
    burn <- plan$phase[s] == "burnin"
    # The pieces after the burn-in add every kept sweep into the running
    # summaries.
    control <- .engine_control(len, plan$thin[s], plan$offset[s],
                               plan$unit_thin[s], accumulate = !burn,
                               threads = threads, batches = batches)
    runs <- .engine_calls(dat, lapply(chains, `[[`, "state"),
                          lapply(chains, function(ch)
                            .engine_scales(ch$scales)),
                          control, workers)
    for (k in seq_along(chains)) {
      chains[[k]] <- .chain_piece(chains[[k]], runs[[k]], len, burn, done,
                                  dat)
    }
    done <- done + len
    if (!is.null(progress)) progress(len * length(chains))
  }
  seconds <- (proc.time()[["elapsed"]] - started) / length(chains)
  lapply(chains, .chain_result, dat = dat, seconds = seconds)
}

# A chain (as .run_chain_group() carries it) after one piece `run` of `len`
# sweeps, `done` sweeps into the call: its state, its log line, and for a
# piece of the burn-in the retuned proposal scales (with `tune`), else the
# acceptance counts and the piece's draws.
.chain_piece <- function(ch, run, len, burn, done, dat) {
  task <- ch$task
  dims <- .engine_dims(dat)
  p <- dims$p; K <- dims$K
  ch$state <- run$state
  rates <- lapply(run$accept, function(x) x / len)
  line <- sprintf(paste("chain %d: sweeps %d-%d of %d (%s): acceptance",
                        "beta %.2f, phi %.2f, Lambda %.2f, eta %.2f%s"),
                  task$chain, done + 1L, done + len, task$n_sample,
                  if (burn) "burn-in" else "kept", mean(rates$beta),
                  mean(rates$phi), mean(rates$lambda), mean(rates$eta),
                  if (length(rates$theta))
                    sprintf(", theta %.2f", mean(rates$theta)) else "")
  ch$lines <- c(ch$lines, line)
  if (isTRUE(task$verbose)) message(line)
  if (!burn) {
    ch$counts <- .add_counts(ch$counts, run$accept)
    ch$pieces[[length(ch$pieces) + 1L]] <- run$draws
    return(ch)
  }
  if (!isTRUE(task$tune)) return(ch)
  k <- length(ch$history) + 1L
  ch$history[[k]] <- c(
    piece = k, sweeps = len, beta = mean(rates$beta),
    phi = mean(rates$phi), phi_min = min(rates$phi),
    phi_max = max(rates$phi), lambda = mean(rates$lambda),
    eta = mean(rates$eta), scale = mean(rates$scale),
    theta = if (length(rates$theta)) mean(rates$theta) else NA_real_,
    shear = if (length(rates$shear)) mean(rates$shear) else NA_real_)
  scales <- .retune(ch$scales, run$accept, len, k, p, K)
  if (k >= 2L) ch$burn_L <- rbind(ch$burn_L, run$draws$Lambda)
  if (k >= 3L) {
    shaped <- .lambda_shape(scales$lambda, ch$burn_L, K,
                            if (is.null(scales$lambda_corr))
                              .identity_corr(K) else scales$lambda_corr)
    scales$lambda <- shaped$lambda
    scales$lambda_corr <- shaped$corr
  }
  ch$scales <- scales
  ch
}

# The double matrices of draws in `mats` (without row names) stacked by
# rows, as rbind() would stack them, in one copy.
.rbind_draws <- function(mats) {
  # rbind()'s dimnames, from the matrices without their rows, set by the
  # compiled code (setting them here would copy the result).
  names <- dimnames(do.call(rbind, lapply(mats, function(m)
    m[0L, , drop = FALSE])))
  .Call(mcar_rbind_draws, mats, names)
}

# What a chain returns once its pieces are run.
.chain_result <- function(ch, dat, seconds) {
  task <- ch$task
  dims <- .engine_dims(dat)
  pieces <- ch$pieces
  draws <- lapply(setNames(nm = names(pieces[[1L]])), function(el) {
    .rbind_draws(lapply(pieces, `[[`, el))
  })
  m <- if (is.null(task$resume)) .thinning(task)$after else task$resume$sweeps
  list(chain = task$chain,
       draws = draws,
       acceptance = lapply(ch$counts, function(x) x / m),
       scales = ch$scales,
       initial_scales = task$scales,
       tuning = if (length(ch$history))
         as.data.frame(do.call(rbind, ch$history)),
       last_state = .state_from_engine(ch$state, dims$p, dims$n, dims$K),
       summaries = .carried_summaries(ch$state),
       lines = ch$lines,
       seconds = seconds)
}

# The log is written after the chains are done: a file that can no longer
# be written costs a warning, never the finished chains.
.write_log <- function(path, results) {
  ok <- tryCatch({
    con <- file(path, open = "wt")
    on.exit(close(con))
    for (r in results) writeLines(r$lines, con)
    TRUE
  }, error = function(e) conditionMessage(e), warning = function(w)
    conditionMessage(w))
  if (!isTRUE(ok)) {
    warning("could not write `log_file` ", path, " (", ok, "); the fit is ",
            "complete and returned.", call. = FALSE)
  }
  invisible(isTRUE(ok))
}
