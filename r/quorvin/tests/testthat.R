library(testthat)
library(quorvin)

test_check("quorvin")
