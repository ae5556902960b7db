// The result class and its capsules.

#include "result.hpp"

#include <memory>
#include <utility>

namespace tevora_arrow {
namespace {

using tevora_py::as_method;
using tevora_py::guarded;
using tevora_py::Ref;

struct Chunks {
  NodePtr schema;
  std::vector<NodePtr> chunks;
};

struct ResultObject {
  PyObject_HEAD Chunks* chunks;
};

Chunks& chunks_of(PyObject* self) noexcept {
  return *reinterpret_cast<ResultObject*>(self)->chunks;
}

// A capsule owning a heap struct: its destructor releases the struct unless
// a consumer moved it out (marking it released), then frees it.
template <typename Struct>
void destroy_capsule(PyObject* capsule) noexcept {
  const char* name = PyCapsule_GetName(capsule);
  auto* value = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (value == nullptr) {
    PyErr_Clear();
    return;
  }
  if (value->release != nullptr) value->release(value);
  delete value;
}

template <typename Struct, typename Export>
PyObject* new_capsule(const char* name, Export export_into) {
  auto value = std::make_unique<Struct>();
  export_into(value.get());
  PyObject* capsule = PyCapsule_New(value.get(), name, destroy_capsule<Struct>);
  if (capsule == nullptr) {
    value->release(value.get());
    return nullptr;
  }
  (void)value.release();
  return capsule;
}

PyObject* schema_capsule(const Chunks& chunks) {
  return new_capsule<ArrowSchema>("arrow_schema",
                                  [&](ArrowSchema* out) { export_schema(*chunks.schema, out); });
}

// The optional requested_schema is accepted and not honoured, as the
// interface allows: the result has one type only.
bool no_request(PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"requested_schema", nullptr};
  PyObject* requested = nullptr;
  return PyArg_ParseTupleAndKeywords(args, kwargs, "|O", const_cast<char**>(keywords),
                                     &requested) != 0;
}

PyObject* Result_schema(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded([self] { return schema_capsule(chunks_of(self)); });
}

PyObject* Result_array(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  if (!no_request(args, kwargs)) return nullptr;
  const Chunks& chunks = chunks_of(self);
  if (chunks.chunks.size() != 1) {
    PyErr_Format(PyExc_TypeError, "this result has %zd chunks: read it through __arrow_c_stream__",
                 static_cast<Py_ssize_t>(chunks.chunks.size()));
    return nullptr;
  }
  return guarded([&chunks]() -> PyObject* {
    const Ref schema(schema_capsule(chunks));
    if (!schema) return nullptr;
    const Ref array(new_capsule<ArrowArray>(
        "arrow_array", [&](ArrowArray* out) { export_array(chunks.chunks[0], out); }));
    if (!array) return nullptr;
    return PyTuple_Pack(2, schema.get(), array.get());
  });
}

PyObject* Result_stream(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  if (!no_request(args, kwargs)) return nullptr;
  const Chunks& chunks = chunks_of(self);
  return guarded([&chunks] {
    return new_capsule<ArrowArrayStream>("arrow_array_stream", [&](ArrowArrayStream* out) {
      export_stream(chunks.schema, chunks.chunks, out);
    });
  });
}

Py_ssize_t Result_length(PyObject* self) noexcept {
  std::int64_t length = 0;
  for (const NodePtr& chunk : chunks_of(self).chunks) length += chunk->length;
  return static_cast<Py_ssize_t>(length);
}

void Result_dealloc(PyObject* self) noexcept {
  delete reinterpret_cast<ResultObject*>(self)->chunks;
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyObject* Result_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) noexcept {
  (void)type;
  PyErr_SetString(PyExc_TypeError, "cannot create 'tevora.ArrowResult' instances");
  return nullptr;
}

PyMethodDef Result_methods[] = {
    {"__arrow_c_schema__", as_method(Result_schema), METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe Arrow type, as an arrow_schema capsule."},
    {"__arrow_c_array__", as_method(Result_array), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\n"
     "The result as (arrow_schema, arrow_array) capsules; one chunk only."},
    {"__arrow_c_stream__", as_method(Result_stream), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The result, chunk by chunk, as an arrow_array_stream capsule."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Result_slots[] = {
    {Py_tp_doc, const_cast<char*>("Arrow arrays made by tevora, exported through the Arrow "
                                  "PyCapsule interface.")},
    {Py_tp_methods, Result_methods},
    {Py_sq_length, reinterpret_cast<void*>(Result_length)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Result_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(Result_new)},
    {0, nullptr},
};

PyType_Spec Result_spec = {
    "tevora.ArrowResult", sizeof(ResultObject), 0, Py_TPFLAGS_DEFAULT, Result_slots,
};

}  // namespace

PyObject* make_result_class() noexcept { return PyType_FromSpec(&Result_spec); }

PyObject* new_result(PyObject* result_class, NodePtr schema, std::vector<NodePtr> chunks) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(result_class);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return guarded([&]() -> PyObject* {
    auto data = std::make_unique<Chunks>(Chunks{std::move(schema), std::move(chunks)});
    PyObject* self = alloc(type, 0);
    if (self != nullptr) reinterpret_cast<ResultObject*>(self)->chunks = data.release();
    return self;
  });
}

}  // namespace tevora_arrow
