// The order in which the single-attribute operations try records: block by
// block as the priority list names them (records of one block in array
// order), then the records of unlisted blocks in array order, none twice.
#pragma once
#include <map>

#include "host/vlt_records.h"
#include "navigator/str_tok.h"
#include "propstore/catalogue.h"

// Calls `tryRecord(i)` in that order until it returns true; true when a
// record was taken.
template <typename TryRecord>
bool WalkPriorityList(LONG lArraySize, const VltAttribute* poAttribArray, BSTR bsPrioBlockList,
                      TryRecord tryRecord) {
  static const WCHAR kListDelimiters[] = {u'\n', 0};
  // The indexes tried without success; only membership matters.
  std::map<LONG, int> tried;
  StrTok tokens(bsPrioBlockList);
  for (const WCHAR* pPos = tokens.FirstToken(kListDelimiters); pPos;) {
    WideString token = tokens.NextToken(&pPos, kListDelimiters);
    for (LONG i = 0; i < lArraySize; ++i) {
      if (tried.count(i) || !NamesEqual(token.c_str(), poAttribArray[i].bsBlock)) continue;
      if (tryRecord(i)) return true;
      tried[i] = 0;
    }
  }
  for (LONG i = 0; i < lArraySize; ++i) {
    if (tried.count(i)) continue;
    if (tryRecord(i)) return true;
    tried[i] = 0;
  }
  return false;
}
