// The six module functions: take the argument, convert the cell or column
// to text, run the core, and make the Python result.

#include "functions.hpp"

#include <optional>

#include "arguments.hpp"
#include "classes.hpp"
#include "convert.hpp"
#include "str_utf8.hpp"

namespace tevora_py {
namespace {

// Once the interpreter is exiting, CPython ends a daemon thread wherever it
// takes the lock back: in PyEval_RestoreThread below, or in Python code that
// converting a cell runs (a subclass's __str__). It does so by unwinding the
// thread's stack, so the frames of ours on the way may not be noexcept (the
// unwind would meet one and abort the process) and may own nothing that needs
// the lock to be released.

// Runs `work`, which touches no Python object, without the interpreter lock.
template <typename Work>
void without_gil(Work work) {
  PyThreadState* const state = PyEval_SaveThread();
  work();
  PyEval_RestoreThread(state);
}

// A list of the column's length, filled in order by `make(cell)`, emptying
// the column; nothing partial is returned if one item cannot be made.
template <typename Make>
PyObject* make_list(CellTexts& texts, Make make) noexcept {
  Ref list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  const bool filled = texts.drain([&](const CellTexts::Cell& cell) {
    PyObject* item = make(cell);
    if (item == nullptr) return false;
    PyList_SetItem(list.get(), i++, item);
    return true;
  });
  return filled ? list.release() : nullptr;
}

// A single-cell function: take the argument, convert it, and hand its text
// to `run`.
template <typename Run>
PyObject* with_cell_text(const char* name, PyObject* args, PyObject* kwargs, Run run) {
  PyObject* value = take_value(name, args, kwargs);
  if (value == nullptr) return nullptr;
  return guarded([value, &run]() -> PyObject* {
    CellText text;
    if (!as_text(value, text)) return nullptr;
    return run(text.view());
  });
}

// The whole column as texts, or false with the exception set.
bool collect_column(PyObject* values, CellTexts& texts) {
  return guarded([values, &texts] { return collect(values, texts); });
}

// A column function that gives the lock up: convert the whole column, let
// `compute` replace cells while no Python object is touched, then `make`
// each item of the result.
template <typename Compute, typename Make>
PyObject* column_without_gil(const char* name, PyObject* args, PyObject* kwargs, Compute compute,
                             Make make) {
  PyObject* values = take_values(name, args, kwargs);
  if (values == nullptr) return nullptr;
  CellTexts texts;  // plain memory: freeing it needs no lock
  if (!collect_column(values, texts)) return nullptr;
  without_gil([&texts, &compute] { texts.for_each(compute); });
  return make_list(texts, make);
}

// A str of the fourteen digits that replaced a cell's text.
PyObject* new_digits_str(const CellTexts::Cell& cell) noexcept {
  char digits[tevora::Gtin14::kSize];
  cell.digits(digits);
  return new_str({digits, sizeof digits});
}

PyObject* parse(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  PyObject* value = take_value("parse", args, kwargs);
  if (value == nullptr) return nullptr;
  // A long str is written straight into the instance that keeps it, so the
  // cell is held once, not once as text and again as the raw input.
  if (PyUnicode_Check(value) && PyUnicode_GetLength(value) > kSliceLength) {
    return guarded([value]() -> PyObject* {
      std::size_t size = 0;
      if (!utf8_size(value, size)) return nullptr;
      return new_parsed_written(size, [value](char* raw) { return write_utf8(value, raw); });
    });
  }
  return guarded([value]() -> PyObject* {
    CellText text;
    if (!as_text(value, text)) return nullptr;
    return new_parsed(build(text.view()), text.view());
  });
}

PyObject* store_form(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return with_cell_text("store_form", args, kwargs, [](std::string_view text) {
    return new_str(tevora::store_form(text).as_str());
  });
}

PyObject* key(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return with_cell_text("key", args, kwargs, [](std::string_view text) -> PyObject* {
    const std::optional<tevora::GtinKey> key = tevora::key(text);
    if (!key) Py_RETURN_NONE;
    return new_gtin_key(*key);
  });
}

PyObject* store_form_many(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  // A cell's store form is its own text, or the digits it is replaced by.
  return column_without_gil(
      "store_form_many", args, kwargs,
      [](CellTexts::Cell& cell) noexcept {
        const tevora::StoreForm form = tevora::store_form(cell.text());
        if (!form.borrows_input()) cell.replace(form.as_str().data());
      },
      [](const CellTexts::Cell& cell) noexcept {
        return cell.replaced() ? new_digits_str(cell) : new_str(cell.text());
      });
}

PyObject* key_strings(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  // A cell with a key is replaced by it; one without stays as it is.
  return column_without_gil(
      "key_strings", args, kwargs,
      [](CellTexts::Cell& cell) noexcept {
        if (const std::optional<tevora::GtinKey> key = tevora::key(cell.text())) {
          cell.replace(key->as_key_str().data());
        }
      },
      [](const CellTexts::Cell& cell) noexcept -> PyObject* {
        if (!cell.replaced()) Py_RETURN_NONE;
        return new_digits_str(cell);
      });
}

// Keeps the lock throughout: every cell becomes a Python object anyway.
PyObject* parse_many(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  PyObject* values = take_values("parse_many", args, kwargs);
  if (values == nullptr) return nullptr;
  CellTexts texts;
  if (!collect_column(values, texts)) return nullptr;
  return make_list(texts, [](const CellTexts::Cell& cell) noexcept {
    return new_parsed(build(cell.text()), cell.text());
  });
}

}  // namespace

PyMethodDef module_functions[] = {
    {"parse", as_method(parse), METH_VARARGS | METH_KEYWORDS, "parse(value)\n--\n\nRead one cell."},
    {"store_form", as_method(store_form), METH_VARARGS | METH_KEYWORDS,
     "store_form(value)\n--\n\nWhat to write when storing this value."},
    {"key", as_method(key), METH_VARARGS | METH_KEYWORDS,
     "key(value)\n--\n\nThe match key for this value, or `None` outside the domain."},
    {"store_form_many", as_method(store_form_many), METH_VARARGS | METH_KEYWORDS,
     "store_form_many(values)\n--\n\n"
     "Storage forms for a whole column. Releases the GIL for the work."},
    {"key_strings", as_method(key_strings), METH_VARARGS | METH_KEYWORDS,
     "key_strings(values)\n--\n\n"
     "Match keys for a whole column, as strings, with `None` where there is no\n"
     "key.\n\n"
     "Named `key_strings` rather than `keys` on purpose. This is the one place\n"
     "the type distinction is deliberately dropped \u2014 a dataframe column needs\n"
     "strings \u2014 so the call site has to say so."},
    {"parse_many", as_method(parse_many), METH_VARARGS | METH_KEYWORDS,
     "parse_many(values)\n--\n\nParse a whole column."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tevora_py
