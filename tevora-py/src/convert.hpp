// convert.hpp: Python cell values to cell texts.
//
// The conversion decides nothing about GTINs and cleans nothing: it renders a
// value to text exactly, and the parser does the rest.

#ifndef TEVORA_PY_CONVERT_HPP_
#define TEVORA_PY_CONVERT_HPP_

#include <cstddef>
#include <memory>
#include <string_view>

#include "cell_texts.hpp"
#include "pyref.hpp"

namespace tevora_py {

// One cell's text, held inline when it is short.
class CellText {
 public:
  char* reserve(std::size_t max);
  void commit(std::size_t length) noexcept { length_ = length; }
  std::string_view view() const noexcept { return {data_, length_}; }

 private:
  char inline_[128] = {};  // NOLINT(cppcoreguidelines-avoid-c-arrays)
  std::unique_ptr<char[]> heap_;
  char* data_ = inline_;
  std::size_t length_ = 0;
};

// The cell text of one value: "" for None, a str's UTF-8, str() of an int,
// tevora::float_text of a float. On failure returns false with the
// Python exception set. May throw std::bad_alloc.
bool as_text(PyObject* value, CellText& out);

// Converts every item of a list, read from its storage, in order. The walk
// stops at the list's starting length or its current one, whichever is
// smaller, since converting an int may run Python code that changes the list.
bool collect(PyObject* list, CellTexts& out);

}  // namespace tevora_py

#endif  // TEVORA_PY_CONVERT_HPP_
