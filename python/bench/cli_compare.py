"""`tevora check` and `tevora clean` on a large CSV, side by side with a plain
Python `csv.reader` pass over the same file.

    python3 python/bench/cli_compare.py [--rows N] [--repeats R] [--keep DIR]

The file is examples/make_catalogue.py's catalogue at N rows (default
2,000,000): five columns, the GTIN column holding what catalogues hold
(clean codes, floats ending in .0, scientific notation, dashes and spaces,
wrong check digits, ISBNs, coupons, junk, empty cells). Every run is a fresh
interpreter that imports what it needs, then times only its work and reports
its own peak resident memory (getrusage): the reference reads every row with
`csv.reader` and does nothing with it; `tevora check` and `tevora clean` are
in-process calls of `tevora.cli.main` (check's report to /dev/null, clean's
output to a file). Times are medians of R runs, shown as ratios to the
reference. Peak memory is measured at N/2 and N rows, to show it flat in rows.
Last, the time to tell the dialect and header of 63 KB of `,"a` repeated,
which took a quadratic sniffer about ten seconds.
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import timeit

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(REPO / "python"))

from tevora import _csv  # noqa: E402

REFERENCE = """
import csv, resource, sys, time
start = time.perf_counter()
with open(sys.argv[1], newline="", encoding="utf-8") as f:
    for row in csv.reader(f):
        pass
elapsed = time.perf_counter() - start
print(elapsed, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""

COMMAND = """
import contextlib, os, resource, sys, time
sys.path.insert(0, sys.argv[1])
from tevora import cli
args = sys.argv[2:]
with open(os.devnull, "w") as null, contextlib.redirect_stdout(null):
    start = time.perf_counter()
    status = cli.main(args)
    elapsed = time.perf_counter() - start
assert status == 0, status
print(elapsed, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def run(code: str, *args: str) -> "tuple[float, int]":
    done = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"a run failed: {done.stderr.strip()}")
    seconds, kib = done.stdout.split()
    return float(seconds), int(kib) * 1024


def make(path: pathlib.Path, rows: int) -> None:
    if not path.exists():
        subprocess.run(
            [sys.executable, str(REPO / "examples" / "make_catalogue.py"), str(path), "--rows", str(rows)], check=True
        )


def runs(csv_path: pathlib.Path, out: pathlib.Path) -> "dict[str, tuple[str, ...]]":
    package = str(REPO / "python")
    return {
        "csv.reader, read only (reference)": (REFERENCE, str(csv_path)),
        "tevora check": (COMMAND, package, "check", str(csv_path), "--column", "gtin"),
        "tevora clean": (COMMAND, package, "clean", str(csv_path), "-o", str(out), "--column", "gtin"),
        "tevora clean --key-column --explain": (
            COMMAND,
            package,
            "clean",
            str(csv_path),
            "-o",
            str(out),
            "--column",
            "gtin",
            "--key-column",
            "gtin_key",
            "--explain",
        ),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=2_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--keep", type=pathlib.Path, help="keep the generated files in this directory")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        where = args.keep or pathlib.Path(scratch)
        where.mkdir(parents=True, exist_ok=True)
        full, half = where / f"catalogue-{args.rows}.csv", where / f"catalogue-{args.rows // 2}.csv"
        make(full, args.rows)
        make(half, args.rows // 2)
        out = pathlib.Path(scratch) / "clean.csv"
        size = os.path.getsize(full)
        print(f"{args.rows:,} rows, {size / 2**20:.0f} MiB; CPython {sys.version.split()[0]}; {os.cpu_count()} cores")
        print(f"load average before: {os.getloadavg()[0]:.2f}")
        times: "dict[str, float]" = {}
        peaks: "dict[str, list[int]]" = {}
        for name, command in runs(full, out).items():
            measured = [run(*command) for _ in range(args.repeats)]
            times[name] = statistics.median(s for s, _ in measured)
            peaks[name] = [max(m for _, m in measured)]
        for name, command in runs(half, out).items():
            peaks[name].insert(0, run(*command)[1])
        reference = times["csv.reader, read only (reference)"]
        print()
        print(f"| what | s | ratio to csv.reader | peak RSS, {args.rows // 2:,} rows | peak RSS, {args.rows:,} rows |")
        print("|---|---:|---:|---:|---:|")
        for name, seconds in times.items():
            half_peak, full_peak = peaks[name]
            print(
                f"| {name} | {seconds:.2f} | {seconds / reference:.2f} | "
                f"{half_peak / 2**20:.0f} MiB | {full_peak / 2**20:.0f} MiB |"
            )
        print(f"\nload average after: {os.getloadavg()[0]:.2f}")
        hostile = pathlib.Path(scratch) / "open-quotes.csv"
        hostile.write_bytes(b',"a' * 21000)
        seconds = min(timeit.repeat(lambda: _csv.open_table(str(hostile), None).close(), number=1, repeat=5))
        print(f"dialect and header of 63 KB of ',\"a' repeated: {seconds * 1000:.1f} ms")


if __name__ == "__main__":
    main()
