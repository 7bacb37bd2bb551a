"""The failures of a run, each shown as one line with its exit status."""
import os


def shown(path: str) -> str:
    """A path as messages show it, on one line: bytes that are not UTF-8, and control characters,
    escaped as \\xNN (tab and newline as \\t and \\n)."""
    text = os.fsencode(path).decode("utf-8", "backslashreplace")
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


class DecodeError(Exception):
    """The base of every failure of a decoding run: ``except DecodeError`` catches them all. The
    command shows one as ``tovrel-decode: error: MESSAGE`` and exits with its `status`."""

    #: The command's exit status for this failure.
    status = 1


class InputError(DecodeError, ValueError):
    """An input that cannot be read or decoded: a file, a chunk the Decoder cannot take, a read
    whose values can only decode to garbage. Also a ValueError."""


def changed_during_run(path: str) -> InputError:
    """The error of an input that changed, or was removed, while the run read it."""
    return InputError(f"{shown(path)} changed or was removed during the run")


class UnreadableFile(InputError):
    """An input file that cannot be opened or read here: missing, not permitted, an I/O error."""


class OutputError(DecodeError):
    """An operating-system error on the output (a full device, a lost mount, a refused
    permission), as "PATH: REASON". Not a ValueError: the input was sound."""

    def __init__(self, path, error):
        if isinstance(error, OSError):
            reason = os.strerror(error.errno) if error.errno else error.strerror or str(error)
        else:
            reason = str(error)
        super().__init__(f"{path}: {reason}")


class UsageError(DecodeError, ValueError):
    """A command line, or an output of open_writer, that cannot be carried out; nothing has been
    read or written. Also a ValueError."""

    #: The command's exit status for a usage error.
    status = 2
