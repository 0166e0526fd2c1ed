// The IUnknown of the platform's COM classes: one reference count that any
// thread may move, starting at 1 for the creator; QueryInterface that
// answers IUnknown and the ids the class names with its interfaces, and
// clears *ppv on every refusal, as Windows does.
//
// A class with one interface names its ids through answersTo. A class with
// more, Object<First, Second...>, also maps the ids of the others to their
// face in faceFor. IUnknown always answers the first face, whichever face
// it is asked through, so the object has one identity.
#pragma once
#include <objbase.h>

#include <atomic>
#include <type_traits>

namespace velmora::com {

template <typename Interface, typename... More>
class Object : public Interface, public More... {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    IUnknown* face = IsEqualIID(riid, IID_IUnknown) ? identity() : faceFor(riid);
    if (!face) return queryOther(riid, ppv);
    *ppv = face;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return m_refs.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG refs = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (refs == 0) {
      // No reference is left for anyone else to move; a hook that takes and
      // drops one of its own must not bring the count to 0 a second time.
      m_refs.store(kDying, std::memory_order_relaxed);
      onLastRelease();
      delete this;
    }
    return refs;
  }

 protected:
  Object() = default;
  virtual ~Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  // Whether `riid` names the first interface or one it derives from.
  virtual bool answersTo(REFIID riid) const = 0;
  // The face that answers `riid` (IUnknown aside), or nullptr. A class with
  // more than one interface adds its other faces here (face<I>()) and
  // leaves the rest to this one.
  virtual IUnknown* faceFor(REFIID riid) { return answersTo(riid) ? identity() : nullptr; }
  // An id no face answers: E_NOINTERFACE unless the class hands out
  // another object for it.
  virtual HRESULT queryOther(REFIID, void**) { return E_NOINTERFACE; }
  // What the object must do once its last reference is gone, before it is
  // deleted (revert, close, flush): run once, on the thread whose Release
  // made the count 0. Release must not throw, so neither may this.
  virtual void onLastRelease() noexcept {}

  // This object as one of its interfaces.
  template <typename I>
  I* face() {
    static_assert((std::is_same_v<I, Interface> || ... || std::is_same_v<I, More>),
                  "not an interface of this object");
    return static_cast<I*>(this);
  }

 private:
  // Far from 0 and from wrapping, for the hook's own AddRef and Release.
  static constexpr ULONG kDying = 1u << 30;

  IUnknown* identity() { return static_cast<Interface*>(this); }

  std::atomic<ULONG> m_refs{1};
};

}  // namespace velmora::com
