"""The limits of the process that a run may need raised."""
from __future__ import annotations

import contextlib
import resource


def raise_open_file_limit() -> None:
    """Lets this process hold as many files open as the system allows it: a compressed input's
    copy and an .npy input each hold one or two for the run, and a common default of 1,024 is far
    below the usual hard limit."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 1 << 20 if hard == resource.RLIM_INFINITY else hard
    if soft != resource.RLIM_INFINITY and soft < wanted:
        with contextlib.suppress(ValueError, OSError):  # a system maximum below it: keep it
            resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
