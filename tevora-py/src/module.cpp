// The module's entry point: creates `_tevora` once per process and
// registers its constants, classes and functions, each also into __all__.

#include "classes.hpp"
#include "functions.hpp"

namespace tevora_py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tevora",
    "tevora \u2014 GTIN parsing, canonicalisation, match keys and GS1 classification.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Filled by the first successful initialisation and never emptied: the
// 3.8 stable ABI cannot tell interpreters apart, so there is only one.
PyObject* the_module = nullptr;

// Appends `name` to __all__ (made on first use), then sets the attribute.
bool add_name(PyObject* module, PyObject* name, PyObject* value) noexcept {
  if (name == nullptr || value == nullptr) return false;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  return PyList_Append(all.get(), name) == 0 && PyObject_SetAttr(module, name, value) == 0;
}

bool add_name(PyObject* module, const char* name, PyObject* value) noexcept {
  const Ref key(PyUnicode_InternFromString(name));
  return add_name(module, key.get(), value);
}

bool add_class(PyObject* module, ClassCell& cls) noexcept {
  return add_name(module, cls.name(), reinterpret_cast<PyObject*>(cls.type()));
}

// Binds a function to the module and adds it under the name it reports.
bool add_function(PyObject* module, PyMethodDef* def) noexcept {
  const Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  const Ref function(PyCFunction_NewEx(def, module, module_name.get()));
  if (!function) return false;
  PyObject* name = PyObject_GetAttrString(function.get(), "__name__");
  if (name == nullptr) return false;
  PyUnicode_InternInPlace(&name);
  const Ref owned_name(name);
  return add_name(module, name, function.get());
}

PyObject* initialise() noexcept {
  if (the_module != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "_tevora can be initialised only once per interpreter process");
    return nullptr;
  }
  Ref module(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
  if (!module) return nullptr;
  PyObject* m = module.get();
  const Ref doc(
      PyUnicode_FromString("GTIN parsing, canonicalisation, match keys and GS1 classification."));
  const Ref min_digits(PyLong_FromSize_t(tevora::kDomainMinDigits));
  const Ref max_digits(PyLong_FromSize_t(tevora::kDomainMaxDigits));
  if (!add_name(m, "__doc__", doc.get()) || !add_name(m, "DOMAIN_MIN_DIGITS", min_digits.get()) ||
      !add_name(m, "DOMAIN_MAX_DIGITS", max_digits.get()) || !add_class(m, gtin14_class) ||
      !add_class(m, gtin_key_class) || !add_class(m, parsed_class)) {
    return nullptr;
  }
  for (PyMethodDef* def = module_functions; def->ml_name != nullptr; ++def) {
    if (!add_function(m, def)) return nullptr;
  }
  Py_INCREF(m);
  the_module = m;
  return module.release();
}

}  // namespace
}  // namespace tevora_py

PyMODINIT_FUNC PyInit__tevora(void) { return tevora_py::initialise(); }
