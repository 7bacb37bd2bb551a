"""A basecaller's loop to copy: a network turns overlapping chunks of each read's signal into CRF
scores a batch at a time, a Decoder turns them into whole reads in the background while the
network runs on, and open_writer writes the reads to BAM.

The network here is small and untrained (fixed random weights) and the signal synthetic: put your
own model and your reads' signal in their place. Run it as

    python examples/basecall.py --reads 20 -o calls.bam
"""
import argparse

import torch

from tovrel_decode import Decoder, open_writer

K = 3  # the network's states are k-mers: 5 * 4**K scores per block
STRIDE = 5  # signal samples per block
CHUNK = 400  # samples per chunk (80 blocks)
OVERLAP = 100  # samples shared by neighbouring chunks of a read (20 blocks)
BATCH = 16  # chunks per network call


class Network(torch.nn.Module):
    """A few 1-D convolutions, the last one striding from samples to blocks, then a linear layer
    to the transition scores of every block."""

    def __init__(self, k):
        super().__init__()
        self.convolutions = torch.nn.Sequential(
            torch.nn.Conv1d(1, 16, 5, padding=2), torch.nn.SiLU(),
            torch.nn.Conv1d(16, 16, 5, padding=2), torch.nn.SiLU(),
            torch.nn.Conv1d(16, 32, 19, stride=STRIDE, padding=9), torch.nn.SiLU())
        self.linear = torch.nn.Linear(32, 5 * 4**k)

    def forward(self, signal):
        """(chunks, samples) -> (chunks, blocks, 5 * 4**k) scores"""
        features = self.convolutions(signal.unsqueeze(1)).transpose(1, 2)
        return 5 * torch.tanh(self.linear(features))


def chunks_of(signal):
    """Overlapping chunks of one read's signal, each starting OVERLAP samples before the previous
    one ends; the last may be shorter."""
    start = 0
    while True:
        yield signal[start:start + CHUNK]
        if start + CHUNK >= len(signal):
            return
        start += CHUNK - OVERLAP


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reads", type=int, default=20)
    parser.add_argument("-o", "--output", default="calls.bam")
    args = parser.parse_args()

    torch.manual_seed(0)
    network = Network(K).eval()
    signals = {f"read_{i}": torch.randn(int(torch.randint(1000, 4000, ())))
               for i in range(args.reads)}
    # Every chunk of every read, in order: (read, signal, is it the read's last chunk?)
    work = []
    for name, signal in signals.items():
        pieces = list(chunks_of(signal))
        work += [(name, piece, i == len(pieces) - 1) for i, piece in enumerate(pieces)]

    with Decoder(beam_size=5) as decoder, \
            open_writer(args.output, command_line="basecall.py") as writer:
        for start in range(0, len(work), BATCH):
            batch = work[start:start + BATCH]
            signal = torch.zeros(len(batch), CHUNK)
            for row, (_, piece, _) in enumerate(batch):
                signal[row, :len(piece)] = piece
            with torch.inference_mode():
                scores = network(signal)
            # The blocks of a short (last) chunk are those its samples fill.
            decoder.submit_batch(scores, [name for name, _, _ in batch],
                                 lengths=[-(-len(piece) // STRIDE) for _, piece, _ in batch],
                                 last=[last for _, _, last in batch], overlap=OVERLAP // STRIDE)
            for read in decoder.ready():  # whatever is finished; the rest decodes meanwhile
                writer.write(read)
        decoder.close()
        for read in decoder.reads():
            writer.write(read)
    print(f"{len(signals)} reads written to {args.output}")


if __name__ == "__main__":
    main()
