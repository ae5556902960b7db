// arrow_column.hpp: an Arrow column into the tally, read in place.

#ifndef TEVORA_FILES_ARROW_COLUMN_HPP_
#define TEVORA_FILES_ARROW_COLUMN_HPP_

#include "pyref.hpp"
#include "tally.hpp"

namespace tevora_files {

// Adds every cell of `column` (an object with __arrow_c_array__ or
// __arrow_c_stream__) to `tally` without the interpreter lock, the first at
// `first_row`. TypeError for any other object or an unsupported type; a
// partial column may have been added when a later chunk fails.
PyObject* add_arrow(Tally& tally, bool& busy, std::uint64_t first_row, PyObject* column);

}  // namespace tevora_files

#endif  // TEVORA_FILES_ARROW_COLUMN_HPP_
