"""A demo data set of synthetic chunks with known true sequences, and how close decoded reads are.

    demo_data.py make FILE [--chunks N] [--bases N] [--k K] [--signal S] [--seed S]
        writes a torch.save file {"scores": [float32 tensors], "names": [...]} and the true
        sequences beside it, as FASTA in FILE.truth.fasta
    demo_data.py compare FILE FASTQ
        prints the identity of each decoded read to its true sequence, and overall
"""
import argparse
import os

import dnaio
import torch

ALPHABET = "ACGT"


def synthetic_chunk(num_bases, k, signal, generator):
    """A random base sequence and a score tensor that favours its path, with noise.

    Each true base is stepped into and then stayed in for a random number of blocks; the true
    transition of every block gets `signal` added on top of Gaussian noise."""
    num_states = 4**k
    bases = torch.randint(0, 4, (num_bases,), generator=generator).tolist()
    dwell = torch.randint(0, 3, (num_bases,), generator=generator).tolist()
    state = int(torch.randint(0, num_states, (1,), generator=generator))
    transitions = []  # score column of the true transition of each block
    for base, stays in zip(bases, dwell):
        previous, state = state, (state * 4) % num_states + base
        transitions.append(5 * state + 1 + (previous * 4) // num_states)
        transitions += [5 * state] * stays
    scores = torch.randn(len(transitions), 5 * num_states, generator=generator)
    scores[torch.arange(len(transitions)), torch.tensor(transitions)] += signal
    return scores, "".join(ALPHABET[b] for b in bases)


def edit_distance(a, b):
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        previous_diagonal, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            previous_diagonal, row[j] = row[j], min(
                row[j] + 1, row[j - 1] + 1, previous_diagonal + (ca != cb))
    return row[-1]


def make(args):
    generator = torch.Generator().manual_seed(args.seed)
    scores, names, truth = [], [], []
    for i in range(args.chunks):
        chunk, sequence = synthetic_chunk(args.bases + 20 * i, args.k, args.signal, generator)
        scores.append(chunk)
        names.append(f"read_{i:03d}")
        truth.append(sequence)
    os.makedirs(os.path.dirname(os.path.abspath(args.file)), exist_ok=True)
    torch.save({"scores": scores, "names": names}, args.file)
    with dnaio.open(truth_path(args.file), mode="w", fileformat="fasta") as fasta:
        for name, sequence in zip(names, truth):
            fasta.write(dnaio.SequenceRecord(name, sequence))
    blocks = sum(chunk.shape[0] for chunk in scores)
    print(f"demo data: {args.chunks} chunks, {blocks} blocks of {4**args.k} states "
          f"(k = {args.k}) in {args.file}")


def truth_path(path):
    return f"{path}.truth.fasta"


def read_records(path):
    with dnaio.open(path) as records:
        return {record.name: (record.sequence, record.qualities) for record in records}


def compare(args):
    truth = read_records(truth_path(args.file))
    reads = read_records(args.fastq)
    total_distance = total_length = 0
    for name, (sequence, _) in truth.items():
        decoded, quality = reads[name]
        distance = edit_distance(decoded, sequence)
        total_distance += distance
        total_length += len(sequence)
        mean_quality = sum(ord(c) - 33 for c in quality) / max(1, len(quality))
        print(f"{name}: {len(decoded)} bases decoded, {len(sequence)} true, identity "
              f"{1 - distance / len(sequence):.1%}, mean quality {mean_quality:.1f}")
    print(f"all reads: identity {1 - total_distance / total_length:.2%} "
          f"({total_distance} edits over {total_length} true bases)")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    make_parser = commands.add_parser("make", help="write a demo score file")
    make_parser.add_argument("file")
    make_parser.add_argument("--chunks", type=int, default=8)
    make_parser.add_argument("--bases", type=int, default=300, help="true bases in the first chunk")
    make_parser.add_argument("--k", type=int, default=5, help="k-mer length of the states")
    make_parser.add_argument("--signal", type=float, default=2.3,
                             help="score added to the true path (more: easier)")
    make_parser.add_argument("--seed", type=int, default=1)
    compare_parser = commands.add_parser("compare", help="identity of decoded reads to the truth")
    compare_parser.add_argument("file")
    compare_parser.add_argument("fastq")
    args = parser.parse_args()
    make(args) if args.command == "make" else compare(args)


if __name__ == "__main__":
    main()
