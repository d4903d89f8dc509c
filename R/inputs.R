# Checks of the data and run settings given to mcar_fit(), and the checks of
# arguments that the methods share.  The compiled sampler trusts its inputs
# completely: everything it is given is checked here first, and every
# refusal is an error that names the argument.

# Signals an error of class "mcar_input_error" whose message starts with the
# name of the offending argument.
.input_error <- function(arg, ...) {
  msg <- paste0("`", arg, "` ", ...)
  cond <- structure(
    class = c("mcar_input_error", "error", "condition"),
    list(message = msg, call = NULL, argument = arg)
  )
  stop(cond)
}

.is_whole <- function(x, tol = 1e-8) abs(x - round(x)) <= tol

# A single whole number in [lower, upper].
.check_count <- function(x, arg, lower = 0, upper = .Machine$integer.max - 1) {
  if (!is.numeric(x) || length(x) != 1L || is.na(x)) {
    .input_error(arg, "must be a single number.")
  }
  if (!is.finite(x) || !.is_whole(x)) {
    .input_error(arg, "must be a whole number, not ", format(x), ".")
  }
  if (x < lower) .input_error(arg, "must be at least ", lower, ", not ", x, ".")
  if (x > upper) .input_error(arg, "must be at most ", upper, ", not ", x, ".")
  as.integer(round(x))
}

.check_flag <- function(x, arg) {
  if (!is.logical(x) || length(x) != 1L || is.na(x)) {
    .input_error(arg, "must be TRUE or FALSE.")
  }
  x
}

# The probability mass of intervals, strictly between 0 and 1.
.check_level <- function(level) {
  if (!is.numeric(level) || length(level) != 1L || !is.finite(level) ||
      level <= 0 || level >= 1) {
    .input_error("level", "must be a single number between 0 and 1.")
  }
  level
}

# One of `choices` for argument `arg` (whose default is the whole vector,
# as for match.arg(), and which may be abbreviated), or an error that names
# the argument and its choices.
.match_choice <- function(x, choices, arg) {
  if (identical(x, choices)) return(choices[1L])
  if (is.character(x) && length(x) == 1L && !is.na(x)) {
    i <- pmatch(x, choices)
    if (!is.na(i)) return(choices[i])
  }
  got <- if (is.character(x) && length(x) == 1L) dQuote(x, FALSE) else
    if (is.null(x)) "NULL" else
      paste0("a ", class(x)[1L], " of length ", length(x))
  .input_error(arg, "should be one of ",
               paste(dQuote(choices, FALSE), collapse = ", "), ", not ", got,
               ".")
}

# Whole numbers as English ordinals: 1st, 2nd, 3rd, 4th, 11th, 12th, 21st.
.ordinal <- function(n) {
  n <- as.integer(n)
  last <- n %% 10L
  suffix <- ifelse(n %% 100L %in% 11:13, "th",
                   ifelse(last == 1L, "st", ifelse(last == 2L, "nd",
                          ifelse(last == 3L, "rd", "th"))))
  paste0(n, suffix)
}

# Up to five units by number (and name), and how many more.
.describe_units <- function(idx, names) {
  shown <- head(idx, 5L)
  lab <- if (is.null(names)) as.character(shown) else
    paste0(shown, " (", names[shown], ")")
  more <- if (length(idx) > 5L) sprintf(" and %d more", length(idx) - 5L) else ""
  paste0(paste(lab, collapse = ", "), more)
}

# The unit names an input carries, or NULL when it carries none.  Any names
# count, whole-number ids such as "1".."n" too; missing, empty and repeated
# names are errors, since they cannot say which unit a row belongs to.
.unit_names <- function(x, arg) {
  if (is.null(x)) return(NULL)
  x <- as.character(x)
  bad <- which(is.na(x) | !nzchar(x))
  if (length(bad)) {
    .input_error(arg, "has missing or empty unit names (at row(s) ",
                 .describe_units(bad, NULL), "); name every unit or none.")
  }
  dup <- unique(x[duplicated(x)])
  if (length(dup)) {
    .input_error(arg, "has repeated unit names: ", .quote_names(dup),
                 "; every unit needs a name of its own.")
  }
  x
}

# Row names of a data frame (sf included) unless they are the automatic
# 1..n that R gives a table read without names.
.frame_row_names <- function(x) {
  if (.row_names_info(x) > 0L) rownames(x) else NULL
}

# ---- counts, expected counts and trials ------------------------------------

# Turns counts or expected counts (a matrix, a data frame, a vector for one
# outcome, or column names of `data`) into a numeric n x K matrix.
.outcome_matrix <- function(x, arg, data) {
  if (is.character(x) && is.null(dim(x))) {
    if (is.null(data)) {
      .input_error(arg, "is a character vector of column names, but no ",
                   "`data` was given.")
    }
    missing <- setdiff(x, names(data))
    if (length(missing)) {
      .input_error(arg, "names column(s) not found in `data`: ",
                   paste(missing, collapse = ", "), ".")
    }
    # as.data.frame() first: an sf table keeps its geometry column in [.
    x <- as.data.frame(data)[x]
    rownames(x) <- .frame_row_names(data)
  }
  if (is.data.frame(x)) {
    bad <- !vapply(x, function(col) is.numeric(col) || is.logical(col),
                   logical(1))
    if (any(bad)) {
      .input_error(arg, "has non-numeric column(s): ",
                   paste(names(x)[bad], collapse = ", "), ".")
    }
    x <- as.matrix(x)
  }
  if (is.null(dim(x)) && (is.numeric(x) || is.logical(x)) && length(x) > 0L) {
    nm <- names(x)
    x <- matrix(x, ncol = 1L, dimnames = list(nm, NULL))
  }
  if (!is.matrix(x)) {
    .input_error(arg, "must be a matrix or data frame (units in rows, ",
                 "outcomes in columns), not ",
                 if (is.null(x)) "NULL" else paste0("a ", class(x)[1L]), ".")
  }
  if (!(is.numeric(x) || is.logical(x))) {
    .input_error(arg, "must be numeric, not ", typeof(x), ".")
  }
  if (ncol(x) < 1L || ncol(x) > .contract()$max_k) {
    .input_error(arg, "must have 1 to ", .contract()$max_k, " columns (one per ",
                 "outcome), not ", ncol(x), ".")
  }
  storage.mode(x) <- "double"
  x
}

# The unit and outcome of the first TRUE of an n x K mask.
.first_at <- function(mask) {
  at <- which(mask, arr.ind = TRUE)
  if (is.null(dim(at))) c(at[1L], 1L) else at[1L, ]
}

# Counts: NA marks a missing (for example suppressed) count, which is left
# out of the likelihood; the rest must be non-negative whole numbers.
.check_counts <- function(Y, arg = "counts") {
  obs <- !is.na(Y)
  if (any(is.nan(Y)) || any(is.infinite(Y))) {
    .input_error(arg, "has infinite or NaN values; use NA for a missing count.")
  }
  if (any(Y[obs] < 0)) {
    at <- .first_at(obs & Y < 0)
    .input_error(arg, "must be non-negative; unit ", at[1L], ", outcome ",
                 at[2L], " is ", Y[at[1L], at[2L]], ".")
  }
  if (any(!.is_whole(Y[obs]))) {
    at <- .first_at(obs & !.is_whole(Y))
    .input_error(arg, "must be whole numbers (counts); unit ", at[1L],
                 ", outcome ", at[2L], " is ", format(Y[at[1L], at[2L]]), ".")
  }
  unseen <- which(colSums(obs) == 0)
  if (length(unseen)) {
    .input_error(arg, "has no observed count for outcome(s) ",
                 paste(unseen, collapse = ", "), ": every count is missing, ",
                 "so the data say nothing about such an outcome.")
  }
  empty <- which(colSums(Y, na.rm = TRUE) == 0)
  if (length(empty)) {
    .input_error(arg, "has no events at all for outcome(s) ",
                 paste(empty, collapse = ", "), "; the intercept of such an ",
                 "outcome has an improper posterior under its flat prior.")
  }
  round(Y)
}

# Binomial trials: whole numbers, at least the counts; NA only where the
# count is missing.
.check_trials <- function(N, Y, arg = "trials") {
  if (!identical(dim(N), dim(Y))) {
    .input_error(arg, "must have the same shape as `counts` (", nrow(Y),
                 " x ", ncol(Y), "), not ", nrow(N), " x ", ncol(N), ".")
  }
  bad <- is.na(N) & !is.na(Y)
  if (any(bad)) {
    at <- .first_at(bad)
    .input_error(arg, "is missing where the count is not (unit ", at[1L],
                 ", outcome ", at[2L], "); NA trials go with NA counts only.")
  }
  ok <- !is.na(N)
  if (any(!is.finite(N[ok]))) .input_error(arg, "has infinite values.")
  if (any(N[ok] < 0 | !.is_whole(N[ok]))) {
    at <- .first_at(ok & (N < 0 | !.is_whole(N)))
    .input_error(arg, "must be non-negative whole numbers; unit ", at[1L],
                 ", outcome ", at[2L], " is ", format(N[at[1L], at[2L]]), ".")
  }
  over <- !is.na(Y) & ok & Y > N
  if (any(over)) {
    at <- .first_at(over)
    .input_error(arg, "must be at least the counts; unit ", at[1L],
                 ", outcome ", at[2L], " has ", Y[at[1L], at[2L]],
                 " events in ", N[at[1L], at[2L]], " trials.")
  }
  N[!ok] <- 0
  N <- round(N)
  # The sampler takes the unknown trials as 0 (their counts are missing);
  # predictions of their counts are NA (.unknown_exposure()).
  if (any(!ok)) attr(N, "unknown") <- !ok
  N
}

# Expected counts: everywhere, non-negative, and positive where the count
# is.
.check_expected <- function(E, Y, arg = "expected") {
  if (!identical(dim(E), dim(Y))) {
    .input_error(arg, "must have the same shape as `counts` (", nrow(Y),
                 " x ", ncol(Y), "), not ", nrow(E), " x ", ncol(E), ".")
  }
  need <- !is.na(Y)
  if (anyNA(E)) {
    at <- .first_at(is.na(E))
    .input_error(arg, "has missing values (first at unit ", at[1L],
                 ", outcome ", at[2L], "); expected counts are needed ",
                 "everywhere, also where the count is missing.")
  }
  if (any(is.infinite(E))) .input_error(arg, "has infinite values.")
  if (any(E < 0, na.rm = TRUE)) {
    at <- .first_at(!is.na(E) & E < 0)
    .input_error(arg, "must be non-negative; unit ", at[1L], ", outcome ",
                 at[2L], " is ", E[at[1L], at[2L]], ".")
  }
  zero <- need & E == 0 & Y > 0
  if (any(zero, na.rm = TRUE)) {
    at <- .first_at(!is.na(zero) & zero)
    .input_error(arg, "is 0 where `counts` is positive (unit ", at[1L],
                 ", outcome ", at[2L], "); a positive count needs a positive ",
                 "expected count.")
  }
  E
}

# Outcome names from the columns of the counts: none (then outcome1, ...)
# or one distinct name for each.
.outcome_names <- function(nm, K) {
  if (is.null(nm) || all(is.na(nm) | !nzchar(nm)) && !anyNA(nm)) {
    return(paste0("outcome", seq_len(K)))
  }
  bad <- which(is.na(nm) | !nzchar(nm))
  if (length(bad)) {
    .input_error("counts", "has outcome column(s) ", paste(bad, collapse = ", "),
                 " without a name (", if (anyNA(nm[bad])) "NA" else "\"\"",
                 "); name every outcome or none.")
  }
  dup <- unique(nm[duplicated(nm)])
  if (length(dup)) {
    .input_error("counts", "has repeated outcome names: ",
                 paste(dup, collapse = ", "), "; each outcome needs its own.")
  }
  nm
}

# ---- matching units -------------------------------------------------------

# The order in which rows named `have` must be taken to follow `want` (the
# names of argument `against`), or an error that says which names differ.
.match_units <- function(have, want, arg, against = "W") {
  if (setequal(have, want) && length(have) == length(want)) {
    return(match(want, have))
  }
  extra <- setdiff(have, want)
  lack <- setdiff(want, have)
  label <- if (grepl(" ", against)) against else paste0("`", against, "`")
  where <- if (against == "W") "not on the map" else paste("not in", label)
  q <- any(grepl("[[:space:]]", c(head(lack, 5L), head(extra, 5L))))
  .input_error(arg, "has unit names that do not match those of ", label,
               if (length(lack)) paste0("; missing: ",
                                         .quote_names(lack, quote = q)),
               if (length(extra)) paste0("; ", where, ": ",
                                         .quote_names(extra, quote = q)),
               ".")
}

# Up to five names, and whether there are more; all in single quotes when
# any holds white space, so that names differing only by it can be told
# apart.
.quote_names <- function(x, max = 5L,
                         quote = any(grepl("[[:space:]]", head(x, max)))) {
  shown <- head(x, max)
  if (quote) shown <- paste0("'", shown, "'")
  paste0(paste(shown, collapse = ", "), if (length(x) > max) ", ...")
}

# Puts the rows of the named data inputs (a list of matrices: counts,
# expected, covariates) in one order: that of the map's names when it has
# them, else that of the first named input.  Inputs without names are taken
# as they come; named ones are matched by name or refused.  Returns the
# inputs and the unit names (NULL when nothing is named).
.align_units <- function(map_names, rows) {
  row_names <- lapply(names(rows), function(a) .unit_names(rownames(rows[[a]]),
                                                           a))
  names(row_names) <- names(rows)
  named <- names(rows)[!vapply(row_names, is.null, logical(1))]
  if (isTRUE(attr(map_names, "weak")) &&
      !all(vapply(row_names[named], setequal, logical(1), map_names))) {
    map_names <- NULL
  }
  ref <- as.vector(map_names); against <- "W"
  # Without names on the map, rows named by a reordering of 1..n (a table
  # shuffled or sorted after it was read) cannot be placed: those names may
  # be positions on the map or left over from the table's old order.
  if (is.null(ref)) {
    for (a in named) {
      nm <- row_names[[a]]
      ids <- as.character(seq_along(nm))
      if (setequal(nm, ids) && !identical(nm, ids)) {
        .input_error(a, "has rows named ", .quote_names(nm, 3L), " (a ",
                     "reordering of 1..", length(nm), ") but `W` names no ",
                     "units, so they cannot be matched to the map. Name the ",
                     "rows and columns of `W`, or, if the rows are in the ",
                     "order of the map, drop the row names ",
                     "(rownames(data) <- NULL).")
      }
    }
  }
  if (is.null(ref) && length(named)) {
    against <- named[1L]
    ref <- row_names[[against]]
  }
  for (a in named) {
    o <- .match_units(row_names[[a]], ref, a, against)
    rows[[a]] <- rows[[a]][o, , drop = FALSE]
  }
  if (!is.null(ref) && isTRUE(attr(map_names, "weak")) &&
      identical(against, "W")) {
    attr(ref, "weak") <- TRUE   # ids that `units` may replace
  }
  list(rows = rows, units = ref)
}

# The units of a fit: the names given as `units` (n distinct ones), else
# those the data or the map carry (`carried`, from .align_units()), else
# "1".."n".  `named` says whether the units have names of their own, which
# later inputs (polygons, new data) are matched by.
.fit_units <- function(units, carried, n) {
  if (is.null(units)) {
    return(list(units = if (!is.null(carried)) as.vector(carried) else
      as.character(seq_len(n)), named = !is.null(carried)))
  }
  units <- as.character(units)
  if (length(units) != n || anyNA(units) || anyDuplicated(units)) {
    .input_error("units", "must give ", n, " distinct unit names.")
  }
  # Names the inputs carry already place the rows: `units` may repeat
  # them, but renaming would give a unit another's name (and its counts).
  if (!is.null(carried) && !isTRUE(attr(carried, "weak")) &&
      !identical(units, as.vector(carried))) {
    j <- which(units != carried)[1L]
    .input_error("units", "contradicts the unit names the map or the data ",
                 "carry (unit ", j, " is '", units[j], "' in `units` but '",
                 carried[j], "' there); leave `units` out, or give those ",
                 "names in the same order.")
  }
  list(units = units, named = TRUE)
}

# Rows of `x` put in the order of the fit's units whenever they carry names
# (a data frame's automatic row names are none): matched to the fit's unit
# names, which are "1".."n" when the fit's inputs carried none.
.rows_by_unit <- function(object, x, arg) {
  nm <- .unit_names(rownames(x), arg)
  if (!is.null(nm)) {
    x <- x[.match_units(nm, object$units, arg, "the fit's units"), ,
           drop = FALSE]
  }
  x
}

# ---- run settings ---------------------------------------------------------

# The run's size: sweeps per chain, burn-in, thinning and chains; n_values
# the values of one kept draw of the parameters.
.check_run_size <- function(n_sample, burnin, thin, chains, n_values) {
  n_sample <- .check_count(n_sample, "n_sample", lower = 1)
  burnin <- .check_count(burnin, "burnin", lower = 0)
  if (burnin >= n_sample) {
    .input_error("burnin", "must be smaller than `n_sample` (the total ",
                 "number of sweeps, burn-in included); got burnin = ", burnin,
                 " and n_sample = ", n_sample, ".")
  }
  m <- n_sample - burnin
  thin <- .check_count(thin, "thin", lower = 1)
  if (thin > m) {
    .input_error("thin", "is larger than the number of stored sweeps (",
                 m, "); no draw would be kept.")
  }
  kept <- .thinning(list(n_sample = n_sample, burnin = burnin,
                         thin = thin))$kept
  if (as.double(kept) * n_values >= .Machine$integer.max) {
    .input_error("n_sample", "keeps ", kept, " draws per chain of ",
                 n_values, " values each: too many; raise `thin`.")
  }
  chains <- .check_count(chains, "chains", lower = 1, upper = 1000)
  list(n_sample = n_sample, burnin = burnin, thin = thin, chains = chains)
}

# Threads per chain, given or (`from_option`) taken from the option
# mcar.threads, whose name a bad value is then reported under.
.check_threads <- function(threads, from_option = FALSE) {
  if (!from_option) return(.check_count(threads, "threads", 1, 1024))
  tryCatch(.check_count(threads, "threads", 1, 1024),
           mcar_input_error = function(e) {
             .input_error("threads", "comes from options(mcar.threads = ",
                          paste(deparse(threads, width.cutoff = 40L)[1L]),
                          "), which ", sub("^`threads` ", "",
                                          conditionMessage(e)),
                          " Set the option to a whole number of threads ",
                          "or give `threads`.")
           })
}

# NULL, or one whole number as an integer.
.check_seed <- function(seed) {
  if (is.null(seed)) return(NULL)
  if (!is.numeric(seed) || length(seed) != 1L || !is.finite(seed) ||
      !.is_whole(seed) || abs(seed) > .Machine$integer.max) {
    .input_error("seed", "must be NULL or a single whole number.")
  }
  as.integer(round(seed))
}

# NULL, or the normalised path of a file in a directory that exists and
# can be written.
.check_log_file <- function(log_file) {
  if (is.null(log_file)) return(NULL)
  if (!is.character(log_file) || length(log_file) != 1L || is.na(log_file) ||
      !nzchar(log_file)) {
    .input_error("log_file", "must be NULL or a single file path.")
  }
  path <- path.expand(log_file)
  if (dir.exists(path)) .input_error("log_file", "is a directory: ", path, ".")
  dir <- dirname(path)
  if (!dir.exists(dir)) {
    .input_error("log_file", "is in a directory that does not exist: ", dir,
                 ".")
  }
  if (file.access(dir, 2L) != 0L) {
    .input_error("log_file", "is in a directory that cannot be written: ",
                 dir, ".")
  }
  normalizePath(path, mustWork = FALSE)
}
