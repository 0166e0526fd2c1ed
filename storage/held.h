// An owning interface pointer for the plug-in: plain COM, so the same code
// builds against the platform's headers and the Windows SDK.
#pragma once

// Releases the interface it holds when it goes out of scope, so every
// path out of an operation lets go of what it opened.
template <typename T>
class Held {
 public:
  Held() = default;
  ~Held() { Reset(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  // Where a call hands over a new reference; whatever was held is let go
  // first.
  T** Out() {
    Reset();
    return &m_p;
  }
  T* Get() const { return m_p; }
  T* operator->() const { return m_p; }
  void Reset() {
    if (m_p) m_p->Release();
    m_p = nullptr;
  }

 private:
  T* m_p = nullptr;
};
