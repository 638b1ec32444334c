"""The one exception the readers raise for a file or an option they cannot use."""


class ReadError(ValueError):
    """A table or design file that cannot be read as asked.

    The message is one line: it names the file, the column, row or value at
    fault, and what to give instead, so that the command line can print it
    as it is. A caller that words it its own way reads the fields:
    `parameter` (the reader's argument at fault or to give: "samples",
    "index", "sheet", "decimal", "quantity", "label_column"), `column` (a
    column of the table or design), `group` (a group of the design) and
    `value` (the value at fault); each is None where it does not apply.
    """

    def __init__(self, message, *, parameter=None, column=None, group=None, value=None):
        super().__init__(message)
        self.parameter = parameter
        self.column = column
        self.group = group
        self.value = value


class UnknownFormat(ReadError):
    """A table whose header matches none of the formats read, read without
    `samples` (parameter "samples": naming the sample columns reads it)."""


def listing(names, limit=8):
    """'a', 'b', 'c', ... (N in all): names quoted for a message."""
    names = [str(name) for name in names]
    shown = ", ".join(repr(name) for name in names[:limit])
    return shown + (f", ... ({len(names)} in all)" if len(names) > limit else "")


def plural(n, noun):
    return f"{n} {noun}" + ("" if n == 1 else "s")
