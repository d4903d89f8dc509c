# Influenza in the 140 districts of Bavaria and Baden-Wuerttemberg, 2001 to
# 2008, by year: the files that ship in inst/extdata, from the weekly
# counts of surveillance::fluBYBW (cases reported to the Robert Koch
# Institute), aggregated into years of 52 weeks (weeks 1-52 of 2001 are
# 2001, and so on: 416 weeks make 8 years).
#
#   Rscript data-raw/flu_bybw.R        (from the repository root)
#
# Expected counts by indirect standardisation within each year: a
# district's share of the two states' population at the end of the year
# (2007's for 2008) times the year's total, so that a relative risk says
# how a district stands against the two states in that year.  The
# district polygons are those of the data set (planar coordinates without
# a stated reference system), and so are the neighbours.

suppressPackageStartupMessages({
  library(surveillance)
  library(sf)
})
data("fluBYBW", package = "surveillance")

out_dir <- file.path("inst", "extdata")
obs <- observed(fluBYBW)
ids <- colnames(obs)
stopifnot(nrow(obs) == 416L, length(ids) == 140L)
years <- 2001:2008
year_of_week <- rep(years, each = 52L)
cases <- rowsum(obs, year_of_week)               # 8 x 140
map <- fluBYBW@map
stopifnot(identical(row.names(map), ids))
pop <- as.matrix(map@data[, grep("^X31_12_0", names(map@data))])  # 140 x 7
pop <- cbind(pop, pop[, 7L])                     # 2008: 2007's population
share <- sweep(pop, 2L, colSums(pop), "/")
expected <- t(share) * rowSums(cases)            # 8 x 140

tab <- data.frame(
  district = rep(ids, each = length(years)),
  name = rep(as.character(map@data$name), each = length(years)),
  year = rep(years, length(ids)),
  cases = as.integer(as.vector(cases)),
  expected = round(as.vector(expected), 4),
  population = as.integer(as.vector(t(pop))),
  stringsAsFactors = FALSE)
stopifnot(sum(tab$cases) == sum(obs),
          abs(sum(tab$expected) - sum(obs)) < 1)
utils::write.csv(tab, file.path(out_dir, "flu_bybw.csv"), row.names = FALSE)

# Neighbours: one line per district, the positions (1-based) of its
# neighbours in the order of the districts.
nb <- fluBYBW@neighbourhood
stopifnot(identical(rownames(nb), ids), isSymmetric(unname(nb)))
writeLines(vapply(seq_along(ids), function(i)
  paste(which(nb[i, ] == 1), collapse = " "), character(1)),
  file.path(out_dir, "flu_bybw_neighbours.txt"))

geom <- st_geometry(st_as_sf(map))
stopifnot(length(geom) == 140L, all(!st_is_empty(geom)))
utils::write.csv(data.frame(district = ids, wkt = st_as_text(geom, digits = 6)),
                 file.path(out_dir, "flu_bybw_districts.csv"), row.names = FALSE)
