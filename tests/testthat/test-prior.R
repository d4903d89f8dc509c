# Priors: the settings mcar_prior() refuses, and the prior in the engine's
# terms.

test_that("bad priors are refused, each naming its argument", {
  a <- base_args()
  expect_input_error(mcar_prior(beta_sd = 0), "beta_sd")
  expect_input_error(mcar_prior(beta_sd = NA), "beta_sd")
  expect_input_error(mcar_prior(iw_df = -1), "iw_df")
  expect_input_error(mcar_prior(iw_df = c(3, 4)), "iw_df")
  expect_input_error(mcar_prior(iw_scale = 0), "iw_scale")
  expect_input_error(mcar_prior(iw_scale = NA), "iw_scale")
  refuse(with_arg(a, prior = list(beta_sd = 1)), "prior", "mcar_prior")
  refuse(with_arg(a, prior = mcar_prior(beta_sd = c(1, 2, 3))), "prior",
         "3 coefficient sd\\(s\\) for 1 coefficients")
  refuse(with_arg(a, prior = mcar_prior(iw_scale = diag(3))), "prior",
         "2 x 2")
  expect_input_error(mcar_prior(iw_scale = matrix(c(1, 2, 2, 1), 2)),
                     "iw_scale", "positive definite")
  # A per-coefficient sd, intercept first.
  p <- asNamespace("mcar")$.resolve_prior(mcar_prior(beta_sd = c(Inf, 2)), 3, 2)
  expect_identical(p$beta_prec, matrix(c(0, 0.25), 2, 3))
})

test_that("the inverse-Wishart prior must be proper for the outcomes", {
  a <- base_args()
  # The inverse-Wishart of K x K matrices is proper only for df > K - 1.
  refuse(with_arg(a, prior = mcar_prior(iw_df = 0.5)), "prior",
         "iw_df = 0.5.*2 outcomes.*only for iw_df > 1")
  expect_s3_class(tiny_fit(with_arg(a, prior = mcar_prior(iw_df = 1.5))),
                  "mcar_fit")
  expect_input_error(mcar_prior(iw_df = 1, iw_scale = diag(2)), "iw_df",
                     "must exceed 1")
  expect_input_error(mcar_prior(iw_scale = matrix(1, 2, 3)), "iw_scale",
                     "square matrix, not 2 x 3")
  # A 1 x 1 matrix is the number s of the scale s I.
  one <- mcar_prior(iw_scale = matrix(2))
  expect_identical(asNamespace("mcar")$.resolve_prior(one, 3, 1)$iw_scale,
                   diag(2, 3))
})
