// node.hpp: an Arrow array this module made, and its export.
//
// Results are built as a tree of nodes that own their buffers. A node is
// immutable once built and shared: every export holds a reference, so one
// result can be handed to any number of consumers, each releasing its own.

#ifndef TEVORA_ARROW_NODE_HPP_
#define TEVORA_ARROW_NODE_HPP_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "abi.hpp"
#include "memory.hpp"

namespace tevora_arrow {

struct Node {
  std::string format;
  std::string name;
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  std::vector<Memory> buffers;  // null where a buffer is absent
  std::vector<std::shared_ptr<const Node>> children;
  std::shared_ptr<const Node> dictionary;
};
using NodePtr = std::shared_ptr<const Node>;

// Fill `out` with the node's type, or its array; the released callbacks free
// only what the export itself allocated. Throw std::bad_alloc.
void export_schema(const Node& node, ArrowSchema* out);
void export_array(const NodePtr& node, ArrowArray* out);

// Exports chunks one after another as a stream, each sharing `schema`'s type.
void export_stream(NodePtr schema, std::vector<NodePtr> chunks, ArrowArrayStream* out);

}  // namespace tevora_arrow

#endif  // TEVORA_ARROW_NODE_HPP_
