"""Markdown tables and PNG plots from the collected results."""
from __future__ import annotations

import datetime
import json
import os
import platform
import subprocess
from importlib import metadata

from bench import data
from bench.models import LIBRARIES
from bench.runner import DIRECT, MODELS, key, median

DISTS = {"kestpy": "kestpy", "kestpy-matrix": "kestpy", "highspy": "highspy", "numpy": "numpy", "kestpy-scip": "PySCIPOpt",
         "pyoptinterface": "pyoptinterface", "mip": "mip", "linopy": "linopy",
         "pulp": "PuLP", "pyomo": "pyomo"}

MODEL_TITLES = {
    "pmedian": "p-median LP (size = customers C; L = 100 locations, F = C/50 facilities)",
    "queens": "n-queens binary MIP (size = N, an N x N board)",
    "basic": "basic dense-grid LP (size = N; 2 N^2 variables and rows)",
    "knapsack": "knapsack binary MIP (size = N items, one row)",
}


def machine_info() -> dict:
    info = {"date": datetime.date.today().isoformat(),
            "python": platform.python_version(), "cores": os.cpu_count()}
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                info["cpu"] = line.split(":", 1)[1].strip()
    except OSError:
        pass
    try:
        with open("/proc/meminfo") as f:
            kb = int(f.readline().split()[1])
        info["memory_gib"] = round(kb / 2**20, 1)
    except OSError:
        pass
    versions = {}
    for name, dist in DISTS.items():
        try:
            versions[name] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            pass
    info["versions"] = versions
    return info


def _sizes(records, model):
    """The sizes of a model that have records, in increasing order."""
    return sorted({int(k.split("|")[1]) for k in records if k.startswith(model + "|")})


def _phase_value(records, model, size, lib, phase):
    """Median of a phase; libraries that load while building report their
    load run for the build too. Returns (value, note) or (None, reason)."""
    if lib in DIRECT and phase == "build":
        phase = _load_phase(records, model, size, lib)
    rec = records.get(key(model, size, lib, phase)) or records.get(key(model, size, lib, "*"))
    if rec is None:
        return None, None
    if "skipped" in rec:
        return None, rec["skipped"]
    if "timeout" in rec and not rec.get("reps"):
        return None, f"timed out after {rec['timeout']:.0f} s"
    if "error" in rec and not rec.get("reps"):
        return None, "failed: " + rec["error"].splitlines()[0]
    field = {"build": "build_s", "load": "load_s", "load_run0": "load_run0_s"}[phase]
    return median(rec, field), rec.get("note")


def _timed_out(records, model, size, lib, phase):
    """The timeout that any phase of a library's run at this size ran into:
    when building alone timed out, build + load did too."""
    for ph in ("build", "load", "load_run0"):
        rec = records.get(key(model, size, lib, ph))
        if rec and "timeout" in rec and not rec.get("reps"):
            return rec["timeout"]
    return None


def _load_phase(records, model, size, lib):
    return "load_run0" if key(model, size, lib, "load_run0") in records else "load"


def _peak(records, model, size, lib):
    rec = records.get(key(model, size, lib, _load_phase(records, model, size, lib)))
    if not rec or not rec.get("reps"):
        return None, None
    peak = median(rec, "peak_rss")
    base = median(rec, "base_rss")
    return peak, (peak - base if peak is not None and base is not None else None)


def _fmt_t(t):
    if t is None:
        return "—"
    if t < 0.01:
        return f"{t * 1000:.2f} ms"
    if t < 1:
        return f"{t * 1000:.0f} ms"
    return f"{t:.2f} s"


def _fmt_mb(b):
    return "—" if b is None else f"{b / 2**20:.0f}"


def _ratio(a, b):
    return None if a is None or b is None or b <= 0 else a / b


def _cell(value, fmt, ref, ref_name):
    if value is None:
        return "—"
    r = _ratio(value, ref)
    return fmt(value) + ("" if r is None else f" ({r:.2f}× {ref_name})")


def model_table(summary, model) -> str:
    records = summary["records"]
    sizes = _sizes(records, model)
    libs = [l for l in LIBRARIES if any(k.split("|")[2] == l for k in records
                                        if k.startswith(model + "|"))]
    lines = [f"## {MODEL_TITLES[model]}", ""]
    notes = {}

    header = ["| size | variables | nonzeros | " + " | ".join(libs) + " |",
              "|---:|---:|---:|" + "---:|" * len(libs)]

    for phase, title, what in (
            ("load", "(b) build + load into HiGHS", "time"),
            ("build", "(a) build in the library", "time"),
            ("peak", "(c) peak RSS of (b), MiB (in brackets: growth over the RSS before building)", "mem")):
        lines += [f"### {title}", ""]
        if what == "time":
            lines.append("Cells: median time; peers as a multiple of kestpy, kestpy as a multiple of the floor.")
        else:
            lines.append("Cells: peak RSS, growth; peers' growth as a multiple of kestpy's growth, kestpy's as a multiple of the floor's.")
        lines += [""] + header
        for size in sizes:
            nv, _, nnz = data.dimensions(model, size)
            row = [str(size), f"{nv:,}", f"{nnz:,}"]
            if what == "time":
                vals = {}
                for lib in libs:
                    ph = _load_phase(records, model, size, lib) if phase == "load" else phase
                    v, note = _phase_value(records, model, size, lib, ph)
                    vals[lib] = v
                    if note and not (lib in DIRECT and phase == "build"):
                        if note.startswith("1 repetition") or note[0].isdigit():
                            note = ("(a)" if phase == "build" else "(b)") + ": " + note
                        notes.setdefault((lib, note), []).append(size)
                for lib in libs:
                    v = vals[lib]
                    to = _timed_out(records, model, size, lib, phase)
                    if v is None and to:
                        row.append(f"> {to:.0f} s")
                        continue
                    if lib == "floor":
                        row.append(_fmt_t(v))
                    elif lib == "kestpy":
                        row.append(_cell(v, _fmt_t, vals.get("floor"), "floor"))
                    else:
                        row.append(_cell(v, _fmt_t, vals.get("kestpy"), ""))
                        row[-1] = row[-1].replace("× )", "×)")
                    if lib in DIRECT and phase == "build" and v is not None:
                        row[-1] += " †"
            else:
                peaks = {lib: _peak(records, model, size, lib) for lib in libs}
                for lib in libs:
                    peak, grow = peaks[lib]
                    if peak is None:
                        row.append("—")
                        continue
                    ref = peaks.get("floor" if lib == "kestpy" else "kestpy", (None, None))[1]
                    cell = f"{_fmt_mb(peak)} ({_fmt_mb(grow)})"
                    r = None if lib == "floor" else _ratio(grow, ref)
                    if r is not None:
                        cell += f" {r:.2f}×" + (" floor" if lib == "kestpy" else "")
                    row.append(cell)
            lines.append("| " + " | ".join(row) + " |")
        lines.append("")
    lines += _kestpy_parts(records, model, sizes)
    if any(l in DIRECT for l in libs):
        lines.append("† builds straight into HiGHS: the build is the load, measured once.")
    for (lib, note), szs in sorted(notes.items()):
        lines.append(f"- {lib} at size {', '.join(map(str, sorted(set(szs))))}: {note}")
    lines.append("")
    lines.append(f"![{model}]({model}.png)")
    lines.append("")
    return "\n".join(lines)


def _kestpy_parts(records, model, sizes) -> list[str]:
    """Where kestpy's (b) goes: building, the replay of setBackend, and the
    backend's update that hands the staged model to HiGHS."""
    rows = []
    for size in sizes:
        rec = records.get(key(model, size, "kestpy", "load"))
        if not rec or not rec.get("reps"):
            continue
        floor = records.get(key(model, size, "floor", "load"))
        parts = [median(rec, f) for f in ("build_s", "replay_s", "flush_s", "load_s")]
        fl = median(floor, "load_only_s") if floor and floor.get("reps") else None
        rows.append("| " + " | ".join([str(size)] + [_fmt_t(p) for p in parts] + [_fmt_t(fl)]) + " |")
    if not rows:
        return []
    return ["### kestpy's (b) in parts", "",
            "| size | build | setBackend (replay into the backend) | backend update (into HiGHS) "
            "| total | floor's passModel |",
            "|---:|---:|---:|---:|---:|---:|"] + rows + [""]


def plot(summary, model, path) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    records = summary["records"]
    sizes = _sizes(records, model)
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(12, 4.5))
    colours = {"floor": "0.5", "kestpy": "black", "kestpy-scip": "tab:olive", "highspy": "tab:orange",
               "pyoptinterface": "tab:green", "mip": "tab:red", "linopy": "tab:purple",
               "pulp": "tab:brown", "pyomo": "tab:pink"}
    for lib in LIBRARIES:
        xs, ts, ms = [], [], []
        for size in sizes:
            v, _ = _phase_value(records, model, size, lib, _load_phase(records, model, size, lib))
            peak, _ = _peak(records, model, size, lib)
            if v is not None:
                xs.append(data.dimensions(model, size)[2])
                ts.append(v)
                ms.append(peak / 2**20)
        if not xs:
            continue
        style = dict(marker="o", linewidth=2.5 if lib == "kestpy" else 1.2,
                     linestyle="--" if lib == "floor" else "-", color=colours.get(lib))
        ax1.plot(xs, ts, label=lib, **style)
        ax2.plot(xs, ms, label=lib, **style)
    for ax, ylabel in ((ax1, "build + load into HiGHS (s)"), (ax2, "peak RSS (MiB)")):
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("nonzeros")
        ax.set_ylabel(ylabel)
        ax.grid(True, which="both", alpha=0.3)
    ax1.legend(fontsize=8)
    fig.suptitle(MODEL_TITLES[model], fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def header_md(summary) -> str:
    m = summary["machine"]
    v = ", ".join(f"{k} {val}" for k, val in sorted(m.get("versions", {}).items()))
    return "\n".join([
        f"Machine: {m.get('cpu', '?')}, {m.get('cores')} cores, {m.get('memory_gib', '?')} GiB; "
        f"Python {m.get('python')}; run on {m.get('date')}.",
        "",
        f"Versions: {v}.",
        "",
        f"Repetitions: {summary.get('reps')}, median reported; each measurement in a fresh process. "
        + ("Loading ends with a HiGHS run with time limit 0 for every library."
           if summary.get("run0") else
           "Loading ends when HiGHS holds the whole model (no solver run)."),
        ""])


def overview(summary, models) -> list[str]:
    """Per model and size: kestpy's (b) against the floor and each peer's (b)
    and memory growth against kestpy's."""
    records = summary["records"]
    peers = [l for l in LIBRARIES if l not in ("floor", "kestpy")]
    lines = ["## Overview: build + load (b) and memory", "",
             "Time columns: kestpy's (b) as a multiple of the floor's, then each peer's (b) "
             "as a multiple of kestpy's (above 1: kestpy is faster). Memory columns: "
             "growth of the peak RSS over the RSS before building, kestpy's in MiB, "
             "then each peer's as a multiple of kestpy's (above 1: kestpy uses less).", "",
             "| model | size | kestpy (b) | × floor | " + " | ".join(peers) +
             " | kestpy MiB | " + " | ".join(p + " mem" for p in peers) + " |",
             "|---|---:|---:|---:|" + "---:|" * len(peers) + "---:|" + "---:|" * len(peers)]
    for model in models:
        sizes = _sizes(records, model)
        for size in sizes:
            def t(lib):
                return _phase_value(records, model, size, lib,
                                    _load_phase(records, model, size, lib))[0]
            kt = t("kestpy")
            if kt is None:
                continue
            kg = _peak(records, model, size, "kestpy")[1]
            row = [model, str(size), _fmt_t(kt), _r(_ratio(kt, t("floor")))]
            row += [_r(_ratio(t(p), kt)) for p in peers]
            row.append(_fmt_mb(kg))
            row += [_r(_ratio(_peak(records, model, size, p)[1], kg)) for p in peers]
            lines.append("| " + " | ".join(row) + " |")
    lines.append("")
    return lines


def _r(x):
    return "—" if x is None else f"{x:.2f}"


def write(summary, out_dir) -> list[str]:
    os.makedirs(out_dir, exist_ok=True)
    written = []
    index = ["# Benchmarks: kestpy and peer modelling libraries", "", header_md(summary)]
    models = [m for m in MODELS if any(k.startswith(m + "|") for k in summary["records"])]
    index += overview(summary, models)
    for model in models:
        md = "# " + model + "\n\n" + header_md(summary) + "\n" + model_table(summary, model)
        path = os.path.join(out_dir, f"{model}.md")
        with open(path, "w") as f:
            f.write(md)
        written.append(path)
        png = os.path.join(out_dir, f"{model}.png")
        if plot(summary, model, png):
            written.append(png)
        index.append(f"- [{model}]({model}.md): {MODEL_TITLES[model]}")
    if os.path.exists(os.path.join(out_dir, "micro.md")):
        index.append("- [micro-benchmarks](micro.md): kestpy's own operations in ns/op")
    index.append("")
    path = os.path.join(out_dir, "README.md")
    with open(path, "w") as f:
        f.write("\n".join(index))
    written.append(path)
    return written


def load_summary(out_dir) -> dict | None:
    path = os.path.join(out_dir, "summary.json")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def save_summary(summary, out_dir) -> str:
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, "summary.json")
    with open(path, "w") as f:
        json.dump(summary, f, indent=1, sort_keys=True)
    return path
