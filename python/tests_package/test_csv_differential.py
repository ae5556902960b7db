"""`clean` against the file it was given, over generated dialects and contents:
every byte outside the GTIN cells' contents is the input's, and each of those
contents is `tevora.store_form` of the cell where `tevora.key` reads one."""

import codecs
import io

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tevora
from tevora import _csv
from tevora._tables import CleanOptions

GTIN_CELLS = [
    "4006381333931",
    "4006381333932",
    " 4006-3813-33931 ",
    "4006381333931.0",
    "4.00638E+12",
    "12345670",
    "036000291452",
    "n/a",
    "",
    "4011",
    "00000001000000",
    "1234567890123456",
    "4006\u00a0381333931",
    "caf\u00e9",
]
TEXT = st.text(alphabet=st.sampled_from('ab ,;|\t"\r\n\u00e9-1'), max_size=6)
TERMINATORS = st.sampled_from(["\n", "\r\n", "\r"])


@st.composite
def files(draw):
    delimiter = draw(st.sampled_from(",;\t|"))
    quote_all = draw(st.booleans())
    mixed = draw(st.booleans())
    first_terminator = draw(TERMINATORS)
    columns = draw(st.integers(2, 4))
    gtin = draw(st.integers(0, columns - 1))
    header = [f"c{i}" if i != gtin else "gtin" for i in range(columns)]
    pieces = []  # (text, the cell's store form or None): only GTIN cells carry one

    def field(text, is_gtin):
        special = any(c in text for c in (delimiter, '"', "\r", "\n"))
        quoted = quote_all or special or draw(st.booleans()) and draw(st.booleans())
        if quoted:
            pieces.append(('"', None))
            pieces.append((text.replace('"', '""'), text if is_gtin else None))
            pieces.append(('"', None))
        else:
            pieces.append((text, text if is_gtin else None))

    def row(cells):
        for i, text in enumerate(cells):
            if i:
                pieces.append((delimiter, None))
            field(text, i == gtin)

    def end():
        pieces.append((draw(TERMINATORS) if mixed else first_terminator, None))

    row(header)
    end()
    rows = draw(st.integers(0, 8))
    for n in range(rows):
        kind = draw(st.sampled_from(["row", "row", "row", "blank", "short", "ragged"]))
        if kind == "blank":
            pieces.append(("", None))
        else:
            width = {"row": columns, "short": draw(st.integers(1, columns)), "ragged": columns + 2}[kind]
            row([draw(st.sampled_from(GTIN_CELLS)) if i == gtin else draw(TEXT) for i in range(width)])
        if n < rows - 1 or draw(st.booleans()):
            end()
    return draw(st.booleans()), pieces


def expected_output(pieces):
    out = []
    for text, cell in pieces:
        if cell is not None and tevora.key(cell) is not None:
            out.append(tevora.store_form(cell))
        else:
            out.append(text)
    return "".join(out)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(files(), st.sampled_from(["utf-8", "utf-16-le"]), st.sampled_from([1, 2, 3, 7, 1 << 20]))
def test_clean_rewrites_nothing_but_the_gtin_cells(tmp_path, monkeypatch, generated, encoding, chunk):
    monkeypatch.setattr(_csv, "CHUNK", chunk)  # the file read in pieces cut anywhere
    bom, pieces = generated
    text = "".join(piece for piece, _ in pieces)
    mark = {"utf-8": codecs.BOM_UTF8, "utf-16-le": codecs.BOM_UTF16_LE}[encoding] if bom else b""
    path = tmp_path / "in.csv"
    path.write_bytes(mark + text.encode(encoding))
    table = _csv.open_table(str(path), None if bom or encoding == "utf-8" else encoding)
    try:
        out = io.BytesIO()
        options = CleanOptions(key_column=None, explain=False, added=[], trust_numbers=False, output_format="csv")
        table.clean(table.header.index("gtin"), out, options, lambda: None)
    finally:
        table.close()
    assert out.getvalue() == mark + expected_output(pieces).encode(encoding)
