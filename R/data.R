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

#' Polygons of the bundled Minnesota map
#'
#' The 87 county polygons of the \pkg{maps} county database as an \pkg{sf}
#' object, in the unit order of [minnesota_adjacency()], for
#' `plot(fit, type = "map", map = minnesota_map())` or as `map` in
#' [mcar_fit()].
#'
#' @return An sf object with a column `county` and one (multi)polygon per
#'   county.
#' @examplesIf requireNamespace("maps", quietly = TRUE) && requireNamespace("sf", quietly = TRUE)
#' m <- minnesota_map()
#' nrow(m)
#' @export
minnesota_map <- function() {
  for (pkg in c("maps", "sf")) {
    if (!requireNamespace(pkg, quietly = TRUE)) {
      stop("package '", pkg, "' is needed for minnesota_map()", call. = FALSE)
    }
  }
  m <- maps::map("county", "minnesota", fill = TRUE, plot = FALSE)
  s <- sf::st_as_sf(m)
  key <- sub(":.*$", "", s$ID)
  # A county drawn in one piece is kept as it is: on the sphere (s2) some
  # of the database's rings count as invalid (repeated vertices), and a
  # union would fail on them.  Pieces of one county are merged in the plane.
  geom <- lapply(minnesota_counties(), function(cty) {
    g <- sf::st_geometry(s)[key == cty]
    if (length(g) == 1L) return(g)
    old <- suppressMessages(sf::sf_use_s2(FALSE))
    on.exit(suppressMessages(sf::sf_use_s2(old)))
    sf::st_union(g)
  })
  out <- sf::st_sf(county = minnesota_counties(), geometry = do.call(c, geom))
  # Named like the units of minnesota_adjacency(), so that fits match the
  # polygons to their units by name.
  rownames(out) <- minnesota_counties()
  out
}

#' Sudden infant deaths in the 100 counties of North Carolina
#'
#' Births, sudden infant death syndrome (SIDS) deaths and non-white births
#' in each county of North Carolina over two periods, 1 July 1974 to 30 June
#' 1978 and 1 July 1979 to 30 June 1984, with expected deaths and the
#' county polygons: two outcomes (the deaths of each period) on one map, with
#' the share of non-white births as a covariate.
#'
#' The expected deaths come from internal standardisation on births: each
#' county gets the state-wide rate of the period, \eqn{E_{ir} = B_{ir}
#' \sum_j Y_{jr} / \sum_j B_{jr}}{E[i,r] = B[i,r] sum_j Y[j,r] / sum_j
#' B[j,r]}, so the expected deaths of a period add up to its observed
#' deaths.  Counties are in the order of their FIPS codes (alphabetical,
#' McDowell filed as "MacDowell"); the row names are the county names, so a
#' fit on these data names its units after the counties.
#'
#' @param geometry Whether to return an \pkg{sf} object with the county
#'   polygons (needs \pkg{sf}) or a plain data frame.
#' @return `nc_sids()`: a data frame (an sf object when `geometry = TRUE`)
#'   with one row per county and columns
#'   \describe{
#'     \item{county}{county name}
#'     \item{FIPS}{five-digit FIPS code, as text (`"37001"`, ...)}
#'     \item{BIR74, SID74, NWBIR74}{births, SIDS deaths and non-white
#'       births, 1974-78}
#'     \item{BIR79, SID79, NWBIR79}{the same for 1979-84}
#'     \item{E74, E79}{expected SIDS deaths of each period}
#'     \item{nonwhite}{share of non-white births over both periods, between
#'       0 and 1}
#'     \item{geometry}{the county polygon (longitude and latitude, NAD27),
#'       when `geometry = TRUE`}
#'   }
#'   `nc_adjacency()`: the 100 x 100 symmetric 0/1 adjacency matrix of the
#'   counties (neighbours share at least one boundary point, as
#'   `spdep::poly2nb(queen = TRUE)` finds them on these polygons), with the
#'   county names as row and column names; use it as `W` when \pkg{spdep} is
#'   not installed.
#' @source The county shapefile that ships with \pkg{sf},
#'   `system.file("shape/nc.shp", package = "sf")`, from public data of the
#'   North Carolina State Center for Health Statistics, as published by
#'   Cressie, N. and Chan, N. H. (1989) Spatial modelling of regional
#'   variables, *Journal of the American Statistical Association* 84,
#'   393-401, and Cressie, N. (1993) *Statistics for Spatial Data*, Wiley.
#'   `data-raw/nc_sids.R` in the source repository makes the bundled files.
#' @seealso [mcar_fit()]; `plot(fit, type = "map")` draws the fitted risks
#'   on these polygons when the sf object is given as `W`.
#' @examples
#' nc <- nc_sids(geometry = FALSE)
#' head(nc[c("county", "SID74", "E74", "SID79", "E79", "nonwhite")])
#' colSums(nc[c("SID74", "E74", "SID79", "E79")])
#' @examplesIf requireNamespace("sf", quietly = TRUE) && requireNamespace("spdep", quietly = TRUE)
#' nc <- nc_sids()
#' fit <- mcar_fit(c("SID74", "SID79"), c("E74", "E79"), W = nc,
#'                 covariates = ~ nonwhite, data = nc,
#'                 n_sample = 1000, chains = 2, seed = 1)
#' fit
#' plot(fit, type = "map")
#' @export
nc_sids <- function(geometry = TRUE) {
  if (!is.logical(geometry) || length(geometry) != 1L || is.na(geometry)) {
    stop("`geometry` must be TRUE or FALSE", call. = FALSE)
  }
  tab <- utils::read.csv(.extdata("nc_sids.csv"), stringsAsFactors = FALSE,
                         colClasses = c(county = "character",
                                        FIPS = "character"))
  rownames(tab) <- tab$county
  if (!geometry) return(tab)
  if (!requireNamespace("sf", quietly = TRUE)) {
    stop("package 'sf' is needed for the county polygons; ",
         "nc_sids(geometry = FALSE) gives the table alone", call. = FALSE)
  }
  poly <- utils::read.csv(.extdata("nc_counties.csv"), stringsAsFactors = FALSE,
                          colClasses = "character")
  if (!identical(poly$county, tab$county)) {
    stop("bundled North Carolina files disagree on the counties",
         call. = FALSE)
  }
  # EPSG 4267: longitude and latitude on NAD27, as in the shapefile.
  geom <- sf::st_as_sfc(poly$wkt, crs = 4267)
  out <- sf::st_sf(tab, geometry = geom)
  rownames(out) <- tab$county
  out
}

#' @rdname nc_sids
#' @export
nc_adjacency <- function() {
  counties <- utils::read.csv(.extdata("nc_sids.csv"), stringsAsFactors = FALSE,
                              colClasses = "character")$county
  lines <- readLines(.extdata("nc_neighbours.txt"), warn = FALSE)
  n <- length(counties)
  if (length(lines) != n) {
    stop("bundled North Carolina files disagree on the number of counties",
         call. = FALSE)
  }
  W <- matrix(0L, n, n, dimnames = list(counties, counties))
  for (i in seq_len(n)) {
    W[i, as.integer(strsplit(lines[i], " ", fixed = TRUE)[[1L]])] <- 1L
  }
  W
}

#' Influenza in Bavaria and Baden-Wuerttemberg, 2001 to 2008, by year
#'
#' Influenza cases reported in the 140 districts (Landkreise and
#' kreisfreie Staedte) of two German states, by year: the weekly counts of
#' the data set `fluBYBW` of the \pkg{surveillance} package summed over
#' years of 52 weeks.  A data set for fits over periods (see the `time`
#' argument of [mcar_fit()]).
#'
#' @return `flu_bybw()`: a data frame with one row per district and year
#'   (1,120 rows) and columns
#'   \describe{
#'     \item{district}{the district's id (its official key, as text)}
#'     \item{name}{the district's name ("LK" a rural district, "SK" a town)}
#'     \item{year}{2001 to 2008}
#'     \item{cases}{influenza cases reported in the year}
#'     \item{expected}{expected cases: the district's share of the two
#'       states' population times the year's total}
#'     \item{population}{the district's population at the end of the year
#'       (2007's for 2008)}
#'   }
#'   `flu_bybw_adjacency()`: the 140 x 140 0/1 adjacency matrix of the
#'   districts, named by id.  `flu_bybw_map()`: an \pkg{sf} object of the
#'   district polygons (planar coordinates of the source, without a stated
#'   reference system), with columns district and name.
#' @source Robert Koch Institute, SurvStat, through the \pkg{surveillance}
#'   package (`data("fluBYBW")`); see `data-raw/flu_bybw.R`.
#' @examples
#' flu <- flu_bybw()
#' head(flu)
#' tapply(flu$cases, flu$year, sum)
#' @export
flu_bybw <- function() {
  utils::read.csv(.extdata("flu_bybw.csv"), stringsAsFactors = FALSE,
                  colClasses = c(district = "character", name = "character"))
}

#' @rdname flu_bybw
#' @export
flu_bybw_adjacency <- function() {
  ids <- .flu_districts()$district
  lines <- readLines(.extdata("flu_bybw_neighbours.txt"), warn = FALSE)
  if (length(lines) != length(ids)) {
    stop("bundled influenza files disagree on the number of districts",
         call. = FALSE)
  }
  W <- matrix(0L, length(ids), length(ids), dimnames = list(ids, ids))
  for (i in seq_along(ids)) {
    W[i, as.integer(strsplit(lines[i], " ", fixed = TRUE)[[1L]])] <- 1L
  }
  W
}

#' @rdname flu_bybw
#' @export
flu_bybw_map <- function() {
  if (!requireNamespace("sf", quietly = TRUE)) {
    stop("package 'sf' is needed for the district polygons", call. = FALSE)
  }
  d <- .flu_districts()
  names <- unique(flu_bybw()[c("district", "name")])
  out <- sf::st_sf(district = d$district,
                   name = names$name[match(d$district, names$district)],
                   geometry = sf::st_as_sfc(d$wkt))
  rownames(out) <- d$district
  out
}

.flu_districts <- function() {
  utils::read.csv(.extdata("flu_bybw_districts.csv"), stringsAsFactors = FALSE,
                  colClasses = "character")
}
