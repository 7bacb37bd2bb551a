"""The decompressed copies of a cluster run's compressed inputs: made once on each machine, in
$TMPDIR, and shared by the run's tasks on every worker there; given back when the run ends. Each
worker starts on the run's first compressed input as soon as the run is registered, while one of
them plans the run: the first to take the copy's lock makes it, the others wait for it. The
scheduler keeps a record of the copies registered and of the run that owns them, so that the
next run of the same machine gives back those of a run that was killed before it could."""
from __future__ import annotations

import asyncio
import collections
import contextlib
import fcntl
import gc
import glob
import hashlib
import os
import socket
import stat
import tempfile
import threading
import time
import uuid
from typing import Any, BinaryIO, Callable, Iterator, Optional

from distributed.diagnostics.plugin import WorkerPlugin

from .errors import InputError
from .limits import raise_open_file_limit
from .sniff import COMPRESSION_SUFFIXES
from .workers import bounded, min_worker_memory

PLUGIN_SECONDS = 10.0  # for the workers to take up, or give back, the run's shared copies
REGISTRY = "tovrel-copies"  # the scheduler's record of the shared copies registered, by name
LOCK_POLL = 0.05  # seconds between looks at a copy's lock held by another worker
LOCK_BEAT = 1.0  # the maker of a copy touches its lock this often...
LOCK_STALE = 15.0  # ...and one untouched this long is held by a stopped worker: make our own
HELD_FILE_BYTES = 4 << 20  # the planned files a worker holds open for its decode tasks...
HELD_BYTES = 64 << 20  # ...and all of them: opening a small file costs more than decoding it
HELD_FILES = 256  # a held file may keep a descriptor, and 1024 is a common limit of a process


def machine_prefix(run: str) -> str:
    """What the names of the run's copies on this machine (and of their locks) start with."""
    return os.path.join(tempfile.gettempdir(), f"{run}-")


def machine_name(run: str, key: tuple) -> str:
    """Where the copy of `key` (path, identity) for the run `run` is kept on this machine."""
    return machine_prefix(run) + hashlib.sha256(repr(key).encode()).hexdigest()[:16]


def opened_if_ours(name: str) -> Optional[BinaryIO]:
    """The file `name`, if it is a regular file of this user (another user could have put any
    content there), else None."""
    try:
        descriptor = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return None
    status = os.fstat(descriptor)
    if not stat.S_ISREG(status.st_mode) or status.st_uid != os.getuid():
        os.close(descriptor)
        return None
    return open(descriptor, "rb")


def give_name(spool: BinaryIO, name: str) -> None:
    """Names the unnamed file `spool` `name` (linkat through /proc following the link, which
    os.link does only when given a folder's descriptor)."""
    folder = os.open(os.path.dirname(name), os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.link(f"/proc/self/fd/{spool.fileno()}", os.path.basename(name), dst_dir_fd=folder)
    finally:
        os.close(folder)


def remove(name: str, spool: Optional[BinaryIO] = None) -> None:
    """Removes the name `name` (only while it names `spool`, where given)."""
    try:
        if spool is None or os.stat(name).st_ino == os.fstat(spool.fileno()).st_ino:
            os.unlink(name)
    except (OSError, ValueError):  # gone already, or the spool closed
        pass


def reopened(spool: BinaryIO) -> BinaryIO:
    """The same unnamed file with a position of its own, for one task."""
    return open(f"/proc/self/fd/{spool.fileno()}", "rb")


def first_compressed(paths: list[str]) -> Optional[str]:
    """The first input file named as compressed (a folder's in the order a run takes them)."""
    from . import inputs

    try:
        files = inputs.expand(paths, skip_unreadable=True)
    except Exception:  # the run's own tasks say what is wrong with its inputs
        return None
    return next((path for path in files if path.lower().endswith(COMPRESSION_SUFFIXES)), None)


class SharedCopies(WorkerPlugin):
    """Registered by the client for one run, under its own name (`run`, which the names of its
    copies on each machine start with), and removed when the run ends (which stops a copy being
    made, closes every copy and removes their names). Only one copy of a file is made on a
    machine at a time: a task that needs it waits for the one being made. A worker keeps the
    latest copies only, two per thread and one more: tasks come in input order, and an input's
    copy is not left to fill $TMPDIR after its tasks are done (a copy dropped early is made again
    where needed)."""

    def __init__(self, paths: Optional[list[str]] = None, run: str = REGISTRY) -> None:
        self.paths = paths or []
        self.run = run

    def setup(self, worker: Any) -> None:
        raise_open_file_limit()  # a worker holds inputs open as the command does
        # Made on the worker: the plugin travels pickled, and locks and threads do not.
        self.copies: collections.OrderedDict = collections.OrderedDict()
        self.lock = threading.Lock()
        self.makers: dict[tuple, threading.Lock] = {}  # key -> held while its copy is made
        self.stopping = threading.Event()  # seen by a copy being made
        threads = int(getattr(worker.state, "nthreads", 1))
        self.keep = 2 * threads + 1
        self.held = HeldSources()
        self.failed = False  # set when a task of this worker fails
        self.ahead = threading.Thread(target=self.copy_ahead, daemon=True,
                                      name="tovrel-copy-ahead")
        # A worker whose memory limit is below what decoding needs gets no tasks: loading torch
        # for a copy would take it past its limit, and Dask would restart it again and again.
        limit = getattr(getattr(worker, "memory_manager", None), "memory_limit", None) or 0
        if not 0 < limit < min_worker_memory(threads):
            self.ahead.start()

    def copy_ahead(self) -> None:
        """Makes the copy of the run's first compressed input before any task asks for it."""
        from . import inputs

        path = first_compressed(self.paths)
        if path is None:
            return
        try:
            inputs.share_copy(path, self)
        except Exception:  # the run's tasks meet the same fault and report it
            pass

    async def teardown(self, worker: Any) -> None:
        self.stopping.set()
        # Off the worker's event loop: a copy being made stops at its next piece.
        if self.ahead.is_alive():
            await asyncio.get_running_loop().run_in_executor(None, self.ahead.join)
        with self.lock:
            for spool in self.copies.values():
                spool.close()
            self.copies.clear()
        self.held.clear()
        for name in glob.glob(glob.escape(machine_prefix(self.run)) + "*"):
            remove(name)
        # A failed task's traceback, kept in cycles, can hold a copy or an input open (and its
        # space in $TMPDIR taken) until a collection, which an idle worker may not run. It takes
        # a tenth of a second with torch loaded, which the run's end would wait for.
        if self.failed:
            gc.collect()

    @contextlib.contextmanager
    def making(self, key: tuple) -> Iterator[None]:
        """Held while the copy of `key` is looked for and, if missing, made."""
        with self.lock:
            maker = self.makers.setdefault(key, threading.Lock())
        with maker:
            yield

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
                old, spool = self.copies.popitem(last=False)
                remove(machine_name(self.run, old), spool)
                spool.close()
            opened = reopened(kept)
            if self.stopping.is_set():  # the run has ended: none is kept
                for copy in self.copies.values():
                    copy.close()
                self.copies.clear()
            return opened

    def on_machine(self, key: tuple, label: str, make: Callable[[], BinaryIO]) -> BinaryIO:
        """The copy of `key` made once on this machine for its workers of the run: the first to
        take its lock makes it and names it whole (an unnamed file given a name), the others
        wait and open it. Where it cannot be shared (a folder of another user's, a file system
        without unnamed files, a maker that has stopped), this worker's copy is its own."""
        name = machine_name(self.run, key)
        try:
            lock = os.open(name + ".lock", os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC,
                           0o600)
        except OSError:
            return make()
        try:
            if self.stopping.is_set():  # teardown may have looked for the run's names already
                remove(name + ".lock")
                raise InputError(f"{label}: its copy was given up (the run ended)")
            if not self.locked(lock, label):  # its maker has stopped: the copy is this worker's own
                return make()
            if os.fstat(lock).st_size:  # marked unshareable: make copies side by side
                fcntl.flock(lock, fcntl.LOCK_UN)
                return make()
            spool = opened_if_ours(name)
            if spool is not None:
                return spool
            with beating(lock):
                spool = make()
            try:
                give_name(spool, name)
            except OSError:  # not shared: the other workers make their own, without waiting
                os.write(lock, b"unshareable")
                return spool
            if self.stopping.is_set():  # the run ended while it was made: teardown has looked
                remove(name, spool)
            return spool
        finally:
            os.close(lock)

    def locked(self, lock: int, label: str) -> bool:
        """Takes the lock of a copy: True once taken, False when the worker that holds it has
        not touched it for LOCK_STALE seconds (stopped, its copy may never come)."""
        last_touch, seen_at = os.fstat(lock).st_mtime_ns, time.monotonic()
        while True:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return True
            except BlockingIOError:
                if self.stopping.wait(LOCK_POLL):
                    raise InputError(f"{label}: its copy was given up (the run ended)") from None
            touch = os.fstat(lock).st_mtime_ns
            if touch != last_touch:
                last_touch, seen_at = touch, time.monotonic()
            elif time.monotonic() - seen_at > LOCK_STALE:
                return False


@contextlib.contextmanager
def beating(lock: int) -> Iterator[None]:
    """Touches the lock `lock` every LOCK_BEAT seconds while a copy is made under it, so that
    the workers waiting for it can tell a slow maker from a stopped one."""
    done = threading.Event()

    def beat() -> None:
        while not done.wait(LOCK_BEAT):
            try:
                os.utime(lock)
            except OSError:
                return

    thread = threading.Thread(target=beat, daemon=True, name="tovrel-copy-beat")
    thread.start()
    try:
        yield
    finally:
        done.set()
        thread.join()


class HeldSources:
    """The small files that this worker opened to plan the run, kept open for its decode tasks
    of the same run, which then need not open them again (a file that is small next to what
    opening it costs, within a budget for all of them); each is let go when a task takes it, and
    the rest when the run ends."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.sources: dict[str, tuple[Any, Any, int]] = {}  # path -> (Source, this worker's view, size)
        self.size = 0

    def hold(self, path: str, source: Any, view: Any, size: int) -> None:
        with self.lock:
            if size <= HELD_FILE_BYTES and self.size + size <= HELD_BYTES and \
                    len(self.sources) < HELD_FILES and path not in self.sources:
                self.sources[path] = (source, view, size)
                self.size += size

    def take(self, path: str) -> Optional[tuple[Any, Any]]:
        """The source held for `path` and this worker's view of it, no longer held."""
        with self.lock:
            held = self.sources.pop(path, None)
            if held is None:
                return None
            source, view, size = held
            self.size -= size
            return source, view

    def clear(self) -> None:
        with self.lock:
            self.sources.clear()
            self.size = 0


class Shared:
    """The shared copies of a run: their name, and the thread registering them, which a run
    interrupted while it waits must let finish before it gives them back (else they would be
    registered after they were given back, and stay)."""

    def __init__(self) -> None:
        self.name = f"tovrel-copies-{uuid.uuid4().hex[:12]}"
        self.registering: Optional[threading.Thread] = None


def share(client: Any, paths: list[str], shared: Shared) -> None:
    """Registers the shared copies `shared` of a run of `paths` on every worker. The copies that
    runs of this machine could not give back (their process was killed) are removed in the
    background."""
    name = shared.name

    def register() -> None:
        client.set_metadata([REGISTRY, name], f"{socket.gethostname()}:{os.getpid()}")
        client.register_plugin(SharedCopies(paths, name), name=name)

    def started(thread: threading.Thread) -> None:
        shared.registering = thread

    # The scheduler keeps the plugin at once and tells every worker; one that does not answer
    # must not hold the run (its tasks, if it ever takes any, make copies of their own).
    bounded(register, PLUGIN_SECONDS, started)
    threading.Thread(target=give_back_stale, args=(client,), daemon=True).start()


def give_back(client: Any, name: str, registering: Optional[threading.Thread] = None) -> None:
    """Removes the shared copies `name` from the workers, which closes them, once the thread
    `registering` them, if any, has ended."""
    def unregister() -> None:
        if registering is not None:
            registering.join(PLUGIN_SECONDS)
        try:
            client.unregister_worker_plugin(name)
        finally:
            forget(client, [name])

    bounded(unregister, PLUGIN_SECONDS)


def forget(client: Any, names: list[str]) -> None:
    """Drops the shared copies `names` from the scheduler's record, on the scheduler itself so
    that the record does not grow with every run (Dask's metadata can be set, not deleted); where
    the scheduler runs no code of ours, marks them given back."""
    def drop(dask_scheduler: Any = None) -> None:
        record = dask_scheduler.get_metadata([REGISTRY], default=None)
        for name in names if isinstance(record, dict) else ():
            record.pop(name, None)

    try:
        client.run_on_scheduler(drop)
    except Exception:
        for name in names:
            client.set_metadata([REGISTRY, name], None)


def stale(registry: dict) -> list[str]:
    """The shared copies in `registry` (name -> "host:process" of the run, or None once given
    back) of runs of this machine whose process is gone. Another user's process that lives
    cannot be told from one that does not: its copies are left alone."""
    names = []
    for name, owner in registry.items():
        host, _, process = str(owner).rpartition(":")
        if owner and host == socket.gethostname() and process.isdigit():
            try:
                os.kill(int(process), 0)
            except ProcessLookupError:
                names.append(name)
            except OSError:
                pass
    return names


def give_back_stale(client: Any) -> None:
    try:
        registry = client.get_metadata([REGISTRY], default={}) or {}
        given_back = [name for name, owner in registry.items() if owner is None]
        if given_back:  # by runs whose scheduler ran no code of ours, or of an older tovrel
            forget(client, given_back)
        names = stale(registry)
    except Exception:  # the connection's own errors: the next run tries again
        return
    for name in names:
        give_back(client, name)


def note_failure() -> None:
    """On a worker: a task failed, so the runs registered here collect garbage as they end."""
    try:
        from distributed import get_worker

        plugins = list(get_worker().plugins.values())
    except ValueError:  # not on a worker
        return
    for plugin in plugins:
        if isinstance(plugin, SharedCopies):
            plugin.failed = True


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

