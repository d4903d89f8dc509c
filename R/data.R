# Access to the bundled Minnesota county map and the simulated data set in
# inst/extdata.

.extdata <- function(name) {
  path <- system.file("extdata", name, package = "mcar")
  if (!nzchar(path)) {
    stop(sprintf("bundled file '%s' is missing from the installed package",
                 name), call. = FALSE)
  }
  path
}

.read_square <- function(name) {
  x <- scan(.extdata(name), quiet = TRUE)
  n <- sqrt(length(x))
  if (n != round(n)) {
    stop(sprintf("bundled file '%s' does not hold a square matrix", name),
         call. = FALSE)
  }
  matrix(x, n, n, byrow = TRUE)
}

#' The bundled map: Minnesota's 87 counties
#'
#' `minnesota_adjacency()` returns the county adjacency matrix of Minnesota
#' (two counties are neighbours when they share a stretch of boundary), in the
#' unit order used by [minnesota_simulated()].  `minnesota_counties()`
#' returns the county names in that order, as polygon names of the
#' \pkg{maps} county database (`"minnesota,aitkin"`, ...).
#'
#' @return `minnesota_adjacency()`: an 87 x 87 symmetric 0/1 matrix whose row
#'   and column names are the county names.  `minnesota_counties()`: a
#'   character vector of length 87.
#' @seealso [mcar_fit()], which takes this matrix as its `W` argument.
#' @examples
#' W <- minnesota_adjacency()
#' dim(W)
#' summary(rowSums(W))   # neighbours per county
#' head(minnesota_counties())
#' @export
minnesota_adjacency <- function() {
  W <- .read_square("neighbor2.txt")
  counties <- minnesota_counties()
  if (nrow(W) != length(counties)) {
    stop("bundled map files disagree on the number of counties", call. = FALSE)
  }
  dimnames(W) <- list(counties, counties)
  W
}

#' @rdname minnesota_adjacency
#' @export
minnesota_counties <- function() {
  readLines(.extdata("minnesota_counties.txt"), warn = FALSE)
}

#' Simulated disease counts on the Minnesota map
#'
#' Three outcomes simulated from the model fitted by [mcar_fit()] on the
#' bundled county map, with known parameter values.
#'
#' @return `minnesota_simulated()`: a data frame with one row per county (in
#'   the order of [minnesota_adjacency()]) and columns
#'   \describe{
#'     \item{county}{county name (`"minnesota,aitkin"`, ...)}
#'     \item{Y1, Y2, Y3}{observed counts of the three outcomes}
#'     \item{N1, N2, N3}{expected counts}
#'     \item{phi1, phi2, phi3}{the true spatial fields}
#'     \item{RR1, RR2, RR3}{the true relative risks}
#'   }
#'   `minnesota_truth()`: a named numeric vector of the true intercepts
#'   (`gbeta1`-`gbeta3`), loadings (`lamda1`-`lamda6`), eigenvalues
#'   (`eta1`-`eta3`) and angles (`theta1`-`theta3`) of the association
#'   matrix, and its packed entries (`alpha1`-`alpha6`: A11, A12, A13, A22,
#'   A23, A33).
#' @examples
#' sim <- minnesota_simulated()
#' head(sim[, c("county", "Y1", "N1", "RR1")])
#' minnesota_truth()[c("gbeta1", "gbeta2", "gbeta3")]
#' @export
minnesota_simulated <- function() {
  sim <- read.csv(.extdata("simulated.csv"), stringsAsFactors = FALSE)
  sim
}

#' @rdname minnesota_simulated
#' @export
minnesota_truth <- function() {
  truth <- read.csv(.extdata("simulated_truth.csv"), stringsAsFactors = FALSE)
  setNames(as.numeric(truth$value), truth$parameter)
}
