"""Cleaning a catalogue that outgrows one process, with Dask.

Each partition goes through tevora's column functions, which release the GIL
while they work, so Dask's threaded scheduler runs partitions in parallel on
one machine; pointed at a distributed scheduler, the same graph runs on a
cluster.

    python3 examples/dask_catalogue.py examples/catalogue.csv build/catalogue-clean
    python3 examples/dask_catalogue.py 'catalogues/*.csv' out/ --scheduler tcp://scheduler:8786

The GTIN column is read as text (dtype=str, no NA parsing), so codes reach
tevora as they were written and are never turned into floats on the way.
"""

import argparse
from typing import Any, Dict

import dask.dataframe as dd
import pandas as pd


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


def read(pattern: str, blocksize: str = "64MB") -> dd.DataFrame:
    return dd.read_csv(pattern, dtype=str, keep_default_na=False, blocksize=blocksize)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source", help="a CSV file or a glob of them")
    parser.add_argument("out", help="a directory for the cleaned parts")
    parser.add_argument("--column", default="gtin")
    parser.add_argument("--scheduler", help="address of a dask.distributed scheduler (default: threads here)")
    args = parser.parse_args()
    if args.scheduler:
        from dask.distributed import Client

        Client(args.scheduler)  # becomes the default scheduler for compute()
        scheduler = None
    else:
        scheduler = "threads"
    cleaned = clean(read(args.source), args.column)
    cleaned.to_csv(f"{args.out}/part-*.csv", index=False, compute_kwargs={"scheduler": scheduler})


if __name__ == "__main__":
    main()
