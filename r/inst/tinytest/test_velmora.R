# Two unrelated founder pairs in two populations; full sibs in period 02;
# in period 03 only P1 has animals: two offspring of full sibs (F = 1/4)
# and one of unrelated parents.
small <- data.frame(
  animal = c("A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K"),
  sire   = c("0", "0", "0", "0", "A", "A", "C", "C", "E", "E", "E"),
  dam    = c("0", "0", "0", "0", "B", "B", "D", "D", "F", "F", "H"),
  pop    = c("P1", "P1", "P2", "P2", "P1", "P1", "P2", "P2", "P1", "P1", "P1"),
  period = c("01", "01", "01", "01", "02", "02", "02", "02", "03", "03", "03"))
example_file <- system.file("extdata", "example.ped", package = "velmora")
example <- read.table(example_file, colClasses = "character")

# --- figures -------------------------------------------------------------

x <- analyse(small, threads = 1)
expect_equal(names(x), c("pairs", "summary", "fstatistics", "animals"))
expect_equal(names(x$pairs), c("period", "population_1", "population_2", "n_1", "n_2",
                               "relationship_within_1", "relationship_within_2", "relationship_between",
                               "drift_variance", "max_drift_variance", "differentiation_index", "nei_distance"))
expect_equal(x$pairs$period, c("01", "02", "03"))
expect_equal(x$pairs$population_1, rep("P2", 3))
expect_equal(x$pairs$n_1, c(2, 2, 0))
expect_equal(x$pairs$n_2, c(2, 2, 3))
# unrelated founders: within 1/2 (each with itself), full sibs 3/4
expect_equal(x$pairs$relationship_within_1, c(0.5, 0.75, NA))
expect_equal(x$pairs$relationship_between, c(0, 0, NA))
expect_equal(x$pairs$drift_variance, c(1, 1.5, NA))
expect_equal(x$pairs$differentiation_index, c(100, 100, NA))
expect_true(!is.na(x$pairs$relationship_within_2[3]))

# the summary leaves out groups without animals: P2 in period 03
expect_equal(paste(x$summary$period, x$summary$population), c("01 P1", "01 P2", "02 P1", "02 P2", "03 P1"))
expect_equal(x$summary$n, c(2, 2, 2, 2, 3))
expect_equal(x$summary$mean_inbreeding[5], 0.5 / 3)  # I and J at 1/4, K at 0

expect_equal(x$animals$code, small$animal)
expect_equal(x$animals$sire[9], "E")
expect_true(is.na(x$animals$sire[1]))
expect_equal(x$animals$inbreeding[9:11], c(0.25, 0.25, 0))
expect_equal(x$animals$generation[c(1, 5, 9)], c(1, 2, 3))

# --- the program's own --csv figures on the bundled example ---------------

e <- analyse(example, threads = 2)
first <- e$pairs[1, ]
expect_equal(first$period, "1995")
expect_equal(c(first$population_1, first$population_2), c("POP02", "POP01"))
expect_equal(c(first$n_1, first$n_2), c(122, 150))
expect_equal(first$drift_variance, 0.04067051, tolerance = 1e-7)
expect_equal(first$differentiation_index, 68.92060, tolerance = 1e-7)
expect_equal(nrow(e$pairs), 6 * 6)
# a parent without a record is added as a founder after the animals with one
expect_true(nrow(e$animals) > nrow(example))
expect_true(all(is.na(e$animals$population[-seq_len(nrow(example))])))

# --- the same pedigree however it comes -------------------------------------

same_as_example <- list(
  file = analyse(example_file, threads = 2),
  named = analyse(setNames(example, c("id", "s", "d", "breed", "year")), animal = "id", sire = "s",
                  dam = "d", population = "breed", period = "year", threads = 2),
  factors = analyse(as.data.frame(lapply(example, factor)), threads = 2),
  reordered = analyse(example[c(5, 4, 1, 2, 3)], animal = 3, sire = 4, dam = 5, population = 2,
                      period = 1, threads = 2),
  one_thread = analyse(example, threads = 1))
for (way in names(same_as_example)) {
  expect_identical(same_as_example[[way]]$pairs, e$pairs, info = way)
  expect_identical(same_as_example[[way]]$summary, e$summary, info = way)
  expect_identical(same_as_example[[way]]$animals, e$animals, info = way)
}

# --- codes stay text ---------------------------------------------------------

numeric_codes <- data.frame(animal = c(1e6, 2e6, 3e6, 4e6, 5e6, 6e6, 7e6, 8e6, 9e6, 1e7, 1.1e7),
                            sire = c(NA, NA, NA, NA, 1e6, 1e6, 3e6, 3e6, 5e6, 5e6, 5e6),
                            dam = c(NA, NA, NA, NA, 2e6, 2e6, 4e6, 4e6, 6e6, 6e6, 8e6),
                            pop = small$pop,
                            period = c(rep("0968", 4), rep("0969", 4), rep("0970", 3)))
n <- analyse(numeric_codes, threads = 1)
expect_equal(n$animals$code[1], "1000000")
expect_equal(n$animals$sire[5], "1000000")
expect_equal(n$pairs$period, c("0968", "0969", "0970"))
# NA as a parent is an unknown parent, like "0"
expect_equal(n$animals$inbreeding, x$animals$inbreeding)

# --- inbreeding per record -----------------------------------------------------

expect_equal(inbreeding(small, threads = 1), c(rep(0, 8), 0.25, 0.25, 0))
# a repeated animal keeps its first record: both of its rows get that F
repeated <- rbind(small, data.frame(animal = "I", sire = "G", dam = "H", pop = "P1", period = "03"))
expect_equal(inbreeding(repeated, threads = 1), c(rep(0, 8), 0.25, 0.25, 0, 0.25))
expect_equal(length(inbreeding(example_file, threads = 2)), nrow(example))

# --- errors and notes ------------------------------------------------------------

looped <- small
looped$sire[1] <- "I"  # A is a grandparent of I
expect_error(analyse(looped, threads = 1), "loop")
expect_error(analyse(small, period = 6), "6 columns|columns")
expect_error(analyse(small, population = "breed"), "no column named \"breed\"")
expect_error(analyse(small, threads = 0), "threads")
# A herd of a few animals is a pedigree too.
expect_equal(nrow(analyse(small[1:5, ], threads = 1)$animals), 5L)
expect_error(analyse(file.path(tempdir(), "no-such.ped")), "no-such.ped")
expect_error(analyse(list(letters, letters, letters, letters, letters[1:3])), "different lengths")
missing_animal <- small
missing_animal$animal[3] <- NA
expect_error(analyse(missing_animal, threads = 1))
expect_error(analyse(42), "data frame")
# a parent code NA written as text reads as unknown only when it is named so
na_text <- small
na_text$sire[1:4] <- "NA"
expect_silent(analyse(na_text, threads = 1))
expect_warning(analyse(na_text, unknown = "0", threads = 1))
