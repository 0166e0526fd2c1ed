// The base room: the reasons of errors and the thread's error information.
#include <unknwn.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "base/byte_reader.h"
#include "base/byte_writer.h"
#include "base/result.h"
#include "base/thread_error.h"

namespace velmora::base {

const char* damageName(Damage kind) {
  switch (kind) {
    case Damage::None: return "none";
    case Damage::Header: return "header";
    case Damage::Allocation: return "allocation table";
    case Damage::Chain: return "chain";
    case Damage::Directory: return "directory";
    case Damage::PropertySet: return "property set";
    case Damage::Link: return "link";
  }
  return "?";
}

std::string Where::text() const {
  std::string out;
  char buf[64];
  auto add = [&](const char* part) {
    if (!out.empty()) out += ", ";
    out += part;
  };
  // An entry in its directory sector is named by the message itself.
  const bool inItsDirectory = sectorOf && std::strcmp(sectorOf, "directory") == 0;
  if (entry != kNone32 && !inItsDirectory)
    std::snprintf(buf, sizeof buf, "entry %u", entry), add(buf);
  if (property != kNone32) std::snprintf(buf, sizeof buf, "property 0x%x", property), add(buf);
  if (sector != kNone32) {
    std::snprintf(buf, sizeof buf, "%s%ssector %u", sectorOf ? sectorOf : "", sectorOf ? " " : "",
                  sector);
    add(buf);
  }
  if (offset != kNone) {
    std::snprintf(buf, sizeof buf, inStream ? "byte %llu" : "offset 0x%llX",
                  (unsigned long long)offset);
    add(buf);
  }
  return out;
}

std::string Error::reason() const {
  std::string at = where.text();
  return at.empty() ? message : message + " (" + at + ")";
}

std::string Error::detail() const {
  if (!file) return reason();
  return reason() + " [" + file + ":" + std::to_string(line) + "]";
}

Error failedCall(HRESULT hr, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const FormattedText message(fmt, ap);
  va_end(ap);
  Error e{hr, message.text()};
  if (std::string inner = takeReason(); !inner.empty()) e.message += ": " + inner;
  return e;
}

void valueOfFailedResult(const Error& e) {
  std::fprintf(stderr, "value() of a failed Result: %s\n", e.detail().c_str());
  std::abort();
}

ThreadErrorInfo& threadErrorInfo() {
  thread_local ThreadErrorInfo slot;
  return slot;
}

ThreadErrorInfo::~ThreadErrorInfo() {
  if (object) object->Release();
}

void ThreadErrorInfo::setReason(std::string text) {
  ++reports;
  reason = std::move(text);
  IUnknown* old = object;
  object = nullptr;
  if (old) old->Release();
}

HRESULT report(const Error& e) {
  // A reason that cannot be built for want of memory is dropped: the code
  // is what the caller must get.
  try {
    threadErrorInfo().setReason(e.reason());
  } catch (const std::bad_alloc&) {
    threadErrorInfo().setReason(std::string());
  }
  return e.code;
}

HRESULT report(HRESULT hr) {
  if (FAILED(hr)) threadErrorInfo().setReason(std::string());
  return hr;
}

uint64_t reportCount() { return threadErrorInfo().reports; }

std::string takeReason() {
  ThreadErrorInfo& slot = threadErrorInfo();
  std::string out = std::move(slot.reason);
  slot.reason.clear();
  return out;
}

const std::string& pendingReason() { return threadErrorInfo().reason; }

}  // namespace velmora::base
