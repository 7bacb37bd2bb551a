"""Shared by the tests of tovrel-decode."""
import array
import fcntl
import os
import pty
import shutil
import signal
import subprocess
import sys
import termios
import time

import torch

import tovrel_tensors
from tovrel_decode import cli

DECODER = shutil.which("tovrel-decode", path=os.path.dirname(sys.executable))


def run_in_process(capture, *args):
    """Runs the decoder in this process: (status, standard output, standard error)."""
    try:
        status = cli.main([str(arg) for arg in args])
    except SystemExit as exit:  # argparse's usage errors, --help and --version
        status = exit.code
    out, err = capture.readouterr()
    return subprocess.CompletedProcess(args, status, out, err)


def chunk(blocks, k, seed):
    return torch.randn(blocks, 5 * 4**k, generator=torch.Generator().manual_seed(seed)) * 2


def fastq(records):
    return "".join(f"@{name}\n{sequence}\n+\n{quality}\n" for name, sequence, quality in records)


def expected(names, chunks, **options):
    return fastq((name, *tovrel_tensors.decode(c, **options)[:2]) for name, c in zip(names, chunks))


def on_terminal(args, stdout_too=False):
    """Runs the decoder with standard error (and standard output) on a pseudo-terminal: (exit
    status, what it wrote there)."""
    controller, terminal = pty.openpty()
    process = subprocess.Popen([DECODER, *map(str, args)], stderr=terminal,
                               stdout=terminal if stdout_too else subprocess.DEVNULL)
    os.close(terminal)
    shown = b""
    while True:
        try:
            data = os.read(controller, 4096)
        except OSError:
            break
        if not data:
            break
        shown += data
    process.wait(timeout=300)
    os.close(controller)
    return process.returncode, shown.decode()


def wait_for(condition, what, process=None, timeout=300):
    """Waits until condition() holds (a state of a run, not a time), failing if the process ends
    first or after `timeout` seconds, however busy the machine."""
    deadline = time.monotonic() + timeout
    while not condition():
        assert process is None or process.poll() is None, f"the run ended before {what}"
        assert time.monotonic() < deadline, f"timed out waiting until {what}"
        time.sleep(0.01)


def writing_privately(pid, folder):
    """True once process `pid` has its private output file in `folder` open: it is decoding."""
    try:
        descriptors = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return False
    for descriptor in descriptors:
        try:
            target = os.readlink(f"/proc/{pid}/fd/{descriptor}")
        except OSError:
            continue
        if os.path.dirname(target) == str(folder) and \
                (target.endswith(" (deleted)") or os.path.basename(target).startswith(".tovrel")):
            return True
    return False


def handlers_installed(pid):
    """True once tovrel-decode has installed its handlers (SIGTERM is caught)."""
    try:
        with open(f"/proc/{pid}/status") as status:
            caught = next(int(line.split()[1], 16) for line in status
                          if line.startswith("SigCgt:"))
    except (OSError, StopIteration):
        return False
    return bool(caught & (1 << (signal.SIGTERM - 1)))


def default_signals():
    """For children whose signals a test sends: the defaults, even when the suite runs under
    nohup (an ignored SIGHUP is inherited, and the command keeps it ignored)."""
    for signum in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, signal.SIG_DFL)


def pipe_holds(descriptor):
    """The bytes waiting in a pipe, read from its end `descriptor`."""
    count = array.array("i", [0])
    fcntl.ioctl(descriptor, termios.FIONREAD, count)
    return count[0]
