"""tessera: quantitative proteomics tables, from intensity files to per-feature tests."""

__version__ = "0.1.0"
