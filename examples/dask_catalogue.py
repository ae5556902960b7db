"""Cleaning a catalogue that outgrows one process, with Dask.

Each partition goes through tevora's column functions, which release the GIL
while they work, so Dask's threaded scheduler runs partitions in parallel on
one machine; pointed at a distributed scheduler, the same graph runs on a
cluster.

    python3 examples/dask_catalogue.py examples/catalogue.csv build/catalogue-clean
    python3 examples/dask_catalogue.py 'catalogues/*.csv' out/ --scheduler tcp://scheduler:8786

The GTIN column is read as text (dtype=str, no NA parsing), so codes reach
tevora as they were written and are never turned into floats on the way.

`dd.read_csv` cuts each file into blocks at line breaks without reading its
quoting, so a quoted cell that holds a line break where a block ends fails
with a ParserError ("EOF inside string"). `read` here cuts blocks only at
line breaks outside quotes: a first pass, a task per block, counts each
block's quotes and finds its first line break at either parity, and the
quotes counted before a block tell which one starts its rows. That holds for
CSV quoting by doubled quotes in an ASCII-compatible encoding (UTF-8,
Latin-1, ...). A compressed file (.gz, .bz2, ...) is read whole, and
`--blocksize none` reads every file whole.
"""

import argparse
import io
from typing import Any, Dict, List, Optional, Tuple

try:
    import dask
    import dask.dataframe as dd
    import fsspec
    from fsspec.utils import infer_compression
    import pandas as pd
    from dask.utils import parse_bytes
except ImportError as error:
    raise ImportError(f"this recipe needs Dask ({error}): pip install tevora[dask]") from error


def clean_partition(frame: pd.DataFrame, column: str) -> pd.DataFrame:
    """One partition: the column in store form, and its match key beside it."""
    import tevora.pandas  # noqa: F401 (registers the accessor wherever the partition runs)

    return frame.assign(
        **{
            column: frame[column].gtin.store_form(),
            f"{column}_key": frame[column].gtin.key_strings(),
        }
    )


def clean(catalogue: dd.DataFrame, column: str = "gtin") -> dd.DataFrame:
    meta: Dict[str, Any] = {**catalogue.dtypes.to_dict(), column: object, f"{column}_key": object}
    return catalogue.map_partitions(clean_partition, column, meta=meta)


def read(pattern: str, blocksize: Optional[str] = "64MB") -> dd.DataFrame:
    """The files as text, in blocks cut at line breaks outside quotes; blocksize=None reads each file whole."""
    fs, _, found = fsspec.get_fs_token_paths(pattern)
    paths = sorted(found)
    if not paths:
        raise FileNotFoundError(f"no file matches {pattern}")
    names = _header(fs, paths[0])
    # A compressed file cannot be entered in the middle: it is read whole, as every file is without a blocksize.
    whole = [path for path in paths if blocksize is None or infer_compression(path)]
    size = parse_bytes(blocksize) if blocksize is not None else 0
    # The first pass: for every block, its quotes and where its rows would start at either parity.
    facts = dask.compute(
        *[
            dask.delayed(_block_facts)(fs, path, offset, size)
            for path in paths
            if path not in whole
            for offset in range(0, max(fs.size(path), 1), size)
        ]
    )
    parts = []
    for path in paths:
        if path in whole:
            parts.append(dask.delayed(_read_range)(fs, path, 0, None, names, True))
            continue
        starts, quotes = [0], 0
        for _, offset, count, if_even, if_odd in (fact for fact in facts if fact[0] == path):
            start = if_odd if quotes % 2 else if_even
            if offset and start is not None:  # None: no line begins in the block, which joins the one before
                starts.append(offset + start)
            quotes += count
        ends = starts[1:] + [fs.size(path)]
        parts += [
            dask.delayed(_read_range)(fs, path, start, end, names, start == 0)
            for start, end in zip(starts, ends)
            if end > start
        ]
    meta = pd.DataFrame({name: pd.Series(dtype=object) for name in names})
    return dd.from_delayed(parts, meta=meta, verify_meta=False)


def _block_facts(fs: Any, path: str, offset: int, size: int) -> Tuple[str, int, int, Optional[int], Optional[int]]:
    """The block's quotes, and the position after its first line break outside quotes, entered at even or odd parity."""
    with fs.open(path, "rb") as f:
        f.seek(offset)
        data = f.read(size)
    return path, offset, data.count(b'"'), _line_start(data, 0), _line_start(data, 1)


def _line_start(data: bytes, parity: int) -> Optional[int]:
    position = 0
    while True:
        newline = data.find(b"\n", position)
        if newline < 0:
            return None
        parity ^= data.count(b'"', position, newline) & 1
        if parity == 0:
            return newline + 1
        position = newline + 1


def _header(fs: Any, path: str) -> List[str]:
    """The column names: the file's first line, read up to its first line break outside quotes."""
    with fs.open(path, "rb", compression=infer_compression(path)) as f:
        head = b""
        while True:
            more = f.read(64 * 1024)
            head += more
            end = _line_start(head, 0)
            if end is not None or not more:
                break
    try:
        return list(pd.read_csv(io.BytesIO(head[:end]), nrows=0, dtype=str).columns)
    except pd.errors.ParserError as error:
        raise pd.errors.ParserError(f"{path}: {error}") from error


def _read_range(fs: Any, path: str, start: int, end: Optional[int], names: List[str], first: bool) -> pd.DataFrame:
    """Rows from byte start to end (None: the whole file, decompressed), the first range with the header."""
    with fs.open(path, "rb", compression=infer_compression(path) if end is None else None) as f:
        f.seek(start)
        data = f.read() if end is None else f.read(end - start)
    try:
        return pd.read_csv(
            io.BytesIO(data),
            dtype=str,
            keep_default_na=False,
            header=0 if first else None,
            names=None if first else names,
        )
    except pd.errors.ParserError as error:
        where = path if end is None else f"{path}, bytes {start} to {end}"
        raise pd.errors.ParserError(f"{where}: {error}") from error


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source", help="a CSV file or a glob of them")
    parser.add_argument("out", help="a directory for the cleaned parts")
    parser.add_argument("--column", default="gtin")
    parser.add_argument("--blocksize", default="64MB", help="bytes per partition, or none: one per file")
    parser.add_argument("--scheduler", help="address of a dask.distributed scheduler (default: threads here)")
    args = parser.parse_args()
    if args.scheduler:
        from dask.distributed import Client

        Client(args.scheduler)  # becomes the default scheduler for compute()
        scheduler = None
    else:
        scheduler = "threads"
    blocksize = None if args.blocksize.lower() == "none" else args.blocksize
    cleaned = clean(read(args.source, blocksize), args.column)
    cleaned.to_csv(f"{args.out}/part-*.csv", index=False, compute_kwargs={"scheduler": scheduler})


if __name__ == "__main__":
    main()
