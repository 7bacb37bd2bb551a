"""A cluster run's plan, begun on the workers while the client loads torch: once the run is
registered, the connecting thread admits the workers, has one list a folder's files, and sends
the planning tasks. The executor takes over what was begun (the pool of workers, the tasks in
flight, the starts heard), or plans afresh what the run turns out to need otherwise. Nothing here
imports torch."""
from __future__ import annotations

import threading
from typing import Any, Callable, Optional

from .remote import STARTED_TOPIC, Task, list_task, plan_task, planning_task, send, start_listener
from .workers import ClusterError, SchedulerSilent, WorkerPool

PLAN_FILES = 50  # files planned by one task at least: a task costs more than opening a file
PLAN_DECODE_BLOCKS = 100_000  # what a planning task may decode of the small files it opens...
RUN_PLAN_DECODE_BLOCKS = 4_000_000  # ...and all of them: their results wait on the client
LOOK_SECONDS = 0.05  # how often the connecting thread looks whether the executor takes over


def plan_groups(files: list[str], threads: int) -> tuple[list[list[str]], int]:
    """The files in groups planned side by side, in input order (two per thread, PLAN_FILES at
    least), and the blocks that each group's task may decode."""
    size = max(PLAN_FILES, -(-len(files) // (2 * threads)))
    groups = [files[start:start + size] for start in range(0, len(files), size)]
    return groups, min(PLAN_DECODE_BLOCKS, RUN_PLAN_DECODE_BLOCKS // max(1, len(groups)))


class EarlyPlan:
    """The plan of a run of `paths` (all of them regular files where `files_known`) begun as the
    client connects: the workers admitted, the listing of the inputs, the planning tasks of the
    files listed with the run's search parameters (`search`). `taking_over` stops it."""

    def __init__(self, paths: list[str], files_known: bool, copies: str, search: dict,
                 skip_unreadable: bool) -> None:
        self.paths = paths
        self.files_known = files_known
        self.copies = copies
        self.search = search
        self.skip_unreadable = skip_unreadable
        self.pool: Optional[WorkerPool] = None
        self.started: dict = {}  # task -> (when its start was heard, worker)
        self.warnings: list[str] = []  # the pool's, for the executor to give
        self.listing: Optional[Task] = None
        self.files: Optional[list[str]] = None  # the files planned
        self.groups: list[Task] = []
        self.taking_over = threading.Event()

    def begin(self, client: Any, address: str, asked: dict) -> None:
        """On the connecting thread. A failure leaves nothing begun: the executor meets it as
        it plans, and says what it is; a scheduler that stops answering ends the run."""
        try:
            self.make(client, address, asked)
        except SchedulerSilent:
            self.drop()
            raise
        except Exception:
            self.drop()

    def make(self, client: Any, address: str, asked: dict) -> None:
        pool = WorkerPool(client, address, self.warnings.append,
                          lambda error: ClusterError(str(error)), asked)
        client.subscribe_topic(STARTED_TOPIC, start_listener(self.started))
        pool.refresh(force=True)
        while not pool.usable:
            if self.taking_over.is_set():
                self.pool = pool
                return
            pool.admission.wait(0.2)
            pool.refresh(force=bool(pool.admission.probes))
        self.pool = pool
        files = list(self.paths) if self.files_known else self.listed(client, pool)
        if files is None:
            return
        groups, budget = plan_groups(files, pool.threads)
        self.groups = [self.sent(client, pool, plan_task, group, False, self.copies, self.search,
                                 budget) for group in groups]
        self.files = files

    def listed(self, client: Any, pool: WorkerPool) -> Optional[list[str]]:
        """The input files as a worker lists them; None where the listing fails or the executor
        takes over first (it takes the listing too)."""
        self.listing = self.sent(client, pool, list_task, self.paths, self.skip_unreadable)
        done = threading.Event()
        self.listing.future.add_done_callback(lambda _: done.set())
        while not done.wait(LOOK_SECONDS):
            if self.taking_over.is_set():
                return None
        if self.listing.future.status != "finished":
            return None
        return list(self.listing.future.result()[1])

    def sent(self, client: Any, pool: WorkerPool, function: Callable, *arguments: Any) -> Task:
        task = planning_task(function, *arguments)
        send(client, task, pool.usable, self.started, function, arguments)
        return task

    def drop(self, tasks: Optional[list[Optional[Task]]] = None) -> None:
        """Cancels `tasks` (by default the listing, the planning tasks and the pool with them)."""
        if tasks is None:
            tasks = [self.listing, *self.groups]
            self.pool, self.listing, self.files, self.groups = None, None, None, []
        for task in tasks:
            try:
                if task is not None and task.future is not None:
                    task.future.cancel()
            except Exception:  # a connection already lost cancels them
                pass
