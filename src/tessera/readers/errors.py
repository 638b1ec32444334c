"""The one exception the readers raise for a file or an option they cannot use,
and the text that names the readers' keywords in it."""


class Keyword(str):
    """A keyword of read_table or read_design as a message names it (e.g.
    "choose the sample columns with samples"); see Phrase."""


class Phrase(str):
    """A text that names keywords: as a str it reads with each Keyword as it
    is, and ``worded(name_of)`` gives it with each one as ``name_of(keyword)``
    instead, for a caller that offers the keywords under other names (the
    command line's options)."""

    def __new__(cls, *parts):
        self = super().__new__(cls, "".join(parts))
        self.parts = parts
        return self

    def worded(self, name_of):
        return "".join(name_of(part) if isinstance(part, Keyword) else part
                       for part in self.parts)


class ReadError(ValueError):
    """A table or design file that cannot be read as asked.

    The message is one line: it names the file, the column, row or value at
    fault, and what to give instead, so that the command line can print it
    as it is. The same facts are attributes, for a caller that words the
    refusal its own way, None where they do not apply: ``path`` (the file as
    given), ``column`` (a column of the table or design), ``row`` (the file's
    line, a workbook's row, as the message numbers it), ``group`` (a group of
    the design), ``value`` (the cell, name or option value at fault),
    ``parameter`` (the keyword of read_table or read_design at fault, or
    that would resolve the refusal: samples, index, sheet, decimal, quantity,
    label_column) and ``header`` (the file's columns, on an UnknownFormat).
    """

    def __init__(self, message, *, path=None, column=None, row=None, group=None, value=None,
                 parameter=None, header=None):
        super().__init__(message)
        self.path, self.column, self.row, self.group = path, column, row, group
        self.value, self.parameter, self.header = value, parameter, header

    def worded(self, name_of):
        """The message with each keyword it names as ``name_of(keyword)``."""
        message = self.args[0]
        return message.worded(name_of) if isinstance(message, Phrase) else str(message)


class UnknownFormat(ReadError):
    """A table whose header matches none of the formats, read without
    ``samples`` (parameter "samples": naming the sample columns reads it);
    ``header`` holds its columns to choose them from."""


def listing(names, limit=8):
    """'a', 'b', 'c', ... (N in all): names quoted for a message."""
    names = [str(name) for name in names]
    shown = ", ".join(repr(name) for name in names[:limit])
    return shown + (f", ... ({len(names)} in all)" if len(names) > limit else "")


def plural(n, noun):
    return f"{n} {noun}" + ("" if n == 1 else "s")
