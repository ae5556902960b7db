"""tevora's column functions side by side with what a user could run instead.

Everything runs in one process on one deterministic column. Per 100 cells:
40 clean 13-digit strings (EAN-13), 15 12-digit (UPC-A), 8 canonical 14-digit,
3 dashed ("4006-3813-33931"), 3 with spaces around, 8 floats and 5 ints (a
spreadsheet's numbers), 4 float texts ending in ".0", 5 junk ("n/a", "TBD"),
4 too short ("12345") and 5 None.

The floor is CPython's own per-cell cost: `list(map(str.zfill, texts,
repeat(14)))` over the same cells as strings, a C loop that makes at most one
new str per cell. Each time is the median of several runs, and each ratio is
against the floor measured in the same process. Peak memory is the growth of
the resident set during one call, measured in a forked child, so it counts
C++ memory as well as Python objects: on the first call in a fresh process,
and in the steady state of a pipeline that calls again and again.

Usage: python3 compare.py [--cells N] [--markdown FILE] [--chart FILE]
"""

import argparse
import gc
import itertools
import os
import pathlib
import random
import re
import statistics
import sys
import threading
import time

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "python"))

import tevora  # noqa: E402


def make_column(n, seed=2026):
    rng = random.Random(seed)
    kinds = (
        [lambda d: d] * 40
        + [lambda d: d[1:]] * 15
        + [lambda d: "1" + d] * 8
        + [lambda d: f"{d[:4]}-{d[4:8]}-{d[8:]}"] * 3
        + [lambda d: f" {d} "] * 3
        + [lambda d: float(d)] * 8
        + [lambda d: int(d)] * 5
        + [lambda d: d + ".0"] * 4
        + [lambda d: rng.choice(["n/a", "TBD", "see supplier sheet", "-"])] * 5
        + [lambda d: d[:5]] * 4
        + [lambda d: None] * 5
    )
    return [rng.choice(kinds)(str(rng.randrange(10**12, 10**13))) for _ in range(n)]


def as_texts(column):
    return ["" if v is None else str(v) for v in column]


# ---- What a user could write or install instead ------------------------------

_SKIPPED = re.compile("[\\s\u200b\u2060\ufeff\\-\u00ad\u2010-\u2015\u2212]")
_NUMBER = re.compile(r"([0-9]{8,14})(?:[.,][0-9]+)?")


def python_store_form(value):
    """A hand-written store form: strip, drop a fraction, fill to 14."""
    text = "" if value is None else str(value)
    match = _NUMBER.fullmatch(_SKIPPED.sub("", text))
    return match.group(1).zfill(14) if match else text


def stdnum_store_form(column):
    from stdnum import ean
    from stdnum.exceptions import ValidationError

    out = []
    for value in column:
        text = "" if value is None else str(value)
        try:
            out.append(ean.validate(text).zfill(14))
        except ValidationError:
            out.append(text)
    return out


def pandas_store_form(series):
    cleaned = series.str.replace(r"[\s\-\u00ad\u2010-\u2015\u2212\u200b\u2060\ufeff]", "", regex=True)
    cleaned = cleaned.str.replace(r"^([0-9]{8,14})[.,][0-9]+$", r"\1", regex=True)
    gtin = cleaned.str.fullmatch(r"[0-9]{8,14}")
    return cleaned.str.zfill(14).where(gtin, series)


# ---- Measuring -----------------------------------------------------------------


def timed(fn, repeats):
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
        del result
    return statistics.median(times)


def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def peak_memory(fn):
    """Bytes the resident set grows by while `fn` runs, in a forked child: on
    the first call, and on a call after two others (the steady state of a
    pipeline that calls it chunk after chunk)."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        gc.disable()
        peaks = []
        for call in range(3):
            gc.collect()
            if call != 1:
                with open("/proc/self/clear_refs", "w") as f:
                    f.write("5")  # resets the peak to the current resident set
            base = _status("VmRSS")
            result = fn()
            if call != 1:
                peaks.append(_status("VmHWM") - base)
            del result
        os.write(write, " ".join(map(str, peaks)).encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as f:
        first, steady = map(int, f.read().split())
    os.waitpid(pid, 0)
    return first, steady


def thread_throughput(column):
    """Cells per second of store_form_many on one thread, and on two threads
    each with its own column."""
    other = list(column)

    def run(threads):
        columns = [column, other][:threads]
        workers = [threading.Thread(target=tevora.store_form_many, args=(c,)) for c in columns]
        start = time.perf_counter()
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        return threads * len(column) / (time.perf_counter() - start)

    return statistics.median(run(1) for _ in range(3)), statistics.median(run(2) for _ in range(3))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cells", type=int, default=1_000_000)
    parser.add_argument("--markdown", type=pathlib.Path)
    parser.add_argument("--chart", type=pathlib.Path)
    args = parser.parse_args()

    column = make_column(args.cells)
    texts = as_texts(column)
    contenders = [
        ("floor: map(str.zfill) over str cells", lambda: list(map(str.zfill, texts, itertools.repeat(14))), 7),
        ("tevora store_form_many", lambda: tevora.store_form_many(column), 7),
        ("tevora key_strings", lambda: tevora.key_strings(column), 7),
        ("tevora parse_many", lambda: tevora.parse_many(column), 5),
        ("tevora store_form, per cell", lambda: [tevora.store_form(v) for v in column], 3),
        ("tevora key, per cell", lambda: [tevora.key(v) for v in column], 3),
        ("tevora parse, per cell", lambda: [tevora.parse(v) for v in column], 3),
        ("hand-written Python + re", lambda: [python_store_form(v) for v in column], 3),
    ]
    try:
        import pandas

        series = pandas.Series(texts, dtype=object)
        contenders.append(("pandas .str pipeline", lambda: pandas_store_form(series), 3))
    except ImportError:
        print("pandas is not installed: skipped", file=sys.stderr)
    try:
        import stdnum  # noqa: F401

        contenders.append(("python-stdnum ean.validate + zfill", lambda: stdnum_store_form(column), 1))
    except ImportError:
        print("python-stdnum is not installed: skipped", file=sys.stderr)

    # Memory first, each in a child forked from the same fresh state, so that
    # no measurement inherits memory that an earlier one freed.
    memories = [peak_memory(fn) for _, fn, _ in contenders]
    rows = []
    floor = None
    for (name, fn, repeats), (first, steady) in zip(contenders, memories):
        seconds = timed(fn, repeats)
        floor = floor or (seconds, first, steady)
        rows.append(
            (
                name,
                seconds * 1e9 / len(column),
                seconds / floor[0],
                steady / 2**20,
                steady / floor[2],
                first / 2**20,
                first / floor[1],
            )
        )
        print(
            f"{name:38} {rows[-1][1]:7.0f} ns/cell {rows[-1][2]:6.2f}x  "
            f"{rows[-1][3]:6.1f} MiB {rows[-1][4]:5.2f}x  first call {rows[-1][5]:6.1f} MiB {rows[-1][6]:5.2f}x",
            flush=True,
        )

    one, two = thread_throughput(column)
    threads = (
        f"store_form_many on two threads, each with its own column: {two / 1e6:.1f} M cells/s "
        f"against {one / 1e6:.1f} M cells/s on one ({two / one:.2f}x)"
    )
    print(threads)

    header = (
        f"{len(column):,} cells, CPython {sys.version.split()[0]}, {os.cpu_count()} cores. Time is the "
        "median of repeated calls; peak memory is the growth of the resident set during a call, in "
        "the steady state of repeated calls and on the first call of a fresh process.\n\n"
        "| what | ns per cell | ratio to the floor | peak memory | ratio | first call | ratio |\n"
        "|---|---:|---:|---:|---:|---:|---:|\n"
    )
    table = header + "".join(
        f"| {n} | {ns:,.0f} | {r:.2f} | {m:.1f} MiB | {mr:.2f} | {f:.1f} MiB | {fr:.2f} |\n"
        for n, ns, r, m, mr, f, fr in rows
    )
    if args.markdown:
        args.markdown.parent.mkdir(parents=True, exist_ok=True)
        args.markdown.write_text(table + "\n" + threads + ".\n", encoding="utf-8")
    if args.chart:
        from chart import draw

        draw(
            [(r[0], r[2]) for r in rows],
            args.chart,
            "time per cell, relative to CPython's floor (log scale; lower is better)",
        )


if __name__ == "__main__":
    main()
