"""A run's files: their names, and writing them as one set.

Every file is written under a temporary name in its own directory and
renamed only when all of them are complete, so a failed or interrupted run
leaves the files of an earlier run as they were. A run owns the names of
OUTPUT_NAMES under its prefix: when it completes, the ones an earlier run
left there and it did not write itself are removed, so that the outputs
under a prefix are always one run's set. No other file is touched.
"""
import contextlib
import os
import secrets
import signal
import threading

from tessera.cli.errors import UsageError

# Every file a run can write, named PREFIX_<name>. Only these names are ever
# removed, and only under the run's own prefix: a registry rather than a
# manifest file beside the outputs, so that a directory holds nothing but the
# outputs, and outputs written before the registry existed are recognised too.
# A new output must be added here.
OUTPUT_NAMES = ("preprocessed.csv", "test.csv", "intensities.png", "pvalues.png", "volcano.png",
                "pca.png", "correlation.png", "missingness.png", "imputed.png", "report.html",
                "run.toml")


def output_path(prefix, name):
    """The path of one output: the run's prefix, an underscore and the name."""
    if name not in OUTPUT_NAMES:
        raise ValueError(f"{name!r} is not in OUTPUT_NAMES; a later run could not remove it")
    return f"{prefix}_{name}"


def check_outputs(paths):
    for path in paths:
        if os.path.isdir(path):
            raise UsageError(f"output {path} is a directory; choose another --out")
        parent = os.path.dirname(path) or "."
        existing = parent
        while not os.path.exists(existing):
            existing = os.path.dirname(existing) or "."
        if not os.path.isdir(existing):
            raise UsageError(f"cannot write {path}: {existing} is a file; choose another --out")
        if not os.access(existing, os.W_OK):
            raise UsageError(f"cannot write {path}: no permission in {existing}; choose "
                             "another --out")


def write_outputs(prefix, writers):
    """Writes {name: write(path)} as PREFIX_<name>, then removes the outputs of
    an earlier run under the same prefix that this run did not write.

    Returns the paths written, the paths removed and [(path, reason)] for the
    earlier outputs that could not be removed. On any failure before the set
    is complete the temporary files are removed and the earlier files kept.
    """
    staged = []
    try:
        for name, write in writers.items():
            path = output_path(prefix, name)
            directory, base = os.path.split(path)
            os.makedirs(directory or ".", exist_ok=True)
            temporary = os.path.join(directory, f".{base}.{secrets.token_hex(4)}.tmp")
            staged.append((temporary, path))
            write(temporary)
        with _interrupt_held():
            for temporary, path in staged:
                os.replace(temporary, path)
            removed, kept = _remove_stale(prefix, writers.keys())
    except BaseException:
        for temporary, _ in staged:   # the ones renamed already are gone
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)
        raise
    return [path for _, path in staged], removed, kept


def _remove_stale(prefix, written):
    removed, kept = [], []
    for name in OUTPUT_NAMES:
        path = output_path(prefix, name)
        # a directory of that name is not a file tessera wrote
        if name in written or not (os.path.isfile(path) or os.path.islink(path)):
            continue
        try:
            os.unlink(path)
        except FileNotFoundError:
            continue
        except OSError as exc:
            kept.append((path, exc.strerror or str(exc)))
            continue
        removed.append(path)
    return removed, kept


@contextlib.contextmanager
def _interrupt_held():
    """Holds Ctrl-C back while the finished files replace the earlier set, so
    that an interrupt cannot leave some of this run's files beside some of an
    earlier run's. The run is complete when the block ends and the command
    exits right after, so an interrupt that arrived meanwhile is dropped.
    Signal handlers can only be set in the main thread; elsewhere the block
    runs as it is."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, lambda signum, frame: None)
    try:
        yield
    finally:
        # None: a handler set outside Python, which cannot be put back from here
        signal.signal(signal.SIGINT,
                      signal.default_int_handler if previous is None else previous)
