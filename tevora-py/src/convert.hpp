// convert.hpp: Python cell values to cell texts, and the functions' arguments.
//
// The conversion decides nothing about GTINs and cleans nothing: it renders a
// value to text exactly, and the parser does the rest.

#ifndef TEVORA_PY_CONVERT_HPP_
#define TEVORA_PY_CONVERT_HPP_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "pyref.hpp"

namespace tevora_py {

// The texts of a whole column, back to back in one buffer.
class CellTexts {
 public:
  std::size_t size() const noexcept { return ends_.size(); }
  std::string_view operator[](std::size_t i) const noexcept {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_).substr(begin, ends_[i] - begin);
  }

 private:
  friend bool collect(PyObject* list, CellTexts& out);
  std::string bytes_;
  std::vector<std::size_t> ends_;
};

// Appends the cell text of one value to `out`: "" for None, a str's UTF-8,
// str() of an int, the float layout below for a float. On failure returns
// false with the Python exception set. May throw std::bad_alloc.
bool as_text(PyObject* value, std::string& out);

// Converts every item of a list, read from its storage, in order. The walk
// stops at the list's starting length or its current one, whichever is
// smaller, since converting an int may run Python code that changes the list.
bool collect(PyObject* list, CellTexts& out);

// A float as text: shortest round-trip digits, positional from 1e-4 up to
// 1e16 with at least one fraction digit, scientific otherwise ("1e16",
// "1.5e-7"), and "NaN", "inf", "-inf". Writes at most kFloatTextMax bytes.
inline constexpr std::size_t kFloatTextMax = 32;
std::size_t format_float(double value, char* out) noexcept;

// The single argument of a module function, by position or by keyword, with
// the interpreter's messages for a wrong call. Null with the exception set.
PyObject* take_value(const char* function, PyObject* args, PyObject* kwargs) noexcept;
// The same for the column functions, which also require a list.
PyObject* take_values(const char* function, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace tevora_py

#endif  // TEVORA_PY_CONVERT_HPP_
