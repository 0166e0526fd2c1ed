#include "propstore/catalogue.h"

bool NamesEqual(const WCHAR* a, const WCHAR* b) { return a && b && lstrcmpiW(a, b) == 0; }

int FindRow(const PropSetDef& set, const WCHAR* name) {
  for (ULONG i = 0; i < set.cRows; ++i)
    if (NamesEqual(set.pTable[i].name, name)) return static_cast<int>(i);
  return -1;
}
