// A small error value for everything that touches the operating system,
// and the one result shape of the core: a Status (ok, or a failure of some
// kind with a message), or a Result<T> (a value, or the Status of why not).
// Handlers that must "skip a failing step and go on" test ok() and move on;
// nothing here throws.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace vmrk {

// [[nodiscard]]: a result dropped on purpose says so with IgnoreError().
class [[nodiscard]] Status {
 public:
  // What kind of failure: for callers that act on it (a full disk is told
  // apart from a refused file); the message is for people and the log.
  enum class Kind {
    kOk,
    kNotFound,   // no such file or folder
    kRefused,    // not allowed, or in use by another program
    kNoRoom,     // the volume is full
    kIo,         // any other failure of the system
    kInvalid,    // bytes that are not what they must be (a list, a frame, a signature)
    kCancelled,  // stopped on purpose
    kOther,
  };

  Status() = default;
  static Status Ok() { return Status(); }
  static Status Error(std::string message) { return Status(Kind::kOther, std::move(message)); }
  static Status Error(Kind kind, std::string message) {
    return Status(kind == Kind::kOk ? Kind::kOther : kind, std::move(message));
  }

  bool ok() const { return kind_ == Kind::kOk; }
  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  // For the steps that "skip a failing step and go on": the failure is
  // known and deliberately of no consequence.
  void IgnoreError() const {}

 private:
  Status(Kind kind, std::string message) : message_(std::move(message)), kind_(kind) {}
  std::string message_;
  Kind kind_ = Kind::kOk;
};

// A value, or why there is none. Made from a failed Status; one made from
// an ok Status (a fault of its caller) is a failure of kind kOther.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  Result(Status failure)
      : status_(failure.ok() ? Status::Error("a result without a value") : std::move(failure)) {}

  bool ok() const { return value_.has_value(); }
  const Status& status() const { return status_; }
  // Only when ok().
  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace vmrk
