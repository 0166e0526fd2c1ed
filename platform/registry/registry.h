// The registry room: HKEY_CLASSES_ROOT kept in an SQLite database that every
// process of the user shares. Each Reg* call is one SQLite statement group in
// its own transaction unless a Transaction is open on this thread; a
// Transaction makes a whole registration one atomic change, so a crash or a
// concurrent writer sees the keys from before it or from after it.
//
// Location: $VELMORA_REGISTRY, else $XDG_DATA_HOME/velmora/registry.db, else
// ~/.local/share/velmora/registry.db.
#pragma once
#include <windows.h>

#include <filesystem>
#include <functional>

namespace velmora::registry {

// The database file the next open uses.
std::filesystem::path location();

// Closes the database so that the next call opens `location()` again (tests
// point $VELMORA_REGISTRY elsewhere between cases). No Transaction may be open.
void closeDatabase();

// One atomic change of the registry, held by the opening thread; nested
// Transactions join the outer one. The change is kept unless the Transaction
// is destroyed without commit() (then it is rolled back), and a process that
// dies before commit() leaves the registry as it was.
class Transaction {
 public:
  Transaction();
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // ERROR_SUCCESS, or the error that kept the transaction from starting.
  LSTATUS status() const { return m_status; }
  // Makes the change durable (outermost Transaction only). Returns the status.
  LSTATUS commit();

 private:
  LSTATUS m_status;
  bool m_done = false;
};

// Test hook: called before every write to the database with the write's
// ordinal (0, 1, ...) since the hook was set; a non-zero return fails that
// write with that code. An empty function removes the hook.
void setWriteFaultHook(std::function<LONG(int)> hook);

}  // namespace velmora::registry
