"""Parquet and Arrow IPC (Feather v2) files for the command, through pyarrow.

Batches of `BATCH_ROWS` rows stream through the Arrow column functions
(`tevora.arrow`), so memory stays flat whatever the file's length; `check`
reads the GTIN column alone. `clean` writes the same format with the same
schema and schema metadata: every other column is the input's own arrays,
passed through; the GTIN column gets its store forms, its nulls kept null.

A GTIN column of numbers is refused by `clean`: a store form is text with
leading zeros, which an integer column cannot hold, and writing a text
column in its place would change the schema under whoever reads the file.
"""

from __future__ import annotations

from typing import Any, BinaryIO, Callable, Iterator, List, Optional, Tuple

from ._tables import CleanOptions, CleanResult, InputError, input_format, shown_path, unreadable

__all__ = ["open_table", "ArrowFileTable", "BATCH_ROWS"]

BATCH_ROWS = 1 << 16
NAMES = {"parquet": "Parquet", "arrow": "Arrow"}


def _pyarrow(path: str) -> Any:
    try:
        import pyarrow
        import pyarrow.compute  # noqa: F401
        import pyarrow.ipc  # noqa: F401
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        raise InputError(
            f"{path}: Parquet and Arrow files need pyarrow, which is not installed (pip install 'tevora[arrow]')"
        ) from None
    return pyarrow


def open_table(path: str, encoding: Optional[str] = None, **_: Any) -> "ArrowFileTable":
    """The table in the Parquet or Arrow file at `path` (by its suffix); `encoding` is for text files."""
    if path == "-":
        raise InputError("stdin: Parquet and Arrow files are read from a file, not from stdin")
    return ArrowFileTable(path, input_format(path))


class ArrowFileTable:
    """A Parquet file, or an Arrow IPC file or stream (.arrow, .feather, .ipc)."""

    unit = "rows"

    def __init__(self, path: str, kind: str) -> None:
        self.path = shown_path(path)
        self.kind = kind
        self.output_formats = (kind,)
        pa = self._pa = _pyarrow(self.path)
        self._source = path
        self._done = 0
        self._file: Any = None
        try:
            if kind == "parquet":
                self._file = pa.parquet.ParquetFile(path)
                self.schema = self._file.schema_arrow
                self.total = self._file.metadata.num_rows
            else:
                self._stream = False
                try:
                    self._file = pa.ipc.open_file(pa.memory_map(path))
                    self.total = sum(self._file.get_batch(i).num_rows for i in range(self._file.num_record_batches))
                except pa.ArrowInvalid:
                    self._stream = True  # the stream format: no footer, read in order
                    self.total = 0
                    self.schema = pa.ipc.open_stream(pa.memory_map(path)).schema
                else:
                    self.schema = self._file.schema
        except (FileNotFoundError, IsADirectoryError) as error:
            raise unreadable(self.path, error) from None
        except (pa.ArrowException, OSError, ValueError) as error:
            raise InputError(f"{self.path}: not a readable {NAMES[kind]} file ({_first_line(error)})") from None
        self.header: List[str] = list(self.schema.names)
        if not self.header:
            raise InputError(f"{self.path}: the file has no columns")

    # ---- The protocol ------------------------------------------------------------

    def done(self) -> int:
        return self._done

    def sample(self, rows: int) -> List[List[Any]]:
        found: List[List[Any]] = []
        for _, batch in self._batches(None, rows):
            columns = [_cells(batch.column(i)) for i in range(batch.num_columns)]
            found.extend([list(row) for row in zip(*columns)])
            if len(found) >= rows:
                break
        self._done = 0
        return found[:rows]

    def check(self, index: int, report: Any, progress: Callable[[], None]) -> None:
        column_type = self.schema.field(index).type
        for first, batch in self._batches(index):
            column = batch.column(0)
            try:
                if hasattr(report, "add_arrow") and _takes(self._pa, column_type):
                    report.add_arrow(first, column)
                else:
                    cells = _cells(column)
                    report.add(first, cells if hasattr(report, "tally") else _parsed(cells))
            except TypeError as error:
                raise InputError(f'{self.path}: column "{self.header[index]}": {error}') from None
            progress()

    def clean(self, index: int, out: BinaryIO, options: CleanOptions, progress: Callable[[], None]) -> CleanResult:
        pa = self._pa
        if options.output_format != self.kind:
            raise InputError(
                f"{self.path}: a {NAMES[self.kind]} file is written as {NAMES[self.kind]}, not as {options.output_format}"
            )
        field = self.schema.field(index)
        text = _is_text(pa, field.type)
        if not text and not pa.types.is_null(field.type):
            raise InputError(
                f'{self.path}: column "{field.name}" holds {field.type} values, and store forms are text with '
                "leading zeros; cast the column to string first (in pyarrow: column.cast(pyarrow.string())), "
                "or use `tevora check`, which reads numbers"
            )
        added = [pa.field(name, pa.string()) for name in options.added]
        schema = self.schema
        for new in added:
            schema = schema.append(new)
        schema = schema.with_metadata(self.schema.metadata)
        result = CleanResult()
        writer: Any = None
        try:
            if self.kind == "parquet":
                writer = pa.parquet.ParquetWriter(out, schema, compression=self._compression())
            elif self._stream:
                writer = pa.ipc.new_stream(out, schema)
            else:
                writer = pa.ipc.new_file(out, schema)
            for _, batch in self._batches(None):
                columns = list(batch.columns)
                gtin = columns[index]
                if text:
                    columns[index], extra = self._clean_column(gtin, field.type, options, result)
                else:
                    extra = [pa.nulls(len(gtin), pa.string()) for _ in added]
                    result.rows += len(gtin)
                    result.kept += len(gtin)
                writer.write_batch(pa.RecordBatch.from_arrays(columns + extra, schema=schema))
                progress()
            writer.close()
            writer = None
        except (pa.ArrowException, ValueError) as error:
            raise InputError(f"{self.path}: cannot write: {_first_line(error)}") from None
        finally:
            if writer is not None:
                try:
                    writer.close()
                except Exception:  # the first failure is the one to report
                    pass
        return result

    def close(self) -> None:
        file = self._file
        self._file = None
        if file is not None and hasattr(file, "close"):
            file.close()

    # ---- Work ------------------------------------------------------------------------

    def _clean_column(
        self, column: Any, kind: Any, options: CleanOptions, result: CleanResult
    ) -> Tuple[Any, List[Any]]:
        """The column's store forms in its own type, and the added columns."""
        import tevora.arrow

        pa = self._pa
        pc = pa.compute
        # A dictionary's values are cleaned once each, its indices kept: the dictionary
        # stays one per file, as the IPC file format wants, and as small as it was.
        values = column.dictionary if pa.types.is_dictionary(kind) else column
        try:
            stores = tevora.arrow.store_form(values)
            keys = tevora.arrow.key_strings(values)
            parsed = tevora.arrow.parse(values) if options.explain else None
        except (TypeError, ValueError) as error:
            raise InputError(f"{self.path}: {_first_line(error)}") from None
        plain = values.cast(stores.type) if values.type != stores.type else values
        # A null stays null: the store form of an empty cell is the empty text.
        stores = pc.if_else(pc.is_valid(plain), stores, pa.scalar(None, stores.type))
        changes = pc.and_(pc.is_valid(keys), pc.not_equal(stores, plain))
        if pa.types.is_dictionary(kind):
            written = pa.DictionaryArray.from_arrays(column.indices, stores.cast(kind.value_type))
            keys, changes = keys.take(column.indices), changes.take(column.indices)
            if parsed is not None:
                parsed = parsed.take(column.indices)
        else:
            written = stores if stores.type == kind else stores.cast(kind)
        gtins = len(keys) - keys.null_count
        result.rows += len(column)
        result.gtins += gtins
        result.changed += pc.sum(changes).as_py() or 0
        result.kept += len(column) - gtins
        extra: List[Any] = []
        if options.key_column is not None:
            extra.append(keys.cast(pa.string()))
        if parsed is not None:
            for name in ("reason", "message"):
                extra.append(parsed.field(name).cast(pa.string()))
        return written, extra

    def _batches(self, index: Optional[int], limit: int = 0) -> Iterator[Tuple[int, Any]]:
        """(first row, batch) over the file, of the one column `index` or of all; the header is row 1."""
        pa = self._pa
        row = 0
        self._done = 0
        try:
            for batch in self._read(index):
                for start in range(0, batch.num_rows, BATCH_ROWS):
                    piece = batch.slice(start, BATCH_ROWS)
                    yield row + 2, piece
                    row += piece.num_rows
                    self._done = row
                    if limit and row >= limit:
                        return
        except MemoryError:
            raise InputError(f"{self.path}: out of memory at row {row + 2:,}") from None
        except (pa.ArrowException, OSError) as error:
            raise InputError(f"{self.path}: row {row + 2:,}: not readable ({_first_line(error)})") from None

    def _read(self, index: Optional[int]) -> Iterator[Any]:
        pa = self._pa
        names = self.schema.names
        if self.kind == "parquet":
            unique = index is not None and names.count(names[index]) == 1
            columns = [names[index]] if unique and index is not None else None
            for batch in self._file.iter_batches(batch_size=BATCH_ROWS, columns=columns, use_threads=False):
                yield batch if columns is not None or index is None else batch.select([index])
        elif self._stream:
            with pa.ipc.open_stream(pa.memory_map(self._source)) as reader:
                for batch in reader:
                    yield batch if index is None else batch.select([index])
        else:
            for i in range(self._file.num_record_batches):
                batch = self._file.get_batch(i)
                yield batch if index is None else batch.select([index])

    def _compression(self) -> Any:
        """The input's compression, taken from its first column chunk (Snappy for an empty file)."""
        metadata = self._file.metadata
        if metadata.num_row_groups and metadata.num_columns:
            name = str(metadata.row_group(0).column(0).compression).lower()
            return "none" if name == "uncompressed" else name
        return "snappy"


def _is_text(pa: Any, kind: Any) -> bool:
    if pa.types.is_dictionary(kind):
        kind = kind.value_type
    return bool(pa.types.is_string(kind) or pa.types.is_large_string(kind) or str(kind) == "string_view")


def _takes(pa: Any, kind: Any) -> bool:
    """Whether the Arrow column functions read this type as it is."""
    if pa.types.is_dictionary(kind):
        kind = kind.value_type
    return bool(
        _is_text(pa, kind) or pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_boolean(kind)
    )


def _cells(column: Any) -> List[Any]:
    """Cells as the list functions take them: dates, decimals and the like as text, bytes decoded."""
    cells = column.to_pylist()
    return [
        c
        if c is None or isinstance(c, (str, int, float))
        else c.decode("utf-8", "replace")
        if isinstance(c, bytes)
        else str(c)
        for c in cells
    ]


def _parsed(cells: List[Any]) -> Any:
    from . import parse_many

    return parse_many(cells)


def _first_line(error: BaseException) -> str:
    text = str(error).strip() or type(error).__name__
    return text.splitlines()[0]
