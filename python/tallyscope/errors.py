"""@brief The errors a reader raises: a file that is not what it claims to be, and a record the conversion refuses."""


class FormatError(ValueError):
    """A data file or sidecar that cannot be read as one: torn, foreign, or inconsistent.

    The message names the place: `line` (1-based) for text files, `offset` (bytes from the
    start) for raw files; whichever does not apply is None.
    """

    def __init__(self, path, message, line=None, offset=None):
        where = ""
        if line is not None:
            where = f"line {line}: "
        elif offset is not None:
            where = f"byte offset {offset}: "
        super().__init__(f"{path}: {where}{message}")
        self.path = str(path)
        self.line = line
        self.offset = offset


class ConversionError(FormatError):
    """A record the panel's conversion stops at, with the panel's own words for the fault
    ("Overflow", "Type mismatch", ...). tallyscope-replay reports the same fault on stderr,
    drops the rest of what it was decoding and ends with status 65; a reader has no
    "rest of the chunk" to drop meaningfully, so it stops at the first such record."""

    def __init__(self, path, fault, offset, detail=""):
        super().__init__(path, f"the record cannot be converted: {fault}" + (f" ({detail})" if detail else ""),
                         offset=offset)
        self.fault = fault
