// pyref.hpp: owning references and the few helpers every binding file uses.
//
// Every translation unit is compiled with Py_LIMITED_API=0x03080000 (set by
// the build), so one binary serves CPython 3.8 and every later version.

#ifndef TEVORA_PY_PYREF_HPP_
#define TEVORA_PY_PYREF_HPP_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x03080000
#error "the extension must be built against the 3.8 stable ABI"
#endif

#include <exception>
#include <string_view>
#include <utility>

namespace tevora_py {

// Owns one reference; releases it when it goes out of scope.
class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (or null).
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

 private:
  PyObject* p_ = nullptr;
};

// A new `str` from UTF-8 text.
inline PyObject* new_str(std::string_view text) noexcept {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// A function of any calling convention as the PyCFunction that a
// PyMethodDef holds; its flags say how the interpreter calls it.
template <typename Function>
PyCFunction as_method(Function* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Runs `body`, turning a C++ exception into MemoryError so that none ever
// crosses into the interpreter; the result is then null (or false). Only
// allocation throws in this module. Not noexcept: `body` may run Python code,
// inside which the interpreter ends the thread at exit by unwinding it.
template <typename Body>
auto guarded(Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const std::exception&) {
    PyErr_NoMemory();
    return {};
  }
}

}  // namespace tevora_py

#endif  // TEVORA_PY_PYREF_HPP_
