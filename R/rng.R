# R's generator: saved and put back around whatever draws from it, and one
# L'Ecuyer-CMRG stream per chain from a single seed.

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
