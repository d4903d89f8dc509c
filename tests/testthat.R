library(testthat)
library(mcar)

test_check("mcar")
