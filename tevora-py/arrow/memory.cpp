// The result buffers' memory: malloc'd blocks with their capacity in front,
// and a bounded pool of recently released large ones.

#include "memory.hpp"

#include <pthread.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace tevora_arrow {
namespace {

// Room in front of a block for its capacity; keeps malloc's alignment.
constexpr std::size_t kHeader = 16;
// Smaller blocks come from malloc's heap, whose pages stay mapped anyway.
constexpr std::size_t kPooledMin = std::size_t{128} << 10;
// What the pool holds at most: a parse table of a million cells and more.
constexpr std::size_t kPoolBytes = std::size_t{192} << 20;
constexpr std::size_t kPoolBlocks = 64;

std::size_t capacity_of(const std::uint8_t* base) noexcept {
  std::size_t capacity = 0;
  std::memcpy(&capacity, base, sizeof capacity);
  return capacity;
}

std::uint8_t* with_header(void* base, std::size_t capacity) noexcept {
  auto* bytes = static_cast<std::uint8_t*>(base);
  std::memcpy(bytes, &capacity, sizeof capacity);
  return bytes + kHeader;
}

// Blocks by their base, oldest first; the oldest go when room is needed.
class Pool {
 public:
  // A block of at least `size` bytes and at most twice that, or null.
  std::uint8_t* take(std::size_t size) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::size_t best = count_;
    for (std::size_t i = 0; i < count_; ++i) {
      const std::size_t capacity = capacity_of(blocks_[i]);
      if (capacity >= size && capacity / 2 <= size &&
          (best == count_ || capacity < capacity_of(blocks_[best]))) {
        best = i;
      }
    }
    if (best == count_) return nullptr;
    std::uint8_t* base = blocks_[best];
    bytes_ -= capacity_of(base);
    std::memmove(blocks_.data() + best, blocks_.data() + best + 1,
                 (count_ - best - 1) * sizeof base);
    --count_;
    return base;
  }

  void lock() noexcept { mutex_.lock(); }
  void unlock() noexcept { mutex_.unlock(); }

  // Keeps `base`, freeing the oldest blocks to make room, or frees it.
  void put(std::uint8_t* base) noexcept {
    const std::size_t capacity = capacity_of(base);
    std::array<std::uint8_t*, kPoolBlocks> evicted{};
    std::size_t gone = 0;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (capacity <= kPoolBytes) {
        while (count_ == kPoolBlocks || bytes_ + capacity > kPoolBytes) {
          evicted[gone++] = blocks_[0];
          bytes_ -= capacity_of(blocks_[0]);
          std::memmove(blocks_.data(), blocks_.data() + 1, (--count_) * sizeof base);
        }
        blocks_[count_++] = base;
        bytes_ += capacity;
        base = nullptr;
      }
    }
    for (std::size_t i = 0; i < gone; ++i) std::free(evicted[i]);
    std::free(base);
  }

 private:
  std::mutex mutex_;
  std::array<std::uint8_t*, kPoolBlocks> blocks_{};
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
};

Pool& pool() noexcept {
  // Never destroyed: a consumer may release a result during or after exit.
  alignas(Pool) static unsigned char storage[sizeof(Pool)];
  static Pool* const shared = [] {
    Pool* made = new (storage) Pool();
    // A fork while another thread held the lock would leave it held for
    // ever in the child (multiprocessing forks): the forking thread takes it
    // first, so the pool is whole on both sides, and gives it back in each.
    pthread_atfork([] { pool().lock(); }, [] { pool().unlock(); }, [] { pool().unlock(); });
    return made;
  }();
  return *shared;
}

}  // namespace

void release(std::uint8_t* p) noexcept {
  if (p == nullptr) return;
  std::uint8_t* base = p - kHeader;
  if (capacity_of(base) >= kPooledMin) {
    pool().put(base);
  } else {
    std::free(base);
  }
}

Memory allocate(std::size_t size, bool zeroed) {
  if (size == 0) size = 1;
  if (size >= kPooledMin) {
    if (std::uint8_t* base = pool().take(size)) {
      Memory memory(base + kHeader);
      if (zeroed) std::memset(memory.get(), 0, size);
      return memory;
    }
  }
  void* base = zeroed ? std::calloc(size + kHeader, 1) : std::malloc(size + kHeader);
  if (base == nullptr) throw std::bad_alloc();
  return Memory(with_header(base, size));
}

void reallocate(Memory& memory, std::size_t size) {
  if (size == 0) size = 1;
  std::uint8_t* base = memory.get() - kHeader;
  const std::size_t capacity = capacity_of(base);
  if (size <= capacity && capacity >= kPooledMin) return;
  void* moved = std::realloc(base, size + kHeader);
  if (moved == nullptr) throw std::bad_alloc();
  (void)memory.release();
  memory.reset(with_header(moved, size));
}

}  // namespace tevora_arrow
