// Pins the C library's time zone (TZ + tzset) for one test and restores the
// previous setting afterwards, and pins the layer's "now" when asked.
#pragma once
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "time/calendar.h"

class TzGuard {
 public:
  explicit TzGuard(const char* zone) {
    if (const char* old = std::getenv("TZ")) m_old = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TzGuard() {
    if (m_old) {
      setenv("TZ", m_old->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
    velmora::time::setNowForTesting(std::nullopt);
  }
  TzGuard(const TzGuard&) = delete;
  TzGuard& operator=(const TzGuard&) = delete;

 private:
  std::optional<std::string> m_old;
};
