// The property store of one compound document: it opens the document's
// storage, loads the catalogued property sets and the custom properties into
// memory in one pass, answers reads from that cache, writes single
// properties straight into the file, and commits and releases the storage
// when it is closed. The navigator derives from it.
#pragma once
#include <windows.h>
#include <ole2.h>

#include <list>
#include <optional>
#include <unordered_map>
#include <vector>

#include "propstore/catalogue.h"
#include "values/value_error.h"
#include "values/wide_string.h"

class CompDocProperties {
 public:
  // One user-defined property, or the custom set's code-page record.
  struct CustomProps {
    WideString strName;
    PROPID propid;
    PROPVARIANT oValue;  // owned; cleared when the record is destroyed

    CustomProps(WideString name, PROPID id, const PROPVARIANT& value)
        : strName(std::move(name)), propid(id), oValue(value) {}
    ~CustomProps() { PropVariantClear(&oValue); }
    CustomProps(const CustomProps&) = delete;
    CustomProps& operator=(const CustomProps&) = delete;
  };

  CompDocProperties();
  virtual ~CompDocProperties();
  CompDocProperties(const CompDocProperties&) = delete;
  CompDocProperties& operator=(const CompDocProperties&) = delete;

  // S_OK when the sets are loaded (by this call or an earlier one), S_FALSE
  // when nothing usable was loaded (a missing file, one that is not a
  // compound document), VLT_E_FILE_ACCESS when the document is locked or
  // denied or the load failed hard.
  HRESULT LoadProperties(LPCWSTR pwszPath, bool bReload);

  // Opens the document read-only (priority mode) or for writing with
  // exclusive sharing; S_OK, S_FALSE (not a compound document, or any failure
  // but denied access and sharing conflicts) or VLT_E_FILE_ACCESS.
  HRESULT OpenStorage(LPCWSTR pwszPath, bool bReadOnly);

  // Releases the storage, committing it first when a write is pending; the
  // commit's failure, when it fails (the writes of the session are then not
  // in the file).
  HRESULT CloseStorage();

  // Releases the cached values and the custom list.
  void FreeValues();

  // Each step below answers S_OK when it did its work, S_FALSE when there
  // was nothing to do it on (no such block, row, set or open storage), and
  // the failure's code otherwise.

  // Delivers the cached value of `name` in `block` into `poDest`.
  HRESULT GetProperty(LPCWSTR pwszBlock, LPCWSTR pwszName, VARIANT* poDest);

  // Writes `poValue` as the property `name` of `block` and commits its set;
  // S_OK only when both succeeded.
  HRESULT SetProperty(LPCWSTR pwszBlock, LPCWSTR pwszName, VARIANT* poValue);

  // Why the attribute `name` of `block` was not delivered, when it was for a
  // reason the host cannot see (the document or its set could not be read);
  // empty when it is simply not there.
  WideString ReadRefusal(LPCWSTR pwszBlock, LPCWSTR pwszName) const;
  // Why the last SetProperty did not write; empty after a write.
  const WideString& WriteRefusal() const { return m_strWriteRefusal; }

 protected:
  HRESULT LoadAllSets();
  HRESULT LoadSummary() { return LoadSet(kSummarySet); }
  HRESULT LoadDocSummary() { return LoadSet(kDocSummarySet); }
  HRESULT LoadDTProperties() { return LoadSet(kDTPropertiesSet); }
  HRESULT LoadDTControl() { return LoadSet(kDTControlSet); }
  HRESULT LoadPhysical() { return LoadSet(kPhysicalSet); }
  HRESULT LoadCustomProps();
  bool CustomListIsUtf8() const;
  UINT CustomListCodePage() const;
  HRESULT FormatValue(const PROPVARIANT* poValue, VARIANT* poDest, UINT uCodePage);
  HRESULT WriteProperty(REFFMTID fmtid, const PROPSPEC& spec, const VARIANT* poValue, VARTYPE vt,
                        bool bCustom);

  std::list<CustomProps*> m_CustomList;
  IStorage* m_pStorage = nullptr;
  IPropertySetStorage* m_pPropSetStorage = nullptr;
  bool m_bReadOnly = false;
  PROPVARIANT* m_pSummaryValues = nullptr;
  PROPVARIANT* m_pDocSummaryValues = nullptr;
  PROPVARIANT* m_pDTPropertiesValues = nullptr;
  PROPVARIANT* m_pDTControlValues = nullptr;
  PROPVARIANT* m_pPhysicalValues = nullptr;
  bool m_bLoaded = false;
  bool m_bWritable = false;
  bool m_bCommitPending = false;
  // Per catalogued set: the code page its narrow strings are in
  // (NarrowCodePageOf its code-page property).
  UINT m_uSetCodePage[kCatalogedSetCount] = {};
  // Per catalogued set: the rows stored as pictures, known by type only
  // (their values are not read).
  uint64_t m_uPictureRows[kCatalogedSetCount] = {};
  // Why the document, a catalogued set or the custom set could not be read.
  WideString m_strOpenRefusal;
  WideString m_strSetRefusal[kCatalogedSetCount];
  WideString m_strCustomRefusal;
  WideString m_strWriteRefusal;

 private:
  HRESULT LoadSet(int iSet);
  HRESULT WriteOne(LPCWSTR pwszBlock, LPCWSTR pwszName, VARIANT* poValue);
  PROPVARIANT*& ValuesOf(int iSet);
  // The first record of the custom list named `pwszName`, or null.
  const CustomProps* FindCustom(LPCWSTR pwszName);
  const CustomProps* FindIndexedCustom(LPCWSTR pwszName);  // may throw std::bad_alloc

  // The custom list by name, made when a long list is first searched: a
  // host reads every custom property by name, which would cost the square
  // of the list's length. Dropped whenever the list changes.
  struct CustomIndex {
    std::vector<const CustomProps*> records;            // list order
    std::unordered_map<WideString, size_t> plainNames;  // folded plain name -> first position
    std::vector<size_t> otherNames;                     // positions of the other names, in order
  };
  std::optional<CustomIndex> m_CustomIndex;
};
