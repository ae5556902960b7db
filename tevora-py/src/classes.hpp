// classes.hpp: what the three classes share, and how the rest makes instances.
//
// Each class is a heap type made from a PyType_Spec the first time it is
// registered. An instance is a PyObject header followed by one C++ record
// held by value: `PyGtin14`, `PyGtinKey` or `PyParsed`.

#ifndef TEVORA_PY_CLASSES_HPP_
#define TEVORA_PY_CLASSES_HPP_

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>

#include "pyref.hpp"
#include "tevora/tevora.hpp"

namespace tevora_py {

struct PyGtin14 {
  tevora::Gtin14 value;
};

struct PyGtinKey {
  tevora::GtinKey value;
};

// Everything a `Parsed` shows, derived once from one cell text. The raw
// text is kept inside the instance, right after the record; the store form
// is that text or the GTIN's digits, so it needs no copy of its own.
struct PyParsed {
  std::optional<tevora::Gtin14> gtin;
  std::size_t raw_size = 0;
  tevora::Reason reason = tevora::Reason::Empty;  // why, when there is no GTIN
  bool was_cleaned = false;
  bool removed_whitespace = false;
  bool removed_separators = false;
  bool dropped_fraction = false;
};

// Reads one cell text into a record; the caller keeps the text.
PyParsed build(std::string_view text) noexcept;

// One Python class: its name, its spec, and its type object once made.
class ClassCell {
 public:
  constexpr ClassCell(const char* name, PyType_Spec* spec) noexcept : name_(name), spec_(spec) {}

  const char* name() const noexcept { return name_; }
  // The type object, made on the first call and kept for the process.
  // Borrowed; null with RuntimeError set if it cannot be made.
  PyTypeObject* type() noexcept;

 private:
  const char* name_;
  PyType_Spec* spec_;
  PyTypeObject* type_ = nullptr;
};

extern ClassCell gtin14_class;
extern ClassCell gtin_key_class;
extern ClassCell parsed_class;

// New instances, or null with the exception set.
PyObject* new_gtin14(const tevora::Gtin14& value) noexcept;
PyObject* new_gtin_key(const tevora::GtinKey& value) noexcept;
// A new Parsed holding the record and a copy of the text it was built from.
PyObject* new_parsed(const PyParsed& record, std::string_view raw) noexcept;

// A new Parsed whose raw text of `size` bytes `write(char*)` puts straight
// into the instance, which is then read from there: a long cell is held
// once. Null with the exception set, also when `write` returns false.
PyObject* alloc_parsed(std::size_t size) noexcept;
char* raw_buffer(PyObject* parsed) noexcept;
void read_raw(PyObject* parsed) noexcept;
template <typename Write>
PyObject* new_parsed_written(std::size_t size, Write write) {
  Ref self(alloc_parsed(size));
  if (!self || !write(raw_buffer(self.get()))) return nullptr;
  read_raw(self.get());
  return self.release();
}

// ---- Shared by the class implementations -----------------------------------

template <typename Record>
struct Instance {
  PyObject_HEAD Record record;
};

// The same, followed by `size` bytes of the instance's own (its raw text).
template <typename Record>
struct VarInstance {
  PyObject_VAR_HEAD Record record;
};

// Parsed is variable-sized: its raw text follows the record.
template <typename Record>
using InstanceOf =
    std::conditional_t<std::is_same_v<Record, PyParsed>, VarInstance<Record>, Instance<Record>>;

template <typename Record>
const Record& record_of(PyObject* self) noexcept {
  return reinterpret_cast<InstanceOf<Record>*>(self)->record;
}

// The bytes an instance of a variable-sized class holds after its record.
template <typename Record>
char* extra_of(PyObject* self) noexcept {
  return reinterpret_cast<char*>(self) + sizeof(InstanceOf<Record>);
}

// A new instance holding a copy of `record`, with `extra` bytes of its own
// after it when the class is variable-sized.
template <typename Record>
PyObject* new_instance(ClassCell& cls, const Record& record, std::size_t extra = 0) noexcept {
  static_assert(std::is_trivially_copyable_v<Record>);
  PyTypeObject* type = cls.type();
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, static_cast<Py_ssize_t>(extra));
  if (self != nullptr) new (&reinterpret_cast<InstanceOf<Record>*>(self)->record) Record(record);
  return self;
}

// Records are trivially destructible: freeing the memory is enough.
inline void dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  // Instances of heap types hold a reference to their type.
  Py_DECREF(type);
}

// The creation slot of every class: there are no constructors.
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// Hash and equality of the two fourteen-character value classes, which
// differ only in their operand class and their text.
Py_hash_t hash_fourteen(std::string_view text) noexcept;
PyObject* compare_fourteen(PyObject* self, PyObject* other, int op, ClassCell& cls,
                           std::string_view (*text)(PyObject*)) noexcept;

// "Name('fourteen')".
PyObject* quoted_value_repr(const char* class_name, std::string_view text) noexcept;

// Casts a slot function for a PyType_Slot or PyMethodDef entry.
template <typename Function>
void* slot(Function* function) noexcept {
  return reinterpret_cast<void*>(function);
}

}  // namespace tevora_py

#endif  // TEVORA_PY_CLASSES_HPP_
