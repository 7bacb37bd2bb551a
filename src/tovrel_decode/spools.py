"""The decompressed copies of a cluster run's compressed inputs on a worker: made by the first
task that opens each, shared by the run's later tasks there, given back when the run ends."""
from __future__ import annotations

import collections
import threading
from typing import Any, BinaryIO, Optional

from distributed.diagnostics.plugin import WorkerPlugin


def reopened(spool: BinaryIO) -> BinaryIO:
    """The same unnamed file with a position of its own, for one task."""
    return open(f"/proc/self/fd/{spool.fileno()}", "rb")


class SharedCopies(WorkerPlugin):
    """Registered by the client for one run, under its own name, and removed when the run ends
    (which closes every copy). A worker keeps the latest copies only, two per thread and one
    more: tasks come in input order, and an input's copy is not left to fill $TMPDIR after its
    tasks are done (a copy dropped early is made again where needed)."""

    def setup(self, worker: Any) -> None:
        # Made on the worker: the plugin travels pickled, and a lock does not.
        self.copies: collections.OrderedDict = collections.OrderedDict()
        self.lock = threading.Lock()
        self.keep = 2 * int(getattr(worker.state, "nthreads", 1)) + 1

    def teardown(self, worker: Any) -> None:
        with self.lock:
            for spool in self.copies.values():
                spool.close()
            self.copies.clear()

    def get(self, key: tuple) -> Optional[BinaryIO]:
        with self.lock:
            spool = self.copies.get(key)
            if spool is None:
                return None
            self.copies.move_to_end(key)
            return reopened(spool)

    def put(self, key: tuple, spool: BinaryIO) -> BinaryIO:
        with self.lock:
            kept = self.copies.setdefault(key, spool)  # another task's copy made meanwhile wins
            self.copies.move_to_end(key)
            while len(self.copies) > self.keep:
                self.copies.popitem(last=False)[1].close()
            return reopened(kept)


def registered(name: Optional[str]) -> Optional[SharedCopies]:
    """On a worker: the shared copies of the run registered as `name`, or None."""
    if name is None:
        return None
    try:
        from distributed import get_worker

        plugin = get_worker().plugins.get(name)
    except ValueError:  # not on a worker
        return None
    return plugin if isinstance(plugin, SharedCopies) else None
