"""Where a run's files go, and writing them as one set."""
import os
import secrets

from tessera.cli.errors import UsageError


def output_path(prefix, name):
    """The path of one output: the run's prefix, an underscore and the name."""
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


def write_all(jobs):
    """Writes every (path, write) job to a temporary name in the path's own
    directory, then renames them all into place; on any failure the temporary
    files are removed and no output of this run is left behind."""
    staged = []
    try:
        for path, write in jobs:
            directory, name = os.path.split(path)
            os.makedirs(directory or ".", exist_ok=True)
            temporary = os.path.join(directory, f".{name}.{secrets.token_hex(4)}.tmp")
            staged.append((temporary, path))
            write(temporary)
        for temporary, path in staged:
            os.replace(temporary, path)
    except BaseException:
        for temporary, _ in staged:
            try:
                os.unlink(temporary)
            except FileNotFoundError:
                pass
        raise
