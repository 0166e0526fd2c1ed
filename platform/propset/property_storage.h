// IPropertyStorage over one section of a property-set stream, and the
// IPropertySetStorage that opens, creates and deletes sets in a storage.
//
// A PropertyStorage holds its stream open (exclusively, as Windows does, so a
// second opening of the same set, or of the other section of the
// document-summary stream, is refused by the storage) and keeps the whole
// parsed stream in memory: writes change only its own section, and Commit,
// or the final Release after a change, writes the stream back with every
// other section and every property it did not touch as they were read.
#pragma once
#include <objbase.h>

#include <mutex>

#include "com/object.h"
#include "propset/codec.h"

namespace velmora::propset {

class PropertyStorage final : public com::Object<IPropertyStorage> {
 public:
  // Takes a reference on `stream` (and on `holder`, the non-simple set's
  // storage, when there is one). `dirty` makes the first Commit write even
  // without changes (a set just created).
  PropertyStorage(IStream* stream, IStorage* holder, PropertySet set, REFFMTID fmtid, bool writable,
                  bool dirty);

  bool answersTo(REFIID riid) const override { return IsEqualIID(riid, IID_IPropertyStorage); }

  HRESULT STDMETHODCALLTYPE ReadMultiple(ULONG cpspec, const PROPSPEC rgpspec[],
                                         PROPVARIANT rgpropvar[]) override;
  HRESULT STDMETHODCALLTYPE WriteMultiple(ULONG cpspec, const PROPSPEC rgpspec[],
                                          const PROPVARIANT rgpropvar[],
                                          PROPID propidNameFirst) override;
  HRESULT STDMETHODCALLTYPE DeleteMultiple(ULONG cpspec, const PROPSPEC rgpspec[]) override;
  HRESULT STDMETHODCALLTYPE ReadPropertyNames(ULONG cpropid, const PROPID rgpropid[],
                                              LPOLESTR rglpwstrName[]) override;
  HRESULT STDMETHODCALLTYPE WritePropertyNames(ULONG cpropid, const PROPID rgpropid[],
                                               const LPOLESTR rglpwstrName[]) override;
  HRESULT STDMETHODCALLTYPE DeletePropertyNames(ULONG cpropid, const PROPID rgpropid[]) override;
  HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) override;
  HRESULT STDMETHODCALLTYPE Revert() override;
  HRESULT STDMETHODCALLTYPE Enum(IEnumSTATPROPSTG** ppenum) override;
  HRESULT STDMETHODCALLTYPE SetTimes(const FILETIME* pctime, const FILETIME* patime,
                                     const FILETIME* pmtime) override;
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) override;
  HRESULT STDMETHODCALLTYPE Stat(STATPROPSETSTG* pstatpsstg) override;

 private:
  ~PropertyStorage() override;
  void onLastRelease() noexcept override;
  Section& section();
  const Section& section() const;
  // The id a PROPSPEC names, or PID_ILLEGAL when it names an absent property.
  Result<PROPID> resolve(const PROPSPEC& request) const;
  std::optional<PROPID> findName(std::u16string_view name) const;
  Result<void> writeOne(Section& s, const PROPSPEC& request, const PROPVARIANT& value,
                        PROPID propidNameFirst);
  // The steps of writeOne.
  Result<PROPID> targetOf(const Section& s, const PROPSPEC& request, PROPID propidNameFirst,
                          std::optional<std::u16string>& newName) const;
  static Result<void> checkSetHeader(const Section& s, PROPID id, const PROPVARIANT& value);
  Result<std::vector<uint8_t>> storedBytes(PROPID id, const PROPVARIANT& value, uint16_t cp,
                                           VARTYPE& vt);
  static Result<void> addName(Section& s, PROPID id, const std::u16string& name, uint16_t cp);
  Result<void> flush();
  // One value as ReadMultiple hands it out.
  Result<void> readValue(const Property& p, uint16_t codePage, PROPVARIANT& out);
  // Stream and storage values of a non-simple set, kept in its storage.
  Result<void> readIndirect(const Property& p, uint16_t codePage, PROPVARIANT& out);
  Result<std::vector<uint8_t>> writeIndirect(PROPID id, const PROPVARIANT& value,
                                             uint16_t codePage);

  // The compound-file implementation's objects may be called from any
  // thread; one call at a time works on the buffered set.
  std::mutex m_lock;
  IStream* m_stream;
  IStorage* m_holder;
  PropertySet m_set;
  FMTID m_fmtid;
  bool m_writable;
  bool m_dirty;
};

// Reads a whole stream from its start. Fails with the stream's error, or
// STG_E_INVALIDHEADER for a stream too large to be a property set.
Result<std::vector<uint8_t>> readWholeStream(IStream* stream);
// The same into the first bytes of `room`, which grows when too small and
// is never shrunk or cleared, so a buffer kept between reads is filled
// without being zeroed first; returns the stream's length as read.
Result<size_t> readWholeStream(IStream* stream, std::vector<uint8_t>& room);
// The stream read into a block of its own, to be shared by the set parsed
// from it; with the count read.
Result<std::pair<std::shared_ptr<const uint8_t[]>, size_t>> readWholeStreamShared(IStream* stream);
// Replaces a stream's content with `bytes`.
Result<void> writeWholeStream(IStream* stream, const std::vector<uint8_t>& bytes);

// A fresh section as IPropertySetStorage::Create makes it: the code page
// (1200, or the ANSI code page with PROPSETFLAG_ANSI), the locale, and
// Behavior = 1 with PROPSETFLAG_CASE_SENSITIVE.
Section newSection(REFFMTID fmtid, DWORD grfFlags);

// The IPropertySetStorage of `root`; the factory the engine calls.
HRESULT createPropertySetStorage(IStorage* root, IPropertySetStorage** out);

}  // namespace velmora::propset
