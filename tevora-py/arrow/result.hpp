// result.hpp: the Python object that hands a result to Arrow consumers.
//
// It holds the chunks of one Arrow type and exports them through the Arrow
// PyCapsule interface: `__arrow_c_schema__`, `__arrow_c_array__` (a result
// of one chunk) and `__arrow_c_stream__`. Each export shares the buffers.

#ifndef TEVORA_ARROW_RESULT_HPP_
#define TEVORA_ARROW_RESULT_HPP_

#include <vector>

#include "node.hpp"
#include "pyref.hpp"

namespace tevora_arrow {

// Creates the class; null with the exception set on failure.
PyObject* make_result_class() noexcept;

// A new result of `result_class`.
PyObject* new_result(PyObject* result_class, NodePtr schema, std::vector<NodePtr> chunks) noexcept;

}  // namespace tevora_arrow

#endif  // TEVORA_ARROW_RESULT_HPP_
