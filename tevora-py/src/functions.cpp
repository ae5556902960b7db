// The six module functions: take the argument, convert the cell or column
// to text, run the core, and make the Python result.

#include <optional>

#include "classes.hpp"
#include "convert.hpp"
#include "functions.hpp"

namespace tevora_py {
namespace {

// Gives the interpreter lock up for work that touches no Python object.
class WithoutGil {
 public:
  WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;
  ~WithoutGil() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// A list of the column's length, filled in order by `make(cell)`, giving
// the column's memory back as it goes; nothing partial is returned if one
// item cannot be made.
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
PyObject* with_cell_text(const char* name, PyObject* args, PyObject* kwargs, Run run) noexcept {
  PyObject* value = take_value(name, args, kwargs);
  if (value == nullptr) return nullptr;
  return guarded([value, &run]() -> PyObject* {
    CellText text;
    if (!as_text(value, text)) return nullptr;
    return run(text.view());
  });
}

// A column function that gives the GIL up: convert the whole column, let
// `compute` replace cells while no Python object is touched, then `make`
// each item of the result.
template <typename Compute, typename Make>
PyObject* without_gil(const char* name, PyObject* args, PyObject* kwargs, Compute compute,
                      Make make) noexcept {
  PyObject* values = take_values(name, args, kwargs);
  if (values == nullptr) return nullptr;
  return guarded([values, &compute, &make]() -> PyObject* {
    CellTexts texts;
    if (!collect(values, texts)) return nullptr;
    {
      const WithoutGil unlocked;
      texts.for_each(compute);
    }
    return make_list(texts, make);
  });
}

// A str of the fourteen digits that replaced a cell's text.
PyObject* new_digits_str(const CellTexts::Cell& cell) noexcept {
  char digits[tevora::Gtin14::kSize];
  cell.digits(digits);
  return new_str({digits, sizeof digits});
}

PyObject* parse(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return with_cell_text("parse", args, kwargs,
                        [](std::string_view text) { return new_parsed(build(text), text); });
}

PyObject* store_form(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return with_cell_text("store_form", args, kwargs, [](std::string_view text) {
    return new_str(tevora::store_form(text).as_str());
  });
}

PyObject* key(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return with_cell_text("key", args, kwargs, [](std::string_view text) -> PyObject* {
    const std::optional<tevora::GtinKey> key = tevora::key(text);
    if (!key) Py_RETURN_NONE;
    return new_gtin_key(*key);
  });
}

PyObject* store_form_many(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  // A cell's store form is its own text, or the digits it is replaced by.
  return without_gil(
      "store_form_many", args, kwargs,
      [](CellTexts::Cell& cell) {
        const tevora::StoreForm form = tevora::store_form(cell.text());
        if (!form.borrows_input()) cell.replace(form.as_str());
      },
      [](const CellTexts::Cell& cell) {
        return cell.replaced() ? new_digits_str(cell) : new_str(cell.text());
      });
}

PyObject* key_strings(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  // A cell with a key is replaced by it; one without stays as it is.
  return without_gil(
      "key_strings", args, kwargs,
      [](CellTexts::Cell& cell) {
        if (const std::optional<tevora::GtinKey> key = tevora::key(cell.text())) {
          cell.replace(key->as_key_str());
        }
      },
      [](const CellTexts::Cell& cell) -> PyObject* {
        if (!cell.replaced()) Py_RETURN_NONE;
        return new_digits_str(cell);
      });
}

// Keeps the GIL throughout: every cell becomes a Python object anyway.
PyObject* parse_many(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* values = take_values("parse_many", args, kwargs);
  if (values == nullptr) return nullptr;
  return guarded([values]() -> PyObject* {
    CellTexts texts;
    if (!collect(values, texts)) return nullptr;
    return make_list(texts, [](const CellTexts::Cell& cell) {
      return new_parsed(build(cell.text()), cell.text());
    });
  });
}

template <typename Function>
PyCFunction with_keywords(Function* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

PyMethodDef module_functions[] = {
    {"parse", with_keywords(parse), METH_VARARGS | METH_KEYWORDS,
     "parse(value)\n--\n\nRead one cell."},
    {"store_form", with_keywords(store_form), METH_VARARGS | METH_KEYWORDS,
     "store_form(value)\n--\n\nWhat to write when storing this value."},
    {"key", with_keywords(key), METH_VARARGS | METH_KEYWORDS,
     "key(value)\n--\n\nThe match key for this value, or `None` outside the domain."},
    {"store_form_many", with_keywords(store_form_many), METH_VARARGS | METH_KEYWORDS,
     "store_form_many(values)\n--\n\n"
     "Storage forms for a whole column. Releases the GIL for the work."},
    {"key_strings", with_keywords(key_strings), METH_VARARGS | METH_KEYWORDS,
     "key_strings(values)\n--\n\n"
     "Match keys for a whole column, as strings, with `None` where there is no\n"
     "key.\n\n"
     "Named `key_strings` rather than `keys` on purpose. This is the one place\n"
     "the type distinction is deliberately dropped \u2014 a dataframe column needs\n"
     "strings \u2014 so the call site has to say so."},
    {"parse_many", with_keywords(parse_many), METH_VARARGS | METH_KEYWORDS,
     "parse_many(values)\n--\n\nParse a whole column."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tevora_py
