#include "navigator/str_tok.h"

namespace {

bool IsDelimiter(WCHAR ch, const WCHAR* pwszDelims) {
  for (const WCHAR* p = pwszDelims; *p; ++p)
    if (*p == ch) return true;
  return false;
}

const WCHAR* SkipDelimiters(const WCHAR* p, const WCHAR* pwszDelims) {
  while (*p && IsDelimiter(*p, pwszDelims)) ++p;
  return *p ? p : nullptr;
}

}  // namespace

StrTok::StrTok(const WCHAR* pwszText) : m_strText(pwszText ? pwszText : OLESTR("")) {}

StrTok::~StrTok() = default;

const WCHAR* StrTok::FirstToken(const WCHAR* pwszDelims) const {
  return SkipDelimiters(m_strText.c_str(), pwszDelims);
}

WideString StrTok::NextToken(const WCHAR** ppPos, const WCHAR* pwszDelims) const {
  const WCHAR* pStart = *ppPos;
  if (!pStart) return WideString();
  const WCHAR* pEnd = pStart;
  while (*pEnd && !IsDelimiter(*pEnd, pwszDelims)) ++pEnd;
  WideString token(pStart, pEnd);
  *ppPos = SkipDelimiters(pEnd, pwszDelims);
  return token;
}
