"""tovrel-decode: score files in, FASTQ out; bad files end in one line and a failure status."""
import os
import pickle
import subprocess

import pytest
import torch

import tovrel
import tovrel_tensors

from decoder_helpers import DECODER, chunk, expected, fastq, on_terminal
from tovrel_decode import cli



@pytest.fixture
def chunks():
    return [chunk(40 + 7 * i, 2 + i % 3, i) for i in range(6)]


def test_the_installed_command(tmp_path, chunks):
    torch.save(chunks[:2], tmp_path / "in.pt")
    result = subprocess.run([DECODER, str(tmp_path / "in.pt")], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout == expected(["in_0", "in_1"], chunks[:2])
    assert result.stderr.startswith("tovrel-decode: 2 reads from 2 chunks, ")


def test_every_file_layout_decodes_like_the_module(tmp_path, chunks, run):
    same_shape = torch.stack([chunk(30, 3, 100 + i) for i in range(4)])
    layouts = {
        "tensor": (chunks[0], ["tensor_0"], chunks[:1]),
        "batch": (same_shape, [f"batch_{i}" for i in range(4)], list(same_shape)),
        "list": (chunks, [f"list_{i}" for i in range(6)], chunks),
        "dict": ({f"read{i}": c for i, c in enumerate(chunks)}, [f"read{i}" for i in range(6)],
                 chunks),
        "named": ({"scores": chunks, "names": [f"r{i}" for i in range(6)]},
                  [f"r{i}" for i in range(6)], chunks),
    }
    for label, (content, names, decoded) in layouts.items():
        torch.save(content, tmp_path / f"{label}.pt")
        result = run(tmp_path / f"{label}.pt", "--quiet")
        assert result.returncode == 0, result.stderr
        assert result.stdout == expected(names, decoded), label
        assert result.stderr == ""


def test_guides_and_posteriors_from_the_file_float_and_int8(tmp_path, chunks, run):
    scores = chunks[:3]
    guides = [torch.tensor(tovrel.backward_scores(c)) for c in scores]
    posts = [torch.tensor(tovrel.posts(c)) for c in scores]
    torch.save({"scores": scores, "back_guides": guides, "posts": posts}, tmp_path / "f.pt")
    result = run(tmp_path / "f.pt", "-q", "--beam-size", "16", "--q-scale", "2")
    assert result.stdout == fastq(
        (f"f_{i}", *tovrel.beam_search(s, g, p, beam_size=16, q_scale=2.0)[:2])
        for i, (s, g, p) in enumerate(zip(scores, guides, posts)))

    to_int8 = lambda t, scale: (t * scale).round().clamp(-128, 127).to(torch.int8)  # noqa: E731
    scores8 = [to_int8(s, 8) for s in scores]
    guides8 = [to_int8(g, 0.5) for g in guides]
    posts8 = [to_int8(p * 255 - 128, 1) for p in posts]
    torch.save({"scores": scores8, "back_guides": guides8, "posts": posts8}, tmp_path / "b.pt")
    result = run(tmp_path / "b.pt", "-q")
    assert result.stdout == fastq((f"b_{i}", *tovrel.beam_search(s, g, p)[:2])
                                  for i, (s, g, p) in enumerate(zip(scores8, guides8, posts8)))


def test_options_threads_order_output_file_and_summary(tmp_path, chunks, run):
    torch.save(chunks, tmp_path / "in.pt")
    options = ["--beam-size", "32", "--beam-cut", "50", "--temperature", "0.8", "--q-shift", "1"]
    one = run(tmp_path / "in.pt", "--threads", "1", "-o", tmp_path / "one.fq", *options)
    three = run(tmp_path / "in.pt", "--threads", "3", "-o", tmp_path / "three.fq", *options)
    assert one.returncode == three.returncode == 0
    assert one.stdout == ""
    want = expected([f"in_{i}" for i in range(6)], chunks, beam_size=32, beam_cut=50.0,
                    temperature=0.8, q_shift=1.0)
    assert (tmp_path / "one.fq").read_text() == (tmp_path / "three.fq").read_text() == want
    bases = sum(len(line) for line in want.splitlines()[1::4])
    summary = three.stderr.strip()
    assert summary.startswith(f"tovrel-decode: 6 reads from 6 chunks, {bases} bases, mean quality ")
    assert summary.endswith(" s") and len(summary.splitlines()) == 1
    assert "chunks (" not in three.stderr  # no progress bar: standard error is not a terminal
    assert oct(os.stat(tmp_path / "one.fq").st_mode & 0o777) == oct(0o666 & ~current_umask())


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def run_on_terminal(args):
    """What the decoder writes to standard error on a pseudo-terminal."""
    return on_terminal(args)[1]


def test_progress_bar_only_on_a_terminal(tmp_path, chunks):
    torch.save(chunks, tmp_path / "in.pt")
    shown = run_on_terminal([tmp_path / "in.pt", "-o", tmp_path / "out.fq"])
    assert "6/6 chunks" in shown and "[" in shown
    assert "6/6 chunks" not in run_on_terminal([tmp_path / "in.pt", "-o", tmp_path / "out.fq",
                                                "--quiet"])
    piped = subprocess.run(f"{DECODER} {tmp_path / 'in.pt'} | cat > /dev/null", shell=True,
                           capture_output=True, text=True)
    assert "chunks (" not in piped.stderr


class Unsafe:
    """Unpickling it would create a directory: the proof that loading ran code."""

    def __init__(self, marker):
        self.marker = str(marker)

    def __reduce__(self):
        return (os.mkdir, (self.marker,))


def bad_inputs(tmp_path):
    torch.save([chunk(10, 2, 1)], tmp_path / "good.pt")
    (tmp_path / "noise.pt").write_bytes(os.urandom(500))
    with open(tmp_path / "code.pt", "wb") as code:
        pickle.dump({"scores": Unsafe(tmp_path / "ran")}, code)
    torch.save({"scores": [chunk(10, 2, 1)], "evil": Unsafe(tmp_path / "ran")},
               tmp_path / "code2.pt")
    cases = {
        "missing": (tmp_path / "absent.pt", "absent.pt: No such file or directory"),
        "noise": (tmp_path / "noise.pt", "not a torch.save file of tensors, lists and dicts"),
        "code": (tmp_path / "code.pt", "not a torch.save file of tensors, lists and dicts"),
        "code-in-torch-file": (tmp_path / "code2.pt", "refused: loading it would run code "
                               "(posix.mkdir); the file may be unsafe"),
        "1-d": (torch.zeros(100), "must be 2-D"),
        "int64": (torch.zeros(10, 80, dtype=torch.int64), "float64 or int8, not torch.int64"),
        "width": (torch.zeros(10, 40), "40 scores per block is not 5 * 4**k"),
        "k7": (torch.zeros(2, 5 * 4**7), "at most 4096"),
        "not-tensors": ([1, 2, 3], "scores[0] is int, not a tensor"),
        "names": ({"scores": [chunk(10, 2, 1)], "names": ["a", "b"]}, "2 names for 1 chunks"),
        "guides-alone": ({"scores": [chunk(10, 2, 1)], "back_guides": [torch.zeros(176)]},
                         "must come together"),
        "float-overlap": ({"scores": [chunk(10, 2, 1)], "overlap": 2.0},
                          "overlap must be an int of at least 0, not 2.0"),
        "short-guides": ({"scores": [chunk(10, 2, 1)], "back_guides": [torch.zeros(175)],
                          "posts": [torch.zeros(176)]}, "holds 175 elements, fewer than the 176"),
        "mixed-types": ({"scores": [chunk(10, 2, 1)],
                         "back_guides": [torch.zeros(176, dtype=torch.int8)],
                         "posts": [torch.zeros(176)]}, "torch.int8"),
        "string": ("scores", "expected a tensor"),
        "other-key": ({"scores": [chunk(10, 2, 1)], "truth": "ACGT"}, "unknown key 'truth'"),
        "misspelt-key": ({"scores": [chunk(10, 2, 1)], "back_guide": [torch.zeros(176)]},
                         "unknown key 'back_guide'"),
        "read-called-scores": ({"read1": chunk(10, 2, 1), "scores": chunk(10, 2, 2)},
                               "unknown key 'read1'"),
    }
    for label, (content, message) in cases.items():
        if isinstance(content, (torch.Tensor, list, dict, str)):
            torch.save(content, tmp_path / f"{label}.pt")
            cases[label] = (tmp_path / f"{label}.pt", message)
    return cases


def test_bad_files_end_in_one_line_and_leave_no_output(tmp_path, run):
    for label, (path, message) in bad_inputs(tmp_path).items():
        output = tmp_path / f"{label}.fq"
        output.write_text("earlier contents\n")
        result = run(path, "-o", output)
        assert result.returncode == 1, label
        assert result.stderr.startswith("tovrel-decode: error: "), (label, result.stderr)
        assert len(result.stderr.strip().splitlines()) == 1, (label, result.stderr)
        assert message in result.stderr, (label, result.stderr)
        assert not (tmp_path / "ran").exists(), label
        assert output.read_text() == "earlier contents\n", label
    assert not [p for p in os.listdir(tmp_path) if p.startswith(".tovrel-decode-")]


def test_bad_options(tmp_path, run):
    torch.save(chunk(10, 2, 1), tmp_path / "in.pt")
    for options in (["--beam-size", "0"], ["--beam-size", "257"], ["--threads", "0"],
                    ["--beam-cut", "high"], [], ["--temperature", "nan"], ["--temperature", "-1"],
                    ["--temperature", "inf"], ["--beam-cut", "nan"], ["--beam-cut", "inf"],
                    ["--q-shift", "nan"], ["--q-scale", "-inf"], ["--format", "txt"],
                    ["--beam-size", str(2**70)]):
        result = run(tmp_path / "in.pt", *options) if options else run()
        assert result.returncode == 2, options
        assert "usage: tovrel-decode" in result.stderr
    # The command line is read before torch loads, with the module's widest beam as its own.
    assert cli.MAX_BEAM_SIZE == tovrel_tensors.MAX_BEAM_SIZE
    assert "beam_size: 1180591620717411303424 is out of range" in result.stderr
