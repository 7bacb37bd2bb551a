"""The Decoder loses no read and returns no wrong one on the paths real loops take: reads never
finished, refused and retried batches, reused buffers, long chunks, bad parameters, interrupts,
forks and names a writer cannot store."""
import gc
import os
import signal
import subprocess
import sys
import threading

import edlib
import numpy as np
import pysam
import pytest
import torch

import tovrel
import tovrel_tensors
from tovrel_decode import Decoder, DecodedRead, InputError, ReadInfo, join_chunks, open_writer
from tovrel_decode import engine

from decoder_helpers import DECODER, chunk, wait_for

REPOSITORY = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPOSITORY, "scripts"))
import demo_data  # noqa: E402


def names_of(reads):
    return [read.name for read in reads]


@pytest.mark.parametrize("policy", ["raise", "skip", "callable"])
def test_no_decoded_read_is_lost_to_an_unfinished_or_bad_read(policy):
    nan = chunk(30, 2, 3)
    nan[5, 2] = float("nan")
    left_out = []
    on_invalid = left_out.append if policy == "callable" else policy
    decoder = Decoder(on_invalid=on_invalid)
    for i in range(3):
        decoder.submit(f"before{i}", chunk(30, 2, i))
    decoder.submit("open", chunk(30, 2, 9), last=False)
    decoder.submit("bad", nan)
    for i in range(3):
        decoder.submit(f"after{i}", chunk(30, 2, 10 + i))
    decoder.close()  # the unfinished read is not an error of close
    if policy == "raise":
        got = []
        for message in ("read open: its last chunk never came", "read bad: scores at block 5"):
            with pytest.raises(InputError, match=message):
                for read in decoder.reads():
                    got.append(read)
        got += decoder.ready()
        assert names_of(got) == ["before0", "before1", "before2", "after0", "after1", "after2"]
        return
    assert names_of(decoder.reads()) == ["before0", "before1", "before2", "after0", "after1",
                                         "after2"]
    assert decoder.skipped == 2
    if policy == "callable":
        assert names_of(left_out) == ["open", "bad"]


def test_ready_hands_out_the_reads_before_a_bad_one_then_raises():
    nan = chunk(30, 2, 3)
    nan[0, 0] = float("nan")
    with Decoder() as decoder:
        decoder.submit("good", chunk(30, 2, 1))
        decoder.submit("bad", nan)
        decoder.submit("later", chunk(30, 2, 2))
    assert names_of(decoder.ready()) == ["good"]
    with pytest.raises(InputError, match="read bad"):
        decoder.ready()
    assert names_of(decoder.ready()) == ["later"]


def test_a_refused_batch_changes_nothing_and_the_corrected_one_decodes_right():
    whole = chunk(70, 2, 1)
    first, second = whole[:40], whole[30:]
    want = DecodedRead("a", *join_chunks([tovrel_tensors.decode(first),
                                          tovrel_tensors.decode(second)], 10))
    refusals = [
        ("overlaps the chunk before it by 50", dict(overlap=50)),
        ("has 320 scores per block", dict(scores=[chunk(30, 3, 1)])),
        ("read names must be str", dict(read_ids=[7])),
        ("lengths must hold ints", dict(lengths=[7.9], scores=torch.stack([second]))),
        ("carries the read's information", dict(info=[ReadInfo(stride=5)])),
    ]
    with Decoder() as decoder:
        decoder.submit("a", first, last=False)
        for message, change in refusals:
            batch = dict(scores=[second.clone()], read_ids=["a"], overlap=10, last=True)
            batch.update(change)
            scores = batch.pop("scores")
            read_ids = batch.pop("read_ids")
            with pytest.raises((InputError, TypeError, ValueError), match=message):
                decoder.submit_batch(scores, read_ids, **batch)
        # a batch refused for its second chunk took not even its first
        with pytest.raises(InputError, match="overlaps"):
            decoder.submit_batch([chunk(30, 2, 5), second], ["b", "a"], overlap=[0, 45])
        decoder.submit_batch([second], ["a"], overlap=10, last=True)
    assert decoder.ready() == [want]


def test_batch_arguments_as_callers_hold_them():
    chunks = torch.stack([chunk(30, 2, i) for i in range(4)])
    want = [tovrel_tensors.decode(c[:20])[0] for c in chunks]
    for lengths in ([20] * 4, torch.full((4,), 20), np.full(4, 20, dtype=np.int32)):
        with Decoder() as decoder:
            decoder.submit_batch(chunks, ["a", "b", "c", "d"], lengths=lengths, last=True)
        assert [read.sequence for read in decoder.ready()] == want
    decoder = Decoder()
    with pytest.raises(TypeError, match="lengths must hold ints"):
        decoder.submit_batch(chunks, list("abcd"), lengths=torch.full((4,), 20.0))
    with pytest.raises(TypeError, match="last must hold bools"):
        decoder.submit_batch(chunks, list("abcd"), last=[1, 0, 1, 0])
    # A read id names a new read once its last chunk came, whatever has been decoded meanwhile.
    decoder.submit("x", chunks[0])
    decoder.submit("x", chunks[1])
    decoder.close()
    assert [read.sequence for read in decoder.reads()] == \
        [tovrel_tensors.decode(c)[0] for c in chunks[:2]]


def test_a_reused_staging_buffer_and_what_is_held(monkeypatch):
    batches = [torch.stack([chunk(40, 3, 10 * b + i) for i in range(4)]) for b in range(5)]
    staging = torch.empty_like(batches[0])
    with Decoder() as decoder:
        for b, batch in enumerate(batches):
            staging.copy_(batch)  # as a pinned-memory transfer refills one buffer
            decoder.submit_batch(staging, [f"r{b}.{i}" for i in range(4)])
    assert [read.sequence for read in decoder.ready()] == \
        [tovrel_tensors.decode(c)[0] for batch in batches for c in batch]

    # Batch by batch, each copy lands in the memory of copies already decoded; a chunk of another
    # size or type gets fresh memory.
    mixed = batches + [batches[0][:, :30].clone(), batches[1].double()]
    got = []
    with Decoder() as decoder:
        for b, batch in enumerate(mixed):
            staging = batch.clone()
            decoder.submit_batch(staging, [f"r{b}.{i}" for i in range(4)])
            staging.fill_(float("nan"))
            wait_for(lambda: got.extend(decoder.ready()) or len(got) == 4 * (b + 1),
                     "the batch was decoded")
            assert b == 0 or decoder._engine.spares.total > 0
    assert [read.sequence for read in got] == \
        [tovrel_tensors.decode(c.float())[0] for batch in mixed for c in batch]

    # Only the kept blocks are copied; with copy=False the padded batch is held whole, and
    # submit waits while what is held would exceed the bound.
    release = threading.Event()
    decode_window = engine.decode_window
    monkeypatch.setattr(engine, "decode_window",
                        lambda chunks, options: release.wait() and decode_window(chunks, options))
    padded = torch.zeros(8, 800, 5 * 4**4)
    row_bytes = 5 * 4**4 * 4
    with Decoder(max_pending_bytes=padded.nbytes + 8 * 10 * row_bytes) as decoder:
        try:
            decoder.submit_batch(padded, [f"c{i}" for i in range(8)], lengths=[10] * 8)
            assert decoder._engine.held.total == 8 * 10 * row_bytes
            decoder.submit_batch(padded.clone(), [f"v{i}" for i in range(8)], lengths=[10] * 8,
                                 copy=False)
            assert decoder._engine.held.total == 8 * 10 * row_bytes + padded.nbytes
            third = threading.Thread(target=decoder.submit_batch,
                                     args=(padded[:1].clone(), ["w"]), kwargs={"lengths": [1]})
            third.start()
            third.join(timeout=0.5)
            assert third.is_alive(), "submit did not wait for the memory held to shrink"
        finally:
            release.set()
        third.join(timeout=120)
    assert len(decoder.ready()) == 17


def identity(decoded, truth):
    return 1 - edlib.align(decoded, truth)["editDistance"] / len(truth)


def test_long_chunks_decode_as_well_as_short_ones():
    generator = torch.Generator().manual_seed(4)
    scores, truth = demo_data.synthetic_chunk(50_000, 3, 3.0, generator)
    assert len(scores) > 90_000
    size, overlap = 2000, 200
    with Decoder() as decoder:
        decoder.submit("whole", scores)
        start = 0
        while True:
            end = min(start + size, len(scores))
            decoder.submit("cut", scores[start:end], overlap=overlap, last=end == len(scores))
            if end == len(scores):
                break
            start = end - overlap
    whole, cut = decoder.ready()
    assert identity(whole.sequence, truth) >= identity(cut.sequence, truth) - 0.001
    assert len(whole.moves) == len(scores)

    # Honest scores too long for unnormalised guides decode whole over renormalised ones,
    long = torch.randn(60_000, 5 * 4, generator=generator) * 3
    sequence, quality, moves = tovrel_tensors.decode_batch_checked([long])[0]
    assert len(moves) == 60_000 and len(sequence) == len(quality) == int(moves.sum())
    # while tovrel's posteriors of it are refused, naming the length and what to do
    problem = tovrel_tensors.check_values(long, tovrel_tensors.backward_scores(long),
                                          torch.tensor(tovrel.posts(long)))
    assert "at 60000 blocks the chunk is too long for unnormalised guides" in problem.problem
    huge = torch.randn(200, 20, generator=generator) * 3 + 1e5
    problem = tovrel_tensors.check_values(huge, tovrel_tensors.backward_scores(huge),
                                          torch.tensor(tovrel.posts(huge)))
    assert problem.problem.endswith("posteriors computed here from these scores sum to 1; leave "
                                    "them out to have them computed here, renormalised per block")
    assert tovrel_tensors.check_values(huge, posts=tovrel_tensors.posts(huge)) is None


@pytest.mark.parametrize("name,value,message", [
    ("q_scale", float("nan"), "q_scale must be a finite number, not nan."),
    ("q_shift", float("inf"), "q_shift must be a finite number, not inf."),
    ("beam_cut", float("nan"), "beam_cut must be a finite number, not nan."),
    ("temperature", -1.0, "temperature must be a finite number of at least 0, not -1."),
    ("temperature", float("inf"), "temperature must be a finite number of at least 0, not inf."),
    ("beam_size", 257, "beam_size must be between 1 and 256, not 257."),
])
def test_parameters_are_refused_alike_everywhere(name, value, message, tmp_path):
    with pytest.raises(ValueError) as refused:
        tovrel_tensors.check_options(**{name: value})
    assert str(refused.value) == message
    with pytest.raises(ValueError) as refused:
        Decoder(**{name: value})
    assert str(refused.value) == message
    calls = {"decode": lambda: tovrel_tensors.decode(torch.zeros(3, 20), **{name: value}),
             "decode_batch": lambda: tovrel_tensors.decode_batch(torch.zeros(2, 3, 20),
                                                                 **{name: value})}
    for function, call in calls.items():
        with pytest.raises(ValueError) as refused:
            call()
        assert str(refused.value) == f"{function}: {message}"
    torch.save(chunk(5, 1, 1), tmp_path / "one.pt")
    option = f"--{name.replace('_', '-')}={value}"
    result = subprocess.run([DECODER, str(tmp_path / "one.pt"), option], capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 2 and message in result.stderr


INTERRUPTED = """
import signal, sys, threading, torch
from tovrel_decode import Decoder
signal.signal(signal.SIGINT, signal.default_int_handler)  # a background job starts us ignoring it
point = sys.argv[1]
decoder = Decoder(threads=1, max_pending_bytes=40_000_000)
scores = torch.randn(6000, 5 * 4**5, generator=torch.Generator().manual_seed(1))
if point == "submit":
    print("ready", flush=True)
for i in range(6):
    decoder.submit(f"r{i}", scores)
if point == "close":
    print("ready", flush=True)
decoder.close()
if point == "reads":
    decoder = Decoder(threads=1)
    decoder.submit("r", scores)
    print("ready", flush=True)
    list(decoder.reads())
print("finished", flush=True)
"""


@pytest.mark.parametrize("point", ["submit", "close", "reads"])
def test_ctrl_c_never_aborts_the_process(point):
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED, point], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n"
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=300)
    assert child.returncode in (-signal.SIGINT, 130, 0), err
    assert "terminate called" not in err and "Fatal Python error" not in err
    if child.returncode != 0:
        assert "KeyboardInterrupt" in err


FORKED = """
import os, torch
from tovrel_decode import Decoder
decoder = Decoder()
decoder.submit("a", torch.zeros(3, 20))
if os.fork() == 0:
    try:
        decoder.ready()
    except RuntimeError as error:
        print(error, flush=True)
    os._exit(0)
os.wait()
decoder.close()
print(len(decoder.ready()), flush=True)
"""


def test_a_decoder_dropped_or_used_after_a_fork():
    result = subprocess.run([sys.executable, "-c", FORKED], capture_output=True, text=True,
                            timeout=300)
    assert result.stdout.splitlines() == [
        "this Decoder was made in another process (before a fork); its decoding thread is not "
        "in this one: make a new Decoder here", "1"]
    decoders = [Decoder() for _ in range(20)]
    threads = [decoder._engine.thread for decoder in decoders]
    del decoders
    gc.collect()
    for thread in threads:
        thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in threads)


def test_names_a_writer_cannot_store_and_writer_manners(tmp_path):
    decoder = Decoder(names="sam")
    for name in ("*", "@read", "x" * 255):
        with pytest.raises(InputError, match="not a SAM read name"):
            decoder.submit(name, chunk(10, 1, 1))
    decoder.close()
    moves = np.array([1, 1, 0], np.uint8)
    with open_writer(tmp_path / "out.bam") as writer:
        with pytest.raises(InputError, match="not a SAM read name"):
            writer.write(DecodedRead("*", "AC", "II", moves))
        writer.write(DecodedRead("kept", "AC", "II", moves))
        writer.close()
        writer.close()
    with pysam.AlignmentFile(tmp_path / "out.bam", check_sq=False) as alignments:
        assert [r.query_name for r in alignments.fetch(until_eof=True)] == ["kept"]
    for bad, message in (([1, 2, 0], "moves must be a sequence of 0 and 1"),
                         ([1, 0, 0], "1 moves of 1 for a sequence of 2 bases")):
        with pytest.raises(ValueError, match=message):
            join_chunks([("AC", "II", bad)], 0)
