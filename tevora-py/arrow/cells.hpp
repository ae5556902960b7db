// cells.hpp: the cell texts of one Arrow array, read in place.
//
// Each cell becomes exactly the text the list functions make of the Python
// value Arrow hands out for it: a string's UTF-8, an integer's decimal
// digits, a boolean's "True" or "False", a float through tevora::float_text,
// and "" for a null. The array is checked as it is read: a cell that would
// lie outside the buffers its producer declared is refused, never read.

#ifndef TEVORA_ARROW_CELLS_HPP_
#define TEVORA_ARROW_CELLS_HPP_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "abi.hpp"
#include "status.hpp"
#include "tevora/tevora.hpp"
#include "utf8.hpp"

namespace tevora_arrow {

// Room for the text of any cell that is not a string.
inline constexpr std::size_t kScratchSize = tevora::kFloatTextMax > tevora::kIntegerTextMax
                                                ? tevora::kFloatTextMax
                                                : tevora::kIntegerTextMax;

class Cells {
 public:
  enum class Kind : std::uint8_t {
    Null,
    Utf8,
    LargeUtf8,
    View,
    Bool,
    Int8,
    UInt8,
    Int16,
    UInt16,
    Int32,
    UInt32,
    Int64,
    UInt64,
    Float16,
    Float32,
    Float64,
    Dictionary,
  };

  // Reads the type and checks the array's shape. `base` is added to the
  // array's own offset (for the column of a sliced record batch); `length`,
  // when not negative, replaces its length.
  Status open(const ArrowSchema& schema, const ArrowArray& array, std::int64_t base = 0,
              std::int64_t length = -1);

  std::int64_t size() const noexcept { return length_; }
  // Whether the texts need 64-bit offsets to be written as one array.
  bool large() const noexcept;
  // Bytes of text the cells hold, if known without reading them; else 0.
  std::size_t text_bytes() const noexcept;

  // Calls `visit(std::string_view)` for every cell in order.
  template <typename Visit>
  Status for_each(Visit&& visit) const;

 private:
  bool is_null(std::int64_t i) const noexcept {
    if (validity_ == nullptr) return false;
    const std::int64_t bit = offset_ + i;
    return ((validity_[bit >> 3] >> (bit & 7)) & 1) == 0;
  }
  template <typename Offset, typename Visit>
  Status for_each_text(Visit& visit) const;
  // The text of cell `i`, which may be written into `scratch`.
  Status text_at(std::int64_t i, char* scratch, std::string_view& out) const;
  Status view_at(std::int64_t i, std::string_view& out) const;
  std::int64_t index_at(std::int64_t i) const noexcept;

  Kind kind_ = Kind::Null;
  Kind index_kind_ = Kind::Null;  // of a dictionary's indices
  std::int64_t length_ = 0;
  std::int64_t offset_ = 0;
  const std::uint8_t* validity_ = nullptr;
  const void* values_ = nullptr;           // offsets, views, numbers or indices
  const char* data_ = nullptr;             // the text of a string array
  std::int64_t data_end_ = 0;              // its last offset
  const char* const* variadic_ = nullptr;  // the data buffers of a view array
  const std::int64_t* variadic_sizes_ = nullptr;
  std::int64_t n_variadic_ = 0;
  std::shared_ptr<Cells> dictionary_;
};

Status bad_utf8();
Status bad_offsets();

// End of public API.  Implementation details follow.

// Cells are read in blocks: a block's offsets are checked first, and then
// its text as one range, which when it is all ASCII (nearly always) spares
// checking each cell's UTF-8.
template <typename Offset, typename Visit>
Status Cells::for_each_text(Visit& visit) const {
  constexpr std::int64_t kBlock = 64;
  const Offset* offsets = static_cast<const Offset*>(values_) + offset_;
  const auto last = static_cast<Offset>(data_end_);
  for (std::int64_t first = 0; first < length_; first += kBlock) {
    const std::int64_t end = std::min(length_, first + kBlock);
    for (std::int64_t i = first; i < end; ++i) {
      if (offsets[i + 1] < offsets[i] || offsets[i + 1] > last) [[unlikely]]
        return bad_offsets();
    }
    const bool ascii =
        is_ascii(data_ + offsets[first], static_cast<std::size_t>(offsets[end] - offsets[first]));
    for (std::int64_t i = first; i < end; ++i) {
      if (is_null(i)) {
        visit(std::string_view());
        continue;
      }
      const std::string_view text(data_ + offsets[i],
                                  static_cast<std::size_t>(offsets[i + 1] - offsets[i]));
      if (!ascii && !is_utf8(text.data(), text.size())) [[unlikely]]
        return bad_utf8();
      visit(text);
    }
  }
  return Status::ok();
}

template <typename Visit>
Status Cells::for_each(Visit&& visit) const {
  if (kind_ == Kind::Utf8) return for_each_text<std::int32_t>(visit);
  if (kind_ == Kind::LargeUtf8) return for_each_text<std::int64_t>(visit);
  char scratch[kScratchSize];
  for (std::int64_t i = 0; i < length_; ++i) {
    std::string_view text;
    Status status = text_at(i, scratch, text);
    if (!status) [[unlikely]]
      return status;
    visit(text);
  }
  return Status::ok();
}

}  // namespace tevora_arrow

#endif  // TEVORA_ARROW_CELLS_HPP_
