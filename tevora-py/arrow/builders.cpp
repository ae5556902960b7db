// The memory of result buffers: malloc, so that the export can free it
// without knowing how it was made.

#include "builders.hpp"

#include <cstdlib>

namespace tevora_arrow {

Memory allocate(std::size_t size, bool zeroed) {
  if (size == 0) size = 1;
  void* p = zeroed ? std::calloc(size, 1) : std::malloc(size);
  if (p == nullptr) throw std::bad_alloc();
  return Memory(static_cast<std::uint8_t*>(p));
}

void reallocate(Memory& memory, std::size_t size) {
  if (size == 0) size = 1;
  void* p = std::realloc(memory.get(), size);
  if (p == nullptr) throw std::bad_alloc();
  (void)memory.release();
  memory.reset(static_cast<std::uint8_t*>(p));
}

NodePtr BoolColumn::finish(std::string name) {
  auto node = std::make_shared<Node>();
  node->format = "b";
  node->name = std::move(name);
  node->length = cells_;
  validity_.finish(*node);
  node->buffers.push_back(std::move(bits_));
  return node;
}

}  // namespace tevora_arrow
