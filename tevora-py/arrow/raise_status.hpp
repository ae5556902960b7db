// raise_status.hpp: a failure kept while the interpreter lock was released,
// raised once it is held again.

#ifndef TEVORA_ARROW_RAISE_STATUS_HPP_
#define TEVORA_ARROW_RAISE_STATUS_HPP_

#include "pyref.hpp"
#include "status.hpp"

namespace tevora_arrow {

// Sets the exception that `status` stands for; returns nullptr, for
// `return raise_status(status);`. `status` must be a failure.
inline PyObject* raise_status(const Status& status) noexcept {
  switch (status.kind()) {
    case Status::NoMemory:
      return PyErr_NoMemory();
    case Status::TypeError:
      PyErr_SetString(PyExc_TypeError, status.message().c_str());
      return nullptr;
    default:
      PyErr_SetString(PyExc_ValueError, status.message().c_str());
      return nullptr;
  }
}

}  // namespace tevora_arrow

#endif  // TEVORA_ARROW_RAISE_STATUS_HPP_
