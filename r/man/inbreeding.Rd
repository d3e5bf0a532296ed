\name{inbreeding}
\alias{inbreeding}
\title{Inbreeding coefficients of a pedigree}
\description{
  The coefficient of inbreeding (F) of the animal of each record: the
  loading and inbreeding of \code{\link{analyse}} without the figures per
  period.
}
\usage{
inbreeding(pedigree, animal = 1, sire = 2, dam = 3, population = 4, period = 5,
           unknown = c("0", "NA"), threads = NULL)
}
\arguments{
  \item{pedigree, animal, sire, dam, population, period, unknown, threads}{as
    for \code{\link{analyse}}.}
}
\value{
  A numeric vector. For a data frame, one value per row in the rows' order:
  a repeated animal has the F of the animal as its first record describes
  it on each of its rows. For a file, one value per animal with a record, in
  the order of its first record (without repeated animals: one per record).
}
\examples{
file <- system.file("extdata", "example.ped", package = "velmora")
ped <- read.table(file, colClasses = "character")
ped$F <- inbreeding(ped, threads = 2)
ped[which.max(ped$F), ]
}
\keyword{models}
