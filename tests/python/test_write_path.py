"""What is written is what was given: tags as SAM/BAM keep them, caller-built reads checked,
signal layouts that fit their reads, no read lost to a callback or to inference mode, partial
files and streams readable to their last flush, and nothing held after a failed write."""
import array
import bz2
import gzip
import lzma
import os
import select
import signal
import subprocess
import sys
import tempfile
import warnings
import zlib

import numpy as np
import pysam
import pytest
import torch
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tovrel_tensors
import tovrel_decode
from tovrel_decode import (Decoder, DecodedRead, InputError, Program, ReadInfo, command_line,
                           join_chunks, open_writer)
from tovrel_decode.errors import OutputError
from tovrel_decode.targets import FileTarget

from decoder_helpers import DECODER, chunk, default_signals, wait_for

deterministic = settings(derandomize=True, database=None, deadline=None, max_examples=60,
                         suppress_health_check=[HealthCheck.too_slow,
                                                HealthCheck.function_scoped_fixture])
MOVES = np.array([1, 0, 1, 1], np.uint8)


def read_back(path):
    # A partial BAM file has no end-of-file block yet, as after a kill: read with a warning.
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "no BGZF EOF marker")
        with pysam.AlignmentFile(str(path), check_sq=False, ignore_truncation=True) as alignments:
            return list(alignments.fetch(until_eof=True))


# Tags: one rule at the door, kept as written

INT_RANGES = {"b": (-2**7, 2**7 - 1), "B": (0, 2**8 - 1), "h": (-2**15, 2**15 - 1),
              "H": (0, 2**16 - 1), "i": (-2**31, 2**31 - 1), "I": (0, 2**32 - 1)}
singles = st.floats(allow_nan=False, allow_infinity=False, width=32)


@st.composite
def tag_values(draw):
    kind = draw(st.sampled_from(["int", "float", "text", "list", "numpy", "array"]))
    if kind == "int":
        return draw(st.one_of(st.integers(-2**31, 2**32 - 1),
                              st.integers(-2**31, 2**31 - 1).map(np.int64)))
    if kind == "float":
        return draw(st.one_of(singles, singles.map(np.float32),
                              st.floats(-3e38, 3e38, allow_nan=False)))
    if kind == "text":
        return draw(st.text(st.characters(min_codepoint=32, max_codepoint=126), max_size=20))
    code = draw(st.sampled_from("bBhHiIf"))
    elements = singles if code == "f" else st.integers(*INT_RANGES[code])
    values = draw(st.lists(elements, min_size=1, max_size=8))
    if kind == "numpy":
        return np.array(values, np.float32 if code == "f" else np.dtype(code))
    return array.array(code, values) if kind == "array" else values


tag_names = st.from_regex(r"\A[XYZxyz][A-Za-z0-9]\Z")


@deterministic
@given(tags=st.dictionaries(tag_names, tag_values(), max_size=5))
def test_what_readinfo_accepts_every_writer_writes_and_reads_back(tags):
    info = ReadInfo(tags=tags)
    read = DecodedRead("r", "ACG", "I+5", MOVES, info.tags)
    with tempfile.TemporaryDirectory() as folder:
        for name in ("out.sam", "out.bam", "out.fastq.gz"):
            with open_writer(os.path.join(folder, name)) as writer:
                writer.write(read)
        for name in ("out.sam", "out.bam"):
            (record,) = read_back(os.path.join(folder, name))
            for tag, kept in info.tags.items():
                got = record.get_tag(tag)
                assert (list(got) if isinstance(got, array.array) else got) == \
                    (list(kept) if isinstance(kept, tuple) else kept), (name, tag)
    assert ReadInfo(tags=tags) == info and hash(ReadInfo(tags=tags)) == hash(info)


@pytest.mark.parametrize("value, error", [
    (1e300, "finite single precision"), (np.float64(-1e39), "finite single precision"),
    ([1.0, 1e300], "finite single precision"), (2**32, "32-bit"), (np.int64(-2**31 - 1), "32-bit"),
    ([], "empty array"), (array.array("d"), "empty array"), ([1, 2.5], "not both"),
    ([-1, 2**31], "fit no 32-bit"),
    (np.zeros((2, 2)), "1-D"), (np.array([True]), "bool"), (True, "bool"), (b"x", "bytes"),
    ("tab\there", "SAM text"),
])
def test_values_sam_cannot_hold_are_refused_naming_the_tag(value, error):
    with pytest.raises((TypeError, ValueError), match=f"tag xv: .*{error}"):
        ReadInfo(tags={"xv": value})


@pytest.mark.parametrize("field, value", [("stride", 128), ("stride", 0),
                                          ("trimmed_samples", 2**31), ("samples", -1)])
def test_a_signal_layout_beyond_its_sam_types_is_refused(field, value):
    with pytest.raises(ValueError, match=field):
        ReadInfo(**{field: value})


def test_readinfo_takes_a_snapshot_and_compares_by_value(tmp_path):
    buffer, names = np.zeros(3, np.int64), []
    infos = []
    for i in range(3):
        buffer[:] = [i, 10 * i, 100 * i]  # one buffer, refilled for each read
        infos.append(ReadInfo(tags={"xs": buffer, "xm": np.float32(0.5), "xn": np.str_("a")}))
        names.append(f"r{i}")
    with open_writer(tmp_path / "out.bam") as writer:
        for name, info in zip(names, infos):
            writer.write(DecodedRead(name, "ACG", "III", MOVES, info.tags))
    assert [list(record.get_tag("xs")) for record in read_back(tmp_path / "out.bam")] == \
        [[0, 0, 0], [1, 10, 100], [2, 20, 200]]
    assert infos[1] == ReadInfo(tags={"xs": [1, 10, 100], "xm": 0.5, "xn": "a"})
    assert len({infos[0], infos[1], infos[1]}) == 2
    assert type(infos[0].tags["xm"]) is float and type(infos[0].tags["xn"]) is str


# Reads a caller builds


@pytest.mark.parametrize("fields, problem", [
    (("ACG\n", "IIII", [1, 1, 1, 1]), "sequence"), (("ACN", "III", MOVES), "sequence"),
    (("ACG", "II", MOVES), "quality"), (("ACG", "I\tI", MOVES), "quality"),
    (("ACG", "III", [1, 2, 0, 1]), "0 and 1"), (("ACG", "III", [1.0, 1.0, 0.0, 1.0]), "0 and 1"),
    (("ACG", "III", [1, 1, 0, 0]), "2 moves of 1"), (("ACG", "III", [[1, 1, 1]]), "0 and 1"),
])
def test_a_caller_built_read_is_checked_where_it_is_built(fields, problem):
    with pytest.raises(InputError, match=f"read mine: .*{problem}"):
        DecodedRead("mine", *fields)


def test_a_caller_built_read_keeps_its_moves_as_written(tmp_path):
    given = np.array([1, 1, 1, 1], np.int64)
    read = DecodedRead("r", "ACGT", "IIII", given, {"xa": [1, 2]})
    given[0] = 0
    assert read.moves.dtype == np.uint8 and list(read.moves) == [1, 1, 1, 1]
    assert not read.moves.flags.writeable
    with open_writer(tmp_path / "out.bam") as writer:
        writer.write(read)
        with pytest.raises(TypeError, match="DecodedReads"):
            writer.write(("r", "A", "I", [1]))
    (record,) = read_back(tmp_path / "out.bam")
    assert list(record.get_tag("mo")) == [1, 1, 1, 1]


# The decoder: layouts, callbacks that raise, inference mode


def test_a_signal_layout_that_does_not_fit_its_read_is_refused_naming_it():
    with Decoder() as decoder:
        decoder.submit("fits", chunk(100, 1, 1), info=ReadInfo(stride=5, trimmed_samples=40,
                                                               samples=540))
        decoder.submit("long", chunk(100, 1, 2), info=ReadInfo(stride=5, trimmed_samples=40,
                                                               samples=300))
        decoder.close()
        assert [read.name for read in decoder.ready()] == ["fits"]
        with pytest.raises(InputError, match="read long: .*sample 540, beyond its 300 samples"):
            decoder.ready()


class Refused(Exception):
    pass


def refuse(read):
    raise Refused(read.name)


@pytest.mark.parametrize("how", ["ready", "reads"])
def test_no_read_is_lost_to_a_callback_that_raises(how):
    nan = chunk(20, 1, 9)
    nan[3, 3] = float("nan")
    with Decoder(on_invalid=refuse) as decoder:
        for i in range(7):
            decoder.submit(f"r{i}", nan if i == 3 else chunk(20, 1, i))
        decoder.close()
        got = []
        for _ in range(3):
            try:
                if how == "ready":
                    got += decoder.ready()
                else:
                    for read in decoder.reads():
                        got.append(read)
            except Refused as refused:
                got.append(str(refused))
    assert [getattr(read, "name", read) for read in got] == \
        ["r0", "r1", "r2", "r3", "r4", "r5", "r6"]


def test_inference_mode_anywhere_in_the_loop_changes_nothing():
    scores = [chunk(30, 2, i) for i in range(4)]
    got = []
    with Decoder() as decoder:
        for i, chunk_scores in enumerate(scores):
            if i % 2:
                decoder.submit(f"r{i}", chunk_scores)
            else:
                with torch.inference_mode():
                    decoder.submit(f"r{i}", chunk_scores.clone())
            # Decoded before the next submission, which may then reuse the copy's memory.
            got.append(next(iter(decoder.reads())))
    want = [tovrel_tensors.decode_batch_checked([s])[0][0] for s in scores]
    assert [read.sequence for read in got] == want


# Joining chunks


def test_join_chunks_checks_its_overlaps():
    five = ("A", "I", [0, 0, 1, 0, 0])
    with pytest.raises(ValueError, match="overlap by 8 blocks, but chunk 0 has 5"):
        join_chunks([five, five], 8)
    with pytest.raises(ValueError, match="overlap must be an int"):
        join_chunks([five, five], True)


# Partial files and streams


def test_a_link_planted_at_the_partial_name_is_replaced_not_written_through(tmp_path):
    victim = tmp_path / "victim"
    victim.write_text("precious\n")
    (tmp_path / "out.fastq.partial").symlink_to(victim)
    with open_writer(tmp_path / "out.fastq", keep_partial=True) as writer:
        writer.write(DecodedRead("r", "ACG", "III", MOVES))
    assert victim.read_text() == "precious\n"
    assert not os.path.islink(tmp_path / "out.fastq")
    assert (tmp_path / "out.fastq").read_text() == "@r\nACG\n+\nIII\n"


FORMATS = ["fastq", "fastq.gz", "fastq.bz2", "fastq.xz", "sam", "bam"]


def records_in(data, kind):
    """The names of the records a reader gets from `data` in format `kind`."""
    decompress = {"gz": gzip.decompress, "bz2": bz2.decompress, "xz": lzma.decompress}
    _, _, compression = kind.partition(".")
    if compression:
        try:
            data = decompress[compression](data) if data else b""
        except (EOFError, OSError, ValueError, lzma.LZMAError, zlib.error):
            return []  # a member being written
    if kind in ("sam", "bam"):
        with tempfile.NamedTemporaryFile(suffix=f".{kind}") as file:
            file.write(data)
            file.flush()
            try:
                return [record.query_name for record in read_back(file.name)]
            except (OSError, ValueError):
                return []  # not even a header yet
    return [line[1:] for line in data.decode().split("\n")[0::4] if line]


WRITING = """
import os, sys, numpy as np
from tovrel_decode import DecodedRead, open_writer
path, kind, count = None if sys.argv[1] == "-" else sys.argv[1], sys.argv[2], int(sys.argv[3])
with open_writer(path, kind, keep_partial=True) as writer:
    for i in range(count):
        writer.write(DecodedRead(f"r{i}", "ACG", "III", np.array([1, 0, 1, 1], np.uint8)))
    sys.stdin.readline()  # killed here, flushes aside
"""


@pytest.mark.parametrize("kind", FORMATS)
def test_a_killed_writer_leaves_every_read_up_to_its_last_flush(tmp_path, kind):
    partial = tmp_path / f"out.{kind}.partial"
    with subprocess.Popen([sys.executable, "-c", WRITING, str(tmp_path / f"out.{kind}"), kind,
                           "300"], stdin=subprocess.PIPE, preexec_fn=default_signals) as child:
        wait_for(lambda: partial.exists() and
                 len(records_in(partial.read_bytes(), kind)) == 300, "it flushed", child)
        child.kill()
    assert child.wait(timeout=60) == -signal.SIGKILL
    assert records_in(partial.read_bytes(), kind) == [f"r{i}" for i in range(300)]


@pytest.mark.parametrize("kind", FORMATS)
def test_every_format_streams_into_a_pipe_as_it_is_written(kind):
    with subprocess.Popen([sys.executable, "-c", WRITING, "-", kind, "50"],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE) as child:
        received = b""
        while len(records_in(received, kind)) < 50:  # before the writer closes
            assert select.select([child.stdout], [], [], 300)[0], "nothing came"
            received += os.read(child.stdout.fileno(), 1 << 16)
        child.stdin.close()
        assert child.wait(timeout=60) == 0


FILLING = """
import gc, os, resource, signal, sys, numpy as np
from tovrel_decode import DecodedRead, open_writer
from tovrel_decode.errors import OutputError
folder, kind, keep, ending = sys.argv[1], sys.argv[2], sys.argv[3] == "keep", sys.argv[4]
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG
resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, 1 << 16))
writer = open_writer(os.path.join(folder, "out." + kind), keep_partial=keep)
rng = np.random.default_rng(1)
try:
    for i in range(100000):
        bases = "".join(rng.choice(list("ACGT"), 200))
        writer.write(DecodedRead(f"r{i}", bases, "I" * 200, np.ones(200, np.uint8)))
        writer.flush()
except OutputError as error:
    print(error, file=sys.stderr)
if ending == "close":
    try:
        writer.close()
    except OutputError:
        pass
del writer
gc.collect()
for fd in os.listdir("/proc/self/fd"):
    try:
        held = os.readlink(f"/proc/self/fd/{fd}")
    except OSError:
        continue  # the listing's own descriptor
    if folder in held:
        print(held)
"""


@pytest.mark.parametrize("kind", ["bam", "fastq.gz", "sam"])
@pytest.mark.parametrize("keep", ["keep", "private"])
@pytest.mark.parametrize("ending", ["close", "drop"])
def test_a_failed_write_releases_every_descriptor_and_private_file(tmp_path, kind, keep, ending):
    result = subprocess.run([sys.executable, "-c", FILLING, str(tmp_path), kind, keep, ending],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0 and "File too large" in result.stderr, result.stderr
    assert result.stdout == ""
    left = sorted(os.listdir(tmp_path))
    assert left == ([f"out.{kind}.partial"] if keep == "keep" else [])


# The smaller faults


@pytest.mark.parametrize("shape, error", [
    ((2.0, 20), TypeError), (("2", 20), TypeError), ((2**64, 20), ValueError),
    ((True, 20), TypeError)])
def test_check_chunk_refuses_shapes_of_other_types_as_python_errors(shape, error):
    class Described:
        dtype = torch.float32

    Described.shape = shape
    with pytest.raises(error, match="scores.shape"):
        tovrel_tensors.check_chunk(Described())


def test_a_read_only_file_system_is_named_as_such(tmp_path, monkeypatch):
    output = tmp_path / "out.fastq"
    output.write_text("")
    monkeypatch.setattr(os, "access", lambda *args, **kwargs: False)
    real = os.statvfs
    monkeypatch.setattr(os, "statvfs", lambda path: type("V", (), {
        "f_flag": real(path).f_flag | os.ST_RDONLY})())
    with pytest.raises(OutputError, match="Read-only file system"):
        FileTarget(str(output)).check()


@pytest.mark.parametrize("group, message", [
    ("ID:a\\tID:b", "gives ID twice"), ("SM:x", "needs an ID"), ("ID:", "TAG:VALUE"),
    ("ID:a\tSM", "TAG:VALUE")])
def test_a_malformed_read_group_is_a_usage_error(tmp_path, group, message):
    torch.save(chunk(5, 1, 1), tmp_path / "one.pt")
    result = subprocess.run([DECODER, str(tmp_path / "one.pt"), "--read-group", group, "-o",
                             str(tmp_path / "out.bam")], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 2 and message in result.stderr


def test_read_groups_and_options_that_do_nothing(tmp_path):
    torch.save(chunk(5, 2, 1), tmp_path / "one.pt")
    result = subprocess.run([DECODER, str(tmp_path / "one.pt"), "--read-group", "@RG\\tID:a",
                             "--stride", "5", "-o", str(tmp_path / "out.fastq")],
                            capture_output=True, text=True, timeout=300)
    warnings = [line for line in result.stderr.splitlines() if "warning" in line]
    assert result.returncode == 0 and warnings == [
        "tovrel-decode: warning: --read-group and --stride only change SAM/BAM records; fastq "
        "output has none"]
    for groups, error in ((["a"], TypeError), ([{"ID": "a"}, {"ID": "a"}], ValueError)):
        with pytest.raises(error):
            open_writer(tmp_path / "out.bam", read_groups=groups)


def test_program_and_the_command_quoting_are_public(tmp_path):
    assert tovrel_decode.Program is Program and "command_line" in tovrel_decode.__all__
    arguments = ["caller.py", "--in", "tab\there", "naïve"]
    program = Program("caller", command_line=command_line(arguments))
    with open_writer(tmp_path / "out.sam", program=program) as writer:
        writer.write(DecodedRead("r", "ACG", "III", MOVES))
    with pysam.AlignmentFile(str(tmp_path / "out.sam"), check_sq=False) as alignments:
        recorded = alignments.header.to_dict()["PG"][0]["CL"]
    shell = subprocess.run(["bash", "-c", f"printf '%s\\n' {recorded}"], capture_output=True,
                           timeout=60)
    assert shell.stdout.decode().split("\n")[:-1] == arguments


def test_numpys_own_keys_name_nothing(tmp_path):
    folder = tmp_path / "scores"
    folder.mkdir()
    for name, seed in (("a", 1), ("b", 2)):
        np.savez(folder / f"{name}.npz", chunk(10, 1, seed).numpy())
    result = subprocess.run([DECODER, "-q", str(folder)], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[0::4][:2] == ["@a_0", "@b_0"]


def test_values_are_kept_as_the_writer_takes_them_whatever_their_type_says(tmp_path):
    class Lying(str):
        def __str__(self):
            return "bad\tvalue"

    class Huge(int):
        def __le__(self, other):
            return True

        def __ge__(self, other):
            return True

    assert ReadInfo(tags={"xa": Lying("ok")}).tags["xa"] == "ok"
    with pytest.raises(ValueError, match="beyond SAM's 32-bit integers"):
        ReadInfo(tags={"xa": Huge(2**40)})
    with pytest.raises(TypeError, match="tag RG names a read group"):
        ReadInfo(tags={"RG": 1})
    assert ReadInfo(tags={"xa": 1}) != ReadInfo(tags={"xa": 1.0})  # written as i and as f
    with pytest.raises(ValueError, match="not one of SAM's @RG fields"):
        open_writer(tmp_path / "groups.sam", read_groups=[{"ID": "a", "XX": "1"}])
    torch.save([chunk(20, 1, 3)], tmp_path / "x.pt")
    command = [sys.executable, "-m", "tovrel_decode", str(tmp_path / "x.pt"), "--read-group",
               "ID:a\tXX:1", "-o", str(tmp_path / "x.sam")]
    result = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert result.returncode == 2 and "XX is not one of SAM's @RG fields" in result.stderr
    # numpy's own strings name reads that every format writes.
    names = np.array(["first", "second"])
    with Decoder(threads=1) as decoder:
        decoder.submit_batch(torch.stack([chunk(30, 1, 1), chunk(30, 1, 2)]), list(names))
    reads = decoder.ready()
    assert [type(read.name) for read in reads] == [str, str]
    built = DecodedRead(names[0], "A", "I", [1])
    for name in ("reads.fastq", "reads.fasta.gz"):
        with open_writer(tmp_path / name) as writer:
            for read in (*reads, built):
                writer.write(read)
