// The Python class Gtin14: one canonical GTIN and everything the core
// knows about it, recomputed from the fourteen digits on every read.

#include "classes.hpp"

namespace tevora_py {
namespace {

const tevora::Gtin14& value_of(PyObject* self) noexcept { return record_of<PyGtin14>(self).value; }

std::string_view value_text(PyObject* self) noexcept { return value_of(self).as_str(); }

PyObject* new_int(unsigned value) noexcept { return PyLong_FromLong(static_cast<long>(value)); }

PyObject* Gtin14_value(PyObject* self, void* /*closure*/) noexcept {
  return new_str(value_text(self));
}

PyObject* Gtin14_shortest(PyObject* self, void* /*closure*/) noexcept {
  return new_str(value_of(self).shortest());
}

PyObject* Gtin14_encoding(PyObject* self, void* /*closure*/) noexcept {
  return new_str(tevora::encoding_name(value_of(self).encoding()));
}

PyObject* Gtin14_significant_digits(PyObject* self, void* /*closure*/) noexcept {
  return PyLong_FromSize_t(value_of(self).significant_digits());
}

PyObject* Gtin14_check_digit(PyObject* self, void* /*closure*/) noexcept {
  // The carried digit, read as it is, never recomputed.
  return new_int(static_cast<unsigned>(value_text(self).back() - '0'));
}

PyObject* Gtin14_expected_check_digit(PyObject* self, void* /*closure*/) noexcept {
  return new_int(value_of(self).expected_check_digit());
}

PyObject* Gtin14_check_digit_is_valid(PyObject* self, void* /*closure*/) noexcept {
  return PyBool_FromLong(value_of(self).check_digit_is_valid());
}

PyObject* Gtin14_indicator(PyObject* self, void* /*closure*/) noexcept {
  const std::optional<tevora::Indicator> indicator = value_of(self).indicator();
  if (!indicator) Py_RETURN_NONE;
  return new_str(indicator->name());
}

PyObject* Gtin14_indicator_digit(PyObject* self, void* /*closure*/) noexcept {
  const std::optional<tevora::Indicator> indicator = value_of(self).indicator();
  if (!indicator) Py_RETURN_NONE;
  return new_int(indicator->digit());
}

PyObject* Gtin14_allocation(PyObject* self, void* /*closure*/) noexcept {
  return new_str(value_of(self).allocation().name());
}

PyObject* Gtin14_allocation_description(PyObject* self, void* /*closure*/) noexcept {
  return new_str(value_of(self).allocation().description());
}

PyObject* Gtin14_is_restricted_circulation(PyObject* self, void* /*closure*/) noexcept {
  return PyBool_FromLong(value_of(self).allocation().is_restricted_circulation());
}

PyObject* Gtin14_is_publication_or_coupon(PyObject* self, void* /*closure*/) noexcept {
  return PyBool_FromLong(value_of(self).allocation().is_publication_or_coupon());
}

PyObject* Gtin14_looks_like_internal_code(PyObject* self, void* /*closure*/) noexcept {
  return PyBool_FromLong(tevora::looks_like_internal_code(value_of(self)));
}

PyObject* Gtin14_measure_field_looks_zeroed(PyObject* self, void* /*closure*/) noexcept {
  return PyBool_FromLong(tevora::measure_field_looks_zeroed(value_of(self)));
}

PyObject* Gtin14_key(PyObject* self, PyObject* /*unused*/) noexcept {
  return new_gtin_key(tevora::key(value_of(self)));
}

PyObject* Gtin14_with_recomputed_check_digit(PyObject* self, PyObject* /*unused*/) noexcept {
  return new_gtin14(value_of(self).with_recomputed_check_digit());
}

PyObject* Gtin14_str(PyObject* self) noexcept { return new_str(value_text(self)); }

PyObject* Gtin14_repr(PyObject* self) noexcept {
  return quoted_value_repr("Gtin14", value_text(self));
}

Py_hash_t Gtin14_hash(PyObject* self) noexcept { return hash_fourteen(value_text(self)); }

PyObject* Gtin14_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return compare_fourteen(self, other, op, gtin14_class, value_text);
}

PyGetSetDef Gtin14_getset[] = {
    {"value", Gtin14_value, nullptr, "The canonical form: fourteen digits, check digit preserved.",
     nullptr},
    {"shortest", Gtin14_shortest, nullptr,
     "The shortest standard form \u2014 GTIN-8, -12, -13 or -14.", nullptr},
    {"encoding", Gtin14_encoding, nullptr,
     "Which standard encoding `shortest` occupies: `\"GTIN-8\"`, `\"GTIN-12\"`,\n"
     "`\"GTIN-13\"` or `\"GTIN-14\"`.",
     nullptr},
    {"significant_digits", Gtin14_significant_digits, nullptr, "Digits that are not leading zeros.",
     nullptr},
    {"check_digit", Gtin14_check_digit, nullptr, "The check digit the value carries.", nullptr},
    {"expected_check_digit", Gtin14_expected_check_digit, nullptr,
     "The check digit GS1 Mod-10 says it should carry.", nullptr},
    {"check_digit_is_valid", Gtin14_check_digit_is_valid, nullptr,
     "Whether the check digit is correct. A classification, not a verdict:\n"
     "variable-weight in-store codes fail this on purpose.",
     nullptr},
    {"indicator", Gtin14_indicator, nullptr,
     "`\"variable_measure\"`, `\"grouping\"`, or `None` for a padded value that\n"
     "has no indicator digit at all.",
     nullptr},
    {"indicator_digit", Gtin14_indicator_digit, nullptr, "The indicator digit itself, or `None`.",
     nullptr},
    {"allocation", Gtin14_allocation, nullptr,
     "What GS1 allocated this range for, as a stable snake_case name.", nullptr},
    {"allocation_description", Gtin14_allocation_description, nullptr,
     "GS1's own wording for the range.", nullptr},
    {"is_restricted_circulation", Gtin14_is_restricted_circulation, nullptr,
     "Whether the range is restricted-circulation \u2014 in-store or regional.", nullptr},
    {"is_publication_or_coupon", Gtin14_is_publication_or_coupon, nullptr,
     "Whether the range identifies a publication or coupon rather than a\n"
     "trade item.",
     nullptr},
    {"looks_like_internal_code", Gtin14_looks_like_internal_code, nullptr,
     "Fewer significant digits than GTIN-8 can express, so never issued by\n"
     "GS1. A guess at \"internal PLU\", named as one.",
     nullptr},
    {"measure_field_looks_zeroed", Gtin14_measure_field_looks_zeroed, nullptr,
     "Restricted-circulation, ends in five zeros, check digit stale. A guess\n"
     "at \"variable weight\", named as one.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef Gtin14_methods[] = {
    {"key", Gtin14_key, METH_NOARGS,
     "key($self)\n--\n\n"
     "The match key. Returns a `GtinKey`, never a `str` \u2014 see that class."},
    {"with_recomputed_check_digit", Gtin14_with_recomputed_check_digit, METH_NOARGS,
     "with_recomputed_check_digit($self)\n--\n\n"
     "The same first thirteen digits with a correct check digit appended.\n\n"
     "Export use only. This changes which product the code identifies\n"
     "whenever the original check digit was not a mistake."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Gtin14_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>("A GTIN in canonical GTIN-14 form.")},
    {Py_tp_getset, Gtin14_getset},
    {Py_tp_methods, Gtin14_methods},
    {Py_tp_str, slot(Gtin14_str)},
    {Py_tp_repr, slot(Gtin14_repr)},
    {Py_tp_hash, slot(Gtin14_hash)},
    {Py_tp_richcompare, slot(Gtin14_richcompare)},
    {Py_tp_new, slot(refuse_construction)},
    {Py_tp_dealloc, slot(dealloc)},
    {0, nullptr},
};

PyType_Spec Gtin14_spec = {
    "tevora.Gtin14", sizeof(Instance<PyGtin14>), 0, Py_TPFLAGS_DEFAULT, Gtin14_slots,
};

}  // namespace

ClassCell gtin14_class("Gtin14", &Gtin14_spec);

PyObject* new_gtin14(const tevora::Gtin14& value) noexcept {
  return new_instance(gtin14_class, PyGtin14{value});
}

}  // namespace tevora_py
