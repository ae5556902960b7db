// Reading the type and buffers of one Arrow array, and the text of a cell.

#include "cells.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace tevora_arrow {
namespace {

using Kind = Cells::Kind;

struct Format {
  std::string_view code;
  Kind kind;
};

constexpr Format kFormats[] = {
    {"n", Kind::Null},   {"u", Kind::Utf8},    {"U", Kind::LargeUtf8}, {"vu", Kind::View},
    {"b", Kind::Bool},   {"c", Kind::Int8},    {"C", Kind::UInt8},     {"s", Kind::Int16},
    {"S", Kind::UInt16}, {"i", Kind::Int32},   {"I", Kind::UInt32},    {"l", Kind::Int64},
    {"L", Kind::UInt64}, {"e", Kind::Float16}, {"f", Kind::Float32},   {"g", Kind::Float64},
};

// What a person calls the formats that cannot be cells, for the message.
constexpr std::pair<std::string_view, std::string_view> kFormatNames[] = {
    {"z", "binary"},       {"Z", "large_binary"},
    {"vz", "binary_view"}, {"w:", "fixed_size_binary"},
    {"d:", "decimal"},     {"td", "date"},
    {"tt", "time"},        {"ts", "timestamp"},
    {"tD", "duration"},    {"ti", "interval"},
    {"+l", "list"},        {"+L", "large_list"},
    {"+vl", "list_view"},  {"+w:", "fixed_size_list"},
    {"+s", "struct"},      {"+m", "map"},
    {"+u", "union"},       {"+r", "run_end_encoded"},
};

Status unreadable(std::string_view format) {
  std::string name;
  for (const auto& [prefix, what] : kFormatNames) {
    if (format.substr(0, prefix.size()) == prefix) {
      name = " (" + std::string(what) + ")";
      break;
    }
  }
  return {Status::TypeError, "cannot read cells from an Arrow array of format '" +
                                 std::string(format) + "'" + name +
                                 ": expected strings, integers, floats, booleans or nulls"};
}

Status malformed(const char* what) {
  return {Status::ValueError, std::string("malformed Arrow array: ") + what};
}

bool is_integer(Kind kind) noexcept { return kind >= Kind::Int8 && kind <= Kind::UInt64; }

template <typename T>
T value_at(const void* values, std::int64_t i) noexcept {
  T value;
  std::memcpy(&value, static_cast<const char*>(values) + i * static_cast<std::int64_t>(sizeof(T)),
              sizeof value);
  return value;
}

// A half-precision float as the double it equals exactly.
double half_to_double(std::uint16_t half) noexcept {
  const int exponent = (half >> 10) & 0x1F;
  const int mantissa = half & 0x3FF;
  double value = 0;
  if (exponent == 0) {
    value = std::ldexp(mantissa, -24);
  } else if (exponent == 31) {
    value = mantissa != 0 ? std::numeric_limits<double>::quiet_NaN()
                          : std::numeric_limits<double>::infinity();
  } else {
    value = std::ldexp(mantissa | 0x400, exponent - 25);
  }
  return (half & 0x8000) != 0 ? -value : value;
}

std::string_view integer(Kind kind, const void* values, std::int64_t i, char* scratch) noexcept {
  std::size_t n = 0;
  switch (kind) {
    case Kind::Int8:
      n = tevora::integer_text(value_at<std::int8_t>(values, i), scratch);
      break;
    case Kind::UInt8:
      n = tevora::integer_text(value_at<std::uint8_t>(values, i), scratch);
      break;
    case Kind::Int16:
      n = tevora::integer_text(value_at<std::int16_t>(values, i), scratch);
      break;
    case Kind::UInt16:
      n = tevora::integer_text(value_at<std::uint16_t>(values, i), scratch);
      break;
    case Kind::Int32:
      n = tevora::integer_text(value_at<std::int32_t>(values, i), scratch);
      break;
    case Kind::UInt32:
      n = tevora::integer_text(value_at<std::uint32_t>(values, i), scratch);
      break;
    case Kind::Int64:
      n = tevora::integer_text(value_at<std::int64_t>(values, i), scratch);
      break;
    default:
      n = tevora::integer_text(value_at<std::uint64_t>(values, i), scratch);
      break;
  }
  return {scratch, n};
}

}  // namespace

Status bad_utf8() {
  return {Status::ValueError, "an Arrow string cell holds bytes that are not UTF-8"};
}

Status bad_offsets() { return malformed("string offsets out of order or past the data buffer"); }

Status Cells::open(const ArrowSchema& schema, const ArrowArray& array, std::int64_t base,
                   std::int64_t length) {
  if (schema.format == nullptr) return malformed("a schema without a format");
  const std::string_view format(schema.format);
  if (array.length < 0 || array.offset < 0 || array.null_count < -1 || base < 0) {
    return malformed("negative length or offset");
  }
  if (length >= 0 && base + length > array.length) {
    return malformed("a column longer than its own array");
  }
  length_ = length >= 0 ? length : array.length;
  offset_ = array.offset + base;
  bool known = false;
  for (const Format& f : kFormats) {
    if (f.code == format) {
      kind_ = f.kind;
      known = true;
    }
  }
  if (!known) return unreadable(format);
  const auto buffer = [&array](std::int64_t i) -> const void* {
    return i < array.n_buffers && array.buffers != nullptr ? array.buffers[i] : nullptr;
  };
  const bool texts = kind_ == Kind::Utf8 || kind_ == Kind::LargeUtf8 || kind_ == Kind::View;
  const std::int64_t needed = kind_ == Kind::Null ? 0 : texts ? 3 : 2;
  if (array.n_buffers < needed || (needed > 0 && array.buffers == nullptr)) {
    return malformed("fewer buffers than the format needs");
  }
  if (kind_ == Kind::Null || length_ == 0) {
    validity_ = nullptr;
  } else {
    validity_ = array.null_count == 0 ? nullptr : static_cast<const std::uint8_t*>(buffer(0));
    values_ = buffer(1);
    if (values_ == nullptr) return malformed("a missing values buffer");
  }
  if (schema.dictionary != nullptr) {
    if (!is_integer(kind_)) return malformed("dictionary indices that are not integers");
    if (array.dictionary == nullptr) return malformed("a dictionary type without a dictionary");
    index_kind_ = kind_;
    kind_ = Kind::Dictionary;
    dictionary_ = std::make_shared<Cells>();
    return dictionary_->open(*schema.dictionary, *array.dictionary);
  }
  if ((kind_ == Kind::Utf8 || kind_ == Kind::LargeUtf8) && length_ > 0) {
    const bool wide = kind_ == Kind::LargeUtf8;
    const std::int64_t first =
        wide ? value_at<std::int64_t>(values_, offset_) : value_at<std::int32_t>(values_, offset_);
    data_end_ = wide ? value_at<std::int64_t>(values_, offset_ + length_)
                     : value_at<std::int32_t>(values_, offset_ + length_);
    data_ = static_cast<const char*>(buffer(2));
    if (first < 0 || data_end_ < first) return bad_offsets();
    if (data_ == nullptr && data_end_ > 0) return malformed("a missing data buffer");
  }
  if (kind_ == Kind::View) {
    // validity, views, the data buffers, and last their sizes
    n_variadic_ = array.n_buffers - 3;
    if (n_variadic_ < 0) return malformed("a string_view array without its buffer sizes");
    variadic_ = reinterpret_cast<const char* const*>(array.buffers + 2);
    variadic_sizes_ = static_cast<const std::int64_t*>(buffer(array.n_buffers - 1));
    if (n_variadic_ > 0 && variadic_sizes_ == nullptr) return malformed("missing buffer sizes");
  }
  return Status::ok();
}

bool Cells::large() const noexcept {
  if (kind_ == Kind::Dictionary) return dictionary_->large();
  return kind_ == Kind::LargeUtf8;
}

std::size_t Cells::text_bytes() const noexcept {
  if ((kind_ != Kind::Utf8 && kind_ != Kind::LargeUtf8) || length_ == 0) return 0;
  const std::int64_t first = kind_ == Kind::LargeUtf8 ? value_at<std::int64_t>(values_, offset_)
                                                      : value_at<std::int32_t>(values_, offset_);
  return static_cast<std::size_t>(data_end_ - first);
}

Status Cells::view_at(std::int64_t i, std::string_view& out) const {
  const char* view = static_cast<const char*>(values_) + (offset_ + i) * 16;
  const auto size = value_at<std::int32_t>(view, 0);
  if (size < 0) return malformed("a string view of negative length");
  if (size <= 12) {
    out = {view + 4, static_cast<std::size_t>(size)};
    return Status::ok();
  }
  const auto index = value_at<std::int32_t>(view + 8, 0);
  const auto start = value_at<std::int32_t>(view + 12, 0);
  if (index < 0 || index >= n_variadic_ || start < 0 ||
      static_cast<std::int64_t>(start) + size > variadic_sizes_[index] ||
      variadic_[index] == nullptr) {
    return malformed("a string view past its data buffer");
  }
  out = {variadic_[index] + start, static_cast<std::size_t>(size)};
  return Status::ok();
}

std::int64_t Cells::index_at(std::int64_t i) const noexcept {
  std::int64_t index = 0;
  const std::int64_t at = offset_ + i;
  switch (index_kind_) {
    case Kind::Int8: {
      // The byte's two's-complement value, read without a signed char.
      const std::int64_t byte = value_at<std::uint8_t>(values_, at);
      index = byte < 128 ? byte : byte - 256;
      break;
    }
    case Kind::UInt8:
      index = value_at<std::uint8_t>(values_, at);
      break;
    case Kind::Int16:
      index = value_at<std::int16_t>(values_, at);
      break;
    case Kind::UInt16:
      index = value_at<std::uint16_t>(values_, at);
      break;
    case Kind::Int32:
      index = value_at<std::int32_t>(values_, at);
      break;
    case Kind::UInt32:
      index = value_at<std::uint32_t>(values_, at);
      break;
    case Kind::Int64:
      index = value_at<std::int64_t>(values_, at);
      break;
    default: {
      const auto wide = value_at<std::uint64_t>(values_, at);
      index = wide > INT64_MAX ? -1 : static_cast<std::int64_t>(wide);
    }
  }
  return index;
}

Status Cells::text_at(std::int64_t i, char* scratch, std::string_view& out) const {
  out = {};
  if (kind_ == Kind::Null || is_null(i)) return Status::ok();
  const std::int64_t at = offset_ + i;
  switch (kind_) {
    case Kind::Utf8:
    case Kind::LargeUtf8: {
      const bool wide = kind_ == Kind::LargeUtf8;
      const std::int64_t start =
          wide ? value_at<std::int64_t>(values_, at) : value_at<std::int32_t>(values_, at);
      const std::int64_t end =
          wide ? value_at<std::int64_t>(values_, at + 1) : value_at<std::int32_t>(values_, at + 1);
      if (start < 0 || end < start || end > data_end_) return bad_offsets();
      out = {data_ + start, static_cast<std::size_t>(end - start)};
      break;
    }
    case Kind::View: {
      Status status = view_at(i, out);
      if (!status) return status;
      break;
    }
    case Kind::Bool: {
      const auto* bits = static_cast<const std::uint8_t*>(values_);
      out = tevora::bool_text(((bits[at >> 3] >> (at & 7)) & 1) != 0);
      return Status::ok();
    }
    case Kind::Float16:
      out = {scratch,
             tevora::float_text(half_to_double(value_at<std::uint16_t>(values_, at)), scratch)};
      return Status::ok();
    case Kind::Float32:
      out = {scratch, tevora::float_text(value_at<float>(values_, at), scratch)};
      return Status::ok();
    case Kind::Float64:
      out = {scratch, tevora::float_text(value_at<double>(values_, at), scratch)};
      return Status::ok();
    case Kind::Dictionary: {
      const std::int64_t index = index_at(i);
      if (index < 0 || index >= dictionary_->size()) {
        return malformed("a dictionary index past the dictionary");
      }
      return dictionary_->text_at(index, scratch, out);
    }
    default:
      out = integer(kind_, values_, at, scratch);
      return Status::ok();
  }
  if (!is_utf8(out.data(), out.size())) return bad_utf8();
  return Status::ok();
}

}  // namespace tevora_arrow
