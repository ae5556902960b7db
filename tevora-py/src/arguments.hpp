// arguments.hpp: the single argument of a module function.
//
// Every function takes one parameter, by position or by keyword; a wrong call
// raises TypeError with a fixed message that names the function.

#ifndef TEVORA_PY_ARGUMENTS_HPP_
#define TEVORA_PY_ARGUMENTS_HPP_

#include "pyref.hpp"

namespace tevora_py {

// The cell of a single-cell function (`value`). Borrowed; null with the
// exception set.
PyObject* take_value(const char* function, PyObject* args, PyObject* kwargs) noexcept;

// The column of a column function (`values`), which must be a list.
PyObject* take_values(const char* function, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace tevora_py

#endif  // TEVORA_PY_ARGUMENTS_HPP_
