"""Shared by the tests of tovrel-decode."""
import os
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
