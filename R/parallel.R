# Running the chains: each as a future of its own (or one after the other
# under a sequential plan), with progress reports, chains lost with their
# workers, and the chains still running stopped when the fit is left.

.is_sequential <- function() inherits(future::plan(), "sequential")

# Maps with fewer units than this (and at most 1,024 cells) gain nothing
# from threads: the colours of their effects' sweep hold too few units to
# share, and their sums over cells run in one block.
.THREADED_UNITS <- 500L

# How the chains use the cores: `threads` per chain and `side_by_side`
# chains at a time in this process.  `threads` as given (mcar_fit()'s
# argument, or the option mcar.threads, named in the message when it is
# the one that is wrong: .check_threads()) runs each chain on that many
# threads, the chains one after another.  By default the cores available
# go to the chains: under a sequential plan as many chains as there are
# cores run side by side (each on its own thread, which costs no waiting
# at the sweeps' barriers) and the cores left over go to their threads;
# under a parallel plan the cores are shared among its workers.  Maps
# under .THREADED_UNITS take one thread a chain.
.resolve_threads <- function(threads, n, K, chains) {
  if (!is.null(threads)) {
    return(list(threads = .check_threads(
      threads, identical(threads, getOption("mcar.threads"))),
      side_by_side = 1L))
  }
  cores <- suppressWarnings(as.integer(future::availableCores()))
  if (length(cores) != 1L || is.na(cores) || cores < 1L) cores <- 1L
  side <- 1L
  if (!.is_sequential()) {
    workers <- suppressWarnings(as.numeric(future::nbrOfWorkers()))
    if (length(workers) != 1L || is.na(workers) || !is.finite(workers)) {
      workers <- chains
    }
    cores <- cores %/% max(1L, as.integer(min(chains, workers)))
  } else {
    side <- as.integer(max(1L, min(chains, cores)))
    cores <- cores %/% side
  }
  threads <- if (n < .THREADED_UNITS && n * K <= 1024) 1L else
    as.integer(max(1L, min(cores, 64L)))
  list(threads = threads, side_by_side = side)
}

# A progress callback holding nothing but the progressor, so that it travels
# light to parallel workers.
.progress_callback <- function(p) {
  force(p)
  function(n) p(amount = n)
}

# Runs the chains' tasks in this process under a sequential plan
# (`side_by_side` of them at a time), else as futures
# (.run_chain_futures()), with a progress bar of `total` sweeps when
# asked.  Returns the chains that finished.
.run_chains <- function(tasks, progress, total, side_by_side = 1L) {
  sequential <- .is_sequential()
  run <- function(callback) {
    if (sequential) {
      list(results = .run_chain_group(tasks, callback, side_by_side),
           lost = character())
    } else {
      .run_chain_futures(tasks, callback)
    }
  }
  out <- .with_progress(run, progress, total, sequential)
  .finished_chains(out)
}

# Calls run() with a progress callback: progressr's when installed, else
# a text bar when the chains run in this process, else none.
.with_progress <- function(run, progress, total, sequential) {
  if (!progress) return(run(NULL))
  if (requireNamespace("progressr", quietly = TRUE)) {
    return(progressr::with_progress({
      p <- progressr::progressor(steps = total)
      run(.progress_callback(p))
    }, enable = TRUE))
  }
  if (!sequential) return(run(NULL))
  pb <- txtProgressBar(min = 0, max = total, style = 3)
  on.exit(close(pb))
  done <- 0
  run(function(n) {
    done <<- done + n
    setTxtProgressBar(pb, done)
  })
}

# Runs each chain as a future of its own, at most one per worker, and
# collects them as they finish.  A chain whose worker dies is lost on its
# own: the others run on.  No chain is started while a dead worker is in
# the plan; once the running chains are in, the plan's workers are
# restarted and the waiting chains go on.  However the call is left
# otherwise (an interrupt, a time limit, an error of a chain), the chains
# still running stop at the end of their current piece.
#
# Returns the results in chain order, NULL for a lost chain, with `lost`
# (why each lost chain was lost, named by chain number) and `restarted`
# (whether a broken plan's workers were restarted; NA when none broke).
.run_chain_futures <- function(tasks, callback) {
  n <- length(tasks)
  results <- vector("list", n)
  lost <- character()
  restarted <- NA
  stop_file <- tempfile("mcar-stop-")
  finished <- FALSE
  on.exit(if (!finished) try(file.create(stop_file), silent = TRUE),
          add = TRUE)
  # Test hook: a function of the chain number, run in the chain's process
  # after each piece.
  hook <- getOption("mcar.chain_hook")
  limit <- suppressWarnings(as.numeric(future::nbrOfWorkers()))
  if (length(limit) != 1L || is.na(limit) || limit < 1) limit <- 1
  pending <- seq_len(n)
  running <- list()   # futures, named by chain number
  relaunched <- integer()
  broken <- FALSE     # a worker died: start nothing until they are restarted
  clusters <- list()  # the clusters of the dead workers
  fail <- function(e, f = attr(e, "future", exact = TRUE)) {
    cl <- if (inherits(f, "Future")) f$workers
    if (inherits(cl, "cluster")) clusters[[length(clusters) + 1L]] <<- cl
    broken <<- TRUE
  }
  lose <- function(k, e, f = attr(e, "future", exact = TRUE)) {
    .stop_if_not_installed(e)
    lost[[as.character(k)]] <<- conditionMessage(e)
    fail(e, f)
  }
  while (length(pending) || length(running)) {
    if (broken && !length(running)) {
      restarted <- .restart_workers(clusters)
      broken <- FALSE
      clusters <- list()
    }
    while (!broken && length(pending) && length(running) < limit) {
      k <- pending[1L]
      pending <- pending[-1L]
      cb <- .chain_callback(callback, stop_file, hook, tasks[[k]]$chain)
      f <- tryCatch(.launch_chain(tasks[[k]], cb),
                    FutureError = .unless_time_limit)
      if (!inherits(f, "FutureError")) {
        running[[as.character(k)]] <- f
      } else if (!k %in% relaunched) {
        # A worker that died before this chain was sent to it (in an
        # earlier fit, say): try once more on restarted workers.
        relaunched <- c(relaunched, k)
        pending <- c(k, pending)
        fail(f)
      } else {
        lose(k, f)
      }
    }
    collected <- FALSE
    for (key in names(running)) {
      f <- running[[key]]
      done <- tryCatch(future::resolved(f), FutureError = .unless_time_limit)
      if (isFALSE(done)) next
      running[[key]] <- NULL
      collected <- TRUE
      value <- if (inherits(done, "FutureError")) done else
        tryCatch(future::value(f), FutureError = .unless_time_limit)
      if (inherits(value, "FutureError")) {
        lose(as.integer(key), value, f)
      } else {
        results[[as.integer(key)]] <- value
      }
    }
    if (!collected && length(running)) Sys.sleep(0.05)
  }
  if (broken) restarted <- .restart_workers(clusters)
  finished <- TRUE
  list(results = results, lost = lost, restarted = restarted)
}

# future reports an error raised in this process while it talks to a worker
# as a FutureError, as if the worker had failed; a time limit reached then
# (setTimeLimit(), R.utils::withTimeout()) must still end the fit.
.unless_time_limit <- function(e) {
  limits <- c(gettext("reached elapsed time limit", domain = "R"),
              gettext("reached CPU time limit", domain = "R"))
  for (limit in limits) {
    if (grepl(limit, conditionMessage(e), fixed = TRUE)) {
      stop(limit, call. = FALSE)
    }
  }
  e
}

# A worker whose library lacks this package fails every chain sent to it:
# an error that says so, not a lost chain.
.stop_if_not_installed <- function(e) {
  msg <- conditionMessage(e)
  if (grepl("no package called", msg, fixed = TRUE) &&
      grepl("mcar", msg, fixed = TRUE)) {
    stop("package 'mcar' is not installed where the plan's workers run (",
         trimws(msg), "). Install it in a library the workers use, or give ",
         "the plan this session's library paths (for example ",
         "future::plan(future::multisession, rscript_libs = .libPaths())).",
         call. = FALSE)
  }
  invisible(NULL)
}

# Starts one chain as a future on a worker.
.launch_chain <- function(task, callback) {
  future::future(quote(run(task, progress = callback)), substitute = FALSE,
                 globals = list(run = .run_chain, task = task,
                                callback = callback),
                 packages = "mcar", seed = FALSE, lazy = FALSE,
                 label = paste("mcar chain", task$chain))
}

# What a chain calls after each of its pieces, in its own process: stops
# the chain once the fit that started it is gone (`stop_file` exists), then
# reports progress.  It holds nothing else, to travel light to the worker.
.chain_callback <- function(progress, stop_file, hook, chain) {
  force(progress); force(stop_file); force(hook); force(chain)
  function(n) {
    if (file.exists(stop_file)) {
      stop("chain ", chain, " stopped: the fit that started it was ",
           "interrupted or failed.", call. = FALSE)
    }
    if (!is.null(hook)) hook(chain)
    if (!is.null(progress)) progress(n)
  }
}

# Sets the current plan again, which shuts its workers down and starts
# fresh ones for the next future; a dead worker would otherwise stay in the
# plan and fail every future sent to it.  A cluster made by the caller and
# given to the plan cannot be renewed from here.  The connections of the old
# `clusters` are closed first: stopping a cluster ends at its first dead
# node and would leave the others to the garbage collector (and its
# "closing unused connection" warnings).
.restart_workers <- function(clusters = list()) {
  workers <- formals(future::plan("next"))$workers
  if (inherits(workers, "cluster")) return(FALSE)
  for (cl in clusters) for (node in cl) {
    if (inherits(node$con, "connection")) try(close(node$con), silent = TRUE)
  }
  tryCatch({
    future::plan(future::plan("list"), substitute = FALSE, .skip = FALSE)
    TRUE
  }, error = function(e) FALSE)
}

# The chains that finished, in chain order; a warning names the lost ones,
# and an error is raised when none finished.
.finished_chains <- function(out) {
  lost <- out$lost
  if (!length(lost)) return(out$results)
  lost <- lost[order(as.integer(names(lost)))]
  k <- as.integer(names(lost))
  kept <- which(!vapply(out$results, is.null, logical(1)))
  why <- paste0("chain ", k, ": ", lost, collapse = "\n")
  plan_note <- if (isTRUE(out$restarted)) {
    "The plan's workers were restarted."
  } else {
    call <- attr(future::plan("next"), "call", exact = TRUE)
    paste0("The plan's workers could not be restarted; set the plan again ",
           if (!is.null(call)) paste0("(`", paste(deparse(call),
                                                  collapse = " "), "`) "),
           "before the next fit, with a new cluster if one was given.")
  }
  if (!length(kept)) {
    stop("every chain was lost: the workers running them stopped. ",
         plan_note, "\n", why, call. = FALSE)
  }
  warning(if (length(k) == 1L) "chain " else "chains ",
          paste(k, collapse = ", "), " of ", length(out$results),
          if (length(k) == 1L) " was lost: its worker" else
            " were lost: their workers",
          " stopped. The fit holds the ",
          length(kept), if (length(kept) == 1L) " chain" else " chains",
          " that finished (", paste(kept, collapse = ", "), "). ",
          plan_note, "\n", why, call. = FALSE)
  out$results[kept]
}
