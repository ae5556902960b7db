// cell_texts.hpp: the texts of a whole column, in one buffer.
//
// A column function converts every cell before any GTIN work, so the texts
// of a million cells live at once: each takes a one-byte header and its
// bytes, nothing more. A pass over the column may then replace a text by the
// fourteen digits of its result, in place, so no second buffer is needed.

#ifndef TEVORA_PY_CELL_TEXTS_HPP_
#define TEVORA_PY_CELL_TEXTS_HPP_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tevora_py {

class CellTexts {
  // A header is one byte: how the text was replaced, and a length below 63,
  // or 63 and a 64-bit length after it.
  static constexpr unsigned char kPacked = 0x80;  // the payload holds packed digits
  static constexpr unsigned char kPadded = 0x40;  // the digits are zeros, then the text
  static constexpr unsigned char kLongLength = 0x3F;

 public:
  CellTexts() noexcept = default;
  CellTexts(const CellTexts&) = delete;
  CellTexts& operator=(const CellTexts&) = delete;
  ~CellTexts();

  std::size_t size() const noexcept { return cells_; }

  // How many cells are coming, to size the buffer once.
  void expect(std::size_t cells) noexcept { expected_ = cells; }

  // Room for at most `max` bytes of the next text; `commit` then says how
  // many were written. Throws std::bad_alloc when memory runs out.
  char* reserve(std::size_t max) {
    header_size_ = max < kLongLength ? 1 : 9;
    const std::size_t needed = used_ + header_size_ + max;
    if (needed > capacity_) grow(needed);
    return base_ + used_ + header_size_;
  }
  void commit(std::size_t length) noexcept {
    char* header = base_ + used_;
    if (header_size_ == 1) {
      *header = static_cast<char>(length);
    } else {
      const std::uint64_t long_length = length;
      *header = static_cast<char>(kLongLength);
      std::memcpy(header + 1, &long_length, 8);
    }
    used_ += header_size_ + length;
    ++cells_;
  }

  // One cell of the column, as a pass sees it.
  class Cell {
   public:
    // The text, unless it has been replaced.
    std::string_view text() const noexcept { return {payload_, length_}; }
    bool replaced() const noexcept { return (*header_ & (kPacked | kPadded)) != 0; }
    // Replaces the text by fourteen digits; the text must be at least eight
    // bytes long, as every text that holds a GTIN is.
    void replace(const char* fourteen_digits) noexcept;
    // The fourteen digits of a replaced cell.
    void digits(char* out) const noexcept;

   private:
    friend class CellTexts;
    unsigned char* header_ = nullptr;
    char* payload_ = nullptr;
    std::size_t length_ = 0;
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
  Cell cell_at(std::size_t offset) const noexcept {
    Cell cell;
    cell.header_ = reinterpret_cast<unsigned char*>(base_ + offset);
    cell.length_ = *cell.header_ & kLongLength;
    cell.payload_ = base_ + offset + 1;
    if (cell.length_ == kLongLength) [[unlikely]] {
      std::uint64_t long_length = 0;
      std::memcpy(&long_length, cell.payload_, 8);
      cell.length_ = static_cast<std::size_t>(long_length);
      cell.payload_ += 8;
    }
    return cell;
  }
  void grow(std::size_t needed);
  void clear() noexcept;

  char* base_ = nullptr;
  std::size_t expected_ = 0;  // cells
  std::size_t capacity_ = 0;  // bytes
  std::size_t used_ = 0;      // bytes written
  std::size_t cells_ = 0;
  std::size_t header_size_ = 0;  // of the text being written
};

}  // namespace tevora_py

#endif  // TEVORA_PY_CELL_TEXTS_HPP_
