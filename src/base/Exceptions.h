#pragma once
// Exception classes of the program. Every error carries a user-readable message
// and nothing else, so that the application's error handler can show any of them.
#include <stdexcept>
#include <string>

namespace lumbra {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};

// A text that does not read as a number.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A value outside the range an operation accepts.
class ERangeError : public Exception {
 public:
  using Exception::Exception;
};

// The platform refused a resource (a timer, a handle).
class EOutOfResources : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace lumbra
