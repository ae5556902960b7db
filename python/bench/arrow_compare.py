"""tevora.arrow side by side with Arrow's and polars' simplest string kernels,
a hand-written polars pipeline, and the list path, on one Arrow string column.

    python3 python/bench/arrow_compare.py [--cells N] [--repeats R]

Every figure is the median of R runs in this one process; ratios are against
`pyarrow.compute.utf8_lpad(column, 14, "0")`. Peak memory is measured per
operation in a fresh process, as the growth of its peak resident size over
the bytes of the arrays it returns.
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys
import threading

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "python"))
sys.path.insert(0, str(HERE))

import pandas as pd  # noqa: E402
import polars as pl  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.compute as pc  # noqa: E402

import tevora  # noqa: E402
import tevora.arrow  # noqa: E402
import tevora.pandas  # noqa: E402
from compare import make_column  # noqa: E402
from timing import median_seconds  # noqa: E402


def texts(n, seed=2026):
    """The mix as the list functions read it, one text per cell."""
    return [p.raw for p in tevora.parse_many(make_column(n, seed))]


def polars_by_hand(series):
    """What a polars user writes: strip, drop separators and a fraction, fill to 14."""
    cleaned = series.str.replace_all(r"[\s\-]", "").str.replace(r"[.,][0-9]+$", "")
    return pl.when(cleaned.str.contains(r"^[0-9]{8,14}$")).then(cleaned.str.zfill(14)).otherwise(series)


# The accessor's parse before the columnar one, as it was: a Parsed object per
# cell, then a Series per attribute in its dtype.
OLD_PARSED_COLUMNS = {
    "raw": object,
    "is_gtin": bool,
    "gtin": object,
    "reason": object,
    "message": object,
    "digits": "Int64",
    "store_form": object,
    "was_cleaned": bool,
    "removed_whitespace": bool,
    "removed_separators": bool,
    "dropped_fraction": bool,
}
OLD_GTIN_COLUMNS = {
    "shortest": object,
    "encoding": object,
    "check_digit_is_valid": "boolean",
    "allocation": object,
    "is_restricted_circulation": "boolean",
    "is_publication_or_coupon": "boolean",
    "looks_like_internal_code": "boolean",
    "measure_field_looks_zeroed": "boolean",
}


def old_pandas_parse(series):
    parsed = tevora.parse_many(tevora.pandas.cells(series))
    gtins = [p.gtin for p in parsed]
    columns = {}
    for name, dtype in OLD_PARSED_COLUMNS.items():
        if name == "gtin":
            values = [g.value if g else None for g in gtins]
        else:
            values = [getattr(p, name) for p in parsed]
        columns[name] = pd.Series(values, dtype=dtype, index=series.index)
    for name, dtype in OLD_GTIN_COLUMNS.items():
        values = [getattr(g, name) if g else None for g in gtins]
        columns[name] = pd.Series(values, dtype=dtype, index=series.index)
    return pd.DataFrame(columns, index=series.index)


def two_threads(columns, function):
    threads = [threading.Thread(target=function, args=(c,)) for c in columns]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


PEAK = """
import sys, pyarrow as pa
sys.path.insert(0, {python!r}); sys.path.insert(0, {here!r})
import tevora._arrow as arrow
from arrow_compare import texts
column = pa.array(texts({n}), pa.string())
def status(key):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith(key)) * 1024
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak resident size starts again from here
before = status("VmRSS:")
result = pa.array(arrow.{op}(column))
print(status("VmHWM:") - before, result.nbytes)
"""


def peak(op, n):
    code = PEAK.format(python=str(HERE.parents[1] / "python"), here=str(HERE), n=n, op=op)
    grown, output = map(
        int, subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.split()
    )
    return grown, output


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cells", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--figures", type=pathlib.Path, help="write the ratios as JSON, for chart.py")
    args = parser.parse_args()
    n, r = args.cells, args.repeats
    cells = texts(n)
    column = pa.array(cells, pa.string())
    series = pl.Series(column)
    frame_series = pd.Series(pd.arrays.ArrowStringArray(column))
    lpad = median_seconds(lambda: pc.utf8_lpad(column, 14, "0"), r)
    rows = [("pyarrow.compute.utf8_lpad(column, 14, '0')", lpad)]
    figures = {
        "polars str.zfill(14)": lambda: series.str.zfill(14),
        "polars by hand (replace_all, regex, zfill)": lambda: polars_by_hand(series),
        "tevora.arrow.store_form": lambda: tevora.arrow.store_form(column),
        "tevora.arrow.key_strings": lambda: tevora.arrow.key_strings(column),
        "tevora.arrow.parse (struct array)": lambda: tevora.arrow.parse(column),
        "tevora store_form_many (list of str)": lambda: tevora.store_form_many(cells),
        "tevora Series.gtin.parse() (columnar)": lambda: frame_series.gtin.parse(),
    }
    for name, work in figures.items():
        rows.append((name, median_seconds(work, r)))
    sample = max(n // 10, 1)
    old = median_seconds(lambda: old_pandas_parse(pd.Series(cells[:sample], dtype=object)), 3) * n / sample
    rows.append((f"old Series.gtin.parse() (list path, from {sample} cells)", old))
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"{n} cells, median of {r} runs, ratios against utf8_lpad; load average {load:.2f} before\n")
    print(f"| {'operation':<58} | {'ms':>9} | {'x lpad':>7} |")
    print(f"|{'-' * 60}|{'-' * 11}|{'-' * 9}|")
    for name, seconds in rows:
        print(f"| {name:<58} | {seconds * 1e3:9.1f} | {seconds / lpad:7.2f} |")
    times = dict(rows)
    if args.figures:
        args.figures.parent.mkdir(parents=True, exist_ok=True)
        xlabel = "time relative to Arrow's utf8_lpad (log scale; lower is better)"
        figures = {"xlabel": xlabel, "rows": [(name, seconds / lpad) for name, seconds in rows]}
        args.figures.write_text(json.dumps(figures, indent=1), encoding="utf-8")
    print()
    listed = times["tevora store_form_many (list of str)"]
    print(f"store_form vs store_form_many: {listed / times['tevora.arrow.store_form']:.1f}x faster")
    new_parse = times["tevora Series.gtin.parse() (columnar)"]
    print(
        f"Series.gtin.parse(): {old / new_parse:.0f}x faster than the list path; "
        f"tevora.arrow.parse {old / times['tevora.arrow.parse (struct array)']:.0f}x"
    )
    other = pa.array(texts(n, seed=7), pa.string())
    for op in ("store_form", "parse"):
        function = getattr(tevora._arrow, op)
        one = median_seconds(lambda f=function: (f(column), f(other)), r)
        both = median_seconds(lambda f=function: two_threads([column, other], f), r)
        print(f"two threads, two columns, {op}: {one / both:.2f}x the throughput of one")
    for op in ("store_form", "key_strings", "parse"):
        grown, output = peak(op, n)
        print(
            f"peak memory, {op}: {grown / 2**20:.1f} MiB for {output / 2**20:.1f} MiB of output ({grown / output:.2f}x)"
        )
    if hasattr(os, "getloadavg"):
        print(f"load average {os.getloadavg()[0]:.2f} after, on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
