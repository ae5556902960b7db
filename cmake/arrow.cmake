# ---- The CPython extension `_arrow` ----------------------------------------
# tevora over Arrow columns, a module of its own so that `_tevora` keeps its
# surface. Built like `_tevora`: the 3.8 stable ABI, no libpython, only its
# PyInit exported. It reads Arrow memory through the C data interface, which
# it declares itself, so it depends on nothing but the interpreter.
add_library(_arrow MODULE
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
target_compile_definitions(_arrow PRIVATE Py_LIMITED_API=0x03080000
  [=[PyMODINIT_FUNC=extern "C" __attribute__((visibility("default"))) PyObject*]=])
target_compile_options(_arrow PRIVATE ${TEVORA_WARNINGS})
target_link_libraries(_arrow PRIVATE tevora Python3::Module)
target_link_options(_arrow PRIVATE
  -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/tevora-py/arrow/exports.map
  -Wl,--exclude-libs,ALL)
set_target_properties(_arrow PROPERTIES
  PREFIX "" SUFFIX ".abi3.so"
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
  LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tevora-py/arrow/exports.map)
if(SKBUILD)
  install(TARGETS _arrow LIBRARY DESTINATION tevora)
endif()
if(TEVORA_COPY_TO_PACKAGE)
  add_custom_command(TARGET _arrow POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:_arrow> ${CMAKE_CURRENT_SOURCE_DIR}/python/tevora/)
endif()
