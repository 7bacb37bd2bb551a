"""A basecaller's loop to copy: a network turns overlapping chunks of each read's signal into CRF
scores a batch at a time, a Decoder turns them into whole reads in the background while the
network runs on, and open_writer writes the reads to BAM as signal tools read it: the moves with
the network's stride (mv), the samples trimmed from the read's start (ts) and all its samples
(ns), its mean quality (qs), its channel, a read group and this program's @PG line.

The network here is small, trained by train.py with tovrel's CRF loss on signal from the pore
model of simulate.py (the checkpoint basecall-model.pt beside this file), and the reads are
simulated by the same model, so the calls can be checked against the truth: the script reports
their identity and how many matched bases lie in their true signal interval. Put your own model
and your reads' signal in their place. Run it as

    python examples/basecall.py --reads 20 -o calls.bam
"""
import argparse
import os
import sys
from typing import Iterator

import numpy as np
import torch

from tovrel_decode import Decoder, DecodedRead, ReadInfo, open_writer
from tovrel_decode.writers import Program

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)  # the simulator beside this script, however it is run
from simulate import PORE_K, SimulatedRead, matches, pore_model, simulate  # noqa: E402

K = 3  # the network's states are k-mers: 5 * 4**K scores per block
STRIDE = 5  # signal samples per block
CHUNK = 400  # samples per chunk (80 blocks)
OVERLAP = 100  # samples shared by neighbouring chunks of a read (20 blocks)
BATCH = 16  # chunks per network call


class Network(torch.nn.Module):
    """A few 1-D convolutions, the last one striding from samples to blocks, then a linear layer
    to the transition scores of every block."""

    def __init__(self, k: int) -> None:
        super().__init__()
        self.convolutions = torch.nn.Sequential(
            torch.nn.Conv1d(1, 16, 5, padding=2), torch.nn.SiLU(),
            torch.nn.Conv1d(16, 16, 5, padding=2), torch.nn.SiLU(),
            torch.nn.Conv1d(16, 32, 19, stride=STRIDE, padding=9), torch.nn.SiLU())
        self.linear = torch.nn.Linear(32, 5 * 4**k)

    def forward(self, signal: torch.Tensor) -> torch.Tensor:
        """(chunks, samples) -> (chunks, blocks, 5 * 4**k) scores"""
        features = self.convolutions(signal.unsqueeze(1)).transpose(1, 2)
        return 5 * torch.tanh(self.linear(features))


def chunks_of(samples: int) -> Iterator[tuple[int, int, int]]:
    """(start, end, overlap in blocks with the previous chunk) of the chunks of a read's signal
    once trimmed to whole blocks: each starts OVERLAP samples before the previous one ends, and
    the last is aligned to the read's end (overlapping its predecessor by more) unless the read
    is shorter than a chunk."""
    start, previous_end = 0, None
    while True:
        end = min(start + CHUNK, samples)
        if end == samples and previous_end is not None:
            start = max(0, samples - CHUNK)
        yield start, end, 0 if previous_end is None else (previous_end - start) // STRIDE
        if end == samples:
            return
        previous_end, start = end, end - OVERLAP


def placement(read: DecodedRead, truth: SimulatedRead) -> tuple[float, int, int]:
    """The identity of a read to its truth, its bases matched to the truth, and how many of
    those lie in the signal of the true base (their block overlaps the base's dwell)."""
    called = truth.bases[PORE_K - 1:]  # the bases with a dwell of their own
    identity, pairs = matches(read.sequence, "".join("ACGT"[int(b)] for b in called))
    blocks = np.flatnonzero(read.moves)  # the block that emitted each base
    start = read.trimmed_samples or 0
    inside = 0
    for base, true in pairs:
        first = start + STRIDE * int(blocks[base])
        dwell = truth.starts[true + PORE_K - 1:true + PORE_K + 1]
        inside += int(first < int(dwell[1]) and first + STRIDE > int(dwell[0]))
    return identity, inside, len(pairs)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reads", type=int, default=20)
    parser.add_argument("-o", "--output", default="calls.bam")
    parser.add_argument("--model", default=os.path.join(HERE, "basecall-model.pt"),
                        help="a checkpoint written by train.py")
    parser.add_argument("--seed", type=int, default=0, help="of the simulated reads")
    args = parser.parse_args()

    network = Network(K)
    network.load_state_dict(torch.load(args.model)["state_dict"])
    network.eval()
    generator = torch.Generator().manual_seed(args.seed)
    levels = pore_model()
    truths = {f"read_{i}": simulate(int(torch.randint(120, 450, (), generator=generator)),
                                    generator, levels)
              for i in range(args.reads)}
    signals = {name: truth.signal for name, truth in truths.items()}
    # Every chunk of every read, in order: (read, samples, overlap, last chunk?, the read's
    # information with its first chunk). The read's first samples are trimmed to whole blocks.
    work = []
    for channel, (name, signal) in enumerate(signals.items(), 1):
        trimmed = len(signal) % STRIDE
        kept = signal[trimmed:]
        pieces = list(chunks_of(len(kept)))
        info = ReadInfo(tags={"RG": "run1", "ch": channel}, stride=STRIDE,
                        trimmed_samples=trimmed, samples=len(signal))
        work += [(name, kept[start:end], overlap, i == len(pieces) - 1, None if i else info)
                 for i, (start, end, overlap) in enumerate(pieces)]

    results: list[tuple[float, int, int]] = []
    program = Program("basecall", "basecall.py", "0.1", " ".join(["basecall.py", *sys.argv[1:]]))
    with Decoder(beam_size=5, names="sam") as decoder, \
            open_writer(args.output, program=program,
                        read_groups=[{"ID": "run1", "SM": "synthetic"}]) as writer:
        for start in range(0, len(work), BATCH):
            batch = work[start:start + BATCH]
            signal = torch.zeros(len(batch), CHUNK)
            for row, (_, piece, _, _, _) in enumerate(batch):
                signal[row, :len(piece)] = piece
            with torch.inference_mode():
                scores = network(signal)
            # The blocks of a short chunk are those its samples fill.
            decoder.submit_batch(scores, [name for name, *_ in batch],
                                 lengths=[len(piece) // STRIDE for _, piece, *_ in batch],
                                 overlap=[overlap for _, _, overlap, _, _ in batch],
                                 last=[last for *_, last, _ in batch],
                                 info=[info for *_, info in batch])
            for read in decoder.ready():  # whatever is finished; the rest decodes meanwhile
                writer.write(read)
                results.append(placement(read, truths[read.name]))
        decoder.close()
        for read in decoder.reads():
            writer.write(read)
            results.append(placement(read, truths[read.name]))
    identity = sum(r[0] for r in results) / max(1, len(results))
    inside, matched = sum(r[1] for r in results), sum(r[2] for r in results)
    print(f"{len(signals)} reads written to {args.output}: identity to the truth {identity:.3f}; "
          f"{inside} of {matched} matched bases within their true signal interval")


if __name__ == "__main__":
    main()
