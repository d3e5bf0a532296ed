analyse <- function(pedigree, animal = 1, sire = 2, dam = 3, population = 4, period = 5,
                    unknown = c("0", "NA"), threads = NULL) {
  call <- prepare(pedigree, list(animal, sire, dam, population, period), unknown, threads)
  out <- .Call(velmora_analyse, call$source, call$fields, call$unknown, call$threads, interactive())
  for (note in out$notes) warning(note, call. = FALSE)
  out$notes <- NULL
  out
}

inbreeding <- function(pedigree, animal = 1, sire = 2, dam = 3, population = 4, period = 5,
                       unknown = c("0", "NA"), threads = NULL) {
  call <- prepare(pedigree, list(animal, sire, dam, population, period), unknown, threads)
  out <- .Call(velmora_inbreeding, call$source, call$fields, call$unknown, call$threads, interactive())
  for (note in attr(out, "notes")) warning(note, call. = FALSE)
  attr(out, "notes") <- NULL
  out
}

# The arguments as the compiled code takes them: five character columns
# (or a file name with its fields), the unknown codes as text and the
# threads as a count (0: every CPU this process may use).
prepare <- function(pedigree, fields, unknown, threads) {
  if (is.null(threads)) {
    threads <- 0L
  } else if (!is.numeric(threads) || length(threads) != 1L || is.na(threads) || threads < 1 ||
             threads != round(threads)) {
    stop("'threads' must be NULL or one whole number of at least 1", call. = FALSE)
  }
  unknown <- as.character(unknown)
  labels <- c("animal", "sire", "dam", "population", "period")
  if (is.character(pedigree) && length(pedigree) == 1L && !is.na(pedigree)) {
    return(list(source = path.expand(pedigree), fields = file_fields(fields, labels),
                unknown = unknown, threads = as.integer(threads)))
  }
  if (!is.list(pedigree)) {
    stop("'pedigree' must be a data frame (or a list of columns) or the name of a file", call. = FALSE)
  }
  columns <- lapply(seq_along(fields), function(k) {
    as_codes(pedigree[[column_of(pedigree, fields[[k]], labels[k])]])
  })
  lengths <- vapply(columns, length, 0L)
  if (any(lengths != lengths[1])) {
    stop("the columns have different lengths: ", paste(labels, lengths, collapse = ", "), call. = FALSE)
  }
  list(source = columns, fields = NULL, unknown = unknown, threads = as.integer(threads))
}

# A column of the data frame by position or name.
column_of <- function(pedigree, which, label) {
  if (length(which) != 1L || is.na(which)) {
    stop("'", label, "' must be one column number or name", call. = FALSE)
  }
  if (is.character(which)) {
    if (!which %in% names(pedigree)) {
      stop("'", label, "': the pedigree has no column named \"", which, "\"", call. = FALSE)
    }
    return(which)
  }
  if (!is.numeric(which) || which != round(which) || which < 1 || which > length(pedigree)) {
    stop("'", label, "' = ", which, ": the pedigree has ", length(pedigree), " columns", call. = FALSE)
  }
  as.integer(which)
}

# A file's fields: all five by number, or all five by name from its header.
file_fields <- function(fields, labels) {
  if (all(vapply(fields, is.character, TRUE))) return(vapply(fields, identity, ""))
  if (!all(vapply(fields, function(f) is.numeric(f) && length(f) == 1L && !is.na(f) && f >= 1 &&
                                        f == round(f), TRUE))) {
    stop("the fields of a file are five numbers or five names (", paste(labels, collapse = ", "), ")",
         call. = FALSE)
  }
  as.integer(unlist(fields))
}

# Codes as text: factors by their labels, numbers as written (whole numbers
# never in scientific notation: 1e+06 would be another animal than
# 1000000), NA kept as NA (an unknown parent).
as_codes <- function(x) {
  if (is.character(x)) return(x)
  if (is.factor(x)) return(as.character(x))
  if (is.double(x)) {
    whole <- !is.na(x) & is.finite(x) & x == round(x)
    out <- as.character(x)
    out[whole] <- sprintf("%.0f", x[whole])
    return(out)
  }
  if (is.atomic(x)) return(as.character(x))
  stop("a pedigree column must hold codes (text, numbers or a factor), not ", class(x)[1], call. = FALSE)
}
