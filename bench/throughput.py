"""Absolute decoding throughput on one core: blocks per second for each k, float32 and int8.

A block is one timestep of the network's output (one row of 5 * 4**k scores). "decode" is
`tovrel_tensors.decode_batch` of a batch of chunks from their scores alone (guides, posteriors
and the beam search: the whole work of a read; 8-bit scores widened to float32 first, as the
command and the Decoder widen them, so this column is the float32 one plus the widening);
"search" is `tovrel_tensors.beam_search` of one chunk over stored guides and posteriors (the
8-bit layout: scores and guides as plain values). Every column decodes the same values. One
intra-op thread, medians over rounds run round-robin. The load average is printed before and
after: on a shared machine, read the figures with it.

    .venv/bin/python bench/throughput.py                 # k = 1 ... 6, beam 5
    .venv/bin/python bench/throughput.py --k 5 --beam-size 32
"""
import argparse
import os

import torch

import tovrel_tensors
from bench import median_times  # the same round-robin timing as the main benchmark


def scores_for(k, chunks, blocks, seed):
    """Scores as a bounded network emits them (5 * tanh of normal values), rounded to integers
    so that float32 and int8 hold the same values and every column decodes the same reads."""
    generator = torch.Generator().manual_seed(seed)
    return (5 * torch.tanh(torch.randn(chunks, blocks, 5 * 4**k, generator=generator))).round()


def stored(scores):
    """One chunk's scores with stored guides and posteriors, as float32 and as int8 (the 8-bit
    layout: scores and guides as plain values, posteriors coding (q + 128) / 255). The guides
    are renormalised per block, so that they fit 8 bits."""
    back = tovrel_tensors.backward_scores(scores, normalised=True).round().clamp(-128, 127)
    posts = (tovrel_tensors.posts(scores) * 255 - 128).round()
    floats = (scores, back, (posts + 128) / 255)
    return floats, tuple(t.to(torch.int8) for t in (scores, back, posts))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--k", type=int, nargs="+", default=[1, 2, 3, 4, 5, 6])
    parser.add_argument("--blocks", type=int, default=1000, help="blocks per chunk")
    parser.add_argument("--chunks", type=int, default=4, help="chunks per batch")
    parser.add_argument("--beam-size", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    torch.set_num_threads(1)
    print(f"load average before: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    print(f"one thread; {options.chunks} chunks of {options.blocks} blocks a batch; "
          f"beam {options.beam_size}; medians of {options.rounds} rounds")
    print("blocks per second; decode: decode_batch from scores alone (guides, posteriors, search;"
          " int8 scores widened as the command widens them); search: beam_search over stored"
          " guides and posteriors")
    columns = ["decode float32", "decode int8", "search float32", "search int8"]
    print(f"{'k':>2} " + " ".join(f"{name:>15}" for name in columns))
    for k in options.k:
        scores = scores_for(k, options.chunks, options.blocks, seed=k)
        eight_bit = scores.to(torch.int8)
        floats, ints = stored(scores[0])
        keywords = {"beam_size": options.beam_size}
        t = median_times({
            "decode float32": lambda: tovrel_tensors.decode_batch(scores, **keywords),
            "decode int8": lambda: tovrel_tensors.decode_batch(eight_bit.float(), **keywords),
            "search float32": lambda: tovrel_tensors.beam_search(*floats, **keywords),
            "search int8": lambda: tovrel_tensors.beam_search(*ints, **keywords),
        }, options.rounds)
        blocks = {"decode float32": scores.shape[0] * scores.shape[1],
                  "decode int8": scores.shape[0] * scores.shape[1],
                  "search float32": scores.shape[1], "search int8": scores.shape[1]}
        print(f"{k:>2} " + " ".join(f"{blocks[name] / t[name]:>15,.0f}" for name in columns))
    print(f"load average after: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")


if __name__ == "__main__":
    main()
