"""The workers of a cluster that can take tasks: present, running (not paused), with the client's
build of tovrel and torch, enough memory, and not left out (hung, or unable to read an input)."""
from __future__ import annotations

import functools
import importlib.metadata
import math
import threading
import time
import uuid
from typing import Any, Callable, Optional

from .builds import build_differences, build_identity
from .errors import DecodeError

NO_WORKERS_GRACE = 30.0  # seconds without a worker that can take tasks before a run gives up
REFRESH_SECONDS = 1.0  # how often the workers present are looked at again
# A worker that does not answer (stopped, hung) would hold whatever it is given without end: one
# whose heartbeat to the scheduler has not changed for SILENT_SECONDS, or that has not answered
# its versions and build for ANSWER_SECONDS (importing torch on a loaded machine takes a while),
# is left out.
SILENT_SECONDS = 60.0  # a loaded machine has delayed a running worker's heartbeat by 15 s
ANSWER_SECONDS = 60.0
FETCH_SECONDS = 10.0  # to fetch an answer given: its worker may have stopped since
# Dask's own look at the workers waits without end for a scheduler that stops answering (stopped,
# or its machine hung) once connected: one silent this long is given up.
SCHEDULER_SECONDS = 60.0
# What Dask compares with a worker's memory limit is the process's whole resident memory, torch's
# libraries included (bench/cluster_overhead.py measures it): 560 to 770 MB idle after a run, and
# at its peak 660-880, 770-990 and 830-1040 MB with 1, 2 and 4 threads, by machine. The rule holds
# the larger idle figure with a margin, and one window of chunks (16 M float32 scores) per thread;
# Dask pauses it past 80 % of its limit. Below that limit it would pause on its first windows,
# over and over.
RESIDENT_BASE = 860 * 10**6
RESIDENT_PER_THREAD = 67 * 10**6
PAUSE_SHARE = 0.8


def min_worker_memory(threads: int) -> int:
    """In whole megabytes, rounded up, so that the figure a warning names is the one to set."""
    needed = (RESIDENT_BASE + RESIDENT_PER_THREAD * max(1, threads)) / PAUSE_SHARE
    return math.ceil(needed / 10**6) * 10**6


NOT_INSTALLED = "cannot import tovrel_decode: install the project in the workers' environment"
PACKAGES = ("tovrel", "torch")


def bounded(call: Callable[[], Any], seconds: float,
            started: Optional[Callable[[threading.Thread], None]] = None) -> None:
    """Calls `call` on a thread of its own for at most `seconds`; its errors are dropped (the
    connection's own, of several kinds: a lost scheduler is found by what comes next). `started`
    is told the thread before it is waited for."""
    def quietly() -> None:
        try:
            call()
        except Exception:
            pass

    thread = threading.Thread(target=quietly, daemon=True)
    thread.start()
    if started is not None:
        started(thread)
    thread.join(seconds)


def cause_of(error: BaseException) -> str:
    """The first line of an error's text, or what it is when it has none (a timeout)."""
    if is_timeout(error):
        return f"its answer did not come within {FETCH_SECONDS:.0f} s"
    text = str(error)
    return text.splitlines()[0] if text else type(error).__name__


class ClusterError(DecodeError):
    """The cluster cannot do the work: unreachable, lost, or without workers that can."""


class SchedulerSilent(ClusterError):
    """The scheduler, once connected, has stopped answering."""


def is_timeout(error: BaseException) -> bool:
    """Dask's timeouts are asyncio's, which are not the builtin TimeoutError in Python 3.10."""
    return isinstance(error, TimeoutError) or type(error).__name__ == "TimeoutError"


def workers_present(client: Any, address: str) -> dict:
    """The workers the scheduler `address` knows, as it describes them (address -> info);
    SchedulerSilent when it has not answered within SCHEDULER_SECONDS."""
    try:
        identity = client.sync(client.scheduler.identity, n_workers=-1,
                               callback_timeout=SCHEDULER_SECONDS)
    except Exception as error:
        if is_timeout(error):
            raise SchedulerSilent(f"{address}: the scheduler does not answer (no answer within "
                                  f"{SCHEDULER_SECONDS:.0f} s)") from None
        raise
    return dict(identity["workers"])


@functools.lru_cache(maxsize=None)
def installed_versions() -> dict:
    """tovrel and torch as installed here, as Dask's own version report reads them (once)."""
    found: dict[str, Optional[str]] = {}
    for package in PACKAGES:
        try:
            found[package] = importlib.metadata.version(package)
        except importlib.metadata.PackageNotFoundError:
            found[package] = None
    return found


def version_mismatch(worker: str, found: dict, expected: dict) -> str:
    return (f"worker {worker} has tovrel {found['tovrel']} and torch {found['torch']}; this "
            f"client has tovrel {expected['tovrel']} and torch {expected['torch']}")


def megabytes(count: Any) -> str:
    return f"{(count or 0) / 1e6:.0f} MB"


def fits_in_memory(info: dict) -> bool:
    """Whether a worker's memory limit (as the scheduler reports it) holds decoding with its
    threads."""
    limit = info.get("memory_limit") or 0
    return not 0 < limit < min_worker_memory(int(info.get("nthreads", 1)))


def ask(client: Any, address: str) -> tuple:
    """Asks the worker `address` its versions (through Dask's own report) and its build, each as
    a task on it: (when asked, the two answers to come)."""
    from distributed.versions import get_versions

    return (time.monotonic(), *(client.submit(
        question, *arguments, workers=[address], allow_other_workers=False, pure=False,
        key=f"tovrel-{what}-{uuid.uuid4().hex}")
        for what, question, arguments in (("versions", get_versions, [list(PACKAGES)]),
                                          ("build", build_identity, []))))


class Admission:
    """Decides whether each new worker may take tasks: its memory limit must hold decoding with
    its threads, and its versions and build must be the client's. The questions are tasks on the
    worker, looked for at each refresh, so that a worker that does not answer holds nothing up;
    those asked as the client connected (`asked`, address -> what `ask` gave) are not asked
    again. A worker that fails is handed to `leave_out` with the reason."""

    def __init__(self, client: Any, leave_out: Callable[[str, str], None],
                 asked: Optional[dict] = None,
                 scheduler_answers: Callable[[], Any] = lambda: None) -> None:
        self.client = client
        self.leave_out = leave_out
        self.scheduler_answers = scheduler_answers  # raises when it does not
        self.expected = installed_versions()
        self.build = build_identity()
        self.checked: set[str] = set()  # versions and memory fit
        self.undersized: dict[str, str] = {}  # address -> its memory limit, below the minimum
        self.probes: dict[str, tuple] = dict(asked or {})  # address -> (when asked, answers)

    def admit(self, present: dict, left_out: dict, now: float) -> None:
        self.probes = {address: probes for address, probes in self.probes.items()
                       if address in present}
        new = [address for address in present
               if address not in self.checked and address not in left_out]
        if new:
            self.probe(new, present, now)

    def forget(self, worker: str) -> None:
        self.probes.pop(worker, None)

    def probe(self, new: list[str], present: dict, now: float) -> None:
        """Asks new workers their versions and build; the answers are looked for at each
        refresh, for ANSWER_SECONDS."""
        for address in new:
            if not fits_in_memory(present[address]):
                limit = present[address].get("memory_limit") or 0
                threads = int(present[address].get("nthreads", 1))
                self.undersized[address] = (f"{megabytes(limit)} of the "
                                            f"{megabytes(min_worker_memory(threads))} it needs")
                self.leave_out(address, f"worker {address} has a memory limit of "
                                        f"{megabytes(limit)}, less than decoding with {threads} "
                                        f"thread{'s' if threads > 1 else ''} needs (a worker "
                                        "holds up to 770 MB idle and Dask pauses it at 80 % of "
                                        "its limit; give at least "
                                        f"{megabytes(min_worker_memory(threads))})")
                continue
            if address not in self.probes:
                self.probes[address] = ask(self.client, address)
                continue
            asked, *probes = self.probes[address]
            if present[address].get("status") == "paused":  # it runs no task until it resumes
                self.probes[address] = (now, *probes)
            elif all(probe.done() for probe in probes):
                del self.probes[address]
                self.judge(address, *probes)
            elif now - asked > ANSWER_SECONDS:
                self.leave_out(address, f"worker {address} does not answer (asked its versions "
                                        f"and build over {ANSWER_SECONDS:.0f} s ago)")

    def wait(self, seconds: float) -> None:
        """Waits up to `seconds`, less once a question asked is answered."""
        waiting = [probe for _, *probes in self.probes.values() for probe in probes
                   if not probe.done()]
        if not waiting:
            time.sleep(seconds)
            return
        import distributed

        try:
            distributed.wait(waiting, timeout=seconds, return_when="FIRST_COMPLETED")
        except Exception:  # its timeout, or the connection's errors: the refresh finds those
            pass

    def asked(self, present: dict) -> list[str]:
        """The running workers still being asked their versions and build: each answers, or is
        left out, within ANSWER_SECONDS, so the grace does not end before."""
        return [address for address in self.probes
                if present[address].get("status", "running") == "running"]

    def judge(self, address: str, versions: Any, build: Any) -> None:
        """Takes a worker whose versions and build are this client's; leaves out any other."""
        try:
            found = versions.result(timeout=FETCH_SECONDS)["packages"]
        except Exception as error:
            self.scheduler_answers()  # an answer that did not come may be the scheduler's fault
            self.leave_out(address, f"worker {address} cannot be asked its versions "
                                    f"({cause_of(error)})")
            return
        if found.get("tovrel") is None:
            self.leave_out(address, f"a worker ({address}) {NOT_INSTALLED}")
            return
        if {package: found.get(package) for package in PACKAGES} != self.expected:
            self.leave_out(address, version_mismatch(address, found, self.expected))
            return
        try:
            differences = build_differences(build.result(timeout=FETCH_SECONDS), self.build)
        except Exception as error:
            self.scheduler_answers()
            differences = [f"it cannot be asked its build ({cause_of(error)})"]
        if differences:
            self.leave_out(address, f"worker {address} has another build of tovrel "
                                    f"{found['tovrel']} than this client: "
                                    f"{', '.join(differences)}")
        else:
            self.checked.add(address)

class WorkerPool:
    """The workers that take tasks. `refresh` looks at those present (at most once a second
    unless forced): new ones are admitted or left out by an Admission, paused ones do not
    count, gone ones are dropped; without any worker that can take tasks for NO_WORKERS_GRACE
    seconds, the run ends with one line saying why."""

    def __init__(self, client: Any, address: str, warn: Callable[[str], None],
                 lost: Callable[[BaseException], ClusterError],
                 asked: Optional[dict] = None) -> None:
        self.client = client
        self.address = address
        self.warn = warn
        self.lost = lost
        self.admission = Admission(client, self.leave_out, asked, self.present)
        self.silent = False  # whether the scheduler has stopped answering
        self.usable: dict[str, int] = {}  # address -> threads
        self.left_out: dict[str, str] = {}  # address -> why
        self.paused: dict[str, str] = {}  # address -> what it holds
        self.heard: dict[str, tuple] = {}  # address -> (its last heartbeat, when that changed)
        self.last_refresh = 0.0
        self.seen: list[str] = []  # the workers present when last looked at
        self.none_since: Optional[float] = None

    @property
    def threads(self) -> int:
        return max(1, sum(self.usable.values()))

    def refresh(self, force: bool = False) -> None:
        now = time.monotonic()
        if not force and now - self.last_refresh < REFRESH_SECONDS:
            return
        self.last_refresh = now
        present = self.present()
        self.seen = list(present)
        self.listen(present, now)
        self.admission.admit(present, self.left_out, now)
        self.paused = {address: self.holding(info) for address, info in present.items()
                       if address not in self.left_out and info.get("status") == "paused"}
        self.usable = {address: int(info.get("nthreads", 1)) for address, info in present.items()
                       if address in self.admission.checked and address not in self.left_out and
                       info.get("status", "running") == "running"}
        undersized = self.admission.undersized
        if not self.usable and present and undersized.keys() >= present.keys():
            raise ClusterError("no worker can take tasks: every worker's memory limit is below "
                               "what decoding needs: " +
                               "; ".join(f"worker {address} has {undersized[address]}"
                                         for address in present))
        if self.usable:
            self.none_since = None
        elif self.none_since is None:
            self.none_since = now
        elif now - self.none_since > NO_WORKERS_GRACE and not self.admission.asked(present):
            raise ClusterError(self.why_none())

    def present(self) -> dict:
        try:
            return workers_present(self.client, self.address)
        except SchedulerSilent:
            self.silent = True
            raise
        except Exception as error:  # the connection's own errors, of several kinds
            raise self.lost(error) from None

    @staticmethod
    def holding(info: dict) -> str:
        memory = (info.get("metrics") or {}).get("memory")
        return f"it holds {megabytes(memory)} of its {megabytes(info.get('memory_limit'))} limit"

    def listen(self, present: dict, now: float) -> None:
        """Leaves out the workers whose heartbeat has not changed for SILENT_SECONDS (as this
        client's clock counts, which need not agree with the scheduler's)."""
        for address, info in present.items():
            beat = info.get("last_seen")
            heard = self.heard.get(address)
            if heard is None or heard[0] != beat:
                self.heard[address] = (beat, now)
            elif now - heard[1] > SILENT_SECONDS:
                self.leave_out(address, f"worker {address} does not answer (no heartbeat for "
                                        f"over {SILENT_SECONDS:.0f} s)")

    def leave_out(self, worker: str, reason: str) -> None:
        if worker in self.left_out:
            return
        self.left_out[worker] = reason
        self.usable.pop(worker, None)
        self.admission.forget(worker)  # its questions are dropped with it
        self.warn(f"{reason}; it gets no tasks")

    def undecided(self) -> list[str]:
        """The workers present that are not left out: they may yet take tasks."""
        return [address for address in self.seen if address not in self.left_out]

    def why_none(self) -> str:
        causes = [f"worker {address} is paused for memory ({holding})"
                  for address, holding in self.paused.items()]
        causes += list(reversed(self.left_out.values()))
        if not causes:
            return f"{self.address}: the scheduler has no workers"
        more = f"; and {len(causes) - 3} more" if len(causes) > 3 else ""
        return "no worker can take tasks: " + "; ".join(causes[:3]) + more

    def wait_for_usable(self) -> None:
        self.refresh(force=True)
        while not self.usable:
            # Workers answer their questions within a fraction of a second: a run does not
            # wait for the next look of once a second to hear them.
            self.admission.wait(0.2)
            self.refresh(force=bool(self.admission.probes))
