// Result<T>: a value, or the HRESULT that says why there is none, with a
// message for the person reading a fuzz report. Used inside the platform;
// each API boundary turns it into its HRESULT once.
#pragma once
#include <winerror.h>

#include <cstdarg>
#include <cstdio>
#include <new>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <string>
#include <utility>

namespace velmora::base {

struct Error {
  HRESULT code = E_FAIL;
  std::string message;
};

// An Error carrying `code`, with a printf-style message. Corruption messages
// name the structure and the numbers and start lower-case.
[[gnu::format(printf, 2, 3)]] inline Error makeError(HRESULT code, const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return Error{code, buf};
}

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : m_value(std::move(value)) {}
  Result(Error error) : m_error(std::move(error)) {}

  bool ok() const { return m_value.has_value(); }
  explicit operator bool() const { return ok(); }
  T& value() { return *m_value; }
  const T& value() const { return *m_value; }
  T& operator*() { return *m_value; }
  T* operator->() { return &*m_value; }
  const Error& error() const { return m_error; }
  HRESULT code() const { return ok() ? S_OK : m_error.code; }

 private:
  std::optional<T> m_value;
  Error m_error;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : m_failed(true), m_error(std::move(error)) {}

  bool ok() const { return !m_failed; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return m_error; }
  HRESULT code() const { return ok() ? S_OK : m_error.code; }

 private:
  bool m_failed = false;
  Error m_error;
};

// Runs the body of an API entry point: its HRESULT, or that of the Result it
// gives, and `OutOfMemory` (the storage code unless the interface has its
// own) when memory runs out inside it, since no exception may cross the
// component boundary. A request past what a container can hold is memory
// running out too; anything else thrown is a fault of ours, E_UNEXPECTED.
template <HRESULT OutOfMemory = STG_E_INSUFFICIENTMEMORY, typename F>
HRESULT atBoundary(F&& body) {
  try {
    if constexpr (std::is_same_v<decltype(body()), HRESULT>)
      return body();
    else
      return body().code();
  } catch (const std::bad_alloc&) {
    return OutOfMemory;
  } catch (const std::length_error&) {
    return OutOfMemory;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace velmora::base
