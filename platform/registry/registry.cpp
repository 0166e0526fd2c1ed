// HKEY_CLASSES_ROOT on SQLite. Keys form a tree of rows (parent, name); a
// key's values hang off its row, and deleting a key row deletes its sub-keys
// and values through ON DELETE CASCADE, so RegDeleteTree is one statement.
// Names keep their case and are looked up by a folded copy, as Windows'
// registry compares names without regard to case.
//
// Durability: WAL journal with synchronous=FULL, so a committed change
// survives a crash and an uncommitted one vanishes. Writers take the write
// lock up front (BEGIN IMMEDIATE) and wait up to kBusyTimeoutMs for another
// process's change to finish.
#include "registry/registry.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace velmora::registry {
namespace {

constexpr int kBusyTimeoutMs = 30000;
constexpr sqlite3_int64 kRootId = 1;
constexpr uint32_t kKeyMagic = 0x4B474552;  // "REGK"

struct KeyHandle {
  uint32_t magic = kKeyMagic;
  sqlite3_int64 id;
};

struct Database {
  std::recursive_mutex mutex;
  sqlite3* db = nullptr;
  pid_t owner = 0;  // a forked child must not use its parent's connection
  int depth = 0;    // open Transactions on the owning thread
  std::function<LONG(int)> faultHook;
  int writes = 0;
};

Database& database() {
  static Database* s_db = new Database;  // never destroyed: used by static destructors
  return *s_db;
}

LSTATUS statusOf(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW: return ERROR_SUCCESS;
    case SQLITE_NOMEM: return ERROR_OUTOFMEMORY;
    default: return ERROR_REGISTRY_IO_FAILED;
  }
}

// Windows folds registry names with its upper-case table; this covers ASCII
// and Latin-1, the letters class ids, ProgIDs and paths use.
std::u16string fold(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& c : out) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
      c = static_cast<char16_t>(c - 0x20);
    else if (c == 0xFF)
      c = 0x178;
  }
  return out;
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    m_rc = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr);
  }
  ~Statement() { sqlite3_finalize(m_stmt); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int i, sqlite3_int64 v) {
    if (m_rc == SQLITE_OK) m_rc = sqlite3_bind_int64(m_stmt, i, v);
    return *this;
  }
  Statement& bind(int i, std::u16string_view text) {
    if (m_rc == SQLITE_OK)
      // An empty view may have no data pointer, which SQLite would bind as NULL.
      m_rc =
          sqlite3_bind_text16(m_stmt, i, text.empty() ? u"" : text.data(),
                              static_cast<int>(text.size() * sizeof(char16_t)), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& bindBlob(int i, const void* data, size_t size) {
    if (m_rc == SQLITE_OK)
      m_rc =
          sqlite3_bind_blob(m_stmt, i, size ? data : "", static_cast<int>(size), SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int step() {
    if (m_rc != SQLITE_OK && m_rc != SQLITE_ROW) return m_rc;
    m_rc = sqlite3_step(m_stmt);
    return m_rc;
  }
  sqlite3_int64 integer(int col) { return sqlite3_column_int64(m_stmt, col); }
  // A column that holds something yet comes back as a null pointer could
  // not be converted for want of memory: that is raised (and reported by
  // run()), never read as an empty name or value.
  std::u16string text(int col) {
    auto* p = static_cast<const char16_t*>(sqlite3_column_text16(m_stmt, col));
    int bytes = sqlite3_column_bytes16(m_stmt, col);
    if (!p && sqlite3_column_type(m_stmt, col) != SQLITE_NULL) throw std::bad_alloc();
    return p ? std::u16string(p, static_cast<size_t>(bytes) / 2) : std::u16string();
  }
  std::vector<BYTE> blob(int col) {
    auto* p = static_cast<const BYTE*>(sqlite3_column_blob(m_stmt, col));
    int bytes = sqlite3_column_bytes(m_stmt, col);
    if (!p && bytes > 0) throw std::bad_alloc();
    return p ? std::vector<BYTE>(p, p + bytes) : std::vector<BYTE>();
  }

 private:
  sqlite3_stmt* m_stmt = nullptr;
  int m_rc;
};

int exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

std::filesystem::path defaultLocation() {
  if (const char* env = std::getenv("VELMORA_REGISTRY"); env && *env) return env;
  std::filesystem::path base;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg && xdg[0] == '/')
    base = xdg;
  else if (const char* home = std::getenv("HOME"); home && *home)
    base = std::filesystem::path(home) / ".local" / "share";
  else
    base = "/tmp";
  return base / "velmora" / "registry.db";
}

// Opens the database on first use (and again in a forked child).
LSTATUS ensureOpen(Database& d) {
  if (d.db && d.owner == getpid()) return ERROR_SUCCESS;
  d.db = nullptr;  // a parent's connection is abandoned, never closed, in its child
  d.depth = 0;
  auto path = defaultLocation();
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close(db);
    return ERROR_REGISTRY_IO_FAILED;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  rc = exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;");
  if (rc == SQLITE_OK) rc = exec(db, "BEGIN IMMEDIATE");
  if (rc == SQLITE_OK) {
    rc = exec(db,
              "CREATE TABLE IF NOT EXISTS keys("
              " id INTEGER PRIMARY KEY,"
              " parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
              " name TEXT NOT NULL, fold TEXT NOT NULL, UNIQUE(parent, fold));"
              "CREATE TABLE IF NOT EXISTS vals("
              " key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
              " name TEXT NOT NULL, fold TEXT NOT NULL, type INTEGER NOT NULL,"
              " data BLOB NOT NULL, UNIQUE(key, fold));"
              "CREATE INDEX IF NOT EXISTS vals_key ON vals(key);"
              "INSERT OR IGNORE INTO keys(id, parent, name, fold)"
              " VALUES(1, NULL, 'HKEY_CLASSES_ROOT', 'HKEY_CLASSES_ROOT');");
    rc = rc == SQLITE_OK ? exec(db, "COMMIT") : (exec(db, "ROLLBACK"), rc);
  }
  if (rc != SQLITE_OK) {
    sqlite3_close(db);
    return statusOf(rc);
  }
  d.db = db;
  d.owner = getpid();
  return ERROR_SUCCESS;
}

// Runs `body` inside the thread's Transaction, or in a transaction of its own
// that is committed when it succeeds and rolled back when it fails.
template <typename Body>
LSTATUS run(bool write, Body&& body) {
  Database& d = database();
  std::lock_guard lock(d.mutex);
  try {
    // Finding the database's path allocates too.
    if (LSTATUS s = ensureOpen(d)) return s;
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  auto guarded = [&]() -> LSTATUS {
    try {
      return body(d);
    } catch (const std::bad_alloc&) {
      return ERROR_OUTOFMEMORY;
    }
  };
  if (d.depth > 0) return guarded();
  if (int rc = exec(d.db, write ? "BEGIN IMMEDIATE" : "BEGIN"); rc != SQLITE_OK)
    return statusOf(rc);
  LSTATUS s = guarded();
  if (s == ERROR_SUCCESS) {
    int rc = exec(d.db, "COMMIT");
    if (rc != SQLITE_OK) {
      exec(d.db, "ROLLBACK");
      return statusOf(rc);
    }
    return s;
  }
  exec(d.db, "ROLLBACK");
  return s;
}

// Consults the fault hook before a write.
LSTATUS beforeWrite(Database& d) {
  int ordinal = d.writes++;
  if (d.faultHook) return d.faultHook(ordinal);
  return ERROR_SUCCESS;
}

std::optional<sqlite3_int64> handleId(HKEY hKey) {
  if (hKey == HKEY_CLASSES_ROOT) return kRootId;
  // The other predefined keys are not kept by this registry.
  // Predefined keys are the sign-extended values 0x80000000 to 0x800000FF.
  auto bits = static_cast<LONG_PTR>(reinterpret_cast<ULONG_PTR>(hKey));
  if (!hKey || (bits >= static_cast<LONG>(0x80000000) && bits <= static_cast<LONG>(0x800000FF)))
    return std::nullopt;
  auto* handle = reinterpret_cast<KeyHandle*>(hKey);
  if (handle->magic != kKeyMagic) return std::nullopt;
  return handle->id;
}

bool keyExists(Database& d, sqlite3_int64 id, LSTATUS& s) {
  Statement st(d.db, "SELECT 1 FROM keys WHERE id=?");
  int rc = st.bind(1, id).step();
  s = statusOf(rc);
  return rc == SQLITE_ROW;
}

// Resolves hKey to a live key id: ERROR_INVALID_HANDLE, ERROR_KEY_DELETED.
LSTATUS liveKey(Database& d, HKEY hKey, sqlite3_int64& id) {
  auto found = handleId(hKey);
  if (!found) return ERROR_INVALID_HANDLE;
  LSTATUS s;
  if (!keyExists(d, *found, s)) return s ? s : ERROR_KEY_DELETED;
  id = *found;
  return ERROR_SUCCESS;
}

std::vector<std::u16string_view> splitPath(const WCHAR* path, bool& valid) {
  std::vector<std::u16string_view> parts;
  valid = true;
  if (!path || !*path) return parts;
  std::u16string_view rest(path);
  while (true) {
    size_t cut = rest.find(u'\\');
    std::u16string_view part = rest.substr(0, cut);
    if (part.empty()) {
      // A single trailing backslash is tolerated, as Windows does.
      if (cut == std::u16string_view::npos && !parts.empty()) break;
      valid = false;
      return parts;
    }
    parts.push_back(part);
    if (cut == std::u16string_view::npos) break;
    rest.remove_prefix(cut + 1);
    if (rest.empty()) break;
  }
  return parts;
}

// The child `name` of `parent`, if any.
std::optional<sqlite3_int64> child(Database& d, sqlite3_int64 parent, std::u16string_view name,
                                   LSTATUS& s) {
  Statement st(d.db, "SELECT id FROM keys WHERE parent=? AND fold=?");
  int rc = st.bind(1, parent).bind(2, fold(name)).step();
  s = statusOf(rc);
  if (rc == SQLITE_ROW) return st.integer(0);
  return std::nullopt;
}

LSTATUS findPath(Database& d, sqlite3_int64 from, const WCHAR* path, sqlite3_int64& out) {
  bool valid;
  auto parts = splitPath(path, valid);
  if (!valid) return ERROR_FILE_NOT_FOUND;
  sqlite3_int64 id = from;
  for (auto part : parts) {
    LSTATUS s;
    auto next = child(d, id, part, s);
    if (!next) return s ? s : ERROR_FILE_NOT_FOUND;
    id = *next;
  }
  out = id;
  return ERROR_SUCCESS;
}

LSTATUS newHandle(sqlite3_int64 id, PHKEY out) {
  auto* handle = new (std::nothrow) KeyHandle{kKeyMagic, id};
  if (!handle) return ERROR_OUTOFMEMORY;
  *out = reinterpret_cast<HKEY>(handle);
  return ERROR_SUCCESS;
}

std::u16string_view valueName(const WCHAR* name) {
  return name ? std::u16string_view(name) : std::u16string_view();
}

}  // namespace

std::filesystem::path location() { return defaultLocation(); }

void closeDatabase() {
  Database& d = database();
  std::lock_guard lock(d.mutex);
  if (d.db && d.owner == getpid()) sqlite3_close(d.db);
  d.db = nullptr;
  d.depth = 0;
}

Transaction::Transaction() {
  Database& d = database();
  d.mutex.lock();
  // A throw here would leave the lock held with no destructor to free it.
  try {
    m_status = ensureOpen(d);
  } catch (const std::bad_alloc&) {
    m_status = ERROR_OUTOFMEMORY;
  }
  if (m_status == ERROR_SUCCESS && d.depth == 0) m_status = statusOf(exec(d.db, "BEGIN IMMEDIATE"));
  if (m_status == ERROR_SUCCESS)
    ++d.depth;
  else
    m_done = true;
}

LSTATUS Transaction::commit() {
  if (m_done) return m_status;
  Database& d = database();
  m_done = true;
  if (--d.depth == 0) {
    int rc = exec(d.db, "COMMIT");
    if (rc != SQLITE_OK) {
      exec(d.db, "ROLLBACK");
      m_status = statusOf(rc);
    }
  }
  return m_status;
}

Transaction::~Transaction() {
  Database& d = database();
  if (!m_done && --d.depth == 0) exec(d.db, "ROLLBACK");
  d.mutex.unlock();
}

void setWriteFaultHook(std::function<LONG(int)> hook) {
  Database& d = database();
  std::lock_guard lock(d.mutex);
  d.faultHook = std::move(hook);
  d.writes = 0;
}

}  // namespace velmora::registry

using namespace velmora::registry;

namespace {

// A key opened inside a transaction that then fails to commit is not handed
// out: the caller hears of the failure and would never close it.
LSTATUS handOut(LSTATUS s, PHKEY phkResult) {
  if (s != ERROR_SUCCESS && *phkResult) {
    RegCloseKey(*phkResult);
    *phkResult = nullptr;
  }
  return s;
}

}  // namespace

EXTERN_C LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR, DWORD,
                                        REGSAM, const LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                                        LPDWORD lpdwDisposition) {
  if (!phkResult || Reserved) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  bool valid;
  decltype(splitPath(lpSubKey, valid)) parts;
  try {
    parts = splitPath(lpSubKey, valid);
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  if (!valid) return ERROR_BAD_PATHNAME;
  for (auto part : parts)
    if (part.size() > 255) return ERROR_INVALID_PARAMETER;
  return handOut(run(true,
                     [&](Database& d) -> LSTATUS {
                       sqlite3_int64 id;
                       if (LSTATUS s = liveKey(d, hKey, id)) return s;
                       DWORD disposition = REG_OPENED_EXISTING_KEY;
                       for (auto part : parts) {
                         LSTATUS s;
                         if (auto next = child(d, id, part, s)) {
                           id = *next;
                           continue;
                         }
                         if (s) return s;
                         if ((s = beforeWrite(d))) return s;
                         Statement st(d.db, "INSERT INTO keys(parent, name, fold) VALUES(?, ?, ?)");
                         if (int rc = st.bind(1, id).bind(2, part).bind(3, fold(part)).step();
                             rc != SQLITE_DONE)
                           return statusOf(rc);
                         id = sqlite3_last_insert_rowid(d.db);
                         disposition = REG_CREATED_NEW_KEY;
                       }
                       if (LSTATUS s = newHandle(id, phkResult)) return s;
                       if (lpdwDisposition) *lpdwDisposition = disposition;
                       return ERROR_SUCCESS;
                     }),
                 phkResult);
}

EXTERN_C LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  return handOut(run(false,
                     [&](Database& d) -> LSTATUS {
                       sqlite3_int64 id;
                       if (LSTATUS s = liveKey(d, hKey, id)) return s;
                       if (LSTATUS s = findPath(d, id, lpSubKey, id)) return s;
                       return newHandle(id, phkResult);
                     }),
                 phkResult);
}

EXTERN_C LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  auto id = handleId(hKey);
  if (!id) return ERROR_INVALID_HANDLE;
  if (hKey != HKEY_CLASSES_ROOT) {
    auto* handle = reinterpret_cast<KeyHandle*>(hKey);
    handle->magic = 0;
    delete handle;
  }
  return ERROR_SUCCESS;
}

EXTERN_C LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                       const BYTE* lpData, DWORD cbData) {
  if (Reserved || (!lpData && cbData)) return ERROR_INVALID_PARAMETER;
  auto name = valueName(lpValueName);
  return run(true, [&](Database& d) -> LSTATUS {
    sqlite3_int64 id;
    if (LSTATUS s = liveKey(d, hKey, id)) return s;
    if (LSTATUS s = beforeWrite(d)) return s;
    Statement st(d.db,
                 "INSERT INTO vals(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?)"
                 " ON CONFLICT(key, fold) DO UPDATE SET name=excluded.name,"
                 " type=excluded.type, data=excluded.data");
    int rc = st.bind(1, id)
                 .bind(2, name)
                 .bind(3, fold(name))
                 .bind(4, dwType)
                 .bindBlob(5, lpData, cbData)
                 .step();
    return statusOf(rc);
  });
}

EXTERN_C LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                         LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  auto name = valueName(lpValueName);
  return run(false, [&](Database& d) -> LSTATUS {
    sqlite3_int64 id;
    if (LSTATUS s = liveKey(d, hKey, id)) return s;
    Statement st(d.db, "SELECT type, data FROM vals WHERE key=? AND fold=?");
    int rc = st.bind(1, id).bind(2, fold(name)).step();
    if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : statusOf(rc);
    if (lpType) *lpType = static_cast<DWORD>(st.integer(0));
    auto data = st.blob(1);
    if (!lpcbData) return ERROR_SUCCESS;
    DWORD capacity = *lpcbData;
    *lpcbData = static_cast<DWORD>(data.size());
    if (!lpData) return ERROR_SUCCESS;
    if (capacity < data.size()) return ERROR_MORE_DATA;
    if (!data.empty()) std::memcpy(lpData, data.data(), data.size());
    return ERROR_SUCCESS;
  });
}

EXTERN_C LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  auto name = valueName(lpValueName);
  return run(true, [&](Database& d) -> LSTATUS {
    sqlite3_int64 id;
    if (LSTATUS s = liveKey(d, hKey, id)) return s;
    if (LSTATUS s = beforeWrite(d)) return s;
    Statement st(d.db, "DELETE FROM vals WHERE key=? AND fold=?");
    if (int rc = st.bind(1, id).bind(2, fold(name)).step(); rc != SQLITE_DONE) return statusOf(rc);
    return sqlite3_changes(d.db) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

EXTERN_C LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  return run(true, [&](Database& d) -> LSTATUS {
    sqlite3_int64 id;
    if (LSTATUS s = liveKey(d, hKey, id)) return s;
    if (LSTATUS s = findPath(d, id, lpSubKey, id)) return s;
    if (id == kRootId) return ERROR_ACCESS_DENIED;
    Statement has(d.db, "SELECT 1 FROM keys WHERE parent=? LIMIT 1");
    int rc = has.bind(1, id).step();
    // RegDeleteKey removes leaves only; a key with sub-keys needs RegDeleteTree.
    if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
    if (rc != SQLITE_DONE) return statusOf(rc);
    if (LSTATUS s = beforeWrite(d)) return s;
    Statement st(d.db, "DELETE FROM keys WHERE id=?");
    return statusOf(st.bind(1, id).step());
  });
}

EXTERN_C LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  return run(true, [&](Database& d) -> LSTATUS {
    sqlite3_int64 id;
    if (LSTATUS s = liveKey(d, hKey, id)) return s;
    if (LSTATUS s = findPath(d, id, lpSubKey, id)) return s;
    if (LSTATUS s = beforeWrite(d)) return s;
    // Without a sub-key the key itself stays and loses its contents.
    if (!lpSubKey || !*lpSubKey || id == kRootId) {
      Statement keys(d.db, "DELETE FROM keys WHERE parent=?");
      if (int rc = keys.bind(1, id).step(); rc != SQLITE_DONE) return statusOf(rc);
      Statement vals(d.db, "DELETE FROM vals WHERE key=?");
      return statusOf(vals.bind(1, id).step());
    }
    Statement st(d.db, "DELETE FROM keys WHERE id=?");
    return statusOf(st.bind(1, id).step());
  });
}

EXTERN_C LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                      LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                                      PFILETIME lpftLastWriteTime) {
  if (!lpName || !lpcchName || lpReserved) return ERROR_INVALID_PARAMETER;
  return run(false, [&](Database& d) -> LSTATUS {
    sqlite3_int64 id;
    if (LSTATUS s = liveKey(d, hKey, id)) return s;
    Statement st(d.db, "SELECT name FROM keys WHERE parent=? ORDER BY fold LIMIT 1 OFFSET ?");
    int rc = st.bind(1, id).bind(2, dwIndex).step();
    if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? ERROR_NO_MORE_ITEMS : statusOf(rc);
    std::u16string name = st.text(0);
    if (name.size() >= *lpcchName) return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass && lpcchClass && *lpcchClass) *lpClass = 0;
    if (lpcchClass) *lpcchClass = 0;
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{};
    return ERROR_SUCCESS;
  });
}

EXTERN_C LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                                      LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                                      LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
    return ERROR_INVALID_PARAMETER;
  return run(false, [&](Database& d) -> LSTATUS {
    sqlite3_int64 id;
    if (LSTATUS s = liveKey(d, hKey, id)) return s;
    // Windows lists a key's values in the order they were first written.
    Statement st(d.db,
                 "SELECT name, type, data FROM vals WHERE key=? ORDER BY rowid LIMIT 1 OFFSET ?");
    int rc = st.bind(1, id).bind(2, dwIndex).step();
    if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? ERROR_NO_MORE_ITEMS : statusOf(rc);
    std::u16string name = st.text(0);
    auto data = st.blob(2);
    if (name.size() >= *lpcchValueName) return ERROR_MORE_DATA;
    std::memcpy(lpValueName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    *lpcchValueName = static_cast<DWORD>(name.size());
    if (lpType) *lpType = static_cast<DWORD>(st.integer(1));
    if (!lpcbData) return ERROR_SUCCESS;
    DWORD capacity = *lpcbData;
    *lpcbData = static_cast<DWORD>(data.size());
    if (!lpData) return ERROR_SUCCESS;
    if (capacity < data.size()) return ERROR_MORE_DATA;
    if (!data.empty()) std::memcpy(lpData, data.data(), data.size());
    return ERROR_SUCCESS;
  });
}
