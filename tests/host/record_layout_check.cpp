// The host's record layouts, checked at compile time. CI also compiles this
// file with -m32, where the host's type library fixes the 32-bit sizes.
#include <cstddef>

#include "host/vlt_records.h"

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(VARIANT) == 16);
static_assert(sizeof(VltAttribute) == 32);
static_assert(offsetof(VltAttribute, bsName) == 0);
static_assert(offsetof(VltAttribute, bsBlock) == 4);
static_assert(offsetof(VltAttribute, oValue) == 8);
static_assert(offsetof(VltAttribute, bHandled) == 24);
static_assert(alignof(VltAttribute) == 8);
static_assert(sizeof(VltReference) == 40);
static_assert(offsetof(VltReference, bsFullPath) == 8);
static_assert(offsetof(VltReference, bsFileName) == 12);
static_assert(offsetof(VltReference, lHost4) == 16);
static_assert(offsetof(VltReference, ulHost5) == 20);
static_assert(offsetof(VltReference, lHost8) == 32);
static_assert(offsetof(VltReference, ulHost9) == 36);
#else
static_assert(sizeof(VARIANT) == 24);
static_assert(sizeof(VltAttribute) == 48);
static_assert(offsetof(VltAttribute, bsName) == 0);
static_assert(offsetof(VltAttribute, bsBlock) == 8);
static_assert(offsetof(VltAttribute, oValue) == 16);
static_assert(offsetof(VltAttribute, bHandled) == 40);
static_assert(sizeof(VltReference) == 48);
static_assert(offsetof(VltReference, bsFullPath) == 8);
static_assert(offsetof(VltReference, bsFileName) == 16);
static_assert(offsetof(VltReference, lHost4) == 24);
static_assert(offsetof(VltReference, ulHost5) == 28);
static_assert(offsetof(VltReference, lHost8) == 40);
static_assert(offsetof(VltReference, ulHost9) == 44);
#endif
