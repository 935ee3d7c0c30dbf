#!/usr/bin/env python3
"""Fuzzing of kestpy.read with atheris: mutated MPS and LP files.

The extension is not instrumented for coverage, so libFuzzer's own mutations
would start from nothing; instead each input steers mutations of a real file:
every sample MPS file of CoinUtils (/usr/share/coin/Data/Sample), as it is
and as kestpy writes it in MPS and LP. The input picks the file, the suffix
(.mps, .lp, either gzip-compressed) and up to a dozen edits: bytes changed,
inserted or deleted, lines repeated or dropped, numbers replaced by hostile
ones (1e999, nan, -inf, 0x10, a thousand digits), the file cut short.
Reading must give a Model or raise ValueError naming the file; a model that
was read is written back and must read again with the same counts. Anything
else, a crash or a hang is a finding.

Run (see fuzz/README.md):
    PYTHONPATH=<build dir> python3 fuzz/fuzz_readers.py [libFuzzer flags]
For the ten-minute run: -max_total_time=600 -timeout=20
"""
import glob
import gzip
import os
import sys
import tempfile

import atheris

import kestpy

SAMPLES = "/usr/share/coin/Data/Sample"
WORK = tempfile.mkdtemp(prefix="kestpy-fuzz-")
SUFFIXES = (".mps", ".lp", ".mps.gz", ".lp.gz")


class Finding(AssertionError):
    pass


def load_seeds():
    seeds = []
    for path in sorted(glob.glob(os.path.join(SAMPLES, "*.mps"))):
        with open(path, "rb") as f:
            seeds.append(f.read())
        try:
            m = kestpy.read(path)
        except ValueError:
            continue
        for suffix in (".mps", ".lp"):
            out = os.path.join(WORK, "seed" + suffix)
            m.write(out)
            with open(out, "rb") as f:
                seeds.append(f.read())
    return seeds


SEEDS = load_seeds()
HOSTILE = [b"1e999", b"-1e999", b"nan", b"-inf", b"0x10", b"9" * 1000, b"", b"\x00", b"+-", b"'MARKER'",
           b"ENDATA", b"End", b"<=", b":", b"\n", b" " * 70]


def mutate(fdp, data):
    b = bytearray(data)
    for _ in range(fdp.ConsumeIntInRange(0, 12)):
        if not b:
            break
        at = fdp.ConsumeIntInRange(0, len(b) - 1)
        op = fdp.ConsumeIntInRange(0, 6)
        if op == 0:
            b[at] = fdp.ConsumeInt(1) & 0xFF
        elif op == 1:
            b[at:at] = fdp.ConsumeBytes(fdp.ConsumeIntInRange(1, 16))
        elif op == 2:
            del b[at:at + fdp.ConsumeIntInRange(1, 64)]
        elif op in (3, 4):  # a line repeated or dropped
            start = b.rfind(b"\n", 0, at) + 1
            end = b.find(b"\n", at)
            end = len(b) if end < 0 else end + 1
            b[start:end] = b[start:end] * 2 if op == 3 else b""
        elif op == 5:  # the word at `at` replaced by a hostile one
            start, end = at, at
            while start > 0 and b[start - 1] not in b" \t\n":
                start -= 1
            while end < len(b) and b[end] not in b" \t\n":
                end += 1
            b[start:end] = HOSTILE[fdp.ConsumeIntInRange(0, len(HOSTILE) - 1)]
        else:
            del b[at:]
    return bytes(b)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    seed = SEEDS[fdp.ConsumeIntInRange(0, len(SEEDS) - 1)]
    suffix = SUFFIXES[fdp.ConsumeIntInRange(0, len(SUFFIXES) - 1)]
    body = mutate(fdp, seed)
    if suffix.endswith(".gz"):
        body = gzip.compress(body, compresslevel=1)
    path = os.path.join(WORK, "input" + suffix)
    with open(path, "wb") as f:
        f.write(body)
    try:
        m = kestpy.read(path)
    except ValueError as e:
        if path not in str(e):
            raise Finding(f"an error that does not name the file: {e}") from e
        return
    again = os.path.join(WORK, "again" + suffix)
    m.write(again)
    back = kestpy.read(again)
    counts = (m.NumVars, m.NumConstrs, m.NumNZs)
    if (back.NumVars, back.NumConstrs, back.NumNZs) != counts:
        raise Finding(f"a written model reads back with other counts: {counts}")


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
