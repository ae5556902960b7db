// arguments.hpp: the single argument of a module function.
//
// Every function takes one parameter, by position or by keyword, and a wrong
// call reads as it would for a function written in Python.

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
