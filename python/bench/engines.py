"""tevora in DuckDB, Spark and Dask against a row-at-a-time Python UDF in the same engine.

    python3 python/bench/engines.py [--rows N] [--repeats R] [--only duckdb,spark,dask]

One column of N cells (default 2,000,000; the mix of python/bench/compare.py,
each cell as the text the list functions read), held by each engine in its
own memory first. For each engine, the same store-form rule three ways, in
the same process on the same data: tevora's vectorised integration; a plain
Python UDF holding the rule as a user writes it without tevora (python/bench/
compare.py's `python_store_form`: regular expressions and zfill); and a
Python UDF that calls `tevora.store_form` once per row. Printed are rows per
second and the throughput of the integration over that of each UDF, the
median of R runs. An engine that is not installed is skipped.
"""

import argparse
import os
import pathlib
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
PACKAGE_ROOT = str(HERE.parents[1] / "python")
sys.path.insert(0, PACKAGE_ROOT)
sys.path.insert(0, str(HERE))

import pyarrow as pa  # noqa: E402

import tevora  # noqa: E402
from arrow_compare import texts  # noqa: E402
from compare import python_store_form  # noqa: E402
from timing import median_seconds  # noqa: E402


def report(engine, rows, pairs):
    """pairs: (label, seconds of tevora, of the plain Python UDF, of the UDF calling tevora.store_form)."""
    for label, ours, plain, udf in pairs:
        print(f"| {engine} | {label} | {rows / ours / 1e6:.2f} | {plain / ours:.1f}x | {udf / ours:.1f}x |", flush=True)


def duckdb_bench(cells, repeats):
    import duckdb

    import tevora.duckdb

    con = duckdb.connect()
    tevora.duckdb.register(con)
    con.register("cells_arrow", pa.table({"g": pa.array(cells, pa.string())}))
    con.execute("CREATE TABLE cells AS SELECT * FROM cells_arrow")
    con.unregister("cells_arrow")
    con.create_function("python_store_form", tevora.store_form, ["VARCHAR"], "VARCHAR", null_handling="special")
    con.create_function("plain_store_form", python_store_form, ["VARCHAR"], "VARCHAR", null_handling="special")
    ours = "SELECT max(gtin_store_form(g)) FROM cells"
    udf = "SELECT max(python_store_form(g)) FROM cells"
    plain = "SELECT max(plain_store_form(g)) FROM cells"
    # DuckDB's own cost of an Arrow UDF, converting each vector to Arrow and back: no ratio can pass the floor's.
    con.create_function("arrow_identity", lambda column: column, ["VARCHAR"], "VARCHAR", type="arrow")
    floor = "SELECT max(arrow_identity(g)) FROM cells"
    assert con.sql(ours).fetchall() == con.sql(udf).fetchall()

    pairs = []
    threads = con.sql("SELECT current_setting('threads')").fetchall()[0][0]
    for setting in sorted({threads, 1}, reverse=True):
        con.execute(f"SET threads = {setting}")
        pairs.append(
            (
                f"gtin_store_form(g), {setting} thread{'s' if setting > 1 else ''}",
                median_seconds(lambda: con.sql(ours).fetchall(), repeats),
                median_seconds(lambda: con.sql(plain).fetchall(), repeats),
                median_seconds(lambda: con.sql(udf).fetchall(), repeats),
            )
        )
        pairs.append(
            (
                f"(floor) an Arrow UDF that returns its input, {setting} thread{'s' if setting > 1 else ''}",
                median_seconds(lambda: con.sql(floor).fetchall(), repeats),
                *pairs[-1][2:],
            )
        )
    return pairs


def spark_bench(cells, repeats):
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    from pyspark.sql import SparkSession
    from pyspark.sql import functions as F
    from pyspark.sql.types import StringType

    import tevora.spark

    spark = (
        SparkSession.builder.master("local[2]")
        .config("spark.ui.enabled", "false")
        .config("spark.driver.memory", "4g")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.sql.execution.arrow.maxRecordsPerBatch", "1000000")
        .getOrCreate()
    )
    spark.sparkContext.setLogLevel("ERROR")
    try:
        with tempfile.TemporaryDirectory() as tmp:
            import pyarrow.parquet as pq

            pq.write_table(pa.table({"g": pa.array(cells, pa.string())}), f"{tmp}/cells.parquet")
            df = spark.read.parquet(f"{tmp}/cells.parquet").repartition(2).cache()
            df.count()
            tevora_udf = F.udf(tevora.store_form, StringType(), useArrow=False)
            plain_udf = F.udf(python_store_form, StringType(), useArrow=False)

            def ours():
                tevora.spark.with_store_form(df, "g").write.format("noop").mode("overwrite").save()

            def udf():
                df.select(tevora_udf("g").alias("g")).write.format("noop").mode("overwrite").save()

            def plain():
                df.select(plain_udf("g").alias("g")).write.format("noop").mode("overwrite").save()

            def floor():
                df.mapInArrow(lambda batches: batches, df.schema).write.format("noop").mode("overwrite").save()

            ours(), udf(), floor()  # the executors' Python workers started
            udfs = median_seconds(plain, repeats), median_seconds(udf, repeats)
            return [
                ("with_store_form(df, 'g'), local[2]", median_seconds(ours, repeats), *udfs),
                ("(floor) mapInArrow that returns its batches", median_seconds(floor, repeats), *udfs),
            ]
    finally:
        spark.stop()


def dask_bench(cells, repeats):
    import dask.dataframe as dd
    import pandas as pd
    from dask.distributed import Client, LocalCluster

    # `run` makes each run's tasks new to the scheduler, which would otherwise hand back the last run's results.
    def accessor(frame, run):
        import tevora.pandas  # noqa: F401

        return frame.assign(g=frame["g"].gtin.store_form())

    def per_row(frame, run):
        return frame.assign(g=frame["g"].map(tevora.store_form))

    def plain(frame, run):
        return frame.assign(g=frame["g"].map(python_store_form))

    frame = dd.from_pandas(pd.DataFrame({"g": pd.Series(cells, dtype=object)}), npartitions=8)
    meta = {"g": object}
    runs = iter(range(10**6))
    with LocalCluster(processes=True, n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            frame = client.persist(frame)

            def run(function):
                def once():
                    cleaned = frame.map_partitions(function, next(runs), meta=meta)
                    return client.compute(cleaned.g.str.len().sum()).result()

                return once

            run(accessor)(), run(per_row)()  # the workers warmed up
            return [
                (
                    "map_partitions, LocalCluster 2 processes",
                    median_seconds(run(accessor), repeats),
                    median_seconds(run(plain), repeats),
                    median_seconds(run(per_row), repeats),
                )
            ]


ENGINES = {"duckdb": duckdb_bench, "spark": spark_bench, "dask": dask_bench}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=2_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--only", default=",".join(ENGINES))
    args = parser.parse_args()
    cells = texts(args.rows)
    # Worker processes (Spark's, Dask's) import tevora and the plain rule from where this process does.
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, str(HERE), os.environ.get("PYTHONPATH")]))
    print(f"{args.rows:,} rows, Python {sys.version.split()[0]}, {os.cpu_count()} cores; median of {args.repeats} runs")
    print("tevora's integration: millions of rows per second, and its throughput over that of a plain Python UDF")
    print("holding the rule (regular expressions, zfill) and of a Python UDF calling tevora.store_form per row\n")
    print("| engine | tevora | M rows/s | x plain Python UDF | x UDF calling tevora.store_form |")
    print("|---|---|---:|---:|---:|")
    for name in args.only.split(","):
        try:
            pairs = ENGINES[name](cells, args.repeats)
        except ImportError as error:
            print(f"| {name} | skipped: {error} | | | |")
            continue
        report(name, args.rows, pairs)


if __name__ == "__main__":
    main()
