# What both reference scripts share: the restated modern prior, and the
# reading and writing of tables (17 significant digits, NA as an empty cell).
# Sourced with `here` set to this folder.

# The prior estimate of limma >= 3.61.8 for unequal residual df, written out
# here (not taken from limma): the sample variances x with df1 degrees of
# freedom follow s0^2 F(df1, d0). With d1 = df1 / 2 and
# logmdigamma(a) = log(a) - digamma(a), e = log(x) + logmdigamma(d1) has mean
# log(s0^2) + logmdigamma(d0 / 2); its weighted mean, weights 1 / trigamma(d1),
# fixes s0^2 given d0. d0 then maximises the log-likelihood of the scaled F
# distribution, searched by R's optimize over p = d2 / (1 + d2), d2 = d0 / 2,
# on (1/2, 0.9998) with its default tolerance.
# Features with df1 < 0.01 (no residual df) carry weight 0; variances below
# 1e-12 times the median positive variance are raised to it. With equal
# positive df the classic estimate stands. The check at the end of
# make_reference.R shows that it reproduces the numbers limma 3.63.2 gives on
# the acut table.
classic_fit <- limma::fitFDist
logmdigamma <- function(a) log(a) - digamma(a)
modern_fit <- function(x, df1, covariate = NULL) {
  stopifnot(is.null(covariate))
  n <- length(x)
  if (length(df1) == 1L) df1 <- rep_len(df1, n)
  positive <- df1[df1 > 0]
  if (identical(min(positive), max(positive))) return(classic_fit(x, df1))
  w0 <- rep_len(1, n)
  w0[is.na(x)] <- 0
  x[is.na(x)] <- 0
  small <- df1 < 0.01
  w0[small] <- 0
  df1[small] <- 1
  informative <- x > 0 & w0 > 0
  if (sum(informative) < 2) return(list(scale = NA_real_, df2 = NA_real_))
  xpos <- pmax(x, 1e-12 * median(x[informative]))
  d1 <- df1 / 2
  e <- log(xpos) + logmdigamma(d1)
  w <- w0 / trigamma(d1)
  emean <- sum(w * e) / sum(w)
  d1x <- d1 * xpos
  objective <- function(p) {
    d2 <- p / (1 - p)
    d2s20 <- d2 * exp(emean - logmdigamma(d2))
    -2 * sum(w0 * (-(d1 + d2) * log1p(d1x / d2s20) - d1 * log(d2s20) +
                     lgamma(d1 + d2) - lgamma(d2)))
  }
  p <- optimize(objective, c(1 / 2, 0.9998))$minimum
  d2 <- p / (1 - p)
  list(scale = exp(emean - logmdigamma(d2)), df2 = 2 * d2)
}

fmt <- function(v) ifelse(is.na(v), "", sprintf("%.17g", v))

write_tsv <- function(frame, name) {
  out <- as.data.frame(lapply(frame, function(col) if (is.numeric(col)) fmt(col) else col),
                       check.names = FALSE, stringsAsFactors = FALSE)
  write.table(out, file.path(here, name), sep = "\t", quote = FALSE, row.names = FALSE,
              na = "")
}

read_matrix <- function(name) {
  m <- read.delim(file.path(here, name), check.names = FALSE, row.names = 1,
                  na.strings = "", colClasses = c("character"))
  ids <- rownames(m)
  m <- sapply(m, as.numeric)
  rownames(m) <- ids
  m
}
