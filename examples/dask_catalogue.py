"""Cleaning a catalogue that outgrows one process, with Dask.

Each partition goes through tevora's column functions, which release the GIL
while they work, so Dask's threaded scheduler runs partitions in parallel on
one machine; pointed at a distributed scheduler, the same graph runs on a
cluster.

    python3 examples/dask_catalogue.py examples/catalogue.csv build/catalogue-clean
    python3 examples/dask_catalogue.py 'catalogues/*.csv' out/ --scheduler tcp://scheduler:8786

The GTIN column is read as text (dtype=str, no NA parsing), so codes reach
tevora as they were written and are never turned into floats on the way.

Dask cuts each file into blocks at line breaks without reading its quoting,
so a quoted cell that holds a line break must not fall where a block ends:
such a file fails with a ParserError that says to read it with
`--blocksize none` (`read(..., blocksize=None)`, one partition per file).
"""

import argparse
from typing import Any, Dict, Optional

try:
    import dask.dataframe as dd
    import pandas as pd
    from dask.dataframe.io.csv import make_reader
except ImportError as error:
    raise ImportError(f"this recipe needs Dask ({error}): pip install tevora[dask]") from error

BLOCKS_HINT = (
    "; if the file's quoting is sound, a quoted cell holds a line break where the file was cut into blocks:"
    " read it with blocksize=None (one partition per file)"
)


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
    """The files as text; blocksize=None reads each file whole, for cells that hold line breaks."""
    reader = dd.read_csv if blocksize is None else _read_csv_in_blocks
    return reader(pattern, dtype=str, keep_default_na=False, blocksize=blocksize)


def _read_block(*args: Any, **kwargs: Any) -> pd.DataFrame:
    """pandas.read_csv on one block, its error saying what to do when a block ends inside quotes."""
    try:
        return pd.read_csv(*args, **kwargs)
    except pd.errors.ParserError as error:
        raise pd.errors.ParserError(f"{error}{BLOCKS_HINT}") from error


_read_block.__name__ = "read_csv"
_read_csv_in_blocks = make_reader(_read_block, "read_csv", "CSV")


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
