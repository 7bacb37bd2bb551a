"""Every failure of tovrel-decode ends cleanly: one line, the documented status, nothing partial
or left over; grouped by what fails (writers, inputs, signals, the terminal). Each case runs in a
private temporary folder; device nodes and file systems are made there."""
import os
import signal
import stat
import subprocess
import sys
import time

import numpy as np
import pytest
import torch

from decoder_helpers import (DECODER, chunk, default_signals, expected, handlers_installed,
                             on_terminal, pipe_holds, wait_for, writing_privately)
from tovrel_decode import targets
from test_cli_safety import IS_ROOT, leftovers, one_line_error



@pytest.fixture
def scores(tmp_path):
    chunks = [chunk(60, 2, i) for i in range(3)]
    torch.save(chunks, tmp_path / "in.pt")
    return tmp_path / "in.pt", expected([f"in_{i}" for i in range(3)], chunks)


def decode(*args, **options):
    return subprocess.run([DECODER, *map(str, args)], capture_output=True, text=True,
                          timeout=300, **options)


# Writers


@pytest.mark.skipif(not IS_ROOT, reason="mknod and mount need root")
def test_writers_report_a_full_device_or_file_system_in_one_line(tmp_path, scores):
    source, _ = scores
    full = tmp_path / "full"
    os.mknod(full, 0o666 | stat.S_IFCHR, os.makedev(1, 7))
    for kind in ("sam", "bam", "fastq.gz"):
        assert one_line_error(decode(source, "-o", full, "--format", kind)).endswith(
            f"{full}: No space left on device"), kind
    small = tmp_path / "small"
    small.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs", str(small)]).returncode:
        pytest.skip("this machine cannot mount a tmpfs")
    try:
        big = tmp_path / "big.pt"
        torch.save(torch.randn(10, 4000, 80, generator=torch.Generator().manual_seed(4)) * 2, big)
        for kind in ("sam", "fastq"):
            line = one_line_error(decode(big, "-o", small / f"out.{kind}", "-q"))
            assert line == f"tovrel-decode: error: {small / f'out.{kind}'}: No space left on " \
                           "device", kind
        assert os.listdir(small) == []
    finally:
        subprocess.run(["umount", str(small)])


def test_odd_outputs_are_usage_errors(tmp_path, scores, run):
    source, _ = scores
    for output, message in ((f"{tmp_path}/newdir/", "cannot end in /"),
                            ("", "the output name is empty")):
        assert message in one_line_error(run(source, "-o", output), status=2)
    assert os.listdir(tmp_path) == ["in.pt"]
    # Standard output that is an input, as `>> in.pt` makes it.
    before = source.read_bytes()
    with open(source, "ab") as appended:
        result = subprocess.run([DECODER, str(source)], stdout=appended, stderr=subprocess.PIPE,
                                text=True, timeout=300)
    assert "standard output is the same file as input" in one_line_error(result, status=2)
    assert source.read_bytes() == before
    # Binary output to a terminal.
    for kind, what in (("bam", "BAM"), ("fastq.gz", "compressed"), ("fasta.xz", "compressed")):
        status, shown = on_terminal([source, "--format", kind], stdout_too=True)
        assert status == 2 and f"{what} output is not written to a terminal" in shown
    # "*" means "no name" in SAM.
    torch.save({"*": chunk(20, 2, 1)}, tmp_path / "star.pt")
    assert "not a SAM read name" in one_line_error(run(tmp_path / "star.pt", "-o",
                                                       tmp_path / "star.sam"))


def test_nothing_is_left_behind_even_by_a_killed_run(tmp_path):
    torch.save(torch.randn(100, 2000, 80, generator=torch.Generator().manual_seed(1)) * 0.1,
               tmp_path / "slow.pt")
    output = tmp_path / "out.fq"
    output.write_text("earlier contents\n")
    # A run that died with a named temporary file left it behind; the next run removes it, but
    # never one of a live run, nor one of another host, boot or PID namespace (whose process
    # numbers say nothing here).
    dead = subprocess.Popen(["true"])
    dead.wait()
    place = targets.process_place()
    stale = tmp_path / f".tovrel-decode.{dead.pid}.{place}.abc"
    alive = tmp_path / f".tovrel-decode.{os.getpid()}.{place}.abc"
    elsewhere = tmp_path / f".tovrel-decode.{dead.pid}.{'0' * 16}.abc"
    for file in (stale, alive, elsewhere):
        file.write_text("partial")
    process = subprocess.Popen([DECODER, str(tmp_path / "slow.pt"), "-o", str(output),
                                "--threads", "1", "--beam-size", "256", "-q"])
    wait_for(lambda: writing_privately(process.pid, tmp_path), "it wrote its output", process)
    process.kill()
    process.wait(timeout=60)
    assert output.read_text() == "earlier contents\n"
    assert sorted(leftovers(tmp_path)) == sorted([alive.name, elsewhere.name])


# Inputs


def test_inputs_that_cannot_be_read_are_one_line(tmp_path, run):
    torch.save([chunk(30, 2, i) for i in range(3)], tmp_path / "t.pt")
    np.savez(tmp_path / "t.npz", a=chunk(30, 2, 1).numpy(), b=chunk(30, 2, 2).numpy())
    for name in ("t.pt", "t.npz"):
        data = (tmp_path / name).read_bytes()
        (tmp_path / f"cut-{name}").write_bytes(data[:len(data) // 2])
    flipped = bytearray((tmp_path / "t.npz").read_bytes())
    flipped[200] ^= 0xFF
    (tmp_path / "flipped.npz").write_bytes(bytes(flipped))
    torch.save(chunk(10, 2, 1).to_sparse(), tmp_path / "sparse.pt")
    torch.save(torch.empty(10, 80, device="meta"), tmp_path / "meta.pt")
    torch.save({"scores": [chunk(20, 2, 1), chunk(20, 3, 2)], "names": ["r", "r"],
                "overlap": 4}, tmp_path / "widths.pt")
    (tmp_path / "text.pt").write_text("scores, honestly\n")
    cases = {
        "cut-t.pt": "a damaged or truncated zip archive",
        "cut-t.npz": "a damaged or truncated zip archive",
        "flipped.npz": "flipped.npz: array a: cannot be read (Bad CRC-32",
        "sparse.pt": "sparse.pt: a sparse_coo tensor cannot hold scores",
        "meta.pt": "meta.pt: a tensor on the meta device holds no values",
        "widths.pt": "read r has chunks of 80 and 320 scores per block",
    }
    for name, message in cases.items():
        assert message in one_line_error(run(tmp_path / name, "-o", tmp_path / "o.fq")), name
    # Streams are checked by their first bytes before they are read further.
    with open(tmp_path / "text.pt", "rb") as text:
        assert "not a score file (it starts with b'scores, '" in one_line_error(
            decode("-", stdin=text))
    assert one_line_error(decode("-", stdin=subprocess.DEVNULL)).startswith(
        "tovrel-decode: error: standard input: not a score file")
    closed = subprocess.run(f"'{DECODER}' - <&-", shell=True, capture_output=True, text=True,
                            timeout=300)
    assert one_line_error(closed) == "tovrel-decode: error: standard input: Bad file descriptor"
    assert not (tmp_path / "o.fq").exists()


@pytest.mark.skipif(not IS_ROOT, reason="mknod needs root")
def test_a_device_is_never_read(tmp_path, run):
    zero = tmp_path / "zero"
    os.mknod(zero, 0o666 | stat.S_IFCHR, os.makedev(1, 5))
    assert one_line_error(run(zero)) == f"tovrel-decode: error: {zero}: a device, not a score file"


def test_an_input_changed_while_it_is_decoded(tmp_path):
    slow = tmp_path / "slow.pt"
    for change in ("truncate", "replace"):
        torch.save(torch.randn(40, 4000, 5 * 4**4, generator=torch.Generator().manual_seed(3)),
                   slow)
        torch.save(torch.randn(40, 4000, 5 * 4**4), tmp_path / "other.pt")
        # The reads go into a FIFO that is read only once the input has changed: the run, held
        # up by the full pipe, cannot end before.
        output = tmp_path / "out.fifo"
        os.mkfifo(output)
        reader = os.open(output, os.O_RDONLY | os.O_NONBLOCK)
        process = subprocess.Popen([DECODER, str(slow), "-o", str(output), "--threads", "1",
                                    "-q"], stderr=subprocess.PIPE, text=True)
        wait_for(lambda: pipe_holds(reader) > 0, "it wrote reads", process)
        if change == "truncate":
            os.truncate(slow, slow.stat().st_size // 2)
        else:
            os.replace(tmp_path / "other.pt", slow)
        os.set_blocking(reader, True)
        while os.read(reader, 1 << 16):
            pass
        os.close(reader)
        _, err = process.communicate(timeout=300)
        result = subprocess.CompletedProcess([], process.returncode, "", err)
        assert one_line_error(result) == \
            f"tovrel-decode: error: {slow} changed or was removed during the run", change
        output.unlink()
        assert not leftovers(tmp_path)


# Signals


def test_signals_at_start_up_and_ignored_ones(tmp_path, scores):
    source, want = scores
    # Start-up (torch loading): a signal ends the run as at any other time, without a traceback.
    process = subprocess.Popen([DECODER, str(source)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, preexec_fn=default_signals)
    wait_for(lambda: handlers_installed(process.pid), "its handlers were in place", process)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=120)
    assert process.returncode == 128 + signal.SIGINT and err == "" and out == ""
    # nohup: a SIGHUP that the caller ignored stays ignored.
    process = subprocess.Popen([DECODER, str(source), "-q"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True,
                               preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN))
    time.sleep(0.5)
    process.send_signal(signal.SIGHUP)
    out, err = process.communicate(timeout=120)
    assert process.returncode == 0 and out == want, err


# The command with a SIGINT sent from inside torch's C++ initialisation, as it imports a module
# (`times` of them, the second once the first has been handled).
SIGNAL_IN_TORCH = """
import builtins, os, signal, sys
real = builtins.__import__
def hooked(name, *args, **keywords):
    caller = sys._getframe(1)
    if name == "datetime" and caller.f_code.co_filename.endswith(
            os.path.join("torch", "distributed", "__init__.py")):
        builtins.__import__ = real
        gate = signal.getsignal(signal.SIGINT).__self__
        for _ in range({times}):
            os.kill(os.getpid(), signal.SIGINT)
            while gate.pending is None:
                pass
    return real(name, *args, **keywords)
builtins.__import__ = hooked
from tovrel_decode.cli import main
sys.exit(main(sys.argv[1:]))
"""


def test_a_signal_while_modules_load_waits_until_they_have(tmp_path, scores):
    # Raised inside torch's C++ code, the signal crashed the process or was lost; it now ends the
    # run once torch has loaded, and a second one ends it at once.
    source, _ = scores
    for times in (1, 2):
        process = subprocess.run([sys.executable, "-c", SIGNAL_IN_TORCH.format(times=times),
                                  str(source), "-o", str(tmp_path / "out.fq")],
                                 capture_output=True, text=True, timeout=300,
                                 preexec_fn=default_signals)
        assert (process.returncode, process.stderr) == (128 + signal.SIGINT, ""), times
        assert not (tmp_path / "out.fq").exists()


# The command with a signal sent to itself once its output is complete: as it closes the run,
# at exit, or as the interpreter tears its modules down (its own handlers gone by then).
SIGNAL_WHEN_DONE = """
import atexit, os, signal, sys
from tovrel_decode import local
from tovrel_decode.cli import main
close = local.LocalExecutor.close
def closing(self):
    os.kill(os.getpid(), signal.SIGINT)
    close(self)
class TornDown:
    def __del__(self):
        os.kill(os.getpid(), signal.SIGTERM)
if "{when}" == "closing":
    local.LocalExecutor.close = closing
elif "{when}" == "exit":
    atexit.register(os.kill, os.getpid(), signal.SIGTERM)
else:
    torn_down = TornDown()
sys.exit(main())
"""


def test_a_signal_once_the_output_is_complete_does_not_fail_the_run(tmp_path, scores):
    # It ended a complete run with 130 or 143, which says that nothing was left behind.
    source, want = scores
    for when in ("closing", "exit", "teardown"):
        process = subprocess.run([sys.executable, "-c", SIGNAL_WHEN_DONE.format(when=when),
                                  str(source), "-o", str(tmp_path / "out.fq"), "-q"],
                                 capture_output=True, text=True, timeout=300,
                                 preexec_fn=default_signals)
        assert (process.returncode, process.stderr) == (0, ""), when
        assert (tmp_path / "out.fq").read_text() == want


# The terminal


def test_the_terminal_lines(tmp_path, monkeypatch):
    nan = chunk(50, 2, 9)
    nan[3, 3] = float("nan")
    torch.save([chunk(300, 2, 1), nan, chunk(300, 2, 2)], tmp_path / "mixed.pt")
    # A start-up made to take 2 s before the command's own code runs (however busy the machine).
    (tmp_path / "site").mkdir()
    (tmp_path / "site" / "sitecustomize.py").write_text("import time\ntime.sleep(2)\n")
    with monkeypatch.context() as patched:
        patched.setenv("PYTHONPATH", os.pathsep.join(
            filter(None, [str(tmp_path / "site"), os.environ.get("PYTHONPATH")])))
        status, shown = on_terminal([tmp_path / "mixed.pt", "-o", tmp_path / "o.fq",
                                     "--skip-invalid"])
    assert status == 0
    # The progress line is cleared before the warning and the summary.
    assert "\r\x1b[Ktovrel-decode: warning: skipped read mixed_1: scores at block 3 hold NaN" \
        in shown
    summary = shown.rsplit("\r\x1b[K", 1)[1].strip()
    assert summary.startswith("tovrel-decode: 2 reads from 3 chunks, 1 skipped, ")
    # Its seconds count from the start of the process, start-up included.
    assert float(summary.split(", ")[-1].rstrip(" s")) >= 2.0
    torch.save(chunk(30, 2, 1), tmp_path / "one.pt")
    single = decode(tmp_path / "one.pt", "-o", tmp_path / "one.fq")
    assert single.stderr.startswith("tovrel-decode: 1 read from 1 chunk, ")
    # At k = 1 the qualities say nothing: one warning.
    torch.save([chunk(30, 1, i) for i in range(3)], tmp_path / "k1.pt")
    warned = decode(tmp_path / "k1.pt", "-o", tmp_path / "k1.fq")
    assert warned.stderr.count("warning: at k = 1 every base gets the highest quality") == 1
