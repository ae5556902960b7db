// abi.hpp: the Arrow C data and stream interfaces, as Arrow publishes them.
//
// These structs are a stable ABI shared by every Arrow producer and
// consumer, so declaring them here is all the dependency the module needs.

#ifndef TEVORA_ARROW_ABI_HPP_
#define TEVORA_ARROW_ABI_HPP_

#include <cstdint>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace tevora_arrow {

// True on a thread the interpreter is ending at exit: a producer's release
// may need the interpreter, so what is still owned is left to the process.
inline bool& abandoning() noexcept {
  thread_local bool flag = false;
  return flag;
}

// Owns one released-once struct of the interface: calls its release callback
// when it goes out of scope, unless it was never filled or already moved.
template <typename Struct>
class Owned {
 public:
  Owned() noexcept : value_{} {}
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { reset(); }

  Struct* get() noexcept { return &value_; }
  const Struct& operator*() const noexcept { return value_; }
  const Struct* operator->() const noexcept { return &value_; }
  bool filled() const noexcept { return value_.release != nullptr; }

  // Takes over a struct, leaving the source marked as moved.
  void take(Struct* source) noexcept {
    reset();
    value_ = *source;
    source->release = nullptr;
  }
  void reset() noexcept {
    if (value_.release != nullptr && !abandoning()) value_.release(&value_);
    value_.release = nullptr;
  }

 private:
  Struct value_;
};

}  // namespace tevora_arrow

#endif  // TEVORA_ARROW_ABI_HPP_
