# ---- The CPython extension `_files` ----------------------------------------
# The `tevora` command's file work: the report's tally and the CSV scanner
# over the core's field locator. It converts cells with the very sources
# `_tevora` uses, and Arrow columns with `_arrow`'s cell reader, compiled
# in, so that a cell reads the same here.
tevora_python_module(_files EXPORTS tevora-py/files/exports.map SOURCES
  tevora-py/arrow/cells.cpp
  tevora-py/arrow/utf8.cpp
  tevora-py/files/arrow_column.cpp
  tevora-py/files/module.cpp
  tevora-py/files/scanner.cpp
  tevora-py/files/tally.cpp
  tevora-py/src/cell_texts.cpp
  tevora-py/src/convert.cpp
  tevora-py/src/str_utf8.cpp)
target_include_directories(_files PRIVATE tevora-py/src tevora-py/arrow)
