// Tally.add_arrow: an Arrow column's cells read in place by the Arrow
// module's own cell reader, compiled in, so that a cell reads as it does in
// tevora.arrow and in the list functions.

#include "arrow_column.hpp"

#include <cxxabi.h>

#include <new>
#include <string>

#include "cells.hpp"
#include "pyref.hpp"
#include "raise_status.hpp"

namespace tevora_files {
namespace {

using tevora_arrow::Owned;
using tevora_arrow::Status;
using tevora_py::Ref;

template <typename Struct>
bool take(PyObject* capsule, const char* name, Owned<Struct>& into) noexcept {
  auto* source = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (source == nullptr || source->release == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "expected an unreleased PyCapsule named '%s'", name);
    return false;
  }
  into.take(source);
  return true;
}

struct Input {
  Owned<ArrowSchema> schema;
  Owned<ArrowArray> array;
  Owned<ArrowArrayStream> stream;
};

// The column's structs, from __arrow_c_array__ or __arrow_c_stream__; a
// TypeError for any other object.
bool import_column(PyObject* column, Input& in) {
  if (PyObject_HasAttrString(column, "__arrow_c_array__") != 0) {
    const Ref pair(PyObject_CallMethod(column, "__arrow_c_array__", nullptr));
    if (!pair) return false;
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
      PyErr_SetString(PyExc_TypeError, "__arrow_c_array__ must return two capsules");
      return false;
    }
    return take(PyTuple_GetItem(pair.get(), 0), "arrow_schema", in.schema) &&
           take(PyTuple_GetItem(pair.get(), 1), "arrow_array", in.array);
  }
  if (PyObject_HasAttrString(column, "__arrow_c_stream__") != 0) {
    const Ref stream(PyObject_CallMethod(column, "__arrow_c_stream__", nullptr));
    return stream && take(stream.get(), "arrow_array_stream", in.stream);
  }
  PyErr_SetString(PyExc_TypeError, "expected an Arrow array or stream");
  return false;
}

Status tally_array(const ArrowSchema& schema, const ArrowArray& array, Tally& tally,
                   std::uint64_t& row) {
  tevora_arrow::Cells cells;
  Status status = cells.open(schema, array);
  if (!status) return status;
  return cells.for_each([&](std::string_view text) { tally.add(row++, text); });
}

Status stream_error(ArrowArrayStream& stream, int code) {
  const char* message = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
  return {Status::ValueError,
          "the Arrow stream failed: " +
              (message != nullptr ? std::string(message) : "error " + std::to_string(code))};
}

// Every chunk into the tally. Only memory running out throws.
Status work(Input& in, Tally& tally, std::uint64_t row) {
  if (in.array.filled()) return tally_array(*in.schema, *in.array, tally, row);
  ArrowArrayStream* const stream = in.stream.get();
  if (const int code = stream->get_schema(stream, in.schema.get()); code != 0) {
    return stream_error(*stream, code);
  }
  while (true) {
    Owned<ArrowArray> chunk;
    if (const int code = stream->get_next(stream, chunk.get()); code != 0) {
      return stream_error(*stream, code);
    }
    if (!chunk.filled()) return Status::ok();
    Status status = tally_array(*in.schema, *chunk, tally, row);
    if (!status) return status;
  }
}

}  // namespace

PyObject* add_arrow(Tally& tally, bool& busy, std::uint64_t first_row, PyObject* column) {
  Input in;
  if (!import_column(column, in)) return nullptr;
  if (busy) {
    PyErr_SetString(PyExc_RuntimeError, "the tally is in use by another thread");
    return nullptr;
  }
  busy = true;
  Status status;
  PyThreadState* const state = PyEval_SaveThread();
  try {
    status = work(in, tally, first_row);
  } catch (const std::bad_alloc&) {
    status = {Status::NoMemory, ""};
  }
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    // The interpreter ends this thread at exit: the producer's structs are
    // left to the process, as their release may need the interpreter.
    tevora_arrow::abandoning() = true;
    throw;
  }
  busy = false;
  if (status) Py_RETURN_NONE;
  return tevora_arrow::raise_status(status);
}

}  // namespace tevora_files
