// Taking the one argument of a module function, and the TypeError of a
// wrong call.

#include "arguments.hpp"

namespace tevora_py {
namespace {

PyObject* take_argument(const char* function, const char* parameter, PyObject* args,
                        PyObject* kwargs) noexcept {
  const Py_ssize_t given = PyTuple_Size(args);
  PyObject* slot = given >= 1 ? PyTuple_GetItem(args, 0) : nullptr;
  if (given > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd were given", function,
                 given);
    return nullptr;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, parameter) == 0) {
        if (slot != nullptr) {
          PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                       parameter);
          return nullptr;
        }
        slot = value;
      } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function,
                     name);
        return nullptr;
      }
    }
  }
  if (slot == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", function,
                 parameter);
  }
  return slot;
}

}  // namespace

PyObject* take_value(const char* function, PyObject* args, PyObject* kwargs) noexcept {
  return take_argument(function, "value", args, kwargs);
}

PyObject* take_values(const char* function, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* values = take_argument(function, "values", args, kwargs);
  if (values != nullptr && !PyList_Check(values)) {
    const Ref name(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(values)), "__qualname__"));
    if (name) {
      PyErr_Format(PyExc_TypeError,
                   "argument 'values': '%U' object cannot be converted to 'PyList'", name.get());
    }
    return nullptr;
  }
  return values;
}

}  // namespace tevora_py
