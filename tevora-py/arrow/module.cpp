// The module `_arrow`: store forms, key strings and parse tables of Arrow
// columns. Takes the column through the Arrow PyCapsule interface, works
// without the interpreter lock, and hands back an ArrowResult.

#include <cxxabi.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "columns.hpp"
#include "pyref.hpp"
#include "raise_status.hpp"
#include "result.hpp"

namespace tevora_arrow {
namespace {

using tevora_py::Ref;

PyObject* result_class = nullptr;  // made once, by the only initialisation

// The column, moved out of its producer's capsules.
struct Input {
  Owned<ArrowSchema> schema;
  Owned<ArrowArray> array;         // from __arrow_c_array__
  Owned<ArrowArrayStream> stream;  // or from __arrow_c_stream__
};

template <typename Struct>
bool take(PyObject* capsule, const char* name, Owned<Struct>& into) noexcept {
  auto* source = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (source == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "expected a PyCapsule named '%s' from the Arrow producer", name);
    return false;
  }
  if (source->release == nullptr) {
    PyErr_Format(PyExc_ValueError, "the Arrow producer's '%s' was already released", name);
    return false;
  }
  into.take(source);
  return true;
}

// Calls `column.<name>()` if it has such a method; `found` says whether it had.
//
// The producer's code may give the lock up and take it back, which is where
// CPython ends a daemon thread at exit (see without_gil): on that unwind the
// method is left unreleased, and so is what the caller owns.
Ref call_method(PyObject* column, const char* name, bool& found) {
  Ref method(PyObject_GetAttrString(column, name));
  found = static_cast<bool>(method);
  if (!method) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return Ref();
  }
  try {
    return Ref(PyObject_CallObject(method.get(), nullptr));
  } catch (abi::__forced_unwind&) {
    (void)method.release();
    abandoning() = true;
    throw;
  }
}

// Not noexcept, as the producer's code runs: see call_method.
bool import_column(PyObject* column, Input& in) {
  bool found = false;
  Ref pair = call_method(column, "__arrow_c_array__", found);
  if (found) {
    if (!pair) return false;
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
      PyErr_SetString(PyExc_TypeError, "__arrow_c_array__ must return two capsules");
      return false;
    }
    return take(PyTuple_GetItem(pair.get(), 0), "arrow_schema", in.schema) &&
           take(PyTuple_GetItem(pair.get(), 1), "arrow_array", in.array);
  }
  if (PyErr_Occurred() != nullptr) return false;
  const Ref stream = call_method(column, "__arrow_c_stream__", found);
  if (found) return stream && take(stream.get(), "arrow_array_stream", in.stream);
  if (PyErr_Occurred() != nullptr) return false;
  const Ref type_name(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(column)), "__name__"));
  PyErr_Format(PyExc_TypeError,
               "expected an Arrow array or stream (an object with __arrow_c_array__ or "
               "__arrow_c_stream__), got %S",
               type_name ? type_name.get() : Py_None);
  return false;
}

// What the work without the lock hands back.
struct Outcome {
  NodePtr schema;
  std::vector<NodePtr> chunks;
  Status status;
};

// One array. A record batch (or struct) of one column is that column.
Status run_array(Operation operation, const ArrowSchema& schema, const ArrowArray& array,
                 NodePtr& out) {
  Cells cells;
  Status status;
  if (schema.format != nullptr && std::string_view(schema.format) == "+s") {
    if (schema.n_children != 1) {
      return {Status::TypeError, "expected one column, got a struct or record batch of " +
                                     std::to_string(schema.n_children) + " columns"};
    }
    if (array.n_children != 1 || array.children == nullptr || array.children[0] == nullptr ||
        schema.children == nullptr || schema.children[0] == nullptr || array.length < 0 ||
        array.offset < 0) {
      return {Status::ValueError, "malformed Arrow array: a struct without its column"};
    }
    status = cells.open(*schema.children[0], *array.children[0], array.offset, array.length);
  } else {
    status = cells.open(schema, array);
  }
  return status ? run(operation, cells, out) : status;
}

// The result's type, from an empty array of the input's type.
Status empty_result(Operation operation, const ArrowSchema& schema, NodePtr& out) {
  const void* none[4] = {};
  ArrowArray empty{};
  empty.n_buffers = 4;
  empty.buffers = none;
  ArrowArray* child = &empty;
  ArrowArray parent{};
  if (schema.format != nullptr && std::string_view(schema.format) == "+s") {
    parent.n_children = 1;
    parent.children = &child;
    return run_array(operation, schema, parent, out);
  }
  return run_array(operation, schema, empty, out);
}

Status stream_error(ArrowArrayStream& stream, int code) {
  const char* message = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
  return {Status::ValueError, "the Arrow stream failed: " +
                                  std::string(message != nullptr ? message : std::strerror(code))};
}

// The whole column, chunk by chunk; each input chunk is released once read.
void work(Operation operation, Input& in, Outcome& out) {
  try {
    if (in.array.filled()) {
      NodePtr chunk;
      out.status = run_array(operation, *in.schema, *in.array, chunk);
      in.array.reset();
      if (out.status) out.chunks.push_back(std::move(chunk));
    } else {
      ArrowArrayStream* const stream = in.stream.get();
      if (const int code = stream->get_schema(stream, in.schema.get()); code != 0) {
        out.status = stream_error(*stream, code);
        return;
      }
      while (true) {
        Owned<ArrowArray> chunk;
        if (const int code = stream->get_next(stream, chunk.get()); code != 0) {
          out.status = stream_error(*stream, code);
          return;
        }
        if (!chunk.filled()) break;
        NodePtr result;
        out.status = run_array(operation, *in.schema, *chunk, result);
        if (!out.status) return;
        out.chunks.push_back(std::move(result));
      }
    }
    if (out.status) {
      out.status =
          out.chunks.empty() ? empty_result(operation, *in.schema, out.schema) : Status::ok();
      if (!out.chunks.empty()) out.schema = out.chunks.front();
    }
  } catch (const std::length_error& error) {
    out.status = {Status::ValueError,
                  std::string(error.what()) + ": pass a large_string column instead"};
  } catch (const std::bad_alloc&) {
    out.status = {Status::NoMemory, ""};
  }
}

// Runs `body` without the interpreter lock.
//
// Taking the lock back is where CPython ends a daemon thread once the
// interpreter is exiting, unwinding its stack from inside
// PyEval_RestoreThread. So no frame of ours above it is noexcept (the unwind
// would abort the process), none owns a Python object, and the producer's
// structs still owned are left unreleased (their release may need the lock).
template <typename Body>
void without_gil(Body body) {
  PyThreadState* const state = PyEval_SaveThread();
  body();
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    abandoning() = true;
    throw;
  }
}

// Releases what is left of the input. A producer's release may run Python
// code, which must not find an exception pending, so one is set aside; not
// noexcept, for the same reason as call_method.
void release(Input& in) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  in.array.reset();
  in.schema.reset();
  in.stream.reset();
  PyErr_Restore(type, value, traceback);
}

// Not noexcept: see without_gil.
PyObject* column_function(Operation operation, PyObject* column) {
  Input in;
  if (!import_column(column, in)) {
    release(in);
    return nullptr;
  }
  Outcome out;
  without_gil([operation, &in, &out] { work(operation, in, out); });
  release(in);
  if (!out.status) return raise_status(out.status);
  return new_result(result_class, std::move(out.schema), std::move(out.chunks));
}

PyObject* store_form(PyObject* /*module*/, PyObject* column) {
  return column_function(Operation::StoreForm, column);
}
PyObject* key_strings(PyObject* /*module*/, PyObject* column) {
  return column_function(Operation::KeyStrings, column);
}
PyObject* parse(PyObject* /*module*/, PyObject* column) {
  return column_function(Operation::Parse, column);
}

PyMethodDef functions[] = {
    {"store_form", store_form, METH_O,
     "store_form(column)\n--\n\nThe store form of every cell, as a string array."},
    {"key_strings", key_strings, METH_O,
     "key_strings(column)\n--\n\n"
     "The match key of every cell as a string, null where there is none."},
    {"parse", parse, METH_O,
     "parse(column)\n--\n\n"
     "Every cell parsed: a struct array with a field per attribute, the GTIN's\n"
     "null where the cell holds none."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_arrow",
    "tevora over Arrow columns: store forms, match keys and parse tables, with no Python\n"
    "object per cell.",
    0,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* initialise() noexcept {
  if (result_class != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "_arrow can be initialised only once per interpreter process");
    return nullptr;
  }
  Ref module(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
  Ref cls(module ? make_result_class() : nullptr);
  if (!cls || PyObject_SetAttrString(module.get(), "ArrowResult", cls.get()) < 0) return nullptr;
  result_class = cls.release();
  return module.release();
}

}  // namespace
}  // namespace tevora_arrow

PyMODINIT_FUNC PyInit__arrow() { return tevora_arrow::initialise(); }
