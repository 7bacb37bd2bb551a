"""The limits of a run: those of the process that it may need raised, and the most threads it
may be given."""
from __future__ import annotations

import contextlib
import resource

MAX_THREADS = 1024


def raise_open_file_limit() -> None:
    """Lets this process hold as many files open as the system allows it: a compressed input's
    copy and an .npy input each hold one or two for the run, and a common default of 1,024 is far
    below the usual hard limit."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 1 << 20 if hard == resource.RLIM_INFINITY else hard
    if soft != resource.RLIM_INFINITY and soft < wanted:
        with contextlib.suppress(ValueError, OSError):  # a system maximum below it: keep it
            resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
