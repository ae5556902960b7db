// The six module functions: take the argument, convert the cell or column
// to text, run the core, and make the Python result.

#include <optional>
#include <string>
#include <vector>

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

// A list of final length, filled in order by `make(i)`; nothing partial is
// returned if one item cannot be made.
template <typename Make>
PyObject* make_list(std::size_t size, Make make) noexcept {
  Ref list(PyList_New(static_cast<Py_ssize_t>(size)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < size; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* parse(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* value = take_value("parse", args, kwargs);
  if (value == nullptr) return nullptr;
  return guarded([value]() -> PyObject* {
    std::string text;
    if (!as_text(value, text)) return nullptr;
    return new_parsed(build(text));
  });
}

PyObject* store_form(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* value = take_value("store_form", args, kwargs);
  if (value == nullptr) return nullptr;
  return guarded([value]() -> PyObject* {
    std::string text;
    if (!as_text(value, text)) return nullptr;
    return new_str(tevora::store_form(text).as_str());
  });
}

PyObject* key(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* value = take_value("key", args, kwargs);
  if (value == nullptr) return nullptr;
  return guarded([value]() -> PyObject* {
    std::string text;
    if (!as_text(value, text)) return nullptr;
    const std::optional<tevora::GtinKey> key = tevora::key(text);
    if (!key) Py_RETURN_NONE;
    return new_gtin_key(*key);
  });
}

PyObject* store_form_many(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* values = take_values("store_form_many", args, kwargs);
  if (values == nullptr) return nullptr;
  return guarded([values]() -> PyObject* {
    CellTexts texts;
    if (!collect(values, texts)) return nullptr;
    std::vector<tevora::StoreForm> forms;
    forms.reserve(texts.size());
    {
      const WithoutGil unlocked;
      for (std::size_t i = 0; i < texts.size(); ++i) forms.push_back(tevora::store_form(texts[i]));
    }
    return make_list(forms.size(), [&forms](std::size_t i) { return new_str(forms[i].as_str()); });
  });
}

PyObject* key_strings(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* values = take_values("key_strings", args, kwargs);
  if (values == nullptr) return nullptr;
  return guarded([values]() -> PyObject* {
    CellTexts texts;
    if (!collect(values, texts)) return nullptr;
    std::vector<std::optional<tevora::GtinKey>> keys;
    keys.reserve(texts.size());
    {
      const WithoutGil unlocked;
      for (std::size_t i = 0; i < texts.size(); ++i) keys.push_back(tevora::key(texts[i]));
    }
    return make_list(keys.size(), [&keys](std::size_t i) -> PyObject* {
      if (!keys[i]) Py_RETURN_NONE;
      return new_str(keys[i]->as_key_str());
    });
  });
}

PyObject* parse_many(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* values = take_values("parse_many", args, kwargs);
  if (values == nullptr) return nullptr;
  return guarded([values]() -> PyObject* {
    std::vector<PyParsed> records;
    {
      CellTexts texts;
      if (!collect(values, texts)) return nullptr;
      records.reserve(texts.size());
      for (std::size_t i = 0; i < texts.size(); ++i) records.push_back(build(texts[i]));
    }
    return make_list(records.size(),
                     [&records](std::size_t i) { return new_parsed(std::move(records[i])); });
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
