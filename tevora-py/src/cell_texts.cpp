// The column buffer: its memory, and replacing a text by fourteen digits.

#include "cell_texts.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "tevora/internal/words.hpp"

namespace tevora_py {
namespace {

using tevora::internal::kEachByte;
using tevora::internal::load8;
using tevora::internal::store8;

// Eight ASCII digits as eight nibbles in four bytes.
std::uint32_t pack8(const char* digits) noexcept {
  std::uint64_t x = load8(digits);
  x = (x - 0x30 * kEachByte) & (0x0F * kEachByte);
  x = (x | (x >> 4)) & 0x00FF00FF00FF00FF;
  x = (x | (x >> 8)) & 0x0000FFFF0000FFFF;
  return static_cast<std::uint32_t>(x | (x >> 16));
}

void unpack8(std::uint32_t packed, char* digits) noexcept {
  std::uint64_t x = packed;
  x = (x | (x << 16)) & 0x0000FFFF0000FFFF;
  x = (x | (x << 8)) & 0x00FF00FF00FF00FF;
  x = (x | (x << 4)) & (0x0F * kEachByte);
  store8(digits, x + 0x30 * kEachByte);
}

}  // namespace

CellTexts::~CellTexts() { clear(); }

void CellTexts::grow(std::size_t needed) {
  // Sixteen bytes a cell hold a typical column without growing. The heap,
  // unlike a mapping of our own, keeps its pages warm from call to call.
  const std::size_t capacity = std::max({needed, 2 * capacity_, 16 * expected_, std::size_t{256}});
  void* grown = std::realloc(base_, capacity);
  if (grown == nullptr) throw std::bad_alloc();
  base_ = static_cast<char*>(grown);
  capacity_ = capacity;
}

void CellTexts::clear() noexcept {
  std::free(base_);
  base_ = nullptr;
  capacity_ = used_ = cells_ = 0;
}

void CellTexts::Cell::replace(const char* fourteen_digits) noexcept {
  // A text of plain digits needs no copy: it is the digits' tail. Eight to
  // fourteen bytes are two overlapping words.
  if (length_ <= 14 && load8(payload_) == load8(fourteen_digits + 14 - length_) &&
      load8(payload_ + length_ - 8) == load8(fourteen_digits + 6)) {
    *header_ |= kPadded;
    return;
  }
  // Otherwise digits 1 to 8 and 7 to 14 as nibbles fit the eight bytes
  // that every text holding a GTIN has.
  const std::uint32_t packed[2] = {pack8(fourteen_digits), pack8(fourteen_digits + 6)};
  std::memcpy(payload_, packed, 8);
  *header_ |= kPacked;
}

void CellTexts::Cell::digits(char* out) const noexcept {
  if ((*header_ & kPadded) != 0) {
    store8(out, 0x30 * kEachByte);
    store8(out + 6, load8(payload_ + length_ - 8));
    store8(out + 14 - length_, load8(payload_));
    return;
  }
  std::uint32_t packed[2];
  std::memcpy(packed, payload_, 8);
  unpack8(packed[0], out);
  unpack8(packed[1], out + 6);
}

}  // namespace tevora_py
