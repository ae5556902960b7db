// What the three classes share: type creation, refusing construction, and
// the hash, equality and repr of the fourteen-character value classes.

#include "classes.hpp"

#include <cstdint>
#include <limits>

namespace tevora_py {

PyTypeObject* ClassCell::type() noexcept {
  if (type_ != nullptr) return type_;
  PyObject* created = PyType_FromSpec(spec_);
  if (created == nullptr) {
    // RuntimeError, caused by whatever the interpreter raised.
    PyObject* type = nullptr;
    PyObject* cause = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &cause, &traceback);
    PyErr_NormalizeException(&type, &cause, &traceback);
    if (traceback != nullptr && cause != nullptr) PyException_SetTraceback(cause, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name_);
    PyObject* error_type = nullptr;
    PyObject* error = nullptr;
    PyObject* error_traceback = nullptr;
    PyErr_Fetch(&error_type, &error, &error_traceback);
    PyErr_NormalizeException(&error_type, &error, &error_traceback);
    if (error != nullptr && cause != nullptr) {
      Py_INCREF(cause);
      PyException_SetContext(error, cause);
      PyException_SetCause(error, cause);
    } else {
      Py_XDECREF(cause);
    }
    PyErr_Restore(error_type, error, error_traceback);
    return nullptr;
  }
  type_ = reinterpret_cast<PyTypeObject*>(created);
  return type_;
}

PyObject* refuse_construction(PyTypeObject* type, PyObject* /*args*/,
                              PyObject* /*kwargs*/) noexcept {
  // The name as it reads now: Python code may have set it on the class.
  const Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  if (name && PyUnicode_Check(name.get())) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  } else {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "No constructor defined for <unknown>");
  }
  return nullptr;
}

Py_hash_t hash_fourteen(std::string_view text) noexcept {
  // A fixed polynomial hash: the same in every process, whatever the
  // interpreter's string-hash randomisation.
  std::uint64_t h = 0;
  for (const char c : text) h = h * 31 + static_cast<unsigned char>(c);
  constexpr std::uint64_t kMinusTwo = std::numeric_limits<std::uint64_t>::max() - 1;
  if (h > kMinusTwo) h = kMinusTwo;  // -1 means an error to the interpreter
  return static_cast<Py_hash_t>(h);
}

PyObject* compare_fourteen(PyObject* self, PyObject* other, int op, ClassCell& cls,
                           std::string_view (*text)(PyObject*)) noexcept {
  switch (op) {
    case Py_EQ:
      if (!PyObject_TypeCheck(other, cls.type())) Py_RETURN_NOTIMPLEMENTED;
      return PyBool_FromLong(text(self) == text(other));
    case Py_NE: {
      // Through the full protocol, so a foreign operand's reflected __eq__
      // and the identity fallback decide, and the answer is never NotImplemented.
      const Ref equal(PyObject_RichCompare(self, other, Py_EQ));
      if (!equal) return nullptr;
      const int truth = PyObject_IsTrue(equal.get());
      if (truth < 0) return nullptr;
      return PyBool_FromLong(!truth);
    }
    case Py_LT:
    case Py_LE:
    case Py_GT:
    case Py_GE:
      Py_RETURN_NOTIMPLEMENTED;
    default:
      PyErr_SetString(PyExc_SystemError, "invalid compareop");
      return nullptr;
  }
}

PyObject* quoted_value_repr(const char* class_name, std::string_view text) noexcept {
  char digits[16] = {};
  text.substr(0, 15).copy(digits, 15);
  return PyUnicode_FromFormat("%s('%s')", class_name, digits);
}

}  // namespace tevora_py
