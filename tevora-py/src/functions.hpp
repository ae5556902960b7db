// functions.hpp: the module functions, in the order they are registered.

#ifndef TEVORA_PY_FUNCTIONS_HPP_
#define TEVORA_PY_FUNCTIONS_HPP_

#include "pyref.hpp"

namespace tevora_py {

// parse, store_form, key, store_form_many, key_strings, parse_many; then a
// sentinel. The entries must outlive the module, as the function objects
// keep pointers to them.
extern PyMethodDef module_functions[];

}  // namespace tevora_py

#endif  // TEVORA_PY_FUNCTIONS_HPP_
