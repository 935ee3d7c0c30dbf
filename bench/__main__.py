"""python -m bench: benchmarks of kestpy against peer modelling libraries.

  python -m bench                 full run (every model, library and size)
  python -m bench --quick         every model at its smallest size, 1 repetition
  python -m bench --check         solve the smallest sizes everywhere and compare
  python -m bench micro           kestpy's own operations in ns/op
  python -m bench parts           where kestpy's build + load goes, in one process
  python -m bench changes         RHS changes + re-solves in place vs rebuilt (--rows,
                                  --changes, --rebuilds, --sets)
  python -m bench report          rewrite tables and plots from summary.json
  python -m bench files           Model.write / kestpy.read against HiGHS's writer and reader
"""
from __future__ import annotations

import argparse
import os
import sys
import time

from bench import report, runner
from bench.models import LIBRARIES

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_OUT = os.path.join(HERE, "results")
QUICK_OUT = os.path.join(HERE, "results", "raw", "quick")


def _csv(text):
    return [t for t in text.split(",") if t]


def parse_sizes(tokens, models):
    """``pmedian=100,500 queens=8`` or, for all chosen models, ``100,500``."""
    sizes = {m: list(runner.SIZES[m]) for m in models}
    for tok in tokens or []:
        if "=" in tok:
            model, vals = tok.split("=", 1)
            if model not in runner.SIZES:
                raise SystemExit(f"unknown model in --sizes: {model}")
            sizes[model] = [int(v) for v in _csv(vals)]
        else:
            for m in models:
                sizes[m] = [int(v) for v in _csv(tok)]
    return sizes


def main(argv=None) -> int:
    p = argparse.ArgumentParser(prog="python -m bench", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("command", nargs="?", default="run", choices=["run", "micro", "parts", "changes", "report", "files"])
    p.add_argument("--quick", action="store_true",
                   help="smallest size of every model, all libraries, 1 repetition")
    p.add_argument("--check", action="store_true",
                   help="solve the smallest size in every library and compare objectives")
    p.add_argument("--models", type=_csv, default=list(runner.MODELS),
                   help="comma-separated, from: " + ",".join(runner.MODELS))
    p.add_argument("--libs", type=_csv, default=list(LIBRARIES),
                   help="comma-separated, from: " + ",".join(LIBRARIES))
    p.add_argument("--sizes", nargs="+", help="e.g. pmedian=100,500 queens=8")
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--out", default=None, help=f"results folder (default {DEFAULT_OUT})")
    p.add_argument("--timeout", type=float, default=150.0,
                   help="seconds before one measurement is abandoned (larger sizes "
                        "of that library and model are then skipped)")
    p.add_argument("--slow", type=float, default=20.0,
                   help="a measurement slower than this is not repeated")
    p.add_argument("--run0", action="store_true",
                   help="end loading with a HiGHS run with time limit 0 in every library")
    p.add_argument("--fresh", action="store_true",
                   help="drop earlier results in the folder instead of merging")
    p.add_argument("--rows", type=int, default=100_000, help="changes: rows (and variables) of the LP")
    p.add_argument("--changes", type=int, default=1000, help="changes: RHS changes re-solved in place")
    p.add_argument("--rebuilds", type=int, default=10, help="changes: RHS changes re-solved by a rebuild")
    p.add_argument("--sets", type=int, default=10_000, help="changes: x.UB = v calls queued before a solve")
    p.add_argument("--cpp-floor", default=None,
                   help="micro: program printing the C++ floor as JSON {op: ns}")
    args = p.parse_args(argv)

    for m in args.models:
        if m not in runner.MODELS:
            p.error(f"unknown model {m}")
    for lib in args.libs:
        if lib not in LIBRARIES:
            p.error(f"unknown library {lib}")

    if args.command == "micro":
        from bench import micro
        out = args.out or DEFAULT_OUT
        return micro.main(out, quick=args.quick, cpp_floor=args.cpp_floor)

    if args.command == "changes":
        from bench import changes
        return changes.main(args.rows, args.changes, args.rebuilds, args.sets)
    if args.command == "files":
        from bench import files
        return files.main(args.out or DEFAULT_OUT, quick=args.quick)

    if args.command == "parts":
        from bench import parts
        return parts.main(args.models, parse_sizes(args.sizes, args.models))

    out = args.out or (QUICK_OUT if args.quick else DEFAULT_OUT)
    if args.command == "report":
        summary = report.load_summary(out)
        if summary is None:
            p.error(f"no summary.json in {out}")
        for path in report.write(summary, out):
            print(path)
        return 0

    sizes = parse_sizes(args.sizes, args.models)
    if args.check:
        return 0 if runner.check(args.models, args.libs, sizes if args.sizes else None,
                                 args.timeout) else 1
    reps = args.reps
    if args.quick:
        sizes = {m: [runner.SMALL[m]] for m in args.models}
        reps = 1

    started = time.time()
    records = runner.run(args.models, args.libs, sizes, reps, timeout=args.timeout,
                         slow=args.slow, run0=args.run0)
    summary = None if args.fresh else report.load_summary(out)
    if summary is None or summary.get("run0", False) != args.run0:
        summary = {"records": {}}
    summary["records"].update(records)
    summary["machine"] = report.machine_info()
    summary["reps"] = reps
    summary["run0"] = args.run0
    report.save_summary(summary, out)
    for path in report.write(summary, out):
        print(path)
    failed = [k for k, r in records.items() if "error" in r]
    print(f"done in {time.time() - started:.0f} s; {len(failed)} failed")
    for k in failed:
        print(f"  {k}: {records[k]['error'].splitlines()[0][:300]}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
