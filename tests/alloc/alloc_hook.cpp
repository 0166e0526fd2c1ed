// The allocation hook (alloc_hook.h). The replacements forward to the
// allocator that would have served the call: the sanitizer's when the
// program runs under one, else the C library's, so that free() and the
// sanitizer's bookkeeping see every block as theirs.
#include "tests/alloc/alloc_hook.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __interceptor_malloc(size_t) __attribute__((weak));
void* __interceptor_calloc(size_t, size_t) __attribute__((weak));
void* __interceptor_realloc(void*, size_t) __attribute__((weak));
void __interceptor_free(void*) __attribute__((weak));
}

namespace {

thread_local bool t_armed = false;
thread_local long t_count = 0;
thread_local long t_failAt = 0;
thread_local bool t_struck = false;

// True when this allocation is the one to fail.
bool failNow() {
  if (!t_armed) return false;
  if (++t_count != t_failAt) return false;
  t_struck = true;
  return true;
}

void* realMalloc(size_t n) {
  return __interceptor_malloc ? __interceptor_malloc(n) : __libc_malloc(n);
}
void* realCalloc(size_t n, size_t size) {
  return __interceptor_calloc ? __interceptor_calloc(n, size) : __libc_calloc(n, size);
}
void* realRealloc(void* p, size_t n) {
  return __interceptor_realloc ? __interceptor_realloc(p, n) : __libc_realloc(p, n);
}
void realFree(void* p) {
  if (__interceptor_free)
    __interceptor_free(p);
  else
    __libc_free(p);
}

void* allocate(size_t n) {
  if (failNow()) return nullptr;
  return realMalloc(n ? n : 1);
}

void* allocateAligned(size_t n, std::align_val_t align) {
  if (failNow()) return nullptr;
  void* p = nullptr;
  size_t a = static_cast<size_t>(align);
  if (a < sizeof(void*)) a = sizeof(void*);
  return posix_memalign(&p, a, n ? n : 1) == 0 ? p : nullptr;
}

}  // namespace

namespace velmora::test::alloc {

void arm(long failAt) {
  t_count = 0;
  t_failAt = failAt;
  t_struck = false;
  t_armed = true;
}

long disarm() {
  t_armed = false;
  return t_count;
}

bool struck() { return t_struck; }

Paused::Paused() : m_wasArmed(t_armed) { t_armed = false; }
Paused::~Paused() { t_armed = m_wasArmed; }

}  // namespace velmora::test::alloc

extern "C" {

void* malloc(size_t n) {
  if (failNow()) return errno = ENOMEM, nullptr;
  return realMalloc(n);
}

void* calloc(size_t n, size_t size) {
  if (failNow()) return errno = ENOMEM, nullptr;
  return realCalloc(n, size);
}

void* realloc(void* p, size_t n) {
  // A realloc that frees (size 0) is no allocation.
  if (n && failNow()) return errno = ENOMEM, nullptr;
  return realRealloc(p, n);
}

void free(void* p) { realFree(p); }

}  // extern "C"

void* operator new(size_t n) {
  if (void* p = allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) {
  if (void* p = allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new(size_t n, std::align_val_t a) {
  if (void* p = allocateAligned(n, a)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n, std::align_val_t a) {
  if (void* p = allocateAligned(n, a)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocateAligned(n, a);
}
void* operator new[](size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocateAligned(n, a);
}

void operator delete(void* p) noexcept { realFree(p); }
void operator delete[](void* p) noexcept { realFree(p); }
void operator delete(void* p, size_t) noexcept { realFree(p); }
void operator delete[](void* p, size_t) noexcept { realFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { realFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { realFree(p); }
void operator delete(void* p, std::align_val_t) noexcept { realFree(p); }
void operator delete[](void* p, std::align_val_t) noexcept { realFree(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { realFree(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { realFree(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { realFree(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { realFree(p); }
