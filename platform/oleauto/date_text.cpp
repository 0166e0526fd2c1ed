// Dates to and from en-US text: VarBstrFromDate's forms ("M/d/yyyy",
// "h:mm:ss tt", or both) and VarDateFromStr's parse. The parse reproduces
// every Windows result that Wine's oleaut32 tests record (vartype.c
// test_VarDateFromStr and its list of rejected strings).
#include "oleauto/conversions.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "time/calendar.h"

namespace velmora::oleauto {
namespace {

std::u16string ascii(const char* s) {
  return std::u16string(s, s + std::char_traits<char>::length(s));
}

// ---- Parsing ----

const char* const kMonths[12] = {"january",   "february", "march",    "april",
                                 "may",       "june",     "july",     "august",
                                 "september", "october",  "november", "december"};
const char* const kMonthsShort[12] = {"jan", "feb", "mar", "apr", "may", "jun",
                                      "jul", "aug", "sep", "oct", "nov", "dec"};
const char* const kDays[7] = {"monday", "tuesday",  "wednesday", "thursday",
                              "friday", "saturday", "sunday"};
const char* const kDaysShort[7] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};

enum class AmPm { None, Am, Pm };

struct Field {
  uint32_t value = 0;
  int digits = 0;  // 0 for a month name
  bool isMonth = false;
  bool timeSeparator = false;  // followed by ":" or "."
  bool dotSeparator = false;   // ... and that separator was "."
  AmPm ampm = AmPm::None;
};

bool isDateSpace(OLECHAR c) {
  return c == u' ' || (c >= 0x09 && c <= 0x0D) || c == 0xA0 || c == 0x3000;
}

bool isLetter(OLECHAR c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

// Length of `word` when the text at `s` starts with it, case-insensitively.
size_t matchWord(const OLECHAR* s, size_t n, const char* word) {
  size_t k = 0;
  for (; word[k]; ++k) {
    if (k >= n) return 0;
    OLECHAR c = s[k];
    if (c >= u'A' && c <= u'Z') c = OLECHAR(c + 32);
    if (c != OLECHAR(word[k])) return 0;
  }
  return k;
}

// The year a date field names: one or two digits are a two-digit year
// (0-49 -> 2000s, 50-99 -> 1900s, Windows 10 1903 and later); longer years are
// taken as written.
int64_t yearOf(const Field& f) {
  if (f.digits <= 2 && f.value < 100) return f.value + (f.value < 50 ? 2000 : 1900);
  return f.value;
}

bool validDay(int64_t year, int64_t month, int64_t day) {
  return year >= 100 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
         day <= int64_t(time::daysInMonth(year, unsigned(month)));
}

struct Ymd {
  int64_t year, month, day;
};

// Tries the field orders: en-US's month/day/year first, then the orders
// compatible with it (year/month/day), then the rest (year/day/month,
// day/month/year); a month name may only stand in the month's place.
bool buildDate(const Field* d, size_t count, int64_t currentYear, Ymd& out) {
  int monthAt = -1;
  for (size_t i = 0; i < count; ++i) {
    if (d[i].isMonth) monthAt = int(i);
  }
  auto fits = [&](int m, int day, int y) {
    if (monthAt >= 0 && monthAt != m) return false;
    if (d[day].isMonth || (y >= 0 && d[y].isMonth)) return false;
    const int64_t year = y >= 0 ? yearOf(d[y]) : currentYear;
    if (!validDay(year, d[m].value, d[day].value)) return false;
    out = {year, d[m].value, d[day].value};
    return true;
  };
  if (count == 3) {
    static const int kOrders[4][3] = {{0, 1, 2}, {1, 2, 0}, {2, 1, 0}, {1, 0, 2}};  // m, d, y
    for (const auto& o : kOrders) {
      if (fits(o[0], o[1], o[2])) return true;
    }
    return false;
  }
  // Two fields: month/day or day/month in the current year, else month/year
  // or year/month on the first of the month ("Jan 35" is 1 January 2035).
  if (fits(0, 1, -1) || fits(1, 0, -1)) return true;
  for (int m = 0; m < 2; ++m) {
    const int y = 1 - m;
    if ((monthAt >= 0 && monthAt != m) || d[y].isMonth) continue;
    const int64_t year = yearOf(d[y]);
    if (validDay(year, d[m].value, 1)) {
      out = {year, d[m].value, 1};
      return true;
    }
  }
  return false;
}

bool buildTime(const Field* t, size_t count, AmPm ampm, int64_t& h, int64_t& m, int64_t& s) {
  h = t[0].value;
  m = count > 1 ? t[1].value : 0;
  s = count > 2 ? t[2].value : 0;
  if (h > 23 || m > 59 || s > 59) return false;
  // For hours above 12 AM and PM are ignored ("13:00 AM" is 13:00).
  if (ampm == AmPm::Pm && h < 12) h += 12;
  if (ampm == AmPm::Am && h == 12) h = 0;
  return true;
}

// What the text holds: up to six number or month-name fields, each marked
// with the separator after it, and the AM/PM word if any.
struct Tokens {
  Field fields[6];
  size_t count = 0;
  AmPm ampm = AmPm::None;
};

// A word at `s`: a month's name (its number in `month`), a weekday's (read
// and dropped), or AM/PM (in `word`); its length, or 0 for none of these.
size_t readWord(const OLECHAR* s, size_t n, int& month, AmPm& word) {
  size_t len = 0;
  for (int k = 0; k < 12 && !len; ++k) {
    if ((len = matchWord(s, n, kMonths[k]))) month = k + 1;
  }
  for (int k = 0; k < 12 && !len; ++k) {
    if ((len = matchWord(s, n, kMonthsShort[k]))) month = k + 1;
  }
  for (int k = 0; k < 7 && !len; ++k) len = matchWord(s, n, kDays[k]);
  for (int k = 0; k < 7 && !len; ++k) len = matchWord(s, n, kDaysShort[k]);
  if (len) return len;
  if ((len = matchWord(s, n, "am"))) word = AmPm::Am;
  if (!len && (len = matchWord(s, n, "pm"))) word = AmPm::Pm;
  if (!len && (s[0] == u'a' || s[0] == u'A' || s[0] == u'p' || s[0] == u'P')) {
    // A lone a or p after a field means AM or PM.
    len = 1;
    word = (s[0] == u'a' || s[0] == u'A') ? AmPm::Am : AmPm::Pm;
  }
  return len;
}

// The digits at `s` as a new field; their length.
size_t readNumber(const OLECHAR* s, size_t n, Field& f) {
  size_t i = 0;
  for (; i < n && s[i] >= u'0' && s[i] <= u'9'; ++i) {
    if (f.value < 100000000) f.value = f.value * 10 + uint32_t(s[i] - u'0');
    ++f.digits;
  }
  return i;
}

// A separator or space at `s[0]`, marking the field before it; false for a
// character no date holds or a separator out of place.
bool readSeparator(OLECHAR c, bool last, Tokens& t, int& dateSeparators) {
  if (c == u':' || c == u'.') {
    // en-US's date separator is "/", so "." separates times only.
    if (!t.count || last) return false;
    t.fields[t.count - 1].timeSeparator = true;
    t.fields[t.count - 1].dotSeparator = c == u'.';
    return true;
  }
  if (c == u'-' || c == u'/') return t.count && !last && ++dateSeparators <= 2;
  if (c == u',') return !last;
  return isDateSpace(c);
}

bool tokenize(const OLECHAR* s, size_t n, Tokens& t) {
  int dateSeparators = 0;
  for (size_t i = 0; i < n;) {
    const OLECHAR c = s[i];
    if (c >= u'0' && c <= u'9') {
      if (t.count == 6) return false;
      i += readNumber(s + i, n - i, t.fields[t.count++]);
      continue;
    }
    if (isLetter(c)) {
      int month = 0;
      AmPm word = AmPm::None;
      const size_t len = readWord(s + i, n - i, month, word);
      if (!len) return false;
      if (month) {
        if (t.count == 6) return false;
        Field& f = t.fields[t.count++];
        f.value = uint32_t(month);
        f.isMonth = true;
      } else if (word != AmPm::None) {
        if (!t.count || t.ampm != AmPm::None) return false;
        t.fields[t.count - 1].ampm = word;
        t.ampm = word;
      }
      i += len;
      continue;
    }
    if (!readSeparator(c, i + 1 == n, t, dateSeparators)) return false;
    ++i;
  }
  return t.count && !(t.count == 1 && t.ampm == AmPm::None);
}

// Which fields are the time and which the date.
struct Layout {
  size_t timeStart = 0, timeCount = 0, dateCount = 0;
};

// The time group: two or three fields joined by time separators; every other
// field is a date field. Without one, an hour with AM/PM can stand at either
// end of the date fields. The group stands before or after the date fields,
// not among them, and holds no month name; no AM/PM stands outside it.
bool findLayout(const Tokens& t, Layout& l) {
  const Field* f = t.fields;
  for (size_t i = 0; i < t.count;) {
    size_t j = i;
    while (j + 1 < t.count && f[j].timeSeparator) ++j;
    const size_t run = j - i + 1;
    if (run > 1) {
      if (l.timeCount || run > 3) return false;
      l.timeStart = i;
      l.timeCount = run;
    }
    i = j + 1;
  }
  if (!l.timeCount && t.ampm != AmPm::None) {
    l.timeStart = f[0].ampm != AmPm::None ? 0 : t.count - 1;
    if (f[l.timeStart].ampm == AmPm::None) return false;
    l.timeCount = 1;
  }
  l.dateCount = t.count - l.timeCount;
  if (l.dateCount == 1 || l.dateCount > 3) return false;
  if (l.timeCount && l.timeStart != 0 && l.timeStart + l.timeCount != t.count) return false;
  for (size_t i = 0; i < t.count; ++i) {
    const bool inTime = i >= l.timeStart && i < l.timeStart + l.timeCount;
    if (!inTime && f[i].ampm != AmPm::None) return false;
    if (inTime && f[i].isMonth) return false;
  }
  // Windows refuses "0.0" (which very old versions read as midnight) although
  // it reads "0.1" and "2.5" as times; we refuse a dotted time of zero alone.
  return l.dateCount || l.timeCount != 2 || !f[0].dotSeparator || f[0].value != 0 ||
         f[1].value != 0 || t.ampm != AmPm::None;
}

}  // namespace

HRESULT parseDate(const OLECHAR* s, size_t n, DATE& out) {
  if (!s) return DISP_E_TYPEMISMATCH;
  Tokens t;
  Layout l;
  if (!tokenize(s, n, t) || !findLayout(t, l)) return DISP_E_TYPEMISMATCH;
  Ymd date{1899, 12, 30};
  if (l.dateCount) {
    const Field* d = t.fields + (l.timeStart == 0 ? l.timeCount : 0);
    SYSTEMTIME now{};
    GetSystemTime(&now);
    if (!buildDate(d, l.dateCount, now.wYear, date)) return DISP_E_TYPEMISMATCH;
  }
  int64_t h = 0, m = 0, sec = 0;
  if (l.timeCount && !buildTime(t.fields + l.timeStart, l.timeCount, t.ampm, h, m, sec)) {
    return DISP_E_TYPEMISMATCH;
  }
  SYSTEMTIME st{};
  st.wYear = WORD(date.year);
  st.wMonth = WORD(date.month);
  st.wDay = WORD(date.day);
  st.wHour = WORD(h);
  st.wMinute = WORD(m);
  st.wSecond = WORD(sec);
  return SystemTimeToVariantTime(&st, &out) ? S_OK : DISP_E_TYPEMISMATCH;
}

// ---- Formatting ----

HRESULT dateText(DATE value, USHORT flags, std::u16string& out) {
  SYSTEMTIME st{};
  if (!VariantTimeToSystemTime(value, &st)) return E_INVALIDARG;
  const double whole = std::trunc(value);
  const double fraction = value - whole;
  char date[32];
  char time[32];
  std::snprintf(date, sizeof date, "%u/%u/%u", st.wMonth, st.wDay, st.wYear);
  const unsigned hour12 = st.wHour % 12 == 0 ? 12 : st.wHour % 12;
  std::snprintf(time, sizeof time, "%u:%02u:%02u %s", hour12, st.wMinute, st.wSecond,
                st.wHour < 12 ? "AM" : "PM");
  if (whole == 0.0) {
    out = ascii(time);  // day 0: the time alone, even when rounding reached midnight
  } else if (std::fabs(fraction) < 1e-12 && !(flags & VARIANT_USE_NLS)) {
    out = ascii(date);
  } else {
    out = ascii(date) + u" " + ascii(time);
  }
  return S_OK;
}

}  // namespace velmora::oleauto
