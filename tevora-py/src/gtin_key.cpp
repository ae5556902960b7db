// The Python class GtinKey: a match key that never passes for a GTIN.

#include "classes.hpp"

namespace tevora_py {
namespace {

std::string_view key_text(PyObject* self) noexcept {
  return record_of<PyGtinKey>(self).value.as_key_str();
}

PyObject* GtinKey_as_key_str(PyObject* self, PyObject* /*unused*/) noexcept {
  return new_str(key_text(self));
}

PyObject* GtinKey_repr(PyObject* self) noexcept {
  return quoted_value_repr("GtinKey", key_text(self));
}

Py_hash_t GtinKey_hash(PyObject* self) noexcept { return hash_fourteen(key_text(self)); }

PyObject* GtinKey_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return compare_fourteen(self, other, op, gtin_key_class, key_text);
}

PyMethodDef GtinKey_methods[] = {
    {"as_key_str", GtinKey_as_key_str, METH_NOARGS,
     "as_key_str($self)\n--\n\n"
     "The key as fourteen characters. Storing or exporting this stores or\n"
     "exports a match key."},
    {nullptr, nullptr, 0, nullptr},
};

// No __str__ on purpose: str() and f-strings fall back to the repr.
const char GtinKey_doc[] =
    "A check-digit-agnostic match key. **Not a GTIN.**\n\n"
    "Deliberately awkward to turn into a string. It has no `__str__`, so\n"
    "`f\"{key}\"` and `str(key)` both produce `GtinKey('07390525907740')` rather\n"
    "than a bare number \u2014 a key that leaks into an export shows up as visibly\n"
    "wrong instead of as a plausible, fabricated identifier. The only way to\n"
    "the digits is `as_key_str()`, which says what it is at the call site.";

PyType_Slot GtinKey_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>(GtinKey_doc)},
    {Py_tp_methods, GtinKey_methods},
    {Py_tp_repr, slot(GtinKey_repr)},
    {Py_tp_hash, slot(GtinKey_hash)},
    {Py_tp_richcompare, slot(GtinKey_richcompare)},
    {Py_tp_new, slot(refuse_construction)},
    {Py_tp_dealloc, slot(dealloc)},
    {0, nullptr},
};

PyType_Spec GtinKey_spec = {
    "tevora.GtinKey", sizeof(Instance<PyGtinKey>), 0, Py_TPFLAGS_DEFAULT, GtinKey_slots,
};

}  // namespace

ClassCell gtin_key_class("GtinKey", &GtinKey_spec);

PyObject* new_gtin_key(const tevora::GtinKey& value) noexcept {
  return new_instance(gtin_key_class, PyGtinKey{value});
}

}  // namespace tevora_py
