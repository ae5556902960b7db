// memory.hpp: the buffers of results, and a few large ones kept warm.
//
// A large block fresh from malloc is a new mapping whose every page the
// kernel faults in and zeroes on first touch; for a parse table that was a
// fifth of the call. So the large blocks of released results are kept, up
// to a bound, and handed to the next result that needs about their size,
// their pages still mapped. A result may be released on any thread, with or
// without the GIL, even while the interpreter exits.

#ifndef TEVORA_ARROW_MEMORY_HPP_
#define TEVORA_ARROW_MEMORY_HPP_

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tevora_arrow {

// Returns a block from `allocate` to the pool or to malloc.
void release(std::uint8_t* p) noexcept;

struct FreeMemory {
  void operator()(std::uint8_t* p) const noexcept { release(p); }
};
using Memory = std::unique_ptr<std::uint8_t, FreeMemory>;

// At least `size` bytes (and at least one, so that it is never null).
// Throws std::bad_alloc.
Memory allocate(std::size_t size, bool zeroed = false);
// Grows `memory` to `size` bytes, or shrinks it, keeping its contents. A
// large block is not shrunk: the pages past what was written were never
// touched, and it stays the size the next result asks for.
void reallocate(Memory& memory, std::size_t size);

}  // namespace tevora_arrow

#endif  // TEVORA_ARROW_MEMORY_HPP_
