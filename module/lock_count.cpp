#include "module/lock_count.h"

namespace velmora::module {
namespace {

LONG volatile g_lockCount = 0;

}  // namespace

LONG lockModule() { return InterlockedIncrement(&g_lockCount); }

LONG unlockModule() { return InterlockedDecrement(&g_lockCount); }

LONG moduleLockCount() { return InterlockedCompareExchange(&g_lockCount, 0, 0); }

}  // namespace velmora::module
