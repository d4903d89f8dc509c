# The compiled toolkit and generators are called by name from other compiled
# code and from tests, so each must be an exported C symbol of the package's
# shared object.

toolkit_symbols <- c(
  "create_matrixd", "create_matrix", "create_vectord", "create_vector",
  "freematd", "freemat",
  "matpr", "matsclpr", "matsum", "matdiff", "transpose", "matvector",
  "vectormat", "trace", "Row_extract", "Col_extract", "vecprm", "zero_mat",
  "ident_mat", "kroneckerprod", "sub_matrix", "vecmatpr", "vecprs", "matvecpr",
  "det", "inverse", "cholcop", "eigen", "eigen2",
  "multinormal", "rwishart"
)

mcar_dll <- function() {
  loadNamespace("mcar")
  getLoadedDLLs()[["mcar"]]
}

test_that("the package loads together with its shared object", {
  expect_true(requireNamespace("mcar", quietly = TRUE))
  dll <- mcar_dll()
  expect_s3_class(dll, "DLLInfo")
  expect_true(file.exists(dll[["path"]]))
})

test_that("every toolkit and generator routine is found by name", {
  dll <- mcar_dll()
  expect_true(dll[["dynamicLookup"]])
  found <- vapply(toolkit_symbols, is.loaded, logical(1), PACKAGE = "mcar")
  expect_true(all(found),
    label = paste("missing:", paste(toolkit_symbols[!found], collapse = ", "))
  )
  # A name the package does not define is not reported as present.
  expect_false(is.loaded("no_such_routine_in_mcar", PACKAGE = "mcar"))
})

test_that("the shared object's dynamic symbol table defines them unmangled", {
  nm <- Sys.which("nm")
  skip_if(!nzchar(nm), "nm is not available")
  so <- mcar_dll()[["path"]]
  out <- suppressWarnings(
    system2(nm, c("-D", "--defined-only", shQuote(so)), stdout = TRUE,
            stderr = FALSE)
  )
  skip_if(!is.null(attr(out, "status")), "nm could not read the shared object")
  fields <- strsplit(trimws(out), "[[:space:]]+")
  text_syms <- vapply(fields, function(f) {
    if (length(f) >= 3 && f[[2]] == "T") f[[3]] else NA_character_
  }, character(1))
  expect_equal(setdiff(toolkit_symbols, text_syms), character(0))
})
