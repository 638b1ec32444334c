"""Compiled analysis modules (preprocess, stat, vetting, differential) and their
Python helpers.

Every compiled module keeps a fast route beside a reference route, and its
fast route is reference-exact: it gives the reference route's numbers to the
last bit, or it is not taken. `preprocess` and `vetting` keep their reference
route in full (the per-cell and per-row Python loops of the original code):
their fast routes run only while the module's own names still hold the
objects captured at import, take only the tables they can vouch for (plain
float64/int64 frames) and decline anything else to the reference route;
`vetting`'s tests also check their numbers against the per-row call on a
spread of rows, once per table shape while the library objects both routes
call stay the same. `differential`'s reference route is scipy's one-row call
on each feature's measured values (for paired_t, Wilcoxon and permutation,
`stat.hypothesis_test`, Vetting's per-row test): each call checks its batched
numbers against it on the first row of every batched library call and a
spread of rows, and runs the one-row calls on every row when one differs.
`stat`'s permutation kernel replays permute's random stream; it is taken
once it has reproduced the installed `permute.core.two_sample` on a few
inputs in this process, and only while that function is the one it matched.
The moderated tests have no reference route of this kind: they are held to
limma's numbers by the tests. tests/ proves every route against a
plain-Python twin on many random tables.
"""
