// The module `_files`: the report's Tally and the CsvScanner, for the
// `tevora` command. Cells are read by the same conversion as the list
// functions; the scanner works on whole chunks without the interpreter lock.

#include <algorithm>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "arrow_column.hpp"
#include "cell_texts.hpp"
#include "convert.hpp"
#include "pyref.hpp"
#include "scanner.hpp"
#include "tally.hpp"

namespace tevora_files {
namespace {

using tevora_py::as_method;
using tevora_py::Ref;

PyObject* tally_class = nullptr;
PyObject* scanner_class = nullptr;

// A C++ object inside a Python one; `busy` refuses a second thread while one
// works on it without the lock.
template <typename T>
struct Box {
  PyObject_HEAD T* value;
  bool busy;
};

struct TallyBox : Box<Tally> {};
struct ScannerBox : Box<Scanner> {
  PyObject* tally;  // the Tally object fed, kept alive
};

bool claim(bool& busy) noexcept {
  if (busy) {
    PyErr_SetString(PyExc_RuntimeError, "already in use by another thread");
    return false;
  }
  busy = true;
  return true;
}

// Runs `body` without the interpreter lock. Taking the lock back is where
// CPython ends a daemon thread once the interpreter is exiting, by unwinding
// its stack: so no frame of ours above this may be noexcept or own a Python
// object, whose release would then run without the lock.
template <typename Body>
void without_gil(Body body) {
  PyThreadState* const state = PyEval_SaveThread();
  body();
  PyEval_RestoreThread(state);
}

PyObject* py_str(std::string_view text) noexcept {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* py_int(std::uint64_t n) noexcept { return PyLong_FromUnsignedLongLong(n); }

// Appends a new reference to `list`, consuming it; false on failure.
bool push(PyObject* list, PyObject* item) noexcept {
  if (item == nullptr) return false;
  const int status = PyList_Append(list, item);
  Py_DECREF(item);
  return status == 0;
}

bool set(PyObject* dict, const char* key, PyObject* value) noexcept {
  if (value == nullptr) return false;
  const int status = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

PyObject* examples(const Examples& found) noexcept {
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (const Example& e : found) {
    if (!push(list.get(), Py_BuildValue("(NN)", py_int(e.row), py_str(e.raw)))) return nullptr;
  }
  return list.release();
}

std::string fourteen(std::uint64_t number) {
  std::string digits(14, '0');
  for (std::size_t i = 14; i-- > 0 && number != 0; number /= 10) {
    digits[i] = static_cast<char>('0' + number % 10);
  }
  return digits;
}

// ---- Tally -------------------------------------------------------------------

Tally& tally_of(PyObject* self) noexcept { return *reinterpret_cast<TallyBox*>(self)->value; }

int Tally_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  static const char* names[] = {"problems", nullptr};
  int problems = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$p", const_cast<char**>(names), &problems)) {
    return -1;
  }
  auto* box = reinterpret_cast<TallyBox*>(self);
  if (box->value != nullptr) {  // a scanner may hold it
    PyErr_SetString(PyExc_RuntimeError, "Tally is initialised once");
    return -1;
  }
  box->value = new (std::nothrow) Tally();
  if (box->value == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  box->value->keep_problems = problems != 0;
  return 0;
}

void Tally_dealloc(PyObject* self) noexcept {
  delete reinterpret_cast<TallyBox*>(self)->value;
  auto* const free = reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free));
  PyTypeObject* const type = Py_TYPE(self);
  free(self);
  Py_DECREF(type);
}

bool ready(PyObject* self) noexcept {
  if (reinterpret_cast<TallyBox*>(self)->value == nullptr) {
    PyErr_SetString(PyExc_ValueError, "Tally.__init__ was not called");
    return false;
  }
  return true;
}

// Ready, and not being fed by another thread.
bool idle(PyObject* self) noexcept {
  if (!ready(self)) return false;
  if (reinterpret_cast<TallyBox*>(self)->busy) {
    PyErr_SetString(PyExc_RuntimeError, "the tally is in use by another thread");
    return false;
  }
  return true;
}

// The sorted, distinct indexes of `lost` (a sequence of ints, or None).
bool lost_indexes(PyObject* lost, std::vector<std::size_t>& out, Py_ssize_t cells) {
  if (lost == nullptr || lost == Py_None) return true;
  const Ref list(PySequence_List(lost));
  if (!list) return false;
  const Py_ssize_t n = PyList_Size(list.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_ssize_t index = PyNumber_AsSsize_t(PyList_GetItem(list.get(), i), PyExc_IndexError);
    if (index == -1 && PyErr_Occurred() != nullptr) return false;
    if (index < 0 || index >= cells) {
      PyErr_SetString(PyExc_IndexError, "lost_digits holds an index outside the cells");
      return false;
    }
    out.push_back(static_cast<std::size_t>(index));
  }
  std::sort(out.begin(), out.end());
  return true;
}

PyObject* Tally_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"first_row", "cells", "lost_digits", nullptr};
  unsigned long long first_row = 0;
  PyObject* cells = nullptr;
  PyObject* lost = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "KO|O", const_cast<char**>(names), &first_row,
                                   &cells, &lost) ||
      !ready(self)) {
    return nullptr;
  }
  auto* box = reinterpret_cast<TallyBox*>(self);
  return tevora_py::guarded([&]() -> PyObject* {
    std::vector<std::size_t> lost_at;
    tevora_py::CellTexts texts;
    {
      // Released before the lock is: the texts are copies.
      const Ref list(PyList_Check(cells) ? Ref::borrow(cells) : Ref(PySequence_List(cells)));
      if (!list) return nullptr;
      if (!lost_indexes(lost, lost_at, PyList_Size(list.get()))) return nullptr;
      if (!tevora_py::collect(list.get(), texts)) return nullptr;
    }
    if (!claim(box->busy)) return nullptr;
    bool failed = false;
    without_gil([&] {
      try {
        std::uint64_t row = first_row;
        std::size_t next_lost = 0;
        std::size_t index = 0;
        texts.for_each([&](tevora_py::CellTexts::Cell& cell) {
          bool is_lost = false;
          while (next_lost < lost_at.size() && lost_at[next_lost] <= index) {
            is_lost = is_lost || lost_at[next_lost] == index;
            ++next_lost;
          }
          box->value->add(row++, cell.text(), is_lost);
          ++index;
        });
      } catch (const std::bad_alloc&) {
        failed = true;
      }
    });
    box->busy = false;
    if (failed) return PyErr_NoMemory();
    Py_RETURN_NONE;
  });
}

PyObject* Tally_add_arrow(PyObject* self, PyObject* args) {
  unsigned long long first_row = 0;
  PyObject* column = nullptr;
  if (!PyArg_ParseTuple(args, "KO", &first_row, &column) || !ready(self)) return nullptr;
  auto* box = reinterpret_cast<TallyBox*>(self);
  return tevora_py::guarded(
      [&]() -> PyObject* { return add_arrow(*box->value, box->busy, first_row, column); });
}

PyObject* Tally_take_problems(PyObject* self, PyObject* /*unused*/) {
  if (!idle(self)) return nullptr;
  Tally& tally = tally_of(self);
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (const Problem& p : tally.problems) {
    // The flags name the heuristics and lost digits; a wrong check digit is
    // the row's reason when nothing refused the cell.
    std::string flags;
    for (std::size_t k = 1; k < kFlagNames.size(); ++k) {
      if ((p.flags & (1U << k)) == 0) continue;
      if (!flags.empty()) flags += ' ';
      flags += kFlagNames[k];
    }
    std::string reason;
    std::string message;
    if (p.reason >= 0) {
      reason = reason_name(p.reason);
      message = reason_message(p.reason);
    } else if ((p.flags & kWrongCheckDigit) != 0) {
      reason = "wrong_check_digit";
      message = "the check digit should be " + std::to_string(p.expected);
    } else {
      reason = "flagged";
    }
    PyObject* item = Py_BuildValue("(NNNNN)", py_int(p.row), py_str(p.raw), py_str(reason),
                                   py_str(message), py_str(flags));
    if (!push(list.get(), item)) return nullptr;
  }
  tally.problems.clear();
  return list.release();
}

constexpr std::string_view kCleaningNames[] = {"removed_whitespace", "removed_separators",
                                               "dropped_fraction"};
constexpr std::string_view kFlagKinds[] = {"looks_like_internal_code", "measure_field_looks_zeroed",
                                           "restricted_circulation", "publication_or_coupon"};

PyObject* Tally_summary(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"collisions", nullptr};
  Py_ssize_t limit = 10;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|n", const_cast<char**>(names), &limit) ||
      !idle(self)) {
    return nullptr;
  }
  return tevora_py::guarded([&]() -> PyObject* {
    tally_of(self).flush();
    const Tally& t = tally_of(self);
    Ref d(PyDict_New());
    if (!d) return nullptr;
    PyObject* dict = d.get();
    if (!set(dict, "cells", py_int(t.cells)) || !set(dict, "gtins", py_int(t.gtins)) ||
        !set(dict, "valid", py_int(t.valid)) || !set(dict, "cleaned", py_int(t.cleaned)) ||
        !set(dict, "scientific", py_int(t.scientific)) ||
        !set(dict, "scientific_examples", examples(t.scientific_examples)) ||
        !set(dict, "lost_digits", py_int(t.lost_digits)) ||
        !set(dict, "lost_digits_examples", examples(t.lost_digits_examples)) ||
        !set(dict, "duplicates", py_int(t.duplicates)) || !set(dict, "ragged", py_int(t.ragged)) ||
        !set(dict, "stray_quotes", py_int(t.stray_quotes)) ||
        !set(dict, "collision_keys", py_int(t.collisions.size())) ||
        !set(dict, "collision_rows", py_int(t.collision_rows)) ||
        !set(dict, "distinct_keys", py_int(t.keys().size())) ||
        !set(dict, "memory", py_int(t.memory()))) {
      return nullptr;
    }
    Ref wrong(PyList_New(0));
    if (!wrong) return nullptr;
    for (const auto& [row, raw, expected] : t.wrong) {
      if (!push(wrong.get(), Py_BuildValue("(NNI)", py_int(row), py_str(raw), expected))) {
        return nullptr;
      }
    }
    if (!set(dict, "wrong", wrong.release())) return nullptr;
    Ref refused(PyList_New(0));
    if (!refused) return nullptr;
    for (const int reason : t.reason_order) {
      const auto r = static_cast<std::size_t>(reason);
      if (!push(refused.get(),
                Py_BuildValue("(NNNN)", py_str(reason_name(reason)), py_int(t.refused[r]),
                              py_str(reason_message(reason)), examples(t.refused_examples[r])))) {
        return nullptr;
      }
    }
    if (!set(dict, "refused", refused.release())) return nullptr;
    Ref cleaning(PyList_New(0));
    if (!cleaning) return nullptr;
    for (std::size_t k = 0; k < 3; ++k) {
      if (!push(cleaning.get(),
                Py_BuildValue("(NNN)", py_str(kCleaningNames[k]), py_int(t.cleaning[k]),
                              examples(t.cleaning_examples[k])))) {
        return nullptr;
      }
    }
    if (!set(dict, "cleaning", cleaning.release())) return nullptr;
    Ref encodings(PyList_New(0));
    if (!encodings) return nullptr;
    for (std::size_t k = 0; k < 4; ++k) {
      if (t.encodings[k] == 0) continue;
      const std::string_view name = tevora::encoding_name(static_cast<tevora::Encoding>(k));
      if (!push(encodings.get(), Py_BuildValue("(NN)", py_str(name), py_int(t.encodings[k])))) {
        return nullptr;
      }
    }
    if (!set(dict, "encodings", encodings.release())) return nullptr;
    Ref allocations(PyList_New(0));
    if (!allocations) return nullptr;
    for (const tevora::Allocation::Kind kind : t.allocation_order) {
      const tevora::Allocation a(kind);
      if (!push(allocations.get(),
                Py_BuildValue("(NNN)", py_str(a.name()), py_int(t.allocations[kind]),
                              py_str(a.description())))) {
        return nullptr;
      }
    }
    if (!set(dict, "allocations", allocations.release())) return nullptr;
    Ref flags(PyList_New(0));
    if (!flags) return nullptr;
    for (std::size_t k = 0; k < 4; ++k) {
      if (!push(flags.get(), Py_BuildValue("(NNN)", py_str(kFlagKinds[k]), py_int(t.flags[k]),
                                           examples(t.flag_examples[k])))) {
        return nullptr;
      }
    }
    if (!set(dict, "flags", flags.release())) return nullptr;
    Ref collisions(PyList_New(0));
    if (!collisions) return nullptr;
    const std::size_t shown =
        std::min(t.collisions.size(), static_cast<std::size_t>(std::max<Py_ssize_t>(limit, 0)));
    for (std::size_t k = 0; k < shown; ++k) {
      const Tally::Collision& c = t.collisions[k];
      Ref rows(PyList_New(0));
      if (!rows) return nullptr;
      for (const auto& [row, gtin] : c.rows) {
        if (!push(rows.get(), Py_BuildValue("(NN)", py_int(row), py_str(fourteen(gtin))))) {
          return nullptr;
        }
      }
      if (!push(collisions.get(), Py_BuildValue("(NNN)", py_str(fourteen(c.prefix * 10)),
                                                rows.release(), py_int(c.count)))) {
        return nullptr;
      }
    }
    if (!set(dict, "collisions", collisions.release())) return nullptr;
    return d.release();
  });
}

PyObject* Tally_get(PyObject* self, void* closure) noexcept {
  if (!ready(self) || reinterpret_cast<TallyBox*>(self)->busy) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_RuntimeError, "the tally is in use by another thread");
    return nullptr;
  }
  try {
    tally_of(self).flush();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  const Tally& t = tally_of(self);
  switch (reinterpret_cast<std::intptr_t>(closure)) {
    case 0:
      return py_int(t.cells);
    case 1:
      return py_int(t.gtins);
    case 2:
      return py_int(t.valid);
    case 3:
      return py_int(t.cells - t.gtins - t.refused[tevora::Reason::Empty]);
    case 4:
      return py_int(t.lost_digits);
    case 5:
      return py_int(t.keys().size());
    default:
      return py_int(t.memory());
  }
}

PyMethodDef tally_methods[] = {
    {"add", as_method(Tally_add), METH_VARARGS | METH_KEYWORDS,
     "add(first_row, cells, lost_digits=None)\n--\n\nAdds one chunk of a column's cells."},
    {"add_arrow", as_method(Tally_add_arrow), METH_VARARGS,
     "add_arrow(first_row, column)\n--\n\nAdds an Arrow array or stream of cells, read in place."},
    {"take_problems", as_method(Tally_take_problems), METH_NOARGS,
     "take_problems()\n--\n\nThe problem cells gathered since the last call."},
    {"summary", as_method(Tally_summary), METH_VARARGS | METH_KEYWORDS,
     "summary(collisions=10)\n--\n\nEverything the report shows, as a dict."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* Tally_get_keep(PyObject* self, void* /*closure*/) noexcept {
  if (!ready(self)) return nullptr;
  return PyBool_FromLong(tally_of(self).keep_problems ? 1 : 0);
}

int Tally_set_keep(PyObject* self, PyObject* value, void* /*closure*/) noexcept {
  if (!ready(self)) return -1;
  const int keep = value != nullptr ? PyObject_IsTrue(value) : 0;
  if (keep < 0) return -1;
  tally_of(self).keep_problems = keep != 0;
  return 0;
}

#define TALLY_GETTER(name, n) \
  { name, Tally_get, nullptr, nullptr, reinterpret_cast<void*>(n) }  // NOLINT
PyGetSetDef tally_getters[] = {
    TALLY_GETTER("cells", 0),
    TALLY_GETTER("gtins", 1),
    TALLY_GETTER("valid", 2),
    TALLY_GETTER("refused_count", 3),
    TALLY_GETTER("lost_digits", 4),
    TALLY_GETTER("distinct_keys", 5),
    TALLY_GETTER("memory", 6),
    {"keep_problems", Tally_get_keep, Tally_set_keep, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- CsvScanner ----------------------------------------------------------------

int Scanner_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"delimiter", "quote",     "column",         "mode",
                                "tally",     "key",       "explain",        "added",
                                "width",     "quote_all", "ascii_messages", nullptr};
  int delimiter = 0;
  PyObject* quote = Py_None;
  unsigned int column = 0;
  const char* mode = nullptr;
  PyObject* tally = Py_None;
  int key = 0;
  int explain = 0;
  PyObject* added = nullptr;
  unsigned int width = 0;
  int quote_all = 0;
  int ascii = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$iOIsOppOIpp", const_cast<char**>(names),
                                   &delimiter, &quote, &column, &mode, &tally, &key, &explain,
                                   &added, &width, &quote_all, &ascii)) {
    return -1;
  }
  ScanOptions options;
  if (delimiter <= 0 || delimiter > 127 || delimiter == '\r' || delimiter == '\n') {
    PyErr_SetString(PyExc_ValueError, "delimiter must be one ASCII byte other than CR and LF");
    return -1;
  }
  options.dialect.delimiter = static_cast<char>(delimiter);
  options.dialect.quote = -1;
  if (quote != Py_None) {
    const long q = PyLong_AsLong(quote);
    if (q == -1 && PyErr_Occurred() != nullptr) return -1;
    if (q <= 0 || q > 127 || q == '\r' || q == '\n' || q == delimiter) {
      PyErr_SetString(PyExc_ValueError,
                      "quote must be one ASCII byte, not the delimiter, CR or LF");
      return -1;
    }
    options.dialect.quote = static_cast<int>(q);
  }
  const std::string_view mode_name = mode != nullptr ? mode : "";
  if (mode_name == "check") {
    options.mode = Mode::Check;
  } else if (mode_name == "clean") {
    options.mode = Mode::Clean;
  } else if (mode_name == "measure") {
    options.mode = Mode::Measure;
  } else {
    PyErr_SetString(PyExc_ValueError, "mode must be \"check\", \"clean\" or \"measure\"");
    return -1;
  }
  if (tally != Py_None && !PyObject_IsInstance(tally, tally_class)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "tally must be a Tally or None");
    return -1;
  }
  if (tally != Py_None && !ready(tally)) return -1;
  options.column = column;
  options.key = key != 0;
  options.explain = explain != 0;
  options.width = width;
  options.quote_all = quote_all != 0;
  options.ascii_messages = ascii != 0;
  return tevora_py::guarded([&]() -> int {
    if (added != nullptr) {
      const Ref list(PySequence_List(added));
      if (!list) return -1;
      for (Py_ssize_t i = 0; i < PyList_Size(list.get()); ++i) {
        const Ref utf8(PyUnicode_AsUTF8String(PyList_GetItem(list.get(), i)));
        char* text = nullptr;
        Py_ssize_t size = 0;
        if (!utf8 || PyBytes_AsStringAndSize(utf8.get(), &text, &size) < 0) return -1;
        options.added.emplace_back(text, static_cast<std::size_t>(size));
      }
    }
    auto* box = reinterpret_cast<ScannerBox*>(self);
    if (box->value != nullptr) {
      PyErr_SetString(PyExc_RuntimeError, "CsvScanner is initialised once");
      return -1;
    }
    Tally* t = tally == Py_None ? nullptr : &tally_of(tally);
    box->value = new Scanner(std::move(options), t);
    Py_INCREF(tally);
    box->tally = tally;
    return 0;
  });
}

void Scanner_dealloc(PyObject* self) noexcept {
  auto* box = reinterpret_cast<ScannerBox*>(self);
  delete box->value;
  Py_XDECREF(box->tally);
  auto* const free = reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free));
  PyTypeObject* const type = Py_TYPE(self);
  free(self);
  Py_DECREF(type);
}

// Runs `step` on the scanner without the lock; the output as bytes.
template <typename Step>
PyObject* scan(PyObject* self, Step step) {
  auto* box = reinterpret_cast<ScannerBox*>(self);
  if (box->value == nullptr) {
    PyErr_SetString(PyExc_ValueError, "CsvScanner.__init__ was not called");
    return nullptr;
  }
  bool* tally_busy =
      box->tally != Py_None ? &reinterpret_cast<TallyBox*>(box->tally)->busy : nullptr;
  if (!claim(box->busy)) return nullptr;
  if (tally_busy != nullptr && !claim(*tally_busy)) {
    box->busy = false;
    return nullptr;
  }
  std::string out;
  bool ok = false;
  bool no_memory = false;
  without_gil([&] {
    try {
      ok = step(*box->value, out);
    } catch (const std::bad_alloc&) {
      no_memory = true;
    }
  });
  box->busy = false;
  if (tally_busy != nullptr) *tally_busy = false;
  if (no_memory || box->value->out_of_memory()) return PyErr_NoMemory();
  if (!ok) {
    PyErr_SetString(PyExc_ValueError, box->value->error().c_str());
    return nullptr;
  }
  return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject* Scanner_feed(PyObject* self, PyObject* data) {
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  // Read without the lock: bytes never change, and the caller's reference
  // keeps them alive for the call.
  if (PyBytes_AsStringAndSize(data, &bytes, &size) < 0) return nullptr;
  return scan(self, [&](Scanner& s, std::string& out) {
    out.reserve(static_cast<std::size_t>(size) + static_cast<std::size_t>(size) / 8);
    return s.feed({bytes, static_cast<std::size_t>(size)}, out);
  });
}

PyObject* Scanner_finish(PyObject* self, PyObject* /*unused*/) {
  return scan(self, [](Scanner& s, std::string& out) { return s.finish(out); });
}

PyObject* Scanner_get(PyObject* self, void* closure) noexcept {
  const Scanner* s = reinterpret_cast<ScannerBox*>(self)->value;
  if (s == nullptr) {
    PyErr_SetString(PyExc_ValueError, "CsvScanner.__init__ was not called");
    return nullptr;
  }
  switch (reinterpret_cast<std::intptr_t>(closure)) {
    case 0:
      return py_int(s->rows);
    case 1:
      return py_int(s->line());
    case 2:
      return py_int(s->gtins);
    case 3:
      return py_int(s->changed);
    case 4:
      return py_int(s->kept);
    case 5:
      return py_int(s->ragged);
    case 6:
      return py_int(s->stray_quotes);
    case 7:
      return py_int(s->widest);
    default:
      return py_int(s->header_width);
  }
}

PyMethodDef scanner_methods[] = {
    {"feed", as_method(Scanner_feed), METH_O,
     "feed(data)\n--\n\nReads the next bytes; returns the output bytes (clean mode)."},
    {"finish", as_method(Scanner_finish), METH_NOARGS,
     "finish()\n--\n\nEnds the input; returns the last output bytes."},
    {nullptr, nullptr, 0, nullptr},
};

#define SCANNER_GETTER(name, n) \
  { name, Scanner_get, nullptr, nullptr, reinterpret_cast<void*>(n) }  // NOLINT
PyGetSetDef scanner_getters[] = {
    SCANNER_GETTER("rows", 0),         SCANNER_GETTER("line", 1),
    SCANNER_GETTER("gtins", 2),        SCANNER_GETTER("changed", 3),
    SCANNER_GETTER("kept", 4),         SCANNER_GETTER("ragged", 5),
    SCANNER_GETTER("stray_quotes", 6), SCANNER_GETTER("widest", 7),
    SCANNER_GETTER("header_width", 8), {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- records() -------------------------------------------------------------------

struct Records {
  std::string_view data;
  int quote = -1;
  std::size_t limit = 0;
  std::vector<std::vector<std::string>> rows;
  std::vector<bool> all_quoted;
  std::vector<std::string> current;
  bool quoted = true;
  std::uint64_t consumed = 0;
  bool failed = false;

  void field(const tevora::CsvField& f) noexcept {
    if (rows.size() >= limit || failed) return;
    try {
      std::string_view raw = data.substr(f.begin, f.end - f.begin);
      std::string text;
      if (f.quoted && !f.malformed()) {
        raw = raw.substr(1, raw.size() - 2);
        for (std::size_t i = 0; i < raw.size(); ++i) {
          text += raw[i];
          if (f.doubled && raw[i] == static_cast<char>(quote)) ++i;
        }
      } else {
        text = raw;
      }
      quoted = quoted && f.quoted;
      current.push_back(std::move(text));
    } catch (const std::bad_alloc&) {
      failed = true;
    }
  }
  void record(const tevora::CsvRecord& r) noexcept {
    if (rows.size() >= limit || failed) return;
    try {
      if (r.blank()) current.clear();  // a blank line has no fields, as csv.reader says
      rows.push_back(std::move(current));
      all_quoted.push_back(quoted && !r.blank());
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    current.clear();
    quoted = true;
    consumed = r.end;
  }
};

PyObject* records(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"data", "delimiter", "quote", "limit", "final", nullptr};
  const char* bytes = nullptr;
  Py_ssize_t size = 0;
  int delimiter = 0;
  PyObject* quote = Py_None;
  Py_ssize_t limit = 0;
  int final = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y#iOn|p", const_cast<char**>(names), &bytes,
                                   &size, &delimiter, &quote, &limit, &final)) {
    return nullptr;
  }
  return tevora_py::guarded([&]() -> PyObject* {
    tevora::CsvDialect dialect{static_cast<char>(delimiter), -1};
    if (quote != Py_None) {
      dialect.quote = static_cast<int>(PyLong_AsLong(quote));
      if (PyErr_Occurred() != nullptr) return nullptr;
    }
    Records r;
    r.data = {bytes, static_cast<std::size_t>(size)};
    r.quote = dialect.quote;
    r.limit = static_cast<std::size_t>(std::max<Py_ssize_t>(limit, 0));
    tevora::CsvFields fields(dialect);
    fields.feed(r.data, r);
    if (final != 0) fields.finish(r);
    if (r.failed) return PyErr_NoMemory();
    Ref rows(PyList_New(0));
    Ref quoted(PyList_New(0));
    if (!rows || !quoted) return nullptr;
    for (std::size_t i = 0; i < r.rows.size(); ++i) {
      Ref row(PyList_New(0));
      if (!row) return nullptr;
      for (const std::string& text : r.rows[i]) {
        if (!push(row.get(), py_str(text))) return nullptr;
      }
      if (!push(rows.get(), row.release())) return nullptr;
      if (!push(quoted.get(), PyBool_FromLong(r.all_quoted[i] ? 1 : 0))) return nullptr;
    }
    return Py_BuildValue("(NNN)", rows.release(), quoted.release(), py_int(r.consumed));
  });
}

PyMethodDef functions[] = {
    {"records", as_method(records), METH_VARARGS | METH_KEYWORDS,
     "records(data, delimiter, quote, limit, final=False)\n--\n\n"
     "The first records of data, their fields as str."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_files",
    "tevora over files: the report's tally and the CSV scanner, in C++ with no Python object\n"
    "per row.",
    0,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* make_class(const char* name, int size, PyType_Slot* slots) noexcept {
  PyType_Spec spec = {name, size, 0, Py_TPFLAGS_DEFAULT, slots};
  return PyType_FromSpec(&spec);
}

PyObject* initialise() noexcept {
  if (tally_class != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "_files can be initialised only once per interpreter process");
    return nullptr;
  }
  static PyType_Slot tally_slots[] = {
      {Py_tp_doc, const_cast<char*>("What `tevora check` reports about one column.")},
      {Py_tp_init, reinterpret_cast<void*>(Tally_init)},
      {Py_tp_dealloc, reinterpret_cast<void*>(Tally_dealloc)},
      {Py_tp_methods, tally_methods},
      {Py_tp_getset, tally_getters},
      {0, nullptr},
  };
  static PyType_Slot scanner_slots[] = {
      {Py_tp_doc, const_cast<char*>("One column of a CSV file, read and written back.")},
      {Py_tp_init, reinterpret_cast<void*>(Scanner_init)},
      {Py_tp_dealloc, reinterpret_cast<void*>(Scanner_dealloc)},
      {Py_tp_methods, scanner_methods},
      {Py_tp_getset, scanner_getters},
      {0, nullptr},
  };
  Ref module(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
  if (!module) return nullptr;
  Ref tally(make_class("tevora._files.Tally", sizeof(TallyBox), tally_slots));
  Ref scanner(make_class("tevora._files.CsvScanner", sizeof(ScannerBox), scanner_slots));
  if (!tally || !scanner || PyObject_SetAttrString(module.get(), "Tally", tally.get()) < 0 ||
      PyObject_SetAttrString(module.get(), "CsvScanner", scanner.get()) < 0) {
    return nullptr;
  }
  tally_class = tally.release();
  scanner_class = scanner.release();
  return module.release();
}

}  // namespace
}  // namespace tevora_files

PyMODINIT_FUNC PyInit__files() { return tevora_files::initialise(); }
