"""The in-process decoding pipeline against plain loops, measured side by side in one run.

    .venv/bin/python bench/pipeline.py [--rounds 3] [--threads 2]

overlap     A stand-in network that takes a fixed time per batch without using the processor (it
            waits, as a GPU would) feeds a Decoder; the same batches through a plain loop that
            calls decode_batch after each network call take the sum of both. Goal: the Decoder's
            wall time at most 1.1 x max(network total, decoding total).
throughput  Decoder.submit_batch and reads() against bare decode_batch on the same chunks.
            Goal: at least 0.95 x.
memory      Peak private memory (RssAnon) of a process that submits 10 x more reads than
            another, through a Decoder with the same max_pending_blocks. Goal: within 10 %.
command     tovrel-decode on a score file, less its start-up (the same command on a one-block
            file), against decode_batch alone on the same chunks. Goal: at most 1.15 x.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

import torch

import tovrel_tensors
from tovrel_decode import Decoder

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from rss import peak_of  # noqa: E402

DECODER = shutil.which("tovrel-decode", path=os.path.dirname(sys.executable))
K = 4
BLOCKS = 1000
BATCH = 8


def batches(count, seed=0):
    generator = torch.Generator().manual_seed(seed)
    return [torch.randn(BATCH, BLOCKS, 5 * 4**K, generator=generator) * 3 for _ in range(count)]


def names(batch_index):
    return [f"read_{batch_index}_{i}" for i in range(BATCH)]


def through_decoder(work, network_seconds=0.0):
    reads = 0
    with Decoder() as decoder:
        for index, batch in enumerate(work):
            time.sleep(network_seconds)  # the network's turn: the decoder works meanwhile
            decoder.submit_batch(batch, names(index))
            reads += len(decoder.ready())
        decoder.close()
        reads += sum(1 for _ in decoder.reads())
    assert reads == len(work) * BATCH


def plain_loop(work, network_seconds=0.0):
    for batch in work:
        time.sleep(network_seconds)
        tovrel_tensors.decode_batch(batch)


def timed(call, *args):
    started = time.perf_counter()
    call(*args)
    return time.perf_counter() - started


def medians(columns, rounds):
    samples = {name: [] for name in columns}
    for _ in range(rounds):
        for name, (call, *args) in columns.items():
            samples[name].append(timed(call, *args))
    return {name: statistics.median(values) for name, values in samples.items()}


MEMORY_RUN = textwrap.dedent("""
    import torch
    from tovrel_decode import Decoder
    torch.set_num_threads({threads})
    generator = torch.Generator().manual_seed(1)
    with Decoder(max_pending_blocks={pending}) as decoder:
        for index in range({batches}):
            batch = torch.randn({batch}, {blocks}, {width}, generator=generator)
            decoder.submit_batch(batch, [f"r{{index}}_{{i}}" for i in range({batch})])
            decoder.ready()
        decoder.close()
        for read in decoder.reads():
            pass
""")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    work = batches(32)
    print(f"k = {K}, batches of {BATCH} chunks of {BLOCKS} blocks, {args.threads} threads, "
          f"medians of {args.rounds} rounds")

    network = timed(plain_loop, work) / len(work)  # as fast as the decoding: the hardest case
    t = medians({"bare": (plain_loop, work), "decoder": (through_decoder, work),
                 "overlapped": (through_decoder, work, network),
                 "plain": (plain_loop, work, network)}, args.rounds)
    network_total = network * len(work)
    print(f"\noverlap: network {network_total:.2f} s (waiting, {network * 1e3:.0f} ms a batch), "
          f"decoding {t['bare']:.2f} s")
    print(f"  Decoder {t['overlapped']:.2f} s = "
          f"{t['overlapped'] / max(network_total, t['bare']):.2f} x max(network, decoding) "
          f"(goal <= 1.1); plain loop {t['plain']:.2f} s = "
          f"{t['plain'] / (network_total + t['bare']):.2f} x their sum")
    print(f"\nthroughput: decode_batch {t['bare']:.2f} s, Decoder {t['decoder']:.2f} s: "
          f"{t['bare'] / t['decoder']:.2f} x (goal >= 0.95)")

    settings = dict(threads=args.threads, pending=8 * BATCH * BLOCKS, batch=BATCH, blocks=BLOCKS,
                    width=5 * 4**K)
    small, _ = peak_of([sys.executable, "-c", MEMORY_RUN.format(batches=3, **settings)])
    large, _ = peak_of([sys.executable, "-c", MEMORY_RUN.format(batches=30, **settings)])
    print(f"\nmemory: {3 * BATCH} reads peak at {small:.0f} MB, {30 * BATCH} reads at "
          f"{large:.0f} MB: {large / small:.2f} x (goal <= 1.1)")

    with tempfile.TemporaryDirectory() as folder:
        # The file of the issue that asked for this row: 24 chunks of 2,000 blocks at k = 5.
        path, tiny = os.path.join(folder, "scores.pt"), os.path.join(folder, "tiny.pt")
        chunks = torch.randn(24, 2000, 5 * 4**5, generator=torch.Generator().manual_seed(2))
        torch.save(chunks, path)
        torch.save(chunks[0, :1].clone(), tiny)
        mapped = list(torch.load(path, mmap=True, weights_only=True))
        output = os.path.join(folder, "reads.fq")
        command = [DECODER, "-q", "--threads", str(args.threads), "-o", output]
        t = medians({"command": (subprocess.run, [*command, path]),
                     "start-up": (subprocess.run, [*command, tiny]),
                     "decode_batch": (tovrel_tensors.decode_batch, mapped)}, 2 * args.rounds)
        work_seconds = t["command"] - t["start-up"]
        print(f"\ncommand: {len(mapped)} chunks ({os.path.getsize(path) / 1e6:.0f} MB): "
              f"tovrel-decode {t['command']:.2f} s, of which start-up {t['start-up']:.2f} s; "
              f"decode_batch alone {t['decode_batch']:.2f} s")
        print(f"  (command - start-up) / decode_batch: {work_seconds / t['decode_batch']:.2f} "
              f"(goal <= 1.15)")


if __name__ == "__main__":
    main()
