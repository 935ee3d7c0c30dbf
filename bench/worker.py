"""One measurement in a fresh process: ``python -m bench.worker LIB MODEL SIZE
PHASE OUT.json``.

Phases:
  build     build the model in the library
  load      build it and load it into HiGHS (until HiGHS holds all of it)
  load_run0 as load, then a HiGHS run with time limit 0
  check     build, load and solve to optimality; report the objective and the
            dimensions HiGHS (or a counting backend) received

The result is written as JSON to OUT.json; stdout and stderr belong to the
library and HiGHS.
"""
from __future__ import annotations

import json
import os
import resource
import sys
import time
import traceback

def rss_now() -> int:
    """Current resident set size in bytes."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def measure(lib: str, model: str, size: int, phase: str) -> dict:
    from bench import data
    from bench.models import get

    t = time.perf_counter()
    mod = get(lib)
    import_s = time.perf_counter() - t
    d = data.make(model, size)
    out = {"lib": lib, "model": model, "size": size, "phase": phase,
           "import_s": import_s}
    base = rss_now()

    t0 = time.perf_counter()
    h = mod.build(model, d)
    t1 = time.perf_counter()
    out["build_s"] = t1 - t0
    if phase in ("load", "load_run0", "check"):
        extra = mod.load(h)
        t2 = time.perf_counter()
        if isinstance(extra, dict):
            out.update(extra)
        out["load_s"] = t2 - t0          # build + load, from the same start
        out["load_only_s"] = t2 - t1
        if phase == "load_run0":
            mod.run0(h)
            out["load_run0_s"] = time.perf_counter() - t0
    out["peak_rss"] = peak_rss()
    out["base_rss"] = base
    if phase == "check":
        out["objective"] = mod.solve(h)
        out["dims"] = counted_dims(lib, model, d) if lib in ("kestpy", "kestpy-matrix") else mod.dims(h)
    return out


def counted_dims(lib, model, d):
    """Dimensions of a kestpy model as replayed into a counting backend."""
    from bench import backends_on_path

    backends_on_path()
    import kestpy_count
    from bench.models import get

    mod = get(lib)
    m = mod.build(model, d)
    mod.load(m, backend="count")
    b = kestpy_count.LAST
    return b.num_col, b.num_row, b.num_nz


def main(argv: list[str]) -> int:
    lib, model, size, phase, path = argv
    try:
        result = measure(lib, model, int(size), phase)
        result["ok"] = True
    except BaseException as e:  # a kestpy fault derives from BaseException
        result = {"lib": lib, "model": model, "size": int(size), "phase": phase,
                  "ok": False, "error": f"{type(e).__name__}: {e}",
                  "traceback": traceback.format_exc()}
    with open(path, "w") as f:
        json.dump(result, f)
    sys.stdout.flush()
    # Skip the teardown of large models: it is not part of any measurement.
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
