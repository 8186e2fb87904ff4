# Synthetic meadow data, written by data-raw/meadows.R (see ?meadows): do not edit.
meadows <- as.data.frame(matrix(c(
  8, 3, 4, 4, 2, 0, 2, 3,
  11, 8, 2, 3, 0, 1, 6, 3,
  6, 3, 2, 3, 0, 0, 3, 1,
  8, 3, 5, 5, 1, 2, 9, 0,
  2, 11, 3, 2, 2, 1, 3, 1,
  3, 6, 0, 1, 0, 0, 3, 0,
  8, 6, 3, 4, 1, 1, 2, 1,
  11, 7, 3, 0, 0, 0, 1, 1,
  6, 7, 9, 3, 7, 1, 1, 1,
  5, 11, 4, 2, 4, 1, 4, 1,
  5, 5, 6, 1, 7, 1, 4, 1,
  11, 12, 6, 4, 9, 2, 0, 2,
  9, 4, 14, 3, 3, 3, 0, 0,
  7, 4, 9, 4, 1, 2, 0, 0,
  16, 4, 13, 5, 3, 1, 1, 1,
  8, 1, 6, 5, 3, 4, 1, 0,
  15, 3, 1, 2, 1, 0, 1, 2,
  13, 0, 8, 3, 2, 2, 3, 5,
  18, 3, 4, 1, 4, 3, 0, 1,
  19, 2, 2, 0, 1, 5, 3, 0,
  17, 11, 3, 0, 3, 5, 1, 3,
  18, 11, 2, 1, 2, 2, 6, 2,
  24, 5, 0, 1, 8, 2, 2, 3,
  12, 10, 2, 0, 1, 1, 1, 4
), nrow = 24, byrow = TRUE, dimnames = list(c("q01", "q02", "q03", "q04", "q05", "q06", "q07", "q08", "q09", "q10", "q11", "q12", "q13", "q14", "q15", "q16", "q17", "q18", "q19", "q20", "q21", "q22", "q23", "q24"), c("Bentgrass", "Ryegrass", "Clover", "Yarrow", "Buttercup", "Plantain", "Sorrel", "Daisy"))))
meadows.env <- data.frame(
  farm = factor(rep(c("South", "North", "East"), each = 8), levels = c("South", "North", "East")),
  field = rep(rep(c("field 1", "field 2"), each = 4), 3),
  row.names = rownames(meadows), stringsAsFactors = TRUE)
