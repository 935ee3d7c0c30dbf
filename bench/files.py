"""Model files: kestpy's Model.write / kestpy.read against HiGHS's own
writeModel / readModel (highspy), on the same model and the same files.

  generated   a random sparse LP with 10^6 nonzeros (100 000 columns, 50 000
              rows of 20 terms), built once in HiGHS and read into kestpy
  samples     every MPS file in /usr/share/coin/Data/Sample that both read

Each time is the best of several runs, the files in /dev/shm; the tables go to
bench/results/files.md and the numbers to files.json beside it. Both readers
read the file HiGHS wrote: for brandy, finnis and share2qp HiGHS writes LP
names that begin with a digit and its own reader then stops early, so those
LP read times of HiGHS do not count.
"""
from __future__ import annotations

import glob
import json
import os
import tempfile
import time

SAMPLES = "/usr/share/coin/Data/Sample"


def best(fn, reps):
    out = None
    for _ in range(reps):
        t = time.perf_counter()
        fn()
        dt = time.perf_counter() - t
        out = dt if out is None else min(out, dt)
    return out


def quiet_highs():
    import highspy

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    return h


def generated_highs(columns=100_000, rows=50_000, per_row=20, seed=7):
    import highspy
    import numpy as np

    rng = np.random.default_rng(seed)
    lp = highspy.HighsLp()
    lp.num_col_, lp.num_row_ = columns, rows
    lp.col_cost_ = rng.uniform(-1, 1, columns)
    lp.col_lower_ = np.zeros(columns)
    lp.col_upper_ = rng.uniform(1, 10, columns)
    lp.row_lower_ = np.full(rows, -highspy.kHighsInf)
    lp.row_upper_ = rng.uniform(10, 100, rows)
    idx = np.sort(rng.integers(0, columns, (rows, per_row)), axis=1)
    keep = np.ones_like(idx, dtype=bool)
    keep[:, 1:] = np.diff(idx, axis=1) != 0  # a column once per row
    counts = keep.sum(axis=1)
    lp.a_matrix_.format_ = highspy.MatrixFormat.kRowwise
    lp.a_matrix_.start_ = np.concatenate([[0], np.cumsum(counts)]).astype(np.int32)
    lp.a_matrix_.index_ = idx[keep].astype(np.int32)
    lp.a_matrix_.value_ = rng.uniform(-5, 5, int(counts.sum()))
    h = quiet_highs()
    h.passModel(lp)
    return h


def measure_case(tmp, label, kestpy_model, highs, reps):
    import kestpy as kp

    row = {"case": label}
    for fmt in ("mps", "lp"):
        kpath = os.path.join(tmp, f"k.{fmt}")
        hpath = os.path.join(tmp, f"h.{fmt}")
        row[f"write {fmt} kestpy"] = best(lambda: kestpy_model.write(kpath), reps)
        row[f"write {fmt} highs"] = best(lambda: highs.writeModel(hpath), reps)
        # both readers on the same file (the one HiGHS wrote)
        row[f"read {fmt} kestpy"] = best(lambda: kp.read(hpath), reps)
        row[f"read {fmt} highs"] = best(lambda: quiet_highs().readModel(hpath), reps)
    return row


def table(rows):
    cols = ["write mps", "read mps", "write lp", "read lp"]
    out = ["| case | " + " | ".join(f"{c} kestpy | {c} HiGHS | ratio" for c in cols) + " |",
           "|---" * (1 + 3 * len(cols)) + "|"]
    for r in rows:
        cells = [r["case"]]
        for c in cols:
            k, h = r[f"{c} kestpy"], r[f"{c} highs"]
            cells += [f"{k * 1e3:.2f}", f"{h * 1e3:.2f}", f"{h / k:.1f}x"]
        out.append("| " + " | ".join(cells) + " |")
    return "\n".join(out)


def main(out_dir, quick=False):
    import kestpy as kp

    reps_big, reps_small = (1, 3) if quick else (3, 20)
    rows = []
    # Files in memory where there is a tmpfs: the disk's flushing of a file
    # rewritten in place would blur times of a millisecond.
    shm = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=shm) as tmp:
        if not quick:
            h = generated_highs()
            src = os.path.join(tmp, "gen.mps")
            h.writeModel(src)
            m = kp.read(src)
            rows.append(measure_case(tmp, f"generated ({m.NumNZs} nonzeros)", m, h, reps_big))
            print(rows[-1])
        for path in sorted(glob.glob(os.path.join(SAMPLES, "*.mps"))):
            name = os.path.basename(path)[:-4]
            h = quiet_highs()
            try:
                m = kp.read(path)
            except ValueError:
                continue
            if h.readModel(path) != __import__("highspy").HighsStatus.kOk:
                continue
            rows.append(measure_case(tmp, name, m, h, reps_small))
    text = ("## Model files: kestpy against HiGHS (milliseconds, best of runs; ratio = HiGHS / kestpy, "
            "above 1 means kestpy is faster)\n\n" + table(rows) + "\n")
    print(text)
    if not quick:
        os.makedirs(out_dir, exist_ok=True)
        with open(os.path.join(out_dir, "files.md"), "w") as f:
            f.write(text)
        with open(os.path.join(out_dir, "files.json"), "w") as f:
            json.dump(rows, f, indent=1)
    return 0
