// The navigator: the object through which the host works on one compound
// document. It is at the same time the property store of that document.
#pragma once
#include <vector>
#include <windows.h>
#include <ole2.h>

#include "host/vlt_interfaces.h"
#include "module/velmora_lib.h"
#include "propstore/comp_doc_properties.h"

class CCompDocFile : public ICompDocFile, public IVltFileNavigator, public CompDocProperties {
 public:
  CCompDocFile();
  ~CCompDocFile() override;

  // Stores the navigator's file path; raises std::bad_alloc when memory runs out.
  bool SetFilePath(LPCWSTR pwszPath);

  // IUnknown, shared by both interfaces.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // ICompDocFile
  HRESULT STDMETHODCALLTYPE AttribSetFirst(LONG lArraySize, VltAttribute* poAttribArray,
                                           BSTR bsPrioBlockList) override;
  HRESULT STDMETHODCALLTYPE AttribGetFirst(LONG lArraySize, VltAttribute* poAttribArray,
                                           BSTR bsPrioBlockList) override;

  // IVltFileNavigator
  HRESULT STDMETHODCALLTYPE GetReferences(LONG lIgnored, LONG* plCount,
                                          VltReference** ppoReferences) override;
  HRESULT STDMETHODCALLTYPE UpdateReferences(LONG lIgnored, LONG lCount,
                                             VltReference* poReferences) override;
  HRESULT STDMETHODCALLTYPE UnsupportedCall05(void* p1) override;
  HRESULT STDMETHODCALLTYPE UnsupportedCall06(void* p1, LONG, LONG, LONG, LONG) override;
  HRESULT STDMETHODCALLTYPE UnsupportedCall07(LONG, LONG, void* p3, void* p4) override;
  HRESULT STDMETHODCALLTYPE UnsupportedCall08(LONG, LONG, void* p3, void* p4) override;
  HRESULT STDMETHODCALLTYPE WriteAttributes(LONG lIgnored1, LONG lStopFlag, LONG lIgnored3,
                                            LONG lArraySize, VltAttribute* poAttribArray,
                                            LONG lIgnored6) override;
  HRESULT STDMETHODCALLTYPE ReadAttributes(LONG lIgnored1, LONG lStopFlag, LONG lIgnored3,
                                           LONG lArraySize, VltAttribute* poAttribArray) override;
  HRESULT STDMETHODCALLTYPE UnsupportedCall11(void* p1, void* p2) override;
  HRESULT STDMETHODCALLTYPE UnsupportedCall12(LONG, LONG, void* p3) override;
  HRESULT STDMETHODCALLTYPE UnsupportedCall13(LONG, void* p2, void* p3, LONG, LONG) override;
  HRESULT STDMETHODCALLTYPE UnsupportedCall14(LONG, LONG, LONG, LONG, LONG, LONG) override;
  HRESULT STDMETHODCALLTYPE CloseFile() override;
  HRESULT STDMETHODCALLTYPE UnsupportedCall16(void* p1) override;
  HRESULT STDMETHODCALLTYPE UnsupportedCall17(LONG, LONG, LONG, LONG, LONG) override;
  HRESULT STDMETHODCALLTYPE UnsupportedCall18(LONG) override;
  HRESULT STDMETHODCALLTYPE IgnoredCall19(LONG, LONG) override;
  HRESULT STDMETHODCALLTYPE IgnoredCall20(LONG, LONG, LONG, LONG) override;
  HRESULT STDMETHODCALLTYPE UnsupportedCall21(LONG) override;
  HRESULT STDMETHODCALLTYPE UnsupportedCall22(LONG, LONG, LONG, LONG, LONG) override;

 private:
  // Writes one record through a private copy of its value.
  HRESULT WriteRecord(VltAttribute& oRecord);
  // Leaves, as the thread's error information, why the records not handled
  // were refused when the host cannot see it: why the document could not be
  // opened, or one line "Block:Name: reason" a record.
  // `hr`, after leaving why the document could not be opened, when known.
  HRESULT RefuseDocument(HRESULT hr);
  void ReportReadRefusals(LONG lArraySize, const VltAttribute* poAttribArray);
  void ReportWriteRefusals(LONG lArraySize, const VltAttribute* poAttribArray,
                           const std::vector<WideString>& reasons);
  void ReportReadRefusalsOrThrow(LONG lArraySize, const VltAttribute* poAttribArray);
  void ReportWriteRefusalsOrThrow(LONG lArraySize, const VltAttribute* poAttribArray,
                                  const std::vector<WideString>& reasons);

  LONG m_lRefCount = 0;
  WideString m_strFilePath;
};
