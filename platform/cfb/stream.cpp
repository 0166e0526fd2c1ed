// IStream and IEnumSTATSTG over a Document. Streams are always direct:
// what Write puts in is visible at once to every reader of the open root,
// and reaches the file at the root's Commit. They do not answer
// ISequentialStream, as the compound-file implementation does not.
#include <algorithm>
#include <cstring>
#include <optional>

#include "cfb/storage.h"
#include "cfb/modes.h"
#include "com/object.h"

namespace velmora::cfb {

namespace {

class StreamObj final : public com::Object<IStream> {
 public:
  StreamObj(std::shared_ptr<Shared> shared, std::shared_ptr<OpenNode> node, DWORD mode,
            uint64_t pos)
      : m_shared(std::move(shared)), m_node(std::move(node)), m_mode(mode), m_pos(pos) {}

  // No ISequentialStream (see the top of the file).
  bool answersTo(REFIID riid) const override { return IsEqualIID(riid, IID_IStream); }
  void onLastRelease() noexcept override {
    std::lock_guard lock(m_shared->mutex);
    // The element stays open while a clone of this face lives.
    if (m_node.use_count() == 1) m_shared->revert(m_node);
    m_node.reset();
  }

  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (pcbRead) *pcbRead = 0;
    if (!pv) return STG_E_INVALIDPOINTER;
    return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
      if ((m_mode & 3) == STGM_WRITE) return STG_E_ACCESSDENIED;
      auto n = m_shared->doc->readStream(m_node->sid, m_pos,
                                         std::span<uint8_t>(static_cast<uint8_t*>(pv), cb));
      if (!n) return base::report(n.error());
      m_pos += n.value();
      if (pcbRead) *pcbRead = ULONG(n.value());
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (pcbWritten) *pcbWritten = 0;
    if (!pv) return STG_E_INVALIDPOINTER;
    return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
      if (!canWrite(m_mode) || !m_shared->doc->writable()) return STG_E_ACCESSDENIED;
      if (cb == 0) return S_OK;
      auto r = m_shared->doc->writeStream(
          m_node->sid, m_pos, std::span<const uint8_t>(static_cast<const uint8_t*>(pv), cb));
      if (!r) return base::report(r.error());
      m_pos += cb;
      if (pcbWritten) *pcbWritten = cb;
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                 ULARGE_INTEGER* newPos) override {
    ElementGuard guard(*m_shared, *m_node);
    if (guard.reverted()) return STG_E_REVERTED;
    uint64_t base;
    switch (origin) {
      case STREAM_SEEK_SET:
        // With SET the offset is unsigned.
        m_pos = uint64_t(move.QuadPart);
        if (newPos) newPos->QuadPart = m_pos;
        return S_OK;
      case STREAM_SEEK_CUR: base = m_pos; break;
      case STREAM_SEEK_END: base = m_shared->doc->dir().entry(m_node->sid).size; break;
      default: return STG_E_INVALIDFUNCTION;
    }
    int64_t delta = move.QuadPart;
    if (delta < 0 && uint64_t(-(delta + 1)) + 1 > base) return STG_E_INVALIDFUNCTION;
    m_pos = base + uint64_t(delta);
    if (newPos) newPos->QuadPart = m_pos;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override {
    return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
      if (!canWrite(m_mode) || !m_shared->doc->writable()) return STG_E_ACCESSDENIED;
      // Compound-file streams stay below 2^32 bytes, version 3 below 2 GB.
      if (size.HighPart != 0) return STG_E_INVALIDFUNCTION;
      if (m_shared->doc->v3() && size.QuadPart > kV3MaxStreamSize) return STG_E_INVALIDFUNCTION;
      return toHresult(m_shared->doc->setStreamSize(m_node->sid, size.QuadPart));
    });
  }

  HRESULT STDMETHODCALLTYPE CopyTo(IStream* dest, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                   ULARGE_INTEGER* pcbWritten) override {
    if (pcbRead) pcbRead->QuadPart = 0;
    if (pcbWritten) pcbWritten->QuadPart = 0;
    if (!dest) return STG_E_INVALIDPOINTER;
    return atBoundary([&]() -> HRESULT {
      std::vector<uint8_t> buf(65536);
      uint64_t left = cb.QuadPart, totalRead = 0, totalWritten = 0;
      while (left > 0) {
        ULONG want = ULONG(std::min<uint64_t>(left, buf.size())), got = 0;
        HRESULT hr = Read(buf.data(), want, &got);
        if (FAILED(hr)) return hr;
        if (got == 0) break;
        totalRead += got;
        ULONG put = 0;
        hr = dest->Write(buf.data(), got, &put);
        totalWritten += put;
        if (FAILED(hr)) return hr;
        left -= got;
      }
      if (pcbRead) pcbRead->QuadPart = totalRead;
      if (pcbWritten) pcbWritten->QuadPart = totalWritten;
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE Commit(DWORD) override {
    return ElementGuard(*m_shared, *m_node).reverted() ? STG_E_REVERTED : S_OK;
  }
  HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }

  HRESULT STDMETHODCALLTYPE Stat(STATSTG* st, DWORD flag) override {
    if (!st) return STG_E_INVALIDPOINTER;
    return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
      if (flag != STATFLAG_DEFAULT && flag != STATFLAG_NONAME) return STG_E_INVALIDFLAG;
      HRESULT hr = fillStat(*m_shared->doc, m_node->sid, st, flag == STATFLAG_NONAME);
      st->grfMode = m_mode;
      return hr;
    });
  }

  HRESULT STDMETHODCALLTYPE Clone(IStream** out) override {
    if (!out) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
      *out = new StreamObj(m_shared, m_node, m_mode, m_pos);
      return S_OK;
    });
  }

 private:
  std::shared_ptr<Shared> m_shared;
  std::shared_ptr<OpenNode> m_node;
  DWORD m_mode;
  uint64_t m_pos;
};

// Walks the live child list: each Next returns the smallest child whose name
// sorts after the last one returned, so elements added or destroyed during
// the enumeration show as they would in the tree.
class EnumObj final : public com::Object<IEnumSTATSTG> {
 public:
  EnumObj(IStorage* owner, std::shared_ptr<Shared> shared, std::shared_ptr<OpenNode> node,
          std::optional<std::u16string> last)
      : m_owner(owner),
        m_shared(std::move(shared)),
        m_node(std::move(node)),
        m_last(std::move(last)) {
    m_owner->AddRef();  // the enumerator keeps its storage alive
  }
  ~EnumObj() override { m_owner->Release(); }

  bool answersTo(REFIID riid) const override { return IsEqualIID(riid, IID_IEnumSTATSTG); }

  HRESULT STDMETHODCALLTYPE Next(ULONG celt, STATSTG* rgelt, ULONG* fetched) override {
    if (fetched) *fetched = 0;
    if (!rgelt) return STG_E_INVALIDPOINTER;
    if (!fetched && celt != 1) return STG_E_INVALIDPOINTER;
    return atBoundary([&]() -> HRESULT {
      ElementGuard guard(*m_shared, *m_node);
      if (guard.reverted() || !m_shared->doc) return STG_E_REVERTED;
      ULONG got = 0;
      try {
        while (got < celt) {
          auto sid = nextChild();
          if (!sid) break;
          // The cursor's copy is made before the caller's name exists, so a
          // failed allocation strands neither.
          std::u16string name = m_shared->doc->dir().entry(*sid).name;
          HRESULT hr = fillStat(*m_shared->doc, *sid, &rgelt[got], false);
          if (FAILED(hr)) {
            for (ULONG i = 0; i < got; ++i) CoTaskMemFree(rgelt[i].pwcsName);
            return hr;
          }
          m_last = std::move(name);
          ++got;
        }
      } catch (...) {
        for (ULONG i = 0; i < got; ++i) CoTaskMemFree(rgelt[i].pwcsName);
        throw;
      }
      if (fetched) *fetched = got;
      if (got < celt) {
        // At the end Windows hands back a zeroed STATSTG.
        std::memset(&rgelt[got], 0, sizeof(STATSTG));
        return S_FALSE;
      }
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
    ElementGuard guard(*m_shared, *m_node);
    if (guard.reverted() || !m_shared->doc) return STG_E_REVERTED;
    for (ULONG i = 0; i < celt; ++i) {
      auto sid = nextChild();
      if (!sid) return S_FALSE;
      m_last = m_shared->doc->dir().entry(*sid).name;
    }
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Reset() override {
    ElementGuard guard(*m_shared, *m_node);
    if (guard.reverted()) return STG_E_REVERTED;
    m_last.reset();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Clone(IEnumSTATSTG** out) override {
    if (!out) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
      *out = new EnumObj(m_owner, m_shared, m_node, m_last);
      return S_OK;
    });
  }

 private:
  std::optional<StreamId> nextChild() {
    Directory& dir = m_shared->doc->dir();
    const auto& kids = dir.children(m_node->sid);
    auto it = kids.begin();
    if (m_last) {
      it = std::upper_bound(kids.begin(), kids.end(), *m_last,
                            [&](const std::u16string& n, StreamId s) {
                              return compareNames(n, dir.entry(s).name) < 0;
                            });
    }
    if (it == kids.end()) return std::nullopt;
    return *it;
  }

  IStorage* m_owner;
  std::shared_ptr<Shared> m_shared;
  std::shared_ptr<OpenNode> m_node;
  std::optional<std::u16string> m_last;
};

}  // namespace

IStream* makeStream(std::shared_ptr<Shared> shared, std::shared_ptr<OpenNode> node, DWORD mode,
                    uint64_t position) {
  return new StreamObj(std::move(shared), std::move(node), mode, position);
}

IEnumSTATSTG* makeEnum(IStorage* owner, std::shared_ptr<Shared> shared,
                       std::shared_ptr<OpenNode> node) {
  return new EnumObj(owner, std::move(shared), std::move(node), std::nullopt);
}

}  // namespace velmora::cfb
