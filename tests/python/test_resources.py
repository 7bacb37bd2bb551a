"""Memory stays flat over many calls, successful or failing."""
import json
import textwrap

LEAK_CHECK = textwrap.dedent("""
    import ctypes, gc, json, os, sys, torch, tovrel

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
            "fordblks", "keepcost")]

    libc = ctypes.CDLL("libc.so.6")
    libc.mallinfo2.restype = MallInfo2

    def usage():
        gc.collect()
        heap = libc.mallinfo2()
        with open("/proc/self/statm") as statm:
            resident = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        return {"heap": heap.uordblks + heap.hblkhd, "python_blocks": sys.getallocatedblocks(),
                "resident": resident}

    scores = torch.randn(10, 80, generator=torch.Generator().manual_seed(3))
    guides = torch.tensor(tovrel.backward_scores(scores))
    posts = torch.tensor(tovrel.posts(scores))
    scores8, guides8, posts8 = (t.clamp(-128, 127).to(torch.int8) for t in (scores, guides, posts))
    failing = [
        lambda: tovrel.posts(torch.zeros(2, 21)),
        lambda: tovrel.backward_scores(torch.zeros(2, 20, dtype=torch.int8)),
        lambda: tovrel.forward_scores(torch.zeros(2, 20, device="meta")),
        lambda: tovrel.beam_search(scores, guides, posts8),
        lambda: tovrel.beam_search(scores, guides[:-1], posts),
        lambda: tovrel.beam_search(scores8, guides8, posts8, beam_size=0),
        lambda: tovrel.beam_search(scores.double(), guides.double(), posts.double()),
    ]

    def rounds(count):
        for _ in range(count):
            tovrel.backward_scores(scores)
            tovrel.forward_scores(scores)
            tovrel.posts(scores)
            tovrel.beam_search(scores, guides, posts, beam_size=16)
            tovrel.beam_search(scores8, guides8, posts8, beam_size=16)
            for call in failing:
                try:
                    call()
                except (RuntimeError, ValueError):
                    pass

    rounds(2000)
    marks = [usage()]
    for _ in range(2):
        rounds(10000)
        marks.append(usage())
    print(json.dumps(marks))
""")


def test_memory_stays_flat_over_10000_calls_of_each_function(python_in_subprocess):
    result = python_in_subprocess(LEAK_CHECK)
    assert result.returncode == 0, result.stderr
    start, middle, end = json.loads(result.stdout)
    # A leak grows memory in both windows of 10,000 rounds (120,000 calls each); the interpreter's
    # one-off growth (such as a resize of its table of interned names) shows in one window only.
    heap_growth = min(middle["heap"] - start["heap"], end["heap"] - middle["heap"])
    block_growth = min(middle["python_blocks"] - start["python_blocks"],
                       end["python_blocks"] - middle["python_blocks"])
    assert heap_growth < 256 * 1024, f"{heap_growth} bytes of heap per 120,000 calls"
    assert block_growth < 1000, f"{block_growth} Python objects per 120,000 calls"
    # Resident memory also counts pages the allocator keeps for reuse: a coarse bound.
    assert end["resident"] - start["resident"] < 32 * 2**20
