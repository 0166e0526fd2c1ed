// ITypeLib and ITypeInfo over a parsed MSFT type library, and LoadTypeLib:
// a file that starts with the MSFT signature is the library itself; any
// other file is a component library whose TYPELIB 1 resource holds it.
#include <oleauto.h>

#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>

#include "activation/activation.h"
#include "com/object.h"
#include "typelib/type_library.h"
#include "text/text.h"

namespace velmora::oleauto {
namespace {

BSTR allocString(const std::u16string& s) {
  return SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
}

class TypeLib;

class TypeInfo final : public com::Object<ITypeInfo> {
 public:
  TypeInfo(TypeLib& lib, const TlbTypeInfo& info, UINT index);
  ~TypeInfo();

  bool answersTo(REFIID riid) const override { return IsEqualIID(riid, IID_ITypeInfo); }

  HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** ppTypeAttr) override {
    if (!ppTypeAttr) return E_INVALIDARG;
    auto* attr = new (std::nothrow) TYPEATTR{};
    if (!attr) return E_OUTOFMEMORY;
    attr->guid = m_info.guid;
    attr->memidConstructor = MEMBERID_NIL;
    attr->memidDestructor = MEMBERID_NIL;
    attr->cbSizeInstance = m_info.size;
    attr->typekind = m_info.kind;
    attr->cFuncs = static_cast<WORD>(m_info.funcs.size());
    attr->cVars = m_info.cVars;
    attr->cImplTypes = static_cast<WORD>(m_info.implTypes.size());
    attr->cbSizeVft = m_info.cbSizeVft;
    attr->cbAlignment = 4;
    attr->wTypeFlags = m_info.flags;
    attr->wMajorVerNum = m_info.majorVersion;
    attr->wMinorVerNum = m_info.minorVersion;
    *ppTypeAttr = attr;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR* pTypeAttr) override { delete pTypeAttr; }

  HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) override {
    if (!ppFuncDesc) return E_INVALIDARG;
    *ppFuncDesc = nullptr;
    if (index >= m_info.funcs.size()) return TYPE_E_ELEMENTNOTFOUND;
    const TlbFunc& f = m_info.funcs[index];
    auto holder = std::unique_ptr<FuncDescHolder>(new (std::nothrow) FuncDescHolder);
    if (!holder) return E_OUTOFMEMORY;
    try {
      FUNCDESC& d = holder->desc;
      d.memid = f.memid;
      d.funckind = f.funckind;
      d.invkind = f.invkind;
      d.callconv = f.callconv;
      d.cParams = static_cast<SHORT>(f.params.size());
      d.oVft = f.oVft;
      d.wFuncFlags = f.flags;
      d.elemdescFunc.tdesc = holder->describe(f.result);
      holder->params.resize(f.params.size());
      for (size_t i = 0; i < f.params.size(); ++i) {
        holder->params[i].tdesc = holder->describe(f.params[i].type);
        holder->params[i].paramdesc.wParamFlags = f.params[i].flags;
      }
      d.lprgelemdescParam = holder->params.empty() ? nullptr : holder->params.data();
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    *ppFuncDesc = &holder.release()->desc;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC* pFuncDesc) override {
    // The FUNCDESC is the first member of its holder.
    delete reinterpret_cast<FuncDescHolder*>(pFuncDesc);
  }

  HRESULT STDMETHODCALLTYPE GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames,
                                     UINT* pcNames) override {
    if (!pcNames) return E_INVALIDARG;
    *pcNames = 0;
    for (const TlbFunc& f : m_info.funcs) {
      if (f.memid != memid) continue;
      UINT n = 0;
      if (n < cMaxNames) rgBstrNames[n++] = allocString(f.name);
      for (size_t i = 0; i < f.params.size() && n < cMaxNames; ++i)
        rgBstrNames[n++] = allocString(f.params[i].name);
      *pcNames = n;
      return S_OK;
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }

  HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) override {
    if (!pRefType) return E_INVALIDARG;
    if (index >= m_info.implTypes.size()) return TYPE_E_ELEMENTNOTFOUND;
    *pRefType = m_info.implTypes[index].href;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT index, INT* pImplTypeFlags) override {
    if (!pImplTypeFlags) return E_INVALIDARG;
    if (index >= m_info.implTypes.size()) return TYPE_E_ELEMENTNOTFOUND;
    *pImplTypeFlags = m_info.implTypes[index].flags;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                             DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override;

  HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) override;

  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** ppTComp) override {
    if (ppTComp) *ppTComp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetVarDesc(UINT, VARDESC** ppVarDesc) override {
    if (ppVarDesc) *ppVarDesc = nullptr;
    return E_NOTIMPL;
  }
  void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC*) override {}
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR*, UINT, MEMBERID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(PVOID, MEMBERID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID, INVOKEKIND, PVOID* ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, PVOID* ppvObj) override {
    if (ppvObj) *ppvObj = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetMops(MEMBERID, BSTR* pBstrMops) override {
    if (pBstrMops) *pBstrMops = nullptr;
    return S_OK;
  }

 private:
  struct FuncDescHolder {
    FUNCDESC desc{};
    std::vector<ELEMDESC> params;
    std::deque<TYPEDESC> chain;  // stable addresses for lptdesc

    TYPEDESC describe(const TlbType& type) {
      if (type.chain.empty()) return TYPEDESC{{nullptr}, VT_EMPTY};
      // Built from the innermost type outwards so each level can point at the next.
      TYPEDESC inner{};
      inner.vt = type.chain.back();
      if (inner.vt == VT_USERDEFINED) inner.hreftype = type.href;
      for (size_t i = type.chain.size() - 1; i-- > 0;) {
        chain.push_back(inner);
        TYPEDESC outer{};
        outer.vt = type.chain[i];
        outer.lptdesc = &chain.back();
        inner = outer;
      }
      return inner;
    }
  };

  TypeLib& m_lib;
  const TlbTypeInfo& m_info;
  UINT m_index;
};

class TypeLib final : public com::Object<ITypeLib> {
 public:
  explicit TypeLib(TypeLibraryData data) : m_data(std::move(data)) {}

  const TypeLibraryData& data() const { return m_data; }

  bool answersTo(REFIID riid) const override { return IsEqualIID(riid, IID_ITypeLib); }

  UINT STDMETHODCALLTYPE GetTypeInfoCount() override {
    return static_cast<UINT>(m_data.types.size());
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, ITypeInfo** ppTInfo) override {
    if (!ppTInfo) return E_INVALIDARG;
    *ppTInfo = nullptr;
    if (index >= m_data.types.size()) return TYPE_E_ELEMENTNOTFOUND;
    auto* info = new (std::nothrow) TypeInfo(*this, m_data.types[index], index);
    if (!info) return E_OUTOFMEMORY;
    *ppTInfo = info;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT index, TYPEKIND* pTKind) override {
    if (!pTKind) return E_INVALIDARG;
    if (index >= m_data.types.size()) return TYPE_E_ELEMENTNOTFOUND;
    *pTKind = m_data.types[index].kind;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) override {
    if (!ppTinfo) return E_INVALIDARG;
    *ppTinfo = nullptr;
    for (UINT i = 0; i < m_data.types.size(); ++i)
      if (IsEqualGUID(m_data.types[i].guid, guid)) return GetTypeInfo(i, ppTinfo);
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** ppTLibAttr) override {
    if (!ppTLibAttr) return E_INVALIDARG;
    auto* attr = new (std::nothrow) TLIBATTR{};
    if (!attr) return E_OUTOFMEMORY;
    attr->guid = m_data.libid;
    attr->lcid = m_data.lcid;
    attr->syskind = m_data.syskind;
    attr->wMajorVerNum = m_data.majorVersion;
    attr->wMinorVerNum = m_data.minorVersion;
    attr->wLibFlags = m_data.flags;
    *ppTLibAttr = attr;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* pTLibAttr) override { delete pTLibAttr; }

  // index -1 documents the library itself.
  HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                             DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override {
    if (index < -1 || index >= static_cast<INT>(m_data.types.size())) return TYPE_E_ELEMENTNOTFOUND;
    const std::u16string& name = index < 0 ? m_data.name : m_data.types[index].name;
    const std::u16string& doc = index < 0 ? m_data.helpString : m_data.types[index].helpString;
    BSTR bsName = pBstrName ? allocString(name) : nullptr;
    BSTR bsDoc = pBstrDocString && !doc.empty() ? allocString(doc) : nullptr;
    BSTR bsHelp =
        pBstrHelpFile && !m_data.helpFile.empty() ? allocString(m_data.helpFile) : nullptr;
    // All or nothing: a string missing for want of memory would pass for
    // one the library does not have.
    if ((pBstrName && !bsName) || (pBstrDocString && !doc.empty() && !bsDoc) ||
        (pBstrHelpFile && !m_data.helpFile.empty() && !bsHelp)) {
      SysFreeString(bsName);
      SysFreeString(bsDoc);
      SysFreeString(bsHelp);
      return E_OUTOFMEMORY;
    }
    if (pBstrName) *pBstrName = bsName;
    if (pBstrDocString) *pBstrDocString = bsDoc;
    if (pdwHelpContext) *pdwHelpContext = 0;
    if (pBstrHelpFile) *pBstrHelpFile = bsHelp;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** ppTComp) override {
    if (ppTComp) *ppTComp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE IsName(LPOLESTR, ULONG, BOOL* pfName) override {
    if (pfName) *pfName = FALSE;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindName(LPOLESTR, ULONG, ITypeInfo**, MEMBERID*,
                                     USHORT* pcFound) override {
    if (pcFound) *pcFound = 0;
    return E_NOTIMPL;
  }

 private:
  TypeLibraryData m_data;
};

TypeInfo::TypeInfo(TypeLib& lib, const TlbTypeInfo& info, UINT index)
    : m_lib(lib), m_info(info), m_index(index) {
  m_lib.AddRef();
}

TypeInfo::~TypeInfo() { m_lib.Release(); }

HRESULT STDMETHODCALLTYPE TypeInfo::GetDocumentation(MEMBERID memid, BSTR* pBstrName,
                                                     BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                                     BSTR* pBstrHelpFile) {
  const std::u16string* name = &m_info.name;
  const std::u16string* doc = &m_info.helpString;
  if (memid != MEMBERID_NIL) {
    const TlbFunc* found = nullptr;
    for (const TlbFunc& f : m_info.funcs)
      if (f.memid == memid) found = &f;
    if (!found) return TYPE_E_ELEMENTNOTFOUND;
    name = &found->name;
    doc = &found->helpString;
  }
  BSTR bsName = pBstrName ? allocString(*name) : nullptr;
  BSTR bsDoc = pBstrDocString && !doc->empty() ? allocString(*doc) : nullptr;
  if ((pBstrName && !bsName) || (pBstrDocString && !doc->empty() && !bsDoc)) {
    SysFreeString(bsName);
    SysFreeString(bsDoc);
    return E_OUTOFMEMORY;
  }
  if (pBstrName) *pBstrName = bsName;
  if (pBstrDocString) *pBstrDocString = bsDoc;
  if (pdwHelpContext) *pdwHelpContext = 0;
  if (pBstrHelpFile) *pBstrHelpFile = nullptr;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE TypeInfo::GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) {
  if (!ppTInfo) return E_INVALIDARG;
  *ppTInfo = nullptr;
  int local = m_lib.data().localIndex(hRefType);
  if (local >= 0) return m_lib.GetTypeInfo(static_cast<UINT>(local), ppTInfo);
  // An imported type lives in a library this one only names; it would be
  // found through that library's registration, which is not kept here.
  if (m_lib.data().import(hRefType)) return TYPE_E_LIBNOTREGISTERED;
  return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT STDMETHODCALLTYPE TypeInfo::GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) {
  if (ppTLib) {
    *ppTLib = &m_lib;
    m_lib.AddRef();
  }
  if (pIndex) *pIndex = m_index;
  return S_OK;
}

base::Result<std::vector<uint8_t>> readTypeLibraryBytes(LPCOLESTR szFile) {
  std::string path = text::utf8FromUtf16(szFile);
  std::ifstream in(path, std::ios::binary);
  if (!in) return base::makeError(TYPE_E_CANTLOADLIBRARY, "cannot open %s", path.c_str());
  char magic[4] = {};
  in.read(magic, 4);
  if (in.gcount() == 4 && std::memcmp(magic, "MSFT", 4) == 0) {
    in.seekg(0);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  }
  auto resource = activation::loadResource(szFile, u"TYPELIB", 1);
  if (!resource)
    return base::makeError(TYPE_E_CANTLOADLIBRARY, "%s", resource.error().message.c_str());
  return resource;
}

}  // namespace
}  // namespace velmora::oleauto

EXTERN_C HRESULT WINAPI LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) {
  if (!szFile || !pptlib) return E_INVALIDARG;
  *pptlib = nullptr;
  try {
    auto bytes = velmora::oleauto::readTypeLibraryBytes(szFile);
    if (!bytes) return bytes.code();
    auto data = velmora::oleauto::parseTypeLibrary(*bytes);
    if (!data) return data.code();
    *pptlib = new velmora::oleauto::TypeLib(std::move(*data));
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}
