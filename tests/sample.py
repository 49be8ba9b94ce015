"""Sample files for the tests' scripts and the benchmark (tests/support.cpp's sample_data is the
C++ tests' own): the same bytes for the same arguments."""
import random

TEXT = b"The quick brown fox jumps over the lazy dog.\n" * 20
KINDS = ("random", "zeros", "runs", "text")


def chunks(n, seed=1, kinds=KINDS, zeros=0):
    """n bytes, in pieces: stretches of the kinds named, each drawn in turn from them (random
    bytes, 100 to 2999 of them; 1 to 63 zeros; a byte repeated 2 to 499 times; TEXT), then a
    last byte 0xA5 and `zeros` zero bytes."""
    r = random.Random(seed)
    make = {"random": lambda: r.randbytes(r.randrange(100, 3000)),
            "zeros": lambda: bytes(r.randrange(1, 64)),
            "runs": lambda: bytes([r.randrange(256)]) * r.randrange(2, 500),
            "text": lambda: TEXT}
    left = n - zeros - 1
    while left > 0:
        part = r.choice([make[kind]() for kind in kinds])[:left]
        left -= len(part)
        yield part
    if n > zeros:
        yield b"\xa5"
    yield bytes(min(n, zeros))


def data(n, seed=1, kinds=KINDS, zeros=0):
    return b"".join(chunks(n, seed, kinds, zeros))
