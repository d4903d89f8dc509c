#' mcar: Bayesian multivariate disease mapping with a multivariate CAR prior
#'
#' Joint smoothing of three sets of disease counts observed on the same map of
#' 87 areal units.  The counts of outcome \eqn{r} in unit \eqn{i} are Poisson
#' with mean \eqn{N_{ri} \exp(\eta_{ri})}{N[r,i] exp(eta[r,i])}, where
#' \eqn{N} are the expected counts and
#' \deqn{\eta_1 = \beta_1 + \lambda_1 \phi_1 + \lambda_2 \phi_2 + \lambda_3 \phi_3,}{eta1 = gbeta1 + lamda1 phi1 + lamda2 phi2 + lamda3 phi3,}
#' \deqn{\eta_2 = \beta_2 + \lambda_4 \phi_2 + \lambda_5 \phi_3,}{eta2 = gbeta2 + lamda4 phi2 + lamda5 phi3,}
#' \deqn{\eta_3 = \beta_3 + \lambda_6 \phi_3.}{eta3 = gbeta3 + lamda6 phi3.}
#' The three spatial fields \eqn{(\phi_1, \phi_2, \phi_3)}{(phi1, phi2, phi3)}
#' have a multivariate conditional autoregressive (MCAR) prior with precision
#' \eqn{I_3 \otimes D - A \otimes C}{I3 x D - A x C}, where \eqn{C} is the
#' adjacency matrix of the map, \eqn{D} the diagonal matrix of its row sums
#' (the numbers of neighbours) and \eqn{A} a symmetric \eqn{3 \times 3}{3 x 3}
#' association matrix held through its eigenvalues (\code{eta}) and three
#' rotation angles (\code{theta}, in units of \eqn{\pi/2}{pi/2}).
#'
#' The posterior is explored by Metropolis-within-Gibbs sampling in compiled
#' code.  [mcar_fit()] validates the data, tunes the proposal scales during
#' burn-in, runs one or more chains (in parallel through the \pkg{future}
#' framework) and returns an `"mcar_fit"` object with methods for
#' [print()][print.mcar_fit()], [summary()][summary.mcar_fit()],
#' [plot()][plot.mcar_fit()], [fitted()][fitted.mcar_fit()],
#' [coef()][coef.mcar_fit()], [coda::as.mcmc()] and `posterior::as_draws()`.
#'
#' The package ships the county map of Minnesota and a simulated data set on
#' it: see [minnesota_adjacency()] and [minnesota_simulated()].
#'
#' @keywords internal
#' @useDynLib mcar, .registration = TRUE
#' @importFrom stats median quantile sd qnorm rnorm runif setNames var
#' @importFrom utils read.csv txtProgressBar setTxtProgressBar head
#' @importFrom coda as.mcmc mcmc mcmc.list
"_PACKAGE"
