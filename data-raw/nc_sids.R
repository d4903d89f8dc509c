# Builds the bundled North Carolina sudden infant death files from the
# county shapefile that the sf package installs.
#
# Run from the repository root:
#
#     Rscript data-raw/nc_sids.R
#
# Needs 'sf' and 'spdep'.  The installed package reads the two CSV files
# written here with base R, and turns the WKT text into polygons with sf.
#
# Writes to inst/extdata/:
#   nc_sids.csv       one row per county (100): name, FIPS code, births,
#                     SIDS deaths and non-white births for 1974-78 and
#                     1979-84, expected deaths and the non-white share
#   nc_counties.csv   county name, FIPS code and the county polygon as WKT
#                     (longitude/latitude, NAD27), in the same order
#   nc_neighbours.txt the queen neighbours of each county: line i holds the
#                     row numbers of the neighbours of county i

suppressPackageStartupMessages({
  library(sf)
  library(spdep)
})

out_dir <- file.path("inst", "extdata")
if (!dir.exists(out_dir)) {
  stop("run this script from the repository root (", out_dir, " not found)")
}

shp <- system.file("shape", "nc.shp", package = "sf")
stopifnot(nzchar(shp))
nc <- sf::st_read(shp, quiet = TRUE, stringsAsFactors = FALSE)
stopifnot(nrow(nc) == 100L, !anyDuplicated(nc$NAME), !anyDuplicated(nc$FIPS))

# Counties in FIPS order, which for North Carolina is alphabetical
# (37001 Alamance ... 37199 Yancey) with McDowell filed as "MacDowell".
nc <- nc[order(nc$FIPS), ]

# ---------------------------------------------------------------------------
# The table
# ---------------------------------------------------------------------------

# Expected deaths by internal standardisation on births: each county gets
# the state-wide rate of its period.
expected <- function(births, deaths) births * sum(deaths) / sum(births)

tab <- data.frame(
  county = nc$NAME,
  FIPS = nc$FIPS,
  BIR74 = as.integer(nc$BIR74), SID74 = as.integer(nc$SID74),
  NWBIR74 = as.integer(nc$NWBIR74),
  BIR79 = as.integer(nc$BIR79), SID79 = as.integer(nc$SID79),
  NWBIR79 = as.integer(nc$NWBIR79),
  E74 = expected(nc$BIR74, nc$SID74),
  E79 = expected(nc$BIR79, nc$SID79),
  nonwhite = (nc$NWBIR74 + nc$NWBIR79) / (nc$BIR74 + nc$BIR79),
  stringsAsFactors = FALSE)

stopifnot(all(tab$BIR74 > 0), all(tab$BIR79 > 0),
          all(tab$SID74 >= 0), all(tab$SID79 >= 0),
          all(tab$NWBIR74 <= tab$BIR74), all(tab$NWBIR79 <= tab$BIR79),
          isTRUE(all.equal(sum(tab$E74), sum(tab$SID74))),
          isTRUE(all.equal(sum(tab$E79), sum(tab$SID79))),
          all(tab$nonwhite >= 0 & tab$nonwhite <= 1))

# Expected counts and the share are rounded to 6 decimals: plenty for a
# rate of about 2 per 1000 births, and a table that reads well.
tab$E74 <- round(tab$E74, 6)
tab$E79 <- round(tab$E79, 6)
tab$nonwhite <- round(tab$nonwhite, 6)
write.csv(tab, file.path(out_dir, "nc_sids.csv"), row.names = FALSE)

# ---------------------------------------------------------------------------
# The polygons
# ---------------------------------------------------------------------------

# WKT with 15 significant digits holds the shapefile's coordinates exactly
# enough that the round trip changes no neighbour relation (checked below).
geom <- sf::st_geometry(nc)
wkt <- sf::st_as_text(geom, digits = 15)
poly <- data.frame(county = nc$NAME, FIPS = nc$FIPS, wkt = wkt,
                   stringsAsFactors = FALSE)
write.csv(poly, file.path(out_dir, "nc_counties.csv"), row.names = FALSE)

# ---------------------------------------------------------------------------
# Checks on what was written
# ---------------------------------------------------------------------------

back <- read.csv(file.path(out_dir, "nc_counties.csv"),
                 stringsAsFactors = FALSE, colClasses = "character")
geom2 <- sf::st_as_sfc(back$wkt, crs = sf::st_crs(nc))
stopifnot(identical(back$county, tab$county),
          all(sf::st_is_valid(geom2) == sf::st_is_valid(geom)),
          max(abs(sf::st_coordinates(geom2) - sf::st_coordinates(geom))) < 1e-9)

# Neighbours as mcar_fit() forms them from sf polygons (queen: a shared
# boundary point is enough).  The map is connected, no county is alone.
nb <- spdep::poly2nb(geom, queen = TRUE)
nb2 <- spdep::poly2nb(geom2, queen = TRUE)
stopifnot(isTRUE(all.equal(nb, nb2, check.attributes = FALSE)),
          all(spdep::card(nb) >= 1L),
          spdep::n.comp.nb(nb)$nc == 1L)
nb_rook <- spdep::poly2nb(geom, queen = FALSE)

# The same neighbours as plain text, for fits that do without spdep.
writeLines(vapply(nb, function(j) paste(sort(j), collapse = " "), ""),
           file.path(out_dir, "nc_neighbours.txt"))
C <- spdep::nb2mat(nb, style = "B")
C_back <- matrix(0, 100, 100)
lines <- strsplit(readLines(file.path(out_dir, "nc_neighbours.txt")), " ")
for (i in seq_along(lines)) C_back[i, as.integer(lines[[i]])] <- 1
stopifnot(isSymmetric(C_back), all(C_back == unname(C)))

back_tab <- read.csv(file.path(out_dir, "nc_sids.csv"),
                     stringsAsFactors = FALSE, colClasses = c(FIPS = "character"))
stopifnot(identical(back_tab$FIPS, tab$FIPS), identical(back_tab$SID79, tab$SID79))

# ---------------------------------------------------------------------------
# Summary
# ---------------------------------------------------------------------------

cat(sprintf("counties: %d\n", nrow(tab)))
cat(sprintf("queen neighbour pairs: %d (%.2f per county, %d to %d); rook: %d\n",
            sum(spdep::card(nb)) / 2, mean(spdep::card(nb)),
            min(spdep::card(nb)), max(spdep::card(nb)),
            sum(spdep::card(nb_rook)) / 2))
for (p in c("74", "79")) {
  y <- tab[[paste0("SID", p)]]; b <- tab[[paste0("BIR", p)]]
  e <- tab[[paste0("E", p)]]
  cat(sprintf(paste0("19%s: %d deaths in %d births (%.2f per 1000); ",
                     "expected per county %.2f to %.2f; SMR %.2f to %.2f\n"),
              p, sum(y), sum(b), 1000 * sum(y) / sum(b), min(e), max(e),
              min(y / e), max(y / e)))
}
cat(sprintf("non-white share of births: %.3f to %.3f (median %.3f)\n",
            min(tab$nonwhite), max(tab$nonwhite), median(tab$nonwhite)))
cat(sprintf("files: %s (%d bytes), %s (%d bytes)\n",
            "nc_sids.csv", file.size(file.path(out_dir, "nc_sids.csv")),
            "nc_counties.csv", file.size(file.path(out_dir, "nc_counties.csv"))))
cat(sprintf("       %s (%d bytes)\n", "nc_neighbours.txt",
            file.size(file.path(out_dir, "nc_neighbours.txt"))))
