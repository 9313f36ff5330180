# The program and a Python with the quorvin package; R CMD check, run from a
# tarball, may have neither, and then the tests that need them skip.
program <- Sys.getenv("QUORVIN_BINARY")
python <- Sys.getenv("QUORVIN_PYTHON")

result_files <- c("Quorvin_matrix.xls",
                  paste0("Quorvin_network_", rep(c("0.01", "0.001", "0.0001"), each = 2),
                         c(".sif", ".net")))

# The edge table's columns with the types that edges() documents; read.delim
# would read a column of NA alone as logical.
edge_classes <- c("character", "character", "numeric", "numeric", "integer", "character",
                  "character", "numeric")

# Pairs of variables, the second following the first with noise that grows
# along the table, so that pairs pass each level, some only before control.
factor_data <- function(V, N, seed) {
  set.seed(seed)
  x <- matrix(rnorm(V * N), V, N)
  noise <- seq(0.3, 2.5, length.out = V %/% 2)
  for (i in seq(2, V, 2)) x[i, ] <- x[i - 1, ] + rnorm(N, sd = noise[i / 2])
  dimnames(x) <- list(paste0("g", seq_len(V)), paste0("s", seq_len(N)))
  x
}

bytes <- function(path) readBin(path, "raw", file.size(path))

# %.17g reads back to the very doubles that R holds.
write_table <- function(x, path) {
  cells <- matrix(sprintf("%.17g", x), nrow(x))
  writeLines(c(paste(c("name", paste0("o", seq_len(ncol(x)))), collapse = "\t"),
               paste(rownames(x), apply(cells, 1, paste, collapse = "\t"), sep = "\t")),
             path)
}

# The program's result folder for x (variables in rows, with rownames),
# holding its edge table as edges.tsv.
run_program <- function(x) {
  dir <- tempfile("program-")
  dir.create(dir)
  write_table(x, file.path(dir, "table.txt"))
  out <- file.path(dir, "out")
  status <- system2(program, shQuote(c("-q", "-o", out, "--edges", file.path(out, "edges.tsv"),
                                      file.path(dir, "table.txt"))),
                    stdout = FALSE, stderr = FALSE)
  stopifnot(status == 0)
  out
}

read_edge_table <- function(path) {
  read.delim(path, na.strings = "", stringsAsFactors = FALSE, colClasses = edge_classes)
}

expect_same_files <- function(actual, expected) {
  expect_identical(sort(list.files(actual)), sort(list.files(expected)))
  for (f in list.files(expected))
    expect_identical(bytes(file.path(actual, f)), bytes(file.path(expected, f)), label = f)
}

# The condition of a refusal, which must be an R error with its own words.
refusal <- function(expr, pattern) {
  e <- tryCatch({ expr; NULL }, error = identity)
  if (!inherits(e, "error")) return(fail("no error"))
  expect_match(conditionMessage(e), pattern)
  expect_no_match(conditionMessage(e), "std::|c\\+\\+ exception", ignore.case = TRUE)
  expect_no_match(paste(deparse(conditionCall(e)), collapse = " "), "engine_")
  invisible(e)
}

pair_keys <- function(e) paste(e$variable_1, e$variable_2)
