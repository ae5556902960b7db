// convert.hpp: Python cell values to cell texts, and the functions' arguments.
//
// The conversion decides nothing about GTINs and cleans nothing: it renders a
// value to text exactly, and the parser does the rest.

#ifndef TEVORA_PY_CONVERT_HPP_
#define TEVORA_PY_CONVERT_HPP_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "pyref.hpp"

namespace tevora_py {

// The texts of a whole column, in list order, each behind a one-byte header
// in one buffer. A pass over the column may replace a text by the fourteen
// digits of its result, in place, so no second buffer is needed.
class CellTexts {
 public:
  CellTexts() noexcept = default;
  CellTexts(const CellTexts&) = delete;
  CellTexts& operator=(const CellTexts&) = delete;
  ~CellTexts();

  std::size_t size() const noexcept { return cells_; }

  // How many cells are coming, to size the buffer once.
  void expect(std::size_t cells) noexcept;

  // Room for at most `max` bytes of the next text; `commit` then says how
  // many were written. Throws std::bad_alloc when memory runs out.
  char* reserve(std::size_t max);
  void commit(std::size_t length) noexcept;

  // One cell of the column, as a pass sees it.
  class Cell {
   public:
    // The text, unless it has been replaced.
    std::string_view text() const noexcept { return {payload_, length_}; }
    bool replaced() const noexcept { return packed_ || padded_; }
    // Replaces the text by fourteen digits; the text must be at least eight
    // bytes long, as every text that holds a GTIN is.
    void replace(std::string_view fourteen_digits) noexcept;
    // The fourteen digits of a replaced cell.
    void digits(char* out) const noexcept;

   private:
    friend class CellTexts;
    unsigned char* header_ = nullptr;
    char* payload_ = nullptr;
    std::size_t length_ = 0;
    bool packed_ = false;
    bool padded_ = false;
  };

  // Calls `visit(Cell&)` for every cell in order.
  template <typename Visit>
  void for_each(Visit visit) noexcept {
    for (std::size_t offset = 0; offset < used_;) {
      Cell cell = cell_at(offset);
      visit(cell);
      offset = static_cast<std::size_t>(cell.payload_ + cell.length_ - base_);
    }
  }

  // Calls `visit(const Cell&)` for every cell in order, then empties the
  // column. Stops at the first visit that returns false.
  template <typename Visit>
  bool drain(Visit visit) noexcept {
    bool ok = true;
    for (std::size_t offset = 0; ok && offset < used_;) {
      const Cell cell = cell_at(offset);
      ok = visit(cell);
      offset = static_cast<std::size_t>(cell.payload_ + cell.length_ - base_);
    }
    clear();
    return ok;
  }

 private:
  Cell cell_at(std::size_t offset) const noexcept;
  void grow(std::size_t needed);
  void clear() noexcept;

  char* base_ = nullptr;
  std::size_t expected_ = 0;  // cells
  std::size_t capacity_ = 0;  // bytes
  std::size_t used_ = 0;      // bytes written
  std::size_t cells_ = 0;
  std::size_t reserved_header_ = 0;  // header bytes of the text being written
};

// One cell's text, held inline when it is short.
class CellText {
 public:
  char* reserve(std::size_t max);
  void commit(std::size_t length) noexcept { length_ = length; }
  std::string_view view() const noexcept { return {data_, length_}; }

 private:
  char inline_[128] = {};  // NOLINT(cppcoreguidelines-avoid-c-arrays)
  std::string heap_;
  char* data_ = inline_;
  std::size_t length_ = 0;
};

// Appends the cell text of one value: "" for None, a str's UTF-8, str() of an
// int, the float layout below for a float. On failure returns false with the
// Python exception set. May throw std::bad_alloc.
bool as_text(PyObject* value, CellText& out);

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
