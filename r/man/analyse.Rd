\name{analyse}
\alias{analyse}
\title{Drift variance between populations over time}
\description{
  Reads an animal pedigree, computes every animal's inbreeding and, for each
  period, the mean additive genetic relationships within and between
  populations, the genetic drift variance between each pair of populations,
  its maximum and the differentiation index.
}
\usage{
analyse(pedigree, animal = 1, sire = 2, dam = 3, population = 4, period = 5,
        unknown = c("0", "NA"), threads = NULL)
}
\arguments{
  \item{pedigree}{a data frame (or a list of columns) with one record per
    row, or the name of a pedigree file (one record per line, fields
    separated by tabs, commas, semicolons or blanks, found from the first
    line).}
  \item{animal, sire, dam, population, period}{the columns (or a file's
    fields) holding the animal, its sire and dam, the population it belongs
    to and the period in which it is counted: numbers from 1, or names. A
    file's fields are five numbers, or five names of its header line.
    Factors and numbers are taken as text; whole numbers are written
    without an exponent.}
  \item{unknown}{parent codes that mean an unknown parent, besides
    \code{"0"}, an empty code and codes that contain a hyphen. In a data
    frame \code{NA} in the sire or dam column is an unknown parent too.}
  \item{threads}{worker threads; \code{NULL} for one per CPU this process
    may use. The results are the same for any number.}
}
\details{
  An animal with several records keeps its first. A parent without a record
  of its own is added as a founder, without population and period.
  Population and period codes are ordered as text: write numbers with one
  width (\code{"01"} to \code{"15"}, or four-digit years).

  Notes of the data checks (codes that look like another tool's unknown
  mark, period codes that sort out of time order, ...) come as warnings. An
  error of the data (a loop of descent, an empty animal code) is an R error
  with a message that names the record. Ctrl-C stops the computation. In an
  interactive session each stage is announced with \code{message()}.
}
\value{
  A list of data frames; codes are character, figures double, \code{NA}
  where a figure does not exist:
  \item{pairs}{one row per pair of populations (the later one in text
    order first) and period, with the columns \code{period},
    \code{population_1}, \code{population_2}, \code{n_1}, \code{n_2},
    \code{relationship_within_1}, \code{relationship_within_2},
    \code{relationship_between}, \code{drift_variance},
    \code{max_drift_variance} and \code{differentiation_index}: the
    program's \option{--csv} table. A figure is \code{NA} where one of the
    populations has no animals in the period.}
  \item{summary}{one row per period and population with animals:
    \code{period}, \code{population}, then one column per group statistic
    (\code{n}, \code{mean_inbreeding}, \code{mean_relationship_within}, and
    those later versions add).}
  \item{fstatistics}{where the library computes figures per period: one
    row per period, \code{period} and one column per figure.}
  \item{animals}{one row per animal, in loading order (the animals with a
    record in the order of their first record, then the added founders):
    \code{code}, \code{sire}, \code{dam} (\code{NA} when unknown),
    \code{population}, \code{period} (\code{NA} for an added founder),
    \code{generation} (1 for a founder), \code{inbreeding}, then one column
    per further figure the library gives per animal.}
}
\seealso{\code{\link{inbreeding}} for the inbreeding coefficients alone.}
\examples{
file <- system.file("extdata", "example.ped", package = "velmora")
ped <- read.table(file, colClasses = "character",
                  col.names = c("id", "sire", "dam", "breed", "year"))
x <- analyse(ped, population = "breed", period = "year", threads = 2)
head(x$pairs)
subset(x$summary, period == "2020")
# the same from the file itself
y <- analyse(file, threads = 2)
all.equal(x$pairs, y$pairs)
}
\keyword{models}
