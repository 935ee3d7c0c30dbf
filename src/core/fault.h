#pragma once
// A violated internal expectation that has no error value. Faults unwind as
// C++ exceptions up to the Python boundary, which turns them into the
// module's fatal-fault exception; they never travel as KestError values.
#include <stdexcept>
#include <string>

namespace kest {

class Fault : public std::runtime_error {
 public:
  explicit Fault(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace kest
