"""tovrel-decode's inputs (files, folders, standard input, numpy, half precision), formats (FASTQ,
FASTA, gzip, SAM, BAM, read back with dnaio and pysam), joined reads and bounded memory."""
import gzip
import os
import subprocess
import sys
import time

import dnaio
import numpy as np
import pysam
import torch

import tovrel_tensors

from decoder_helpers import DECODER, chunk, expected



def decoded(names, chunks):
    return [(name, *tovrel_tensors.decode(c)[:2], tovrel_tensors.decode(c)[2].tolist())
            for name, c in zip(names, chunks)]


def read_sequences(path):
    with dnaio.open(path) as records:
        return [(r.name, r.sequence, r.qualities) for r in records]


def test_every_input_kind(tmp_path, run):
    chunks = [chunk(30, 2, i) for i in range(6)]
    batch = torch.stack(chunks[:3])
    torch.save(batch, tmp_path / "zip.pt")
    torch.save(chunks[3], tmp_path / "legacy.pth", _use_new_zipfile_serialization=False)
    np.save(tmp_path / "chunk.npy", chunks[4].numpy())
    np.savez(tmp_path / "arrays.npz", single=chunks[5].numpy(), pair=batch[:2].numpy())
    result = run(tmp_path / "zip.pt", tmp_path / "legacy.pth", tmp_path / "chunk.npy",
                 tmp_path / "arrays.npz", "-q")
    # Unnamed chunks are named after their file and their place in it.
    names = ["zip_0", "zip_1", "zip_2", "legacy_0", "chunk_0", "single", "pair_0", "pair_1"]
    want = expected(names, [*chunks, batch[0], batch[1]])
    assert result.returncode == 0, result.stderr
    assert result.stdout == want

    # A folder contributes its score files in name order; other files are left alone.
    (tmp_path / "notes.txt").write_text("not scores")
    assert run(tmp_path, "-q").stdout == expected(
        ["single", "pair_0", "pair_1", "chunk_0", "legacy_0", "zip_0", "zip_1", "zip_2"],
        [chunks[5], batch[0], batch[1], chunks[4], chunks[3], *batch])

    # Standard input: a torch.save stream or an .npy stream.
    for name in ("zip.pt", "chunk.npy"):
        with open(tmp_path / name, "rb") as stdin:
            piped = subprocess.run([DECODER, "-", "-q"], stdin=stdin, capture_output=True,
                                   text=True, timeout=120)
        assert piped.returncode == 0, piped.stderr
        assert piped.stdout == (expected(["stdin_0", "stdin_1", "stdin_2"], chunks[:3])
                                if name == "zip.pt" else expected(["stdin_0"], [chunks[4]]))

    # A FIFO, as a shell's process substitution gives, is read once, whole.
    substituted = subprocess.run(["bash", "-c", f"'{DECODER}' -q <(cat '{tmp_path / 'zip.pt'}')"],
                                 capture_output=True, text=True, timeout=120)
    assert substituted.returncode == 0, substituted.stderr
    assert substituted.stdout == expected([f"63_{i}" for i in range(3)], chunks[:3])

    # numpy files are never unpickled.
    np.save(tmp_path / "objects.npy", np.array([{"a": 1}], dtype=object), allow_pickle=True)
    result = run(tmp_path / "objects.npy")
    assert result.returncode == 1 and "Python objects" in result.stderr


def test_half_precision_decodes_like_the_same_values_in_float32(tmp_path, run):
    scores = chunk(50, 3, 4)
    outputs = {}
    for dtype in (torch.float16, torch.bfloat16):
        rounded = scores.to(dtype)
        for folder in ("half", "float", "numpy"):
            (tmp_path / folder).mkdir(exist_ok=True)
        torch.save(rounded, tmp_path / "half" / "s.pt")
        torch.save(rounded.float(), tmp_path / "float" / "s.pt")
        np_half = tmp_path / "numpy" / "s.npy"
        if dtype == torch.float16:
            np.save(np_half, rounded.numpy())
        outputs = [run(tmp_path / "half" / "s.pt", "-q").stdout,
                   run(tmp_path / "float" / "s.pt", "-q").stdout]
        if dtype == torch.float16:
            outputs.append(run(np_half, "-q").stdout)
        assert len(set(outputs)) == 1 and outputs[0].startswith("@s_0"), dtype
    # float64 is rounded to the nearest float32.
    wide = scores.double() + 1e-9
    torch.save(wide, tmp_path / "double.pt")
    assert run(tmp_path / "double.pt", "-q").stdout == expected(["double_0"], [wide.float()])


def test_formats_read_back_with_outside_readers(tmp_path, run):
    chunks = [chunk(40 + 10 * i, 3, i) for i in range(3)]
    names = ["r0", "r1", "r2"]
    torch.save({"scores": chunks, "names": names}, tmp_path / "in.pt")
    want = decoded(names, chunks)

    for name in ("reads.fastq", "reads.fq.gz"):
        assert run(tmp_path / "in.pt", "-o", tmp_path / name, "-q").returncode == 0
        assert read_sequences(tmp_path / name) == [w[:3] for w in want]
    plain = (tmp_path / "reads.fastq").read_bytes()
    assert gzip.decompress((tmp_path / "reads.fq.gz").read_bytes()) == plain
    for name in ("reads.fasta", "reads.fa.gz"):
        assert run(tmp_path / "in.pt", "-o", tmp_path / name, "-q").returncode == 0
        assert read_sequences(tmp_path / name) == [(n, s, None) for n, s, _, _ in want]
    compressed = subprocess.run([DECODER, str(tmp_path / "in.pt"), "--format", "fastq.gz", "-q"],
                                capture_output=True, timeout=120)
    assert compressed.returncode == 0 and gzip.decompress(compressed.stdout) == plain

    for name in ("reads.sam", "reads.bam"):
        result = run(tmp_path / "in.pt", "-o", tmp_path / name, "--beam-size", "7", "-q")
        assert result.returncode == 0, result.stderr
        with pysam.AlignmentFile(tmp_path / name, check_sq=False) as alignments:
            (program,) = alignments.header.to_dict()["PG"]
            assert program["PN"] == "tovrel-decode" and program["VN"] == tovrel_tensors.__version__
            assert program["CL"].endswith(f"-o {tmp_path / name} --beam-size 7 -q")
            records = list(alignments.fetch(until_eof=True))
        want7 = [(n, *tovrel_tensors.decode(c, beam_size=7)) for n, c in zip(names, chunks)]
        assert [(r.query_name, r.query_sequence, pysam.array_to_qualitystring(r.query_qualities),
                 list(r.get_tag("mo"))) for r in records] == \
            [(n, s, q, m.tolist()) for n, s, q, m in want7]
        assert all(r.flag == 4 and r.is_unmapped for r in records)
    assert not [p for p in os.listdir(tmp_path) if p.startswith(".tovrel-decode-")]


def test_overlapping_chunks_join_into_one_read(tmp_path, run):
    # Two reads: "long" cut into three chunks of 30, 30 and 21 blocks, "short" a single chunk.
    for overlap in (6, 7):
        whole = chunk(30 + 24 + 27, 2, 5)[: 30 + 2 * (30 - overlap) + 21 - 30]
        pieces = [whole[0:30], whole[30 - overlap:60 - overlap], whole[60 - 2 * overlap:]]
        short = chunk(25, 2, 6)
        torch.save({"scores": [*pieces, short], "names": ["long"] * 3 + ["short"],
                    "overlap": overlap}, tmp_path / "reads.pt")
        result = run(tmp_path / "reads.pt", "-o", tmp_path / "reads.sam", "-q")
        assert result.returncode == 0, result.stderr
        # Kept blocks: 0 .. 30 - ceil(overlap / 2) of the first chunk, floor(overlap / 2) ..
        # 30 - ceil(overlap / 2) of the second, floor(overlap / 2) .. end of the third.
        cut_end, cut_start = 30 - (overlap + 1) // 2, overlap // 2
        kept = [(pieces[0], 0, cut_end), (pieces[1], cut_start, cut_end),
                (pieces[2], cut_start, len(pieces[2]))]
        assert sum(end - start for _, start, end in kept) == len(whole)
        sequence, quality, moves = "", "", []
        for piece, start, end in kept:
            s, q, m = tovrel_tensors.decode(piece)
            m = m.tolist()
            first, last = sum(m[:start]), sum(m[:end])
            sequence, quality, moves = sequence + s[first:last], quality + q[first:last], \
                moves + m[start:end]
        with pysam.AlignmentFile(tmp_path / "reads.sam", check_sq=False) as alignments:
            records = [(r.query_name, r.query_sequence,
                        pysam.array_to_qualitystring(r.query_qualities), list(r.get_tag("mo")))
                       for r in alignments.fetch(until_eof=True)]
        assert records[0] == ("long", sequence, quality, moves)
        assert records[1][0] == "short" and len(records) == 2

    torch.save({"scores": [short, short, short], "names": ["a", "b", "a"], "overlap": 2},
               tmp_path / "apart.pt")
    result = run(tmp_path / "apart.pt")
    assert result.returncode == 1 and "must be consecutive" in result.stderr


def test_help_version_and_summary(tmp_path, run):
    help_text = run("--help").stdout
    for expected_text in ("input layouts", '"overlap"', ".npz", "formats", "exit status", "141"):
        assert expected_text in help_text
    version = run("--version")
    assert version.returncode == 0
    assert version.stdout.strip() == (f"tovrel-decode (tovrel {tovrel_tensors.__version__}, "
                                      f"torch {torch.__version__})")


def rss_anon_peak(command):
    """Runs `command`, sampling the child's private resident memory; returns its peak in MB."""
    peak = 0
    with subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) as process:
        while process.poll() is None:
            try:
                with open(f"/proc/{process.pid}/status") as status:
                    for line in status:
                        if line.startswith("RssAnon:"):
                            peak = max(peak, int(line.split()[1]))
            except OSError:
                pass
            time.sleep(0.005)
        assert process.returncode == 0, process.stderr.read()
    return peak / 1024


def test_memory_follows_the_work_not_the_file(tmp_path):
    # 320 MB of scores in one torch.save file, against the interpreter with the same imports.
    torch.save(torch.randn(8, 2000, 5 * 4**5, generator=torch.Generator().manual_seed(2)),
               tmp_path / "big.pt")
    baseline = rss_anon_peak([sys.executable, "-c", "import torch, tovrel_tensors, dnaio, "
                              "tovrel_decode.local, tovrel_decode.writers"])
    decoding = rss_anon_peak([DECODER, str(tmp_path / "big.pt"), "-o", str(tmp_path / "o.fq"),
                              "--threads", "2"])
    assert decoding - baseline < 200, (baseline, decoding)
