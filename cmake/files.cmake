# ---- The CPython extension `_files` ----------------------------------------
# The `tevora` command's file work: the report's tally and the CSV scanner
# over the core's field locator. Built like `_tevora`: the 3.8 stable ABI, no
# libpython, only its PyInit exported. It converts cells with the very
# sources `_tevora` uses, and Arrow columns with `_arrow`'s cell reader,
# compiled in, so that a cell reads the same here.
add_library(_files MODULE
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
target_compile_definitions(_files PRIVATE Py_LIMITED_API=0x03080000
  [=[PyMODINIT_FUNC=extern "C" __attribute__((visibility("default"))) PyObject*]=])
target_compile_options(_files PRIVATE ${TEVORA_WARNINGS})
target_link_libraries(_files PRIVATE tevora Python3::Module)
target_link_options(_files PRIVATE
  -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/tevora-py/files/exports.map
  -Wl,--exclude-libs,ALL)
set_target_properties(_files PROPERTIES
  PREFIX "" SUFFIX ".abi3.so"
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
  LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tevora-py/files/exports.map)
if(SKBUILD)
  install(TARGETS _files LIBRARY DESTINATION tevora)
endif()
if(TEVORA_COPY_TO_PACKAGE)
  add_custom_command(TARGET _files POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:_files> ${CMAKE_CURRENT_SOURCE_DIR}/python/tevora/)
endif()
