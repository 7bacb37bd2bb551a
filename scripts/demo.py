"""Main job: decode a synthetic chunk whose true base sequence is known, print its FASTQ record and
how close the decoded sequence is to the truth."""
import argparse
import time

import torch

import tovrel

ALPHABET = "ACGT"


def synthetic_chunk(num_bases, k, signal, seed):
    """A random base sequence and a score tensor that favours its path, with noise.

    Each true base is stepped into and then stayed in for a random number of blocks; the true
    transition of every block gets `signal` added on top of Gaussian noise."""
    gen = torch.Generator().manual_seed(seed)
    num_states = 4**k
    bases = torch.randint(0, 4, (num_bases,), generator=gen).tolist()
    dwell = torch.randint(0, 3, (num_bases,), generator=gen).tolist()
    state = int(torch.randint(0, num_states, (1,), generator=gen))
    transitions = []  # score column of the true transition of each block
    for base, stays in zip(bases, dwell):
        previous, state = state, (state * 4) % num_states + base
        transitions.append(5 * state + 1 + (previous * 4) // num_states)
        transitions += [5 * state] * stays
    scores = torch.randn(len(transitions), 5 * num_states, generator=gen)
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


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bases", type=int, default=300, help="length of the true sequence")
    parser.add_argument("--k", type=int, default=5, help="k-mer length of the states")
    parser.add_argument("--signal", type=float, default=2.3, help="score added to the true path")
    parser.add_argument("--beam-size", type=int, default=32)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    scores, truth = synthetic_chunk(args.bases, args.k, args.signal, args.seed)
    num_blocks, num_states = scores.shape[0], scores.shape[1] // 5

    start = time.perf_counter()
    back_guides = torch.tensor(tovrel.backward_scores(scores))
    posts = torch.tensor(tovrel.posts(scores))
    sequence, quality, moves = tovrel.beam_search(
        scores, back_guides, posts, beam_size=args.beam_size)
    seconds = time.perf_counter() - start

    distance = edit_distance(sequence, truth)
    mean_phred = sum(ord(c) - 33 for c in quality) / max(1, len(quality))
    print(f"@synthetic_chunk_{args.seed}\n{sequence}\n+\n{quality}")
    print(f"\n{num_blocks} blocks of {num_states} states (k = {args.k}) decoded in "
          f"{seconds * 1e3:.0f} ms (guides, posteriors and a beam of {args.beam_size})")
    print(f"decoded {len(sequence)} bases, truth {len(truth)}; edit distance {distance}, "
          f"identity {1 - distance / len(truth):.1%}; mean quality {mean_phred:.1f}")


if __name__ == "__main__":
    main()
