"""The record that the vetting entry points build for figures and tables."""


class Result:
    """A figure or table produced by an analysis step.

    ``type`` is "figure" or "table"; ``content`` is the figure object or the
    table (a DataFrame), or None while there is nothing to show.
    """

    def __init__(self, type, content, name=None):
        self.type = type
        self.content = content
        self.name = name

    def to_csv(self, path, index=False):
        """Writes a table record's content to ``path``."""
        if self.type != "table" or self.content is None:
            raise ValueError("only a table record with content can be written as CSV")
        self.content.to_csv(path, index=index)

    def __repr__(self):
        return f"Result(type={self.type!r}, name={self.name!r})"
