"""The Dask recipe (examples/dask_catalogue.py) on worker processes, and on files whose cells hold line breaks."""

import importlib.util
import os
import sys

import pandas as pd
import pytest

import tevora
from conftest import INSTALLED, REPO

dask = pytest.importorskip("dask")
pytest.importorskip("dask.dataframe")

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


def straddling_catalogue(path, rows=3000):
    """A catalogue whose descriptions, every other row, hold a quoted line break: blocks end inside quotes."""
    lines = ["sku,description,gtin"]
    for i in range(rows):
        description = f'"{"a long first line " * 10}\nthen a ""quoted"" one"' if i % 2 else "plain"
        lines.append(f"S{i},{description},{4006381333931 + i}")
    path.write_text("\n".join(lines) + "\n")
    return path


def test_a_line_break_inside_quotes_at_a_block_boundary_says_to_read_files_whole(recipe, tmp_path):
    path = straddling_catalogue(tmp_path / "straddle.csv")
    with dask.config.set({"dataframe.convert-string": False}):
        with pytest.raises(pd.errors.ParserError, match=r"blocksize=None \(one partition per file\)"):
            recipe.clean(recipe.read(str(path), blocksize="10KB")).compute(scheduler="threads")
        whole = recipe.clean(recipe.read(str(path), blocksize=None)).compute(scheduler="threads")
    frame = pd.read_csv(path, dtype=str, keep_default_na=False)
    assert len(whole) == 3000 and whole["description"][1].endswith('\nthen a "quoted" one')
    pd.testing.assert_frame_equal(whole.reset_index(drop=True), recipe.clean_partition(frame, "gtin"))
