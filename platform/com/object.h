// The IUnknown of the platform's COM classes: one reference count that any
// thread may move, starting at 1 for the creator; QueryInterface that
// answers IUnknown and the ids the class names with its one interface, and
// clears *ppv on every refusal, as Windows does.
#pragma once
#include <objbase.h>

#include <atomic>

namespace velmora::com {

template <typename Interface>
class Object : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !answersTo(riid)) return queryOther(riid, ppv);
    *ppv = static_cast<Interface*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return m_refs.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG refs = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (refs == 0) delete this;
    return refs;
  }

 protected:
  Object() = default;
  virtual ~Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  // Whether `riid` names the interface or one it derives from.
  virtual bool answersTo(REFIID riid) const = 0;
  // An id the interface does not answer: E_NOINTERFACE unless the class
  // hands out another object for it.
  virtual HRESULT queryOther(REFIID, void**) { return E_NOINTERFACE; }

 private:
  std::atomic<ULONG> m_refs{1};
};

}  // namespace velmora::com
