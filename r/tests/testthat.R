library(testthat)
library(morvenak)

test_check("morvenak")
