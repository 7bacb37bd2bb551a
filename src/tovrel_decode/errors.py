"""The failures of a run, each shown as one line with its exit status."""
import os


def shown(path: str) -> str:
    """A path as messages show it, on one line: bytes that are not UTF-8, and control characters,
    escaped as \\xNN (tab and newline as \\t and \\n)."""
    text = os.fsencode(path).decode("utf-8", "backslashreplace")
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


class DecodeError(Exception):
    """A failure shown as `tovrel-decode: error: MESSAGE`."""

    status = 1


class InputError(DecodeError, ValueError):
    """An input that cannot be read or decoded."""


class UnreadableFile(InputError):
    """An input file that cannot be opened or read here: missing, not permitted, an I/O error."""


class OutputError(DecodeError):
    """An operating-system error on the output."""

    def __init__(self, path, error):
        if isinstance(error, OSError):
            reason = os.strerror(error.errno) if error.errno else error.strerror or str(error)
        else:
            reason = str(error)
        super().__init__(f"{path}: {reason}")


class UsageError(DecodeError, ValueError):
    """A command line that cannot be carried out; nothing has been read or written."""

    status = 2
