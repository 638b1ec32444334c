"""The ``tessera`` command line.

    tessera analyze [FILE] [--group NAME=COL,COL,... ... | --design FILE] [options]

``analyze`` reads a protein table (a search engine's, recognised from its
header, or any table whose sample columns --samples names), runs the
preprocessing steps that are asked for, tests every feature between the
sample groups and writes the cleaned table, the test table and three
figures. Without FILE it runs on the example table that ships with the
package, with settings that suit it.

Everything is checked before the analysis starts, and a step that is asked
for and fails stops it; a problem is reported as one line on standard error
with exit status 2. Outputs are written under temporary names and renamed
only when all of them are complete, so a failed run leaves no partial file
behind; a completed run removes the outputs an earlier run left under the
same prefix that it did not write.

One module per job: ``options`` (the option table and value parsers),
``settings`` (settings files, resolution into a Run), ``inputs`` (the input
table and the design, through tessera.readers), ``pipeline`` (preprocessing
and the test), ``results`` (the test table's columns, significance and
counts), ``progress`` (the lines printed), ``figures``, ``qc`` and
``interactive`` (the figures), ``render`` (figures to PNG bytes), ``record``
(the run's record and run.toml), ``report`` (the HTML page), ``outputs``
(the registry of outputs, writing them as a set) and ``analysis`` (from a
Run to its files); ``errors`` holds UsageError.
"""
import shlex
import sys
import time
from importlib import resources

from tessera.cli.analysis import analyze
from tessera.cli.errors import UsageError, one_line
from tessera.cli.options import build_parser
from tessera.cli.progress import Progress, describe
from tessera.cli.settings import example_path, resolve

__all__ = ["main"]


def main(argv=None):
    """Runs the command line; returns the exit status."""
    started = time.perf_counter()
    argv = sys.argv[1:] if argv is None else list(argv)
    if not argv:
        argv = ["analyze"]
    progress = Progress()
    try:
        try:
            ns = build_parser().parse_args(argv)
        except SystemExit as exc:  # --help and --version
            return exc.code or 0
        with resources.as_file(example_path()) as example_file:
            run = resolve(ns, example_file)
            if run.example:
                progress.note(f"No input file given: analysing the bundled example table "
                              f"{run.file}\nwith its example settings (tessera analyze --help "
                              "shows how to analyse your own file).")
            if run.input_check is not None:
                progress.note(run.input_check)
            progress.note(describe(run))
            analyze(run, progress, command=shlex.join(["tessera", *argv]), started=started)
    except UsageError as exc:
        print(f"tessera: error: {one_line(exc)}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("tessera: interrupted; no output written", file=sys.stderr)
        return 130
    except Exception as exc:  # noqa: BLE001 - one line for the user, not a traceback
        print(f"tessera: error: the analysis failed ({type(exc).__name__}: {one_line(exc)}); "
              "no output written", file=sys.stderr)
        return 1
    return 0
