#include "propstore/catalogue.h"

int FindRow(const PropSetDef& set, const WCHAR* name) {
  for (ULONG i = 0; i < set.cRows; ++i)
    if (NamesEqual(set.pTable[i].name, name)) return static_cast<int>(i);
  return -1;
}
