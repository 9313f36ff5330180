dense <- factor_data(60, 40, seed = 1)

shapes <- local({
  set.seed(2)
  named <- function(x) {
    rownames(x) <- paste0("v", seq_len(nrow(x)))
    x
  }
  constant <- factor_data(10, 20, seed = 3)
  constant[4, ] <- 2.5
  list(dense = dense,
       ties = pmin(pmax(round(factor_data(20, 30, seed = 5)), -1), 1),
       constant = constant,
       n5 = named(matrix(rnorm(6 * 5), 6, 5)),
       n4 = named(matrix(rnorm(6 * 4), 6, 4)),
       v2 = factor_data(2, 12, seed = 4),
       v3 = named(matrix(rnorm(3 * 15), 3, 15)))
})

test_that("results are the program's to the bit on every shape of data", {
  skip_if(program == "", "QUORVIN_BINARY is unset")
  for (shape in names(shapes)) {
    x <- shapes[[shape]]
    expected <- run_program(x)
    net <- network(x)
    folder <- tempfile("r-")
    write_results(net, folder, edges = file.path(folder, "edges.tsv"))
    expect_same_files(folder, expected)
    table <- read_edge_table(file.path(expected, "edges.tsv"))
    found <- edges(net)
    for (column in names(table))
      expect_identical(found[[column]], table[[column]], label = paste(shape, column))
    expect_identical(nrow(table) == 0, shape %in% c("n4", "n5", "v3"), label = shape)
  }
  levels <- read_edge_table(file.path(run_program(dense), "edges.tsv"))$level
  expect_true(all(c(0.01, 0.001, 0.0001, NA) %in% levels))
})

test_that("every form of the same data gives the same network", {
  x <- dense[1:12, 1:15]
  net <- network(x)
  forms <- list(columns = network(t(x), variables_in = "columns"),
                frame_rows = network(as.data.frame(x)),
                frame_columns = network(as.data.frame(t(x)), variables_in = "columns"),
                one_thread = network(x, threads = 1),
                two_threads = network(x, threads = 2))
  for (form in names(forms)) expect_identical(forms[[form]], net, label = form)

  set.seed(6)
  counts <- matrix(sample(0:9, 60, replace = TRUE), 6, 10)
  expect_identical(network(counts), network(counts * 1))
})

test_that("the network is named, square and symmetric with 1 on the diagonal", {
  x <- shapes$constant
  net <- network(x)
  expect_identical(net$names, rownames(x))
  expect_identical(net$N, ncol(x))
  for (m in list(net$spearman, net$combined)) {
    expect_identical(dimnames(m), list(rownames(x), rownames(x)))
    expect_identical(m, t(m))
    expect_identical(diag(unname(m)), rep(1, nrow(x)))
    expect_true(all(is.nan(m[4, -4])))
    expect_false(anyNA(m[-4, -4]))
  }
  unnamed <- network(unname(x))
  expect_identical(unnamed$names, paste0("V", 1:10))
  expect_identical(network(t(x), variables_in = "columns")$names, rownames(x))
  expect_identical(unname(unnamed$combined), unname(net$combined))
})

test_that("values without a rank are refused at their variable and observation", {
  for (bad in list(NA, NaN, Inf, -Inf)) {
    x <- dense[1:8, 1:10]
    x[3, 5] <- bad
    where <- 'variable 3 \\("g3"\\), observation 5\\b'
    refusal(network(x), where)
    refusal(network(t(x), variables_in = "columns"), where)
    refusal(network(unname(x)), "variable 3\\b.*observation 5\\b")
  }
  refusal(network(replace(dense[1:8, 1:10], 30, NA)), "NA")
  refusal(network(replace(dense[1:8, 1:10], 30, NaN)), "NaN")
  refusal(network(replace(dense[1:8, 1:10], 30, -Inf)), "infinite")
})

test_that("columns that are not numbers are refused with their names", {
  frame <- as.data.frame(t(dense[1:4, 1:10]))
  frame$g2 <- as.character(frame$g2)
  frame$g2[3] <- "abc"
  refusal(network(frame, variables_in = "columns"),
          'variable 2 \\("g2"\\), observation 3 \\("s3"\\): "abc".*character')
  frame$g2 <- factor(rep(c("low", "high"), 5))
  refusal(network(frame, variables_in = "columns"), 'variable 2 \\("g2"\\).*factor')

  rows <- as.data.frame(dense[1:4, 1:10])
  rows$s5 <- as.character(rows$s5)
  rows$s5[3] <- "n/a"
  refusal(network(rows), 'variable 3 \\("g3"\\), observation 5 \\("s5"\\): "n/a"')
  refusal(network(matrix(letters[1:9], 3, 3)), "numeric matrix")
})

test_that("data and options that cannot be taken are refused", {
  x <- dense[1:4, 1:10]
  rownames(x) <- c("a", "b", "a", "c")
  refusal(network(x), 'variable 3 \\("a"\\).*variable 1')
  refusal(network(dense[0, , drop = FALSE]), "no variable")
  refusal(network(dense[, 0, drop = FALSE]), "no observation")
  refusal(network(dense, threads = 0), "threads")
  refusal(network(dense, threads = 1.5), "threads")
  refusal(network(dense, variables_in = "diagonal"), "rows")
})

test_that("edges() lists the pairs that pass each level, strictest in the least", {
  skip_if(program == "", "QUORVIN_BINARY is unset")
  net <- network(dense)
  found <- lapply(c(0.01, 0.001, 0.0001), function(level) edges(net, level))
  upper <- which(upper.tri(net$combined), arr.ind = TRUE)
  score <- pmax(abs(net$spearman[upper]), abs(net$combined[upper]))
  keys <- paste(net$names[upper[, 1]], net$names[upper[, 2]])
  for (i in 1:3) {
    listed <- keys %in% pair_keys(found[[i]])
    # One threshold for every pair: nothing weaker listed, nothing stronger left out.
    expect_gt(min(score[listed]), max(score[!listed]))
    if (i > 1) {
      looser <- found[[i - 1]]
      expect_true(all(pair_keys(found[[i]]) %in% pair_keys(looser)))
      # A pair's row does not depend on the level that listed it.
      same <- looser[match(pair_keys(found[[i]]), pair_keys(looser)), ]
      rownames(same) <- NULL
      expect_identical(same, found[[i]])
    }
  }

  e <- found[[1]]
  expect_identical(e$order, as.integer((!is.na(e$control_1)) + (!is.na(e$control_2))))
  expect_false(any(is.na(e$control_1) & !is.na(e$control_2)))
  for (control in list(e$control_1, e$control_2))
    expect_false(any(control == e$variable_1 | control == e$variable_2, na.rm = TRUE))
  expect_true(all(abs(e$combined) <= abs(e$spearman)))
  expect_true(all(is.na(e$level) | e$level %in% c(0.01, 0.001, 0.0001)))
  # The level grows no looser as the combined coefficient grows.
  strictness <- match(e$level, c(0.01, 0.001, 0.0001), nomatch = 0)
  stronger <- outer(abs(e$combined), abs(e$combined), ">")
  expect_false(any(stronger & outer(strictness, strictness, "<")))

  # At each level the pairs that the combined coefficient passes are those of
  # the program's interaction list.
  expected <- run_program(dense)
  listed <- write_results(net, tempfile())
  for (level in c("0.01", "0.001", "0.0001")) {
    sif <- strsplit(readLines(file.path(expected, paste0("Quorvin_network_", level, ".sif"))), " ")
    passing <- e[!is.na(e$level) & e$level <= as.numeric(level), ]
    expect_identical(pair_keys(passing), vapply(sif, function(s) paste(s[1], s[3]), ""))
    expect_identical(unname(listed[level]), as.numeric(nrow(passing)))
  }
  expect_output(print(net), sprintf("Edges: %.0f at 0.01, %.0f at 0.001", listed[1], listed[2]))
})

test_that("edges() refuses a network without controls and a level of no file", {
  refusal(edges(network(dense[1:6, ], edges = FALSE)), "edges = TRUE")
  refusal(edges(network(dense[1:6, ]), level = 0.05), "0.01, 0.001 and 0.0001")
  expect_output(print(network(dense[1:6, ])), "6 variables, 40 observations.*Edges:")
})

test_that("names are written as the program writes them, and kept as given", {
  skip_if(program == "", "QUORVIN_BINARY is unset")
  x <- dense[1:8, 1:20]
  rownames(x) <- c("a-b", "c--d", "e f", "-g h-", "i", "j-k l", "m", "n")
  net <- network(x)
  expect_identical(net$names, rownames(x))
  e <- edges(net)
  expect_true("a-b" %in% e$variable_1)
  expect_true(all(c(e$variable_1, e$variable_2) %in% rownames(x)))
  folder <- tempfile("r-")
  write_results(net, folder, edges = file.path(folder, "edges.tsv"))
  expect_same_files(folder, run_program(x))
})

test_that("names the files cannot hold are refused before anything is written", {
  cases <- list(list(c("a-b", "ab", "c"), 'variable 2.*"ab".*variable 1'),
                list(c("a", "b\"c", "d"), "variable 2.*double quote"))
  for (case in cases) {
    x <- dense[1:3, ]
    rownames(x) <- case[[1]]
    folder <- tempfile("r-")
    refusal(write_results(network(x), folder, edges = file.path(folder, "e.tsv")), case[[2]])
    expect_false(file.exists(folder))
  }
})

test_that("a write that fails leaves earlier results as they were", {
  earlier <- tempfile("r-")
  write_results(network(dense[1:6, ]), earlier, edges = file.path(earlier, "edges.tsv"))
  before <- lapply(file.path(earlier, list.files(earlier)), bytes)
  blocker <- tempfile("file-")
  writeLines("not a folder", blocker)
  other <- network(dense[7:12, ])
  refusal(write_results(other, file.path(blocker, "out")), "out")
  refusal(write_results(other, earlier, edges = file.path(blocker, "edges.tsv")), "edges.tsv")
  expect_identical(lapply(file.path(earlier, list.files(earlier)), bytes), before)
  expect_identical(readLines(blocker), "not a folder")
})

test_that("a time limit stops a long run promptly and the session goes on", {
  small <- dense[1:20, ]
  fresh <- network(small)
  make <- function(V) {
    set.seed(5)
    matrix(rnorm(V * 20), V, 20) %*% matrix(rnorm(20 * 100), 20, 100) + rnorm(V * 100)
  }
  # One thread, whatever the machine; the pairs alone grow as V^2, so four
  # times the variables take at least 16 times as long: well over 3 s.
  expect_gt(system.time(network(make(1000), threads = 1))[["elapsed"]], 3 / 16)
  big <- make(4000)
  start <- proc.time()[["elapsed"]]
  e <- tryCatch({
    setTimeLimit(elapsed = 1, transient = TRUE)
    network(big, threads = 1)
  }, error = identity, finally = setTimeLimit())
  took <- proc.time()[["elapsed"]] - start
  expect_s3_class(e, "error")
  expect_match(conditionMessage(e), "reached elapsed time limit")
  expect_lt(took, 3)
  expect_identical(network(small), fresh)
})

test_that("the Python package gives the same matrices to the bit", {
  skip_if(python == "", "QUORVIN_PYTHON is unset")
  x <- shapes$ties
  x[1:10, ] <- dense[1:10, 1:30]
  values <- tempfile()
  writeBin(as.vector(t(x)), values)
  script <- tempfile(fileext = ".py")
  writeLines(c("import sys, numpy, quorvin",
               "V, N = int(sys.argv[2]), int(sys.argv[3])",
               "x = numpy.fromfile(sys.argv[1]).reshape(V, N)",
               "net = quorvin.network(x, names=['v%d' % i for i in range(V)])",
               "net.spearman.tofile(sys.argv[1] + '.spearman')",
               "net.combined.tofile(sys.argv[1] + '.combined')"), script)
  expect_identical(system2(python, shQuote(c(script, values, nrow(x), ncol(x)))), 0L)
  back <- function(what) {
    matrix(readBin(paste0(values, what), "double", nrow(x)^2), nrow(x), byrow = TRUE)
  }
  net <- network(x)
  expect_identical(back(".combined"), unname(net$combined))
  expect_identical(back(".spearman"), unname(net$spearman))
})
