"""Simulated nanopore-like signal with its truth, for training and trying the example basecaller.

A pore model gives every k-mer of bases a current level; a read's signal holds, for each base in
turn, the level of the k-mer ending at that base for a random dwell (MIN_DWELL + Poisson(MEAN_EXTRA)
samples), plus Gaussian noise. The truth kept with each read is its sequence and the sample at
which each base's dwell starts (its signal interval runs to the next base's start)."""
from dataclasses import dataclass
import re

import edlib  # type: ignore  # no type information (a compiled module)
import torch

PORE_K = 3  # the bases that set the current level
MIN_DWELL = 5
MEAN_EXTRA = 4.0
NOISE = 0.15
BASES = "ACGT"


def pore_model(seed: int = 1) -> torch.Tensor:
    """One level per k-mer (4**PORE_K), standardised, from a fixed seed."""
    levels = torch.randn(4**PORE_K, generator=torch.Generator().manual_seed(seed))
    return (levels - levels.mean()) / levels.std()


@dataclass
class SimulatedRead:
    bases: torch.Tensor  # base codes 0..3
    signal: torch.Tensor  # float32 samples
    starts: torch.Tensor  # the first sample of each base's dwell, with the end of the signal last

    @property
    def sequence(self) -> str:
        return "".join(BASES[int(b)] for b in self.bases)


def simulate(num_bases: int, generator: torch.Generator, levels: torch.Tensor) -> SimulatedRead:
    """A read of num_bases random bases. The first PORE_K - 1 bases set the first level with the
    next one and have no dwell of their own (they start at sample 0)."""
    bases = torch.randint(0, 4, (num_bases,), generator=generator)
    kmers = torch.zeros(num_bases, dtype=torch.long)
    for j in range(PORE_K):
        kmers[PORE_K - 1:] = kmers[PORE_K - 1:] * 4 + bases[j:num_bases - PORE_K + 1 + j]
    extra = torch.poisson(torch.full((num_bases,), MEAN_EXTRA), generator=generator).long()
    dwell = MIN_DWELL + extra
    dwell[:PORE_K - 1] = 0
    starts = torch.cat([torch.zeros(1, dtype=torch.long), dwell.cumsum(0)])
    signal = levels[kmers].repeat_interleave(dwell)
    signal = signal + NOISE * torch.randn(signal.shape, generator=generator)
    return SimulatedRead(bases, signal.float(), starts)


def chunk_target(read: SimulatedRead, start: int, end: int, k: int) -> torch.Tensor:
    """The bases a CRF over k-mers passes through in samples start .. end - 1: the k - 1 bases
    before the one being read at `start`, that one, and every base that starts before `end`."""
    first = int(torch.searchsorted(read.starts, start, right=True)) - 1
    last = int(torch.searchsorted(read.starts, end - 1, right=True)) - 1
    return read.bases[max(0, first - (k - 1)):last + 1]


def matches(called: str, truth: str) -> tuple[float, list[tuple[int, int]]]:
    """The identity of a called sequence to its truth (matching columns of their global alignment
    over all its columns) and the (called, truth) positions of each match."""
    if not called or not truth:
        return 0.0, []
    cigar: str = edlib.align(called, truth, mode="NW", task="path")["cigar"]
    pairs: list[tuple[int, int]] = []
    i = j = columns = 0
    for count, operation in re.findall(r"(\d+)([=XID])", cigar):
        n = int(count)
        columns += n
        if operation == "=":
            pairs += [(i + m, j + m) for m in range(n)]
        i += n if operation in "=XI" else 0
        j += n if operation in "=XD" else 0
    return len(pairs) / columns, pairs
