"""tovrel-decode: decode CRF score files into reads (FASTQ, FASTA, SAM or BAM)."""
import argparse
import concurrent.futures
import math
import os
import shlex
import signal
import stat
import sys
import time

import torch

import tovrel_tensors

from . import inputs, reads, writers
from .errors import DecodeError, InputError, OutputError, UsageError

PROGRAM = "tovrel-decode"

EPILOG = """\
input layouts (torch.save files, loaded weights-only, or numpy files, never unpickled):
  a tensor (blocks, 5 * 4**k): one chunk; a tensor (chunks, blocks, 5 * 4**k): several
  a list of such tensors (their lengths may differ)
  a dict from read name to such a tensor
  a dict with "scores" (either of the above) and optionally "names" (one str per chunk),
    "back_guides" and "posts" (one tensor per chunk) and "overlap" (int, in blocks: consecutive
    chunks of the same name are one read, joined); any other key is refused
  .npy: a 2-D chunk or a 3-D batch; .npz: each array a chunk named by its key, or a batch
    whose chunks are named KEY_0, KEY_1, ...
  Scores are float32, float16, bfloat16 (widened exactly), float64 (rounded to float32) or int8.
  Unnamed chunks are named chunk_N, N counting all chunks of the run from 0.

formats (from the output name, or --format): .fastq/.fq (the default, and for standard output),
  .fasta/.fa, either with .gz, .sam, .bam (unaligned records with the moves in the mo tag)

exit status: 0 done; 1 bad input or an error on the output (nothing is written); 2 usage error;
  128 + N after signal N (SIGINT, SIGTERM, SIGHUP), with no partial output left behind;
  141 when the reader of a pipe closes it early (nothing is printed)
"""


class Interrupted(BaseException):
    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def finite(text):
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, not {text}")
    return value


def temperature(text):
    value = finite(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be at least 0, not {text}")
    return value


def version_text():
    return f"{PROGRAM} (tovrel {tovrel_tensors.__version__}, torch {torch.__version__})"


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog=PROGRAM, formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EPILOG,
        description="Decode CRF score files into reads. Defaults are those of "
                    "tovrel.beam_search.")
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="score file, folder of score files (*.pt, *.pth, *.npy, *.npz, "
                             "in name order), or - for standard input")
    parser.add_argument("-o", "--output",
                        help="file to write (default, or -: standard output); the format follows "
                             "its name")
    parser.add_argument("--format", choices=writers.FORMATS,
                        help="output format, whatever the name (e.g. for standard output)")
    parser.add_argument("--beam-size", type=int, default=5,
                        help="paths kept per block, 1 to 256 (default 5)")
    parser.add_argument("--beam-cut", type=finite, default=100.0,
                        help="drop paths more than log(beam_cut) * temperature below the best; "
                             "0 or less: no cut (default 100)")
    parser.add_argument("--temperature", type=temperature, default=1.0,
                        help="softening of merged paths and scale of the cut, at least 0 "
                             "(0: the plain maximum; default 1)")
    parser.add_argument("--q-shift", type=finite, default=0.0,
                        help="added to every Phred quality (default 0)")
    parser.add_argument("--q-scale", type=finite, default=1.0,
                        help="every Phred quality is multiplied by this first (default 1)")
    parser.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)),
                        help="intra-op threads decoding chunks at once (default: the cores "
                             "available)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="decode on the workers of a running Dask scheduler "
                             "(tcp://host:port); they read the inputs from a shared file system")
    parser.add_argument("--skip-invalid", action="store_true",
                        help="leave out reads whose values cannot be decoded (NaN, +inf, a "
                             "block without any finite transition) with a warning, instead of "
                             "failing")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="no progress, no warnings and no summary")
    parser.add_argument("--version", action="version", version=version_text())
    args = parser.parse_args(argv)
    if not 1 <= args.beam_size <= 256:
        parser.error("--beam-size must be between 1 and 256")
    if args.threads < 1:
        parser.error("--threads must be at least 1")
    return args


class Progress:
    """A progress line on standard error when it is a terminal, unless --quiet, or the reads go
    to the terminal themselves or into a pipe."""

    def __init__(self, args):
        self.shown = not args.quiet and sys.stderr.isatty() and (
            args.output not in (None, "-") or stdout_is_a_file())
        self.started = time.perf_counter()

    def note(self, text):
        if self.shown:
            sys.stderr.write(f"\r\033[K{text}")
            sys.stderr.flush()

    def bar(self, what, done, total):
        if self.shown:
            width = 30
            filled = width * done // max(total, 1)
            rate = done / max(time.perf_counter() - self.started, 1e-9)
            self.note(f"{what} [{'#' * filled}{'.' * (width - filled)}] {done}/{total} chunks "
                      f"({rate:.1f}/s)")

    def end(self):
        if self.shown:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()


def stdout_is_a_file():
    try:
        mode = os.fstat(1).st_mode
    except OSError:
        return False
    return not sys.stdout.isatty() and not stat.S_ISFIFO(mode)


def warn(args, message):
    if not args.quiet:
        print(f"{PROGRAM}: warning: {message}", file=sys.stderr)


def check_locally(plan, args, progress):
    """The values of every chunk, before anything is written: bad reads end the run, or with
    --skip-invalid are left out. Returns the reads to decode and the reads skipped."""
    total = sum(len(read.chunks) for read in plan)
    checked = 0
    for read in plan:
        reads.check_read(read)
        checked += len(read.chunks)
        progress.bar("checking", checked, total)
        if read.invalid and not args.skip_invalid:
            raise InputError(read.invalid)
    skipped = [read for read in plan if read.invalid]
    for read in skipped:
        warn(args, f"skipped {read.invalid}")
    return [read for read in plan if not read.invalid], skipped


def decode_locally(plan, args, options, progress):
    """Yields (read, decoded chunks) in order, a window of chunks at a time on the intra-op
    threads. Decoding runs on a worker thread so that signals reach this one at once."""
    total = sum(len(read.chunks) for read in plan)
    done = 0
    worker = concurrent.futures.ThreadPoolExecutor(max_workers=1)
    try:
        for window in reads.windows(plan, args.threads):
            chunks = [chunk for read in window for chunk in read.chunks]
            decoded = worker.submit(reads.decode_chunks, chunks, options).result()
            for read in window:
                parts, decoded = decoded[:len(read.chunks)], decoded[len(read.chunks):]
                yield read, parts
            done += len(chunks)
            progress.bar("decoding", done, total)
    finally:
        worker.shutdown(wait=False)  # a signal must not wait for the window being decoded


def run(argv, started):
    args = parse_arguments(argv)
    target = writers.Target(args.output, spool=args.scheduler is not None)
    local_inputs = [path for path in args.inputs if path == "-" or os.path.exists(path)]
    if args.scheduler is None:
        paths = inputs.expand(args.inputs)
    else:
        if "-" in args.inputs:
            raise UsageError("standard input cannot be sent to a cluster; name a file")
        paths = inputs.expand(local_inputs) if local_inputs else []
    target.refuse_inputs(paths)
    target.prepare()
    kind = writers.format_of(args.output, args.format)
    torch.set_num_threads(args.threads)
    sam_names = kind in ("sam", "bam")
    options = {"beam_size": args.beam_size, "beam_cut": args.beam_cut, "q_shift": args.q_shift,
               "q_scale": args.q_scale, "temperature": args.temperature}
    progress = Progress(args)
    skipped = []

    cluster = None
    try:
        if args.scheduler is None:
            sources = []
            for path in paths:
                progress.note(f"loading {path}")
                sources.append(inputs.open_input(path))
            plan = reads.plan_reads(sources, sam_names)
            plan, skipped = check_locally(plan, args, progress)
            decoded = decode_locally(plan, args, options, progress)
        else:
            from . import cluster as dask_cluster  # needs the optional extra

            progress.note(f"connecting to {args.scheduler}")
            cluster = dask_cluster.Cluster(args.scheduler)
            cluster.check_workers()
            progress.note("opening the inputs on a worker")
            sources = cluster.plan(args.inputs)
            plan = reads.plan_reads(sources, sam_names)

            def on_invalid(read):
                if not args.skip_invalid:
                    raise InputError(read.invalid)
                warn(args, f"skipped {read.invalid}")
                skipped.append(read)

            decoded = dask_cluster.decode_on_cluster(plan, sources, cluster, options, progress,
                                                     on_invalid)
        written = write(target, kind, decoded, recorded_command_line(argv))
    finally:
        if cluster is not None:
            cluster.close()
    progress.end()
    if not args.quiet:
        reads_written, chunks, bases, quality_sum = written
        mean = quality_sum / bases if bases else 0.0
        skipped_text = f", {len(skipped)} skipped" if args.skip_invalid else ""
        print(f"{PROGRAM}: {reads_written} reads from {chunks} chunks{skipped_text}, "
              f"{bases} bases, mean quality {mean:.1f}, {time.perf_counter() - started:.2f} s",
              file=sys.stderr)


def recorded_command_line(argv):
    """The command line for SAM/BAM headers, without --scheduler, which changes where the work
    runs but not its output."""
    kept, skip = [], False
    for arg in argv:
        if skip:
            skip = False
        elif arg == "--scheduler":
            skip = True
        elif not arg.startswith("--scheduler="):
            kept.append(arg)
    return shlex.join([PROGRAM, *kept])


def write(target, kind, decoded, command_line):
    """Writes every (read, decoded chunks) to the target and commits it; on any failure the
    target is left as it was. Returns (reads, chunks, bases, sum of qualities)."""
    count = chunks = bases = quality_sum = 0
    try:
        writer = writers.open_writer(target, kind, tovrel_tensors.__version__, command_line)
        for read, parts in decoded:
            sequence, quality, moves = reads.join(read, parts)
            writer.write(read.name, sequence, quality, moves)
            count += 1
            chunks += len(parts)
            bases += len(sequence)
            quality_sum += sum(quality.encode()) - 33 * len(quality)
        writer.close()
        target.commit()
    except BrokenPipeError:
        target.discard()
        raise
    except OSError as error:
        target.discard()
        raise OutputError(target.path if not target.is_stdout else "standard output",
                          error) from None
    except BaseException:
        target.discard()
        raise
    return count, chunks, bases, quality_sum


def raise_interrupted(signum, frame):
    raise Interrupted(signum)


def main(argv=None):
    started = time.perf_counter()
    argv = sys.argv[1:] if argv is None else list(argv)
    previous = {}
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        previous[signum] = signal.signal(signum, raise_interrupted)
    try:
        run(argv, started)
    except DecodeError as error:
        if isinstance(error, UsageError):
            print(f"usage: {PROGRAM} [options] INPUT... [-o OUTPUT] (see --help)",
                  file=sys.stderr)
        print(f"{PROGRAM}: error: {error}", file=sys.stderr)
        return error.status
    except BrokenPipeError:
        # The reader left early: end quietly, as Unix tools do when SIGPIPE ends them.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        return 128 + signal.SIGPIPE
    except Interrupted as interrupted:
        # The temporary file is gone; a decode still running on the worker must not hold us.
        sys.stderr.flush()
        os._exit(128 + interrupted.signum)
    except (RuntimeError, ValueError, TypeError, MemoryError) as error:
        lines = str(error).splitlines() or [type(error).__name__]
        print(f"{PROGRAM}: error: {lines[0]}", file=sys.stderr)
        return 1
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
    return 0


if __name__ == "__main__":
    sys.exit(main())
