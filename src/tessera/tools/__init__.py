"""Compiled analysis modules (preprocess, stat, vetting) and their Python helpers."""
