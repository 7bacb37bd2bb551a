"""Peak private memory of tovrel-decode on a large score file, against the interpreter with the
same imports: the memory should follow the work in flight, not the file.

    .venv/bin/python bench/command_memory.py [--chunks 48] [--blocks 2000] [--k 5]

Writes a torch.save file of float32 chunks (48 x 2,000 x 5 * 4**5: about 2 GB) into a temporary
folder, decodes it, and samples the child's RssAnon from /proc every few milliseconds.
"""
import argparse
import os
import shutil
import sys
import tempfile

import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from rss import peak_of  # noqa: E402

DECODER = shutil.which("tovrel-decode", path=os.path.dirname(sys.executable))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--chunks", type=int, default=48)
    parser.add_argument("--blocks", type=int, default=2000)
    parser.add_argument("--k", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "scores.pt")
        generator = torch.Generator().manual_seed(0)
        batch = torch.empty(args.chunks, args.blocks, 5 * 4**args.k)
        for chunk in batch:
            chunk.normal_(generator=generator)
        torch.save(batch, path)
        del batch
        size = os.path.getsize(path) / 1e9
        baseline, _ = peak_of([sys.executable, "-c", "import torch, tovrel_tensors, dnaio, "
                               "tovrel_decode.local, tovrel_decode.writers"])
        decoding, seconds = peak_of([DECODER, path, "-o", os.path.join(folder, "o.fq"),
                                           "--threads", "2"])
        print(f"file: {size:.2f} GB, {args.chunks} chunks of {args.blocks} blocks, k = {args.k}")
        print(f"peak RssAnon: decoding {decoding:.0f} MB (goal <= 512), the imports alone "
              f"{baseline:.0f} MB; {seconds:.1f} s")


if __name__ == "__main__":
    main()
