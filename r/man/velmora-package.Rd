\name{velmora-package}
\alias{velmora-package}
\alias{velmora}
\docType{package}
\title{Drift variance between populations from an animal pedigree}
\description{
  \code{\link{analyse}} reads a pedigree (a data frame or a file), computes
  every animal's inbreeding and, per period, the genetic drift variance
  between each pair of populations, its maximum and the differentiation
  index, and returns them as data frames. \code{\link{inbreeding}} gives the
  inbreeding coefficients alone. The computation is the library of the
  velmora program: the same figures, bit for bit, as the program's
  \option{--csv} and \option{--inbreeding} files.
}
\examples{
x <- analyse(system.file("extdata", "example.ped", package = "velmora"), threads = 2)
str(x$pairs)
}
\keyword{package}
