// File doubles for fault injection. CrashFile keeps writes pending until a
// sync, counts every write, extend and sync, and at the chosen operation
// "crashes": that and every later call fails, and the disk image left
// behind either loses everything not synced or keeps every write with the
// last one torn at `tearAt` bytes. FailingFile fails one chosen operation
// and carries on, as a disk that reports an error once.
#pragma once
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "cfb/file_io.h"

namespace velmora::cfb::test {

struct DiskState {
  std::vector<uint8_t> durable;  // what survives a crash
  std::vector<uint8_t> current;  // what the writer sees
  uint64_t ops = 0;              // writes, extends and syncs so far
  uint64_t cutAt = UINT64_MAX;   // the operation that crashes or fails
  bool crashed = false;
  bool keepPending = false;  // crash image keeps unsynced writes...
  size_t tearAt = 512;       // ...with the crashing write torn here
  bool failOnce = false;     // FailingFile: fail op cutAt, go on after
};

class CrashFile final : public File {
 public:
  explicit CrashFile(std::shared_ptr<DiskState> s) : m_s(std::move(s)) {}

  Result<size_t> readAt(uint64_t offset, std::span<uint8_t> out) override {
    auto& b = m_s->current;
    if (offset >= b.size()) return size_t(0);
    size_t n = size_t(std::min<uint64_t>(out.size(), b.size() - offset));
    std::memcpy(out.data(), b.data() + offset, n);
    return n;
  }
  Result<void> writeAt(uint64_t offset, std::span<const uint8_t> data) override {
    if (auto r = step(); !r) {
      if (m_s->crashed && m_s->keepPending && !m_tornOnce) {
        // The crashing write lands in part.
        m_tornOnce = true;
        apply(m_s->durable, offset, data.first(std::min(data.size(), m_s->tearAt)));
      }
      return r;
    }
    apply(m_s->current, offset, data);
    if (m_s->failOnce) apply(m_s->durable, offset, data);
    return {};
  }
  Result<void> sync() override {
    CFB_TRY(step());
    m_s->durable = m_s->current;
    return {};
  }
  Result<uint64_t> size() override { return uint64_t(m_s->current.size()); }
  Result<void> extend(uint64_t n) override {
    CFB_TRY(step());
    if (n > m_s->current.size()) m_s->current.resize(n);
    if (m_s->failOnce && n > m_s->durable.size()) m_s->durable.resize(n);
    return {};
  }
  Result<void> discard() override {
    m_s->current.clear();
    return {};
  }
  Result<bool> tryLock(uint64_t, bool) override { return true; }
  Result<bool> heldByOthers(uint64_t, bool) override { return false; }
  void unlock(uint64_t) override {}

 private:
  static void apply(std::vector<uint8_t>& b, uint64_t offset, std::span<const uint8_t> data) {
    if (offset + data.size() > b.size()) b.resize(offset + data.size());
    std::memcpy(b.data() + offset, data.data(), data.size());
  }
  Result<void> step() {
    uint64_t op = m_s->ops++;
    if (m_s->failOnce) {
      if (op == m_s->cutAt)
        return base::makeError(STG_E_WRITEFAULT, "injected failure at op %llu",
                               (unsigned long long)op);
      return {};
    }
    if (m_s->crashed || op >= m_s->cutAt) {
      bool first = !m_s->crashed;
      m_s->crashed = true;
      if (first && m_s->keepPending) {
        // Unsynced writes before the crash survive too (the torn one is
        // added by writeAt).
        auto keep = m_s->current;
        m_s->durable = keep;
      }
      return base::makeError(STG_E_WRITEFAULT, "crashed at op %llu", (unsigned long long)op);
    }
    return {};
  }
  std::shared_ptr<DiskState> m_s;
  bool m_tornOnce = false;
};

}  // namespace velmora::cfb::test
