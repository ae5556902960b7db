# ---- The CPython extension `_arrow` ----------------------------------------
# tevora over Arrow columns, a module of its own so that `_tevora` keeps its
# surface. It reads Arrow memory through the C data interface, which it
# declares itself, so it depends on nothing but the interpreter.
tevora_python_module(_arrow EXPORTS tevora-py/arrow/exports.map SOURCES
  tevora-py/arrow/builders.cpp
  tevora-py/arrow/cells.cpp
  tevora-py/arrow/columns.cpp
  tevora-py/arrow/memory.cpp
  tevora-py/arrow/module.cpp
  tevora-py/arrow/node.cpp
  tevora-py/arrow/parse_table.cpp
  tevora-py/arrow/result.cpp
  tevora-py/arrow/rows.cpp
  tevora-py/arrow/utf8.cpp)
target_include_directories(_arrow PRIVATE tevora-py/src)
