// BSTR allocation with Windows' layout: a 4-byte length in bytes immediately
// before the text, the text (any bytes, embedded NULs included), then a NUL
// WCHAR. The block comes from the task allocator and starts one pointer-size
// before the text, so the text is pointer-aligned as on Windows (the 64-bit
// layout keeps 4 bytes of padding in front of the length, as Wine's does).
// A null BSTR is a valid value: length 0.
#include <objbase.h>
#include <oleauto.h>

#include <cstring>

namespace velmora::oleauto {
namespace {

constexpr size_t kHeader = sizeof(void*);
static_assert(kHeader >= sizeof(DWORD));

// Lengths from 2^31 bytes up are refused: SysStringLen would no longer fit an
// int, and 32-bit Windows refuses them ([W] vartype.c).
constexpr UINT kMaxBytes = 0x7FFFFFFF;

DWORD* prefixOf(BSTR b) { return reinterpret_cast<DWORD*>(b) - 1; }

// A BSTR with `bytes` bytes of text, uninitialised, followed by zeros up to
// and including a whole NUL WCHAR at index ceil(bytes / 2).
BSTR allocate(UINT bytes) {
  if (bytes > kMaxBytes) return nullptr;
  const size_t text = (size_t(bytes) + 1) & ~size_t(1);
  auto* block = static_cast<BYTE*>(CoTaskMemAlloc(kHeader + text + sizeof(WCHAR)));
  if (!block) return nullptr;
  std::memset(block, 0, kHeader - sizeof(DWORD));
  BYTE* data = block + kHeader;
  std::memset(data + bytes, 0, text - bytes + sizeof(WCHAR));
  const DWORD prefix = bytes;
  std::memcpy(data - sizeof(DWORD), &prefix, sizeof prefix);
  return reinterpret_cast<BSTR>(data);
}

}  // namespace
}  // namespace velmora::oleauto

using namespace velmora::oleauto;

EXTERN_C BSTR WINAPI SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  size_t n = 0;
  while (psz[n]) ++n;
  if (n > kMaxBytes / sizeof(OLECHAR)) return nullptr;
  return SysAllocStringLen(psz, UINT(n));
}

EXTERN_C BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  if (ui > kMaxBytes / sizeof(OLECHAR)) return nullptr;
  BSTR b = allocate(ui * UINT(sizeof(OLECHAR)));
  // A null source leaves the text uninitialised, as Windows does; only the
  // terminator is written.
  if (b && strIn) std::memcpy(b, strIn, ui * sizeof(OLECHAR));
  return b;
}

EXTERN_C BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len) {
  BSTR b = allocate(len);
  if (b && psz) std::memcpy(b, psz, len);
  return b;
}

// A null pbstr fails; a null psz makes the string empty. The new text may lie
// inside the old string: it is copied before the old block is freed.
EXTERN_C INT WINAPI SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (!pbstr) return FALSE;
  BSTR replacement = psz ? SysAllocString(psz) : SysAllocStringLen(nullptr, 0);
  if (!replacement) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = replacement;
  return TRUE;
}

EXTERN_C void WINAPI SysFreeString(BSTR bstrString) {
  if (!bstrString) return;
  CoTaskMemFree(reinterpret_cast<BYTE*>(bstrString) - kHeader);
}

EXTERN_C UINT WINAPI SysStringLen(BSTR pbstr) {
  return pbstr ? *prefixOf(pbstr) / sizeof(OLECHAR) : 0;
}

EXTERN_C UINT WINAPI SysStringByteLen(BSTR bstr) { return bstr ? *prefixOf(bstr) : 0; }
