# Reference values of limma's moderated tests of contrasts on designs beyond
# group means, on the cd34 matrices: a batch (donor) covariate, a paired
# design, a numeric covariate with an intercept, three contrasts and their F,
# features whose measured values leave a coefficient inestimable, treat's
# fold-change threshold, a block correlation (duplicateCorrelation), sample
# weights (arrayWeights, gene by gene and REML) and both together.
#
# Inputs: the matrices written by prepare_matrices.py and designs.tsv written
# by prepare_designs.py, in this folder. Run from the repository root:
#   python tests/reference/limma/prepare_matrices.py
#   python tests/reference/limma/prepare_designs.py
#   Rscript tests/reference/limma/make_contrasts_reference.R
# Needs the Debian 12 packages r-base-core, r-bioc-limma (3.54.1) and
# r-cran-statmod. Writes contrasts_<case>_<variant>.tsv and
# contrasts_hyperparameters.tsv here: 17 significant digits, NA as an empty
# cell.
#
# Every case is lmFit on the matrix (a feature is fitted on its finite
# values) with model.matrix(formula, designs) (donor a factor, depth numeric),
# makeContrasts, contrasts.fit, eBayes (or treat), topTable/topTreat
# (sort.by = "none") per contrast and p.adjust(F.p.value, "BH") for the F.
# "modern" replaces limma 3.54.1's prior estimate by the one of limma >=
# 3.61.8 (common.R).
suppressPackageStartupMessages(library(limma))

here <- "tests/reference/limma"
version <- as.character(packageVersion("limma"))
source(file.path(here, "common.R"))  # classic_fit, modern_fit, fmt, write_tsv, read_matrix

designs <- read.delim(file.path(here, "designs.tsv"), colClasses = c("character", "character",
                                                                      "character", "numeric"))

run <- function(case, variant) {
  mat <- read_matrix(case$matrix)
  if (isTRUE(case$complete)) mat <- mat[rowSums(is.finite(mat)) == ncol(mat), , drop = FALSE]
  info <- designs[match(colnames(mat), designs$sample), ]
  info$donor <- factor(info$donor)
  design <- model.matrix(as.formula(case$formula), info)
  cm <- do.call(makeContrasts, c(case$contrasts, list(levels = design)))
  weights <- NULL
  if (isTRUE(case$weights)) weights <- arrayWeights(mat, design)
  correlation <- NA_real_
  if (isTRUE(case$block)) {
    correlation <- duplicateCorrelation(mat, design, block = info$donor,
                                        weights = weights)$consensus.correlation
    fit <- lmFit(mat, design, block = info$donor, correlation = correlation, weights = weights)
  } else {
    fit <- lmFit(mat, design, weights = weights)
  }
  fit <- contrasts.fit(fit, cm)
  trend <- variant %in% c("trend", "trend_robust")
  robust <- variant %in% c("robust", "trend_robust")
  if (variant == "modern") {
    assignInNamespace("fitFDist", modern_fit, "limma")
    on.exit(assignInNamespace("fitFDist", classic_fit, "limma"))
  }
  eb <- suppressWarnings(eBayes(fit, trend = trend, robust = robust))
  tested <- eb
  if (!is.null(case$lfc)) tested <- suppressWarnings(treat(fit, lfc = case$lfc, trend = trend,
                                                           robust = robust))
  table <- data.frame(protein_id = rownames(mat), AveExpr = eb$Amean,
                      df.residual = eb$df.residual, sigma = eb$sigma, s2.post = eb$s2.post,
                      df.total = eb$df.total, check.names = FALSE)
  for (k in colnames(cm)) {
    top <- if (is.null(case$lfc)) topTable(eb, coef = k, number = Inf, sort.by = "none")
           else topTreat(tested, coef = k, number = Inf, sort.by = "none")
    table[[paste0("logFC.", k)]] <- top$logFC
    table[[paste0("t.", k)]] <- top$t
    table[[paste0("P.Value.", k)]] <- top$P.Value
    table[[paste0("adj.P.Val.", k)]] <- top$adj.P.Val
    if (is.null(case$lfc)) table[[paste0("B.", k)]] <- top$B
  }
  if (ncol(cm) > 1) {
    table$F <- eb$F
    table$F.p.value <- eb$F.p.value
    table$F.adj.P.Val <- p.adjust(eb$F.p.value, method = "BH")
  }
  w <- if (is.null(weights)) rep(NA_real_, ncol(mat)) else weights
  hyper <- data.frame(case = case$name, variant = variant,
                      limma = if (variant == "modern") paste0(version, "+modern-prior") else version,
                      n_features = nrow(mat),
                      s2.prior = if (length(eb$s2.prior) == 1) eb$s2.prior else NA_real_,
                      df.prior = if (length(eb$df.prior) == 1) eb$df.prior else NA_real_,
                      block.correlation = correlation,
                      weights = paste(fmt(w), collapse = ";"),
                      samples = paste(colnames(mat), collapse = ";"))
  list(table = table, hyper = hyper)
}

batch <- list(HvsN = "groupH - groupN", LvsN = "groupL - groupN",
              HvsLN = "groupH - (groupL + groupN)/2")
two <- list(HvsN = "groupH - groupN", LvsN = "groupL - groupN")
cases <- list(
  list(name = "batch", matrix = "cd34_HLN_matrix.tsv", formula = "~0 + group + donor",
       contrasts = batch, variants = c("default", "modern", "trend", "robust", "trend_robust")),
  list(name = "paired", matrix = "cd34_HN_matrix.tsv", formula = "~0 + group + donor",
       contrasts = list(HvsN = "groupH - groupN"), variants = c("default", "modern")),
  list(name = "covariate", matrix = "cd34_HLN_matrix.tsv", formula = "~group + depth",
       contrasts = list(LvsH = "groupL", NvsL = "groupN - groupL", depth = "depth"),
       variants = c("default", "modern")),
  list(name = "inestimable", matrix = "cd34_HN_sparse_matrix.tsv", formula = "~0 + group + donor",
       contrasts = list(HvsN = "groupH - groupN", donor2 = "donor2"),
       variants = c("default", "modern")),
  list(name = "treat", matrix = "cd34_HLN_matrix.tsv", formula = "~0 + group + donor",
       contrasts = batch, lfc = 1, variants = c("default", "modern")),
  list(name = "block", matrix = "cd34_HLN_matrix.tsv", formula = "~0 + group", block = TRUE,
       contrasts = two, variants = c("default", "modern")),
  list(name = "weights", matrix = "cd34_HLN_matrix.tsv", formula = "~0 + group", weights = TRUE,
       contrasts = two, variants = c("default", "modern")),
  list(name = "weights_complete", matrix = "cd34_HLN_matrix.tsv", formula = "~0 + group",
       weights = TRUE, complete = TRUE, contrasts = two, variants = c("default")),
  list(name = "block_weights", matrix = "cd34_HLN_matrix.tsv", formula = "~0 + group",
       block = TRUE, weights = TRUE, contrasts = two, variants = c("default")))

hyper <- list()
for (case in cases) {
  for (variant in case$variants) {
    res <- run(case, variant)
    write_tsv(res$table, sprintf("contrasts_%s_%s.tsv", case$name, variant))
    hyper[[length(hyper) + 1]] <- res$hyper
  }
}
write_tsv(do.call(rbind, hyper), "contrasts_hyperparameters.tsv")
