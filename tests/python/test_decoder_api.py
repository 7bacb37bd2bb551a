"""tovrel_decode as a library: the Decoder joins chunks into reads in order, bounds what waits,
reports bad values by policy and fails loudly on a read never finished; open_writer keeps the
command's output rules; the example basecaller runs."""
import os
import runpy
import subprocess
import sys
import threading

import numpy as np
import pysam
import pytest
import torch

import tovrel_tensors
from tovrel_decode import Decoder, DecodedRead, InputError, join_chunks, open_writer
from tovrel_decode import engine

from decoder_helpers import DECODER, chunk

REPOSITORY = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def cut(whole, size, overlap):
    """A read's scores cut into chunks of `size` blocks, each starting `overlap` blocks before the
    previous one ends."""
    pieces, start = [], 0
    while True:
        pieces.append(whole[start:start + size])
        if start + size >= len(whole):
            return pieces
        start += size - overlap


def test_reads_spanning_interleaved_batches_come_out_joined_and_in_order(tmp_path):
    overlap = 7
    wholes = {f"read{i}": chunk(100 + 37 * i, 3, i) for i in range(5)}
    pieces = {name: cut(whole, 40, overlap) for name, whole in wholes.items()}
    # The command's joining of the same chunks is the reference.
    names = [name for name, chunks in pieces.items() for _ in chunks]
    torch.save({"scores": [c for chunks in pieces.values() for c in chunks], "names": names,
                "overlap": overlap}, tmp_path / "reads.pt")
    assert subprocess.run([DECODER, str(tmp_path / "reads.pt"), "-o", str(tmp_path / "c.sam"),
                           "-q"], timeout=300).returncode == 0
    with pysam.AlignmentFile(tmp_path / "c.sam", check_sq=False) as alignments:
        want = [DecodedRead(r.query_name, r.query_sequence,
                            pysam.array_to_qualitystring(r.query_qualities),
                            np.array(r.get_tag("mo"), dtype=np.uint8))
                for r in alignments.fetch(until_eof=True)]

    # Batches of three chunks, taken round-robin from the reads, so that every read spans several
    # batches and interleaves with the others; padded to one tensor with lengths.
    queue = [(name, i, piece) for i in range(max(map(len, pieces.values())))
             for name, chunks in pieces.items() if i < len(chunks) for piece in [chunks[i]]]
    with Decoder(threads=2) as decoder:
        for start in range(0, len(queue), 3):
            batch = queue[start:start + 3]
            padded = torch.zeros(len(batch), 40, 5 * 4**3)
            for row, (_, _, piece) in enumerate(batch):
                padded[row, :len(piece)] = piece
            decoder.submit_batch(padded, [name for name, _, _ in batch],
                                 lengths=[len(piece) for _, _, piece in batch],
                                 last=[i == len(pieces[name]) - 1 for name, i, _ in batch],
                                 overlap=overlap)
        early = decoder.ready()
    got = early + list(decoder.reads())
    assert [read.name for read in got] == list(wholes)
    assert got == want
    assert all(read.moves.dtype == np.uint8 for read in got)
    # join_chunks is the same rule, for callers with their own loop.
    decoded = [tovrel_tensors.decode(piece) for piece in pieces["read3"]]
    assert DecodedRead("read3", *join_chunks(decoded, overlap)) == want[3]


def test_a_read_never_finished_and_bad_values_by_policy():
    decoder = Decoder()
    decoder.submit("done", chunk(30, 2, 1))
    decoder.submit("open", chunk(30, 2, 2), last=False)
    with pytest.raises(InputError, match="read open: its last chunk never came"):
        decoder.close()

    nan = chunk(30, 2, 3)
    nan[5, 2] = float("nan")
    with pytest.raises(InputError, match="read bad: scores at block 5 hold NaN"):
        with Decoder() as decoder:
            for name, scores in (("good", chunk(30, 2, 4)), ("bad", nan),
                                 ("later", chunk(30, 2, 5))):
                decoder.submit(name, scores)
    left_out = []
    with Decoder(on_invalid=left_out.append) as decoder:
        for name, scores in (("good", chunk(30, 2, 4)), ("bad", nan), ("later", chunk(30, 2, 5))):
            decoder.submit(name, scores)
    assert [read.name for read in decoder.reads()] == ["good", "later"]
    assert decoder.skipped == 1 and [read.name for read in left_out] == ["bad"]
    # Chunks of one read must agree; a name is not reused while its read is pending.
    decoder = Decoder()
    decoder.submit("r", chunk(30, 2, 1), last=False, overlap=4)
    with pytest.raises(InputError, match="all chunks of a read must have the same width"):
        decoder.submit("r", chunk(30, 3, 1), overlap=4)
    with pytest.raises(InputError, match="overlaps by 5 blocks, its first chunk by 4"):
        decoder.submit("r", chunk(30, 2, 1), overlap=5)
    decoder.submit("r", chunk(30, 2, 1), overlap=4)
    with pytest.raises(InputError, match="the name is used again"):
        decoder.submit("r", chunk(30, 2, 1))
    decoder.close()


def test_submit_waits_while_too_many_blocks_are_pending(monkeypatch):
    release = threading.Event()
    decode_window = engine.decode_window

    def held(chunks, options):
        release.wait()
        return decode_window(chunks, options)

    monkeypatch.setattr(engine, "decode_window", held)
    with Decoder(max_pending_blocks=50) as decoder:
        decoder.submit("first", chunk(40, 2, 1))
        second = threading.Thread(target=decoder.submit, args=("second", chunk(40, 2, 2)))
        second.start()
        second.join(timeout=0.5)
        assert second.is_alive(), "submit did not wait for the decoder"
        release.set()
        second.join(timeout=60)
        assert not second.is_alive()
    assert [read.name for read in decoder.reads()] == ["first", "second"]


def test_reads_consumed_on_another_thread_while_submitting():
    chunks = {f"r{i}": chunk(50 + i, 2, i) for i in range(20)}
    received = []
    with Decoder(max_pending_blocks=200) as decoder:
        consumer = threading.Thread(target=lambda: received.extend(decoder.reads()))
        consumer.start()
        for name, scores in chunks.items():
            decoder.submit(name, scores.half())  # half precision widens exactly
    consumer.join(timeout=120)
    assert [read.name for read in received] == list(chunks)
    for read in received:
        sequence, quality, moves = tovrel_tensors.decode(chunks[read.name].half())
        assert (read.sequence, read.quality, read.moves.tolist()) == \
            (sequence, quality, moves.tolist())


def test_the_writer_keeps_the_command_rules(tmp_path):
    output = tmp_path / "reads.bam"
    output.write_bytes(b"earlier")
    with pytest.raises(RuntimeError, match="network failed"):
        with open_writer(str(output)) as writer:
            writer.write(DecodedRead("a", "ACGT", "IIII", np.array([1, 1, 1, 1], np.uint8)))
            raise RuntimeError("network failed")
    assert output.read_bytes() == b"earlier"
    assert os.listdir(tmp_path) == ["reads.bam"]
    torch.save(chunk(10, 2, 1), tmp_path / "in.pt")
    with pytest.raises(ValueError, match="same file as input"):
        open_writer(str(tmp_path / "in.pt"), "fastq", inputs=[str(tmp_path / "in.pt")])


def test_the_example_basecaller_runs(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "argv", ["basecall.py", "--reads", "3", "-o", "calls.bam"])
    runpy.run_path(os.path.join(REPOSITORY, "examples", "basecall.py"), run_name="__main__")
    with pysam.AlignmentFile(tmp_path / "calls.bam", check_sq=False) as alignments:
        records = list(alignments.fetch(until_eof=True))
    assert [r.query_name for r in records] == ["read_0", "read_1", "read_2"]
    assert all(len(r.query_sequence) == sum(r.get_tag("mo")) > 0 for r in records)
