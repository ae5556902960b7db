// columns.hpp: the three column operations over one chunk of cells, each
// writing its result arrays in one pass. They touch no Python object.

#ifndef TEVORA_ARROW_COLUMNS_HPP_
#define TEVORA_ARROW_COLUMNS_HPP_

#include "cells.hpp"
#include "node.hpp"

namespace tevora_arrow {

enum class Operation { StoreForm, KeyStrings, Parse };

// The result of `operation` over `cells`, into `out`. Throws std::bad_alloc,
// and std::length_error when a string array would outgrow 32-bit offsets.
Status run(Operation operation, const Cells& cells, NodePtr& out);

}  // namespace tevora_arrow

#endif  // TEVORA_ARROW_COLUMNS_HPP_
