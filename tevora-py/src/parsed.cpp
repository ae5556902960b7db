// The Python class Parsed: the outcome of reading one cell, derived once.

#include <cstring>
#include <string>

#include "classes.hpp"
#include "quoted.hpp"

namespace tevora_py {
namespace {

const PyParsed& parsed_of(PyObject* self) noexcept { return record_of<PyParsed>(self); }

std::string_view raw_of(PyObject* self) noexcept {
  return {extra_of<PyParsed>(self), parsed_of(self).raw_size};
}

// The reason of a refused cell; null for a GTIN.
const tevora::Reason* refusal(const PyParsed& parsed) noexcept {
  return parsed.gtin ? nullptr : &parsed.reason;
}

PyObject* Parsed_raw(PyObject* self, void* /*closure*/) noexcept { return new_str(raw_of(self)); }

PyObject* Parsed_gtin(PyObject* self, void* /*closure*/) noexcept {
  const std::optional<tevora::Gtin14>& gtin = parsed_of(self).gtin;
  if (!gtin) Py_RETURN_NONE;
  return new_gtin14(*gtin);
}

PyObject* Parsed_reason(PyObject* self, void* /*closure*/) noexcept {
  const tevora::Reason* reason = refusal(parsed_of(self));
  if (reason == nullptr) Py_RETURN_NONE;
  return new_str(reason->name());
}

PyObject* Parsed_message(PyObject* self, void* /*closure*/) noexcept {
  const tevora::Reason* reason = refusal(parsed_of(self));
  if (reason == nullptr) Py_RETURN_NONE;
  return new_str(reason->message());
}

PyObject* Parsed_digits(PyObject* self, void* /*closure*/) noexcept {
  const tevora::Reason* reason = refusal(parsed_of(self));
  const std::optional<std::size_t> digits = reason ? reason->digits() : std::nullopt;
  if (!digits) Py_RETURN_NONE;
  return PyLong_FromSize_t(*digits);
}

PyObject* Parsed_store_form(PyObject* self, void* /*closure*/) noexcept {
  const PyParsed& parsed = parsed_of(self);
  return new_str(parsed.gtin ? parsed.gtin->as_str() : raw_of(self));
}

PyObject* Parsed_was_cleaned(PyObject* self, void* /*closure*/) noexcept {
  return PyBool_FromLong(parsed_of(self).was_cleaned);
}

PyObject* Parsed_removed_whitespace(PyObject* self, void* /*closure*/) noexcept {
  return PyBool_FromLong(parsed_of(self).removed_whitespace);
}

PyObject* Parsed_removed_separators(PyObject* self, void* /*closure*/) noexcept {
  return PyBool_FromLong(parsed_of(self).removed_separators);
}

PyObject* Parsed_dropped_fraction(PyObject* self, void* /*closure*/) noexcept {
  return PyBool_FromLong(parsed_of(self).dropped_fraction);
}

PyObject* Parsed_is_gtin(PyObject* self, void* /*closure*/) noexcept {
  return PyBool_FromLong(parsed_of(self).gtin.has_value());
}

PyObject* Parsed_key(PyObject* self, PyObject* /*unused*/) noexcept {
  const std::optional<tevora::Gtin14>& gtin = parsed_of(self).gtin;
  if (!gtin) Py_RETURN_NONE;
  return new_gtin_key(tevora::key(*gtin));
}

PyObject* Parsed_repr(PyObject* self) noexcept {
  const PyParsed& parsed = parsed_of(self);
  if (parsed.gtin) {
    char digits[tevora::Gtin14::kSize + 1] = {};
    parsed.gtin->as_str().copy(digits, tevora::Gtin14::kSize);
    return PyUnicode_FromFormat("Parsed(gtin=Gtin14('%s'))", digits);
  }
  return guarded([self, &parsed] {
    std::string repr = "Parsed(raw=";
    append_quoted(repr, raw_of(self));
    repr += ", reason=";
    append_quoted(repr, parsed.reason.name());
    repr += ')';
    return new_str(repr);
  });
}

PyGetSetDef Parsed_getset[] = {
    {"raw", Parsed_raw, nullptr, "The input, verbatim, whatever it was.", nullptr},
    {"gtin", Parsed_gtin, nullptr, "The canonical form, or `None`.", nullptr},
    {"reason", Parsed_reason, nullptr,
     "`\"empty\"`, `\"non_numeric\"`, `\"too_short\"`, `\"too_long\"`, or `None`.", nullptr},
    {"message", Parsed_message, nullptr, "A sentence fit to show a user, or `None`.", nullptr},
    {"digits", Parsed_digits, nullptr,
     "How many digits were found, when the count is why it was refused.", nullptr},
    {"store_form", Parsed_store_form, nullptr,
     "What to write when storing: canonical for a GTIN, the raw input\n"
     "untouched for anything else. Never blank unless the input was.",
     nullptr},
    {"was_cleaned", Parsed_was_cleaned, nullptr,
     "Whether anything had to be removed to read the value.", nullptr},
    {"removed_whitespace", Parsed_removed_whitespace, nullptr, "Whitespace was removed.", nullptr},
    {"removed_separators", Parsed_removed_separators, nullptr, "Dashes were removed.", nullptr},
    {"dropped_fraction", Parsed_dropped_fraction, nullptr,
     "A fractional part was dropped \u2014 the value arrived as a number.", nullptr},
    {"is_gtin", Parsed_is_gtin, nullptr, "Whether this is a GTIN.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef Parsed_methods[] = {
    {"key", Parsed_key, METH_NOARGS,
     "key($self)\n--\n\nThe match key, or `None` outside the domain."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Parsed_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>("The result of reading one cell.")},
    {Py_tp_getset, Parsed_getset},
    {Py_tp_methods, Parsed_methods},
    {Py_tp_repr, slot(Parsed_repr)},
    {Py_tp_new, slot(refuse_construction)},
    {Py_tp_dealloc, slot(dealloc)},
    {0, nullptr},
};

PyType_Spec Parsed_spec = {
    "tevora.Parsed", sizeof(InstanceOf<PyParsed>), 1, Py_TPFLAGS_DEFAULT, Parsed_slots,
};

}  // namespace

ClassCell parsed_class("Parsed", &Parsed_spec);

PyParsed build(std::string_view text) noexcept {
  const tevora::Parsed parsed = tevora::parse(text);
  PyParsed record;
  record.raw_size = text.size();
  if (const tevora::Parsed::Accepted* accepted = parsed.accepted()) {
    record.gtin = accepted->gtin;
    record.removed_whitespace = accepted->removed_whitespace;
    record.removed_separators = accepted->removed_separators;
    record.dropped_fraction = accepted->dropped_fraction;
    record.was_cleaned = accepted->was_cleaned();
  } else {
    record.reason = parsed.refused()->reason;
  }
  return record;
}

PyObject* new_parsed(const PyParsed& record, std::string_view raw) noexcept {
  PyObject* self = new_instance(parsed_class, record, raw.size());
  if (self != nullptr) std::memcpy(extra_of<PyParsed>(self), raw.data(), raw.size());
  return self;
}

PyObject* alloc_parsed(std::size_t size) noexcept {
  PyParsed record;
  record.raw_size = size;
  return new_instance(parsed_class, record, size);
}

char* raw_buffer(PyObject* parsed) noexcept { return extra_of<PyParsed>(parsed); }

void read_raw(PyObject* parsed) noexcept {
  reinterpret_cast<InstanceOf<PyParsed>*>(parsed)->record = build(raw_of(parsed));
}

}  // namespace tevora_py
