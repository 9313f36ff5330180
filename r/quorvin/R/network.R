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

# The values of x as a numeric matrix with its variables' names.
as_values <- function(x, variables_in) {
  in_rows <- variables_in == "rows"
  where <- function(variable, observation) {
    labels <- if (in_rows) list(rownames(x), colnames(x)) else list(colnames(x), rownames(x))
    label <- function(names, i) if (is.null(names)) "" else sprintf(" (\"%s\")", names[i])
    sprintf("variable %d%s, observation %d%s", variable, label(labels[[1]], variable),
            observation, label(labels[[2]], observation))
  }
  if (is.data.frame(x)) {
    for (j in seq_along(x)) {
      column <- x[[j]]
      if (is.numeric(column) || is.logical(column)) next
      numbers <- suppressWarnings(as.numeric(as.character(column)))
      i <- which(is.na(numbers) & !is.na(column))[1]
      if (is.na(i)) i <- 1L
      cell <- if (in_rows) where(i, j) else where(j, i)
      stop(sprintf("%s: \"%s\" is not a number (the column is %s)", cell,
                   as.character(column[i]), class(column)[1]), call. = FALSE)
    }
    x <- as.matrix(x)
  }
  if (!is.matrix(x) || !(is.numeric(x) || is.logical(x)))
    stop("x must be a numeric matrix or a data frame of numeric columns", call. = FALSE)
  if (anyNA(x)) {
    at <- which(is.na(x) & !is.nan(x), arr.ind = TRUE)
    if (nrow(at) > 0) {
      at <- at[order(if (in_rows) at[, 1] else at[, 2]), , drop = FALSE][1, ]
      cell <- if (in_rows) where(at[1], at[2]) else where(at[2], at[1])
      stop(sprintf("%s: a missing value (NA); fill it in, or leave out the variable", cell),
           call. = FALSE)
    }
  }
  names <- if (in_rows) rownames(x) else colnames(x)
  if (is.null(names)) names <- paste0("V", seq_len(if (in_rows) nrow(x) else ncol(x)))
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
  name <- function(i) ifelse(i >= 0, net$names[i + 1], NA_character_)
  pair <- cbind(found$x + 1, found$y + 1)
  data.frame(variable_1 = net$names[found$x + 1], variable_2 = net$names[found$y + 1],
             spearman = net$spearman[pair], combined = net$combined[pair],
             order = found$order, control_1 = name(found$control_1),
             control_2 = name(found$control_2),
             level = ifelse(found$level >= 0, levels_of_files[found$level + 1], NA_real_),
             stringsAsFactors = FALSE)
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
