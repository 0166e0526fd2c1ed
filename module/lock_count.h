// The library's lock count: one for every live object of the plug-in and
// every LockServer(TRUE); DllCanUnloadNow answers S_OK only at zero. A leaf
// of the module, so the rooms whose objects count need nothing else of it.
#pragma once
#include <windows.h>

namespace velmora::module {

LONG lockModule();
LONG unlockModule();
// Read as the other threads write it, interlocked: DllCanUnloadNow runs on
// whatever thread frees the libraries.
LONG moduleLockCount();

}  // namespace velmora::module
