"""tovrel-decode: decode CRF score files into reads (FASTQ, FASTA, SAM or BAM).

Only the standard library is imported here: the signal handlers are in place before torch and the
rest of the command load, so that a signal during start-up ends the run as one at any other time.
The command line is read without torch, so that a cluster run connects, and its workers start on
it, while torch loads.
"""
import argparse
import atexit
import contextlib
import os
import re
import signal
import stat
import sys
import time

from .errors import DecodeError, UsageError
from .limits import MAX_THREADS, raise_open_file_limit

PROGRAM = "tovrel-decode"
MAX_BEAM_SIZE = 256  # tovrel_tensors.MAX_BEAM_SIZE, which loads torch (a test keeps them equal)
SEARCH_OPTIONS = ("beam_size", "beam_cut", "temperature", "q_shift", "q_scale")
HANDLED_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# A task may take this many seconds per 100,000 blocks it holds (and at least this many).
DEFAULT_TASK_TIMEOUT = 120.0
SCHEDULER_ADDRESS = re.compile(
    r"(?:(?P<scheme>[a-z]+)://)?(?P<host>\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9_.-]+):(?P<port>[0-9]+)")
SCHEDULER_SCHEMES = ("tcp", "tls", "ws", "wss", "ucx")

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
  Unnamed chunks are named after their own file: STEM_N, STEM the file's name without its
    suffixes and N the chunk's place in that file from 0 (a.pt, b.pt give a_0, a_1, b_0;
    standard input gives stdin_N).

formats (from the output name, or --format): .fastq/.fq (the default, and for standard output),
  .fasta/.fa, either with .gz, .bz2 or .xz, .sam, .bam (unaligned records with the moves in
  the mo tag)

exit status: 0 done; 1 bad input or an error on the output (nothing written to a file;
  standard output may have received reads before the failure); 2 usage error;
  128 + N after signal N (SIGINT, SIGTERM, SIGHUP), with no partial output left behind;
  141 when the reader of a pipe closes it early (nothing is printed)
"""


class Interrupted(BaseException):
    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


class Signals:
    """SIGINT, SIGTERM and SIGHUP end the run cleanly, raised as Interrupted; one that the caller
    ignored (nohup) stays ignored. While modules load (`held`), a signal waits until they have:
    raised inside an import, or in the C code an import runs, it may be swallowed, leave a module
    half made, or abort the process. A second signal meanwhile ends the process at once."""

    def __init__(self, terminal):
        self.terminal = terminal
        self.holding = False
        self.pending = None
        self.ended = None  # the exit status, once the output is complete

    def install(self):
        """Returns the handlers replaced."""
        previous = {}
        for signum in HANDLED_SIGNALS:
            if signal.getsignal(signum) is not signal.SIG_IGN:
                previous[signum] = signal.signal(signum, self.handle)
        return previous

    def handle(self, signum, frame):
        if self.ended is not None:  # only tidying up, or exiting, is left: end as the run did
            self.exit(self.ended)
        if not self.holding:
            raise Interrupted(signum)
        if self.pending is None:
            self.pending = signum
            return
        self.exit(128 + signum)

    def exit(self, status):
        if self.terminal.line_shown:  # not through sys.stderr, which may be mid-write
            os.write(2, b"\r\033[K")
        os._exit(status)

    @contextlib.contextmanager
    def held(self):
        self.holding = True
        try:
            yield
        finally:
            self.holding = False
            if self.pending is not None:
                raise Interrupted(self.pending)


def seconds_since_start():
    """Seconds since this process started (its start-up included)."""
    try:
        with open("/proc/self/stat") as status:
            start_ticks = int(status.read().rsplit(")", 1)[1].split()[19])
        return time.clock_gettime(time.CLOCK_BOOTTIME) - start_ticks / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError):
        return time.process_time()


def plural(count, word):
    return f"{count} {word}{'' if count == 1 else 's'}"


class Terminal:
    """Standard error: a progress line when it is a terminal (not with --quiet, nor when the reads
    go to the terminal themselves or into a pipe), cleared before any other line."""

    def __init__(self):
        self.quiet = False
        self.progress = False
        self.line_shown = False
        self.decoding_since = None

    def configure(self, quiet, reads_to_stdout):
        self.quiet = quiet
        self.progress = not quiet and sys.stderr is not None and sys.stderr.isatty() and \
            (not reads_to_stdout or stdout_is_a_file())

    def status(self, text):
        if self.progress:
            sys.stderr.write(f"\r\033[K{text}")
            sys.stderr.flush()
            self.line_shown = True

    def bar(self, done, total):
        if self.decoding_since is None:
            self.decoding_since = time.perf_counter()
        if self.progress:
            width = 30
            filled = width * done // max(total, 1)
            rate = done / max(time.perf_counter() - self.decoding_since, 1e-9)
            self.status(f"decoding [{'#' * filled}{'.' * (width - filled)}] {done}/{total} "
                        f"chunks ({rate:.1f}/s)")

    def clear(self):
        if self.line_shown:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()
            self.line_shown = False

    def say(self, line):
        self.clear()
        if sys.stderr is not None:
            print(line, file=sys.stderr)

    def warn(self, message):
        if not self.quiet:
            self.say(f"{PROGRAM}: warning: {message}")


def stdout_is_a_file():
    try:
        mode = os.fstat(1).st_mode
    except OSError:
        return False
    return not sys.stdout.isatty() and not stat.S_ISFIFO(mode)


class ArgumentParser(argparse.ArgumentParser):
    """Usage errors as the command's other errors: a usage line and one line saying what."""

    def error(self, message):
        raise UsageError(message)


def bounded(kind, low, high):
    def parse(text):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid {kind.__name__} value: {text!r}") from None
        if value != value or not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be between {low:g} and {high:g}, not {text}")
        return value
    return parse


def search_option(kind):
    """A search parameter as given; `check_search_options` applies the rule every decoder
    applies, once torch is loaded."""
    def parse(text):
        try:
            return kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid {kind.__name__} value: {text!r}") from None
    return parse


def check_search_options(args):
    """UsageError for a search parameter that every decoder refuses (one message for all), as
    argparse words the errors of the other options."""
    import torch  # noqa: F401  (first: it loads the libraries that tovrel_tensors links)

    import tovrel_tensors

    for name in SEARCH_OPTIONS:
        value = getattr(args, name)
        try:
            tovrel_tensors.check_options(**{name: value})
        except (ValueError, TypeError, OverflowError) as error:
            reason = str(error) if isinstance(error, ValueError) and str(error).startswith(name) \
                else f"{name}: {value} is out of range"
            raise UsageError(f"argument --{name.replace('_', '-')}: {reason}") from None


class VersionAction(argparse.Action):
    """--version, whose text needs torch: made only when asked for."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help="show program's version number and exit"):
        super().__init__(option_strings, dest, nargs=0, default=default, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        print(version_text())
        parser.exit()


def scheduler_address(text):
    """A Dask scheduler's address, [SCHEME://]HOST:PORT, checked before anything connects."""
    match = SCHEDULER_ADDRESS.fullmatch(text)
    if not match or (match["scheme"] or "tcp") not in SCHEDULER_SCHEMES or \
            not 1 <= int(match["port"]) <= 65535:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a scheduler address (SCHEME://HOST:PORT, SCHEME one of "
            f"{', '.join(SCHEDULER_SCHEMES)})")
    return text


def parse_arguments(argv):
    from . import writers

    parser = ArgumentParser(
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
    add_search_options(parser)
    add_placement_options(parser)
    parser.add_argument("--skip-unreadable", action="store_true",
                        help="leave out, with a warning, files of a folder that cannot be read "
                             "(a dangling symlink, a FIFO, no permission) instead of failing")
    parser.add_argument("--stride", type=bounded(int, 1, 127),
                        help="samples per block of the network that made the scores: SAM/BAM "
                             "records then carry the moves as mv:B:c (the stride, then one move "
                             "per block) for signal tools")
    parser.add_argument("--read-group", metavar="RG", type=read_group,
                        help="an @RG line for SAM/BAM, named by every record's RG tag: an ID, "
                             "or header fields such as 'ID:run42\\tSM:sample1'")
    parser.add_argument("--skip-invalid", action="store_true",
                        help="leave out reads whose values cannot be decoded (NaN, +inf, a "
                             "block without any finite transition, masked transitions that "
                             "leave no path of finite scores) with a warning, instead of failing")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="no progress, no warnings and no summary")
    parser.add_argument("--version", action=VersionAction)
    return parser.parse_args(argv), parser


def add_search_options(parser):
    parser.add_argument("--beam-size", type=search_option(int), default=5,
                        help=f"paths kept per block, 1 to {MAX_BEAM_SIZE} (default 5)")
    parser.add_argument("--beam-cut", type=search_option(float), default=100.0,
                        help="drop paths more than log(beam_cut) * temperature below the best; "
                             "0 or less: no cut (default 100)")
    parser.add_argument("--temperature", type=search_option(float), default=1.0,
                        help="softening of merged paths and scale of the cut, at least 0 "
                             "(0: the plain maximum; default 1)")
    parser.add_argument("--q-shift", type=search_option(float), default=0.0,
                        help="added to every Phred quality (default 0)")
    parser.add_argument("--q-scale", type=search_option(float), default=1.0,
                        help="every Phred quality is multiplied by this first (default 1)")


def add_placement_options(parser):
    """Where the work runs, which never changes the output."""
    parser.add_argument("--threads", type=bounded(int, 1, MAX_THREADS),
                        default=min(len(os.sched_getaffinity(0)), MAX_THREADS),
                        help=f"intra-op threads decoding chunks at once, 1 to {MAX_THREADS} "
                             "(default: the cores available; no effect with --scheduler)")
    parser.add_argument("--scheduler", metavar="ADDRESS", type=scheduler_address,
                        help="decode on the workers of a running Dask scheduler "
                             "(tcp://host:port); they read the inputs from a shared file system")
    parser.add_argument("--task-timeout", metavar="SECONDS", default=DEFAULT_TASK_TIMEOUT,
                        type=bounded(float, 1.0, 1e9),
                        help="with --scheduler: seconds a task may take per 100,000 blocks it "
                             "holds (at least this many) before it runs elsewhere (default "
                             f"{DEFAULT_TASK_TIMEOUT:.0f})")


def version_text():
    import torch

    import tovrel_tensors

    return f"{PROGRAM} (tovrel {tovrel_tensors.__version__}, torch {torch.__version__})"


def read_group(text):
    """An @RG line's fields, read as a read group line is: "ID:x<TAB>SM:y" (a tab, or the two
    characters \\t; "@RG" before them may be given), ID required; or a bare ID."""
    if not RG_FIELDS.match(text):
        if not re.fullmatch(r"[ -~]+", text):
            raise argparse.ArgumentTypeError(f"{text!r} is not a read group ID (printable "
                                             "ASCII)")
        return {"ID": text}
    from .writers import RG_STANDARD_FIELDS

    fields = {}
    for field in re.split(r"\t|\\t", text.removeprefix("@RG\t").removeprefix("@RG\\t")):
        tag, colon, value = field.partition(":")
        if not colon or not re.fullmatch(r"[A-Za-z][A-Za-z0-9]", tag) or \
                not re.fullmatch(r"[ -~]+", value):
            raise argparse.ArgumentTypeError(f"{field!r} is not a header field TAG:VALUE")
        if tag in fields:
            raise argparse.ArgumentTypeError(f"the read group gives {tag} twice")
        if tag.isupper() and tag not in RG_STANDARD_FIELDS:
            raise argparse.ArgumentTypeError(f"{tag} is not one of SAM's @RG fields; fields of "
                                             "your own take lower-case letters")
        fields[tag] = value
    if "ID" not in fields:
        raise argparse.ArgumentTypeError("a read group needs an ID field (ID:NAME)")
    return fields


RG_FIELDS = re.compile(r"@RG(\t|\\t)|[A-Za-z][A-Za-z0-9]:")


def recorded_command_line(argv, parser):
    """The command line for SAM/BAM headers, without the options that change where the work runs
    but not its output (--scheduler, --task-timeout, --threads), however abbreviated."""
    from .writers import command_line_of

    dropped = ("--scheduler", "--task-timeout", "--threads")
    long_options = [option for option in parser._option_string_actions if option.startswith("--")]

    def option_of(arg):
        name = arg.partition("=")[0]
        if not name.startswith("--") or name == "--":
            return None
        matches = [option for option in long_options if option.startswith(name)]
        return name if name in long_options else matches[0] if len(matches) == 1 else None

    kept, skip = [], False
    for arg in argv:
        if skip:
            skip = False
        elif option_of(arg) in dropped:
            skip = "=" not in arg
        else:
            kept.append(arg)
    return command_line_of([PROGRAM, *kept])


def run(argv, terminal, signals):
    """Carries out one command line; returns the summary line. Signals wait while the modules it
    needs load (see Signals)."""
    with signals.held():  # --version loads torch
        from . import targets, writers

        args, parser = parse_arguments(argv)
    kind = writers.format_of(args.output, args.format)
    target = targets.target_for(args.output)
    terminal.configure(args.quiet, getattr(target, "descriptor", None) == 1)
    unused = [option for option, given in (("--read-group", args.read_group),
                                           ("--stride", args.stride)) if given]
    if unused and kind not in ("sam", "bam"):
        verb = "only change" if len(unused) > 1 else "only changes"
        terminal.warn(f"{' and '.join(unused)} {verb} SAM/BAM records; {kind} output has none")
    session = executor = None
    try:
        if args.scheduler is not None:
            with signals.held():  # Dask loads
                session = cluster_session(args, target, kind, terminal)
            session.start()
            session.wait_for_copies()
        with signals.held():  # torch, the decoders, and what they would load on first use
            check_search_options(args)
            from . import assembly, engine, plan  # noqa: F401  (assembly: for write_reads)

            if session is not None:
                from . import cluster
            else:
                import torch.utils.serialization  # noqa: F401  (torch.load's)

                from . import inputs, local
            if kind in ("sam", "bam"):
                import pysam  # noqa: F401  (the writer's)
        options = engine.DecodeOptions(beam_size=args.beam_size, beam_cut=args.beam_cut,
                                       temperature=args.temperature, q_shift=args.q_shift,
                                       q_scale=args.q_scale)
        if session is not None:
            paths = session.paths
            executor = cluster.ClusterExecutor(session, options, args.task_timeout,
                                               terminal.warn, args.skip_unreadable)
        else:
            paths = inputs.expand(args.inputs, args.skip_unreadable, terminal.warn)
            target.check(paths, kind)
            clear = "\r\033[K" if terminal.progress else ""
            executor = local.LocalExecutor(options, args.threads, f"{clear}{PROGRAM}: error: ")
        sources = executor.sources(paths, terminal.status)
        planned = plan.plan_reads(sources, sam_names=kind in ("sam", "bam"))
        if any(chunk.shape[1] == 5 * 4 for read in planned for chunk in read.chunks):
            terminal.warn("at k = 1 every base gets the highest quality (each state's window "
                          "holds all four states): the qualities say nothing")
        header = writers.sam_header(
            writers.project_version(), recorded_command_line(argv, parser),
            read_groups=[args.read_group] if args.read_group else ()) \
            if kind in ("sam", "bam") else {}
        summary = write_reads(planned, executor, target, kind, args, terminal, header)
        signals.ended = 0  # the output is complete and in place
        return summary
    finally:
        if executor is not None:
            executor.close()
        elif session is not None:
            session.close()


def cluster_session(args, target, kind, terminal):
    """The run's session with its scheduler, to be started once the inputs are known to be files
    that can travel and the output can be written: its workers start on the run while torch
    loads here."""
    from . import connection

    if "-" in args.inputs:
        raise UsageError("standard input cannot be sent to a cluster; name a file")
    connection.refuse_what_cannot_travel(args.inputs, args.skip_unreadable)
    # Workers resolve paths in their own working folders: send them absolute.
    paths = [os.path.abspath(path) for path in args.inputs]
    target.check([path for path in paths if os.path.isfile(path)], kind)
    terminal.status(f"connecting to {args.scheduler}")
    search = {name: getattr(args, name) for name in SEARCH_OPTIONS}
    return connection.Session(args.scheduler, paths, search, args.skip_unreadable)


def write_reads(planned, executor, target, kind, args, terminal, header):
    import contextlib
    import dataclasses

    from . import assembly, writers

    total = sum(len(read.chunks) for read in planned)
    done = skipped = reads = bases = quality_sum = 0

    def progress(chunks):
        nonlocal done
        done += chunks
        terminal.bar(done, total)

    def left_out(read):
        nonlocal skipped
        skipped += 1
        terminal.warn(f"skipped {read.message}")

    terminal.bar(0, total)
    tags = {"RG": args.read_group["ID"]} if args.read_group else {}
    on_invalid = left_out if args.skip_invalid else "raise"
    with writers.Writer._create(target, kind, header) as writer, \
            contextlib.closing(executor.chunk_results(planned)) as results:
        for read in assembly.assemble_reads(planned, results, on_invalid, progress):
            if tags or args.stride:
                read = dataclasses.replace(read, tags=tags, stride=args.stride)
            writer.write(read)
            reads += 1
            bases += len(read.sequence)
            quality_sum += sum(read.quality.encode()) - 33 * len(read.quality)
    mean = quality_sum / bases if bases else 0.0
    skipped_text = f", {skipped} skipped" if args.skip_invalid else ""
    return (f"{PROGRAM}: {plural(reads, 'read')} from {plural(done, 'chunk')}{skipped_text}, "
            f"{plural(bases, 'base')}, mean quality {mean:.1f}")


def quiet_unraisable(unraisable):
    """Errors in finalisers (a closed library handle, a client torn down) are not the user's:
    every failure that matters is reported once, as one line."""


def main(argv=None):
    terminal = Terminal()
    signals = Signals(terminal)
    previous = signals.install()
    raise_open_file_limit()
    # As the command, the run's seconds count from the start of the process.
    started = None if argv is None else time.perf_counter()
    argv = sys.argv[1:] if argv is None else [str(arg) for arg in argv]
    unraisable_hook = sys.unraisablehook
    sys.unraisablehook = quiet_unraisable
    status = 0
    try:
        summary = run(argv, terminal, signals)
        if not terminal.quiet:
            seconds = seconds_since_start() if started is None else time.perf_counter() - started
            terminal.say(f"{summary}, {seconds:.2f} s")
    except Interrupted as interrupted:
        # The private output is gone with its file; a decode still running must not hold us.
        terminal.clear()
        sys.stderr.flush()
        os._exit(128 + interrupted.signum)
    except BrokenPipeError:
        # The reader left early: end quietly, as Unix tools do when SIGPIPE ends them.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        status = 128 + signal.SIGPIPE
    except Exception as error:  # every failure is one line; a DecodeError knows its status
        if isinstance(error, UsageError):
            terminal.say(f"usage: {PROGRAM} [options] INPUT... [-o OUTPUT] (see --help)")
        lines = str(error).splitlines() or [type(error).__name__]
        terminal.say(f"{PROGRAM}: error: {lines[0]}")
        status = error.status if isinstance(error, DecodeError) else 1
    finally:
        if started is not None:  # as the command, a client torn down at exit stays quiet too
            sys.unraisablehook = unraisable_hook
            for signum, handler in previous.items():
                signal.signal(signum, handler)
        # As the command, a signal while the interpreter exits ends it with the run's status;
        # once the interpreter has put back the default handlers, the signal is ignored.
        signals.ended = status
        if started is None:
            atexit.register(ignore_signals, list(previous))
    return status


def ignore_signals(signums):
    for signum in signums:
        signal.signal(signum, signal.SIG_IGN)


if __name__ == "__main__":
    sys.exit(main())
