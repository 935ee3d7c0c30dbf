"""Where kestpy's build + load goes, model by model, in one process:

  build                 the model written in kestpy (models/kestpy_models.py)
  replay, null backend  setBackend into a backend that does nothing: kestpy's own
                        walk of its cache and the argument lists it builds
  replay, highs         setBackend("highs"): the same plus the HiGHS backend's
                        staging of what it receives
  update, highs         the backend's update: the staged model into HiGHS
  floor passModel       the floor's arrays into a new HiGHS, for scale

Each replay is timed with the garbage collector on (as users run) and off
(what the replay would cost without collections triggered by its own lists).
"""
from __future__ import annotations

import gc
import time

from bench import backends_on_path, data


def measure(model, size, reps=3):
    from bench.models import floor_models, kestpy_models as km
    backends_on_path()
    d = data.make(model, size)
    t = time.perf_counter()
    m = km.build(model, d)
    out = {"build": time.perf_counter() - t}
    for gc_on in (True, False):
        tag = "" if gc_on else " (gc off)"
        for backend in ("null", "highs"):
            best = None
            for _ in range(reps):
                if not gc_on:
                    gc.disable()
                try:
                    r = km.load(m, backend)
                finally:
                    gc.enable()
                if best is None or r["replay_s"] + r["flush_s"] < best["replay_s"] + best["flush_s"]:
                    best = r
            out[f"replay, {backend}{tag}"] = best["replay_s"]
            if backend == "highs":
                out[f"update, highs{tag}"] = best["flush_s"]
    a = floor_models.build(model, d)
    t = time.perf_counter()
    floor_models.load(a)
    out["floor passModel"] = time.perf_counter() - t
    return out


def main(models, sizes) -> int:
    for model in models:
        for size in sizes[model]:
            nv, nrow, nnz = data.dimensions(model, size)
            print(f"{model} {size}: {nv:,} variables, {nrow:,} rows, {nnz:,} nonzeros")
            for name, sec in measure(model, size).items():
                print(f"  {name:28s} {sec * 1000:9.1f} ms  {sec / nnz * 1e9:7.1f} ns/nonzero")
    return 0
