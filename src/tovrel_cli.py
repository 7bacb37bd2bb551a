"""tovrel-decode: decode score tensors saved with torch.save into FASTQ.

A score file holds, for one or more chunks (reads), the CRF transition scores of a network: a
tensor of shape (blocks, 5 * 4**k), float32 or int8. The file may hold

- one such tensor (one chunk), or a 3-D tensor (chunks, blocks, 5 * 4**k);
- a list or tuple of such tensors;
- a dict from read name to such a tensor;
- a dict with "scores" (any of the above), and optionally "names" (a list of read names) and
  "back_guides" and "posts" (the same structure, each chunk (blocks + 1, 4**k) or flat); without
  them the guides and posteriors are computed here.

Files are loaded with torch's weights-only loader, which refuses anything that would run code.
"""
import argparse
import collections
import concurrent.futures
import os
import stat
import sys
import tempfile
import time
import warnings

import torch

import tovrel
import tovrel_tensors

PROGRAM = "tovrel-decode"


class InputError(Exception):
    """A score file that cannot be decoded; its message is shown as one line."""


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Decode score tensors (torch.save files) into FASTQ.",
        epilog="Defaults are those of tovrel.beam_search.")
    parser.add_argument("scores", help="score file written with torch.save")
    parser.add_argument("-o", "--output", help="FASTQ file to write (default: standard output)")
    parser.add_argument("--beam-size", type=int, default=5,
                        help="paths kept per block, 1 to 256 (default 5)")
    parser.add_argument("--beam-cut", type=float, default=100.0,
                        help="drop paths more than log(beam_cut) * temperature below the best; "
                             "0 or less: no cut (default 100)")
    parser.add_argument("--temperature", type=float, default=1.0,
                        help="softening of merged paths and scale of the cut (default 1)")
    parser.add_argument("--q-shift", type=float, default=0.0,
                        help="added to every Phred quality (default 0)")
    parser.add_argument("--q-scale", type=float, default=1.0,
                        help="every Phred quality is multiplied by this first (default 1)")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1,
                        help="chunks decoded at once (default: the number of cores)")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="no progress bar and no summary")
    args = parser.parse_args(argv)
    if not 1 <= args.beam_size <= 256:
        parser.error("--beam-size must be between 1 and 256")
    if args.threads < 1:
        parser.error("--threads must be at least 1")
    return args


def load(path):
    if not os.path.exists(path):
        raise InputError(f"{path}: no such file")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # notes on pickle protocols would add lines
            return torch.load(path, map_location="cpu", weights_only=True)
    except Exception as error:  # torch raises many kinds for files it cannot read safely
        lines = [line.strip() for line in str(error).splitlines() if line.strip()]
        refusals = [line for line in lines if "GLOBAL" in line]
        if refusals:
            raise InputError(f"{path}: refused, loading it would run code: {refusals[0]}") from None
        reason = lines[0] if lines else type(error).__name__
        for i, line in enumerate(lines):
            if "Unpickler error" in line:
                reason = line[line.index("Unpickler error") :]
                if line.endswith(":") and i + 1 < len(lines):
                    reason += " " + lines[i + 1]
        raise InputError(f"{path}: not a torch.save file of tensors, lists and dicts "
                         f"({reason})") from None


def split_chunks(value, what):
    """A list of per-chunk tensors from a tensor (3-D: several chunks; otherwise one) or a
    list."""
    if isinstance(value, torch.Tensor):
        return list(value.unbind(0)) if value.dim() == 3 else [value]
    if isinstance(value, (list, tuple)):
        for item in value:
            if not isinstance(item, torch.Tensor):
                raise InputError(f"{what}: expected tensors, found {type(item).__name__}")
        return list(value)
    raise InputError(f"{what}: expected a tensor or a list of tensors, found {type(value).__name__}")


def chunks_of(content):
    """(names, scores, back_guides or None, posts or None) from a loaded file."""
    guides = posts = None
    names = None
    if isinstance(content, dict) and "scores" in content:
        scores = split_chunks(content["scores"], "scores")
        if "names" in content:
            names = [str(name) for name in content["names"]]
        if ("back_guides" in content) != ("posts" in content):
            raise InputError("back_guides and posts must come together")
        if "back_guides" in content:
            guides = split_per_chunk(content["back_guides"], len(scores), "back_guides")
            posts = split_per_chunk(content["posts"], len(scores), "posts")
    elif isinstance(content, dict):
        names = [str(name) for name in content]
        scores = list(content.values())
        for name, item in zip(names, scores):
            if not isinstance(item, torch.Tensor):
                raise InputError(f"read {name}: expected a tensor, found {type(item).__name__}")
    else:
        scores = split_chunks(content, "scores")
    if names is None:
        names = [f"chunk_{i}" for i in range(len(scores))]
    if len(names) != len(scores):
        raise InputError(f"{len(names)} names for {len(scores)} chunks")
    return names, scores, guides, posts


def split_per_chunk(value, count, what):
    if isinstance(value, torch.Tensor) and value.dim() == 3 and count > 1:
        items = list(value.unbind(0))
    elif isinstance(value, torch.Tensor):
        items = [value]
    elif isinstance(value, (list, tuple)) and all(isinstance(v, torch.Tensor) for v in value):
        items = list(value)
    else:
        raise InputError(f"{what}: expected a tensor or a list of tensors")
    if len(items) != count:
        raise InputError(f"{what}: {len(items)} entries for {count} chunks")
    return items


def check_chunk(name, scores, guides, posts):
    """Refuses what the decoder would refuse, before anything is decoded or written."""
    if scores.dim() != 2:
        raise InputError(f"read {name}: scores must be 2-D (blocks, 5 * 4**k), "
                         f"not of shape {tuple(scores.shape)}")
    if scores.dtype not in (torch.float32, torch.int8):
        raise InputError(f"read {name}: scores must be float32 or int8, not {scores.dtype}")
    width = scores.shape[1]
    states = width // 5
    if width % 5 or states < 4 or states & (states - 1) or states.bit_length() % 2 == 0:
        raise InputError(f"read {name}: {width} scores per block is not 5 * 4**k")
    if states > 4096:
        raise InputError(f"read {name}: {states} states; at most 4096 (k <= 6) can be decoded")
    if guides is not None:
        needed = (scores.shape[0] + 1) * states
        for what, tensor in (("back_guides", guides), ("posts", posts)):
            if tensor.dtype != scores.dtype:
                raise InputError(f"read {name}: {what} are {tensor.dtype}, scores {scores.dtype}")
            if tensor.numel() < needed:
                raise InputError(f"read {name}: {what} hold {tensor.numel()} values, "
                                 f"{needed} needed")


def decode_chunk(scores, guides, posts, options):
    if guides is not None:
        return tovrel.beam_search(scores, guides, posts, **options)
    # Without guides, 8-bit scores are decoded as the float values they hold.
    sequence, quality, moves = tovrel_tensors.decode(scores.float(), **options)
    return sequence, quality, moves


def show_progress(args):
    """A progress bar goes to standard error on a terminal, unless --quiet, or the reads go to
    the terminal themselves or into a pipe."""
    if args.quiet or not sys.stderr.isatty():
        return False
    if args.output is not None:
        return True
    try:
        mode = os.fstat(sys.stdout.fileno()).st_mode
    except (OSError, ValueError):
        return False
    return not sys.stdout.isatty() and not stat.S_ISFIFO(mode)


def progress_bar(done, total, started):
    width = 30
    filled = width * done // max(total, 1)
    rate = done / max(time.perf_counter() - started, 1e-9)
    sys.stderr.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total} chunks "
                     f"({rate:.1f}/s)")
    sys.stderr.flush()


def decode_all(names, scores, guides, posts, args, out, progress):
    options = {"beam_size": args.beam_size, "beam_cut": args.beam_cut,
               "q_shift": args.q_shift, "q_scale": args.q_scale,
               "temperature": args.temperature}
    total_bases = 0
    total_quality = 0
    started = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.threads) as pool:
        # A bounded window of chunks in flight, written in input order as they complete.
        pending = collections.deque()
        next_chunk = 0
        for done in range(len(scores)):
            while next_chunk < len(scores) and len(pending) < 4 * args.threads:
                i = next_chunk
                pending.append(pool.submit(
                    decode_chunk, scores[i], guides[i] if guides else None,
                    posts[i] if posts else None, options))
                next_chunk += 1
            sequence, quality, _ = pending.popleft().result()
            out.write(f"@{names[done]}\n{sequence}\n+\n{quality}\n")
            total_bases += len(sequence)
            total_quality += sum(quality.encode()) - 33 * len(quality)
            if progress:
                progress_bar(done + 1, len(scores), started)
    if progress:
        sys.stderr.write("\n")
    return total_bases, total_quality, time.perf_counter() - started


def run(argv):
    args = parse_arguments(argv)
    names, scores, guides, posts = chunks_of(load(args.scores))
    for i, name in enumerate(names):
        check_chunk(name, scores[i], guides[i] if guides else None, posts[i] if posts else None)

    progress = show_progress(args)
    if args.output is None:
        bases, quality, seconds = decode_all(names, scores, guides, posts, args, sys.stdout,
                                             progress)
    else:
        # Written beside the destination and renamed into place only when complete.
        directory = os.path.dirname(os.path.abspath(args.output))
        handle, temporary = tempfile.mkstemp(dir=directory, prefix=".tovrel-decode-")
        try:
            with os.fdopen(handle, "w") as out:
                bases, quality, seconds = decode_all(names, scores, guides, posts, args, out,
                                                     progress)
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)
            os.replace(temporary, args.output)
        except BaseException:
            os.unlink(temporary)
            raise
    if not args.quiet:
        mean = quality / bases if bases else 0.0
        print(f"{PROGRAM}: {len(names)} chunks, {bases} bases, mean quality {mean:.1f}, "
              f"{seconds:.2f} s", file=sys.stderr)


def main(argv=None):
    try:
        run(sys.argv[1:] if argv is None else argv)
    except InputError as error:
        print(f"{PROGRAM}: error: {error}", file=sys.stderr)
        return 1
    except (RuntimeError, ValueError) as error:
        print(f"{PROGRAM}: error: {str(error).splitlines()[0]}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
