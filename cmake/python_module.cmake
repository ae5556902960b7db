# tevora_python_module(NAME EXPORTS map SOURCES ...): a CPython extension of
# the package, built as every one of them is. One binary for CPython 3.8 and
# later: the 3.8 stable ABI, no libpython (the interpreter provides the
# symbols), and only its PyInit exported, by the version script EXPORTS.
# scikit-build-core packs what is installed beside python/tevora; a build in
# the tree is copied there, so that PYTHONPATH=python gives `import tevora`.
# Built with TEVORA_SANITIZE a module needs the sanitizer runtime preloaded,
# so such a build must not be copied (TEVORA_COPY_TO_PACKAGE=OFF).
function(tevora_python_module name)
  cmake_parse_arguments(PARSE_ARGV 1 module "" "EXPORTS" "SOURCES")
  add_library(${name} MODULE ${module_SOURCES})
  # CPython 3.8's headers give PyMODINIT_FUNC no visibility of its own (3.9's
  # do), so under the hidden preset a build against them exported nothing.
  target_compile_definitions(${name} PRIVATE Py_LIMITED_API=0x03080000
    [=[PyMODINIT_FUNC=extern "C" __attribute__((visibility("default"))) PyObject*]=])
  target_compile_options(${name} PRIVATE ${TEVORA_WARNINGS})
  target_link_libraries(${name} PRIVATE tevora Python3::Module)
  set(exports ${CMAKE_CURRENT_SOURCE_DIR}/${module_EXPORTS})
  target_link_options(${name} PRIVATE -Wl,--version-script=${exports} -Wl,--exclude-libs,ALL)
  set_target_properties(${name} PROPERTIES
    PREFIX "" SUFFIX ".abi3.so"
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${exports})
  if(SKBUILD)
    install(TARGETS ${name} LIBRARY DESTINATION tevora)
  endif()
  if(TEVORA_COPY_TO_PACKAGE)
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${name}> ${CMAKE_CURRENT_SOURCE_DIR}/python/tevora/)
  endif()
endfunction()
