# The significance levels of the result files, strictest last, and their
# names as the files show them.
levels_of_files <- c(0.01, 0.001, 0.0001)
level_labels <- c("0.01", "0.001", "0.0001")

# Runs a call of the engine; its errors show the user's call, not the engine's.
engine_call <- function(expr, call) {
  withCallingHandlers(expr, error = function(e) {
    stop(simpleError(conditionMessage(e), call))
  })
}

# The values of x as a numeric matrix with its variables' names. Values that
# cannot be ranked are refused here, where the labels of both the variable
# and the observation are known.
as_values <- function(x, variables_in) {
  in_rows <- variables_in == "rows"
  count <- if (in_rows) NROW(x) else NCOL(x)
  names <- if (in_rows) rownames(x) else colnames(x)
  if (is.null(names) && count > 0) names <- paste0("V", seq_len(count))
  observations <- if (in_rows) colnames(x) else rownames(x)
  where <- function(variable, observation) {
    label <- if (is.null(observations)) "" else sprintf(" (\"%s\")", observations[observation])
    sprintf("variable %d (\"%s\"), observation %d%s", variable, names[variable], observation,
            label)
  }
  cell <- function(i, j) if (in_rows) where(i, j) else where(j, i)
  if (is.data.frame(x)) {
    for (j in seq_along(x)) {
      column <- x[[j]]
      if (is.numeric(column) || is.logical(column)) next
      if (is.factor(column))
        stop(sprintf("%s: the column is a factor; convert it to numbers or leave it out",
                     cell(1L, j)), call. = FALSE)
      numbers <- suppressWarnings(as.numeric(as.character(column)))
      i <- which(is.na(numbers) & !is.na(column))[1]
      if (is.na(i)) i <- 1L
      stop(sprintf("%s: \"%s\" is not a number (the column is %s)", cell(i, j),
                   as.character(column[i]), class(column)[1]), call. = FALSE)
    }
    x <- as.matrix(x)
  }
  if (!is.matrix(x) || !(is.numeric(x) || is.logical(x)))
    stop("x must be a numeric matrix or a data frame of numeric columns", call. = FALSE)
  if (!all(is.finite(x))) {
    at <- which(!is.finite(x), arr.ind = TRUE)
    at <- at[order(at[, if (in_rows) 1 else 2], at[, if (in_rows) 2 else 1]), , drop = FALSE][1, ]
    value <- x[at[1], at[2]]
    what <- if (is.nan(value)) "a missing value (NaN)"
            else if (is.na(value)) "a missing value (NA)"
            else "an infinite value, of which no rank can be had"
    stop(sprintf("%s: %s; replace it, or leave out the variable", cell(at[1], at[2]), what),
         call. = FALSE)
  }
  storage.mode(x) <- "double"
  list(values = x, names = as.character(names))
}

# The network of x; documented in man/network.Rd.
network <- function(x, variables_in = c("rows", "columns"), threads = NULL, edges = TRUE,
                    progress = interactive()) {
  call <- match.call()
  variables_in <- match.arg(variables_in)
  if (is.null(threads)) {
    threads <- 0L
  } else if (!is.numeric(threads) || length(threads) != 1 || is.na(threads) ||
             threads < 1 || threads != round(threads)) {
    stop("threads must be a whole number of at least 1, or NULL for every core", call. = FALSE)
  }
  data <- as_values(x, variables_in)
  result <- engine_call(
    engine_compute(data$values, variables_in == "rows", data$names, as.integer(threads),
                   isTRUE(edges), isTRUE(progress)),
    call)
  dimnames(result$spearman) <- list(data$names, data$names)
  dimnames(result$combined) <- list(data$names, data$names)
  N <- if (variables_in == "rows") ncol(data$values) else nrow(data$values)
  structure(list(names = data$names, spearman = result$spearman, combined = result$combined,
                 N = N, controls = result$controls),
            class = "quorvin_network")
}

# The program's summary: the counts, and the pairs listed at each level.
print.quorvin_network <- function(x, ...) {
  upper <- x$combined[upper.tri(x$combined)]
  listed <- vapply(levels_of_files, function(level) {
    sum(abs(upper) > engine_critical(x$N, level), na.rm = TRUE)
  }, numeric(1))
  cat(sprintf("quorvin network: %d variables, %d observations, %.0f pairs\n", length(x$names),
              x$N, length(upper)))
  cat("Edges:", paste(sprintf("%.0f at %s", listed, level_labels), collapse = ", "), "\n")
  invisible(x)
}

# The edge table's rows at level as a data frame; documented in man/edges.Rd.
edges <- function(net, level = 0.01) {
  stopifnot(inherits(net, "quorvin_network"))
  found <- engine_call(engine_edges(net$spearman, net$combined, net$controls, net$N, level),
                       match.call())
  # 0-based indices, -1 for none; an NA index gives NA of the vector's type.
  pick <- function(values, i) values[ifelse(i >= 0L, i + 1L, NA_integer_)]
  pair <- cbind(found$x + 1L, found$y + 1L)
  data.frame(variable_1 = net$names[found$x + 1L], variable_2 = net$names[found$y + 1L],
             spearman = net$spearman[pair], combined = net$combined[pair],
             order = found$order, control_1 = pick(net$names, found$control_1),
             control_2 = pick(net$names, found$control_2),
             level = pick(levels_of_files, found$level), stringsAsFactors = FALSE)
}

# The program's result files; documented in man/write_results.Rd.
write_results <- function(net, folder, edges = NULL) {
  stopifnot(inherits(net, "quorvin_network"))
  listed <- engine_call(
    engine_save(net$spearman, net$combined, net$controls, net$N, net$names,
                path.expand(folder), if (is.null(edges)) "" else path.expand(edges)),
    match.call())
  names(listed) <- c(level_labels, "edge_table")
  invisible(listed)
}
