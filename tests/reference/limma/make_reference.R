# Reference values of limma's moderated t and F tests on the cd34 table.
#
# Inputs: the matrices written by prepare_matrices.py (run that first), in this
# folder. Run from the repository root:
#   python tests/reference/limma/prepare_matrices.py
#   Rscript tests/reference/limma/make_reference.R
# Needs the Debian 12 packages r-base-core, r-bioc-limma (3.54.1) and
# r-cran-statmod (robust = TRUE). Writes cd34_<groups>_<variant>.tsv and
# hyperparameters.tsv here: 17 significant digits, NA as an empty cell.
#
# Every variant is lmFit on the matrix (a feature is fitted on its finite
# values) with the group-means design model.matrix(~0 + group), contrasts of
# each group against the last one (H - N; H - N and L - N), contrasts.fit,
# eBayes, topTable(sort.by = "none"). limma 3.54.1 has the classic prior
# estimate only; the "modern" variant replaces it by the estimate limma uses
# since 3.61.8 when residual degrees of freedom differ, restated below.
suppressPackageStartupMessages(library(limma))

here <- "tests/reference/limma"
version <- as.character(packageVersion("limma"))

source(file.path(here, "common.R"))  # classic_fit, modern_fit, fmt, write_tsv, read_matrix

samples <- read.delim(file.path(here, "groups.tsv"), colClasses = "character")

run <- function(mat, groups, variant) {
  cols <- samples$sample[samples$group %in% groups]
  mat <- mat[, cols, drop = FALSE]
  group <- factor(samples$group[match(cols, samples$sample)], levels = groups)
  design <- model.matrix(~0 + group)
  colnames(design) <- groups
  last <- groups[length(groups)]
  cm <- sapply(groups[-length(groups)], function(g) as.numeric(groups == g) - as.numeric(groups == last))
  cm <- matrix(cm, nrow = length(groups), dimnames = list(groups, paste0(groups[-length(groups)], "vs", last)))
  fit <- contrasts.fit(lmFit(mat, design), cm)
  trend <- variant %in% c("trend", "trend_robust")
  robust <- variant %in% c("robust", "trend_robust")
  if (variant == "modern") {
    assignInNamespace("fitFDist", modern_fit, "limma")
    on.exit(assignInNamespace("fitFDist", classic_fit, "limma"))
  }
  eb <- suppressWarnings(eBayes(fit, trend = trend, robust = robust))
  counts <- sapply(groups, function(g) rowSums(is.finite(mat[, group == g, drop = FALSE])))
  colnames(counts) <- paste0("n_", groups)
  common <- data.frame(protein_id = rownames(mat), AveExpr = eb$Amean,
                       s2.prior = rep_len(eb$s2.prior, nrow(mat)),
                       df.prior = rep_len(eb$df.prior, nrow(mat)),
                       df.residual = eb$df.residual, sigma = eb$sigma, s2.post = eb$s2.post,
                       df.total = eb$df.total, F = eb$F, F.p.value = eb$F.p.value,
                       check.names = FALSE)
  if (ncol(cm) == 1) {
    top <- topTable(eb, coef = 1, number = Inf, sort.by = "none")
    table <- data.frame(protein_id = rownames(mat), logFC = top$logFC, t = top$t,
                        P.Value = top$P.Value, adj.P.Val = top$adj.P.Val, B = top$B,
                        stdev.unscaled = eb$stdev.unscaled[, 1], check.names = FALSE)
  } else {
    top <- topTable(eb, number = Inf, sort.by = "none")
    stopifnot(all.equal(top$F, eb$F), all.equal(top$P.Value, eb$F.p.value))
    table <- data.frame(protein_id = rownames(mat), F.adj.P.Val = top$adj.P.Val,
                        check.names = FALSE)
    for (k in colnames(cm)) {
      table[[paste0("logFC.", k)]] <- eb$coefficients[, k]
      table[[paste0("t.", k)]] <- eb$t[, k]
      table[[paste0("P.Value.", k)]] <- eb$p.value[, k]
      table[[paste0("B.", k)]] <- eb$lods[, k]
      table[[paste0("stdev.unscaled.", k)]] <- eb$stdev.unscaled[, k]
    }
  }
  table <- merge(common, table, by = "protein_id", sort = FALSE)
  table <- table[match(rownames(mat), table$protein_id), ]
  table <- cbind(table, counts)
  var.prior <- rep_len(NA_real_, 2)
  var.prior[seq_along(eb$var.prior)] <- eb$var.prior
  hyper <- data.frame(
    n_features = nrow(mat),
    s2.prior = if (length(eb$s2.prior) == 1) eb$s2.prior else NA_real_,
    df.prior = if (length(eb$df.prior) == 1) eb$df.prior else NA_real_,
    s2.prior_median = median(eb$s2.prior), df.prior_min = min(eb$df.prior),
    df.prior_max = max(eb$df.prior), var.prior.1 = var.prior[1], var.prior.2 = var.prior[2],
    df.pooled = sum(eb$df.residual, na.rm = TRUE))
  list(table = table, hyper = hyper)
}

jobs <- list(
  list(matrix = "cd34_HN_matrix.tsv", groups = c("H", "N"), dataset = "cd34_HN",
       variants = c("default", "trend", "robust", "trend_robust", "modern")),
  list(matrix = "cd34_HN_sparse_matrix.tsv", groups = c("H", "N"), dataset = "cd34_HN_sparse",
       variants = c("default", "trend", "robust", "trend_robust", "modern")),
  list(matrix = "cd34_HLN_matrix.tsv", groups = c("H", "L", "N"), dataset = "cd34_HLN",
       variants = c("default", "trend", "robust", "trend_robust", "modern")))

hyper <- list()
for (job in jobs) {
  mat <- read_matrix(job$matrix)
  for (variant in job$variants) {
    res <- run(mat, job$groups, variant)
    write_tsv(res$table, sprintf("%s_%s.tsv", job$dataset, variant))
    hyper[[length(hyper) + 1]] <- cbind(data.frame(dataset = job$dataset, variant = variant,
                                                   limma = if (variant == "modern")
                                                     paste0(version, "+modern-prior") else version),
                                        res$hyper)
  }
}
write_tsv(do.call(rbind, hyper), "hyperparameters.tsv")

# The restated modern estimate against limma 3.63.2 on the acut table.
acut <- "/work/shared/data/limma-acut"
m <- as.matrix(read.delim(file.path(acut, "matrix.tsv"), row.names = 1, check.names = FALSE,
                          na.strings = ""))
g <- read.delim(file.path(acut, "groups.tsv"))
group <- factor(g$group[match(colnames(m), g$sample)], levels = c("treat", "ctrl"))
design <- model.matrix(~0 + group)
fit <- contrasts.fit(lmFit(m, design), matrix(c(1, -1), 2))
assignInNamespace("fitFDist", modern_fit, "limma")
eb <- eBayes(fit)
assignInNamespace("fitFDist", classic_fit, "limma")
ref <- read.delim(file.path(acut, "limma_modern_default.tsv"))
stopifnot(abs(eb$df.prior / ref$df.prior[1] - 1) < 1e-9,
          abs(eb$s2.prior / ref$s2.prior[1] - 1) < 1e-9,
          max(abs(eb$p.value[, 1] / ref$P.Value - 1)) < 1e-9)
