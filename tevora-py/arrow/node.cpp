// The export of result nodes through the C data and stream interfaces.

#include "node.hpp"

#include <cerrno>
#include <utility>

namespace tevora_arrow {
namespace {

struct SchemaData {
  std::vector<ArrowSchema*> children;
  ArrowSchema* dictionary = nullptr;
};

// Releases, then frees, a child struct (or null) that a parent owns.
template <typename Struct>
void drop(Struct* owned) noexcept {
  if (owned == nullptr) return;
  if (owned->release != nullptr) owned->release(owned);
  delete owned;
}

void release_schema(ArrowSchema* schema) noexcept {
  auto* data = static_cast<SchemaData*>(schema->private_data);
  for (ArrowSchema* child : data->children) drop(child);
  drop(data->dictionary);
  delete data;
  schema->release = nullptr;
}

struct ArrayData {
  NodePtr node;
  std::vector<const void*> buffers;
  std::vector<ArrowArray*> children;
  ArrowArray* dictionary = nullptr;
};

void release_array(ArrowArray* array) noexcept {
  auto* data = static_cast<ArrayData*>(array->private_data);
  for (ArrowArray* child : data->children) drop(child);
  drop(data->dictionary);
  delete data;
  array->release = nullptr;
}

// Exports into a new struct that the parent's private data owns.
template <typename Struct, typename Export, typename Source>
Struct* exported_child(const Source& source, Export export_one, std::vector<Struct*>& owner) {
  owner.reserve(owner.size() + 1);
  auto child = std::make_unique<Struct>();
  export_one(source, child.get());
  owner.push_back(child.release());
  return owner.back();
}

struct StreamData {
  NodePtr schema;
  std::vector<NodePtr> chunks;
  std::size_t next = 0;
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
  try {
    export_schema(*static_cast<StreamData*>(stream->private_data)->schema, out);
    return 0;
  } catch (const std::exception&) {
    return ENOMEM;
  }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
  auto* data = static_cast<StreamData*>(stream->private_data);
  if (data->next == data->chunks.size()) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  try {
    export_array(data->chunks[data->next], out);
  } catch (const std::exception&) {
    return ENOMEM;
  }
  data->chunks[data->next++].reset();  // each chunk is handed out once
  return 0;
}

const char* stream_error(ArrowArrayStream* /*stream*/) noexcept { return "out of memory"; }

void release_stream(ArrowArrayStream* stream) noexcept {
  delete static_cast<StreamData*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

void export_schema(const Node& node, ArrowSchema* out) {
  auto data = std::make_unique<SchemaData>();
  std::vector<ArrowSchema*> children;
  try {
    for (const NodePtr& child : node.children) {
      exported_child(*child, export_schema, children);
    }
    if (node.dictionary) {
      std::vector<ArrowSchema*> one;
      data->dictionary = exported_child(*node.dictionary, export_schema, one);
    }
  } catch (...) {
    data->children = std::move(children);
    ArrowSchema partial{};
    partial.private_data = data.release();
    release_schema(&partial);
    throw;
  }
  data->children = std::move(children);
  *out = ArrowSchema{};
  out->format = node.format.c_str();
  out->name = node.name.c_str();
  out->flags = ARROW_FLAG_NULLABLE;
  out->n_children = static_cast<std::int64_t>(data->children.size());
  out->children = data->children.data();
  out->dictionary = data->dictionary;
  out->release = release_schema;
  out->private_data = data.release();
}

void export_array(const NodePtr& node, ArrowArray* out) {
  auto data = std::make_unique<ArrayData>();
  data->node = node;
  for (const Memory& buffer : node->buffers) data->buffers.push_back(buffer.get());
  std::vector<ArrowArray*> children;
  try {
    for (const NodePtr& child : node->children) exported_child(child, export_array, children);
    if (node->dictionary) {
      std::vector<ArrowArray*> one;
      data->dictionary = exported_child(node->dictionary, export_array, one);
    }
  } catch (...) {
    data->children = std::move(children);
    ArrowArray partial{};
    partial.private_data = data.release();
    release_array(&partial);
    throw;
  }
  data->children = std::move(children);
  *out = ArrowArray{};
  out->length = node->length;
  out->null_count = node->null_count;
  out->n_buffers = static_cast<std::int64_t>(data->buffers.size());
  out->n_children = static_cast<std::int64_t>(data->children.size());
  out->buffers = data->buffers.data();
  out->children = data->children.data();
  out->dictionary = data->dictionary;
  out->release = release_array;
  out->private_data = data.release();
}

void export_stream(NodePtr schema, std::vector<NodePtr> chunks, ArrowArrayStream* out) {
  auto data = std::make_unique<StreamData>();
  data->schema = std::move(schema);
  data->chunks = std::move(chunks);
  *out = ArrowArrayStream{};
  out->get_schema = stream_schema;
  out->get_next = stream_next;
  out->get_last_error = stream_error;
  out->release = release_stream;
  out->private_data = data.release();
}

}  // namespace tevora_arrow
