"""The failures of a run, each shown as one line with its exit status."""
import os


class DecodeError(Exception):
    """A failure shown as `tovrel-decode: error: MESSAGE`."""

    status = 1


class InputError(DecodeError, ValueError):
    """An input that cannot be read or decoded."""


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
