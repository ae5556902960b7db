// builders.hpp: result columns written straight into Arrow buffers.
//
// Each builder is sized for the column's length up front; only a text
// column's data grows, by doubling, and is shrunk to fit when it is done.
// Appending allocates nothing else, so a column costs one pass.

#ifndef TEVORA_ARROW_BUILDERS_HPP_
#define TEVORA_ARROW_BUILDERS_HPP_

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "node.hpp"
#include "tevora/gtin14.hpp"
#include "tevora/internal/words.hpp"

namespace tevora_arrow {

// A validity bitmap, made only when the first null arrives: a column
// without nulls writes no bits at all.
class Validity {
 public:
  explicit Validity(std::int64_t length) : length_(length) {}
  void set(std::int64_t i) noexcept {
    if (bits_) bits_.get()[i >> 3] |= static_cast<std::uint8_t>(1U << (i & 7));
  }
  void null(std::int64_t i) {
    if (!bits_) start(i);
    ++nulls_;
  }
  // Hands the bitmap, or nothing when no cell is null, to `node`.
  void finish(Node& node) {
    node.null_count = nulls_;
    node.buffers.push_back(std::move(bits_));
  }

 private:
  // Every cell before `i` was valid.
  void start(std::int64_t i) {
    bits_ = allocate(static_cast<std::size_t>((length_ + 7) / 8), true);
    std::memset(bits_.get(), 0xFF, static_cast<std::size_t>(i >> 3));
    bits_.get()[i >> 3] = static_cast<std::uint8_t>((1U << (i & 7)) - 1);
  }

  Memory bits_;
  std::int64_t length_;
  std::int64_t nulls_ = 0;
};

// Copies `size` bytes; `to` must have 16 bytes of room past them. Cells are
// mostly short, and a call to memcpy costs more than the copy itself.
inline void copy_text(std::uint8_t* to, const char* from, std::size_t size) noexcept {
  if (size == tevora::Gtin14::kSize) {
    // Fourteen digits the core has just written a word at a time: loads that
    // lie within one of its stores are forwarded from it, and an overlapping
    // load across two would wait for both to reach the cache.
    std::uint64_t head;
    std::uint32_t middle;
    std::uint16_t tail;
    std::memcpy(&head, from, 8);
    std::memcpy(&middle, from + 8, 4);
    std::memcpy(&tail, from + 12, 2);
    std::memcpy(to, &head, 8);
    std::memcpy(to + 8, &middle, 4);
    std::memcpy(to + 12, &tail, 2);
  } else if (size >= 8 && size <= 16) {
    std::uint64_t head;
    std::uint64_t tail;
    std::memcpy(&head, from, 8);
    std::memcpy(&tail, from + size - 8, 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + size - 8, &tail, 8);
  } else if (size >= 4 && size < 8) {
    std::uint32_t head;
    std::uint32_t tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + size - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + size - 4, &tail, 4);
  } else if (size < 4) {
    for (std::size_t i = 0; i < size; ++i) to[i] = static_cast<std::uint8_t>(from[i]);
  } else {
    std::memcpy(to, from, size);
  }
}

// Writes the last `size` (8 to 14) digits of `gtin`; `to` must have 16
// bytes of room. The digits are read as the two words the parser stored,
// which are forwarded from its stores, and shifted into place in registers:
// a read of a tail in place would straddle those stores and wait for them.
inline void copy_digits(std::uint8_t* to, const tevora::Gtin14& gtin, std::size_t size) noexcept {
  using tevora::internal::store8;
  const auto [low, high] = tevora::internal::Gtin14Access::to_words(gtin);
  const auto shift = static_cast<unsigned>(tevora::Gtin14::kSize - size) * 8;  // under 64
  store8(to, shift == 0 ? low : (low >> shift) | (high << (64 - shift)));
  store8(to + 8, high >> shift);
}

// Room kept past a text column's data for copy_text.
inline constexpr std::size_t kSlack = 16;

// A `string` (32-bit offsets) or `large_string` (64-bit) column; one that
// is not `Nullable` spares every append its look at the validity bitmap.
template <typename Offset, bool Nullable = true>
class TextColumn {
 public:
  TextColumn(std::int64_t length, std::size_t bytes_hint)
      : validity_(length),
        offsets_(allocate(static_cast<std::size_t>(length + 1) * sizeof(Offset))),
        data_(allocate(bytes_hint + kSlack)),
        capacity_(bytes_hint) {
    std::memset(offsets_.get(), 0, sizeof(Offset));
  }

  // Inlined into the per-cell loops, where a call cost a tenth of a store
  // form: the compiler left it out of line for its size.
  [[gnu::always_inline]] void append(std::string_view text) {
    if (text.size() > capacity_ - size_) [[unlikely]]
      grow(text.size());
    copy_text(data_.get() + size_, text.data(), text.size());
    size_ += text.size();
    if constexpr (Nullable) validity_.set(cells_);
    end_cell();
  }
  // The last `size` (8 to 14) digits of `gtin`.
  void append_digits(const tevora::Gtin14& gtin, std::size_t size) {
    if (size > capacity_ - size_) [[unlikely]]
      grow(size);
    copy_digits(data_.get() + size_, gtin, size);
    size_ += size;
    if constexpr (Nullable) validity_.set(cells_);
    end_cell();
  }
  void append_null() requires Nullable {
    validity_.null(cells_);
    end_cell();
  }

  NodePtr finish(std::string name) {
    auto node = std::make_shared<Node>();
    node->format = sizeof(Offset) == 4 ? "u" : "U";
    node->name = std::move(name);
    node->length = cells_;
    validity_.finish(*node);
    reallocate(data_, size_);
    node->buffers.push_back(std::move(offsets_));
    node->buffers.push_back(std::move(data_));
    return node;
  }

 private:
  void end_cell() noexcept {
    const auto end = static_cast<Offset>(size_);
    std::memcpy(offsets_.get() + static_cast<std::size_t>(++cells_) * sizeof(Offset), &end,
                sizeof end);
  }
  [[gnu::noinline]] void grow(std::size_t more) {
    if (more > static_cast<std::size_t>(std::numeric_limits<Offset>::max()) - size_) {
      throw std::length_error("more than 2 GiB of text for one string array");
    }
    std::size_t capacity = capacity_ * 2 > size_ + more ? capacity_ * 2 : size_ + more;
    capacity = std::min(capacity, static_cast<std::size_t>(std::numeric_limits<Offset>::max()));
    reallocate(data_, capacity + kSlack);
    capacity_ = capacity;
  }

  Validity validity_;
  Memory offsets_;
  Memory data_;
  std::size_t capacity_;
  std::size_t size_ = 0;
  std::int64_t cells_ = 0;
};

// A `bool` column.
class BoolColumn {
 public:
  explicit BoolColumn(std::int64_t length)
      : validity_(length), bits_(allocate(static_cast<std::size_t>((length + 7) / 8), true)) {}
  void append(bool value) noexcept {
    if (value) bits_.get()[cells_ >> 3] |= static_cast<std::uint8_t>(1U << (cells_ & 7));
    validity_.set(cells_++);
  }
  void append_null() {
    validity_.null(cells_);
    ++cells_;
  }
  NodePtr finish(std::string name);

 private:
  Validity validity_;
  Memory bits_;
  std::int64_t cells_ = 0;
};

// A column of one integer type; `format` is its Arrow format.
template <typename T>
class IntColumn {
 public:
  explicit IntColumn(std::int64_t length)
      : validity_(length), values_(allocate(static_cast<std::size_t>(length) * sizeof(T), true)) {}
  void append(T value) noexcept {
    std::memcpy(values_.get() + static_cast<std::size_t>(cells_) * sizeof(T), &value, sizeof value);
    validity_.set(cells_++);
  }
  void append_null() {
    validity_.null(cells_);
    ++cells_;
  }
  NodePtr finish(std::string name, const char* format, NodePtr dictionary = nullptr) {
    auto node = std::make_shared<Node>();
    node->format = format;
    node->name = std::move(name);
    node->length = cells_;
    validity_.finish(*node);
    node->buffers.push_back(std::move(values_));
    node->dictionary = std::move(dictionary);
    return node;
  }

 private:
  Validity validity_;
  Memory values_;
  std::int64_t cells_ = 0;
};

// A dictionary-encoded column over a fixed list of texts: int8 indices.
using DictColumn = IntColumn<std::int8_t>;

// The `string` dictionary of `count` texts, the i-th being `text(i)`.
template <typename Text>
NodePtr dictionary_of(std::size_t count, Text text) {
  TextColumn<std::int32_t, false> column(static_cast<std::int64_t>(count), 64 * count);
  for (std::size_t i = 0; i < count; ++i) column.append(text(i));
  return column.finish("");
}

}  // namespace tevora_arrow

#endif  // TEVORA_ARROW_BUILDERS_HPP_
