"""The one exception the readers raise for a file or an option they cannot use."""


class ReadError(ValueError):
    """A table or design file that cannot be read as asked.

    The message is one line: it names the file, the column, row or value at
    fault, and what to give instead, so that the command line can print it
    as it is.
    """


def listing(names, limit=8):
    """'a', 'b', 'c', ... (N in all): names quoted for a message."""
    names = [str(name) for name in names]
    shown = ", ".join(repr(name) for name in names[:limit])
    return shown + (f", ... ({len(names)} in all)" if len(names) > limit else "")


def plural(n, noun):
    return f"{n} {noun}" + ("" if n == 1 else "s")
