# Counts over units and periods (years, quarters): the data of a fit with
# several periods put into the rows the sampler takes, the unit running
# fastest within the period: row i + n (t - 1) holds unit i (in the map's
# order) in period t.  Three forms are read:
#
#   - a data frame with one row per unit and period, the counts of the K
#     outcomes and their expected counts (or trials) in columns;
#   - a data frame with one row per unit, period and outcome, the outcome
#     named in a column of its own;
#   - n x K x T arrays of counts and expected counts (or trials).
#
# A unit-period-outcome cell is missing when its count is NA or when the
# data have no row for it; its count and its expected count (trials) are
# then both NA.

# The counts, exposures and design matrix of the n T rows, with the units,
# periods and outcomes they stand for.  `map_names` gives the units in the
# map's order (NULL when the map names none: then the units come in their
# order of first appearance and there must be `n` of them).
.period_input <- function(counts, expected = NULL, trials = NULL, data = NULL,
                          unit = NULL, time = NULL, outcome = NULL,
                          covariates = NULL, family = "poisson",
                          map_names = NULL, n = NULL) {
  family <- .check_family(family)
  e_arg <- .exposure_arg(family)
  if (e_arg == "trials") {
    if (!is.null(expected)) {
      .input_error("expected", "is not used by the binomial family, whose ",
                   "counts come out of `trials`; leave it out.")
    }
    if (is.null(trials)) {
      .input_error("trials", "is needed by the binomial family: the number ",
                   "of trials behind each count.")
    }
    exposure <- trials
  } else {
    if (!is.null(trials)) {
      .input_error("trials", "is only for family = \"binomial\"; the ",
                   family, " family takes `expected`.")
    }
    if (is.null(expected)) .input_error("expected", "is missing.")
    exposure <- expected
  }
  if (!is.null(data) && !is.data.frame(data)) {
    .input_error("data", "must be a data frame or NULL.")
  }
  if (!is.null(data)) data <- as.data.frame(data)   # sf: drop the geometry
  if (is.array(counts) && length(dim(counts)) == 3L) {
    rec <- .period_arrays(counts, exposure, e_arg)
    unit_arg <- "counts"
  } else {
    if (is.null(data)) {
      .input_error("counts", "must be an array (units x outcomes x periods) ",
                   "when no `data` is given, or name columns of `data`.")
    }
    rec <- .period_records(counts, exposure, e_arg, data, unit, time, outcome)
    unit_arg <- "unit"
  }
  units <- .period_units(rec$unit, map_names, n, unit_arg,
                         if (unit_arg == "unit") "`data`" else "`counts`")
  n <- length(units)
  periods <- rec$periods
  T <- length(periods)
  K <- length(rec$outcomes)
  pos <- match(rec$unit, units) + n * (rec$t - 1L)
  Y <- E <- matrix(NA_real_, n * T, K, dimnames = list(NULL, rec$outcomes))
  Y[pos, ] <- rec$Y
  E[pos, ] <- rec$E
  labels <- .period_labels(units, periods)
  Y <- .relabel_errors(.check_counts(Y), labels, rec$outcomes)
  if (e_arg == "trials") {
    .relabel_errors(.check_trials(E, Y), labels, rec$outcomes)
    E <- round(E)
  } else {
    need <- !is.na(Y) & is.na(E)
    if (any(need)) {
      at <- .first_at(need)
      .input_error("expected", "is missing where the count is not (unit ",
                   labels[at[1L]], ", outcome ", rec$outcomes[at[2L]],
                   "); NA expected counts go with NA counts only.")
    }
    .relabel_errors(.check_expected(replace(E, is.na(E), 1), Y), labels,
                    rec$outcomes)
  }
  # A missing count keeps the expected count (trials) given with it, from
  # which its predicted count follows; a missing row has none.
  # An outcome without a single count in some periods (reported over
  # fewer years than the others, say): said, not silently taken as missing.
  for (r in seq_len(K)) {
    empty <- vapply(seq_len(T), function(t)
      all(is.na(Y[(t - 1L) * n + seq_len(n), r])), logical(1))
    if (any(empty) && !all(empty)) {
      message("outcome '", rec$outcomes[r], "' has no count in period(s) ",
              paste(utils::head(.period_text(periods[empty]), 5L),
                    collapse = ", "),
              if (sum(empty) > 5L) paste0(" and ", sum(empty) - 5L, " more"),
              ": its cells there are missing, predicted from the model.")
    }
  }

  rows <- data.frame(unit = rep(units, T), period = rep(periods, each = n),
                     stringsAsFactors = FALSE)
  X <- .period_design(covariates, data, rec, pos, units, periods, labels,
                      unit, time)
  list(Y = Y, E = E, X = X, units = units, periods = periods, T = T, K = K,
       outcomes = rec$outcomes, rows = rows)
}

# Row labels "unit[period]" of the n T rows, unit fastest.
.period_labels <- function(units, periods) {
  paste0(rep(as.character(units), length(periods)), "[",
         rep(.period_text(periods), each = length(units)), "]")
}

# Periods as text, each on its own (2001, 2001.25; 2020-01-01; levels).
.period_text <- function(periods) as.character(periods)

# ---- the forms of the data ------------------------------------------------

# The records of a data frame: one per row (counts of K outcomes in
# columns), or, with `outcome`, one per unit and period gathered from the
# rows of the single outcomes.  Returns the unit of each record, its period
# (index `t` into `periods`), its K counts and exposures, the row of `data`
# its covariates come from (`src`) and the outcome names.
.period_records <- function(counts, exposure, e_arg, data, unit, time,
                            outcome) {
  u <- .key_column(data, unit, "unit", "the unit")
  tm <- .key_column(data, time, "time", "the period")
  per <- .period_values(tm, "time", "add rows for those periods with NA counts")
  u <- as.character(u)
  Y <- .outcome_matrix(counts, "counts", data)
  E <- .outcome_matrix(exposure, e_arg, data)
  for (a in c("counts", e_arg)) {
    m <- if (a == "counts") Y else E
    if (nrow(m) != nrow(data)) {
      .input_error(a, "has ", nrow(m), " rows, but `data` has ", nrow(data),
                   "; give column names of `data`.")
    }
  }
  if (ncol(E) != ncol(Y)) {
    .input_error(e_arg, "must give one column per outcome, as `counts` does ",
                 "(", ncol(Y), "), not ", ncol(E), ".")
  }
  if (is.null(outcome)) {
    .period_duplicates(u, per, NULL)
    return(list(unit = u, t = per$index, periods = per$periods, Y = Y, E = E,
                src = seq_len(nrow(data)),
                outcomes = .outcome_names(colnames(Y), ncol(Y))))
  }
  if (ncol(Y) != 1L) {
    .input_error("counts", "must name one column when `outcome` is given ",
                 "(one row per unit, period and outcome), not ", ncol(Y), ".")
  }
  oc <- .key_column(data, outcome, "outcome", "the outcome")
  outcomes <- if (is.factor(oc)) levels(droplevels(oc)) else
    unique(as.character(oc))
  if (length(outcomes) > .contract()$max_k) {
    .input_error("outcome", "has ", length(outcomes), " outcomes; at most ",
                 .contract()$max_k, " are allowed.")
  }
  r <- match(as.character(oc), outcomes)
  .period_duplicates(u, per, outcomes[r])
  # One record per unit and period, in the order of first appearance.
  key <- paste(u, per$index, sep = "\r")
  first <- which(!duplicated(key))
  g <- match(key, key[first])
  Yw <- Ew <- matrix(NA_real_, length(first), length(outcomes),
                     dimnames = list(NULL, outcomes))
  Yw[cbind(g, r)] <- Y[, 1L]
  Ew[cbind(g, r)] <- E[, 1L]
  list(unit = u[first], t = per$index[first], periods = per$periods, Y = Yw,
       E = Ew, src = first, group = g, outcomes = outcomes)
}

# The records of n x K x T arrays: one per unit and period.
.period_arrays <- function(counts, exposure, e_arg) {
  d <- dim(counts)
  if (!is.array(exposure) || !identical(dim(exposure), d)) {
    .input_error(e_arg, "must be an array of the same shape as `counts` (",
                 paste(d, collapse = " x "), "), not ",
                 if (is.null(dim(exposure))) paste0("a ", class(exposure)[1L])
                 else paste(dim(exposure), collapse = " x "), ".")
  }
  for (a in c("counts", e_arg)) {
    x <- if (a == "counts") counts else exposure
    if (!(is.numeric(x) || is.logical(x))) {
      .input_error(a, "must be numeric, not ", typeof(x), ".")
    }
  }
  if (d[2L] < 1L || d[2L] > .contract()$max_k) {
    .input_error("counts", "must have 1 to ", .contract()$max_k, " outcomes ",
                 "(its second dimension), not ", d[2L], ".")
  }
  if (d[1L] < 1L || d[3L] < 1L) {
    .input_error("counts", "has no units or no periods.")
  }
  dn <- dimnames(counts); de <- dimnames(exposure)
  if (is.null(dn)) dn <- vector("list", 3L)
  if (is.null(de)) de <- vector("list", 3L)
  for (j in 1:3) {
    if (!is.null(dn[[j]]) && !is.null(de[[j]]) &&
        !identical(as.character(dn[[j]]), as.character(de[[j]]))) {
      what <- c("unit", "outcome", "period")[j]
      .input_error(e_arg, "has ", what, " names (dimension ", j, ") that ",
                   "differ from those of `counts`.")
    }
    if (is.null(dn[[j]])) dn[j] <- list(de[[j]])
  }
  units <- .unit_names(dn[[1L]], "counts")
  if (is.null(units)) units <- as.character(seq_len(d[1L]))
  outcomes <- .outcome_names(dn[[2L]], d[2L])
  tn <- dn[[3L]]
  if (is.null(tn)) {
    tm <- seq_len(d[3L])
  } else {
    tm <- suppressWarnings(as.numeric(tn))
    if (anyNA(tm)) tm <- factor(tn, levels = unique(tn))
  }
  if (anyDuplicated(tm)) {
    .input_error("counts", "has repeated period names (third dimension): ",
                 .quote_names(unique(tn[duplicated(tm)])), ".")
  }
  per <- .period_values(tm, "counts",
                        "add those periods as slices of NA counts")
  if (is.factor(per$periods)) per$periods <- as.character(per$periods)
  # Slices in time order, then unit fastest within period.
  slab <- function(x) {
    x <- x[, , order(per$index), drop = FALSE]
    storage.mode(x) <- "double"
    matrix(aperm(x, c(1L, 3L, 2L)), d[1L] * d[3L], d[2L])
  }
  list(unit = rep(units, d[3L]), t = rep(seq_len(d[3L]), each = d[1L]),
       periods = per$periods, Y = slab(counts), E = slab(exposure),
       src = NULL, outcomes = outcomes)
}

# A column of `data` named by argument `arg`, without missing values.
.key_column <- function(data, col, arg, what) {
  if (is.null(col)) {
    .input_error(arg, "is needed: the column of `data` that holds ", what,
                 " of each row.")
  }
  if (!is.character(col) || length(col) != 1L || is.na(col)) {
    .input_error(arg, "must be the name of the column of `data` that holds ",
                 what, " of each row.")
  }
  if (!col %in% names(data)) {
    .input_error(arg, "names no column of `data`: ", col, ".")
  }
  x <- data[[col]]
  if (anyNA(x)) {
    .input_error(arg, "has missing values in column ", col, " (row(s) ",
                 .describe_units(which(is.na(x)), NULL), "); every row ",
                 "needs ", what, ".")
  }
  x
}

# ---- periods --------------------------------------------------------------

# The distinct periods in time order (numbers, Dates, or the levels of a
# factor, which are taken in their order as they stand) and the index of
# each value among them.  Numbers and Dates must be equally spaced: a gap
# (a period that has no row at all) is refused, naming the missing periods,
# with `advice` on how to fill it.
.period_values <- function(x, arg, advice) {
  if (is.character(x)) {
    num <- suppressWarnings(as.numeric(x))
    if (anyNA(num)) {
      .input_error(arg, "holds text (", .quote_names(unique(x), 3L), "): ",
                   "give periods as numbers, Dates or a factor whose ",
                   "levels are in time order.")
    }
    x <- num
  }
  if (is.factor(x)) {
    periods <- factor(levels(x), levels = levels(x), ordered = is.ordered(x))
    index <- as.integer(x)
    empty <- setdiff(seq_along(periods), index)
    if (length(empty)) {
      message("The period(s) ", .quote_names(levels(x)[empty]), " (levels ",
              "of `", arg, "`) have no data: all their counts are missing.")
    }
    return(list(periods = periods, index = index))
  }
  if (inherits(x, "Date")) {
    periods <- sort(unique(x))
    .check_spacing(periods, arg, advice)
    return(list(periods = periods, index = match(x, periods)))
  }
  if (!is.numeric(x) || inherits(x, c("POSIXt", "difftime"))) {
    .input_error(arg, "must hold numbers, Dates or a factor, not ",
                 class(x)[1L], ".")
  }
  if (any(!is.finite(x))) .input_error(arg, "has infinite values.")
  periods <- sort(unique(x))
  .check_spacing(periods, arg, advice)
  list(periods = periods, index = match(x, periods))
}

# Sorted distinct periods must step evenly: numbers by a constant
# difference; Dates by a constant number of days or, on a fixed day of the
# month, of months (monthly, quarterly, yearly data).
.check_spacing <- function(periods, arg, advice) {
  if (length(periods) < 3L) return(invisible())
  v <- as.numeric(periods)
  at <- function(k) periods[1L] + k
  if (inherits(periods, "Date") && length(unique(diff(v))) > 1L) {
    lt <- as.POSIXlt(periods)
    if (length(unique(lt$mday)) == 1L) {
      v <- 12 * lt$year + lt$mon
      at <- function(k) seq(periods[1L], by = paste(k, "months"),
                            length.out = 2L)[2L]
    }
  }
  .spacing_gaps(v, arg, periods)
  # Each gap of k steps lacks k - 1 periods; the first few are named.
  d <- diff(v)
  step <- min(d)
  k <- round(d / step)
  if (all(k == 1)) return(invisible())
  lack <- list()
  for (j in which(k > 1)) {
    for (m in seq_len(min(k[j] - 1, 6))) {
      lack[[length(lack) + 1L]] <- at(v[j] - v[1L] + m * step)
    }
    if (length(lack) > 5L) break
  }
  total <- sum(k - 1)
  shown <- vapply(head(lack, 5L), .period_text, character(1))
  .input_error(arg, "skips ", paste(shown, collapse = ", "),
               if (total > 5) paste0(" and ", total - 5, " more"),
               ": periods must be equally spaced; ", advice, ".")
}

# Refuses steps that are not whole multiples of the smallest one (no filling
# in of periods could make them even); returns when they all are.
.spacing_gaps <- function(v, arg, periods) {
  d <- diff(v)
  step <- min(d)
  ratio <- d / step
  odd <- which(abs(ratio - round(ratio)) > 1e-6)
  if (length(odd)) {
    j <- odd[1L]
    lab <- .period_text(periods)
    .input_error(arg, "is not equally spaced: it steps by ",
                 format(step, digits = 6L), " (", lab[which.min(d)], " to ",
                 lab[which.min(d) + 1L], ") and by ", format(d[j], digits = 6L),
                 " (", lab[j], " to ", lab[j + 1L], "); periods must be ",
                 "equally spaced.")
  }
  invisible()
}

# ---- units and rows -------------------------------------------------------

# The units in the map's order; the data's units must be among them (map
# units without data are all missing).  Without names on the map, the
# units come in their order of first appearance, `n` of them.
.period_units <- function(u, map_names, n, arg, where) {
  have <- unique(u)
  if (!is.null(map_names) && isTRUE(attr(map_names, "weak")) &&
      !all(have %in% map_names)) {
    map_names <- NULL   # ids the map made up, not names the data use
  }
  if (is.null(map_names)) {
    if (!is.null(n) && length(have) != n) {
      .input_error(arg, "has ", length(have), " distinct units but the map ",
                   "has ", n, "; as the map names no units, every unit must ",
                   "appear in ", where, ".")
    }
    return(have)
  }
  map_names <- as.character(map_names)
  if (!is.null(n) && length(map_names) != n) {
    stop("map_names has ", length(map_names), " names for ", n, " units")
  }
  extra <- setdiff(have, map_names)
  if (length(extra)) {
    .input_error(arg, "has units that are not on the map: ",
                 .quote_names(extra), ".")
  }
  lack <- setdiff(map_names, have)
  if (length(lack)) {
    message(length(lack), " of the ", length(map_names), " units of the map (",
            .quote_names(lack), ") have no data in ", where, ": all their ",
            "counts are missing.")
  }
  map_names
}

# Refuses a unit and period (and outcome) given by more than one row.
.period_duplicates <- function(u, per, oc) {
  lab <- paste0(u, "[", .period_text(per$periods)[per$index], "]")
  if (!is.null(oc)) lab <- paste0(lab, ", outcome ", oc)
  dup <- unique(lab[duplicated(lab)])
  if (!length(dup)) return(invisible())
  shown <- vapply(head(dup, 3L), function(l) {
    paste0(l, " (rows ", paste(head(which(lab == l), 4L), collapse = ", "),
           ")")
  }, character(1))
  .input_error("data", "has more than one row for ", paste(shown,
               collapse = "; "), if (length(dup) > 3L)
               paste0(" and ", length(dup) - 3L, " more"),
               "; give each unit and period", if (!is.null(oc))
               " and outcome", " one row.")
}

# Errors of the checkers of n x K matrices name unit j and outcome r by
# number: here the rows are unit-period pairs and the outcomes have names.
.relabel_errors <- function(expr, labels, outcomes) {
  withCallingHandlers(expr, mcar_input_error = function(e) {
    msg <- conditionMessage(e)
    m <- gregexpr("unit [0-9]+, outcome [0-9]+", msg)
    hits <- regmatches(msg, m)[[1L]]
    if (length(hits)) {
      regmatches(msg, m) <- list(vapply(hits, function(h) {
        k <- as.integer(strsplit(sub("unit ([0-9]+), outcome ([0-9]+)",
                                     "\\1 \\2", h), " ")[[1L]])
        paste0("unit ", labels[k[1L]], ", outcome ", outcomes[k[2L]])
      }, character(1)))
    }
    m <- regexpr("outcome\\(s\\) [0-9]+(, [0-9]+)*", msg)
    if (m > 0L) {
      k <- as.integer(strsplit(sub("outcome\\(s\\) ", "",
                                   regmatches(msg, m)), ", ")[[1L]])
      regmatches(msg, m) <- paste0("outcome(s) ",
                                   paste(outcomes[k], collapse = ", "))
    }
    .input_error(e$argument, sub(paste0("^`", e$argument, "` "), "", msg))
  })
}

# ---- covariates -----------------------------------------------------------

# The design matrix of the n T rows: an intercept, then the covariates of
# a one-sided formula evaluated in the rows of `data` put in row order (so
# that factors expand as they would on the rows as given), or a numeric
# matrix already in row order.  Covariates are shared by the outcomes: in
# the form with one row per outcome, the rows of a unit and period must
# agree on them.
.period_design <- function(covariates, data, rec, pos, units, periods,
                           labels, unit, time) {
  nT <- length(labels)
  if (!inherits(covariates, "formula")) {
    X <- .design_matrix(covariates, NULL, nT)
    rownames(X) <- NULL
    return(X)
  }
  if (is.null(data)) {
    .input_error("covariates", "is a formula, but no `data` was given.")
  }
  vars <- intersect(all.vars(covariates), names(data))
  if (is.null(rec$src)) {
    # Arrays: `data` holds the covariates alone, matched by unit and period
    # or, without `unit` and `time`, already in row order.
    if (is.null(unit) && is.null(time)) {
      if (nrow(data) != nT) {
        .input_error("data", "has ", nrow(data), " rows; without `unit` and ",
                     "`time` it must hold the covariates of the ", nT,
                     " unit-period rows in order (unit fastest).")
      }
      src <- seq_len(nT)
    } else {
      u <- as.character(.key_column(data, unit, "unit", "the unit"))
      tm <- .key_column(data, time, "time", "the period")
      t <- match(.period_text(tm), .period_text(periods))
      if (anyNA(t)) {
        .input_error("time", "has periods that `counts` does not: ",
                     .quote_names(unique(.period_text(tm)[is.na(t)])), ".")
      }
      extra <- setdiff(u, units)
      if (length(extra)) {
        .input_error("unit", "has units that `counts` does not: ",
                     .quote_names(extra), ".")
      }
      .period_duplicates(u, list(periods = periods, index = t), NULL)
      src <- rep(NA_integer_, nT)
      src[match(u, units) + length(units) * (t - 1L)] <- seq_len(nrow(data))
    }
  } else {
    if (!is.null(rec$group)) .shared_covariates(data, vars, rec, labels, pos)
    src <- rep(NA_integer_, nT)
    src[pos] <- rec$src
  }
  if (length(all.vars(covariates)) && anyNA(src)) {
    lack <- labels[is.na(src)]
    .input_error("data", "has no row for unit-period pair(s) ",
                 .quote_names(lack), " (", length(lack), " in all), but ",
                 "`covariates` needs the covariates of every unit in every ",
                 "period: those rows must be present, with NA counts.")
  }
  rd <- data[src, , drop = FALSE]
  rownames(rd) <- labels
  X <- .design_matrix(covariates, rd, nT)
  rownames(X) <- NULL
  X
}

# Refuses covariates that differ between the outcome rows of one unit and
# period.
.shared_covariates <- function(data, vars, rec, labels, pos) {
  for (v in vars) {
    x <- data[[v]]
    if (is.factor(x)) x <- as.character(x)
    ref <- x[rec$src][rec$group]
    same <- (is.na(x) & is.na(ref)) | (!is.na(x) & !is.na(ref) & x == ref)
    if (!all(same)) {
      j <- which(!same)[1L]
      .input_error("covariates", "has `", v, "` differing between the ",
                   "outcomes of unit-period ", labels[pos[rec$group[j]]],
                   " (rows ", rec$src[rec$group[j]], " and ", j, " of ",
                   "`data`); the covariates are shared by the outcomes.")
    }
  }
  invisible()
}
