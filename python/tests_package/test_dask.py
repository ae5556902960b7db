"""The Dask recipe (examples/dask_catalogue.py) on worker processes, and on files whose cells hold line breaks."""

import gzip
import importlib.util
import os
import sys

import pandas as pd
import pytest

import tevora
from conftest import INSTALLED, REPO

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")

CATALOGUE = REPO / "examples" / "catalogue.csv"


@pytest.fixture(scope="module")
def recipe():
    spec = importlib.util.spec_from_file_location("dask_catalogue", REPO / "examples" / "dask_catalogue.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def cluster_client():
    """Two worker processes of one thread each, which find tevora as this process does."""
    distributed = pytest.importorskip("dask.distributed")
    with pytest.MonkeyPatch.context() as patch:
        if not INSTALLED:  # the build tree, as conftest puts it on this process's path
            paths = [str(REPO / "python"), *filter(None, [os.environ.get("PYTHONPATH")])]
            patch.setenv("PYTHONPATH", os.pathsep.join(paths))
        with distributed.LocalCluster(
            processes=True, n_workers=2, threads_per_worker=1, dashboard_address=None
        ) as cluster, distributed.Client(cluster, set_as_default=False) as client:
            yield client


def single_process(recipe, blocksize="64KB"):
    with dask.config.set({"dataframe.convert-string": False}):
        return recipe.clean(recipe.read(str(CATALOGUE), blocksize=blocksize), "gtin")


def test_the_recipe_on_worker_processes_equals_one_process(recipe, cluster_client):
    cleaned = single_process(recipe)
    assert cleaned.npartitions > 1
    on_workers = cluster_client.compute(cleaned).result().reset_index(drop=True)
    here = cleaned.compute(scheduler="sync").reset_index(drop=True)
    pd.testing.assert_frame_equal(on_workers, here)
    frame = pd.read_csv(CATALOGUE, dtype=str, keep_default_na=False)
    pd.testing.assert_frame_equal(on_workers, recipe.clean_partition(frame, "gtin"))
    assert on_workers["gtin"].tolist() == tevora.store_form_many(frame["gtin"].tolist())

    def where_tevora_came_from():
        import os
        import sys

        module = sys.modules.get("tevora.pandas")
        return os.getpid(), module and module.__file__

    seen = cluster_client.run(where_tevora_came_from)
    assert len(seen) == 2
    for pid, path in seen.values():
        # Each worker imported the package under test itself, in a process of its own.
        assert pid != os.getpid() and path == sys.modules["tevora.pandas"].__file__


def straddling_catalogue(path, rows=3000, newline="\n"):
    """A catalogue whose descriptions, every other row, hold a quoted line break: blocks end inside quotes."""
    lines = ['sku,"description, ""long""",gtin']
    for i in range(rows):
        description = f'"{"a long first line " * 10}{newline}then a ""quoted"" one"' if i % 2 else "plain"
        lines.append(f"S{i},{description},{4006381333931 + i}")
    path.write_bytes((newline.join(lines) + newline).encode())
    return path


@pytest.mark.parametrize("blocksize, newline", [("10KB", "\n"), ("1KB", "\n"), ("7KB", "\r\n"), ("1MB", "\n")])
def test_blocks_are_cut_only_at_line_breaks_outside_quotes(recipe, tmp_path, blocksize, newline):
    path = straddling_catalogue(tmp_path / "straddle.csv", newline=newline)
    frame = pd.read_csv(path, dtype=str, keep_default_na=False)
    assert frame['description, "long"'][1].endswith(f'{newline}then a "quoted" one')
    with dask.config.set({"dataframe.convert-string": False}):
        plain = dd.read_csv(str(path), dtype=str, keep_default_na=False, blocksize=blocksize)
        if plain.npartitions > 1:  # what the recipe mends: Dask's own cut falls inside quotes
            with pytest.raises(pd.errors.ParserError, match="EOF inside string"):
                plain.compute(scheduler="sync")
        catalogue = recipe.read(str(path), blocksize=blocksize)
        assert catalogue.npartitions > 10 or blocksize == "1MB"
        cleaned = recipe.clean(catalogue).compute(scheduler="threads").reset_index(drop=True)
    pd.testing.assert_frame_equal(cleaned, recipe.clean_partition(frame, "gtin"))


def test_several_files_compressed_ones_and_files_read_whole(recipe, tmp_path):
    for name in ("a", "b"):
        straddling_catalogue(tmp_path / f"{name}.csv", rows=500)
    (tmp_path / "c.csv").write_text('sku,"description, ""long""",gtin\nX,"no line break at the end",12345670')
    frame = pd.concat(
        [pd.read_csv(tmp_path / f"{name}.csv", dtype=str, keep_default_na=False) for name in "abc"], ignore_index=True
    )
    with gzip.open(tmp_path / "d.csv.gz", "wt") as f:
        f.write((tmp_path / "c.csv").read_text())
    frame = pd.concat([frame, frame.tail(1)], ignore_index=True)  # d: c again, compressed
    with dask.config.set({"dataframe.convert-string": False}):
        for blocksize in ("5KB", None):
            cleaned = recipe.clean(recipe.read(str(tmp_path / "*.csv*"), blocksize=blocksize)).compute(scheduler="sync")
            pd.testing.assert_frame_equal(cleaned.reset_index(drop=True), recipe.clean_partition(frame, "gtin"))
