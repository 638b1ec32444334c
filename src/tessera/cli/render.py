"""Rendering a run's figures to PNG bytes, two at a time where the system allows.

matplotlib renders with the GIL held, so threads would take turns; on Linux
a forked child process renders part of the figures while this process
renders the rest, which on two or more cores takes the time of the longer
half instead of the sum. The child only computes bytes and hands them back
through a pipe: anything it cannot do (an error, an interrupt, a pickling
problem) makes this process render that figure itself, so the outcome,
errors and warnings included, is the same as rendering everything here.
"""
import io
import os
import pickle
import signal
import sys
import time
import warnings


def png_bytes(fig):
    """The figure as PNG bytes, rendered once: the same bytes can be written
    to the PNG file and put into the report."""
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png")
    return buffer.getvalue()


def can_fork():
    return sys.platform.startswith("linux") and hasattr(os, "fork")


def render(jobs, aside=(), *, fork=None):
    """Renders ``jobs`` {name: make}, each ``make()`` returning a Figure,
    into {name: (PNG bytes, seconds, [warnings])}: the names in ``aside`` in
    a child process while this one renders the others (when ``fork``, by
    default where the system can). The warnings are those rendering raised,
    as (category, message) pairs; the caller re-issues them where it counts
    them."""
    fork = can_fork() if fork is None else fork
    aside = [name for name in jobs if name in aside] if fork else []
    here = [name for name in jobs if name not in aside]
    results = {}
    if aside:
        _warm_up()
    pid, pipe = _start(jobs, aside) if aside else (None, None)
    try:
        for name in here:
            results[name] = _render_one(jobs[name])
        if pid is not None:
            results.update(_collect(pipe))
            os.waitpid(pid, 0)          # it has handed everything over and is leaving
            pid = None
    finally:
        if pipe is not None:
            pipe.close()
        if pid is not None:             # this process failed or was interrupted
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
    for name in aside:
        if results.get(name) is None:      # the child could not render it
            results[name] = _render_one(jobs[name])
    return {name: results[name] for name in jobs}


def _warm_up():
    """Imports matplotlib and loads the font before the fork, so that the two
    processes share that work instead of both doing it."""
    from matplotlib.backends import backend_agg  # noqa: F401 - imported to be shared
    from matplotlib import figure  # noqa: F401

    from tessera.cli.figures import text_inches

    text_inches(["0"], 8)


def _render_one(make):
    start = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        data = png_bytes(make())
    return data, time.perf_counter() - start, [(w.category, str(w.message)) for w in caught]


def _start(jobs, names):
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:   # the child: render, hand the bytes over, leave without cleaning up
        status = 1
        try:
            os.close(read_end)
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            results = {}
            for name in names:
                try:
                    results[name] = _render_one(jobs[name])
                except Exception:  # noqa: BLE001 - the parent renders it again and reports
                    results[name] = None
            try:
                data = pickle.dumps(results)
            except Exception:  # noqa: BLE001 - e.g. a warning category that does not pickle
                data = pickle.dumps({name: None for name in names})
            with os.fdopen(write_end, "wb") as pipe:
                pipe.write(data)
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    return pid, os.fdopen(read_end, "rb")


def _collect(pipe):
    """The child's results; {} when it failed (its figures are rendered here)."""
    chunks = []
    while chunk := pipe.read(1 << 20):
        chunks.append(chunk)
    try:
        return pickle.loads(b"".join(chunks))
    except Exception:  # noqa: BLE001 - a child that died half-way
        return {}
