# Digests of the draws and printed summaries of fixed-seed fits, one line a
# case: a change that should move no draw and no printed figure (a move of
# code between files, a rename) must leave every line as it was.
#
#   Rscript tools/fit_digest.R [out-file]
#
# Cases: the bundled Minnesota data, North Carolina with the binomial and
# negative binomial families, a 2,500-unit synthetic map with Newton
# proposals of the effects on 2 threads, and a grid with islands.
suppressPackageStartupMessages(library(mcar))
source(file.path("bench", "synthetic_map.R"))

args <- commandArgs(trailingOnly = TRUE)
out <- if (length(args)) args[1] else ""

digest_of <- function(x) {
  f <- tempfile()
  on.exit(unlink(f))
  saveRDS(x, f, version = 3, compress = FALSE)
  unname(tools::md5sum(f))
}

quiet <- function(expr) {
  withCallingHandlers(expr, warning = function(w) invokeRestart("muffleWarning"),
                      message = function(m) invokeRestart("muffleMessage"))
}

case <- function(name, fit) {
  printed <- c(utils::capture.output(print(fit)),
               utils::capture.output(print(summary(fit))))
  printed <- grep("elapsed|seconds|[0-9.]+ s\\b", printed, value = TRUE,
                  invert = TRUE)
  draws <- posterior::as_draws_array(fit)
  line <- sprintf("%-14s draws %s printed %s", name, digest_of(unclass(draws)),
                  digest_of(printed))
  cat(line, "\n", sep = "", file = out, append = TRUE)
  if (nzchar(out)) cat(line, "\n", sep = "")
}

if (nzchar(out)) unlink(out)

mn <- minnesota_simulated()
case("minnesota", quiet(mcar_fit(
  counts = c("Y1", "Y2", "Y3"), expected = c("N1", "N2", "N3"),
  W = minnesota_adjacency(), data = mn, n_sample = 1000, seed = 1,
  progress = FALSE)))

nc <- nc_sids(geometry = FALSE)
W_nc <- nc_adjacency()
case("nc_binomial", quiet(mcar_fit(
  counts = c("SID74", "SID79"), trials = c("BIR74", "BIR79"),
  family = "binomial", W = W_nc, covariates = ~ nonwhite, data = nc,
  n_sample = 1000, seed = 2, progress = FALSE)))
case("nc_negbin", quiet(mcar_fit(
  counts = c("SID74", "SID79"), expected = c("E74", "E79"),
  family = "negbinomial", W = W_nc, covariates = ~ nonwhite, data = nc,
  n_sample = 1000, seed = 3, progress = FALSE)))

W <- synthetic_map(2500)
d <- bench_data(W, K = 3)
case("newton_2500", quiet(mcar_fit(
  counts = d$Y, expected = d$E, W = W, covariates = ~ x,
  data = data.frame(x = d$x, row.names = rownames(W)),
  n_sample = 300, chains = 2, seed = 4, threads = 2, progress = FALSE)))

Ws <- synthetic_map(64, islands = 4, seed = 2)
dg <- bench_data(Ws, K = 2, seed = 5)
Wg <- as.matrix(Ws)
case("islands", quiet(mcar_fit(
  counts = dg$Y, expected = dg$E, W = Wg, n_sample = 1000, seed = 5,
  progress = FALSE)))
