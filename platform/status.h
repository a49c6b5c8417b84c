// A small error value for everything that touches the operating system.
// Handlers that must "skip a failing step and go on" test ok() and move on;
// nothing here throws.
#pragma once

#include <string>
#include <utility>

namespace vmrk {

// [[nodiscard]]: a result dropped on purpose says so with IgnoreError().
class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  static Status Error(std::string message) { return Status(std::move(message), true); }

  bool ok() const { return !failed_; }
  const std::string& message() const { return message_; }
  // For the steps that "skip a failing step and go on": the failure is
  // known and deliberately of no consequence.
  void IgnoreError() const {}

 private:
  Status(std::string message, bool failed) : message_(std::move(message)), failed_(failed) {}
  std::string message_;
  bool failed_ = false;
};

}  // namespace vmrk
