// status.hpp: a failure found while the interpreter lock is released, kept
// as plain text until it can be raised.

#ifndef TEVORA_ARROW_STATUS_HPP_
#define TEVORA_ARROW_STATUS_HPP_

#include <string>
#include <utility>

namespace tevora_arrow {

class Status {
 public:
  enum Kind { Ok, TypeError, ValueError, NoMemory };

  Status() noexcept = default;
  Status(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  static Status ok() noexcept { return {}; }

  explicit operator bool() const noexcept { return kind_ == Ok; }
  Kind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }

 private:
  Kind kind_ = Ok;
  std::string message_;
};

}  // namespace tevora_arrow

#endif  // TEVORA_ARROW_STATUS_HPP_
