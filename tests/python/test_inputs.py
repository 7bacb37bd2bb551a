"""Inputs as users hand them over: nothing in a folder skipped in silence, names that depend on
the file alone, archives closed once read, compressed and big-endian files, names that are not
UTF-8, and messages that name the file."""
import gzip
import os
import re
import resource
import subprocess
import types

import numpy as np
import pytest
import torch

from tovrel_decode import checks
from tovrel_decode.errors import InputError

from decoder_helpers import DECODER, chunk, expected
from test_cli_safety import IS_ROOT, one_line_error


def decode(*args, **options):
    return subprocess.run([DECODER, *args], capture_output=True, text=True, timeout=600,
                          **options)


def test_a_folder_never_skips_a_file_in_silence(tmp_path):
    folder = tmp_path / "run"
    folder.mkdir()
    torch.save(chunk(30, 2, 1), folder / "a.pt")
    os.symlink("/nonexistent/b.pt", folder / "b.pt")
    torch.save(chunk(30, 2, 3), folder / "c.PT")  # suffixes in any case
    result = decode(str(folder), "-q")
    assert one_line_error(result) == f"tovrel-decode: error: {folder / 'b.pt'}: a dangling " \
                                     "symlink (--skip-unreadable leaves such files out)"
    os.mkfifo(folder / "d.npy")
    skipped = decode(str(folder), "--skip-unreadable")
    assert skipped.returncode == 0
    warnings = [line for line in skipped.stderr.splitlines() if "warning" in line]
    assert warnings == [f"tovrel-decode: warning: skipped {folder / 'b.pt'}: a dangling symlink",
                        f"tovrel-decode: warning: skipped {folder / 'd.npy'}: a FIFO, socket or "
                        "device, not a regular file"]
    # A read's name comes from its own file: c.PT's read is c_0 whatever else is in the folder.
    assert skipped.stdout == expected(["a_0", "c_0"], [chunk(30, 2, 1), chunk(30, 2, 3)])


def test_archives_are_closed_once_read(tmp_path):
    folder = tmp_path / "many"
    folder.mkdir()
    for i in range(300):
        np.savez(folder / f"{i:04d}.npz", **{f"r{i}": chunk(10, 1, i).numpy()})

    def few_descriptors():
        resource.setrlimit(resource.RLIMIT_NOFILE, (128, 128))

    result = decode(str(folder), "-q", preexec_fn=few_descriptors)
    assert result.returncode == 0, result.stderr
    assert result.stdout.count("\n@") + 1 == 300
    # A compressed input's copy holds a descriptor for the run: the command takes what the hard
    # limit allows, and past it names the limit, not the input.
    packed = tmp_path / "packed"
    packed.mkdir()
    torch.save(chunk(10, 1, 0), tmp_path / "one.pt")
    for i in range(200):
        (packed / f"{i:04d}.pt.gz").write_bytes(gzip.compress((tmp_path / "one.pt").read_bytes()))
    soft_only = decode(str(packed), "-q", preexec_fn=lambda: resource.setrlimit(
        resource.RLIMIT_NOFILE, (128, resource.getrlimit(resource.RLIMIT_NOFILE)[1])))
    assert soft_only.returncode == 0, soft_only.stderr
    assert soft_only.stdout.count("\n@") + 1 == 200
    assert re.fullmatch(rf"tovrel-decode: error: {packed}/\d+\.pt\.gz: too many files open at "
                        r"once \(this process may open 128\); raise it \(ulimit -n\)",
                        one_line_error(decode(str(packed), "-q", preexec_fn=few_descriptors)))


def test_compressed_big_endian_and_oddly_named_files(tmp_path):
    scores = chunk(40, 2, 5)
    torch.save(scores, tmp_path / "s.pt")
    with open(tmp_path / "s.pt", "rb") as plain, gzip.open(tmp_path / "g.pt.gz", "wb") as packed:
        packed.write(plain.read())
    np.save(tmp_path / "big.npy", scores.numpy().astype(">f4"))
    odd = os.fsencode(tmp_path / "a") + b"\xff.pt"
    os.rename(os.fsencode(tmp_path / "s.pt"), odd)
    result = decode(str(tmp_path / "g.pt.gz"), str(tmp_path / "big.npy"), odd, "-q")
    assert result.returncode == 0, result.stderr
    assert result.stdout == expected(["g_0", "big_0", "a__0"], [scores] * 3)
    with open(odd, "r+b") as damaged:
        damaged.truncate(100)
    # Shown with the byte that is not UTF-8 escaped.
    assert one_line_error(decode(odd)).startswith(f"tovrel-decode: error: {tmp_path}/a\\xff.pt: ")
    with gzip.open(tmp_path / "noise.pt.gz", "wb") as packed:
        packed.write(b"not scores at all")
    assert one_line_error(decode(str(tmp_path / "noise.pt.gz"))) == \
        f"tovrel-decode: error: {tmp_path / 'noise.pt.gz'}: compressed, but not a score file"
    # gzip is inflated on a thread of its own: its faults still reach the run.
    packed = (tmp_path / "g.pt.gz").read_bytes()
    flipped = bytearray(packed)
    flipped[-6] ^= 0xFF  # the checksum
    for name, damaged in (("cut.pt.gz", packed[:len(packed) // 2]), ("crc.pt.gz", flipped)):
        (tmp_path / name).write_bytes(bytes(damaged))
        assert one_line_error(decode(str(tmp_path / name))).startswith(
            f"tovrel-decode: error: {tmp_path / name}: a damaged or truncated gz file (")


def test_outputs_of_other_formats_are_written_or_refused(tmp_path):
    torch.save(chunk(30, 2, 1), tmp_path / "in.pt")
    for suffix in ("bz2", "xz"):
        output = tmp_path / f"out.fq.{suffix}"
        assert decode(str(tmp_path / "in.pt"), "-q", "-o", str(output)).returncode == 0
        import xopen

        with xopen.xopen(output, "rb") as written:
            assert written.read().decode() == expected(["in_0"], [chunk(30, 2, 1)])
    for name, what in (("out.cram", "CRAM"), ("out.fq.zst", "zstd")):
        result = decode(str(tmp_path / "in.pt"), "-o", str(tmp_path / name))
        assert one_line_error(result, status=2).endswith(f"{name}: {what} is not written; name "
                                                         "the output .fastq or .fasta (either "
                                                         "with .gz, .bz2 or .xz), .sam or .bam")
        assert not (tmp_path / name).exists()


@pytest.mark.skipif(not IS_ROOT, reason="mounting a file system needs root")
def test_a_read_only_file_system_is_called_that(tmp_path):
    torch.save(chunk(30, 2, 1), tmp_path / "in.pt")
    mounted = tmp_path / "ro"
    mounted.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "ro,size=16k", "tmpfs",
                       str(mounted)]).returncode:
        pytest.skip("this machine cannot mount a tmpfs")
    try:
        assert one_line_error(decode(str(tmp_path / "in.pt"), "-o", str(mounted / "o.fq"))) == \
            f"tovrel-decode: error: {mounted / 'o.fq'}: Read-only file system"
    finally:
        subprocess.run(["umount", str(mounted)])


def test_a_chunk_too_large_for_the_arrays_names_itself():
    chunk = types.SimpleNamespace(shape=(30_000_000, 5 * 4**5), dtype=torch.float32)
    with pytest.raises(InputError, match=r"^f.pt: chunk 3: 30000000 blocks of 1024 states are too "
                                         r"large: their arrays need 2\^31 entries or more"):
        checks.check_chunk("f.pt: chunk 3", chunk)


def test_a_copy_that_fails_is_let_go_at_once(tmp_path, monkeypatch):
    # An unnamed copy kept open by an exception's frames holds its space in TMPDIR until a
    # garbage collection, which an idle cluster worker may never run.
    import gc

    from tovrel_decode import inputs

    monkeypatch.setenv("TMPDIR", str(tmp_path))
    monkeypatch.setattr(inputs.tempfile, "tempdir", None)
    torch.save(chunk(40, 2, 3), tmp_path / "s.pt")
    packed = gzip.compress((tmp_path / "s.pt").read_bytes())
    (tmp_path / "cut.pt.gz").write_bytes(packed[:len(packed) // 2])
    flipped = bytearray(packed)
    flipped[20:24] = bytes(b ^ 0xA5 for b in flipped[20:24])  # a damaged deflate block
    (tmp_path / "bad.pt.gz").write_bytes(bytes(flipped))
    (tmp_path / "text.gz").write_bytes(gzip.compress(b"not scores"))

    def copies_open():
        folder = str(tmp_path)
        links = (os.readlink(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd")
                 if os.path.exists(f"/proc/self/fd/{fd}"))
        return [link for link in links if link.startswith(folder) and "(deleted)" in link
                or link.startswith(folder + "/#")]

    gc.disable()
    try:
        for name, words in (("cut.pt.gz", "a damaged or truncated gz file"),
                            ("bad.pt.gz", "a damaged or truncated gz file (Error"),
                            ("text.gz", "compressed, but not a score file")):
            with pytest.raises(InputError, match=rf"{name}: {re.escape(words)}"):
                inputs.open_input(str(tmp_path / name))
            assert copies_open() == []
    finally:
        gc.enable()


@pytest.mark.skipif(not IS_ROOT, reason="mounting a file system needs root")
def test_a_copy_that_does_not_fit_is_named_as_such(tmp_path):
    # The copy's buffered bytes, flushed as it is given up, meet the full disk again: the first
    # fault is the one named. A byte already there leaves the disk full at no whole piece.
    torch.save(chunk(8000, 2, 5), tmp_path / "s.pt")  # 2.6 MB
    (tmp_path / "s.pt.gz").write_bytes(gzip.compress((tmp_path / "s.pt").read_bytes()))
    small = tmp_path / "small"
    small.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(small)]).returncode:
        pytest.skip("this machine cannot mount a tmpfs")
    try:
        (small / "pad").write_bytes(b"x")
        for args, label in (([str(tmp_path / "s.pt.gz")], str(tmp_path / "s.pt.gz")),
                            (["-"], "standard input")):
            with open(tmp_path / "s.pt", "rb") as stdin:
                result = decode(*args, "-o", str(tmp_path / "out.fq"), stdin=stdin,
                                env={**os.environ, "TMPDIR": str(small)})
            assert one_line_error(result) == (
                f"tovrel-decode: error: {label}: cannot copy it into {small} (No space left on "
                "device); free space there or set TMPDIR to a folder with room")
            assert not (tmp_path / "out.fq").exists()
    finally:
        subprocess.run(["umount", str(small)])
