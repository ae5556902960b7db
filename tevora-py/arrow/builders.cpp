// The columns' out-of-line parts.

#include "builders.hpp"

namespace tevora_arrow {

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
