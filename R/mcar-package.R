#' mcar: Bayesian multivariate disease mapping with a multivariate CAR prior
#'
#' Joint smoothing of several sets of disease counts observed on the same map
#' of areal units.  The count of outcome \eqn{r} in unit \eqn{i} is Poisson
#' with mean \eqn{E_{ir} \exp(\mu_{ir})}{E[i,r] exp(mu[i,r])}, where \eqn{E}
#' are the expected counts and
#' \deqn{\mu_{ir} = \sum_j X_{ij} \beta_{jr} + \sum_{c \ge r} \Lambda_{rc}
#' \phi_{ic}.}{mu[i,r] = sum_j X[i,j] beta[j,r] + sum_{c >= r} Lambda[r,c]
#' phi[i,c].}
#' The K spatial fields \eqn{\phi}{phi} have a multivariate conditional
#' autoregressive (MCAR) prior with precision \eqn{I_K \otimes D - A \otimes
#' C}{I_K x D - A x C}, where \eqn{C} holds the weights of the map (1 for
#' neighbours), \eqn{D} is the diagonal matrix of their row sums and \eqn{A}
#' a symmetric \eqn{K \times K}{K x K} association matrix held through its
#' eigenvalues (`eta`) and rotation angles (`theta`, in units of
#' \eqn{\pi/2}{pi/2}).  The loadings \eqn{\Lambda}{Lambda} are upper
#' triangular, so outcome r shares the fields r to K.
#'
#' [mcar_fit()] validates the data (any map, 1 to 8 outcomes, covariates,
#' missing counts), samples the posterior in compiled code, tunes the
#' proposal scales during burn-in, runs chains in parallel through the
#' \pkg{future} framework and returns an `"mcar_fit"` object with methods for
#' [print()][print.mcar_fit()], [summary()][summary.mcar_fit()],
#' [plot()][plot.mcar_fit()], [fitted()][fitted.mcar_fit()],
#' [predict()][predict.mcar_fit()], [residuals()][residuals.mcar_fit()],
#' [coef()][coef.mcar_fit()], [logLik()][logLik.mcar_fit()],
#' [loo::loo()] and [loo::waic()] (see [mcar_loo]), [coda::as.mcmc()] and
#' \pkg{posterior}'s `as_draws()` family.
#'
#' The package ships the county map of Minnesota with a simulated data set
#' (see [minnesota_adjacency()] and [minnesota_simulated()]).  It also
#' exports, for other compiled code, a fixed-size sampler entry `mcar` for
#' 87 units and three outcomes, called through `.C`, with its matrix
#' toolkit and random-variate generators.
#'
#' @keywords internal
#' @useDynLib mcar, .registration = TRUE
#' @importFrom stats median quantile sd qnorm rnorm runif setNames var
#' @importFrom stats fitted residuals predict nobs logLik coef confint vcov
#' @importFrom stats simulate
#' @importFrom Matrix sparseMatrix
#' @importFrom utils read.csv txtProgressBar setTxtProgressBar head
#' @importFrom coda as.mcmc mcmc mcmc.list
"_PACKAGE"
