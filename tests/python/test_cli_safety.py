"""tovrel-decode never destroys or corrupts a user's data, and every failure is one line.

Everything happens in a private temporary folder; device nodes are made there with mknod."""
import os
import signal
import socket
import stat
import subprocess
import threading

import pytest
import torch

import tovrel

from decoder_helpers import (DECODER, chunk, default_signals, expected, fastq, wait_for,
                             writing_privately)

IS_ROOT = os.geteuid() == 0



@pytest.fixture
def scores(tmp_path):
    chunks = [chunk(30 + 5 * i, 2, i) for i in range(3)]
    torch.save(chunks, tmp_path / "in.pt")
    return tmp_path / "in.pt", expected([f"in_{i}" for i in range(3)], chunks)


def one_line_error(result, status=1):
    assert result.returncode == status, result.stderr
    lines = result.stderr.strip().splitlines()
    assert lines[-1].startswith("tovrel-decode: error: "), result.stderr
    assert len(lines) == (2 if status == 2 else 1), result.stderr
    assert "Traceback" not in result.stderr
    return lines[-1]


def leftovers(folder):
    return [p for p in os.listdir(folder) if p.startswith(".tovrel-decode")]


def test_output_targets(tmp_path, scores, run, monkeypatch):
    source, want = scores
    # A regular file is replaced and keeps its permission bits; a new one follows the umask.
    existing = tmp_path / "existing.fq"
    existing.write_text("old\n")
    os.chmod(existing, 0o640)
    assert run(source, "-o", existing, "-q").returncode == 0
    assert existing.read_text() == want and stat.S_IMODE(os.stat(existing).st_mode) == 0o640
    umask = os.umask(0o027)
    try:
        assert run(source, "-o", tmp_path / "new.fq", "-q").returncode == 0
    finally:
        os.umask(umask)
    assert stat.S_IMODE(os.stat(tmp_path / "new.fq").st_mode) == 0o640

    # A symlink is followed: its target is replaced and the link stays.
    (tmp_path / "real").mkdir()
    (tmp_path / "real" / "target.fq").write_text("old\n")
    os.symlink(tmp_path / "real" / "target.fq", tmp_path / "link.fq")
    assert run(source, "-o", tmp_path / "link.fq", "-q").returncode == 0
    assert os.path.islink(tmp_path / "link.fq")
    assert (tmp_path / "real" / "target.fq").read_text() == want
    os.symlink(tmp_path / "nowhere.fq", tmp_path / "dangling.fq")
    assert "dangling symlink" in one_line_error(run(source, "-o", tmp_path / "dangling.fq"))

    # "-" is standard output, not a file named "-".
    monkeypatch.chdir(tmp_path)
    result = run(source, "-o", "-", "-q")
    assert result.stdout == want and not os.path.exists(tmp_path / "-")
    assert not leftovers(tmp_path) and not leftovers(tmp_path / "real")


def test_a_fifo_is_written_through(tmp_path, scores):
    source, want = scores
    fifo = tmp_path / "reads.fq"
    os.mkfifo(fifo)
    received = []

    def read():
        with open(fifo) as stream:
            received.append(stream.read())

    reader = threading.Thread(target=read, daemon=True)  # a failed run must not hold the suite
    reader.start()
    result = subprocess.run([DECODER, str(source), "-o", str(fifo), "-q"], capture_output=True,
                            text=True, timeout=120)
    reader.join(timeout=60)
    assert result.returncode == 0, result.stderr
    assert received == [want] and stat.S_ISFIFO(os.stat(fifo).st_mode)


def test_a_socket_is_written_through(tmp_path, scores):
    source, want = scores
    path = str(tmp_path / "reads.sock")
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.listen(1)
    received = []

    def serve():
        connection, _ = server.accept()
        with connection, connection.makefile("rb") as stream:
            received.append(stream.read().decode())

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    result = subprocess.run([DECODER, str(source), "-o", path, "-q"], capture_output=True,
                            text=True, timeout=120)
    thread.join(timeout=60)
    server.close()
    assert result.returncode == 0, result.stderr
    assert received == [want] and stat.S_ISSOCK(os.stat(path).st_mode)


@pytest.mark.skipif(not IS_ROOT, reason="mknod needs root")
def test_device_nodes_are_written_through_never_replaced(tmp_path, scores, run):
    source, _ = scores
    null = tmp_path / "null"
    full = tmp_path / "full"
    os.mknod(null, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    os.mknod(full, 0o666 | stat.S_IFCHR, os.makedev(1, 7))
    assert run(source, "-o", null, "-q").returncode == 0
    assert stat.S_ISCHR(os.stat(null).st_mode) and os.stat(null).st_rdev == os.makedev(1, 3)
    # A device that is full: one line naming it, exit 1.
    assert one_line_error(run(source, "-o", full, "-q")).endswith(
        f"{full}: No space left on device")
    assert stat.S_ISCHR(os.stat(full).st_mode)
    assert not leftovers(tmp_path)


def test_the_output_is_never_an_input(tmp_path, scores, run):
    source, _ = scores
    before = source.read_bytes()
    os.link(source, tmp_path / "hard.pt")
    os.symlink(source, tmp_path / "soft.fq")
    other = tmp_path / "other.pt"
    torch.save(chunk(20, 2, 9), other)
    for args in ([source, "-o", source], [other, source, "-o", tmp_path / "hard.pt"],
                 [source, "-o", tmp_path / "soft.fq", "--format", "fastq"]):
        assert "is the same file as input" in one_line_error(run(*args), status=2)
    # The slip of -o for a second input: a score file is never replaced, whatever its name.
    os.rename(other, tmp_path / "other.data")
    assert "is a score file" in one_line_error(run("-o", source, tmp_path / "other.data"), 2)
    assert "is a score file" in one_line_error(run(source, "-o", tmp_path / "other.data"), 2)
    assert source.read_bytes() == before


def test_operating_system_errors_are_one_line(tmp_path, scores, run):
    source, _ = scores
    cases = {
        tmp_path / "missing" / "out.fq": "No such file or directory",
        tmp_path: "Is a directory",
        "/proc/tovrel-decode-test.fq": "",
    }
    for output, reason in cases.items():
        line = one_line_error(run(source, "-o", output))
        assert line.startswith(f"tovrel-decode: error: {output}: ") and line.endswith(reason)
    assert not leftovers(tmp_path)


def test_pipes_and_a_closed_standard_output(tmp_path):
    # More output than a pipe holds, so that the writer meets the closed pipe whatever the timing.
    torch.save(torch.randn(150, 500, 5 * 4**2, generator=torch.Generator().manual_seed(5)) * 2,
               tmp_path / "many.pt")
    # The reader leaves after one line: a quiet end, with SIGPIPE's status.
    result = subprocess.run(f"'{DECODER}' '{tmp_path / 'many.pt'}' | head -n 1", shell=True,
                            capture_output=True, text=True, timeout=120,
                            executable="/bin/bash")
    assert result.stdout == "@many_0\n"
    # A reader gone before the output is written, in every format: a quiet end, status 141.
    for kind in ("fastq", "sam", "bam"):
        piped = subprocess.run(f"set -o pipefail; '{DECODER}' -q '{tmp_path / 'many.pt'}' "
                               f"--format {kind} | true", shell=True, capture_output=True,
                               text=True, timeout=120, executable="/bin/bash")
        assert piped.returncode == 141 and piped.stderr == "", kind
    closed = subprocess.run(f"'{DECODER}' '{tmp_path / 'many.pt'}' >&-", shell=True,
                            capture_output=True, text=True, timeout=120)
    assert one_line_error(closed) == "tovrel-decode: error: standard output: Bad file descriptor"


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_a_killed_run_leaves_nothing_behind(tmp_path, signum):
    # Slow enough to be caught decoding: wide beams over many chunks on one thread.
    chunks = torch.randn(200, 2000, 20, generator=torch.Generator().manual_seed(1)) * 0.1
    torch.save(chunks, tmp_path / "slow.pt")
    output = tmp_path / "out.fq"
    output.write_text("earlier contents\n")
    process = subprocess.Popen([DECODER, str(tmp_path / "slow.pt"), "-o", str(output),
                                "--threads", "1", "--beam-size", "256", "-q"],
                               stderr=subprocess.PIPE, text=True, preexec_fn=default_signals)
    wait_for(lambda: writing_privately(process.pid, tmp_path), "it wrote its output", process)
    process.send_signal(signum)
    _, err = process.communicate(timeout=60)
    assert process.returncode == 128 + signum, err
    assert "Traceback" not in err
    assert output.read_text() == "earlier contents\n" and not leftovers(tmp_path)


def test_read_names_are_checked(tmp_path, run):
    scores = [chunk(20, 2, i) for i in range(2)]
    cases = {
        "newline": ({"scores": scores, "names": ["a\nb", "c"]}, "'a\\nb' holds whitespace"),
        "empty": ({"scores": scores, "names": ["", "c"]}, "the read name is empty"),
        "control": ({"scores": scores, "names": ["a\x07", "c"]}, "a control character"),
        "duplicate": ({"scores": scores, "names": ["a", "a"]}, "'a' is used again"),
        "bytes": ({"scores": scores, "names": [b"x", "c"]}, "names[0] is bytes"),
        "tensor": ({"scores": scores, "names": ["c", torch.tensor(5)]}, "names[1] is Tensor"),
        "key": ({5: scores[0]}, "a key is int"),
    }
    for label, (content, message) in cases.items():
        torch.save(content, tmp_path / f"{label}.pt")
        output = tmp_path / f"{label}.fq"
        assert message in one_line_error(run(tmp_path / f"{label}.pt", "-o", output)), label
        assert not output.exists()
    # Duplicates across inputs, and names SAM cannot carry.
    torch.save({"a": scores[0]}, tmp_path / "a.pt")
    assert "'a' is used again" in one_line_error(run(tmp_path / "a.pt", tmp_path / "a.pt"))
    torch.save({"x@y": scores[0]}, tmp_path / "at.pt")
    assert run(tmp_path / "at.pt", "-q").returncode == 0
    assert "not a SAM read name" in one_line_error(
        run(tmp_path / "at.pt", "-o", tmp_path / "at.sam"))


def test_values_that_cannot_be_decoded(tmp_path, run):
    good = [chunk(20, 2, i) for i in range(3)]
    nan, inf, dead = (c.clone() for c in good)
    nan[4, 7] = float("nan")
    inf[6, 0] = float("inf")
    dead[9] = float("-inf")
    guides = [torch.tensor(tovrel.backward_scores(c)) for c in good]
    posts = [torch.tensor(tovrel.posts(c)) for c in good]
    nan_guides = [g.clone() for g in guides]
    nan_guides[1][3 * 16 + 2] = float("nan")
    long = chunk(2000, 2, 7)
    blocked = chunk(20, 2, 8)
    blocked[5, 5:] = float("-inf")  # block 5 only enters state 0...
    sources = [d if j == 0 else d // 4 + (j - 1) * 4 for d in range(16) for j in range(5)]
    blocked[6, [i for i, source in enumerate(sources) if source != 1]] = float("-inf")
    cases = {
        "nan": ([good[0], nan], "read nan_1: scores at block 4 hold NaN"),
        "inf": ([inf, good[1]], "read inf_0: scores at block 6 hold +inf"),
        "dead": ([good[0], good[1], dead], "read dead_2: scores at block 9 are all -inf"),
        "guides": ({"scores": good, "back_guides": nan_guides, "posts": posts},
                   "read guides_1: back_guides at boundary 3 hold NaN"),
        # ...and block 6 only leaves state 1: no path of finite scores runs through the chunk.
        "blocked": ([good[0], blocked],
                    "read blocked_1: scores at block 6 leave no path of finite scores"),
        "posts": ({"scores": good, "back_guides": guides, "posts": [p * 1.5 for p in posts]},
                  "read posts_0: posteriors at boundary 0 sum to 1.5, not 1"),
    }
    for label, (content, message) in cases.items():
        torch.save(content, tmp_path / f"{label}.pt")
        output = tmp_path / f"{label}.fq"
        assert message in one_line_error(run(tmp_path / f"{label}.pt", "-o", output)), label
        assert not output.exists()
    # Finite scores far too large for unnormalised guides decode over renormalised ones.
    torch.save([good[0], long + 1e5, long * 1e37], tmp_path / "large.pt")
    result = run(tmp_path / "large.pt")
    assert result.returncode == 0 and result.stdout.count("\n@large_") == 2
    # --skip-invalid leaves such reads out, with a warning each, and counts them.
    result = run(tmp_path / "nan.pt", tmp_path / "dead.pt", tmp_path / "blocked.pt",
                 "--skip-invalid")
    assert result.returncode == 0
    warnings = [line for line in result.stderr.splitlines() if "warning" in line]
    assert len(warnings) == 3 and "nan_1" in warnings[0] and "dead_2" in warnings[1]
    assert "blocked_1" in warnings[2] and ", 3 skipped, " in result.stderr
    names = ["nan_0", "dead_0", "dead_1", "blocked_0"]
    assert result.stdout == expected(names, [good[0], good[0], good[1], good[0]])
    # The module itself keeps decoding NaN as it always has.
    assert len(tovrel.beam_search(nan, guides[1], posts[1])[0]) > 0
    assert fastq([]) == ""
