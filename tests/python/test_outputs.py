"""Outputs as the next tool receives them: every byte or an error, descriptors written through,
protected files refused, well-formed headers whatever the names, reads streamed as they come,
partial files marked, and the SAM/BAM tags signal tools read."""
import fcntl
import os
import shlex
import subprocess
import sys

import dnaio
import numpy as np
import pysam
import pytest
import torch

from tovrel_decode import DecodedRead, ReadInfo, open_writer
from tovrel_decode.writers import Program

from decoder_helpers import DECODER, chunk, expected
from test_cli_safety import IS_ROOT, one_line_error

MANY_BLOCKS = (600, 300, 5 * 4**2)  # a few MB of reads, more than any pipe holds


@pytest.fixture(scope="module")
def many(tmp_path_factory):
    path = tmp_path_factory.mktemp("many") / "many.pt"
    torch.save(torch.randn(*MANY_BLOCKS, generator=torch.Generator().manual_seed(3)) * 2, path)
    return path


def shell(command, **kwargs):
    return subprocess.run(command, shell=True, capture_output=True, timeout=600,
                          executable="/bin/bash", **kwargs)


# Writes


def test_the_writers_load_neither_torch_nor_numpy(python_in_subprocess):
    result = python_in_subprocess("import sys, tovrel_decode.writers; "
                                  "print(sorted({'torch', 'numpy'} & set(sys.modules)))")
    assert result.stdout == "[]\n", result.stderr


@pytest.mark.parametrize("kind", ["fastq", "fasta.gz", "sam", "bam"])
def test_a_reader_that_leaves_early_ends_the_run_with_sigpipes_status(many, kind):
    # A pipe of one page, so that the output outgrows it in every format.
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
    head = subprocess.Popen(["head", "-c", "100"], stdin=read_end, stdout=subprocess.DEVNULL)
    run = subprocess.Popen([DECODER, "-q", str(many), "--format", kind], stdout=write_end,
                           stderr=subprocess.PIPE)
    os.close(read_end)
    os.close(write_end)
    _, err = run.communicate(timeout=600)
    assert head.wait(timeout=60) == 0
    assert run.returncode == 141 and err == b""


def test_every_byte_reaches_a_non_blocking_pipe_with_a_slow_reader(many):
    want = subprocess.run([DECODER, "-q", str(many)], capture_output=True, timeout=600).stdout
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    process = subprocess.Popen([DECODER, "-q", str(many)], stdout=write_end,
                               env={**os.environ, "PYTHONUNBUFFERED": "1"})
    os.close(write_end)
    got = bytearray()
    with os.fdopen(read_end, "rb", buffering=0) as pipe:
        while piece := pipe.read(4096):  # a small read at a time: the writer meets a full pipe
            got += piece
    assert process.wait(timeout=600) == 0
    assert bytes(got) == want


@pytest.mark.skipif(not IS_ROOT, reason="mounting a small file system needs root")
def test_a_full_file_system_behind_standard_output_is_an_error(many, tmp_path):
    full = tmp_path / "full"
    full.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(full)]).returncode:
        pytest.skip("this machine cannot mount a tmpfs")
    try:
        result = shell(f"'{DECODER}' '{many}' > '{full}/out.fq'",
                       env={**os.environ, "PYTHONUNBUFFERED": "1"})
        assert one_line_error(subprocess.CompletedProcess([], result.returncode, "",
                                                          result.stderr.decode())) == \
            "tovrel-decode: error: standard output: No space left on device"
    finally:
        subprocess.run(["umount", str(full)], check=True)


# Destinations


def test_descriptors_named_as_paths_are_written_through(tmp_path):
    torch.save(chunk(30, 2, 1), tmp_path / "one.pt")
    torch.save(chunk(40, 2, 2), tmp_path / "two.pt")
    one, two = f"'{tmp_path / 'one.pt'}'", f"'{tmp_path / 'two.pt'}'"
    want = {name: expected([f"{name}_0"], [chunk(30 + 10 * i, 2, i + 1)])
            for i, name in enumerate(("one", "two"))}
    accumulated = tmp_path / "acc.fq"
    accumulated.write_text("earlier\n")
    for source in (one, two, one):
        assert shell(f"'{DECODER}' -q {source} -o /dev/stdout >> '{accumulated}'").returncode == 0
    assert accumulated.read_text() == "earlier\n" + want["one"] + want["two"] + want["one"]
    compound = tmp_path / "compound"
    shell(f"( echo header; '{DECODER}' -q {two} -o /proc/self/fd/1; '{DECODER}' -q {one} "
          f"-o /dev/fd/3 3>&1; echo trailer ) > '{compound}'")
    assert compound.read_text() == "header\n" + want["two"] + want["one"] + "trailer\n"
    assert sorted(os.listdir(tmp_path)) == ["acc.fq", "compound", "one.pt", "two.pt"]


def test_a_write_protected_output_is_refused(tmp_path):
    torch.save(chunk(30, 2, 1), tmp_path / "one.pt")
    protected = tmp_path / "p.fq"
    protected.write_text("kept\n")
    protected.chmod(0o444)
    # Root writes any file (as the shell's `>` does for it) through CAP_DAC_OVERRIDE: without it.
    as_user = ["setpriv", "--bounding-set=-dac_override"] if IS_ROOT else []
    result = subprocess.run([*as_user, DECODER, "-q", str(tmp_path / "one.pt"), "-o",
                             str(protected)], capture_output=True, text=True, timeout=300)
    assert one_line_error(result) == f"tovrel-decode: error: {protected}: Permission denied"
    assert protected.read_text() == "kept\n"


# Headers


def test_the_header_is_well_formed_whatever_the_names(tmp_path):
    folder = tmp_path / "a\tb\n@SQ\tSN:chr1\tLN:100\nc"
    folder.mkdir()
    source = os.fsencode(folder / "x") + b"\xff.pt"
    torch.save(chunk(30, 2, 1), folder / "x.pt")
    os.rename(os.fsencode(folder / "x.pt"), source)
    for output in ("out.sam", "out.bam"):
        result = subprocess.run([DECODER, "-q", source, "-o", tmp_path / output,
                                 "--read-group", "ID:run1\\tSM:x"],
                                capture_output=True, timeout=300)
        assert result.returncode == 0, result.stderr
        with pysam.AlignmentFile(tmp_path / output, check_sq=False) as alignments:
            header = alignments.header.to_dict()
            records = list(alignments.fetch(until_eof=True))
        assert not header.get("SQ") and header["RG"] == [{"ID": "run1", "SM": "x"}]
        command = header["PG"][0]["CL"]
        assert command.isascii() and "\t" not in command and "\n" not in command
        assert shlex.split(command)[1] == "-q" and "$'" in command
        assert [r.get_tag("RG") for r in records] == ["run1"]
        # A name no output can hold is made one: the file's bytes become '_'.
        assert records[0].query_name == "x__0"


# Streams and partial files


STREAMING = """
import sys, torch
from tovrel_decode import Decoder, open_writer
with Decoder() as decoder, open_writer(None, "fastq") as writer:
    decoder.submit("first", torch.randn(30, 80))
    decoder.close()
    for read in decoder.reads():
        writer.write(read)
    sys.stdin.readline()  # held until the reader has the first record
    writer.write(read.__class__("second", "A", "I", read.moves[:1]))
"""


def test_reads_reach_a_pipe_as_they_are_written():
    with subprocess.Popen([sys.executable, "-c", STREAMING], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True) as process:
        assert process.stdout.readline() == "@first\n"  # flushed within a second, run not over
        assert process.poll() is None
        process.stdin.write("go\n")
        process.stdin.flush()
        rest = process.stdout.read()
    assert process.wait(timeout=120) == 0 and rest.endswith("@second\nA\n+\nI\n")


def test_a_run_failing_after_it_streamed_reads_says_so(tmp_path):
    nan = chunk(40, 2, 2)
    nan[3, 3] = float("nan")
    torch.save([chunk(40, 2, 1), nan], tmp_path / "late.pt")
    result = subprocess.run([DECODER, str(tmp_path / "late.pt")], capture_output=True, text=True,
                            timeout=300)
    assert result.stdout.startswith("@late_0\n")
    assert one_line_error(result) == \
        "tovrel-decode: error: read late_1: scores at block 3 hold NaN; it cannot be decoded"


@pytest.mark.parametrize("name", ["calls.bam", "calls.fastq.gz"])
def test_a_failed_long_run_keeps_its_reads_in_a_partial_file(tmp_path, name):
    moves = np.array([1, 0, 1], np.uint8)
    reads = [DecodedRead(f"r{i}", "AC", "II", moves) for i in range(147)]
    output = tmp_path / name
    with pytest.raises(RuntimeError, match="the network failed"):
        with open_writer(output, keep_partial=True) as writer:
            for read in reads:
                writer.write(read)
            writer.flush()
            raise RuntimeError("the network failed")
    assert os.listdir(tmp_path) == [f"{name}.partial"]
    partial = tmp_path / f"{name}.partial"
    if name.endswith(".bam"):
        with pysam.AlignmentFile(partial, check_sq=False) as alignments:
            assert [r.query_name for r in alignments.fetch(until_eof=True)] == \
                [read.name for read in reads]
    else:
        with dnaio.open(partial) as records:
            assert [record.name for record in records] == [read.name for read in reads]
    with open_writer(output, keep_partial=True) as writer:
        writer.write(reads[0])
    assert os.listdir(tmp_path) == [name]


# Tags for signal tools


def test_tags_read_groups_and_programs_round_trip(tmp_path):
    moves = np.array([1, 0, 1, 1, 0, 0, 1], np.uint8)
    tags = {"RG": "run1", "ch": 512, "du": 1.25, "st": "2026-12-08T10:00:00Z",
            "xa": np.array([1, -2, 3], np.int16)}
    info = ReadInfo(tags=tags, stride=5, trimmed_samples=12, samples=12 + 5 * 7)
    read = DecodedRead("r", "ACGT", "+5?I", moves, info.tags, info.stride,
                       info.trimmed_samples, info.samples)
    plain = DecodedRead("q", "ACGT", "IIII", moves)
    program = Program("caller", "caller.py", "2.0", "caller.py --fast")
    with open_writer(tmp_path / "out.bam", program=program,
                     read_groups=[{"ID": "run1", "SM": "sample"}]) as writer:
        writer.write(read)
        writer.write(plain)
        with pytest.raises(ValueError, match="read group 'other' is not among"):
            writer.write(DecodedRead("x", "A", "I", moves[:1], {"RG": "other"}))
    with pysam.AlignmentFile(tmp_path / "out.bam", check_sq=False) as alignments:
        header = alignments.header.to_dict()
        got, got_plain = alignments.fetch(until_eof=True)
    assert header["PG"][0] == {"ID": "caller", "PN": "caller.py", "VN": "2.0",
                               "CL": "caller.py --fast"}
    assert header["PG"][1]["ID"] == "tovrel-decode" and header["PG"][1]["PP"] == "caller"
    assert header["RG"] == [{"ID": "run1", "SM": "sample"}]
    assert got.get_tag("RG") == "run1" and got.get_tag("ch") == 512
    assert got.get_tag("du") == 1.25 and got.get_tag("st") == "2026-12-08T10:00:00Z"
    assert list(got.get_tag("xa")) == [1, -2, 3]
    assert got.get_tag("mv").typecode == "b" and list(got.get_tag("mv")) == [5, *moves]
    assert (got.get_tag("ts"), got.get_tag("ns")) == (12, 47)
    # The mean quality is that of the mean error probability: 10, 20, 30 and 40 give 15.9.
    errors = [10 ** (-q / 10) for q in (10, 20, 30, 40)]
    assert got.get_tag("qs") == pytest.approx(-10 * np.log10(np.mean(errors)), abs=1e-4)
    assert list(got_plain.get_tag("mo")) == list(moves) and not got_plain.has_tag("mv")
    for bad in ({"mv": 1}, {"toolong": 1}, {"xx": 2**40}, {"ok": float("nan")}, {"ok": [1, "a"]}):
        with pytest.raises((TypeError, ValueError)):
            ReadInfo(tags=bad)


def signal_intervals(record):
    """The samples of each base of a record, as a signal tool reads them from mv, ts and ns."""
    mv = record.get_tag("mv")
    stride, moves = mv[0], list(mv[1:])
    trimmed = record.get_tag("ts")
    starts = [trimmed + stride * block for block, move in enumerate(moves) if move]
    return list(zip(starts, starts[1:] + [trimmed + stride * len(moves)]))


def test_the_example_basecaller_writes_what_signal_tools_read(tmp_path, monkeypatch):
    import runpy

    from test_decoder_api import REPOSITORY

    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "argv", ["basecall.py", "--reads", "6", "-o", "calls.bam"])
    runpy.run_path(os.path.join(REPOSITORY, "examples", "basecall.py"), run_name="__main__")
    with pysam.AlignmentFile(tmp_path / "calls.bam", check_sq=False) as alignments:
        header = alignments.header.to_dict()
        records = list(alignments.fetch(until_eof=True))
    assert [pg["ID"] for pg in header["PG"]] == ["basecall", "tovrel-decode"]
    assert header["RG"] == [{"ID": "run1", "SM": "synthetic"}]
    assert [r.query_name for r in records] == [f"read_{i}" for i in range(6)]
    for record in records:
        mv = record.get_tag("mv")
        # Every sample of the trimmed read is in exactly one block.
        assert record.get_tag("ts") + mv[0] * (len(mv) - 1) == record.get_tag("ns")
        intervals = signal_intervals(record)
        assert len(intervals) == len(record.query_sequence) == sum(mv[1:])
        assert all(start < end for start, end in intervals)
        assert intervals[0][0] == record.get_tag("ts") and \
            intervals[-1][1] == record.get_tag("ns")
        assert record.get_tag("RG") == "run1" and record.get_tag("qs") > 0
