"""The problems the command line reports as one line on standard error, and
the helpers that word them."""


class UsageError(Exception):
    """A problem the user can fix: reported as one line, exit status 2."""


def one_line(exc):
    """The message of an exception or warning, whitespace folded onto one line."""
    return " ".join(str(exc).split()) or type(exc).__name__


def count(n, noun):
    """'1 column', '3 columns'."""
    return f"{n} {noun}" + ("" if n == 1 else "s")


def listing(names, limit=12):
    """The first names of a list, for the hint of a message."""
    names = [str(name) for name in names]
    more = f", ... ({len(names)} in all)" if len(names) > limit else ""
    return ", ".join(names[:limit]) + more
