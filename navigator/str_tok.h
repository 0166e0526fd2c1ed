// The tokenizer of the block-priority list: splits a wide text at any of a
// set of delimiters, runs of delimiters counting as one. It keeps its own
// copy of the text, and positions point into that copy.
#pragma once
#include <windows.h>

#include "values/wide_string.h"

class StrTok {
 public:
  // Copies `pwszText` up to its first zero character; null is the empty text.
  explicit StrTok(const WCHAR* pwszText);
  virtual ~StrTok();

  // The first character that is not a delimiter, or null when there is none.
  const WCHAR* FirstToken(const WCHAR* pwszDelims) const;

  // The token at `*ppPos` (up to the next delimiter or the end); moves
  // `*ppPos` past the delimiters after it, or to null when nothing is left.
  WideString NextToken(const WCHAR** ppPos, const WCHAR* pwszDelims) const;

 private:
  WideString m_strText;
};
