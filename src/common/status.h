// Status and Result: how operations report failure. Every operation of the
// object model (and the file system, the registry store, ...) answers a value
// instead of throwing; a failed call carries the error number the engine
// tests for (424 when the object is gone) and a message for logs. Both are
// [[nodiscard]]: a caller that means to ignore a failure says so with
// (void). Plain values, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quillo {

// Error numbers of the object model. The numbers are those the engine's
// callers compare against, so they are fixed.
enum class StatusCode : std::int32_t {
  Ok = 0,
  InvalidArgument = 5,     // invalid procedure call or argument
  OutOfRange = 9,          // no item with that index or name
  ObjectRequired = 424,    // the object is gone: its sheet, workbook or control was removed
  NotSupported = 438,      // the object does not support this operation
  OperationFailed = 1004,  // the host refused or could not do it (bad formula, bad name, ...)
};

class [[nodiscard]] Status {
 public:
  Status() = default;  // success
  Status(StatusCode code, std::string message) : m_code(code), m_message(std::move(message)) {}

  static Status object_required(std::string_view what) {
    return Status(StatusCode::ObjectRequired, "object required: " + std::string(what));
  }
  static Status failed(std::string message) {
    return Status(StatusCode::OperationFailed, std::move(message));
  }

  bool ok() const { return m_code == StatusCode::Ok; }
  bool is_object_required() const { return m_code == StatusCode::ObjectRequired; }
  StatusCode code() const { return m_code; }
  std::int32_t number() const { return static_cast<std::int32_t>(m_code); }
  const std::string& message() const { return m_message; }
  // The platform's error number behind a failed system call (errno on
  // POSIX), for callers that report it in their own terms; 0 when none.
  std::int32_t system_error() const { return m_system_error; }
  Status& with_system_error(std::int32_t err) & {
    m_system_error = err;
    return *this;
  }
  Status&& with_system_error(std::int32_t err) && {
    m_system_error = err;
    return std::move(*this);
  }

 private:
  StatusCode m_code = StatusCode::Ok;
  std::string m_message;
  std::int32_t m_system_error = 0;
};

// A value or the Status that explains why there is none.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : m_value(std::move(value)) {}
  Result(Status status) : m_status(std::move(status)) {
    if (m_status.ok()) m_status = Status(StatusCode::OperationFailed, "no value");
  }

  bool ok() const { return m_value.has_value(); }
  const Status& status() const { return m_status; }
  // The value; the caller must have checked ok().
  const T& value() const& { return *m_value; }
  T& value() & { return *m_value; }
  T&& value() && { return std::move(*m_value); }
  const T& operator*() const& { return *m_value; }
  const T* operator->() const { return &*m_value; }
  T value_or(T fallback) const { return m_value ? *m_value : std::move(fallback); }

 private:
  std::optional<T> m_value;
  Status m_status;
};

}  // namespace quillo
