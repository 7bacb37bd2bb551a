"""Shared by the tests of tovrel-decode."""
import os
import pty
import shutil
import subprocess
import sys

import torch

import tovrel_tensors
from tovrel_decode import cli

DECODER = shutil.which("tovrel-decode", path=os.path.dirname(sys.executable))


def run_in_process(capsys, *args):
    """Runs the decoder in this process: (status, standard output, standard error)."""
    try:
        status = cli.main([str(arg) for arg in args])
    except SystemExit as exit:  # argparse's usage errors, --help and --version
        status = exit.code
    out, err = capsys.readouterr()
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
