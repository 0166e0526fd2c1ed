// Result<T>: a value, or the Error that says why there is none. Used inside
// the platform; each API boundary turns it into its HRESULT once, and leaves
// the reason on the calling thread for GetErrorInfo (see report()).
//
// Damage found in a file is built with one macro, DAMAGE(code, kind, where,
// fmt, ...): the status the caller sees, which structure is damaged, where
// in the file (offset, sector, directory entry, property id), what was found
// (printf-style, lower-case, naming the numbers), and the source line of
// the check that fired. Other failures (I/O, limits, bad arguments) use
// makeError. TRY and ASSIGN propagate either kind the same way in every room.
#pragma once
#include <winerror.h>

#include <cassert>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <string>
#include <utility>

namespace velmora::base {

// The structure a piece of damage lies in. None: the error is no damage.
enum class Damage : uint8_t {
  None,
  Header,       // the file header
  Allocation,   // DIFAT, FAT or mini FAT
  Chain,        // a sector or mini-sector chain of a stream or a table
  Directory,    // directory entries and their trees
  PropertySet,  // a property-set stream
  Link,         // a link object's streams or its moniker
};

// "header", "allocation table", ...
const char* damageName(Damage kind);

// Where in the file a finding lies; each part is optional.
struct Where {
  static constexpr uint64_t kNone = UINT64_MAX;
  static constexpr uint32_t kNone32 = UINT32_MAX;
  uint64_t offset = kNone;  // byte offset in the file, or in the stream when `inStream`
  uint32_t sector = kNone32;
  const char* sectorOf = nullptr;  // "directory", "FAT", "mini"...: what the sector holds
  uint32_t entry = kNone32;        // directory entry
  uint32_t property = kNone32;     // property id
  bool inStream = false;           // `offset` counts from the start of the stream

  Where& at(uint64_t fileOffset) {
    offset = fileOffset, inStream = false;
    return *this;
  }
  Where& atByte(uint64_t streamOffset) {
    offset = streamOffset, inStream = true;
    return *this;
  }
  Where& inSector(uint32_t id, const char* of = nullptr) {
    sector = id, sectorOf = of;
    return *this;
  }
  Where& ofEntry(uint32_t sid) {
    entry = sid;
    return *this;
  }
  Where& ofProperty(uint32_t id) {
    property = id;
    return *this;
  }
  bool empty() const {
    return offset == kNone && sector == kNone32 && entry == kNone32 && property == kNone32;
  }
  // "directory sector 2, offset 0x5180"; empty when nothing is known.
  std::string text() const;
};

inline Where where() { return {}; }
inline Where atOffset(uint64_t fileOffset) { return Where{}.at(fileOffset); }
inline Where atByte(uint64_t streamOffset) { return Where{}.atByte(streamOffset); }
inline Where inSector(uint32_t id, const char* of = nullptr) { return Where{}.inSector(id, of); }
inline Where ofEntry(uint32_t sid) { return Where{}.ofEntry(sid); }
inline Where ofProperty(uint32_t id) { return Where{}.ofProperty(id); }

struct Error {
  HRESULT code = E_FAIL;
  std::string message;  // what was found, or what failed
  Damage kind = Damage::None;
  Where where;
  const char* file = nullptr;  // the check that fired, for damage
  int line = 0;

  bool isDamage() const { return kind != Damage::None; }
  // The message and, in parentheses, where: what an administrator reads.
  std::string reason() const;
  // The reason and the source line: what a fuzz report shows.
  std::string detail() const;
};

// The message of a printf-style format and its arguments, as every maker of
// an Error here formats it: into a buffer of its own, cut at kMaxBytes (a
// message is one line), so formatting neither fails nor allocates. text()
// makes the one string; memory running out there throws std::bad_alloc as
// for any string, which the API boundaries answer with their memory code.
// The maker's va_list is ended before anything can throw.
class FormattedText {
 public:
  static constexpr size_t kMaxBytes = 511;
  [[gnu::format(printf, 2, 0)]] FormattedText(const char* fmt, va_list ap) noexcept {
    m_text[0] = '\0';
    std::vsnprintf(m_text, sizeof m_text, fmt, ap);
  }
  std::string text() const { return m_text; }

 private:
  char m_text[kMaxBytes + 1];
};

// An Error carrying `code`, with a printf-style message: failures that are
// not damage in the file.
[[gnu::format(printf, 2, 3)]] inline Error makeError(HRESULT code, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const FormattedText message(fmt, ap);
  va_end(ap);
  return Error{code, message.text()};
}

[[gnu::format(printf, 6, 7)]] inline Error damageError(HRESULT code, Damage kind, Where where,
                                                       const char* file, int line, const char* fmt,
                                                       ...) {
  va_list ap;
  va_start(ap, fmt);
  const FormattedText message(fmt, ap);
  va_end(ap);
  return Error{code, message.text(), kind, where, file, line};
}

// An Error for a call that failed with `hr`: the message, and after it the
// reason that call left on the thread (taken), so a refusal deep in the
// engine reaches the caller of the outer call.
[[gnu::format(printf, 2, 3)]] Error failedCall(HRESULT hr, const char* fmt, ...);

// The same error with `context: ` before its message (where and source kept).
inline Error within(Error e, const std::string& context) {
  e.message = context + ": " + e.message;
  return e;
}

// Leaves `e`'s reason as the calling thread's error information and returns
// its code: every API boundary that fails with an Error goes through here.
HRESULT report(const Error& e);
// The same for a failure whose reason the boundary does not know: clears
// what an earlier failure left, so no caller reads a stale reason.
HRESULT report(HRESULT hr);
// How many reasons this thread has been left so far: a boundary that fails
// without leaving one of its own clears an older one (atBoundary).
uint64_t reportCount();
// The reason a failed call of this thread left behind, taken (cleared); empty
// when none. (GetErrorInfo gives it to hosts.)
std::string takeReason();
// The same, left in place.
const std::string& pendingReason();

}  // namespace velmora::base

// Damage found in the file, at `where` (a base::Where), of `kind` (a
// base::Damage enumerator name), answered with `code`.
#define DAMAGE(code, kind, where, fmt, ...)                                               \
  ::velmora::base::damageError(code, ::velmora::base::Damage::kind, where, __FILE_NAME__, \
                               __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)

// Propagates the error of a Result-returning expression.
#define TRY(expr)                               \
  do {                                          \
    auto tryResult_ = (expr);                   \
    if (!tryResult_) return tryResult_.error(); \
  } while (0)

// Binds the value of a Result-returning expression or propagates its error.
#define ASSIGN(var, expr)                         \
  auto var##Result_ = (expr);                     \
  if (!var##Result_) return var##Result_.error(); \
  auto var = std::move(var##Result_.value())

namespace velmora::base {

// Debug builds stop at a value taken from a Result that holds none, where
// release builds would read an empty optional.
[[noreturn]] void valueOfFailedResult(const Error& e);

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : m_value(std::move(value)) {}
  Result(Error error) : m_error(std::move(error)) {}

  bool ok() const { return m_value.has_value(); }
  explicit operator bool() const { return ok(); }
  T& value() { return (check(), *m_value); }
  const T& value() const { return (check(), *m_value); }
  T& operator*() { return value(); }
  T* operator->() { return &value(); }
  const Error& error() const { return m_error; }
  HRESULT code() const { return ok() ? S_OK : m_error.code; }

 private:
  void check() const {
#ifndef NDEBUG
    if (!m_value) valueOfFailedResult(m_error);
#endif
  }
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
// gives (whose reason is reported to the thread), and `OutOfMemory` (the
// storage code unless the interface has its own) when memory runs out
// inside it, since no exception may cross the component boundary. A request
// past what a container can hold is memory running out too; anything else
// thrown is a fault of ours, E_UNEXPECTED.
template <HRESULT OutOfMemory = STG_E_INSUFFICIENTMEMORY, typename F>
HRESULT atBoundary(F&& body) {
  try {
    if constexpr (std::is_same_v<decltype(body()), HRESULT>) {
      // A failure that left no reason of its own (a plain code) must not
      // pass for an earlier one's.
      const uint64_t before = reportCount();
      HRESULT hr = body();
      if (FAILED(hr) && reportCount() == before) report(hr);
      return hr;
    } else {
      auto r = body();
      return r.ok() ? S_OK : report(r.error());
    }
  } catch (const std::bad_alloc&) {
    return OutOfMemory;
  } catch (const std::length_error&) {
    return OutOfMemory;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace velmora::base
