"""tovrel_decode as a library: the Decoder joins chunks into reads in order, bounds what waits,
reports bad values by policy and fails loudly on a read never finished; open_writer keeps the
command's output rules; the example basecaller runs."""
import os
import subprocess
import threading

import numpy as np
import pysam
import pytest
import torch

import tovrel_tensors
from tovrel_decode import Decoder, DecodedRead, join_chunks, open_writer
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


def test_submit_waits_while_too_many_blocks_are_pending(monkeypatch):
    release = threading.Event()
    decode_window = engine.decode_window

    def held(chunks, options):
        release.wait()
        return decode_window(chunks, options)

    monkeypatch.setattr(engine, "decode_window", held)
    with Decoder(max_pending_bytes=50 * 80 * 4) as decoder:
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
    with Decoder(max_pending_bytes=200 * 80 * 2) as decoder:
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


def test_reads_as_they_finish_and_chunks_overlapping_by_their_own_overlap():
    whole = chunk(170, 2, 7)
    padded = torch.zeros(3, 70, 5 * 4**2)
    # Cut into chunks of 70 starting every 60 blocks; the last is aligned to the read's end (so
    # it overlaps its predecessor by more), or else padded and shorter.
    aligned = [(0, 70, 0), (60, 130, 10), (100, 170, 30)]
    short = [(0, 70, 0), (60, 130, 10), (120, 170, 10)]
    for layout in (aligned, short):
        for row, (start, end, _) in enumerate(layout):
            padded[row, :end - start] = whole[start:end]
        pieces = [tovrel_tensors.decode(whole[start:end]) for start, end, _ in layout]
        want = join_chunks(pieces, [overlap for _, _, overlap in layout[1:]])
        with Decoder() as decoder:
            decoder.submit_batch(padded, ["r"] * 3,
                                 lengths=[end - start for start, end, _ in layout],
                                 overlap=[overlap for _, _, overlap in layout],
                                 last=[False, False, True])
        read = decoder.ready()[0]
        assert (read.sequence, read.quality, read.moves.tolist()) == \
            (want[0], want[1], want[2].tolist())
        assert len(read.moves) == 170

    # Unordered: a short read comes out while a long one, begun before it, is still open.
    with Decoder(ordered=False) as decoder:
        decoder.submit("long", whole[:70], last=False)
        decoder.submit("short", chunk(30, 2, 8))
        assert next(decoder.reads()).name == "short"
        decoder.submit("long", whole[60:], overlap=10)
    assert [read.name for read in decoder.ready()] == ["long"]
